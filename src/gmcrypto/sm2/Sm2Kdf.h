// The SM2 key derivation as a stream (internal): encryption and decryption
// XOR the key stream straight into their output, with no buffer for it.
#pragma once

#include <cstddef>

namespace gmcrypto::sm2internal {

// out = in XOR t (or out = t when in is null) for the first len bytes of the
// key stream t = SM3(Z || 00000001) || SM3(Z || 00000002) || ...
// Returns the OR of all bytes of t: 0 when t is all zero.
unsigned char KdfXor(const unsigned char* z, std::size_t zlen, const unsigned char* in,
                     unsigned char* out, std::size_t len);

}  // namespace gmcrypto::sm2internal
