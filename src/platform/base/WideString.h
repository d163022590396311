// UTF-16 strings: the C run-time and shell string calls the system uses,
// and the UTF-8 conversions under them.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

inline constexpr UINT CP_ACP = 0;  // the ANSI code page is UTF-8 here
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
inline constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

std::size_t wcslen(LPCWSTR s);
int wcscmp(LPCWSTR a, LPCWSTR b);
// Compares with A-Z folded to a-z only.
int _wcsicmp(LPCWSTR a, LPCWSTR b);
int _wcsnicmp(LPCWSTR a, LPCWSTR b, std::size_t count);
// Secure copies: 0 on success; on overflow or null arguments the destination
// (when given) becomes "" and an errno value is returned.
int wcscpy_s(LPWSTR dest, std::size_t destChars, LPCWSTR src);
int wcscat_s(LPWSTR dest, std::size_t destChars, LPCWSTR src);
int wcsncpy_s(LPWSTR dest, std::size_t destChars, LPCWSTR src, std::size_t count);
LPCWSTR wcschr(LPCWSTR s, WCHAR c);
LPCWSTR wcsrchr(LPCWSTR s, WCHAR c);
LPCWSTR wcsstr(LPCWSTR text, LPCWSTR pattern);
// Case-insensitive substring search (shlwapi); null when absent.
LPCWSTR StrStrIW(LPCWSTR text, LPCWSTR pattern);

// Win32 conversions (CP_UTF8, or CP_ACP meaning the same). cchSrc -1
// includes the terminator; a zero destination size asks for the size.
// Unpaired surrogates and invalid UTF-8 become U+FFFD, as Windows does
// without flags; with the *_ERR_INVALID_CHARS flag they fail with
// ERROR_NO_UNICODE_TRANSLATION.
int WideCharToMultiByte(UINT codePage, DWORD dwFlags, LPCWSTR src, int cchSrc, LPSTR dest,
                        int cbDest, LPCSTR defaultChar, BOOL* usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD dwFlags, LPCSTR src, int cbSrc, LPWSTR dest,
                        int cchDest);

// The same conversions for C++ callers.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);
