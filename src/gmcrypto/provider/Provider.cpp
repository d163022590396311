#include "gmcrypto/provider/Provider.h"

#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <mutex>

#include "gmcrypto/provider/ProviderAlgorithms.h"

namespace gmcrypto {
namespace provider {
namespace {

const OSSL_ALGORITHM kDigests[] = {
    {kSm3Names, kProperties, kSm3Functions, "SM3 hash, GB/T 32905"},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM kCiphers[] = {
    {kSm4CbcNames, kProperties, kSm4CbcFunctions, "SM4 block cipher in CBC mode, GB/T 32907"},
    {nullptr, nullptr, nullptr, nullptr},
};

const OSSL_ALGORITHM* QueryOperation(void* /*provctx*/, int operationId, int* noCache) noexcept {
  *noCache = 0;
  switch (operationId) {
    case OSSL_OP_DIGEST:
      return kDigests;
    case OSSL_OP_CIPHER:
      return kCiphers;
    default:
      return nullptr;
  }
}

const OSSL_PARAM* GettableParams(void* /*provctx*/) noexcept {
  static const OSSL_PARAM kParams[] = {
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
      OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr),
      OSSL_PARAM_END,
  };
  return kParams;
}

int GetParams(void* /*provctx*/, OSSL_PARAM params[]) noexcept {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "npSigil SM3/SM4 provider")) return 0;
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 1)) return 0;
  return 1;
}

// No teardown: there is nothing of ours to free, and libcrypto may tear
// providers down at exit after our own statics are gone.
const OSSL_DISPATCH kProviderFunctions[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, Fn(&QueryOperation)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, Fn(&GettableParams)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, Fn(&GetParams)},
    {0, nullptr},
};

}  // namespace

int ProviderInit(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* /*in*/,
                 const OSSL_DISPATCH** out, void** provctx) {
  *out = kProviderFunctions;
  // We keep no state; the handle just gives OpenSSL a non-null context.
  *provctx = const_cast<OSSL_CORE_HANDLE*>(handle);
  return 1;
}

}  // namespace provider

namespace {

struct Loaded {
  OSSL_PROVIDER* provider = nullptr;
  EVP_MD* sm3 = nullptr;
  EVP_CIPHER* sm4Cbc = nullptr;
};

// Never unloaded or freed: methods handed out stay valid for the process.
const Loaded& Load() {
  static std::once_flag once;
  static Loaded loaded;
  std::call_once(once, [] {
    if (OSSL_PROVIDER_add_builtin(nullptr, provider::kName, &provider::ProviderInit) != 1) return;
    // try_load with retain_fallbacks: an explicit load would otherwise switch
    // off OpenSSL's implicit default provider, and with it SHA-256 and AES.
    loaded.provider = OSSL_PROVIDER_try_load(nullptr, provider::kName, 1);
    if (loaded.provider == nullptr) return;
    loaded.sm3 = EVP_MD_fetch(nullptr, "sm3", provider::kProperties);
    loaded.sm4Cbc = EVP_CIPHER_fetch(nullptr, "sm4-cbc", provider::kProperties);
  });
  return loaded;
}

}  // namespace

bool LoadProvider() {
  const Loaded& l = Load();
  return l.provider != nullptr && l.sm3 != nullptr && l.sm4Cbc != nullptr;
}

int AddAllDigests() {
  return OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) == 1 && LoadProvider() ? 1 : 0;
}

const EVP_MD* EVP_sm3() { return Load().sm3; }

const EVP_CIPHER* EVP_sm4_cbc() { return Load().sm4Cbc; }

}  // namespace gmcrypto
