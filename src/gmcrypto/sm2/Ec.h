// The elliptic-curve arithmetic SM2 leans on: OpenSSL's prime-field groups
// and points, behind one small interface so that the low-level EC API (most
// of it deprecated in OpenSSL 3.0) is used in Ec.cpp and nowhere else.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <memory>

#include "foundation/Unique.h"

namespace gmcrypto {

using BnPtr = foundation::Unique<BIGNUM, BN_clear_free>;
using BnCtxPtr = foundation::Unique<BN_CTX, BN_CTX_free>;
using EcPointPtr = foundation::Unique<EC_POINT, EC_POINT_clear_free>;
using EcdsaSigPtr = foundation::Unique<ECDSA_SIG, ECDSA_SIG_free>;

namespace ec {

// One of our curves, built once and shared read-only by every thread.
struct Curve;

// nullptr for any NID but the two SM2 curves.
const Curve* CurveByNid(int nid);

const BIGNUM* Prime(const Curve& c);
const BIGNUM* Order(const Curve& c);

EcPointPtr NewPoint(const Curve& c);

// Fails unless 0 <= x, y < p and (x, y) satisfies the curve equation: a
// coordinate plus p would otherwise be reduced silently and accepted.
bool SetAffine(const Curve& c, EC_POINT* pt, const BIGNUM* x, const BIGNUM* y, BN_CTX* ctx);
// Fails at infinity. y may be null. The inversion is OpenSSL's constant-time
// one (and free for the ladder's results, which are affine already).
bool GetAffine(const Curve& c, const EC_POINT* pt, BIGNUM* x, BIGNUM* y, BN_CTX* ctx);
// Whether pt is finite with affine x-coordinate x (0 <= x < p), compared in
// projective form with no inversion at all. Public points only.
bool HasAffineX(const Curve& c, const EC_POINT* pt, const BIGNUM* x, BN_CTX* ctx);
bool IsAtInfinity(const Curve& c, const EC_POINT* pt);

// r = k·G and r = k·P for secret k in [0, n): both go to OpenSSL's
// Montgomery ladder (with coordinate blinding), whatever tables the group
// carries.
bool MulGenerator(const Curve& c, EC_POINT* r, const BIGNUM* k, BN_CTX* ctx);
bool MulPoint(const Curve& c, EC_POINT* r, const EC_POINT* p, const BIGNUM* k, BN_CTX* ctx);
// r = s·G + t·P for public s and t only: variable-time wNAF using the
// precomputed multiples of G.
bool MulAddPublic(const Curve& c, EC_POINT* r, const BIGNUM* s, const EC_POINT* p, const BIGNUM* t,
                  BN_CTX* ctx);

// r = a^-1 mod n for 0 < a < n; a may be secret (the inversion is blinded).
bool InverseModOrder(const Curve& c, BIGNUM* r, const BIGNUM* a, BN_CTX* ctx);

}  // namespace ec
}  // namespace gmcrypto
