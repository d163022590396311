// A file-backed stand-in for the Windows registry. HKEY_LOCAL_MACHINE lives
// in MachineStateRoot()/registry and HKEY_CURRENT_USER in
// UserStateRoot()/registry. A key is a folder (names compared without regard
// to ASCII case, kept with the case they were created with); a value is one
// file in that folder, replaced atomically. Sub-key paths use '\\'.
#pragma once

#include <memory>

#include "platform/base/WinTypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline const HKEY HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
inline const HKEY HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// All calls return a Win32 error number (ERROR_SUCCESS = 0). A handle whose
// key was deleted gives ERROR_KEY_DELETED. Values need KEY_QUERY_VALUE to be
// read, KEY_SET_VALUE to be written or deleted; sub-keys need
// KEY_CREATE_SUB_KEY to be created and KEY_ENUMERATE_SUB_KEYS to be listed.

// Missing key: ERROR_FILE_NOT_FOUND. A null or empty lpSubKey opens hKey again.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      HKEY* phkResult);
// Creates missing intermediate keys; a folder that cannot be made gives
// ERROR_ACCESS_DENIED. lpClass, dwOptions and lpSecurityAttributes are ignored.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired, void* lpSecurityAttributes,
                        HKEY* phkResult, DWORD* lpdwDisposition);
// Null lpData asks for the size; a small buffer gives ERROR_MORE_DATA with the
// size in *lpcbData. Missing value: ERROR_FILE_NOT_FOUND. lpValueName null or
// "" is the key's default value.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                         BYTE* lpData, DWORD* lpcbData);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// A key with sub-keys is refused with ERROR_ACCESS_DENIED.
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes lpSubKey with everything below it; a null lpSubKey deletes the
// values and sub-keys of hKey but keeps hKey itself.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
// Sub-keys and values are listed in a stable order (sorted without regard to
// ASCII case). ERROR_NO_MORE_ITEMS past the end. *lpcchName is the buffer
// size in characters on entry and the length without terminator on return;
// when it is too small the result is ERROR_MORE_DATA and *lpcchName becomes
// the size needed including the terminator. lpftLastWriteTime (a FILETIME*)
// is optional; the class is always empty.
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                      LPWSTR lpClass, DWORD* lpcchClass, void* lpftLastWriteTime);
LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                      DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
// Closing a predefined key does nothing and succeeds.
LSTATUS RegCloseKey(HKEY hKey);

struct HKeyCloser {
  void operator()(HKEY h) const {
    if (h) RegCloseKey(h);
  }
};
using UniqueHKEY = std::unique_ptr<HKEY__, HKeyCloser>;
