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

#include "gmcrypto/sm4/Sm4.h"
#include "gmcrypto/sm4/Sm4Kernels.h"
#include "gmcrypto/sm4/Sm4Tables.h"

namespace {

using gmcrypto::SM4_KEY;
using gmcrypto::detail::Sm4Impl;
using gmcrypto::detail::Sm4Kernels;
using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kStandardKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                       0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

Bytes Random(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Every kernel this processor runs, by name.
std::vector<const Sm4Kernels*> AvailableKernels() {
  std::vector<const Sm4Kernels*> all;
  for (Sm4Impl impl : {Sm4Impl::kPortable, Sm4Impl::kAesNi, Sm4Impl::kAvx, Sm4Impl::kVaes})
    if (const Sm4Kernels* k = gmcrypto::detail::Sm4KernelsFor(impl)) all.push_back(k);
  return all;
}

SM4_KEY Schedule(const std::uint8_t key[16], bool encrypt) {
  SM4_KEY ks;
  gmcrypto::SM4_set_key(key, &ks);
  if (!encrypt) gmcrypto::SM4_reverse_round_keys(&ks);
  return ks;
}

Bytes OpenSslCipher(const char* name, const std::uint8_t key[16], const std::uint8_t* iv,
                    const Bytes& in, bool encrypt) {
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher(
      EVP_CIPHER_fetch(nullptr, name, "provider=default"), EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  Bytes out(in.size() + 16);
  int n = 0, tail = 0;
  EXPECT_TRUE(cipher && ctx &&
              EVP_CipherInit_ex2(ctx.get(), cipher.get(), key, iv, encrypt ? 1 : 0, nullptr));
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_TRUE(EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())));
  EXPECT_TRUE(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail));
  out.resize(static_cast<std::size_t>(n + tail));
  return out;
}

// The S-box through each kernel's arithmetic equals the standard's table,
// for all 256 inputs in every byte of the word.
TEST(Sm4Sbox, EveryKernelMatchesTheStandardTable) {
  for (const Sm4Kernels* k : AvailableKernels()) {
    for (unsigned v = 0; v < 256; ++v) {
      for (int byte = 0; byte < 4; ++byte) {
        const std::uint32_t filler = 0x5A5A5A5Au & ~(0xFFu << (8 * byte));
        const std::uint32_t out = k->sbox_word(filler | (v << (8 * byte)));
        ASSERT_EQ(gmcrypto::detail::kSm4Sbox[v], (out >> (8 * byte)) & 0xFF) << k->name << " " << v;
        ASSERT_EQ(gmcrypto::detail::kSm4Sbox[0x5A], out >> (8 * ((byte + 1) % 4)) & 0xFF)
            << k->name;
      }
    }
  }
}

TEST(Sm4KnownAnswer, StandardExampleEncryptsAndDecrypts) {
  SM4_KEY ks = Schedule(kStandardKey, true);
  EXPECT_EQ(0xF12186F9u, ks.rk[0]);
  EXPECT_EQ(0x41662B61u, ks.rk[1]);
  EXPECT_EQ(0x9124A012u, ks.rk[31]);
  for (const Sm4Kernels* k : AvailableKernels()) {
    std::uint8_t out[16];
    k->transform_blocks(kStandardKey, out, 1, &ks);
    EXPECT_EQ("681edf34d206965e86b3e94f536e4246", Hex(out, 16)) << k->name;
  }
  std::uint8_t block[16];
  gmcrypto::SM4_transform(kStandardKey, block, &ks);
  EXPECT_EQ("681edf34d206965e86b3e94f536e4246", Hex(block, 16));
  gmcrypto::SM4_reverse_round_keys(&ks);
  gmcrypto::SM4_transform(block, block, &ks);
  EXPECT_EQ(Hex(kStandardKey, 16), Hex(block, 16));
}

// The standard's second example: the same block encrypted 1,000,000 times.
// That is CBC encryption of zero blocks with the plaintext as IV. Run on
// the kernel in use and the portable one (the others share the vector code
// and are covered by the differential tests).
TEST(Sm4KnownAnswer, MillionIterations) {
  const SM4_KEY ks = Schedule(kStandardKey, true);
  const Bytes zeros(16 * 4096, 0);
  Bytes out(zeros.size());
  for (const Sm4Kernels* k :
       {&gmcrypto::detail::Sm4BestKernels(), &gmcrypto::detail::Sm4PortableKernels()}) {
    std::uint8_t chain[16];
    std::memcpy(chain, kStandardKey, 16);
    std::size_t left = 1000000;
    while (left) {
      const std::size_t blocks = std::min<std::size_t>(left, 4096);
      k->cbc_encrypt(zeros.data(), out.data(), blocks, &ks, chain);
      left -= blocks;
    }
    EXPECT_EQ("595298c7c6fd271f0402f804c33d3f66", Hex(chain, 16)) << k->name;
  }
}

TEST(Sm4Cbc, EqualPlaintextBlocksGiveDifferentCiphertextAndDecryptBack) {
  const Bytes plain(32, 0x42);
  std::uint8_t iv[16] = {1, 2, 3};
  Bytes cipher(32), back(32);
  const SM4_KEY enc = Schedule(kStandardKey, true), dec = Schedule(kStandardKey, false);
  std::uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  gmcrypto::SM4_cbc_encrypt(plain.data(), cipher.data(), 32, &enc, chain, 1);
  EXPECT_NE(Hex(cipher.data(), 16), Hex(cipher.data() + 16, 16));
  EXPECT_EQ(Hex(cipher.data() + 16, 16), Hex(chain, 16)) << "the IV moves on to the last block";
  std::memcpy(chain, iv, 16);
  gmcrypto::SM4_cbc_encrypt(cipher.data(), back.data(), 32, &dec, chain, 0);
  EXPECT_EQ(Hex(plain), Hex(back));
  EXPECT_EQ(Hex(cipher.data() + 16, 16), Hex(chain, 16));
}

// Each kernel against OpenSSL's SM4-CBC, both directions, over lengths that
// reach every block grouping (16, 8, 4 and single blocks), continuing one
// IV across calls.
TEST(Sm4Differential, EveryKernelMatchesOpenSslCbc) {
  std::mt19937 rng(4);
  for (const Sm4Kernels* k : AvailableKernels()) {
    for (int round = 0; round < 150; ++round) {
      const Bytes key = Random(rng, 16), iv = Random(rng, 16);
      const std::size_t blocks = round < 40 ? static_cast<std::size_t>(round) : rng() % 300;
      const Bytes plain = Random(rng, 16 * blocks);
      const Bytes expected = OpenSslCipher("SM4-CBC", key.data(), iv.data(), plain, true);
      const SM4_KEY enc = Schedule(key.data(), true), dec = Schedule(key.data(), false);

      Bytes cipher(plain.size());
      std::uint8_t chain[16];
      std::memcpy(chain, iv.data(), 16);
      const std::size_t first = blocks ? rng() % (blocks + 1) : 0;
      k->cbc_encrypt(plain.data(), cipher.data(), first, &enc, chain);
      k->cbc_encrypt(plain.data() + 16 * first, cipher.data() + 16 * first, blocks - first, &enc,
                     chain);
      ASSERT_EQ(Hex(expected), Hex(cipher)) << k->name << " encrypt, " << blocks << " blocks";
      if (blocks) {
        EXPECT_EQ(Hex(cipher.data() + cipher.size() - 16, 16), Hex(chain, 16)) << k->name;
      }

      Bytes back(plain.size());
      std::memcpy(chain, iv.data(), 16);
      k->cbc_decrypt(cipher.data(), back.data(), first, &dec, chain);
      k->cbc_decrypt(cipher.data() + 16 * first, back.data() + 16 * first, blocks - first, &dec,
                     chain);
      ASSERT_EQ(Hex(plain), Hex(back)) << k->name << " decrypt, " << blocks << " blocks";
      if (blocks) {
        EXPECT_EQ(Hex(cipher.data() + cipher.size() - 16, 16), Hex(chain, 16)) << k->name;
      }
    }
  }
}

TEST(Sm4Differential, IndependentBlocksMatchOpenSslEcb) {
  std::mt19937 rng(5);
  for (const Sm4Kernels* k : AvailableKernels()) {
    for (std::size_t blocks : {1u, 3u, 4u, 5u, 8u, 12u, 16u, 17u, 31u, 40u}) {
      const Bytes key = Random(rng, 16), plain = Random(rng, 16 * blocks);
      const SM4_KEY ks = Schedule(key.data(), true);
      Bytes out(plain.size());
      k->transform_blocks(plain.data(), out.data(), blocks, &ks);
      EXPECT_EQ(Hex(OpenSslCipher("SM4-ECB", key.data(), nullptr, plain, true)), Hex(out))
          << k->name << " " << blocks;
    }
  }
}

// Same buffer in and out, and buffers at every misalignment.
TEST(Sm4Cbc, InPlaceAndUnalignedBuffers) {
  std::mt19937 rng(6);
  for (const Sm4Kernels* k : AvailableKernels()) {
    for (std::size_t offset = 0; offset < 16; ++offset) {
      const std::size_t blocks = 1 + rng() % 40;
      const Bytes key = Random(rng, 16), iv = Random(rng, 16), plain = Random(rng, 16 * blocks);
      const Bytes expected = OpenSslCipher("SM4-CBC", key.data(), iv.data(), plain, true);
      const SM4_KEY enc = Schedule(key.data(), true), dec = Schedule(key.data(), false);

      Bytes storage(plain.size() + 32);
      std::uint8_t* buf = storage.data() + offset;
      std::memcpy(buf, plain.data(), plain.size());
      std::uint8_t chain[16];
      std::memcpy(chain, iv.data(), 16);
      k->cbc_encrypt(buf, buf, blocks, &enc, chain);
      ASSERT_EQ(Hex(expected), Hex(buf, plain.size())) << k->name << " offset " << offset;
      std::memcpy(chain, iv.data(), 16);
      k->cbc_decrypt(buf, buf, blocks, &dec, chain);
      ASSERT_EQ(Hex(plain), Hex(buf, plain.size())) << k->name << " offset " << offset;

      Bytes other(plain.size() + 32);
      std::uint8_t* out = other.data() + (15 - offset);
      std::memcpy(chain, iv.data(), 16);
      k->cbc_encrypt(plain.data(), out, blocks, &enc, chain);
      ASSERT_EQ(Hex(expected), Hex(out, plain.size())) << k->name << " offset " << offset;
    }
  }
}

TEST(Sm4Api, StepsAndBulkAgreeAndTailsAreLeftAlone) {
  std::mt19937 rng(7);
  const Bytes key = Random(rng, 16), iv = Random(rng, 16), plain = Random(rng, 16 * 5 + 7);
  const SM4_KEY enc = Schedule(key.data(), true);
  Bytes bulk(plain.size(), 0xEE), steps(plain.size(), 0xEE);
  std::uint8_t c1[16], c2[16];
  std::memcpy(c1, iv.data(), 16);
  std::memcpy(c2, iv.data(), 16);
  gmcrypto::SM4_cbc_encrypt(plain.data(), bulk.data(), plain.size(), &enc, c1, 1);
  for (std::size_t off = 0; off + 16 <= plain.size(); off += 16)
    gmcrypto::SM4_cbc_step(plain.data() + off, steps.data() + off, &enc, c2, 1);
  EXPECT_EQ(Hex(bulk), Hex(steps));
  EXPECT_EQ(Hex(c1, 16), Hex(c2, 16));
  for (std::size_t i = 80; i < bulk.size(); ++i)
    EXPECT_EQ(0xEE, bulk[i]) << "byte " << i << " of the short tail";

  const SM4_KEY dec = Schedule(key.data(), false);
  Bytes back(80);
  std::memcpy(c2, iv.data(), 16);
  for (std::size_t off = 0; off < 80; off += 16)
    gmcrypto::SM4_cbc_step(bulk.data() + off, back.data() + off, &dec, c2, 0);
  EXPECT_EQ(Hex(plain.data(), 80), Hex(back));
}

TEST(Sm4Api, ReversingTwiceRestoresTheSchedule) {
  SM4_KEY ks = Schedule(kStandardKey, true);
  const SM4_KEY original = ks;
  gmcrypto::SM4_reverse_round_keys(&ks);
  EXPECT_EQ(original.rk[0], ks.rk[31]);
  EXPECT_EQ(original.rk[31], ks.rk[0]);
  EXPECT_EQ(original.rk[15], ks.rk[16]);
  gmcrypto::SM4_reverse_round_keys(&ks);
  EXPECT_EQ(0, std::memcmp(&original, &ks, sizeof ks));
}

TEST(Sm4Api, NullArgumentsDoNothing) {
  SM4_KEY ks = Schedule(kStandardKey, true);
  std::uint8_t iv[16] = {}, block[16] = {};
  gmcrypto::SM4_set_key(nullptr, &ks);
  gmcrypto::SM4_set_key(kStandardKey, nullptr);
  gmcrypto::SM4_reverse_round_keys(nullptr);
  gmcrypto::SM4_transform(block, block, nullptr);
  gmcrypto::SM4_cbc_encrypt(nullptr, block, 16, &ks, iv, 1);
  gmcrypto::SM4_cbc_encrypt(block, block, 16, &ks, nullptr, 1);
  EXPECT_EQ(std::string(32, '0'), Hex(block, 16));
  EXPECT_EQ(0xF12186F9u, ks.rk[0]);
}

}  // namespace
