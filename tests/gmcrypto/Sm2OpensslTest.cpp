// Differential tests against OpenSSL 3's own SM2 (default provider), in both
// directions, for signatures and ciphertexts, on many random keys.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <optional>

#include "gmcrypto/sm2/Sm2Curves.h"
#include "gmcrypto/Sm2TestSupport.h"

namespace {

using namespace sm2test;
using PkeyPtr = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free>;
using ParamBldPtr = foundation::Unique<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamsPtr = foundation::Unique<OSSL_PARAM, OSSL_PARAM_free>;
using AnySeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, decltype([](ASN1_SEQUENCE_ANY* s) {
                                    sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free);
                                  })>;

constexpr int kRounds = 200;

Bytes PublicOctets(const KeyPair& k) {
  Bytes pub{0x04};
  for (const BIGNUM* v : {k.x.get(), k.y.get()}) {
    const Bytes32 b = To32(v);
    pub.insert(pub.end(), b.begin(), b.end());
  }
  return pub;
}

PkeyPtr ToOpenssl(const KeyPair& k) {
  const Bytes pub = PublicOctets(k);
  ParamBldPtr bld(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
  OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, k.d.get());
  ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* pkey = nullptr;
  EXPECT_EQ(1, EVP_PKEY_fromdata_init(ctx.get()));
  EXPECT_EQ(1, EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_KEYPAIR, params.get()));
  return PkeyPtr(pkey);
}

// An OpenSSL key, and the same key read back as our numbers.
std::pair<PkeyPtr, KeyPair> OpensslKey() {
  PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  BIGNUM* d = nullptr;
  unsigned char pub[65];
  size_t len = 0;
  EXPECT_EQ(1, EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d));
  EXPECT_EQ(1, EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, sizeof pub,
                                               &len));
  return {std::move(pkey), KeyPair{BnPtr(d), Bn(pub + 1, 32), Bn(pub + 33, 32)}};
}

std::pair<PkeyPtr, KeyPair> ImportedKey(const BIGNUM* d) {
  KeyPair key = KeyFromPrivate(893, d);
  PkeyPtr pkey = ToOpenssl(key);
  return {std::move(pkey), std::move(key)};
}

// SM3 digest signing with our default identity: OpenSSL 3.0 uses an empty
// one unless told. The digest context does not own the key context it is
// given, so both live here (the key context is destroyed last).
struct DigestCtx {
  PkeyCtxPtr pctx;
  MdCtxPtr md;
  DigestCtx(EVP_PKEY* pkey, bool sign)
      : pctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr)), md(EVP_MD_CTX_new()) {
    EXPECT_EQ(1, EVP_PKEY_CTX_set1_id(pctx.get(), "1234567812345678", 16));
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    EXPECT_EQ(1, sign ? EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, pkey)
                      : EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, pkey));
  }
};

Bytes OpensslSign(EVP_PKEY* pkey, const Bytes& m) {
  Bytes sig(80);
  size_t len = sig.size();
  EXPECT_EQ(1,
            EVP_DigestSign(DigestCtx(pkey, true).md.get(), sig.data(), &len, m.data(), m.size()));
  sig.resize(len);
  return sig;
}

bool OpensslVerify(EVP_PKEY* pkey, const Bytes& m, const ECDSA_SIG* sig) {
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(sig, &der);
  const bool ok = EVP_DigestVerify(DigestCtx(pkey, false).md.get(), der, static_cast<size_t>(len),
                                   m.data(), m.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

// SM2Cipher ::= SEQUENCE { x1 INTEGER, y1 INTEGER, hash OCTET STRING (C3),
//                          cipherText OCTET STRING (C2) }
Bytes ToSm2Cipher(const Bytes& raw) {
  const std::size_t mlen = raw.size() - 97;
  AnySeqPtr seq(sk_ASN1_TYPE_new_null());
  auto push = [&](int type, void* value) {
    ASN1_TYPE* t = ASN1_TYPE_new();
    ASN1_TYPE_set(t, type, value);
    sk_ASN1_TYPE_push(seq.get(), t);
  };
  auto octets = [](const unsigned char* p, std::size_t n) {
    ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(s, p, static_cast<int>(n));
    return s;
  };
  push(V_ASN1_INTEGER, BN_to_ASN1_INTEGER(Bn(raw.data() + 1, 32).get(), nullptr));
  push(V_ASN1_INTEGER, BN_to_ASN1_INTEGER(Bn(raw.data() + 33, 32).get(), nullptr));
  push(V_ASN1_OCTET_STRING, octets(raw.data() + 65 + mlen, 32));
  push(V_ASN1_OCTET_STRING, octets(raw.data() + 65, mlen));
  unsigned char* der = nullptr;
  const int len = i2d_ASN1_SEQUENCE_ANY(seq.get(), &der);
  Bytes out(der, der + std::max(len, 0));
  OPENSSL_free(der);
  return out;
}

Bytes FromSm2Cipher(const Bytes& der) {
  const unsigned char* p = der.data();
  AnySeqPtr seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size())));
  EXPECT_EQ(4, sk_ASN1_TYPE_num(seq.get()));
  auto item = [&](int i) { return sk_ASN1_TYPE_value(seq.get(), i); };
  auto bytes = [](const ASN1_STRING* s) {
    return Bytes(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
  };
  Bytes raw =
      PublicOctets(KeyPair{nullptr, BnPtr(ASN1_INTEGER_to_BN(item(0)->value.integer, nullptr)),
                           BnPtr(ASN1_INTEGER_to_BN(item(1)->value.integer, nullptr))});
  const Bytes c3 = bytes(item(2)->value.octet_string), c2 = bytes(item(3)->value.octet_string);
  EXPECT_EQ(32u, c3.size());
  raw.insert(raw.end(), c2.begin(), c2.end());
  raw.insert(raw.end(), c3.begin(), c3.end());
  return raw;
}

std::optional<Bytes> OpensslCrypt(EVP_PKEY* pkey, const Bytes& in, bool encrypt) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  auto op = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
  size_t len = 0;
  if ((encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
      op(ctx.get(), nullptr, &len, in.data(), in.size()) != 1) {
    return std::nullopt;
  }
  Bytes out(len);
  if (op(ctx.get(), out.data(), &len, in.data(), in.size()) != 1) return std::nullopt;
  out.resize(len);
  return out;
}

TEST(Sm2Openssl, Curve893IsOpensslsSm2Curve) {
  auto [pkey, key] = OpensslKey();
  const Sm2CurveParams* c = FindSm2CurveParams(893);
  for (const auto& [name, hex] :
       {std::pair{OSSL_PKEY_PARAM_EC_P, c->p}, std::pair{OSSL_PKEY_PARAM_EC_A, c->a},
        std::pair{OSSL_PKEY_PARAM_EC_B, c->b}, std::pair{OSSL_PKEY_PARAM_EC_ORDER, c->n}}) {
    BIGNUM* v = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(pkey.get(), name, &v)) << name;
    EXPECT_EQ(0, BN_cmp(v, Bn(hex).get())) << name;
    BN_free(v);
  }
  unsigned char g[65];
  size_t len = 0;
  ASSERT_EQ(1, EVP_PKEY_get_octet_string_param(pkey.get(), OSSL_PKEY_PARAM_EC_GENERATOR, g,
                                               sizeof g, &len));
  EXPECT_EQ("04" + std::string(c->xG) + c->yG, ToHex(g, len));
  EXPECT_EQ(PublicOctets(key), PublicOctets(KeyFromPrivate(893, key.d.get())));
}

TEST(Sm2Openssl, SignaturesVerifyBothWays) {
  for (int i = 0; i < kRounds; ++i) {
    // The first key is ours, with zero top bytes, imported into OpenSSL.
    auto [pkey, key] = i > 0 ? OpensslKey() : ImportedKey(Bn("00 00 12 34 56").get());
    const Bytes m = Random(static_cast<std::size_t>(i % 70));
    BnPtr e = Bn(DefaultDigest(key, m).data(), 32);
    EcdsaSigPtr ours(_SM2_sign_core(e.get(), key.d.get(), 893));
    ASSERT_TRUE(ours);
    EXPECT_TRUE(OpensslVerify(pkey.get(), m, ours.get())) << "round " << i;

    const Bytes theirs = OpensslSign(pkey.get(), m);
    const unsigned char* p = theirs.data();
    EcdsaSigPtr sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(theirs.size())));
    EXPECT_EQ(1, _SM2_verify_core(sig.get(), key.x.get(), key.y.get(), e.get(), 893)) << i;

    Bytes other = m;
    other.push_back(0);
    EXPECT_FALSE(OpensslVerify(pkey.get(), other, ours.get()));
  }
}

TEST(Sm2Openssl, CiphertextsDecryptBothWays) {
  for (int i = 0; i < kRounds; ++i) {
    auto [pkey, key] = OpensslKey();
    const Bytes m = Random(1 + static_cast<std::size_t>(i % 70));
    Bytes ours(m.size() + 97);
    ASSERT_EQ(1, _SM2_encrypt(893, m.data(), static_cast<int>(m.size()), key.x.get(), key.y.get(),
                              ours.data()));
    EXPECT_EQ(m, OpensslCrypt(pkey.get(), ToSm2Cipher(ours), false)) << "round " << i;

    const std::optional<Bytes> theirs = OpensslCrypt(pkey.get(), m, true);
    ASSERT_TRUE(theirs);
    const Bytes raw = FromSm2Cipher(*theirs);
    Bytes plain(m.size());
    EXPECT_EQ(
        1, _SM2_decrypt(893, raw.data(), static_cast<int>(raw.size()), key.d.get(), plain.data()))
        << "round " << i;
    EXPECT_EQ(m, plain);
  }
}

}  // namespace
