// The software RSA provider behind the three Microsoft-named providers.
#include <openssl/bn.h>
#include <openssl/core_names.h>

#include "platform/csp/CspInternal.h"

namespace platform::csp::detail {

namespace {

UniquePkey AdoptRsa(EVP_PKEY* key) {
  if (key == nullptr || !EVP_PKEY_is_a(key, "RSA")) return nullptr;
  // A public key alone would be stored and then fail at its first use.
  // OpenSSL reports success for a public key and hands back no number.
  BIGNUM* d = nullptr;
  bool hasPrivate =
      EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d) == 1 && d != nullptr && !BN_is_zero(d);
  BN_clear_free(d);
  if (!hasPrivate) return nullptr;
  if (EVP_PKEY_up_ref(key) != 1) return nullptr;
  return UniquePkey(key);
}

}  // namespace

const KeyAlgorithm& RsaAlgorithm() {
  static const KeyAlgorithm algorithm{"rsa", CALG_RSA_KEYX, CALG_RSA_SIGN, &AdoptRsa};
  return algorithm;
}

std::shared_ptr<CspProvider> MakeRsaSoftwareProvider() {
  return std::make_shared<SoftwareProvider>(RsaAlgorithm());
}

}  // namespace platform::csp::detail
