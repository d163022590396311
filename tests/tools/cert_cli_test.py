#!/usr/bin/env python3
"""npsigil-cert driven as a user drives it.

Every test runs the tool with HOME, XDG_DATA_HOME and NPSIGIL_MACHINE_ROOT
in a fresh temporary folder and checks what it printed, its exit status
and what the stores and containers hold afterwards (read back through the
tool itself). Certificates come from `npsigil-testpki fixtures`.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

CLI = None
FIXTURES = None
SANITIZED = False
SM2_PROVIDER = "Sigil SM2 Software Cryptographic Provider"
RSA_PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0"
PASSWORD = "123456"


def fixture(name):
    return os.path.join(FIXTURES, name)


def read(name):
    with open(fixture(name), "rb") as f:
        return f.read()


def thumbprint(cer_name):
    return hashlib.sha1(read(cer_name)).hexdigest().upper()


class CliTestCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="cert-cli-")
        self.env = dict(os.environ)
        self.env.update(HOME=self.root,
                        XDG_DATA_HOME=os.path.join(self.root, "data"),
                        NPSIGIL_MACHINE_ROOT=os.path.join(self.root, "machine"))

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_cli(self, *args, expect=0):
        result = subprocess.run([CLI, *args], env=self.env, capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, expect,
                         f"npsigil-cert {' '.join(args)}\nstdout:\n{result.stdout}\n"
                         f"stderr:\n{result.stderr}")
        return result

    def write(self, name, data):
        path = os.path.join(self.root, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def run_measured(self, *args, stderr=None):
        """Exit status and peak resident memory (KiB) of one run of the tool.

        Measured by /usr/bin/time: a child of this interpreter would report
        the interpreter's own memory, which it starts out with. With a list
        as stderr, the tool's error output is appended to it.
        """
        report = os.path.join(self.root, "time.txt")
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, CLI, *args],
                                env=self.env, capture_output=True, text=True, timeout=300)
        if stderr is not None:
            stderr.append(result.stderr)
        with open(report) as f:
            return result.returncode, int(f.read().split()[-1])

    def assert_bounded(self, peak_kib, limit_kib, what):
        if not SANITIZED:
            self.assertLess(peak_kib, limit_kib, f"peak resident memory in KiB of {what}")

    def sparse(self, name, size):
        path = os.path.join(self.root, name)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def thumbprints(self, *list_args):
        out = self.run_cli("list", *list_args).stdout
        return re.findall(r"Thumbprint: ([0-9A-F]{40})", out)

    def containers(self, provider):
        """{container: {"exchange": text, "signature": text}} of one provider."""
        out = self.run_cli("containers", provider).stdout
        found, current = {}, None
        for line in out.splitlines():
            m = re.match(r"^  (\S.*)$", line)
            if m:
                current = m.group(1)
                found[current] = {}
                continue
            m = re.match(r"^    (exchange|signature):\s+(.*)$", line)
            if m and current is not None:
                found[current][m.group(1)] = m.group(2)
        found.pop("(no containers)", None)
        return found

    def providers(self):
        out = self.run_cli("providers").stdout
        return {line.split("\t")[0]: line.split("\t")[1:] for line in out.splitlines()}


class UsageTest(CliTestCase):
    def test_usage_errors_exit_2_and_say_why(self):
        cases = [
            (),
            ("frobnicate",),
            ("list", "--bogus"),
            ("import", "MY"),
            ("delete", "MY", "1234"),
            ("import-pfx",),
            ("import-pfx", fixture("rsa-sign.p12"), "--password"),
            ("sm2-container", "c"),
            ("sm2-container", "c", "--softcert", fixture("sm2-sign.sm2"), "--password", "x",
             "--key", fixture("sm2-sign.pem")),
            ("sm2-container", "c", "--softcert", fixture("sm2-sign.sm2"), "--password",
             PASSWORD, "--pair", "all"),
            ("provider", "install-rsa"),
            ("containers", "a", "b"),
            ("delete-container", SM2_PROVIDER),
            ("install-ca", "extra"),
            ("install-ca", "--module"),
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.run_cli(*args, expect=2)
                self.assertIn("npsigil-cert", result.stderr)
        # Nothing was written by any of them.
        self.assertEqual(self.thumbprints(), [])
        self.assertNotIn(SM2_PROVIDER, self.providers())

    def test_help_goes_to_stdout(self):
        self.assertIn("sm2-container", self.run_cli("help").stdout)


class StoreTest(CliTestCase):
    def test_list_shows_each_field_as_people_read_it(self):
        self.run_cli("import", "MY", fixture("sm2-sign.cer"))
        out = self.run_cli("list", "MY").stdout
        self.assertIn("Subject:    CN=Sigil Test SM2 Sign, OU=SM2, O=Sigil Test, C=CN", out)
        self.assertIn("Issuer:     CN=Sigil Test SM2 Root CA, O=Sigil Test, C=CN", out)
        self.assertIn("Serial:     1001\n", out)  # most significant byte first
        self.assertIn(f"Thumbprint: {thumbprint('sm2-sign.cer')}", out)
        self.assertRegex(out, r"Valid:      \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC to "
                              r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC")
        self.assertNotIn("Key:", out)

    def test_import_pem_bundle_der_and_repeats(self):
        bundle = self.write("roots.pem", read("rsa-root.pem") + read("sm2-root.pem"))
        result = self.run_cli("import", "--machine", "ROOT", bundle)
        self.assertEqual(result.stdout.count("added to ROOT"), 2)
        roots = {thumbprint("rsa-root.cer"), thumbprint("sm2-root.cer")}
        self.assertEqual(set(self.thumbprints("--machine", "ROOT")), roots)
        self.assertEqual(self.thumbprints("ROOT"), [], "the user's ROOT is another store")

        again = self.run_cli("import", "--machine", "ROOT", fixture("sm2-root.cer"))
        self.assertIn("already in ROOT", again.stdout)
        self.assertEqual(len(self.thumbprints("--machine", "ROOT")), 2)

        der_pair = self.write("pair.der", read("sm2-sign.cer") + read("sm2-encrypt.cer"))
        self.run_cli("import", "ADDRESSBOOK", der_pair)
        self.assertEqual(set(self.thumbprints("ADDRESSBOOK")),
                         {thumbprint("sm2-sign.cer"), thumbprint("sm2-encrypt.cer")})

    def test_import_refuses_files_that_are_not_all_certificates(self):
        good = read("sm2-sign.cer")
        bad_files = [
            fixture("sm2-sign.sm2"),
            self.write("trailing.der", good + b"\x00garbage"),
            self.write("empty.cer", b""),
            os.path.join(self.root, "missing.cer"),
        ]
        for path in bad_files:
            with self.subTest(path=os.path.basename(path)):
                self.assertIn(path, self.run_cli("import", "MY", path, expect=1).stderr)
        self.assertEqual(self.thumbprints("MY"), [], "a refused file adds nothing")

    def test_delete_by_thumbprint(self):
        self.run_cli("import", "CA", fixture("sm2-root.pem"))
        self.run_cli("import", "CA", fixture("rsa-root.pem"))
        tp = thumbprint("sm2-root.cer")
        spaced = ":".join(tp[i:i + 2] for i in range(0, 40, 2)).lower()
        self.assertIn("deleted from CA", self.run_cli("delete", "CA", spaced).stdout)
        self.assertEqual(self.thumbprints("CA"), [thumbprint("rsa-root.cer")])
        self.assertIn(tp, self.run_cli("delete", "CA", tp, expect=1).stderr)
        self.run_cli("delete", "--machine", "CA", thumbprint("rsa-root.cer"), expect=1)
        self.assertEqual(self.thumbprints("CA"), [thumbprint("rsa-root.cer")])


class PfxTest(CliTestCase):
    def test_key_goes_to_container_and_certificate_to_my_linked(self):
        tp = thumbprint("rsa-sign.cer")
        self.run_cli("import-pfx", fixture("rsa-sign.p12"), "--password", PASSWORD)
        out = self.run_cli("list", "MY").stdout
        self.assertIn(f'Key:        container "pfx-{tp}" of "{RSA_PROVIDER}" (exchange)', out)
        held = self.containers(RSA_PROVIDER)
        self.assertEqual(held[f"pfx-{tp}"]["exchange"],
                         "key, certificate CN=Sigil Test RSA Sign, OU=RSA, O=Sigil Test, C=CN")
        self.assertEqual(held[f"pfx-{tp}"]["signature"], "none")

    def test_never_overwrites_silently(self):
        args = ("import-pfx", fixture("rsa-sign.p12"), "--password", PASSWORD,
                "--container", "mine")
        self.run_cli(*args)
        self.assertIn("--replace", self.run_cli(*args, expect=1).stderr)
        self.run_cli(*args, "--replace")
        self.assertEqual(self.thumbprints("MY"), [thumbprint("rsa-sign.cer")])
        self.assertEqual(list(self.containers(RSA_PROVIDER)), ["mine"])

    def test_failures_leave_nothing_behind(self):
        self.run_cli("import-pfx", fixture("rsa-sign.p12"), "--password", "wrong", expect=1)
        self.run_cli("import-pfx", fixture("sm2-sign.cer"), expect=1)
        self.run_cli("import-pfx", fixture("rsa-sign.p12"), "--password", PASSWORD,
                     "--provider", "No Such Provider", expect=1)
        # An RSA key does not fit the SM2 provider: the container made for it goes again.
        self.run_cli("provider", "install-sm2")
        result = self.run_cli("import-pfx", fixture("rsa-sign.p12"), "--password", PASSWORD,
                              "--provider", SM2_PROVIDER, expect=1)
        self.assertIn(SM2_PROVIDER, result.stderr)
        self.assertEqual(self.containers(SM2_PROVIDER), {})
        self.assertEqual(self.containers(RSA_PROVIDER), {})
        self.assertEqual(self.thumbprints("MY"), [])


    @unittest.skipUnless(shutil.which("openssl"), "needs the openssl command")
    def test_files_of_older_tools_import(self):
        """RC2-40 and triple-DES bags under a SHA-1 MAC, as `openssl pkcs12
        -legacy` and older Windows exports write them."""
        bundle = self.write("bundle.pem", b"")
        subprocess.run(["openssl", "pkcs12", "-in", fixture("rsa-sign.p12"), "-passin",
                        "pass:" + PASSWORD, "-nodes", "-out", bundle],
                       check=True, capture_output=True)
        kinds = {"rc2": ["-legacy"],
                 "3des": ["-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES",
                          "-macalg", "sha1"]}
        for name, options in kinds.items():
            with self.subTest(kind=name):
                pfx = os.path.join(self.root, name + ".p12")
                subprocess.run(["openssl", "pkcs12", "-export", "-in", bundle, "-passout",
                                "pass:" + PASSWORD, "-out", pfx, *options],
                               check=True, capture_output=True)
                self.run_cli("import-pfx", pfx, "--password", "wrong", expect=1)
                self.run_cli("import-pfx", pfx, "--password", PASSWORD, "--container", name)
                self.assertEqual(self.containers(RSA_PROVIDER)[name]["exchange"],
                                 "key, certificate CN=Sigil Test RSA Sign, OU=RSA, "
                                 "O=Sigil Test, C=CN")
                self.run_cli("delete", "MY", thumbprint("rsa-sign.cer"))

    def test_a_huge_file_is_refused_before_it_is_read(self):
        huge = self.sparse("huge.p12", 1 << 30)
        errors = []
        status, peak = self.run_measured("import-pfx", huge, "--password", PASSWORD,
                                         stderr=errors)
        self.assertEqual(status, 1)
        self.assertIn("0xA0072026", errors[0])
        self.assert_bounded(peak, 16 * 1024, "import-pfx of 1 GiB")
        # At the limit the file is read (and is no PKCS#12).
        limit = self.sparse("limit.p12", 1 << 20)
        result = self.run_cli("import-pfx", limit, "--password", PASSWORD, expect=1)
        self.assertIn("not a PKCS#12 file", result.stderr)
        self.assertEqual(self.thumbprints("MY"), [])


class Sm2ContainerTest(CliTestCase):
    SIGN = "key, certificate CN=Sigil Test SM2 Sign, OU=SM2, O=Sigil Test, C=CN"
    ENCRYPT = "key, certificate CN=Sigil Test SM2 Encrypt, OU=SM2, O=Sigil Test, C=CN"

    def test_soft_certificate_installs_provider_and_fills_both_pairs(self):
        self.assertNotIn(SM2_PROVIDER, self.providers())
        result = self.run_cli("sm2-container", "token", "--softcert", fixture("sm2-sign.sm2"),
                              "--password", PASSWORD)
        self.assertIn(f'installed provider "{SM2_PROVIDER}"', result.stdout)
        self.assertEqual(self.providers()[SM2_PROVIDER], ["type 1", "software"])
        self.assertEqual(self.containers(SM2_PROVIDER),
                         {"token": {"exchange": self.SIGN, "signature": self.SIGN}})
        # The second container finds the provider there and says nothing of it.
        result = self.run_cli("sm2-container", "other", "--softcert", fixture("sm2-encrypt.sm2"),
                              "--password", PASSWORD, "--pair", "exchange")
        self.assertNotIn("installed provider", result.stdout)
        self.assertEqual(self.containers(SM2_PROVIDER)["other"],
                         {"exchange": self.ENCRYPT, "signature": "none"})

    def test_replace_writes_only_the_pairs_named(self):
        soft = ("--softcert", fixture("sm2-sign.sm2"), "--password", PASSWORD)
        self.run_cli("sm2-container", "token", *soft)
        enc = ("--softcert", fixture("sm2-encrypt.sm2"), "--password", PASSWORD,
               "--pair", "exchange")
        self.assertIn("--replace", self.run_cli("sm2-container", "token", *enc, expect=1).stderr)
        self.assertEqual(self.containers(SM2_PROVIDER)["token"]["exchange"], self.SIGN)
        self.run_cli("sm2-container", "token", *enc, "--replace")
        self.assertEqual(self.containers(SM2_PROVIDER)["token"],
                         {"exchange": self.ENCRYPT, "signature": self.SIGN})

    def test_bad_sources_install_and_create_nothing(self):
        cases = [
            ("--softcert", fixture("sm2-sign.sm2"), "--password", "654321"),
            ("--softcert", fixture("sm2-sign.cer"), "--password", PASSWORD),
            ("--key", fixture("sm2-sign.pem"), "--cert", fixture("sm2-sign.cer")),
        ]
        for args in cases:
            with self.subTest(args=args):
                self.run_cli("sm2-container", "token", *args, expect=1)
        self.assertNotIn(SM2_PROVIDER, self.providers())

    def test_a_huge_soft_certificate_is_refused_before_it_is_read(self):
        huge = self.sparse("huge.sm2", 1 << 30)
        errors = []
        status, peak = self.run_measured("sm2-container", "token", "--softcert", huge,
                                         "--password", PASSWORD, stderr=errors)
        self.assertEqual(status, 1)
        self.assertIn("0xA0072026", errors[0])
        self.assert_bounded(peak, 16 * 1024, "sm2-container of 1 GiB")
        self.assertNotIn(SM2_PROVIDER, self.providers())

    @unittest.skipUnless(shutil.which("openssl"), "needs the openssl command")
    def test_key_and_certificate_files(self):
        key = os.path.join(self.root, "k.pem")
        cert = os.path.join(self.root, "c.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:SM2", "-out", key], check=True, capture_output=True)
        subprocess.run(["openssl", "req", "-new", "-x509", "-key", key, "-sm3", "-sigopt",
                        "distid:1234567812345678", "-subj", "/C=CN/CN=CLI Key", "-days", "30",
                        "-out", cert], check=True, capture_output=True)
        # A certificate of another key is refused and the container goes again.
        result = self.run_cli("sm2-container", "token", "--key", key, "--cert",
                              fixture("sm2-sign.cer"), expect=1)
        self.assertIn("public key", result.stderr)
        self.assertEqual(self.containers(SM2_PROVIDER), {})
        self.run_cli("sm2-container", "token", "--key", key, "--cert", cert,
                     "--pair", "signature")
        self.assertEqual(self.containers(SM2_PROVIDER)["token"],
                         {"exchange": "none", "signature": "key, certificate CN=CLI Key, C=CN"})


class ProviderTest(CliTestCase):
    def test_providers_and_install(self):
        builtin = self.providers()
        self.assertEqual(builtin[RSA_PROVIDER], ["type 1", "software"])
        self.assertEqual(builtin["Microsoft Enhanced RSA and AES Cryptographic Provider"][0],
                         "type 24")
        self.assertIn("installed", self.run_cli("provider", "install-sm2").stdout)
        self.assertIn("already installed", self.run_cli("provider", "install-sm2").stdout)
        self.assertEqual(len(self.providers()), len(builtin) + 1)

    def test_containers_and_delete_container(self):
        self.run_cli("sm2-container", "one", "--softcert", fixture("sm2-sign.sm2"),
                     "--password", PASSWORD)
        self.run_cli("sm2-container", "two", "--softcert", fixture("sm2-sign.sm2"),
                     "--password", PASSWORD)
        every = self.run_cli("containers").stdout
        self.assertIn(f"[{SM2_PROVIDER}]", every)
        self.assertIn(f"[{RSA_PROVIDER}]", every)
        self.run_cli("delete-container", SM2_PROVIDER, "one")
        self.assertEqual(list(self.containers(SM2_PROVIDER)), ["two"])
        self.assertIn('"one"', self.run_cli("delete-container", SM2_PROVIDER, "one",
                                            expect=1).stderr)
        self.run_cli("delete-container", "No Such Provider", "two", expect=1)
        self.run_cli("containers", "No Such Provider", expect=1)
        self.assertEqual(list(self.containers(SM2_PROVIDER)), ["two"])


class EnvelopeTest(CliTestCase):
    def setUp(self):
        super().setUp()
        self.run_cli("import-pfx", fixture("rsa-encrypt.p12"), "--password", PASSWORD)

    def path(self, name):
        return os.path.join(self.root, name)


    def openssl_key(self):
        key = self.path("key.pem")
        subprocess.run(["openssl", "pkcs12", "-in", fixture("rsa-encrypt.p12"), "-passin",
                        "pass:" + PASSWORD, "-nodes", "-nocerts", "-out", key],
                       check=True, capture_output=True)
        return key

    def test_round_trip_with_openssl_either_side_in_bounded_memory(self):
        # Past several 4 MiB blocks, and not a multiple of the cipher block.
        content = os.urandom(3 * 1024 * 1024) * 16 + b"tail"
        plain = self.write("plain.bin", content)
        envelope, opened = self.path("plain.p7"), self.path("opened.bin")
        status, peak = self.run_measured("encrypt", "--to", fixture("rsa-encrypt.cer"), plain,
                                         envelope)
        self.assertEqual(status, 0)
        status, peak_open = self.run_measured("decrypt", envelope, opened)
        self.assertEqual(status, 0)
        with open(opened, "rb") as f:
            self.assertEqual(f.read(), content)
        if not SANITIZED:
            self.assertLess(max(peak, peak_open), 16 * 1024, "peak resident memory in KiB")

        key = self.openssl_key()
        theirs = self.path("openssl.bin")
        subprocess.run(["openssl", "cms", "-decrypt", "-binary", "-inform", "DER", "-in",
                        envelope, "-recip", fixture("rsa-encrypt.pem"), "-inkey", key,
                        "-out", theirs], check=True, capture_output=True)
        with open(theirs, "rb") as f:
            self.assertEqual(f.read(), content)
        made = self.path("made.p7")
        subprocess.run(["openssl", "cms", "-encrypt", "-binary", "-stream", "-des3", "-keyid",
                        "-outform", "DER", "-in", plain, "-out", made,
                        fixture("rsa-encrypt.pem")], check=True, capture_output=True)
        self.run_cli("decrypt", made, self.path("made.bin"))
        with open(self.path("made.bin"), "rb") as f:
            self.assertEqual(f.read(), content)

    @unittest.skipUnless(shutil.which("openssl"), "needs the openssl command")
    def test_rc4_envelopes_with_openssl_either_side(self):
        """Ours carry RC4's parameters as the empty OCTET STRING OpenSSL
        writes; OpenSSL's (from its legacy provider) open here."""
        content = os.urandom(100000)
        plain = self.write("plain.bin", content)
        ours = self.path("ours.p7")
        self.run_cli("encrypt", "--to", fixture("rsa-encrypt.cer"), "--cipher", "rc4", plain,
                     ours)
        with open(ours, "rb") as f:
            der = f.read()
        rc4 = bytes.fromhex("06082a864886f70d0304")
        self.assertEqual(der[der.index(rc4) + len(rc4):][:2], b"\x04\x00")
        key = self.openssl_key()
        theirs_plain = self.path("theirs.bin")
        subprocess.run(["openssl", "cms", "-decrypt", "-provider", "legacy", "-provider",
                        "default", "-binary", "-inform", "DER", "-in", ours, "-recip",
                        fixture("rsa-encrypt.pem"), "-inkey", key, "-out", theirs_plain],
                       check=True, capture_output=True)
        with open(theirs_plain, "rb") as f:
            self.assertEqual(f.read(), content)
        for options in ([], ["-stream"]):
            with self.subTest(options=options):
                made = self.path("made.p7")
                subprocess.run(["openssl", "cms", "-encrypt", "-provider", "legacy", "-provider",
                                "default", "-binary", "-rc4", *options, "-outform", "DER",
                                "-in", plain, "-out", made, fixture("rsa-encrypt.pem")],
                               check=True, capture_output=True)
                opened = self.path("made.bin")
                self.run_cli("decrypt", made, opened)
                with open(opened, "rb") as f:
                    self.assertEqual(f.read(), content)
                os.remove(opened)

    @unittest.skipUnless(shutil.which("openssl"), "needs the openssl command")
    def test_hostile_envelope_files_in_bounded_memory(self):
        """Files made to cost memory: the content in millions of pieces opens
        as any file does; a header of a million tiny recipients and pieces
        nested without end are refused."""
        content = os.urandom(4 * 1024 * 1024)
        plain = self.write("plain.bin", content)
        # OpenSSL's DER (definite lengths) is the easier one to take apart.
        envelope = self.path("plain.p7")
        subprocess.run(["openssl", "cms", "-encrypt", "-binary", "-des3", "-outform", "DER",
                        "-in", plain, "-out", envelope, fixture("rsa-encrypt.pem")],
                       check=True, capture_output=True)
        with open(envelope, "rb") as f:
            parts = split_envelope(f.read())

        pieces = b"".join(b"\x04\x01" + bytes([b]) for b in parts["ciphertext"])
        cases = {
            "pieces": (0, parts["rebuild"](parts["recipients"],
                                           b"\xa0\x80\x24\x80" + pieces + b"\0\0\0\0")),
            "tiny_recipients": (1, parts["rebuild"](b"\xa1\x00" * ((1 << 19) - 64),
                                                    parts["content"])),
            "deep_pieces": (1, parts["rebuild"](parts["recipients"],
                                                b"\xa0\x80" + b"\x24\x80" * (6 << 20))),
        }
        for name, (expected, der) in cases.items():
            with self.subTest(case=name):
                hostile = self.write(name + ".p7", der)
                del der
                opened = self.path(name + ".bin")
                status, peak = self.run_measured("decrypt", hostile, opened)
                self.assertEqual(status, expected)
                self.assert_bounded(peak, 32 * 1024, name)
                if expected == 0:
                    with open(opened, "rb") as f:
                        self.assertEqual(f.read(), content)
                else:
                    self.assertFalse(os.path.exists(opened))

    def test_refusals_touch_nothing(self):
        plain = self.write("plain.bin", b"secret")
        existing = self.write("existing.p7", b"keep me")
        self.run_cli("encrypt", "--to", fixture("rsa-encrypt.cer"), plain, existing, expect=1)
        with open(existing, "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        # Without a subject key identifier nobody could find their recipient entry.
        self.run_cli("encrypt", "--to", fixture("sm2-noskid.cer"), plain, self.path("x.p7"),
                     expect=1)
        self.assertFalse(os.path.exists(self.path("x.p7")))
        self.run_cli("encrypt", "--to", fixture("rsa-encrypt.cer"), "--cipher", "rc2", plain,
                     self.path("x.p7"), expect=2)
        # For someone else: nothing decrypts and no output is left.
        envelope = self.path("other.p7")
        self.run_cli("encrypt", "--to", fixture("rsa-sign.cer"), plain, envelope)
        self.run_cli("decrypt", envelope, self.path("other.bin"), expect=1)
        self.assertFalse(os.path.exists(self.path("other.bin")))


def der_length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def der_tlv(tag, contents):
    return bytes([tag]) + der_length(len(contents)) + contents


def der_children(der, start, end):
    """(tag, whole, contents) of each definite element in der[start:end]."""
    out = []
    while start < end:
        length, at = der[start + 1], start + 2
        if length & 0x80:
            count = length & 0x7F
            length = int.from_bytes(der[at:at + count], "big")
            at += count
        out.append((der[start], der[start:at + length], der[at:at + length]))
        start = at + length
    return out


def split_envelope(der):
    """The parts of a definite EnvelopedData a hostile one is built from."""
    content_info = der_children(der, 0, len(der))[0][2]
    content_type, wrapper = der_children(content_info, 0, len(content_info))
    enveloped = der_children(wrapper[2], 0, len(wrapper[2]))[0][2]
    version, recipients, info = der_children(enveloped, 0, len(enveloped))
    inner, algorithm, content = der_children(info[2], 0, len(info[2]))

    def rebuild(recipient_infos, content_tlv):
        body = (version[1] + der_tlv(0x31, recipient_infos) +
                der_tlv(0x30, inner[1] + algorithm[1] + content_tlv))
        return der_tlv(0x30, content_type[1] + der_tlv(0xA0, der_tlv(0x30, body)))

    return {"recipients": recipients[2], "content": content[1], "ciphertext": content[2],
            "rebuild": rebuild}


CA_CHAIN_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src",
                             "register", "data")


def chain_thumbprints(folder, pattern):
    """Thumbprints of the .cer files of a folder whose names match."""
    found = set()
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cer") and re.search(pattern, name):
            with open(os.path.join(folder, name), "rb") as f:
                found.add(hashlib.sha1(f.read()).hexdigest().upper())
    return found


class InstallCaTest(CliTestCase):
    """install-ca runs the built module's NP_Install against the temporary
    machine root and reports the stores' changes."""

    ROOTS = chain_thumbprints(CA_CHAIN_DATA, r"-root\.cer$")
    INTERMEDIATES = chain_thumbprints(CA_CHAIN_DATA, r"") - ROOTS
    OBSOLETE = os.path.join(CA_CHAIN_DATA, "obsolete")

    def changes(self, out, verb, store):
        return set(re.findall(rf"^{verb} (?:to|from) {store}: ([0-9A-F]{{40}}) ", out, re.M))

    def test_installs_roots_and_intermediates_and_a_second_run_adds_nothing(self):
        self.assertEqual(len(self.ROOTS), 2)
        self.assertEqual(len(self.INTERMEDIATES), 6)
        out = self.run_cli("install-ca").stdout
        self.assertEqual(self.changes(out, "added", "ROOT"), self.ROOTS)
        self.assertEqual(self.changes(out, "added", "CA"), self.INTERMEDIATES)
        self.assertIn("ROOT: 2 added, 0 removed, 0 unchanged", out)
        self.assertIn("CA: 6 added, 0 removed, 0 unchanged", out)
        self.assertIn("CN=Sigil Demo SM2 Root CA, O=Sigil Demo, C=CN", out)
        self.assertEqual(set(self.thumbprints("--machine", "ROOT")), self.ROOTS)
        self.assertEqual(set(self.thumbprints("--machine", "CA")), self.INTERMEDIATES)
        # The user's own stores are not the installer's business.
        self.assertEqual(self.thumbprints("MY", "CA", "ROOT"), [])

        again = self.run_cli("install-ca").stdout
        self.assertNotIn("added to", again)
        self.assertNotIn("removed from", again)
        self.assertIn("ROOT: 0 added, 0 removed, 2 unchanged", again)
        self.assertIn("CA: 0 added, 0 removed, 6 unchanged", again)
        self.assertEqual(set(self.thumbprints("--machine", "ROOT")), self.ROOTS)
        self.assertEqual(set(self.thumbprints("--machine", "CA")), self.INTERMEDIATES)

    def test_obsolete_certificates_are_removed_and_others_kept(self):
        obsolete_cas = set()
        for name in ("obsolete-test-ca", "obsolete-operation-ca", "obsolete-sm2-ca"):
            path = os.path.join(self.OBSOLETE, name + ".cer")
            self.run_cli("import", "--machine", "CA", path)
            with open(path, "rb") as f:
                obsolete_cas.add(hashlib.sha1(f.read()).hexdigest().upper())
        obsolete_root = chain_thumbprints(self.OBSOLETE, r"^obsolete-root\.cer$")
        self.run_cli("import", "--machine", "ROOT", os.path.join(self.OBSOLETE, "obsolete-root.cer"))
        # Someone else's certificates in the same stores stay.
        self.run_cli("import", "--machine", "CA", fixture("rsa-sign.cer"))
        self.run_cli("import", "--machine", "ROOT", fixture("sm2-root.cer"))

        out = self.run_cli("install-ca").stdout
        self.assertEqual(self.changes(out, "removed", "CA"), obsolete_cas)
        self.assertEqual(self.changes(out, "removed", "ROOT"), obsolete_root)
        self.assertIn("CA: 6 added, 3 removed, 1 unchanged", out)
        self.assertIn("ROOT: 2 added, 1 removed, 1 unchanged", out)
        self.assertEqual(set(self.thumbprints("--machine", "CA")),
                         self.INTERMEDIATES | {thumbprint("rsa-sign.cer")})
        self.assertEqual(set(self.thumbprints("--machine", "ROOT")),
                         self.ROOTS | {thumbprint("sm2-root.cer")})

    def test_failures_exit_1_and_say_why(self):
        not_a_folder = self.write("machine-file", b"")
        self.env["NPSIGIL_MACHINE_ROOT"] = not_a_folder
        result = self.run_cli("install-ca", expect=1)
        self.assertIn("ROOT: 0 added", result.stdout)
        self.assertIn("not in machine store ROOT", result.stderr)
        self.assertIn("not a folder", result.stderr)

        self.env["NPSIGIL_MACHINE_ROOT"] = os.path.join(self.root, "machine")
        result = self.run_cli("install-ca", "--module", os.path.join(self.root, "none.so"),
                              expect=1)
        self.assertIn("cannot load", result.stderr)
        not_a_module = self.write("plain.so", b"not a module")
        self.run_cli("install-ca", "--module", not_a_module, expect=1)
        self.assertEqual(self.thumbprints("--machine", "ROOT", "CA"), [])


class SitesTest(CliTestCase):
    """sites list / allow / revoke over the user's approvals and a machine
    policy written into the temporary machine root."""

    def sites_file(self):
        return os.path.join(self.root, "data", "npsigil", "sites")

    def policy(self, text, mode=0o644):
        folder = os.path.join(self.root, "machine", "policy")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "sites")
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def listed(self):
        out = self.run_cli("sites", "list").stdout
        return [line.split("\t") for line in out.splitlines() if "\t" in line]

    def test_allow_list_revoke_round_trip(self):
        self.assertIn("(no sites)", self.run_cli("sites", "list").stdout)
        out = self.run_cli("sites", "allow", "HTTPS://Shop.Example:443").stdout
        self.assertIn("allowed https://shop.example to use keys and files", out)
        self.run_cli("sites", "allow", "https://[0:0::1]:8443")
        self.run_cli("sites", "allow", "http://localhost:3000")
        self.assertEqual(self.listed(), [
            ["https://shop.example", "keys files", "user"],
            ["https://[::1]:8443", "keys files", "user"],
            ["http://localhost:3000", "keys files", "user"],
        ])
        self.assertEqual(os.stat(self.sites_file()).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(os.path.dirname(self.sites_file())).st_mode & 0o777, 0o700)
        self.assertEqual(os.listdir(os.path.dirname(self.sites_file())), ["sites"])

        # Allowing again changes nothing; revoking takes the one site away.
        self.run_cli("sites", "allow", "https://shop.example")
        self.assertEqual(len(self.listed()), 3)
        self.assertIn("revoked https://[::1]:8443",
                      self.run_cli("sites", "revoke", "https://[::1]:8443").stdout)
        self.assertEqual([row[0] for row in self.listed()],
                         ["https://shop.example", "http://localhost:3000"])
        result = self.run_cli("sites", "revoke", "https://[::1]:8443", expect=1)
        self.assertIn("was not allowed", result.stderr)

    def test_refuses_what_is_not_a_secure_origin_and_writes_nothing(self):
        for origin in ("http://shop.example", "file://", "http://10.0.0.1"):
            with self.subTest(origin=origin):
                result = self.run_cli("sites", "allow", origin, expect=1)
                self.assertIn("not a secure origin", result.stderr)
        for origin in ("https://shop.example/", "https://shop.example/path", "null", "shop.example",
                       "https://user@shop.example", "https://shop.example:0", "file:///tmp/x",
                       "https://b\u00fccher.example"):
            with self.subTest(origin=origin):
                result = self.run_cli("sites", "allow", origin, expect=1)
                self.assertIn("is not a web origin", result.stderr)
                self.run_cli("sites", "revoke", origin, expect=1)
        self.assertFalse(os.path.exists(os.path.dirname(self.sites_file())))

    def test_usage_errors_exit_2(self):
        for args in (("sites",), ("sites", "show"), ("sites", "list", "x"), ("sites", "allow"),
                     ("sites", "allow", "https://a.example", "https://b.example"),
                     ("sites", "revoke"), ("sites", "allow", "--all")):
            with self.subTest(args=args):
                self.assertIn("npsigil-cert", self.run_cli(*args, expect=2).stderr)
        self.assertIn("sites allow ORIGIN", self.run_cli("help").stdout)

    def test_machine_policy_and_its_lock_are_shown(self):
        self.run_cli("sites", "allow", "https://shop.example")
        self.run_cli("sites", "allow", "https://intranet.example")
        self.policy("# pre-approved\nhttps://intranet.example\nhttps://hr.example keys\n")
        self.assertEqual(self.listed(), [
            ["https://intranet.example", "keys files", "machine"],
            ["https://hr.example", "keys", "machine"],
            ["https://shop.example", "keys files", "user"],
            ["https://intranet.example", "keys files", "user (the machine policy decides)"],
        ])
        self.assertNotIn("locked", self.run_cli("sites", "list").stdout)

        self.policy("https://intranet.example\nonly-listed\n")
        out = self.run_cli("sites", "list").stdout
        self.assertIn("locked: the machine policy", out)
        self.assertIn(["https://shop.example", "keys files",
                       "user (no effect: not in the locked machine list)"], self.listed())
        out = self.run_cli("sites", "allow", "https://new.example").stdout
        self.assertIn("has no effect", out)

        # Revoking what the machine lists: the user's own line goes, the note stays.
        out = self.run_cli("sites", "revoke", "https://intranet.example").stdout
        self.assertIn("still pre-approves it", out)
        result = self.run_cli("sites", "revoke", "https://intranet.example", expect=1)
        self.assertIn("only its administrator can change", result.stderr)

    def test_grant_list_ungrant_and_revoke_takes_folders_too(self):
        docs = os.path.realpath(os.path.join(self.root, "docs"))
        os.makedirs(os.path.join(docs, "a b"))
        os.symlink(os.path.join(docs, "a b"), os.path.join(self.root, "link"))
        out = self.run_cli("sites", "grant", "HTTPS://Shop.Example", docs).stdout
        self.assertIn("granted " + docs + " to https://shop.example", out)
        self.run_cli("sites", "grant", "https://shop.example", os.path.join(self.root, "link"))
        self.run_cli("sites", "allow", "https://shop.example")
        self.assertEqual(self.listed(), [
            ["https://shop.example", "keys files", "user"],
            ["https://shop.example", "folder " + docs, "user"],
            ["https://shop.example", "folder " + os.path.join(docs, "a b"), "user"],
        ])
        self.assertEqual(os.stat(self.sites_file()).st_mode & 0o777, 0o600)

        self.assertIn("took", self.run_cli("sites", "ungrant", "https://shop.example",
                                           os.path.join(self.root, "link")).stdout)
        result = self.run_cli("sites", "ungrant", "https://shop.example",
                              os.path.join(docs, "a b"), expect=1)
        self.assertIn("was not granted", result.stderr)
        self.assertEqual(len(self.listed()), 2)
        self.run_cli("sites", "revoke", "https://shop.example")
        self.assertIn("(no sites)", self.run_cli("sites", "list").stdout)

    def test_grant_refuses_bad_sites_and_folders(self):
        docs = os.path.join(self.root, "docs")
        os.makedirs(docs)
        self.assertIn("not a secure origin",
                      self.run_cli("sites", "grant", "http://shop.example", docs, expect=1).stderr)
        self.assertIn("not an absolute path",
                      self.run_cli("sites", "grant", "https://shop.example", "docs",
                                   expect=1).stderr)
        self.assertIn("not an existing folder",
                      self.run_cli("sites", "grant", "https://shop.example",
                                   os.path.join(docs, "missing"), expect=1).stderr)
        self.assertFalse(os.path.exists(self.sites_file()))
        for args in (("sites", "grant", "https://a.example"), ("sites", "ungrant"),
                     ("sites", "grant", "https://a.example", docs, docs)):
            with self.subTest(args=args):
                self.assertIn("ORIGIN and a FOLDER", self.run_cli(*args, expect=2).stderr)
        self.assertIn("sites grant ORIGIN FOLDER", self.run_cli("help").stdout)

    def test_broken_files_are_explained_and_never_overwritten(self):
        self.policy("https://intranet.example\nonly_listed\n")
        result = self.run_cli("sites", "list")
        self.assertIn("line 2", result.stderr)
        self.assertIn("locked", result.stdout)
        self.policy("https://intranet.example\n", mode=0o666)
        result = self.run_cli("sites", "list")
        self.assertIn("writable by others", result.stderr)
        self.assertEqual(self.listed(), [])

        target = self.write("elsewhere", b"https://shop.example keys files\n")
        os.makedirs(os.path.dirname(self.sites_file()), mode=0o700)
        os.symlink(target, self.sites_file())
        result = self.run_cli("sites", "allow", "https://new.example", expect=1)
        self.assertIn("is a link", result.stderr)
        self.assertTrue(os.path.islink(self.sites_file()))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"https://shop.example keys files\n")
        self.assertIn("is a link", self.run_cli("sites", "list").stderr)


def main():
    global CLI, FIXTURES, SANITIZED
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--testpki", required=True)
    parser.add_argument("--sanitized", action="store_true",
                        help="the tool carries sanitizer overhead: no memory bound")
    args, rest = parser.parse_known_args()
    CLI = os.path.abspath(args.cli)
    SANITIZED = args.sanitized
    fixtures_root = tempfile.mkdtemp(prefix="cert-cli-fixtures-")
    try:
        FIXTURES = os.path.join(fixtures_root, "pki")
        subprocess.run([args.testpki, "fixtures", FIXTURES], check=True, capture_output=True)
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
        return 0 if program.result.wasSuccessful() else 1
    finally:
        shutil.rmtree(fixtures_root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
