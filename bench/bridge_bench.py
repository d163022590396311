"""What the way through the browser costs: page -> extension -> npsigil-bridge
-> agent and back, in headless Chromium, set beside the agent's own time for
the same call. The host records each agent operation's time
(NPSIGIL_BRIDGE_TIMINGS); the page times each whole call; their difference,
paired call by call, is the bridge's own cost. Rounds interleave the kinds of
call so that a slow moment of the machine falls on all of them alike.

  python3 bench/bridge_bench.py --bridge-dir build/default/plugins \
      --tools-dir build/default/tools [--rounds 7] [--calls 40]
"""
import argparse
import functools
import http.server
import json
import os
import platform
import statistics
import sys
import tempfile
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "webext"))

import chromium  # noqa: E402
import webext_host  # noqa: E402

LARGE_MESSAGE_BYTES = 2304 * 1024  # its attached signature is a little over 3 MiB of Base64

ROUND = """
(async function (calls, large, serial) {
  if (!window.benchSelected) {
    await npSigil.SelectCertificate("", "", serial);
    window.benchSelected = true;
  }
  const small = "x".repeat(1024);
  const big = "y".repeat(%d);
  const out = {GetVersion: [], SignMsgPKCS7: [], large: [], largeLength: 0};
  for (let i = 0; i < calls; i++) {
    let t = performance.now();
    await npSigil.GetVersion();
    out.GetVersion.push(performance.now() - t);
    t = performance.now();
    await npSigil.SignMsgPKCS7(small, "SHA-256", false);
    out.SignMsgPKCS7.push(performance.now() - t);
  }
  for (let i = 0; i < large; i++) {
    const t = performance.now();
    const p7 = await npSigil.SignMsgPKCS7(big, "SHA-256", true);
    out.large.push(performance.now() - t);
    out.largeLength = p7.length;
  }
  return out;
})
""" % LARGE_MESSAGE_BYTES


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def read_timings(path):
    """Agent times in ms, per method, in the order the host ran them."""
    times = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            method, micros = line.split()
            times.setdefault(method, []).append(int(micros) / 1000.0)
    return times


def cpu_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bridge-dir", required=True)
    parser.add_argument("--tools-dir", required=True)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=40)
    parser.add_argument("--large", type=int, default=2)
    args = parser.parse_args()

    bridge = Path(args.bridge_dir).resolve() / "npsigil-bridge"
    extension_dir, manifest = chromium.host_info(bridge)
    with tempfile.TemporaryDirectory(prefix="npsigil-bridge-bench-") as scratch:
        scratch = Path(scratch)
        host = webext_host.WebextHost(scratch / "host", Path(args.tools_dir), bridge.parent,
                                      "en_US.UTF-8")
        pages = scratch / "pages"
        pages.mkdir()
        (pages / "bench.html").write_text("<!DOCTYPE html><title>bench</title>\n")
        handler = functools.partial(QuietHandler, directory=str(pages))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        origin = "http://127.0.0.1:%d" % server.server_address[1]
        host.set_origins([origin])
        host.reset_page()
        env = host.env()
        env.pop("NPSIGIL_TRACE", None)  # tracing is off for users, so off here
        timings = scratch / "timings"
        env["NPSIGIL_BRIDGE_TIMINGS"] = str(timings)
        serial = host.fixture()["certs"]["rsaSign"]["serial"]

        browser = chromium.Chromium(scratch / "browser", env, extension_dir, manifest, bridge)
        page = {"GetVersion": [], "SignMsgPKCS7": [], "large": []}
        per_round = []
        try:
            browser.wait_extension()
            tab = browser.new_page()
            tab.navigate(origin + "/bench.html")
            tab.evaluate("new Promise(function (ok) { if (window.npSigil) ok(true); else "
                         "window.addEventListener('npsigil:ready', function () { ok(true); }); })")
            # A warm-up round: the host starts, the certificate is selected.
            tab.evaluate("%s(5, 1, %s)" % (ROUND, json.dumps(serial)), timeout=120)
            for _ in range(args.rounds):
                result = tab.evaluate("%s(%d, %d, %s)" % (ROUND, args.calls, args.large,
                                                          json.dumps(serial)), timeout=600)
                for kind in page:
                    page[kind].extend(result[kind])
                per_round.append(result)
            large_length = per_round[-1]["largeLength"]
            tab.close()
        finally:
            browser.close()
            server.shutdown()

        agent = read_timings(timings)
        # The warm-up's calls came first; drop them, then pair call by call.
        agent_small = agent["GetVersion"][5:]
        signs = agent["SignMsgPKCS7"]
        warm_signs = 5 + 1
        agent_sign = []
        agent_large = []
        at = warm_signs
        for _ in range(args.rounds):
            agent_sign.extend(signs[at:at + args.calls])
            at += args.calls
            agent_large.extend(signs[at:at + args.large])
            at += args.large

    def row(name, whole, alone):
        extra = [w - a for w, a in zip(whole, alone)]
        print("%-34s %8.2f %8.2f %8.2f %6d" % (name, statistics.median(whole),
                                             statistics.median(alone), statistics.median(extra),
                                             len(whole)))
        return statistics.median(extra)

    print("CPU: %s; %s" % (cpu_name(), platform.platform()))
    print("%d rounds, interleaved; medians in ms" % args.rounds)
    print("%-34s %8s %8s %8s %6s" % ("call", "whole", "agent", "bridge", "n"))
    row("GetVersion", page["GetVersion"], agent_small)
    overhead = row("SignMsgPKCS7 (RSA-2048, 1 KiB)", page["SignMsgPKCS7"], agent_sign)
    large = row("SignMsgPKCS7 attached, %.2f MiB out" % (large_length / 1048576.0), page["large"],
                agent_large)
    print("bridge cost per call: %.2f ms (bar: at most 5 ms)" % overhead)
    print("a %.2f MiB result, whole call less the agent: %.0f ms (bar: under 500 ms)"
          % (large_length / 1048576.0, large))


if __name__ == "__main__":
    main()
