#include "gmcrypto/sm2/Sm2Internal.h"

#include <openssl/err.h>
#include <openssl/rand.h>

namespace gmcrypto::sm2internal {

bool DrawNonce(BIGNUM* k, const BIGNUM* n, const BIGNUM* fixed, BN_CTX* ctx) {
  if (fixed != nullptr) {
    if (BN_is_zero(fixed) || BN_is_negative(fixed) || BN_cmp(fixed, n) >= 0 ||
        BN_copy(k, fixed) == nullptr) {
      return false;
    }
  } else {
    do {
      if (!BN_priv_rand_range_ex(k, n, 0, ctx)) return false;
    } while (BN_is_zero(k));
  }
  BN_set_flags(k, BN_FLG_CONSTTIME);
  return true;
}

bool PrivateKeyInRange(const BIGNUM* d, const BIGNUM* n, BN_CTX* ctx) {
  if (d == nullptr || BN_is_zero(d) || BN_is_negative(d)) return false;
  BN_CTX_start(ctx);
  BIGNUM* dPlus1 = BN_CTX_get(ctx);
  const bool ok = dPlus1 != nullptr && BN_copy(dPlus1, d) != nullptr && BN_add_word(dPlus1, 1) &&
                  BN_cmp(dPlus1, n) < 0;
  BN_CTX_end(ctx);
  return ok;
}

void RaiseError(int reason) { ERR_raise(ERR_LIB_EC, reason); }

}  // namespace gmcrypto::sm2internal
