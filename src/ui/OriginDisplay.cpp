#include "ui/OriginDisplay.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace ui {
namespace {

// RFC 3492 section 5, the parameters IDNA uses.
constexpr std::uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr std::uint32_t kInitialBias = 72, kInitialN = 0x80;
constexpr std::uint32_t kMaxInt = std::numeric_limits<std::uint32_t>::max();
constexpr char kDelimiter = '-';

// Section 6.1.
std::uint32_t Adapt(std::uint32_t delta, std::uint32_t numPoints, bool firstTime) {
  delta = firstTime ? delta / kDamp : delta / 2;
  delta += delta / numPoints;
  std::uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

std::uint32_t Threshold(std::uint32_t k, std::uint32_t bias) {
  if (k <= bias) return kTMin;
  if (k >= bias + kTMax) return kTMax;
  return k - bias;
}

// Base-36 digit value of a character, kBase for anything else.
std::uint32_t DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0') + 26;
  if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a');
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
  return kBase;
}

char DigitCharacter(std::uint32_t digit) {
  return static_cast<char>(digit < 26 ? 'a' + digit : '0' + (digit - 26));
}

bool IsScalarValue(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Code points that change how an address reads rather than spell a name:
// controls, spaces and invisible formatting, direction overrides, and
// look-alikes of the characters that give an origin its structure (. / : @).
bool IsDisplayableInName(std::uint32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  struct Range {
    std::uint32_t first, last;
  };
  static constexpr Range kRefused[] = {
      {0x0080, 0x00A0},   {0x00AD, 0x00AD},    {0x02D0, 0x02D1}, {0x034F, 0x034F},
      {0x0589, 0x0589},   {0x05C3, 0x05C3},    {0x061C, 0x061C}, {0x06D4, 0x06D4},
      {0x0701, 0x0704},   {0x115F, 0x1160},    {0x1735, 0x1735}, {0x17B4, 0x17B5},
      {0x180B, 0x180F},   {0x2000, 0x2015},    {0x2024, 0x2027}, {0x2028, 0x202F},
      {0x2044, 0x2044},   {0x205F, 0x206F},    {0x2215, 0x2215}, {0x2236, 0x2236},
      {0x2571, 0x2571},   {0x29F8, 0x29F8},    {0x2FF0, 0x2FFF}, {0x3000, 0x3002},
      {0x3164, 0x3164},   {0xA789, 0xA789},    {0xD800, 0xF8FF}, {0xFDD0, 0xFDEF},
      {0xFE00, 0xFE0F},   {0xFE13, 0xFE13},    {0xFE52, 0xFE52}, {0xFE55, 0xFE55},
      {0xFEFF, 0xFEFF},   {0xFF0E, 0xFF0F},    {0xFF1A, 0xFF1A}, {0xFF20, 0xFF20},
      {0xFF61, 0xFF61},   {0xFFA0, 0xFFA0},    {0xFFF0, 0xFFFF}, {0x1D173, 0x1D17A},
      {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
  };
  if ((c & 0xFFFE) == 0xFFFE) return false;  // the noncharacters at the end of each plane
  return std::none_of(std::begin(kRefused), std::end(kRefused),
                      [c](const Range& r) { return c >= r.first && c <= r.last; });
}

bool IsRightToLeft(std::uint32_t c) {
  return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) ||
         (c >= 0xFE70 && c <= 0xFEFF) || (c >= 0x10800 && c <= 0x10FFF) ||
         (c >= 0x1E800 && c <= 0x1EFFF);
}

void AppendUtf8(std::string* out, std::uint32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool HasAcePrefix(std::string_view label) {
  return label.size() > 4 && LowerAscii(label.substr(0, 4)) == "xn--";
}

// One "xn--" label as UTF-8, or false when it is not a plain Unicode name:
// it must decode, hold something outside ASCII, show nothing of the
// refused kinds and encode back to the very same letters (so no two
// spellings show as one name).
bool DecodeLabel(std::string_view label, std::string* out, bool* rightToLeft) {
  const std::string_view encoded = label.substr(4);
  std::u32string decoded;
  if (!PunycodeDecode(encoded, &decoded)) return false;
  bool wide = false;
  for (char32_t c : decoded) {
    if (!IsDisplayableInName(c)) return false;
    wide = wide || c >= 0x80;
    *rightToLeft = *rightToLeft || IsRightToLeft(c);
  }
  std::string again;
  if (!wide || !PunycodeEncode(decoded, &again) || again != LowerAscii(encoded)) return false;
  for (char32_t c : decoded) AppendUtf8(out, c);
  return true;
}

}  // namespace

// Section 6.2.
bool PunycodeDecode(std::string_view encoded, std::u32string* decoded) {
  decoded->clear();
  if (encoded.size() > kMaxPunycodeLength) return false;
  std::u32string output;
  const std::size_t delimiter = encoded.rfind(kDelimiter);
  const std::size_t basic = delimiter == std::string_view::npos ? 0 : delimiter;
  for (std::size_t j = 0; j < basic; ++j) {
    const auto c = static_cast<unsigned char>(encoded[j]);
    if (c >= 0x80) return false;
    output.push_back(c);
  }
  // The delimiter is consumed only after a basic part; a leading one is a
  // digit (and fails as one).
  std::size_t in = basic > 0 ? basic + 1 : 0;
  std::uint32_t n = kInitialN, i = 0, bias = kInitialBias;
  while (in < encoded.size()) {
    const std::uint32_t oldi = i;
    std::uint32_t w = 1;
    for (std::uint32_t k = kBase;; k += kBase) {
      if (in >= encoded.size()) return false;
      const std::uint32_t digit = DigitValue(encoded[in++]);
      if (digit >= kBase) return false;
      if (digit > (kMaxInt - i) / w) return false;
      i += digit * w;
      const std::uint32_t t = Threshold(k, bias);
      if (digit < t) break;
      if (w > kMaxInt / (kBase - t)) return false;
      w *= kBase - t;
    }
    const auto length = static_cast<std::uint32_t>(output.size() + 1);
    bias = Adapt(i - oldi, length, oldi == 0);
    if (i / length > kMaxInt - n) return false;
    n += i / length;
    i %= length;
    // A basic code point belongs in the basic part; anything else must be
    // a Unicode scalar value.
    if (n < 0x80 || !IsScalarValue(n) || output.size() >= kMaxPunycodeLength) return false;
    output.insert(output.begin() + i, static_cast<char32_t>(n));
    ++i;
  }
  *decoded = std::move(output);
  return true;
}

// Section 6.3.
bool PunycodeEncode(std::u32string_view decoded, std::string* encoded) {
  encoded->clear();
  if (decoded.size() > kMaxPunycodeLength) return false;
  std::string output;
  for (char32_t c : decoded) {
    if (!IsScalarValue(c)) return false;
    if (c < 0x80) output.push_back(static_cast<char>(c));
  }
  const auto basic = static_cast<std::uint32_t>(output.size());
  std::uint32_t handled = basic;
  if (basic > 0) output.push_back(kDelimiter);
  std::uint32_t n = kInitialN, delta = 0, bias = kInitialBias;
  while (handled < decoded.size()) {
    std::uint32_t m = kMaxInt;
    for (char32_t c : decoded)
      if (c >= n && c < m) m = c;
    if (m - n > (kMaxInt - delta) / (handled + 1)) return false;
    delta += (m - n) * (handled + 1);
    n = m;
    for (char32_t c : decoded) {
      if (c < n && ++delta == 0) return false;
      if (c != n) continue;
      std::uint32_t q = delta;
      for (std::uint32_t k = kBase;; k += kBase) {
        const std::uint32_t t = Threshold(k, bias);
        if (q < t) break;
        output.push_back(DigitCharacter(t + (q - t) % (kBase - t)));
        q = (q - t) / (kBase - t);
      }
      output.push_back(DigitCharacter(q));
      bias = Adapt(delta, handled + 1, handled == basic);
      delta = 0;
      ++handled;
    }
    ++delta;
    ++n;
  }
  if (output.size() > kMaxPunycodeLength) return false;
  *encoded = std::move(output);
  return true;
}

OriginForms OriginDisplayForms(std::string_view origin) {
  OriginForms forms;
  for (char c : origin) forms.ascii.push_back(c >= 0x20 && c <= 0x7E ? c : '?');
  forms.unicode = forms.ascii;

  const std::string_view text = forms.ascii;
  const std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return forms;
  const std::size_t hostStart = schemeEnd + 3;
  if (hostStart < text.size() && text[hostStart] == '[') return forms;  // IPv6
  const std::size_t hostEnd = std::min(text.find_first_of(":/?#", hostStart), text.size());
  const std::string_view host = text.substr(hostStart, hostEnd - hostStart);

  std::string unicodeHost;
  bool changed = false;
  bool rightToLeft = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = host.find('.', start);
    const std::string_view label = host.substr(start, dot == host.npos ? host.npos : dot - start);
    if (HasAcePrefix(label)) {
      if (!DecodeLabel(label, &unicodeHost, &rightToLeft)) return forms;
      changed = true;
    } else {
      unicodeHost += label;
    }
    if (dot == host.npos) break;
    unicodeHost.push_back('.');
    start = dot + 1;
  }
  if (!changed) return forms;

  std::string unicode(text.substr(0, hostStart));
  unicode += unicodeHost;
  unicode += text.substr(hostEnd);
  if (rightToLeft) {
    forms.unicode.clear();
    AppendUtf8(&forms.unicode, 0x2066);  // LEFT-TO-RIGHT ISOLATE
    forms.unicode += unicode;
    AppendUtf8(&forms.unicode, 0x2069);  // POP DIRECTIONAL ISOLATE
  } else {
    forms.unicode = std::move(unicode);
  }
  return forms;
}

std::string OriginDisplayText(std::string_view origin) {
  OriginForms forms = OriginDisplayForms(origin);
  if (forms.unicode == forms.ascii) return forms.ascii;
  return forms.unicode + " (" + forms.ascii + ")";
}

}  // namespace ui
