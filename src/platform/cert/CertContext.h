// Reference-counted certificate contexts over OpenSSL X509, shaped like
// CryptoAPI's. The context, its parsed CERT_INFO, its copy of the DER and its
// properties are owned together and shared by every duplicate.
#pragma once

#include <openssl/x509.h>

#include <memory>

#include "platform/base/CryptErrors.h"
#include "platform/base/WinTypes.h"

inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

struct CRYPT_INTEGER_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using PCRYPT_INTEGER_BLOB = CRYPT_INTEGER_BLOB*;
using CRYPT_DATA_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_DATA_BLOB = CRYPT_INTEGER_BLOB*;
using CERT_NAME_BLOB = CRYPT_INTEGER_BLOB;
using PCERT_NAME_BLOB = CRYPT_INTEGER_BLOB*;
using CRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB*;
using CRYPT_HASH_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_HASH_BLOB = CRYPT_INTEGER_BLOB*;
using CRYPT_DER_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_DER_BLOB = CRYPT_INTEGER_BLOB*;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};
using PCRYPT_BIT_BLOB = CRYPT_BIT_BLOB*;

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;               // dotted OID text
  CRYPT_OBJID_BLOB Parameters;  // DER of the parameters; empty when absent
};
using PCRYPT_ALGORITHM_IDENTIFIER = CRYPT_ALGORITHM_IDENTIFIER*;

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;  // DER of the extension value (the OCTET STRING's contents)
};
using PCERT_EXTENSION = CERT_EXTENSION*;

inline constexpr DWORD CERT_V1 = 0;
inline constexpr DWORD CERT_V2 = 1;
inline constexpr DWORD CERT_V3 = 2;

struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;  // encoded integer bytes, least significant first
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;  // DER
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;  // DER
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  CERT_EXTENSION* rgExtension;
};
using PCERT_INFO = CERT_INFO*;

using HCERTSTORE = void*;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  CERT_INFO* pCertInfo;
  HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  CRYPT_KEY_PROV_PARAM* rgProvParam;
  DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

inline constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
inline constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
inline constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
inline constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
inline constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
inline constexpr DWORD CERT_KEY_IDENTIFIER_PROP_ID = 20;
inline constexpr DWORD CERT_SHA256_HASH_PROP_ID = 107;

// Null and the last error on failure: E_INVALIDARG for null/empty input or
// an encoding type without X509_ASN_ENCODING, CRYPT_E_ASN1_BADTAG for bytes
// that are not exactly one DER certificate (trailing bytes are refused).
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
// The same pointer with one more reference (null gives null).
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
// Drops one reference; the last one frees everything. Null is accepted.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// pvData is a CRYPT_DATA_BLOB* for every id except CERT_KEY_PROV_INFO_PROP_ID
// (a CRYPT_KEY_PROV_INFO*, deep-copied). Null pvData deletes the property.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                       const void* pvData);
// Null pvData asks for the size; a small buffer gives FALSE with
// ERROR_MORE_DATA and the size. An absent property gives FALSE with
// CRYPT_E_NOT_FOUND. The SHA-1, MD5 and SHA-256 hashes and the key identifier
// (subject key identifier extension, else SHA-1 of the encoded public key
// info) are computed on first request. CERT_KEY_PROV_INFO_PROP_ID returns a
// self-contained CRYPT_KEY_PROV_INFO whose pointers point into pvData.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                       DWORD* pcbData);
// The property id after dwPropId (0 starts), 0 at the end; ids in ascending order.
DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT pCertContext, DWORD dwPropId);

// The parsed certificate, borrowed: valid while the context is.
X509* CertContextX509(PCCERT_CONTEXT pCertContext);

// For certificate-store code: a new context (one reference) over the same
// certificate with a copy of the source's properties and hCertStore set.
// Null with the last error on failure.
PCCERT_CONTEXT CertContextCloneForStore(PCCERT_CONTEXT pSource, HCERTSTORE hStore);

// What a store attaches to each context it owns. The context holds the link
// until its last reference goes, so a store the link keeps alive outlives
// every context it handed out, and the store can find its bookkeeping for a
// context it is given back.
class CertStoreLink {
 public:
  virtual ~CertStoreLink() = default;
  // Called after CertSetCertificateContextProperty changed the context (with
  // no lock of the context held); FALSE with the last error makes that call
  // fail, for a store that could not record the change.
  virtual BOOL PropertyChanged(PCCERT_CONTEXT pCertContext) = 0;
};

// As above, with the store's link attached to the new context.
PCCERT_CONTEXT CertContextCloneForStore(PCCERT_CONTEXT pSource, HCERTSTORE hStore,
                                        std::shared_ptr<CertStoreLink> link);
// The link attached by the store the context belongs to, or null. Borrowed:
// valid while the context is.
CertStoreLink* CertContextStoreLink(PCCERT_CONTEXT pCertContext);
