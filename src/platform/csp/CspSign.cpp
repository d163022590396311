// CryptSignHashW and CryptVerifySignatureW: RSA PKCS #1 v1.5 and SM2 over
// the hash objects of CspHash.cpp, in CryptoAPI's little-endian orders.
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>

#include "foundation/Unique.h"
#include "gmcrypto/sm2/Sm2.h"
#include "platform/csp/CspHashInternal.h"
#include "platform/base/LastError.h"

namespace platform::csp::detail {
namespace {

using UniquePkeyCtx = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

// SM2 signatures travel as two separately reversed halves, so r and s each
// read as the little-endian integers CryptoAPI uses everywhere.
void ReverseHalves(BYTE* signature) {
  std::reverse(signature, signature + 32);
  std::reverse(signature + 32, signature + 64);
}

const Sm3Lane* LaneFor(const HashObject& hash, EVP_PKEY* key) {
  Sm2Point point;
  if (!Sm2PublicPoint(key, &point)) return nullptr;
  for (const Sm3Lane& lane : hash.lanes)
    if (lane.point == point) return &lane;
  return nullptr;
}

// Ready for sign or verify with PKCS #1 v1.5 over the hash's DigestInfo
// (or over the bare digest with CRYPT_NOHASHOID).
UniquePkeyCtx RsaContext(EVP_PKEY* key, ALG_ID algId, DWORD flags, bool sign) {
  UniquePkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx) return nullptr;
  if ((sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return nullptr;
  if ((flags & CRYPT_NOHASHOID) == 0 &&
      EVP_PKEY_CTX_set_signature_md(ctx.get(), DigestOf(algId)) != 1)
    return nullptr;
  return ctx;
}

}  // namespace
}  // namespace platform::csp::detail

using namespace platform::csp;
using namespace platform::csp::detail;

BOOL CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR /*szDescription*/, DWORD dwFlags,
                    BYTE* pbSignature, DWORD* pdwSigLen) {
  auto hash = LookupHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (pdwSigLen == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~CRYPT_NOHASHOID) != 0) return Fail(NTE_BAD_FLAGS);
  std::shared_ptr<const KeyPair> pair;
  HRESULT hr = hash->context->GetKeyPair(dwKeySpec, &pair);
  if (FAILED(hr)) return Fail(hr);
  EVP_PKEY* key = pair->key;
  const bool sm2 = IsSm2Key(key);
  DWORD size = 0;
  if (sm2) {
    if (hash->algId != CALG_SM3) return Fail(NTE_BAD_ALGID);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    size = 64;
  } else {
    if (!EVP_PKEY_is_a(key, "RSA")) return Fail(NTE_BAD_KEY);
    if (DigestOf(hash->algId) == nullptr) return Fail(NTE_BAD_ALGID);
    size = static_cast<DWORD>(EVP_PKEY_get_size(key));
  }
  if (pbSignature == nullptr) {
    *pdwSigLen = size;
    return TRUE;
  }
  if (*pdwSigLen < size) {
    *pdwSigLen = size;
    return FailWin32(ERROR_MORE_DATA);
  }

  std::lock_guard lock(hash->mutex);
  if (!hash->Close()) return Fail(NTE_FAIL);
  if (sm2) {
    const Sm3Lane* lane = LaneFor(*hash, key);
    // The hash was bound to another key's Z at creation.
    if (lane == nullptr) return Fail(NTE_BAD_KEY);
    SecretBytes d;
    if (!Sm2PrivateScalar(key, &d)) return Fail(NTE_BAD_KEY);
    if (gmcrypto::_SM2_sign_ex(lane->value.data(), d.data(), pbSignature, pbSignature + 32) != 1)
      return Fail(NTE_FAIL);
    ReverseHalves(pbSignature);
  } else {
    UniquePkeyCtx ctx = RsaContext(key, hash->algId, dwFlags, true);
    std::size_t length = size;
    if (!ctx || EVP_PKEY_sign(ctx.get(), pbSignature, &length, hash->value.data(),
                              hash->value.size()) != 1)
      return Fail(NTE_FAIL);
    size = static_cast<DWORD>(length);
    std::reverse(pbSignature, pbSignature + size);
  }
  *pdwSigLen = size;
  return TRUE;
}

BOOL CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                           HCRYPTKEY hPubKey, LPCWSTR /*szDescription*/, DWORD dwFlags) {
  auto hash = LookupHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  auto keyObject = LookupKey(hPubKey);
  if (!keyObject) return Fail(NTE_BAD_KEY);
  if (pbSignature == nullptr && dwSigLen != 0) return FailWin32(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~CRYPT_NOHASHOID) != 0) return Fail(NTE_BAD_FLAGS);
  EVP_PKEY* key = keyObject->pair->key;
  const bool sm2 = IsSm2Key(key);
  if (sm2 ? hash->algId != CALG_SM3 : DigestOf(hash->algId) == nullptr)
    return Fail(NTE_BAD_ALGID);
  if (!sm2 && !EVP_PKEY_is_a(key, "RSA")) return Fail(NTE_BAD_KEY);

  std::lock_guard lock(hash->mutex);
  if (!hash->Close()) return Fail(NTE_FAIL);
  std::vector<BYTE> signature(pbSignature, pbSignature + dwSigLen);
  if (sm2) {
    const Sm3Lane* lane = LaneFor(*hash, key);
    if (dwSigLen != 64 || dwFlags != 0 || lane == nullptr) return Fail(NTE_BAD_SIGNATURE);
    ReverseHalves(signature.data());
    const BYTE* point = lane->point.data();
    if (gmcrypto::_SM2_verify_ex(signature.data(), signature.data() + 32, point, point + 32,
                                 lane->value.data()) != 1)
      return Fail(NTE_BAD_SIGNATURE);
    return TRUE;
  }
  std::reverse(signature.begin(), signature.end());
  UniquePkeyCtx ctx = RsaContext(key, hash->algId, dwFlags, false);
  if (!ctx) return Fail(NTE_FAIL);
  if (EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash->value.data(),
                      hash->value.size()) != 1) {
    ERR_clear_error();  // an expected outcome, not a fault to report later
    return Fail(NTE_BAD_SIGNATURE);
  }
  return TRUE;
}
