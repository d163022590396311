#include "bridge/Chunker.h"

#include "bridge/Utf.h"

namespace bridge {

std::size_t EscapedSize(unsigned char c) {
  switch (c) {
    case '"':
    case '\\':
    case '\b':
    case '\f':
    case '\n':
    case '\r':
    case '\t':
      return 2;
    default:
      return c < 0x20 ? 6 : 1;
  }
}

std::size_t EscapedSize(std::string_view text) {
  std::size_t size = 0;
  for (const char c : text) size += EscapedSize(static_cast<unsigned char>(c));
  return size;
}

std::vector<std::string_view> SplitForFrames(std::string_view value, std::size_t budget) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < value.size()) {
    std::size_t length = Utf8SequenceLength(static_cast<unsigned char>(value[i]));
    if (length > value.size() - i) length = value.size() - i;
    std::size_t cost = 0;
    for (std::size_t k = 0; k < length; ++k)
      cost += EscapedSize(static_cast<unsigned char>(value[i + k]));
    if (used + cost > budget && i > start) {
      pieces.push_back(value.substr(start, i - start));
      start = i;
      used = 0;
    }
    used += cost;
    i += length;
  }
  if (start < value.size() || pieces.empty()) pieces.push_back(value.substr(start));
  return pieces;
}

}  // namespace bridge
