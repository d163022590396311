#include "bridge/Utf.h"

#include "platform/base/WideString.h"

namespace bridge {

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

bool Utf8ToUtf16Strict(std::string_view utf8, std::u16string* utf16) {
  utf16->clear();
  utf16->reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    if (b0 < 0x80) {
      utf16->push_back(b0);
      ++i;
      continue;
    }
    std::size_t need;
    char32_t cp;
    char32_t least;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1, cp = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2, cp = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3, cp = b0 & 0x07, least = 0x10000;
    } else {
      return false;  // continuation byte as a lead, 0xC0/0xC1, 0xF5 and up
    }
    if (utf8.size() - i - 1 < need) return false;
    for (std::size_t k = 1; k <= need; ++k) {
      const auto b = static_cast<unsigned char>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      utf16->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      utf16->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      utf16->push_back(static_cast<char16_t>(cp));
    }
    i += need + 1;
  }
  return true;
}

// The platform's conversion replaces lone surrogates already.
std::string Utf16ToUtf8Lenient(std::u16string_view utf16) { return ToUtf8(utf16); }

}  // namespace bridge
