// OBJECT IDENTIFIER contents to dotted text and back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "der/Reader.h"

namespace der {

// kCorrupt for empty contents, more than 128 octets or a last arc left
// open; kNonMinimal for an arc with a leading 0x80 group; kTooLarge for an
// arc past 63 bits.
Error OidToText(Bytes contents, std::string* dotted);
// False for text that is not two or more dotted decimal arcs of 64 bits
// with a valid first pair (0..2, then below 40 unless the first is 2).
bool OidFromText(std::string_view dotted, std::vector<std::uint8_t>* contents);

}  // namespace der
