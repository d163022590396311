#include <openssl/bn.h>

#include "gmcrypto/sm2/Sm2.h"

namespace gmcrypto {

namespace {
// Bytes of the order of curve 893 (256 bits).
constexpr int kOrderBytes = 32;
}  // namespace

int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char out[32]) {
  if (bn == nullptr || out == nullptr || BN_is_negative(bn)) return 0;
  return BN_bn2binpad(bn, out, 32) == 32 ? 1 : 0;
}

int _SM2_Bytes2BN(const unsigned char* in, int len, BIGNUM* out) {
  if (out == nullptr || len < 0 || (in == nullptr && len > 0)) return 0;
  if (len > kOrderBytes) len = kOrderBytes;
  return BN_bin2bn(in, len, out) != nullptr ? 1 : 0;
}

}  // namespace gmcrypto
