"""Debian's chromium, headless, with a private profile, our extension
loaded and our native host registered in that profile only."""

import json
import os
import signal
import subprocess
import time
from pathlib import Path

import cdp

CHROMIUM = "/usr/bin/chromium"
HOST_NAME = "org.npsigil.bridge"


def host_info(bridge):
    """(extension folder, Chromium host manifest) as npsigil-bridge gives them."""
    ext = subprocess.run([str(bridge), "--extension-dir"], check=True, capture_output=True,
                         text=True, timeout=30).stdout.strip()
    manifest = subprocess.run([str(bridge), "--print-manifest", "chromium"], check=True,
                              capture_output=True, text=True, timeout=30).stdout
    json.loads(manifest)
    return Path(ext), manifest


def host_pids(host_exe, home):
    """Processes running host_exe with HOME=home in their environment."""
    found = []
    want = os.path.realpath(host_exe)
    marker = ("HOME=" + str(home)).encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % entry)
            if exe.endswith(" (deleted)"):
                exe = exe[:-len(" (deleted)")]
            if exe != want:
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if marker in env:
            found.append(int(entry))
    return found


def reap_hosts(host_exe, home, wait=5.0):
    """After the browser closed: the host processes still there after
    `wait` seconds, killed; an empty list when all ended as they should."""
    end = time.monotonic() + wait
    left = host_pids(host_exe, home)
    while left and time.monotonic() < end:
        time.sleep(0.1)
        left = host_pids(host_exe, home)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return left


def finish(proc, logf, timeout, host_exe, home):
    """The browser's process waited for (killed with its group past
    `timeout`), its log closed, and the hosts it left reaped."""
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    logf.close()
    return reap_hosts(host_exe, home)


class Chromium:
    def __init__(self, scratch, env, extension_dir, host_manifest, host_exe, log=None,
                 extra_args=()):
        self.scratch = Path(scratch)
        self.profile = self.scratch / "chromium-profile"
        self.profile.mkdir(parents=True, exist_ok=True)
        self.env = dict(env)
        self.host_exe = Path(host_exe)
        hosts = self.profile / "NativeMessagingHosts"
        hosts.mkdir(exist_ok=True)
        (hosts / (HOST_NAME + ".json")).write_text(host_manifest)
        self.log_path = Path(log) if log else self.scratch / "chromium.log"
        port_file = self.profile / "DevToolsActivePort"
        if port_file.exists():
            port_file.unlink()
        args = [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--no-default-browser-check", "--password-store=basic",
                "--user-data-dir=%s" % self.profile, "--remote-debugging-port=0",
                "--load-extension=%s" % extension_dir,
                "--disable-extensions-except=%s" % extension_dir, *extra_args, "about:blank"]
        self.logf = open(self.log_path, "wb")
        self.proc = subprocess.Popen(args, env=self.env, stdout=self.logf,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        end = time.monotonic() + 30
        while True:
            if self.proc.poll() is not None:
                raise cdp.CdpError("chromium exited (%d); see %s" % (self.proc.returncode,
                                                                     self.log_path))
            try:
                lines = port_file.read_text().split("\n")
                if len(lines) >= 2 and lines[1]:
                    break
            except OSError:
                pass
            if time.monotonic() > end:
                raise cdp.CdpError("no DevToolsActivePort after 30 s")
            time.sleep(0.05)
        self.port = int(lines[0])
        self.browser = cdp.Browser("ws://127.0.0.1:%d%s" % (self.port, lines[1].strip()))

    def wait_extension(self, timeout=20.0):
        """The extension's service worker is up."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for t in self.browser.targets():
                if t.get("type") == "service_worker" and t.get("url", "").startswith(
                        "chrome-extension://"):
                    return t
            time.sleep(0.1)
        raise cdp.CdpError("the extension's worker did not start")

    def new_page(self, url="about:blank"):
        return self.browser.new_page(url)

    def options_url(self):
        return "chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/options.html"

    def host_pids(self):
        return host_pids(self.host_exe, self.env["HOME"])

    def close(self, timeout=15.0):
        """Closes the browser; the list of host processes left behind (empty
        when all went as they should)."""
        try:
            self.browser.send("Browser.close", timeout=10)
        except cdp.CdpError:
            pass
        try:
            self.browser.close()
        except OSError:
            pass
        return finish(self.proc, self.logf, timeout, self.host_exe, self.env["HOME"])
