// Hash objects: the handle table, CryptCreateHash and its companions.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <cstring>
#include <unordered_map>

#include "gmcrypto/sm2/Sm2.h"
#include "platform/csp/CspHashInternal.h"
#include "platform/base/LastError.h"

namespace platform::csp::detail {

namespace {

class HashTable {
 public:
  HCRYPTHASH Add(std::shared_ptr<HashObject> hash) {
    HCRYPTHASH handle = NewHandleValue();
    std::lock_guard lock(mutex_);
    hashes_.emplace(handle, std::move(hash));
    return handle;
  }
  std::shared_ptr<HashObject> Find(HCRYPTHASH handle) {
    std::lock_guard lock(mutex_);
    auto it = hashes_.find(handle);
    return it == hashes_.end() ? nullptr : it->second;
  }
  bool Remove(HCRYPTHASH handle) { return EraseOutsideLock(mutex_, hashes_, handle); }

 private:
  std::mutex mutex_;
  std::unordered_map<HCRYPTHASH, std::shared_ptr<HashObject>> hashes_;
};

HashTable& Hashes() {
  static auto* table = new HashTable;  // handles may be released during teardown
  return *table;
}

bool StartLane(const Sm2Point& point, Sm3Lane* lane) {
  unsigned char z[32];
  if (gmcrypto::_SM2_CalculateDefaultZValue(point.data(), point.data() + 32, z) != 1) return false;
  lane->point = point;
  return gmcrypto::SM3_Init(&lane->ctx) == 1 && gmcrypto::SM3_Update(&lane->ctx, z, sizeof z) == 1;
}

// The SM3 lanes for a new hash: the key handle's point, or the container's
// distinct pairs with AT_SIGNATURE first.
HRESULT Sm3Lanes(const ProviderContext& context, HCRYPTKEY hKey, std::vector<Sm3Lane>* lanes) {
  std::vector<Sm2Point> points;
  if (hKey != 0) {
    auto key = LookupKey(hKey);
    if (!key) return NTE_BAD_KEY;
    Sm2Point point;
    if (!Sm2PublicPoint(key->pair->key, &point)) return NTE_BAD_KEY;
    points.push_back(point);
  } else {
    for (DWORD keySpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
      std::shared_ptr<const KeyPair> pair;
      Sm2Point point;
      if (FAILED(context.GetKeyPair(keySpec, &pair)) || !Sm2PublicPoint(pair->key, &point))
        continue;
      if (points.empty() || points.front() != point) points.push_back(point);
    }
    if (points.empty()) return NTE_NO_KEY;
  }
  for (const Sm2Point& point : points) {
    Sm3Lane lane;
    if (!StartLane(point, &lane)) return NTE_FAIL;
    lanes->push_back(lane);
  }
  return S_OK;
}

}  // namespace

bool HashObject::Close() {
  if (closed) return true;
  if (md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &length) != 1) return false;
    value.assign(digest, digest + length);
  } else {
    for (Sm3Lane& lane : lanes)
      if (gmcrypto::SM3_Final(lane.value.data(), &lane.ctx) != 1) return false;
    if (lanes.empty()) return false;
    value.assign(lanes.front().value.begin(), lanes.front().value.end());
  }
  closed = true;
  return true;
}

std::shared_ptr<HashObject> LookupHash(HCRYPTHASH handle) { return Hashes().Find(handle); }

const EVP_MD* DigestOf(ALG_ID algId) {
  switch (algId) {
    case CALG_MD5:
      return EVP_md5();
    case CALG_SHA1:
      return EVP_sha1();
    case CALG_SHA_256:
      return EVP_sha256();
    case CALG_SHA_384:
      return EVP_sha384();
    case CALG_SHA_512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

bool IsSm2Key(EVP_PKEY* key) {
  Sm2Point point;
  return Sm2PublicPoint(key, &point);
}

bool Sm2PublicPoint(EVP_PKEY* key, Sm2Point* point) {
  if (key == nullptr || !(EVP_PKEY_is_a(key, "SM2") || EVP_PKEY_is_a(key, "EC"))) return false;
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &length) != 1 ||
      std::strcmp(group, "SM2") != 0)
    return false;
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  bool ok = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1 &&
            BN_bn2binpad(x, point->data(), 32) == 32 &&
            BN_bn2binpad(y, point->data() + 32, 32) == 32;
  BN_free(x);
  BN_free(y);
  return ok;
}

bool Sm2PrivateScalar(EVP_PKEY* key, SecretBytes* d) {
  BIGNUM* scalar = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1) return false;
  SecretBytes out(32);
  bool ok = BN_bn2binpad(scalar, out.data(), 32) == 32;
  BN_clear_free(scalar);
  if (ok) d->Swap(out);
  return ok;
}

}  // namespace platform::csp::detail

using namespace platform::csp;
using namespace platform::csp::detail;

BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                     HCRYPTHASH* phHash) {
  auto context = LookupContext(hProv);
  if (!context) return FailWin32(ERROR_INVALID_HANDLE);
  if (phHash == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phHash = 0;
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  auto hash = std::make_shared<HashObject>();
  hash->context = context;
  hash->algId = Algid;
  if (const EVP_MD* digest = DigestOf(Algid)) {
    hash->md.reset(EVP_MD_CTX_new());
    if (!hash->md || EVP_DigestInit_ex(hash->md.get(), digest, nullptr) != 1) return Fail(NTE_FAIL);
  } else if (Algid == CALG_SM3 && IsSm2Context(*context)) {
    HRESULT hr = Sm3Lanes(*context, hKey, &hash->lanes);
    if (FAILED(hr)) return Fail(hr);
  } else {
    return Fail(NTE_BAD_ALGID);
  }
  *phHash = Hashes().Add(std::move(hash));
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  auto hash = LookupHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  if (pbData == nullptr && dwDataLen != 0) return FailWin32(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(hash->mutex);
  if (hash->closed) return Fail(NTE_BAD_HASH_STATE);
  if (dwDataLen == 0) return TRUE;
  if (hash->md) {
    if (EVP_DigestUpdate(hash->md.get(), pbData, dwDataLen) != 1) return Fail(NTE_FAIL);
  } else {
    for (Sm3Lane& lane : hash->lanes)
      if (gmcrypto::SM3_Update(&lane.ctx, pbData, dwDataLen) != 1) return Fail(NTE_FAIL);
  }
  return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags) {
  auto hash = LookupHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  const DWORD size = hash->md ? static_cast<DWORD>(EVP_MD_CTX_get_size(hash->md.get())) : 32;
  switch (dwParam) {
    case HP_ALGID: {
      DWORD value = hash->algId;
      return CopyOut(&value, sizeof value, pbData, pdwDataLen);
    }
    case HP_HASHSIZE:
      return CopyOut(&size, sizeof size, pbData, pdwDataLen);
    case HP_HASHVAL: {
      // A size query leaves the hash open for more data.
      if (pdwDataLen == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
      if (pbData == nullptr || *pdwDataLen < size) {
        *pdwDataLen = size;
        return pbData == nullptr ? TRUE : FailWin32(ERROR_MORE_DATA);
      }
      std::lock_guard lock(hash->mutex);
      if (!hash->Close()) return Fail(NTE_FAIL);
      return CopyOut(hash->value.data(), size, pbData, pdwDataLen);
    }
    default:
      return Fail(NTE_BAD_TYPE);
  }
}

BOOL CryptDestroyHash(HCRYPTHASH hHash) {
  return Hashes().Remove(hHash) ? TRUE : Fail(NTE_BAD_HASH);
}

BOOL CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags, HCRYPTHASH* phHash) {
  auto hash = LookupHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (pdwReserved != nullptr || phHash == nullptr) return FailWin32(ERROR_INVALID_PARAMETER);
  *phHash = 0;
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  auto copy = std::make_shared<HashObject>();
  {
    std::lock_guard lock(hash->mutex);
    copy->context = hash->context;
    copy->algId = hash->algId;
    copy->closed = hash->closed;
    copy->value = hash->value;
    copy->lanes = hash->lanes;
    if (hash->md) {
      copy->md.reset(EVP_MD_CTX_new());
      // A finished context is not copied: only its algorithm still matters.
      bool ok =
          copy->md && (hash->closed ? EVP_DigestInit_ex(copy->md.get(),
                                                        EVP_MD_CTX_get0_md(hash->md.get()), nullptr)
                                    : EVP_MD_CTX_copy_ex(copy->md.get(), hash->md.get())) == 1;
      if (!ok) return Fail(NTE_FAIL);
    }
  }
  *phHash = Hashes().Add(std::move(copy));
  return TRUE;
}
