// Hash algorithms and the object identifiers written for them, and the
// providers used to verify.
#include <cstring>
#include <memory>
#include <new>

#include "platform/msg/CryptMsg.h"
#include "platform/csp/CspHash.h"
#include "platform/base/LastError.h"
#include "platform/base/LastErrorResult.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiSigning.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"CryptoApiAlgorithms";

// A broken provider list must not spin the enumeration for ever.
constexpr DWORD kMaxFailedProviderIndexes = 256;

struct AlgorithmEntry {
  ALG_ID algId;
  LPCSTR pszDigestOid;
  LPCSTR pszSignatureOid;
};

// SHA-1 is written with rsaEncryption, not sha1WithRSAEncryption, which is
// what the verifiers this system talks to expect.
constexpr AlgorithmEntry kAlgorithms[] = {
    {CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
    {CALG_SHA1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
    {CALG_SHA_256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"},
};

}  // namespace

bool GetAlgorithmIdentifiers(ALG_ID algId, LPCSTR* ppszDigestOid, LPCSTR* ppszSignatureOid) {
  for (const AlgorithmEntry& entry : kAlgorithms) {
    if (entry.algId != algId) continue;
    if (ppszDigestOid != nullptr) *ppszDigestOid = entry.pszDigestOid;
    if (ppszSignatureOid != nullptr) *ppszSignatureOid = entry.pszSignatureOid;
    return true;
  }
  return false;
}

HRESULT GetHashALGID(LPCSTR pszDigestOid, ALG_ID* pAlgId) {
  if (pszDigestOid == nullptr || pAlgId == nullptr) return E_INVALIDARG;
  for (const AlgorithmEntry& entry : kAlgorithms) {
    if (std::strcmp(entry.pszDigestOid, pszDigestOid) != 0) continue;
    *pAlgId = entry.algId;
    return S_OK;
  }
  return NTE_BAD_ALGID;
}

HRESULT GetAESProviderName(LPWSTR* ppwszProviderName) {
  TraceHelper helper("GetAESProviderName");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"GetAESProviderName");
  trace.Step(u"Check parameter");
  if (ppwszProviderName == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == ppwszProviderName");

  DWORD dwFailedIndexes = 0;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    trace.Step(u"CryptEnumProviders");
    DWORD dwProvType = 0;
    DWORD cbProvName = 0;
    SetLastError(ERROR_SUCCESS);
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, nullptr, &cbProvName)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      trace.Failed(FailureFromLastError(), u"FALSE == CryptEnumProvidersW");
      if (++dwFailedIndexes >= kMaxFailedProviderIndexes) break;
      continue;
    }
    if (dwProvType != PROV_RSA_AES) continue;

    trace.Step(u"New Memory");
    const std::size_t cchProvName = cbProvName / sizeof(WCHAR) + 1;
    std::unique_ptr<WCHAR[]> pwszProvName(new (std::nothrow) WCHAR[cchProvName]());
    if (!pwszProvName) return trace.Failed(E_OUTOFMEMORY, u"NULL == pwszProvName");

    trace.Step(u"CryptEnumProviders(Name)");
    SetLastError(ERROR_SUCCESS);
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwProvType, pwszProvName.get(), &cbProvName))
      return trace.Failed(FailureFromLastError(), u"FALSE == CryptEnumProvidersW");
    trace.Passed();
    TraceValue(kTraceGuidWinsvc, "AESProviderName", pwszProvName.get());
    *ppwszProviderName = pwszProvName.release();
    return S_OK;
  }
  return trace.Failed(E_FAIL, u"no provider of type PROV_RSA_AES");
}

HRESULT CryptAcquireContextbyAlgorithm(HCRYPTPROV* phProv, ALG_ID algId) {
  TraceHelper helper("CryptAcquireContextbyAlgorithm");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"CryptAcquireContextbyAlgorithm");
  TraceValue(kTraceGuidWinsvc, "algId", static_cast<std::uint32_t>(algId));
  trace.Step(u"Check parameter");
  if (phProv == nullptr) return trace.Failed(E_INVALIDARG, u"NULL == phProv");

  LPCWSTR lpwProvider = MS_DEF_PROV_W;
  DWORD dwProvType = PROV_RSA_FULL;
  switch (algId) {
    case CALG_3DES:
    case CALG_3DES_112:
    case CALG_MD5:
    case CALG_SHA1:
      lpwProvider = MS_ENHANCED_PROV_W;
      break;
    case CALG_SHA_256:
    case CALG_SHA_384:
    case CALG_SHA_512: {
      // SHA-2 needs an AES provider; the platform's default one of the type
      // is taken once one is known to be installed.
      trace.Step(u"GetAESProviderName");
      LPWSTR lpwAesName = nullptr;
      const HRESULT hResult = GetAESProviderName(&lpwAesName);
      if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(GetAESProviderName)");
      TraceValue(kTraceGuidWinsvc, "AESProvider", lpwAesName);
      delete[] lpwAesName;
      lpwProvider = nullptr;
      dwProvType = PROV_RSA_AES;
      break;
    }
    default:
      break;
  }

  trace.Step(u"CryptAcquireContext");
  HCRYPTPROV hProv = 0;
  SetLastError(ERROR_SUCCESS);
  if (!CryptAcquireContextW(&hProv, nullptr, lpwProvider, dwProvType, CRYPT_VERIFYCONTEXT))
    return trace.Failed(FailureFromLastError(), u"FALSE == CryptAcquireContext");
  trace.Passed();
  *phProv = hProv;
  return S_OK;
}
