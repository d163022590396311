#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/base/LastError.h"

TEST(LastError, IsKeptPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 12345;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_DISK_FULL);
  });
  other.join();
  EXPECT_EQ(seenByOther, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(LastError, KeeperRestoresOnScopeExit) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  {
    LastErrorKeeper keep;
    SetLastError(ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(LastError, ErrnoMapping) {
  const struct {
    int err;
    DWORD expected;
  } cases[] = {
      {0, ERROR_SUCCESS},
      {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED},
      {EISDIR, ERROR_ACCESS_DENIED},
      {EEXIST, ERROR_FILE_EXISTS},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {EINVAL, ERROR_INVALID_PARAMETER},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {ENOSPC, ERROR_DISK_FULL},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {EIO, ERROR_READ_FAULT},
      {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
      {EBADF, ERROR_INVALID_HANDLE},
      {EHOSTDOWN, ERROR_INVALID_FUNCTION},  // nothing nearer
  };
  for (const auto& c : cases)
    EXPECT_EQ(Win32ErrorFromErrno(c.err), c.expected) << "errno " << c.err;
}
