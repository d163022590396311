#include "platform/registry/RegistryStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace regstore {
namespace fs = std::filesystem;

namespace {

constexpr char kMagic[4] = {'N', 'P', 'S', 'V'};
constexpr std::size_t kHeaderSize = 8;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool FoldedLess(const Entry& a, const Entry& b) {
  std::size_t n = std::min(a.name.size(), b.name.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = Fold(a.name[i]), y = Fold(b.name[i]);
    if (x != y) return x < y;
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

DWORD List(const fs::path& folder, bool values, std::vector<Entry>& out) {
  out.clear();
  std::error_code ec;
  fs::directory_iterator it(folder, ec), end;
  if (ec) return ErrorFromErrno(ec.value());
  for (; it != end; it.increment(ec)) {
    std::string fileName = it->path().filename().string();
    // Links are never followed: a planted link must not lead the hive elsewhere.
    fs::file_status status = it->symlink_status(ec);
    if (ec) continue;
    bool wanted = values ? fs::is_regular_file(status) && !fileName.empty() && fileName[0] == '='
                         : fs::is_directory(status);
    Entry entry;
    std::string_view encoded(fileName);
    if (values) encoded.remove_prefix(1);
    if (wanted && DecodeName(encoded, entry.name)) {
      entry.fileName = std::move(fileName);
      out.push_back(std::move(entry));
    }
  }
  if (ec) return ErrorFromErrno(ec.value());
  std::sort(out.begin(), out.end(), FoldedLess);
  return ERROR_SUCCESS;
}

DWORD Find(const fs::path& folder, std::u16string_view name, bool values, std::string& fileName) {
  std::vector<Entry> entries;
  DWORD err = List(folder, values, entries);
  if (err != ERROR_SUCCESS) return err;
  for (Entry& e : entries) {
    if (NamesEqual(e.name, name)) {
      fileName = std::move(e.fileName);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

bool WriteAll(int fd, const BYTE* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int OpenScratch(const fs::path& folder, mode_t mode, fs::path& scratch) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    scratch = folder / (".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

std::string EncodeName(std::u16string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string utf8 = ToUtf8(name);
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    auto c = static_cast<unsigned char>(utf8[i]);
    bool escape =
        c == '%' || c == '/' || c < 0x20 || c == 0x7F || (i == 0 && (c == '.' || c == '='));
    if (escape) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool DecodeName(std::string_view encoded, std::u16string& name) {
  if (!encoded.empty() && (encoded[0] == '.' || encoded[0] == '=')) return false;
  std::string utf8;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] != '%') {
      utf8 += encoded[i];
      continue;
    }
    if (i + 2 >= encoded.size()) return false;
    int hi = HexDigit(encoded[i + 1]), lo = HexDigit(encoded[i + 2]);
    if (hi < 0 || lo < 0) return false;
    utf8 += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  name = FromUtf8(utf8);
  // Only the one spelling EncodeName makes counts, so two files can never
  // claim the same name.
  return EncodeName(name) == encoded;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::string ValueFileName(std::u16string_view name) { return "=" + EncodeName(name); }

DWORD ListSubKeys(const fs::path& folder, std::vector<Entry>& out) {
  return List(folder, false, out);
}

DWORD ListValues(const fs::path& folder, std::vector<Entry>& out) {
  return List(folder, true, out);
}

DWORD FindSubKey(const fs::path& folder, std::u16string_view name, std::string& fileName) {
  return Find(folder, name, false, fileName);
}

DWORD FindValue(const fs::path& folder, std::u16string_view name, std::string& fileName) {
  return Find(folder, name, true, fileName);
}

DWORD ReadValueFile(const fs::path& file, StoredValue& out) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return ErrorFromErrno(errno);
  std::vector<BYTE> bytes;
  BYTE chunk[8192];
  DWORD err = ERROR_SUCCESS;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = ErrorFromErrno(errno);
      break;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > kHeaderSize + 0xFFFFFFFFull) {
      err = ERROR_INVALID_DATA;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  if (err != ERROR_SUCCESS) return err;
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return ERROR_INVALID_DATA;
  out.type = static_cast<DWORD>(bytes[4]) | static_cast<DWORD>(bytes[5]) << 8 |
             static_cast<DWORD>(bytes[6]) << 16 | static_cast<DWORD>(bytes[7]) << 24;
  out.data.assign(bytes.begin() + kHeaderSize, bytes.end());
  return ERROR_SUCCESS;
}

DWORD WriteValueFile(const fs::path& folder, const std::string& fileName, DWORD type,
                     const BYTE* data, DWORD size, mode_t mode) {
  fs::path scratch;
  int fd = OpenScratch(folder, mode, scratch);
  if (fd < 0) return ErrorFromErrno(errno);
  BYTE header[kHeaderSize];
  std::memcpy(header, kMagic, sizeof kMagic);
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<BYTE>(type >> (8 * i));
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, header, sizeof header) &&
            WriteAll(fd, data, size) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(scratch.c_str(), (folder / fileName).c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(scratch.c_str());
    return err == 0 ? ERROR_WRITE_FAULT : ErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case ELOOP:  // a link planted where a value or key should be
      return ERROR_ACCESS_DENIED;
    default:
      return Win32ErrorFromErrno(err);
  }
}

}  // namespace regstore
