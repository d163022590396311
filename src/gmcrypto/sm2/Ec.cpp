// The only place that touches OpenSSL's low-level EC_GROUP / EC_POINT API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "gmcrypto/sm2/Ec.h"

#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm2/Sm2Curves.h"

namespace gmcrypto::ec {

// Never freed: the curves outlive every caller, including OpenSSL's own
// atexit cleanup, and hold no secrets.
struct Curve {
  EC_GROUP* group = nullptr;
  BIGNUM* p = nullptr;
  BIGNUM* n = nullptr;
};

namespace {

BnPtr FromHex(const char* hex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) return nullptr;
  return BnPtr(bn);
}

// Builds the group and checks what the parameter table cannot promise by
// itself: G lies on the curve and has order n.
const Curve* Build(int nid) {
  const Sm2CurveParams* prm = FindSm2CurveParams(nid);
  if (prm == nullptr) return nullptr;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr p = FromHex(prm->p), a = FromHex(prm->a), b = FromHex(prm->b);
  BnPtr x = FromHex(prm->xG), y = FromHex(prm->yG), n = FromHex(prm->n);
  BnPtr one(BN_new());
  if (!ctx || !p || !a || !b || !x || !y || !n || !one) return nullptr;

  foundation::Unique<EC_GROUP, EC_GROUP_free> group(
      EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), ctx.get()));
  if (!group) return nullptr;
  EcPointPtr g(EC_POINT_new(group.get())), check(EC_POINT_new(group.get()));
  if (!g || !check || !BN_one(one.get()) ||
      !EC_POINT_set_affine_coordinates(group.get(), g.get(), x.get(), y.get(), ctx.get()) ||
      EC_POINT_is_on_curve(group.get(), g.get(), ctx.get()) != 1 ||
      !EC_GROUP_set_generator(group.get(), g.get(), n.get(), one.get())) {
    return nullptr;
  }
  // Passing the group's own order object keeps this off the ladder, which
  // assumes scalars below n.
  if (!EC_POINT_mul(group.get(), check.get(), EC_GROUP_get0_order(group.get()), nullptr, nullptr,
                    ctx.get()) ||
      EC_POINT_is_at_infinity(group.get(), check.get()) != 1) {
    return nullptr;
  }
  // Only s·G + t·P in verification reads these tables; secret k·G goes to the
  // ladder before OpenSSL ever looks at them.
  if (!EC_GROUP_precompute_mult(group.get(), ctx.get())) return nullptr;

  auto* c = new Curve;
  c->group = group.release();
  c->p = p.release();
  c->n = n.release();
  return c;
}

}  // namespace

const Curve* CurveByNid(int nid) {
  static const Curve* const recommended = Build(NID_prime256v1SM2);
  static const Curve* const example = Build(NID_prime256v1SM2TEST);
  if (nid == NID_prime256v1SM2) return recommended;
  if (nid == NID_prime256v1SM2TEST) return example;
  return nullptr;
}

const BIGNUM* Prime(const Curve& c) { return c.p; }
const BIGNUM* Order(const Curve& c) { return c.n; }

EcPointPtr NewPoint(const Curve& c) { return EcPointPtr(EC_POINT_new(c.group)); }

bool SetAffine(const Curve& c, EC_POINT* pt, const BIGNUM* x, const BIGNUM* y, BN_CTX* ctx) {
  if (x == nullptr || y == nullptr || BN_is_negative(x) || BN_is_negative(y) ||
      BN_cmp(x, c.p) >= 0 || BN_cmp(y, c.p) >= 0) {
    return false;
  }
  // OpenSSL 3 checks the curve equation here itself.
  return EC_POINT_set_affine_coordinates(c.group, pt, x, y, ctx) == 1;
}

bool GetAffine(const Curve& c, const EC_POINT* pt, BIGNUM* x, BIGNUM* y, BN_CTX* ctx) {
  return !IsAtInfinity(c, pt) && EC_POINT_get_affine_coordinates(c.group, pt, x, y, ctx) == 1;
}

// Jacobian coordinates: x = X/Z^2.
bool HasAffineX(const Curve& c, const EC_POINT* pt, const BIGNUM* x, BN_CTX* ctx) {
  if (IsAtInfinity(c, pt) || BN_is_negative(x) || BN_cmp(x, c.p) >= 0) return false;
  BN_CTX_start(ctx);
  BIGNUM* X = BN_CTX_get(ctx);
  BIGNUM* Z = BN_CTX_get(ctx);
  BIGNUM* t = BN_CTX_get(ctx);
  // X == x·Z^2 (mod p)
  const bool equal =
      t != nullptr &&
      EC_POINT_get_Jprojective_coordinates_GFp(c.group, pt, X, nullptr, Z, ctx) == 1 &&
      BN_mod_sqr(t, Z, c.p, ctx) && BN_mod_mul(t, t, x, c.p, ctx) &&
      BN_mod_sub(t, X, t, c.p, ctx) && BN_is_zero(t);
  BN_CTX_end(ctx);
  return equal;
}

bool IsAtInfinity(const Curve& c, const EC_POINT* pt) {
  return EC_POINT_is_at_infinity(c.group, pt) == 1;
}

bool MulGenerator(const Curve& c, EC_POINT* r, const BIGNUM* k, BN_CTX* ctx) {
  return EC_POINT_mul(c.group, r, k, nullptr, nullptr, ctx) == 1;
}

bool MulPoint(const Curve& c, EC_POINT* r, const EC_POINT* p, const BIGNUM* k, BN_CTX* ctx) {
  return EC_POINT_mul(c.group, r, nullptr, p, k, ctx) == 1;
}

bool MulAddPublic(const Curve& c, EC_POINT* r, const BIGNUM* s, const EC_POINT* p, const BIGNUM* t,
                  BN_CTX* ctx) {
  return EC_POINT_mul(c.group, r, s, p, t, ctx) == 1;
}

// The fast, variable-time inversion only ever sees a·b for a fresh random b,
// so its timing says nothing about a; cheaper than a Fermat inversion.
bool InverseModOrder(const Curve& c, BIGNUM* r, const BIGNUM* a, BN_CTX* ctx) {
  if (BN_is_zero(a) || BN_is_negative(a) || BN_cmp(a, c.n) >= 0) return false;
  BN_CTX_start(ctx);
  BIGNUM* b = BN_CTX_get(ctx);
  BIGNUM* ab = BN_CTX_get(ctx);
  BIGNUM* abInv = BN_CTX_get(ctx);
  bool ok = abInv != nullptr;
  do {
    ok = ok && BN_priv_rand_range_ex(b, c.n, 0, ctx);
  } while (ok && BN_is_zero(b));
  ok = ok && BN_mod_mul(ab, a, b, c.n, ctx) && BN_mod_inverse(abInv, ab, c.n, ctx) != nullptr &&
       BN_mod_mul(r, abInv, b, c.n, ctx);
  BN_CTX_end(ctx);
  return ok;
}

}  // namespace gmcrypto::ec
