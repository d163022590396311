#!/usr/bin/env python3
"""`npsigil-cert browser test` as a user runs it: after `browser install
--user`, each headless browser reaches the host from a page; with a
browser's manifest gone, that browser's line says the host is not there
and the command fails, while the other still passes.

Arguments: the npsigil-cert program, the npsigil-bridge program, and the
browsers to try (chromium, firefox)."""

import os
import subprocess
import sys
import tempfile
import unittest

TOOL, HOST, BROWSERS = sys.argv[1], sys.argv[2], sys.argv[3:]
del sys.argv[1:]


class BrowserTestCommand(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="npsigil-bt-")
        root = self.scratch.name
        self.env = dict(os.environ)
        self.env.update(HOME=os.path.join(root, "home"), TMPDIR=os.path.join(root, "tmp"),
                        XDG_CONFIG_HOME=os.path.join(root, "home", ".config"),
                        XDG_DATA_HOME=os.path.join(root, "data"),
                        NPSIGIL_MACHINE_ROOT=os.path.join(root, "machine"))
        self.env.pop("NPSIGIL_BRIDGE", None)
        for key in ("HOME", "TMPDIR", "XDG_DATA_HOME", "NPSIGIL_MACHINE_ROOT"):
            os.makedirs(self.env[key])

    def tearDown(self):
        self.scratch.cleanup()

    def cert(self, *args, timeout=300):
        return subprocess.run([TOOL, *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout)

    def lines(self, out):
        return {line.split(":")[0]: line for line in out.splitlines() if ":" in line}

    def test_each_browser_reaches_the_registered_host_and_a_missing_one_is_named(self):
        browsers = ["--browser", BROWSERS[0]] if len(BROWSERS) == 1 else []
        installed = self.cert("browser", "install", "--user", "--host", HOST, *browsers)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)

        passed = self.cert("browser", "test", "--host", HOST, "--timeout", "120", *browsers)
        self.assertEqual(passed.returncode, 0, passed.stdout + passed.stderr)
        found = self.lines(passed.stdout)
        for browser in BROWSERS:
            self.assertIn("ok   " + browser, found, passed.stdout)
            self.assertIn("reached npsigil-bridge 3.4.0.1", found["ok   " + browser])
        # The throw-away profiles are gone with the browsers.
        self.assertEqual(os.listdir(self.env["TMPDIR"]), [])

        gone = BROWSERS[-1]
        manifest = {"chromium": ".config/chromium/NativeMessagingHosts",
                    "firefox": ".mozilla/native-messaging-hosts"}[gone]
        os.remove(os.path.join(self.env["HOME"], manifest, "org.npsigil.bridge.json"))
        failed = self.cert("browser", "test", "--host", HOST, "--timeout", "120", *browsers)
        self.assertEqual(failed.returncode, 1, failed.stdout + failed.stderr)
        found = self.lines(failed.stdout)
        self.assertIn("FAIL " + gone, found, failed.stdout)
        self.assertIn("did not reach the host (host-unavailable)", found["FAIL " + gone])
        for browser in BROWSERS[:-1]:
            self.assertIn("ok   " + browser, found, failed.stdout)
        self.assertIn("npsigil-cert browser status tells what is missing.", failed.stdout)

    def test_a_host_without_the_extension_beside_it_is_refused(self):
        lonely = os.path.join(self.scratch.name, "bin", "npsigil-bridge")
        os.makedirs(os.path.dirname(lonely))
        with open(lonely, "w") as script:
            script.write("#!/bin/sh\n")
        os.chmod(lonely, 0o755)
        result = self.cert("browser", "test", "--host", lonely)
        self.assertEqual(result.returncode, 1)
        self.assertIn("extension's folder is not found", result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
