// Independent checks on what the test PKI makes, done with plain OpenSSL so
// the library is not judged by its own code.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pki/TestPki.h"

namespace pkitest {

using Bytes = std::vector<std::uint8_t>;

// The SM2 ID on a certificate, as OpenSSL's verification wants it.
inline void SetSm2Id(X509* cert) {
  ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>("1234567812345678"), 16);
  X509_set0_distinguishing_id(cert, id);
}

// d·G on the SM2 curve as 04 || X || Y.
inline Bytes Sm2PointOf(std::span<const std::uint8_t> d) {
  std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_sm2),
                                                            EC_GROUP_free);
  std::unique_ptr<BIGNUM, decltype(&BN_clear_free)> bn(
      BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr), BN_clear_free);
  std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> p(EC_POINT_new(group.get()), EC_POINT_free);
  if (!group || !bn || !p ||
      EC_POINT_mul(group.get(), p.get(), bn.get(), nullptr, nullptr, nullptr) != 1)
    return {};
  Bytes out(65);
  if (EC_POINT_point2oct(group.get(), p.get(), POINT_CONVERSION_UNCOMPRESSED, out.data(),
                         out.size(), nullptr) != 65)
    return {};
  return out;
}

// The certificate's public key as 04 || X || Y.
inline Bytes CertPoint(X509* cert) {
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  Bytes out(65);
  std::size_t len = 0;
  if (pub == nullptr ||
      EVP_PKEY_get_octet_string_param(pub, "encoded-pub-key", out.data(), out.size(), &len) != 1 ||
      len != 65)
    return {};
  return out;
}

inline Bytes Concat(const Bytes& x, const Bytes& y) {
  Bytes out{0x04};
  out.insert(out.end(), x.begin(), x.end());
  out.insert(out.end(), y.begin(), y.end());
  return out;
}

inline testpki::CertProfile Profile(const std::string& cn, const std::string& serial,
                                    std::optional<unsigned> ku = std::nullopt) {
  testpki::CertProfile p;
  p.subject = "C=CN,O=Sigil Test,OU=Unit,CN=" + cn;
  p.serialHex = serial;
  p.keyUsage = ku;
  return p;
}

}  // namespace pkitest
