#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Unique.h"
#include "gmcrypto/objects/Objects.h"
#include "gmcrypto/provider/Provider.h"

namespace gmcrypto {
namespace {

using Bytes = std::vector<unsigned char>;
using MdCtxPtr = foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = foundation::Unique<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes Random(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

std::string ProviderName(const OSSL_PROVIDER* p) { return p ? OSSL_PROVIDER_get0_name(p) : ""; }

Bytes Digest(const EVP_MD* md, const Bytes& in) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_Digest(in.data(), in.size(), out.data(), &len, md, nullptr) != 1) return {};
  out.resize(len);
  return out;
}

// Update sizes: all at once, 1 byte at a time, odd sizes, random (zero too).
std::vector<int> Pieces(std::mt19937& rng, std::size_t n, int style) {
  std::vector<int> pieces;
  for (std::size_t left = n; left > 0;) {
    const std::size_t want[] = {left, 1, 7, 17, rng() % 40};
    const std::size_t take = std::min(want[style % 5], left);
    pieces.push_back(static_cast<int>(take));
    left -= take;
  }
  return pieces;
}

struct CryptResult {
  bool ok = false;
  Bytes out;
  std::vector<int> released;  // by each update
};

CryptResult Crypt(const EVP_CIPHER* c, bool enc, bool pad, const Bytes& key, const Bytes& iv,
                  const Bytes& in, const std::vector<int>& pieces) {
  CryptResult r;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (EVP_CipherInit_ex(ctx.get(), c, nullptr, key.data(), iv.data(), enc) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), pad) != 1) {
    return r;
  }
  r.out.resize(in.size() + 32);
  int total = 0;
  int len = 0;
  const unsigned char* at = in.data();
  for (int piece : pieces) {
    if (EVP_CipherUpdate(ctx.get(), r.out.data() + total, &len, at, piece) != 1) return r;
    r.released.push_back(len);
    total += len;
    at += piece;
  }
  if (EVP_CipherFinal_ex(ctx.get(), r.out.data() + total, &len) != 1) return r;
  r.out.resize(static_cast<std::size_t>(total + len));
  r.ok = true;
  return r;
}

CryptResult Crypt(const EVP_CIPHER* c, bool enc, bool pad, const Bytes& key, const Bytes& iv,
                  const Bytes& in) {
  return Crypt(c, enc, pad, key, iv, in, {static_cast<int>(in.size())});
}

const EVP_MD* OpenSslSm3() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", "provider=default");
  return md;
}

const EVP_CIPHER* OpenSslSm4Cbc() {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "SM4-CBC", "provider=default");
  return c;
}

const Bytes kExample = FromHex("0123456789abcdeffedcba9876543210");  // GB/T 32907 key and text

TEST(ProviderTest, FirstUseFromManyThreadsSeesOneMethod) {
  std::vector<const EVP_MD*> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = GetDigestByName("sm3"); });
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (const EVP_MD* md : seen) EXPECT_EQ(md, seen[0]);
  EXPECT_EQ(AddAllDigests(), 1);
  EXPECT_EQ(AddAllDigests(), 1);
  EXPECT_EQ(EVP_sm3(), seen[0]);
}

// Loading a provider by hand switches OpenSSL's implicit default one off
// unless asked not to.
TEST(ProviderTest, DefaultProviderStillServesOtherAlgorithms) {
  ASSERT_EQ(AddAllDigests(), 1);
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  ASSERT_NE(sha256, nullptr);
  EXPECT_EQ(ProviderName(EVP_MD_get0_provider(sha256)), "default");
  EXPECT_EQ(Digest(sha256, {'a', 'b', 'c'}),
            FromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EVP_MD_free(sha256);
  EXPECT_EQ(GetDigestByName("sha256"), EVP_sha256());
  const CryptResult aes = Crypt(EVP_aes_128_cbc(), true, true, Bytes(16, 1), Bytes(16, 2), {'m'});
  EXPECT_TRUE(aes.ok);
  EXPECT_EQ(aes.out.size(), 16u);
}

TEST(ProviderTest, Sm3IsOursUnderEveryNameAndNid) {
  const EVP_MD* md = EVP_sm3();
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(ProviderName(EVP_MD_get0_provider(md)), "npsigil");
  EXPECT_NE(static_cast<const void*>(md), static_cast<const void*>(::EVP_sm3()));
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  EXPECT_EQ(EVP_MD_get_block_size(md), 64);
  EXPECT_EQ(Digest(md, {'a', 'b', 'c'}),
            FromHex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"));
  for (const char* name : {"sm3", "ChinaSM3", "tls1-sm3", "SM3", "TLS1-SM3"}) {
    EXPECT_EQ(GetDigestByName(name), md) << name;
  }
  EXPECT_EQ(GetDigestByNID(NID_ChinaSM3), md);
  EXPECT_EQ(GetDigestByNID(EVP_MD_get_type(md)), md);
  EXPECT_EQ(GetDigestByNID(NID_sha1), EVP_sha1());
  EXPECT_EQ(GetDigestByName("sm3x"), nullptr);
  EXPECT_EQ(GetDigestByName(nullptr), nullptr);
}

TEST(ProviderTest, Sm3MatchesOpenSslsInAnyPieces) {
  ASSERT_NE(OpenSslSm3(), nullptr);
  std::mt19937 rng(3);
  for (std::size_t n = 0; n < 300; n += 1 + n / 8) {
    const Bytes msg = Random(rng, n * 3);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestInit_ex(ctx.get(), EVP_sm3(), nullptr), 1);
    const unsigned char* at = msg.data();
    for (int piece : Pieces(rng, msg.size(), static_cast<int>(n))) {
      ASSERT_EQ(EVP_DigestUpdate(ctx.get(), at, static_cast<std::size_t>(piece)), 1);
      at += piece;
    }
    Bytes out(32);
    ASSERT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr), 1);
    ASSERT_EQ(out, Digest(OpenSslSm3(), msg)) << msg.size();
  }
}

// Deep copy: both go on independently and the copy outlives the original.
TEST(ProviderTest, Sm3ContextCopy) {
  const Bytes head(100, 'h');
  MdCtxPtr a(EVP_MD_CTX_new());
  MdCtxPtr b(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestInit_ex(a.get(), EVP_sm3(), nullptr), 1);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), head.data(), head.size()), 1);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
  Bytes out(32);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), "A", 1), 1);
  ASSERT_EQ(EVP_DigestFinal_ex(a.get(), out.data(), nullptr), 1);
  a.reset();
  Bytes expected = head;
  expected.push_back('A');
  EXPECT_EQ(out, Digest(OpenSslSm3(), expected));
  ASSERT_EQ(EVP_DigestUpdate(b.get(), "B", 1), 1);
  ASSERT_EQ(EVP_DigestFinal_ex(b.get(), out.data(), nullptr), 1);
  expected.back() = 'B';
  EXPECT_EQ(out, Digest(OpenSslSm3(), expected));
}

TEST(ProviderTest, Sm4CbcIsOursUnderEveryNameAndNid) {
  const EVP_CIPHER* c = EVP_sm4_cbc();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ProviderName(EVP_CIPHER_get0_provider(c)), "npsigil");
  EXPECT_NE(static_cast<const void*>(c), static_cast<const void*>(::EVP_sm4_cbc()));
  EXPECT_EQ(EVP_CIPHER_get_key_length(c), 16);
  EXPECT_EQ(EVP_CIPHER_get_iv_length(c), 16);
  EXPECT_EQ(EVP_CIPHER_get_block_size(c), 16);
  EXPECT_EQ(EVP_CIPHER_get_mode(c), EVP_CIPH_CBC_MODE);
  for (const char* name : {"sm4-cbc", "ChinaSM4-CBC", "SM4-CBC", "chinasm4-cbc"}) {
    EXPECT_EQ(GetCipherByName(name), c) << name;
  }
  EXPECT_EQ(GetCipherByNID(NID_ChinaSM4_CBC), c);
  EXPECT_EQ(GetCipherByNID(EVP_CIPHER_get_nid(c)), c);
  EXPECT_EQ(GetCipherByName("aes-128-cbc"), EVP_aes_128_cbc());
  EXPECT_EQ(GetCipherByName(nullptr), nullptr);

  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), c, nullptr, kExample.data(), kExample.data()), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_get_key_length(ctx.get()), 16);
  EXPECT_EQ(EVP_CIPHER_CTX_get_iv_length(ctx.get()), 16);
  EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(ctx.get(), 32), 0);
  ERR_clear_error();
}

TEST(ProviderTest, Sm4StandardsExampleBlock) {
  const Bytes zeroIv(16, 0);
  const CryptResult enc = Crypt(EVP_sm4_cbc(), true, false, kExample, zeroIv, kExample);
  ASSERT_TRUE(enc.ok);
  EXPECT_EQ(enc.out, FromHex("681edf34d206965e86b3e94f536e4246"));
  EXPECT_EQ(Crypt(EVP_sm4_cbc(), false, false, kExample, zeroIv, enc.out).out, kExample);
}

// OpenSSL's own SM4-CBC buffers and pads the same way, so beyond equal bytes
// each update must release as much as OpenSSL's: decryption holds the last
// block back until Final has checked its padding.
TEST(ProviderTest, Sm4CbcMatchesOpenSslsForRandomLengthsAndSplits) {
  ASSERT_NE(OpenSslSm4Cbc(), nullptr);
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const bool pad = round % 2 == 0;
    std::size_t n = round % 50 == 0 ? 1024 + rng() % 16 : rng() % 100;
    if (!pad) n -= n % 16;
    const Bytes key = Random(rng, 16);
    const Bytes iv = Random(rng, 16);
    const Bytes msg = Random(rng, n);
    SCOPED_TRACE(testing::Message() << "round " << round << " length " << n);
    const auto pieces = Pieces(rng, n, round);
    const CryptResult theirs = Crypt(OpenSslSm4Cbc(), true, pad, key, iv, msg, pieces);
    const CryptResult ours = Crypt(EVP_sm4_cbc(), true, pad, key, iv, msg, pieces);
    ASSERT_TRUE(theirs.ok && ours.ok);
    ASSERT_EQ(ours.out, theirs.out);
    ASSERT_EQ(ours.released, theirs.released);

    const auto back = Pieces(rng, theirs.out.size(), round + 1);
    const CryptResult theirPlain = Crypt(OpenSslSm4Cbc(), false, pad, key, iv, theirs.out, back);
    const CryptResult ourPlain = Crypt(EVP_sm4_cbc(), false, pad, key, iv, theirs.out, back);
    ASSERT_TRUE(ourPlain.ok);
    ASSERT_EQ(ourPlain.out, msg);
    ASSERT_EQ(ourPlain.released, theirPlain.released);
  }
}

// Final blocks as they decrypt, each with padding that is wrong.
TEST(ProviderTest, Sm4CbcBadPaddingFails) {
  const Bytes iv(16, 9);
  auto block = [](unsigned char fill, int at, unsigned char value) {
    Bytes b(16, fill);
    b[static_cast<std::size_t>(at)] = value;
    return b;
  };
  for (const Bytes& last : {block('x', 15, 0), block('x', 15, 17), block('x', 15, 0xff),
                            block(2, 14, 1), block(16, 0, 15), block(5, 11, 4)}) {
    Bytes plain(32, 'a');
    std::copy(last.begin(), last.end(), plain.begin() + 16);
    const CryptResult enc = Crypt(EVP_sm4_cbc(), true, false, kExample, iv, plain);
    const CryptResult dec = Crypt(EVP_sm4_cbc(), false, true, kExample, iv, enc.out);
    EXPECT_FALSE(dec.ok);
    EXPECT_EQ(dec.released, std::vector<int>{16});  // never the unchecked block
    EXPECT_NE(ERR_peek_error(), 0u);
    ERR_clear_error();
  }
}

TEST(ProviderTest, Sm4CbcWrongLengthsAndOverlapFail) {
  const Bytes iv(16, 0);
  EXPECT_FALSE(Crypt(EVP_sm4_cbc(), true, false, kExample, iv, Bytes(15, 'z')).ok);
  EXPECT_FALSE(Crypt(EVP_sm4_cbc(), false, true, kExample, iv, Bytes(17, 'z')).ok);
  EXPECT_FALSE(Crypt(EVP_sm4_cbc(), false, true, kExample, iv, {}).ok);
  Bytes buf(64);
  int len = 0;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, kExample.data(), iv.data()), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), buf.data() + 4, &len, buf.data(), 32), 0);
  ERR_clear_error();
}

TEST(ProviderTest, Sm4CbcInPlace) {
  std::mt19937 rng(13);
  const Bytes iv = Random(rng, 16);
  const Bytes msg = Random(rng, 100);
  Bytes buf = msg;
  buf.resize(112);
  int len = 0;
  int last = 0;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, kExample.data(), iv.data()), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), buf.data(), &len, buf.data(), 100), 1);
  ASSERT_EQ(EVP_EncryptFinal_ex(ctx.get(), buf.data() + len, &last), 1);
  EXPECT_EQ(buf, Crypt(OpenSslSm4Cbc(), true, true, kExample, iv, msg).out);
  ASSERT_EQ(EVP_DecryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, kExample.data(), iv.data()), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx.get(), buf.data(), &len, buf.data(), 112), 1);
  ASSERT_EQ(EVP_DecryptFinal_ex(ctx.get(), buf.data() + len, &last), 1);
  buf.resize(static_cast<std::size_t>(len + last));
  EXPECT_EQ(buf, msg);
}

// Copy in mid-block; both finish alike, the copy after the original is gone.
TEST(ProviderTest, Sm4CbcContextCopy) {
  const Bytes msg(70, 'c');
  const Bytes expected = Crypt(OpenSslSm4Cbc(), true, true, kExample, kExample, msg).out;
  CipherCtxPtr a(EVP_CIPHER_CTX_new());
  CipherCtxPtr b(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(a.get(), EVP_sm4_cbc(), nullptr, kExample.data(), kExample.data()),
            1);
  Bytes head(32);
  int headLen = 0;
  ASSERT_EQ(EVP_EncryptUpdate(a.get(), head.data(), &headLen, msg.data(), 21), 1);
  ASSERT_EQ(EVP_CIPHER_CTX_copy(b.get(), a.get()), 1);
  auto finish = [&](EVP_CIPHER_CTX* ctx) {
    Bytes out(head.begin(), head.begin() + headLen);
    out.resize(96);
    int len = 0;
    int last = 0;
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data() + headLen, &len, msg.data() + 21, 49), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + headLen + len, &last), 1);
    out.resize(static_cast<std::size_t>(headLen + len + last));
    return out;
  };
  EXPECT_EQ(finish(a.get()), expected);
  a.reset();
  EXPECT_EQ(finish(b.get()), expected);
}

// An init with nothing new restarts from the original IV; a decrypt init
// without a key must still turn the key schedule round.
TEST(ProviderTest, Sm4CbcReinitRestartsAndTurnsDirection) {
  const Bytes msg(33, 'r');
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  Bytes out(64);
  int len = 0;
  int last = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, kExample.data(), kExample.data()),
            1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, msg.data(), 20), 1);  // abandoned
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, msg.data(), 33), 1);
  ASSERT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &last), 1);
  out.resize(static_cast<std::size_t>(len + last));
  EXPECT_EQ(out, Crypt(OpenSslSm4Cbc(), true, true, kExample, kExample, msg).out);

  Bytes iv(16);
  ASSERT_EQ(EVP_CIPHER_CTX_get_original_iv(ctx.get(), iv.data(), iv.size()), 1);
  EXPECT_EQ(iv, kExample);
  ASSERT_EQ(EVP_CIPHER_CTX_get_updated_iv(ctx.get(), iv.data(), iv.size()), 1);
  EXPECT_EQ(iv, Bytes(out.end() - 16, out.end()));  // the chaining value is the last block

  Bytes plain(64);
  ASSERT_EQ(EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, kExample.data()), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx.get(), plain.data(), &len, out.data(), 48), 1);
  ASSERT_EQ(EVP_DecryptFinal_ex(ctx.get(), plain.data() + len, &last), 1);
  plain.resize(static_cast<std::size_t>(len + last));
  EXPECT_EQ(plain, msg);
}

}  // namespace
}  // namespace gmcrypto
