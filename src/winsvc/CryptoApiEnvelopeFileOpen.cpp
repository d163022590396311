// Envelope files opened through a streamed CryptoAPI message: the envelope
// goes in 4 MiB blocks, the recipient is chosen once the recipient list has
// been decoded, and the content comes out through the stream callback
// straight into the new plaintext file.
#include <memory>
#include <new>

#include "foundation/Unique.h"
#include "platform/base/CryptErrors.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiEnvelopeFileOpen";
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr HRESULT kMissingArgument = static_cast<HRESULT>(ERROR_INVALID_PARAMETER);
// Update size while the envelope's header is still being read.
constexpr DWORD kHeaderSlice = 0x10000;

using UniqueMsg = foundation::Unique<void, CryptMsgClose>;

// The recipient chosen to open the message: its certificate and the
// provider holding its private key, released together.
class ChosenRecipient {
 public:
  ChosenRecipient() = default;
  ~ChosenRecipient() {
    if (m_hCryptProv != 0) CryptReleaseContext(m_hCryptProv, 0);
    if (m_pCertContext != nullptr) CertFreeCertificateContext(m_pCertContext);
  }
  ChosenRecipient(const ChosenRecipient&) = delete;
  ChosenRecipient& operator=(const ChosenRecipient&) = delete;

  bool chosen() const { return m_hCryptProv != 0; }
  HCRYPTPROV provider() const { return m_hCryptProv; }
  DWORD keySpec() const { return m_dwKeySpec; }
  DWORD index() const { return m_dwIndex; }
  void Take(PCCERT_CONTEXT pCertContext, HCRYPTPROV hCryptProv, DWORD dwKeySpec, DWORD dwIndex) {
    m_pCertContext = pCertContext;
    m_hCryptProv = hCryptProv;
    m_dwKeySpec = dwKeySpec;
    m_dwIndex = dwIndex;
  }

 private:
  PCCERT_CONTEXT m_pCertContext = nullptr;
  HCRYPTPROV m_hCryptProv = 0;
  DWORD m_dwKeySpec = 0;
  DWORD m_dwIndex = 0;
};

// Walks the recipient list in order and takes the first one with a usable
// key in the stores; CRYPT_E_NO_DECRYPT_CERT when none has one.
HRESULT ChooseRecipient(StepTrace& trace, HCRYPTMSG hMsg, const CERTSTORE_SET& vtrCertStores,
                        ChosenRecipient& chosen) {
  trace.Step(u"CryptMsgGetParam -CMSG_RECIPIENT_COUNT_PARAM");
  DWORD dwRecipients = 0;
  DWORD cbRecipients = sizeof dwRecipients;
  SetLastError(ERROR_SUCCESS);
  if (!CryptMsgGetParam(hMsg, CMSG_RECIPIENT_COUNT_PARAM, 0, &dwRecipients, &cbRecipients))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");

  for (DWORD dwIndex = 0; dwIndex < dwRecipients; ++dwIndex) {
    trace.Step(u"CryptMsgGetParam -CMSG_CMS_RECIPIENT_INFO_PARAM");
    DWORD cbInfo = 0;
    SetLastError(ERROR_SUCCESS);
    if (!CryptMsgGetParam(hMsg, CMSG_CMS_RECIPIENT_INFO_PARAM, dwIndex, nullptr, &cbInfo))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");
    trace.Step(u"New Memory");
    // Storage aligned for the structure the platform lays out in it.
    const std::size_t cWords =
        (std::size_t{cbInfo} + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    std::unique_ptr<std::max_align_t[]> pInfo(new (std::nothrow) std::max_align_t[cWords + 1]());
    if (!pInfo) return trace.Failed(E_OUTOFMEMORY, u"NULL == pRecipientInfo");
    trace.Step(u"CryptMsgGetParam -CMSG_CMS_RECIPIENT_INFO_PARAM");
    SetLastError(ERROR_SUCCESS);
    if (!CryptMsgGetParam(hMsg, CMSG_CMS_RECIPIENT_INFO_PARAM, dwIndex, pInfo.get(), &cbInfo))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgGetParam");

    trace.Step(u"GetCertofRecipient");
    PCCERT_CONTEXT pCertContext = nullptr;
    HCRYPTPROV hCryptProv = 0;
    DWORD dwKeySpec = 0;
    const HRESULT hResult =
        GetCertofRecipient(vtrCertStores, reinterpret_cast<PCMSG_CMS_RECIPIENT_INFO>(pInfo.get()),
                           &pCertContext, &hCryptProv, &dwKeySpec);
    if (SUCCEEDED(hResult)) {
      chosen.Take(pCertContext, hCryptProv, dwKeySpec, dwIndex);
      trace.Passed();
      return S_OK;
    }
  }
  return trace.Failed(CRYPT_E_NO_DECRYPT_CERT, u"no recipient with a usable private key");
}

}  // namespace

HRESULT ProcessEnvelopeFile(HCRYPTMSG hMsg, LPCWSTR lpwEnvelopeFile,
                            const CERTSTORE_SET& vtrCertStores) {
  TraceHelper helper("ProcessEnvelopeFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"ProcessEnvelopeFile");
  TraceValue(kTraceGuidWinsvc, "lpwEnvelopeFile", lpwEnvelopeFile);
  trace.Step(u"Verify if the paramters are available");
  if (hMsg == nullptr || lpwEnvelopeFile == nullptr || vtrCertStores.empty())
    trace.Failed(kMissingArgument, u"NULL == hMsg || NULL == lpwEnvelopeFile || empty stores");

  InputFile file;
  const HRESULT hOpened = file.Open(trace, u"CreateFile --Envelope", lpwEnvelopeFile);
  if (FAILED(hOpened)) return hOpened;

  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyBuffer(new (std::nothrow) BYTE[ENVELOPE_FILE_BLOCK]);
  if (!pbyBuffer) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyBuffer");

  ChosenRecipient recipient;
  bool bDecrypting = false;
  // Until the recipient list has been decoded the envelope is incomplete.
  HRESULT hResult = CRYPT_E_STREAM_MSG_NOT_READY;
  while (!file.AtEnd()) {
    DWORD cbRead = 0;
    const HRESULT hRead = file.ReadBlock(trace, pbyBuffer.get(), &cbRead);
    if (FAILED(hRead)) return hRead;

    const BOOL fFinal = file.AtEnd() ? TRUE : FALSE;
    const BYTE* pbyNext = pbyBuffer.get();
    DWORD cbLeft = cbRead;
    while (cbLeft != 0) {
      // Until decryption is set the message has to hold on to every byte of
      // content it is given, so the header is fed in small slices and the
      // recipient chosen as soon as it is complete; after that whole blocks
      // go through at once.
      const DWORD cbSlice = bDecrypting || cbLeft < kHeaderSlice ? cbLeft : kHeaderSlice;
      cbLeft -= cbSlice;
      trace.Step(u"CryptMsgUpdate");
      SetLastError(ERROR_SUCCESS);
      if (!CryptMsgUpdate(hMsg, pbyNext, cbSlice, fFinal && cbLeft == 0 ? TRUE : FALSE))
        return trace.Failed(FailureFromLastError(), u"FALSE == CryptMsgUpdate");
      pbyNext += cbSlice;
      if (bDecrypting) continue;

      trace.Step(u"CryptMsgGetParam -CMSG_ENVELOPE_ALGORITHM_PARAM");
      DWORD cbAlgorithm = 0;
      SetLastError(ERROR_SUCCESS);
      if (!CryptMsgGetParam(hMsg, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cbAlgorithm)) {
        hResult = FailureFromLastError();
        if (hResult == CRYPT_E_STREAM_MSG_NOT_READY) continue;
        return trace.Failed(hResult, u"FALSE == CryptMsgGetParam");
      }

      hResult = ChooseRecipient(trace, hMsg, vtrCertStores, recipient);
      if (FAILED(hResult)) return hResult;

      CMSG_CTRL_DECRYPT_PARA decryptPara{};
      decryptPara.cbSize = sizeof(CMSG_CTRL_DECRYPT_PARA);
      decryptPara.hCryptProv = recipient.provider();
      decryptPara.dwKeySpec = recipient.keySpec();
      decryptPara.dwRecipientIndex = recipient.index();
      trace.Step(u"CryptMsgControl");
      SetLastError(ERROR_SUCCESS);
      if (!CryptMsgControl(hMsg, 0, CMSG_CTRL_DECRYPT, &decryptPara)) {
        hResult = FailureFromLastError();
        if (hResult != CRYPT_E_ALREADY_DECRYPTED)
          return trace.Failed(hResult, u"FALSE == CryptMsgControl");
      }
      hResult = S_OK;
      bDecrypting = true;
    }
  }
  if (FAILED(hResult)) return trace.Failed(hResult, u"recipient list never complete");
  trace.Passed();
  return S_OK;
}

HRESULT DecryptEnvelopeFiletoPlaintextFile(LPCWSTR lpwEnvelopeFile, LPCWSTR lpwPlaintextFile,
                                           const CERTSTORE_SET& vtrCertStores) {
  TraceHelper helper("DecryptEnvelopeFiletoPlaintextFile");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"DecryptEnvelopeFiletoPlaintextFile");
  TraceValue(kTraceGuidWinsvc, "lpwEnvelopeFile", lpwEnvelopeFile);
  TraceValue(kTraceGuidWinsvc, "lpwPlaintextFile", lpwPlaintextFile);
  trace.Step(u"Verify if the paramters are available");
  if (lpwEnvelopeFile == nullptr || lpwPlaintextFile == nullptr || vtrCertStores.empty())
    trace.Failed(kMissingArgument, u"NULL == file || empty stores");

  trace.Step(u"CreateFile --Plaintext");
  NewOutputFile plaintextFile;
  SetLastError(ERROR_SUCCESS);
  if (!plaintextFile.Create(lpwPlaintextFile))
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hPlaintextFile");

  CMSG_STREAM_INFO streamInfo = plaintextFile.StreamInfo();

  trace.Step(u"CryptMsgOpenToDecode");
  SetLastError(ERROR_SUCCESS);
  UniqueMsg hMsg(CryptMsgOpenToDecode(kMsgEncoding, 0, 0, 0, nullptr, &streamInfo));
  if (!hMsg) return trace.Failed(FailureFromLastError(), u"NULL == hMsg");

  trace.Step(u"ProcessEnvelopeFile");
  const HRESULT hResult = ProcessEnvelopeFile(hMsg.get(), lpwEnvelopeFile, vtrCertStores);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(hResult)");

  hMsg.reset();
  trace.Step(u"CloseHandle --Plaintext");
  SetLastError(ERROR_SUCCESS);
  if (!plaintextFile.Keep()) return trace.Failed(FailureFromLastError(), u"FALSE == CloseHandle");
  trace.Passed();
  return S_OK;
}
