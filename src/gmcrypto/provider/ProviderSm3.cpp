// SM3 as an OpenSSL digest method over our SM3_* functions.
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/params.h>
#include <openssl/proverr.h>

#include <new>

#include "gmcrypto/provider/ProviderAlgorithms.h"
#include "gmcrypto/sm3/Sm3.h"

namespace gmcrypto::provider {
namespace {

void* NewCtx(void* /*provctx*/) noexcept { return new (std::nothrow) SM3_CTX{}; }

void FreeCtx(void* vctx) noexcept {
  auto* ctx = static_cast<SM3_CTX*>(vctx);
  if (ctx == nullptr) return;
  OPENSSL_cleanse(ctx, sizeof(*ctx));  // the buffer holds message bytes
  delete ctx;
}

void* DupCtx(void* vctx) noexcept {
  const auto* ctx = static_cast<const SM3_CTX*>(vctx);
  return ctx == nullptr ? nullptr : new (std::nothrow) SM3_CTX(*ctx);
}

int DigestInit(void* vctx, const OSSL_PARAM* /*params*/) noexcept {
  return SM3_Init(static_cast<SM3_CTX*>(vctx));
}

int Update(void* vctx, const unsigned char* in, size_t inl) noexcept {
  return SM3_Update(static_cast<SM3_CTX*>(vctx), in, inl);
}

int Final(void* vctx, unsigned char* out, size_t* outl, size_t outsz) noexcept {
  if (outsz < SM3_DIGEST_LENGTH) {
    ERR_raise(ERR_LIB_PROV, PROV_R_INVALID_DIGEST_SIZE);
    return 0;
  }
  if (SM3_Final(out, static_cast<SM3_CTX*>(vctx)) != 1) return 0;
  *outl = SM3_DIGEST_LENGTH;
  return 1;
}

// Read by EVP when it builds the method: sizes and the flags it derives.
int GetParams(OSSL_PARAM params[]) noexcept {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, SM3_CBLOCK)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, SM3_DIGEST_LENGTH)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_XOF);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) return 0;
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_ALGID_ABSENT);
  if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) return 0;
  return 1;
}

const OSSL_PARAM* GettableParams(void* /*provctx*/) noexcept {
  static const OSSL_PARAM kGettable[] = {
      OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_BLOCK_SIZE, nullptr),
      OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_SIZE, nullptr),
      OSSL_PARAM_int(OSSL_DIGEST_PARAM_XOF, nullptr),
      OSSL_PARAM_int(OSSL_DIGEST_PARAM_ALGID_ABSENT, nullptr),
      OSSL_PARAM_END,
  };
  return kGettable;
}

}  // namespace

extern const OSSL_DISPATCH kSm3Functions[] = {
    {OSSL_FUNC_DIGEST_NEWCTX, Fn(&NewCtx)},
    {OSSL_FUNC_DIGEST_INIT, Fn(&DigestInit)},
    {OSSL_FUNC_DIGEST_UPDATE, Fn(&Update)},
    {OSSL_FUNC_DIGEST_FINAL, Fn(&Final)},
    {OSSL_FUNC_DIGEST_FREECTX, Fn(&FreeCtx)},
    {OSSL_FUNC_DIGEST_DUPCTX, Fn(&DupCtx)},
    {OSSL_FUNC_DIGEST_GET_PARAMS, Fn(&GetParams)},
    {OSSL_FUNC_DIGEST_GETTABLE_PARAMS, Fn(&GettableParams)},
    {0, nullptr},
};

}  // namespace gmcrypto::provider
