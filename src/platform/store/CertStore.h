// Certificate stores shaped like CryptoAPI's: system stores of the current
// user and of the machine (kept in the registry stand-ins), memory stores,
// certificates-only PKCS#7 stores and PKCS#12 imports. A store owns copies of
// the contexts added to it; every context it hands out carries one reference
// for the caller, and hCertStore names the store it came from.
//
// System stores live under Software\Microsoft\SystemCertificates\<NAME>
// \Certificates of HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE: one key per
// certificate, named by its SHA-1 thumbprint in upper-case hex, holding the
// REG_BINARY value "Blob" (the serialized certificate: records of 32-bit
// property id, 32-bit 1, 32-bit length and the value, all little-endian; id
// 32 is the DER certificate). A store opened on a system store reads the
// keys at open (a key whose Blob cannot be read is passed over) and writes
// every add, delete and property change of its contexts through at once.
// System stores enumerate in thumbprint order, so the order does not depend
// on when a certificate was added; other stores keep insertion order.
#pragma once

#include "foundation/Unique.h"
#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

using HCRYPTPROV_LEGACY = ULONG_PTR;

// Store providers (the pointer value is the number, as in CryptoAPI).
inline const LPCSTR CERT_STORE_PROV_MSG = reinterpret_cast<LPCSTR>(1);
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(2);
inline const LPCSTR CERT_STORE_PROV_PKCS7 = reinterpret_cast<LPCSTR>(5);
inline const LPCSTR CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(10);

inline constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
inline constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
inline constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
inline constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
inline constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;
inline constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0x00FF0000;

inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x1;
inline constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x2;

inline constexpr DWORD CERT_STORE_ADD_NEW = 1;
inline constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
inline constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
inline constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;

// Property id of the DER certificate in a serialized "Blob".
inline constexpr DWORD CERT_CERT_PROP_ID = 32;

// Find types for CertFindCertificateInStore.
inline constexpr DWORD CERT_FIND_ANY = 0;
inline constexpr DWORD CERT_FIND_SHA1_HASH = 0x00010000;
inline constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;
inline constexpr DWORD CERT_FIND_SUBJECT_CERT =
    0x000B0000;                                         // pvFindPara: PCERT_INFO (issuer, serial)
inline constexpr DWORD CERT_FIND_CERT_ID = 0x00100000;  // pvFindPara: CERT_ID*

inline constexpr DWORD CERT_ID_ISSUER_SERIAL_NUMBER = 1;
inline constexpr DWORD CERT_ID_KEY_IDENTIFIER = 2;
inline constexpr DWORD CERT_ID_SHA1_HASH = 3;

struct CERT_ISSUER_SERIAL_NUMBER {
  CERT_NAME_BLOB Issuer;            // DER
  CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
};

struct CERT_ID {
  DWORD dwIdChoice;
  union {
    CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
    CRYPT_HASH_BLOB KeyId;
    CRYPT_HASH_BLOB HashId;
  };
};
using PCERT_ID = CERT_ID*;

// PFXImportCertStore flags.
inline constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
inline constexpr DWORD CRYPT_USER_PROTECTED = 0x00000002;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr DWORD CRYPT_USER_KEYSET = 0x00001000;
inline constexpr DWORD PKCS12_NO_PERSIST_KEY = 0x00008000;

// Null with the last error on failure. System stores: pvPara is the wide
// store name ("MY", "ADDRESSBOOK", "CA", "ROOT" or any other name without
// a backslash); the location comes from dwFlags; without CERT_STORE_READONLY_FLAG
// a missing store is created and a registry that refuses writing refuses
// the open (ERROR_ACCESS_DENIED); with it a missing store opens empty and
// nothing is written. CERT_STORE_OPEN_EXISTING_FLAG: a missing store gives
// ERROR_FILE_NOT_FOUND; CERT_STORE_CREATE_NEW_FLAG: an existing one gives
// ERROR_FILE_EXISTS. Memory stores start empty. PKCS#7 stores: pvPara is
// a CRYPT_DATA_BLOB* holding a DER PKCS#7 (SignedData, certificates only or
// not); its certificates in order. Message stores: pvPara is an HCRYPTMSG
// opened to decode and given its final update; the message's certificates
// in order (ERROR_INVALID_HANDLE for a handle that is not live,
// CRYPT_E_STREAM_MSG_NOT_READY before the final update).
HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara);
// A new handle on the same store (one more reference).
HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
// Drops the handle's reference; the store goes when its last handle and its
// last handed-out context are gone. Null is accepted. With
// CERT_CLOSE_STORE_CHECK_FLAG, closing the last handle while contexts are
// still held gives FALSE with CRYPT_E_PENDING_CLOSE (0x8009200F), the store
// being closed all the same. CERT_CLOSE_STORE_FORCE_FLAG frees nothing a
// caller still holds. A handle that is not live: FALSE, ERROR_INVALID_HANDLE.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

// One owner for a store handle, closed without flags as every owner closes it.
inline BOOL CloseCertStore(HCERTSTORE hCertStore) { return CertCloseStore(hCertStore, 0); }
using UniqueCertStore = foundation::Unique<void, CloseCertStore>;

// The certificate after pPrevCertContext in store order (null: the first),
// or null with CRYPT_E_NOT_FOUND at the end. Frees pPrevCertContext, which
// may have been deleted from the store meanwhile; one from another store
// gives E_INVALIDARG.
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);

// Adds a copy of the context (with its properties). ADD_NEW refuses a
// certificate already there (same SHA-1) with CRYPT_E_EXISTS; USE_EXISTING
// keeps the one there, gives it the newcomer's properties it lacks, and
// succeeds; REPLACE_EXISTING puts the copy in the old one's place; ALWAYS
// adds a second copy (in a system store, with one key per thumbprint, it
// replaces). A read-only store refuses with E_ACCESSDENIED; a system store
// whose registry write fails, with that error. ppStoreContext (may be null)
// receives the store's context with one reference.
BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
// Removes the certificate from the store the context came from (for a
// system store, its registry key), and always frees the context, as
// CryptoAPI does. E_INVALIDARG for a context from no store, E_ACCESSDENIED
// for a read-only store; deleting an already deleted context succeeds.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

// The next match after pPrevCertContext (which is freed), or null with
// CRYPT_E_NOT_FOUND; E_INVALIDARG for another find type or a missing
// pvFindPara. Serial numbers compare as integers (CertCompareIntegerBlob),
// issuers byte for byte; a key identifier is matched against
// CERT_KEY_IDENTIFIER_PROP_ID.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                          DWORD dwFindFlags, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext);
// The first certificate whose issuer and serial number equal pCertId's.
PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                  PCERT_INFO pCertId);

// A memory store holding the PKCS#12's certificates. A certificate with its
// private key carries CERT_KEY_PROV_INFO_PROP_ID naming a volatile container
// of the RSA (or SM2) software provider: the key stays in this process's
// memory for the life of the store and its contexts and is never written to
// disk, whatever dwFlags ask. The certificate with the key comes first, then
// the others in file order; bag friendly names become
// CERT_FRIENDLY_NAME_PROP_ID. A key of another kind (neither RSA nor SM2) is
// left out and its certificate imported alone. A null or empty password is
// tried both as "" and as no password. A wrong password gives
// ERROR_INVALID_PASSWORD (86); bytes that are not a PKCS#12
// CRYPT_E_BAD_ENCODE; a blob over 1 MiB 0xA0072026, unparsed. Files of
// older tools (RC2-40 or triple-DES bags, SHA-1 MAC) open too.
HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// The serialized form of a context (the "Blob" value) and back. Unknown
// property ids are kept as they are; CERT_KEY_PROV_INFO_PROP_ID is written
// self-relative with 32-bit fields (layout in CertStoreSerialize.cpp).
// Malformed records give CRYPT_E_BAD_ENCODE; a small buffer ERROR_MORE_DATA.
// The deserialized context belongs to no store.
BOOL CertSerializeCertificateStoreElement(PCCERT_CONTEXT pCertContext, DWORD dwFlags,
                                          BYTE* pbElement, DWORD* pcbElement);
PCCERT_CONTEXT CertDeserializeCertificateStoreElement(const BYTE* pbElement, DWORD cbElement);
