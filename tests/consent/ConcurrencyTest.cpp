// The bridge calls all of this from several threads, and the plug-in, the
// bridge and npsigil-cert may write the user's file at the same time: no
// approval may be lost and no reader may see half a file. Run under the
// sanitizer build too.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ConsentTestSupport.h"
#include "consent/PasswordThrottle.h"
#include "consent/SiteApprovals.h"

namespace {

using namespace consenttest;
using consent::Standing;

std::string SiteName(int writer, int i) {
  return "https://w" + std::to_string(writer) + "-" + std::to_string(i) + ".example";
}

TEST(Concurrency, ThreadsRememberForgetAndLookUpWithoutLosingChanges) {
  constexpr int kThreads = 6;
  constexpr int kSitesEach = 12;
  Put(MachinePolicy(), "https://intranet.example\n", 0644);
  std::atomic<int> failures{0};
  std::atomic<bool> bStop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSitesEach; ++i) {
        const consent::Origin kept = Parsed(SiteName(t, i));
        const consent::Origin dropped = Parsed(SiteName(t, i) + ":8443");
        if (consent::RememberSite(kept, consent::kKeys) != S_OK) ++failures;
        if (consent::RememberSite(dropped, consent::kKeys | consent::kFiles) != S_OK) ++failures;
        if (consent::RememberSite(kept, consent::kFiles) != S_OK) ++failures;
        if (consent::ForgetSite(dropped) != S_OK) ++failures;
        if (consent::LookUpSite(kept).capabilities != (consent::kKeys | consent::kFiles))
          ++failures;
      }
    });
  // Readers meanwhile: the file is always whole, the machine entry always there.
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r)
    readers.emplace_back([&] {
      while (!bStop) {
        if (consent::LookUpSite(Parsed("https://intranet.example")).standing != Standing::kAllowed)
          ++failures;
        std::vector<consent::SiteEntry> entries;
        if (consent::ListSites(&entries, nullptr) != S_OK || entries.empty()) ++failures;
        consent::CheckSitesFiles();
      }
    });
  for (std::thread& thread : threads) thread.join();
  bStop = true;
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ(failures, 0);

  std::vector<consent::SiteEntry> entries;
  ASSERT_EQ(consent::ListSites(&entries, nullptr), S_OK);
  EXPECT_EQ(entries.size(), 1u + kThreads * kSitesEach);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kSitesEach; ++i) {
      EXPECT_EQ(StandingOf(SiteName(t, i)), Standing::kAllowed);
      EXPECT_EQ(StandingOf(SiteName(t, i) + ":8443"), Standing::kAsk);
    }
  // Nothing half-done left beside the file.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(UserSites().parent_path())) {
    ++files;
    EXPECT_EQ(entry.path().filename(), "sites");
  }
  EXPECT_EQ(files, 1);
}

TEST(Concurrency, ProcessesWritingAtOnceLoseNothing) {
  constexpr int kChildren = 3;
  constexpr int kSitesEach = 15;
  std::vector<pid_t> children;
  for (int c = 1; c <= kChildren; ++c) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      for (int i = 0; i < kSitesEach; ++i) {
        consent::Origin origin;
        if (!consent::ParseOrigin(SiteName(c, i), &origin) ||
            consent::RememberSite(origin, consent::kKeys) != S_OK)
          ++bad;
      }
      ::_exit(bad == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (int i = 0; i < kSitesEach; ++i)
    EXPECT_EQ(consent::RememberSite(Parsed(SiteName(0, i)), consent::kKeys), S_OK);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<consent::SiteEntry> entries;
  ASSERT_EQ(consent::ListSites(&entries, nullptr), S_OK);
  EXPECT_EQ(entries.size(), static_cast<std::size_t>((kChildren + 1) * kSitesEach));
}

TEST(Concurrency, ThrottleCountsEveryWrongPasswordFromEveryThread) {
  consent::PasswordThrottle throttle(64);
  const auto now = consent::PasswordThrottle::Clock::time_point{};
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string own = "file-" + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        // One shared file, one of the thread's own, and churn through the table.
        throttle.RecordWrong("https://a.example", "shared", now);
        throttle.MayTry("https://a.example", "shared", now);
        throttle.WaitLeft("https://a.example", own, now);
        throttle.RecordWrong("https://a.example", own, now);
        throttle.RecordWrong("https://churn.example", own + "-" + std::to_string(i), now);
        if (i % 100 == 0) throttle.RecordRight("https://churn.example", own);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(throttle.EntryCount(), 64u);
  EXPECT_FALSE(throttle.MayTry("https://a.example", "shared", now));
  EXPECT_EQ(throttle.WaitLeft("https://a.example", "shared", now), std::chrono::seconds(60));
}

}  // namespace
