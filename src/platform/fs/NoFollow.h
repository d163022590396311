// Paths judged as the kernel sees them, and opened so that what was judged is
// what is reached: symbolic links are resolved once, up front, and refused
// from then on, so a name swapped for a link in between fails instead of
// leading somewhere else.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

// One owned descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  int release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int m_fd = -1;
};

struct PhysicalPath {
  // Absolute, without ".", ".." or empty components and, over its existing
  // part, without symbolic links.
  std::string path;
  // Every component exists.
  bool exists = false;
};

// Resolves the symbolic links of an absolute path the way the kernel walks
// it: "link/.." is the parent of the link's target, not the folder holding
// the link. When a component is missing, the path is resolved up to its deepest existing folder and the
// rest appended as plain folders would take it ("." dropped, ".." undoing
// the missing component before it). 0 or an errno value: EINVAL for a
// relative or empty path, ELOOP past 40 links, ENAMETOOLONG past PATH_MAX,
// ENOTDIR, EACCES.
int ResolvePhysically(std::string_view absolute, PhysicalPath* resolved);

// Opens the folder at a resolved path one component at a time, each with
// O_PATH | O_DIRECTORY | O_NOFOLLOW: a component that is now a symbolic link
// fails with ENOTDIR instead of being followed. The O_PATH descriptor, or -1
// with errno (EINVAL for a path with "." or ".." components).
int OpenFolderNoFollow(std::string_view resolvedFolder);

// What OpenRegularFileNoFollow answers for anything but a regular file.
inline constexpr int kNotARegularFile = -1;

// Opens the regular file at a resolved path for reading without following a
// link anywhere on the way. The type is looked at before the file is opened
// and again on the descriptor: a FIFO, device, socket or folder is never
// opened for reading, and the open cannot block (O_NONBLOCK, cleared once
// the descriptor is known to be a regular file). 0 with the descriptor and
// its status, kNotARegularFile, or an errno value (ELOOP when the file
// itself is now a link).
int OpenRegularFileNoFollow(std::string_view resolvedFile, UniqueFd* file, struct stat* status);

// True for the kernel's own file systems (proc, sysfs), whose files are
// windows onto processes and devices rather than data.
bool IsKernelFileSystem(int fd);

// "/proc/self/fd/<fd>", the name that reaches the descriptor's own object.
std::string DescriptorPath(int fd);
