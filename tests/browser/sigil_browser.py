"""Loads pages with the plug-in in QtWebKit and reads what page script found.

Shared by the browser tests and the demo. Runs with the system Python and
PyQt5's QtWebKit; the plug-in is found through QTWEBKIT_PLUGIN_PATH, which
must be set before QtWebKit scans for plug-ins (before the first page).

A page that includes common.js is started by the driver: once it has
loaded, the driver sets `window.fixture` and calls `startPage(fixture)`.
Page script can reach a small `host` object (files and the stand-in
selection dialog) for what script alone cannot do.
"""
import hashlib
import json
import os
import stat
import sys


def open_browser(plugin_dir):
    os.environ["QTWEBKIT_PLUGIN_PATH"] = os.path.abspath(plugin_dir)
    from PyQt5.QtWidgets import QApplication
    from PyQt5.QtWebKit import QWebSettings

    app = QApplication.instance() or QApplication(sys.argv[:1])
    settings = QWebSettings.globalSettings()
    settings.setAttribute(QWebSettings.PluginsEnabled, True)
    settings.setAttribute(QWebSettings.JavascriptEnabled, True)
    settings.setAttribute(QWebSettings.DeveloperExtrasEnabled, False)
    return app


def install_fake_dialog(folder):
    """A selection-dialog stand-in: keeps each request in dialog-request.txt
    and answers with the content of dialog-answer.txt ("cancelled" when that
    file is absent). Returns the folder's two file paths."""
    script = os.path.join(folder, "fake-select-dialog")
    request = os.path.join(folder, "dialog-request.txt")
    answer = os.path.join(folder, "dialog-answer.txt")
    with open(script, "w") as f:
        f.write("#!/bin/sh\ncat > '%s'\nif [ -f '%s' ]; then cat '%s'; else printf 'cancelled\\n'; fi\n"
                % (request, answer, answer))
    os.chmod(script, stat.S_IRWXU)
    os.environ["NPSIGIL_SELECT_DIALOG"] = script
    return request, answer


def install_fake_consent(folder, answer="allow-once"):
    """A consent-prompt stand-in: appends each request to consent-requests.txt
    (each followed by a line "----") and answers with the content of
    consent-answer.txt, which starts out as `answer`. Returns both paths."""
    script = os.path.join(folder, "fake-consent-dialog")
    requests = os.path.join(folder, "consent-requests.txt")
    answer_file = os.path.join(folder, "consent-answer.txt")
    with open(script, "w") as f:
        f.write("#!/bin/sh\ncat >> '%s'\necho ---- >> '%s'\ncat '%s'\n"
                % (requests, requests, answer_file))
    os.chmod(script, stat.S_IRWXU)
    with open(answer_file, "w") as f:
        f.write(answer + "\n")
    os.environ["NPSIGIL_CONSENT_DIALOG"] = script
    return requests, answer_file


def serve_pages(folder):
    """Serves `folder` on a loopback port from a thread of this process, so
    that pages also run from an http origin. Returns the base URL."""
    import functools
    import http.server
    import threading

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=os.path.abspath(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://127.0.0.1:%d/" % server.server_address[1]


def make_host(dialog_request=None, dialog_answer=None, consent_requests=None,
              consent_answer=None):
    """The `host` object page script sees (file helpers, the fake dialogs and
    the site lists)."""
    from PyQt5.QtCore import QObject, pyqtSlot

    class Host(QObject):
        @pyqtSlot(str, result=str)
        def fileInfo(self, path):
            if not os.path.isfile(path):
                return json.dumps({"exists": False})
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    digest.update(block)
            return json.dumps({"exists": True, "size": os.path.getsize(path),
                               "sha256": digest.hexdigest()})

        @pyqtSlot(str, int, result=str)
        def makeFile(self, path, size):
            pattern = bytes((i * 7 + 3) % 251 for i in range(4096))
            with open(path, "wb") as f:
                left = size
                while left > 0:
                    f.write(pattern[:min(left, len(pattern))])
                    left -= len(pattern)
            return self.fileInfo(path)

        @pyqtSlot(str, str, result=str)
        def writeText(self, path, text):
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(text)
            return self.fileInfo(path)

        @pyqtSlot(str, result=str)
        def readText(self, path):
            try:
                with open(path, encoding="utf-8", newline="") as f:
                    return f.read()
            except OSError:
                return ""

        @pyqtSlot(str, str, int, result=str)
        def copyFlipped(self, source, target, offset):
            """Copy of `source` with the byte at `offset` (negative: from the end) changed."""
            data = bytearray(open(source, "rb").read())
            data[offset] ^= 0x5A
            with open(target, "wb") as f:
                f.write(data)
            return self.fileInfo(target)

        @pyqtSlot(str, result=bool)
        def remove(self, path):
            try:
                os.remove(path)
                return True
            except OSError:
                return False

        @pyqtSlot(str)
        def setDialogAnswer(self, text):
            if dialog_answer is None:
                return
            if text:
                with open(dialog_answer, "w") as f:
                    f.write(text)
            elif os.path.exists(dialog_answer):
                os.remove(dialog_answer)

        @pyqtSlot(str)
        def setConsentAnswer(self, text):
            if consent_answer is not None:
                with open(consent_answer, "w") as f:
                    f.write(text + "\n")

        @pyqtSlot(result=str)
        def takeConsentRequests(self):
            """The requests the consent stand-in received since the last call."""
            if consent_requests is None or not os.path.exists(consent_requests):
                return ""
            text = open(consent_requests, encoding="utf-8", errors="replace").read()
            os.remove(consent_requests)
            return text

        @pyqtSlot(str)
        def setSitePolicy(self, text):
            """The machine's site policy file; empty text removes it."""
            folder = os.path.join(os.environ["NPSIGIL_MACHINE_ROOT"], "policy")
            target = os.path.join(folder, "sites")
            if not text:
                if os.path.exists(target):
                    os.remove(target)
                return
            os.makedirs(folder, exist_ok=True)
            with open(target, "w") as f:
                f.write(text)

        @pyqtSlot(result=str)
        def userSites(self):
            """The user's standing approvals as the file holds them ("" when absent)."""
            target = os.path.join(os.environ["XDG_DATA_HOME"], "npsigil", "sites")
            try:
                mode = os.stat(target).st_mode & 0o777
                return "mode %o\n" % mode + open(target, encoding="utf-8").read()
            except OSError:
                return ""

        @pyqtSlot()
        def clearUserSites(self):
            target = os.path.join(os.environ["XDG_DATA_HOME"], "npsigil", "sites")
            if os.path.exists(target):
                os.remove(target)

        @pyqtSlot(str, result=str)
        def makeFifo(self, path):
            os.mkfifo(path)
            return path

        @pyqtSlot(str, str, result=bool)
        def symlink(self, target, link):
            try:
                os.symlink(target, link)
                return True
            except OSError:
                return False

        @pyqtSlot(str, result=int)
        def mode(self, path):
            try:
                return os.stat(path).st_mode & 0o777
            except OSError:
                return -1

        @pyqtSlot(str, result=bool)
        def makeFolder(self, path):
            os.makedirs(path, exist_ok=True)
            return True

        @pyqtSlot(result=str)
        def takeDialogRequest(self):
            """The last request the fake dialog received; forgets it."""
            if dialog_request is None or not os.path.exists(dialog_request):
                return ""
            text = open(dialog_request, encoding="utf-8", errors="replace").read()
            os.remove(dialog_request)
            return text

    return Host()


class PageRun:
    """One page: load it, start it with its fixture, wait for `window.pageDone`,
    read `window.pageResult`."""

    def __init__(self, app, path, timeout_ms=120000, size=(900, 700), fixture=None, host=None,
                 base_url=None):
        from PyQt5.QtCore import QUrl
        from PyQt5.QtWebKitWidgets import QWebView, QWebPage

        class Page(QWebPage):
            def javaScriptConsoleMessage(self, message, line, source):
                print("console: %s (line %d)" % (message, line), flush=True)

        self.app = app
        self.view = QWebView()
        self.view.setPage(Page(self.view))
        self.view.resize(*size)
        self.loaded = None
        self.fixture = fixture
        self.host = host
        frame = self.view.page().mainFrame()
        if host is not None:
            frame.javaScriptWindowObjectCleared.connect(
                lambda: frame.addToJavaScriptWindowObject("host", host))
        self.view.loadFinished.connect(self._on_loaded)
        self.timeout_ms = timeout_ms
        if base_url:
            self.view.load(QUrl(base_url + os.path.basename(path)))
        else:
            self.view.load(QUrl.fromLocalFile(os.path.abspath(path)))
        self.view.show()

    def _on_loaded(self, ok):
        self.loaded = ok

    def _wait(self, predicate, timeout_ms):
        from PyQt5.QtCore import QElapsedTimer, QEventLoop

        timer = QElapsedTimer()
        timer.start()
        while not predicate():
            if timer.elapsed() > timeout_ms:
                return False
            self.app.processEvents(QEventLoop.AllEvents, 50)
        return True

    def evaluate(self, script):
        return self.view.page().mainFrame().evaluateJavaScript(script)

    def result(self):
        if not self._wait(lambda: self.loaded is not None, self.timeout_ms):
            raise RuntimeError("page did not load")
        if not self.loaded:
            raise RuntimeError("page failed to load")
        if self.fixture is not None:
            self.evaluate("window.fixture = %s; if (typeof startPage === 'function') startPage(window.fixture);"
                          % json.dumps(self.fixture))
        if not self._wait(lambda: bool(self.evaluate("window.pageDone === true")), self.timeout_ms):
            raise RuntimeError("page did not finish: " + str(self.evaluate("String(window.pageError)")))
        return json.loads(self.evaluate("JSON.stringify(window.pageResult)"))

    def value(self, name):
        """A JSON-able global the page left behind (None when absent)."""
        text = self.evaluate("JSON.stringify(window[%s] === undefined ? null : window[%s])"
                             % (json.dumps(name), json.dumps(name)))
        return json.loads(text) if text else None

    def screenshot(self, path):
        """The whole page, not only the visible part."""
        from PyQt5.QtCore import QSize
        from PyQt5.QtGui import QImage, QPainter

        page = self.view.page()
        frame = page.mainFrame()
        width = max(self.view.width(), frame.contentsSize().width())
        height = max(self.view.height(), frame.contentsSize().height())
        page.setViewportSize(QSize(width, height))
        image = QImage(width, height, QImage.Format_ARGB32)
        image.fill(0xFFFFFFFF)
        painter = QPainter(image)
        frame.render(painter)
        painter.end()
        page.setViewportSize(self.view.size())
        return image.save(path)
