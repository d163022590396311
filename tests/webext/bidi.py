"""A small WebDriver BiDi client over the same WebSocket as the DevTools
client: commands answered on a reader thread, and a page helper shaped like
cdp.Page (navigate, reload, evaluate, close) so the runner drives either
browser the same way."""

import json
import threading
import time

from cdp import CdpError, WebSocket


class BidiError(CdpError):
    pass


class Session:
    """One BiDi session (the browser's /session endpoint)."""

    def __init__(self, ws_url):
        self.ws = WebSocket(ws_url)
        self.next_id = 1
        self.lock = threading.Lock()
        self.waiting = {}
        self.closed = False
        self.reader = threading.Thread(target=self._read_loop, daemon=True)
        self.reader.start()
        self.send("session.new", {"capabilities": {}})

    def _read_loop(self):
        try:
            while True:
                msg = json.loads(self.ws.recv())
                if msg.get("type") in ("success", "error") and "id" in msg:
                    with self.lock:
                        slot = self.waiting.get(msg["id"])
                    if slot:
                        slot["msg"] = msg
                        slot["ev"].set()
        except (CdpError, OSError, ValueError):
            with self.lock:
                self.closed = True
                for slot in self.waiting.values():
                    slot["ev"].set()

    def send(self, method, params=None, timeout=60.0):
        with self.lock:
            if self.closed:
                raise BidiError("%s: the connection closed" % method)
            mid = self.next_id
            self.next_id += 1
            slot = {"ev": threading.Event(), "msg": None}
            self.waiting[mid] = slot
        self.ws.send_text(json.dumps({"id": mid, "method": method, "params": params or {}}),
                          fragment=1 << 20)
        ok = slot["ev"].wait(timeout)
        with self.lock:
            del self.waiting[mid]
        if not ok:
            raise BidiError("%s: no answer in %.0f s" % (method, timeout))
        msg = slot["msg"]
        if msg is None:
            raise BidiError("%s: the connection closed" % method)
        if msg.get("type") == "error":
            raise BidiError("%s: %s: %s" % (method, msg.get("error"), msg.get("message")))
        return msg.get("result", {})

    def new_page(self, url="about:blank"):
        context = self.send("browsingContext.create", {"type": "tab"})["context"]
        page = Page(self, context)
        if url != "about:blank":
            page.navigate(url)
        return page

    def close(self):
        self.ws.close()


class Page:
    def __init__(self, session, context):
        self.session = session
        self.context = context

    def navigate(self, url, timeout=30.0):
        self.session.send("browsingContext.navigate",
                          {"context": self.context, "url": url, "wait": "complete"},
                          timeout=timeout)

    def reload(self, timeout=30.0):
        self.session.send("browsingContext.reload", {"context": self.context, "wait": "complete"},
                          timeout=timeout)

    def evaluate(self, expression, timeout=60.0):
        """The value of an expression (awaited when it is a promise), as JSON
        gives it back: the page serialises, so values read as they do over
        the DevTools protocol."""
        wrapped = ("(async () => { const v = await (%s); "
                   "return v === undefined ? 'undefined' : JSON.stringify(v); })()" % expression)
        result = self.session.send("script.evaluate", {
            "expression": wrapped, "target": {"context": self.context}, "awaitPromise": True,
            "resultOwnership": "none"}, timeout=timeout + 5)
        if result.get("type") == "exception":
            details = result.get("exceptionDetails", {})
            raise BidiError("script failed: %s" % details.get("text"))
        value = result.get("result", {})
        if value.get("type") != "string":
            raise BidiError("script gave %s" % value.get("type"))
        return None if value["value"] == "undefined" else json.loads(value["value"])

    def close(self):
        try:
            self.session.send("browsingContext.close", {"context": self.context}, timeout=15)
        except BidiError:
            pass


def wait_for(predicate, timeout, what):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise BidiError("%s not seen in %.0f s" % (what, timeout))
