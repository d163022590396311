"""Loads pages with the plug-in in QtWebKit and reads what page script found.

Shared by the browser tests and the demo. Runs with the system Python and
PyQt5's QtWebKit; the plug-in is found through QTWEBKIT_PLUGIN_PATH, which
must be set before QtWebKit scans for plug-ins (before the first page).
"""
import json
import os
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


class PageRun:
    """One page: load it, wait for `window.pageDone`, read `window.pageResult`."""

    def __init__(self, app, path, timeout_ms=60000, size=(900, 700)):
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
        self.view.loadFinished.connect(self._on_loaded)
        self.timeout_ms = timeout_ms
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
        if not self._wait(lambda: bool(self.evaluate("window.pageDone === true")), self.timeout_ms):
            raise RuntimeError("page did not finish: " + str(self.evaluate("String(window.pageError)")))
        return json.loads(self.evaluate("JSON.stringify(window.pageResult)"))

    def screenshot(self, path):
        self.view.grab().save(path)
