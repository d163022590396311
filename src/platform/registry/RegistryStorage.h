// On-disk layout of the registry stand-in. A key is a folder named by
// EncodeName(key name); a value is a file named '=' + EncodeName(value name)
// ("=" alone is the default value) holding "NPSV", the type as a 4-byte
// little-endian number, then the data. Names starting with '.' are scratch
// files and never keys or values.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/WinTypes.h"

namespace regstore {

// UTF-8 with '%', '/', control characters and a leading '.' or '='
// percent-encoded, so any name is one safe path component ("..", "a/b").
std::string EncodeName(std::u16string_view name);
// False for names this layout never produces.
bool DecodeName(std::string_view encoded, std::u16string& name);
bool NamesEqual(std::u16string_view a, std::u16string_view b);  // ASCII case folded

std::string ValueFileName(std::u16string_view name);

struct Entry {
  std::u16string name;   // as created
  std::string fileName;  // on disk, inside the key folder
};
// Sub-keys or values of a key folder in a stable order (case-folded name,
// then exact name). Win32 error numbers.
DWORD ListSubKeys(const std::filesystem::path& folder, std::vector<Entry>& out);
DWORD ListValues(const std::filesystem::path& folder, std::vector<Entry>& out);
// The on-disk name of a sub-key or value matched without regard to case;
// ERROR_FILE_NOT_FOUND when there is none.
DWORD FindSubKey(const std::filesystem::path& folder, std::u16string_view name,
                 std::string& fileName);
DWORD FindValue(const std::filesystem::path& folder, std::u16string_view name,
                std::string& fileName);

struct StoredValue {
  DWORD type = 0;
  std::vector<BYTE> data;
};
// ERROR_FILE_NOT_FOUND when absent, ERROR_INVALID_DATA for a file that is not
// a value.
DWORD ReadValueFile(const std::filesystem::path& file, StoredValue& out);
// Writes a scratch file beside the value and renames it over the value, so
// readers see the old or the new value, never a torn one.
DWORD WriteValueFile(const std::filesystem::path& folder, const std::string& fileName, DWORD type,
                     const BYTE* data, DWORD size, mode_t mode);

DWORD ErrorFromErrno(int err);

}  // namespace regstore
