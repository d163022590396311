#include "bridge/CallTimings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace bridge {
namespace {

// Opened once; a file that cannot be opened simply records nothing.
int TimingsFile() {
  static const int fd = [] {
    const char* path = std::getenv(kCallTimingsVariable);
    if (!path || !*path) return -1;
    return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  }();
  return fd;
}

}  // namespace

void RecordCallTime(std::string_view method, std::chrono::steady_clock::duration took) {
  const int fd = TimingsFile();
  if (fd < 0) return;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  std::string line(method);
  line += ' ';
  line += std::to_string(micros);
  line += '\n';
  // One write of the whole line: with O_APPEND, sessions running side by
  // side never interleave within a line.
  [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
}

}  // namespace bridge
