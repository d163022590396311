#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pki/TestPki.h"

namespace testpki {

bool WriteFileIn(const std::filesystem::path& folder, const std::string& name,
                 std::span<const std::uint8_t> bytes, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (name.empty() || name == "." || name.find('/') != std::string::npos ||
      name.find("..") != std::string::npos || name.find('\0') != std::string::npos)
    return fail("refused file name \"" + name + "\"");
  const std::filesystem::path path = folder / name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return fail(path.string() + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = path.string() + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(path.c_str());
      return fail(why);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    const std::string why = path.string() + ": " + std::strerror(errno);
    ::unlink(path.c_str());
    return fail(why);
  }
  return true;
}

bool WriteFileIn(const std::filesystem::path& folder, const std::string& name,
                 std::string_view text, std::string* error) {
  return WriteFileIn(folder, name,
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                     error);
}

}  // namespace testpki
