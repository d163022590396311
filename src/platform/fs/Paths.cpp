#include "platform/fs/Paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/base/LastError.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"

namespace {

bool CurrentDirectory(std::u16string& out) {
  std::error_code ec;
  std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) {
    SetLastError(Win32ErrorFromErrno(ec.value()));
    return false;
  }
  out = FromUtf8(cwd.native());
  return true;
}

// Collapses "//", "." and ".." of an absolute path; ".." at the root stays at
// the root. A trailing '/' is kept, as Windows keeps a trailing backslash.
std::u16string Normalise(std::u16string_view absolute) {
  std::vector<std::u16string_view> parts;
  std::size_t pos = 0;
  while (pos <= absolute.size()) {
    std::size_t end = absolute.find(u'/', pos);
    if (end == std::u16string_view::npos) end = absolute.size();
    std::u16string_view part = absolute.substr(pos, end - pos);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::u16string result;
  for (std::u16string_view part : parts) {
    result += u'/';
    result += part;
  }
  if (result.empty() || absolute.back() == u'/') result += u'/';
  return result;
}

// Windows size rules: the length without terminator when it fits, otherwise
// the size needed with the terminator and the buffer untouched.
DWORD CopyOut(const std::u16string& text, DWORD nBufferLength, LPWSTR lpBuffer) {
  if (text.size() >= 0xFFFFFFFFu) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  DWORD length = static_cast<DWORD>(text.size());
  if (nBufferLength <= length) return length + 1;
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  text.copy(lpBuffer, text.size());
  lpBuffer[length] = u'\0';
  return length;
}

bool StartupFolder(std::filesystem::path& out) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    out = std::filesystem::path(xdg) / "autostart";
    return true;
  }
  std::filesystem::path home = HomeFolder();
  if (home.empty()) return false;
  out = home / ".config" / "autostart";
  return true;
}

}  // namespace

DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string_view name(lpFileName);
  std::u16string combined;
  if (name.front() != u'/') {
    if (!CurrentDirectory(combined)) return 0;
    combined += u'/';
  }
  combined += name;
  std::u16string full = Normalise(combined);
  DWORD result = CopyOut(full, nBufferLength, lpBuffer);
  if (result != 0 && result < nBufferLength && lpFilePart) {
    std::size_t slash = full.rfind(u'/');
    *lpFilePart = slash + 1 < full.size() ? lpBuffer + slash + 1 : nullptr;
  }
  return result;
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  std::u16string cwd;
  if (!CurrentDirectory(cwd)) return 0;
  return CopyOut(cwd, nBufferLength, lpBuffer);
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
  if (!pszPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st {};
  if (::stat(NativePath(pszPath).c_str(), &st) != 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL PathRemoveFileSpecW(LPWSTR pszPath) {
  if (!pszPath || !*pszPath) return FALSE;
  std::u16string_view path(pszPath);
  std::size_t slash = path.rfind(u'/');
  if (slash == std::u16string_view::npos) {
    pszPath[0] = u'\0';
    return TRUE;
  }
  if (slash == 0) {
    if (path.size() == 1) return FALSE;
    pszPath[1] = u'\0';
    return TRUE;
  }
  pszPath[slash] = u'\0';
  return TRUE;
}

LPWSTR PathFindExtensionW(LPCWSTR pszPath) {
  if (!pszPath) return nullptr;
  std::u16string_view path(pszPath);
  std::size_t start = path.rfind(u'/');
  start = start == std::u16string_view::npos ? 0 : start + 1;
  std::size_t dot = path.rfind(u'.');
  std::size_t at = dot != std::u16string_view::npos && dot >= start ? dot : path.size();
  return const_cast<LPWSTR>(pszPath + at);
}

BOOL SHGetSpecialFolderPathW(void* /*hwnd*/, LPWSTR pszPath, int csidl, BOOL fCreate) {
  if (!pszPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool create = fCreate || (csidl & CSIDL_FLAG_CREATE);
  std::filesystem::path folder;
  bool creatable = false;
  switch (csidl & ~CSIDL_FLAG_CREATE) {
    case CSIDL_SYSTEM:
      folder = "/usr/bin";
      break;
    case CSIDL_SYSTEMX86: {
      folder = "/usr/lib32";
      std::error_code ec;
      if (!std::filesystem::is_directory(folder, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
      }
      break;
    }
    case CSIDL_WINDOWS:
      folder = "/etc";
      break;
    case CSIDL_STARTUP:
      if (!StartupFolder(folder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
      }
      creatable = true;
      break;
    case CSIDL_COMMON_STARTUP:
      folder = "/etc/xdg/autostart";
      creatable = true;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  std::u16string wide = FromUtf8(folder.native());
  if (wide.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (create && creatable) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      SetLastError(Win32ErrorFromErrno(ec.value()));
      return FALSE;
    }
  }
  wide.copy(pszPath, wide.size());
  pszPath[wide.size()] = u'\0';
  return TRUE;
}

std::string NativePath(LPCWSTR widePath) { return widePath ? ToUtf8(widePath) : std::string(); }
