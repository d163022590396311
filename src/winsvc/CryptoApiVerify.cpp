// Verification of PKCS #7 SignedData (every signer) and of raw PKCS #1
// signatures against messages and files.
#include <cstdint>
#include <memory>
#include <new>

#include "platform/store/CertStore.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "platform/csp/CspHandles.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/SigningPieces.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiVerify";

// The second choice where the first AES provider is missing; on the
// platforms without it the walk falls through to CryptoAPI's default.
constexpr char16_t kAesPrototypeProvider[] =
    u"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

// The provider handed to the message functions: the AES provider, its
// prototype, or none (0, CryptoAPI's default). Failures are only traced.
void AcquireMessageProvider(StepTrace& trace, UniqueCryptProv& provider) {
  for (LPCWSTR lpwName :
       {static_cast<LPCWSTR>(MS_ENH_RSA_AES_PROV_W), static_cast<LPCWSTR>(kAesPrototypeProvider)}) {
    trace.Step(u"CryptAcquireContext");
    HCRYPTPROV hProv = 0;
    SetLastError(ERROR_SUCCESS);
    if (CryptAcquireContextW(&hProv, nullptr, lpwName, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
      *provider.Out() = hProv;
      trace.Passed();
      return;
    }
    trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireContext");
  }
}

CRYPT_VERIFY_MESSAGE_PARA MessagePara(HCRYPTPROV hProv) {
  CRYPT_VERIFY_MESSAGE_PARA para{};
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = signing::kMsgAndCertEncoding;
  para.hCryptProv = hProv;
  // No callback: the signer's certificate comes from the message itself.
  para.pfnGetSignerCertificate = nullptr;
  para.pvGetArg = nullptr;
  return para;
}

bool IsPastLastSigner(HRESULT hResult) { return hResult == CRYPT_E_NO_SIGNER; }

// A message parameter in a new buffer of at least dwMinimum bytes (the
// structure it must hold), so that reading it never goes past its end.
HRESULT GetMessageParam(StepTrace& trace, HCRYPTMSG hMsg, DWORD dwParamType, DWORD dwIndex,
                        DWORD dwMinimum, signing::Der& out) {
  trace.Step(u"CryptMsgGetParam");
  DWORD cbData = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptMsgGetParam(hMsg, dwParamType, dwIndex, nullptr, &cbData))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");
  if (cbData < dwMinimum) return trace.Failed(CRYPT_E_BAD_MSG, u"cbData too small");
  std::unique_ptr<BYTE[]> pbyData(new (std::nothrow) BYTE[cbData]());
  if (!pbyData) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyData");
  SetLastError(ERROR_SUCCESS);
  if (!CryptMsgGetParam(hMsg, dwParamType, dwIndex, pbyData.get(), &cbData))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");
  if (cbData < dwMinimum) return trace.Failed(CRYPT_E_BAD_MSG, u"cbData too small");
  trace.Passed();
  out.data = std::move(pbyData);
  out.size = cbData;
  return S_OK;
}

// One signer of a detached message against the file.
HRESULT VerifyFileSigner(StepTrace& trace, HCRYPTMSG hMsg, HCERTSTORE hStore, DWORD dwIndex,
                         LPCWSTR lpwFilePath) {
  signing::Der certInfo;
  HRESULT hResult = GetMessageParam(trace, hMsg, CMSG_SIGNER_CERT_INFO_PARAM, dwIndex,
                                    sizeof(CERT_INFO), certInfo);
  if (FAILED(hResult)) return hResult;
  signing::Der signerInfo;
  hResult = GetMessageParam(trace, hMsg, CMSG_SIGNER_INFO_PARAM, dwIndex, sizeof(CMSG_SIGNER_INFO),
                            signerInfo);
  if (FAILED(hResult)) return hResult;
  auto* pCertInfo = reinterpret_cast<PCERT_INFO>(certInfo.data.get());
  auto* pSignerInfo = reinterpret_cast<PCMSG_SIGNER_INFO>(signerInfo.data.get());

  trace.Step(u"CertGetSubjectCertificateFromStore");
  SetLastError(ERROR_SUCCESS);
  signing::UniqueCertContext signerCert(
      CertGetSubjectCertificateFromStore(hStore, signing::kMsgAndCertEncoding, pCertInfo));
  if (!signerCert)
    return trace.Failed(FailureFromLastError(CRYPT_E_NOT_FOUND),
                        u"NULL == CertGetSubjectCertificateFromStore");
  trace.Passed();

  trace.Step(u"GetHashALGID");
  ALG_ID algId = 0;
  hResult = GetHashALGID(pSignerInfo->HashAlgorithm.pszObjId, &algId);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetHashALGID)");

  trace.Step(u"VerifyHashSignedData");
  hResult =
      VerifyHashSignedData(algId, signerCert.get(), nullptr, 0, pSignerInfo->EncryptedHash.pbData,
                           pSignerInfo->EncryptedHash.cbData, lpwFilePath, TRUE);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(VerifyHashSignedData)");
  trace.Passed();
  return S_OK;
}

// Wide Base64 text to bytes.
HRESULT DecodeBase64Text(StepTrace& trace, LPCWSTR lpwBase64, signing::Der& out) {
  trace.Step(u"UTF16ToUTF8");
  LPSTR pszBase64 = nullptr;
  int nBase64Len = 0;
  HRESULT hResult = UTF16ToUTF8(lpwBase64, &pszBase64, &nBase64Len);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(UTF16ToUTF8)");
  std::unique_ptr<char[]> owned(pszBase64);

  trace.Step(u"Base64DecodeEx");
  BYTE* pbyDecoded = nullptr;
  int nDecodedLen = 0;
  hResult = Base64DecodeEx(nBase64Len, pszBase64, &pbyDecoded, &nDecodedLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(Base64DecodeEx)");
  out.Adopt(pbyDecoded, static_cast<DWORD>(nDecodedLen));
  trace.Passed();
  return S_OK;
}

}  // namespace

HRESULT VerifySignature(const BYTE* pbyPKCS7, DWORD dwPKCS7Length, BOOL bAttached,
                        BYTE** ppbyContent, DWORD* pdwContentLength, PCCERT_CONTEXT* ppSignerCert) {
  TraceHelper helper("VerifySignature");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"VerifySignature");
  TraceValue(kTraceGuidWinsvc, "bAttached", static_cast<std::uint32_t>(bAttached));
  trace.Step(u"Check parameter");
  if (pbyPKCS7 == nullptr || dwPKCS7Length == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyPKCS7");
  if (ppbyContent == nullptr || pdwContentLength == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbyContent || NULL == pdwContentLength");
  if (!bAttached && *ppbyContent == nullptr && *pdwContentLength > 0)
    return trace.Failed(E_INVALIDARG, u"NULL == *ppbyContent");

  UniqueCryptProv provider;
  AcquireMessageProvider(trace, provider);
  CRYPT_VERIFY_MESSAGE_PARA para = MessagePara(provider.Get());

  // Signer 0 gives the content and the certificate handed out; every
  // further signer must verify as well, until the index runs past the last.
  signing::UniqueCertContext signerCert;
  std::unique_ptr<BYTE[]> pbyContent;
  DWORD cbContent = 0;
  if (bAttached) {
    trace.Step(u"CryptVerifyMessageSignature");
    SetLastError(ERROR_SUCCESS);
    if (!CryptVerifyMessageSignature(&para, 0, pbyPKCS7, dwPKCS7Length, nullptr, &cbContent,
                                     nullptr))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptVerifyMessageSignature");
    if (cbContent == UINT32_MAX) return trace.Failed(E_OUTOFMEMORY, u"cbContent too large");

    trace.Step(u"New Memory -Source Data");
    pbyContent.reset(new (std::nothrow) BYTE[std::size_t{cbContent} + 1]());
    if (!pbyContent) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyContent");

    trace.Step(u"CryptVerifyMessageSignature");
    PCCERT_CONTEXT pSigner = nullptr;
    SetLastError(ERROR_SUCCESS);
    const BOOL bVerified = CryptVerifyMessageSignature(&para, 0, pbyPKCS7, dwPKCS7Length,
                                                       pbyContent.get(), &cbContent, &pSigner);
    const HRESULT hVerify = bVerified ? S_OK : FailureFromLastError();
    signerCert.reset(pSigner);
    if (FAILED(hVerify)) return trace.Failed(hVerify, u"FALSE == CryptVerifyMessageSignature");
    trace.Passed();

    for (DWORD dwIndex = 1;; ++dwIndex) {
      trace.Step(u"CryptVerifyMessageSignature");
      DWORD cbAgain = cbContent + 1;  // the same content into the same buffer
      SetLastError(ERROR_SUCCESS);
      if (CryptVerifyMessageSignature(&para, dwIndex, pbyPKCS7, dwPKCS7Length, pbyContent.get(),
                                      &cbAgain, nullptr)) {
        trace.Passed();
        continue;
      }
      const HRESULT hResult = FailureFromLastError();
      if (IsPastLastSigner(hResult)) break;
      TraceValue(kTraceGuidWinsvc, "dwSignerIndex", dwIndex);
      return trace.Failed(hResult, u"FALSE == CryptVerifyMessageSignature");
    }
    pbyContent[cbContent] = 0;
  } else {
    const BYTE* rgpbToBeSigned[1] = {*ppbyContent};
    DWORD rgcbToBeSigned[1] = {*pdwContentLength};
    for (DWORD dwIndex = 0;; ++dwIndex) {
      trace.Step(u"CryptVerifyDetachedMessageSignature");
      PCCERT_CONTEXT pSigner = nullptr;
      SetLastError(ERROR_SUCCESS);
      const BOOL bVerified = CryptVerifyDetachedMessageSignature(
          &para, dwIndex, pbyPKCS7, dwPKCS7Length, 1, rgpbToBeSigned, rgcbToBeSigned,
          dwIndex == 0 ? &pSigner : nullptr);
      const HRESULT hResult = bVerified ? S_OK : FailureFromLastError();
      if (dwIndex == 0) signerCert.reset(pSigner);
      if (SUCCEEDED(hResult)) {
        trace.Passed();
        continue;
      }
      if (dwIndex > 0 && IsPastLastSigner(hResult)) break;
      TraceValue(kTraceGuidWinsvc, "dwSignerIndex", dwIndex);
      return trace.Failed(hResult, u"FALSE == CryptVerifyDetachedMessageSignature");
    }
  }

  if (bAttached) {
    *ppbyContent = pbyContent.release();
    *pdwContentLength = cbContent;
  }
  if (ppSignerCert != nullptr) *ppSignerCert = signerCert.release();
  return S_OK;
}

HRESULT VerifySignatureBase64(LPCWSTR lpwBase64PKCS7, BOOL bAttached, BYTE** ppbyContent,
                              DWORD* pdwContentLength, PCCERT_CONTEXT* ppSignerCert) {
  TraceHelper helper("VerifySignatureBase64");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"VerifySignatureBase64");
  signing::Der pkcs7;
  HRESULT hResult = DecodeBase64Text(trace, lpwBase64PKCS7, pkcs7);
  if (FAILED(hResult)) return hResult;
  trace.Step(u"VerifySignature");
  hResult = VerifySignature(pkcs7.data.get(), pkcs7.size, bAttached, ppbyContent, pdwContentLength,
                            ppSignerCert);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(VerifySignature)");
  trace.Passed();
  return S_OK;
}

HRESULT VerifyFileSignature(const BYTE* pbyPKCS7, DWORD dwPKCS7Length, LPCWSTR lpwFilePath) {
  TraceHelper helper("VerifyFileSignature");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"VerifyFileSignature");
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  trace.Step(u"Check parameter");
  if (pbyPKCS7 == nullptr || dwPKCS7Length == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyPKCS7");
  if (lpwFilePath == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");

  UniqueCryptProv provider;
  AcquireMessageProvider(trace, provider);

  trace.Step(u"CryptMsgOpenToDecode");
  SetLastError(ERROR_SUCCESS);
  signing::UniqueCryptMsg msg(CryptMsgOpenToDecode(signing::kMsgAndCertEncoding, CMSG_DETACHED_FLAG,
                                                   0, provider.Get(), nullptr, nullptr));
  if (!msg) return trace.Failed(FailureFromLastError(), u"NULL == CryptMsgOpenToDecode");
  trace.Passed();

  trace.Step(u"CryptMsgUpdate");
  SetLastError(ERROR_SUCCESS);
  if (!CryptMsgUpdate(msg.get(), pbyPKCS7, dwPKCS7Length, TRUE))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgUpdate");
  trace.Passed();

  trace.Step(u"CertOpenStore");
  SetLastError(ERROR_SUCCESS);
  signing::UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_MSG, signing::kMsgAndCertEncoding,
                                               provider.Get(), 0, msg.get()));
  if (!store) return trace.Failed(FailureFromLastError(), u"NULL == CertOpenStore");
  trace.Passed();

  trace.Step(u"CryptMsgGetParam");
  DWORD dwSignerCount = 0;
  DWORD cbSignerCount = sizeof dwSignerCount;
  SetLastError(ERROR_SUCCESS);
  if (!CryptMsgGetParam(msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &dwSignerCount, &cbSignerCount))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");
  TraceValue(kTraceGuidWinsvc, "dwSignerCount", dwSignerCount);
  if (dwSignerCount == 0)
    return trace.Failed(SIGIL_E_TOO_MANY_SIGNERS,
                        u"The number of signer in pkcs#7 signature is too many.");
  trace.Passed();

  // Every signer must match the file; the first that does not decides.
  for (DWORD dwIndex = 0; dwIndex < dwSignerCount; ++dwIndex) {
    const HRESULT hResult = VerifyFileSigner(trace, msg.get(), store.get(), dwIndex, lpwFilePath);
    if (FAILED(hResult)) {
      TraceValue(kTraceGuidWinsvc, "dwSignerIndex", dwIndex);
      return hResult;
    }
  }
  return S_OK;
}

HRESULT VerifyFileSignatureBase64(LPCWSTR lpwBase64PKCS7, LPCWSTR lpwFilePath) {
  TraceHelper helper("VerifyFileSignatureBase64");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"VerifyFileSignatureBase64");
  signing::Der pkcs7;
  HRESULT hResult = DecodeBase64Text(trace, lpwBase64PKCS7, pkcs7);
  if (FAILED(hResult)) return hResult;
  trace.Step(u"VerifyFileSignature");
  hResult = VerifyFileSignature(pkcs7.data.get(), pkcs7.size, lpwFilePath);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(VerifyFileSignature)");
  trace.Passed();
  return S_OK;
}

HRESULT VerifyHashSignedData(ALG_ID algId, PCCERT_CONTEXT pCertContext, const BYTE* pbyData,
                             DWORD dwDataLen, BYTE* pbySignature, DWORD dwSignatureLen,
                             LPCWSTR lpwFilePath, BOOL bFile) {
  TraceHelper helper("VerifyHashSignedData");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"VerifyHashSignedData");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  TraceValue(kTraceGuidWinsvc, "bFile", static_cast<std::uint32_t>(bFile));
  trace.Step(u"Check parameter");
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (pbySignature == nullptr || dwSignatureLen == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pbySignature");
  if (bFile ? lpwFilePath == nullptr : (pbyData == nullptr && dwDataLen > 0))
    return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath || NULL == pbyData");

  PCERT_PUBLIC_KEY_INFO pPublicKeyInfo = &pCertContext->pCertInfo->SubjectPublicKeyInfo;
  // Big-endian in, CryptoAPI order for the CSP.
  SwapByteOrder(pbySignature, dwSignatureLen);

  trace.Step(u"CryptAcquireContext");
  UniqueCryptProv provider;
  HRESULT hResult = CryptAcquireContextbyAlgorithm(provider.Out(), algId);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(CryptAcquireContextbyAlgorithm)");
  trace.Passed();

  trace.Step(u"CryptCreateHash");
  signing::UniqueCryptHash hash;
  SetLastError(ERROR_SUCCESS);
  if (!CryptCreateHash(provider.Get(), algId, 0, 0, hash.Out()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptCreateHash");
  trace.Passed();

  if (bFile) {
    trace.Step(u"CalculateFileHash");
    hResult = CalculateFileHash(lpwFilePath, hash.Get());
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(CalculateFileHash)");
  } else {
    trace.Step(u"CryptHashData");
    SetLastError(ERROR_SUCCESS);
    if (!CryptHashData(hash.Get(), pbyData, dwDataLen, 0))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptHashData");
  }
  trace.Passed();

  trace.Step(u"CryptImportPublicKeyInfo");
  UniqueCryptKey key;
  SetLastError(ERROR_SUCCESS);
  if (!CryptImportPublicKeyInfo(provider.Get(), signing::kMsgAndCertEncoding, pPublicKeyInfo,
                                key.Out()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptImportPublicKeyInfo");
  trace.Passed();

  trace.Step(u"CryptVerifySignature");
  SetLastError(ERROR_SUCCESS);
  if (!CryptVerifySignatureW(hash.Get(), pbySignature, dwSignatureLen, key.Get(), nullptr, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptVerifySignature");
  trace.Passed();
  return S_OK;
}
