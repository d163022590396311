#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gmcrypto/sm4/Sm4.h"
#include "pki/TestPki.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                    0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
const Bytes kIv(16, 0);

int Encrypt(const Bytes& iv, const Bytes& plain, Bytes* out) {
  unsigned char* p = nullptr;
  int n = 0;
  const int r =
      engine::SM4_Encrypt_CBC(iv.data(), kKey.data(), plain.data(), int(plain.size()), &p, &n);
  if (r == ORLO_OK) *out = Bytes(p, p + n);
  delete[] p;
  return r;
}
int Decrypt(const Bytes& iv, const Bytes& cipher, Bytes* out, int nIv = 16, int nKey = 16) {
  unsigned char* p = reinterpret_cast<unsigned char*>(0x1);
  int n = -3;
  const int r = engine::SM4_Decrypt_CBC(iv.data(), kKey.data(), cipher.data(), int(cipher.size()),
                                        nIv, nKey, &p, &n);
  if (r != ORLO_OK) {
    EXPECT_TRUE(p == reinterpret_cast<unsigned char*>(0x1) && n == -3);  // outputs untouched
    return r;
  }
  *out = Bytes(p, p + n);
  delete[] p;
  return r;
}
int ByPin(const char* pin, const Bytes& cipher, Bytes* out) {
  unsigned char* p = nullptr;
  int n = 0;
  const int r = engine::SM4DecryptByPin(pin, cipher.data(), int(cipher.size()), &p, &n);
  if (r == ORLO_OK) *out = Bytes(p, p + n);
  delete[] p;
  return r;
}

TEST(DataEncryptionSm4, KnownAnswerRoundTripsAndPaddingSizes) {
  Bytes cipher, back;
  ASSERT_EQ(Encrypt(kIv, kKey, &cipher), ORLO_OK);  // GB/T 32907 example block
  const Bytes expected = {0x68, 0x1E, 0xDF, 0x34, 0xD2, 0x06, 0x96, 0x5E,
                          0x86, 0xB3, 0xE9, 0x4F, 0x53, 0x6E, 0x42, 0x46};
  ASSERT_EQ(cipher.size(), 32u);
  EXPECT_EQ(Bytes(cipher.begin(), cipher.begin() + 16), expected);
  for (std::size_t n = 0; n <= 33; ++n) {
    const Bytes plain(n, std::uint8_t(n)), iv(16, std::uint8_t(n + 1));
    ASSERT_EQ(Encrypt(iv, plain, &cipher), ORLO_OK);
    EXPECT_EQ(cipher.size(), (n / 16 + 1) * 16);
    ASSERT_EQ(Decrypt(iv, cipher, &back), ORLO_OK);
    EXPECT_EQ(back, plain);
  }
}

TEST(DataEncryptionSm4, DecryptRefusesBadSizesAndPadding) {
  Bytes out;
  EXPECT_EQ(Decrypt(kIv, Bytes(16, 1), &out, 15, 17), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(Decrypt(kIv, Bytes(16, 1), &out, 16, 32), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(Decrypt(kIv, Bytes{}, &out), ORLO_FAILED);
  EXPECT_EQ(Decrypt(kIv, Bytes(17, 0), &out), ORLO_FAILED);
  // Plaintexts ending in impossible padding: 00, 11, and 03 over a 04.
  gmcrypto::SM4_KEY ks;
  gmcrypto::SM4_set_key(kKey.data(), &ks);
  for (const Bytes& tail : {Bytes{0x00}, Bytes{0x11}, Bytes{0x03, 0x04, 0x03}}) {
    Bytes plain(32, 0x03), cipher(32), iv = kIv;
    std::copy(tail.begin(), tail.end(), plain.end() - long(tail.size()));
    gmcrypto::SM4_cbc_encrypt(plain.data(), cipher.data(), 32, &ks, iv.data(), 1);
    EXPECT_EQ(Decrypt(kIv, cipher, &out), ORLO_FAILED);
  }
  unsigned char* p = nullptr;
  int n = 0;
  EXPECT_EQ(engine::SM4_Encrypt_CBC(nullptr, kKey.data(), kKey.data(), 16, &p, &n),
            ORLO_INVALID_PARAMETER);
  EXPECT_EQ(engine::SM4_Encrypt_CBC(kIv.data(), kKey.data(), nullptr, -1, &p, &n),
            ORLO_INVALID_PARAMETER);
}

TEST(DataEncryptionSm4, DecryptByPinUsesThePasswordKey) {
  const Bytes secret(32, 0xC3);
  for (const std::string password : {"123456", "", "пароль 密码"}) {
    Bytes plain;
    ASSERT_EQ(ByPin(password.c_str(), testpki::EncryptByPassword(secret, password), &plain),
              ORLO_OK);
    EXPECT_EQ(plain, secret);
  }
  Bytes plain;
  EXPECT_EQ(ByPin("12345", testpki::EncryptByPassword(secret, "123456"), &plain), ORLO_FAILED);
  EXPECT_EQ(ByPin(nullptr, testpki::EncryptByPassword(secret, ""), &plain), ORLO_INVALID_PARAMETER);
}

}  // namespace
