// SM2 (GB/T 32918): signatures, public-key encryption and their helpers.
//
// Every function returns 1 on success and 0 on failure unless noted. Private
// keys, digests, coordinates, r and s travel as 32-byte big-endian strings,
// left-padded with zeros. Curves are named by NID: 893 is the recommended
// curve and 894 the example curve of the standard; nothing else is accepted.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>

#include "gmcrypto/objects/Objects.h"

namespace gmcrypto {

// Writes bn big-endian, right-aligned in 32 bytes. Fails for negative
// numbers and numbers of more than 32 bytes.
int _SM2_GetBNBytes(const BIGNUM* bn, unsigned char out[32]);
// Reads a big-endian number; of a longer input only the leading 32 bytes.
int _SM2_Bytes2BN(const unsigned char* in, int len, BIGNUM* out);

// Z = SM3(ENTL || id || a || b || xG || yG || xA || yA); idLen at most 8191.
int _SM2_CalculateZValue(const unsigned char* id, int idLen, const BIGNUM* a, const BIGNUM* b,
                         const BIGNUM* xG, const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA,
                         unsigned char out[32]);
// Z on curve 893 with the default identity "1234567812345678".
int _SM2_CalculateDefaultZValue(const unsigned char xA[32], const unsigned char yA[32],
                                unsigned char out[32]);

// Signs the digest e = SM3(Z || M) with d in [1, n-2]. Returns a new {r, s}
// for the caller to free, or nullptr.
ECDSA_SIG* _SM2_sign_core(const BIGNUM* e, const BIGNUM* d, int nid);
// 1 for a valid signature, 0 for an invalid one or on failure.
int _SM2_verify_core(const ECDSA_SIG* sig, const BIGNUM* xA, const BIGNUM* yA, const BIGNUM* e,
                     int nid);

// The same on curve 893, in bytes. r and s are written only on success.
int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32],
                 unsigned char s[32]);
int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32], const unsigned char xA[32],
                   const unsigned char yA[32], const unsigned char e[32]);

// 1 when 0 <= x, y < p and (x, y) lies on the curve.
int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int nid);

// Key derivation with SM3: klen bits (a positive multiple of 8) of key
// stream from Z into out.
int _SM2_KDF(const unsigned char* Z, int zlen, int klen, unsigned char* out);

// Encrypts M (mlen >= 1) to (xB, yB). out, of mlen + 97 bytes and not
// overlapping M, receives 04 || x1 || y1 || C2 || C3; on failure it is zeroed.
int _SM2_encrypt(int nid, const unsigned char* M, int mlen, const BIGNUM* xB, const BIGNUM* yB,
                 unsigned char* out);
// Decrypts C1 || C2 || C3 (clen >= 98) with dB into out (clen - 97 bytes).
// C3 is checked before returning 1; on any failure out is zeroed, so no
// unverified plaintext is left behind.
int _SM2_decrypt(int nid, const unsigned char* C, int clen, const BIGNUM* dB, unsigned char* out);

}  // namespace gmcrypto
