
#include <optional>

#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "gmcrypto/sm2/Sm2Curves.h"
#include "gmcrypto/sm3/Sm3.h"

namespace gmcrypto {

namespace {

constexpr unsigned char kDefaultId[] = "1234567812345678";
constexpr int kDefaultIdLen = sizeof(kDefaultId) - 1;
// ENTL is two bytes of bits.
constexpr int kMaxIdLen = 0xFFFF / 8;

void HashPrefix(SM3_CTX* c, const unsigned char* id, int idLen, const unsigned char abG[128]) {
  const unsigned bits = static_cast<unsigned>(idLen) * 8;
  const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8),
                                 static_cast<unsigned char>(bits)};
  SM3_Init(c);
  SM3_Update(c, entl, sizeof entl);
  SM3_Update(c, id, static_cast<std::size_t>(idLen));
  SM3_Update(c, abG, 128);
}

// Curve 893 and the default identity are fixed, so the hash state after
// ENTL || ID || a || b || xG || yG is too: two of the four blocks, done once.
std::optional<SM3_CTX> BuildDefaultPrefix() {
  const Sm2CurveParams* prm = FindSm2CurveParams(NID_prime256v1SM2);
  unsigned char abG[128];
  const char* hex[4] = {prm->a, prm->b, prm->xG, prm->yG};
  for (int i = 0; i < 4; ++i) {
    BIGNUM* raw = nullptr;
    if (BN_hex2bn(&raw, hex[i]) == 0) return std::nullopt;
    BnPtr bn(raw);
    if (!_SM2_GetBNBytes(bn.get(), abG + 32 * i)) return std::nullopt;
  }
  SM3_CTX c;
  HashPrefix(&c, kDefaultId, kDefaultIdLen, abG);
  return c;
}

}  // namespace

int _SM2_CalculateZValue(const unsigned char* id, int idLen, const BIGNUM* a, const BIGNUM* b,
                         const BIGNUM* xG, const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA,
                         unsigned char out[32]) {
  if (out == nullptr || idLen < 0 || idLen > kMaxIdLen || (id == nullptr && idLen > 0)) return 0;
  unsigned char abG[128], pub[64];
  if (!_SM2_GetBNBytes(a, abG) || !_SM2_GetBNBytes(b, abG + 32) || !_SM2_GetBNBytes(xG, abG + 64) ||
      !_SM2_GetBNBytes(yG, abG + 96) || !_SM2_GetBNBytes(xA, pub) ||
      !_SM2_GetBNBytes(yA, pub + 32)) {
    return 0;
  }
  SM3_CTX c;
  HashPrefix(&c, id, idLen, abG);
  SM3_Update(&c, pub, sizeof pub);
  SM3_Final(out, &c);
  return 1;
}

int _SM2_CalculateDefaultZValue(const unsigned char xA[32], const unsigned char yA[32],
                                unsigned char out[32]) {
  static const std::optional<SM3_CTX> prefix = BuildDefaultPrefix();
  if (!prefix || xA == nullptr || yA == nullptr || out == nullptr) return 0;
  SM3_CTX c = *prefix;
  SM3_Update(&c, xA, 32);
  SM3_Update(&c, yA, 32);
  SM3_Final(out, &c);
  return 1;
}

}  // namespace gmcrypto
