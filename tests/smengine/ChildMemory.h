// Runs a piece of work in a forked child and reports how much the child's
// resident memory grew while it ran, as the kernel accounted it (its peak,
// VmHWM). The child first gives back the free memory its heap inherited and
// resets its peak to what it then holds, so what the work takes shows as
// growth whether or not the parent's heap had room for it. A child's first
// call into a library may add a megabyte of its own (lazy initialisation):
// the bounds here are for what the input costs, far above that.
#pragma once

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

namespace childmemory {

// The sanitizers keep freed memory in quarantine and shadow every byte:
// their builds run the work but cannot bound it.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMeasured = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kMeasured = false;
#else
inline constexpr bool kMeasured = true;
#endif
#else
inline constexpr bool kMeasured = true;
#endif

struct Outcome {
  bool ran = false;
  int result = 0;        // what the work returned
  long growthKiB = 0;    // peak resident memory added by the work
  double seconds = 0;    // wall time of the work
};

// The process's peak resident memory in KiB, or -1.
inline long PeakKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long peak = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::strtol(line + 6, nullptr, 10);
  std::fclose(status);
  return peak;
}

inline Outcome Run(const std::function<int()>& work) {
  Outcome outcome;
  int fds[2];
  if (pipe(fds) != 0) return outcome;
  const pid_t pid = fork();
  if (pid < 0) return outcome;
  if (pid == 0) {
    close(fds[0]);
    malloc_trim(0);
    if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);  // the peak becomes what is resident now
      std::fclose(clear);
    }
    const long before = PeakKiB();
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int result = work();
    clock_gettime(CLOCK_MONOTONIC, &end);
    const long after = PeakKiB();
    Outcome report;
    report.ran = before >= 0 && after >= 0;
    report.result = result;
    report.growthKiB = after - before;
    report.seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    const bool written = write(fds[1], &report, sizeof report) == sizeof report;
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  ssize_t n = 0;
  while ((n = read(fds[0], &outcome, sizeof outcome)) < 0 && errno == EINTR) {
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (n != sizeof outcome || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return Outcome{};
  return outcome;
}

// Runs the work, checks its result and, where memory is measured, that it
// grew the process by less than nLimitKiB. The figures go to the test's
// record for the report.
inline Outcome ExpectBounded(const char* pszWhat, long nLimitKiB, int nExpectedResult,
                             const std::function<int()>& work) {
  const Outcome outcome = Run(work);
  EXPECT_TRUE(outcome.ran) << pszWhat;
  EXPECT_EQ(outcome.result, nExpectedResult) << pszWhat << std::hex << " 0x" << outcome.result;
  ::testing::Test::RecordProperty(std::string(pszWhat) + "_growth_kib",
                                  std::to_string(outcome.growthKiB));
  if (kMeasured) {
    EXPECT_LT(outcome.growthKiB, nLimitKiB) << pszWhat;
  }
  return outcome;
}

}  // namespace childmemory
