// What the page an agent works for may do: the consent of its user, asked
// once per page and remembered for the site when the user says so, and the
// wait that slows a page guessing soft-certificate passwords.
#pragma once

#include <memory>
#include <string>

#include "consent/Origin.h"
#include "platform/base/WinTypes.h"
#include "trace/Trace.h"

namespace agent {

// What a script method needs of its user.
enum Asks : unsigned {
  kAsksKeys = consent::kKeys,    // use the user's certificates and keys
  kAsksFiles = consent::kFiles,  // read and write files
  kAsksKeysAndFiles = consent::kKeys | consent::kFiles,
};

class SiteConsent {
 public:
  // The origin as the browser reported it; one that is not a valid origin
  // (or none at all) is refused everything without asking.
  explicit SiteConsent(std::string originText);
  // A frame of that origin inside a top page of `withinText`: the prompt
  // names the top page too, or the user would judge a stranger's frame by
  // the page around it. Consent stays the frame origin's own.
  SiteConsent(std::string originText, std::string withinText);

  // S_OK when the page may go ahead with what `asks` names, else
  // SIGIL_E_SITE_NOT_ALLOWED. Asks the user only when neither this page nor
  // a standing approval covers it; once the user (or the machine's policy)
  // said no, every further call is refused without asking again.
  HRESULT Require(LPCWSTR method, unsigned asks, StepTrace& trace);

  // The origin as a valid origin's canonical text, else as reported.
  const std::string& OriginText() const { return m_text; }
  std::u16string OriginForDisplay() const;

 private:
  HRESULT Ask(LPCWSTR method, unsigned asks, unsigned standing, StepTrace& trace);

  std::string m_text;
  std::string m_within;  // empty unless a top page of another origin holds the frame
  consent::Origin m_origin;
  bool m_bValid = false;
  bool m_bSecure = false;
  unsigned m_allowed = 0;  // allowed for this page until it ends
  bool m_bRefused = false;
};

// One use of a password for a soft-certificate file on behalf of a page.
// While the page's wait for that file runs the try is refused at once,
// before the password is looked at; its outcome counts towards the wait.
// A local caller (no page) is never slowed.
class PasswordTry {
 public:
  PasswordTry(const SiteConsent* pSite, LPCWSTR lpwSoftCertFile);
  bool Allowed() const;
  // Counts the operation's result: a wrong password lengthens the wait, a
  // success clears it, anything else (the password never judged) neither.
  HRESULT Judge(HRESULT hResult) const;

 private:
  const SiteConsent* m_pSite;
  std::string m_fileKey;
};

}  // namespace agent
