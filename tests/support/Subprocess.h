// Runs one of our command-line programs as a child process and reports how
// it ended and the most memory it held, as the kernel accounted it.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  bool started = false;
  int exitCode = -1;   // -1 unless it exited normally
  long maxRssKiB = 0;  // peak resident set of the child alone
  std::string output;  // stdout and stderr, interleaved
};

// argv[0] is the program's path; no shell is involved.
ProcessResult RunProcess(const std::vector<std::string>& argv);

}  // namespace testsupport
