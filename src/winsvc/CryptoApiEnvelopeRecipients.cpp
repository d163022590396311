// Recipients of envelopes: the descriptions that name them when a file is
// enveloped, and the certificate and private key that open one.
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

constexpr LPCWSTR kSourceUnit = u"CryptoApiEnvelopeRecipients";
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr HRESULT kMissingArgument = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);

bool HasCertInfo(PCCERT_CONTEXT pCertContext) {
  return pCertContext != nullptr && pCertContext->pCertInfo != nullptr;
}

}  // namespace

HRESULT GetCMSRecipientsInfo(PCMSG_RECIPIENT_ENCODE_INFO* ppRecipientInfo,
                             PCCERT_CONTEXT pCertContext) {
  TraceHelper helper("GetCMSRecipientsInfo");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCMSRecipientsInfo");
  trace.Step(u"Verify if the paramters are available");
  if (ppRecipientInfo == nullptr || !HasCertInfo(pCertContext))
    return trace.Failed(E_INVALIDARG, u"NULL == ppRecipientInfo || NULL == pCertContext");

  trace.Step(u"GetCertSubjectKeyID");
  BYTE* pbyRawKeyId = nullptr;
  DWORD cbKeyId = 0;
  HRESULT hResult = GetCertSubjectKeyID(pCertContext, &pbyRawKeyId, &cbKeyId);
  std::unique_ptr<BYTE[]> pbyKeyId(pbyRawKeyId);
  if (hResult == SIGIL_E_NO_SUBJECT_KEY_ID)
    return trace.Failed(hResult,
                        u"Specified certificate doesn't contain subject key ID attribute.");
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");

  trace.Step(u"New Memory -CMSG_RECIPIENT_ENCODE_INFO");
  std::unique_ptr<CMSG_RECIPIENT_ENCODE_INFO> pRecipient(new (std::nothrow)
                                                             CMSG_RECIPIENT_ENCODE_INFO{});
  if (!pRecipient) return trace.Failed(E_OUTOFMEMORY, u"NULL == pRecipientInfo");

  trace.Step(u"New Memory -CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO");
  std::unique_ptr<CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO> pKeyTrans(
      new (std::nothrow) CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO{});
  if (!pKeyTrans) return trace.Failed(E_OUTOFMEMORY, u"NULL == pKeyTrans");

  const CRYPT_BIT_BLOB& publicKey = pCertContext->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  trace.Step(u"New Memory -RecipientPublicKey");
  std::unique_ptr<BYTE[]> pbyPublicKey(new (std::nothrow) BYTE[publicKey.cbData + 1]());
  if (!pbyPublicKey) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyPublicKey");
  if (publicKey.cbData != 0) std::memcpy(pbyPublicKey.get(), publicKey.pbData, publicKey.cbData);

  // GetCertSubjectKeyID already handed out a copy of its own; it becomes
  // the description's.
  trace.Step(u"New Memory -Key Id data");
  if (!pbyKeyId) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyKeyId");

  pKeyTrans->cbSize = sizeof(CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO);
  pKeyTrans->KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
  pKeyTrans->KeyEncryptionAlgorithm.Parameters = {0, nullptr};
  pKeyTrans->pvKeyEncryptionAuxInfo = nullptr;
  pKeyTrans->hCryptProv = 0;
  pKeyTrans->RecipientPublicKey.cbData = publicKey.cbData;
  pKeyTrans->RecipientPublicKey.pbData = pbyPublicKey.release();
  pKeyTrans->RecipientPublicKey.cUnusedBits = 0;
  pKeyTrans->RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
  pKeyTrans->RecipientId.KeyId.cbData = cbKeyId;
  pKeyTrans->RecipientId.KeyId.pbData = pbyKeyId.release();

  pRecipient->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
  pRecipient->pKeyTrans = pKeyTrans.release();
  *ppRecipientInfo = pRecipient.release();
  trace.Passed();
  return S_OK;
}

void RelaseCMSRecipientInfo(PCMSG_RECIPIENT_ENCODE_INFO pRecipientInfo) {
  TraceHelper helper("RelaseCMSRecipientInfo");
  if (pRecipientInfo == nullptr) return;
  PCMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO pKeyTrans =
      pRecipientInfo->dwRecipientChoice == CMSG_KEY_TRANS_RECIPIENT ? pRecipientInfo->pKeyTrans
                                                                    : nullptr;
  if (pKeyTrans != nullptr) {
    if (pKeyTrans->RecipientId.dwIdChoice == CERT_ID_KEY_IDENTIFIER)
      delete[] pKeyTrans->RecipientId.KeyId.pbData;
    delete[] pKeyTrans->RecipientPublicKey.pbData;
    delete pKeyTrans;
  }
  delete pRecipientInfo;
}

HRESULT GetCertofRecipient(const CERTSTORE_SET& vtrCertStores,
                           const CMSG_CMS_RECIPIENT_INFO* pRecipientInfo,
                           PCCERT_CONTEXT* ppCertContext, HCRYPTPROV* phCryptProv,
                           DWORD* pdwKeySpec) {
  TraceHelper helper("GetCertofRecipient");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetCertofRecipient");
  trace.Step(u"Verify if the paramters are available");
  if (vtrCertStores.empty()) trace.Failed(kMissingArgument, u"empty stores");
  if (pRecipientInfo == nullptr || ppCertContext == nullptr || phCryptProv == nullptr ||
      pdwKeySpec == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pRecipientInfo || NULL == outputs");

  // Only key transport names a certificate; other kinds are not ours.
  trace.Step(u"Get recipient identifier");
  if (pRecipientInfo->dwRecipientChoice != CMSG_KEY_TRANS_RECIPIENT ||
      pRecipientInfo->pKeyTrans == nullptr)
    return trace.Failed(E_FAIL, u"not a key transport recipient");
  const CERT_ID& source = pRecipientInfo->pKeyTrans->RecipientId;
  CERT_ID certId{};
  certId.dwIdChoice = source.dwIdChoice;
  if (source.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
    certId.IssuerSerialNumber.Issuer = source.IssuerSerialNumber.Issuer;
    certId.IssuerSerialNumber.SerialNumber = source.IssuerSerialNumber.SerialNumber;
  } else if (source.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    certId.KeyId = source.KeyId;
  } else {
    return trace.Failed(E_FAIL, u"unknown recipient identifier");
  }

  HRESULT hResult = E_FAIL;
  for (HCERTSTORE hCertStore : vtrCertStores) {
    trace.Step(u"CertFindCertificateInStore");
    PCCERT_CONTEXT pCertContext = CertFindCertificateInStore(hCertStore, kMsgEncoding, 0,
                                                             CERT_FIND_CERT_ID, &certId, nullptr);
    if (pCertContext == nullptr) continue;

    trace.Step(u"CryptAcquireCertificatePrivateKey");
    HCRYPTPROV hCryptProv = 0;
    DWORD dwKeySpec = 0;
    BOOL bCallerFree = FALSE;
    SetLastError(ERROR_SUCCESS);
    if (!CryptAcquireCertificatePrivateKey(pCertContext, 0, nullptr, &hCryptProv, &dwKeySpec,
                                           &bCallerFree)) {
      hResult = trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireCertificatePrivateKey");
      CertFreeCertificateContext(pCertContext);
      continue;
    }
    trace.Passed();
    *ppCertContext = pCertContext;
    *phCryptProv = hCryptProv;
    *pdwKeySpec = dwKeySpec;
    return S_OK;
  }
  return trace.Failed(hResult, u"no certificate with a usable private key");
}
