// Hash objects, signatures and private-key decryption over the provider keys
// of Csp.h, shaped like CryptoAPI's advapi32 calls.
//
// Hash handles are checked like the others: one that is not live gives FALSE
// with NTE_BAD_HASH, a key handle that is not live NTE_BAD_KEY, a provider
// handle ERROR_INVALID_HANDLE.
//
// SM3 in the SM2 provider is the SM2 signing digest SM3(Z || M), Z taken over
// the identity "1234567812345678" and a public key fixed at CryptCreateHash:
// the key handle given there, or else the container's own pairs. With no key
// handle every distinct pair of the container (AT_SIGNATURE first, then
// AT_KEYEXCHANGE) gets a digest of its own, so CryptSignHashW signs right
// with either key pair; HP_HASHVAL reports the first (the AT_SIGNATURE pair's
// when there is one), which is the pair signing normally uses. A verify
// context has no pairs, so verifying there needs the public key handle at
// CryptCreateHash (NTE_NO_KEY without one).
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/csp/Csp.h"
#include "platform/base/WinTypes.h"

inline constexpr ALG_ID CALG_MD5 = 0x00008003;
inline constexpr ALG_ID CALG_SHA1 = 0x00008004;
inline constexpr ALG_ID CALG_SHA_256 = 0x0000800C;
inline constexpr ALG_ID CALG_SHA_384 = 0x0000800D;
inline constexpr ALG_ID CALG_SHA_512 = 0x0000800E;
// The identifier the SM2 CSPs accept for SM3 (hash class, sub-identifier 15).
inline constexpr ALG_ID CALG_SM3 = 0x0000800F;

inline constexpr DWORD HP_ALGID = 0x0001;
inline constexpr DWORD HP_HASHVAL = 0x0002;
inline constexpr DWORD HP_HASHSIZE = 0x0004;

// Signature without the DigestInfo prefix (RSA only).
inline constexpr DWORD CRYPT_NOHASHOID = 0x00000001;

// MD5, SHA-1 and SHA-2 in every provider; CALG_SM3 only in the SM2 provider
// (NTE_BAD_ALGID elsewhere and for anything else). hKey is used by SM3 only
// (see above); NTE_BAD_FLAGS for flags.
BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash);
// NTE_BAD_HASH_STATE once the value has been read or signed.
BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
// HP_ALGID, HP_HASHSIZE: a DWORD; HP_HASHVAL: the digest, which closes the
// hash to further data. Null pbData asks for the size; a small buffer gives
// ERROR_MORE_DATA; NTE_BAD_TYPE for other parameters.
BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);
BOOL CryptDestroyHash(HCRYPTHASH hHash);
// An independent copy in the same state, closed or not.
BOOL CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags, HCRYPTHASH* phHash);

// Signs the hash with the container's key pair of that kind (NTE_NO_KEY when
// it has none). RSA: PKCS #1 v1.5 over the DigestInfo of the hash algorithm
// (CRYPT_NOHASHOID: over the bare digest), byte-reversed as CryptoAPI hands
// signatures out. SM2 (CALG_SM3 hashes only, else NTE_BAD_ALGID): 64 bytes
// r || s, each half byte-reversed on its own. Null pbSignature asks for the
// size; a small buffer gives ERROR_MORE_DATA. szDescription is ignored.
BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen);
// The inverse, with any key handle holding a public key; NTE_BAD_SIGNATURE
// when the signature does not check.
BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);

// A key handle over an RSA public key (any provider) or an SM2 public key
// (the SM2 provider only; NTE_BAD_ALGID elsewhere and for other keys).
// NTE_BAD_PUBLIC_KEY for a key that does not decode.
BOOL CryptImportPublicKeyInfo(HCRYPTPROV hProv, DWORD dwCertEncodingType,
                              PCERT_PUBLIC_KEY_INFO pInfo, HCRYPTKEY* phKey);

// Private-key decryption in place, *pdwDataLen in: ciphertext length, out:
// plaintext length. SM2: x1 || y1 || C3 || C2 (no 04 prefix). RSA: PKCS #1
// v1.5, byte-reversed. Whole messages only: Final must be TRUE, hHash 0.
// NTE_BAD_DATA for a ciphertext that does not decrypt under this key.
BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen);
