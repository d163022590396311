// Files enveloped through a streamed CryptoAPI message: the plaintext goes
// in 4 MiB blocks, the encoding comes out through the stream callback
// straight into the new envelope file.
#include <openssl/crypto.h>

#include <cstring>
#include <memory>
#include <new>

#include "foundation/Unique.h"
#include "platform/base/CryptErrors.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "trace/Trace.h"
#include "winsvc/CertificateInfo.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiEnvelopeFile";
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr HRESULT kMissingArgument = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);

using UniqueMsg = foundation::Unique<void, CryptMsgClose>;

// The recipient descriptions of one envelope, freed together.
class RecipientDescriptions {
 public:
  explicit RecipientDescriptions(std::size_t count) : m_count(count) {}
  ~RecipientDescriptions() {
    for (std::size_t i = 0; m_owned && i < m_count; ++i) RelaseCMSRecipientInfo(m_owned[i]);
  }
  RecipientDescriptions(const RecipientDescriptions&) = delete;
  RecipientDescriptions& operator=(const RecipientDescriptions&) = delete;

  bool Allocate() {
    m_owned.reset(new (std::nothrow) PCMSG_RECIPIENT_ENCODE_INFO[m_count]());
    m_array.reset(new (std::nothrow) CMSG_RECIPIENT_ENCODE_INFO[m_count]());
    return m_owned && m_array;
  }
  PCMSG_RECIPIENT_ENCODE_INFO* Slot(std::size_t i) { return &m_owned[i]; }
  // The message takes the descriptions as one contiguous array.
  PCMSG_RECIPIENT_ENCODE_INFO Array() {
    for (std::size_t i = 0; i < m_count; ++i) m_array[i] = *m_owned[i];
    return m_array.get();
  }

 private:
  std::size_t m_count;
  std::unique_ptr<PCMSG_RECIPIENT_ENCODE_INFO[]> m_owned;
  std::unique_ptr<CMSG_RECIPIENT_ENCODE_INFO[]> m_array;
};

// Wipes the plaintext block it owns before giving it back.
class WipedBlock {
 public:
  explicit WipedBlock(std::size_t size) : m_size(size), m_data(new (std::nothrow) BYTE[size]) {}
  ~WipedBlock() {
    if (m_data) OPENSSL_cleanse(m_data.get(), m_size);
  }
  WipedBlock(const WipedBlock&) = delete;
  WipedBlock& operator=(const WipedBlock&) = delete;
  BYTE* get() const { return m_data.get(); }

 private:
  std::size_t m_size;
  std::unique_ptr<BYTE[]> m_data;
};

LPSTR ContentAlgorithm(LPCSTR lpszEncryptAlgOID) {
  if (lpszEncryptAlgOID == nullptr) return nullptr;
  if (std::strcmp(lpszEncryptAlgOID, szOID_RSA_RC4) == 0) return const_cast<LPSTR>(szOID_RSA_RC4);
  if (std::strcmp(lpszEncryptAlgOID, szOID_RSA_DES_EDE3_CBC) == 0)
    return const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC);
  return nullptr;
}

}  // namespace

HRESULT InputFile::Open(StepTrace& trace, LPCWSTR step, LPCWSTR lpwPath) {
  trace.Step(step);
  SetLastError(ERROR_SUCCESS);
  HANDLE hFile = CreateFileW(lpwPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE)
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hFile");
  m_hFile.reset(hFile);

  trace.Step(u"GetFileSizeEx");
  LARGE_INTEGER liSize{};
  if (!GetFileSizeEx(m_hFile.get(), &liSize) || liSize.QuadPart < 0)
    return trace.Failed(FailureFromLastError(), u"FALSE == GetFileSizeEx");
  m_ullSize = static_cast<ULONGLONG>(liSize.QuadPart);
  m_ullRead = 0;
  return S_OK;
}

HRESULT InputFile::ReadBlock(StepTrace& trace, BYTE* pbyBlock, DWORD* pcbRead) {
  const ULONGLONG ullLeft = m_ullSize - m_ullRead;
  const DWORD cbWanted =
      ullLeft < ENVELOPE_FILE_BLOCK ? static_cast<DWORD>(ullLeft) : ENVELOPE_FILE_BLOCK;
  trace.Step(u"ReadFile");
  DWORD cbRead = 0;
  SetLastError(ERROR_SUCCESS);
  if (!ReadFile(m_hFile.get(), pbyBlock, cbWanted, &cbRead, nullptr))
    return trace.Failed(FailureFromLastError(), u"FALSE == ReadFile");
  if (cbRead == 0) return trace.Failed(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), u"0 == dwReadBytes");
  m_ullRead += cbRead;
  *pcbRead = cbRead;
  return S_OK;
}

NewOutputFile::~NewOutputFile() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  LastErrorKeeper keeper;
  CloseHandle(m_hFile);
  DeleteFileW(m_lpwPath);
}

BOOL NewOutputFile::Create(LPCWSTR lpwPath) {
  HANDLE hFile = CreateFileW(lpwPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return FALSE;
  m_lpwPath = lpwPath;
  m_hFile = hFile;
  return TRUE;
}

CMSG_STREAM_INFO NewOutputFile::StreamInfo() const {
  CMSG_STREAM_INFO streamInfo{};
  streamInfo.cbContent = CMSG_INDEFINITE_LENGTH;
  streamInfo.pfnStreamOutput = CmsgStreamOutputCallback;
  streamInfo.pvArg = m_hFile;
  return streamInfo;
}

BOOL NewOutputFile::Keep() {
  HANDLE hFile = m_hFile;
  m_hFile = INVALID_HANDLE_VALUE;
  if (CloseHandle(hFile)) return TRUE;
  LastErrorKeeper keeper;
  DeleteFileW(m_lpwPath);
  return FALSE;
}

BOOL CmsgStreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL /*fFinal*/) {
  HANDLE hFile = const_cast<void*>(pvArg);
  if (hFile == nullptr || hFile == INVALID_HANDLE_VALUE) return FALSE;
  if (pbData == nullptr || cbData == 0) return TRUE;
  DWORD cbWritten = 0;
  if (WriteFile(hFile, pbData, cbData, &cbWritten, nullptr) && cbWritten == cbData) return TRUE;
  if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_WRITE_FAULT);
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CmsgStreamOutputCallback");
  trace.Step(u"WriteFile");
  trace.Failed(FailureFromLastError(), u"FALSE == WriteFile");
  return FALSE;
}

HRESULT ProcessPlaintextFile(HCRYPTMSG hMsg, LPCWSTR lpwPlaintextFile) {
  TraceHelper helper("ProcessPlaintextFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"ProcessPlaintextFile");
  TraceValue(kTraceGuidWinsvc, "lpwPlaintextFile", lpwPlaintextFile);
  trace.Step(u"Verify if the paramters are available");
  if (hMsg == nullptr || lpwPlaintextFile == nullptr)
    trace.Failed(kMissingArgument, u"NULL == hMsg || NULL == lpwPlaintextFile");

  InputFile file;
  HRESULT hResult = file.Open(trace, u"CreateFile --Plaintext", lpwPlaintextFile);
  if (FAILED(hResult)) return hResult;

  trace.Step(u"New Memory");
  WipedBlock block(ENVELOPE_FILE_BLOCK);
  if (block.get() == nullptr) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyBuffer");

  // An empty file still needs its one final update, or the message would
  // never write the envelope's end.
  if (file.Size() == 0) {
    trace.Step(u"CryptMsgUpdate");
    SetLastError(ERROR_SUCCESS);
    if (!CryptMsgUpdate(hMsg, block.get(), 0, TRUE))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgUpdate");
    trace.Passed();
    return S_OK;
  }

  while (!file.AtEnd()) {
    std::memset(block.get(), 0, ENVELOPE_FILE_BLOCK);
    DWORD cbRead = 0;
    hResult = file.ReadBlock(trace, block.get(), &cbRead);
    if (FAILED(hResult)) return hResult;

    trace.Step(u"CryptMsgUpdate");
    SetLastError(ERROR_SUCCESS);
    if (!CryptMsgUpdate(hMsg, block.get(), cbRead, file.AtEnd() ? TRUE : FALSE))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgUpdate");
  }
  trace.Passed();
  return S_OK;
}

HRESULT EncryptPlaintextFiletoEnvelopeFile(LPCWSTR lpwPlaintextFile, LPCWSTR lpwEnvelopeFile,
                                           const CERTIFICATE_SET& vtrRecipientCerts,
                                           LPCSTR lpszEncryptAlgOID) {
  TraceHelper helper("EncryptPlaintextFiletoEnvelopeFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"EncryptPlaintextFiletoEnvelopeFile");
  TraceValue(kTraceGuidWinsvc, "lpwPlaintextFile", lpwPlaintextFile);
  TraceValue(kTraceGuidWinsvc, "lpwEnvelopeFile", lpwEnvelopeFile);
  TraceValue(kTraceGuidWinsvc, "lpszEncryptAlgOID", lpszEncryptAlgOID);
  trace.Step(u"Verify if the paramters are available");
  if (lpwPlaintextFile == nullptr || lpwEnvelopeFile == nullptr || vtrRecipientCerts.empty() ||
      lpszEncryptAlgOID == nullptr)
    trace.Failed(kMissingArgument, u"NULL == file || empty recipients || NULL == OID");

  trace.Step(u"Get content encryption algorithm");
  LPSTR pszContentAlg = ContentAlgorithm(lpszEncryptAlgOID);
  if (pszContentAlg == nullptr)
    trace.Failed(NTE_BAD_ALGID, u"unknown content encryption algorithm");

  for (PCCERT_CONTEXT pCertContext : vtrRecipientCerts) {
    trace.Step(u"Verify if the certificate has subject key identifier");
    if (FAILED(GetCertSubjectKeyID(pCertContext, nullptr, nullptr)))
      return trace.Failed(SIGIL_E_NO_SUBJECT_KEY_ID,
                          u"Specified certificate doesn't contain subject key ID attribute.");
  }

  trace.Step(u"New Memory -Recipient Info");
  RecipientDescriptions recipients(vtrRecipientCerts.size());
  if (!recipients.Allocate()) return trace.Failed(E_OUTOFMEMORY, u"NULL == rgRecipients");
  for (std::size_t i = 0; i < vtrRecipientCerts.size(); ++i) {
    trace.Step(u"GetCMSRecipientsInfo");
    const HRESULT hResult = GetCMSRecipientsInfo(recipients.Slot(i), vtrRecipientCerts[i]);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");
  }

  CMSG_ENVELOPED_ENCODE_INFO envelopeInfo{};
  envelopeInfo.cbSize = sizeof(CMSG_ENVELOPED_ENCODE_INFO);
  envelopeInfo.hCryptProv = 0;
  envelopeInfo.ContentEncryptionAlgorithm.pszObjId = pszContentAlg;
  envelopeInfo.pvEncryptionAuxInfo = nullptr;
  envelopeInfo.cRecipients = static_cast<DWORD>(vtrRecipientCerts.size());
  envelopeInfo.rgpRecipients = nullptr;
  envelopeInfo.rgCmsRecipients = vtrRecipientCerts.empty() ? nullptr : recipients.Array();

  trace.Step(u"CreateFile --Envelope");
  NewOutputFile envelopeFile;
  SetLastError(ERROR_SUCCESS);
  if (!envelopeFile.Create(lpwEnvelopeFile))
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hEnvelopeFile");

  CMSG_STREAM_INFO streamInfo = envelopeFile.StreamInfo();

  trace.Step(u"CryptMsgOpenToEncode");
  SetLastError(ERROR_SUCCESS);
  UniqueMsg hMsg(
      CryptMsgOpenToEncode(kMsgEncoding, 0, CMSG_ENVELOPED, &envelopeInfo, nullptr, &streamInfo));
  if (!hMsg) return trace.Failed(FailureFromLastError(), u"NULL == hMsg");

  trace.Step(u"ProcessPlaintextFile");
  const HRESULT hResult = ProcessPlaintextFile(hMsg.get(), lpwPlaintextFile);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");

  // The message goes before the file it writes to.
  hMsg.reset();
  trace.Step(u"CloseHandle --Envelope");
  SetLastError(ERROR_SUCCESS);
  if (!envelopeFile.Keep()) return trace.Failed(FailureFromLastError(), u"FALSE == CloseHandle");
  trace.Passed();
  return S_OK;
}
