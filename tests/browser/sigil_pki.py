"""A private certificate world for the browser tests and the demo.

make_platform_root() points HOME, XDG_DATA_HOME and NPSIGIL_MACHINE_ROOT at a
fresh temporary folder, so nothing here ever reaches the user's real stores
or key containers. make_pki() then fills that root through the project's own
tools:

  * rsa-sign.p12 and rsa-encrypt.p12 imported with their keys (certificates
    in the user's MY store, keys in an RSA provider container);
  * the SM2 software provider installed, with sm2-sign in a container as a
    signature pair and sm2-encrypt in another as an exchange pair;
  * every fixture file (.cer .pem .sm2 .p12) left in <root>/pki for the
    soft-certificate routes, and an empty <root>/files for file operations.

Both need the tools folder of a build (npsigil-testpki, npsigil-cert).
"""
import base64
import os
import shutil
import subprocess
import tempfile

PASSWORD = "123456"

# The fixture set as the tools write it: subject, issuer and serial of each
# end-entity certificate (serials in hexadecimal, most significant first).
CERTS = {
    "rsa-sign": {"cn": "Sigil Test RSA Sign", "ou": "RSA", "serial": "2001",
                 "issuer": "Sigil Test RSA Root CA", "type": "RSA"},
    "rsa-encrypt": {"cn": "Sigil Test RSA Encrypt", "ou": "RSA", "serial": "2002",
                    "issuer": "Sigil Test RSA Root CA", "type": "RSA"},
    "sm2-sign": {"cn": "Sigil Test SM2 Sign", "ou": "SM2", "serial": "1001",
                 "issuer": "Sigil Test SM2 Root CA", "type": "SM2"},
    "sm2-encrypt": {"cn": "Sigil Test SM2 Encrypt", "ou": "SM2", "serial": "1002",
                    "issuer": "Sigil Test SM2 Root CA", "type": "SM2"},
    "sm2-noku": {"cn": "Sigil Test SM2 No Key Usage", "ou": "SM2", "serial": "1003",
                 "issuer": "Sigil Test SM2 Root CA", "type": "SM2"},
}

SIGN_CONTAINER = "sigil-test-sm2-sign"
ENCRYPT_CONTAINER = "sigil-test-sm2-encrypt"


class PkiError(RuntimeError):
    pass


def make_platform_root(prefix="npsigil-"):
    """A temporary folder that stands in for the user's and the machine's state."""
    root = tempfile.mkdtemp(prefix=prefix)
    for var, sub in (("HOME", "home"), ("XDG_DATA_HOME", "xdg"),
                     ("NPSIGIL_MACHINE_ROOT", "machine")):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
        os.environ[var] = os.path.join(root, sub)
    return root


def remove_platform_root(root):
    shutil.rmtree(root, ignore_errors=True)


def _tool(tools_dir, name):
    path = os.path.join(tools_dir, name)
    if not os.access(path, os.X_OK):
        raise PkiError("%s not built (looked in %s)" % (name, tools_dir))
    return path


def _run(args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if done.returncode != 0:
        raise PkiError("%s failed (%d):\n%s" % (" ".join(args), done.returncode, done.stdout))
    return done.stdout


def _base64_of(path):
    with open(path, "rb") as f:
        return base64.b64encode(f.read()).decode("ascii")


def make_pki(tools_dir, root):
    """Builds the certificate world inside `root` (see the module text) and
    returns what pages and drivers need to know about it."""
    testpki = _tool(tools_dir, "npsigil-testpki")
    cert = _tool(tools_dir, "npsigil-cert")
    pki = os.path.join(root, "pki")
    files = os.path.join(root, "files")
    os.makedirs(files, exist_ok=True)

    _run([testpki, "fixtures", pki])
    for name in ("rsa-sign", "rsa-encrypt"):
        _run([cert, "import-pfx", os.path.join(pki, name + ".p12"), "--password", PASSWORD])
    _run([cert, "provider", "install-sm2"])
    _run([cert, "sm2-container", SIGN_CONTAINER, "--softcert",
          os.path.join(pki, "sm2-sign.sm2"), "--password", PASSWORD, "--pair", "signature"])
    _run([cert, "sm2-container", ENCRYPT_CONTAINER, "--softcert",
          os.path.join(pki, "sm2-encrypt.sm2"), "--password", PASSWORD, "--pair", "exchange"])

    certs = {}
    for name, facts in CERTS.items():
        entry = dict(facts)
        entry["cer"] = os.path.join(pki, name + ".cer")
        entry["pem"] = os.path.join(pki, name + ".pem")
        entry["base64"] = _base64_of(entry["cer"])
        for ext in ("sm2", "p12"):
            if os.path.exists(os.path.join(pki, name + "." + ext)):
                entry[ext] = os.path.join(pki, name + "." + ext)
        certs[name] = entry

    return {
        "root": root,
        "pki": pki,
        "files": files,
        "password": PASSWORD,
        "certs": certs,
        "sm2SignFile": certs["sm2-sign"]["sm2"],
        "sm2EncryptFile": certs["sm2-encrypt"]["sm2"],
        "sm2NoKuFile": certs["sm2-noku"]["sm2"],
        "rsaSignP12": certs["rsa-sign"]["p12"],
        "rsaEncryptP12": certs["rsa-encrypt"]["p12"],
        "cert_tool": cert,
    }


def add_to_addressbook(pki, name):
    """Puts a certificate (without key) into the user's ADDRESSBOOK store."""
    _run([pki["cert_tool"], "import", "ADDRESSBOOK", pki["certs"][name]["cer"]])


def find_tools_dir(plugin_dir):
    """The tools folder of the build whose plug-in folder is `plugin_dir`."""
    return os.path.normpath(os.path.join(os.path.abspath(plugin_dir), "..", "tools"))
