// What the trust installation's files share: the name their trace lines
// carry and the conversion of Win32 errors into result codes.
#pragma once

#include <memory>

#include "platform/base/LastErrorResult.h"
#include "platform/base/WinTypes.h"

class StepTrace;

namespace chainoperate {

inline constexpr WCHAR kSourceUnit[] = u"CertificateChainOperate";

// Base64 text (UTF-16, line breaks allowed) as bytes. Failures are traced
// on the caller's steps "UTF16ToUTF8" and "Base64DecodeEx".
HRESULT DecodeBase64Text(StepTrace& trace, LPCWSTR lpwText, std::unique_ptr<BYTE[]>& bytes,
                         int& nLength);

}  // namespace chainoperate
