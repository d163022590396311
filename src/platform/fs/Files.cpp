#include "platform/fs/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "platform/base/LastError.h"
#include "platform/fs/Paths.h"

namespace {

// File handles are table entries, not pointers, so a stale or made-up handle
// is refused instead of being dereferenced.
class HandleTable {
 public:
  HANDLE Add(int fd) {
    std::lock_guard lock(mutex_);
    std::uintptr_t key = next_;
    next_ += 4;
    fds_.emplace(key, fd);
    return reinterpret_cast<HANDLE>(key);
  }
  int Find(HANDLE h) {
    std::lock_guard lock(mutex_);
    auto it = fds_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == fds_.end() ? -1 : it->second;
  }
  int Remove(HANDLE h) {
    std::lock_guard lock(mutex_);
    auto it = fds_.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == fds_.end()) return -1;
    int fd = it->second;
    fds_.erase(it);
    return fd;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, int> fds_;
  std::uintptr_t next_ = 0x1000;
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

int FdOf(HANDLE h) {
  int fd = Handles().Find(h);
  if (fd < 0) SetLastError(ERROR_INVALID_HANDLE);
  return fd;
}

bool IsDirectory(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenFlags(DWORD access, DWORD disposition) {
  int flags = O_CLOEXEC;
  bool read = access & GENERIC_READ;
  bool write = access & GENERIC_WRITE;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
      return flags | O_CREAT | O_TRUNC;
    case OPEN_EXISTING:
      return flags;
    case OPEN_ALWAYS:
      return flags | O_CREAT;
    case TRUNCATE_EXISTING:
      return write ? flags | O_TRUNC : -1;
    default:
      return -1;
  }
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   void* /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  int flags = OpenFlags(dwDesiredAccess, dwCreationDisposition);
  if (!lpFileName || !*lpFileName || flags < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = ::open(NativePath(lpFileName).c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return INVALID_HANDLE_VALUE;
  }
  if (IsDirectory(fd)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return Handles().Add(fd);
}

BOOL ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  int fd = FdOf(hFile);
  if (fd < 0) return FALSE;
  if (lpOverlapped || (!lpBuffer && nNumberOfBytesToRead)) return FailWith(ERROR_INVALID_PARAMETER);
  auto* out = static_cast<BYTE*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToRead) {
    ssize_t n = ::read(fd, out + total, nNumberOfBytesToRead - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
      return FailWith(Win32ErrorFromErrno(errno));
    }
    if (n == 0) break;
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
               DWORD* lpNumberOfBytesWritten, void* lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  int fd = FdOf(hFile);
  if (fd < 0) return FALSE;
  if (lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite))
    return FailWith(ERROR_INVALID_PARAMETER);
  const auto* in = static_cast<const BYTE*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToWrite) {
    ssize_t n = ::write(fd, in + total, nNumberOfBytesToWrite - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
      return FailWith(n < 0 ? Win32ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
    }
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
  return TRUE;
}

BOOL GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize) {
  int fd = FdOf(hFile);
  if (fd < 0) return FALSE;
  if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return FailWith(Win32ErrorFromErrno(errno));
  lpFileSize->QuadPart = static_cast<LONGLONG>(st.st_size);
  return TRUE;
}

DWORD GetFileSize(HANDLE hFile, DWORD* lpFileSizeHigh) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size.HighPart);
  // A size whose low half looks like the failure value is told apart by a
  // zero last error, as on Windows.
  if (size.LowPart == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return size.LowPart;
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, LARGE_INTEGER* lpNewFilePointer,
                      DWORD dwMoveMethod) {
  int fd = FdOf(hFile);
  if (fd < 0) return FALSE;
  int whence;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      whence = SEEK_SET;
      break;
    case FILE_CURRENT:
      whence = SEEK_CUR;
      break;
    case FILE_END:
      whence = SEEK_END;
      break;
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  off_t now = ::lseek(fd, static_cast<off_t>(liDistanceToMove.QuadPart), whence);
  if (now < 0) return FailWith(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32ErrorFromErrno(errno));
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = static_cast<LONGLONG>(now);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  int fd = FdOf(hFile);
  if (fd < 0) return FALSE;
  if (::fsync(fd) != 0) return FailWith(Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  int fd = Handles().Remove(hObject);
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  // The descriptor is gone whatever close reports (Linux never retries it).
  if (::close(fd) != 0 && errno != EINTR) return FailWith(Win32ErrorFromErrno(errno));
  return TRUE;
}

HANDLE HandleFromDescriptor(int fd) {
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  return Handles().Add(fd);
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  if (!lpFileName || !*lpFileName) return FailWith(ERROR_INVALID_PARAMETER);
  if (::unlink(NativePath(lpFileName).c_str()) != 0) return FailWith(Win32ErrorFromErrno(errno));
  return TRUE;
}

namespace {

struct StreamMode {
  int flags = 0;
  const char* fdopenMode = nullptr;
};

// Parses r/w/a[+][b|t]; 'w' always creates exclusively so that a file that
// appeared after the caller's existence check is never truncated.
bool ParseMode(std::u16string_view mode, StreamMode& out) {
  if (mode.empty()) return false;
  bool plus = false;
  for (std::size_t i = 1; i < mode.size(); ++i) {
    char16_t c = mode[i];
    if (c == u'+' && !plus)
      plus = true;
    else if (c != u'b' && c != u't')
      return false;
  }
  switch (mode[0]) {
    case u'r':
      out.flags = plus ? O_RDWR : O_RDONLY;
      out.fdopenMode = plus ? "r+" : "r";
      return true;
    case u'w':
      out.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL;
      out.fdopenMode = plus ? "r+" : "w";
      return true;
    case u'a':
      out.flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      out.fdopenMode = plus ? "a+" : "a";
      return true;
    default:
      return false;
  }
}

int FailOpen(int err) {
  SetLastError(Win32ErrorFromErrno(err));
  return err;
}

}  // namespace

int _wfopen_s(FILE** ppFile, LPCWSTR filename, LPCWSTR mode) {
  if (!ppFile) return FailOpen(EINVAL);
  *ppFile = nullptr;
  StreamMode parsed;
  if (!filename || !*filename || !mode || !ParseMode(mode, parsed)) return FailOpen(EINVAL);
  int fd;
  do {
    fd = ::open(NativePath(filename).c_str(), parsed.flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return FailOpen(errno);
  if (IsDirectory(fd)) {
    ::close(fd);
    return FailOpen(EACCES);
  }
  FILE* file = ::fdopen(fd, parsed.fdopenMode);
  if (!file) {
    int err = errno;
    ::close(fd);
    return FailOpen(err);
  }
  *ppFile = file;
  return 0;
}

int _fseeki64(FILE* stream, LONGLONG offset, int origin) {
  if (!stream) {
    errno = EINVAL;
    return -1;
  }
  return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

LONGLONG _ftelli64(FILE* stream) {
  if (!stream) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<LONGLONG>(::ftello(stream));
}
