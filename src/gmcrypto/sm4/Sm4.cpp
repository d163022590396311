#include "gmcrypto/sm4/Sm4.h"

#include <openssl/crypto.h>

#include <utility>

#include "gmcrypto/sm4/Sm4Kernels.h"
#include "gmcrypto/sm4/Sm4Tables.h"

namespace gmcrypto {
namespace {

std::uint32_t Rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

std::uint32_t LoadBe(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

void SM4_set_key(const std::uint8_t key[SM4_KEY_LENGTH], SM4_KEY* ks) {
  if (!key || !ks) return;
  // The S-box goes through the selected kernel: constant time wherever
  // AES-NI is present, like the rounds themselves.
  const auto sbox = detail::Sm4BestKernels().sbox_word;
  std::uint32_t k[4];
  for (int i = 0; i < 4; ++i) k[i] = LoadBe(key + 4 * i) ^ detail::kSm4Fk[i];
  for (int i = 0; i < 32; ++i) {
    const std::uint32_t b =
        sbox(k[(i + 1) & 3] ^ k[(i + 2) & 3] ^ k[(i + 3) & 3] ^ detail::kSm4Ck[i]);
    k[i & 3] ^= b ^ Rotl(b, 13) ^ Rotl(b, 23);
    ks->rk[i] = k[i & 3];
  }
  OPENSSL_cleanse(k, sizeof k);
}

void SM4_reverse_round_keys(SM4_KEY* ks) {
  if (!ks) return;
  for (int i = 0; i < 16; ++i) std::swap(ks->rk[i], ks->rk[31 - i]);
}

void SM4_transform(const std::uint8_t in[SM4_BLOCK_SIZE], std::uint8_t out[SM4_BLOCK_SIZE],
                   const SM4_KEY* ks) {
  if (!in || !out || !ks) return;
  detail::Sm4BestKernels().transform_blocks(in, out, 1, ks);
}

void SM4_cbc_step(const std::uint8_t in[SM4_BLOCK_SIZE], std::uint8_t out[SM4_BLOCK_SIZE],
                  const SM4_KEY* ks, std::uint8_t iv[SM4_BLOCK_SIZE], int enc) {
  SM4_cbc_encrypt(in, out, SM4_BLOCK_SIZE, ks, iv, enc);
}

void SM4_cbc_encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t len, const SM4_KEY* ks,
                     std::uint8_t iv[SM4_BLOCK_SIZE], int enc) {
  const std::size_t blocks = len / SM4_BLOCK_SIZE;
  if (!blocks || !in || !out || !ks || !iv) return;
  const auto& kernels = detail::Sm4BestKernels();
  (enc ? kernels.cbc_encrypt : kernels.cbc_decrypt)(in, out, blocks, ks, iv);
}

}  // namespace gmcrypto
