"""The fixtures and the host functions of the page tests run through the
browser bridge (headless Chromium, the extension and npsigil-bridge).

The runner makes one WebextHost per run: it builds the same certificate
world as the QtWebKit page tests (tests/browser/sigil_pki.py) inside the
runner's scratch folder, installs the stand-ins for the selection dialog,
the consent prompt and the file chooser, and grants the fixture folders to
the test origins. The browser, and through it npsigil-bridge, runs with
env(); each page gets fixture(page) and reaches handle() through
POST /host/<name>.

Through the bridge a page names only files inside folders granted to its
origin, so the certificate files and the page's working files live in
granted folders (pki/ and files/), and the grants are written into the
user's sites file beside the standing approvals. The host functions that
show or clear the approvals leave the grant lines alone: a page clearing
its approvals must not lose the folders the run gave it.
"""
import hashlib
import os
import shutil
import stat
import sys
from pathlib import Path

_BROWSER_TESTS = Path(__file__).resolve().parent.parent / "browser"
if str(_BROWSER_TESTS) not in sys.path:
    sys.path.insert(0, str(_BROWSER_TESTS))

import openssl_interop  # noqa: E402
import sigil_pki  # noqa: E402

STORE, CONTAINER, SM2FILE, P12 = "RSA store", "SM2 container", "SM2 file", "PKCS#12 file"
RSA_CERT, SM2_CERT = "RSA certificate", "SM2 certificate"

# The (method, route) pairs each page must have reached with a successful
# call, as "Method @ route" strings; the page lists what it reached in
# window.pageReached.
EXPECTED = {}


def _expected_from_browser_tests():
    """The same table as the QtWebKit runner's, so the two cannot drift."""
    try:
        import run_page_tests
    except Exception:  # pragma: no cover - the table below is only a fallback
        return None
    return {page: ["%s @ %s" % pair for pair in pairs]
            for page, pairs in run_page_tests.REQUIRED.items()}


EXPECTED.update(_expected_from_browser_tests() or {})

_SITES_GRANT = "grant "


def language_of(locale):
    name = locale.split(".")[0].lower().replace("-", "_")
    if name in ("zh_tw", "zh_hk", "zh_mo"):
        return "zh_TW"
    if name in ("zh_cn", "zh_sg", "zh"):
        return "zh_CN"
    return "en"


def _file_info(path):
    if not os.path.isfile(path):
        return {"exists": False}
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return {"exists": True, "size": os.path.getsize(path), "sha256": digest.hexdigest()}


def _write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, stat.S_IRWXU)


def _quote(path):
    return "'" + str(path).replace("'", "'\\''") + "'"


class WebextHost:
    def __init__(self, scratch: Path, tools_dir: Path, plugin_dir: Path, locale: str):
        self.scratch = Path(scratch).resolve()
        self.tools_dir = Path(tools_dir)
        self.plugin_dir = Path(plugin_dir)
        self.locale = locale
        self.language = language_of(locale)
        self.origins = []
        self.root = self.scratch / "platform"
        self.home = self.root / "home"
        self.xdg = self.root / "xdg"
        self.machine = self.root / "machine"
        for folder in (self.home, self.xdg, self.machine):
            folder.mkdir(parents=True, exist_ok=True)
        self.state = self.xdg / "npsigil"
        self.sites = self.state / "sites"
        self._env = {"HOME": str(self.home), "XDG_DATA_HOME": str(self.xdg),
                     "NPSIGIL_MACHINE_ROOT": str(self.machine), "LANG": locale}
        self._unset = ("LANGUAGE", "LC_ALL", "LC_MESSAGES")

        # sigil_pki runs the tools with this process's environment.
        saved = {k: os.environ.get(k) for k in list(self._env) + list(self._unset)}
        try:
            os.environ.update(self._env)
            for k in self._unset:
                os.environ.pop(k, None)
            self.pki = sigil_pki.make_pki(str(self.tools_dir), str(self.root))
            # A certificate in both MY and ADDRESSBOOK must be offered once.
            sigil_pki.add_to_addressbook(self.pki, "rsa-encrypt")
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        self.files = Path(self.pki["files"]).resolve()
        self.pki_folder = Path(self.pki["pki"]).resolve()
        self.interop_folder = self.files / "interop"
        self.interop_folder.mkdir(exist_ok=True)
        self.interop = openssl_interop.prepare(str(self.interop_folder), self.pki)
        self._install_stand_ins()

    # --- stand-ins ----------------------------------------------------------

    def _install_stand_ins(self):
        s = self.root
        self.dialog_request = s / "dialog-request.txt"
        self.dialog_answer = s / "dialog-answer.txt"
        self.consent_requests = s / "consent-requests.txt"
        self.consent_answer = s / "consent-answer.txt"
        self.chooser_requests = s / "chooser-requests.txt"
        self.chooser_answer = s / "chooser-answer.txt"
        dialog = s / "fake-select-dialog"
        _write_script(dialog, "#!/bin/sh\ncat > %s\nif [ -e %s ]; then cat %s; "
                      "else printf 'cancelled\\n'; fi\n"
                      % (_quote(self.dialog_request), _quote(self.dialog_answer),
                         _quote(self.dialog_answer)))
        consent = s / "fake-consent-dialog"
        _write_script(consent, "#!/bin/sh\ncat >> %s\necho ---- >> %s\ncat %s\n"
                      % (_quote(self.consent_requests), _quote(self.consent_requests),
                         _quote(self.consent_answer)))
        self.setConsentAnswer("allow-once")
        # The chooser answers once per answer set: a page that forgets to set
        # one sees a cancel, not the previous page's file.
        chooser = s / "fake-file-chooser"
        _write_script(chooser, "#!/bin/sh\ncat >> %s\necho ---- >> %s\n"
                      "if [ -f %s ]; then cat %s; rm -f %s; else echo cancel; fi\n"
                      % (_quote(self.chooser_requests), _quote(self.chooser_requests),
                         _quote(self.chooser_answer), _quote(self.chooser_answer),
                         _quote(self.chooser_answer)))
        self._env["NPSIGIL_SELECT_DIALOG"] = str(dialog)
        self._env["NPSIGIL_CONSENT_DIALOG"] = str(consent)
        self._env["NPSIGIL_FILE_CHOOSER"] = str(chooser)
        # Traced like the plug-in's consent page, so a run can show that no
        # password or content reached a trace line (trace_checks).
        self.trace = s / "trace.log"
        self._env["NPSIGIL_TRACE"] = "flags=0xF,level=5,file=%s" % self.trace

    # --- the runner's side --------------------------------------------------

    def set_origins(self, origins):
        self.origins = [o.rstrip("/") for o in origins]
        self._write_grants()

    def _grant_lines(self):
        lines = []
        for origin in self.origins:
            for folder in (self.files, self.pki_folder):
                escaped = (str(folder).replace("\\", "\\\\").replace("\n", "\\n")
                           .replace("\r", "\\r").replace("\t", "\\t"))
                lines.append("%s%s %s\n" % (_SITES_GRANT, origin, escaped))
        return lines

    def _sites_lines(self):
        try:
            with open(self.sites, encoding="utf-8") as f:
                return f.readlines()
        except OSError:
            return []

    def _write_sites(self, lines):
        self.state.mkdir(parents=True, exist_ok=True)
        os.chmod(self.state, 0o700)
        if not lines:
            if self.sites.exists():
                self.sites.unlink()
            return
        temp = self.sites.with_name("sites.tmp-webext")
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.writelines(lines)
        os.chmod(temp, 0o600)
        os.replace(temp, self.sites)

    def _write_grants(self):
        kept = [line for line in self._sites_lines() if not line.startswith(_SITES_GRANT)]
        self._write_sites(kept + self._grant_lines())

    def env(self) -> dict:
        env = dict(os.environ)
        for k in self._unset:
            env.pop(k, None)
        env.update(self._env)
        # The agent looks for a display before it runs the selection dialog,
        # stand-in or not; headless Chromium has none. No dialog of ours
        # ever opens a window here (all are stand-ins), so a name is enough.
        if not env.get("DISPLAY") and not env.get("WAYLAND_DISPLAY"):
            env["DISPLAY"] = ":%d" % (900 + os.getpid() % 100)
        return env

    def page_files(self, page=None):
        """A fresh working folder for one page load, inside the granted files
        folder: a page that runs twice (or a runner that names no page) never
        finds the outputs of an earlier run where it writes its own."""
        self._loads = getattr(self, "_loads", 0) + 1
        stem = os.path.splitext(os.path.basename(page))[0] if page else "page"
        folder = self.files / ("%s-%d" % (stem, self._loads))
        folder.mkdir()
        return folder

    def fixture(self, page=None) -> dict:
        """What window.fixture holds for a page; `page` (its file name) only
        names its working folder."""
        pki = self.pki

        def cert(name):
            c = pki["certs"][name]
            return {"cn": c["cn"], "ou": c["ou"], "serial": c["serial"], "issuer": c["issuer"],
                    "type": c["type"], "base64": c["base64"], "pem": c["pem"]}

        fixture = {
            "password": pki["password"],
            "files": str(self.page_files(page)),
            "filesRoot": str(self.files),
            "pki": str(self.pki_folder),
            "language": self.language,
            "home": str(self.home),
            "stateFolder": str(self.state),
            "sm2SignFile": pki["sm2SignFile"],
            "sm2EncryptFile": pki["sm2EncryptFile"],
            "sm2NoKuFile": pki["sm2NoKuFile"],
            "rsaSignP12": pki["rsaSignP12"],
            "rsaEncryptP12": pki["rsaEncryptP12"],
            "certs": {"rsaSign": cert("rsa-sign"), "rsaEncrypt": cert("rsa-encrypt"),
                      "sm2Sign": cert("sm2-sign"), "sm2Encrypt": cert("sm2-encrypt"),
                      "sm2NoKu": cert("sm2-noku")},
            "origins": list(self.origins),
            "origin": self.origins[0] if self.origins else "",
            # A folder no grant covers, for the file gate's checks.
            "outside": str(self.root / "outside"),
        }
        (self.root / "outside").mkdir(exist_ok=True)
        fixture.update(self.interop)
        return fixture

    def reset_page(self):
        """What each page starts from: no dialog answer, consent allow-once,
        no pending requests, no chooser answer."""
        self.setDialogAnswer("")
        self.setConsentAnswer("allow-once")
        self.takeConsentRequests()
        self.setChooserAnswer("")
        self.takeChooserRequests()

    def trace_checks(self):
        """(name, ok) pairs: the trace was written, mode 0600, and holds none
        of the consent page's canaries (a password, a plaintext)."""
        if not self.trace.exists():
            return [("trace: file written", False)]
        import run_page_tests
        return run_page_tests.check_trace_secrets(str(self.trace))

    def handle(self, name, args):
        if not isinstance(name, str) or name.startswith("_") or name not in _HOST_FUNCTIONS:
            raise ValueError("unknown host function %r" % (name,))
        if args is None:
            args = []
        if not isinstance(args, list):
            raise ValueError("host function arguments must be a list")
        return getattr(self, name)(*args)

    def close(self):
        shutil.rmtree(self.root / "outside", ignore_errors=True)

    # --- host functions pages call -----------------------------------------

    def fileInfo(self, path):
        return _file_info(path)

    def makeFile(self, path, size):
        pattern = bytes((i * 7 + 3) % 251 for i in range(4096))
        with open(path, "wb") as f:
            left = int(size)
            while left > 0:
                f.write(pattern[:min(left, len(pattern))])
                left -= len(pattern)
        return _file_info(path)

    def writeText(self, path, text):
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return _file_info(path)

    def readText(self, path):
        try:
            with open(path, encoding="utf-8", newline="") as f:
                return f.read()
        except (OSError, UnicodeDecodeError):
            return ""

    def copyFlipped(self, source, target, offset):
        with open(source, "rb") as f:
            data = bytearray(f.read())
        data[int(offset)] ^= 0x5A
        with open(target, "wb") as f:
            f.write(data)
        return _file_info(target)

    def remove(self, path):
        try:
            os.remove(path)
            return True
        except OSError:
            return False

    def setDialogAnswer(self, text):
        if text:
            with open(self.dialog_answer, "w") as f:
                f.write(text)
        elif self.dialog_answer.exists():
            self.dialog_answer.unlink()
        return None

    def takeDialogRequest(self):
        if not self.dialog_request.exists():
            return ""
        text = self.dialog_request.read_text(encoding="utf-8", errors="replace")
        self.dialog_request.unlink()
        return text

    def setConsentAnswer(self, text):
        with open(self.consent_answer, "w") as f:
            f.write(text + "\n")
        return None

    def takeConsentRequests(self):
        if not self.consent_requests.exists():
            return ""
        text = self.consent_requests.read_text(encoding="utf-8", errors="replace")
        self.consent_requests.unlink()
        return text

    def setChooserAnswer(self, text):
        """The stand-in chooser's next answer: a path ("chosen <path>" is
        written for it), a full answer line ("cancel", "failed ..."), or ""
        for none (the chooser then cancels)."""
        if not text:
            if self.chooser_answer.exists():
                self.chooser_answer.unlink()
            return None
        line = text if text.split(" ", 1)[0] in ("chosen", "cancel", "failed") else "chosen " + text
        with open(self.chooser_answer, "w", encoding="utf-8") as f:
            f.write(line + "\n")
        return None

    def takeChooserRequests(self):
        if not self.chooser_requests.exists():
            return ""
        text = self.chooser_requests.read_text(encoding="utf-8", errors="replace")
        self.chooser_requests.unlink()
        return text

    def setSitePolicy(self, text):
        folder = self.machine / "policy"
        target = folder / "sites"
        if not text:
            if target.exists():
                target.unlink()
            return None
        folder.mkdir(parents=True, exist_ok=True)
        with open(target, "w") as f:
            f.write(text)
        return None

    def userSites(self):
        """The user's standing approvals as the file holds them, without the
        run's folder grants ("" when there are none)."""
        try:
            mode = os.stat(self.sites).st_mode & 0o777
        except OSError:
            return ""
        kept = [line for line in self._sites_lines() if not line.startswith(_SITES_GRANT)]
        if not kept:
            return ""
        return "mode %o\n" % mode + "".join(kept)

    def userGrants(self):
        return "".join(line for line in self._sites_lines() if line.startswith(_SITES_GRANT))

    def clearUserSites(self):
        self._write_sites(self._grant_lines())
        return None

    def makeFifo(self, path):
        os.mkfifo(path)
        return path

    def symlink(self, target, link):
        try:
            os.symlink(target, link)
            return True
        except OSError:
            return False

    def mode(self, path):
        try:
            return os.stat(path).st_mode & 0o777
        except OSError:
            return -1

    def makeFolder(self, path):
        os.makedirs(path, exist_ok=True)
        return True

    def opensslCheck(self, made):
        """OpenSSL's verdict on the signatures and the envelope the interop
        page made: a list of {name, ok, detail}."""
        if not isinstance(made, dict):
            raise ValueError("opensslCheck wants the page's values as an object")
        try:
            verdicts = openssl_interop.check(str(self.interop_folder), self.pki, made)
        except (IndexError, ValueError) as error:
            # What the page sent is not even DER: one failed check, not a
            # host failure that would hide the page's other checks.
            verdicts = [("openssl: the page's values can be taken apart", False, repr(error))]
        return [{"name": label, "ok": bool(ok), "detail": detail.replace("\n", " ")[:200]}
                for label, ok, detail in verdicts]


_HOST_FUNCTIONS = frozenset((
    "fileInfo", "makeFile", "writeText", "readText", "copyFlipped", "remove",
    "setDialogAnswer", "takeDialogRequest", "setConsentAnswer", "takeConsentRequests",
    "setChooserAnswer", "takeChooserRequests", "setSitePolicy", "userSites", "userGrants",
    "clearUserSites", "makeFifo", "symlink", "mode", "makeFolder", "opensslCheck"))
