// Reaching the key of an envelope's recipient: the content algorithms of RSA
// envelopes by name, the user's own store, and the SM2 key held in a CSP key
// container together with the session key that container decrypts.
#include <cstring>
#include <memory>
#include <new>

#include "agent/AgentHolders.h"
#include "agent/AgentRoutines.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "platform/store/CertStore.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "trace/Trace.h"
#include "winsvc/UnregisteredCertificates.h"

namespace agent {
namespace {

constexpr LPCWSTR kSource = u"MessageEncryption";
constexpr char kOidRc4[] = "1.2.840.113549.3.4";
constexpr char kOidDesEde3Cbc[] = "1.2.840.113549.3.7";
constexpr char kSm2SignatureAlgPrefix[] = "1.2.156.10197";

// The failed call's last error as a result; a call that failed without
// leaving one must still read as a failure.
HRESULT FailureOfLastError() {
  const HRESULT hResult = ResultFromLastError(GetLastError());
  return hResult == S_OK ? E_FAIL : hResult;
}

// A buffer that is wiped, whatever its contents, before it is freed.
SessionKey NewWipedBuffer(DWORD dwSize) {
  return SessionKey(new (std::nothrow) BYTE[dwSize == 0 ? 1 : dwSize](), SessionKeyDelete{dwSize});
}

}  // namespace

void SessionKeyDelete::operator()(BYTE* pbyKey) const { WipeDelete<BYTE>{dwSize}(pbyKey); }

LPCSTR GetEncryptionAlgorithmOid(LPCWSTR lpwEncryptAlg) {
  if (!lpwEncryptAlg) return nullptr;
  if (IsTypeName(lpwEncryptAlg, u"RC4")) return kOidRc4;
  if (IsTypeName(lpwEncryptAlg, u"3DES")) return kOidDesEde3Cbc;
  return nullptr;
}

HRESULT GetRecipientUnregisteredCert(const BYTE* pbyRecipientKeyID, DWORD dwRecipientKeyIDSize,
                                     PUNREGISTERED_CERT_CONTEXT* ppRecipientCert) {
  TraceHelper helper("GetRecipientUnregisteredCert");
  StepTrace trace(kTraceGuidAgent, kSource, u"GetRecipientUnregisteredCert");

  trace.Step(u"Check parameter");
  if (!pbyRecipientKeyID || dwRecipientKeyIDSize == 0 || !ppRecipientCert)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyRecipientKeyID || NULL == ppRecipientCert");
  trace.Passed();

  CERTIFICATE_FILTER stFilter{};
  stFilter.pbySubjectKeyID = pbyRecipientKeyID;
  stFilter.cbSubjectKeyID = dwRecipientKeyIDSize;
  stFilter.bCheckPrivateKey = TRUE;
  stFilter.pszSignatureAlgOid = kSm2SignatureAlgPrefix;

  UNREGISTERED_CERT_SET vtrSM2UnregisteredCertSet;
  UnregisteredSetReleaser releaser(vtrSM2UnregisteredCertSet);
  trace.Step(u"FilterUnregisteredCertificatesfromCSP");
  HRESULT hResult = FilterUnregisteredCertificatesfromCSP(&stFilter, vtrSM2UnregisteredCertSet);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();

  // Two containers holding the same key identifier leave the choice
  // ambiguous; decrypting with either one would be a guess.
  trace.Step(u"Filtrate Decrypt Certificate by recipient SubjectKeyID");
  if (vtrSM2UnregisteredCertSet.size() != 1)
    return trace.Failed(SIGIL_E_NO_AVAILABLE_CERT, u"1 != vtrSM2UnregisteredCertSet.size()");
  trace.Passed();

  trace.Step(u"CertDuplicateUnregisteredCertContext");
  hResult =
      CertDuplicateUnregisteredCertContext(vtrSM2UnregisteredCertSet.front(), ppRecipientCert);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  trace.Passed();
  return S_OK;
}

HRESULT DecryptSessionKeyByUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pUnregisteredCertContext,
                                            const BYTE* pbyEncryptedKey, DWORD dwEncryptedKeySize,
                                            SessionKey* pSessionKey) {
  TraceHelper helper("DecryptSessionKeyByUnregisteredCert");
  StepTrace trace(kTraceGuidAgent, kSource, u"DecryptSessionKeyByUnregisteredCert");

  trace.Step(u"Check parameter");
  if (!pUnregisteredCertContext || !pbyEncryptedKey || dwEncryptedKeySize == 0 || !pSessionKey)
    return trace.Failed(E_INVALIDARG,
                        u"NULL == pUnregisteredCertContext || NULL == pbyEncryptedKey");
  pSessionKey->reset();
  trace.Passed();

  trace.Step(u"CryptAcquireContext");
  UniqueCryptProv provider;
  SetLastError(ERROR_SUCCESS);
  if (!CryptAcquireContextW(provider.Out(), pUnregisteredCertContext->wszContainerName,
                            pUnregisteredCertContext->wszCSPName, PROV_RSA_FULL, 0))
    return trace.Failed(FailureOfLastError(), u"FALSE==bResult");
  trace.Passed();

  trace.Step(u"CryptGetUserKey");
  UniqueCryptKey key;
  SetLastError(ERROR_SUCCESS);
  if (!CryptGetUserKey(provider.Get(), pUnregisteredCertContext->dwKeySpec, key.Out()))
    return trace.Failed(FailureOfLastError(), u"FALSE == bResult");
  trace.Passed();

  trace.Step(u"Decode_SM2Cipher");
  BYTE* pbyRaw = nullptr;
  int nRawLength = 0;
  const int nResult = engine::Decode_SM2Cipher(
      pbyEncryptedKey, static_cast<int>(dwEncryptedKeySize), &pbyRaw, &nRawLength);
  std::unique_ptr<BYTE[]> pbyC1C2C3(pbyRaw);
  if (nResult != 0) {
    // The generic -1 goes back as it is: the caller decides what a key that
    // cannot be read means for its envelope.
    const HRESULT hResult =
        nResult == -1 ? static_cast<HRESULT>(-1) : ResultFromLastError(static_cast<DWORD>(nResult));
    return trace.Failed(hResult, u"S_OK != hResult");
  }
  if (nRawLength < engine::SM2_CIPHER_OVERHEAD)
    return trace.Failed(SIGIL_E_ASN1_DECODE, u"S_OK != hResult");
  trace.Passed();

  // The CSP takes x1 || y1 || C3 || C2; the decoder gives x1 || y1 || C2 || C3.
  // The buffer turns into the session key in place, so it is wiped on every
  // way out from here on.
  trace.Step(u"New memory");
  const auto dwCipherSize = static_cast<DWORD>(nRawLength);
  const DWORD dwC2Size = dwCipherSize - engine::SM2_CIPHER_OVERHEAD;
  constexpr DWORD dwPointSize = 2 * engine::SM2_COORDINATE_SIZE;
  SessionKey pbyWork = NewWipedBuffer(dwCipherSize);
  if (!pbyWork) return trace.Failed(E_OUTOFMEMORY, u"!pbySessionKey");
  trace.Passed();
  std::memcpy(pbyWork.get(), pbyC1C2C3.get(), dwPointSize);
  std::memcpy(pbyWork.get() + dwPointSize, pbyC1C2C3.get() + dwPointSize + dwC2Size,
              engine::SM3_HASH_SIZE);
  std::memcpy(pbyWork.get() + dwPointSize + engine::SM3_HASH_SIZE, pbyC1C2C3.get() + dwPointSize,
              dwC2Size);

  trace.Step(u"CryptDecrypt");
  DWORD dwSessionKeySize = dwCipherSize;
  SetLastError(ERROR_SUCCESS);
  if (!CryptDecrypt(key.Get(), 0, TRUE, 0, pbyWork.get(), &dwSessionKeySize))
    return trace.Failed(FailureOfLastError(), u"FALSE == bResult");
  if (dwSessionKeySize > dwCipherSize) return trace.Failed(E_FAIL, u"FALSE == bResult");
  trace.Passed();

  // Hand out exactly the key, so its size travels with it.
  trace.Step(u"New memory");
  SessionKey pbySessionKey = NewWipedBuffer(dwSessionKeySize);
  if (!pbySessionKey) return trace.Failed(E_OUTOFMEMORY, u"!pbySessionKey");
  trace.Passed();
  if (dwSessionKeySize > 0) std::memcpy(pbySessionKey.get(), pbyWork.get(), dwSessionKeySize);
  *pSessionKey = std::move(pbySessionKey);
  return S_OK;
}

HCERTSTORE OpenCurrentUserMyStore() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
}

}  // namespace agent
