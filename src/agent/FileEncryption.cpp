// Enveloping a file for a recipient into an envelope file, and opening an
// envelope file into a plain-text file. Each parameter check names the
// parameter's position; input paths pass the gate as inputs, created files
// as outputs, so an existing output file is never overwritten.
//
// RSA envelope files go through the CryptoAPI streaming envelopes, SM2 ones
// through the SM2 engine, except that an SM2 envelope addressed to a key held
// in a CSP container is opened here: the CSP gives the session key and the
// content is streamed through SM4-CBC block by block.
//
// A file an operation creates is its own until the operation succeeds: any
// later failure removes it again, so a half-written envelope or plaintext
// never looks like a result.
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <source_location>
#include <string>

#include "agent/AgentHolders.h"
#include "agent/AgentRoutines.h"
#include "agent/CryptoAgent.h"
#include "agent/OperationScope.h"
#include "agent/SiteConsent.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/fs/PendingFile.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/Base64.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/TextUtility.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/envelope/RSADataEncryption.h"
#include "trace/Trace.h"
#include "winsvc/CertificateChecks.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/CryptoApiEnvelopes.h"

using agent::IsTypeName;
using agent::OperationScope;
using agent::Utf8Text;

namespace {

constexpr LPCWSTR kSource = u"FileEncryption";
constexpr int kInputFile = 0;
constexpr int kOutputFile = 1;

// The caller's type name alone picks the route; the file is not inspected.
constexpr std::initializer_list<LPCWSTR> kEnvelopeTypes = {u"SM2", u"RSA"};

constexpr HRESULT kDecryptionFailed = HRESULT_FROM_WIN32(ERROR_DECRYPTION_FAILED);
constexpr DWORD kKeyEncipherment = 0x20;
constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Ciphertext is read in these blocks; one block may also release the cipher
// block held back before it.
constexpr int BLOCK_SIZE = 16384;
constexpr int kDecryptedBlockSize = BLOCK_SIZE + 16;
constexpr DWORD kSessionKeySize = 16;
constexpr int kIVSize = 16;

// Names here are ASCII identifiers, so widening is a plain copy.
std::u16string Widen(LPCSTR text) { return std::u16string(text, text + std::strlen(text)); }

// Entry and exit records and step lines of an internal operation.
class Steps {
 public:
  explicit Steps(LPCSTR function)
      : m_helper(function),
        m_function(Widen(function)),
        m_trace(kTraceGuidAgent, kSource, m_function.c_str()) {}
  Steps(const Steps&) = delete;
  Steps& operator=(const Steps&) = delete;

  bool Check(LPCWSTR step, bool ok, HRESULT failure, LPCWSTR reason,
             std::source_location where = std::source_location::current()) {
    if (agent::TraceCheck(m_trace, step, ok, failure, reason, where)) return true;
    m_hResult = failure;
    return false;
  }
  // The code of the first failed check.
  HRESULT Result() const { return m_hResult; }

 private:
  TraceHelper m_helper;
  std::u16string m_function;
  StepTrace m_trace;
  HRESULT m_hResult = S_OK;
};

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* pCtx) const { EVP_CIPHER_CTX_free(pCtx); }
};
// Freeing the context also wipes the key schedule it holds.
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// An output file this operation creates: made new (an existing file is never
// opened, let alone truncated), mode 0600, out of sight until Keep() gives it
// its name, so that a failure (or a killed browser) leaves no partial
// plaintext under the name the page gave.
class CreatedFile {
 public:
  explicit CreatedFile(LPCWSTR lpwPath) : m_lpwPath(lpwPath) {}
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;

  // 0 or the creation's error.
  int Create() { return m_file.Create(m_lpwPath) ? 0 : static_cast<int>(GetLastError()); }
  FILE* get() const { return m_file.Stream(); }
  // Writes out what the stream still buffers and names the file; false (and
  // nothing named) when that fails.
  bool Keep() { return m_file.Commit() != FALSE; }

 private:
  LPCWSTR m_lpwPath;
  PendingFile m_file;
};

// Opens a file the operation reads; a failure is traced as `step`.
bool OpenForReading(Steps& steps, LPCWSTR step, LPCWSTR lpwPath, agent::UniqueFile& file,
                    LPCWSTR reason, std::source_location where = std::source_location::current()) {
  FILE* fp = nullptr;
  const int nResult = _wfopen_s(&fp, lpwPath, u"rb");
  file.reset(fp);
  return steps.Check(step, nResult == 0 && fp != nullptr, SIGIL_E_OPEN_FAILED, reason, where);
}

// Creates the operation's output file; a failure is traced as `step`.
bool CreateOutput(Steps& steps, LPCWSTR step, CreatedFile& file, LPCWSTR reason,
                  std::source_location where = std::source_location::current()) {
  const int nResult = file.Create();
  return steps.Check(step, nResult == 0 && file.get() != nullptr, SIGIL_E_OPEN_FAILED, reason,
                     where);
}

// Keeps a file the engine has finished writing; a failed close is a write
// fault.
HRESULT KeepOutput(Steps& steps, CreatedFile& output) {
  if (!steps.Check(u"fclose", output.Keep(), HRESULT_FROM_WIN32(ERROR_WRITE_FAULT),
                   u"0 != fclose(fpOutput)"))
    return steps.Result();
  return S_OK;
}

// SM2 envelope file of the source for the DER certificate, written by the
// engine into a file created for it.
HRESULT EncryptFileToSM2EnvelopeFile(Steps& steps, LPCWSTR lpwEncryptedFile, LPCWSTR lpwSourceFile,
                                     const BYTE* pbyCert, DWORD dwCertSize) {
  agent::UniqueFile fpSourceFile;
  CreatedFile fpEncryptedFile(lpwEncryptedFile);
  if (!OpenForReading(steps, u"Open source file", lpwSourceFile, fpSourceFile,
                      u"FAILED(hResult) || NULL == fpSourceFile") ||
      !CreateOutput(steps, u"Open encrypted file", fpEncryptedFile,
                    u"FAILED(hResult) || NULL == fpEncryptedFile"))
    return steps.Result();

  const int nResult = engine::EncryptFileToDerCMSEnvelope(
      fpEncryptedFile.get(), pbyCert, static_cast<int>(dwCertSize), fpSourceFile.get());
  if (!steps.Check(u"EncryptFileToDerCMSEnvelope", nResult == ORLO_OK,
                   agent::ResultFromEngine(nResult, ERROR_ENCRYPTION_FAILED),
                   u"ORLO_OK != nResult"))
    return steps.Result();
  return KeepOutput(steps, fpEncryptedFile);
}

// RSA envelope file of the source for one recipient; the CryptoAPI routine
// creates the file and removes it itself when it fails.
HRESULT EncryptFileToRSAEnvelopeFile(Steps& steps, LPCWSTR lpwEncryptedFile, LPCWSTR lpwSourceFile,
                                     PCCERT_CONTEXT pRecipientCert, LPCWSTR lpwEncryptAlg) {
  CERTIFICATE_SET vtrRecipientCerts;
  CertificateSetReleaser releaseRecipients(vtrRecipientCerts);
  PCCERT_CONTEXT pNewCertContext = CertDuplicateCertificateContext(pRecipientCert);
  if (!steps.Check(u"CertDuplicateCertificateContext", pNewCertContext != nullptr,
                   ResultFromLastError(GetLastError()), u"NULL == pNewCertContext"))
    return steps.Result();
  vtrRecipientCerts.push_back(pNewCertContext);

  const LPCSTR lpszEncryptAlgOID = agent::GetEncryptionAlgorithmOid(lpwEncryptAlg);
  if (!steps.Check(u"Check hash algorithm.", lpszEncryptAlgOID != nullptr, NTE_BAD_ALGID,
                   u"NULL == lpszEncryptAlgOID"))
    return steps.Result();

  const HRESULT hResult = EncryptPlaintextFiletoEnvelopeFile(lpwSourceFile, lpwEncryptedFile,
                                                             vtrRecipientCerts, lpszEncryptAlgOID);
  steps.Check(u"EncryptPlaintextFiletoEnvelopeFile", SUCCEEDED(hResult), hResult,
              u"FAILED(hResult)");
  return hResult;
}

// The recipient is the selected encryption certificate.
HRESULT EncryptFileCMSEnvelope(LPCWSTR lpwEncryptedFile, LPCWSTR lpwSourceFile,
                               LPCWSTR lpwEncryptAlg, BOOL bSM2, PCCERT_CONTEXT pEncryptCertContext,
                               PUNREGISTERED_CERT_CONTEXT pUnregisteredEncryptCertContext) {
  Steps steps("CCryptoAgent::EncryptFileCMSEnvelope");
  if (bSM2) {
    // The SM2 envelope's content cipher is always SM4-CBC: the name is not
    // looked at.
    const PCCERT_CONTEXT pCert =
        pUnregisteredEncryptCertContext ? pUnregisteredEncryptCertContext->pCertContext : nullptr;
    if (!steps.Check(u"Check SM2 certificate.", pCert != nullptr, SIGIL_E_CERT_NOT_READY,
                     u"NULL == m_pUnregisteredEncryptCertContext->pCertContext"))
      return steps.Result();
    return EncryptFileToSM2EnvelopeFile(steps, lpwEncryptedFile, lpwSourceFile,
                                        pCert->pbCertEncoded, pCert->cbCertEncoded);
  }
  if (!steps.Check(u"Check parameter(2).", lpwEncryptAlg != nullptr && wcslen(lpwEncryptAlg) != 0,
                   E_INVALIDARG, u"NULL == lpwEncryptAlg || 0 == wcslen(lpwEncryptAlg)"))
    return steps.Result();
  return EncryptFileToRSAEnvelopeFile(steps, lpwEncryptedFile, lpwSourceFile, pEncryptCertContext,
                                      lpwEncryptAlg);
}

// The recipient comes as Base64 text; its key decides the envelope kind,
// and the type name must agree with it.
HRESULT EncryptFileCMSEnvelope_ByCert(LPCWSTR lpwEncryptAlg, LPCWSTR lpwEncryptedFile,
                                      LPCWSTR lpwBase64CertContent, LPCWSTR lpwCertType,
                                      LPCWSTR lpwSourceFile) {
  Steps steps("CCryptoAgent::EncryptFileCMSEnvelope_ByCert");
  // Wiped as well, as a password would be.
  Utf8Text cert(/*secret=*/true);
  HRESULT hResult = cert.Convert(lpwBase64CertContent);
  if (!steps.Check(u"UTF16ToUTF8", SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
    return steps.Result();

  BYTE* pbyDer = nullptr;
  int nDerSize = 0;
  hResult =
      Base64DecodeEx(static_cast<int>(std::strlen(cert.Get())), cert.Get(), &pbyDer, &nDerSize);
  const std::unique_ptr<BYTE[]> pDer(pbyDer);
  if (!steps.Check(u"Base64DecodeEx", SUCCEEDED(hResult) && nDerSize > 0,
                   FAILED(hResult) ? hResult : SIGIL_E_BASE64_DECODE, u"FAILED(hResult)"))
    return steps.Result();

  DWORD dwCertType = 0;
  hResult = agent::GetCertificateType(cert.Get(), &dwCertType);
  if (!steps.Check(u"GetCertificateType", SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
    return steps.Result();

  if (dwCertType == agent::CERT_TYPE_SM2) {
    if (!steps.Check(u"Check certificate type.", IsTypeName(lpwCertType, u"SM2"),
                     SIGIL_E_INVALID_KEY_ALG, u"0 != _wcsicmp(lpwCertType, L\"SM2\")"))
      return steps.Result();
    // The engine refuses a certificate without keyEncipherment itself.
    return EncryptFileToSM2EnvelopeFile(steps, lpwEncryptedFile, lpwSourceFile, pDer.get(),
                                        static_cast<DWORD>(nDerSize));
  }

  if (!steps.Check(u"Check certificate type.",
                   dwCertType == agent::CERT_TYPE_RSA && IsTypeName(lpwCertType, u"RSA"),
                   SIGIL_E_INVALID_KEY_ALG, u"CERT_TYPE_RSA != dwCertType"))
    return steps.Result();
  const agent::UniqueCertContext pstNewCertificate(
      CertCreateCertificateContext(kCertEncoding, pDer.get(), static_cast<DWORD>(nDerSize)));
  if (!steps.Check(u"CertCreateCertificateContext", pstNewCertificate != nullptr,
                   ResultFromLastError(GetLastError()), u"pstNewCertificate == NULL"))
    return steps.Result();
  hResult = CheckCertKeyUsage(kKeyEncipherment, pstNewCertificate.get());
  if (!steps.Check(u"CheckCertKeyUsage", SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
    return steps.Result();
  return EncryptFileToRSAEnvelopeFile(steps, lpwEncryptedFile, lpwSourceFile,
                                      pstNewCertificate.get(), lpwEncryptAlg);
}

// Decrypts nLength bytes of ciphertext from the envelope's current position
// into the plaintext file, block by block, then the final block.
HRESULT StreamDecryptedContent(Steps& steps, EVP_CIPHER_CTX* pCtx, FILE* fpCMSEnvelope,
                               std::int64_t nLength, FILE* fpPlainTextFile) {
  const std::unique_ptr<BYTE[]> pbyEncryptedData(new (std::nothrow) BYTE[BLOCK_SIZE]());
  const agent::Secret<BYTE> decrypted =
      agent::TakeSecret(new (std::nothrow) BYTE[kDecryptedBlockSize](), kDecryptedBlockSize);
  if (!steps.Check(u"New buffer", pbyEncryptedData && decrypted.get(), E_OUTOFMEMORY,
                   u"!pbyEncryptedData || !pbyDecryptedData"))
    return steps.Result();

  const auto decryptAndWrite = [&](std::size_t nBytes) {
    int nDecryptedDataSize = 0;
    if (!steps.Check(u"EVP_DecryptUpdate",
                     1 == EVP_DecryptUpdate(pCtx, decrypted.get(), &nDecryptedDataSize,
                                            pbyEncryptedData.get(), static_cast<int>(nBytes)),
                     kDecryptionFailed, u"1 != nResult"))
      return false;
    const auto nToWrite = static_cast<std::size_t>(nDecryptedDataSize);
    return steps.Check(
        u"fwrite",
        nToWrite == 0 || std::fwrite(decrypted.get(), 1, nToWrite, fpPlainTextFile) == nToWrite,
        static_cast<HRESULT>(ORLO_FAILED), u"nBytesOfWrite != nDecryptedDataSize");
  };

  std::int64_t nRemaining = nLength;
  while (nRemaining >= BLOCK_SIZE) {
    const std::size_t nBytesOfRead =
        std::fread(pbyEncryptedData.get(), 1, BLOCK_SIZE, fpCMSEnvelope);
    if (!steps.Check(u"fread", BLOCK_SIZE == nBytesOfRead && !ferror(fpCMSEnvelope),
                     kDecryptionFailed, u"BLOCK_SIZE != nBytesOfRead || ferror(fpCMSEnvelope)"))
      return steps.Result();
    if (!decryptAndWrite(nBytesOfRead)) return steps.Result();
    nRemaining -= BLOCK_SIZE;
  }
  if (nRemaining > 0) {
    const auto nBytesToRead = static_cast<std::size_t>(nRemaining);
    const std::size_t nBytesOfRead =
        std::fread(pbyEncryptedData.get(), 1, nBytesToRead, fpCMSEnvelope);
    if (!steps.Check(u"fread", nBytesToRead == nBytesOfRead && !ferror(fpCMSEnvelope),
                     kDecryptionFailed, u"nBytesToRead != nBytesOfRead"))
      return steps.Result();
    if (!decryptAndWrite(nBytesOfRead)) return steps.Result();
  }

  int nFinalSize = 0;
  if (!steps.Check(u"EVP_DecryptFinal_ex",
                   1 == EVP_DecryptFinal_ex(pCtx, decrypted.get(), &nFinalSize), kDecryptionFailed,
                   u"1 != nResult"))
    return steps.Result();
  const auto nToWrite = static_cast<std::size_t>(nFinalSize);
  if (!steps.Check(
          u"fwrite",
          nToWrite == 0 || std::fwrite(decrypted.get(), 1, nToWrite, fpPlainTextFile) == nToWrite,
          static_cast<HRESULT>(ORLO_FAILED), u"nBytesOfWrite != nFinalSize"))
    return steps.Result();
  return S_OK;
}

// An SM2 envelope file for a key held in a CSP container: the CSP decrypts
// the session key, the content is decrypted here. Only the primitive
// encryptedContent the engine writes is read: its value is the ciphertext.
HRESULT DecryptSM2EnvelopeFiletoPlaintextFile(LPCWSTR lpwEncryptedFile, LPCWSTR lpwPlainTextFile) {
  Steps steps("CCryptoAgent::DecryptSM2EnvelopeFiletoPlaintextFile");
  agent::UniqueFile fpCMSEnvelope;
  CreatedFile fpPlainTextFile(lpwPlainTextFile);
  if (!OpenForReading(steps, u"Open encrypted file", lpwEncryptedFile, fpCMSEnvelope,
                      u"0 != nResult || NULL == fpCMSEnvelope") ||
      !CreateOutput(steps, u"Open plaintext file", fpPlainTextFile,
                    u"0 != nResult || NULL == fpPlainTextFile"))
    return steps.Result();

  BYTE *pbySubjectKeyID = nullptr, *pbyEncryptedKey = nullptr, *pbyIV = nullptr;
  int nSubjectKeyIDSize = 0, nEncryptedKeySize = 0, nIVSize = 0;
  char *pszKeyEncryptionAlgOid = nullptr, *pszContentEncryptionAlgOid = nullptr;
  NodeEx* pEncryptedContentNode = nullptr;
  const engine::CMSEnvelopeOutputs outputs{
      &pbySubjectKeyID,        &nSubjectKeyIDSize,          &pbyEncryptedKey, &nEncryptedKeySize,
      &pszKeyEncryptionAlgOid, &pszContentEncryptionAlgOid, &pbyIV,           &nIVSize};
  const int nResult =
      engine::Decode_CMSEnvelopeFile(fpCMSEnvelope.get(), outputs, &pEncryptedContentNode);
  const std::unique_ptr<BYTE[]> pSubjectKeyID(pbySubjectKeyID), pEncryptedKey(pbyEncryptedKey),
      pIV(pbyIV);
  const std::unique_ptr<char[]> pKeyAlgOid(pszKeyEncryptionAlgOid),
      pContentAlgOid(pszContentEncryptionAlgOid);
  const std::unique_ptr<NodeEx> pContentNode(pEncryptedContentNode);
  if (!steps.Check(u"Decode_CMSEnvelopeFile", nResult == ORLO_OK,
                   agent::ResultFromEngine(nResult, static_cast<DWORD>(SIGIL_E_INVALID_ENVELOPE)),
                   u"ORLO_OK != nResult"))
    return steps.Result();

  if (!steps.Check(u"Check(pszKeyEncryptionAlgOid)",
                   pKeyAlgOid && std::strcmp(pKeyAlgOid.get(), engine::kOidSM2Encrypt) == 0,
                   SIGIL_E_INVALID_ENVELOPE,
                   u"0 != strcmp(pszKeyEncryptionAlgOid, \"1.2.156.10197.1.301.3\")") ||
      !steps.Check(u"Check(pszContentEncryptionAlgOid)",
                   pContentAlgOid && std::strcmp(pContentAlgOid.get(), engine::kOidSM4CBC) == 0,
                   SIGIL_E_INVALID_ENVELOPE,
                   u"0 != strcmp(pszContentEncryptionAlgOid, \"1.2.156.10197.1.104\")"))
    return steps.Result();

  PUNREGISTERED_CERT_CONTEXT pRecipient = nullptr;
  HRESULT hResult = agent::GetRecipientUnregisteredCert(
      pSubjectKeyID.get(), static_cast<DWORD>(nSubjectKeyIDSize), &pRecipient);
  const agent::UniqueUnregistered recipient(pRecipient);
  if (!steps.Check(u"GetRecipientUnregisteredCert", SUCCEEDED(hResult) && recipient, hResult,
                   u"FAILED(hResult)"))
    return steps.Result();

  // Wiped whichever way this function is left.
  agent::SessionKey sessionKey;
  hResult = agent::DecryptSessionKeyByUnregisteredCert(
      recipient.get(), pEncryptedKey.get(), static_cast<DWORD>(nEncryptedKeySize), &sessionKey);
  // The generic failure goes on to the key check below, which names it.
  if (!steps.Check(u"DecryptSessionKeyByUnregisteredCert",
                   SUCCEEDED(hResult) || hResult == static_cast<HRESULT>(ORLO_FAILED), hResult,
                   u"FAILED(hResult)"))
    return steps.Result();
  const DWORD dwSessionKeySize = sessionKey ? sessionKey.get_deleter().dwSize : 0;
  if (!steps.Check(u"Check session key", sessionKey && dwSessionKeySize == kSessionKeySize,
                   kDecryptionFailed, u"NULL == pbySessionKey || 16 != dwSessionKeySize") ||
      !steps.Check(u"Check IV", pIV && nIVSize == kIVSize, SIGIL_E_INVALID_ENVELOPE,
                   u"16 != nIVSize"))
    return steps.Result();

  const EVP_CIPHER* pCipher = engine::GetEVPCipherbyNID();
  CipherCtx pCtx(pCipher ? EVP_CIPHER_CTX_new() : nullptr);
  const bool bInit =
      pCtx && 1 == EVP_DecryptInit_ex(pCtx.get(), pCipher, nullptr, sessionKey.get(), pIV.get());
  // The context holds its own key schedule from here on; the key itself is
  // no longer needed.
  sessionKey.reset();
  if (!steps.Check(u"EVP_DecryptInit_ex", bInit, kDecryptionFailed, u"1 != nResult"))
    return steps.Result();

  // The encryptedContent is a primitive node whose value is the ciphertext;
  // an indefinite length cannot be such a node.
  if (!steps.Check(
          u"Check encrypted content",
          pContentNode && pContentNode->nValueLength >= 0 && pContentNode->nValueOffset >= 0,
          SIGIL_E_INVALID_ENVELOPE, u"0 > nValueLength"))
    return steps.Result();
  if (!steps.Check(u"_fseeki64",
                   0 == _fseeki64(fpCMSEnvelope.get(), pContentNode->nValueOffset, SEEK_SET),
                   kDecryptionFailed, u"0 != _fseeki64(fpCMSEnvelope, nValueOffset, SEEK_SET)"))
    return steps.Result();

  hResult = StreamDecryptedContent(steps, pCtx.get(), fpCMSEnvelope.get(),
                                   pContentNode->nValueLength, fpPlainTextFile.get());
  if (FAILED(hResult)) return hResult;
  return KeepOutput(steps, fpPlainTextFile);
}

// An RSA envelope file opened with the keys of the given store.
HRESULT DecryptRSAEnvelopeFile(Steps& steps, LPCWSTR lpwEncryptedFile, LPCWSTR lpwPlainTextFile,
                               HCERTSTORE hCertStore) {
  const CERTSTORE_SET vtrDecryptCertStoreSet = {hCertStore};
  if (!steps.Check(u"Check certificate store", !vtrDecryptCertStoreSet.empty(),
                   SIGIL_E_CERT_NOT_READY, u"vtrDecryptCertStoreSet.empty()"))
    return steps.Result();
  const HRESULT hResult = DecryptEnvelopeFiletoPlaintextFile(lpwEncryptedFile, lpwPlainTextFile,
                                                             vtrDecryptCertStoreSet);
  steps.Check(u"DecryptEnvelopeFiletoPlaintextFile", SUCCEEDED(hResult), hResult,
              u"FAILED(hResult)");
  return hResult;
}

HRESULT DecryptFileCMSEnvelope(LPCWSTR lpwPlainTextFile, LPCWSTR lpwEnvelopeType,
                               LPCWSTR lpwEncryptedFile) {
  Steps steps("CCryptoAgent::DecryptFileCMSEnvelope");
  if (IsTypeName(lpwEnvelopeType, u"SM2"))
    return DecryptSM2EnvelopeFiletoPlaintextFile(lpwEncryptedFile, lpwPlainTextFile);
  if (!steps.Check(u"Check(lpwEnvelopeType)", IsTypeName(lpwEnvelopeType, u"RSA"), E_INVALIDARG,
                   u"TRUE"))
    return steps.Result();

  const HCERTSTORE hCertStore = agent::OpenCurrentUserMyStore();
  const StoreCloser closeStore(hCertStore);
  if (!steps.Check(u"CertOpenStore", hCertStore != nullptr, ResultFromLastError(GetLastError()),
                   u"hCertStore == NULL"))
    return steps.Result();
  return DecryptRSAEnvelopeFile(steps, lpwEncryptedFile, lpwPlainTextFile, hCertStore);
}

HRESULT DecryptFileCMSEnvelope_BySoftCert(LPCWSTR lpwEncryptedFile, LPCWSTR lpwPlainTextFile,
                                          LPCWSTR lpwSoftCertFileName, LPCWSTR lpwSoftCertPassword,
                                          LPCWSTR lpwEnvelopeType) {
  Steps steps("CCryptoAgent::DecryptFileCMSEnvelope_BySoftCert");
  if (IsTypeName(lpwEnvelopeType, u"SM2")) {
    agent::UniqueFile fpSMFileCert;
    agent::UniqueFile fpEncryptedFile;
    CreatedFile fpPlainTextFile(lpwPlainTextFile);
    if (!OpenForReading(steps, u"Open soft certificate file", lpwSoftCertFileName, fpSMFileCert,
                        u"0 != nResult || NULL == fpSMFileCert") ||
        !OpenForReading(steps, u"Open encrypted file", lpwEncryptedFile, fpEncryptedFile,
                        u"0 != nResult || NULL == fpEncryptedFile") ||
        !CreateOutput(steps, u"Open plaintext file", fpPlainTextFile,
                      u"0 != nResult || NULL == fpPlainTextFile"))
      return steps.Result();

    Utf8Text password(/*secret=*/true);
    const HRESULT hResult = password.Convert(lpwSoftCertPassword);
    if (!steps.Check(u"UTF16ToUTF8", SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
      return steps.Result();
    const int nResult = engine::DecryptDerCMSEnvelopeFile(
        password.Get(), fpPlainTextFile.get(), fpEncryptedFile.get(), fpSMFileCert.get());
    if (!steps.Check(u"DecryptDerCMSEnvelopeFile", nResult == ORLO_OK,
                     agent::ResultFromEngine(nResult, ERROR_DECRYPTION_FAILED),
                     u"ORLO_OK != nResult"))
      return steps.Result();
    return KeepOutput(steps, fpPlainTextFile);
  }

  if (!steps.Check(u"Check(lpwEnvelopeType)", IsTypeName(lpwEnvelopeType, u"RSA"), E_INVALIDARG,
                   u"TRUE"))
    return steps.Result();
  BYTE* pbyPFX = nullptr;
  DWORD dwPFXSize = 0;
  HRESULT hResult = ReadFileSimple(lpwSoftCertFileName, &pbyPFX, &dwPFXSize);
  const agent::Secret<BYTE> pfx = agent::TakeSecret(pbyPFX, dwPFXSize);
  if (!steps.Check(u"ReadFileSimple", SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
    return steps.Result();
  const CRYPT_DATA_BLOB blob{dwPFXSize, pfx.get()};
  const HCERTSTORE hCertStore = PFXImportCertStore(&blob, lpwSoftCertPassword, CRYPT_USER_KEYSET);
  const StoreCloser closeStore(hCertStore);
  if (!steps.Check(u"PFXImportCertStore", hCertStore != nullptr,
                   ResultFromLastError(GetLastError()), u"hCertStore == NULL"))
    return steps.Result();
  return DecryptRSAEnvelopeFile(steps, lpwEncryptedFile, lpwPlainTextFile, hCertStore);
}

// The public operations end here: the work's result is traced as a step of
// the operation, and success is reported to the page as VARIANT_TRUE.
HRESULT Settle(OperationScope& op, LPCWSTR step, HRESULT hResult, VARIANT_BOOL* pbResult) {
  if (!agent::TraceCheck(op.Trace(), step, SUCCEEDED(hResult), hResult, u"FAILED(hResult)"))
    return hResult;
  if (pbResult) *pbResult = VARIANT_TRUE;
  return S_OK;
}

}  // namespace

// The algorithm name matters only to an RSA recipient and is checked there.
HRESULT CCryptoAgent::EncryptFileCMSEnvelopeEx(LPCWSTR bstrSourceFile, LPCWSTR bstrEncryptAlg,
                                               LPCWSTR bstrEncryptedFile, VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"EncryptFileCMSEnvelopeEx", agent::kAsksKeysAndFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::EncryptFileCMSEnvelopeEx", pbResult,
                    {{"bstrSourceFile", bstrSourceFile},
                     {"bstrEncryptAlg", bstrEncryptAlg},
                     {"bstrEncryptedFile", bstrEncryptedFile}});
  if (!op.RequireText({"bstrSourceFile", bstrSourceFile}, u"Check parameter(1).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(3).") ||
      !op.RequireEncryptCertificate(m_pEncryptCertContext, m_pUnregisteredEncryptCertContext,
                                    u"Establish certificate preparedness.") ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile) ||
      !op.RequireSafePath(bstrEncryptedFile, kOutputFile))
    return Finish(op.Result());
  const HRESULT hResult =
      EncryptFileCMSEnvelope(bstrEncryptedFile, bstrSourceFile, bstrEncryptAlg, m_bSM2EncryptCert,
                             m_pEncryptCertContext, m_pUnregisteredEncryptCertContext);
  return Finish(Settle(op, u"EncryptFileCMSEnvelope", hResult, pbResult));
}

HRESULT CCryptoAgent::EncryptFileCMSEnvelopeEx_ByCert(LPCWSTR bstrBase64CertContent,
                                                      LPCWSTR bstrCertType, LPCWSTR bstrSourceFile,
                                                      LPCWSTR bstrEncryptAlg,
                                                      LPCWSTR bstrEncryptedFile,
                                                      VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"EncryptFileCMSEnvelopeEx_ByCert", agent::kAsksFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::EncryptFileCMSEnvelopeEx_ByCert", pbResult,
                    {{"bstrBase64CertContent", bstrBase64CertContent},
                     {"bstrCertType", bstrCertType},
                     {"bstrSourceFile", bstrSourceFile},
                     {"bstrEncryptAlg", bstrEncryptAlg},
                     {"bstrEncryptedFile", bstrEncryptedFile}});
  if (!op.RequireText({"bstrBase64CertContent", bstrBase64CertContent}, u"Check parameter(1).") ||
      !op.RequireText({"bstrCertType", bstrCertType}, u"Check parameter(2).") ||
      !op.RequireText({"bstrSourceFile", bstrSourceFile}, u"Check parameter(3).") ||
      !op.RequireText({"bstrEncryptAlg", bstrEncryptAlg}, u"Check parameter(4).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(5).") ||
      !op.RequireExistingFile(bstrSourceFile) || !op.RequireSafePath(bstrSourceFile, kInputFile) ||
      !op.RequireSafePath(bstrEncryptedFile, kOutputFile))
    return Finish(op.Result());
  const HRESULT hResult = EncryptFileCMSEnvelope_ByCert(
      bstrEncryptAlg, bstrEncryptedFile, bstrBase64CertContent, bstrCertType, bstrSourceFile);
  return Finish(Settle(op, u"EncryptFileCMSEnvelope_ByCert", hResult, pbResult));
}

HRESULT CCryptoAgent::DecryptFileCMSEnvelopeEx(LPCWSTR bstrEncryptedFile, LPCWSTR bstrEnvelopeType,
                                               LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"DecryptFileCMSEnvelopeEx", agent::kAsksKeysAndFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::DecryptFileCMSEnvelopeEx", pbResult,
                    {{"bstrEncryptedFile", bstrEncryptedFile},
                     {"bstrEnvelopeType", bstrEnvelopeType},
                     {"bstrPlainTextFile", bstrPlainTextFile}});
  if (!op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(1).") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter(2).") ||
      !op.RequireText({"bstrPlainTextFile", bstrPlainTextFile}, u"Check parameter(3).") ||
      !op.RequireSafePath(bstrEncryptedFile, kInputFile) ||
      !op.RequireSafePath(bstrPlainTextFile, kOutputFile) ||
      !op.RequireOneOf(bstrEnvelopeType, kEnvelopeTypes, u"Check(lpwEnvelopeType)"))
    return Finish(op.Result());
  const HRESULT hResult =
      DecryptFileCMSEnvelope(bstrPlainTextFile, bstrEnvelopeType, bstrEncryptedFile);
  return Finish(Settle(op, u"DecryptFileCMSEnvelope", hResult, pbResult));
}

HRESULT CCryptoAgent::DecryptFileCMSEnvelopeEx_BySoftCert(
    LPCWSTR bstrSoftCertFileName, LPCWSTR bstrSoftCertPassword, LPCWSTR bstrEncryptedFile,
    LPCWSTR bstrEnvelopeType, LPCWSTR bstrPlainTextFile, VARIANT_BOOL* pbResult) {
  if (RefusedToPage(u"DecryptFileCMSEnvelopeEx_BySoftCert", agent::kAsksKeysAndFiles, pbResult)) return m_hLastResult;
  OperationScope op(kSource, "CCryptoAgent::DecryptFileCMSEnvelopeEx_BySoftCert", pbResult,
                    {{"bstrSoftCertFileName", bstrSoftCertFileName},
                     {"bstrSoftCertPassword", bstrSoftCertPassword},
                     {"bstrEncryptedFile", bstrEncryptedFile},
                     {"bstrEnvelopeType", bstrEnvelopeType},
                     {"bstrPlainTextFile", bstrPlainTextFile}});
  if (!op.RequireText({"bstrSoftCertFileName", bstrSoftCertFileName}, u"Check parameter(1).") ||
      !op.RequireText({"bstrSoftCertPassword", bstrSoftCertPassword}, u"Check parameter(2).") ||
      !op.RequireText({"bstrEncryptedFile", bstrEncryptedFile}, u"Check parameter(3).") ||
      !op.RequireText({"bstrEnvelopeType", bstrEnvelopeType}, u"Check parameter(4).") ||
      !op.RequireText({"bstrPlainTextFile", bstrPlainTextFile}, u"Check parameter(5).") ||
      !op.RequireSoftCertFile(bstrSoftCertFileName) ||
      !op.RequireSafePath(bstrEncryptedFile, kInputFile) ||
      !op.RequireSafePath(bstrPlainTextFile, kOutputFile) ||
      !op.RequireOneOf(bstrEnvelopeType, kEnvelopeTypes, u"Check(lpwEnvelopeType)"))
    return Finish(op.Result());
  const agent::PasswordTry attempt(Site(), bstrSoftCertFileName);
  if (!op.RequirePasswordTry(attempt)) return Finish(op.Result());
  const HRESULT hResult = attempt.Judge(
      DecryptFileCMSEnvelope_BySoftCert(bstrEncryptedFile, bstrPlainTextFile, bstrSoftCertFileName,
                                        bstrSoftCertPassword, bstrEnvelopeType));
  return Finish(Settle(op, u"DecryptFileCMSEnvelope_BySoftCert", hResult, pbResult));
}
