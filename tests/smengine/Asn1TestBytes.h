// Byte strings for the DER engine tests: hex text in, TLVs built by hand.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace asn1test {

using Bytes = std::vector<BYTE>;

// "30 03 02 01 05" -> bytes; blanks are ignored.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

// One definite-length TLV (values up to 64 KiB).
inline Bytes Wrap(BYTE byTag, const Bytes& value) {
  Bytes out{byTag};
  const std::size_t n = value.size();
  if (n >= 0x100)
    out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8)});
  else if (n >= 0x80)
    out.push_back(0x81);
  out.push_back(static_cast<BYTE>(n));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

}  // namespace asn1test
