#include "platform/base/LastError.h"

#include <cerrno>

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EIO:
      return ERROR_READ_FAULT;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ELOOP:
      return ERROR_BAD_PATHNAME;
    case ENOSYS:
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    case ECANCELED:
      return ERROR_CANCELLED;
    case ERANGE:
    case EOVERFLOW:
      return ERROR_INSUFFICIENT_BUFFER;
    case EILSEQ:
      return ERROR_INVALID_DATA;
    default:
      return ERROR_INVALID_FUNCTION;  // no nearer Win32 meaning
  }
}
