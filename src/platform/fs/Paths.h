// Shell and path services over POSIX paths ('/' separated, UTF-16 outside,
// UTF-8 towards the system).
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

inline constexpr int CSIDL_STARTUP = 0x07;
inline constexpr int CSIDL_COMMON_STARTUP = 0x18;
inline constexpr int CSIDL_WINDOWS = 0x24;
inline constexpr int CSIDL_SYSTEM = 0x25;
inline constexpr int CSIDL_SYSTEMX86 = 0x29;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;

// Absolute, lexically normalised form of lpFileName against the current
// directory ("//" and "." dropped, ".." pops but never above "/"; symbolic
// links are not followed and the file need not exist). Returns the length
// written without the terminator, or, when nBufferLength is too small, the
// size needed including the terminator. 0 and the last error on failure.
// lpFilePart (optional) receives the last component inside lpBuffer, or null
// when the path ends with '/'.
DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart);

// Same size rules as GetFullPathNameW.
DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);

BOOL PathFileExistsW(LPCWSTR pszPath);

// Removes the last component in place ("/a/b/c.txt" -> "/a/b", "/a" -> "/",
// "/a/b/" -> "/a/b"). FALSE when nothing was removed.
BOOL PathRemoveFileSpecW(LPWSTR pszPath);

// The last '.' of the last component (".bashrc" is all extension), or the
// terminator when there is none. Null for a null path.
LPWSTR PathFindExtensionW(LPCWSTR pszPath);

// pszPath must hold MAX_PATH characters. Known ids: CSIDL_SYSTEM /usr/bin,
// CSIDL_SYSTEMX86 /usr/lib32 (only when it exists), CSIDL_WINDOWS /etc,
// CSIDL_STARTUP ${XDG_CONFIG_HOME:-$HOME/.config}/autostart,
// CSIDL_COMMON_STARTUP /etc/xdg/autostart. fCreate (or CSIDL_FLAG_CREATE)
// creates a missing start-up folder.
BOOL SHGetSpecialFolderPathW(void* hwnd, LPWSTR pszPath, int csidl, BOOL fCreate);

// UTF-8 form for POSIX calls; "" for null.
std::string NativePath(LPCWSTR widePath);
