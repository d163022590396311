// The fallback for processors without AES-NI (x86-64 before 2010 and a few
// low-end parts): S-box and linear layer merged into four 1 KiB tables.
// They are indexed by secret bytes, so this is not constant time; every
// AES-NI machine takes the vector code instead.
#include <array>

#include "gmcrypto/sm4/Sm4Kernels.h"
#include "gmcrypto/sm4/Sm4Tables.h"

namespace gmcrypto::detail {
namespace {

using u32 = std::uint32_t;

inline u32 LoadBe(const std::uint8_t* p) {
  return (u32{p[0]} << 24) | (u32{p[1]} << 16) | (u32{p[2]} << 8) | u32{p[3]};
}

inline void StoreBe(std::uint8_t* p, u32 v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

u32 SboxWord(u32 x) {
  return (u32{kSm4Sbox[x >> 24]} << 24) | (u32{kSm4Sbox[(x >> 16) & 0xFF]} << 16) |
         (u32{kSm4Sbox[(x >> 8) & 0xFF]} << 8) | u32{kSm4Sbox[x & 0xFF]};
}

constexpr u32 L(u32 b) {
  return b ^ ((b << 2) | (b >> 30)) ^ ((b << 10) | (b >> 22)) ^ ((b << 18) | (b >> 14)) ^
         ((b << 24) | (b >> 8));
}

// kTbox[k][v] = L(S(v) placed in byte k, counted from the least significant).
constexpr auto kTbox = [] {
  std::array<std::array<u32, 256>, 4> t{};
  for (int k = 0; k < 4; ++k)
    for (unsigned v = 0; v < 256; ++v) t[k][v] = L(u32{kSm4Sbox[v]} << (8 * k));
  return t;
}();

// Held as computed: left to itself the compiler turns the XORs below into
// one serial chain, with the latest table load first.
inline u32 Pin(u32 x) {
  asm("" : "+r"(x));
  return x;
}

// One round: x0 ^= T(in), and `in` becomes the next round's input, e ^ T(in)
// with e = x0 ^ x2 ^ x3 ^ next key known in advance. The byte at bits 16..23
// takes two instructions to extract, so its load is XORed in last.
[[gnu::always_inline]] inline void Step(u32& in, u32& x0, u32 x2, u32 x3, u32 next_key) {
  const u32 e = Pin(x0 ^ x2 ^ x3 ^ next_key);
  const u32 early = Pin(kTbox[0][in & 0xFF] ^ kTbox[3][in >> 24]) ^ kTbox[1][(in >> 8) & 0xFF];
  const u32 late = kTbox[2][(in >> 16) & 0xFF];
  x0 ^= early ^ late;
  in = Pin(e ^ early) ^ late;
}

// 32 rounds; afterwards x0..x3 hold X32..X35.
[[gnu::always_inline]] inline void Rounds(u32& x0, u32& x1, u32& x2, u32& x3, const SM4_KEY* ks) {
  u32 in = x1 ^ x2 ^ x3 ^ ks->rk[0];
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    Step(in, x0, x2, x3, ks->rk[i + 1]);
    Step(in, x1, x3, x0, ks->rk[i + 2]);
    Step(in, x2, x0, x1, ks->rk[i + 3]);
    Step(in, x3, x1, x2, i + 4 < 32 ? ks->rk[i + 4] : 0);
  }
}

inline void StoreBlock(std::uint8_t* out, u32 x32, u32 x33, u32 x34, u32 x35) {
  StoreBe(out, x35);
  StoreBe(out + 4, x34);
  StoreBe(out + 8, x33);
  StoreBe(out + 12, x32);
}

void TransformBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                     const SM4_KEY* ks) {
  for (; blocks; --blocks, in += 16, out += 16) {
    u32 x0 = LoadBe(in), x1 = LoadBe(in + 4), x2 = LoadBe(in + 8), x3 = LoadBe(in + 12);
    Rounds(x0, x1, x2, x3, ks);
    StoreBlock(out, x0, x1, x2, x3);
  }
}

// The chaining value stays in registers from block to block.
void CbcEncrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, const SM4_KEY* ks,
                std::uint8_t iv[16]) {
  u32 c0 = LoadBe(iv), c1 = LoadBe(iv + 4), c2 = LoadBe(iv + 8), c3 = LoadBe(iv + 12);
  for (; blocks; --blocks, in += 16, out += 16) {
    u32 x0 = LoadBe(in) ^ c0, x1 = LoadBe(in + 4) ^ c1, x2 = LoadBe(in + 8) ^ c2,
        x3 = LoadBe(in + 12) ^ c3;
    Rounds(x0, x1, x2, x3, ks);
    c0 = x3, c1 = x2, c2 = x1, c3 = x0;
    StoreBlock(out, x0, x1, x2, x3);
  }
  StoreBlock(iv, c3, c2, c1, c0);
}

void CbcDecrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, const SM4_KEY* ks,
                std::uint8_t iv[16]) {
  u32 c0 = LoadBe(iv), c1 = LoadBe(iv + 4), c2 = LoadBe(iv + 8), c3 = LoadBe(iv + 12);
  for (; blocks; --blocks, in += 16, out += 16) {
    const u32 n0 = LoadBe(in), n1 = LoadBe(in + 4), n2 = LoadBe(in + 8), n3 = LoadBe(in + 12);
    u32 x0 = n0, x1 = n1, x2 = n2, x3 = n3;
    Rounds(x0, x1, x2, x3, ks);
    StoreBlock(out, x0 ^ c3, x1 ^ c2, x2 ^ c1, x3 ^ c0);  // in may be out: n* already read
    c0 = n0, c1 = n1, c2 = n2, c3 = n3;
  }
  StoreBlock(iv, c3, c2, c1, c0);
}

}  // namespace

const Sm4Kernels& Sm4PortableKernels() {
  static constexpr Sm4Kernels kernels{"portable", SboxWord, TransformBlocks, CbcEncrypt,
                                      CbcDecrypt};
  return kernels;
}

}  // namespace gmcrypto::detail
