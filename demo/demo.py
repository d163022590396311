"""Opens the demo page in QtWebKit with the built plug-in, prints what the
page shows and saves a screenshot.

Uses the user's display when DISPLAY is set; otherwise starts a private
Xvfb for the run.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "browser"))


def start_xvfb():
    if os.environ.get("DISPLAY"):
        return None
    xvfb = shutil.which("Xvfb")
    if not xvfb:
        sys.exit("No display and no Xvfb: install xvfb or run on a desktop.")
    for number in range(90, 120):
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        proc = subprocess.Popen([xvfb, ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                os.environ["DISPLAY"] = ":%d" % number
                return proc
            if proc.poll() is not None:
                break
            time.sleep(0.1)
        proc.kill()
    sys.exit("Could not start Xvfb.")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-dir", required=True)
    parser.add_argument("--out", default="demo-out")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    # The demo never touches the user's real certificate state.
    work = tempfile.mkdtemp(prefix="npsigil-demo-")
    os.environ.setdefault("NPSIGIL_MACHINE_ROOT", os.path.join(work, "machine"))
    os.environ["XDG_DATA_HOME"] = os.path.join(work, "xdg")

    xvfb = start_xvfb()
    try:
        from sigil_browser import PageRun, open_browser

        app = open_browser(args.plugin_dir)
        page = PageRun(app, os.path.join(HERE, "pages", "index.html"), size=(900, 520))
        shown = page.result()
        for row in shown:
            lines = [line for line in str(row["detail"]).split("\n") if line] or [""]
            print("%-28s %s" % (row["name"] + ":", lines[0]))
            for line in lines[1:]:
                print("%-28s %s" % ("", line))
        shot = os.path.join(os.path.abspath(args.out), "demo.png")
        page.screenshot(shot)
        print("Screenshot: %s" % shot)
        return 0 if all(row["ok"] for row in shown) else 1
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
