"""A small Chrome DevTools Protocol client over a WebSocket (RFC 6455),
standard library only: masked client frames, fragmented messages, payloads
of any size, and a session helper for one page target."""

import base64
import json
import os
import socket
import struct
import threading
import time
import urllib.parse

OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0, 1, 2, 8, 9, 10


class CdpError(Exception):
    pass


class WebSocket:
    def __init__(self, url, timeout=30.0):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme != "ws":
            raise CdpError("only ws:// is supported: " + url)
        self.sock = socket.create_connection((parts.hostname, parts.port or 80), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        path = parts.path + ("?" + parts.query if parts.query else "")
        self.sock.sendall((
            "GET %s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
            % (path, parts.hostname, parts.port or 80, key)).encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise CdpError("connection closed during the handshake")
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        status = head.split(b"\r\n", 1)[0]
        if b" 101 " not in status + b" ":
            raise CdpError("handshake refused: " + status.decode(errors="replace"))
        self.send_lock = threading.Lock()

    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(max(65536, n - len(self.buf)))
            if not chunk:
                raise CdpError("connection closed")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send_frame(self, opcode, payload, fin=True):
        head = bytearray([(0x80 if fin else 0) | opcode])
        n = len(payload)
        if n < 126:
            head.append(0x80 | n)
        elif n < 65536:
            head.append(0x80 | 126)
            head += struct.pack("!H", n)
        else:
            head.append(0x80 | 127)
            head += struct.pack("!Q", n)
        mask = os.urandom(4)
        head += mask
        # XOR with the mask a whole machine word at a time.
        m = int.from_bytes(mask * ((n + 3) // 4), "big") if n else 0
        body = (int.from_bytes(payload, "big") ^ (m >> (8 * ((4 - n % 4) % 4)))).to_bytes(n, "big") \
            if n else b""
        with self.send_lock:
            self.sock.sendall(bytes(head) + body)

    def send_text(self, text, fragment=None):
        data = text.encode()
        if fragment and len(data) > fragment:
            pieces = [data[i:i + fragment] for i in range(0, len(data), fragment)]
            for i, p in enumerate(pieces):
                self.send_frame(OP_TEXT if i == 0 else OP_CONT, p, fin=(i == len(pieces) - 1))
        else:
            self.send_frame(OP_TEXT, data)

    def recv(self):
        """The next whole text or binary message; answers pings on the way."""
        parts, kind = [], None
        while True:
            b0, b1 = self._read(2)
            fin, opcode = b0 & 0x80, b0 & 0x0F
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self._read(8))[0]
            mask = self._read(4) if b1 & 0x80 else None
            payload = self._read(n)
            if mask:
                payload = bytes(c ^ mask[i % 4] for i, c in enumerate(payload))
            if opcode == OP_PING:
                self.send_frame(OP_PONG, payload)
                continue
            if opcode == OP_PONG:
                continue
            if opcode == OP_CLOSE:
                raise CdpError("closed by the browser")
            if opcode in (OP_TEXT, OP_BINARY):
                kind, parts = opcode, [payload]
            elif opcode == OP_CONT:
                parts.append(payload)
            if fin:
                data = b"".join(parts)
                return data.decode() if kind == OP_TEXT else data

    def close(self):
        try:
            self.send_frame(OP_CLOSE, struct.pack("!H", 1000))
        except OSError:
            pass
        self.sock.close()


class Browser:
    """The browser-wide connection; commands are answered on a reader thread
    so several sessions can wait at once."""

    def __init__(self, ws_url):
        self.ws = WebSocket(ws_url)
        self.next_id = 1
        self.lock = threading.Lock()
        self.waiting = {}
        self.events = []
        self.event_cv = threading.Condition()
        self.reader = threading.Thread(target=self._read_loop, daemon=True)
        self.reader.start()

    def _read_loop(self):
        try:
            while True:
                msg = json.loads(self.ws.recv())
                if "id" in msg:
                    with self.lock:
                        slot = self.waiting.get(msg["id"])
                    if slot:
                        slot["msg"] = msg
                        slot["ev"].set()
                else:
                    with self.event_cv:
                        self.events.append(msg)
                        del self.events[:-1000]
                        self.event_cv.notify_all()
        except (CdpError, OSError, ValueError):
            with self.lock:
                for slot in self.waiting.values():
                    slot["ev"].set()
                self.closed = True

    def send(self, method, params=None, session=None, timeout=60.0):
        with self.lock:
            mid = self.next_id
            self.next_id += 1
            slot = {"ev": threading.Event(), "msg": None}
            self.waiting[mid] = slot
        frame = {"id": mid, "method": method, "params": params or {}}
        if session:
            frame["sessionId"] = session
        self.ws.send_text(json.dumps(frame), fragment=1 << 20)
        ok = slot["ev"].wait(timeout)
        with self.lock:
            del self.waiting[mid]
        if not ok:
            raise CdpError("%s: no answer in %.0f s" % (method, timeout))
        msg = slot["msg"]
        if msg is None:
            raise CdpError("%s: the connection closed" % method)
        if "error" in msg:
            raise CdpError("%s: %s" % (method, msg["error"].get("message")))
        return msg.get("result", {})

    def wait_event(self, pred, timeout=30.0):
        end = time.monotonic() + timeout
        with self.event_cv:
            seen = 0
            while True:
                for ev in self.events[seen:]:
                    if pred(ev):
                        self.events.remove(ev)
                        return ev
                seen = len(self.events)
                left = end - time.monotonic()
                if left <= 0:
                    raise CdpError("event not seen in %.0f s" % timeout)
                self.event_cv.wait(left)

    def new_page(self, url="about:blank"):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        page = Page(self, target)
        if url != "about:blank":
            page.navigate(url)
        return page

    def targets(self):
        return self.send("Target.getTargets")["targetInfos"]

    def close(self):
        self.ws.close()


class Page:
    def __init__(self, browser, target_id):
        self.browser = browser
        self.target_id = target_id
        self.session = browser.send("Target.attachToTarget",
                                    {"targetId": target_id, "flatten": True})["sessionId"]
        self.send("Page.enable")
        self.send("Runtime.enable")

    def send(self, method, params=None, timeout=60.0):
        return self.browser.send(method, params, session=self.session, timeout=timeout)

    def navigate(self, url, timeout=30.0):
        with self.browser.event_cv:
            self.browser.events = [e for e in self.browser.events
                                   if e.get("sessionId") != self.session]
        result = self.send("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise CdpError("navigation to %s failed: %s" % (url, result["errorText"]))
        self.browser.wait_event(lambda e: e.get("sessionId") == self.session and
                                e.get("method") == "Page.loadEventFired", timeout)

    def reload(self, timeout=30.0):
        with self.browser.event_cv:
            self.browser.events = [e for e in self.browser.events
                                   if e.get("sessionId") != self.session]
        self.send("Page.reload")
        self.browser.wait_event(lambda e: e.get("sessionId") == self.session and
                                e.get("method") == "Page.loadEventFired", timeout)

    def evaluate(self, expression, timeout=60.0):
        """The value of an expression (awaited when it is a promise)."""
        result = self.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True,
                                                "timeout": int(timeout * 1000)},
                           timeout=timeout + 5)
        if "exceptionDetails" in result:
            d = result["exceptionDetails"]
            text = d.get("exception", {}).get("description") or d.get("text")
            raise CdpError("script failed: %s" % text)
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.send("Page.captureScreenshot", {"format": "png"})["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        self.browser.send("Target.closeTarget", {"targetId": self.target_id})
