#include "platform/fs/NoFollow.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

namespace {

// The kernel's own limit on links followed in one walk.
constexpr int kMaxLinks = 40;

void SplitInto(std::string_view path, std::deque<std::string>& out, bool atFront) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    if (end > pos) parts.emplace_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  // A trailing '/' asks for a folder: "file/" does not name the file.
  if (!path.empty() && path.back() == '/' && !parts.empty()) parts.emplace_back(".");
  if (atFront)
    out.insert(out.begin(), parts.begin(), parts.end());
  else
    out.insert(out.end(), parts.begin(), parts.end());
}

std::string Join(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string path;
  for (const std::string& part : parts) {
    path += '/';
    path += part;
  }
  return path;
}

int ReadLink(const std::string& path, std::string* target) {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  if (n < 0) return errno;
  if (static_cast<std::size_t>(n) >= buffer.size()) return ENAMETOOLONG;
  buffer.resize(static_cast<std::size_t>(n));
  *target = std::move(buffer);
  return 0;
}

int OpenAt(int dirfd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

int ResolvePhysically(std::string_view absolute, PhysicalPath* resolved) {
  if (resolved == nullptr || absolute.empty() || absolute.front() != '/') return EINVAL;
  std::deque<std::string> pending;
  SplitInto(absolute, pending, false);
  std::vector<std::string> parts;
  std::size_t missing = 0;  // trailing parts that do not exist
  bool beyondFile = false;  // the last part is something other than a folder
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (beyondFile) return ENOTDIR;
    if (part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      if (missing > 0) --missing;
      continue;
    }
    if (missing > 0) {
      parts.push_back(std::move(part));
      ++missing;
      continue;
    }
    parts.push_back(std::move(part));
    const std::string candidate = Join(parts);
    if (candidate.size() > PATH_MAX) return ENAMETOOLONG;
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0) {
      if (errno != ENOENT) return errno;
      missing = 1;
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ELOOP;
      std::string target;
      if (const int err = ReadLink(candidate, &target); err != 0) return err;
      if (target.empty()) return ENOENT;
      parts.pop_back();
      if (target.front() == '/') parts.clear();
      SplitInto(target, pending, true);
      continue;
    }
    beyondFile = !S_ISDIR(st.st_mode);
  }
  resolved->path = Join(parts);
  if (resolved->path.size() > PATH_MAX) return ENAMETOOLONG;
  resolved->exists = missing == 0;
  return 0;
}

int OpenFolderNoFollow(std::string_view resolvedFolder) {
  if (resolvedFolder.empty() || resolvedFolder.front() != '/') {
    errno = EINVAL;
    return -1;
  }
  UniqueFd folder(OpenAt(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return -1;
  std::size_t pos = 1;
  while (pos < resolvedFolder.size()) {
    std::size_t end = resolvedFolder.find('/', pos);
    if (end == std::string_view::npos) end = resolvedFolder.size();
    const std::string part(resolvedFolder.substr(pos, end - pos));
    pos = end + 1;
    if (part.empty()) continue;
    // The walk must not be lexical: only a resolved path may be walked.
    if (part == "." || part == "..") {
      errno = EINVAL;
      return -1;
    }
    UniqueFd next(OpenAt(folder.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return -1;
    folder = std::move(next);
  }
  return folder.release();
}

int OpenRegularFileNoFollow(std::string_view resolvedFile, UniqueFd* file, struct stat* status) {
  if (file == nullptr || status == nullptr) return EINVAL;
  const std::size_t slash = resolvedFile.rfind('/');
  if (slash == std::string_view::npos) return EINVAL;
  const std::string name(resolvedFile.substr(slash + 1));
  if (name.empty() || name == "." || name == "..") return kNotARegularFile;
  UniqueFd folder(OpenFolderNoFollow(slash == 0 ? "/" : resolvedFile.substr(0, slash)));
  if (!folder.valid()) return errno;

  // Looked at before opening: opening a device or FIFO can itself act.
  struct stat before {};
  if (::fstatat(folder.get(), name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISLNK(before.st_mode)) return ELOOP;
  if (!S_ISREG(before.st_mode)) return kNotARegularFile;

  UniqueFd opened(
      OpenAt(folder.get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!opened.valid()) return errno;
  if (::fstat(opened.get(), status) != 0) return errno;
  if (!S_ISREG(status->st_mode)) return kNotARegularFile;
  const int flags = ::fcntl(opened.get(), F_GETFL);
  if (flags < 0 || ::fcntl(opened.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
  *file = std::move(opened);
  return 0;
}

bool IsKernelFileSystem(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case BPF_FS_MAGIC:
      return true;
    default:
      return false;
  }
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
