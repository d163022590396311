#include "gmcrypto/sm2/Sm2Kdf.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdint>

#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm3/Sm3.h"

namespace gmcrypto {
namespace sm2internal {

unsigned char KdfXor(const unsigned char* z, std::size_t zlen, const unsigned char* in,
                     unsigned char* out, std::size_t len) {
  // Z (x2 || y2 in encryption) is secret, and so is every hash state over it.
  SM3_CTX base, c;
  unsigned char block[SM3_DIGEST_LENGTH];
  unsigned char seen = 0;
  SM3_Init(&base);
  SM3_Update(&base, z, zlen);
  for (std::uint32_t ct = 1; len > 0; ++ct) {
    const unsigned char counter[4] = {
        static_cast<unsigned char>(ct >> 24), static_cast<unsigned char>(ct >> 16),
        static_cast<unsigned char>(ct >> 8), static_cast<unsigned char>(ct)};
    c = base;
    SM3_Update(&c, counter, sizeof counter);
    SM3_Final(block, &c);
    const std::size_t take = std::min(len, sizeof block);
    for (std::size_t i = 0; i < take; ++i) {
      seen |= block[i];
      out[i] = in != nullptr ? static_cast<unsigned char>(in[i] ^ block[i]) : block[i];
    }
    out += take;
    if (in != nullptr) in += take;
    len -= take;
  }
  OPENSSL_cleanse(&base, sizeof base);
  OPENSSL_cleanse(&c, sizeof c);
  OPENSSL_cleanse(block, sizeof block);
  return seen;
}

}  // namespace sm2internal

int _SM2_KDF(const unsigned char* Z, int zlen, int klen, unsigned char* out) {
  if (out == nullptr || zlen < 0 || (Z == nullptr && zlen > 0) || klen <= 0 || klen % 8 != 0) {
    return 0;
  }
  sm2internal::KdfXor(Z, static_cast<std::size_t>(zlen), nullptr, out,
                      static_cast<std::size_t>(klen / 8));
  return 1;
}

}  // namespace gmcrypto
