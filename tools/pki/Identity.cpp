#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <utility>

#include "pki/Ossl.h"
#include "pki/TestPki.h"

namespace testpki {

Identity::Identity(EVP_PKEY* key, X509* cert) : key_(key), cert_(cert) {}

Identity::~Identity() {
  EVP_PKEY_free(key_);
  X509_free(cert_);
}

Identity::Identity(Identity&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)), cert_(std::exchange(other.cert_, nullptr)) {}

Identity& Identity::operator=(Identity&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    X509_free(cert_);
    key_ = std::exchange(other.key_, nullptr);
    cert_ = std::exchange(other.cert_, nullptr);
  }
  return *this;
}

bool Identity::IsSm2() const { return key_ != nullptr && EVP_PKEY_is_a(key_, "SM2"); }

Bytes Identity::CertDer() const {
  if (cert_ == nullptr) return {};
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert_, &der);
  if (len <= 0) return {};
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

std::string Identity::CertPem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (cert_ == nullptr || !bio || PEM_write_bio_X509(bio.get(), cert_) != 1) return {};
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

SecretBytes Identity::PrivateKeyBytes() const {
  if (key_ == nullptr) return {};
  if (IsSm2()) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) return {};
    BnPtr d(raw);
    SecretBytes out(32);
    if (BN_bn2binpad(d.get(), out.data(), 32) != 32) return {};
    return out;
  }
  P8Ptr p8(EVP_PKEY2PKCS8(key_));
  if (!p8) return {};
  unsigned char* der = nullptr;
  const int len = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der);
  if (len <= 0) return {};
  SecretBytes out(der, der + len);
  OPENSSL_clear_free(der, static_cast<std::size_t>(len));
  return out;
}

namespace {

// The uncompressed point 04 || X || Y, or empty when the key is not SM2.
Bytes PublicPoint(EVP_PKEY* key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "SM2")) return {};
  Bytes point(65);
  std::size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                      point.size(), &len) != 1 ||
      len != 65 || point[0] != 0x04)
    return {};
  return point;
}

}  // namespace

Bytes Identity::PublicX() const {
  const Bytes p = PublicPoint(key_);
  return p.empty() ? Bytes() : Bytes(p.begin() + 1, p.begin() + 33);
}

Bytes Identity::PublicY() const {
  const Bytes p = PublicPoint(key_);
  return p.empty() ? Bytes() : Bytes(p.begin() + 33, p.end());
}

}  // namespace testpki
