"""The tour again, in headless Chromium through the npSigil extension and
its host program: demo/pages/bridge.html served from a loopback origin, the
host registered in a private browser profile, a second loopback origin for
the frame whose user says no. Uses the certificates demo.py made."""
import functools
import hashlib
import http.server
import json
import os
import subprocess
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
PAGES = HERE / "pages"


def _file_info(path):
    if not os.path.isfile(path):
        return {"exists": False}
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return {"exists": True, "size": os.path.getsize(path), "sha256": digest.hexdigest()}


def _make_file(path, size):
    pattern = bytes((i * 7 + 3) % 251 for i in range(4096))
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(pattern[:min(left, len(pattern))])
            left -= len(pattern)
    return _file_info(path)


class _Handler(http.server.SimpleHTTPRequestHandler):
    """The demo's pages, and the few helpers page script cannot do itself,
    limited to the demo's own files folder."""

    files = ""
    consent_answer = ""

    def log_message(self, *args):
        pass

    def _inside(self, path):
        real = os.path.realpath(path)
        return real.startswith(os.path.realpath(self.files) + os.sep)

    def do_POST(self):
        name = self.path[len("/host/"):] if self.path.startswith("/host/") else ""
        try:
            args = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)) or b"[]")
            if name == "makeFile" and self._inside(args[0]):
                value = _make_file(args[0], int(args[1]))
            elif name == "fileInfo" and self._inside(args[0]):
                value = _file_info(args[0])
            elif name == "setConsentAnswer" and args[0] in ("allow-once", "deny"):
                with open(self.consent_answer, "w") as f:
                    f.write(args[0] + "\n")
                value = True
            else:
                self.send_error(404)
                return
        except (ValueError, IndexError, OSError) as error:
            self.send_error(400, str(error))
            return
        body = json.dumps(value).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def _serve(files, consent_answer):
    handler = functools.partial(type("Handler", (_Handler,), {"files": files,
                                                              "consent_answer": consent_answer}),
                                directory=str(PAGES))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def run(plugin_dir, tools_dir, root, fixture, consent_answer, shot):
    """Runs the tour; (rows, screenshot saved, problem text or "")."""
    import sys
    sys.path.insert(0, str(HERE.parent / "tests" / "webext"))
    import chromium  # noqa: E402

    bridge = Path(plugin_dir) / "npsigil-bridge"
    if not os.access(bridge, os.X_OK):
        return [], False, "npsigil-bridge not built in %s" % plugin_dir
    if not os.access(chromium.CHROMIUM, os.X_OK):
        return [], False, "no %s: install Debian's chromium" % chromium.CHROMIUM
    extension_dir, manifest = chromium.host_info(bridge)
    # A folder of its own: the plug-in's tour left its outputs in the first.
    files = os.path.join(fixture["files"], "chromium")
    os.makedirs(files, exist_ok=True)
    main_site = _serve(files, consent_answer)
    other_site = _serve(files, consent_answer)
    origin = "http://127.0.0.1:%d" % main_site.server_address[1]
    other = "http://localhost:%d" % other_site.server_address[1]
    # The demo's user grants the demo page its scratch folder and the folder
    # of its soft certificates, once.
    for folder in (files, os.path.dirname(fixture["sm2SignFile"])):
        subprocess.run([os.path.join(tools_dir, "npsigil-cert"), "sites", "grant", origin, folder],
                       check=True, stdout=subprocess.DEVNULL)
    page_fixture = dict(fixture, files=files, strangerUrl="%s/stranger.html?serial=%s" % (
        other, fixture["certs"]["sm2Sign"]["serial"]))
    browser = chromium.Chromium(Path(root) / "chromium", dict(os.environ), extension_dir, manifest, bridge)
    try:
        browser.wait_extension()
        tab = browser.new_page()
        tab.send("Emulation.setDeviceMetricsOverride",
                 {"width": 1240, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        tab.navigate(origin + "/bridge.html")
        tab.evaluate("new Promise(function (ok) { if (window.npSigil) ok(true); else "
                     "window.addEventListener('npsigil:ready', function () { ok(true); }); })")
        tab.evaluate("startPage(%s).then(function () { return true; })" % json.dumps(page_fixture),
                     timeout=300)
        rows = tab.evaluate("window.pageResult || []") or []
        height = tab.evaluate("document.documentElement.scrollHeight") or 900
        tab.send("Emulation.setDeviceMetricsOverride",
                 {"width": 1240, "height": int(height), "deviceScaleFactor": 1, "mobile": False})
        tab.screenshot(shot)
        saved = os.path.isfile(shot)
        tab.close()
    finally:
        left = browser.close()
        main_site.shutdown()
        other_site.shutdown()
    problem = "host processes left behind: %s" % left if left else ""
    return rows, saved, problem
