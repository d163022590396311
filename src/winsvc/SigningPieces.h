// Pieces shared by the CryptoAPI and the SM2 CSP signing operations: owners
// of hash, message and store handles, the hashing loops over memory and
// files, and the assembly of a SignedData ContentInfo from DER pieces.
// Internal to the certificate services.
#pragma once

#include <initializer_list>
#include <memory>

#include "foundation/Unique.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/msg/CryptMsg.h"
#include "platform/csp/CspHash.h"
#include "platform/base/WinTypes.h"
#include "trace/Trace.h"

namespace signing {

// Hashing and file reading unit; a CSP on a token sees no larger piece.
inline constexpr DWORD kHashPieceSize = 0x4000;
inline constexpr DWORD kMsgAndCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

class UniqueCryptHash {
 public:
  UniqueCryptHash() = default;
  ~UniqueCryptHash() {
    if (m_hHash != 0) CryptDestroyHash(m_hHash);
  }
  UniqueCryptHash(const UniqueCryptHash&) = delete;
  UniqueCryptHash& operator=(const UniqueCryptHash&) = delete;
  HCRYPTHASH* Out() { return &m_hHash; }
  HCRYPTHASH Get() const { return m_hHash; }

 private:
  HCRYPTHASH m_hHash = 0;
};

using UniqueCryptMsg = foundation::Unique<void, CryptMsgClose>;

using UniqueCertStore = UniqueCertStore;

using UniqueCertContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

// One new[] DER piece (or any byte buffer) with its length.
struct Der {
  std::unique_ptr<BYTE[]> data;
  DWORD size = 0;
  // Takes over a buffer handed out by a new[]-returning call.
  void Adopt(BYTE* pbyData, DWORD dwSize) {
    data.reset(pbyData);
    size = dwSize;
  }
};

// Feeds the bytes to the hash in pieces of kHashPieceSize, the last piece
// holding the rest; nothing is fed for empty data. Traced "CryptHashData".
HRESULT HashDataInPieces(StepTrace& trace, HCRYPTHASH hHash, const BYTE* pbyData, DWORD dwDataLen);

// Feeds the whole file to the hash, read in pieces of kHashPieceSize. A file
// that ends before the size measured at opening fails with
// HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) instead of being read again and
// again; one that grows meanwhile is hashed up to the measured size.
HRESULT HashFileInPieces(StepTrace& trace, HCRYPTHASH hHash, LPCWSTR lpwFilePath);

// The whole file in one zeroed buffer of its size, read with one ReadFile.
// SIGIL_E_FILE_TOO_LARGE for a file past 4 GiB - 1, ERROR_HANDLE_EOF when
// it turns out shorter than measured.
HRESULT ReadWholeFile(StepTrace& trace, LPCWSTR lpwFilePath, Der& content);

// tag || length || the parts one after the other (ASN1Encode).
// The SignerInfo description of one signature by the certificate: issuer and
// serial number as CryptoAPI holds them, algorithm parameters empty (written
// as NULL), no attributes. Points into its arguments.
CMSG_SIGNER_INFO SignerInfoOf(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                              LPCSTR pszSignatureOid, const BYTE* pbySignature,
                              DWORD dwSignatureLen);

HRESULT EncodeJoined(BYTE byTag, std::initializer_list<const Der*> parts, Der& out);

// What varies between the two SignedData forms written here.
struct SignedDataInput {
  LPCSTR pszDataOid;        // the inner contentInfo's type
  LPCSTR pszSignedDataOid;  // the outer ContentInfo's type
  PCCERT_CONTEXT pCertContext;
  LPCSTR pszDigestOid;
  const Der* pSignerInfo;  // a complete SignerInfo
  BOOL bFile;
  BOOL bAttach;
  const BYTE* pbyData;
  DWORD dwDataLen;
  LPCWSTR lpwFilePath;
};

// ContentInfo { signedData, SignedData { 1, SET { digest AlgorithmIdentifier },
// contentInfo, [0] certificate, SET { SignerInfo } } }. The content goes in
// only when attached, read from the file when bFile; a detached build never
// opens the file.
HRESULT BuildSignedContentInfo(StepTrace& trace, const SignedDataInput& input, Der& contentInfo);

// How both SignedData forms begin: the inputs traced as values, then the
// "Check parameter" step refusing a missing certificate or algorithm. The
// caller's own checks belong to the same step.
HRESULT CheckSignedDataInputs(StepTrace& trace, PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                              LPCSTR pszSignatureOid, BOOL bFile, BOOL bAttach);

// The ContentInfo of BuildSignedContentInfo as Base64 text in the form of
// dwBase64Flags (a new[] array, zero-terminated; *pnTextLen leaves the
// terminator out).
HRESULT BuildSignedContentInfoBase64(StepTrace& trace, const SignedDataInput& input,
                                     DWORD dwBase64Flags, std::unique_ptr<char[]>& text,
                                     int* pnTextLen);

}  // namespace signing
