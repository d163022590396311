// The software SM2 provider. Keys are kept as OpenSSL "SM2" keys, which
// sign and decrypt with the SM2 schemes; an EC key on the SM2 curve is the
// same key under another type and is converted on the way in.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <cstring>

#include "platform/csp/CspInternal.h"

namespace platform::csp::detail {

namespace {

bool HasPrivateScalar(EVP_PKEY* key) {
  BIGNUM* d = nullptr;
  bool present = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 && d != nullptr &&
                 !BN_is_zero(d);
  BN_clear_free(d);
  return present;
}

bool OnSm2Curve(EVP_PKEY* key) {
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &length) != 1)
    return false;
  return std::strcmp(group, "SM2") == 0;
}

UniquePkey AdoptSm2(EVP_PKEY* key) {
  if (key == nullptr || !HasPrivateScalar(key)) return nullptr;
  if (EVP_PKEY_is_a(key, "SM2")) {
    if (EVP_PKEY_up_ref(key) != 1) return nullptr;
    return UniquePkey(key);
  }
  if (!EVP_PKEY_is_a(key, "EC") || !OnSm2Curve(key)) return nullptr;
  // OpenSSL's decoder gives SM2-curve keys the SM2 type, so a trip through
  // PKCS#8 converts without handling the scalar outside wiped memory.
  SecretBytes der;
  if (!EncodePrivateKey(key, &der)) return nullptr;
  UniquePkey converted = DecodePrivateKey({der.data(), der.size()});
  if (!converted || !EVP_PKEY_is_a(converted.get(), "SM2")) return nullptr;
  return converted;
}

}  // namespace

const KeyAlgorithm& Sm2Algorithm() {
  static const KeyAlgorithm algorithm{"sm2", CALG_SM2_KEYX, CALG_SM2_SIGN, &AdoptSm2};
  return algorithm;
}

std::shared_ptr<CspProvider> MakeSm2SoftwareProvider() {
  return std::make_shared<SoftwareProvider>(Sm2Algorithm());
}

}  // namespace platform::csp::detail
