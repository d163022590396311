// The browsers' small JSON files (host manifests, policies, profile
// preferences): read within a bound, since anyone may have written them,
// and written so that a browser starting meanwhile reads the old file or
// the new one, never half of one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace install {

inline constexpr std::size_t kMaxJsonFileBytes = 4 << 20;

// The parsed file, or nothing with *why saying "cannot be read", "is too
// large ..." or "is not valid JSON".
std::optional<nlohmann::json> ReadJsonFile(const std::filesystem::path& path, std::string* why);

// A member of an object when it is there with that type, else the
// fallback. (nlohmann's value() throws on a member of another type, and
// these files are anyone's.)
std::string StringField(const nlohmann::json& object, const char* key,
                        std::string fallback = {});
bool BoolField(const nlohmann::json& object, const char* key, bool fallback);

// Written beside the file with mode 0644 (browsers run as their user,
// whatever the umask), synced, then renamed over it.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& text,
                         std::string* why);

}  // namespace install
