// Hash objects and the key material helpers the signing, verification and
// decryption sources share.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/Unique.h"
#include "gmcrypto/sm3/Sm3.h"
#include "platform/csp/CspHash.h"
#include "platform/csp/CspInternal.h"

namespace platform::csp::detail {

// SM2 public point, x || y, 32 bytes each big-endian.
using Sm2Point = std::array<BYTE, 64>;

// One SM3(Z || M) digest in progress, Z taken over `point`.
struct Sm3Lane {
  Sm2Point point{};
  gmcrypto::SM3_CTX ctx{};
  std::array<BYTE, 32> value{};
};

using UniqueMdCtx = foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free>;

struct HashObject {
  std::shared_ptr<ProviderContext> context;
  ALG_ID algId = 0;
  std::mutex mutex;  // guards everything below
  bool closed = false;
  UniqueMdCtx md;              // MD5, SHA-1, SHA-2
  std::vector<BYTE> value;     // the digest once closed
  std::vector<Sm3Lane> lanes;  // SM3; the first is the reported value

  // Closes the hash (computing every digest) when still open. Caller holds
  // the mutex. False when the digest cannot be computed.
  bool Close();
};

// Null for a handle that is not live.
std::shared_ptr<HashObject> LookupHash(HCRYPTHASH handle);

// The EVP digest of a CryptoAPI hash algorithm, null for SM3 and unknown ones.
const EVP_MD* DigestOf(ALG_ID algId);

bool IsSm2Key(EVP_PKEY* key);
// False when the key has no SM2 public point.
bool Sm2PublicPoint(EVP_PKEY* key, Sm2Point* point);
// The private scalar d, 32 bytes; false when absent.
bool Sm2PrivateScalar(EVP_PKEY* key, SecretBytes* d);

}  // namespace platform::csp::detail
