#!/usr/bin/python3
"""The file chooser a page asks for through the bridge, as its user meets
it on a virtual screen: file_chooser_driver makes the bridge's own call with
the real npsigil-select-dialog in the helper's place, and this script types
into GTK's chooser with xdotool.

Run under xvfb-run; needs xdotool.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ORIGIN = "https://shop.example"
CANCELLED = "0x800704c7"

failures = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def xdotool(*args, timeout=30):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True, text=True,
                          timeout=timeout).stdout


class Chooser:
    def __init__(self, driver, env, mode):
        self.process = subprocess.Popen([driver, ORIGIN, mode, "1033"], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        title = "^%s a file for %s$" % ("Save" if mode == "save" else "Choose", ORIGIN)
        self.window = xdotool("search", "--sync", "--onlyvisible", "--name", title,
                              timeout=60).split()[0]
        xdotool("windowfocus", "--sync", self.window)

    def type_path(self, path):
        """The name typed where GTK takes one: the location bar (opened
        with ctrl+L when opening, the name field when saving)."""
        xdotool("key", "ctrl+l")
        time.sleep(0.3)
        xdotool("key", "ctrl+a")
        xdotool("type", "--delay", "5", path)
        time.sleep(0.3)
        xdotool("key", "Return")

    def result(self):
        out, err = self.process.communicate(timeout=30)
        result = path = None
        for line in out.splitlines():
            if line.startswith("result "):
                result = line.split()[1]
            elif line.startswith("path "):
                path = line[len("path "):]
        if result is None:
            print(err, file=sys.stderr)
        return result, path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--helper", required=True)
    args = parser.parse_args()

    state = tempfile.mkdtemp(prefix="file-chooser-")
    env = dict(os.environ)
    env.update(HOME=state, XDG_DATA_HOME=os.path.join(state, "data"),
               NPSIGIL_MACHINE_ROOT=os.path.join(state, "machine"), LANGUAGE="en_US",
               NO_AT_BRIDGE="1")
    env["NPSIGIL_FILE_CHOOSER"] = args.helper
    env.pop("WAYLAND_DISPLAY", None)
    existing = os.path.join(state, "report 1.pdf")
    with open(existing, "wb") as f:
        f.write(b"%PDF-1.4 kept as it is\n")

    # Open: the file typed is the one that comes back.
    chooser = Chooser(args.driver, env, "open")
    chooser.type_path(existing)
    result, path = chooser.result()
    check(result == "0x00000000" and path == existing, "open: %s %r" % (result, path))

    # Save over a taken name: refused with a warning, nothing replaced; a
    # new name then goes through.
    chooser = Chooser(args.driver, env, "save")
    chooser.type_path(existing)
    time.sleep(1.0)  # the warning up, or the chooser gone had it taken the name
    check(chooser.process.poll() is None, "save over a taken name: the chooser stays")
    xdotool("key", "Return")  # the warning's OK
    time.sleep(0.5)
    xdotool("windowfocus", "--sync", chooser.window)
    fresh = os.path.join(state, "signed.p7")
    chooser.type_path(fresh)
    result, path = chooser.result()
    check(result == "0x00000000" and path == fresh, "save, a new name: %s %r" % (result, path))
    with open(existing, "rb") as f:
        check(f.read() == b"%PDF-1.4 kept as it is\n", "the taken name's file is untouched")
    check(not os.path.exists(fresh), "choosing a name writes nothing")

    # Escape cancels, and no path comes back.
    chooser = Chooser(args.driver, env, "open")
    xdotool("key", "Escape")
    result, path = chooser.result()
    check(result == CANCELLED and path is None, "Escape: %s %r" % (result, path))

    shutil.rmtree(state, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
