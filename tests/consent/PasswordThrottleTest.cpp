// The password throttle's schedule, driven by a clock the test moves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "consent/PasswordThrottle.h"

namespace {

using consent::PasswordThrottle;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = PasswordThrottle::Clock;

constexpr char kSite[] = "https://a.example";
constexpr char kFile[] = "2049:131077";

class Throttle : public ::testing::Test {
 protected:
  void Wrong(int times = 1, const char* origin = kSite, const char* file = kFile) {
    for (int i = 0; i < times; ++i) {
      ASSERT_TRUE(throttle_.MayTry(origin, file, now_)) << "try " << i;
      throttle_.RecordWrong(origin, file, now_);
    }
  }
  bool May(const char* origin = kSite, const char* file = kFile) {
    return throttle_.MayTry(origin, file, now_);
  }
  milliseconds Left(const char* origin = kSite, const char* file = kFile) {
    return throttle_.WaitLeft(origin, file, now_);
  }

  PasswordThrottle throttle_;
  Clock::time_point now_ = Clock::time_point{} + std::chrono::hours(1000);
};

TEST_F(Throttle, FiveWrongAreFreeThenTheWaitDoublesUpToAMinute) {
  Wrong(4);
  EXPECT_TRUE(May());
  EXPECT_EQ(Left(), milliseconds(0));
  Wrong();  // the 5th
  const seconds expected[] = {seconds(1),  seconds(2),  seconds(4),  seconds(8), seconds(16),
                              seconds(32), seconds(60), seconds(60), seconds(60)};
  for (seconds wait : expected) {
    SCOPED_TRACE(wait.count());
    EXPECT_FALSE(May());
    EXPECT_EQ(Left(), wait);
    now_ += wait - milliseconds(1);
    EXPECT_FALSE(May());
    EXPECT_EQ(Left(), milliseconds(1));
    now_ += milliseconds(1);
    EXPECT_TRUE(May());
    EXPECT_EQ(Left(), milliseconds(0));
    Wrong();
  }
}

TEST_F(Throttle, WaitIsCountedFromTheLastWrongPassword) {
  Wrong(5);
  now_ += seconds(10);  // long after the 1 s wait
  EXPECT_TRUE(May());
  Wrong();  // the 6th: 2 s from now, not from the 5th
  EXPECT_EQ(Left(), seconds(2));
  // Asking does not extend the wait; only a recorded wrong password does.
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(May());
  EXPECT_EQ(Left(), seconds(2));
  // A wrong password recorded in spite of the wait still counts.
  throttle_.RecordWrong(kSite, kFile, now_);
  EXPECT_EQ(Left(), seconds(4));
}

TEST_F(Throttle, RightPasswordResetsTheCount) {
  Wrong(5);
  now_ += seconds(1);
  throttle_.RecordRight(kSite, kFile);
  EXPECT_EQ(throttle_.EntryCount(), 0u);
  Wrong(4);
  EXPECT_TRUE(May());
  Wrong();
  EXPECT_EQ(Left(), seconds(1));
  throttle_.RecordRight("https://other.example", kFile);  // someone else's: no effect
  EXPECT_FALSE(May());
}

TEST_F(Throttle, OriginsAndFilesAreCountedApart) {
  Wrong(5);
  EXPECT_FALSE(May());
  EXPECT_TRUE(May("https://b.example", kFile));
  EXPECT_TRUE(May(kSite, "2049:131078"));
  EXPECT_TRUE(May("https://a.example:8443", kFile));
  // Keys cannot run together: ("ab", "c") is not ("a", "bc").
  Wrong(5, "ab", "c");
  EXPECT_FALSE(May("ab", "c"));
  EXPECT_TRUE(May("a", "bc"));
  EXPECT_TRUE(May("abc", ""));
  Wrong(5, kSite, "2049:131078");
  throttle_.RecordRight(kSite, "2049:131078");
  EXPECT_FALSE(May());
}

TEST(ThrottleTable, IsBoundAndPushesOutTheOldestFirst) {
  PasswordThrottle throttle(3);
  Clock::time_point now{};
  for (int i = 0; i < 5; ++i) throttle.RecordWrong(kSite, "a", now);
  for (int i = 0; i < 5; ++i) throttle.RecordWrong(kSite, "b", now);
  for (int i = 0; i < 5; ++i) throttle.RecordWrong(kSite, "c", now);
  // "a" is used again, so "b" is now the oldest.
  throttle.RecordWrong(kSite, "a", now);
  throttle.RecordWrong(kSite, "d", now);
  EXPECT_EQ(throttle.EntryCount(), 3u);
  EXPECT_FALSE(throttle.MayTry(kSite, "a", now));
  EXPECT_TRUE(throttle.MayTry(kSite, "b", now));
  EXPECT_FALSE(throttle.MayTry(kSite, "c", now));
  EXPECT_EQ(throttle.WaitLeft(kSite, "a", now), seconds(2));

  PasswordThrottle big;
  for (std::size_t i = 0; i < 3 * PasswordThrottle::kMaxEntries; ++i)
    big.RecordWrong(kSite, std::to_string(i), now);
  EXPECT_EQ(big.EntryCount(), PasswordThrottle::kMaxEntries);
}

}  // namespace
