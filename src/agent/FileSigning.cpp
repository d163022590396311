// Signing a file named by page script and verifying signatures of one. Every
// path is looked at (it must exist, and pass the gate) before it is opened.
// The file's content never passes through page script: signatures go back
// as Base64 text, and nothing is written to disk.
#include <cstring>
#include <memory>

#include "agent/AgentHolders.h"
#include "agent/AgentRoutines.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "agent/SiteConsent.h"
#include "platform/base/Bstr.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/base/CryptErrors.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/TextUtility.h"
#include "smengine/signing/DataSigning.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/Sm2CspSigning.h"

using agent::IsTypeName;
using agent::OperationScope;
using agent::TextInput;
using agent::TextOnExit;
using agent::Utf8Text;

namespace {

constexpr LPCWSTR kSource = u"FileSigning";
constexpr int kInputFile = 0;
constexpr DWORD kBase64OneLine = ATL_BASE64_FLAG_NOCRLF;
constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kKeyUsageDigitalSignature = 0x80;

using Here = std::source_location;

// The work after the opening checks: each step traced as it passes, the
// first failure traced with its reason and kept as the operation's result.
class Steps {
 public:
  explicit Steps(OperationScope& op) : m_op(op) {}

  bool Check(LPCWSTR step, bool passed, HRESULT failure, LPCWSTR reason,
             Here where = Here::current()) {
    if (agent::TraceCheck(m_op.Trace(), step, passed, failure, reason, where)) return true;
    m_hResult = failure;
    return false;
  }
  bool Succeeded(LPCWSTR step, HRESULT hResult, LPCWSTR reason = u"FAILED(hResult)",
                 Here where = Here::current()) {
    return Check(step, SUCCEEDED(hResult), hResult, reason, where);
  }
  // An SM2 engine answer; -1 stands for `minusOne`.
  bool EngineOk(LPCWSTR step, int nResult, HRESULT minusOne, Here where = Here::current()) {
    return Check(step, nResult == ORLO_OK,
                 agent::ResultFromEngine(nResult, static_cast<DWORD>(minusOne)),
                 u"ORLO_OK != nResult", where);
  }

  // The opening's own checks, for routes that look at a text or a path only
  // after other work.
  bool RequireText(const TextInput& input, Here where = Here::current()) {
    return Keep(m_op.RequireText(input, where));
  }
  bool RequireExistingFile(LPCWSTR path, Here where = Here::current()) {
    return Keep(m_op.RequireExistingFile(path, where));
  }
  bool RequireSafePath(LPCWSTR& path, Here where = Here::current()) {
    return Keep(m_op.RequireSafePath(path, kInputFile, where));
  }

  HRESULT Result() const { return m_hResult; }

 private:
  bool Keep(bool passed) {
    if (!passed) m_hResult = m_op.Result();
    return passed;
  }

  OperationScope& m_op;
  HRESULT m_hResult = S_OK;
};

// Script's UTF-16 text as UTF-8 for the lower layers.
bool ConvertText(Steps& steps, Utf8Text& text, LPCWSTR source, Here where = Here::current()) {
  return steps.Succeeded(u"UTF16ToUTF8", text.Convert(source), u"FAILED(hResult)", where);
}

bool OpenForReading(Steps& steps, LPCWSTR path, agent::UniqueFile& file, LPCWSTR reason,
                    Here where = Here::current()) {
  FILE* fp = nullptr;
  const int nError = _wfopen_s(&fp, path, u"rb");
  file.reset(fp);
  return steps.Check(u"_wfopen_s", nError == 0 && fp != nullptr, SIGIL_E_OPEN_FAILED, reason,
                     where);
}

// The produced UTF-8 text handed to script as a new BSTR.
bool SetTextOutput(Steps& steps, LPCSTR pszText, BSTR* pbstrOutput, Here where = Here::current()) {
  LPWSTR raw = nullptr;
  const HRESULT hResult = UTF8ToUTF16(pszText, &raw, nullptr);
  const std::unique_ptr<WCHAR[]> wide(raw);
  if (!steps.Succeeded(u"UTF8ToUTF16", hResult, u"FAILED(hResult)", where)) return false;
  if (!pbstrOutput) return true;
  *pbstrOutput = SysAllocString(wide.get());
  return steps.Check(u"SysAllocString", *pbstrOutput != nullptr, E_OUTOFMEMORY,
                     u"NULL == *pbstrSignature", where);
}

// Signature bytes as one line of padded Base64, handed to script.
bool SetBase64Output(Steps& steps, const BYTE* pbyData, DWORD dwDataLen, BSTR* pbstrOutput) {
  LPSTR raw = nullptr;
  const HRESULT hResult =
      Base64EncodeEx(&raw, pbyData, static_cast<int>(dwDataLen), nullptr, kBase64OneLine);
  const std::unique_ptr<char[]> text(raw);
  return steps.Succeeded(u"Base64EncodeEx", hResult) &&
         SetTextOutput(steps, text.get(), pbstrOutput);
}

bool RequireHashAlgorithm(Steps& steps, LPCWSTR bstrHashAlg, ALG_ID* pAlgId) {
  if (!steps.RequireText({"bstrHashAlg", bstrHashAlg})) return false;
  *pAlgId = agent::GetHashAlgorithmIDByName(bstrHashAlg);
  return steps.Check(u"GetHashAlgorithmIDByName", *pAlgId != 0, SIGIL_E_INVALID_HASH_ALG,
                     u"uSignAlgorithm == 0");
}

// The signing certificates of a PKCS#12 file, imported for one call and
// released with it (the key lives only as long as the store).
class Pkcs12Signers {
 public:
  Pkcs12Signers() = default;
  ~Pkcs12Signers() {
    RemoveAllCertificates(m_certificates);
    if (m_hStore) CertCloseStore(m_hStore, 0);
  }
  Pkcs12Signers(const Pkcs12Signers&) = delete;
  Pkcs12Signers& operator=(const Pkcs12Signers&) = delete;

  bool Import(Steps& steps, LPCWSTR lpwFileName, LPCWSTR lpwPassword) {
    BYTE* raw = nullptr;
    DWORD dwSize = 0;
    HRESULT hResult = ReadFileSimple(lpwFileName, &raw, &dwSize);
    const std::unique_ptr<BYTE[]> pfx(raw);
    if (!steps.Succeeded(u"ReadFileSimple", hResult)) return false;

    CRYPT_DATA_BLOB blob{dwSize, pfx.get()};
    m_hStore = PFXImportCertStore(&blob, lpwPassword, CRYPT_USER_KEYSET);
    hResult = m_hStore ? S_OK : ResultFromLastError(GetLastError());
    if (!steps.Check(u"PFXImportCertStore", m_hStore != nullptr, hResult, u"hCertStore == NULL"))
      return false;

    // Only certificates that may sign and whose key can be reached.
    CERTIFICATE_FILTER filter{};
    filter.dwKeyUsage = kKeyUsageDigitalSignature;
    filter.bCheckPrivateKey = TRUE;
    hResult = FilterCertificatesFromStore(m_hStore, &filter, m_certificates);
    if (!steps.Succeeded(u"FilterCertificatesFromStore", hResult)) return false;
    return steps.Check(u"Check certificate usage", !m_certificates.empty(),
                       SIGIL_E_INVALID_CERT_USAGE, u"vtrSignCertSet.size() == 0");
  }
  PCCERT_CONTEXT First() const { return m_certificates.front(); }

 private:
  HCERTSTORE m_hStore = nullptr;
  CERTIFICATE_SET m_certificates;
};

// A file signature is a raw PKCS#1 value or a detached PKCS#7 message: each
// pair of signing operations differs only in that.
enum class SignatureForm { PKCS1, PKCS7Detached };

// A raw PKCS#1 signature (big-endian) made with a certificate's CSP key.
bool SignFileRsaPKCS1(Steps& steps, PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath, ALG_ID algId,
                      BSTR* pbstrSignature) {
  BYTE* raw = nullptr;
  DWORD dwSignatureLen = 0;
  const HRESULT hResult =
      CalculateFileHashandSign(pCertContext, lpwFilePath, algId, &raw, &dwSignatureLen);
  const std::unique_ptr<BYTE[]> signature(raw);
  return steps.Succeeded(u"CalculateFileHashandSign", hResult) &&
         SetBase64Output(steps, signature.get(), dwSignatureLen, pbstrSignature);
}

// SignFile writes the output itself; a positive answer is a last-error value.
bool SignFileRsaPKCS7(Steps& steps, PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath, ALG_ID algId,
                      BSTR* pbstrSignature) {
  const HRESULT hResult = SignFile(pbstrSignature, lpwFilePath, pCertContext, algId);
  return steps.Check(u"SignFile", hResult == S_OK, ResultFromLastError(static_cast<DWORD>(hResult)),
                     u"hResult != S_OK");
}

bool SignFileRsa(Steps& steps, SignatureForm form, PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath,
                 ALG_ID algId, BSTR* pbstrSignature) {
  return form == SignatureForm::PKCS1
             ? SignFileRsaPKCS1(steps, pCertContext, lpwFilePath, algId, pbstrSignature)
             : SignFileRsaPKCS7(steps, pCertContext, lpwFilePath, algId, pbstrSignature);
}

// r || s from the CSP holding the key, in the DER form asked for.
bool SignFileSm2Csp(Steps& steps, PUNREGISTERED_CERT_CONTEXT pRecord, LPCWSTR lpwFilePath,
                    DWORD dwEncodedType, std::unique_ptr<BYTE[]>& encoded, DWORD* pdwEncodedLen) {
  BYTE* raw = nullptr;
  DWORD dwRawLen = 0;
  HRESULT hResult =
      SM2CalculateFileHashandSignbyUnregisteredCert(pRecord, lpwFilePath, &raw, &dwRawLen);
  const std::unique_ptr<BYTE[]> signature(raw);
  if (!steps.Succeeded(u"SM2CalculateFileHashandSignbyUnregisteredCert", hResult)) return false;
  BYTE* der = nullptr;
  hResult = SM2EncodeRawSignature(pdwEncodedLen, signature.get(), dwRawLen, &der, dwEncodedType);
  encoded.reset(der);
  return steps.Succeeded(u"SM2EncodeRawSignature", hResult);
}

// The detached SM2 PKCS#7 around a signature from the CSP: the file's
// content stays out of the message.
bool SignFileSm2CspPKCS7(Steps& steps, PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath,
                         const BYTE* pbyEncoded, DWORD dwEncodedLen, BSTR* pbstrSignature) {
  LPSTR raw = nullptr;
  DWORD dwTextLen = 0;
  const HRESULT hResult = SM2EncapsulatePKCS7(
      pCertContext, szOID_SM3, szOID_SM2_SIGN, 0, pbyEncoded, dwEncodedLen, &raw, &dwTextLen,
      /*bFile=*/TRUE, /*bAttach=*/FALSE, kBase64OneLine, nullptr, lpwFilePath);
  const std::unique_ptr<char[]> text(raw);
  return steps.Succeeded(u"SM2EncapsulatePKCS7", hResult) &&
         SetTextOutput(steps, text.get(), pbstrSignature);
}

// The work after the opening checks.
HRESULT SignWithSoftCert(OperationScope& op, SignatureForm form, LPCWSTR bstrSoftCertFileName,
                         LPCWSTR bstrSoftCertPassword, LPCWSTR bstrSoftCertType,
                         LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg, BSTR* pbstrSignature) {
  Steps steps(op);
  if (IsTypeName(bstrSoftCertType, u"SM2")) {
    agent::UniqueFile source;
    agent::UniqueFile softCert;
    Utf8Text password(/*secret=*/true);
    if (!OpenForReading(steps, bstrSourceFile, source,
                        u"FAILED(hResult) || NULL == fpSourceFile") ||
        !OpenForReading(steps, bstrSoftCertFileName, softCert,
                        u"FAILED(hResult) || NULL == fpFileCert") ||
        !ConvertText(steps, password, bstrSoftCertPassword))
      return steps.Result();
    char* raw = nullptr;
    int nBase64Size = 0;
    int nResult = ORLO_OK;
    LPCWSTR step = nullptr;
    if (form == SignatureForm::PKCS1) {
      step = u"SignFile_PKCS1_BySM2PFX";
      nResult = engine::SignFile_PKCS1_BySM2PFX(password.Get(), softCert.get(), source.get(), &raw,
                                                &nBase64Size);
    } else {
      step = u"SignFile_PKCS7Detached_BySM2PFX";
      nResult = engine::SignFile_PKCS7Detached_BySM2PFX(password.Get(), &raw, source.get(),
                                                        softCert.get(), &nBase64Size);
    }
    const std::unique_ptr<char[]> text(raw);
    if (!steps.EngineOk(step, nResult, SIGIL_E_SIGN_FAILED)) return steps.Result();
    SetTextOutput(steps, text.get(), pbstrSignature);
    return steps.Result();
  }

  if (IsTypeName(bstrSoftCertType, u"RSA")) {
    ALG_ID algId = 0;
    Pkcs12Signers signers;
    if (!RequireHashAlgorithm(steps, bstrHashAlg, &algId) ||
        !signers.Import(steps, bstrSoftCertFileName, bstrSoftCertPassword))
      return steps.Result();
    SignFileRsa(steps, form, signers.First(), bstrSourceFile, algId, pbstrSignature);
    return steps.Result();
  }

  steps.Check(u"Check certificate signature algorithm", false, E_INVALIDARG, u"TRUE");
  return steps.Result();
}

// A whole soft-certificate signing operation, traced under `function`. The
// hash algorithm is needed only by an "RSA" soft certificate, so it is not
// among the opening checks.
HRESULT SignFileBySoftCert(const agent::SiteConsent* pSite, LPCSTR function, SignatureForm form,
                           LPCWSTR bstrSoftCertFileName, LPCWSTR bstrSoftCertPassword,
                           LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                           BSTR* pbstrSignature) {
  OperationScope op(kSource, function, pbstrSignature,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrSoftCertType", bstrSoftCertType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrHashAlg", bstrHashAlg}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}) ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}) ||
      !op.RequireText({"bstrSoftCertType", bstrSoftCertType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireExistingFile(bstrSoftCertFileName) ||
      !op.RequireSoftCertFile(bstrSoftCertFileName) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return op.Result();
  const agent::PasswordTry attempt(pSite, bstrSoftCertFileName);
  if (!op.RequirePasswordTry(attempt)) return op.Result();
  return attempt.Judge(SignWithSoftCert(op, form, bstrSoftCertFileName, bstrSoftCertPassword,
                                        bstrSoftCertType, bstrSourceFile, bstrHashAlg,
                                        pbstrSignature));
}

// Both signing operations with the selected certificate, after their entry.
// An SM2 certificate ignores the hash algorithm, so it is checked only on the
// RSA route, after the path.
HRESULT SignFileWithSelected(OperationScope& op, SignatureForm form, LPCWSTR bstrSourceFile,
                             LPCWSTR bstrHashAlg, BSTR* pbstrSignature, BOOL bSM2,
                             PCCERT_CONTEXT pSignCertContext, PUNREGISTERED_CERT_CONTEXT pRecord) {
  if (!op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireSignCertificate(pSignCertContext, pRecord) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return op.Result();

  Steps steps(op);
  if (bSM2) {
    std::unique_ptr<BYTE[]> encoded;
    DWORD dwEncodedLen = 0;
    const DWORD dwEncodedType =
        form == SignatureForm::PKCS1 ? SM2_SIGNATURE_SEQUENCE : SM2_SIGNATURE_OCTET_STRING;
    if (!SignFileSm2Csp(steps, pRecord, bstrSourceFile, dwEncodedType, encoded, &dwEncodedLen))
      return steps.Result();
    if (form == SignatureForm::PKCS1)
      SetBase64Output(steps, encoded.get(), dwEncodedLen, pbstrSignature);
    else
      SignFileSm2CspPKCS7(steps, pRecord->pCertContext, bstrSourceFile, encoded.get(), dwEncodedLen,
                          pbstrSignature);
    return steps.Result();
  }

  ALG_ID algId = 0;
  if (RequireHashAlgorithm(steps, bstrHashAlg, &algId))
    SignFileRsa(steps, form, pSignCertContext, bstrSourceFile, algId, pbstrSignature);
  return steps.Result();
}

void SetValid(VARIANT_BOOL* pbResult) {
  if (pbResult) *pbResult = VARIANT_TRUE;
}

}  // namespace

HRESULT CCryptoAgent::SignFilePKCS1(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                    BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignFilePKCS1", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS1", pbstrSignature,
                    {{"bstrSourceFile", bstrSourceFile}, {"bstrHashAlg", bstrHashAlg}});
  return Finish(SignFileWithSelected(op, SignatureForm::PKCS1, bstrSourceFile, bstrHashAlg,
                                     pbstrSignature, m_bSM2SignCert, m_pSignCertContext,
                                     m_pUnregisteredSignCertContext));
}

HRESULT CCryptoAgent::SignFilePKCS7Detached(LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                            BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignFilePKCS7Detached", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::SignFilePKCS7Detached", pbstrSignature,
                    {{"bstrSourceFile", bstrSourceFile}, {"bstrHashAlg", bstrHashAlg}},
                    TextOnExit::LeaveNull);
  return Finish(SignFileWithSelected(op, SignatureForm::PKCS7Detached, bstrSourceFile, bstrHashAlg,
                                     pbstrSignature, m_bSM2SignCert, m_pSignCertContext,
                                     m_pUnregisteredSignCertContext));
}

HRESULT CCryptoAgent::SignFilePKCS1_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                               LPCWSTR bstrSoftCertPassword,
                                               LPCWSTR bstrSoftCertType, LPCWSTR bstrSourceFile,
                                               LPCWSTR bstrHashAlg, BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignFilePKCS1_BySoftCert", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  return Finish(SignFileBySoftCert(Site(), "CCryptoAgent::SignFilePKCS1_BySoftCert", SignatureForm::PKCS1,
                                   bstrSoftCertFileName, bstrSoftCertPassword, bstrSoftCertType,
                                   bstrSourceFile, bstrHashAlg, pbstrSignature));
}

HRESULT CCryptoAgent::SignFilePKCS7Detached_BySoftCert(LPCWSTR bstrSoftCertFileName,
                                                       LPCWSTR bstrSoftCertPassword,
                                                       LPCWSTR bstrSoftCertType,
                                                       LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                                       BSTR* pbstrSignature) {
  if (RefusedToPage(u"SignFilePKCS7Detached_BySoftCert", agent::kAsksKeysAndFiles, pbstrSignature)) return m_hLastResult;
  return Finish(SignFileBySoftCert(Site(), "CCryptoAgent::SignFilePKCS7Detached_BySoftCert",
                                   SignatureForm::PKCS7Detached, bstrSoftCertFileName,
                                   bstrSoftCertPassword, bstrSoftCertType, bstrSourceFile,
                                   bstrHashAlg, pbstrSignature));
}

// The signature is converted before the path is looked at, so the path
// checks belong to the work that follows.
HRESULT CCryptoAgent::VerifyFileSignaturePKCS1(LPCWSTR bstrSignature, LPCWSTR bstrSignatureType,
                                               LPCWSTR bstrSourceFile, LPCWSTR bstrHashAlg,
                                               LPCWSTR bstrBase64CertContent,
                                               VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"VerifyFileSignaturePKCS1", agent::kAsksFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::VerifyFileSignaturePKCS1", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrHashAlg", bstrHashAlg},
                     {"bstrBase64CertContent", bstrBase64CertContent}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}))
    return Finish(op.Result());

  Steps steps(op);
  Utf8Text signature;
  Utf8Text certificate;
  if (!ConvertText(steps, signature, bstrSignature) || !steps.RequireExistingFile(bstrSourceFile) ||
      !steps.RequireSafePath(bstrSourceFile) ||
      !ConvertText(steps, certificate, bstrBase64CertContent))
    return Finish(steps.Result());

  if (IsTypeName(bstrSignatureType, u"SM2")) {
    agent::UniqueFile source;
    if (!OpenForReading(steps, bstrSourceFile, source, u"FAILED(hResult) || NULL == fpSourceFile"))
      return Finish(steps.Result());
    const int nResult = engine::VerifyFileSignature_PKCS1_ByCert(
        certificate.Get(), certificate.Length(), signature.Get(), signature.Length(), source.get());
    if (steps.EngineOk(u"VerifyFileSignature_PKCS1_ByCert", nResult, NTE_BAD_SIGNATURE))
      SetValid(pbResult);
    return Finish(steps.Result());
  }

  if (IsTypeName(bstrSignatureType, u"RSA")) {
    ALG_ID algId = 0;
    if (!RequireHashAlgorithm(steps, bstrHashAlg, &algId)) return Finish(steps.Result());

    BYTE* raw = nullptr;
    int nCertLen = 0;
    HRESULT hResult = Base64DecodeEx(certificate.Length(), certificate.Get(), &raw, &nCertLen);
    const std::unique_ptr<BYTE[]> certDer(raw);
    if (!steps.Succeeded(u"Base64DecodeEx", hResult)) return Finish(steps.Result());

    const agent::UniqueCertContext cert(
        CertCreateCertificateContext(kCertEncoding, certDer.get(), static_cast<DWORD>(nCertLen)));
    hResult = cert ? S_OK : ResultFromLastError(GetLastError());
    if (!steps.Check(u"CertCreateCertificateContext", cert != nullptr, hResult,
                     u"pstNewCertificate == NULL"))
      return Finish(steps.Result());

    raw = nullptr;
    int nSignatureLen = 0;
    hResult = Base64DecodeEx(signature.Length(), signature.Get(), &raw, &nSignatureLen);
    const std::unique_ptr<BYTE[]> signatureBytes(raw);
    if (!steps.Succeeded(u"Base64DecodeEx", hResult)) return Finish(steps.Result());

    hResult = VerifyHashSignedData(algId, cert.get(), nullptr, 0, signatureBytes.get(),
                                   static_cast<DWORD>(nSignatureLen), bstrSourceFile,
                                   /*bFile=*/TRUE);
    if (steps.Succeeded(u"VerifyHashSignedData", hResult)) SetValid(pbResult);
    return Finish(steps.Result());
  }

  steps.Check(u"check parameter.", false, E_INVALIDARG, u"TRUE");
  return Finish(steps.Result());
}

HRESULT CCryptoAgent::VerifyFileSignaturePKCS7Detached(LPCWSTR bstrSignature,
                                                       LPCWSTR bstrSignatureType,
                                                       LPCWSTR bstrSourceFile,
                                                       VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"VerifyFileSignaturePKCS7Detached", agent::kAsksFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::VerifyFileSignaturePKCS7Detached", pbResult,
                    {{"bstrSignature", bstrSignature},
                     {"bstrSignatureType", bstrSignatureType},
                     {"bstrSourceFile", bstrSourceFile}});
  if (!op.RequireText({"bstrSignature", bstrSignature}) ||
      !op.RequireText({"bstrSignatureType", bstrSignatureType}) ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}) ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile))
    return Finish(op.Result());

  Steps steps(op);
  Utf8Text signature;
  DWORD dwPKCS7Type = 0;
  if (!ConvertText(steps, signature, bstrSignature) ||
      !steps.Succeeded(u"GetPKCS7Type",
                       agent::GetPKCS7Type(signature.Get(), static_cast<DWORD>(signature.Length()),
                                           &dwPKCS7Type)))
    return Finish(steps.Result());

  const bool sm2 = dwPKCS7Type == agent::SM2_SIGNED_DATA && IsTypeName(bstrSignatureType, u"SM2");
  const bool rsa = dwPKCS7Type == agent::RSA_SIGNED_DATA && IsTypeName(bstrSignatureType, u"RSA");
  if (!steps.Check(u"Invalid PKCS#7 signature type", sm2 || rsa, SIGIL_E_INVALID_SIGN_TYPE,
                   u"TRUE"))
    return Finish(steps.Result());

  if (sm2) {
    agent::UniqueFile source;
    if (!OpenForReading(steps, bstrSourceFile, source, u"FAILED(hResult) || NULL == fpSourceFile"))
      return Finish(steps.Result());
    const int nResult = engine::SM2_VerifyFileSignature_PKCS7Detached(
        signature.Get(), signature.Length(), source.get());
    if (steps.EngineOk(u"SM2_VerifyFileSignature_PKCS7Detached", nResult, NTE_BAD_SIGNATURE))
      SetValid(pbResult);
  } else {
    if (steps.Succeeded(u"VerifyFileSignatureBase64",
                        VerifyFileSignatureBase64(bstrSignature, bstrSourceFile)))
      SetValid(pbResult);
  }
  return Finish(steps.Result());
}
