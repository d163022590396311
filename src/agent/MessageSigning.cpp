// Signing a message from page script and verifying signatures over one.
// A message is always signed and verified as the UTF-8 bytes of its text.
#include <cstdio>
#include <memory>
#include <source_location>

#include "agent/AgentHolders.h"
#include "agent/AgentRoutines.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "agent/SiteConsent.h"
#include "platform/base/Bstr.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "smengine/common/TextUtility.h"
#include "smengine/signing/DataSigning.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/Sm2CspSigning.h"

using agent::IsTypeName;
using agent::OperationScope;
using agent::TextOnExit;
using agent::TraceStep;
using agent::UniqueCertContext;
using agent::Utf8Text;

namespace {
constexpr LPCWSTR kSource = u"MessageSigning";

HRESULT ConvertToUtf8(StepTrace& trace, LPCWSTR lpwText, Utf8Text& text,
                      std::source_location where = std::source_location::current()) {
  return TraceStep(trace, u"UTF16ToUTF8", text.Convert(lpwText), u"FAILED(hResult)", where);
}

// Narrow text (Base64, so ASCII) handed to script as a new BSTR.
HRESULT SetTextOutput(StepTrace& trace, LPCSTR pszText, BSTR* pbstrOutput) {
  LPWSTR pwszRaw = nullptr;
  HRESULT hResult =
      TraceStep(trace, u"UTF8ToUTF16", UTF8ToUTF16(pszText, &pwszRaw, nullptr), u"FAILED(hResult)");
  const std::unique_ptr<WCHAR[]> pwszText(pwszRaw);
  if (FAILED(hResult)) return hResult;
  if (pbstrOutput == nullptr) return S_OK;
  *pbstrOutput = SysAllocString(pwszText.get());
  return TraceStep(trace, u"SysAllocString", *pbstrOutput ? S_OK : E_OUTOFMEMORY,
                   u"NULL == *pbstrOutput");
}

// A signature value as one-line Base64 in a new BSTR.
HRESULT SetSignatureOutput(StepTrace& trace, const BYTE* pbySignature, DWORD dwSignatureLen,
                           BSTR* pbstrOutput) {
  LPSTR pszRaw = nullptr;
  HRESULT hResult =
      TraceStep(trace, u"Base64EncodeEx",
                Base64EncodeEx(&pszRaw, pbySignature, static_cast<int>(dwSignatureLen), nullptr,
                               ATL_BASE64_FLAG_NOCRLF),
                u"FAILED(hResult)");
  const std::unique_ptr<char[]> pszBase64(pszRaw);
  if (FAILED(hResult)) return hResult;
  return SetTextOutput(trace, pszBase64.get(), pbstrOutput);
}

HRESULT HashAlgorithmOf(StepTrace& trace, LPCWSTR bstrHashAlg, ALG_ID* pAlgId) {
  const ALG_ID uSignAlgorithm = agent::GetHashAlgorithmIDByName(bstrHashAlg);
  *pAlgId = uSignAlgorithm;
  return TraceStep(trace, u"GetHashAlgorithmIDByName",
                   uSignAlgorithm == 0 ? SIGIL_E_INVALID_HASH_ALG : S_OK, u"uSignAlgorithm == 0");
}

// Raw PKCS#1 signature of the bytes with a CSP-held RSA key, Base64 out.
HRESULT SignPKCS1ByCertContext(StepTrace& trace, PCCERT_CONTEXT pCertContext, ALG_ID algId,
                               const Utf8Text& source, BSTR* pbstrSignature) {
  BYTE* pbyRaw = nullptr;
  DWORD dwSignatureLen = 0;
  const HRESULT hResult = TraceStep(
      trace, u"CalculateHashandSign",
      CalculateHashandSign(pCertContext, source.Bytes(), static_cast<DWORD>(source.Length()), algId,
                           &pbyRaw, &dwSignatureLen),
      u"FAILED(hResult)");
  const std::unique_ptr<BYTE[]> pbySignature(pbyRaw);
  if (FAILED(hResult)) return hResult;
  return SetSignatureOutput(trace, pbySignature.get(), dwSignatureLen, pbstrSignature);
}

// PKCS#7 of the bytes with a CSP-held RSA key; the routine writes the output.
HRESULT SignPKCS7ByCertContext(StepTrace& trace, PCCERT_CONTEXT pCertContext, ALG_ID algId,
                               const Utf8Text& source, BOOL bAttach, BSTR* pbstrSignature) {
  HRESULT hResult = SignBinaryData(pbstrSignature, source.Bytes(), pCertContext,
                                   static_cast<DWORD>(source.Length()), algId, bAttach);
  // A positive answer is a last-error value; a negative one a result code.
  if (hResult != S_OK) hResult = ResultFromLastError(static_cast<DWORD>(hResult));
  return TraceStep(trace, u"SignBinaryData", hResult, u"hResult != S_OK");
}

// Both soft-certificate signing operations after their opening checks.
HRESULT SignWithSoftCert(OperationScope& op, bool bPKCS7, LPCWSTR bstrSoftCertFileName,
                         LPCWSTR bstrSoftCertPassword, LPCWSTR bstrSoftCertType,
                         LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg, BOOL bAttach,
                         BSTR* pbstrSignature) {
  StepTrace& trace = op.Trace();
  Utf8Text source;
  HRESULT hResult = ConvertToUtf8(trace, bstrSourceData, source);
  if (FAILED(hResult)) return hResult;

  if (IsTypeName(bstrSoftCertType, u"SM2")) {
    FILE* fpRaw = nullptr;
    const int nOpenError = _wfopen_s(&fpRaw, bstrSoftCertFileName, u"rb");
    const agent::UniqueFile fpFileCert(fpRaw);
    hResult = TraceStep(trace, u"_wfopen_s",
                        (nOpenError != 0 || !fpFileCert) ? SIGIL_E_OPEN_FAILED : S_OK,
                        u"FAILED(hResult) || NULL == fpFileCert");
    if (FAILED(hResult)) return hResult;

    Utf8Text password(true);
    hResult = ConvertToUtf8(trace, bstrSoftCertPassword, password);
    if (FAILED(hResult)) return hResult;

    char* pszRaw = nullptr;
    int nBase64Size = 0;
    const int nResult =
        bPKCS7 ? engine::SignData_PKCS7_BySM2PFX(password.Get(), source.Bytes(), source.Length(),
                                                 fpFileCert.get(), bAttach, &pszRaw, &nBase64Size)
               : engine::SignData_PKCS1_BySM2PFX(password.Get(), fpFileCert.get(), source.Bytes(),
                                                 source.Length(), &pszRaw, &nBase64Size);
    const std::unique_ptr<char[]> pszSignature(pszRaw);
    hResult = TraceStep(trace, bPKCS7 ? u"SignData_PKCS7_BySM2PFX" : u"SignData_PKCS1_BySM2PFX",
                        agent::ResultFromEngine(nResult, static_cast<DWORD>(SIGIL_E_SIGN_FAILED)),
                        u"ORLO_OK != nResult");
    if (FAILED(hResult)) return hResult;
    return SetTextOutput(trace, pszSignature.get(), pbstrSignature);
  }

  if (IsTypeName(bstrSoftCertType, u"RSA")) {
    if (bPKCS7) {
      if (!op.RequireText({"bstrHashAlg", bstrHashAlg})) return op.Result();
    } else {
      // An empty name passes here and is refused as an unknown algorithm.
      hResult = TraceStep(trace, u"Check parameter(bstrHashAlg)",
                          bstrHashAlg == nullptr ? E_INVALIDARG : S_OK, u"bstrHashAlg == NULL");
      if (FAILED(hResult)) return hResult;
    }
    PCCERT_CONTEXT pRaw = nullptr;
    hResult =
        TraceStep(trace, u"CreateCertContextByPFX",
                  agent::CreateCertContextByPFX(&pRaw, bstrSoftCertFileName, bstrSoftCertPassword),
                  u"FAILED(hResult)");
    const UniqueCertContext pSignCertContext(pRaw);
    if (FAILED(hResult)) return hResult;

    ALG_ID algId = 0;
    hResult = HashAlgorithmOf(trace, bstrHashAlg, &algId);
    if (FAILED(hResult)) return hResult;
    return bPKCS7 ? SignPKCS7ByCertContext(trace, pSignCertContext.get(), algId, source, bAttach,
                                           pbstrSignature)
                  : SignPKCS1ByCertContext(trace, pSignCertContext.get(), algId, source,
                                           pbstrSignature);
  }

  return TraceStep(trace, u"check parameter.", E_INVALIDARG, u"TRUE");
}

// A whole soft-certificate signing operation, traced under `function`. The
// hash algorithm is looked at only for an "RSA" soft certificate, so it is
// not among the opening checks.
HRESULT SignBySoftCert(const agent::SiteConsent* pSite, LPCSTR function, bool bPKCS7,
                       LPCWSTR bstrSoftCertFileName, LPCWSTR bstrSoftCertPassword,
                       LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                       BOOL bAttach, BSTR* pbstrSignature) {
  OperationScope op(kSource, function, pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceData", bstrSourceData},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSoftCertFile(bstrSoftCertFileName))
    return op.Result();
  const agent::PasswordTry attempt(pSite, bstrSoftCertFileName);
  if (!op.RequirePasswordTry(attempt)) return op.Result();
  return attempt.Judge(SignWithSoftCert(op, bPKCS7, bstrSoftCertFileName, bstrSoftCertPassword,
                                        bstrSoftCertType, bstrSourceData, bstrHashAlg, bAttach,
                                        pbstrSignature));
}

// Both PKCS#7 verifications after their opening checks; a null message means
// the content travels inside the signature.
HRESULT VerifyPKCS7(StepTrace& trace, LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                    LPCWSTR bstrSourceMsg) {
  const bool bAttached = bstrSourceMsg == nullptr;
  Utf8Text message;
  HRESULT hResult = S_OK;
  if (!bAttached) {
    hResult = ConvertToUtf8(trace, bstrSourceMsg, message);
    if (FAILED(hResult)) return hResult;
  }
  Utf8Text signature;
  hResult = ConvertToUtf8(trace, bstrSignature, signature);
  if (FAILED(hResult)) return hResult;

  DWORD dwPKCS7Type = 0;
  hResult = TraceStep(
      trace, u"GetPKCS7Type",
      agent::GetPKCS7Type(signature.Get(), static_cast<DWORD>(signature.Length()), &dwPKCS7Type),
      u"FAILED(hResult)");
  if (FAILED(hResult)) return hResult;

  if (dwPKCS7Type == agent::SM2_SIGNED_DATA && IsTypeName(bstrSignatureType, u"SM2")) {
    const int nResult =
        bAttached ? engine::VerifySignature_PKCS7Attached(signature.Get(), signature.Length())
                  : engine::VerifySignature_PKCS7Detached(message.Bytes(), message.Length(),
                                                          signature.Get(), signature.Length());
    return TraceStep(
        trace, bAttached ? u"VerifySignature_PKCS7Attached" : u"VerifySignature_PKCS7Detached",
        agent::ResultFromEngine(nResult, static_cast<DWORD>(NTE_BAD_SIGNATURE)),
        u"ORLO_OK != nResult");
  }

  if (dwPKCS7Type == agent::RSA_SIGNED_DATA && IsTypeName(bstrSignatureType, u"RSA")) {
    // Detached: the message goes in as the content and is not handed back.
    BYTE* pbyContent = bAttached ? nullptr : const_cast<BYTE*>(message.Bytes());
    DWORD dwContentLength = bAttached ? 0 : static_cast<DWORD>(message.Length());
    hResult = VerifySignatureBase64(bstrSignature, bAttached ? 1 : 0, &pbyContent, &dwContentLength,
                                    nullptr);
    // The attached form hands out a copy of the content, not needed here.
    if (bAttached && SUCCEEDED(hResult)) delete[] pbyContent;
    return TraceStep(trace, u"VerifySignatureBase64", hResult, u"FAILED(hResult)");
  }

  return TraceStep(trace, u"Invalid PKCS#7 content type.", SIGIL_E_INVALID_SIGN_TYPE, u"TRUE");
}

}  // namespace

// The hash algorithm is checked only on the RSA route, after the source has
// been converted: an SM2 certificate signs with SM3 whatever it says.
HRESULT CCryptoAgent::SignMsgPKCS1(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                   BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignMsgPKCS1", agent::kAsksKeys, pbstrSignature)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS1", pbstrSignature,
                    {{"bstrSourceData", bstrSourceData}, {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext))
    return Finish(op.Result());
  StepTrace& trace = op.Trace();

  Utf8Text source;
  HRESULT hResult = ConvertToUtf8(trace, bstrSourceData, source);
  if (FAILED(hResult)) return Finish(hResult);

  if (m_bSM2SignCert) {
    BYTE* pbyRaw = nullptr;
    DWORD dwRawLen = 0;
    hResult = TraceStep(trace, u"SM2CalculateHashandSignbyUnregisteredCert",
                        SM2CalculateHashandSignbyUnregisteredCert(
                            m_pUnregisteredSignCertContext, source.Bytes(),
                            static_cast<DWORD>(source.Length()), &pbyRaw, &dwRawLen),
                        u"FAILED(hResult)");
    const std::unique_ptr<BYTE[]> pbyRawSignature(pbyRaw);
    if (FAILED(hResult)) return Finish(hResult);

    BYTE* pbyEncoded = nullptr;
    DWORD dwEncodedLen = 0;
    hResult = TraceStep(trace, u"SM2EncodeRawSignature",
                        SM2EncodeRawSignature(&dwEncodedLen, pbyRawSignature.get(), dwRawLen,
                                              &pbyEncoded, SM2_SIGNATURE_SEQUENCE),
                        u"FAILED(hResult)");
    const std::unique_ptr<BYTE[]> pbySignature(pbyEncoded);
    if (FAILED(hResult)) return Finish(hResult);
    return Finish(SetSignatureOutput(trace, pbySignature.get(), dwEncodedLen, pbstrSignature));
  }

  if (!op.RequireText({"bstrHashAlg", bstrHashAlg})) return Finish(op.Result());
  ALG_ID algId = 0;
  hResult = HashAlgorithmOf(trace, bstrHashAlg, &algId);
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(SignPKCS1ByCertContext(trace, m_pSignCertContext, algId, source, pbstrSignature));
}

HRESULT CCryptoAgent::SignMsgPKCS7(LPCWSTR bstrSourceData, LPCWSTR bstrHashAlg,
                                   VARIANT_BOOL bAttach, BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignMsgPKCS7", agent::kAsksKeys, pbstrSignature)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::SignMsgPKCS7", pbstrSignature,
                    {{"bstrSourceData", bstrSourceData}, {"bstrHashAlg", bstrHashAlg}},
                    TextOnExit::LeaveNull);
  if (!op.RequireText({"bstrSourceData", bstrSourceData}) ||
      !op.RequireSignCertificate(m_pSignCertContext, m_pUnregisteredSignCertContext))
    return Finish(op.Result());
  StepTrace& trace = op.Trace();
  const BOOL bAttached = bAttach == VARIANT_TRUE ? TRUE : FALSE;

  Utf8Text source;
  HRESULT hResult = ConvertToUtf8(trace, bstrSourceData, source);
  if (FAILED(hResult)) return Finish(hResult);

  if (m_bSM2SignCert) {
    LPSTR pszRaw = nullptr;
    DWORD dwOutputLen = 0;
    hResult = TraceStep(
        trace, u"SM2SignBinaryDatabyUnregisteredCert",
        SM2SignBinaryDatabyUnregisteredCert(m_pUnregisteredSignCertContext, source.Bytes(),
                                            static_cast<DWORD>(source.Length()), bAttached,
                                            szOID_SM2_SIGN, &pszRaw, &dwOutputLen),
        u"FAILED(hResult)");
    const std::unique_ptr<char[]> pszSignature(pszRaw);
    if (FAILED(hResult)) return Finish(hResult);
    return Finish(SetTextOutput(trace, pszSignature.get(), pbstrSignature));
  }

  if (!op.RequireText({"bstrHashAlg", bstrHashAlg})) return Finish(op.Result());
  ALG_ID algId = 0;
  hResult = HashAlgorithmOf(trace, bstrHashAlg, &algId);
  if (FAILED(hResult)) return Finish(hResult);
  return Finish(
      SignPKCS7ByCertContext(trace, m_pSignCertContext, algId, source, bAttached, pbstrSignature));
}

HRESULT CCryptoAgent::SignMsgPKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                              LPCWSTR bstrSoftCertPassword,
                                              LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceData,
                                              LPCWSTR bstrHashAlg, BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignMsgPKCS1_BySoftCert", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  return Finish(SignBySoftCert(Site(), "CCryptoAgent::SignMsgPKCS1_BySoftCert", false, bstrSoftCertFileName,
                               bstrSoftCertPassword, bstrSoftCertType, bstrSourceData, bstrHashAlg,
                               FALSE, pbstrSignature));
}

HRESULT CCryptoAgent::SignMsgPKCS7_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                              LPCWSTR bstrSoftCertPassword,
                                              LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceData,
                                              LPCWSTR bstrHashAlg, VARIANT_BOOL bAttach,
                                              BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignMsgPKCS7_BySoftCert", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  return Finish(SignBySoftCert(Site(), "CCryptoAgent::SignMsgPKCS7_BySoftCert", true, bstrSoftCertFileName,
                               bstrSoftCertPassword, bstrSoftCertType, bstrSourceData, bstrHashAlg,
                               bAttach == VARIANT_TRUE ? TRUE : FALSE, pbstrSignature));
}

// The hash algorithm matters only to "RSA" and is checked on that route.
HRESULT CCryptoAgent::VerifyMsgSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                              LPCWSTR bstrSourceMsg, LPCWSTR bstrHashAlg,
                                              LPCWSTR bstrBase64CertContent,
                                              VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS1", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceMsg", bstrSourceMsg},
                     {"bstrHashAlg", bstrHashAlg},
                     {"bstrBase64CertContent", bstrBase64CertContent}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceMsg", bstrSourceMsg}) ||
      !op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}))
    return Finish(op.Result());
  StepTrace& trace = op.Trace();

  Utf8Text signature, message, certificate;
  HRESULT hResult = ConvertToUtf8(trace, bstrSignature, signature);
  if (SUCCEEDED(hResult)) hResult = ConvertToUtf8(trace, bstrSourceMsg, message);
  if (SUCCEEDED(hResult)) hResult = ConvertToUtf8(trace, bstrBase64CertContent, certificate);
  if (FAILED(hResult)) return Finish(hResult);

  if (IsTypeName(bstrSignatureType, u"SM2")) {
    const int nResult = engine::VerifySignature_PKCS1_ByCert(
        signature.Get(), signature.Length(), message.Bytes(), message.Length(), certificate.Get(),
        certificate.Length());
    hResult = TraceStep(trace, u"VerifySignature_PKCS1_ByCert",
                        agent::ResultFromEngine(nResult, static_cast<DWORD>(NTE_BAD_SIGNATURE)),
                        u"ORLO_OK != nResult");
  } else if (IsTypeName(bstrSignatureType, u"RSA")) {
    if (!op.RequireText({"bstrHashAlg", bstrHashAlg})) return Finish(op.Result());

    BYTE* pbyRawCert = nullptr;
    int nCertSize = 0;
    hResult =
        TraceStep(trace, u"Base64DecodeEx",
                  Base64DecodeEx(certificate.Length(), certificate.Get(), &pbyRawCert, &nCertSize),
                  u"FAILED(hResult)");
    const std::unique_ptr<BYTE[]> pbyCert(pbyRawCert);
    if (FAILED(hResult)) return Finish(hResult);

    const UniqueCertContext pSignCertContext(CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbyCert.get(), static_cast<DWORD>(nCertSize)));
    hResult = pSignCertContext ? S_OK : ResultFromLastError(GetLastError());
    hResult =
        TraceStep(trace, u"CertCreateCertificateContext", hResult, u"pSignCertContext == NULL");
    if (FAILED(hResult)) return Finish(hResult);

    ALG_ID algId = 0;
    hResult = HashAlgorithmOf(trace, bstrHashAlg, &algId);
    if (FAILED(hResult)) return Finish(hResult);

    BYTE* pbyRawSignature = nullptr;
    int nSignatureSize = 0;
    hResult = TraceStep(
        trace, u"Base64DecodeEx",
        Base64DecodeEx(signature.Length(), signature.Get(), &pbyRawSignature, &nSignatureSize),
        u"FAILED(hResult)");
    const std::unique_ptr<BYTE[]> pbySignature(pbyRawSignature);
    if (FAILED(hResult)) return Finish(hResult);

    hResult =
        TraceStep(trace, u"VerifyHashSignedData",
                  VerifyHashSignedData(algId, pSignCertContext.get(), message.Bytes(),
                                       static_cast<DWORD>(message.Length()), pbySignature.get(),
                                       static_cast<DWORD>(nSignatureSize), nullptr, FALSE),
                  u"FAILED(hResult)");
  } else {
    hResult = TraceStep(trace, u"check parameter.", E_INVALIDARG, u"TRUE");
  }
  if (FAILED(hResult)) return Finish(hResult);

  if (pbResult) *pbResult = VARIANT_TRUE;
  return Finish(S_OK);
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Attached(LPCWSTR bstrSignature,
                                                      LPCWSTR bstrSignatureType,
                                                      VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS7Attached", pbResult,
                    {{"bstrSignature", bstrSignature}, {"bstrSignatureType", bstrSignatureType}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}))
    return Finish(op.Result());
  const HRESULT hResult = VerifyPKCS7(op.Trace(), bstrSignature, bstrSignatureType, nullptr);
  if (SUCCEEDED(hResult) && pbResult) *pbResult = VARIANT_TRUE;
  return Finish(hResult);
}

HRESULT CCryptoAgent::VerifyMsgSignaturePKCS7Detached(LPCWSTR bstrSignature,
                                                      LPCWSTR bstrSignatureType,
                                                      LPCWSTR bstrSourceMsg,
                                                      VARIANT_BOOL* pbResult) {
  OperationScope op(kSource, "CCryptoAgent::VerifyMsgSignaturePKCS7Detached", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceMsg", bstrSourceMsg}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceMsg", bstrSourceMsg}))
    return Finish(op.Result());
  const HRESULT hResult = VerifyPKCS7(op.Trace(), bstrSignature, bstrSignatureType, bstrSourceMsg);
  if (SUCCEEDED(hResult) && pbResult) *pbResult = VARIANT_TRUE;
  return Finish(hResult);
}
