// Helpers shared by SM2 signing and encryption (internal).
#pragma once

#include <openssl/bn.h>

namespace gmcrypto::sm2internal {

// Sets k in [1, n-1] with BN_FLG_CONSTTIME: uniformly at random, or the
// given fixed value (tests only) if it is in range.
bool DrawNonce(BIGNUM* k, const BIGNUM* n, const BIGNUM* fixed, BN_CTX* ctx);

// How often one call draws k before giving up: a redraw has probability
// about 2^-255, so needing more means a broken generator.
inline constexpr int kMaxNonceDraws = 16;

// A private key lies in [1, n-2] (so that 1 + d is invertible mod n).
bool PrivateKeyInRange(const BIGNUM* d, const BIGNUM* n, BN_CTX* ctx);

// Puts a failure on OpenSSL's error queue, under the EC library where
// OpenSSL 3 reports its own ECDSA failures.
void RaiseError(int reason);

}  // namespace gmcrypto::sm2internal
