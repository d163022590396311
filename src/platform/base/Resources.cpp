#include "platform/base/Resources.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace {

const MODULE_RESOURCES* TableOf(HMODULE module) {
  return reinterpret_cast<const MODULE_RESOURCES*>(module);
}

// "zh_TW.UTF-8@latin" -> "zh_tw"; '-' (as in zh-Hant) counts as '_'.
std::string LocaleName(std::string_view value) {
  std::string name;
  for (char c : value) {
    if (c == '.' || c == '@' || c == ':') break;
    name.push_back(c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return name;
}

std::string UiLocale() {
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value) continue;
    std::string name = LocaleName(value);
    if (!name.empty()) return name;
  }
  return {};
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

const STRING_RESOURCE* FindString(const MODULE_RESOURCES& table, UINT id) {
  for (std::size_t i = 0; i < table.stringCount; ++i)
    if (table.strings[i].id == id) return &table.strings[i];
  return nullptr;
}

LPCWSTR TextFor(const STRING_RESOURCE& entry, LANGID language) {
  LPCWSTR text = nullptr;
  if (language == LANG_CHINESE_SIMPLIFIED) text = entry.simplifiedChinese;
  if (language == LANG_CHINESE_TRADITIONAL) text = entry.traditionalChinese;
  if (!text || !*text) text = entry.english;
  return (text && *text) ? text : nullptr;
}

}  // namespace

HMODULE ModuleFromResources(const MODULE_RESOURCES* resources) {
  return reinterpret_cast<HMODULE>(const_cast<MODULE_RESOURCES*>(resources));
}

LANGID GetUserDefaultUILanguage() {
  const std::string name = UiLocale();
  if (name == "zh_tw" || name == "zh_hk" || name == "zh_mo" || StartsWith(name, "zh_hant"))
    return LANG_CHINESE_TRADITIONAL;
  if (name == "zh" || name == "zh_cn" || name == "zh_sg" || StartsWith(name, "zh_hans"))
    return LANG_CHINESE_SIMPLIFIED;
  return LANG_ENGLISH_US;
}

int LoadStringW(HMODULE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  lpBuffer[0] = 0;
  if (!hInstance) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const STRING_RESOURCE* entry = FindString(*TableOf(hInstance), uID);
  LPCWSTR text = entry ? TextFor(*entry, GetUserDefaultUILanguage()) : nullptr;
  if (!text) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  std::size_t length = wcslen(text);
  const auto room = static_cast<std::size_t>(cchBufferMax - 1);
  if (length > room) {
    length = room;
    // Keep a surrogate pair whole rather than end on half of it.
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
  }
  std::u16string_view(text, length).copy(lpBuffer, length);
  lpBuffer[length] = 0;
  return static_cast<int>(length);
}

HRSRC FindResourceW(HMODULE hModule, UINT id, LPCWSTR type) {
  if (!hModule) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!type) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const MODULE_RESOURCES& table = *TableOf(hModule);
  bool typeSeen = false;
  for (std::size_t i = 0; i < table.binaryCount; ++i) {
    const BINARY_RESOURCE& r = table.binaries[i];
    if (_wcsicmp(r.type, type) != 0) continue;
    typeSeen = true;
    if (r.id == id) return &r;
  }
  SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  if (!hModule || !hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return hResInfo->size;
}

HRSRC LoadResource(HMODULE hModule, HRSRC hResInfo) {
  if (!hModule || !hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return hResInfo;
}

const void* LockResource(HRSRC hResData) { return hResData ? hResData->data : nullptr; }
