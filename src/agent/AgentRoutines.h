// Routines the agent's operations share across their source units: telling
// certificates and PKCS#7 messages apart, opening a PKCS#12 soft
// certificate, naming algorithms, and reaching the key of an SM2 recipient
// held in a CSP key container. Internal to the agent.
#pragma once

#include <cstdio>
#include <memory>

#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/base/WinTypes.h"
#include "winsvc/UnregisteredCertContext.h"

namespace agent {

// --- Signing side (AgentRoutines.cpp) ------------------------------------------

// Certificate families, by the prefix of the certificate's signature algorithm.
inline constexpr DWORD CERT_TYPE_RSA = 1;  // "1.2.840.113549"
inline constexpr DWORD CERT_TYPE_SM2 = 2;  // "1.2.156.10197"

// PKCS#7 kinds, by the ContentInfo's content type.
inline constexpr DWORD RSA_SIGNED_DATA = 1;     // 1.2.840.113549.1.7.2
inline constexpr DWORD SM2_SIGNED_DATA = 2;     // 1.2.156.10197.6.1.4.2.2
inline constexpr DWORD RSA_ENVELOPED_DATA = 3;  // 1.2.840.113549.1.7.3
inline constexpr DWORD SM2_ENVELOPED_DATA = 4;  // 1.2.156.10197.6.1.4.2.3

// 0 for a name outside SHA-1, SHA-256, SHA-384, SHA-512 (any letter case).
ALG_ID GetHashAlgorithmIDByName(LPCWSTR lpwHashAlg);

// *pdwCertType = CERT_TYPE_RSA or CERT_TYPE_SM2; 0 on failure.
HRESULT GetCertificateType(LPCSTR pszBase64CertData, DWORD* pdwCertType);

// *pdwPKCS7Type = one of the four kinds above; 0 on failure.
HRESULT GetPKCS7Type(LPCSTR pszBase64PKCS7, DWORD dwBase64PKCS7Size, DWORD* pdwPKCS7Type);

// The first certificate of a PKCS#12 file that can sign (digital-signature
// usage, private key obtainable); the caller frees it.
HRESULT CreateCertContextByPFX(PCCERT_CONTEXT* ppCertContext, LPCWSTR bstrPFXFileName,
                               LPCWSTR bstrPFXPassword);

// --- Encryption side (RecipientKeys.cpp) ---------------------------------------

// "RC4" -> 1.2.840.113549.3.4, "3DES" -> 1.2.840.113549.3.7 (any letter
// case); nullptr for anything else.
LPCSTR GetEncryptionAlgorithmOid(LPCWSTR lpwEncryptAlg);

// The current user's "MY" store, read-only; nullptr with the last error set.
HCERTSTORE OpenCurrentUserMyStore();

// The one CSP-held SM2 certificate with a private key whose subject key
// identifier is the envelope's recipient identifier, duplicated for the
// caller; 0xA0071001 unless exactly one matches.
HRESULT GetRecipientUnregisteredCert(const BYTE* pbyRecipientKeyID, DWORD dwRecipientKeyIDSize,
                                     PUNREGISTERED_CERT_CONTEXT* ppRecipientCert);

// A session key the caller owns; its bytes are wiped when it is released.
struct SessionKeyDelete {
  DWORD dwSize = 0;
  void operator()(BYTE* pbyKey) const;
};
using SessionKey = std::unique_ptr<BYTE[], SessionKeyDelete>;

// The session key of an SM2Cipher (DER) decrypted by the CSP that holds the
// recipient's key. On failure *pSessionKey stays empty and nothing of the
// key is left in memory.
HRESULT DecryptSessionKeyByUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pUnregisteredCertContext,
                                            const BYTE* pbyEncryptedKey, DWORD dwEncryptedKeySize,
                                            SessionKey* pSessionKey);

// --- Results -------------------------------------------------------------------

// An SM2 engine answer as a result code: 0 is S_OK, the generic -1 becomes
// HRESULT_FROM_WIN32(dwMinusOneError) (or dwMinusOneError itself when it is
// already a result code), anything else goes through ResultFromLastError.
HRESULT ResultFromEngine(int nResult, DWORD dwMinusOneError);

// Closes a C stream when the operation ends, whichever way it ends.
struct FileClose {
  void operator()(FILE* fp) const {
    if (fp) fclose(fp);
  }
};
using UniqueFile = std::unique_ptr<FILE, FileClose>;

}  // namespace agent
