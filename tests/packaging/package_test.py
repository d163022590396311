#!/usr/bin/env python3
"""Builds the Debian package with cpack into a scratch folder and checks it:
lintian finds no error, every file sits where the programs look for each
other with the right kind and mode, and the programs unpacked from it find
their extension, manifests and helper in that layout.

Exits 77 (skipped) when dpkg-deb or lintian is missing."""

import argparse
import gzip
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

SKIPPED = 77
HOST = "usr/lib/npsigil/npsigil-bridge"
CHROMIUM_ORIGIN = "chrome-extension://paojbdpmojlneibjgjlcnepdkkedbhcm/"
FIREFOX_ID = "npsigil@npsigil.invalid"
# System host manifests, and which browser's form each must have.
MANIFESTS = {
    "etc/chromium/native-messaging-hosts/org.npsigil.bridge.json": "chromium",
    "etc/opt/chrome/native-messaging-hosts/org.npsigil.bridge.json": "chromium",
    "usr/lib/mozilla/native-messaging-hosts/org.npsigil.bridge.json": "firefox",
}
EXECUTABLES = [HOST, "usr/lib/npsigil/npsigil-select-dialog",
               "usr/bin/npsigil-cert", "usr/bin/npsigil-sm2file"]
DATA_FILES = ["usr/lib/npsigil/npSigil.TEAL.x86.so",
              "usr/share/man/man1/npsigil-cert.1.gz",
              "usr/share/man/man1/npsigil-sm2file.1.gz",
              "usr/share/doc/npsigil/copyright",
              "usr/share/doc/npsigil/changelog.gz",
              "usr/share/lintian/overrides/npsigil"] + list(MANIFESTS)
# Links and the absolute path each must reach once installed.
LINKS = {
    "usr/lib/mozilla/plugins/npSigil.TEAL.x86.so": "/usr/lib/npsigil/npSigil.TEAL.x86.so",
    "usr/lib/mozilla/plugins/npsigil-select-dialog": "/usr/lib/npsigil/npsigil-select-dialog",
}
EXTENSION = "usr/share/npsigil/extension"
STATE = "var/lib/npsigil"
ELF_MAGIC = b"\x7fELF"

options = None
work = None      # scratch folder for the whole run
deb = None       # the package built there
root = None      # the package unpacked
entries = {}     # path without "./" -> (mode string, owner, size, link target)


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=180, **kwargs)


def parse_listing(text):
    """dpkg-deb -c lines: 'drwxr-xr-x root/root 0 2026-03-02 12:00 ./usr/ [-> target]'."""
    parsed = {}
    for line in text.splitlines():
        fields = line.split(None, 5)
        if len(fields) < 6:
            continue
        mode, owner, size, name = fields[0], fields[1], fields[2], fields[5]
        target = None
        if mode.startswith("l") and " -> " in name:
            name, target = name.split(" -> ", 1)
        parsed[name.removeprefix("./").rstrip("/")] = (mode, owner, int(size), target)
    return parsed


def octal_mode(mode):
    """'-rwxr-xr-x' -> 0o755 (set-id bits shown as s/S/t/T included)."""
    value = 0
    for i, c in enumerate(mode[1:10]):
        if c not in "-ST":
            value |= 1 << (8 - i)
    for pos, bit, in ((3, stat.S_ISUID), (6, stat.S_ISGID), (9, stat.S_ISVTX)):
        if mode[pos] in "sStT":
            value |= bit
    return value


def setUpModule():
    global work, deb, root, entries
    work = tempfile.mkdtemp(prefix="npsigil-package-")
    out = os.path.join(work, "out")
    built = run([options.cpack, "-G", "DEB", "--config", options.config, "-B", out])
    if built.returncode != 0:
        raise AssertionError("cpack failed:\n" + built.stdout + built.stderr)
    deb = os.path.join(out, f"npsigil_{options.version}_amd64.deb")
    if not os.path.isfile(deb):
        raise AssertionError(f"cpack made no {os.path.basename(deb)}:\n{built.stdout}")
    listing = run(["dpkg-deb", "-c", deb])
    if listing.returncode != 0:
        raise AssertionError("dpkg-deb -c failed: " + listing.stderr)
    entries = parse_listing(listing.stdout)
    root = os.path.join(work, "root")
    unpacked = run(["dpkg-deb", "-x", deb, root])
    if unpacked.returncode != 0:
        raise AssertionError("dpkg-deb -x failed: " + unpacked.stderr)


def tearDownModule():
    if work:
        shutil.rmtree(work, ignore_errors=True)


class Lintian(unittest.TestCase):
    def test_no_errors(self):
        result = run(["lintian", "--no-tag-display-limit", deb])
        lines = (result.stdout + result.stderr).splitlines()
        for line in lines:
            if re.match(r"[WIPX]: ", line):
                print("lintian:", line)
        errors = [line for line in lines if line.startswith("E: ")]
        self.assertEqual(errors, [], "lintian reports errors")
        # An unreadable package prints no tags at all; lintian then fails.
        self.assertNotEqual(result.returncode, 2, result.stderr)


class Contents(unittest.TestCase):
    def assertEntry(self, path, kind, mode=None):
        self.assertIn(path, entries, f"{path} is not in the package")
        entry_mode, owner, _, _ = entries[path]
        self.assertEqual(entry_mode[0], kind, f"{path}: {entry_mode}")
        self.assertEqual(owner, "root/root", path)
        if mode is not None:
            self.assertEqual(oct(octal_mode(entry_mode)), oct(mode), path)

    def test_programs_are_executable_and_data_is_not(self):
        for path in EXECUTABLES:
            self.assertEntry(path, "-", 0o755)
        for path in DATA_FILES:
            self.assertEntry(path, "-", 0o644)

    def test_plugin_links_reach_the_installed_files(self):
        for link, wanted in LINKS.items():
            self.assertEntry(link, "l")
            target = entries[link][3]
            # Relative, so that the links hold in any unpacked root too.
            self.assertFalse(target.startswith("/"), f"{link} -> {target}")
            reached = os.path.normpath(os.path.join("/" + os.path.dirname(link), target))
            self.assertEqual(reached, wanted, link)
            self.assertTrue(os.path.isfile(os.path.join(root, link)), f"{link} dangles")

    def test_state_folder_is_shipped_empty(self):
        self.assertEntry(STATE, "d", 0o755)
        below = [p for p in entries if p.startswith(STATE + "/")]
        self.assertEqual(below, [])

    def test_extension_is_the_source_tree(self):
        self.assertEntry(EXTENSION, "d", 0o755)
        source = os.path.join(options.source_dir, "browser", "extension")
        wanted = set()
        for folder, _, files in os.walk(source):
            for name in files:
                wanted.add(os.path.relpath(os.path.join(folder, name), source))
        shipped = {p[len(EXTENSION) + 1:] for p, e in entries.items()
                   if p.startswith(EXTENSION + "/") and e[0][0] == "-"}
        self.assertIn("manifest.json", shipped)
        self.assertEqual(shipped, wanted)
        for name in shipped:
            self.assertEntry(f"{EXTENSION}/{name}", "-", 0o644)
            with open(os.path.join(source, name), "rb") as a, \
                    open(os.path.join(root, EXTENSION, name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)

    def test_nothing_else_is_shipped(self):
        expected = set(EXECUTABLES) | set(DATA_FILES) | set(LINKS)
        for path, (mode, owner, _, _) in entries.items():
            self.assertEqual(owner, "root/root", path)
            if mode[0] == "d":
                self.assertEqual(octal_mode(mode), 0o755, path)
            elif not path.startswith(EXTENSION + "/"):
                self.assertIn(path, expected, "unexpected file in the package")

    def test_binaries_are_stripped_without_rpath(self):
        readelf = shutil.which("readelf")
        if not readelf:
            self.skipTest("readelf is missing")
        for path in EXECUTABLES + ["usr/lib/npsigil/npSigil.TEAL.x86.so"]:
            full = os.path.join(root, path)
            with open(full, "rb") as f:
                self.assertEqual(f.read(4), ELF_MAGIC, path)
            sections = run([readelf, "-S", "-W", full]).stdout
            self.assertNotIn(".debug_info", sections, f"{path} is not stripped")
            self.assertNotIn(".symtab", sections, f"{path} is not stripped")
            dynamic = run([readelf, "-d", "-W", full]).stdout
            self.assertNotRegex(dynamic, r"\((RPATH|RUNPATH)\)", path)


class Control(unittest.TestCase):
    def setUp(self):
        self.control_dir = os.path.join(work, "control")
        if not os.path.isdir(self.control_dir):
            result = run(["dpkg-deb", "-e", deb, self.control_dir])
            self.assertEqual(result.returncode, 0, result.stderr)

    def field(self, name):
        result = run(["dpkg-deb", "-f", deb, name])
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.strip()

    def test_fields(self):
        self.assertEqual(self.field("Package"), "npsigil")
        self.assertEqual(self.field("Version"), options.version)
        self.assertEqual(self.field("Architecture"), "amd64")
        self.assertEqual(self.field("Maintainer"), "npSigil developers <dev@npsigil.invalid>")
        self.assertIn(self.field("Section"), ("utils", "misc"))
        self.assertEqual(self.field("Priority"), "optional")
        summary, _, body = self.field("Description").partition("\n")
        self.assertTrue(summary and len(summary) <= 80, summary)
        self.assertGreater(len(body.split()), 20, "the long description is missing")

    def test_dependencies_come_from_the_binaries(self):
        depends = self.field("Depends")
        # Each of these is linked by some program of the package.
        for library in ("libc6", "libssl3", "libgtk-3-0", "libstdc++6"):
            self.assertRegex(depends, rf"(^|, ){re.escape(library)}( \(|,|$)", depends)

    def test_etc_files_are_conffiles_and_nothing_else(self):
        with open(os.path.join(self.control_dir, "conffiles")) as f:
            conffiles = set(f.read().split())
        in_etc = {"/" + p for p, e in entries.items() if p.startswith("etc/") and e[0][0] == "-"}
        self.assertEqual(conffiles, in_etc)

    def test_maintainer_scripts_do_nothing_but_ldconfig(self):
        # CPack adds an ldconfig call for any shared object below /usr/lib;
        # anything beyond that (downloads, state set up by hand) is a fault.
        for script in ("preinst", "postinst", "prerm", "postrm", "config"):
            path = os.path.join(self.control_dir, script)
            if not os.path.exists(path):
                continue
            with open(path) as f:
                lines = [line.strip() for line in f if line.strip()]
            self.assertEqual(lines[0], "#!/bin/sh", script)
            self.assertIn("set -e", lines, script)
            commands = [line for line in lines[1:] if not line.startswith("#")
                        and line not in ("set -e", "fi")
                        and not re.fullmatch(r'if \[ "\$1" = "(configure|remove)" \]; then', line)]
            self.assertEqual(commands, ["ldconfig"], script)


class InstalledPrograms(unittest.TestCase):
    def private_env(self):
        scratch = tempfile.mkdtemp(dir=work)
        env = dict(os.environ)
        for name, sub in (("HOME", "home"), ("XDG_DATA_HOME", "home/.local/share"),
                          ("NPSIGIL_MACHINE_ROOT", "machine")):
            env[name] = os.path.join(scratch, sub)
            os.makedirs(env[name], exist_ok=True)
        env.pop("NPSIGIL_TRACE", None)
        return env

    def test_system_manifests_name_the_installed_host(self):
        host = os.path.join(root, HOST)
        for path, browser in MANIFESTS.items():
            with open(os.path.join(root, path)) as f:
                text = f.read()
            manifest = json.loads(text)
            self.assertEqual(manifest["name"], "org.npsigil.bridge", path)
            self.assertEqual(manifest["path"], "/" + HOST, path)
            self.assertEqual(manifest["type"], "stdio", path)
            if browser == "chromium":
                self.assertEqual(manifest["allowed_origins"], [CHROMIUM_ORIGIN], path)
                self.assertNotIn("allowed_extensions", manifest, path)
            else:
                self.assertEqual(manifest["allowed_extensions"], [FIREFOX_ID], path)
                self.assertNotIn("allowed_origins", manifest, path)
            # Byte for byte what the host itself prints, but for where it lies.
            printed = run([host, "--print-manifest", browser])
            self.assertEqual(printed.returncode, 0, printed.stderr)
            self.assertEqual(json.loads(printed.stdout)["path"], os.path.realpath(host))
            self.assertEqual(text, printed.stdout.replace(os.path.realpath(host), "/" + HOST), path)

    def test_host_finds_the_shipped_extension(self):
        printed = run([os.path.join(root, HOST), "--extension-dir"])
        self.assertEqual(printed.returncode, 0, printed.stderr)
        self.assertEqual(os.path.realpath(printed.stdout.strip()),
                         os.path.realpath(os.path.join(root, EXTENSION)))

    def test_host_self_test(self):
        result = run([os.path.join(root, HOST), "--self-test"], env=self.private_env(),
                     stdin=subprocess.DEVNULL)
        if result.returncode == 2:
            self.skipTest("this npsigil-bridge has no --self-test yet")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_browser_status_finds_the_system_manifests(self):
        result = run([os.path.join(root, "usr/bin/npsigil-cert"), "browser", "status", "--system",
                      "--root", root, "--json"], env=self.private_env(), stdin=subprocess.DEVNULL)
        if result.returncode == 2:
            self.skipTest("this npsigil-cert has no browser status yet")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report = json.loads(result.stdout)
        self.assertIs(report["ok"], True, result.stdout)
        failures = [f for f in report["findings"] if f["level"] == "FAIL"]
        self.assertEqual(failures, [])
        for path, browser in MANIFESTS.items():
            browser = "chrome" if "/opt/chrome/" in path else browser
            found = [f for f in report["findings"] if f["level"] == "ok"
                     and f["browser"].lower() == browser and f["scope"] == "system"
                     and (f["path"] or "").endswith(path)]
            self.assertTrue(found, f"no good {browser} manifest at {path}:\n{result.stdout}")


def roff_text(path):
    with gzip.open(path, "rt", encoding="utf-8") as f:
        return f.read().replace("\\-", "-").replace("\\fB", "").replace("\\fR", "") \
            .replace("\\fI", "").replace("\\fP", "")


class Documentation(unittest.TestCase):
    def test_compressed_reproducibly(self):
        for path in DATA_FILES:
            if not path.endswith(".gz"):
                continue
            with open(os.path.join(root, path), "rb") as f:
                header = f.read(10)
            self.assertEqual(header[:2], b"\x1f\x8b", path)
            self.assertEqual(header[3] & 0x08, 0, f"{path} stores a file name")
            self.assertEqual(header[4:8], b"\0\0\0\0", f"{path} stores a time")

    def test_every_npsigil_cert_command_is_documented(self):
        usage = run([os.path.join(root, "usr/bin/npsigil-cert"), "help"]).stdout
        page = roff_text(os.path.join(root, "usr/share/man/man1/npsigil-cert.1.gz"))
        commands = set()
        for line in usage.splitlines():
            # A command, its action word if any, then arguments or the
            # column of its summary; wrapped prose goes on in lower case.
            match = re.match(r"  ([a-z][a-z0-9-]+)(?: ([a-z][a-z0-9-]+))?(?: +[-\[(A-Z]| {2,}|$)",
                             line)
            if match:
                word, second = match.groups()
                grouped = word in ("sites", "provider", "browser") and second
                commands.add(f"{word} {second}" if grouped else word)
        self.assertGreater(len(commands), 10, usage)
        for command in sorted(commands):
            self.assertRegex(page, rf"(^|\n)\.(B|TP\n\.B) (npsigil-cert )?{re.escape(command)}\b",
                             f"npsigil-cert {command} is not in the manual page")

    def test_every_npsigil_sm2file_command_is_documented(self):
        usage = run([os.path.join(root, "usr/bin/npsigil-sm2file")]).stderr
        page = roff_text(os.path.join(root, "usr/share/man/man1/npsigil-sm2file.1.gz"))
        commands = re.findall(r"npsigil-sm2file (\w+)", usage)
        self.assertEqual(len(commands), 5, usage)
        for command in commands:
            self.assertIn(f".B {command} ", page, f"npsigil-sm2file {command} is not documented")

    def test_changelog_names_this_version(self):
        with gzip.open(os.path.join(root, "usr/share/doc/npsigil/changelog.gz"), "rt") as f:
            first = f.readline()
        self.assertTrue(first.startswith(f"npsigil ({options.version}) "), first)


def main():
    global options
    parser = argparse.ArgumentParser()
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--source-dir",
                        default=os.path.dirname(os.path.dirname(os.path.dirname(
                            os.path.abspath(__file__)))))
    options, rest = parser.parse_known_args()
    missing = [tool for tool in ("dpkg-deb", "lintian") if shutil.which(tool) is None]
    if missing:
        print("skipped: " + " and ".join(missing) + " not installed")
        return SKIPPED
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
