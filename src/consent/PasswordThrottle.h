// Slows a page that guesses the password of a soft-certificate or PKCS#12
// file. Nothing is written to disk: the count lives as long as the process
// (a page that reloads keeps its count; a restarted browser starts afresh).
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace consent {

// Per origin and per file, in this process only. After 5 wrong passwords in
// a row, every further attempt within a growing wait (1 s after the 5th,
// doubling per further wrong one, at most 60 s) is refused at once without
// trying the password; a right password resets the count. Thread-safe. The
// clock is injectable for tests.
//
// The caller passes a stable file key (the resolved path, or device:inode)
// so that two names of one file share a count.
//
// The table holds at most kMaxEntries (origin, file) pairs; a new pair past
// that pushes out the one whose last wrong password is the oldest. A page
// could push its own entry out that way, but only by failing on thousands
// of other files, each try as dear as one on the file it is after, so it
// still gets at most 5 tries on that file for every kMaxEntries others.
class PasswordThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr unsigned kFreeTries = 5;
  static constexpr std::chrono::milliseconds kFirstWait{1000};
  static constexpr std::chrono::milliseconds kLongestWait{60000};
  static constexpr std::size_t kMaxEntries = 4096;

  // The one throttle the process's callers share (never destroyed, so it
  // outlives every thread that may still use it at exit).
  static PasswordThrottle& Shared();

  explicit PasswordThrottle(std::size_t maxEntries = kMaxEntries);
  PasswordThrottle(const PasswordThrottle&) = delete;
  PasswordThrottle& operator=(const PasswordThrottle&) = delete;

  // True when a try may go ahead now.
  bool MayTry(std::string_view origin, std::string_view fileKey,
              Clock::time_point now = Clock::now());
  void RecordWrong(std::string_view origin, std::string_view fileKey,
                   Clock::time_point now = Clock::now());
  void RecordRight(std::string_view origin, std::string_view fileKey);
  // The wait still to run (0 when none), rounded up to whole milliseconds,
  // for messages and tests.
  std::chrono::milliseconds WaitLeft(std::string_view origin, std::string_view fileKey,
                                     Clock::time_point now = Clock::now());

  // Pairs with a count, for tests of the bound.
  std::size_t EntryCount() const;

 private:
  struct Entry {
    std::string key;
    unsigned wrong = 0;
    Clock::time_point waitUntil{};
  };
  using Entries = std::list<Entry>;  // the most recent wrong password first

  static std::string KeyOf(std::string_view origin, std::string_view fileKey);
  const Entry* Find(const std::string& key) const;

  const std::size_t m_maxEntries;
  mutable std::mutex m_mutex;
  Entries m_entries;
  std::unordered_map<std::string_view, Entries::iterator> m_index;  // views of Entry::key
};

}  // namespace consent
