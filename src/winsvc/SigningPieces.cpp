#include "winsvc/SigningPieces.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "platform/cert/CertDecode.h"
#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1Engine.h"
#include "smengine/common/Base64.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/Sm2CspSigning.h"

namespace signing {

namespace {

HRESULT OpenForReading(StepTrace& trace, LPCWSTR lpwFilePath, UniqueHandle& hFile,
                       std::uint64_t& nFileSize) {
  trace.Step(u"CreateFile");
  SetLastError(ERROR_SUCCESS);
  HANDLE hOpened = CreateFileW(lpwFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hOpened == INVALID_HANDLE_VALUE)
    return trace.Failed(FailureFromLastError(), u"INVALID_HANDLE_VALUE == hFile");
  hFile.reset(hOpened);
  trace.Passed();

  trace.Step(u"GetFileSizeEx");
  LARGE_INTEGER liFileSize{};
  SetLastError(ERROR_SUCCESS);
  if (!GetFileSizeEx(hFile.get(), &liFileSize))
    return trace.Failed(FailureFromLastError(), u"FALSE == GetFileSizeEx");
  if (liFileSize.QuadPart < 0) return trace.Failed(E_FAIL, u"liFileSize.QuadPart < 0");
  nFileSize = static_cast<std::uint64_t>(liFileSize.QuadPart);
  trace.Passed();
  return S_OK;
}

}  // namespace

HRESULT HashDataInPieces(StepTrace& trace, HCRYPTHASH hHash, const BYTE* pbyData, DWORD dwDataLen) {
  trace.Step(u"CryptHashData");
  for (DWORD dwOffset = 0; dwOffset < dwDataLen;) {
    const DWORD dwPiece = std::min(kHashPieceSize, dwDataLen - dwOffset);
    SetLastError(ERROR_SUCCESS);
    if (!CryptHashData(hHash, pbyData + dwOffset, dwPiece, 0))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptHashData");
    dwOffset += dwPiece;
  }
  trace.Passed();
  return S_OK;
}

HRESULT HashFileInPieces(StepTrace& trace, HCRYPTHASH hHash, LPCWSTR lpwFilePath) {
  UniqueHandle hFile;
  std::uint64_t nFileSize = 0;
  HRESULT hResult = OpenForReading(trace, lpwFilePath, hFile, nFileSize);
  if (FAILED(hResult)) return hResult;

  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyBuffer(new (std::nothrow) BYTE[kHashPieceSize]);
  if (!pbyBuffer) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyBuffer");
  trace.Passed();

  std::uint64_t nRead = 0;
  while (nRead < nFileSize) {
    std::memset(pbyBuffer.get(), 0, kHashPieceSize);
    // Never past the measured size, so a file that grows meanwhile is
    // hashed exactly as measured.
    const DWORD dwWanted =
        static_cast<DWORD>(std::min<std::uint64_t>(kHashPieceSize, nFileSize - nRead));
    DWORD dwGot = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ReadFile(hFile.get(), pbyBuffer.get(), dwWanted, &dwGot, nullptr)) {
      trace.Step(u"ReadFile");
      return trace.Failed(FailureFromLastError(), u"FALSE == ReadFile");
    }
    // A file cut short while being read: nothing more will come.
    if (dwGot == 0) {
      trace.Step(u"ReadFile");
      return trace.Failed(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), u"0 == dwGot");
    }
    SetLastError(ERROR_SUCCESS);
    if (!CryptHashData(hHash, pbyBuffer.get(), dwGot, 0)) {
      trace.Step(u"CryptHashData");
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptHashData");
    }
    nRead += dwGot;
  }
  return S_OK;
}

HRESULT ReadWholeFile(StepTrace& trace, LPCWSTR lpwFilePath, Der& content) {
  UniqueHandle hFile;
  std::uint64_t nFileSize = 0;
  HRESULT hResult = OpenForReading(trace, lpwFilePath, hFile, nFileSize);
  if (FAILED(hResult)) return hResult;
  if (nFileSize > UINT32_MAX)
    return trace.Failed(SIGIL_E_FILE_TOO_LARGE, u"nFileSize > UINT32_MAX");
  const auto dwFileSize = static_cast<DWORD>(nFileSize);

  trace.Step(u"New Memory");
  // One byte more so that an empty file still has a buffer.
  std::unique_ptr<BYTE[]> pbyContent(new (std::nothrow) BYTE[std::size_t{dwFileSize} + 1]());
  if (!pbyContent) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyContent");
  trace.Passed();

  trace.Step(u"ReadFile");
  DWORD dwGot = 0;
  SetLastError(ERROR_SUCCESS);
  if (!ReadFile(hFile.get(), pbyContent.get(), dwFileSize, &dwGot, nullptr))
    return trace.Failed(FailureFromLastError(), u"FALSE == ReadFile");
  if (dwGot != dwFileSize)
    return trace.Failed(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF), u"dwGot != dwFileSize");
  trace.Passed();
  content.data = std::move(pbyContent);
  content.size = dwFileSize;
  return S_OK;
}

HRESULT EncodeJoined(BYTE byTag, std::initializer_list<const Der*> parts, Der& out) {
  std::uint64_t nTotal = 0;
  for (const Der* part : parts) nTotal += part->size;
  if (nTotal > UINT32_MAX) return E_FAIL;
  std::vector<BYTE> joined;
  try {
    joined.reserve(static_cast<std::size_t>(nTotal));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (const Der* part : parts)
    joined.insert(joined.end(), part->data.get(), part->data.get() + part->size);
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  const HRESULT hResult =
      ASN1Encode(byTag, joined.data(), static_cast<DWORD>(joined.size()), &pbyEncoded, &dwEncoded);
  if (FAILED(hResult)) return hResult;
  out.Adopt(pbyEncoded, dwEncoded);
  return S_OK;
}

HRESULT BuildSignedContentInfo(StepTrace& trace, const SignedDataInput& input, Der& contentInfo) {
  trace.Step(u"Check parameter");
  if (input.pCertContext == nullptr || input.pCertContext->pbCertEncoded == nullptr ||
      input.pCertContext->cbCertEncoded == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (input.pszDigestOid == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pszDigestOid");
  if (input.bAttach && !input.bFile && input.dwDataLen > 0 && input.pbyData == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyData");
  if (input.bAttach && input.bFile && input.lpwFilePath == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");

  trace.Step(u"SM2EncodeOID");
  Der digestAlgorithm;
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  HRESULT hResult = SM2EncodeOID(input.pszDigestOid, &pbyEncoded, &dwEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2EncodeOID)");
  digestAlgorithm.Adopt(pbyEncoded, dwEncoded);
  trace.Step(u"ASN1Encode(digestAlgorithms)");
  Der digestAlgorithms;
  hResult = EncodeJoined(0x31, {&digestAlgorithm}, digestAlgorithms);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  // The content only when attached; a detached build never opens the file.
  Der octetString;
  if (input.bAttach) {
    Der fileContent;
    CRYPT_DATA_BLOB content{input.dwDataLen, const_cast<BYTE*>(input.pbyData)};
    if (input.bFile) {
      hResult = ReadWholeFile(trace, input.lpwFilePath, fileContent);
      if (FAILED(hResult)) return hResult;
      content = {fileContent.size, fileContent.data.get()};
    }
    trace.Step(u"EncodeObject");
    hResult = EncodeObject(&dwEncoded, X509_OCTET_STRING, &content, &pbyEncoded);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncodeObject)");
    octetString.Adopt(pbyEncoded, dwEncoded);
  }
  trace.Step(u"EncodeObject");
  CRYPT_CONTENT_INFO innerInfo{const_cast<LPSTR>(input.pszDataOid),
                               {octetString.size, octetString.data.get()}};
  hResult = EncodeObject(&dwEncoded, PKCS_CONTENT_INFO, &innerInfo, &pbyEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncodeObject)");
  Der innerContentInfo;
  innerContentInfo.Adopt(pbyEncoded, dwEncoded);

  trace.Step(u"ASN1Encode(certificates)");
  Der certificate;
  certificate.data.reset(new (std::nothrow) BYTE[input.pCertContext->cbCertEncoded]);
  if (!certificate.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == certificate");
  std::memcpy(certificate.data.get(), input.pCertContext->pbCertEncoded,
              input.pCertContext->cbCertEncoded);
  certificate.size = input.pCertContext->cbCertEncoded;
  Der certificates;
  hResult = EncodeJoined(0xA0, {&certificate}, certificates);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  trace.Step(u"ASN1Encode(signerInfos)");
  Der signerInfos;
  hResult = EncodeJoined(0x31, {input.pSignerInfo}, signerInfos);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  trace.Step(u"ASN1Encode(SignedData)");
  Der version;
  version.data.reset(new (std::nothrow) BYTE[3]{0x02, 0x01, 0x01});
  if (!version.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == version");
  version.size = 3;
  Der signedData;
  hResult = EncodeJoined(
      0x30, {&version, &digestAlgorithms, &innerContentInfo, &certificates, &signerInfos},
      signedData);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");
  trace.Passed();

  trace.Step(u"EncodeObject");
  CRYPT_CONTENT_INFO outerInfo{const_cast<LPSTR>(input.pszSignedDataOid),
                               {signedData.size, signedData.data.get()}};
  hResult = EncodeObject(&dwEncoded, PKCS_CONTENT_INFO, &outerInfo, &pbyEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncodeObject)");
  contentInfo.Adopt(pbyEncoded, dwEncoded);
  trace.Passed();
  return S_OK;
}

HRESULT CheckSignedDataInputs(StepTrace& trace, PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                              LPCSTR pszSignatureOid, BOOL bFile, BOOL bAttach) {
  TraceValue(kTraceGuidWinsvc, "pszDigestOid", pszDigestOid);
  TraceValue(kTraceGuidWinsvc, "pszSignatureOid", pszSignatureOid);
  TraceValue(kTraceGuidWinsvc, "bFile", static_cast<std::uint32_t>(bFile));
  TraceValue(kTraceGuidWinsvc, "bAttach", static_cast<std::uint32_t>(bAttach));

  trace.Step(u"Check parameter");
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pCertContext");
  if (pszDigestOid == nullptr || pszSignatureOid == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pszDigestOid || NULL == pszSignatureOid");
  return S_OK;
}

HRESULT BuildSignedContentInfoBase64(StepTrace& trace, const SignedDataInput& input,
                                     DWORD dwBase64Flags, std::unique_ptr<char[]>& text,
                                     int* pnTextLen) {
  Der contentInfo;
  HRESULT hResult = BuildSignedContentInfo(trace, input, contentInfo);
  if (FAILED(hResult)) return hResult;

  trace.Step(u"Base64EncodeEx");
  if (contentInfo.size > static_cast<DWORD>(INT32_MAX))
    return trace.Failed(E_FAIL, u"contentInfo too long for Base64EncodeEx");
  LPSTR pszText = nullptr;
  hResult = Base64EncodeEx(&pszText, contentInfo.data.get(), static_cast<int>(contentInfo.size),
                           pnTextLen, dwBase64Flags);
  text.reset(pszText);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(Base64EncodeEx)");
  trace.Passed();
  return S_OK;
}

CMSG_SIGNER_INFO SignerInfoOf(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                              LPCSTR pszSignatureOid, const BYTE* pbySignature,
                              DWORD dwSignatureLen) {
  CMSG_SIGNER_INFO signerInfo{};
  signerInfo.dwVersion = 1;
  signerInfo.Issuer = pCertContext->pCertInfo->Issuer;
  signerInfo.SerialNumber = pCertContext->pCertInfo->SerialNumber;
  signerInfo.HashAlgorithm.pszObjId = const_cast<LPSTR>(pszDigestOid);
  signerInfo.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(pszSignatureOid);
  signerInfo.EncryptedHash = {dwSignatureLen, const_cast<BYTE*>(pbySignature)};
  return signerInfo;
}

}  // namespace signing
