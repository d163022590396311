#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gmcrypto/sm3/Sm3.h"
#include "gmcrypto/sm3/Sm3Compress.h"

namespace {

using gmcrypto::SM3_CTX;
using Bytes = std::vector<std::uint8_t>;
using Digest = std::array<std::uint8_t, gmcrypto::SM3_DIGEST_LENGTH>;

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string Hex(const Digest& d) { return Hex(d.data(), d.size()); }

Digest Ours(const void* data, std::size_t len) {
  Digest d;
  gmcrypto::SM3(data, len, d.data());
  return d;
}

Digest Ours(const Bytes& m) { return Ours(m.data(), m.size()); }

Digest OpenSsl(const Bytes& m) {
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
      EVP_MD_fetch(nullptr, "SM3", "provider=default"), EVP_MD_free);
  Digest d{};
  unsigned int n = 0;
  EXPECT_TRUE(md && EVP_Digest(m.data(), m.size(), d.data(), &n, md.get(), nullptr));
  return d;
}

Bytes Random(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// GB/T 32905 read literally: the full W and W' arrays, no unrolling.
std::uint32_t Rotl(std::uint32_t x, unsigned n) {
  return n % 32 ? (x << n % 32) | (x >> (32 - n % 32)) : x;
}

void ReferenceCompress(std::uint32_t V[8], const std::uint8_t block[64]) {
  std::uint32_t W[68], W1[64];
  for (int j = 0; j < 16; ++j)
    W[j] = std::uint32_t{block[4 * j]} << 24 | std::uint32_t{block[4 * j + 1]} << 16 |
           std::uint32_t{block[4 * j + 2]} << 8 | block[4 * j + 3];
  auto P0 = [](std::uint32_t x) { return x ^ Rotl(x, 9) ^ Rotl(x, 17); };
  auto P1 = [](std::uint32_t x) { return x ^ Rotl(x, 15) ^ Rotl(x, 23); };
  for (int j = 16; j < 68; ++j)
    W[j] = P1(W[j - 16] ^ W[j - 9] ^ Rotl(W[j - 3], 15)) ^ Rotl(W[j - 13], 7) ^ W[j - 6];
  for (int j = 0; j < 64; ++j) W1[j] = W[j] ^ W[j + 4];
  std::uint32_t A = V[0], B = V[1], C = V[2], D = V[3], E = V[4], F = V[5], G = V[6], H = V[7];
  for (unsigned j = 0; j < 64; ++j) {
    const std::uint32_t T = j < 16 ? 0x79CC4519 : 0x7A879D8A;
    const std::uint32_t SS1 = Rotl(Rotl(A, 12) + E + Rotl(T, j), 7);
    const std::uint32_t SS2 = SS1 ^ Rotl(A, 12);
    const std::uint32_t FF = j < 16 ? A ^ B ^ C : (A & B) | (A & C) | (B & C);
    const std::uint32_t GG = j < 16 ? E ^ F ^ G : (E & F) | (~E & G);
    const std::uint32_t TT1 = FF + D + SS2 + W1[j];
    const std::uint32_t TT2 = GG + H + SS1 + W[j];
    D = C;
    C = Rotl(B, 9);
    B = A;
    A = TT1;
    H = G;
    G = Rotl(F, 19);
    F = E;
    E = P0(TT2);
  }
  V[0] ^= A, V[1] ^= B, V[2] ^= C, V[3] ^= D, V[4] ^= E, V[5] ^= F, V[6] ^= G, V[7] ^= H;
}

constexpr std::uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                                  0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

TEST(Sm3KnownAnswer, StandardExamples) {
  EXPECT_EQ(Hex(Ours("abc", 3)),
            "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  std::string abcd;
  for (int i = 0; i < 16; ++i) abcd += "abcd";
  EXPECT_EQ(Hex(Ours(abcd.data(), abcd.size())),
            "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
  EXPECT_EQ(Hex(Ours("", 0)), "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
  EXPECT_EQ(Hex(Ours(nullptr, 0)),
            "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
}

// Every compression variant this processor runs, on many blocks at once
// and one at a time, against the literal reading of the standard.
TEST(Sm3Compress, EveryVariantMatchesTheReference) {
  using gmcrypto::detail::Sm3Impl;
  std::mt19937 rng(1);
  int variants = 0;
  for (Sm3Impl impl : {Sm3Impl::kGeneric, Sm3Impl::kBmi2, Sm3Impl::kVector}) {
    const auto compress = gmcrypto::detail::Sm3CompressFor(impl);
    if (!compress) continue;
    ++variants;
    for (std::size_t blocks : {1u, 2u, 3u, 17u}) {
      const Bytes data = Random(rng, 64 * blocks);
      std::uint32_t expected[8], actual[8];
      for (int i = 0; i < 8; ++i) expected[i] = actual[i] = static_cast<std::uint32_t>(rng());
      for (std::size_t b = 0; b < blocks; ++b) ReferenceCompress(expected, data.data() + 64 * b);
      compress(actual, data.data(), blocks);
      EXPECT_EQ(0, std::memcmp(expected, actual, sizeof actual))
          << "variant " << int(impl) << ", " << blocks;
    }
  }
  EXPECT_GE(variants, 1);
}

TEST(Sm3Update, PiecesOfAnySizeMatchOneCall) {
  std::mt19937 rng(2);
  const Bytes m = Random(rng, 1000);
  const Digest whole = Ours(m);
  for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 129u, 999u}) {
    SM3_CTX c;
    ASSERT_EQ(1, gmcrypto::SM3_Init(&c));
    for (std::size_t off = 0; off < m.size(); off += piece)
      ASSERT_EQ(1, gmcrypto::SM3_Update(&c, m.data() + off, std::min(piece, m.size() - off)));
    Digest d;
    ASSERT_EQ(1, gmcrypto::SM3_Final(d.data(), &c));
    EXPECT_EQ(Hex(whole), Hex(d)) << "pieces of " << piece;
  }
  for (int round = 0; round < 200; ++round) {
    SM3_CTX c;
    gmcrypto::SM3_Init(&c);
    for (std::size_t off = 0; off < m.size();) {
      const std::size_t n = std::min<std::size_t>(rng() % 150, m.size() - off);
      gmcrypto::SM3_Update(&c, m.data() + off, n);
      off += n;
    }
    Digest d;
    gmcrypto::SM3_Final(d.data(), &c);
    ASSERT_EQ(Hex(whole), Hex(d)) << "random split " << round;
  }
}

// 55 buffered bytes leave room for 0x80 and the length: one padding block;
// 56 need a second. Checked against the reference block by block.
TEST(Sm3Final, PaddingTakesOneOrTwoBlocks) {
  for (std::size_t n : {0u, 1u, 54u, 55u, 56u, 57u, 63u, 64u, 119u, 120u}) {
    Bytes m(n);
    for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Bytes padded = m;
    padded.push_back(0x80);
    while (padded.size() % 64 != 56) padded.push_back(0);
    const std::uint64_t bits = std::uint64_t{n} * 8;
    for (int i = 7; i >= 0; --i) padded.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    EXPECT_EQ(n % 64 <= 55 ? n / 64 + 1 : n / 64 + 2, padded.size() / 64);
    std::uint32_t V[8];
    std::memcpy(V, kIv, sizeof V);
    for (std::size_t b = 0; b < padded.size(); b += 64) ReferenceCompress(V, padded.data() + b);
    Digest expected;
    for (int i = 0; i < 8; ++i)
      for (int k = 0; k < 4; ++k)
        expected[4 * i + k] = static_cast<std::uint8_t>(V[i] >> (24 - 8 * k));
    EXPECT_EQ(Hex(expected), Hex(Ours(m))) << n << " bytes";
  }
}

// The bit length is written with all 64 bits: a context that has already
// compressed 4 GiB (or 2^61 - 64 bytes) must pad with the full count. The
// context is set up as after that many blocks; the expected digest comes
// from the reference fed the same chaining value and padding.
TEST(Sm3Final, LengthFieldCarriesTheWholeByteCount) {
  for (std::uint64_t total :
       {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 64 * 3, (std::uint64_t{1} << 61) - 64}) {
    SM3_CTX c;
    gmcrypto::SM3_Init(&c);
    for (int i = 0; i < 8; ++i) c.V[i] = 0x01020304u * (i + 1);
    c.total = total;
    const std::uint8_t tail[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    gmcrypto::SM3_Update(&c, tail, sizeof tail);
    Digest d;
    ASSERT_EQ(1, gmcrypto::SM3_Final(d.data(), &c));

    std::uint8_t block[64] = {};
    std::memcpy(block, tail, sizeof tail);
    block[10] = 0x80;
    const std::uint64_t bits = (total + sizeof tail) * 8;
    for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    std::uint32_t V[8];
    for (int i = 0; i < 8; ++i) V[i] = 0x01020304u * (i + 1);
    ReferenceCompress(V, block);
    Digest expected;
    for (int i = 0; i < 8; ++i)
      for (int k = 0; k < 4; ++k)
        expected[4 * i + k] = static_cast<std::uint8_t>(V[i] >> (24 - 8 * k));
    EXPECT_EQ(Hex(expected), Hex(d)) << "total " << total;
    EXPECT_NE(0, block[56] | block[57] | block[58] | block[59])
        << "the high half is really exercised";
  }
}

TEST(Sm3Update, TotalCountsCompressedBytes) {
  SM3_CTX c;
  gmcrypto::SM3_Init(&c);
  const Bytes m(200, 0x5A);
  gmcrypto::SM3_Update(&c, m.data(), 70);
  EXPECT_EQ(64u, c.total);
  EXPECT_EQ(6u, c.num);
  gmcrypto::SM3_Update(&c, m.data(), 130);
  EXPECT_EQ(192u, c.total);
  EXPECT_EQ(8u, c.num);
}

TEST(Sm3Differential, RandomLengthsAndSplitsMatchOpenSsl) {
  std::mt19937 rng(3);
  for (int round = 0; round < 1200; ++round) {
    const Bytes m = Random(rng, rng() % 5001);
    const Digest expected = OpenSsl(m);
    ASSERT_EQ(Hex(expected), Hex(Ours(m))) << "length " << m.size();
    SM3_CTX c;
    gmcrypto::SM3_Init(&c);
    std::size_t off = 0;
    while (off < m.size()) {
      const std::size_t n = std::min<std::size_t>(rng() % 300, m.size() - off);
      gmcrypto::SM3_Update(&c, m.data() + off, n);
      off += n;
    }
    Digest d;
    gmcrypto::SM3_Final(d.data(), &c);
    ASSERT_EQ(Hex(expected), Hex(d)) << "split, length " << m.size();
  }
}

TEST(Sm3Api, NullArgumentsAreRejectedOrHarmless) {
  Digest d;
  EXPECT_EQ(0, gmcrypto::SM3_Init(nullptr));
  EXPECT_EQ(0, gmcrypto::SM3_Update(nullptr, "x", 1));
  EXPECT_EQ(0, gmcrypto::SM3_Final(d.data(), nullptr));
  SM3_CTX c;
  gmcrypto::SM3_Init(&c);
  EXPECT_EQ(1, gmcrypto::SM3_Update(&c, nullptr, 5));
  EXPECT_EQ(0u, c.num);
  EXPECT_EQ(0, gmcrypto::SM3_Final(nullptr, &c));
  ASSERT_EQ(1, gmcrypto::SM3_Final(d.data(), &c));
  EXPECT_EQ("1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b", Hex(d));
}

// Final wipes the buffered message: it may be a secret.
TEST(Sm3Final, WipesTheBufferedBytes) {
  SM3_CTX c;
  gmcrypto::SM3_Init(&c);
  const Bytes secret(40, 0xA5);
  gmcrypto::SM3_Update(&c, secret.data(), secret.size());
  Digest d;
  gmcrypto::SM3_Final(d.data(), &c);
  for (std::uint8_t b : c.block) ASSERT_EQ(0, b);
}

}  // namespace
