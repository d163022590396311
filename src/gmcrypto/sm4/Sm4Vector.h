// Building blocks of the AES-NI kernels on 128-bit registers (see
// Sm4Affine.h for the algebra). Included by the kernel files only; every
// function is inlined into callers compiled for AES-NI.
#pragma once

#include <immintrin.h>
#include <openssl/crypto.h>

#include <cstdint>

#include "gmcrypto/sm4/Sm4.h"
#include "gmcrypto/sm4/Sm4Affine.h"

#define SM4_VECTOR_INLINE [[gnu::target("aes,ssse3"), gnu::always_inline]] inline

namespace gmcrypto::detail::sm4vector {

using sm4affine::kVectorTables;
using sm4affine::NibbleTables;

SM4_VECTOR_INLINE __m128i Load(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
SM4_VECTOR_INLINE void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
SM4_VECTOR_INLINE __m128i Const(const std::uint8_t (&bytes)[16]) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
}
SM4_VECTOR_INLINE __m128i Xor(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }

// Keeps an XOR grouped as written: the compiler's reassociation would put
// the early operand last, on the critical path.
SM4_VECTOR_INLINE __m128i Pin(__m128i v) {
  asm("" : "+x"(v));
  return v;
}

struct Nibbles {
  __m128i lo, hi;
};

SM4_VECTOR_INLINE Nibbles Tables(const NibbleTables& t) { return {Const(t.lo), Const(t.hi)}; }

SM4_VECTOR_INLINE __m128i LowNibbles(__m128i x) { return _mm_and_si128(x, _mm_set1_epi8(0x0F)); }
SM4_VECTOR_INLINE __m128i HighNibbles(__m128i x) {
  return _mm_and_si128(_mm_srli_epi16(x, 4), _mm_set1_epi8(0x0F));
}
SM4_VECTOR_INLINE __m128i Lookup(const Nibbles& t, __m128i lo, __m128i hi) {
  return Xor(_mm_shuffle_epi8(t.lo, lo), _mm_shuffle_epi8(t.hi, hi));
}
SM4_VECTOR_INLINE __m128i Map(const NibbleTables& t, __m128i x) {
  return Lookup(Tables(t), LowNibbles(x), HighNibbles(x));
}

// Word k of v in every lane.
template <int K>
SM4_VECTOR_INLINE __m128i Broadcast(__m128i v) {
  return _mm_shuffle_epi32(v, K * 0x55);
}

SM4_VECTOR_INLINE void Transpose(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  const __m128i t0 = _mm_unpacklo_epi32(a, b), t1 = _mm_unpacklo_epi32(c, d);
  const __m128i t2 = _mm_unpackhi_epi32(a, b), t3 = _mm_unpackhi_epi32(c, d);
  a = _mm_unpacklo_epi64(t0, t1);
  b = _mm_unpackhi_epi64(t0, t1);
  c = _mm_unpacklo_epi64(t2, t3);
  d = _mm_unpackhi_epi64(t2, t3);
}

// Round keys through P, each in every lane; one spare zero key lets the
// last round compute its (unused) successor's input like the others.
struct RoundKeys {
  __m128i k[33];
  RoundKeys(const RoundKeys&) = delete;
  RoundKeys& operator=(const RoundKeys&) = delete;
  SM4_VECTOR_INLINE explicit RoundKeys(const SM4_KEY* ks) {
    const Nibbles pre = Tables(kVectorTables.pre);
    for (int i = 0; i < 32; ++i) {
      const __m128i word = _mm_set1_epi32(static_cast<int>(__builtin_bswap32(ks->rk[i])));
      k[i] = Lookup(pre, LowNibbles(word), HighNibbles(word));
    }
    k[32] = _mm_setzero_si128();
  }
  ~RoundKeys() { OPENSSL_cleanse(k, sizeof k); }
};

// Piece 3 of the linear layer is piece 0 ^ piece 1 (N3 = N0 ^ N1), which
// saves two lookups per round.
struct RoundTables {
  Nibbles piece0, piece1;
  SM4_VECTOR_INLINE RoundTables()
      : piece0(Tables(kVectorTables.round0)), piece1(Tables(kVectorTables.round1)) {}
};

// One round on a single block whose words are each in all four lanes.
// Returns the new word x0 ^ T(in); `next` gets the next round's input,
// e ^ T(in), where e holds everything of it known in advance, so the chain
// from one AESENCLAST to the next is as short as the XOR tree allows.
SM4_VECTOR_INLINE __m128i RoundWord(const RoundTables& t, __m128i in, __m128i x0, __m128i e,
                                    __m128i& next) {
  const __m128i a = _mm_aesenclast_si128(in, _mm_setzero_si128());
  const __m128i lo = LowNibbles(a), hi = HighNibbles(a);
  const __m128i t0 = Lookup(t.piece0, lo, hi);
  const __m128i t1 = Lookup(t.piece1, lo, hi);
  const __m128i p1 = _mm_shuffle_epi8(t1, Const(kVectorTables.route[1]));
  const __m128i p2 = _mm_shuffle_epi8(t1, Const(kVectorTables.route[2]));
  const __m128i p3 = _mm_shuffle_epi8(Xor(t0, t1), Const(kVectorTables.route[3]));
  const __m128i early = Pin(Xor(Pin(Xor(e, t0)), Xor(p1, p2)));
  next = Xor(early, p3);
  return Xor(Xor(Xor(x0, t0), Xor(p1, p2)), p3);
}

SM4_VECTOR_INLINE __m128i StepWord(const RoundTables& t, __m128i& in, __m128i x0, __m128i x2,
                                   __m128i x3, __m128i knext) {
  const __m128i e = Xor(Xor(x0, knext), Xor(x2, x3));
  return RoundWord(t, in, x0, e, in);
}

// 32 rounds on one block in broadcast form; x0..x3 become X32..X35.
SM4_VECTOR_INLINE void RoundsWord(const RoundTables& t, const RoundKeys& rk, __m128i& x0,
                                  __m128i& x1, __m128i& x2, __m128i& x3) {
  __m128i in = Xor(Xor(x1, x2), Xor(x3, rk.k[0]));
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    x0 = StepWord(t, in, x0, x2, x3, rk.k[i + 1]);
    x1 = StepWord(t, in, x1, x3, x0, rk.k[i + 2]);
    x2 = StepWord(t, in, x2, x0, x1, rk.k[i + 3]);
    x3 = StepWord(t, in, x3, x1, x2, rk.k[i + 4]);
  }
}

// Lane j of the result is word j: (X35, X34, X33, X32) in block order.
SM4_VECTOR_INLINE __m128i Gather(__m128i x32, __m128i x33, __m128i x34, __m128i x35) {
  return _mm_unpacklo_epi64(_mm_unpacklo_epi32(x35, x34), _mm_unpacklo_epi32(x33, x32));
}

// One round on four blocks, lane j holding block j's word. AESENCLAST's
// ShiftRows scatters the bytes across lanes; the routes bring them back.
SM4_VECTOR_INLINE __m128i RoundLanes(const RoundTables& t, __m128i x0, __m128i in) {
  const __m128i a = _mm_aesenclast_si128(in, _mm_setzero_si128());
  const __m128i lo = LowNibbles(a), hi = HighNibbles(a);
  const __m128i t0 = Lookup(t.piece0, lo, hi);
  const __m128i t1 = Lookup(t.piece1, lo, hi);
  const __m128i p0 = _mm_shuffle_epi8(t0, Const(kVectorTables.routeShifted[0]));
  const __m128i p1 = _mm_shuffle_epi8(t1, Const(kVectorTables.routeShifted[1]));
  const __m128i p2 = _mm_shuffle_epi8(t1, Const(kVectorTables.routeShifted[2]));
  const __m128i p3 = _mm_shuffle_epi8(Xor(t0, t1), Const(kVectorTables.routeShifted[3]));
  return Xor(Xor(x0, p0), Xor(Xor(p1, p2), p3));
}

// 32 rounds on G groups of four transposed blocks, interleaved to hide
// the latency of each group's chain.
template <int G>
SM4_VECTOR_INLINE void RoundsLanes(const RoundTables& t, const RoundKeys& rk, __m128i (&x)[G][4]) {
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    for (int g = 0; g < G; ++g)
      x[g][0] = RoundLanes(t, x[g][0], Xor(Xor(x[g][1], x[g][2]), Xor(x[g][3], rk.k[i])));
    for (int g = 0; g < G; ++g)
      x[g][1] = RoundLanes(t, x[g][1], Xor(Xor(x[g][2], x[g][3]), Xor(x[g][0], rk.k[i + 1])));
    for (int g = 0; g < G; ++g)
      x[g][2] = RoundLanes(t, x[g][2], Xor(Xor(x[g][3], x[g][0]), Xor(x[g][1], rk.k[i + 2])));
    for (int g = 0; g < G; ++g)
      x[g][3] = RoundLanes(t, x[g][3], Xor(Xor(x[g][0], x[g][1]), Xor(x[g][2], rk.k[i + 3])));
  }
}

// 4G blocks from `in` through the rounds. With `chain`, CBC decryption:
// each result is XORed with the ciphertext before it (`iv` for the first)
// and iv becomes the last ciphertext block.
template <int G>
SM4_VECTOR_INLINE void TransformLanes(const RoundTables& t, const RoundKeys& rk,
                                      const std::uint8_t* in, std::uint8_t* out, std::uint8_t* iv) {
  __m128i cipher[G][4], x[G][4];
  for (int g = 0; g < G; ++g) {
    for (int j = 0; j < 4; ++j) {
      cipher[g][j] = Load(in + 64 * g + 16 * j);
      x[g][j] = Map(kVectorTables.toDomain, cipher[g][j]);
    }
    Transpose(x[g][0], x[g][1], x[g][2], x[g][3]);
  }
  RoundsLanes<G>(t, rk, x);
  __m128i previous = iv ? Load(iv) : _mm_setzero_si128();
  for (int g = 0; g < G; ++g) {
    Transpose(x[g][3], x[g][2], x[g][1], x[g][0]);
    const __m128i result[4] = {x[g][3], x[g][2], x[g][1], x[g][0]};
    for (int j = 0; j < 4; ++j) {
      __m128i block = Map(kVectorTables.fromDomain, result[j]);
      if (iv) {
        block = Xor(block, previous);
        previous = cipher[g][j];
      }
      Store(out + 64 * g + 16 * j, block);
    }
  }
  if (iv) Store(iv, previous);
}

SM4_VECTOR_INLINE void TransformWord(const RoundTables& t, const RoundKeys& rk,
                                     const std::uint8_t* in, std::uint8_t* out) {
  const __m128i v = Map(kVectorTables.toDomain, Load(in));
  __m128i x0 = Broadcast<0>(v), x1 = Broadcast<1>(v), x2 = Broadcast<2>(v), x3 = Broadcast<3>(v);
  RoundsWord(t, rk, x0, x1, x2, x3);
  Store(out, Map(kVectorTables.fromDomain, Gather(x0, x1, x2, x3)));
}

// Kernel bodies, inlined into one entry point per instruction set.
SM4_VECTOR_INLINE std::uint32_t SboxWordBody(std::uint32_t x) {
  const __m128i v = Map(kVectorTables.pre, _mm_set1_epi32(static_cast<int>(__builtin_bswap32(x))));
  const __m128i s = Map(kVectorTables.post, _mm_aesenclast_si128(v, _mm_setzero_si128()));
  return __builtin_bswap32(static_cast<std::uint32_t>(_mm_cvtsi128_si32(s)));
}

SM4_VECTOR_INLINE void TransformBlocksBody(const std::uint8_t* in, std::uint8_t* out,
                                           std::size_t blocks, const SM4_KEY* ks) {
  const RoundKeys rk(ks);
  const RoundTables t;
  for (; blocks >= 8; blocks -= 8, in += 128, out += 128)
    TransformLanes<2>(t, rk, in, out, nullptr);
  for (; blocks >= 4; blocks -= 4, in += 64, out += 64) TransformLanes<1>(t, rk, in, out, nullptr);
  for (; blocks; --blocks, in += 16, out += 16) TransformWord(t, rk, in, out);
}

// CBC encryption is one chain: the single-block rounds, kept in P's domain
// from block to block (the chaining XOR commutes with Pm), so the next
// block's first rounds start while this block's last one finishes.
SM4_VECTOR_INLINE void CbcEncryptBody(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                      const SM4_KEY* ks, std::uint8_t* iv) {
  if (!blocks) return;
  const RoundKeys rk(ks);
  const RoundTables t;
  const __m128i chain = Map(kVectorTables.toDomain, Load(iv));
  __m128i c0 = Broadcast<0>(chain), c1 = Broadcast<1>(chain), c2 = Broadcast<2>(chain),
          c3 = Broadcast<3>(chain);
  __m128i last = _mm_setzero_si128();
  for (; blocks; --blocks, in += 16, out += 16) {
    const __m128i p = Map(kVectorTables.toDomain, Load(in));
    __m128i x0 = Xor(Broadcast<0>(p), c0), x1 = Xor(Broadcast<1>(p), c1);
    __m128i x2 = Xor(Broadcast<2>(p), c2), x3 = Xor(Broadcast<3>(p), c3);
    RoundsWord(t, rk, x0, x1, x2, x3);
    c0 = x3, c1 = x2, c2 = x1, c3 = x0;
    last = Map(kVectorTables.fromDomain, Gather(x0, x1, x2, x3));
    Store(out, last);
  }
  Store(iv, last);
}

SM4_VECTOR_INLINE void CbcDecryptBody(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                      const SM4_KEY* ks, std::uint8_t* iv) {
  const RoundKeys rk(ks);
  const RoundTables t;
  for (; blocks >= 8; blocks -= 8, in += 128, out += 128) TransformLanes<2>(t, rk, in, out, iv);
  for (; blocks >= 4; blocks -= 4, in += 64, out += 64) TransformLanes<1>(t, rk, in, out, iv);
  for (; blocks; --blocks, in += 16, out += 16) {
    const __m128i cipher = Load(in);
    TransformWord(t, rk, in, out);
    Store(out, Xor(Load(out), Load(iv)));
    Store(iv, cipher);
  }
}

}  // namespace gmcrypto::detail::sm4vector
