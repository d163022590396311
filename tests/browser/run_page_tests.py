"""Runs the pages under --pages in QtWebKit with the built plug-in.

Before the pages run, a private platform root is filled with the test
certificates (sigil_pki) and a stand-in selection dialog is installed. Each
page gets its fixture (paths, certificates, password, language) through
window.fixture, sets window.pageResult to a list of {name, ok, detail}
checks and lists in window.pageReached the (method, route) pairs its
successful calls reached; the run compares those with REQUIRED below.
The interop page is followed by openssl checks of what it produced. When
the scriptable-object page runs, the trace lines of its failing call are
checked too.
"""
import argparse
import fnmatch
import glob
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import openssl_interop  # noqa: E402
import sigil_pki  # noqa: E402

STORE, CONTAINER, SM2FILE, P12 = "RSA store", "SM2 container", "SM2 file", "PKCS#12 file"
RSA_CERT, SM2_CERT = "RSA certificate", "SM2 certificate"


def _pairs(methods, routes):
    return [(m, r) for m in methods for r in routes]


# What each page must have reached with a successful call.
REQUIRED = {
    "select_certificates.html":
        _pairs(["SelectCertificate", "GetSignCertInfo", "SelectEncryptCertificate",
                "GetEncryptCertInfo"], [STORE, CONTAINER]),
    "sign_messages.html":
        _pairs(["SignMsgPKCS1", "SignMsgPKCS7"], [STORE, CONTAINER]) +
        _pairs(["SignMsgPKCS1_BySoftCert", "SignMsgPKCS7_BySoftCert"], [SM2FILE, P12]) +
        _pairs(["VerifyMsgSignaturePKCS1", "VerifyMsgSignaturePKCS7Attached",
                "VerifyMsgSignaturePKCS7Detached"], [RSA_CERT, SM2_CERT]),
    "sign_files.html":
        _pairs(["SignFilePKCS1", "SignFilePKCS7Detached"], [STORE, CONTAINER]) +
        _pairs(["SignFilePKCS1_BySoftCert", "SignFilePKCS7Detached_BySoftCert"], [SM2FILE, P12]) +
        _pairs(["VerifyFileSignaturePKCS1", "VerifyFileSignaturePKCS7Detached"],
               [RSA_CERT, SM2_CERT]),
    "envelope_messages.html":
        _pairs(["EncryptMsgCMSEnvelopeEx", "DecryptMsgCMSEnvelopeEx"], [STORE, CONTAINER]) +
        _pairs(["EncryptMsgCMSEnvelopeEx_ByCert"], [RSA_CERT, SM2_CERT]) +
        _pairs(["DecryptMsgCMSEnvelopeEx_BySoftCert"], [SM2FILE, P12]),
    "envelope_files.html":
        _pairs(["EncryptFileCMSEnvelopeEx", "DecryptFileCMSEnvelopeEx"], [STORE, CONTAINER]) +
        _pairs(["EncryptFileCMSEnvelopeEx_ByCert"], [RSA_CERT, SM2_CERT]) +
        _pairs(["DecryptFileCMSEnvelopeEx_BySoftCert"], [SM2FILE, P12]),
    "interop.html":
        _pairs(["DecryptMsgCMSEnvelopeEx", "DecryptFileCMSEnvelopeEx"], [STORE]) +
        _pairs(["DecryptMsgCMSEnvelopeEx_BySoftCert", "DecryptFileCMSEnvelopeEx_BySoftCert"], [P12]),
}


def check_trace(path):
    """The failing SignMsgPKCS1 call of the page must leave its designed lines."""
    text = open(path, encoding="utf-8", errors="replace").read()
    wanted = {
        "adapter entry": r"CScriptablePluginObject::npSignMsgPKCS1",
        "agent entry/exit": r"CCryptoAgent::SignMsgPKCS1",
        "agent failure line": re.escape(
            "] CCryptoAgent::SignMsgPKCS1 - Check parameter(bstrSourceData) "
            "[Reason:(NULL == bstrSourceData || 0 == wcslen(bstrSourceData))]"),
        "adapter failure line": re.escape(
            "] CScriptablePluginObject::npSignMsgPKCS1 - m_objCryptoAgent.SignMsgPKCS1 "
            "[Reason:FAILED(hResult)]"),
    }
    results = []
    for name, pattern in wanted.items():
        results.append(("trace: " + name, re.search(pattern, text) is not None))
    return results


# Texts the consent page hands the plug-in that must never reach a trace.
TRACE_CANARIES = ("wrong-password-canary", "plaintext-canary-7f3a")


def check_trace_secrets(path):
    """Passwords and contents appear in no trace line, however the call went."""
    text = open(path, encoding="utf-8", errors="replace").read()
    results = [("trace: lines written", len(text) > 0)]
    for canary in TRACE_CANARIES:
        results.append(("trace: no %s" % canary, canary not in text))
    results.append(("trace: file mode 0600", (os.stat(path).st_mode & 0o777) == 0o600))
    return results


def language_of(locale):
    name = locale.split(".")[0].lower().replace("-", "_")
    if name in ("zh_tw", "zh_hk", "zh_mo"):
        return "zh_TW"
    if name in ("zh_cn", "zh_sg", "zh"):
        return "zh_CN"
    return "en"


def page_fixture(pki, files, language):
    def cert(name):
        c = pki["certs"][name]
        return {"cn": c["cn"], "ou": c["ou"], "serial": c["serial"], "issuer": c["issuer"],
                "type": c["type"], "base64": c["base64"], "pem": c["pem"]}

    return {
        "password": pki["password"],
        "files": files,
        "pki": pki["pki"],
        "language": language,
        "home": os.environ["HOME"],
        "stateFolder": os.path.join(os.environ["XDG_DATA_HOME"], "npsigil"),
        "sm2SignFile": pki["sm2SignFile"],
        "sm2EncryptFile": pki["sm2EncryptFile"],
        "sm2NoKuFile": pki["sm2NoKuFile"],
        "rsaSignP12": pki["rsaSignP12"],
        "rsaEncryptP12": pki["rsaEncryptP12"],
        "certs": {"rsaSign": cert("rsa-sign"), "rsaEncrypt": cert("rsa-encrypt"),
                  "sm2Sign": cert("sm2-sign"), "sm2Encrypt": cert("sm2-encrypt"),
                  "sm2NoKu": cert("sm2-noku")},
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plugin-dir", required=True)
    parser.add_argument("--pages", required=True)
    parser.add_argument("--tools-dir", help="npsigil-testpki and npsigil-cert (default: the "
                        "build's tools folder beside the plug-in folder)")
    parser.add_argument("--only", nargs="*", default=[], help="page name patterns")
    parser.add_argument("--locale", default="en_US.UTF-8", help="LANG for the run")
    parser.add_argument("--keep", action="store_true", help="keep the temporary root")
    parser.add_argument("--http", action="store_true",
                        help="load the pages from a loopback http server instead of file:")
    args = parser.parse_args()

    pages = sorted(glob.glob(os.path.join(args.pages, "*.html")))
    if args.only:
        pages = [p for p in pages
                 if any(fnmatch.fnmatch(os.path.basename(p), pattern) for pattern in args.only)]
    if not pages:
        print("no pages match %s" % args.only)
        return 1
    traced = any(os.path.basename(p) == "scriptable_object.html" for p in pages)
    secrets_traced = any(os.path.basename(p) == "consent.html" for p in pages)

    root = sigil_pki.make_platform_root("npsigil-browser-")
    trace_file = os.path.join(root, "trace.log")
    if traced or secrets_traced:
        os.environ["NPSIGIL_TRACE"] = "flags=0xF,level=5,file=" + trace_file
    else:
        os.environ.pop("NPSIGIL_TRACE", None)
    os.environ["LANG"] = args.locale
    for var in ("LANGUAGE", "LC_ALL", "LC_MESSAGES"):
        os.environ.pop(var, None)
    language = language_of(args.locale)

    passed = failed = 0

    def record(name, ok, detail=""):
        nonlocal passed, failed
        print("%s %s %s" % ("ok  " if ok else "FAIL", name, detail or ""), flush=True)
        passed += bool(ok)
        failed += not ok

    try:
        tools = args.tools_dir or sigil_pki.find_tools_dir(args.plugin_dir)
        try:
            pki = sigil_pki.make_pki(tools, root)
        except sigil_pki.PkiError as error:
            record("test certificates made", False, str(error))
            return 1

        # A certificate in both MY and ADDRESSBOOK must be offered once.
        sigil_pki.add_to_addressbook(pki, "rsa-encrypt")

        from sigil_browser import (PageRun, install_fake_consent, install_fake_dialog, make_host,
                                   open_browser, serve_pages)

        request, answer = install_fake_dialog(root)
        # Every page but the consent page itself is allowed once, as its user would.
        consent_requests, consent_answer = install_fake_consent(root)
        base_url = serve_pages(args.pages) if args.http else None
        app = open_browser(args.plugin_dir)
        host = make_host(request, answer, consent_requests, consent_answer)
        for page in pages:
            name = os.path.basename(page)
            print("== %s (%s)" % (name, language), flush=True)
            files = os.path.join(pki["files"], os.path.splitext(name)[0])
            os.makedirs(files, exist_ok=True)
            fixture = page_fixture(pki, files, language)
            if name == "interop.html":
                fixture.update(openssl_interop.prepare(files, pki))
            host.setDialogAnswer("")
            host.setConsentAnswer("allow-once")
            host.takeConsentRequests()
            fixture["origin"] = base_url.rstrip("/") if base_url else "file://"
            run = PageRun(app, page, fixture=fixture, host=host, base_url=base_url)
            try:
                checks = run.result()
            except RuntimeError as error:
                checks = [{"name": "page runs", "ok": False, "detail": str(error)}]
            for c in checks:
                record(c["name"], c["ok"], c.get("detail", ""))
            if name in REQUIRED:
                reached = set(run.value("pageReached") or [])
                missing = ["%s @ %s" % pair for pair in REQUIRED[name]
                           if "%s @ %s" % pair not in reached]
                record("every method reached on each of its routes", not missing,
                       "missing: " + ", ".join(missing) if missing else
                       "%d pairs" % len(REQUIRED[name]))
            if name == "interop.html":
                for label, ok, detail in openssl_interop.check(files, pki, run.value("interop")):
                    record(label, ok, detail.replace("\n", " ")[:200])
            run.view.close()

        if traced or secrets_traced:
            if os.path.exists(trace_file):
                if traced:
                    for name, ok in check_trace(trace_file):
                        record(name, ok)
                for name, ok in check_trace_secrets(trace_file):
                    record(name, ok)
            else:
                record("trace: file written", False)
    finally:
        if args.keep:
            print("kept %s" % root)
        else:
            sigil_pki.remove_platform_root(root)

    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
