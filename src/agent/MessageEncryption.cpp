// Enveloping a message from page script for a recipient and opening an
// envelope addressed to the user.
//
// Messages travel as UTF-8 inside the envelope and envelopes as one-line
// Base64 text. RSA envelopes go through the CryptoAPI message services, SM2
// envelopes through the SM2 engine; when the user's SM2 key sits in a CSP
// key container, that container decrypts the session key. Every copy of a
// plaintext or a password this unit makes is wiped before it is freed.

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <source_location>

#include "agent/AgentHolders.h"
#include "agent/AgentRoutines.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "agent/SiteConsent.h"
#include "platform/base/Bstr.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/Base64.h"
#include "smengine/common/Misc.h"
#include "smengine/common/TextUtility.h"
#include "smengine/envelope/DataEnvelope.h"
#include "trace/Trace.h"
#include "winsvc/CertificateChecks.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/CryptoApiEnvelopes.h"

using agent::IsTypeName;
using agent::OperationScope;
using agent::Secret;
using agent::TakeSecret;
using agent::TraceStep;
using agent::UniqueCertContext;
using agent::UniqueUnregistered;

namespace {

constexpr LPCWSTR kSource = u"MessageEncryption";
constexpr DWORD kKeyEncipherment = 0x20;

// The failed call's last error as a result; a call that failed without
// leaving one must still read as a failure.
HRESULT FailureOfLastError() {
  const HRESULT hResult = ResultFromLastError(GetLastError());
  return hResult == S_OK ? E_FAIL : hResult;
}

// Converts script text that holds no secret to UTF-8.
HRESULT ToUtf8(StepTrace& trace, LPCWSTR step, LPCWSTR lpwText, agent::Utf8Text& text,
               std::source_location where = std::source_location::current()) {
  return TraceStep(trace, step, text.Convert(lpwText), u"S_OK != hResult", where);
}

// Converts script text to UTF-8; the copy is wiped when released.
HRESULT ToUtf8Secret(StepTrace& trace, LPCWSTR step, LPCWSTR lpwText, Secret<char>* ppszText,
                     int* pnTextLen, std::source_location where = std::source_location::current()) {
  LPSTR pszRaw = nullptr;
  int nLen = 0;
  HRESULT hResult = UTF16ToUTF8(lpwText, &pszRaw, &nLen);
  *ppszText = TakeSecret(pszRaw, SUCCEEDED(hResult) ? std::size_t(nLen) + 1 : 0);
  hResult = TraceStep(trace, step, hResult, u"S_OK != hResult", where);
  if (FAILED(hResult)) return hResult;
  if (pnTextLen) *pnTextLen = nLen;
  return S_OK;
}

// A zero-terminated copy of the plaintext, so that it can be read as text.
HRESULT CopyPlaintext(StepTrace& trace, const BYTE* pbyPlain, std::size_t nPlainLen,
                      Secret<char>* ppszPlain) {
  trace.Step(u"New memory");
  Secret<char> lpMessageSourceData =
      TakeSecret(new (std::nothrow) char[nPlainLen + 1](), nPlainLen + 1);
  if (!lpMessageSourceData) return trace.Failed(E_OUTOFMEMORY, u"!lpMessageSourceData");
  if (nPlainLen > 0) std::memcpy(lpMessageSourceData.get(), pbyPlain, nPlainLen);
  trace.Passed();
  *ppszPlain = std::move(lpMessageSourceData);
  return S_OK;
}

// One-line Base64 of an envelope.
HRESULT EnvelopeToBase64(StepTrace& trace, const BYTE* pbyEnvelope, int nEnvelopeLen,
                         std::unique_ptr<char[]>* ppszBase64) {
  LPSTR pszBase64 = nullptr;
  HRESULT hResult = S_OK;
  hResult = TraceStep(
      trace, u"Base64EncodeEx",
      Base64EncodeEx(&pszBase64, pbyEnvelope, nEnvelopeLen, nullptr, ATL_BASE64_FLAG_NOCRLF),
      u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;
  ppszBase64->reset(pszBase64);
  return S_OK;
}

// An RSA envelope of the message for one recipient, with the content cipher
// named by lpwEncryptAlg.
HRESULT EnvelopeForRsaRecipient(StepTrace& trace, LPCWSTR lpwEncryptAlg, PCCERT_CONTEXT pRecipient,
                                const BYTE* pbyMessage, DWORD dwMessageLen,
                                std::unique_ptr<char[]>* ppszBase64Envelope) {
  trace.Step(u"Check encrypt algorithm.");
  const LPCSTR lpszEncryptAlgOID = agent::GetEncryptionAlgorithmOid(lpwEncryptAlg);
  if (!lpszEncryptAlgOID) return trace.Failed(NTE_BAD_ALGID, u"NULL == lpszEncryptAlgOID");
  trace.Passed();

  trace.Step(u"CertDuplicateCertificateContext");
  CERTIFICATE_SET vtrRecipientCerts;
  CertificateSetReleaser releaser(vtrRecipientCerts);
  PCCERT_CONTEXT pDuplicate = CertDuplicateCertificateContext(pRecipient);
  if (!pDuplicate) return trace.Failed(FailureOfLastError(), u"NULL == pDuplicate");
  vtrRecipientCerts.push_back(pDuplicate);
  trace.Passed();

  BYTE* pbyRaw = nullptr;
  DWORD dwEnvelopeLen = 0;
  HRESULT hResult = EncryptDatatoEnvelope(vtrRecipientCerts, pbyMessage, dwMessageLen, &pbyRaw,
                                          &dwEnvelopeLen, lpszEncryptAlgOID);
  std::unique_ptr<BYTE[]> pbyEnvelope(pbyRaw);
  hResult = TraceStep(trace, u"EncryptDatatoEnvelope", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;
  return EnvelopeToBase64(trace, pbyEnvelope.get(), static_cast<int>(dwEnvelopeLen),
                          ppszBase64Envelope);
}

HRESULT EncryptMsgCMSEnvelope(LPCWSTR lpwEncryptAlg, const char* pszUTF8Message, int nMessageLen,
                              PCCERT_CONTEXT pRecipient, BOOL bSM2,
                              std::unique_ptr<char[]>* ppszBase64Envelope) {
  TraceHelper helper("CCryptoAgent::EncryptMsgCMSEnvelope");
  StepTrace trace(kTraceGuidAgent, kSource, u"CCryptoAgent::EncryptMsgCMSEnvelope");
  const auto* pbyMessage = reinterpret_cast<const BYTE*>(pszUTF8Message);

  trace.Step(u"Check recipient certificate");
  if (!pRecipient) return trace.Failed(SIGIL_E_CERT_NOT_READY, u"NULL == pCertContext");
  trace.Passed();

  if (bSM2) {
    // The content cipher of an SM2 envelope is always SM4-CBC; the engine
    // checks the recipient's key usage itself.
    BYTE* pbyRaw = nullptr;
    int nEnvelopeLen = 0;
    const int nResult = engine::EncryptDataToDerCMSEnvelope(
        pbyMessage, nMessageLen, pRecipient->pbCertEncoded,
        static_cast<int>(pRecipient->cbCertEncoded), &pbyRaw, &nEnvelopeLen);
    std::unique_ptr<BYTE[]> pbyEnvelope(pbyRaw);
    HRESULT hResult = S_OK;
    hResult =
        TraceStep(trace, u"EncryptDataToDerCMSEnvelope",
                  agent::ResultFromEngine(nResult, ERROR_ENCRYPTION_FAILED), u"ORLO_OK != nResult");
    if (FAILED(hResult)) return hResult;
    return EnvelopeToBase64(trace, pbyEnvelope.get(), nEnvelopeLen, ppszBase64Envelope);
  }

  trace.Step(u"Check parameter(lpwEncryptAlg)");
  if (!lpwEncryptAlg || wcslen(lpwEncryptAlg) == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == lpwEncryptAlg || wcslen(lpwEncryptAlg) == 0");
  trace.Passed();
  return EnvelopeForRsaRecipient(trace, lpwEncryptAlg, pRecipient, pbyMessage,
                                 static_cast<DWORD>(nMessageLen), ppszBase64Envelope);
}

HRESULT EncryptMsgCMSEnvelope_ByCert(const char* pszUTF8Message, LPCWSTR lpwEncryptAlg,
                                     LPCSTR pszUTF8Base64Cert, LPCWSTR lpwCertType, int nMessageLen,
                                     std::unique_ptr<char[]>* ppszBase64Envelope) {
  TraceHelper helper("CCryptoAgent::EncryptMsgCMSEnvelope_ByCert");
  StepTrace trace(kTraceGuidAgent, kSource, u"CCryptoAgent::EncryptMsgCMSEnvelope_ByCert");
  const auto* pbyMessage = reinterpret_cast<const BYTE*>(pszUTF8Message);
  HRESULT hResult = S_OK;

  DWORD dwCertType = 0;
  hResult =
      TraceStep(trace, u"GetCertificateType",
                agent::GetCertificateType(pszUTF8Base64Cert, &dwCertType), u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;

  BYTE* pbyRaw = nullptr;
  int nCertLen = 0;
  hResult = Base64DecodeEx(static_cast<int>(std::strlen(pszUTF8Base64Cert)), pszUTF8Base64Cert,
                           &pbyRaw, &nCertLen);
  std::unique_ptr<BYTE[]> pbyCert(pbyRaw);
  hResult = TraceStep(trace, u"Base64DecodeEx (pszUTF8Base64Cert)", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;

  if (dwCertType == agent::CERT_TYPE_SM2 && IsTypeName(lpwCertType, u"SM2")) {
    char* pszRaw = nullptr;
    int nBase64Len = 0;
    const int nResult = engine::EncryptDataToBase64CMSEnvelope(pbyCert.get(), nCertLen, pbyMessage,
                                                               nMessageLen, &pszRaw, &nBase64Len);
    std::unique_ptr<char[]> pszEnvelope(pszRaw);
    hResult =
        TraceStep(trace, u"EncryptDataToBase64CMSEnvelope",
                  agent::ResultFromEngine(nResult, ERROR_ENCRYPTION_FAILED), u"ORLO_OK != nResult");
    if (FAILED(hResult)) return hResult;
    *ppszBase64Envelope = std::move(pszEnvelope);
    return S_OK;
  }

  if (dwCertType == agent::CERT_TYPE_RSA && IsTypeName(lpwCertType, u"RSA")) {
    trace.Step(u"Check parameter (lpwEncryptAlg).");
    if (!lpwEncryptAlg || wcslen(lpwEncryptAlg) == 0)
      return trace.Failed(E_INVALIDARG, u"NULL == lpwEncryptAlg || wcslen(lpwEncryptAlg) == 0");
    trace.Passed();

    // Checked before any certificate work, so a wrong name costs nothing.
    trace.Step(u"Check encrypt algorithm.");
    if (!agent::GetEncryptionAlgorithmOid(lpwEncryptAlg))
      return trace.Failed(NTE_BAD_ALGID, u"NULL == lpszEncryptAlgOID");
    trace.Passed();

    trace.Step(u"CertCreateCertificateContext");
    SetLastError(ERROR_SUCCESS);
    UniqueCertContext pstNewCertificate(CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbyCert.get(), static_cast<DWORD>(nCertLen)));
    if (!pstNewCertificate) return trace.Failed(FailureOfLastError(), u"pstNewCertificate == NULL");
    trace.Passed();

    hResult =
        TraceStep(trace, u"CheckCertKeyUsage",
                  CheckCertKeyUsage(kKeyEncipherment, pstNewCertificate.get()), u"S_OK != hResult");
    if (FAILED(hResult)) return hResult;

    return EnvelopeForRsaRecipient(trace, lpwEncryptAlg, pstNewCertificate.get(), pbyMessage,
                                   static_cast<DWORD>(nMessageLen), ppszBase64Envelope);
  }

  trace.Step(u"Check certificate type.");
  return trace.Failed(SIGIL_E_INVALID_KEY_ALG, u"TRUE");
}

// Opens an SM2 envelope whose recipient key is held in a CSP key container.
HRESULT OpenSm2EnvelopeWithCspKey(StepTrace& trace, const BYTE* pbyEnvelope, int nEnvelopeLen,
                                  Secret<BYTE>* ppbyPlain, int* pnPlainLen) {
  BYTE* pbySubjectKeyIDRaw = nullptr;
  int nSubjectKeyIDLen = 0;
  BYTE* pbyEncryptedKeyRaw = nullptr;
  int nEncryptedKeyLen = 0;
  char* pszKeyOidRaw = nullptr;
  char* pszContentOidRaw = nullptr;
  BYTE* pbyIVRaw = nullptr;
  int nIVLen = 0;
  BYTE* pbyContentRaw = nullptr;
  int nContentLen = 0;
  engine::CMSEnvelopeOutputs outputs;
  outputs.ppbySubjectKeyID = &pbySubjectKeyIDRaw;
  outputs.pnSubjectKeyIDLength = &nSubjectKeyIDLen;
  outputs.ppbyEncryptedKey = &pbyEncryptedKeyRaw;
  outputs.pnEncryptedKeyLength = &nEncryptedKeyLen;
  outputs.ppszKeyEncryptionAlgOid = &pszKeyOidRaw;
  outputs.ppszContentEncryptionAlgOid = &pszContentOidRaw;
  outputs.ppbyContentEncryptionAlgParameter = &pbyIVRaw;
  outputs.pnContentEncryptionAlgParameterLength = &nIVLen;
  const int nResult = engine::Decode_CMSEnvelopeData(pbyEnvelope, nEnvelopeLen, outputs,
                                                     &pbyContentRaw, &nContentLen);
  std::unique_ptr<BYTE[]> pbySubjectKeyID(pbySubjectKeyIDRaw);
  std::unique_ptr<BYTE[]> pbyEncryptedKey(pbyEncryptedKeyRaw);
  std::unique_ptr<char[]> pszKeyEncryptionAlgOid(pszKeyOidRaw);
  std::unique_ptr<char[]> pszContentEncryptionAlgOid(pszContentOidRaw);
  std::unique_ptr<BYTE[]> pbyIV(pbyIVRaw);
  std::unique_ptr<BYTE[]> pbyContent(pbyContentRaw);
  HRESULT hResult = S_OK;
  hResult =
      TraceStep(trace, u"Decode_CMSEnvelopeData",
                agent::ResultFromEngine(nResult, static_cast<DWORD>(SIGIL_E_INVALID_ENVELOPE)),
                u"ORLO_OK != nResult");
  if (FAILED(hResult)) return hResult;

  trace.Step(u"Check(pszKeyEncryptionAlgOid)");
  if (!pszKeyEncryptionAlgOid ||
      std::strcmp(pszKeyEncryptionAlgOid.get(), engine::kOidSM2Encrypt) != 0)
    return trace.Failed(SIGIL_E_INVALID_ENVELOPE,
                        u"0 != strcmp(pszKeyEncryptionAlgOid, \"1.2.156.10197.1.301.3\")");
  trace.Passed();
  trace.Step(u"Check(pszContentEncryptionAlgOid)");
  if (!pszContentEncryptionAlgOid ||
      std::strcmp(pszContentEncryptionAlgOid.get(), engine::kOidSM4CBC) != 0)
    return trace.Failed(SIGIL_E_INVALID_ENVELOPE,
                        u"0 != strcmp(pszContentEncryptionAlgOid, \"1.2.156.10197.1.104\")");
  trace.Passed();

  PUNREGISTERED_CERT_CONTEXT pRecipientRaw = nullptr;
  hResult = agent::GetRecipientUnregisteredCert(
      pbySubjectKeyID.get(), static_cast<DWORD>(nSubjectKeyIDLen), &pRecipientRaw);
  UniqueUnregistered pRecipient(pRecipientRaw);
  hResult = TraceStep(trace, u"GetRecipientUnregisteredCert", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;

  // A key that does not even decode (-1) is not the end: the content step
  // below then refuses the missing key.
  agent::SessionKey pbySessionKey;
  hResult = agent::DecryptSessionKeyByUnregisteredCert(pRecipient.get(), pbyEncryptedKey.get(),
                                                       static_cast<DWORD>(nEncryptedKeyLen),
                                                       &pbySessionKey);
  trace.Step(u"DecryptSessionKeyByUnregisteredCert");
  if (FAILED(hResult) && hResult != static_cast<HRESULT>(-1))
    return trace.Failed(hResult, u"S_OK != hResult");
  trace.Passed();

  const int nSessionKeyLen =
      pbySessionKey ? static_cast<int>(pbySessionKey.get_deleter().dwSize) : 0;
  BYTE* pbyPlainRaw = nullptr;
  int nPlainLen = 0;
  const int nDecrypt =
      engine::SM4_Decrypt_CBC(pbyIV.get(), pbySessionKey.get(), pbyContent.get(), nContentLen,
                              nIVLen, nSessionKeyLen, &pbyPlainRaw, &nPlainLen);
  Secret<BYTE> pbyPlain = TakeSecret(pbyPlainRaw, nDecrypt == 0 ? std::size_t(nPlainLen) : 0);
  hResult =
      TraceStep(trace, u"SM4_Decrypt_CBC",
                agent::ResultFromEngine(nDecrypt, ERROR_DECRYPTION_FAILED), u"ORLO_OK != nResult");
  if (FAILED(hResult)) return hResult;
  *ppbyPlain = std::move(pbyPlain);
  *pnPlainLen = nPlainLen;
  return S_OK;
}

// Opens an RSA envelope with the first recipient whose key the stores hold.
HRESULT OpenRsaEnvelope(StepTrace& trace, HCERTSTORE hCertStore, const BYTE* pbyEnvelope,
                        int nEnvelopeLen, Secret<BYTE>* ppbyPlain, int* pnPlainLen) {
  const CERTSTORE_SET vtrCertStores{hCertStore};
  BYTE* pbyPlainRaw = nullptr;
  DWORD dwPlainLen = 0;
  HRESULT hResult = DecryptEnvelopeData(&dwPlainLen, vtrCertStores, pbyEnvelope,
                                        static_cast<DWORD>(nEnvelopeLen), &pbyPlainRaw);
  Secret<BYTE> pbyPlain = TakeSecret(pbyPlainRaw, SUCCEEDED(hResult) ? dwPlainLen : 0);
  hResult = TraceStep(trace, u"DecryptEnvelopeData", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;
  *ppbyPlain = std::move(pbyPlain);
  *pnPlainLen = static_cast<int>(dwPlainLen);
  return S_OK;
}

// The kinds of envelope opened here; Other is an envelope that is not the
// kind the page named, refused once the caller gets to it.
enum class EnvelopeKind { Sm2, Rsa, Other };

HRESULT EnvelopeKindOf(StepTrace& trace, LPCSTR pszUTF8Envelope, int nEnvelopeLen,
                       LPCWSTR lpwEnvelopeType, EnvelopeKind* pKind) {
  DWORD dwPKCS7Type = 0;
  const HRESULT hResult = TraceStep(
      trace, u"GetPKCS7Type",
      agent::GetPKCS7Type(pszUTF8Envelope, static_cast<DWORD>(nEnvelopeLen), &dwPKCS7Type),
      u"S_OK != hResult");
  if (FAILED(hResult)) return hResult;
  if (dwPKCS7Type == agent::SM2_ENVELOPED_DATA && IsTypeName(lpwEnvelopeType, u"SM2"))
    *pKind = EnvelopeKind::Sm2;
  else if (dwPKCS7Type == agent::RSA_ENVELOPED_DATA && IsTypeName(lpwEnvelopeType, u"RSA"))
    *pKind = EnvelopeKind::Rsa;
  else
    *pKind = EnvelopeKind::Other;
  return S_OK;
}

// The DER envelope under the Base64 text.
HRESULT DecodeEnvelope(StepTrace& trace, LPCSTR pszUTF8Envelope, int nEnvelopeLen,
                       std::unique_ptr<BYTE[]>* ppbyEnvelope, int* pnDerLen) {
  BYTE* pbyRaw = nullptr;
  const HRESULT hResult = Base64DecodeEx(nEnvelopeLen, pszUTF8Envelope, &pbyRaw, pnDerLen);
  ppbyEnvelope->reset(pbyRaw);
  return TraceStep(trace, u"Base64DecodeEx (pszUTF8Envelope)", hResult, u"S_OK != hResult");
}

HRESULT DecryptMsgCMSEnvelope(LPCSTR pszUTF8Envelope, int nEnvelopeLen, LPCWSTR lpwEnvelopeType,
                              Secret<char>* ppszPlain) {
  TraceHelper helper("CCryptoAgent::DecryptMsgCMSEnvelope");
  StepTrace trace(kTraceGuidAgent, kSource, u"CCryptoAgent::DecryptMsgCMSEnvelope");
  EnvelopeKind kind = EnvelopeKind::Other;
  HRESULT hResult = EnvelopeKindOf(trace, pszUTF8Envelope, nEnvelopeLen, lpwEnvelopeType, &kind);
  if (FAILED(hResult)) return hResult;

  std::unique_ptr<BYTE[]> pbyEnvelope;
  int nDerLen = 0;
  hResult = DecodeEnvelope(trace, pszUTF8Envelope, nEnvelopeLen, &pbyEnvelope, &nDerLen);
  if (FAILED(hResult)) return hResult;

  Secret<BYTE> pbyPlain;
  int nPlainLen = 0;
  if (kind == EnvelopeKind::Sm2) {
    hResult = OpenSm2EnvelopeWithCspKey(trace, pbyEnvelope.get(), nDerLen, &pbyPlain, &nPlainLen);
  } else if (kind == EnvelopeKind::Rsa) {
    trace.Step(u"CertOpenStore");
    SetLastError(ERROR_SUCCESS);
    const HCERTSTORE hCertStore = agent::OpenCurrentUserMyStore();
    if (!hCertStore) return trace.Failed(FailureOfLastError(), u"hCertStore == NULL");
    StoreCloser closer(hCertStore);
    trace.Passed();
    hResult = OpenRsaEnvelope(trace, hCertStore, pbyEnvelope.get(), nDerLen, &pbyPlain, &nPlainLen);
  } else {
    trace.Step(u"Check CMS envelope formate.");
    return trace.Failed(SIGIL_E_INVALID_ENVELOPE_TYPE, u"TRUE");
  }
  if (FAILED(hResult)) return hResult;
  return CopyPlaintext(trace, pbyPlain.get(), static_cast<std::size_t>(nPlainLen), ppszPlain);
}

HRESULT DecryptMsgCMSEnvelope_BySoftCert(LPCWSTR lpwPassword, LPCWSTR lpwEnvelopeType,
                                         FILE* fpSoftCertFile, LPCSTR pszUTF8Envelope,
                                         int nEnvelopeLen, Secret<char>* ppszPlain) {
  TraceHelper helper("CCryptoAgent::DecryptMsgCMSEnvelope_BySoftCert");
  StepTrace trace(kTraceGuidAgent, kSource, u"CCryptoAgent::DecryptMsgCMSEnvelope_BySoftCert");
  EnvelopeKind kind = EnvelopeKind::Other;
  HRESULT hResult = EnvelopeKindOf(trace, pszUTF8Envelope, nEnvelopeLen, lpwEnvelopeType, &kind);
  if (FAILED(hResult)) return hResult;

  Secret<BYTE> pbyPlain;
  int nPlainLen = 0;
  if (kind == EnvelopeKind::Sm2) {
    Secret<char> pszPassword;
    hResult = ToUtf8Secret(trace, u"UTF16ToUTF8 (lpwPassword)", lpwPassword, &pszPassword, nullptr);
    if (FAILED(hResult)) return hResult;

    BYTE* pbyPlainRaw = nullptr;
    const int nResult = engine::DecryptBase64CMSEnvelopeData(
        fpSoftCertFile, pszPassword.get(), pszUTF8Envelope, nEnvelopeLen, &pbyPlainRaw, &nPlainLen);
    pbyPlain = TakeSecret(pbyPlainRaw, nResult == 0 ? std::size_t(nPlainLen) : 0);
    hResult =
        TraceStep(trace, u"DecryptBase64CMSEnvelopeData",
                  agent::ResultFromEngine(nResult, ERROR_DECRYPTION_FAILED), u"ORLO_OK != nResult");
    if (FAILED(hResult)) return hResult;
  } else if (kind == EnvelopeKind::Rsa) {
    std::unique_ptr<BYTE[]> pbyEnvelope;
    int nDerLen = 0;
    hResult = DecodeEnvelope(trace, pszUTF8Envelope, nEnvelopeLen, &pbyEnvelope, &nDerLen);
    if (FAILED(hResult)) return hResult;

    int nFileSize = 0;
    const int nSizeResult = GetFileSize_Ex(fpSoftCertFile, &nFileSize);
    hResult =
        TraceStep(trace, u"GetFileSize_Ex", ResultFromLastError(static_cast<DWORD>(nSizeResult)),
                  u"ORLO_OK != nResult");
    if (FAILED(hResult)) return hResult;

    // The PKCS#12 holds the user's private key, if under a password.
    trace.Step(u"New memory");
    const auto nBufferSize = static_cast<std::size_t>(nFileSize) + 1;
    Secret<BYTE> pbyPFX = TakeSecret(new (std::nothrow) BYTE[nBufferSize](), nBufferSize);
    if (!pbyPFX) return trace.Failed(static_cast<HRESULT>(-1), u"!pbyPFXData");
    trace.Passed();

    trace.Step(u"fread");
    if (std::fread(pbyPFX.get(), 1, static_cast<std::size_t>(nFileSize), fpSoftCertFile) !=
        static_cast<std::size_t>(nFileSize))
      return trace.Failed(ResultFromLastError(ERROR_READ_FAULT), u"nReadSize != nFileSize");
    trace.Passed();

    trace.Step(u"PFXImportCertStore");
    const CRYPT_DATA_BLOB stPFX{static_cast<DWORD>(nFileSize), pbyPFX.get()};
    SetLastError(ERROR_SUCCESS);
    const HCERTSTORE hCertStore = PFXImportCertStore(&stPFX, lpwPassword, CRYPT_USER_KEYSET);
    if (!hCertStore) return trace.Failed(FailureOfLastError(), u"hCertStore == NULL");
    StoreCloser closer(hCertStore);
    trace.Passed();

    hResult = OpenRsaEnvelope(trace, hCertStore, pbyEnvelope.get(), nDerLen, &pbyPlain, &nPlainLen);
    if (FAILED(hResult)) return hResult;
  } else {
    trace.Step(u"Check CMS envelope formate.");
    return trace.Failed(SIGIL_E_INVALID_ENVELOPE_TYPE, u"TRUE");
  }
  return CopyPlaintext(trace, pbyPlain.get(), static_cast<std::size_t>(nPlainLen), ppszPlain);
}

// Hands narrow text to script as a new BSTR; the wide copy made on the way
// is wiped when it carries a plaintext.
HRESULT SetTextOutput(StepTrace& trace, LPCSTR pszText, BSTR* pbstrOutput,
                      std::source_location where = std::source_location::current()) {
  LPWSTR pwszRaw = nullptr;
  int nLen = 0;
  HRESULT hResult = UTF8ToUTF16(pszText, &pwszRaw, &nLen);
  const Secret<WCHAR> pwszText =
      TakeSecret(pwszRaw, SUCCEEDED(hResult) ? std::size_t(nLen) + 1 : 0);
  hResult = TraceStep(trace, u"UTF8ToUTF16", hResult, u"S_OK != hResult", where);
  if (FAILED(hResult)) return hResult;
  trace.Step(u"SysAllocString");
  const BSTR bstrText = SysAllocString(pwszText.get());
  if (!bstrText) return trace.Failed(E_OUTOFMEMORY, u"NULL == bstrText", where);
  trace.Passed();
  if (pbstrOutput)
    *pbstrOutput = bstrText;
  else
    SysFreeString(bstrText);
  return S_OK;
}

}  // namespace

// An SM2 recipient ignores the algorithm name, so it is checked only when the
// envelope turns out to be RSA.
HRESULT CCryptoAgent::EncryptMsgCMSEnvelopeEx(LPCWSTR bstrMessage, LPCWSTR bstrEncryptAlg,
                                              BSTR* pbstrEnvelope) {
  if (RefusedToPage(u"EncryptMsgCMSEnvelopeEx", agent::kAsksKeys, pbstrEnvelope)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::EncryptMsgCMSEnvelopeEx", pbstrEnvelope,
                    {{"bstrMessage", bstrMessage}, {"bstrEncryptAlg", bstrEncryptAlg}});
  if (!op.RequireText({"bstrMessage", bstrMessage}) ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext,
                                    u"No certificate is ready."))
    return Finish(op.Result());

  StepTrace& trace = op.Trace();
  const PCCERT_CONTEXT pRecipient =
      m_bSM2EncryptCert
          ? (m_pUnregisteredEncryptCertContext ? m_pUnregisteredEncryptCertContext->pCertContext
                                               : nullptr)
          : m_pEncryptCertContext;

  Secret<char> pszMessage;
  int nMessageLen = 0;
  HRESULT hResult =
      ToUtf8Secret(trace, u"UTF16ToUTF8 (bstrMessage)", bstrMessage, &pszMessage, &nMessageLen);
  if (FAILED(hResult)) return Finish(hResult);

  std::unique_ptr<char[]> pszEnvelope;
  hResult = EncryptMsgCMSEnvelope(bstrEncryptAlg, pszMessage.get(), nMessageLen, pRecipient,
                                  m_bSM2EncryptCert, &pszEnvelope);
  hResult = TraceStep(trace, u"EncryptMsgCMSEnvelope", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(SetTextOutput(trace, pszEnvelope.get(), pbstrEnvelope));
}

HRESULT CCryptoAgent::EncryptMsgCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                     LPCWSTR bstrCertType, LPCWSTR bstrMessage,
                                                     LPCWSTR bstrEncryptAlg, BSTR* pbstrEnvelope) {
  OperationScope op(kSource, "CCryptoAgent::EncryptMsgCMSEnvelopeEx_ByCert", pbstrEnvelope,
                    {{"bstrBase64CertContent", bstrBase64CertContent},
                     {"bstrCertType", bstrCertType},
                     {"bstrMessage", bstrMessage},
                     {"bstrEncryptAlg", bstrEncryptAlg}});
  if (!op.RequireText({"bstrBase64CertContent", bstrBase64CertContent},
                      u"Check parameter (bstrBase64CertContent).") ||
      !op.RequireText({"bstrCertType", bstrCertType}, u"Check parameter (bstrCertType).") ||
      !op.RequireText({"bstrMessage", bstrMessage}, u"Check parameter (bstrMessage)."))
    return Finish(op.Result());

  StepTrace& trace = op.Trace();
  agent::Utf8Text certificate;
  HRESULT hResult =
      ToUtf8(trace, u"UTF16ToUTF8 (bstrBase64CertContent)", bstrBase64CertContent, certificate);
  if (FAILED(hResult)) return Finish(hResult);

  Secret<char> pszMessage;
  int nMessageLen = 0;
  hResult =
      ToUtf8Secret(trace, u"UTF16ToUTF8 (bstrMessage)", bstrMessage, &pszMessage, &nMessageLen);
  if (FAILED(hResult)) return Finish(hResult);

  std::unique_ptr<char[]> pszEnvelope;
  hResult = EncryptMsgCMSEnvelope_ByCert(pszMessage.get(), bstrEncryptAlg, certificate.Get(),
                                         bstrCertType, nMessageLen, &pszEnvelope);
  hResult = TraceStep(trace, u"EncryptMsgCMSEnvelope_ByCert", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(SetTextOutput(trace, pszEnvelope.get(), pbstrEnvelope));
}

HRESULT CCryptoAgent::DecryptMsgCMSEnvelopeEx(LPCWSTR bstrEnvelope, LPCWSTR bstrEnvelopeType,
                                              BSTR* pbstrMessage) {
  if (RefusedToPage(u"DecryptMsgCMSEnvelopeEx", agent::kAsksKeys, pbstrMessage)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::DecryptMsgCMSEnvelopeEx", pbstrMessage,
                    {{"bstrEnvelope", bstrEnvelope}, {"bstrEnvelopeType", bstrEnvelopeType}});
  if (!op.RequireText({"bstrEnvelope", bstrEnvelope}) ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}))
    return Finish(op.Result());

  StepTrace& trace = op.Trace();
  agent::Utf8Text envelope;
  HRESULT hResult = ToUtf8(trace, u"UTF16ToUTF8 (bstrEnvelope)", bstrEnvelope, envelope);
  if (FAILED(hResult)) return Finish(hResult);

  Secret<char> pszPlain;
  hResult = DecryptMsgCMSEnvelope(envelope.Get(), envelope.Length(), bstrEnvelopeType, &pszPlain);
  hResult = TraceStep(trace, u"DecryptMsgCMSEnvelope", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(SetTextOutput(trace, pszPlain.get(), pbstrMessage));
}

HRESULT CCryptoAgent::DecryptMsgCMSEnvelopeEx_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                         LPCWSTR bstrSoftCertPassword,
                                                         LPCWSTR bstrEnvelope,
                                                         LPCWSTR bstrEnvelopeType,
                                                         BSTR* pbstrMessage) {
  if (RefusedToPage(u"DecryptMsgCMSEnvelopeEx_BySoftCert", agent::kAsksKeysAndFiles, pbstrMessage)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::DecryptMsgCMSEnvelopeEx_BySoftCert", pbstrMessage,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrEnvelope", bstrEnvelope},
                     {"bstrEnvelopeType", bstrEnvelopeType}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}, u"Check parameter.") ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}, u"Check parameter.") ||
      !op.RequireText({"bstrEnvelope", bstrEnvelope}, u"Check parameter.") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter.") ||
      !op.RequireSoftCertFile(bstrSoftCertFileName))
    return Finish(op.Result());
  const agent::PasswordTry attempt(Site(), bstrSoftCertFileName);
  if (!op.RequirePasswordTry(attempt)) return Finish(op.Result());

  StepTrace& trace = op.Trace();
  agent::Utf8Text envelope;
  HRESULT hResult = ToUtf8(trace, u"UTF16ToUTF8 (bstrEnvelope)", bstrEnvelope, envelope);
  if (FAILED(hResult)) return Finish(hResult);

  trace.Step(u"_wfopen_s");
  FILE* fpRaw = nullptr;
  _wfopen_s(&fpRaw, bstrSoftCertFileName, u"rb");
  const agent::UniqueFile fpSoftCertFile(fpRaw);
  if (!fpSoftCertFile) return Finish(trace.Failed(SIGIL_E_OPEN_FAILED, u"NULL == fpSoftCertFile"));
  trace.Passed();

  Secret<char> pszPlain;
  hResult = attempt.Judge(
      DecryptMsgCMSEnvelope_BySoftCert(bstrSoftCertPassword, bstrEnvelopeType, fpSoftCertFile.get(),
                                       envelope.Get(), envelope.Length(), &pszPlain));
  hResult = TraceStep(trace, u"DecryptMsgCMSEnvelope_BySoftCert", hResult, u"S_OK != hResult");
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(SetTextOutput(trace, pszPlain.get(), pbstrMessage));
}
