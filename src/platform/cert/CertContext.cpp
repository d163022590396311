#include "platform/cert/CertContext.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/Unique.h"
#include "platform/cert/CertInfoBuilder.h"
#include "platform/cert/CertKeyProvInfo.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"

namespace {

// Everything one certificate context owns; shared by its duplicates.
struct CertData {
  std::atomic<long> references{1};
  std::vector<BYTE> der;
  foundation::Unique<X509, X509_free> x509;
  CertInfoStorage info;
  std::mutex mutex;  // guards properties
  std::map<DWORD, std::vector<BYTE>> properties;
  std::shared_ptr<CertStoreLink> link;  // set once, before the context is shared
};

// Standard layout with the CERT_CONTEXT first, so a PCCERT_CONTEXT leads
// back to its data.
struct CertBlock {
  CERT_CONTEXT context;
  CertData* data;
};

CertData& DataOf(PCCERT_CONTEXT context) {
  return *reinterpret_cast<const CertBlock*>(context)->data;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD HResultError(HRESULT hr) { return static_cast<DWORD>(hr); }

PCCERT_CONTEXT Create(DWORD encodingType, const BYTE* der, DWORD size, HCERTSTORE store) {
  auto data = std::make_unique<CertData>();
  data->der.assign(der, der + size);
  const unsigned char* cursor = data->der.data();
  data->x509.reset(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
  // Exactly one certificate: bytes after it are not silently ignored.
  if (!data->x509 || cursor != data->der.data() + size ||
      !BuildCertInfo(data->x509.get(), data->der.data(), size, data->info)) {
    SetLastError(HResultError(CRYPT_E_ASN1_BADTAG));
    return nullptr;
  }
  auto block = std::make_unique<CertBlock>();
  block->context.dwCertEncodingType = encodingType;
  block->context.pbCertEncoded = data->der.data();
  block->context.cbCertEncoded = size;
  block->context.pCertInfo = &data->info.info;
  block->context.hCertStore = store;
  block->data = data.release();
  return &block.release()->context;
}

bool Digest(const EVP_MD* md, const std::vector<BYTE>& input, std::vector<BYTE>& out) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!md || EVP_Digest(input.data(), input.size(), hash, &length, md, nullptr) != 1) return false;
  out.assign(hash, hash + length);
  return true;
}

bool KeyIdentifier(X509* cert, std::vector<BYTE>& out) {
  if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert)) {
    const unsigned char* bytes = ASN1_STRING_get0_data(ski);
    out.assign(bytes, bytes + ASN1_STRING_length(ski));
    return true;
  }
  unsigned char* spki = nullptr;
  int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &spki);
  if (size <= 0) return false;
  std::vector<BYTE> encoded(spki, spki + size);
  OPENSSL_free(spki);
  return Digest(EVP_sha1(), encoded, out);
}

// Properties CryptoAPI derives from the certificate when first asked.
bool ComputeProperty(CertData& data, DWORD id, std::vector<BYTE>& out) {
  switch (id) {
    case CERT_SHA1_HASH_PROP_ID:
      return Digest(EVP_sha1(), data.der, out);
    case CERT_MD5_HASH_PROP_ID:
      return Digest(EVP_md5(), data.der, out);
    case CERT_SHA256_HASH_PROP_ID:
      return Digest(EVP_sha256(), data.der, out);
    case CERT_KEY_IDENTIFIER_PROP_ID:
      return KeyIdentifier(data.x509.get(), out);
    default:
      return false;
  }
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  if (!pbCertEncoded || cbCertEncoded == 0 || !(dwCertEncodingType & X509_ASN_ENCODING)) {
    SetLastError(HResultError(E_INVALIDARG));
    return nullptr;
  }
  return Create(dwCertEncodingType, pbCertEncoded, cbCertEncoded, nullptr);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) return nullptr;
  DataOf(pCertContext).references.fetch_add(1, std::memory_order_relaxed);
  return pCertContext;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) return TRUE;
  CertData* data = &DataOf(pCertContext);
  if (data->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete reinterpret_cast<const CertBlock*>(pCertContext);
    delete data;
  }
  return TRUE;
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                       DWORD /*dwFlags*/, const void* pvData) {
  if (!pCertContext || dwPropId == 0) return Fail(HResultError(E_INVALIDARG));
  std::vector<BYTE> value;
  if (pvData && dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
    if (!FlattenKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), value))
      return Fail(HResultError(E_INVALIDARG));
  } else if (pvData) {
    const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
    if (blob->cbData && !blob->pbData) return Fail(HResultError(E_INVALIDARG));
    if (blob->cbData) value.assign(blob->pbData, blob->pbData + blob->cbData);
  }
  CertData& data = DataOf(pCertContext);
  {
    std::lock_guard lock(data.mutex);
    if (pvData)
      data.properties[dwPropId] = std::move(value);
    else
      data.properties.erase(dwPropId);
  }
  return data.link ? data.link->PropertyChanged(pCertContext) : TRUE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData) {
  if (!pCertContext || !pcbData) return Fail(HResultError(E_INVALIDARG));
  CertData& data = DataOf(pCertContext);
  std::lock_guard lock(data.mutex);
  auto it = data.properties.find(dwPropId);
  if (it == data.properties.end()) {
    std::vector<BYTE> computed;
    if (!ComputeProperty(data, dwPropId, computed)) return Fail(HResultError(CRYPT_E_NOT_FOUND));
    it = data.properties.emplace(dwPropId, std::move(computed)).first;
  }
  const std::vector<BYTE>& value = it->second;
  DWORD size = static_cast<DWORD>(value.size());
  if (!pvData) {
    *pcbData = size;
    return TRUE;
  }
  if (*pcbData < size) {
    *pcbData = size;
    return Fail(ERROR_MORE_DATA);
  }
  if (size) std::memcpy(pvData, value.data(), size);
  if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) RelocateKeyProvInfo(static_cast<BYTE*>(pvData));
  *pcbData = size;
  return TRUE;
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId) {
  if (!pCertContext) return 0;
  CertData& data = DataOf(pCertContext);
  std::lock_guard lock(data.mutex);
  auto it = data.properties.upper_bound(dwPropId);
  return it == data.properties.end() ? 0 : it->first;
}

X509* CertContextX509(PCCERT_CONTEXT pCertContext) {
  return pCertContext ? DataOf(pCertContext).x509.get() : nullptr;
}

PCCERT_CONTEXT CertContextCloneForStore(PCCERT_CONTEXT pSource, HCERTSTORE hStore) {
  return CertContextCloneForStore(pSource, hStore, nullptr);
}

CertStoreLink* CertContextStoreLink(PCCERT_CONTEXT pCertContext) {
  return pCertContext ? DataOf(pCertContext).link.get() : nullptr;
}

PCCERT_CONTEXT CertContextCloneForStore(PCCERT_CONTEXT pSource, HCERTSTORE hStore,
                                        std::shared_ptr<CertStoreLink> link) {
  if (!pSource) {
    SetLastError(HResultError(E_INVALIDARG));
    return nullptr;
  }
  CertData& source = DataOf(pSource);
  PCCERT_CONTEXT copy = Create(pSource->dwCertEncodingType, source.der.data(),
                               static_cast<DWORD>(source.der.size()), hStore);
  if (!copy) return nullptr;
  std::map<DWORD, std::vector<BYTE>> properties;
  {
    std::lock_guard lock(source.mutex);
    properties = source.properties;
  }
  DataOf(copy).properties = std::move(properties);
  DataOf(copy).link = std::move(link);
  return copy;
}
