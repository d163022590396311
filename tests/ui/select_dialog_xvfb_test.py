#!/usr/bin/python3
"""The certificate selection dialog as a user meets it, on a virtual screen.

select_dialog_driver puts three certificates (inserted as zulu Carter,
Alpha Brown, Mike Adams) in front of the real npsigil-select-dialog; this
script presses the keys with xdotool and checks what the driver got back,
and checks a screenshot of the open dialog: the header colour, the selected
row's gradient and the 80-pixel row pitch. The screenshot is kept as
artifacts/select-dialog.png. With the requesting page's origin the header
gains a line naming it (artifacts/select-dialog-origin.png).

Run under xvfb-run; needs xdotool and python3-pyqt5.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from PyQt5.QtWidgets import QApplication

TITLE = "Windows Security"
SORTED = ["Alpha Brown", "Mike Adams", "zulu Carter"]
CANCELLED = 0xA0071002

HEADER = (0, 51, 153)
ORIGIN_LINE = (68, 68, 68)
ORIGIN_BAND = 20
SELECTED_TOP = (0xDD, 0xEC, 0xFD)
SELECTED_BOTTOM = (0xC2, 0xDC, 0xFD)
ROW_HEIGHT = 80

failures = []


def check(condition, what):
    print(("ok      " if condition else "FAILED  ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def near(pixel, colour, tolerance):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


class Shot:
    """One grab of the dialog window, read pixel by pixel."""

    def __init__(self, app, window_id):
        self.pixmap = app.primaryScreen().grabWindow(window_id)
        self.image = self.pixmap.toImage()
        self.width = self.image.width()
        self.height = self.image.height()

    def rgb(self, x, y):
        value = self.image.pixel(x, y)
        return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)

    def count(self, colour, tolerance, y_range):
        return sum(1 for y in y_range for x in range(self.width)
                   if near(self.rgb(x, y), colour, tolerance))

    def selected_band(self, x):
        """(first, last) y of the selected gradient in column x, or None.

        The band starts with the top colour and runs while the pixels stay
        in the gradient's blue; its last pixel should be the bottom colour.
        """
        for y in range(self.height):
            if near(self.rgb(x, y), SELECTED_TOP, 3):
                last = y
                while last + 1 < self.height:
                    r, g, b = self.rgb(x, last + 1)
                    if not (0xC0 <= r <= 0xDF and 0xDA <= g <= 0xEE and 0xFB <= b):
                        break
                    last += 1
                return y, last
        return None


def xdotool(*args, timeout=30):
    return subprocess.run(["xdotool", *args], check=True, capture_output=True, text=True,
                          timeout=timeout).stdout


class Dialog:
    """One run of the driver, with its dialog on the screen."""

    def __init__(self, driver, env, origin=None):
        self.process = subprocess.Popen([driver] + ([origin] if origin else []), env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        found = xdotool("search", "--sync", "--onlyvisible", "--name", "^%s$" % TITLE,
                        timeout=60).split()
        self.window = int(found[0])
        # Keys go to the focused window; no window manager gives it focus
        # here. The pointer rests on the header, away from the rows' hover.
        xdotool("windowfocus", "--sync", str(self.window))
        xdotool("mousemove", "--window", str(self.window), "400", "10")

    def key(self, name):
        xdotool("key", "--delay", "50", name)

    def shot(self, app, until):
        """The first grab that satisfies `until` within a few seconds."""
        deadline = time.monotonic() + 10
        while True:
            app.processEvents()
            shot = Shot(app, self.window)
            if until(shot) or time.monotonic() > deadline:
                return shot
            time.sleep(0.2)

    def result(self):
        out, err = self.process.communicate(timeout=30)
        code, name = None, None
        for line in out.splitlines():
            if line.startswith("result "):
                code = int(line.split()[1], 16)
            elif line.startswith("cn "):
                name = line[3:]
        if code is None:
            print(err, file=sys.stderr)
        return code, name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--driver", required=True)
    parser.add_argument("--helper", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()

    env = dict(os.environ)
    # Platform state of this run only, never the user's own.
    state = tempfile.mkdtemp(prefix="select-dialog-")
    env.update(HOME=state, XDG_DATA_HOME=os.path.join(state, "data"),
               NPSIGIL_MACHINE_ROOT=os.path.join(state, "machine"))
    env["NPSIGIL_SELECT_DIALOG"] = args.helper
    env["LANGUAGE"] = "en_US"
    env["NO_AT_BRIDGE"] = "1"
    env.pop("WAYLAND_DISPLAY", None)
    app = QApplication(["select_dialog_xvfb_test"])
    os.makedirs(args.artifacts, exist_ok=True)

    # Enter takes the highlighted row: the first in sorted order.
    dialog = Dialog(args.driver, env)
    shot = dialog.shot(app, lambda s: s.selected_band(s.width * 3 // 4) is not None)
    path = os.path.join(args.artifacts, "select-dialog.png")
    check(shot.pixmap.save(path, "PNG"), "screenshot kept as %s" % path)
    check_open_dialog(shot)
    dialog.key("Return")
    code, name = dialog.result()
    check(code == 0 and name == SORTED[0], "Enter: got 0x%08x %s" % (code or 0, name))

    # Down moves the highlight one row (80 pixels) down; two Downs and Enter
    # take the third row.
    dialog = Dialog(args.driver, env)
    first = dialog.shot(app, lambda s: s.selected_band(s.width * 3 // 4) is not None)
    column = first.width * 3 // 4
    before = first.selected_band(column)
    dialog.key("Down")
    second = dialog.shot(app, lambda s: s.selected_band(column) not in (None, before))
    after = second.selected_band(column)
    check(before is not None and after is not None and after[0] - before[0] == ROW_HEIGHT,
          "Down moves the selection by %d pixels: %s -> %s" % (ROW_HEIGHT, before, after))
    dialog.key("Down")
    dialog.key("Return")
    code, name = dialog.result()
    check(code == 0 and name == SORTED[2], "Down Down Enter: got 0x%08x %s" % (code or 0, name))

    # Escape is the user's cancel.
    dialog = Dialog(args.driver, env)
    dialog.key("Escape")
    code, name = dialog.result()
    check(code == CANCELLED and name is None, "Escape: got 0x%08x %s" % (code or 0, name))

    # The page that asks is named under the header, in grey; the rule, the
    # rows and the buttons move down to make room.
    plain = first.selected_band(column)
    dialog = Dialog(args.driver, env, origin="https://xn--bcher-kva.example")
    shot = dialog.shot(app, lambda s: s.selected_band(column) is not None)
    path = os.path.join(args.artifacts, "select-dialog-origin.png")
    check(shot.pixmap.save(path, "PNG"), "screenshot kept as %s" % path)
    band = shot.selected_band(column)
    check(band is not None and plain is not None and band[0] - plain[0] == ORIGIN_BAND,
          "rows moved down by %d pixels for the origin line: %s -> %s"
          % (ORIGIN_BAND, plain, band))
    line_pixels = shot.count(ORIGIN_LINE, 12, range(38, 60))
    check(line_pixels >= 20, "origin line drawn under the header (%d pixels)" % line_pixels)
    check(first.count(ORIGIN_LINE, 12, range(38, 60)) == 0, "no origin line without an origin")
    header_pixels = shot.count(HEADER, 10, range(0, 44))
    check(header_pixels >= 10, "header still in its band (%d pixels)" % header_pixels)
    dialog.key("Escape")
    code, name = dialog.result()
    check(code == CANCELLED, "Escape with an origin: got 0x%08x" % (code or 0))

    shutil.rmtree(state, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


def check_open_dialog(shot):
    # The header text is drawn above the rule, in its own blue.
    header_pixels = shot.count(HEADER, 10, range(0, 44))
    check(header_pixels >= 10, "header colour in the header band (%d pixels)" % header_pixels)
    body_pixels = shot.count(HEADER, 10, range(60, shot.height))
    check(body_pixels == 0, "header colour nowhere below it (%d pixels)" % body_pixels)

    # The first row is selected: a gradient from the top colour to the bottom
    # colour over the row's inner 78 pixels.
    column = shot.width * 3 // 4
    band = shot.selected_band(column)
    if not check(band is not None, "selected gradient top colour in column %d" % column):
        return
    top, bottom = band
    check(ROW_HEIGHT - 4 <= bottom - top + 1 <= ROW_HEIGHT - 1,
          "gradient %d pixels high (row %d, border excluded)" % (bottom - top + 1, ROW_HEIGHT))
    check(near(shot.rgb(column, bottom), SELECTED_BOTTOM, 6),
          "gradient ends in the bottom colour: %s" % (shot.rgb(column, bottom),))
    # The second row is not selected: white where the first row was blue.
    check(near(shot.rgb(column, top + ROW_HEIGHT + ROW_HEIGHT // 2), (255, 255, 255), 0),
          "second row white")


if __name__ == "__main__":
    sys.exit(main())
