// Raw SM2 signatures by the CSP that holds the key of an unregistered
// certificate, and the SM2 PKCS #7 of a message built on them.
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/SigningPieces.h"
#include "winsvc/Sm2CspSigning.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"Sm2CspSign";
constexpr DWORD kSm2RawSignatureSize = 64;
constexpr DWORD kSm2HalfSize = 32;
constexpr DWORD kBase64NoLineBreaks = 2;

using FeedHash = std::function<HRESULT(StepTrace&, HCRYPTHASH)>;

// The hash value, traced as hex; the signature does not depend on it, but a
// token's failure shows up here first.
HRESULT TraceHashValue(StepTrace& trace, HCRYPTHASH hHash) {
  trace.Step(u"CryptGetHashParam");
  DWORD dwHashLen = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptGetHashParam(hHash, HP_HASHVAL, nullptr, &dwHashLen, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetHashParam");
  if (dwHashLen == 0) return trace.Failed(E_FAIL, u"0 == dwHashLen");
  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbyHash(new (std::nothrow) BYTE[dwHashLen]());
  if (!pbyHash) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbyHash");
  trace.Step(u"CryptGetHashParam");
  SetLastError(ERROR_SUCCESS);
  if (!CryptGetHashParam(hHash, HP_HASHVAL, pbyHash.get(), &dwHashLen, 0))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptGetHashParam");
  trace.Passed();

  trace.Step(u"FormatStringFromData");
  LPWSTR pwszHex = nullptr;
  if (SUCCEEDED(ConvertBinaryDataToString(dwHashLen, pbyHash.get(), &pwszHex, 0))) {
    std::unique_ptr<WCHAR[]> owned(pwszHex);
    TraceValue(kTraceGuidWinsvc, "SM3HashValue", pwszHex);
    trace.Passed();
  }
  return S_OK;
}

// Opens the record's container, hashes what `feed` gives with SM3 (0x800F),
// signs with the record's key pair and hands out r || s big-endian.
HRESULT Sm2HashAndSign(StepTrace& trace, PUNREGISTERED_CERT_CONTEXT pRecord, const FeedHash& feed,
                       bool bTraceHashValue, BYTE** ppbySignature, DWORD* pdwSignatureLen) {
  trace.Step(u"Check parameter");
  if (pRecord == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pUnregisteredCertContext");
  if (ppbySignature == nullptr || pdwSignatureLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppbySignature || NULL == pdwSignatureLen");
  // Empty names are only reported: the acquisition below fails on them.
  if (pRecord->wszCSPName[0] == u'\0') trace.Failed(E_INVALIDARG, u"empty wszCSPName");
  if (pRecord->wszContainerName[0] == u'\0') trace.Failed(E_INVALIDARG, u"empty wszContainerName");
  TraceValue(kTraceGuidWinsvc, "wszCSPName", pRecord->wszCSPName);
  TraceValue(kTraceGuidWinsvc, "wszContainerName", pRecord->wszContainerName);

  // Type 1 whatever the CSP: SM2 token CSPs register themselves so. A
  // failure shows in the hash creation, whose code is returned.
  trace.Step(u"CryptAcquireContext");
  UniqueCryptProv provider;
  SetLastError(ERROR_SUCCESS);
  if (!CryptAcquireContextW(provider.Out(), pRecord->wszContainerName, pRecord->wszCSPName,
                            PROV_RSA_FULL, 0))
    trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireContext");
  else
    trace.Passed();

  trace.Step(u"CryptCreateHash");
  signing::UniqueCryptHash hash;
  SetLastError(ERROR_SUCCESS);
  if (!CryptCreateHash(provider.Get(), CALG_SM3, 0, 0, hash.Out()))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptCreateHash");
  trace.Passed();

  HRESULT hResult = feed(trace, hash.Get());
  if (FAILED(hResult)) return hResult;
  if (bTraceHashValue) {
    hResult = TraceHashValue(trace, hash.Get());
    if (FAILED(hResult)) return hResult;
  }

  trace.Step(u"CryptSignHash");
  DWORD dwSignatureLen = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptSignHashW(hash.Get(), pRecord->dwKeySpec, nullptr, 0, nullptr, &dwSignatureLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptSignHash");
  trace.Step(u"New Memory");
  std::unique_ptr<BYTE[]> pbySignature(new (std::nothrow) BYTE[std::size_t{dwSignatureLen} + 1]());
  if (!pbySignature) return trace.Failed(E_OUTOFMEMORY, u"NULL == pbySignature");
  trace.Step(u"CryptSignHash");
  SetLastError(ERROR_SUCCESS);
  if (!CryptSignHashW(hash.Get(), pRecord->dwKeySpec, nullptr, 0, pbySignature.get(),
                      &dwSignatureLen))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptSignHash");
  trace.Passed();

  trace.Step(u"Check SM2 raw signature size");
  if (dwSignatureLen != kSm2RawSignatureSize)
    return trace.Failed(SIGIL_E_INVALID_DATA, u"64 != dwSignatureLen");

  // Each half comes little-endian on its own; the whole is not one number.
  SwapByteOrder(pbySignature.get(), kSm2HalfSize);
  SwapByteOrder(pbySignature.get() + kSm2HalfSize, kSm2HalfSize);
  *ppbySignature = pbySignature.release();
  *pdwSignatureLen = kSm2RawSignatureSize;
  return S_OK;
}

}  // namespace

HRESULT SM2CalculateHashandSignbyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord,
                                                  const BYTE* pbyData, DWORD dwDataLen,
                                                  BYTE** ppbySignature, DWORD* pdwSignatureLen) {
  TraceHelper helper("SM2CalculateHashandSignbyUnregisteredCert");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2CalculateHashandSignbyUnregisteredCert");
  TraceValue(kTraceGuidWinsvc, "dwDataLen", static_cast<std::uint32_t>(dwDataLen));
  if (pbyData == nullptr && dwDataLen > 0) {
    trace.Step(u"Check parameter");
    return trace.Failed(E_INVALIDARG, u"NULL == pbyData");
  }
  return Sm2HashAndSign(
      trace, pRecord,
      [&](StepTrace& t, HCRYPTHASH hHash) {
        return signing::HashDataInPieces(t, hHash, pbyData, dwDataLen);
      },
      true, ppbySignature, pdwSignatureLen);
}

HRESULT SM2CalculateFileHashandSignbyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord,
                                                      LPCWSTR lpwFilePath, BYTE** ppbySignature,
                                                      DWORD* pdwSignatureLen) {
  TraceHelper helper("SM2CalculateFileHashandSignbyUnregisteredCert");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2CalculateFileHashandSignbyUnregisteredCert");
  TraceValue(kTraceGuidWinsvc, "lpwFilePath", lpwFilePath);
  if (lpwFilePath == nullptr) {
    trace.Step(u"Check parameter");
    return trace.Failed(E_INVALIDARG, u"NULL == lpwFilePath");
  }
  return Sm2HashAndSign(
      trace, pRecord,
      [&](StepTrace& t, HCRYPTHASH hHash) {
        return signing::HashFileInPieces(t, hHash, lpwFilePath);
      },
      false, ppbySignature, pdwSignatureLen);
}

HRESULT SM2SignBinaryDatabyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord, const BYTE* pbyData,
                                            DWORD dwDataLen, BOOL bAttach, LPCSTR pszSignatureOid,
                                            LPSTR* ppszOutput, DWORD* pdwOutputLen) {
  TraceHelper helper("SM2SignBinaryDatabyUnregisteredCert");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2SignBinaryDatabyUnregisteredCert");
  TraceValue(kTraceGuidWinsvc, "bAttach", static_cast<std::uint32_t>(bAttach));
  TraceValue(kTraceGuidWinsvc, "pszSignatureOid", pszSignatureOid);
  trace.Step(u"Check parameter");
  if (pRecord == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == pUnregisteredCertContext");
  if (pszSignatureOid == nullptr || ppszOutput == nullptr || pdwOutputLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pszSignatureOid || NULL == ppszOutput");

  trace.Step(u"SM2CalculateHashandSignbyUnregisteredCert");
  BYTE* pbyRaw = nullptr;
  DWORD dwRawLen = 0;
  HRESULT hResult =
      SM2CalculateHashandSignbyUnregisteredCert(pRecord, pbyData, dwDataLen, &pbyRaw, &dwRawLen);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2CalculateHashandSign)");
  std::unique_ptr<BYTE[]> pbyRawSignature(pbyRaw);
  trace.Passed();

  trace.Step(u"SM2EncodeRawSignature");
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncodedLen = 0;
  hResult = SM2EncodeRawSignature(&dwEncodedLen, pbyRawSignature.get(), dwRawLen, &pbyEncoded,
                                  SM2_SIGNATURE_OCTET_STRING);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2EncodeRawSignature)");
  std::unique_ptr<BYTE[]> pbyEncryptedDigest(pbyEncoded);
  trace.Passed();

  trace.Step(u"SM2EncapsulatePKCS7");
  LPSTR pszOutput = nullptr;
  DWORD dwOutputLen = 0;
  hResult = SM2EncapsulatePKCS7(pRecord->pCertContext, szOID_SM3, pszSignatureOid, dwDataLen,
                                pbyEncryptedDigest.get(), dwEncodedLen, &pszOutput, &dwOutputLen,
                                FALSE, bAttach, kBase64NoLineBreaks, pbyData, nullptr);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2EncapsulatePKCS7)");
  trace.Passed();
  *ppszOutput = pszOutput;
  *pdwOutputLen = dwOutputLen;
  return S_OK;
}
