// The user's standing approvals and the machine's site policy, read and
// written through the files they live in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ConsentTestSupport.h"
#include "consent/SiteApprovals.h"
#include "consent/SitesInternal.h"
#include "support/TempEnvironment.h"

namespace {

using namespace consenttest;
using consent::kFiles;
using consent::kKeys;
using consent::SiteDecision;
using consent::SiteEntry;
using consent::Standing;

constexpr uid_t kNobody = 65534;

std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Listed() {
  std::vector<SiteEntry> entries;
  bool bLocked = false;
  EXPECT_EQ(consent::ListSites(&entries, &bLocked), S_OK);
  std::string out = bLocked ? "locked;" : "";
  for (const SiteEntry& entry : entries)
    out += (entry.machine ? "M " : "U ") + entry.origin + " " +
           consent::detail::CapabilityWords(entry.capabilities) + ";";
  return out;
}

TEST(SitePaths, FollowTheStateFolders) {
  testsupport::ScopedEnv xdg("XDG_DATA_HOME", "/x/data");
  testsupport::ScopedEnv machine("NPSIGIL_MACHINE_ROOT", "/m");
  EXPECT_EQ(consent::UserSitesPath(), "/x/data/npsigil/sites");
  EXPECT_EQ(consent::MachinePolicyPath(), "/m/policy/sites");
  testsupport::ScopedEnv noXdg("XDG_DATA_HOME", nullptr);
  testsupport::ScopedEnv home("HOME", "/h");
  testsupport::ScopedEnv noMachine("NPSIGIL_MACHINE_ROOT", nullptr);
  EXPECT_EQ(consent::UserSitesPath(), "/h/.local/share/npsigil/sites");
  EXPECT_EQ(consent::MachinePolicyPath(), "/var/lib/npsigil/policy/sites");
}

TEST(UserApprovals, NothingAllowedAndNothingWrittenByAsking) {
  const SiteDecision decision = consent::LookUpSite(Parsed("https://a.example"));
  EXPECT_EQ(decision.standing, Standing::kAsk);
  EXPECT_EQ(decision.capabilities, 0u);
  EXPECT_FALSE(decision.byMachinePolicy);
  EXPECT_EQ(Listed(), "");
  EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), S_FALSE);
  EXPECT_FALSE(fs::exists(UserSites().parent_path()));
}

TEST(UserApprovals, RememberedSiteIsAllowedAndWrittenPrivately) {
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example:8443"), kKeys | kFiles), S_OK);
  const SiteDecision decision = consent::LookUpSite(Parsed("HTTPS://A.EXAMPLE:8443"));
  EXPECT_EQ(decision.standing, Standing::kAllowed);
  EXPECT_EQ(decision.capabilities, kKeys | kFiles);
  EXPECT_FALSE(decision.byMachinePolicy);
  // Another port, scheme or host is another site.
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
  EXPECT_EQ(StandingOf("http://a.example:8443"), Standing::kAsk);
  EXPECT_EQ(StandingOf("https://b.a.example:8443"), Standing::kAsk);

  EXPECT_EQ(ModeOf(UserSites()), 0600);
  EXPECT_EQ(ModeOf(UserSites().parent_path()), 0700);
  EXPECT_EQ(FolderNames(UserSites().parent_path()), std::vector<std::string>{"sites"});
  const std::string text = Slurp(UserSites());
  EXPECT_NE(text.find("\nhttps://a.example:8443 keys files\n"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
}

TEST(UserApprovals, FolderModeIsExactWhateverTheUmask) {
  const mode_t old = ::umask(0);
  const HRESULT hResult = consent::RememberSite(Parsed("https://a.example"), kKeys);
  ::umask(old);
  ASSERT_EQ(hResult, S_OK);
  EXPECT_EQ(ModeOf(UserSites().parent_path()), 0700);
  EXPECT_EQ(ModeOf(UserSites()), 0600);
}

TEST(UserApprovals, WideningKeepsOneLineAndRepeatsWriteNothing) {
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), kKeys), S_OK);
  EXPECT_EQ(consent::LookUpSite(Parsed("https://a.example")).capabilities, kKeys);
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), kFiles), S_OK);
  EXPECT_EQ(consent::LookUpSite(Parsed("https://a.example")).capabilities, kKeys | kFiles);
  const std::string text = Slurp(UserSites());
  EXPECT_EQ(text.find("https://a.example"), text.rfind("https://a.example")) << text;

  // Already there: the file is not replaced (same inode).
  struct stat before {
  }, after{};
  ::stat(UserSites().c_str(), &before);
  EXPECT_EQ(consent::RememberSite(Parsed("https://a.example"), kKeys), S_OK);
  ::stat(UserSites().c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(UserApprovals, RefusesNonSecureOriginsBadCapabilitiesAndForgedOrigins) {
  for (const char* text : {"http://a.example", "file://", "http://localhost.example"}) {
    EXPECT_EQ(consent::RememberSite(Parsed(text), kKeys | kFiles), E_INVALIDARG) << text;
  }
  EXPECT_EQ(consent::RememberSite(Parsed("https://a.example"), 0), E_INVALIDARG);
  EXPECT_EQ(consent::RememberSite(Parsed("https://a.example"), 4), E_INVALIDARG);
  // A hand-built Origin whose text is not an origin cannot smuggle a line in.
  consent::Origin forged = Parsed("https://a.example");
  forged.text = "https://a.example keys\nhttps://evil.example";
  EXPECT_EQ(consent::RememberSite(forged, kKeys), E_INVALIDARG);
  EXPECT_EQ(consent::ForgetSite(forged), E_INVALIDARG);
  EXPECT_EQ(consent::LookUpSite(forged).standing, Standing::kRefused);
  EXPECT_FALSE(fs::exists(UserSites().parent_path()));
  // Local pages over http are secure enough to remember.
  EXPECT_EQ(consent::RememberSite(Parsed("http://localhost:8080"), kKeys), S_OK);
  EXPECT_EQ(StandingOf("http://localhost:8080"), Standing::kAllowed);
}

TEST(UserApprovals, ForgetRemovesOnlyThatSite) {
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), kKeys | kFiles), S_OK);
  ASSERT_EQ(consent::RememberSite(Parsed("https://b.example"), kKeys), S_OK);
  EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), S_OK);
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
  EXPECT_EQ(StandingOf("https://b.example"), Standing::kAllowed);
  EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), S_FALSE);
  EXPECT_EQ(Listed(), "U https://b.example keys;");
}

TEST(UserApprovals, HandWrittenFileIsReadAndOtherLinesSurviveRewrites) {
  const std::string original =
      "# my sites\n"
      "\n"
      "HTTPS://B.Example:443\tfiles\r\n"
      "https://c.example folder /home/me/docs\n"
      "https://d.example keys\n"
      "not an origin at all\n"
      "https://d.example files\n"
      "http://insecure.example keys files\n"
      "https://e.example keys sometimes\n"
      "https://f.example";  // no newline at the end
  Put(UserSites(), original);
  ::chmod(UserSites().parent_path().c_str(), 0700);

  EXPECT_EQ(consent::LookUpSite(Parsed("https://b.example")).capabilities, kFiles);
  EXPECT_EQ(consent::LookUpSite(Parsed("https://d.example")).capabilities, kKeys | kFiles);
  // Lines this version does not understand grant nothing.
  EXPECT_EQ(StandingOf("https://c.example"), Standing::kAsk);
  EXPECT_EQ(StandingOf("https://e.example"), Standing::kAsk);
  EXPECT_EQ(StandingOf("https://f.example"), Standing::kAsk);
  // An insecure origin could only have been written by hand: no effect.
  EXPECT_EQ(StandingOf("http://insecure.example"), Standing::kAsk);
  EXPECT_EQ(Listed(), "U https://b.example files;U https://d.example keys files;");

  ASSERT_EQ(consent::RememberSite(Parsed("https://d.example"), kKeys), S_OK);  // already there
  EXPECT_EQ(Slurp(UserSites()), original);
  ASSERT_EQ(consent::RememberSite(Parsed("https://b.example"), kKeys), S_OK);
  EXPECT_EQ(Slurp(UserSites()),
            "# my sites\n"
            "\n"
            "https://b.example keys files\n"
            "https://c.example folder /home/me/docs\n"
            "https://d.example keys\n"
            "not an origin at all\n"
            "https://d.example files\n"
            "http://insecure.example keys files\n"
            "https://e.example keys sometimes\n"
            "https://f.example\n");
  ASSERT_EQ(consent::ForgetSite(Parsed("https://d.example")), S_OK);
  ASSERT_EQ(consent::ForgetSite(Parsed("http://insecure.example")), S_OK);
  EXPECT_EQ(Slurp(UserSites()),
            "# my sites\n"
            "\n"
            "https://b.example keys files\n"
            "https://c.example folder /home/me/docs\n"
            "not an origin at all\n"
            "https://e.example keys sometimes\n"
            "https://f.example\n");
}

TEST(UserApprovals, ChangesByOthersTakeEffectAtOnce) {
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
  Put(UserSites(), "https://a.example keys\n");
  ::chmod(UserSites().parent_path().c_str(), 0700);
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAllowed);
  Put(UserSites(), "# nothing\n");
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
}

// Each way the file or its folder can fail the checks: nothing granted,
// nothing rewritten, and the reason told.
class UntrustedUserFile : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(UserSites().parent_path());
    ::chmod(UserSites().parent_path().c_str(), 0700);
  }

  void ExpectIgnoredAndKept(const std::string& reason) {
    SCOPED_TRACE(reason);
    EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
    EXPECT_EQ(Listed(), "");
    EXPECT_EQ(consent::RememberSite(Parsed("https://b.example"), kKeys),
              consent::kSitesFileNotTrusted);
    EXPECT_EQ(consent::ForgetSite(Parsed("https://a.example")), consent::kSitesFileNotTrusted);
    const std::string problem = consent::CheckSitesFiles().user;
    EXPECT_NE(problem.find(reason), std::string::npos) << problem;
    EXPECT_NE(problem.find(UserSites().string()), std::string::npos) << problem;
    EXPECT_TRUE(consent::CheckSitesFiles().machine.empty());
  }
};

TEST_F(UntrustedUserFile, LinkIsNotFollowedForReadingOrWriting) {
  const fs::path target = testsupport::MakeTempDir("elsewhere") / "target";
  Put(target, "https://a.example keys files\n", 0600);
  fs::create_symlink(target, UserSites());
  ExpectIgnoredAndKept("is a link");
  EXPECT_TRUE(fs::is_symlink(UserSites()));
  EXPECT_EQ(Slurp(target), "https://a.example keys files\n");
  EXPECT_EQ(FolderNames(UserSites().parent_path()), std::vector<std::string>{"sites"});
}

TEST_F(UntrustedUserFile, WritableByOthers) {
  Put(UserSites(), "https://a.example keys files\n", 0602);
  ExpectIgnoredAndKept("is writable by others");
  EXPECT_EQ(Slurp(UserSites()), "https://a.example keys files\n");
  EXPECT_EQ(ModeOf(UserSites()), 0602);
}

TEST_F(UntrustedUserFile, NotOwnedByTheUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to another user";
  Put(UserSites(), "https://a.example keys files\n", 0600);
  ASSERT_EQ(::chown(UserSites().c_str(), kNobody, kNobody), 0);
  ExpectIgnoredAndKept("is not owned by you");
}

TEST_F(UntrustedUserFile, FolderWritableByOthersOrALink) {
  Put(UserSites(), "https://a.example keys files\n", 0600);
  ::chmod(UserSites().parent_path().c_str(), 0777);
  ExpectIgnoredAndKept("folder that is writable by others");
  ::chmod(UserSites().parent_path().c_str(), 0700);

  const fs::path real = UserSites().parent_path().parent_path() / "real-npsigil";
  fs::rename(UserSites().parent_path(), real);
  fs::create_directory_symlink(real, UserSites().parent_path());
  ExpectIgnoredAndKept("link or not a folder");
  EXPECT_EQ(Slurp(real / "sites"), "https://a.example keys files\n");
}

TEST_F(UntrustedUserFile, NotARegularFile) {
  fs::create_directory(UserSites());
  ExpectIgnoredAndKept("is not a regular file");
  EXPECT_TRUE(fs::is_directory(UserSites()));
  fs::remove(UserSites());
  ASSERT_EQ(::mkfifo(UserSites().c_str(), 0600), 0);  // must not hang the reader
  ExpectIgnoredAndKept("is not a regular file");
}

TEST_F(UntrustedUserFile, LargerThanOneMebibyte) {
  std::string text = "https://a.example keys files\n";
  text += std::string(1 << 20, '#');
  Put(UserSites(), text, 0600);
  ExpectIgnoredAndKept("larger than 1 MiB");
  EXPECT_EQ(fs::file_size(UserSites()), text.size());
}

TEST(UserApprovals, AFileNearItsBoundIsNotGrownPastIt) {
  std::string text = "https://a.example keys\n#" + std::string((1 << 20) - 30, 'x') + "\n";
  ASSERT_LE(text.size(), 1u << 20);
  Put(UserSites(), text, 0600);
  ::chmod(UserSites().parent_path().c_str(), 0700);
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAllowed);
  EXPECT_EQ(consent::RememberSite(Parsed("https://a-much-longer-name.example"), kKeys | kFiles),
            consent::kSitesFileNotTrusted);
  EXPECT_EQ(Slurp(UserSites()), text);
}

// --- The machine's policy ----------------------------------------------------

TEST(MachinePolicy, PreApprovesListedOriginsBeforeTheUser) {
  Put(MachinePolicy(),
      "# the administrator's list\n"
      "https://intranet.example\n"
      "  https://hr.example   keys  \n"
      "http://legacy.example:8080\n"
      "file://\n",
      0644);
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), kKeys), S_OK);
  ASSERT_EQ(consent::RememberSite(Parsed("https://hr.example"), kFiles), S_OK);

  SiteDecision decision = consent::LookUpSite(Parsed("https://intranet.example"));
  EXPECT_EQ(decision.standing, Standing::kAllowed);
  EXPECT_EQ(decision.capabilities, kKeys | kFiles);
  EXPECT_TRUE(decision.byMachinePolicy);
  // The machine's entry decides, not the user's wider one.
  decision = consent::LookUpSite(Parsed("https://hr.example"));
  EXPECT_EQ(decision.capabilities, kKeys);
  EXPECT_TRUE(decision.byMachinePolicy);
  // The administrator may list what the user may not remember.
  EXPECT_EQ(StandingOf("http://legacy.example:8080"), Standing::kAllowed);
  EXPECT_EQ(StandingOf("file://"), Standing::kAllowed);
  // Without the lock, the user's approvals and the prompt still apply.
  decision = consent::LookUpSite(Parsed("https://a.example"));
  EXPECT_EQ(decision.standing, Standing::kAllowed);
  EXPECT_FALSE(decision.byMachinePolicy);
  EXPECT_EQ(StandingOf("https://other.example"), Standing::kAsk);

  EXPECT_EQ(Listed(),
            "M https://intranet.example keys files;M https://hr.example keys;"
            "M http://legacy.example:8080 keys files;M file:// keys files;"
            "U https://a.example keys;U https://hr.example files;");
  EXPECT_EQ(consent::CheckSitesFiles().machine, "");
}

TEST(MachinePolicy, OnlyListedRefusesEveryOtherSiteWithoutAsking) {
  Put(MachinePolicy(), "only-listed\nhttps://intranet.example\n", 0644);
  ASSERT_EQ(consent::RememberSite(Parsed("https://a.example"), kKeys | kFiles), S_OK);
  const SiteDecision refused = consent::LookUpSite(Parsed("https://a.example"));
  EXPECT_EQ(refused.standing, Standing::kRefused);
  EXPECT_EQ(refused.capabilities, 0u);
  EXPECT_TRUE(refused.byMachinePolicy);
  EXPECT_EQ(StandingOf("https://other.example"), Standing::kRefused);
  EXPECT_EQ(StandingOf("https://intranet.example"), Standing::kAllowed);
  EXPECT_EQ(Listed(),
            "locked;M https://intranet.example keys files;U https://a.example keys files;");
  bool bLocked = false;
  std::vector<SiteEntry> entries;
  EXPECT_EQ(consent::ListSites(&entries, nullptr), S_OK);
  EXPECT_EQ(consent::ListSites(nullptr, &bLocked), E_POINTER);
}

TEST(MachinePolicy, MissingPolicyIsNoPolicy) {
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
  testsupport::ScopedEnv machine("NPSIGIL_MACHINE_ROOT",
                                 testsupport::WriteTempFile("not-a-folder", "").c_str());
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kAsk);
  EXPECT_EQ(consent::CheckSitesFiles().machine, "");
}

TEST(MachinePolicy, MalformedLineLocksButListedSitesStillApply) {
  Put(MachinePolicy(), "https://intranet.example\nonly_listed\nhttps://x.example/path\n", 0644);
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kRefused);
  EXPECT_EQ(StandingOf("https://intranet.example"), Standing::kAllowed);
  const std::string problem = consent::CheckSitesFiles().machine;
  EXPECT_NE(problem.find("line 2"), std::string::npos) << problem;
  EXPECT_NE(problem.find(MachinePolicy().string()), std::string::npos) << problem;
  EXPECT_EQ(Listed(), "locked;M https://intranet.example keys files;");
}

// A policy that exists but cannot be trusted pre-approves nothing and locks.
TEST(MachinePolicy, UntrustedPolicyFailsClosed) {
  struct Case {
    const char* reason;
    void (*make)();
  };
  const Case cases[] = {
      {"is writable by others", [] { Put(MachinePolicy(), "https://intranet.example\n", 0666); }},
      {"folder that is writable by others",
       [] {
         Put(MachinePolicy(), "https://intranet.example\n", 0644);
         ::chmod(MachinePolicy().parent_path().c_str(), 0777);
       }},
      {"is not a regular file", [] { fs::create_directories(MachinePolicy()); }},
      {"larger than 1 MiB",
       [] {
         Put(MachinePolicy(), "https://intranet.example\n" + std::string(1 << 20, '#'), 0644);
       }},
      {"owned by neither root nor you",
       [] {
         Put(MachinePolicy(), "https://intranet.example\n", 0644);
         if (::geteuid() == 0 && ::chown(MachinePolicy().c_str(), kNobody, kNobody) != 0)
           ADD_FAILURE() << "chown";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    if (std::string(c.reason).starts_with("owned") && ::geteuid() != 0) continue;
    fs::remove_all(MachinePolicy().parent_path());
    c.make();
    EXPECT_EQ(StandingOf("https://intranet.example"), Standing::kRefused);
    EXPECT_EQ(StandingOf("https://a.example"), Standing::kRefused);
    EXPECT_EQ(Listed(), "locked;");
    const std::string problem = consent::CheckSitesFiles().machine;
    EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    fs::permissions(MachinePolicy().parent_path(), fs::perms::owner_all);
  }
}

TEST(MachinePolicy, LinkedPolicyIsFollowed) {
  const fs::path deployed = testsupport::MakeTempDir("etc") / "npsigil-sites";
  Put(deployed, "https://intranet.example\nonly-listed\n", 0644);
  fs::create_directories(MachinePolicy().parent_path());
  fs::create_symlink(deployed, MachinePolicy());
  EXPECT_EQ(StandingOf("https://intranet.example"), Standing::kAllowed);
  EXPECT_EQ(StandingOf("https://a.example"), Standing::kRefused);
  EXPECT_EQ(consent::CheckSitesFiles().machine, "");
}

}  // namespace
