#include "agent/CryptoAgent.h"

#include "agent/AgentRoutines.h"
#include "agent/SiteConsent.h"
#include "gmcrypto/provider/Provider.h"
#include "platform/base/Bstr.h"
#include "platform/base/Format.h"
#include "platform/base/Resources.h"
#include "platform/base/SystemMessages.h"
#include "platform/base/WideString.h"
#include "resources/ModuleResources.h"
#include "resources/ResultCodes.h"
#include "resources/StringTable.h"
#include "trace/Trace.h"

CCryptoAgent::CCryptoAgent()
    : m_hLastResult(S_OK),
      m_pSignCertContext(nullptr),
      m_pEncryptCertContext(nullptr),
      m_bSM2SignCert(FALSE),
      m_bSM2EncryptCert(FALSE),
      m_pUnregisteredSignCertContext(nullptr),
      m_pUnregisteredEncryptCertContext(nullptr) {
  TraceHelper trace("CCryptoAgent::CCryptoAgent");
  // Digests must be found by name, SM3 among them.
  gmcrypto::AddAllDigests();
}

CCryptoAgent::~CCryptoAgent() {
  TraceHelper trace("CCryptoAgent::~CCryptoAgent");
  if (m_pSignCertContext) CertFreeCertificateContext(m_pSignCertContext);
  if (m_pEncryptCertContext) CertFreeCertificateContext(m_pEncryptCertContext);
  CertFreeUnregisteredCertContext(m_pUnregisteredSignCertContext);
  CertFreeUnregisteredCertContext(m_pUnregisteredEncryptCertContext);
  // No library-wide clean-up here: the library's tables are shared by every
  // agent in the process, and OpenSSL 3 releases them itself at exit.
}

void CCryptoAgent::ServePage(std::string origin) {
  TraceHelper trace("CCryptoAgent::ServePage");
  TraceValue(kTraceGuidAgent, "origin", origin.c_str());
  m_pSiteConsent = std::make_unique<agent::SiteConsent>(std::move(origin));
}

void CCryptoAgent::ServePage(std::string origin, std::string within) {
  TraceHelper trace("CCryptoAgent::ServePage");
  TraceValue(kTraceGuidAgent, "origin", origin.c_str());
  TraceValue(kTraceGuidAgent, "within", within.c_str());
  m_pSiteConsent =
      std::make_unique<agent::SiteConsent>(std::move(origin), std::move(within));
}

bool CCryptoAgent::SiteRefuses(LPCWSTR method, unsigned asks) {
  if (!m_pSiteConsent) return false;
  StepTrace trace(kTraceGuidAgent, u"SiteConsent", method);
  const HRESULT hResult = m_pSiteConsent->Require(method, asks, trace);
  if (SUCCEEDED(hResult)) return false;
  Finish(hResult);
  m_bSiteRefused = true;
  return true;
}

bool CCryptoAgent::RefusedToPage(LPCWSTR method, unsigned asks, BSTR* pbstrOutput) {
  if (!SiteRefuses(method, asks)) return false;
  if (pbstrOutput) *pbstrOutput = SysAllocString(u"");
  return true;
}

bool CCryptoAgent::RefusedToPage(LPCWSTR method, unsigned asks, VARIANT_BOOL* pbOutput) {
  if (!SiteRefuses(method, asks)) return false;
  if (pbOutput) *pbOutput = VARIANT_FALSE;
  return true;
}

HRESULT CCryptoAgent::GetVersion(BSTR* pbstrVersion) {
  TraceHelper trace("CCryptoAgent::GetVersion");
  if (pbstrVersion) *pbstrVersion = nullptr;
  return S_OK;
}

HRESULT CCryptoAgent::GetLastErrorDesc(BSTR* pbstrDesc) {
  TraceHelper trace("CCryptoAgent::GetLastErrorDesc");
  constexpr std::size_t kChars = 512;
  if (!pbstrDesc) return E_POINTER;
  *pbstrDesc = nullptr;
  WCHAR wszDesc[kChars] = {};

  const HRESULT hCode = m_hLastResult;
  if (m_bSiteRefused && hCode == SIGIL_E_SITE_NOT_ALLOWED) {
    LoadStringW(GetSigilModuleHandle(), IDS_SITE_NOT_ALLOWED, wszDesc, kChars - 1);
  } else if (static_cast<DWORD>(hCode) & 0x20000000u) {
    LoadStringW(GetSigilModuleHandle(), static_cast<DWORD>(hCode) & 0xFFFFu, wszDesc, kChars - 1);
  } else {
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(hCode), 0, wszDesc, kChars - 1, nullptr);
  }
  const std::size_t nUsed = wcslen(wszDesc);
  _snwprintf_s(wszDesc + nUsed, kChars - nUsed, _TRUNCATE, u"\n(0x%08x)",
               static_cast<DWORD>(hCode));

  *pbstrDesc = SysAllocString(wszDesc);
  return S_OK;
}

HRESULT ResultFromLastError(DWORD dwLastError) {
  const auto nError = static_cast<LONG>(dwLastError);
  if ((dwLastError & 0x20000000u) && nError > 0)
    return static_cast<HRESULT>(0xA0070000u | (dwLastError & 0xFFFFu));
  if (nError > 0) return static_cast<HRESULT>(0x80070000u | (dwLastError & 0xFFFFu));
  return nError;
}

namespace agent {

HRESULT ResultFromEngine(int nResult, DWORD dwMinusOneError) {
  if (nResult == 0) return S_OK;
  if (nResult == -1) {
    // Already a result code (severity bit set): taken as it is.
    if (dwMinusOneError & 0x80000000u) return static_cast<HRESULT>(dwMinusOneError);
    return ResultFromLastError(dwMinusOneError);
  }
  return ResultFromLastError(static_cast<DWORD>(nResult));
}

}  // namespace agent
