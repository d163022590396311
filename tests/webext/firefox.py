"""Debian's firefox-esr, headless, with a private profile, driven over
WebDriver BiDi: our extension installed temporarily from its folder and our
native host registered under the private HOME only. Shaped like
chromium.Chromium so the runner takes either."""

import json
import os
import re
import subprocess
from pathlib import Path

import bidi
import chromium

FIREFOX = "/usr/bin/firefox-esr"
HOST_NAME = chromium.HOST_NAME
EXTENSION_ID = "npsigil@npsigil.invalid"
# Firefox gives each extension a random moz-extension: host per profile;
# fixing it in the profile's preferences makes the options page's address
# known in advance.
EXTENSION_UUID = "8c1f3e00-0000-4000-8000-00000000a11e"

# Quiet start-up: no first-run pages, no updates, no telemetry, nothing
# fetched from the network.
PREFS = {
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.aboutwelcome.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
    "extensions.update.enabled": False,
    "browser.safebrowsing.malware.enabled": False,
    "browser.safebrowsing.phishing.enabled": False,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "dom.disable_open_during_load": False,
    "extensions.webextensions.uuids": json.dumps({EXTENSION_ID: EXTENSION_UUID}),
}


def host_manifest(bridge):
    return subprocess.run([str(bridge), "--print-manifest", "firefox"], check=True,
                          capture_output=True, text=True, timeout=30).stdout


class Firefox:
    def __init__(self, scratch, env, extension_dir, host_manifest_text, host_exe, log=None,
                 extra_args=()):
        self.scratch = Path(scratch)
        self.profile = self.scratch / "firefox-profile"
        self.profile.mkdir(parents=True, exist_ok=True)
        self.env = dict(env)
        self.host_exe = Path(host_exe)
        # None: the host is registered already, as a user would have it
        # (npsigil-cert browser install --user).
        if host_manifest_text is not None:
            hosts = Path(self.env["HOME"]) / ".mozilla" / "native-messaging-hosts"
            hosts.mkdir(parents=True, exist_ok=True)
            (hosts / (HOST_NAME + ".json")).write_text(host_manifest_text)
        with open(self.profile / "user.js", "w") as prefs:
            for name, value in PREFS.items():
                prefs.write('user_pref("%s", %s);\n' % (
                    name, "true" if value is True else "false" if value is False else json.dumps(value)))
            for line in extra_args:
                prefs.write(line + "\n")
        self.log_path = Path(log) if log else self.scratch / "firefox.log"
        self.logf = open(self.log_path, "wb")
        self.env["MOZ_HEADLESS"] = "1"
        self.env.pop("WAYLAND_DISPLAY", None)
        self.proc = subprocess.Popen(
            [FIREFOX, "--headless", "--no-remote", "--profile", str(self.profile),
             # BiDi may open extension pages (the options page) only with
             # access to the browser's own contexts.
             "--remote-debugging-port", "0", "--remote-allow-system-access", "about:blank"],
            env=self.env, stdout=self.logf, stderr=subprocess.STDOUT, start_new_session=True)
        url = bidi.wait_for(self._bidi_address, 60, "Firefox's WebDriver BiDi address")
        self.session = bidi.Session(url + "/session")
        self.extension = self.session.send(
            "webExtension.install",
            {"extensionData": {"type": "path", "path": str(Path(extension_dir).resolve())}}
        )["extension"]

    def _bidi_address(self):
        if self.proc.poll() is not None:
            raise bidi.BidiError("firefox exited (%d); see %s" % (self.proc.returncode,
                                                                  self.log_path))
        try:
            text = self.log_path.read_text(errors="replace")
        except OSError:
            return None
        found = re.search(r"WebDriver BiDi listening on (ws://[0-9.:\[\]a-z]+)", text)
        return found.group(1) if found else None

    def wait_extension(self, timeout=20.0):
        """Installed when webExtension.install answered; its background
        page starts with the first page that needs it."""
        return self.extension

    def new_page(self, url="about:blank"):
        return self.session.new_page(url)

    def options_url(self):
        return "moz-extension://%s/options.html" % EXTENSION_UUID

    def host_pids(self):
        return chromium.host_pids(self.host_exe, self.env["HOME"])

    def close(self, timeout=15.0):
        """Closes the browser; the host processes left behind (empty when
        all went as they should)."""
        try:
            self.session.send("browser.close", timeout=10)
        except bidi.BidiError:
            pass
        try:
            self.session.close()
        except OSError:
            pass
        return chromium.finish(self.proc, self.logf, timeout, self.host_exe, self.env["HOME"])
