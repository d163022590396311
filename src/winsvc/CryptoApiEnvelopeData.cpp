// Envelopes of whole messages in memory.
#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiEnvelopeData";
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr HRESULT kMissingArgument = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);

struct EncryptParaDeleter {
  void operator()(PCRYPT_ENCRYPT_MESSAGE_PARA p) const { delete p; }
};

}  // namespace

HRESULT GetEncryptionParameters(LPCSTR lpszEncryptAlgOID,
                                PCRYPT_ENCRYPT_MESSAGE_PARA* ppEncryptPara) {
  TraceHelper helper("GetEncryptionParameters");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetEncryptionParameters");
  TraceValue(kTraceGuidWinsvc, "lpszEncryptAlgOID", lpszEncryptAlgOID);
  trace.Step(u"Verify if the paramters are available");
  if (ppEncryptPara == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == ppEncryptPara");

  trace.Step(u"New Memory -CRYPT_ENCRYPT_MESSAGE_PARA");
  auto* pPara = new (std::nothrow) CRYPT_ENCRYPT_MESSAGE_PARA{};
  if (pPara == nullptr) return trace.Failed(E_OUTOFMEMORY, u"NULL == pEncryptPara");
  pPara->cbSize = sizeof(CRYPT_ENCRYPT_MESSAGE_PARA);
  pPara->dwMsgEncodingType = kMsgEncoding;
  pPara->hCryptProv = 0;
  pPara->pvEncryptionAuxInfo = nullptr;
  pPara->dwFlags = CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG;
  pPara->dwInnerContentType = 0;

  // An identifier outside the two ciphers is left unset on purpose: the
  // platform then refuses and its code is what the caller sees.
  trace.Step(u"Get content encryption algorithm");
  if (lpszEncryptAlgOID != nullptr && std::strcmp(lpszEncryptAlgOID, szOID_RSA_RC4) == 0)
    pPara->ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RC4);
  else if (lpszEncryptAlgOID != nullptr &&
           std::strcmp(lpszEncryptAlgOID, szOID_RSA_DES_EDE3_CBC) == 0)
    pPara->ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC);
  else
    trace.Failed(NTE_BAD_ALGID, u"unknown content encryption algorithm");

  *ppEncryptPara = pPara;
  return S_OK;
}

HRESULT EncryptDatatoEnvelope(const CERTIFICATE_SET& vtrRecipientCerts, const BYTE* pbyData,
                              DWORD dwDataLength, BYTE** ppbyEnvelope, DWORD* pdwEnvelopeLength,
                              LPCSTR lpszEncryptAlgOID) {
  TraceHelper helper("EncryptDatatoEnvelope");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"EncryptDatatoEnvelope");
  TraceValue(kTraceGuidWinsvc, "dwRecipients",
             static_cast<std::uint32_t>(vtrRecipientCerts.size()));
  TraceValue(kTraceGuidWinsvc, "dwDataLength", dwDataLength);
  trace.Step(u"Verify if the paramters are available");
  if (vtrRecipientCerts.empty() || pbyData == nullptr || lpszEncryptAlgOID == nullptr)
    trace.Failed(kMissingArgument, u"empty recipients || NULL == pbyData || NULL == OID");
  // The outputs are written here, not by the platform, so they must be there.
  if (ppbyEnvelope == nullptr || pdwEnvelopeLength == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbyEnvelope || NULL == pdwEnvelopeLength");

  for (PCCERT_CONTEXT pCertContext : vtrRecipientCerts) {
    trace.Step(u"Verify if the certificate has subject key identifier");
    if (FAILED(GetCertSubjectKeyID(pCertContext, nullptr, nullptr)))
      return trace.Failed(SIGIL_E_NO_SUBJECT_KEY_ID,
                          u"Specified certificate doesn't contain subject key ID attribute.");
  }

  trace.Step(u"GetEncryptionParameters");
  PCRYPT_ENCRYPT_MESSAGE_PARA pRawPara = nullptr;
  HRESULT hResult = GetEncryptionParameters(lpszEncryptAlgOID, &pRawPara);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  std::unique_ptr<CRYPT_ENCRYPT_MESSAGE_PARA, EncryptParaDeleter> pPara(pRawPara);

  // The platform takes a non-const array; the set itself is not changed.
  auto* rgpCerts = const_cast<PCCERT_CONTEXT*>(vtrRecipientCerts.data());
  const auto cCerts = static_cast<DWORD>(vtrRecipientCerts.size());

  trace.Step(u"CryptEncryptMessage -length");
  DWORD cbEnvelope = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptEncryptMessage(pPara.get(), cCerts, rgpCerts, pbyData, dwDataLength, nullptr,
                           &cbEnvelope))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptEncryptMessage");

  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyEnvelope(new (std::nothrow) BYTE[std::size_t{cbEnvelope} + 1]());
  if (!pbyEnvelope) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyEnvelope");

  trace.Step(u"CryptEncryptMessage");
  SetLastError(ERROR_SUCCESS);
  if (!CryptEncryptMessage(pPara.get(), cCerts, rgpCerts, pbyData, dwDataLength, pbyEnvelope.get(),
                           &cbEnvelope))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptEncryptMessage");
  trace.Passed();

  *ppbyEnvelope = pbyEnvelope.release();
  *pdwEnvelopeLength = cbEnvelope;
  return S_OK;
}

HRESULT DecryptEnvelopeData(DWORD* pdwContentLength, const CERTSTORE_SET& vtrCertStores,
                            const BYTE* pbyEnvelope, DWORD dwEnvelopeLength, BYTE** ppbyContent) {
  TraceHelper helper("DecryptEnvelopeData");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"DecryptEnvelopeData");
  TraceValue(kTraceGuidWinsvc, "dwEnvelopeLength", dwEnvelopeLength);
  trace.Step(u"Verify if the paramters are available");
  if (vtrCertStores.empty() || pbyEnvelope == nullptr)
    trace.Failed(kMissingArgument, u"empty stores || NULL == pbyEnvelope");
  if (pdwContentLength == nullptr || ppbyContent == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pdwContentLength || NULL == ppbyContent");

  CRYPT_DECRYPT_MESSAGE_PARA para{};
  para.cbSize = sizeof(CRYPT_DECRYPT_MESSAGE_PARA);
  para.dwMsgAndCertEncodingType = kMsgEncoding;
  para.cCertStore = static_cast<DWORD>(vtrCertStores.size());
  para.rghCertStore = const_cast<HCERTSTORE*>(vtrCertStores.data());

  trace.Step(u"CryptDecryptMessage -length");
  DWORD cbContent = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptDecryptMessage(&para, pbyEnvelope, dwEnvelopeLength, nullptr, &cbContent, nullptr))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptDecryptMessage");

  trace.Step(u"New Memory");
  const std::size_t cbBuffer = std::size_t{cbContent} + 1;
  std::unique_ptr<BYTE[]> pbyContent(new (std::nothrow) BYTE[cbBuffer]());
  if (!pbyContent) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyContent");

  trace.Step(u"CryptDecryptMessage");
  SetLastError(ERROR_SUCCESS);
  if (!CryptDecryptMessage(&para, pbyEnvelope, dwEnvelopeLength, pbyContent.get(), &cbContent,
                           nullptr)) {
    const HRESULT hResult = FailureFromLastError();
    OPENSSL_cleanse(pbyContent.get(), cbBuffer);
    return trace.Failed(hResult, u"FALSE == CryptDecryptMessage");
  }
  trace.Passed();

  *ppbyContent = pbyContent.release();
  *pdwContentLength = cbContent;
  return S_OK;
}
