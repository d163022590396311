#!/usr/bin/env python3
"""Runs the bridge's page tests in headless Chromium (over the DevTools
protocol) or Firefox ESR (over WebDriver BiDi): the extension in
browser/extension, npsigil-bridge registered as its native host for a
private profile, and the pages under --pages served from two loopback
origins.

Ordinary pages define `async function run(fixture)` (webext_common.js);
after load the runner evaluates startPage(fixture) and reads pageResult and
pageReached. The bridge's own scenarios that need more than one tab, a
reload or a killed host are driven from here (SCENARIOS below) against the
bridge_*.html pages, which only provide the steps.
"""
import argparse
import fnmatch
import functools
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cdp  # noqa: E402
import chromium  # noqa: E402
import firefox  # noqa: E402

PAGE_TIMEOUT = 240.0
INSECURE_HOST = "insecure.test"


class Failures:
    def __init__(self):
        self.count = 0
        self.passed = 0

    def record(self, page, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.count += 1
            print("FAIL %s: %s%s" % (page, name, (" -- " + detail) if detail else ""), flush=True)


def make_handler(pages_dir, host_obj, host_lock):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **kw):
            super().__init__(*a, directory=str(pages_dir), **kw)

        def log_message(self, *a):
            pass

        def translate_path(self, path):
            path = path.split("?", 1)[0].split("#", 1)[0]
            if not path.startswith("/pages/"):
                return str(pages_dir / "__none__")
            return super().translate_path(path[len("/pages"):])

        def end_headers(self):
            self.send_header("Cache-Control", "no-store")
            super().end_headers()

        def do_POST(self):
            if not self.path.startswith("/host/"):
                self.send_error(404)
                return
            name = self.path[len("/host/"):]
            length = int(self.headers.get("Content-Length") or 0)
            try:
                args = json.loads(self.rfile.read(length) or b"[]")
                with host_lock:
                    value = host_obj.handle(name, args) if host_obj else None
                body = json.dumps(value).encode()
                self.send_response(200)
            except Exception as e:  # the page sees the failure as an HTTP error
                body = ("%s: %s" % (type(e).__name__, e)).encode()
                self.send_response(500)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
    return Handler


def serve(handler):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Run:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.failures = Failures()
        self.bridge = Path(args.bridge_dir) / "npsigil-bridge"
        if args.extension_dir:
            self.extension_dir = Path(args.extension_dir)
            self.manifest = json.dumps({
                "name": chromium.HOST_NAME, "description": "npSigil bridge",
                "path": str(self.bridge), "type": "stdio",
                "allowed_origins": ["chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"]})
        else:
            self.extension_dir, self.manifest = chromium.host_info(self.bridge)
        if args.browser == "firefox":
            self.manifest = firefox.host_manifest(self.bridge) if args.extension_dir else None
        self.host_exe = Path(args.host_exe) if args.host_exe else self.bridge
        self.host = None
        if not args.no_fixtures:
            import webext_host
            self.expected = webext_host.EXPECTED
            self.host = webext_host.WebextHost(scratch / "host", Path(args.tools_dir),
                                               Path(args.bridge_dir), args.locale)
        else:
            self.expected = {}
        self.lock = threading.Lock()
        handler = make_handler(Path(args.pages).resolve(), self.host, self.lock)
        self.server_a = serve(handler)
        self.server_b = serve(handler)
        self.origin_a = "http://127.0.0.1:%d" % self.server_a.server_address[1]
        self.origin_b = "http://localhost:%d" % self.server_b.server_address[1]
        self.insecure = "http://%s:%d" % (INSECURE_HOST, self.server_a.server_address[1])
        if self.host:
            self.host.set_origins([self.origin_a, self.origin_b])
        env = self.host.env() if self.host else dict(os.environ, HOME=str(scratch / "home"))
        Path(env["HOME"]).mkdir(parents=True, exist_ok=True)
        self.env = env
        self.browser = None

    def start_browser(self):
        if self.args.browser == "firefox":
            if self.manifest is None:
                # Registered the way users do it, so the suite runs through
                # the installer's manifest.
                subprocess.run([str(Path(self.args.tools_dir) / "npsigil-cert"), "browser",
                                "install", "--user", "--browser", "firefox",
                                "--host", str(self.bridge)],
                               env=self.env, check=True, stdout=subprocess.DEVNULL)
            self.browser = firefox.Firefox(
                self.scratch / "browser", self.env, self.extension_dir, self.manifest,
                self.host_exe,
                extra_args=['user_pref("network.dns.localDomains", "%s");' % INSECURE_HOST])
        else:
            self.browser = chromium.Chromium(
                self.scratch / "browser", self.env, self.extension_dir, self.manifest,
                self.host_exe,
                extra_args=["--host-resolver-rules=MAP %s 127.0.0.1" % INSECURE_HOST])
        self.browser.wait_extension()

    def stop_browser(self):
        if self.browser:
            left = self.browser.close()
            self.failures.record("browser", "no npsigil-bridge left after the browser closed",
                                 not left, "pids %s" % left)
            self.browser = None

    def url(self, page, origin=None):
        return "%s/pages/%s" % (origin or self.origin_a, page)

    def fixture(self, page, origin):
        if not self.host:
            return {"origins": [self.origin_a, self.origin_b], "origin": origin}
        with self.lock:
            self.host.reset_page()
            fx = self.host.fixture(page)
        fx["origin"] = origin
        fx["origins"] = [self.origin_a, self.origin_b]
        return fx

    def open(self, page, origin=None):
        tab = self.browser.new_page()
        tab.navigate(self.url(page, origin))
        return tab

    def wait_api(self, tab):
        return tab.evaluate("new Promise(function (ok) { if (window.npSigil) ok(true); else "
                            "{ window.addEventListener('npsigil:ready', function () { ok(true); });"
                            " setTimeout(function () { ok(!!window.npSigil); }, 5000); } })")

    def collect(self, page, tab, expected=None):
        """Records pageResult of a page whose run has finished."""
        result = tab.evaluate("window.pageResult || null") or []
        if not result:
            self.failures.record(page, "the page reported checks", False,
                                 str(tab.evaluate("window.pageError || ''")))
        for c in result:
            self.failures.record(page, c.get("name"), c.get("ok"), c.get("detail", ""))
        if expected:
            reached = set(tab.evaluate("window.pageReached || []") or [])
            missing = [p for p in expected if p not in reached]
            self.failures.record(page, "every method reached on each of its routes",
                                 not missing, "missing: " + ", ".join(missing))

    def run_page(self, page, origin=None, fixture_extra=None):
        origin = origin or self.origin_a
        tab = self.open(page, origin)
        try:
            self.failures.record(page, "window.npSigil defined", self.wait_api(tab))
            fx = self.fixture(page, origin)
            fx.update(fixture_extra or {})
            tab.evaluate("startPage(%s).then(function () { return true; })" % json.dumps(fx),
                         timeout=PAGE_TIMEOUT)
            self.collect(page, tab, self.expected.get(page))
        finally:
            tab.close()

    # ---- scenarios -------------------------------------------------------

    def step(self, page, tab, expr, timeout=60.0):
        """Evaluates one step of a bridge page (a promise of a list of
        {name, ok, detail}) and records its checks; returns them."""
        try:
            checks = tab.evaluate(expr, timeout=timeout) or []
        except cdp.CdpError as e:
            self.failures.record(page, expr[:60], False, str(e))
            return []
        for c in checks:
            self.failures.record(page, c.get("name"), c.get("ok"), c.get("detail", ""))
        return checks

    def scenario_api(self, page):
        self.run_page(page)
        # Pages that are not secure contexts get no bridge.
        for label, url in (("http on a non-loopback name", self.url(page, self.insecure)),
                           ("file:", (Path(self.args.pages).resolve() / page).as_uri())):
            tab = self.browser.new_page()
            try:
                tab.navigate(url)
                checks = self.step(page + " (" + label + ")", tab,
                                   "insecureChecks()", timeout=30)
                self.failures.record(page, label + ": checks ran", bool(checks))
            finally:
                tab.close()

    def scenario_isolation(self, page):
        fx = self.fixture(page, self.origin_a)
        fxj = json.dumps(fx)
        tab1 = self.open(page)
        tab2 = self.open(page)
        try:
            self.wait_api(tab1)
            self.wait_api(tab2)
            self.step(page + " tab 1", tab1, "selectHere(%s)" % fxj)
            self.step(page + " tab 2", tab2, "nothingSelected(%s, 'a second tab')" % fxj)
            self.step(page + " tab 1", tab1, "stillSelected(%s)" % fxj)
            self.step(page + " frame", tab1, "crossOriginFrame(%s, %s)" % (
                fxj, json.dumps(self.url(page + "?frame", self.origin_b))), timeout=90)
            tab1.reload()
            self.wait_api(tab1)
            self.step(page + " after reload", tab1, "nothingSelected(%s, 'after a reload')" % fxj)
        finally:
            tab1.close()
            tab2.close()

    def scenario_kill(self, page):
        fx = self.fixture(page, self.origin_a)
        fxj = json.dumps(fx)
        tab = self.open(page)
        try:
            self.wait_api(tab)
            self.step(page, tab, "warmUp(%s)" % fxj)
            pids = self.browser.host_pids()
            self.failures.record(page, "one npsigil-bridge runs", len(pids) == 1, str(pids))
            fifo = None
            if self.host:
                # A dialog that never answers keeps SelectCertificate pending.
                fifo = Path(self.host.dialog_answer)
                request = Path(self.host.dialog_request)
                for p in (fifo, request):
                    if p.exists() or p.is_symlink():
                        p.unlink()
                os.mkfifo(fifo)
            tab.evaluate("startPending(%s)" % fxj)
            if self.host:
                end = time.monotonic() + 20
                while not request.exists() and time.monotonic() < end:
                    time.sleep(0.05)
                self.failures.record(page, "the call is pending in the dialog", request.exists())
            for pid in pids:
                os.kill(pid, signal.SIGKILL)
            self.step(page, tab, "pendingRejected()", timeout=30)
            if fifo:
                # Let the orphaned stand-in finish.
                try:
                    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    os.write(fd, b"cancelled\n")
                    os.close(fd)
                except OSError:
                    pass
                fifo.unlink()
            self.step(page, tab, "afterRestart(%s)" % fxj)
            again = self.browser.host_pids()
            self.failures.record(page, "a fresh npsigil-bridge runs", len(again) == 1 and
                                 not set(again) & set(pids), "%s then %s" % (pids, again))
        finally:
            tab.close()

    def scenario_options(self, page):
        """The extension's own page: the host's state, the user's sites and
        folders, and its buttons taking them back in the user's file."""
        subprocess.run([str(Path(self.args.tools_dir) / "npsigil-cert"), "sites", "allow",
                        "https://shop.example"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)
        tab = self.browser.new_page()
        try:
            tab.navigate(self.browser.options_url())
            ready = ("new Promise(function (ok) { (function wait(n) { if (document.body.dataset.ready"
                     " || n > 200) ok(!!document.body.dataset.ready); else setTimeout(function ()"
                     " { wait(n + 1); }, 50); })(0); })")
            rows = ("Array.from(document.querySelectorAll('#%s tr')).map(function (r) {"
                    " return {origin: r.dataset.origin || '', folder: r.dataset.folder || '',"
                    " text: r.textContent}; })")
            self.failures.record(page, "the options page shows its lists", tab.evaluate(ready))
            host = tab.evaluate("document.getElementById('host').textContent")
            self.failures.record(page, "it names the host's version", "3.4.0.1" in (host or ""),
                                 repr(host))
            sites = tab.evaluate(rows % "sites") or []
            self.failures.record(page, "the approved site is listed",
                                 any(r["origin"] == "https://shop.example" for r in sites),
                                 str(sites))
            grants = tab.evaluate(rows % "grants") or []
            mine = [g for g in grants if g["origin"] == self.origin_a]
            self.failures.record(page, "the run's granted folders are listed", len(mine) == 2,
                                 str(grants))
            # Expressions, not statements: BiDi awaits what it evaluates.
            tab.evaluate("(document.body.dataset.ready = '', document.querySelector("
                         "'#sites tr[data-origin=\"https://shop.example\"] button').click(), true)")
            tab.evaluate(ready)
            sites = tab.evaluate(rows % "sites") or []
            self.failures.record(page, "Revoke takes the site off the list",
                                 not any(r["origin"] == "https://shop.example" for r in sites),
                                 str(sites))
            self.failures.record(page, "... and out of the user's file",
                                 "shop.example" not in self.host.userSites(),
                                 self.host.userSites())
            if mine:
                tab.evaluate("(document.body.dataset.ready = '', document.querySelector("
                             "'#grants tr[data-folder=%s] button').click(), true)"
                             % json.dumps(mine[0]["folder"]).replace("'", "\\'"))
                tab.evaluate(ready)
                left = self.host.userGrants()
                self.failures.record(page, "Take back removes that folder's grant only",
                                     left.count(self.origin_a) == 1, left)
        finally:
            tab.close()
            with self.lock:
                self.host.set_origins([self.origin_a, self.origin_b])

    def scenario_timing(self, page):
        self.run_page(page)


SCENARIOS = {
    "bridge_api.html": Run.scenario_api,
    "bridge_isolation.html": Run.scenario_isolation,
    "bridge_host_kill.html": Run.scenario_kill,
    "bridge_options.html": Run.scenario_options,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bridge-dir", required=True, help="the folder holding npsigil-bridge")
    parser.add_argument("--tools-dir", help="npsigil-testpki and npsigil-cert (default: "
                        "the bridge folder's sibling tools/)")
    parser.add_argument("--pages", default=str(HERE / "pages"))
    parser.add_argument("--locale", default="en_US.UTF-8")
    parser.add_argument("--browser", choices=("chromium", "firefox"), default="chromium")
    parser.add_argument("--only", nargs="*", default=[], help="page name patterns")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    parser.add_argument("--extension-dir", help="load this extension instead of asking the host")
    parser.add_argument("--host-exe", help="the host's executable as /proc shows it")
    parser.add_argument("--no-fixtures", action="store_true",
                        help="no certificates (for a stand-in host)")
    args = parser.parse_args()
    if not args.tools_dir:
        args.tools_dir = str(Path(args.bridge_dir).resolve().parent / "tools")

    pages = sorted(p.name for p in Path(args.pages).glob("*.html"))
    if args.only:
        pages = [p for p in pages if any(fnmatch.fnmatch(p, pat) for pat in args.only)]
    if not pages:
        print("no pages match %s" % args.only)
        return 2

    scratch = Path(tempfile.mkdtemp(prefix="npsigil-webext-"))
    code = 1
    run = None
    started = time.monotonic()
    try:
        run = Run(args, scratch)
        run.start_browser()
        for page in pages:
            t0 = time.monotonic()
            before = run.failures.count
            try:
                SCENARIOS.get(page, Run.run_page)(run, page)
            except Exception as e:
                run.failures.record(page, "the page ran", False,
                                    "%s: %s" % (type(e).__name__, e))
                traceback.print_exc()
            print("%s %s (%.1f s)" % ("ok  " if run.failures.count == before else "FAIL", page,
                                      time.monotonic() - t0), flush=True)
        run.stop_browser()
        code = 1 if run.failures.count else 0
        print("%d checks passed, %d failed, %.1f s" % (run.failures.passed, run.failures.count,
                                                       time.monotonic() - started))
    finally:
        if run:
            try:
                run.stop_browser()
            except Exception:
                traceback.print_exc()
                code = 1
            if run.host:
                run.host.close()
        if args.keep or code:
            print("scratch kept in %s" % scratch)
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
