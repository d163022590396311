// SM3, the 256-bit hash of GB/T 32905.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gmcrypto {

inline constexpr std::size_t SM3_DIGEST_LENGTH = 32;
inline constexpr std::size_t SM3_CBLOCK = 64;

struct SM3_CTX {
  std::uint8_t block[SM3_CBLOCK];  // bytes of the current, incomplete block
  std::uint32_t num;               // valid bytes in block (0..63 between calls)
  std::uint32_t V[8];              // chaining value
  std::uint64_t total;  // bytes already compressed: 64 bits, so 4 GiB and more hash right
};

// Each returns 1 on success and 0 on failure (null context).
int SM3_Init(SM3_CTX* c);
int SM3_Update(SM3_CTX* c, const void* data, std::size_t len);
// Writes the 32-byte digest; the context is not reset.
int SM3_Final(unsigned char* md, SM3_CTX* c);

// One-shot digest.
void SM3(const void* data, std::size_t len, unsigned char md[SM3_DIGEST_LENGTH]);

}  // namespace gmcrypto
