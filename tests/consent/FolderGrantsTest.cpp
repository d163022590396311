// Folders granted to sites, kept in the user's sites file beside the
// approvals: what they cover, what they survive and what they refuse.
#include "consent/FolderGrants.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ConsentTestSupport.h"
#include "consent/SiteApprovals.h"
#include "consent/SitesInternal.h"
#include "support/TempEnvironment.h"

namespace {

using namespace consenttest;
using consent::FolderGrant;

constexpr HRESULT kPathNotFound = HRESULT_FROM_WIN32(3);

std::string Grants() {
  std::vector<FolderGrant> grants;
  EXPECT_EQ(consent::ListFolderGrants(&grants), S_OK);
  std::string out;
  for (const FolderGrant& grant : grants) out += grant.origin + " " + grant.folder + ";";
  return out;
}

fs::path Folder(const std::string& name) {
  return fs::canonical(testsupport::MakeTempDir(name));
}

TEST(FolderGrants, RoundTripKeepsOtherLinesAndApprovals) {
  const fs::path docs = Folder("docs");
  const fs::path odd = docs / "a\\b\tc";  // escaped in the file
  fs::create_directory(odd);
  Put(UserSites(), "# mine\nhttps://a.example keys\nsomething-from-later v2\n");
  ASSERT_EQ(consent::GrantFolder(Parsed("https://a.example"), docs.string()), S_OK);
  ASSERT_EQ(consent::GrantFolder(Parsed("HTTPS://A.EXAMPLE:443"), odd.string()), S_OK);
  EXPECT_EQ(consent::GrantFolder(Parsed("https://a.example"), docs.string()), S_OK);  // again
  EXPECT_EQ(Grants(), "https://a.example " + docs.string() + ";https://a.example " +
                          odd.string() + ";");
  EXPECT_EQ(Slurp(UserSites()), "# mine\nhttps://a.example keys\nsomething-from-later v2\n"
                                "grant https://a.example " + docs.string() +
                                    "\ngrant https://a.example " + docs.string() +
                                    "/a\\\\b\\tc\n");
  EXPECT_EQ(ModeOf(UserSites()), 0600);

  // Approvals read past the grant lines; the list of sites is as it was.
  std::vector<consent::SiteEntry> sites;
  ASSERT_EQ(consent::ListSites(&sites, nullptr), S_OK);
  ASSERT_EQ(sites.size(), 1u);
  EXPECT_EQ(sites[0].origin, "https://a.example");
  EXPECT_EQ(sites[0].capabilities, consent::kKeys);
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), consent::kFiles), S_OK);
  EXPECT_NE(Slurp(UserSites()).find("grant https://a.example " + docs.string() + "\n"),
            std::string::npos);

  EXPECT_EQ(consent::RevokeFolder(Parsed("https://a.example"), odd.string()), S_OK);
  EXPECT_EQ(consent::RevokeFolder(Parsed("https://a.example"), odd.string()), S_FALSE);
  EXPECT_EQ(Grants(), "https://a.example " + docs.string() + ";");
  EXPECT_NE(Slurp(UserSites()).find("something-from-later v2\n"), std::string::npos);
}

TEST(FolderGrants, FirstGrantMakesThePrivateFile) {
  const fs::path docs = Folder("docs");
  ASSERT_EQ(consent::GrantFolder(Parsed("https://a.example"), docs.string()), S_OK);
  EXPECT_EQ(ModeOf(UserSites()), 0600);
  EXPECT_EQ(ModeOf(UserSites().parent_path()), 0700);
  EXPECT_EQ(Grants(), "https://a.example " + docs.string() + ";");
}

TEST(FolderGrants, RefusesWhatCannotBeGranted) {
  const fs::path docs = Folder("docs");
  EXPECT_EQ(consent::GrantFolder(Parsed("http://a.example"), docs.string()), E_INVALIDARG);
  EXPECT_EQ(consent::GrantFolder(Parsed("file://"), docs.string()), E_INVALIDARG);
  EXPECT_EQ(consent::GrantFolder(consent::Origin{"nonsense", "https", "x", 0}, docs.string()),
            E_INVALIDARG);
  EXPECT_EQ(consent::GrantFolder(Parsed("https://a.example"), "docs"), E_INVALIDARG);
  EXPECT_EQ(consent::GrantFolder(Parsed("https://a.example"), (docs / "missing").string()),
            kPathNotFound);
  Put(docs / "file", "x");
  EXPECT_EQ(consent::GrantFolder(Parsed("https://a.example"), (docs / "file").string()),
            kPathNotFound);
  EXPECT_FALSE(fs::exists(UserSites()));
  EXPECT_EQ(consent::RevokeFolder(Parsed("https://a.example"), docs.string()), S_FALSE);
}

TEST(FolderGrants, CoverWholeComponentsOnly) {
  const fs::path base = Folder("base");
  fs::create_directories(base / "a" / "b");
  fs::create_directories(base / "a" / "bc");
  ASSERT_EQ(consent::GrantFolder(Parsed("https://a.example"), (base / "a" / "b").string()), S_OK);
  const consent::Origin site = Parsed("https://a.example");
  const std::string b = (base / "a" / "b").string();
  EXPECT_TRUE(consent::IsInsideGrantedFolder(site, b));
  EXPECT_TRUE(consent::IsInsideGrantedFolder(site, b + "/x.pdf"));
  EXPECT_TRUE(consent::IsInsideGrantedFolder(site, b + "/deep/er/x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, b + "c"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, b + "c/x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, (base / "a").string()));
  // Paths that are not resolved are not judged at all.
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, b + "/../bc/x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, b + "/./x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, b + "//x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, "a/b/x.pdf"));
  // Another site, even of the same host, has nothing.
  EXPECT_FALSE(consent::IsInsideGrantedFolder(Parsed("https://a.example:8443"), b + "/x.pdf"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(Parsed("https://b.example"), b + "/x.pdf"));
}

TEST(FolderGrants, NonSecureOriginsHaveNoneEvenWhenWrittenByHand) {
  const fs::path docs = Folder("docs");
  Put(UserSites(), "grant http://a.example " + docs.string() + "\ngrant file:// " +
                       docs.string() + "\n");
  EXPECT_EQ(Grants(), "");
  EXPECT_FALSE(consent::IsInsideGrantedFolder(Parsed("http://a.example"), docs.string() + "/x"));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(Parsed("file://"), docs.string() + "/x"));
}

TEST(FolderGrants, StoredResolvedSoALinkRetargetedDoesNotFollow) {
  const fs::path base = Folder("base");
  fs::create_directories(base / "real");
  fs::create_directories(base / "other");
  fs::create_directory_symlink(base / "real", base / "link");
  const consent::Origin site = Parsed("https://a.example");
  ASSERT_EQ(consent::GrantFolder(site, (base / "link").string()), S_OK);
  EXPECT_EQ(Grants(), "https://a.example " + (base / "real").string() + ";");
  fs::remove(base / "link");
  fs::create_directory_symlink(base / "other", base / "link");
  EXPECT_TRUE(consent::IsInsideGrantedFolder(site, (base / "real" / "x").string()));
  EXPECT_FALSE(consent::IsInsideGrantedFolder(site, (base / "other" / "x").string()));
  // Revoking by the link's (new) target finds nothing; by the stored name it goes.
  EXPECT_EQ(consent::RevokeFolder(site, (base / "link").string()), S_FALSE);
  EXPECT_EQ(consent::RevokeFolder(site, (base / "real").string()), S_OK);
  EXPECT_EQ(Grants(), "");
}

TEST(FolderGrants, MalformedGrantLinesAreKeptAndIgnored) {
  const fs::path docs = Folder("docs");
  const std::string text = "grant https://a.example relative/path\n"
                           "grant https://a.example " + docs.string() + "\\q\n"
                           "grant not-an-origin " + docs.string() + "\n"
                           "grant https://a.example\n"
                           "granted https://a.example " + docs.string() + "\n";
  Put(UserSites(), text);
  EXPECT_EQ(Grants(), "");
  ASSERT_EQ(consent::RememberSite(Parsed("https://b.example"), consent::kKeys), S_OK);
  EXPECT_TRUE(Slurp(UserSites()).starts_with(text));
  // A CRLF line reads as the same grant.
  Put(UserSites(), "grant https://a.example " + docs.string() + "\r\n");
  EXPECT_EQ(Grants(), "https://a.example " + docs.string() + ";");
}

TEST(FolderGrants, UntrustedFileGrantsNothingAndIsNotWritten) {
  const fs::path docs = Folder("docs");
  const std::string text = "grant https://a.example " + docs.string() + "\n";
  Put(UserSites(), text, 0602);
  EXPECT_EQ(Grants(), "");
  EXPECT_FALSE(consent::IsInsideGrantedFolder(Parsed("https://a.example"), docs.string()));
  EXPECT_EQ(consent::GrantFolder(Parsed("https://b.example"), docs.string()),
            consent::kSitesFileNotTrusted);
  EXPECT_EQ(consent::RevokeFolder(Parsed("https://a.example"), docs.string()),
            consent::kSitesFileNotTrusted);
  EXPECT_EQ(Slurp(UserSites()), text);
  EXPECT_EQ(ModeOf(UserSites()), 0602);
}

TEST(FolderGrants, ForgettingASiteForgetsItsFolders) {
  const fs::path docs = Folder("docs");
  ASSERT_EQ(consent::GrantFolder(Parsed("https://a.example"), docs.string()), S_OK);
  ASSERT_EQ(consent::GrantFolder(Parsed("https://b.example"), docs.string()), S_OK);
  // Only a grant, no approval: still something to forget.
  EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), S_OK);
  EXPECT_EQ(Grants(), "https://b.example " + docs.string() + ";");
  EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), S_FALSE);
}

}  // namespace
