// A page gets only what its user allows: the agent asks the consent prompt
// (here a stand-in program) before any key or file is touched, remembers the
// answer for the page, and slows a page that guesses passwords.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "AgentTestSupport.h"
#include "consent/FolderGrants.h"
#include "consent/Origin.h"
#include "consent/SiteApprovals.h"
#include "resources/ResultCodes.h"

using agenttest::Pki;
using agenttest::Take;

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The prompt as a script: every request is kept, the answer is a file.
class ConsentStandIn {
 public:
  explicit ConsentStandIn(const std::string& answer) {
    folder_ = fs::path(std::getenv("HOME")) / "consent-stand-in";
    fs::create_directories(folder_);
    const fs::path script = folder_ / "prompt";
    std::ofstream(script) << "#!/bin/sh\ncat >> '" << Requests().string() << "'\necho ---- >> '"
                          << Requests().string() << "'\ncat '" << (folder_ / "answer").string()
                          << "'\n";
    fs::permissions(script, fs::perms::owner_all);
    SetAnswer(answer);
    setenv("NPSIGIL_CONSENT_DIALOG", script.c_str(), 1);
  }
  ~ConsentStandIn() { unsetenv("NPSIGIL_CONSENT_DIALOG"); }

  void SetAnswer(const std::string& answer) { std::ofstream(folder_ / "answer") << answer << "\n"; }
  std::string All() const { return Slurp(Requests()); }
  int Count() const {
    const std::string all = All();
    int n = 0;
    for (std::size_t at = all.find("----\n"); at != std::string::npos; at = all.find("----\n", at + 1))
      ++n;
    return n;
  }

 private:
  fs::path Requests() const { return folder_ / "requests"; }
  fs::path folder_;
};

std::u16string SoftCert() { return agenttest::PathOf(Pki().sm2SignFile); }

HRESULT SignBySoftCert(CCryptoAgent& agent, const char16_t* password) {
  BSTR out = nullptr;
  const HRESULT hr = agent.SignMsgPKCS1_BySoftCert(SoftCert().c_str(), password, u"SM2", u"text",
                                                   u"", &out);
  Take(out);
  return hr;
}

HRESULT Select(CCryptoAgent& agent) {
  VARIANT_BOOL chosen = VARIANT_FALSE;
  return agent.SelectCertificate(nullptr, nullptr, u"1001", &chosen);
}

std::u16string Description(CCryptoAgent& agent) {
  BSTR desc = nullptr;
  agent.GetLastErrorDesc(&desc);
  return Take(desc);
}

}  // namespace

TEST(SiteConsent, LocalCallerIsNeverAsked) {
  ConsentStandIn prompt("deny");
  CCryptoAgent agent;
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), S_OK);
  EXPECT_EQ(prompt.Count(), 0);
}

TEST(SiteConsent, PageWithoutOriginIsRefusedEverythingButPureWork) {
  ConsentStandIn prompt("allow-once");
  for (const char* origin : {"", "null", "javascript:alert(1)", "https://a.example/path"}) {
    SCOPED_TRACE(origin);
    CCryptoAgent agent;
    agent.ServePage(origin);
    EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
    EXPECT_EQ(Description(agent).rfind(u"This site is not allowed to use your certificates.", 0), 0u);
    BSTR envelope = nullptr;
    EXPECT_EQ(agent.EncryptMsgCMSEnvelopeEx_ByCert(agenttest::CertBase64(Pki().sm2Encrypt).c_str(),
                                                   u"SM2", u"text", u"", &envelope),
              S_OK);
    EXPECT_FALSE(Take(envelope).empty());
  }
  EXPECT_EQ(prompt.Count(), 0);
}

TEST(SiteConsent, DenyHoldsForThePageWithoutAskingAgain) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Sign);
  ConsentStandIn prompt("deny");
  CCryptoAgent agent;
  agent.ServePage("https://shop.example");
  EXPECT_EQ(Select(agent), SIGIL_E_SITE_NOT_ALLOWED);
  const std::string request = prompt.All();
  EXPECT_EQ(request.rfind("npsigil-consent 1\n", 0), 0u) << request;
  EXPECT_NE(request.find("\norigin https://shop.example\n"), std::string::npos) << request;
  EXPECT_NE(request.find("\nsecure 1\n"), std::string::npos) << request;
  EXPECT_NE(request.find("\nasks keys\n"), std::string::npos) << request;
  EXPECT_NE(request.find("\nmethod SelectCertificate\n"), std::string::npos) << request;

  prompt.SetAnswer("allow-once");
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
  EXPECT_EQ(prompt.Count(), 1);
  // Another page of the same site is asked afresh.
  CCryptoAgent other;
  other.ServePage("https://shop.example");
  EXPECT_EQ(Select(other), S_OK);
  EXPECT_EQ(prompt.Count(), 2);
}

TEST(SiteConsent, AllowOnceCoversWhatWasAskedForThisPageOnly) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Sign);
  ConsentStandIn prompt("allow-once");
  CCryptoAgent agent;
  agent.ServePage("https://shop.example");
  EXPECT_EQ(Select(agent), S_OK);
  BSTR info = nullptr;
  EXPECT_EQ(agent.GetSignCertInfo(u"CertType", &info), S_OK);
  EXPECT_EQ(Take(info), u"SM2");
  EXPECT_EQ(prompt.Count(), 1);
  // Files were not asked for yet: that takes a second question.
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), S_OK);
  EXPECT_EQ(prompt.Count(), 2);
  EXPECT_NE(prompt.All().find("\nasks keys files\nmethod SignMsgPKCS1_BySoftCert\n"),
            std::string::npos);
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), S_OK);
  EXPECT_EQ(prompt.Count(), 2);
  EXPECT_FALSE(fs::exists(consent::UserSitesPath()));
}

// A stranger's frame is asked about under its own origin, with the page it
// sits in named; its answer is the frame's, not the top page's.
TEST(SiteConsent, AFrameOfAnotherOriginIsShownWithItsTopPage) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Sign);
  ConsentStandIn prompt("allow-always");
  CCryptoAgent framed;
  framed.ServePage("https://widget.example", "https://bank.example");
  EXPECT_EQ(Select(framed), S_OK);
  EXPECT_NE(prompt.All().find("\norigin https://widget.example\nwithin https://bank.example\n"),
            std::string::npos)
      << prompt.All();
  consent::Origin bank;
  ASSERT_TRUE(consent::ParseOrigin("https://bank.example", &bank));
  EXPECT_EQ(consent::LookUpSite(bank).standing, consent::Standing::kAsk);

  // The same origin above and below is no frame of a stranger.
  CCryptoAgent top;
  top.ServePage("https://bank.example", "https://bank.example:443");
  prompt.SetAnswer("deny");
  EXPECT_NE(Select(top), S_OK);
  const std::string all = prompt.All();
  EXPECT_EQ(all.find("within", all.rfind("origin https://bank.example")), std::string::npos)
      << all;
}

TEST(SiteConsent, AllowAlwaysIsRememberedForSecureSitesOnly) {
  ConsentStandIn prompt("allow-always");
  {
    CCryptoAgent agent;
    agent.ServePage("https://shop.example");
    EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), S_OK);
  }
  struct stat st {};
  ASSERT_EQ(::stat(consent::UserSitesPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  prompt.SetAnswer("deny");
  CCryptoAgent later;
  later.ServePage("https://shop.example");
  EXPECT_EQ(SignBySoftCert(later, agenttest::kPassword.c_str()), S_OK);
  EXPECT_EQ(prompt.Count(), 1);

  // Plain http off loopback is offered "allow for this page" only.
  prompt.SetAnswer("allow-always");
  CCryptoAgent plain;
  plain.ServePage("http://shop.example");
  EXPECT_EQ(SignBySoftCert(plain, agenttest::kPassword.c_str()), S_OK);
  EXPECT_NE(prompt.All().find("\norigin http://shop.example\nsecure 0\n"), std::string::npos);
  prompt.SetAnswer("deny");
  CCryptoAgent plainAgain;
  plainAgain.ServePage("http://shop.example");
  EXPECT_EQ(SignBySoftCert(plainAgain, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
  EXPECT_EQ(prompt.Count(), 3);
}

TEST(SiteConsent, FolderGrantedFromThePromptIsStoredForTheSite) {
  const fs::path docs = fs::canonical(std::getenv("HOME")) / "contracts";
  fs::create_directories(docs);
  ConsentStandIn prompt("allow-once\nfolder " + docs.string());
  {
    CCryptoAgent agent;
    agent.ServePage("https://shop.example");
    EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), S_OK);
  }
  std::vector<consent::FolderGrant> grants;
  ASSERT_EQ(consent::ListFolderGrants(&grants), S_OK);
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_EQ(grants[0].origin, "https://shop.example");
  EXPECT_EQ(grants[0].folder, docs.string());
  consent::Origin shop;
  ASSERT_TRUE(consent::ParseOrigin("https://shop.example", &shop));
  EXPECT_TRUE(consent::IsInsideGrantedFolder(shop, (docs / "a.pdf").string()));

  // A folder that cannot be granted does not take back what was allowed.
  prompt.SetAnswer("allow-once\nfolder " + (docs / "missing").string());
  CCryptoAgent other;
  other.ServePage("https://other.example");
  EXPECT_EQ(SignBySoftCert(other, agenttest::kPassword.c_str()), S_OK);
  ASSERT_EQ(consent::ListFolderGrants(&grants), S_OK);
  EXPECT_EQ(grants.size(), 1u);
}

TEST(SiteConsent, MachinePolicyPreApprovesAndLocks) {
  ConsentStandIn prompt("allow-once");
  const fs::path policy = consent::MachinePolicyPath();
  fs::create_directories(policy.parent_path());
  std::ofstream(policy) << "only-listed\nhttps://intranet.example\n";
  CCryptoAgent listed;
  listed.ServePage("https://intranet.example");
  EXPECT_EQ(SignBySoftCert(listed, agenttest::kPassword.c_str()), S_OK);
  CCryptoAgent stranger;
  stranger.ServePage("https://shop.example");
  EXPECT_EQ(SignBySoftCert(stranger, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
  EXPECT_EQ(prompt.Count(), 0);
}

TEST(SiteConsent, PromptThatFailsOrAnswersGarbageRefuses) {
  for (const char* answer : {"failed 80004005 no display", "allow", "", "allow-once trailing"}) {
    SCOPED_TRACE(answer);
    ConsentStandIn prompt(answer);
    CCryptoAgent agent;
    agent.ServePage("https://shop.example");
    EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
  }
  unsetenv("NPSIGIL_CONSENT_DIALOG");
  setenv("NPSIGIL_CONSENT_DIALOG", "/nonexistent/prompt", 1);
  CCryptoAgent agent;
  agent.ServePage("https://shop.example");
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), SIGIL_E_SITE_NOT_ALLOWED);
  unsetenv("NPSIGIL_CONSENT_DIALOG");
}

TEST(SiteConsent, GuessedPasswordsWaitBeforeTheNextTry) {
  ConsentStandIn prompt("allow-once");
  CCryptoAgent agent;
  agent.ServePage("https://shop.example");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SignBySoftCert(agent, u"wrong"), SIGIL_E_DECRYPT_SM2_PFX);
  // Refused without trying, so even the right password waits.
  EXPECT_EQ(SignBySoftCert(agent, agenttest::kPassword.c_str()), SIGIL_E_TOO_MANY_PASSWORDS);
  EXPECT_EQ(Description(agent).rfind(u"Too many wrong passwords. Try again later.", 0), 0u);
  // The same file by another spelling of its path waits too.
  const std::u16string spelled = agenttest::PathOf(Pki().sm2SignFile.parent_path() / "." /
                                                   Pki().sm2SignFile.filename());
  BSTR out = nullptr;
  EXPECT_EQ(agent.SignMsgPKCS1_BySoftCert(spelled.c_str(), agenttest::kPassword.c_str(), u"SM2",
                                          u"text", u"", &out),
            SIGIL_E_TOO_MANY_PASSWORDS);
  Take(out);
  // Another site, and a local caller, are not slowed by this one.
  CCryptoAgent other;
  other.ServePage("https://other.example");
  EXPECT_EQ(SignBySoftCert(other, agenttest::kPassword.c_str()), S_OK);
  CCryptoAgent local;
  EXPECT_EQ(SignBySoftCert(local, agenttest::kPassword.c_str()), S_OK);
}
