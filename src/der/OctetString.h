// The value of an OCTET STRING, or of one implicitly tagged.
#pragma once

#include <cstdint>
#include <vector>

#include "der/Reader.h"

namespace der {

// Primitive in DER (a constructed one is kCorrupt); in BER also constructed
// of OCTET STRING pieces nested up to the options' depth (a piece of another
// type is kBadTag). The value is never longer than the element.
Error OctetStringValue(const Element& element, const Options& options,
                       std::vector<std::uint8_t>* value);

}  // namespace der
