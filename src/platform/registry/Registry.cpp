#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "platform/registry/RegistryStorage.h"
#include "platform/fs/StateFolders.h"

// An open key keeps its folder open: the folder cannot be replaced by a new
// one with the same inode while the handle lives, and a removed folder shows
// as unlinked.
struct HKEY__ {
  std::filesystem::path folder;
  int fd;
  REGSAM access;
  bool machine;
};

namespace {
namespace fs = std::filesystem;
using namespace regstore;

constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxFileNameBytes = 255;

// Where a handle points, copied out under the lock so the handle may be
// closed by another thread meanwhile.
struct KeyRef {
  fs::path folder;
  REGSAM access = 0;
  bool machine = false;
  bool predefined = false;
};

class OpenKeys {
 public:
  HKEY Add(HKEY__* key) {
    std::lock_guard lock(mutex_);
    keys_.insert(key);
    return key;
  }
  LSTATUS Get(HKEY h, HKEY__& copy) {
    std::lock_guard lock(mutex_);
    if (!keys_.count(h)) return ERROR_INVALID_HANDLE;
    // A key deleted (or deleted and made again) since it was opened is gone
    // for this handle, as on Windows.
    struct stat opened {
    }, now{};
    if (::fstat(h->fd, &opened) != 0 || opened.st_nlink == 0 ||
        ::lstat(h->folder.c_str(), &now) != 0 || now.st_dev != opened.st_dev ||
        now.st_ino != opened.st_ino)
      return ERROR_KEY_DELETED;
    copy = *h;
    return ERROR_SUCCESS;
  }
  bool Remove(HKEY h) {
    std::lock_guard lock(mutex_);
    return keys_.erase(h) != 0;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<HKEY__*> keys_;
};

OpenKeys& Keys() {
  static OpenKeys keys;
  return keys;
}

bool IsPredefined(HKEY h) { return h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE; }

fs::path HiveRoot(bool machine) {
  fs::path base = machine ? MachineStateRoot() : UserStateRoot();
  return base.empty() ? fs::path() : base / "registry";
}

mode_t FolderMode(bool machine) { return machine ? 0755 : 0700; }
mode_t ValueMode(bool machine) { return machine ? 0644 : 0600; }

LSTATUS Resolve(HKEY h, KeyRef& out) {
  if (IsPredefined(h)) {
    out.machine = h == HKEY_LOCAL_MACHINE;
    out.folder = HiveRoot(out.machine);
    out.access = KEY_ALL_ACCESS;
    out.predefined = true;
    return out.folder.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  }
  HKEY__ key;
  LSTATUS err = h ? Keys().Get(h, key) : ERROR_INVALID_HANDLE;
  if (err != ERROR_SUCCESS) return err;
  out.folder = std::move(key.folder);
  out.access = key.access;
  out.machine = key.machine;
  out.predefined = false;
  return ERROR_SUCCESS;
}

// Splits "A\\B\\C" into its names; one trailing '\\' is allowed, empty names
// and names too long for a key are not.
LSTATUS SplitSubKey(LPCWSTR subKey, std::vector<std::u16string>& parts) {
  parts.clear();
  if (!subKey || !*subKey) return ERROR_SUCCESS;
  std::u16string_view path(subKey);
  if (path.back() == u'\\') path.remove_suffix(1);
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find(u'\\', pos);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view part = path.substr(pos, end - pos);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameChars || EncodeName(part).size() > kMaxFileNameBytes)
      return ERROR_INVALID_PARAMETER;
    parts.emplace_back(part);
    pos = end + 1;
  }
  return ERROR_SUCCESS;
}

LSTATUS MakeHandle(const fs::path& folder, REGSAM access, bool machine, HKEY* out) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOTDIR || errno == ELOOP ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
  auto* key = new HKEY__{folder, fd, access, machine};
  *out = Keys().Add(key);
  return ERROR_SUCCESS;
}

// Makes a folder with exactly the hive's mode, whatever the umask.
LSTATUS MakeFolder(const fs::path& folder, bool machine, bool& created) {
  created = false;
  if (::mkdir(folder.c_str(), FolderMode(machine)) != 0) {
    if (errno == EEXIST) return ERROR_SUCCESS;
    return ErrorFromErrno(errno);
  }
  created = true;
  ::chmod(folder.c_str(), FolderMode(machine));
  return ERROR_SUCCESS;
}

LSTATUS MakeHiveRoot(const fs::path& root, bool machine) {
  if (root.empty()) return ERROR_ACCESS_DENIED;
  std::error_code ec;
  if (fs::is_directory(root, ec)) return ERROR_SUCCESS;
  fs::path partial;
  for (const fs::path& part : root) {
    partial /= part;
    if (fs::is_directory(partial, ec)) continue;
    bool created;
    LSTATUS err = MakeFolder(partial, machine, created);
    if (err != ERROR_SUCCESS) return err == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : err;
  }
  return ERROR_SUCCESS;
}

LSTATUS ValueFile(const KeyRef& key, LPCWSTR name, fs::path& file) {
  std::string fileName;
  LSTATUS err = FindValue(key.folder, name ? name : u"", fileName);
  if (err == ERROR_SUCCESS) file = key.folder / fileName;
  return err;
}

// Windows size rules for returned data.
LSTATUS CopyData(const StoredValue& value, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  if (lpType) *lpType = value.type;
  DWORD size = static_cast<DWORD>(value.data.size());
  if (!lpcbData) return lpData ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (!lpData) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  std::copy(value.data.begin(), value.data.end(), lpData);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS CopyName(const std::u16string& name, LPWSTR out, DWORD* cch) {
  if (!out || !cch) return ERROR_INVALID_PARAMETER;
  if (*cch <= name.size()) {
    *cch = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  name.copy(out, name.size());
  out[name.size()] = u'\0';
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

FILETIME FileTimeOf(const fs::path& path) {
  struct stat st {};
  FILETIME ft{};
  if (::lstat(path.c_str(), &st) != 0) return ft;
  constexpr std::int64_t kEpochDiff = 11644473600LL;  // 1601-01-01 to 1970-01-01 in seconds
  std::int64_t ticks = (static_cast<std::int64_t>(st.st_mtim.tv_sec) + kEpochDiff) * 10000000 +
                       st.st_mtim.tv_nsec / 100;
  if (ticks < 0) ticks = 0;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return ft;
}

// Removes the values (and scratch files) of a key folder that has no sub-keys.
LSTATUS RemoveKeyFolder(const fs::path& folder) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      fs::file_status status = it->symlink_status(ec);
      if (!ec && !fs::is_directory(status)) fs::remove(it->path(), ec);
    }
    if (::rmdir(folder.c_str()) == 0) return ERROR_SUCCESS;
    // A sub-key made meanwhile keeps the key, as on Windows.
    if (errno != ENOTEMPTY && errno != EEXIST) return ErrorFromErrno(errno);
    std::vector<Entry> subKeys;
    if (ListSubKeys(folder, subKeys) == ERROR_SUCCESS && !subKeys.empty())
      return ERROR_ACCESS_DENIED;
  }
  return ERROR_ACCESS_DENIED;
}

LSTATUS FindKeyFolder(const fs::path& base, const std::vector<std::u16string>& parts,
                      fs::path& folder) {
  folder = base;
  for (const std::u16string& part : parts) {
    std::string fileName;
    LSTATUS err = FindSubKey(folder, part, fileName);
    if (err != ERROR_SUCCESS) return err;
    folder /= fileName;
  }
  return ERROR_SUCCESS;
}

// The folder of the key a delete names below hKey; *pbOpenKey (may be null)
// tells whether that is hKey itself. Emptying or removing a whole hive is never what a caller
// means.
LSTATUS FindKeyToDelete(HKEY hKey, LPCWSTR lpSubKey, fs::path& folder, bool* pbOpenKey) {
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  std::vector<std::u16string> parts;
  if ((err = SplitSubKey(lpSubKey, parts)) != ERROR_SUCCESS) return err;
  if (parts.empty() && key.predefined) return ERROR_ACCESS_DENIED;
  if (pbOpenKey) *pbOpenKey = parts.empty();
  return FindKeyFolder(key.folder, parts, folder);
}

// The entry at dwIndex of an open key, as both enumerations find it: `list`
// gives the sub-keys or the values, `access` is the right the call needs,
// and a predefined key that has no folder yet has no entries.
LSTATUS EnumEntry(HKEY hKey, REGSAM access, DWORD (*list)(const fs::path&, std::vector<Entry>&),
                  DWORD dwIndex, KeyRef& key, Entry& entry) {
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  if (!(key.access & access)) return ERROR_ACCESS_DENIED;
  std::vector<Entry> entries;
  err = list(key.folder, entries);
  if (err == ERROR_FILE_NOT_FOUND && key.predefined) return ERROR_NO_MORE_ITEMS;
  if (err != ERROR_SUCCESS) return err;
  if (dwIndex >= entries.size()) return ERROR_NO_MORE_ITEMS;
  entry = entries[dwIndex];
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                      HKEY* phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  std::vector<std::u16string> parts;
  if ((err = SplitSubKey(lpSubKey, parts)) != ERROR_SUCCESS) return err;
  if (parts.empty() && key.predefined) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  fs::path folder;
  if ((err = FindKeyFolder(key.folder, parts, folder)) != ERROR_SUCCESS) return err;
  return MakeHandle(folder, samDesired, key.machine, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/,
                        DWORD /*dwOptions*/, REGSAM samDesired, void* /*lpSecurityAttributes*/,
                        HKEY* phkResult, DWORD* lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS && !(key.predefined && err == ERROR_FILE_NOT_FOUND)) return err;
  std::vector<std::u16string> parts;
  if ((err = SplitSubKey(lpSubKey, parts)) != ERROR_SUCCESS) return err;
  if (parts.empty() && key.predefined) {
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  if (key.predefined && (err = MakeHiveRoot(key.folder, key.machine)) != ERROR_SUCCESS) return err;
  fs::path folder = key.folder;
  bool created = false;
  for (const std::u16string& part : parts) {
    std::string fileName;
    err = FindSubKey(folder, part, fileName);
    if (err == ERROR_FILE_NOT_FOUND) {
      if (!(key.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
      fileName = EncodeName(part);
      err = MakeFolder(folder / fileName, key.machine, created);
      if (err != ERROR_SUCCESS) return err == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : err;
    } else if (err != ERROR_SUCCESS) {
      return err;
    } else {
      created = false;
    }
    folder /= fileName;
  }
  err = MakeHandle(folder, samDesired, key.machine, phkResult);
  if (err == ERROR_SUCCESS && lpdwDisposition)
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return err;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                         BYTE* lpData, DWORD* lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  if (!(key.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  fs::path file;
  if ((err = ValueFile(key, lpValueName, file)) != ERROR_SUCCESS) return err;
  StoredValue value;
  if ((err = ReadValueFile(file, value)) != ERROR_SUCCESS) return err;
  return CopyData(value, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  std::u16string_view name = lpValueName ? lpValueName : u"";
  std::string fileName;
  err = FindValue(key.folder, name, fileName);
  if (err == ERROR_FILE_NOT_FOUND) {
    fileName = ValueFileName(name);
    if (fileName.size() > kMaxFileNameBytes) return ERROR_INVALID_PARAMETER;
  } else if (err != ERROR_SUCCESS) {
    return err;
  }
  return WriteValueFile(key.folder, fileName, dwType, lpData, cbData, ValueMode(key.machine));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  KeyRef key;
  LSTATUS err = Resolve(hKey, key);
  if (err != ERROR_SUCCESS) return err;
  if (!(key.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  fs::path file;
  if ((err = ValueFile(key, lpValueName, file)) != ERROR_SUCCESS) return err;
  if (::unlink(file.c_str()) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  fs::path folder;
  LSTATUS err = FindKeyToDelete(hKey, lpSubKey, folder, nullptr);
  if (err != ERROR_SUCCESS) return err;
  std::vector<Entry> subKeys;
  if ((err = ListSubKeys(folder, subKeys)) != ERROR_SUCCESS) return err;
  if (!subKeys.empty()) return ERROR_ACCESS_DENIED;
  return RemoveKeyFolder(folder);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  fs::path folder;
  bool bOpenKey = false;
  const LSTATUS err = FindKeyToDelete(hKey, lpSubKey, folder, &bOpenKey);
  if (err != ERROR_SUCCESS) return err;
  std::error_code ec;
  if (!bOpenKey) {
    fs::remove_all(folder, ec);
    return ec ? ErrorFromErrno(ec.value()) : ERROR_SUCCESS;
  }
  std::vector<fs::path> children;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    children.push_back(it->path());
  if (ec) return ErrorFromErrno(ec.value());
  for (const fs::path& child : children) {
    fs::remove_all(child, ec);
    if (ec) return ErrorFromErrno(ec.value());
  }
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                      LPWSTR lpClass, DWORD* lpcchClass, void* lpftLastWriteTime) {
  if (lpReserved || !lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  KeyRef key;
  Entry entry;
  LSTATUS err = EnumEntry(hKey, KEY_ENUMERATE_SUB_KEYS, ListSubKeys, dwIndex, key, entry);
  if (err != ERROR_SUCCESS) return err;
  if ((err = CopyName(entry.name, lpName, lpcchName)) != ERROR_SUCCESS) return err;
  if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = u'\0';
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime)
    *static_cast<FILETIME*>(lpftLastWriteTime) = FileTimeOf(key.folder / entry.fileName);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                      DWORD* lpReserved, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  KeyRef key;
  Entry entry;
  LSTATUS err = EnumEntry(hKey, KEY_QUERY_VALUE, ListValues, dwIndex, key, entry);
  if (err != ERROR_SUCCESS) return err;
  if ((err = CopyName(entry.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return err;
  if (!lpType && !lpcbData) return ERROR_SUCCESS;
  StoredValue value;
  if ((err = ReadValueFile(key.folder / entry.fileName, value)) != ERROR_SUCCESS) return err;
  return CopyData(value, lpType, lpData, lpcbData);
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  if (!hKey || !Keys().Remove(hKey)) return ERROR_INVALID_HANDLE;
  ::close(hKey->fd);
  delete hKey;
  return ERROR_SUCCESS;
}
