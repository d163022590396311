#include "agent/SiteConsent.h"

#include <sys/stat.h>

#include <cstdio>

#include "consent/FolderGrants.h"
#include "consent/PasswordThrottle.h"
#include "consent/SiteApprovals.h"
#include "platform/fs/Paths.h"
#include "platform/base/Resources.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "ui/ConsentProtocol.h"

namespace agent {
namespace {

// The wrong-password answers of the two soft-certificate kinds.
constexpr HRESULT kWrongPfxPassword = HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);

bool Covers(unsigned allowed, unsigned asks) { return (allowed & asks) == asks; }

}  // namespace

SiteConsent::SiteConsent(std::string originText) : m_text(std::move(originText)) {
  m_bValid = consent::ParseOrigin(m_text, &m_origin);
  if (m_bValid) {
    m_text = m_origin.text;
    m_bSecure = consent::IsSecureOrigin(m_origin);
  }
}

SiteConsent::SiteConsent(std::string originText, std::string withinText)
    : SiteConsent(std::move(originText)) {
  consent::Origin within;
  if (consent::ParseOrigin(withinText, &within)) withinText = within.text;
  if (withinText != m_text) m_within = std::move(withinText);
}

std::u16string SiteConsent::OriginForDisplay() const { return FromUtf8(m_text); }

HRESULT SiteConsent::Require(LPCWSTR method, unsigned asks, StepTrace& trace) {
  trace.Step(u"CheckSiteConsent");
  if (m_bRefused) return trace.Failed(SIGIL_E_SITE_NOT_ALLOWED, u"site refused before");
  if (!m_bValid) {
    m_bRefused = true;
    return trace.Failed(SIGIL_E_SITE_NOT_ALLOWED, u"no valid origin");
  }
  if (Covers(m_allowed, asks)) {
    trace.Passed();
    return S_OK;
  }
  // Looked up afresh: a revocation with the command-line tool holds at once
  // for new pages, and the machine's lock wins over the user's approvals.
  const consent::SiteDecision decision = consent::LookUpSite(m_origin);
  if (decision.standing == consent::Standing::kRefused) {
    m_bRefused = true;
    return trace.Failed(SIGIL_E_SITE_NOT_ALLOWED, u"not listed by the machine's site policy");
  }
  const unsigned standing =
      decision.standing == consent::Standing::kAllowed ? decision.capabilities : 0;
  if (Covers(standing, asks)) {
    m_allowed |= standing;
    trace.Passed();
    return S_OK;
  }
  return Ask(method, asks, standing, trace);
}

HRESULT SiteConsent::Ask(LPCWSTR method, unsigned asks, unsigned standing, StepTrace& trace) {
  ui::ConsentRequest request;
  request.language = GetUserDefaultUILanguage();
  request.origin = m_text;
  request.within = m_within;
  request.secure = m_bSecure;
  request.asksKeys = (asks & kAsksKeys) != 0;
  request.asksFiles = (asks & kAsksFiles) != 0;
  request.method = ToUtf8(method);
  const ui::ConsentResponse response = ui::RunConsentPrompt(request);
  switch (response.answer) {
    case ui::ConsentAnswer::kAllowAlways:
      if (m_bSecure) {
        // Failing to remember is no reason to refuse what the user allowed.
        const HRESULT hRemembered = consent::RememberSite(m_origin, standing | asks);
        if (FAILED(hRemembered)) {
          trace.Step(u"RememberSite");
          trace.Failed(hRemembered, u"FAILED(hResult)");
          trace.Step(u"CheckSiteConsent");
        }
      }
      [[fallthrough]];
    case ui::ConsentAnswer::kAllowOnce:
      // The folder the user granted from the prompt outlives this page like
      // an approval does; failing to store it refuses nothing allowed here.
      if (!response.folder.empty() && m_bSecure) {
        const HRESULT hGranted = consent::GrantFolder(m_origin, response.folder);
        if (FAILED(hGranted)) {
          trace.Step(u"GrantFolder");
          trace.Failed(hGranted, u"FAILED(hResult)");
          trace.Step(u"CheckSiteConsent");
        }
      }
      m_allowed |= standing | asks;
      trace.Passed();
      return S_OK;
    case ui::ConsentAnswer::kDeny:
    case ui::ConsentAnswer::kFailed:
      break;
  }
  m_bRefused = true;
  return trace.Failed(SIGIL_E_SITE_NOT_ALLOWED, response.answer == ui::ConsentAnswer::kDeny
                                                    ? u"the user denied the site"
                                                    : u"the prompt could not be shown");
}

PasswordTry::PasswordTry(const SiteConsent* pSite, LPCWSTR lpwSoftCertFile) : m_pSite(pSite) {
  if (m_pSite == nullptr) return;
  // Keyed by the file itself, so that other spellings of its path (links,
  // "//", "./") share one count.
  const std::string path = NativePath(lpwSoftCertFile);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    char key[48];
    std::snprintf(key, sizeof key, "%llx:%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    m_fileKey = key;
  } else {
    m_fileKey = path;
  }
}

bool PasswordTry::Allowed() const {
  return m_pSite == nullptr ||
         consent::PasswordThrottle::Shared().MayTry(m_pSite->OriginText(), m_fileKey);
}

HRESULT PasswordTry::Judge(HRESULT hResult) const {
  if (m_pSite == nullptr) return hResult;
  consent::PasswordThrottle& throttle = consent::PasswordThrottle::Shared();
  if (hResult == SIGIL_E_DECRYPT_SM2_PFX || hResult == kWrongPfxPassword)
    throttle.RecordWrong(m_pSite->OriginText(), m_fileKey);
  else if (SUCCEEDED(hResult))
    throttle.RecordRight(m_pSite->OriginText(), m_fileKey);
  return hResult;
}

}  // namespace agent
