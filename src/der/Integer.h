// The contents of a non-negative INTEGER from its big-endian magnitude, in
// the one form the field asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "der/Reader.h"

namespace der {

enum class IntegerForm {
  // DER: no leading zero octets but a single 0x00 when the top bit would
  // make the value negative; zero is one 0x00 octet.
  kMinimal,
  // Exactly `width` octets, left-padded with zeros and with no sign octet,
  // for fields whose readers take a fixed size (SM2 coordinates). Not DER
  // when it pads or the top bit is set.
  kFixedWidth,
};

// False only for kFixedWidth with a magnitude wider than `width` (or a
// width of zero); `width` is not used for kMinimal.
bool UnsignedIntegerContents(Bytes bigEndian, IntegerForm form, std::size_t width,
                             std::vector<std::uint8_t>* contents);

}  // namespace der
