// The system's message texts for Win32 errors and HRESULTs.
#pragma once

#include "platform/base/WinTypes.h"

inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// Only FROM_SYSTEM (optionally with IGNORE_INSERTS) is supported; lpSource
// and Arguments are not read and the language is ignored (English texts).
// Each text ends with "\n". Returns the characters written without the
// terminator, or 0 with the last error: ERROR_MR_MID_NOT_FOUND for an
// unknown id (buffer ""), ERROR_INSUFFICIENT_BUFFER when nSize cannot hold
// text and terminator, ERROR_INVALID_PARAMETER for other flags or no buffer.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, void* Arguments);
