// SM2 curves and signatures: the worked example of GB/T 32918.2 on the
// example curve, then the rules of the interface on curve 893.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include "gmcrypto/sm2/Sm2Curves.h"
#include "gmcrypto/Sm2TestSupport.h"
#include "gmcrypto/sm2/Sm2Testing.h"

namespace {

using namespace sm2test;

const BIGNUM* Order(int nid = NID_prime256v1SM2) { return ec::Order(*ec::CurveByNid(nid)); }

int Verify(const BIGNUM* r, const BIGNUM* s, const KeyPair& k, const BIGNUM* e) {
  return _SM2_verify_core(Sig(Copy(r), Copy(s)).get(), k.x.get(), k.y.get(), e, NID_prime256v1SM2);
}

class Sm2Curve : public ::testing::TestWithParam<int> {};

TEST_P(Sm2Curve, GeneratorHasOrderNAndPointsMustBeCanonical) {
  const Sm2CurveParams* c = FindSm2CurveParams(GetParam());
  BnPtr nMinus1 = Copy(Order(GetParam())), minusY(BN_new());
  BN_sub_word(nMinus1.get(), 1);
  BN_sub(minusY.get(), Bn(c->p).get(), Bn(c->yG).get());
  KeyPair last = KeyFromPrivate(GetParam(), nMinus1.get());  // (n-1)G = -G, so nG = O
  ASSERT_TRUE(last.d);
  EXPECT_EQ(0, BN_cmp(last.x.get(), Bn(c->xG).get()));
  EXPECT_EQ(0, BN_cmp(last.y.get(), minusY.get()));

  EXPECT_EQ(1, _SM2_point_is_on_curve(Bn(c->xG).get(), Bn(c->yG).get(), GetParam()));
  BnPtr yPlus1 = Bn(c->yG), yPlusP = Bn(c->yG);
  BN_add_word(yPlus1.get(), 1);
  BN_add(yPlusP.get(), yPlusP.get(), Bn(c->p).get());  // same residue, not the same encoding
  EXPECT_EQ(0, _SM2_point_is_on_curve(Bn(c->xG).get(), yPlus1.get(), GetParam()));
  EXPECT_EQ(0, _SM2_point_is_on_curve(Bn(c->xG).get(), yPlusP.get(), GetParam()));
  EXPECT_EQ(0, _SM2_point_is_on_curve(Bn(c->xG).get(), Bn(c->yG).get(), 415));
}

INSTANTIATE_TEST_SUITE_P(Sm2, Sm2Curve, ::testing::Values(893, 894));

TEST(Sm2SignExample, ReproducesZDigestAndSignature) {
  // GB/T 32918.2, annex A, on the example curve (894).
  KeyPair key = KeyFromPrivate(
      894, Bn("128B2FA8 BD433C6C 068C8D80 3DFF7979 2A519A55 171B1B65 0C23661D 15897263").get());
  EXPECT_EQ(
      "0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A"
      "7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857",
      ToHex(To32(key.x.get())) + ToHex(To32(key.y.get())));
  const Sm2CurveParams* c = FindSm2CurveParams(894);
  const std::string id = "ALICE123@YAHOO.COM", m = "message digest";
  Bytes z(32);
  ASSERT_EQ(1, _SM2_CalculateZValue(reinterpret_cast<const unsigned char*>(id.data()), 18,
                                    Bn(c->a).get(), Bn(c->b).get(), Bn(c->xG).get(),
                                    Bn(c->yG).get(), key.x.get(), key.y.get(), z.data()));
  EXPECT_EQ("F4A38489E32B45B6F876E3AC2168CA392362DC8F23459C1D1146FC3DBFB7BC9A", ToHex(z));
  const Bytes32 e = Sm3Of(z, Bytes(m.begin(), m.end()));
  EXPECT_EQ("B524F552CD82B8B028476E005C377FB19A87E6FC682D48BB5D42E3D9B9EFFE76", ToHex(e));

  BnPtr be = Bn(e.data(), 32);
  EcdsaSigPtr sig(sm2testing::SignWithFixedNonceForTesting(
      be.get(), key.d.get(),
      Bn("6CB28D99 385C175C 94F94E93 4817663F C176D925 DD72B727 260DBAAE 1FB2F96F").get(), 894));
  ASSERT_TRUE(sig);
  EXPECT_EQ("40F1EC59F793D9F49E09DCEF49130D4194F79FB1EED2CAA55BACDB49C4E755D1",
            ToHex(To32(ECDSA_SIG_get0_r(sig.get()))));
  EXPECT_EQ("6FC6DAC32C5D5CF10C77DFB20F7C2EB667A457872FB09EC56327A67EC7DEEBE7",
            ToHex(To32(ECDSA_SIG_get0_s(sig.get()))));
  EXPECT_EQ(1, _SM2_verify_core(sig.get(), key.x.get(), key.y.get(), be.get(), 894));
  EXPECT_EQ(0, _SM2_verify_core(sig.get(), key.x.get(), key.y.get(), be.get(), 893));
}

class Sm2SignBytes : public ::testing::Test {
 protected:
  KeyPair key = RandomKey();
  Bytes32 d = To32(key.d.get()), x = To32(key.x.get()), y = To32(key.y.get());
  Bytes32 e = DefaultDigest(key, Bytes{'a', 'b', 'c'}), r{}, s{};
  void SetUp() override { ASSERT_EQ(1, _SM2_sign_ex(e.data(), d.data(), r.data(), s.data())); }
  int VerifyEx(const Bytes32& rr, const Bytes32& ss, const Bytes32& ee) {
    return _SM2_verify_ex(rr.data(), ss.data(), x.data(), y.data(), ee.data());
  }
};

TEST_F(Sm2SignBytes, SignaturesVerifyAreFreshAndBreakOnAnyChange) {
  Bytes32 r2, s2;
  ASSERT_EQ(1, _SM2_sign_ex(e.data(), d.data(), r2.data(), s2.data()));
  EXPECT_NE(r, r2);
  EXPECT_EQ(1, VerifyEx(r, s, e));
  EXPECT_EQ(1, VerifyEx(r2, s2, e));
  for (int bit : {0, 77, 255}) {
    Bytes32 e2 = e;
    e2[bit / 8] ^= static_cast<unsigned char>(1 << (bit % 8));
    EXPECT_EQ(0, VerifyEx(r, s, e2)) << bit;
  }
  EXPECT_EQ(0, VerifyEx(s, r, e));
  y[31] ^= 1;  // public key off the curve
  EXPECT_EQ(0, VerifyEx(r, s, e));
}

TEST_F(Sm2SignBytes, OutOfRangeAndZeroSumSignaturesAreRejected) {
  const Bytes32 n = To32(Order()), zero{};
  for (const auto& [rr, ss] : {std::pair{n, s}, std::pair{r, n}, std::pair{zero, s}}) {
    ERR_clear_error();
    EXPECT_EQ(0, VerifyEx(rr, ss, e));
    EXPECT_NE(0u, ERR_peek_error());
  }
  // r + n and s + n are the same residues but no second encoding.
  BnPtr br = Bn(r.data(), 32), bs = Bn(s.data(), 32), be = Bn(e.data(), 32);
  BnPtr rn(BN_new()), sn(BN_new());
  BN_add(rn.get(), br.get(), Order());
  BN_add(sn.get(), bs.get(), Order());
  EXPECT_EQ(0, Verify(rn.get(), bs.get(), key, be.get()));
  EXPECT_EQ(0, Verify(br.get(), sn.get(), key, be.get()));
  // t = r + s = n would leave [s]G alone: r = n - s, e = r - x([s]G) would
  // then pass for any key.
  KeyPair sG = RandomKey();
  BnCtxPtr ctx(BN_CTX_new());
  BN_sub(br.get(), Order(), sG.d.get());
  BN_mod_sub(be.get(), br.get(), sG.x.get(), Order(), ctx.get());
  EXPECT_EQ(0, Verify(br.get(), sG.d.get(), key, be.get()));
}

TEST_F(Sm2SignBytes, OnlySm2CurvesAndKeysInOneToNMinusTwo) {
  BnPtr be = Bn(e.data(), 32);
  for (int nid : {415, 0, 1172}) {
    ERR_clear_error();
    EXPECT_FALSE(EcdsaSigPtr(_SM2_sign_core(be.get(), key.d.get(), nid)));
    EXPECT_NE(0u, ERR_peek_error());
    EXPECT_EQ(0, _SM2_verify_core(Sig(Bn(r.data(), 32), Bn(s.data(), 32)).get(), key.x.get(),
                                  key.y.get(), be.get(), nid));
  }
  BnPtr nMinus1 = Copy(Order()), nMinus2 = Copy(Order());
  BN_sub_word(nMinus1.get(), 1);
  BN_sub_word(nMinus2.get(), 2);
  for (const Bytes32& bad : {Bytes32{}, To32(nMinus1.get()), To32(Order())}) {
    EXPECT_EQ(0, _SM2_sign_ex(e.data(), bad.data(), r.data(), s.data()));
  }
  key = KeyFromPrivate(893, nMinus2.get());
  x = To32(key.x.get());
  y = To32(key.y.get());
  d = To32(nMinus2.get());
  ASSERT_EQ(1, _SM2_sign_ex(e.data(), d.data(), r.data(), s.data()));
  EXPECT_EQ(1, VerifyEx(r, s, e));
}

TEST_F(Sm2SignBytes, LeadingZeroBytesSurviveEveryByteForm) {
  bool dSeen = false, xSeen = false, rSeen = false, sSeen = false;
  for (int i = 0; i < 5000 && !(dSeen && xSeen && rSeen && sSeen); ++i) {
    KeyPair k = i == 0 ? KeyFromPrivate(893, Bn("00 00 FF 01").get()) : RandomKey();
    d = To32(k.d.get());
    x = To32(k.x.get());
    y = To32(k.y.get());
    ASSERT_EQ(1, _SM2_sign_ex(e.data(), d.data(), r.data(), s.data()));
    ASSERT_EQ(1, VerifyEx(r, s, e));
    dSeen |= d[0] == 0;
    xSeen |= x[0] == 0;
    rSeen |= r[0] == 0;
    sSeen |= s[0] == 0;
  }
  EXPECT_TRUE(dSeen && xSeen && rSeen && sSeen);
}

TEST(Sm2Verify, AcceptsX1AtLeastN) {
  // Only x1' mod n counts, and x1' >= n occurs in about 2^-128 of honest
  // signatures; so build one: Q with x >= n, and P = t^-1·(Q - [s]G).
  const ec::Curve& curve = *ec::CurveByNid(893);
  const Sm2CurveParams* c = FindSm2CurveParams(893);
  const BIGNUM* p = ec::Prime(curve);
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x = Copy(Order()), rhs(BN_new()), y(BN_new());
  EcPointPtr q = ec::NewPoint(curve), pub = ec::NewPoint(curve);
  do {  // y^2 = (x^2 + a)x + b has a root for about half of all x
    BN_add_word(x.get(), 1);
    BN_mod_sqr(rhs.get(), x.get(), p, ctx.get());
    BN_mod_add(rhs.get(), rhs.get(), Bn(c->a).get(), p, ctx.get());
    BN_mod_mul(rhs.get(), rhs.get(), x.get(), p, ctx.get());
    BN_mod_add(rhs.get(), rhs.get(), Bn(c->b).get(), p, ctx.get());
  } while (!BN_mod_sqrt(y.get(), rhs.get(), p, ctx.get()) ||
           !ec::SetAffine(curve, q.get(), x.get(), y.get(), ctx.get()));
  ERR_clear_error();
  BnPtr r = Bn("1234"), s = Bn("5678"), tInv(BN_new()), u(BN_new()), e(BN_new());
  BN_mod_add(tInv.get(), r.get(), s.get(), Order(), ctx.get());
  BN_mod_inverse(tInv.get(), tInv.get(), Order(), ctx.get());
  BN_mod_mul(u.get(), s.get(), tInv.get(), Order(), ctx.get());
  BN_sub(u.get(), Order(), u.get());
  KeyPair k{BnPtr(BN_new()), BnPtr(BN_new()), BnPtr(BN_new())};
  ASSERT_TRUE(ec::MulAddPublic(curve, pub.get(), u.get(), q.get(), tInv.get(), ctx.get()));
  ASSERT_TRUE(ec::GetAffine(curve, pub.get(), k.x.get(), k.y.get(), ctx.get()));
  BN_mod_sub(e.get(), r.get(), x.get(), Order(), ctx.get());  // (e + x1') mod n = r
  EXPECT_EQ(1, Verify(r.get(), s.get(), k, e.get()));
  BN_add_word(e.get(), 1);
  EXPECT_EQ(0, Verify(r.get(), s.get(), k, e.get()));
}

TEST(Sm2Bytes, ThirtyTwoByteForms) {
  Bytes32 out;
  BnPtr big(BN_new()), v(BN_new());
  BN_set_bit(big.get(), 256);
  ASSERT_EQ(1, _SM2_GetBNBytes(Bn("0102").get(), out.data()));
  EXPECT_EQ(std::string(60, '0') + "0102", ToHex(out));
  EXPECT_EQ(0, _SM2_GetBNBytes(big.get(), out.data()));
  const Bytes in = Random(40);
  ASSERT_EQ(1, _SM2_Bytes2BN(in.data(), 40, v.get()));  // only the leading 32 bytes
  EXPECT_EQ(0, BN_cmp(v.get(), Bn(in.data(), 32).get()));
}

}  // namespace
