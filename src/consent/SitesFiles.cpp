// Guarded reads and atomic writes of the sites files. Everything here is
// done through descriptors (openat, fstat, renameat on the folder's
// descriptor), so what was checked is what gets read or replaced even if a
// name changes underneath.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "consent/SitesInternal.h"
#include "platform/base/LastError.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/LastErrorResult.h"

namespace consent::detail {

namespace {

constexpr char kUserSitesName[] = "sites";

FileText Failed(int err, std::string what) {
  FileText status;
  status.status = ReadStatus::kFailed;
  status.hResult = ResultFromErrno(err);
  status.why = what + " (" + std::error_code(err, std::generic_category()).message() + ")";
  return status;
}

FileText NotTrusted(std::string why) {
  FileText status;
  status.status = ReadStatus::kNotTrusted;
  status.hResult = kSitesFileNotTrusted;
  status.why = std::move(why);
  return status;
}

// Empty when the owner and mode are acceptable, else why not.
std::string OwnerProblem(const struct stat& st, bool bRootMayOwn) {
  const uid_t me = ::geteuid();
  if (st.st_uid != me && !(bRootMayOwn && st.st_uid == 0))
    return bRootMayOwn ? "is owned by neither root nor you" : "is not owned by you";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by others";
  return {};
}

// The whole of a checked regular file, at most kMaxSitesFileBytes.
FileText ReadChecked(Fd fd, bool bRootMayOwn) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Failed(errno, "cannot be examined");
  if (!S_ISREG(st.st_mode)) return NotTrusted("is not a regular file");
  if (std::string problem = OwnerProblem(st, bRootMayOwn); !problem.empty())
    return NotTrusted(std::move(problem));
  // The size is checked as the bytes come, not from st_size: the file may
  // grow while it is read.
  FileText result;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed(errno, "cannot be read");
    if (n == 0) break;
    if (result.text.size() + static_cast<std::size_t>(n) > kMaxSitesFileBytes)
      return NotTrusted("is larger than 1 MiB");
    result.text.append(chunk, static_cast<std::size_t>(n));
  }
  result.status = ReadStatus::kRead;
  return result;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

int Fd::Close() {
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Fd OpenUserFolder(bool bCreate, FileText* pStatus) {
  const std::filesystem::path root = UserStateRoot();
  if (root.empty()) {
    *pStatus = Failed(ENOENT, "has no home folder to live in");
    return Fd();
  }
  if (bCreate) {
    std::error_code ec;
    std::filesystem::create_directories(root.parent_path(), ec);
    if (ec) {
      *pStatus = Failed(ec.value(), "cannot have its folder made");
      return Fd();
    }
    // The mode is set again after mkdir because the umask may have taken
    // bits away; an existing folder keeps its mode and is judged below.
    if (::mkdir(root.c_str(), 0700) == 0) {
      ::chmod(root.c_str(), 0700);
    } else if (errno != EEXIST) {
      *pStatus = Failed(errno, "cannot have its folder made");
      return Fd();
    }
  }
  Fd folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) {
    const int err = errno;
    if (err == ENOENT && !bCreate) {
      *pStatus = FileText{};
      return Fd();
    }
    if (err == ELOOP || err == ENOTDIR)
      *pStatus = NotTrusted("is in a folder that is a link or not a folder");
    else
      *pStatus = Failed(err, "is in a folder that cannot be opened");
    return Fd();
  }
  struct stat st {};
  if (::fstat(folder.get(), &st) != 0) {
    *pStatus = Failed(errno, "is in a folder that cannot be examined");
    return Fd();
  }
  if (std::string problem = OwnerProblem(st, false); !problem.empty()) {
    *pStatus = NotTrusted("is in a folder that " + problem);
    return Fd();
  }
  pStatus->status = ReadStatus::kRead;
  return folder;
}

FileText ReadUserSitesFile(int folderFd) {
  // O_NONBLOCK so a FIFO planted there cannot hang the caller before
  // fstat rejects it.
  Fd fd(::openat(folderFd, kUserSitesName,
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return FileText{};
    if (errno == ELOOP) return NotTrusted("is a link");
    return Failed(errno, "cannot be opened");
  }
  return ReadChecked(std::move(fd), false);
}

FileText ReadMachinePolicyFile() {
  const std::filesystem::path path = MachinePolicyPath();
  // Whoever may write the policy folder may also delete the file, and with
  // it the lock; a folder like that is no better than a missing file with a
  // lock nobody can see, so it fails closed as well.
  struct stat folder {};
  if (::stat(path.parent_path().c_str(), &folder) == 0) {
    if (std::string problem = OwnerProblem(folder, true); !problem.empty())
      return NotTrusted("is in a folder that " + problem);
  }
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return FileText{};
    return Failed(errno, "cannot be opened");
  }
  return ReadChecked(std::move(fd), true);
}

HRESULT ReplaceFileAt(int folderFd, const char* name, std::string_view text) {
  static std::atomic<unsigned> counter{0};
  std::string temp;
  Fd fd;
  for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
    temp = "." + std::string(name) + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(++counter);
    fd = Fd(::openat(folderFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0600));
    if (!fd && errno != EEXIST) break;
  }
  if (!fd) return ResultFromErrno(errno);
  int err = 0;
  if (::fchmod(fd.get(), 0600) != 0 || !WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0)
    err = errno ? errno : EIO;
  if (fd.Close() != 0 && err == 0) err = errno;
  if (err == 0 && ::renameat(folderFd, temp.c_str(), folderFd, name) != 0) err = errno;
  if (err != 0) {
    ::unlinkat(folderFd, temp.c_str(), 0);
    return ResultFromErrno(err);
  }
  // The rename itself is durable only once the folder is.
  ::fsync(folderFd);
  return S_OK;
}

}  // namespace consent::detail

namespace consent {

std::string UserSitesPath() {
  const std::filesystem::path root = UserStateRoot();
  return root.empty() ? std::string() : (root / "sites").string();
}

std::string MachinePolicyPath() { return (MachineStateRoot() / "policy" / "sites").string(); }

}  // namespace consent
