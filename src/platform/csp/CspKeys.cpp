// Key pairs: encoding, comparison and the checks every provider shares.
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstring>

#include "der/Reader.h"
#include "platform/csp/CspInternal.h"
#include "platform/base/LastError.h"

namespace platform::csp {

KeyPair::~KeyPair() { EVP_PKEY_free(key); }

namespace detail {

BOOL Fail(HRESULT hr) {
  SetLastError(static_cast<DWORD>(hr));
  return FALSE;
}

BOOL FailWin32(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL CopyOut(const void* data, DWORD size, BYTE* pbData, DWORD* pdwDataLen) {
  if (pdwDataLen == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  if (pbData == nullptr) {
    *pdwDataLen = size;
    return TRUE;
  }
  if (*pdwDataLen < size) {
    *pdwDataLen = size;
    return FailWin32(ERROR_MORE_DATA);
  }
  if (size != 0) std::memcpy(pbData, data, size);
  *pdwDataLen = size;
  return TRUE;
}

bool IsKeySpec(DWORD keySpec) { return keySpec == AT_KEYEXCHANGE || keySpec == AT_SIGNATURE; }

bool EncodePrivateKey(EVP_PKEY* key, SecretBytes* der) {
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key);
  if (p8 == nullptr) return false;
  unsigned char* encoded = nullptr;
  int length = i2d_PKCS8_PRIV_KEY_INFO(p8, &encoded);
  PKCS8_PRIV_KEY_INFO_free(p8);
  if (length <= 0) return false;
  SecretBytes out(static_cast<std::size_t>(length));
  std::copy(encoded, encoded + length, out.data());
  OPENSSL_clear_free(encoded, static_cast<std::size_t>(length));
  der->Swap(out);
  return true;
}

UniquePkey DecodePrivateKey(std::span<const BYTE> der) {
  const unsigned char* p = der.data();
  PKCS8_PRIV_KEY_INFO* p8 = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size()));
  if (p8 == nullptr) return nullptr;
  bool whole = p == der.data() + der.size();
  UniquePkey key(whole ? EVP_PKCS82PKEY(p8) : nullptr);
  PKCS8_PRIV_KEY_INFO_free(p8);  // wipes the key octets it held
  return key;
}

namespace {

std::vector<BYTE> PublicKeyInfo(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int length = i2d_PUBKEY(key, &der);
  std::vector<BYTE> out;
  if (length > 0) out.assign(der, der + length);
  OPENSSL_free(der);
  return out;
}

}  // namespace

bool PublicKeysMatch(EVP_PKEY* a, EVP_PKEY* b) {
  if (a == nullptr || b == nullptr) return false;
  if (EVP_PKEY_eq(a, b) == 1) return true;
  // Different key types over the same values (EC and SM2) do not compare
  // equal in OpenSSL; their SubjectPublicKeyInfo encodings do.
  std::vector<BYTE> left = PublicKeyInfo(a);
  return !left.empty() && left == PublicKeyInfo(b);
}

UniquePkey CertificatePublicKey(std::span<const BYTE> der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (cert == nullptr) return nullptr;
  UniquePkey key;
  if (p == der.data() + der.size()) key.reset(X509_get_pubkey(cert));
  X509_free(cert);
  return key;
}

std::size_t DerElementLength(const BYTE* data) {
  if (data == nullptr || data[0] != 0x30) return 0;
  // A certificate is DER. Indefinite lengths and sizes beyond 16 MiB are no
  // certificate, so the header takes five octets at most; the reader looks
  // at no more of them than the octets before say it has.
  der::Options options;
  options.maxLengthOctets = 3;
  der::Header header;
  if (!der::Ok(der::ReadHeader({data, 5}, options, &header))) return 0;
  return header.headerSize + header.length;
}

HRESULT MakeKeyPair(const KeyAlgorithm& algorithm, DWORD keySpec, EVP_PKEY* key,
                    std::span<const BYTE> certificate, std::shared_ptr<const KeyPair>* out) {
  if (!IsKeySpec(keySpec) || key == nullptr) return NTE_BAD_KEY;
  UniquePkey adopted = algorithm.adopt(key);
  if (!adopted) return NTE_BAD_KEY;
  if (!certificate.empty()) {
    UniquePkey certKey = CertificatePublicKey(certificate);
    if (!PublicKeysMatch(certKey.get(), adopted.get())) return NTE_BAD_DATA;
  }
  auto pair = std::make_shared<KeyPair>();
  pair->keySpec = keySpec;
  pair->algId = algorithm.AlgFor(keySpec);
  pair->key = adopted.release();
  pair->certificate.assign(certificate.begin(), certificate.end());
  *out = std::move(pair);
  return S_OK;
}

}  // namespace detail
}  // namespace platform::csp
