// Small helpers shared by the SM2 test files.
#pragma once

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm3/Sm3.h"

namespace sm2test {

using namespace gmcrypto;
using Bytes = std::vector<unsigned char>;
using Bytes32 = std::array<unsigned char, 32>;

inline std::string ToHex(const unsigned char* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i)
    s += "0123456789ABCDEF"[p[i] >> 4], s += "0123456789ABCDEF"[p[i] & 15];
  return s;
}
inline std::string ToHex(const auto& c) { return ToHex(c.data(), c.size()); }

inline BnPtr Bn(const unsigned char* p, std::size_t n) {
  return BnPtr(BN_bin2bn(p, static_cast<int>(n), nullptr));
}
// Spaces are ignored so values can be copied as the standard prints them.
inline BnPtr Bn(std::string_view hex) {
  std::string digits;
  for (char ch : hex) {
    if (ch != ' ') digits += ch;
  }
  BIGNUM* bn = nullptr;
  BN_hex2bn(&bn, digits.c_str());
  return BnPtr(bn);
}
inline BnPtr Copy(const BIGNUM* v) { return BnPtr(BN_dup(v)); }
inline Bytes32 To32(const BIGNUM* v) {
  Bytes32 out{};
  BN_bn2binpad(v, out.data(), 32);
  return out;
}

inline Bytes Random(std::size_t n) {
  Bytes b(n);
  if (n > 0) RAND_bytes(b.data(), static_cast<int>(n));
  return b;
}

inline Bytes32 Sm3Of(const Bytes& a, const Bytes& b) {
  Bytes32 out;
  SM3_CTX c;
  SM3_Init(&c);
  SM3_Update(&c, a.data(), a.size());
  SM3_Update(&c, b.data(), b.size());
  SM3_Final(out.data(), &c);
  return out;
}

struct KeyPair {
  BnPtr d, x, y;
};

// (x, y) = d·G.
inline KeyPair KeyFromPrivate(int nid, const BIGNUM* d) {
  const ec::Curve& curve = *ec::CurveByNid(nid);
  KeyPair k{Copy(d), BnPtr(BN_new()), BnPtr(BN_new())};
  BnCtxPtr ctx(BN_CTX_new());
  EcPointPtr pt = ec::NewPoint(curve);
  if (!ec::MulGenerator(curve, pt.get(), d, ctx.get()) ||
      !ec::GetAffine(curve, pt.get(), k.x.get(), k.y.get(), ctx.get())) {
    k.d.reset();
  }
  return k;
}

// d uniformly in [1, n-2].
inline KeyPair RandomKey(int nid = NID_prime256v1SM2) {
  BnPtr limit = Copy(ec::Order(*ec::CurveByNid(nid))), d(BN_new());
  BN_sub_word(limit.get(), 2);
  BN_rand_range(d.get(), limit.get());
  BN_add_word(d.get(), 1);
  return KeyFromPrivate(nid, d.get());
}

// e = SM3(Z || M) with the default identity on curve 893.
inline Bytes32 DefaultDigest(const KeyPair& k, const Bytes& m) {
  const Bytes32 x = To32(k.x.get()), y = To32(k.y.get());
  Bytes z(32);
  _SM2_CalculateDefaultZValue(x.data(), y.data(), z.data());
  return Sm3Of(z, m);
}

inline EcdsaSigPtr Sig(BnPtr r, BnPtr s) {
  EcdsaSigPtr sig(ECDSA_SIG_new());
  ECDSA_SIG_set0(sig.get(), r.release(), s.release());
  return sig;
}

}  // namespace sm2test
