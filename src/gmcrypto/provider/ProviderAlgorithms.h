// What our provider offers, shared between its entry point and the lookups.
// Private to gmcrypto.
#pragma once

#include <openssl/core.h>

namespace gmcrypto::provider {

inline constexpr char kName[] = "npsigil";
inline constexpr char kProperties[] = "provider=npsigil";

// One colon list per algorithm: OpenSSL keeps each list as one method, and
// "sm3"/"sm4-cbc" join the names OpenSSL's own implementations already have.
inline constexpr char kSm3Names[] = "sm3:ChinaSM3:tls1-sm3";
inline constexpr char kSm4CbcNames[] = "sm4-cbc:ChinaSM4-CBC";

// OSSL_DISPATCH stores every function as void (*)(void); OpenSSL casts it
// back to the OSSL_FUNC_* type its function id names.
template <class F>
auto Fn(F* f) {
  return reinterpret_cast<void (*)(void)>(f);
}

extern const OSSL_DISPATCH kSm3Functions[];
extern const OSSL_DISPATCH kSm4CbcFunctions[];

// The provider's init function, for OSSL_PROVIDER_add_builtin.
int ProviderInit(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in, const OSSL_DISPATCH** out,
                 void** provctx);

}  // namespace gmcrypto::provider
