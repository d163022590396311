// The SM4 S-box through the AES round instruction, derived at compile time.
//
// Both S-boxes are inversion in GF(2^8) between affine maps, in different
// fields: SM4 uses x^8+x^7+x^6+x^5+x^4+x^2+1 (0x1F5), AES x^8+x^4+x^3+x+1
// (0x11B). With T the field isomorphism GF(0x1F5) -> GF(0x11B),
//   sm4(x) = A inv1F5(A x + C) + C,          A circulant from 0xD3, C = 0xD3
//   inv1F5(u) = T^-1 inv11B(T u)
//   inv11B(v) = M^-1 (aes(v) + 0x63),        M the AES affine's linear part
// so sm4(x) = G(aes(P(x))) with P(x) = T(A x + C) and
// G(v) = A T^-1 M^-1 (v + 0x63) + C. AESENCLAST with a zero key is aes() on
// every byte (and ShiftRows); P and G are applied as two 16-entry nibble
// lookups each (PSHUFB), so no lookup is indexed by secret data in memory.
//
// The vector rounds go further and keep the state as P's linear part Pm of
// the real state: P's constant goes into the round keys, and the round's
// linear layer L is split per byte (see RoundTables), so each round is an
// XOR, one AESENCLAST and nibble lookups with byte moves.
#pragma once

#include <array>
#include <cstdint>

#include "gmcrypto/sm4/Sm4Tables.h"

namespace gmcrypto::detail::sm4affine {

using ByteMap = std::array<std::uint8_t, 256>;

constexpr std::uint8_t GfMul(unsigned a, unsigned b, unsigned poly) {
  unsigned r = 0;
  for (; b; b >>= 1) {
    if (b & 1) r ^= a;
    a <<= 1;
    if (a & 0x100) a ^= poly;
  }
  return static_cast<std::uint8_t>(r);
}

// a^254, the inverse (0 for 0).
constexpr std::uint8_t GfInv(unsigned a, unsigned poly) {
  unsigned r = 1, base = a;
  for (unsigned e = 254; e; e >>= 1) {
    if (e & 1) r = GfMul(r, base, poly);
    base = GfMul(base, base, poly);
  }
  return static_cast<std::uint8_t>(r);
}

constexpr unsigned Parity(unsigned x) {
  x ^= x >> 4;
  x ^= x >> 2;
  x ^= x >> 1;
  return x & 1;
}

constexpr std::uint8_t Rotl8(unsigned x, int n) {
  return static_cast<std::uint8_t>(((x << n) | (x >> (8 - n))) & 0xFF);
}

inline constexpr unsigned kSm4Poly = 0x1F5;
inline constexpr unsigned kAesPoly = 0x11B;

// SM4's affine map: output bit 7-i is the parity of x under 0xD3 rotated
// right by i, then the constant 0xD3.
constexpr std::uint8_t Sm4Affine(unsigned x) {
  unsigned y = 0;
  for (int i = 0; i < 8; ++i) {
    const unsigned row = ((0xD3u >> i) | (0xD3u << (8 - i))) & 0xFF;
    y |= Parity(row & x) << (7 - i);
  }
  return static_cast<std::uint8_t>(y ^ 0xD3);
}

constexpr std::uint8_t AesLinear(unsigned x) {
  return static_cast<std::uint8_t>(x ^ Rotl8(x, 1) ^ Rotl8(x, 2) ^ Rotl8(x, 3) ^ Rotl8(x, 4));
}

constexpr std::uint8_t AesSbox(unsigned x) { return AesLinear(GfInv(x, kAesPoly)) ^ 0x63; }

template <class F>
constexpr ByteMap Tabulate(F f) {
  ByteMap m{};
  for (unsigned x = 0; x < 256; ++x) m[x] = f(x);
  return m;
}

constexpr ByteMap Invert(const ByteMap& m) {
  ByteMap inv{};
  for (unsigned x = 0; x < 256; ++x) inv[m[x]] = static_cast<std::uint8_t>(x);
  return inv;
}

// T sends the generator x of GF(0x1F5) to a root of 0x1F5 in GF(0x11B).
constexpr ByteMap FieldIsomorphism() {
  unsigned root = 0;
  for (unsigned b = 2; b < 256 && !root; ++b) {
    unsigned value = 0, power = 1;  // evaluate 0x1F5 at b, low term first
    for (int i = 0; i <= 8; ++i) {
      if ((kSm4Poly >> i) & 1) value ^= power;
      power = GfMul(power, b, kAesPoly);
    }
    if (!value) root = b;
  }
  return Tabulate([root](unsigned x) {
    unsigned y = 0, power = 1;
    for (int i = 0; i < 8; ++i) {
      if ((x >> i) & 1) y ^= power;
      power = GfMul(power, root, kAesPoly);
    }
    return static_cast<std::uint8_t>(y);
  });
}

inline constexpr ByteMap kT = FieldIsomorphism();
inline constexpr ByteMap kTInv = Invert(kT);
inline constexpr ByteMap kAesLinearInv = Invert(Tabulate([](unsigned x) { return AesLinear(x); }));

// Before AESENCLAST: P(x) = T(A x + C), and its linear part.
inline constexpr ByteMap kPre = Tabulate([](unsigned x) { return kT[Sm4Affine(x)]; });
inline constexpr ByteMap kPreLinear = Tabulate([](unsigned x) { return kPre[x] ^ kPre[0]; });
inline constexpr ByteMap kPreLinearInv = Invert(kPreLinear);
// After AESENCLAST: G(v) = A T^-1 M^-1 (v + 0x63) + C.
inline constexpr ByteMap kPost =
    Tabulate([](unsigned v) { return Sm4Affine(kTInv[kAesLinearInv[v ^ 0x63]]); });

constexpr bool DerivationMatchesStandard() {
  for (unsigned x = 0; x < 256; ++x)
    if (kPost[AesSbox(kPre[x])] != kSm4Sbox[x]) return false;
  return true;
}
static_assert(DerivationMatchesStandard(), "derived S-box differs from GB/T 32907");

// L(z) = z ^ rotl(z,2) ^ rotl(z,10) ^ rotl(z,18) ^ rotl(z,24) per byte:
// with z0 the most significant byte, byte i of L(z) is
// N0(z_i) ^ N1(z_i+1) ^ N1(z_i+2) ^ N3(z_i+3), indices mod 4.
constexpr std::uint8_t LinearN0(unsigned x) {
  return static_cast<std::uint8_t>((x ^ (x << 2)) & 0xFF);
}
constexpr std::uint8_t LinearN1(unsigned x) { return Rotl8(x, 2); }
constexpr std::uint8_t LinearN3(unsigned x) { return static_cast<std::uint8_t>(x ^ (x >> 6)); }

constexpr std::uint32_t Rotl32(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr std::uint32_t L(std::uint32_t z) {
  return z ^ Rotl32(z, 2) ^ Rotl32(z, 10) ^ Rotl32(z, 18) ^ Rotl32(z, 24);
}

constexpr bool ByteSplitMatchesL() {
  for (std::uint32_t seed = 1, n = 0; n < 64; ++n, seed = seed * 1103515245u + 12345u) {
    std::uint8_t z[4];
    for (int i = 0; i < 4; ++i) z[i] = static_cast<std::uint8_t>(seed >> (8 * (3 - i)));
    std::uint32_t sum = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned byte = LinearN0(z[i]) ^ LinearN1(z[(i + 1) & 3]) ^ LinearN1(z[(i + 2) & 3]) ^
                            LinearN3(z[(i + 3) & 3]);
      sum |= static_cast<std::uint32_t>(byte) << (8 * (3 - i));
    }
    if (sum != L(seed)) return false;
  }
  return true;
}
static_assert(ByteSplitMatchesL());

// A byte map as two PSHUFB tables: map(x) = lo[x & 15] ^ hi[x >> 4].
struct NibbleTables {
  alignas(16) std::uint8_t lo[16];
  alignas(16) std::uint8_t hi[16];
};

constexpr NibbleTables Split(const ByteMap& m) {
  NibbleTables t{};
  for (unsigned n = 0; n < 16; ++n) {
    t.lo[n] = m[n];
    t.hi[n] = m[n << 4] ^ m[0];
  }
  return t;
}

// Per-byte pieces of "state ^= Pm(L(G(a)))" for an AESENCLAST output a:
// piece d is Pm(N_d(G(a))), routed from byte i+d to byte i afterwards.
// Piece 2 equals piece 1 and piece 3 is their sum.
inline constexpr ByteMap kRound0 =
    Tabulate([](unsigned a) { return kPreLinear[LinearN0(kPost[a])]; });
inline constexpr ByteMap kRound1 =
    Tabulate([](unsigned a) { return kPreLinear[LinearN1(kPost[a])]; });

constexpr bool PieceThreeIsSum() {
  for (unsigned a = 0; a < 256; ++a)
    if ((kRound0[a] ^ kRound1[a]) != kPreLinear[LinearN3(kPost[a])]) return false;
  return true;
}
static_assert(PieceThreeIsSum(), "N3 = N0 ^ N1 lets piece 3 be computed from pieces 0 and 1");

struct VectorTables {
  NibbleTables pre;         // P: natural bytes -> AESENCLAST input
  NibbleTables post;        // G: AESENCLAST output -> S-box output
  NibbleTables toDomain;    // Pm
  NibbleTables fromDomain;  // Pm^-1
  NibbleTables round0, round1;
  // Routes within each 32-bit word (bytes in memory order) for piece d,
  // when every word of the register is the same (ShiftRows is then moot).
  alignas(16) std::uint8_t route[4][16];
  // The same for four different words, undoing ShiftRows as well.
  alignas(16) std::uint8_t routeShifted[4][16];
};

// AESENCLAST output byte q holds aes() of input byte ShiftRowsSource(q).
constexpr unsigned ShiftRowsSource(unsigned q) {
  const unsigned r = q & 3, c = q >> 2;
  return r + 4 * ((c + r) & 3);
}

constexpr VectorTables MakeVectorTables() {
  VectorTables t{};
  t.pre = Split(kPre);
  t.post = Split(kPost);
  t.toDomain = Split(kPreLinear);
  t.fromDomain = Split(kPreLinearInv);
  t.round0 = Split(kRound0);
  t.round1 = Split(kRound1);
  for (unsigned d = 0; d < 4; ++d) {
    for (unsigned p = 0; p < 16; ++p) {
      const unsigned source = (p & ~3u) + (((p & 3) + d) & 3);
      t.route[d][p] = static_cast<std::uint8_t>(source);
      for (unsigned q = 0; q < 16; ++q)
        if (ShiftRowsSource(q) == source) t.routeShifted[d][p] = static_cast<std::uint8_t>(q);
    }
  }
  return t;
}

inline constexpr VectorTables kVectorTables = MakeVectorTables();

}  // namespace gmcrypto::detail::sm4affine
