"""Cross-checks between what page script produced and the `openssl` command.

prepare() makes an RSA envelope with `openssl cms -encrypt -des3` for the
page to open; check() verifies the signatures the page made (SM2 with the
default identity 1234567812345678 given explicitly, RSA with openssl cms)
and opens the page's RSA envelope with the recipient's key.
"""
import base64
import os
import subprocess

SM2_ID = "1234567812345678"
MESSAGE = "Interop check: 数字签名 – Ünïcode ✓ 0123456789"


def _openssl(args, stdin=None):
    done = subprocess.run(["openssl"] + args, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    return done.returncode == 0, (done.stdout + done.stderr).decode("utf-8", "replace").strip()


def _write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


# --- a small DER walker, enough to take SM2 SignedData apart ---------------

def _tlv(data, pos):
    """(tag, header length, value length) of the element at pos."""
    tag = data[pos]
    length = data[pos + 1]
    header = 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[pos + 2:pos + 2 + count], "big")
        header += count
    return tag, header, length


def _children(data, pos):
    tag, header, length = _tlv(data, pos)
    out, p, end = [], pos + header, pos + header + length
    while p < end:
        t, h, n = _tlv(data, p)
        out.append(p)
        p += h + n
    return out


def _value(data, pos):
    tag, header, length = _tlv(data, pos)
    return data[pos + header:pos + header + length]


def _whole(data, pos):
    tag, header, length = _tlv(data, pos)
    return data[pos:pos + header + length]


def sm2_signed_data_parts(der):
    """(signed content or None, DER SET of signed attributes or None,
    signature DER) of an SM2 SignedData ContentInfo."""
    content_info = _children(der, 0)              # contentType, [0] EXPLICIT content
    signed_data = _children(der, _children(der, content_info[1])[0])
    # version, digestAlgorithms, contentInfo, [0] certificates?, [1] crls?, signerInfos
    encap = _children(der, signed_data[2])
    content = None
    if len(encap) > 1:
        holder = encap[1]                     # [0] EXPLICIT
        inner = _children(der, holder)[0]     # OCTET STRING
        content = _value(der, inner)
    signer_infos = _children(der, signed_data[-1])
    signer = _children(der, signer_infos[0])
    attrs = None
    for p in signer:
        if der[p] == 0xA0:
            attrs = bytearray(_whole(der, p))
            attrs[0] = 0x31                   # signed as a SET OF
            attrs = bytes(attrs)
    signature = _value(der, signer[-1] if der[signer[-1]] == 0x04 else signer[-2])
    return content, attrs, signature


def minimal_sm2_signature(der):
    """The container route writes r and s as their 32 bytes with leading
    zeros kept; OpenSSL takes only minimal DER (it refuses the padded form,
    about one signature in 128), so r and s are re-encoded for it."""
    def integer(value):
        value = value.lstrip(b"\x00") or b"\x00"
        if value[0] & 0x80:
            value = b"\x00" + value
        return bytes([0x02, len(value)]) + value
    r, s = (_value(der, p) for p in _children(der, 0))
    body = integer(r) + integer(s)
    return bytes([0x30, len(body)]) + body


# --- checks ------------------------------------------------------------------

def prepare(folder, pki):
    """Envelopes made by openssl for the page: message and file."""
    os.makedirs(folder, exist_ok=True)
    recipient = pki["certs"]["rsa-encrypt"]["pem"]
    message = _write(os.path.join(folder, "openssl-message.txt"), MESSAGE.encode("utf-8"))
    envelope = os.path.join(folder, "openssl-message.p7m")
    ok, out = _openssl(["cms", "-encrypt", "-des3", "-binary", "-outform", "DER",
                        "-in", message, "-out", envelope, recipient])
    if not ok:
        raise RuntimeError("openssl cms -encrypt failed: " + out)
    source = os.path.join(folder, "openssl-file.bin")
    _write(source, bytes((i * 13 + 5) % 256 for i in range(40000)))
    envelope_file = os.path.join(folder, "openssl-file.p7m")
    ok, out = _openssl(["cms", "-encrypt", "-des3", "-binary", "-outform", "DER",
                        "-in", source, "-out", envelope_file, recipient])
    if not ok:
        raise RuntimeError("openssl cms -encrypt failed: " + out)
    return {"interopMessage": MESSAGE,
            "opensslEnvelope": base64.b64encode(open(envelope, "rb").read()).decode("ascii"),
            "opensslEnvelopeFile": envelope_file,
            "opensslEnvelopeSource": source}


def _sm2_verify(folder, name, pub, data, signature_der):
    data_file = _write(os.path.join(folder, name + ".data"), data)
    sig_file = _write(os.path.join(folder, name + ".sig"), signature_der)
    return _openssl(["dgst", "-sm3", "-verify", pub, "-sigopt", "distid:" + SM2_ID,
                     "-signature", sig_file, data_file])


def check(folder, pki, made):
    """Checks of the values the page left in window.interop."""
    results = []
    if not made:
        return [("openssl: page left its signatures", False, "window.interop missing")]
    message = MESSAGE.encode("utf-8")
    pub = os.path.join(folder, "sm2-sign-public.pem")
    ok, out = _openssl(["x509", "-in", pki["certs"]["sm2-sign"]["pem"], "-pubkey", "-noout",
                        "-out", pub])
    if not ok:
        return [("openssl: SM2 public key", False, out)]

    def sm2_pkcs1(label, key, container):
        if not made.get(key):
            results.append((label, False, "no signature from the page"))
            return
        signature = base64.b64decode(made[key])
        if container:
            signature = minimal_sm2_signature(signature)
        ok, out = _sm2_verify(folder, key, pub, message, signature)
        results.append((label, ok, out))

    def sm2_pkcs7(label, key, detached, container):
        if not made.get(key):
            results.append((label, False, "no signature from the page"))
            return
        try:
            content, attrs, signature = sm2_signed_data_parts(base64.b64decode(made[key]))
        except (IndexError, ValueError) as error:
            results.append((label, False, "cannot take the SignedData apart: %r" % error))
            return
        if detached and content is not None:
            results.append((label, False, "detached signature carries content"))
            return
        if not detached and content != message:
            results.append((label, False, "attached content differs from the message"))
            return
        if container:
            signature = minimal_sm2_signature(signature)
        ok, out = _sm2_verify(folder, key, pub, attrs if attrs else message, signature)
        results.append((label, ok, out + (" (over signed attributes)" if attrs else "")))

    sm2_pkcs1("openssl: SM2 PKCS#1 (container) verifies", "sm2Pkcs1", True)
    sm2_pkcs1("openssl: SM2 PKCS#1 (.sm2 file) verifies", "sm2SoftPkcs1", False)
    sm2_pkcs7("openssl: SM2 PKCS#7 attached (container) verifies", "sm2Pkcs7Attached", False, True)
    sm2_pkcs7("openssl: SM2 PKCS#7 detached (container) verifies", "sm2Pkcs7Detached", True, True)
    sm2_pkcs7("openssl: SM2 PKCS#7 attached (.sm2 file) verifies", "sm2SoftPkcs7Attached", False,
              False)

    msg_file = _write(os.path.join(folder, "message.txt"), message)
    for label, key, detached in (
            ("openssl: RSA PKCS#7 attached (store) verifies", "rsaPkcs7Attached", False),
            ("openssl: RSA PKCS#7 detached (store) verifies", "rsaPkcs7Detached", True),
            ("openssl: RSA PKCS#7 detached (.p12) verifies", "rsaSoftPkcs7Detached", True)):
        if not made.get(key):
            results.append((label, False, "no signature from the page"))
            continue
        sig = _write(os.path.join(folder, key + ".p7s"), base64.b64decode(made[key]))
        args = ["cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", sig,
                "-out", os.path.join(folder, key + ".out")]
        if detached:
            args += ["-content", msg_file]
        ok, out = _openssl(args)
        if ok and not detached:
            ok = open(os.path.join(folder, key + ".out"), "rb").read() == message
            out += "" if ok else " (content differs)"
        results.append((label, ok, out))

    if made.get("rsaPkcs1"):
        sig = _write(os.path.join(folder, "rsaPkcs1.sig"), base64.b64decode(made["rsaPkcs1"]))
        rsa_pub = os.path.join(folder, "rsa-sign-public.pem")
        _openssl(["x509", "-in", pki["certs"]["rsa-sign"]["pem"], "-pubkey", "-noout",
                  "-out", rsa_pub])
        ok, out = _openssl(["dgst", "-sha256", "-verify", rsa_pub, "-signature", sig, msg_file])
        results.append(("openssl: RSA PKCS#1 SHA-256 (store) verifies", ok, out))
    else:
        results.append(("openssl: RSA PKCS#1 SHA-256 (store) verifies", False, "missing"))

    if made.get("rsaEnvelope3des"):
        key_pem = os.path.join(folder, "rsa-encrypt-key.pem")
        ok, out = _openssl(["pkcs12", "-in", pki["rsaEncryptP12"], "-nocerts", "-nodes",
                            "-passin", "pass:" + pki["password"], "-out", key_pem])
        if not ok:
            ok, out = _openssl(["pkcs12", "-legacy", "-in", pki["rsaEncryptP12"], "-nocerts",
                                "-nodes", "-passin", "pass:" + pki["password"], "-out", key_pem])
        env = _write(os.path.join(folder, "page-envelope.p7m"),
                     base64.b64decode(made["rsaEnvelope3des"]))
        plain = os.path.join(folder, "page-envelope.out")
        if ok:
            ok, out = _openssl(["cms", "-decrypt", "-binary", "-inform", "DER", "-in", env,
                                "-inkey", key_pem, "-recip", pki["certs"]["rsa-encrypt"]["pem"],
                                "-out", plain])
        if ok:
            ok = open(plain, "rb").read() == message
            out += "" if ok else " (plaintext differs)"
        results.append(("openssl: 3DES envelope from the page opens", ok, out))
    else:
        results.append(("openssl: 3DES envelope from the page opens", False, "missing"))
    return results
