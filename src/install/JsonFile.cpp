#include "install/JsonFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

namespace install {
namespace fs = std::filesystem;

std::optional<nlohmann::json> ReadJsonFile(const fs::path& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot be read";
    return std::nullopt;
  }
  std::string text;
  text.resize(kMaxJsonFileBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxJsonFileBytes) {
    *why = "is too large to be a browser's file";
    return std::nullopt;
  }
  nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded()) {
    *why = "is not valid JSON";
    return std::nullopt;
  }
  return json;
}

std::string StringField(const nlohmann::json& object, const char* key, std::string fallback) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

bool BoolField(const nlohmann::json& object, const char* key, bool fallback) {
  if (!object.is_object()) return fallback;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

bool WriteFileAtomically(const fs::path& path, const std::string& text, std::string* why) {
  const fs::path temp = path.string() + ".npsigil-new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *why = "cannot write " + temp.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  ::fchmod(fd, 0644);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot write " + path.string() + ": " + std::generic_category().message(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace install
