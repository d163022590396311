"""Runs every page under --pages in QtWebKit with the built plug-in.

Each page sets window.pageResult to a list of {name, ok, detail} checks and
window.pageDone to true. Besides the page's own checks, the run enables the
plug-in's trace logger and checks the lines a failing call wrote.
"""
import argparse
import glob
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def check_trace(path):
    """The failing SignMsgPKCS1 call of the page must leave its designed lines."""
    text = open(path, encoding="utf-8", errors="replace").read()
    wanted = {
        "adapter entry": r"CScriptablePluginObject::npSignMsgPKCS1",
        "agent entry/exit": r"CCryptoAgent::SignMsgPKCS1",
        "agent failure line": re.escape(
            "] CCryptoAgent::SignMsgPKCS1 - Check parameter(bstrSourceData) "
            "[Reason:(NULL == bstrSourceData || 0 == wcslen(bstrSourceData))]"),
        "adapter failure line": re.escape(
            "] CScriptablePluginObject::npSignMsgPKCS1 - m_objCryptoAgent.SignMsgPKCS1 "
            "[Reason:FAILED(hResult)]"),
    }
    results = []
    for name, pattern in wanted.items():
        results.append(("trace: " + name, re.search(pattern, text) is not None))
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-dir", required=True)
    parser.add_argument("--pages", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="npsigil-browser-")
    for var, sub in (("HOME", "home"), ("XDG_DATA_HOME", "xdg"), ("NPSIGIL_MACHINE_ROOT", "machine")):
        os.makedirs(os.path.join(work, sub), exist_ok=True)
        os.environ[var] = os.path.join(work, sub)
    trace_file = os.path.join(work, "trace.log")
    os.environ["NPSIGIL_TRACE"] = "flags=0xF,level=5,file=" + trace_file
    os.environ["LANG"] = "en_US.UTF-8"
    for var in ("LANGUAGE", "LC_ALL", "LC_MESSAGES"):
        os.environ.pop(var, None)

    from sigil_browser import PageRun, open_browser

    app = open_browser(args.plugin_dir)
    passed = failed = 0
    for page in sorted(glob.glob(os.path.join(args.pages, "*.html"))):
        print("== %s" % os.path.basename(page), flush=True)
        try:
            checks = PageRun(app, page).result()
        except RuntimeError as error:
            checks = [{"name": "page runs", "ok": False, "detail": str(error)}]
        for check in checks:
            mark = "ok  " if check["ok"] else "FAIL"
            print("%s %s %s" % (mark, check["name"], check.get("detail", "") or ""), flush=True)
            passed += bool(check["ok"])
            failed += not check["ok"]

    if os.path.exists(trace_file):
        trace_checks = check_trace(trace_file)
    else:
        trace_checks = [("trace: file written", False)]
    for name, ok in trace_checks:
        print("%s %s" % ("ok  " if ok else "FAIL", name), flush=True)
        passed += ok
        failed += not ok

    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
