"""Checks of the bridge page tests' host: the grants a run writes, the host
functions that must leave them alone, the stand-ins' answers and the
environment the browser gets.

    NPSIGIL_TOOLS_DIR=build/<name>/tools python3 -m unittest tests/webext/test_webext_host.py
"""
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import webext_host  # noqa: E402

TOOLS = os.environ.get("NPSIGIL_TOOLS_DIR", "")
ORIGINS = ["http://127.0.0.1:8123", "http://localhost:8124"]


@unittest.skipUnless(TOOLS and os.path.isfile(os.path.join(TOOLS, "npsigil-testpki")),
                     "NPSIGIL_TOOLS_DIR names no build's tools folder")
class WebextHostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="webext-host-test-")
        before = dict(os.environ)
        cls.host = webext_host.WebextHost(Path(cls.scratch.name), Path(TOOLS), Path(TOOLS),
                                          "zh_TW.UTF-8")
        cls.environ_untouched = before == dict(os.environ)
        cls.host.set_origins([o + "/" for o in ORIGINS])

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        cls.scratch.cleanup()

    def test_fixtures_and_environment_stay_inside_scratch(self):
        self.assertTrue(self.environ_untouched, "the runner's own environment changed")
        env = self.host.env()
        root = Path(self.scratch.name).resolve()
        for var in ("HOME", "XDG_DATA_HOME", "NPSIGIL_MACHINE_ROOT", "NPSIGIL_SELECT_DIALOG",
                    "NPSIGIL_CONSENT_DIALOG", "NPSIGIL_FILE_CHOOSER"):
            self.assertTrue(Path(env[var]).resolve().is_relative_to(root), var)
        self.assertEqual(env["LANG"], "zh_TW.UTF-8")
        fx = self.host.fixture("sign_files.html")
        self.assertEqual(fx["language"], "zh_TW")
        for key in ("sm2SignFile", "rsaSignP12", "opensslEnvelopeFile"):
            self.assertTrue(os.path.isfile(fx[key]), key)

    def test_every_page_load_gets_its_own_folder_inside_the_grant(self):
        a = self.host.fixture("errors.html")["files"]
        b = self.host.fixture("errors.html")["files"]
        self.assertNotEqual(a, b)
        for folder in (a, b):
            self.assertTrue(Path(folder).is_relative_to(self.host.files))
            self.assertEqual(os.listdir(folder), [])

    def test_grants_cover_the_fixture_folders_for_each_origin_with_mode_0600(self):
        grants = self.host.handle("userGrants", []).splitlines()
        wanted = {"grant %s %s" % (o, f) for o in ORIGINS
                  for f in (self.host.files, self.host.pki_folder)}
        self.assertEqual(set(grants), wanted)
        self.assertEqual(os.stat(self.host.sites).st_mode & 0o777, 0o600)

    def test_approvals_are_shown_and_cleared_without_the_grants(self):
        self.assertEqual(self.host.handle("userSites", []), "")
        with open(self.host.sites, "a") as f:
            f.write("allow %s keys files\n" % ORIGINS[0])
        shown = self.host.handle("userSites", [])
        self.assertTrue(shown.startswith("mode 600\n"), shown)
        self.assertIn("allow " + ORIGINS[0], shown)
        self.assertNotIn("grant ", shown)
        self.host.handle("clearUserSites", [])
        self.assertEqual(self.host.handle("userSites", []), "")
        self.assertEqual(len(self.host.handle("userGrants", []).splitlines()), 4)
        # Origins set again replace the old grants instead of adding to them.
        self.host.set_origins(ORIGINS[:1])
        self.assertEqual(len(self.host.handle("userGrants", []).splitlines()), 2)
        self.host.set_origins(ORIGINS)

    def run_stand_in(self, var, request):
        return subprocess.run([self.host.env()[var]], input=request, capture_output=True,
                              text=True, check=True).stdout

    def test_chooser_answers_once_then_cancels(self):
        self.host.handle("setChooserAnswer", ["/tmp/picked file.txt"])
        self.assertEqual(self.run_stand_in("NPSIGIL_FILE_CHOOSER", "npsigil-choose 1\nmode open\nend\n"),
                         "chosen /tmp/picked file.txt\n")
        self.assertEqual(self.run_stand_in("NPSIGIL_FILE_CHOOSER", "npsigil-choose 1\nmode save\nend\n"),
                         "cancel\n")
        requests = self.host.handle("takeChooserRequests", [])
        self.assertEqual(requests.count("----\n"), 2)
        self.assertIn("mode save", requests)
        self.assertEqual(self.host.handle("takeChooserRequests", []), "")

    def test_consent_and_selection_stand_ins(self):
        self.host.reset_page()
        self.assertEqual(self.run_stand_in("NPSIGIL_CONSENT_DIALOG", "npsigil-consent 1\nend\n"),
                         "allow-once\n")
        self.host.handle("setConsentAnswer", ["deny"])
        self.assertEqual(self.run_stand_in("NPSIGIL_CONSENT_DIALOG", "npsigil-consent 1\nend\n"),
                         "deny\n")
        self.assertEqual(self.host.handle("takeConsentRequests", []).count("----\n"), 2)
        self.assertEqual(self.run_stand_in("NPSIGIL_SELECT_DIALOG", "rows\n"), "cancelled\n")
        self.host.handle("setDialogAnswer", ["selected\t1\n"])
        self.assertEqual(self.run_stand_in("NPSIGIL_SELECT_DIALOG", "rows\n"), "selected\t1\n")
        self.assertEqual(self.host.handle("takeDialogRequest", []), "rows\n")
        self.host.reset_page()

    def test_unknown_or_private_names_are_refused(self):
        for name in ("nope", "_write_sites", "close", "set_origins", "env", 5):
            with self.assertRaises(ValueError):
                self.host.handle(name, [])
        with self.assertRaises(ValueError):
            self.host.handle("fileInfo", "not a list")

    def test_file_helpers(self):
        folder = self.host.fixture("files.html")["files"]
        info = self.host.handle("makeFile", [folder + "/a.bin", 5000])
        self.assertEqual(info["size"], 5000)
        flipped = self.host.handle("copyFlipped", [folder + "/a.bin", folder + "/b.bin", -1])
        self.assertEqual(flipped["size"], 5000)
        self.assertNotEqual(flipped["sha256"], info["sha256"])
        self.host.handle("writeText", [folder + "/t.txt", "合同 ✓"])
        self.assertEqual(self.host.handle("readText", [folder + "/t.txt"]), "合同 ✓")
        self.assertEqual(self.host.handle("fileInfo", [folder + "/none"]), {"exists": False})
        self.assertEqual(self.host.handle("mode", [folder + "/none"]), -1)


if __name__ == "__main__":
    unittest.main()
