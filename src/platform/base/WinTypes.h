// Windows-shaped scalar types, result codes and constants that the rest of
// the system is written against. Everything here is plain data: no behaviour.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = int;
using BOOL = std::int32_t;
using USHORT = std::uint16_t;
using UCHAR = std::uint8_t;
using ULONG64 = std::uint64_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using HRESULT = std::int32_t;
using LANGID = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using ULONG_PTR = std::uintptr_t;

// UTF-16 everywhere a Windows API would use WCHAR (wchar_t is 4 bytes here).
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using LPVOID = void*;
using LPCVOID = const void*;
using PVOID = void*;
using HANDLE = void*;
using BSTR = char16_t*;

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;  // 0xFFFF
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
inline constexpr DWORD MAX_PATH = 260;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// ---- HRESULT helpers -------------------------------------------------------
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT MakeHResult(std::uint32_t v) { return static_cast<HRESULT>(v); }
// A positive Win32 error e becomes 0x80070000 | (e & 0xFFFF); zero and
// negative values are already HRESULTs and pass unchanged.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD e) {
  return static_cast<HRESULT>(e) <= 0 ? static_cast<HRESULT>(e)
                                      : static_cast<HRESULT>((e & 0x0000FFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
inline constexpr HRESULT NTE_BAD_SIGNATURE = MakeHResult(0x80090006u);
inline constexpr HRESULT NTE_BAD_ALGID = MakeHResult(0x80090008u);
inline constexpr HRESULT CRYPT_E_EXISTS = MakeHResult(0x80092005u);
inline constexpr HRESULT CRYPT_E_NOT_FOUND = MakeHResult(0x80092004u);

// ---- Win32 error numbers (GetLastError values) -----------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PASSWORD = 86;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_OPEN_FAILED = 110;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_CANCELLED = 1223;
inline constexpr DWORD ERROR_ENCRYPTION_FAILED = 6000;
inline constexpr DWORD ERROR_DECRYPTION_FAILED = 6001;
inline constexpr DWORD ERROR_WMI_INSTANCE_NOT_FOUND = 4201;

// ---- Files, registry and certificate contexts --------------------------------
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

// 100-nanosecond ticks since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
