// Our SM2 session-key encryption against OpenSSL 3's own SM2, whose
// ciphertext is the DER SM2Cipher {x, y, hash, ciphertext} with SM3.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "smengine/EnvelopeTestSupport.h"

namespace {

using namespace envelopetest;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

const Bytes kSessionKey = Pattern(16);

int OurEncrypt(const Bytes& x, const Bytes& y, Bytes* pDer) {
  unsigned char *pbyRaw = nullptr, *pbyDer = nullptr;
  int nRaw = 0, nDer = 0;
  int r = engine::SM2_Encrypt(kSessionKey.data(), x.data(), int(x.size()), y.data(), int(y.size()),
                              &pbyRaw, &nRaw);
  std::unique_ptr<unsigned char[]> raw(pbyRaw);
  if (r != ORLO_OK) return r;
  EXPECT_EQ(engine::SM2_SESSION_KEY_CIPHER_SIZE, nRaw);
  r = engine::Encode_SM2Cipher(pbyRaw, nRaw, &pbyDer, &nDer);
  std::unique_ptr<unsigned char[]> der(pbyDer);
  if (r == ORLO_OK) pDer->assign(pbyDer, pbyDer + nDer);
  return r;
}

int OurDecrypt(const Bytes& d, const Bytes& der, Bytes* pPlain) {
  unsigned char *pbyRaw = nullptr, *pbyPlain = nullptr;
  int nRaw = 0, nPlain = 0;
  int r = engine::Decode_SM2Cipher(der.data(), int(der.size()), &pbyRaw, &nRaw);
  std::unique_ptr<unsigned char[]> raw(pbyRaw);
  if (r != ORLO_OK) return r;
  r = engine::SM2_Decrypt(d.data(), int(d.size()), pbyRaw, nRaw, &pbyPlain, &nPlain);
  std::unique_ptr<unsigned char[]> plain(pbyPlain);
  if (r == ORLO_OK) pPlain->assign(pbyPlain, pbyPlain + nPlain);
  return r;
}

Bytes Openssl(EVP_PKEY* key, bool encrypt, const Bytes& in) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
  size_t n = 0;
  const auto run = encrypt ? &EVP_PKEY_encrypt : &EVP_PKEY_decrypt;
  if (!ctx ||
      (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
      run(ctx.get(), nullptr, &n, in.data(), in.size()) != 1)
    return {};
  Bytes out(n);
  if (run(ctx.get(), out.data(), &n, in.data(), in.size()) != 1) return {};
  out.resize(n);
  return out;
}

Bytes Secret(const testpki::Identity& id) {
  const auto d = id.PrivateKeyBytes();
  return Bytes(d.begin(), d.end());
}

TEST(SM2CipherInterop, OursAndOpensslReadEachOther) {
  const Recipient r = MakeRecipient("interop");
  for (int i = 0; i < 16; ++i) {  // coordinates of every shape come up
    Bytes ours, back;
    ASSERT_EQ(ORLO_OK, OurEncrypt(r.id.PublicX(), r.id.PublicY(), &ours));
    EXPECT_EQ(kSessionKey, Openssl(r.id.key(), false, ours));
    const Bytes theirs = Openssl(r.id.key(), true, kSessionKey);
    ASSERT_FALSE(theirs.empty());
    ASSERT_EQ(ORLO_OK, OurDecrypt(Secret(r.id), theirs, &back));
    EXPECT_EQ(kSessionKey, back);
  }
}

TEST(SM2CipherInterop, LeadingZeroKeysWorkWhateverTheirLength) {
  for (auto which : {testpki::LeadingZero::PublicX, testpki::LeadingZero::PublicY,
                     testpki::LeadingZero::PrivateKey}) {
    const Recipient r = MakeRecipient("zero", testpki::kKuKeyEncipherment, which);
    Bytes x = r.id.PublicX(), y = r.id.PublicY(), d = Secret(r.id), der, back;
    // The same numbers with the leading zeros dropped, or one more added.
    for (Bytes* v : {&x, &y, &d}) {
      if ((*v)[0] == 0) v->erase(v->begin());
    }
    ASSERT_EQ(ORLO_OK, OurEncrypt(x, y, &der));
    ASSERT_EQ(ORLO_OK, OurDecrypt(d, der, &back));
    EXPECT_EQ(kSessionKey, back);
    d.insert(d.begin(), 2, 0x00);
    ASSERT_EQ(ORLO_OK, OurDecrypt(d, Openssl(r.id.key(), true, kSessionKey), &back));
    EXPECT_EQ(kSessionKey, back);
  }
}

TEST(SM2CipherInterop, RejectsForeignPointsKeysAndTampering) {
  const Recipient r = MakeRecipient("owner"), other = MakeRecipient("other");
  Bytes der, back, y = r.id.PublicY();
  y[31] ^= 1;
  EXPECT_EQ(ORLO_FAILED, OurEncrypt(r.id.PublicX(), y, &der));
  ASSERT_EQ(ORLO_OK, OurEncrypt(r.id.PublicX(), r.id.PublicY(), &der));
  EXPECT_EQ(ORLO_FAILED, OurDecrypt(Secret(other.id), der, &back));
  der[der.size() - 1] ^= 0x80;  // last byte of C2
  EXPECT_EQ(ORLO_FAILED, OurDecrypt(Secret(r.id), der, &back));

  unsigned char* p = nullptr;
  int n = 0;
  const Bytes d = Secret(r.id), c(96, 1);
  EXPECT_EQ(ORLO_INVALID_PARAMETER, engine::SM2_Decrypt(d.data(), 32, c.data(), 96, &p, &n));
  EXPECT_EQ(ORLO_FAILED,
            engine::SM2_Encrypt(kSessionKey.data(), d.data(), 0, d.data(), 32, &p, &n));
  EXPECT_EQ(nullptr, p);
}

}  // namespace
