// The one place where Win32 errors, the thread's last error and errno values
// become result codes.
#pragma once

#include "platform/base/LastError.h"
#include "platform/base/WinTypes.h"

// A positive Win32 error e becomes 0x80070000 | (e & 0xFFFF), or
// 0xA0070000 | (e & 0xFFFF) when it carries the customer bit (our own
// codes, such as a cancelled dialog, map into our facility); zero and values
// that are already result codes pass unchanged.
constexpr HRESULT ResultFromWin32(DWORD error) {
  const auto value = static_cast<LONG>(error);
  if (value <= 0) return value;
  if (error & 0x20000000u) return MakeHResult(0xA0070000u | (error & 0xFFFFu));
  return MakeHResult(0x80070000u | (error & 0xFFFFu));
}

// The error of a call that reported failure, as a result code. An error that
// reads as success still fails, with `fallback`: a failure must never read
// as success to the caller.
constexpr HRESULT FailureFromWin32(DWORD error, HRESULT fallback = E_FAIL) {
  const HRESULT hr = ResultFromWin32(error);
  return FAILED(hr) ? hr : fallback;
}

inline HRESULT FailureFromLastError(HRESULT fallback = E_FAIL) {
  return FailureFromWin32(GetLastError(), fallback);
}

inline HRESULT ResultFromErrno(int err) { return ResultFromWin32(Win32ErrorFromErrno(err)); }
