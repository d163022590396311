#include "ui/LineFields.h"

#include <charconv>
#include <cstdint>

#include "ui/DialogProtocol.h"

namespace ui {
namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IsPrintableAscii(std::string_view text) {
  for (char c : text)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

void AppendField(std::string* out, std::string_view key, std::string_view value) {
  *out += key;
  out->push_back(' ');
  *out += EscapeField(value);
  out->push_back('\n');
}

bool ParseLanguage(std::string_view value, LANGID* language) {
  if (value.empty() || value.size() > 5) return false;
  unsigned number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || number > 0xFFFF) return false;
  *language = static_cast<LANGID>(number);
  return true;
}

bool ParseFailedAnswer(std::string_view line, HRESULT* code, std::string* message) {
  constexpr std::string_view kFailed = "failed";
  if (line.substr(0, kFailed.size()) != kFailed) return false;
  line.remove_prefix(kFailed.size());
  if (line.size() < 9 || !IsSeparator(line[0])) return false;
  const std::string_view digits = line.substr(1, 8);
  for (char c : digits)
    if (!IsHexDigit(c)) return false;
  line.remove_prefix(9);
  std::string text;
  if (!line.empty() && (!IsSeparator(line[0]) || !UnescapeField(line.substr(1), &text)))
    return false;
  std::uint32_t value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  *code = static_cast<HRESULT>(value);
  *message = std::move(text);
  return true;
}

}  // namespace ui
