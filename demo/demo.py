"""The npSigil tour: makes a throw-away set of certificates, opens
demo/pages/index.html in QtWebKit with the built plug-in, prints what each
step of the page did and saves a screenshot of the whole page; then tours
the same routes in headless Chromium through the extension and the bridge
(demo/pages/bridge.html, screenshot beside the first).

Everything the demo creates lives in a temporary platform root (the user's
and the machine's certificate stores and key containers are never
touched) and is removed at the end. Uses the user's display when DISPLAY is
set; otherwise starts a private Xvfb for the run. Exit status 0 only when
every step worked.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "browser"))

import sigil_pki  # noqa: E402


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


def width(text):
    """Columns the text takes in a terminal (CJK characters take two)."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def cut(text, columns):
    text = " ".join(str(text).split())
    if width(text) <= columns:
        return text + " " * (columns - width(text))
    out = ""
    for ch in text:
        if width(out + ch) > columns - 1:
            break
        out += ch
    return out + "…" + " " * (columns - 1 - width(out))


def print_table(rows):
    columns = [("#", 3), ("Step", 46), ("Route", 15), ("", 1), ("Detail", 60)]
    print("  ".join(cut(name, size) for name, size in columns))
    print("  ".join("-" * size for _, size in columns))
    for number, row in enumerate(rows, 1):
        mark = "✓" if row["ok"] else "✗"
        values = [str(number), row["step"], row["route"], mark, row["detail"]]
        print("  ".join(cut(value, size) for value, (_, size) in zip(values, columns)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--plugin-dir", required=True)
    parser.add_argument("--tools-dir", help="npsigil-testpki and npsigil-cert (default: the build's "
                        "tools folder beside the plug-in folder)")
    parser.add_argument("--out", default="demo-out")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)

    root = sigil_pki.make_platform_root("npsigil-demo-")
    xvfb = None
    try:
        print("Making the demo certificates in %s ..." % root, flush=True)
        try:
            pki = sigil_pki.make_pki(args.tools_dir or sigil_pki.find_tools_dir(args.plugin_dir), root)
        except sigil_pki.PkiError as error:
            print("Could not make the demo certificates: %s" % error)
            return 1
        fixture = {
            "password": pki["password"],
            "files": pki["files"],
            "sm2SignFile": pki["sm2SignFile"],
            "sm2EncryptFile": pki["sm2EncryptFile"],
            "rsaSignP12": pki["rsaSignP12"],
            "rsaEncryptP12": pki["rsaEncryptP12"],
            "certs": {key: {"cn": pki["certs"][name]["cn"], "serial": pki["certs"][name]["serial"],
                            "base64": pki["certs"][name]["base64"]}
                      for key, name in (("rsaSign", "rsa-sign"), ("rsaEncrypt", "rsa-encrypt"),
                                        ("sm2Sign", "sm2-sign"), ("sm2Encrypt", "sm2-encrypt"))},
        }

        xvfb = start_xvfb()
        from sigil_browser import PageRun, install_fake_consent, make_host, open_browser

        # The demo stands in for its user: it allows its own page once when
        # asked, and the page's last step has the answer be no.
        requests, answer = install_fake_consent(root, "allow-once")
        app = open_browser(args.plugin_dir)
        host = make_host(consent_requests=requests, consent_answer=answer)
        page = PageRun(app, os.path.join(HERE, "pages", "index.html"), size=(1240, 900),
                       fixture=fixture, host=host)
        try:
            rows = page.result()
        except RuntimeError as error:
            print("The demo page did not run: %s" % error)
            return 1
        print()
        print_table(rows)
        shot = os.path.join(out, "demo.png")
        saved = page.screenshot(shot)
        failed = [row for row in rows if not row["ok"]]
        print()
        print("%d steps, %d worked, %d failed." % (len(rows), len(rows) - len(failed), len(failed)))
        print("Screenshot: %s" % shot if saved else "Screenshot could not be saved.")
        plugin_ok = rows and not failed and saved

        print()
        print("The same tour in headless Chromium, through the extension and npsigil-bridge ...",
              flush=True)
        import bridge_tour
        bridge_shot = os.path.join(out, "demo-chromium.png")
        bridge_rows, bridge_saved, problem = bridge_tour.run(
            args.plugin_dir, args.tools_dir or sigil_pki.find_tools_dir(args.plugin_dir), root,
            fixture, answer, bridge_shot)
        print()
        print_table(bridge_rows)
        bridge_failed = [row for row in bridge_rows if not row["ok"]]
        print()
        print("%d steps, %d worked, %d failed." % (len(bridge_rows), len(bridge_rows) - len(bridge_failed),
                                                  len(bridge_failed)))
        if problem:
            print(problem)
        print("Screenshot: %s" % bridge_shot if bridge_saved else "Screenshot could not be saved.")
        bridge_ok = bridge_rows and not bridge_failed and bridge_saved and not problem
        return 0 if plugin_ok and bridge_ok else 1
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        sigil_pki.remove_platform_root(root)


if __name__ == "__main__":
    sys.exit(main())
