// Test-only entry points: signing and encryption with a given k, for the
// worked examples of GB/T 32918. Never for real use: a k that is known or
// used twice gives the private key away. Not part of the public interface.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

namespace gmcrypto::sm2testing {

// As _SM2_sign_core, with k in [1, n-1] fixed; nullptr if this k would have
// to be redrawn.
ECDSA_SIG* SignWithFixedNonceForTesting(const BIGNUM* e, const BIGNUM* d, const BIGNUM* k, int nid);
// As _SM2_encrypt, with k in [1, n-1] fixed.
int EncryptWithFixedNonceForTesting(int nid, const unsigned char* M, int mlen, const BIGNUM* xB,
                                    const BIGNUM* yB, const BIGNUM* k, unsigned char* out);

}  // namespace gmcrypto::sm2testing
