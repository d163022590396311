#include <openssl/ec.h>
#include <openssl/err.h>

#include <cstring>

#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm2/Sm2Internal.h"
#include "gmcrypto/sm2/Sm2Testing.h"

namespace gmcrypto {

using sm2internal::RaiseError;

namespace {

ECDSA_SIG* Sign(const BIGNUM* e, const BIGNUM* d, int nid, const BIGNUM* fixedK) {
  if (e == nullptr || d == nullptr || BN_is_negative(e)) {
    RaiseError(ERR_R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const ec::Curve* curve = ec::CurveByNid(nid);
  if (curve == nullptr) {
    RaiseError(EC_R_UNKNOWN_GROUP);
    return nullptr;
  }
  const BIGNUM* n = ec::Order(*curve);
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr dd(BN_new()), inv(BN_new()), k(BN_new()), x1(BN_new()), r(BN_new()), s(BN_new()),
      t(BN_new());
  EcPointPtr kG = ec::NewPoint(*curve);
  if (!ctx || !dd || !inv || !k || !x1 || !r || !s || !t || !kG) {
    RaiseError(ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!sm2internal::PrivateKeyInRange(d, n, ctx.get())) {
    RaiseError(EC_R_INVALID_PRIVATE_KEY);
    return nullptr;
  }
  // (1 + d)^-1 does not depend on k: once per call.
  if (!BN_copy(dd.get(), d) || !BN_copy(t.get(), d) || !BN_add_word(t.get(), 1) ||
      !ec::InverseModOrder(*curve, inv.get(), t.get(), ctx.get())) {
    RaiseError(ERR_R_BN_LIB);
    return nullptr;
  }
  BN_set_flags(dd.get(), BN_FLG_CONSTTIME);

  const int draws = fixedK != nullptr ? 1 : sm2internal::kMaxNonceDraws;
  for (int i = 0; i < draws; ++i) {
    // A3: k in [1, n-1]
    if (!sm2internal::DrawNonce(k.get(), n, fixedK, ctx.get())) {
      RaiseError(EC_R_RANDOM_NUMBER_GENERATION_FAILED);
      return nullptr;
    }
    // A4: (x1, y1) = [k]G
    if (!ec::MulGenerator(*curve, kG.get(), k.get(), ctx.get()) ||
        !ec::GetAffine(*curve, kG.get(), x1.get(), nullptr, ctx.get())) {
      RaiseError(ERR_R_EC_LIB);
      return nullptr;
    }
    // A5: r = (e + x1) mod n; r = 0 or r + k = n needs another k
    if (!BN_mod_add(r.get(), e, x1.get(), n, ctx.get()) || !BN_add(t.get(), r.get(), k.get())) {
      RaiseError(ERR_R_BN_LIB);
      return nullptr;
    }
    if (BN_is_zero(r.get()) || BN_cmp(t.get(), n) == 0) continue;
    // A6: s = (1 + d)^-1 · (k - r·d) mod n; s = 0 needs another k
    if (!BN_mod_mul(t.get(), r.get(), dd.get(), n, ctx.get()) ||
        !BN_mod_sub(t.get(), k.get(), t.get(), n, ctx.get()) ||
        !BN_mod_mul(s.get(), inv.get(), t.get(), n, ctx.get())) {
      RaiseError(ERR_R_BN_LIB);
      return nullptr;
    }
    if (BN_is_zero(s.get())) continue;

    ECDSA_SIG* sig = ECDSA_SIG_new();
    if (sig == nullptr || !ECDSA_SIG_set0(sig, r.get(), s.get())) {
      ECDSA_SIG_free(sig);
      RaiseError(ERR_R_MALLOC_FAILURE);
      return nullptr;
    }
    r.release();
    s.release();
    return sig;
  }
  RaiseError(EC_R_RANDOM_NUMBER_GENERATION_FAILED);
  return nullptr;
}

bool InSignatureRange(const BIGNUM* v, const BIGNUM* n) {
  return v != nullptr && !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, n) < 0;
}

}  // namespace

ECDSA_SIG* _SM2_sign_core(const BIGNUM* e, const BIGNUM* d, int nid) {
  return Sign(e, d, nid, nullptr);
}

int _SM2_verify_core(const ECDSA_SIG* sig, const BIGNUM* xA, const BIGNUM* yA, const BIGNUM* e,
                     int nid) {
  if (sig == nullptr || xA == nullptr || yA == nullptr || e == nullptr || BN_is_negative(e)) {
    RaiseError(ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  const ec::Curve* curve = ec::CurveByNid(nid);
  if (curve == nullptr) {
    RaiseError(EC_R_UNKNOWN_GROUP);
    return 0;
  }
  const BIGNUM* n = ec::Order(*curve);
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  // B1, B2: r and s in [1, n-1]
  if (!InSignatureRange(r, n) || !InSignatureRange(s, n)) {
    RaiseError(EC_R_BAD_SIGNATURE);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr t(BN_new());
  EcPointPtr pub = ec::NewPoint(*curve), sum = ec::NewPoint(*curve);
  if (!ctx || !t || !pub || !sum) {
    RaiseError(ERR_R_MALLOC_FAILURE);
    return 0;
  }
  if (!ec::SetAffine(*curve, pub.get(), xA, yA, ctx.get())) {
    RaiseError(EC_R_POINT_IS_NOT_ON_CURVE);
    return 0;
  }
  // B5: t = (r + s) mod n, t != 0
  if (!BN_mod_add(t.get(), r, s, n, ctx.get()) || BN_is_zero(t.get())) {
    RaiseError(EC_R_BAD_SIGNATURE);
    return 0;
  }
  // B6: (x1', y1') = [s]G + [t]PA
  if (!ec::MulAddPublic(*curve, sum.get(), s, pub.get(), t.get(), ctx.get())) {
    RaiseError(ERR_R_EC_LIB);
    return 0;
  }
  // B7: (e + x1') mod n = r. With x1' < p that means x1' is (r - e) mod n or,
  // when still below p, that plus n; compared projectively, with no inversion.
  if (!BN_mod_sub(t.get(), r, e, n, ctx.get())) {
    RaiseError(ERR_R_BN_LIB);
    return 0;
  }
  if (!ec::HasAffineX(*curve, sum.get(), t.get(), ctx.get()) &&
      !(BN_add(t.get(), t.get(), n) && ec::HasAffineX(*curve, sum.get(), t.get(), ctx.get()))) {
    RaiseError(EC_R_BAD_SIGNATURE);
    return 0;
  }
  return 1;
}

int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32],
                 unsigned char s[32]) {
  if (e == nullptr || d == nullptr || r == nullptr || s == nullptr) return 0;
  BnPtr be(BN_new()), bd(BN_new());
  if (!be || !bd) return 0;
  BN_set_flags(bd.get(), BN_FLG_CONSTTIME);
  if (!_SM2_Bytes2BN(e, 32, be.get()) || !_SM2_Bytes2BN(d, 32, bd.get())) return 0;
  EcdsaSigPtr sig(_SM2_sign_core(be.get(), bd.get(), NID_prime256v1SM2));
  if (!sig) return 0;
  unsigned char rb[32], sb[32];
  if (!_SM2_GetBNBytes(ECDSA_SIG_get0_r(sig.get()), rb) ||
      !_SM2_GetBNBytes(ECDSA_SIG_get0_s(sig.get()), sb)) {
    return 0;
  }
  std::memcpy(r, rb, 32);
  std::memcpy(s, sb, 32);
  return 1;
}

int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32], const unsigned char xA[32],
                   const unsigned char yA[32], const unsigned char e[32]) {
  if (r == nullptr || s == nullptr || xA == nullptr || yA == nullptr || e == nullptr) return 0;
  BnPtr br(BN_new()), bs(BN_new()), bx(BN_new()), by(BN_new()), be(BN_new());
  if (!br || !bs || !bx || !by || !be || !_SM2_Bytes2BN(r, 32, br.get()) ||
      !_SM2_Bytes2BN(s, 32, bs.get()) || !_SM2_Bytes2BN(xA, 32, bx.get()) ||
      !_SM2_Bytes2BN(yA, 32, by.get()) || !_SM2_Bytes2BN(e, 32, be.get())) {
    return 0;
  }
  EcdsaSigPtr sig(ECDSA_SIG_new());
  if (!sig || !ECDSA_SIG_set0(sig.get(), br.get(), bs.get())) return 0;
  br.release();
  bs.release();
  return _SM2_verify_core(sig.get(), bx.get(), by.get(), be.get(), NID_prime256v1SM2);
}

namespace sm2testing {

ECDSA_SIG* SignWithFixedNonceForTesting(const BIGNUM* e, const BIGNUM* d, const BIGNUM* k,
                                        int nid) {
  return k != nullptr ? Sign(e, d, nid, k) : nullptr;
}

}  // namespace sm2testing
}  // namespace gmcrypto
