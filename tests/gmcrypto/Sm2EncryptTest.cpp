// SM2 encryption: the worked example of GB/T 32918.4 on the example curve,
// the key derivation, and every way a ciphertext can be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "gmcrypto/Sm2TestSupport.h"
#include "gmcrypto/sm2/Sm2Testing.h"

namespace {

using namespace sm2test;

Bytes Encrypt(const KeyPair& k, const Bytes& m, int nid = 893) {
  Bytes out(m.size() + 97);
  const int ok =
      _SM2_encrypt(nid, m.data(), static_cast<int>(m.size()), k.x.get(), k.y.get(), out.data());
  EXPECT_EQ(ok == 1, std::any_of(out.begin(), out.end(), [](auto b) { return b != 0; }));
  return ok == 1 ? out : Bytes{};
}

// The plaintext, or nothing; a refusal must leave the output zeroed.
std::optional<Bytes> Decrypt(const KeyPair& k, const Bytes& c, int nid = 893) {
  Bytes out(c.size() - 97, 0xEE);
  if (_SM2_decrypt(nid, c.data(), static_cast<int>(c.size()), k.d.get(), out.data()) == 1) {
    return out;
  }
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }));
  return std::nullopt;
}

TEST(Sm2EncryptExample, ReproducesC1C2C3AndDecrypts) {
  // GB/T 32918.4, annex A, on the example curve (894).
  KeyPair key = KeyFromPrivate(
      894, Bn("1649AB77 A00637BD 5E2EFE28 3FBF3535 34AA7F7C B89463F2 08DDBC29 20BB0DA0").get());
  EXPECT_EQ(
      "435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A"
      "75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42",
      ToHex(To32(key.x.get())) + ToHex(To32(key.y.get())));
  const std::string text = "encryption standard";
  const Bytes m(text.begin(), text.end());
  Bytes c(m.size() + 97);
  ASSERT_EQ(1,
            sm2testing::EncryptWithFixedNonceForTesting(
                894, m.data(), static_cast<int>(m.size()), key.x.get(), key.y.get(),
                Bn("4C62EEFD 6ECFC2B9 5B92FD6C 3D957514 8AFA1742 5546D490 18E5388D 49DD7B4F").get(),
                c.data()));
  EXPECT_EQ(
      "04245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
      "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8"   // C1
      "650053A89B41C418B0C3AAD00D886C00286467"                             // C2
      "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D",  // C3
      ToHex(c));
  EXPECT_EQ(m, Decrypt(key, c, 894));
  EXPECT_FALSE(Decrypt(key, c, 893));  // C1 is no point of curve 893
}

TEST(Sm2Kdf, OutputIsTheCounterHashesConcatenated) {
  const Bytes z = Random(64);
  const std::string h1 = ToHex(Sm3Of(z, Bytes{0, 0, 0, 1}));
  const std::string h2 = ToHex(Sm3Of(z, Bytes{0, 0, 0, 2}));
  Bytes out(33, 0xEE);
  ASSERT_EQ(1, _SM2_KDF(z.data(), 64, 256, out.data()));
  EXPECT_EQ(h1 + "EE", ToHex(out));  // nothing written past klen/8
  ASSERT_EQ(1, _SM2_KDF(z.data(), 64, 128, out.data()));
  EXPECT_EQ(h1.substr(0, 32), ToHex(out.data(), 16));
  ASSERT_EQ(1, _SM2_KDF(z.data(), 64, 264, out.data()));
  EXPECT_EQ(h1 + h2.substr(0, 2), ToHex(out));
  for (int bad : {0, -8, 12}) EXPECT_EQ(0, _SM2_KDF(z.data(), 64, bad, out.data())) << bad;
}

class Sm2Encrypt : public ::testing::Test {
 protected:
  KeyPair key = RandomKey();
  Bytes m = Random(16);
  Bytes c = Encrypt(key, m);
};

TEST_F(Sm2Encrypt, RoundTripsAtEveryLengthAndIsFreshEachTime) {
  ASSERT_EQ(113u, c.size());
  EXPECT_EQ(m, Decrypt(key, c));
  const Bytes again = Encrypt(key, m);
  EXPECT_FALSE(std::equal(c.begin(), c.begin() + 81, again.begin()));  // C1 and C2 both new
  EXPECT_EQ(m, Decrypt(key, again));
  for (std::size_t len : {1u, 31u, 32u, 33u, 65u, 300u}) {  // around the KDF's 32-byte blocks
    const Bytes msg = Random(len);
    EXPECT_EQ(msg, Decrypt(key, Encrypt(key, msg))) << len;
  }
}

TEST_F(Sm2Encrypt, MalformedInputIsRefused) {
  Bytes out(97);
  EXPECT_EQ(0, _SM2_encrypt(893, m.data(), 0, key.x.get(), key.y.get(), out.data()));
  unsigned char sink = 0xEE;
  for (int clen : {97, 1, -1}) EXPECT_EQ(0, _SM2_decrypt(893, c.data(), clen, key.d.get(), &sink));
  EXPECT_EQ(0xEE, sink);  // not even touched
  for (unsigned char prefix : {0x00, 0x02, 0x03, 0x06}) {
    Bytes bad = c;
    bad[0] = prefix;
    EXPECT_FALSE(Decrypt(key, bad)) << int{prefix};
  }
  Bytes bad = c;
  bad[64] ^= 1;  // y1: off the curve
  EXPECT_FALSE(Decrypt(key, bad));
}

TEST_F(Sm2Encrypt, AnyChangedByteOfC2OrC3FailsAndLeavesNoPlaintext) {
  for (std::size_t i = 65; i < c.size(); ++i) {
    Bytes bad = c;
    bad[i] ^= 0x01;
    EXPECT_FALSE(Decrypt(key, bad)) << "byte " << i;
  }
  EXPECT_FALSE(Decrypt(RandomKey(), c));
}

TEST_F(Sm2Encrypt, BadKeysAndCurvesAreRefused) {
  BnPtr y1 = Copy(key.y.get());
  BN_add_word(y1.get(), 1);
  EXPECT_TRUE(Encrypt(KeyPair{nullptr, Copy(key.x.get()), std::move(y1)}, m).empty());
  EXPECT_TRUE(Encrypt(key, m, 415).empty());
  EXPECT_FALSE(Decrypt(key, c, 415));
  // dB outside [1, n-2], even d + n, which the ladder would reduce to d.
  KeyPair odd{BnPtr(BN_new()), nullptr, nullptr};
  EXPECT_FALSE(Decrypt(odd, c));
  BN_add(odd.d.get(), key.d.get(), ec::Order(*ec::CurveByNid(893)));
  EXPECT_FALSE(Decrypt(odd, c));
}

TEST_F(Sm2Encrypt, LeadingZeroCoordinatesKeepTheLength) {
  // About one C1 in 128 has x1 or y1 below 2^248.
  for (int i = 0; i < 3000; ++i) {
    const Bytes again = Encrypt(key, m);
    ASSERT_EQ(113u, again.size());
    if (again[1] == 0 || again[33] == 0) {
      EXPECT_EQ(m, Decrypt(key, again));
      return;
    }
  }
  ADD_FAILURE() << "no C1 with a zero top byte";
}

}  // namespace
