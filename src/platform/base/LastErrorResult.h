// The result code of a platform call that reported failure.
#pragma once

#include "platform/base/LastError.h"
#include "platform/base/WinTypes.h"

// The thread's last error as a result code. A failed call that left no
// error behind still fails, with `fallback`: a failure must never read as
// success to the caller.
inline HRESULT FailureFromLastError(HRESULT fallback = E_FAIL) {
  const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(hr) ? hr : fallback;
}
