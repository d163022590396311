#include "TestCertificate.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/x509v3.h>

namespace testcert {

namespace {

UniquePkey MakeKey(KeyKind kind) {
  if (kind == KeyKind::Rsa2048) return UniquePkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", 2048));
  return UniquePkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

bool SetTime(ASN1_TIME* t, const std::string& text) {
  return ASN1_TIME_set_string_X509(t, text.c_str()) == 1;
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

Built Make(const Options& options) {
  Built out;
  out.key = MakeKey(options.key);
  out.cert.reset(X509_new());
  X509* cert = out.cert.get();
  if (!out.key || !cert || X509_set_version(cert, 2) != 1) return out;
  BIGNUM* bn = BN_bin2bn(options.serial.data(), static_cast<int>(options.serial.size()), nullptr);
  if (bn && options.negativeSerial) BN_set_negative(bn, 1);
  ASN1_INTEGER* serial = bn ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
  BN_free(bn);
  bool ok = serial && X509_set_serialNumber(cert, serial) == 1;
  ASN1_INTEGER_free(serial);
  X509_NAME* name = X509_get_subject_name(cert);
  ok = ok &&
       X509_NAME_add_entry_by_txt(
           name, "CN", MBSTRING_UTF8,
           reinterpret_cast<const unsigned char*>(options.commonName.c_str()), -1, -1, 0) == 1 &&
       X509_set_issuer_name(cert, name) == 1 &&
       SetTime(X509_getm_notBefore(cert), options.notBefore) &&
       SetTime(X509_getm_notAfter(cert), options.notAfter) &&
       X509_set_pubkey(cert, out.key.get()) == 1 &&
       AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE") &&
       (!options.subjectKeyId || AddExtension(cert, NID_subject_key_identifier, "hash")) &&
       X509_sign(cert, out.key.get(), EVP_sha256()) > 0;
  if (!ok) return out;
  unsigned char* der = nullptr;
  int size = i2d_X509(cert, &der);
  if (size > 0) out.der.assign(der, der + size);
  OPENSSL_free(der);
  return out;
}

}  // namespace testcert
