// Byte strings for the DER engine tests: hex text in, TLVs built by hand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

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

// One definite-length TLV, any length.
inline Bytes Tlv(BYTE byTag, const Bytes& value) {
  Bytes out(1, byTag);
  const std::size_t n = value.size();
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
  } else {
    int nOctets = 0;
    for (std::size_t rest = n; rest; rest >>= 8) ++nOctets;
    out.push_back(static_cast<BYTE>(0x80 | nOctets));
    for (int i = nOctets - 1; i >= 0; --i) out.push_back(static_cast<BYTE>(n >> (8 * i)));
  }
  out.resize(out.size() + n);
  std::copy(value.begin(), value.end(), out.end() - static_cast<std::ptrdiff_t>(n));
  return out;
}

inline Bytes Wrap(BYTE byTag, const Bytes& value) { return Tlv(byTag, value); }

}  // namespace asn1test
