#include "platform/base/Format.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/base/WideString.h"

namespace platform_format {
namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);
// Wider fields than this are treated as a malformed format rather than
// allocating megabytes of padding.
constexpr std::size_t kMaxField = 1u << 16;

enum class Length { None, Char, Short, Long, LongLong, Int32, Int64, Size, Wide };

struct Field {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  std::size_t width = 0;
  std::size_t precision = kNoLimit;
  Length length = Length::None;
  char conv = 0;
};

template <typename Ch>
using Str = std::basic_string<Ch>;

template <typename Ch>
void AppendAscii(Str<Ch>& out, std::string_view s) {
  for (char c : s) out.push_back(static_cast<Ch>(static_cast<unsigned char>(c)));
}

template <typename Ch>
void AppendNarrowText(Str<Ch>& out, std::string_view s) {
  if constexpr (std::is_same_v<Ch, char>)
    out.append(s);
  else
    out.append(FromUtf8(s));
}

template <typename Ch>
void AppendWideText(Str<Ch>& out, std::u16string_view s) {
  if constexpr (std::is_same_v<Ch, char>)
    out.append(ToUtf8(s));
  else
    out.append(s);
}

template <typename T>
std::size_t BoundedLength(const T* s, std::size_t known, std::size_t limit) {
  if (known != std::string_view::npos) return std::min(known, limit);
  std::size_t n = 0;
  while (n < limit && s[n]) ++n;
  return n;
}

// A cut must not split a surrogate pair or a UTF-8 sequence. Only the
// units before the cut are read: past it may lie memory the caller never
// promised.
std::size_t BackOff(const char16_t* s, std::size_t cut) {
  return (cut > 0 && s[cut - 1] >= 0xD800 && s[cut - 1] <= 0xDBFF) ? cut - 1 : cut;
}
std::size_t BackOff(const char* s, std::size_t cut) {
  for (std::size_t back = 1; back <= 4 && back <= cut; ++back) {
    const auto c = static_cast<unsigned char>(s[cut - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: keep looking for the lead
    const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? cut - back : cut;
  }
  return cut;
}

template <typename Ch>
void Pad(Str<Ch>& out, const Str<Ch>& body, const Field& field) {
  const std::size_t padding = field.width > body.size() ? field.width - body.size() : 0;
  if (!field.left) out.append(padding, Ch(' '));
  out.append(body);
  if (field.left) out.append(padding, Ch(' '));
}

bool IsInteger(const FormatArg& a) {
  return a.kind == ArgKind::Signed || a.kind == ArgKind::Unsigned;
}

unsigned BitsFor(const Field& field, const FormatArg& a) {
  switch (field.length) {
    case Length::Char:
      return 8;
    case Length::Short:
      return 16;
    case Length::Int32:
      return 32;
    case Length::LongLong:
    case Length::Int64:
    case Length::Size:
      return 64;
    default:
      return std::max<unsigned>(32, a.bits);  // the argument's own width
  }
}

template <typename Ch>
void FormatInteger(Str<Ch>& out, const Field& field, const FormatArg& a) {
  const unsigned bits = BitsFor(field, a);
  const std::uint64_t mask = bits >= 64 ? ~0ull : ((1ull << bits) - 1);
  std::uint64_t raw = a.u & mask;
  const bool isSigned = field.conv == 'd' || field.conv == 'i';
  bool negative = false;
  std::uint64_t magnitude = raw;
  if (isSigned && bits < 64 && (raw >> (bits - 1)) & 1) {
    negative = true;
    magnitude = ((~raw) & mask) + 1;
  } else if (isSigned && bits == 64 && static_cast<std::int64_t>(raw) < 0) {
    negative = true;
    magnitude = ~raw + 1;
  }

  const unsigned base = field.conv == 'o' ? 8 : (field.conv == 'x' || field.conv == 'X') ? 16 : 10;
  const char* digitSet = field.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string digits;
  for (std::uint64_t v = magnitude; v != 0; v /= base) digits.push_back(digitSet[v % base]);
  std::reverse(digits.begin(), digits.end());
  if (field.precision == kNoLimit && digits.empty()) digits = "0";
  if (field.precision != kNoLimit && digits.size() < field.precision)
    digits.insert(0, field.precision - digits.size(), '0');
  if (field.alt && field.conv == 'o' && (digits.empty() || digits[0] != '0')) digits.insert(0, "0");

  std::string prefix;
  if (isSigned) {
    if (negative)
      prefix = "-";
    else if (field.plus)
      prefix = "+";
    else if (field.space)
      prefix = " ";
  }
  if (field.alt && magnitude != 0 && field.conv == 'x') prefix = "0x";
  if (field.alt && magnitude != 0 && field.conv == 'X') prefix = "0X";

  if (field.zero && !field.left && field.precision == kNoLimit) {
    const std::size_t used = prefix.size() + digits.size();
    if (field.width > used) digits.insert(0, field.width - used, '0');
  }
  Str<Ch> body;
  AppendAscii(body, prefix);
  AppendAscii(body, digits);
  Pad(out, body, field);
}

template <typename Ch>
void FormatDouble(Str<Ch>& out, const Field& field, double value) {
  std::string f = "%";
  if (field.left) f += '-';
  if (field.plus) f += '+';
  if (field.space) f += ' ';
  if (field.alt) f += '#';
  if (field.zero) f += '0';
  f += std::to_string(field.width);
  if (field.precision != kNoLimit) f += "." + std::to_string(field.precision);
  f += field.conv;
  const int n = std::snprintf(nullptr, 0, f.c_str(), value);
  if (n < 0) return;
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(text.data(), text.size(), f.c_str(), value);
  text.resize(static_cast<std::size_t>(n));
  AppendAscii(out, text);
}

template <typename Ch>
void FormatText(Str<Ch>& out, const Field& field, const FormatArg& a) {
  Str<Ch> body;
  if (a.p == nullptr) {
    AppendAscii(body, "(null)");
  } else if (a.kind == ArgKind::NarrowText) {
    const auto* s = static_cast<const char*>(a.p);
    std::size_t n = BoundedLength(s, a.length, field.precision);
    if (n == field.precision) n = BackOff(s, n);
    AppendNarrowText(body, std::string_view(s, n));
  } else {
    const auto* s = static_cast<const char16_t*>(a.p);
    std::size_t n = BoundedLength(s, a.length, field.precision);
    if (n == field.precision) n = BackOff(s, n);
    AppendWideText(body, std::u16string_view(s, n));
  }
  Pad(out, body, field);
}

template <typename Ch>
void FormatChar(Str<Ch>& out, const Field& field, const FormatArg& a) {
  std::uint64_t value = a.u;
  if (a.isChar && a.bits == 8) value &= 0xFF;
  if (a.isChar && a.bits == 16) value &= 0xFFFF;
  Str<Ch> body;
  if constexpr (std::is_same_v<Ch, char>) {
    if (a.isChar && a.bits == 8) {
      body.push_back(static_cast<char>(value));  // a byte stays a byte
    } else {
      const char32_t cp = (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
                              ? 0xFFFD
                              : static_cast<char32_t>(value);
      const char16_t units[2] = {
          static_cast<char16_t>(cp < 0x10000 ? cp : 0xD800 | ((cp - 0x10000) >> 10)),
          static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF))};
      body = ToUtf8(std::u16string_view(units, cp < 0x10000 ? 1 : 2));
    }
  } else {
    if (a.isChar && a.bits == 8 && value >= 0x80) value = 0xFFFD;  // half a UTF-8 sequence
    if (value > 0x10FFFF) value = 0xFFFD;
    if (value >= 0x10000) {
      body.push_back(static_cast<char16_t>(0xD800 | ((value - 0x10000) >> 10)));
      body.push_back(static_cast<char16_t>(0xDC00 | ((value - 0x10000) & 0x3FF)));
    } else {
      body.push_back(static_cast<char16_t>(value));
    }
  }
  Pad(out, body, field);
}

template <typename Ch>
void FormatPointer(Str<Ch>& out, const Field& field, std::uint64_t value) {
  char digits[2 * sizeof(void*) + 1];
  std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(value));
  Str<Ch> body;
  AppendAscii(body, digits);
  Pad(out, body, field);
}

template <typename Ch>
void Mismatch(Str<Ch>& out, const Field& field) {
  Pad(out, Str<Ch>(1, Ch('?')), field);
}

template <typename Ch>
bool ParseNumber(const Ch*& f, std::size_t& value) {
  value = 0;
  while (*f >= Ch('0') && *f <= Ch('9')) {
    value = value * 10 + static_cast<std::size_t>(*f - Ch('0'));
    if (value > kMaxField) return false;
    ++f;
  }
  return true;
}

bool StartsWith(const char16_t* f, const char* s) {
  for (; *s; ++s, ++f)
    if (*f != static_cast<char16_t>(*s)) return false;
  return true;
}
bool StartsWith(const char* f, const char* s) { return std::strncmp(f, s, std::strlen(s)) == 0; }

template <typename Ch>
Length ParseLength(const Ch*& f) {
  struct Entry {
    const char* text;
    Length length;
  };
  static constexpr Entry kTable[] = {
      {"hh", Length::Char},   {"h", Length::Short},    {"ll", Length::LongLong},
      {"l", Length::Long},    {"L", Length::LongLong}, {"I64", Length::Int64},
      {"I32", Length::Int32}, {"I", Length::Size},     {"z", Length::Size},
      {"j", Length::Int64},   {"t", Length::Size},     {"w", Length::Wide},
  };
  for (const Entry& e : kTable) {
    if (StartsWith(f, e.text)) {
      f += std::strlen(e.text);
      return e.length;
    }
  }
  return Length::None;
}

template <typename Ch>
bool Engine(Str<Ch>& out, const Ch* format, const FormatArg* args, std::size_t count) {
  if (!format) return false;
  std::size_t next = 0;
  const FormatArg* none = nullptr;
  auto take = [&]() { return next < count ? &args[next++] : none; };
  auto starValue = [&](bool& negative) -> std::size_t {
    const FormatArg* a = take();
    negative = false;
    if (!a || !IsInteger(*a)) return 0;
    const auto v = static_cast<std::int32_t>(a->u);  // an int, as printf reads it
    negative = v < 0;
    const std::uint64_t mag = negative ? -static_cast<std::int64_t>(v) : v;
    return static_cast<std::size_t>(std::min<std::uint64_t>(mag, kMaxField));
  };

  for (const Ch* f = format; *f;) {
    if (*f != Ch('%')) {
      out.push_back(*f++);
      continue;
    }
    ++f;
    if (*f == Ch('%')) {
      out.push_back(*f++);
      continue;
    }
    Field field;
    for (;; ++f) {
      if (*f == Ch('-'))
        field.left = true;
      else if (*f == Ch('+'))
        field.plus = true;
      else if (*f == Ch(' '))
        field.space = true;
      else if (*f == Ch('#'))
        field.alt = true;
      else if (*f == Ch('0'))
        field.zero = true;
      else
        break;
    }
    if (*f == Ch('*')) {
      ++f;
      bool negative;
      field.width = starValue(negative);
      if (negative) field.left = true;
    } else if (!ParseNumber(f, field.width)) {
      return false;
    }
    if (*f == Ch('.')) {
      ++f;
      if (*f == Ch('*')) {
        ++f;
        bool negative;
        field.precision = starValue(negative);
        if (negative) field.precision = kNoLimit;
      } else if (!ParseNumber(f, field.precision)) {
        return false;
      }
    }
    field.length = ParseLength(f);
    const Ch c = *f;
    if (c == 0 || static_cast<std::make_unsigned_t<Ch>>(c) > 0x7F) return false;
    field.conv = static_cast<char>(c);
    ++f;

    switch (field.conv) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const FormatArg* a = take();
        if (a && IsInteger(*a))
          FormatInteger(out, field, *a);
        else
          Mismatch(out, field);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A': {
        const FormatArg* a = take();
        if (!a)
          Mismatch(out, field);
        else if (a->kind == ArgKind::Double)
          FormatDouble(out, field, a->d);
        else if (a->kind == ArgKind::Signed)
          FormatDouble(out, field, static_cast<double>(a->i));
        else if (a->kind == ArgKind::Unsigned)
          FormatDouble(out, field, static_cast<double>(a->u));
        else
          Mismatch(out, field);
        break;
      }
      // Text conversions print whichever text the argument is; the
      // width letters (h, l, w, S) only matter to an untyped va_list.
      case 's':
      case 'S': {
        const FormatArg* a = take();
        if (a && (a->kind == ArgKind::NarrowText || a->kind == ArgKind::WideText ||
                  (a->kind == ArgKind::Pointer && a->p == nullptr)))
          FormatText(out, field, *a);
        else
          Mismatch(out, field);
        break;
      }
      case 'c':
      case 'C': {
        const FormatArg* a = take();
        if (a && IsInteger(*a))
          FormatChar(out, field, *a);
        else
          Mismatch(out, field);
        break;
      }
      case 'p': {
        const FormatArg* a = take();
        if (a && (a->kind == ArgKind::Pointer || a->kind == ArgKind::NarrowText ||
                  a->kind == ArgKind::WideText))
          FormatPointer(out, field, reinterpret_cast<std::uintptr_t>(a->p));
        else if (a && IsInteger(*a))
          FormatPointer(out, field, a->u);
        else
          Mismatch(out, field);
        break;
      }
      default:  // includes %n: never write through an argument
        return false;
    }
  }
  return true;
}

template <typename Ch>
int ToBuffer(Ch* buffer, std::size_t cch, std::size_t count, const Ch* format,
             const FormatArg* args, std::size_t n) {
  if (!buffer || cch == 0) return -1;
  buffer[0] = 0;
  Str<Ch> out;
  if (!Engine(out, format, args, n) || out.size() > static_cast<std::size_t>(INT_MAX)) return -1;

  std::size_t limit;  // most characters we may write before the terminator
  if (count == _TRUNCATE)
    limit = cch - 1;
  else if (count < cch)
    limit = count;
  else if (out.size() < cch)
    limit = out.size();
  else
    return -1;  // must fit whole, and does not

  const bool cut = out.size() > limit;
  const std::size_t length = cut ? BackOff(out.data(), limit) : out.size();
  std::memcpy(buffer, out.data(), length * sizeof(Ch));
  buffer[length] = 0;
  return cut ? -1 : static_cast<int>(length);
}

}  // namespace

bool FormatInto(std::u16string& out, LPCWSTR format, const FormatArg* args, std::size_t count) {
  return Engine(out, format, args, count);
}

bool FormatInto(std::string& out, LPCSTR format, const FormatArg* args, std::size_t count) {
  return Engine(out, format, args, count);
}

int FormatToBuffer(LPWSTR buffer, std::size_t cch, std::size_t count, LPCWSTR format,
                   const FormatArg* args, std::size_t n) {
  return ToBuffer(buffer, cch, count, format, args, n);
}

int FormatToBuffer(LPSTR buffer, std::size_t cch, std::size_t count, LPCSTR format,
                   const FormatArg* args, std::size_t n) {
  return ToBuffer(buffer, cch, count, format, args, n);
}

}  // namespace platform_format
