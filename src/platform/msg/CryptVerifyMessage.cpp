// Whole-message verification of SignedData signatures, attached or
// detached: RSA PKCS #1 v1.5 over the content digest, or over the signed
// attributes whose message digest matches the content. The content is taken
// as the bytes it is, never as text.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/Unique.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "platform/msg/CryptMsgInternal.h"
#include "platform/msg/CryptMsgSignedData.h"
#include "platform/base/LastError.h"

namespace platform::msg::detail {
namespace {

using Parts = std::span<const std::span<const BYTE>>;

constexpr char kOidMessageDigest[] = "1.2.840.113549.1.9.4";

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

const EVP_MD* DigestNamed(const std::string& oid) {
  if (oid == "1.2.840.113549.2.5") return EVP_md5();
  if (oid == "1.3.14.3.2.26") return EVP_sha1();
  if (oid == "2.16.840.1.101.3.4.2.1") return EVP_sha256();
  if (oid == "2.16.840.1.101.3.4.2.2") return EVP_sha384();
  if (oid == "2.16.840.1.101.3.4.2.3") return EVP_sha512();
  return nullptr;
}

// The signature algorithms taken: plain rsaEncryption (the digest comes
// from the digest algorithm field) or RSA with a named digest.
bool RsaSignatureAlgorithm(const std::string& oid, const EVP_MD** named) {
  *named = nullptr;
  if (oid == szOID_RSA_RSA) return true;
  if (oid == "1.2.840.113549.1.1.4") *named = EVP_md5();
  if (oid == "1.2.840.113549.1.1.5" || oid == "1.3.14.3.2.29") *named = EVP_sha1();
  if (oid == "1.2.840.113549.1.1.11") *named = EVP_sha256();
  if (oid == "1.2.840.113549.1.1.12") *named = EVP_sha384();
  if (oid == "1.2.840.113549.1.1.13") *named = EVP_sha512();
  return *named != nullptr;
}

bool Digest(const EVP_MD* md, Parts parts, ByteVector* out) {
  foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
  for (std::span<const BYTE> part : parts)
    if (!part.empty() && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) return false;
  out->resize(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out->data(), &size) != 1) return false;
  out->resize(size);
  return true;
}

// Integers compare by value: sign-extension bytes at the top do not count.
std::span<const BYTE> Significant(std::span<const BYTE> bigEndian) {
  while (bigEndian.size() > 1 && ((bigEndian[0] == 0x00 && bigEndian[1] < 0x80) ||
                                  (bigEndian[0] == 0xFF && bigEndian[1] >= 0x80)))
    bigEndian = bigEndian.subspan(1);
  return bigEndian;
}

bool IsSigner(PCCERT_CONTEXT cert, const SignerValue& signer) {
  const CERT_INFO& info = *cert->pCertInfo;
  if (info.Issuer.cbData != signer.issuer.size() ||
      std::memcmp(info.Issuer.pbData, signer.issuer.data(), signer.issuer.size()) != 0)
    return false;
  ByteVector serial(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData);
  std::reverse(serial.begin(), serial.end());
  const auto a = Significant(serial), b = Significant(signer.serial);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// The signer's certificate: the caller's callback decides when there is
// one, else the message's own certificate with that issuer and serial.
HRESULT FindSignerCertificate(const CRYPT_VERIFY_MESSAGE_PARA& para, const SignedDataValue& value,
                              const SignerValue& signer, UniqueContext* out) {
  if (para.pfnGetSignerCertificate != nullptr) {
    UniqueCertStore store(CertOpenStore(
        CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, nullptr));
    if (!store) return static_cast<HRESULT>(GetLastError());
    for (const ByteVector& der : value.certificates)
      CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                       static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                       nullptr);  // one the store refuses cannot be the signer
    ByteVector issuer = signer.issuer, serial = signer.serial;
    std::reverse(serial.begin(), serial.end());
    CERT_INFO id{};
    id.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
    id.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
    SetLastError(ERROR_SUCCESS);
    out->reset(para.pfnGetSignerCertificate(para.pvGetArg, para.dwMsgAndCertEncodingType, &id,
                                            store.get()));
    if (*out) return S_OK;
    const auto error = static_cast<HRESULT>(GetLastError());
    return error != 0 ? error : CRYPT_E_SIGNER_NOT_FOUND;
  }
  for (const ByteVector& der : value.certificates) {
    UniqueContext cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                    static_cast<DWORD>(der.size())));
    if (cert && IsSigner(cert.get(), signer)) {
      *out = std::move(cert);
      return S_OK;
    }
  }
  return CRYPT_E_SIGNER_NOT_FOUND;
}

// The messageDigest attribute's value: exactly one OCTET STRING.
bool MessageDigestOf(const SignerValue& signer, std::span<const BYTE>* out) {
  const AttributeValue* found = nullptr;
  for (const AttributeValue& attribute : signer.authAttrs)
    if (attribute.oid == kOidMessageDigest) {
      if (found != nullptr) return false;
      found = &attribute;
    }
  if (found == nullptr || found->values.size() != 1) return false;
  const ByteVector& der = found->values[0];
  // DER from the parser: tag 04, a definite length of at most two bytes here.
  if (der.size() < 2 || der[0] != 0x04) return false;
  std::size_t header = 2, length = der[1];
  if (length == 0x81 && der.size() >= 3) {
    length = der[2];
    header = 3;
  } else if (length & 0x80) {
    return false;
  }
  if (der.size() != header + length) return false;
  *out = std::span<const BYTE>(der).subspan(header);
  return true;
}

HRESULT CheckSignature(const SignerValue& signer, PCCERT_CONTEXT cert, Parts content) {
  const EVP_MD* md = DigestNamed(signer.digest.oid);
  const EVP_MD* named = nullptr;
  if (md == nullptr || !RsaSignatureAlgorithm(signer.signature.oid, &named))
    return CRYPT_E_UNKNOWN_ALGO;
  if (named != nullptr && EVP_MD_get_type(named) != EVP_MD_get_type(md))
    return CRYPT_E_UNKNOWN_ALGO;
  EVP_PKEY* key = X509_get0_pubkey(CertContextX509(cert));
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return NTE_BAD_PUBLIC_KEY;

  ByteVector digest;
  if (!Digest(md, content, &digest)) return NTE_BAD_ALGID;
  if (signer.hasAuthAttrs) {
    std::span<const BYTE> carried;
    if (!MessageDigestOf(signer, &carried)) return CRYPT_E_AUTH_ATTR_MISSING;
    if (carried.size() != digest.size() ||
        !std::equal(carried.begin(), carried.end(), digest.begin()))
      return CRYPT_E_HASH_VALUE;
    const std::span<const BYTE> attributes[] = {signer.authAttrsDer};
    if (!Digest(md, attributes, &digest)) return NTE_BAD_ALGID;
  }

  foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
    return NTE_BAD_ALGID;
  const int verified = EVP_PKEY_verify(ctx.get(), signer.encryptedDigest.data(),
                                       signer.encryptedDigest.size(), digest.data(), digest.size());
  ERR_clear_error();
  return verified == 1 ? S_OK : NTE_BAD_SIGNATURE;
}

// Both calls: decode, pick the signer, find its certificate, check.
// `detachedParts` is null for an attached message, whose own content is
// then checked and returned in *content.
HRESULT Verify(PCRYPT_VERIFY_MESSAGE_PARA para, DWORD signerIndex, const BYTE* blob, DWORD size,
               const Parts* detachedParts, SignedDataValue* value, PCCERT_CONTEXT* signerCert) {
  if (signerCert != nullptr) *signerCert = nullptr;
  if (para == nullptr || para->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
      (para->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0 || blob == nullptr)
    return E_INVALIDARG;
  HRESULT hr = DecodeSignedData({blob, size}, value);
  if (FAILED(hr)) return hr;
  if (signerIndex >= value->signers.size()) return CRYPT_E_NO_SIGNER;
  const SignerValue& signer = value->signers[signerIndex];

  UniqueContext cert;
  hr = FindSignerCertificate(*para, *value, signer, &cert);
  if (FAILED(hr)) return hr;
  if (signerCert != nullptr) *signerCert = CertDuplicateCertificateContext(cert.get());

  const std::span<const BYTE> attached[] = {value->content};
  return CheckSignature(signer, cert.get(), detachedParts != nullptr ? *detachedParts : attached);
}

BOOL Fail(HRESULT hr) {
  SetLastError(static_cast<DWORD>(hr));
  return FALSE;
}

}  // namespace
}  // namespace platform::msg::detail

using namespace platform::msg::detail;

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
  if (pbDecoded != nullptr && pcbDecoded == nullptr) {
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    return Fail(E_INVALIDARG);
  }
  SignedDataValue value;
  const HRESULT hr =
      Verify(pVerifyPara, dwSignerIndex, pbSignedBlob, cbSignedBlob, nullptr, &value, ppSignerCert);
  if (FAILED(hr)) {
    if (pcbDecoded != nullptr) *pcbDecoded = 0;
    return Fail(hr);
  }
  return pcbDecoded != nullptr ? CopyOut(value.content, pbDecoded, pcbDecoded) : TRUE;
}

BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara,
                                         DWORD dwSignerIndex, const BYTE* pbDetachedSignBlob,
                                         DWORD cbDetachedSignBlob, DWORD cToBeSigned,
                                         const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                                         PCCERT_CONTEXT* ppSignerCert) {
  if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
  if (cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr))
    return Fail(E_INVALIDARG);
  std::vector<std::span<const BYTE>> parts;
  for (DWORD i = 0; i < cToBeSigned; ++i) {
    if (rgpbToBeSigned[i] == nullptr && rgcbToBeSigned[i] != 0) return Fail(E_INVALIDARG);
    parts.emplace_back(rgpbToBeSigned[i], rgcbToBeSigned[i]);
  }
  const Parts view(parts);
  SignedDataValue value;
  const HRESULT hr = Verify(pVerifyPara, dwSignerIndex, pbDetachedSignBlob, cbDetachedSignBlob,
                            &view, &value, ppSignerCert);
  return FAILED(hr) ? Fail(hr) : TRUE;
}
