// The thread's last-error value, as the Win32 calls keep it.
#pragma once

#include "platform/base/WinTypes.h"

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Keeps the last error across a scope that may disturb it (tracing).
class LastErrorKeeper {
 public:
  LastErrorKeeper() : m_saved(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(m_saved); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD m_saved;
};

// Maps an errno value to the nearest Win32 error number.
DWORD Win32ErrorFromErrno(int err);
