// The module's resources: a string table in up to three languages and typed
// binary resources, reached through an HMODULE the way a DLL's are.
#pragma once

#include <cstddef>

#include "platform/base/WinTypes.h"

inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

// A null text means the table has no string in that language.
struct STRING_RESOURCE {
  UINT id;
  LPCWSTR english;
  LPCWSTR simplifiedChinese;
  LPCWSTR traditionalChinese;
};

// type is e.g. u"PNG" or u"CERTIFICATE".
struct BINARY_RESOURCE {
  UINT id;
  LPCWSTR type;
  const BYTE* data;
  DWORD size;
};

struct MODULE_RESOURCES {
  const STRING_RESOURCE* strings;
  std::size_t stringCount;
  const BINARY_RESOURCE* binaries;
  std::size_t binaryCount;
};

// The HMODULE is the table's address; the table must outlive every use.
HMODULE ModuleFromResources(const MODULE_RESOURCES* resources);

inline constexpr LANGID LANG_ENGLISH_US = 0x0409;
inline constexpr LANGID LANG_CHINESE_SIMPLIFIED = 0x0804;
inline constexpr LANGID LANG_CHINESE_TRADITIONAL = 0x0404;

// From the locale variables as a Linux program reads them: the first set of
// LANGUAGE (its first entry), LC_ALL, LC_MESSAGES, LANG. Read on every call.
LANGID GetUserDefaultUILanguage();

// Copies the string in the UI language (English when that language has
// none), cut to cchBufferMax - 1 characters and terminated. Returns the
// characters copied; 0 with the last error set when there is no string.
int LoadStringW(HMODULE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// Binary resources by numeric id; the type compares case-insensitively.
// Loading is a no-op here, so LoadResource hands back the same handle.
using HRSRC = const BINARY_RESOURCE*;
HRSRC FindResourceW(HMODULE hModule, UINT id, LPCWSTR type);
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);
HRSRC LoadResource(HMODULE hModule, HRSRC hResInfo);
const void* LockResource(HRSRC hResData);
