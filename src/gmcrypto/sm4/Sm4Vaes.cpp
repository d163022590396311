// CBC decryption and independent blocks eight at a time: VAES runs the
// AES round on both halves of a 256-bit register, each half holding four
// transposed blocks as in the 128-bit kernels. Encryption is one chain and
// gains nothing from width, so it is the AVX kernel's.
#include "gmcrypto/sm4/Sm4Kernels.h"
#include "gmcrypto/sm4/Sm4Vector.h"

#define SM4_WIDE_INLINE [[gnu::target("aes,avx2,vaes"), gnu::always_inline]] inline
#define SM4_WIDE_TARGET [[gnu::target("aes,avx2,vaes")]]

namespace gmcrypto::detail {
namespace {

using sm4affine::kVectorTables;
using sm4affine::NibbleTables;

SM4_WIDE_INLINE __m256i Both(const std::uint8_t (&bytes)[16]) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(bytes)));
}
SM4_WIDE_INLINE __m256i Xor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
SM4_WIDE_INLINE __m256i Low(__m256i x) { return _mm256_and_si256(x, _mm256_set1_epi8(0x0F)); }
SM4_WIDE_INLINE __m256i High(__m256i x) {
  return _mm256_and_si256(_mm256_srli_epi16(x, 4), _mm256_set1_epi8(0x0F));
}

struct WideNibbles {
  __m256i lo, hi;
};

SM4_WIDE_INLINE WideNibbles Tables(const NibbleTables& t) { return {Both(t.lo), Both(t.hi)}; }
SM4_WIDE_INLINE __m256i Lookup(const WideNibbles& t, __m256i lo, __m256i hi) {
  return Xor(_mm256_shuffle_epi8(t.lo, lo), _mm256_shuffle_epi8(t.hi, hi));
}
SM4_WIDE_INLINE __m256i Map(const NibbleTables& t, __m256i x) {
  return Lookup(Tables(t), Low(x), High(x));
}

SM4_WIDE_INLINE void Transpose(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpacklo_epi32(c, d);
  const __m256i t2 = _mm256_unpackhi_epi32(a, b), t3 = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(t0, t1);
  b = _mm256_unpackhi_epi64(t0, t1);
  c = _mm256_unpacklo_epi64(t2, t3);
  d = _mm256_unpackhi_epi64(t2, t3);
}

struct WideTables {
  WideNibbles piece0, piece1;
  SM4_WIDE_INLINE WideTables()
      : piece0(Tables(kVectorTables.round0)), piece1(Tables(kVectorTables.round1)) {}
};

// As sm4vector::RoundLanes, on eight blocks.
SM4_WIDE_INLINE __m256i Round(const WideTables& t, __m256i x0, __m256i in) {
  const __m256i a = _mm256_aesenclast_epi128(in, _mm256_setzero_si256());
  const __m256i lo = Low(a), hi = High(a);
  const __m256i t0 = Lookup(t.piece0, lo, hi);
  const __m256i t1 = Lookup(t.piece1, lo, hi);
  const __m256i p0 = _mm256_shuffle_epi8(t0, Both(kVectorTables.routeShifted[0]));
  const __m256i p1 = _mm256_shuffle_epi8(t1, Both(kVectorTables.routeShifted[1]));
  const __m256i p2 = _mm256_shuffle_epi8(t1, Both(kVectorTables.routeShifted[2]));
  const __m256i p3 = _mm256_shuffle_epi8(Xor(t0, t1), Both(kVectorTables.routeShifted[3]));
  return Xor(Xor(x0, p0), Xor(Xor(p1, p2), p3));
}

SM4_WIDE_INLINE __m256i Key(const sm4vector::RoundKeys& rk, int i) {
  return _mm256_broadcastsi128_si256(rk.k[i]);
}

template <int G>
SM4_WIDE_INLINE void Rounds(const WideTables& t, const sm4vector::RoundKeys& rk,
                            __m256i (&x)[G][4]) {
#pragma GCC unroll 8
  for (int i = 0; i < 32; i += 4) {
    for (int g = 0; g < G; ++g)
      x[g][0] = Round(t, x[g][0], Xor(Xor(x[g][1], x[g][2]), Xor(x[g][3], Key(rk, i))));
    for (int g = 0; g < G; ++g)
      x[g][1] = Round(t, x[g][1], Xor(Xor(x[g][2], x[g][3]), Xor(x[g][0], Key(rk, i + 1))));
    for (int g = 0; g < G; ++g)
      x[g][2] = Round(t, x[g][2], Xor(Xor(x[g][3], x[g][0]), Xor(x[g][1], Key(rk, i + 2))));
    for (int g = 0; g < G; ++g)
      x[g][3] = Round(t, x[g][3], Xor(Xor(x[g][0], x[g][1]), Xor(x[g][2], Key(rk, i + 3))));
  }
}

SM4_WIDE_INLINE __m256i LoadPair(const std::uint8_t* lo, const std::uint8_t* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(sm4vector::Load(lo)), sm4vector::Load(hi),
                                 1);
}

// 8G blocks; register j of group g holds blocks 8g+j and 8g+4+j. With iv,
// CBC decryption as in sm4vector::TransformLanes.
template <int G>
SM4_WIDE_INLINE void Transform(const WideTables& t, const sm4vector::RoundKeys& rk,
                               const std::uint8_t* in, std::uint8_t* out, std::uint8_t* iv) {
  __m256i cipher[G][4], x[G][4];
  for (int g = 0; g < G; ++g) {
    for (int j = 0; j < 4; ++j) {
      cipher[g][j] = LoadPair(in + 128 * g + 16 * j, in + 128 * g + 64 + 16 * j);
      x[g][j] = Map(kVectorTables.toDomain, cipher[g][j]);
    }
    Transpose(x[g][0], x[g][1], x[g][2], x[g][3]);
  }
  Rounds<G>(t, rk, x);
  __m128i previous = iv ? sm4vector::Load(iv) : _mm_setzero_si128();
  for (int g = 0; g < G; ++g) {
    Transpose(x[g][3], x[g][2], x[g][1], x[g][0]);
    const __m256i result[4] = {x[g][3], x[g][2], x[g][1], x[g][0]};
    for (int j = 0; j < 4; ++j) {
      __m256i blocks = Map(kVectorTables.fromDomain, result[j]);
      if (iv) {
        const __m256i before = j ? cipher[g][j - 1]
                                 : _mm256_inserti128_si256(_mm256_castsi128_si256(previous),
                                                           _mm256_castsi256_si128(cipher[g][3]), 1);
        blocks = Xor(blocks, before);
      }
      sm4vector::Store(out + 128 * g + 16 * j, _mm256_castsi256_si128(blocks));
      sm4vector::Store(out + 128 * g + 64 + 16 * j, _mm256_extracti128_si256(blocks, 1));
    }
    previous = _mm256_extracti128_si256(cipher[g][3], 1);
  }
  if (iv) sm4vector::Store(iv, previous);
}

SM4_WIDE_TARGET void TransformBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                     const SM4_KEY* ks) {
  if (blocks < 8) return Sm4AvxKernels().transform_blocks(in, out, blocks, ks);
  const sm4vector::RoundKeys rk(ks);
  const WideTables t;
  for (; blocks >= 16; blocks -= 16, in += 256, out += 256) Transform<2>(t, rk, in, out, nullptr);
  for (; blocks >= 8; blocks -= 8, in += 128, out += 128) Transform<1>(t, rk, in, out, nullptr);
  if (blocks) Sm4AvxKernels().transform_blocks(in, out, blocks, ks);
}

SM4_WIDE_TARGET void CbcDecrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                                const SM4_KEY* ks, std::uint8_t iv[16]) {
  if (blocks < 8) return Sm4AvxKernels().cbc_decrypt(in, out, blocks, ks, iv);
  const sm4vector::RoundKeys rk(ks);
  const WideTables t;
  for (; blocks >= 16; blocks -= 16, in += 256, out += 256) Transform<2>(t, rk, in, out, iv);
  for (; blocks >= 8; blocks -= 8, in += 128, out += 128) Transform<1>(t, rk, in, out, iv);
  if (blocks) Sm4AvxKernels().cbc_decrypt(in, out, blocks, ks, iv);
}

}  // namespace

const Sm4Kernels& Sm4VaesKernels() {
  static const Sm4Kernels kernels{"vaes", Sm4AvxKernels().sbox_word, TransformBlocks,
                                  Sm4AvxKernels().cbc_encrypt, CbcDecrypt};
  return kernels;
}

}  // namespace gmcrypto::detail
