// CMS EnvelopedData for RSA recipients through the CryptoAPI message calls:
// whole messages in memory, and files of any size streamed through a
// message in 4 MiB blocks with the output written piece by piece to a new
// file. Recipients are always named by their certificate's subject key
// identifier. Content ciphers by object identifier: szOID_RSA_RC4 and
// szOID_RSA_DES_EDE3_CBC (exact text); any other leaves the algorithm unset
// and the platform's refusal is returned.
//
// Output buffers are new[]-allocated and belong to the caller (delete[]).
// Output files are created exclusively (an existing file is never touched:
// HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) and removed again on any later
// failure, so no partial envelope or plaintext is left behind.
#pragma once

#include <vector>

#include "platform/store/CertStore.h"
#include "platform/msg/CryptMsg.h"
#include "platform/csp/Csp.h"
#include "platform/fs/Files.h"
#include "platform/base/WinTypes.h"
#include "winsvc/CertificateStore.h"

class StepTrace;

// Open certificate stores searched, in order, for a recipient's certificate
// and private key. The stores stay the caller's.
using CERTSTORE_SET = std::vector<HCERTSTORE>;

// Size of one read (and one CryptMsgUpdate) of a file.
inline constexpr DWORD ENVELOPE_FILE_BLOCK = 0x400000;

// A new CRYPT_ENCRYPT_MESSAGE_PARA (keyid recipients, the content algorithm
// of the identifier) for `delete`. E_OUTOFMEMORY.
HRESULT GetEncryptionParameters(LPCSTR lpszEncryptAlgOID,
                                PCRYPT_ENCRYPT_MESSAGE_PARA* ppEncryptPara);

// DER EnvelopedData of the data for every certificate of the set (in set
// order). SIGIL_E_NO_SUBJECT_KEY_ID for the first certificate without a
// subject key identifier.
HRESULT EncryptDatatoEnvelope(const CERTIFICATE_SET& vtrRecipientCerts, const BYTE* pbyData,
                              DWORD dwDataLength, BYTE** ppbyEnvelope, DWORD* pdwEnvelopeLength,
                              LPCSTR lpszEncryptAlgOID);

// Content of an EnvelopedData (DER or BER), opened with the first recipient
// that has a certificate with a usable private key in the stores;
// CRYPT_E_NO_DECRYPT_CERT when there is none.
HRESULT DecryptEnvelopeData(DWORD* pdwContentLength, const CERTSTORE_SET& vtrCertStores,
                            const BYTE* pbyEnvelope, DWORD dwEnvelopeLength, BYTE** ppbyContent);

// A new key-transport recipient description of the certificate (copies of
// its public key and subject key identifier), freed with
// RelaseCMSRecipientInfo. SIGIL_E_NO_SUBJECT_KEY_ID, E_OUTOFMEMORY.
HRESULT GetCMSRecipientsInfo(PCMSG_RECIPIENT_ENCODE_INFO* ppRecipientInfo,
                             PCCERT_CONTEXT pCertContext);
// Null is accepted.
void RelaseCMSRecipientInfo(PCMSG_RECIPIENT_ENCODE_INFO pRecipientInfo);

// A new envelope file (BER, indefinite lengths) of the plaintext file for
// every certificate of the set.
HRESULT EncryptPlaintextFiletoEnvelopeFile(LPCWSTR lpwPlaintextFile, LPCWSTR lpwEnvelopeFile,
                                           const CERTIFICATE_SET& vtrRecipientCerts,
                                           LPCSTR lpszEncryptAlgOID);
// Passes the whole file through the open encoding message, the final flag
// on the block that completes it (an empty file gets one empty final
// update). A file that ends before the size it had when opened fails with
// HRESULT_FROM_WIN32(ERROR_HANDLE_EOF).
HRESULT ProcessPlaintextFile(HCRYPTMSG hMsg, LPCWSTR lpwPlaintextFile);
// PFN_CMSG_STREAM_OUTPUT writing every piece to the file handle in pvArg.
BOOL CmsgStreamOutputCallback(const void* pvArg, BYTE* pbData, DWORD cbData, BOOL fFinal);

// A new plaintext file of the envelope file's content.
HRESULT DecryptEnvelopeFiletoPlaintextFile(LPCWSTR lpwEnvelopeFile, LPCWSTR lpwPlaintextFile,
                                           const CERTSTORE_SET& vtrCertStores);
// Passes the whole envelope file through the open decoding message and
// decrypts it for the first recipient with a usable key in the stores
// (CRYPT_E_NO_DECRYPT_CERT when none has one); CRYPT_E_STREAM_MSG_NOT_READY
// when the file ends before the recipient list.
HRESULT ProcessEnvelopeFile(HCRYPTMSG hMsg, LPCWSTR lpwEnvelopeFile,
                            const CERTSTORE_SET& vtrCertStores);

// The first certificate (in store order) named by the key-transport
// recipient whose private key can be acquired, with that key's provider
// (release with CryptReleaseContext) and key spec; the certificate is freed
// by the caller. E_FAIL when no store has one, or the last acquisition
// failure.
HRESULT GetCertofRecipient(const CERTSTORE_SET& vtrCertStores,
                           const CMSG_CMS_RECIPIENT_INFO* pRecipientInfo,
                           PCCERT_CONTEXT* ppCertContext, HCRYPTPROV* phCryptProv,
                           DWORD* pdwKeySpec);

// An existing file streamed through a message block by block, never past
// the size it had when opened: a file that grows meanwhile is read as it
// was, and one cut short fails with HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)
// instead of being read for ever.
class InputFile {
 public:
  // Opens the file, traced as `step`, and measures it ("GetFileSizeEx").
  HRESULT Open(StepTrace& trace, LPCWSTR step, LPCWSTR lpwPath);
  ULONGLONG Size() const { return m_ullSize; }
  bool AtEnd() const { return m_ullRead >= m_ullSize; }
  // The next ENVELOPE_FILE_BLOCK bytes, or what is left ("ReadFile").
  HRESULT ReadBlock(StepTrace& trace, BYTE* pbyBlock, DWORD* pcbRead);

 private:
  UniqueHandle m_hFile;
  ULONGLONG m_ullSize = 0;
  ULONGLONG m_ullRead = 0;
};

// An output file created exclusively (CREATE_NEW) and removed again unless
// Keep() is reached: a failed operation leaves nothing behind.
class NewOutputFile {
 public:
  NewOutputFile() = default;
  ~NewOutputFile();
  NewOutputFile(const NewOutputFile&) = delete;
  NewOutputFile& operator=(const NewOutputFile&) = delete;

  // FALSE with CreateFileW's last error.
  BOOL Create(LPCWSTR lpwPath);
  HANDLE Handle() const { return m_hFile; }
  // A streamed message's output of unknown length, written into this file
  // through CmsgStreamOutputCallback.
  CMSG_STREAM_INFO StreamInfo() const;
  // Closes the file and keeps it; FALSE (and the file removed) when the
  // close fails.
  BOOL Keep();

 private:
  LPCWSTR m_lpwPath = nullptr;
  HANDLE m_hFile = INVALID_HANDLE_VALUE;
};
