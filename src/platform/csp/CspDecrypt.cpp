// CryptDecrypt with a container's private key: SM2 (x1 || y1 || C3 || C2)
// and RSA PKCS #1 v1.5 (byte-reversed).
#include <openssl/bn.h>
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

HRESULT DecryptSm2(EVP_PKEY* key, BYTE* data, DWORD* length) {
  // 64 bytes of point, 32 of C3, at least one of C2.
  const DWORD size = *length;
  if (size < 97) return NTE_BAD_DATA;
  SecretBytes d;
  if (!Sm2PrivateScalar(key, &d)) return NTE_BAD_KEY;
  foundation::Unique<BIGNUM, BN_clear_free> scalar(BN_secure_new());
  if (!scalar || BN_bin2bn(d.data(), static_cast<int>(d.size()), scalar.get()) == nullptr)
    return NTE_FAIL;
  // Our decryption takes C1 || C2 || C3 with the point's 04 prefix.
  const DWORD textLength = size - 96;
  std::vector<BYTE> reordered;
  reordered.reserve(size + 1);
  reordered.push_back(0x04);
  reordered.insert(reordered.end(), data, data + 64);
  reordered.insert(reordered.end(), data + 96, data + size);
  reordered.insert(reordered.end(), data + 64, data + 96);
  SecretBytes plain(textLength);
  if (gmcrypto::_SM2_decrypt(gmcrypto::NID_prime256v1SM2, reordered.data(),
                             static_cast<int>(reordered.size()), scalar.get(), plain.data()) != 1)
    return NTE_BAD_DATA;
  std::memcpy(data, plain.data(), textLength);
  *length = textLength;
  return S_OK;
}

HRESULT DecryptRsa(EVP_PKEY* key, BYTE* data, DWORD* length) {
  const DWORD size = *length;
  if (!EVP_PKEY_is_a(key, "RSA")) return NTE_BAD_KEY;
  if (size != static_cast<DWORD>(EVP_PKEY_get_size(key))) return NTE_BAD_DATA;
  std::vector<BYTE> cipher(data, data + size);
  std::reverse(cipher.begin(), cipher.end());
  foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    return NTE_FAIL;
  SecretBytes plain(size);
  std::size_t textLength = plain.size();
  if (EVP_PKEY_decrypt(ctx.get(), plain.data(), &textLength, cipher.data(), cipher.size()) != 1) {
    ERR_clear_error();
    return NTE_BAD_DATA;
  }
  std::memcpy(data, plain.data(), textLength);
  *length = static_cast<DWORD>(textLength);
  return S_OK;
}

}  // namespace
}  // namespace platform::csp::detail

using namespace platform::csp;
using namespace platform::csp::detail;

BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                  DWORD* pdwDataLen) {
  auto key = LookupKey(hKey);
  if (!key) return Fail(NTE_BAD_KEY);
  // Public keys brought in alone cannot decrypt.
  if (!IsKeySpec(key->keySpec)) return Fail(NTE_BAD_KEY);
  if (hHash != 0) return Fail(NTE_BAD_HASH);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  if (!Final) return Fail(NTE_BAD_DATA);
  if (pbData == nullptr || pdwDataLen == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  EVP_PKEY* pkey = key->pair->key;
  HRESULT hr = IsSm2Key(pkey) ? DecryptSm2(pkey, pbData, pdwDataLen)
                              : DecryptRsa(pkey, pbData, pdwDataLen);
  return SUCCEEDED(hr) ? TRUE : Fail(hr);
}
