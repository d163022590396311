// SM4, the 128-bit block cipher of GB/T 32907, and its CBC mode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gmcrypto {

inline constexpr std::size_t SM4_BLOCK_SIZE = 16;
inline constexpr std::size_t SM4_KEY_LENGTH = 16;

struct SM4_KEY {
  std::uint32_t rk[32];  // round keys, in the order the transform uses them
};

// Key expansion: round keys for encryption.
void SM4_set_key(const std::uint8_t key[SM4_KEY_LENGTH], SM4_KEY* ks);
// Reverses the round keys in place (key i with key 31 - i): decryption is
// the same transform with the keys the other way round.
void SM4_reverse_round_keys(SM4_KEY* ks);
// One block through the 32 rounds (in and out may be the same buffer).
void SM4_transform(const std::uint8_t in[SM4_BLOCK_SIZE], std::uint8_t out[SM4_BLOCK_SIZE],
                   const SM4_KEY* ks);
// One CBC step: encryption chains plaintext into iv and makes the result
// both output and new iv; decryption transforms, XORs iv, and keeps the
// ciphertext block as the new iv.
void SM4_cbc_step(const std::uint8_t in[SM4_BLOCK_SIZE], std::uint8_t out[SM4_BLOCK_SIZE],
                  const SM4_KEY* ks, std::uint8_t iv[SM4_BLOCK_SIZE], int enc);
// CBC over len bytes (a multiple of 16; a shorter tail is ignored), with
// `ks` set up for the direction. Decryption works on several blocks at once.
void SM4_cbc_encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t len, const SM4_KEY* ks,
                     std::uint8_t iv[SM4_BLOCK_SIZE], int enc);

}  // namespace gmcrypto
