#include <openssl/crypto.h>

#include <climits>
#include <cstddef>

#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm2/Sm2Internal.h"
#include "gmcrypto/sm2/Sm2Kdf.h"
#include "gmcrypto/sm2/Sm2Testing.h"
#include "gmcrypto/sm3/Sm3.h"

namespace gmcrypto {
namespace {

constexpr int kC1Len = 65;  // 04 || x1 || y1
constexpr int kC3Len = 32;
constexpr int kOverhead = kC1Len + kC3Len;

// Zeroes a buffer when it goes out of scope unless told to keep it: the
// output of a failed call holds neither key stream nor unverified plaintext.
class WipeUnlessKept {
 public:
  WipeUnlessKept(unsigned char* p, std::size_t n) : p_(p), n_(n) {}
  ~WipeUnlessKept() {
    if (!kept_) OPENSSL_cleanse(p_, n_);
  }
  WipeUnlessKept(const WipeUnlessKept&) = delete;
  WipeUnlessKept& operator=(const WipeUnlessKept&) = delete;
  void Keep() { kept_ = true; }

 private:
  unsigned char* p_;
  std::size_t n_;
  bool kept_ = false;
};

// x2 || y2, the shared secret point as bytes.
struct SharedPoint {
  unsigned char bytes[64];
  ~SharedPoint() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

// (x, y) of pt as 32 + 32 bytes.
bool PointBytes(const ec::Curve& curve, const EC_POINT* pt, unsigned char out[64], BN_CTX* ctx) {
  BnPtr x(BN_new()), y(BN_new());
  return x && y && ec::GetAffine(curve, pt, x.get(), y.get(), ctx) &&
         _SM2_GetBNBytes(x.get(), out) && _SM2_GetBNBytes(y.get(), out + 32);
}

void HashC3(const SharedPoint& s, const unsigned char* m, std::size_t mlen, unsigned char out[32]) {
  SM3_CTX c;
  SM3_Init(&c);
  SM3_Update(&c, s.bytes, 32);
  SM3_Update(&c, m, mlen);
  SM3_Update(&c, s.bytes + 32, 32);
  SM3_Final(out, &c);
  OPENSSL_cleanse(&c, sizeof c);
}

int Encrypt(int nid, const unsigned char* M, int mlen, const BIGNUM* xB, const BIGNUM* yB,
            const BIGNUM* fixedK, unsigned char* out) {
  // An empty message has no key stream to derive.
  if (out == nullptr || mlen <= 0 || mlen > INT_MAX - kOverhead) return 0;
  const auto len = static_cast<std::size_t>(mlen);
  WipeUnlessKept guard(out, len + kOverhead);
  const ec::Curve* curve = ec::CurveByNid(nid);
  if (curve == nullptr || M == nullptr || xB == nullptr || yB == nullptr) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr k(BN_new());
  EcPointPtr pb = ec::NewPoint(*curve), c1 = ec::NewPoint(*curve), kpb = ec::NewPoint(*curve);
  if (!ctx || !k || !pb || !c1 || !kpb) return 0;
  // Off-curve or out-of-range recipient keys are refused. A3: S = [h]PB with
  // h = 1 is PB itself, and an affine point is never at infinity.
  if (!ec::SetAffine(*curve, pb.get(), xB, yB, ctx.get())) return 0;

  SharedPoint shared;
  const int draws = fixedK != nullptr ? 1 : sm2internal::kMaxNonceDraws;
  for (int i = 0; i < draws; ++i) {
    // A1: k in [1, n-1]
    if (!sm2internal::DrawNonce(k.get(), ec::Order(*curve), fixedK, ctx.get())) return 0;
    // A2: C1 = [k]G = (x1, y1)
    out[0] = 0x04;
    if (!ec::MulGenerator(*curve, c1.get(), k.get(), ctx.get()) ||
        !PointBytes(*curve, c1.get(), out + 1, ctx.get())) {
      return 0;
    }
    // A4: [k]PB = (x2, y2)
    if (!ec::MulPoint(*curve, kpb.get(), pb.get(), k.get(), ctx.get()) ||
        !PointBytes(*curve, kpb.get(), shared.bytes, ctx.get())) {
      return 0;
    }
    // A5, A6: C2 = M xor KDF(x2 || y2, 8·mlen); an all-zero key stream needs another k
    if (sm2internal::KdfXor(shared.bytes, sizeof shared.bytes, M, out + kC1Len, len) == 0) {
      continue;
    }
    // A7: C3 = SM3(x2 || M || y2)
    HashC3(shared, M, len, out + kC1Len + len);
    guard.Keep();
    return 1;
  }
  return 0;
}

}  // namespace

int _SM2_encrypt(int nid, const unsigned char* M, int mlen, const BIGNUM* xB, const BIGNUM* yB,
                 unsigned char* out) {
  return Encrypt(nid, M, mlen, xB, yB, nullptr, out);
}

int _SM2_decrypt(int nid, const unsigned char* C, int clen, const BIGNUM* dB, unsigned char* out) {
  // At least one byte of C2: an empty key stream cannot be derived.
  if (out == nullptr || clen < kOverhead + 1) return 0;
  const auto len = static_cast<std::size_t>(clen - kOverhead);
  WipeUnlessKept guard(out, len);
  const ec::Curve* curve = ec::CurveByNid(nid);
  if (curve == nullptr || C == nullptr || dB == nullptr) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr x1(BN_new()), y1(BN_new());
  EcPointPtr c1 = ec::NewPoint(*curve), dc1 = ec::NewPoint(*curve);
  if (!ctx || !x1 || !y1 || !c1 || !dc1) return 0;
  if (!sm2internal::PrivateKeyInRange(dB, ec::Order(*curve), ctx.get())) return 0;

  // B1: C1 = 04 || x1 || y1 must lie on the curve
  if (C[0] != 0x04 || !_SM2_Bytes2BN(C + 1, 32, x1.get()) || !_SM2_Bytes2BN(C + 33, 32, y1.get()) ||
      !ec::SetAffine(*curve, c1.get(), x1.get(), y1.get(), ctx.get())) {
    return 0;
  }
  // B2: S = [h]C1 with h = 1 is C1, affine and so not at infinity.
  // B3: [dB]C1 = (x2, y2)
  SharedPoint shared;
  if (!ec::MulPoint(*curve, dc1.get(), c1.get(), dB, ctx.get()) ||
      !PointBytes(*curve, dc1.get(), shared.bytes, ctx.get())) {
    return 0;
  }
  // B4, B5: M' = C2 xor KDF(x2 || y2, 8·mlen); an all-zero key stream is refused
  if (sm2internal::KdfXor(shared.bytes, sizeof shared.bytes, C + kC1Len, out, len) == 0) {
    return 0;
  }
  // B6: u = SM3(x2 || M' || y2) must equal C3
  unsigned char u[kC3Len];
  HashC3(shared, out, len, u);
  const bool match = CRYPTO_memcmp(u, C + kC1Len + len, kC3Len) == 0;
  OPENSSL_cleanse(u, sizeof u);
  if (!match) return 0;
  guard.Keep();
  return 1;
}

namespace sm2testing {

int EncryptWithFixedNonceForTesting(int nid, const unsigned char* M, int mlen, const BIGNUM* xB,
                                    const BIGNUM* yB, const BIGNUM* k, unsigned char* out) {
  return k != nullptr ? Encrypt(nid, M, mlen, xB, yB, k, out) : 0;
}

}  // namespace sm2testing
}  // namespace gmcrypto
