// What the trust installation's files share: the name their trace lines
// carry and the conversion of Win32 errors into result codes.
#pragma once

#include <memory>

#include "platform/base/LastError.h"
#include "platform/base/WinTypes.h"

class StepTrace;

namespace chainoperate {

inline constexpr WCHAR kSourceUnit[] = u"CertificateChainOperate";

// A positive Win32 error e becomes 0x80070000 | (e & 0xFFFF), or
// 0xA0070000 | (e & 0xFFFF) when it carries the customer bit; zero and
// values that are already result codes pass unchanged.
inline HRESULT ResultFromWin32(DWORD dwError) {
  const auto nError = static_cast<LONG>(dwError);
  if (nError <= 0) return nError;
  if (dwError & 0x20000000u) return MakeHResult(0xA0070000u | (dwError & 0xFFFFu));
  return MakeHResult(0x80070000u | (dwError & 0xFFFFu));
}

// The last error of a call that reported failure; never a success code.
inline HRESULT FailureFromLastError() {
  const HRESULT hResult = ResultFromWin32(GetLastError());
  return FAILED(hResult) ? hResult : E_FAIL;
}

// Base64 text (UTF-16, line breaks allowed) as bytes. Failures are traced
// on the caller's steps "UTF16ToUTF8" and "Base64DecodeEx".
HRESULT DecodeBase64Text(StepTrace& trace, LPCWSTR lpwText, std::unique_ptr<BYTE[]>& bytes,
                         int& nLength);

}  // namespace chainoperate
