#include "gmcrypto/sm3/Sm3Compress.h"

#include <immintrin.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace gmcrypto::detail {
namespace {

using u32 = std::uint32_t;

constexpr u32 Rotl(u32 x, int n) { return (x << (n & 31)) | (x >> ((32 - n) & 31)); }

// T_j rotated left by j, per round.
constexpr std::array<u32, 64> kRoundConstants = [] {
  std::array<u32, 64> k{};
  for (int j = 0; j < 64; ++j) k[j] = Rotl(j < 16 ? 0x79CC4519u : 0x7A879D8Au, j % 32);
  return k;
}();

[[gnu::always_inline]] inline u32 LoadBe(const std::uint8_t* p) {
  u32 v;
  std::memcpy(&v, p, 4);
  return __builtin_bswap32(v);
}

[[gnu::always_inline]] inline u32 P0(u32 x) { return x ^ Rotl(x, 9) ^ Rotl(x, 17); }
[[gnu::always_inline]] inline u32 P1(u32 x) { return x ^ Rotl(x, 15) ^ Rotl(x, 23); }

// W[j+4] from the 16-word window, so rounds never wait for a full
// expansion pass and the window stays in registers.
template <int J>
[[gnu::always_inline]] inline void Expand(u32 (&w)[16]) {
  if constexpr (J >= 12 && J < 64) {
    constexpr int n = J + 4;
    w[n & 15] = P1(w[(n - 16) & 15] ^ w[(n - 9) & 15] ^ Rotl(w[(n - 3) & 15], 15)) ^
                Rotl(w[(n - 13) & 15], 7) ^ w[(n - 6) & 15];
  }
}

// One round with the registers renamed by the caller instead of moved:
// afterwards (d, a, b, c, h, e, f, g) hold the new (A .. H).
template <int J>
[[gnu::always_inline]] inline void Round(u32 a, u32& b, u32 c, u32& d, u32 e, u32& f, u32 g, u32& h,
                                         u32 (&w)[16]) {
  Expand<J>(w);
  const u32 a12 = Rotl(a, 12);
  const u32 ss1 = Rotl(a12 + e + kRoundConstants[J], 7);
  const u32 ss2 = ss1 ^ a12;
  const u32 wj = w[J & 15];
  const u32 wj4 = w[(J + 4) & 15];
  u32 ff, gg;
  if constexpr (J < 16) {
    ff = a ^ b ^ c;
    gg = e ^ f ^ g;
  } else {
    ff = (a & b) | ((a | b) & c);
    gg = g ^ (e & (f ^ g));
  }
  d = ff + d + ss2 + (wj ^ wj4);
  h = P0(gg + h + ss1 + wj);
  b = Rotl(b, 9);
  f = Rotl(f, 19);
}

template <int J>
[[gnu::always_inline]] inline void FourRounds(u32& A, u32& B, u32& C, u32& D, u32& E, u32& F,
                                              u32& G, u32& H, u32 (&w)[16]) {
  Round<J>(A, B, C, D, E, F, G, H, w);
  Round<J + 1>(D, A, B, C, H, E, F, G, w);
  Round<J + 2>(C, D, A, B, G, H, E, F, w);
  Round<J + 3>(B, C, D, A, F, G, H, E, w);
}

template <int... Js>
[[gnu::always_inline]] inline void AllRounds(u32& A, u32& B, u32& C, u32& D, u32& E, u32& F, u32& G,
                                             u32& H, u32 (&w)[16],
                                             std::integer_sequence<int, Js...>) {
  (FourRounds<Js * 4>(A, B, C, D, E, F, G, H, w), ...);
}

[[gnu::always_inline]] inline void CompressBody(u32 V[8], const std::uint8_t* p,
                                                std::size_t blocks) {
  u32 A = V[0], B = V[1], C = V[2], D = V[3], E = V[4], F = V[5], G = V[6], H = V[7];
  for (; blocks; --blocks, p += 64) {
    u32 w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe(p + 4 * i);
    const u32 a0 = A, b0 = B, c0 = C, d0 = D, e0 = E, f0 = F, g0 = G, h0 = H;
    AllRounds(A, B, C, D, E, F, G, H, w, std::make_integer_sequence<int, 16>{});
    A ^= a0, B ^= b0, C ^= c0, D ^= d0, E ^= e0, F ^= f0, G ^= g0, H ^= h0;
  }
  V[0] = A, V[1] = B, V[2] = C, V[3] = D, V[4] = E, V[5] = F, V[6] = G, V[7] = H;
}

void CompressGeneric(u32 V[8], const std::uint8_t* p, std::size_t blocks) {
  CompressBody(V, p, blocks);
}

// rorx and andn save a register copy per rotation on the critical path.
[[gnu::target("bmi,bmi2")]] void CompressBmi2(u32 V[8], const std::uint8_t* p, std::size_t blocks) {
  CompressBody(V, p, blocks);
}

// The vector path: the message expansion runs on the vector units four
// words at a time, eight rounds ahead of the scalar rounds that consume it,
// so the integer ports are left to the rounds alone.
#define SM3_VECTOR_TARGET [[gnu::target("avx2,bmi,bmi2")]]

SM3_VECTOR_TARGET [[gnu::always_inline]] inline __m128i Rotl4(__m128i x, int n) {
  return _mm_or_si128(_mm_slli_epi32(x, n), _mm_srli_epi32(x, 32 - n));
}

SM3_VECTOR_TARGET [[gnu::always_inline]] inline __m128i P1x4(__m128i x) {
  return _mm_xor_si128(x, _mm_xor_si128(Rotl4(x, 15), Rotl4(x, 23)));
}

// W[j .. j+3] from the window r0..r3 = W[j-16 .. j-1]. W[j+3] needs W[j]
// itself; P1 is linear, so its share is added once W[j] is known.
SM3_VECTOR_TARGET [[gnu::always_inline]] inline __m128i ExpandFour(__m128i r0, __m128i r1,
                                                                   __m128i r2, __m128i r3) {
  const __m128i w9 = _mm_alignr_epi8(r2, r1, 12);
  const __m128i w3 = _mm_srli_si128(r3, 4);
  const __m128i w13 = _mm_alignr_epi8(r1, r0, 12);
  const __m128i w6 = _mm_alignr_epi8(r3, r2, 8);
  __m128i u = P1x4(_mm_xor_si128(_mm_xor_si128(r0, w9), Rotl4(w3, 15)));
  u = _mm_xor_si128(u, _mm_xor_si128(Rotl4(w13, 7), w6));
  return _mm_xor_si128(u, P1x4(Rotl4(_mm_slli_si128(u, 12), 15)));
}

// Keeps a partial sum as computed, so the compiler cannot regroup the adds.
[[gnu::always_inline]] inline u32 Pin(u32 x) {
  asm("" : "+r"(x));
  return x;
}

// The new E is the critical path from round to round: SS1 (add, rotate),
// TT2 (two adds), P0. Sums without E are formed first, pinned in that order.
template <int J>
SM3_VECTOR_TARGET [[gnu::always_inline]] inline void VectorRound(u32 a, u32& b, u32 c, u32& d,
                                                                 u32 e, u32& f, u32 g, u32& h,
                                                                 const u32* w, const u32* wp) {
  const u32 a12 = Rotl(a, 12);
  const u32 ss1 = Rotl(Pin(a12 + kRoundConstants[J]) + e, 7);
  const u32 ss2 = ss1 ^ a12;
  u32 ff, gg;
  if constexpr (J < 16) {
    ff = a ^ b ^ c;
    gg = e ^ f ^ g;
  } else {
    ff = (a & (b | c)) | (b & c);
    gg = g ^ (e & (f ^ g));
  }
  d = Pin(ff + Pin(d + wp[J])) + ss2;
  h = P0(Pin(Pin(h + w[J]) + gg) + ss1);
  b = Rotl(b, 9);
  f = Rotl(f, 19);
}

template <int J>
SM3_VECTOR_TARGET [[gnu::always_inline]] inline void VectorFour(u32& A, u32& B, u32& C, u32& D,
                                                                u32& E, u32& F, u32& G, u32& H,
                                                                __m128i (&r)[4], u32* w, u32* wp) {
  if constexpr (J >= 8 && J <= 56) {
    const __m128i next = ExpandFour(r[0], r[1], r[2], r[3]);
    _mm_store_si128(reinterpret_cast<__m128i*>(w + J + 8), next);
    _mm_store_si128(reinterpret_cast<__m128i*>(wp + J + 4), _mm_xor_si128(r[3], next));
    r[0] = r[1], r[1] = r[2], r[2] = r[3], r[3] = next;
  }
  VectorRound<J>(A, B, C, D, E, F, G, H, w, wp);
  VectorRound<J + 1>(D, A, B, C, H, E, F, G, w, wp);
  VectorRound<J + 2>(C, D, A, B, G, H, E, F, w, wp);
  VectorRound<J + 3>(B, C, D, A, F, G, H, E, w, wp);
}

template <int... Js>
SM3_VECTOR_TARGET [[gnu::always_inline]] inline void VectorRounds(
    u32& A, u32& B, u32& C, u32& D, u32& E, u32& F, u32& G, u32& H, __m128i (&r)[4], u32* w,
    u32* wp, std::integer_sequence<int, Js...>) {
  (VectorFour<Js * 4>(A, B, C, D, E, F, G, H, r, w, wp), ...);
}

SM3_VECTOR_TARGET void CompressVector(u32 V[8], const std::uint8_t* p, std::size_t blocks) {
  alignas(16) u32 w[68];
  alignas(16) u32 wp[64];
  const __m128i bswap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  u32 A = V[0], B = V[1], C = V[2], D = V[3], E = V[4], F = V[5], G = V[6], H = V[7];
  for (; blocks; --blocks, p += 64) {
    __m128i r[4];
    for (int i = 0; i < 4; ++i) {
      r[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), bswap);
      _mm_store_si128(reinterpret_cast<__m128i*>(w + 4 * i), r[i]);
    }
    for (int i = 0; i < 3; ++i)
      _mm_store_si128(reinterpret_cast<__m128i*>(wp + 4 * i), _mm_xor_si128(r[i], r[i + 1]));
    // Read the words back from memory as add operands rather than let the
    // compiler move each one across with an extract, which costs two uops.
    u32* wm = w;
    u32* wpm = wp;
    asm("" : "+r"(wm), "+r"(wpm));
    const u32 a0 = A, b0 = B, c0 = C, d0 = D, e0 = E, f0 = F, g0 = G, h0 = H;
    VectorRounds(A, B, C, D, E, F, G, H, r, wm, wpm, std::make_integer_sequence<int, 16>{});
    A ^= a0, B ^= b0, C ^= c0, D ^= d0, E ^= e0, F ^= f0, G ^= g0, H ^= h0;
  }
  V[0] = A, V[1] = B, V[2] = C, V[3] = D, V[4] = E, V[5] = F, V[6] = G, V[7] = H;
}

bool Supports(Sm3Impl impl) {
  __builtin_cpu_init();
  switch (impl) {
    case Sm3Impl::kGeneric:
      return true;
    case Sm3Impl::kBmi2:
      return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    case Sm3Impl::kVector:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("bmi2");
  }
  return false;
}

Sm3CompressFn Best() {
  for (Sm3Impl impl : {Sm3Impl::kVector, Sm3Impl::kBmi2})
    if (Sm3CompressFn f = Sm3CompressFor(impl)) return f;
  return CompressGeneric;
}

}  // namespace

Sm3CompressFn Sm3CompressFor(Sm3Impl impl) {
  if (!Supports(impl)) return nullptr;
  switch (impl) {
    case Sm3Impl::kGeneric:
      return CompressGeneric;
    case Sm3Impl::kBmi2:
      return CompressBmi2;
    case Sm3Impl::kVector:
      return CompressVector;
  }
  return nullptr;
}

void Sm3CompressBlocks(std::uint32_t V[8], const std::uint8_t* data, std::size_t blocks) {
  static const Sm3CompressFn compress = Best();
  compress(V, data, blocks);
}

}  // namespace gmcrypto::detail
