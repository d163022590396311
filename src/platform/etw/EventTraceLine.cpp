// One readable line per trace record, for the file loggers: time stamp,
// sequence, message GUID, number and each argument decoded by its shape.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "platform/etw/EventTrace.h"
#include "platform/base/WideString.h"

namespace {

void AppendGuid(std::string& out, const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  out += text;
}

// Quoted, with the characters that would break the line escaped.
void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

bool IsTextUnit(unsigned unit) {
  return unit >= 0x20 || unit == '\t' || unit == '\n' || unit == '\r';
}

// Terminated UTF-16 with no other zero unit and no control characters.
std::optional<std::u16string> AsWideText(const std::string& bytes) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return std::nullopt;
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  if (text.back() != 0) return std::nullopt;
  text.pop_back();
  for (const char16_t u : text)
    if (!IsTextUnit(u)) return std::nullopt;
  return text;
}

bool IsNarrowText(const std::string& bytes) {
  if (bytes.empty() || bytes.back() != '\0') return false;
  const std::string_view text(bytes.data(), bytes.size() - 1);
  for (const char c : text)
    if (!IsTextUnit(static_cast<unsigned char>(c))) return false;
  return ToUtf8(FromUtf8(text)) == text;  // valid UTF-8 only
}

void AppendArgument(std::string& out, const std::string& bytes) {
  char text[16];
  // Four bytes are a 32-bit value unless they read as three letters of
  // narrow text; small counts and result codes never do.
  const bool letters =
      bytes.size() == 4 && bytes[3] == '\0' &&
      std::all_of(bytes.begin(), bytes.begin() + 3, [](char c) { return c >= 0x20 && c < 0x7F; });
  if (bytes.size() == 4 && !letters) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    std::snprintf(text, sizeof text, "0x%08x", v);
    out += text;
  } else if (auto wide = AsWideText(bytes)) {
    AppendQuoted(out, ToUtf8(*wide));
  } else if (IsNarrowText(bytes)) {
    AppendQuoted(out, std::string_view(bytes.data(), bytes.size() - 1));
  } else {
    out += "hex:";
    for (const char c : bytes) {
      std::snprintf(text, sizeof text, "%02x", static_cast<unsigned char>(c));
      out += text;
    }
  }
}

}  // namespace

std::string FormatTraceRecordLine(const TRACE_RECORD& record) {
  using namespace std::chrono;
  const auto since = record.TimeStamp.time_since_epoch();
  const std::time_t seconds = duration_cast<std::chrono::seconds>(since).count();
  const long micros = static_cast<long>(duration_cast<microseconds>(since).count() % 1000000);
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char stamp[64];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ldZ #%llu ", micros < 0 ? 0 : micros,
                static_cast<unsigned long long>(record.Sequence));
  std::string line = stamp;
  AppendGuid(line, record.Guid);
  line += record.IsEvent ? " event " + std::to_string(record.EventType)
                         : " " + std::to_string(record.MessageNumber);
  for (const std::string& arg : record.Arguments) {
    line += ' ';
    AppendArgument(line, arg);
  }
  return line;
}
