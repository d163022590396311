#include "platform/fs/PendingFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/fs/Files.h"
#include "platform/base/LastError.h"
#include "platform/fs/Paths.h"

namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr int kHiddenNameTries = 16;

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailWithErrno(int err) { return FailWith(Win32ErrorFromErrno(err)); }

// A flush or close that fails means the bytes may not all be there.
DWORD WriteFault(int err) {
  const DWORD error = Win32ErrorFromErrno(err);
  return error == ERROR_DISK_FULL ? error : ERROR_WRITE_FAULT;
}

std::string HiddenName() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
    value ^= static_cast<std::uint64_t>(::getpid()) << 32 ^ reinterpret_cast<std::uintptr_t>(&value);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = ".npsigil-";
  for (int i = 0; i < 16; ++i) name += kHex[(value >> (i * 4)) & 0xF];
  return name;
}

// O_TMPFILE is refused in these ways where the kernel or file system lacks it.
bool LacksNamelessFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

}  // namespace

PendingFile::PendingFile(PendingFile&& other) noexcept
    : m_folder(std::move(other.m_folder)),
      m_file(std::move(other.m_file)),
      m_name(std::move(other.m_name)),
      m_hidden(std::move(other.m_hidden)),
      m_hFile(std::exchange(other.m_hFile, INVALID_HANDLE_VALUE)),
      m_pStream(std::exchange(other.m_pStream, nullptr)) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    Discard();
    m_folder = std::move(other.m_folder);
    m_file = std::move(other.m_file);
    m_name = std::move(other.m_name);
    m_hidden = std::move(other.m_hidden);
    m_hFile = std::exchange(other.m_hFile, INVALID_HANDLE_VALUE);
    m_pStream = std::exchange(other.m_pStream, nullptr);
  }
  return *this;
}

BOOL PendingFile::Create(LPCWSTR lpwTargetPath, Placement placement) {
  Discard();
  if (lpwTargetPath == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  const std::string target = NativePath(lpwTargetPath);
  const std::size_t slash = target.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return FailWith(ERROR_INVALID_NAME);

  UniqueFd folderFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd.valid())
    return errno == ENOENT ? FailWith(ERROR_PATH_NOT_FOUND) : FailWithErrno(errno);
  // Refused now rather than after the work; Commit asks again.
  struct stat st {};
  if (::fstatat(folderFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    return FailWith(ERROR_FILE_EXISTS);
  if (errno != ENOENT) return FailWithErrno(errno);

  UniqueFd file;
  std::string hidden;
  if (placement == Placement::kAutomatic) {
    file.reset(::openat(folderFd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, kOwnerOnly));
    if (!file.valid() && !LacksNamelessFiles(errno)) return FailWithErrno(errno);
  }
  for (int i = 0; !file.valid() && i < kHiddenNameTries; ++i) {
    hidden = HiddenName();
    file.reset(::openat(folderFd.get(), hidden.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kOwnerOnly));
    if (!file.valid() && errno != EEXIST) return FailWithErrno(errno);
  }
  if (!file.valid()) return FailWith(ERROR_FILE_EXISTS);
  m_folder = std::move(folderFd);
  m_file = std::move(file);
  m_name = std::move(name);
  m_hidden = std::move(hidden);

  // The umask may only take bits away; the file is the owner's alone either way.
  if (::fchmod(m_file.get(), kOwnerOnly) != 0) {
    const int err = errno;
    Discard();
    return FailWithErrno(err);
  }
  const int handleFd = ::fcntl(m_file.get(), F_DUPFD_CLOEXEC, 0);
  m_hFile = HandleFromDescriptor(handleFd);
  const int streamFd = ::fcntl(m_file.get(), F_DUPFD_CLOEXEC, 0);
  m_pStream = streamFd < 0 ? nullptr : ::fdopen(streamFd, "w+b");
  if (m_hFile == INVALID_HANDLE_VALUE || m_pStream == nullptr) {
    const int err = errno;
    if (streamFd >= 0 && m_pStream == nullptr) ::close(streamFd);
    Discard();
    return FailWithErrno(err != 0 ? err : EMFILE);
  }
  return TRUE;
}

BOOL PendingFile::Commit() {
  if (!IsOpen()) return FailWith(ERROR_INVALID_HANDLE);
  DWORD fault = ERROR_SUCCESS;
  if (std::fflush(m_pStream) != 0) fault = WriteFault(errno);
  if (std::fclose(std::exchange(m_pStream, nullptr)) != 0 && fault == ERROR_SUCCESS)
    fault = WriteFault(errno);
  if (!CloseHandle(std::exchange(m_hFile, INVALID_HANDLE_VALUE)) && fault == ERROR_SUCCESS)
    fault = ERROR_WRITE_FAULT;
  if (fault == ERROR_SUCCESS && ::fsync(m_file.get()) != 0) fault = WriteFault(errno);
  if (fault != ERROR_SUCCESS) {
    Discard();
    return FailWith(fault);
  }

  int result;
  if (m_hidden.empty()) {
    result = ::linkat(AT_FDCWD, DescriptorPath(m_file.get()).c_str(), m_folder.get(),
                      m_name.c_str(), AT_SYMLINK_FOLLOW);
    // Without /proc, only the privileged way is left.
    if (result != 0 && errno == ENOENT)
      result = ::linkat(m_file.get(), "", m_folder.get(), m_name.c_str(), AT_EMPTY_PATH);
  } else {
    result = ::renameat2(m_folder.get(), m_hidden.c_str(), m_folder.get(), m_name.c_str(),
                         RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A link never replaces either; the dot name then goes.
      result = ::linkat(m_folder.get(), m_hidden.c_str(), m_folder.get(), m_name.c_str(), 0);
      if (result == 0) ::unlinkat(m_folder.get(), m_hidden.c_str(), 0);
    }
    if (result == 0) m_hidden.clear();
  }
  if (result != 0) {
    const int err = errno;
    Discard();
    return FailWithErrno(err);
  }
  m_file.reset();
  m_folder.reset();
  return TRUE;
}

void PendingFile::Discard() {
  LastErrorKeeper keeper;
  if (m_pStream != nullptr) std::fclose(std::exchange(m_pStream, nullptr));
  if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(std::exchange(m_hFile, INVALID_HANDLE_VALUE));
  if (!m_hidden.empty() && m_folder.valid()) ::unlinkat(m_folder.get(), m_hidden.c_str(), 0);
  m_hidden.clear();
  m_file.reset();
  m_folder.reset();
  m_name.clear();
}
