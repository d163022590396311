// SM4-CBC as an OpenSSL cipher method: entry points and parameters over
// Sm4CbcStream.
#include <openssl/core_dispatch.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/proverr.h>

#include <new>

#include "gmcrypto/provider/ProviderAlgorithms.h"
#include "gmcrypto/provider/ProviderSm4CbcStream.h"

namespace gmcrypto::provider {
namespace {

Sm4CbcStream* Stream(void* vctx) { return static_cast<Sm4CbcStream*>(vctx); }

void* NewCtx(void* /*provctx*/) noexcept { return new (std::nothrow) Sm4CbcStream(); }

void FreeCtx(void* vctx) noexcept { delete Stream(vctx); }  // the destructor wipes

void* DupCtx(void* vctx) noexcept {
  return vctx == nullptr ? nullptr : new (std::nothrow) Sm4CbcStream(*Stream(vctx));
}

int SetCtxParams(void* vctx, const OSSL_PARAM params[]) noexcept {
  Sm4CbcStream* s = Stream(vctx);
  if (params == nullptr) return 1;
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_PADDING);
  if (p != nullptr) {
    unsigned int pad = 0;
    if (!OSSL_PARAM_get_uint(p, &pad)) {
      ERR_raise(ERR_LIB_PROV, PROV_R_FAILED_TO_GET_PARAMETER);
      return 0;
    }
    s->padding = pad != 0;
  }
  p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_NUM);
  if (p != nullptr && !OSSL_PARAM_get_uint(p, &s->num)) {
    ERR_raise(ERR_LIB_PROV, PROV_R_FAILED_TO_GET_PARAMETER);
    return 0;
  }
  return 1;
}

int Init(void* vctx, bool encrypt, const unsigned char* key, size_t keylen, const unsigned char* iv,
         size_t ivlen, const OSSL_PARAM params[]) {
  if (key != nullptr && keylen != SM4_KEY_LENGTH) {
    ERR_raise(ERR_LIB_PROV, PROV_R_INVALID_KEY_LENGTH);
    return 0;
  }
  if (iv != nullptr && ivlen != SM4_BLOCK_SIZE) {
    ERR_raise(ERR_LIB_PROV, PROV_R_INVALID_IV_LENGTH);
    return 0;
  }
  Stream(vctx)->Start(encrypt, key, iv);
  return SetCtxParams(vctx, params);
}

int EncryptInit(void* vctx, const unsigned char* key, size_t keylen, const unsigned char* iv,
                size_t ivlen, const OSSL_PARAM params[]) noexcept {
  return Init(vctx, true, key, keylen, iv, ivlen, params);
}

int DecryptInit(void* vctx, const unsigned char* key, size_t keylen, const unsigned char* iv,
                size_t ivlen, const OSSL_PARAM params[]) noexcept {
  return Init(vctx, false, key, keylen, iv, ivlen, params);
}

int Update(void* vctx, unsigned char* out, size_t* outl, size_t outsize, const unsigned char* in,
           size_t inl) noexcept {
  return Stream(vctx)->Update(out, outl, outsize, in, inl) ? 1 : 0;
}

int Final(void* vctx, unsigned char* out, size_t* outl, size_t outsize) noexcept {
  return Stream(vctx)->Final(out, outl, outsize) ? 1 : 0;
}

int Cipher(void* vctx, unsigned char* out, size_t* outl, size_t outsize, const unsigned char* in,
           size_t inl) noexcept {
  return Stream(vctx)->Blocks(out, outl, outsize, in, inl) ? 1 : 0;
}

bool SetSize(OSSL_PARAM params[], const char* key, size_t value) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, key);
  return p == nullptr || OSSL_PARAM_set_size_t(p, value);
}

bool SetInt(OSSL_PARAM params[], const char* key, int value) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, key);
  return p == nullptr || OSSL_PARAM_set_int(p, value);
}

bool SetUint(OSSL_PARAM params[], const char* key, unsigned int value) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, key);
  return p == nullptr || OSSL_PARAM_set_uint(p, value);
}

// EVP asks with an octet string (copy) and older callers such as
// EVP_CIPHER_CTX_iv with an octet pointer; answer both.
bool SetIv(OSSL_PARAM params[], const char* key, const unsigned char* iv) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, key);
  if (p == nullptr) return true;
  if (p->data_type == OSSL_PARAM_OCTET_PTR) return OSSL_PARAM_set_octet_ptr(p, iv, SM4_BLOCK_SIZE);
  return OSSL_PARAM_set_octet_string(p, iv, SM4_BLOCK_SIZE);
}

int GetParams(OSSL_PARAM params[]) noexcept {
  const bool ok = SetUint(params, OSSL_CIPHER_PARAM_MODE, EVP_CIPH_CBC_MODE) &&
                  SetSize(params, OSSL_CIPHER_PARAM_KEYLEN, SM4_KEY_LENGTH) &&
                  SetSize(params, OSSL_CIPHER_PARAM_IVLEN, SM4_BLOCK_SIZE) &&
                  SetSize(params, OSSL_CIPHER_PARAM_BLOCK_SIZE, SM4_BLOCK_SIZE) &&
                  SetInt(params, OSSL_CIPHER_PARAM_AEAD, 0) &&
                  SetInt(params, OSSL_CIPHER_PARAM_CUSTOM_IV, 0) &&
                  SetInt(params, OSSL_CIPHER_PARAM_CTS, 0) &&
                  SetInt(params, OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, 0) &&
                  SetInt(params, OSSL_CIPHER_PARAM_HAS_RAND_KEY, 0);
  if (!ok) ERR_raise(ERR_LIB_PROV, PROV_R_FAILED_TO_SET_PARAMETER);
  return ok ? 1 : 0;
}

int GetCtxParams(void* vctx, OSSL_PARAM params[]) noexcept {
  const Sm4CbcStream* s = Stream(vctx);
  const bool ok = SetSize(params, OSSL_CIPHER_PARAM_KEYLEN, SM4_KEY_LENGTH) &&
                  SetSize(params, OSSL_CIPHER_PARAM_IVLEN, SM4_BLOCK_SIZE) &&
                  SetUint(params, OSSL_CIPHER_PARAM_PADDING, s->padding ? 1 : 0) &&
                  SetUint(params, OSSL_CIPHER_PARAM_NUM, s->num) &&
                  SetIv(params, OSSL_CIPHER_PARAM_IV, s->originalIv()) &&
                  SetIv(params, OSSL_CIPHER_PARAM_UPDATED_IV, s->iv());
  if (!ok) ERR_raise(ERR_LIB_PROV, PROV_R_FAILED_TO_SET_PARAMETER);
  return ok ? 1 : 0;
}

const OSSL_PARAM* GettableParams(void* /*provctx*/) noexcept {
  static const OSSL_PARAM kParams[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_MODE, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_BLOCK_SIZE, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_AEAD, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CUSTOM_IV, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CTS, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_HAS_RAND_KEY, nullptr),
      OSSL_PARAM_END,
  };
  return kParams;
}

const OSSL_PARAM* GettableCtxParams(void* /*cctx*/, void* /*provctx*/) noexcept {
  static const OSSL_PARAM kParams[] = {
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_NUM, nullptr),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_IV, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_UPDATED_IV, nullptr, 0),
      OSSL_PARAM_END,
  };
  return kParams;
}

// No key length here: the key is always 16 bytes, and leaving it out makes
// EVP_CIPHER_CTX_set_key_length refuse any other.
const OSSL_PARAM* SettableCtxParams(void* /*cctx*/, void* /*provctx*/) noexcept {
  static const OSSL_PARAM kParams[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_NUM, nullptr),
      OSSL_PARAM_END,
  };
  return kParams;
}

}  // namespace

extern const OSSL_DISPATCH kSm4CbcFunctions[] = {
    {OSSL_FUNC_CIPHER_NEWCTX, Fn(&NewCtx)},
    {OSSL_FUNC_CIPHER_ENCRYPT_INIT, Fn(&EncryptInit)},
    {OSSL_FUNC_CIPHER_DECRYPT_INIT, Fn(&DecryptInit)},
    {OSSL_FUNC_CIPHER_UPDATE, Fn(&Update)},
    {OSSL_FUNC_CIPHER_FINAL, Fn(&Final)},
    {OSSL_FUNC_CIPHER_CIPHER, Fn(&Cipher)},
    {OSSL_FUNC_CIPHER_FREECTX, Fn(&FreeCtx)},
    {OSSL_FUNC_CIPHER_DUPCTX, Fn(&DupCtx)},
    {OSSL_FUNC_CIPHER_GET_PARAMS, Fn(&GetParams)},
    {OSSL_FUNC_CIPHER_GET_CTX_PARAMS, Fn(&GetCtxParams)},
    {OSSL_FUNC_CIPHER_SET_CTX_PARAMS, Fn(&SetCtxParams)},
    {OSSL_FUNC_CIPHER_GETTABLE_PARAMS, Fn(&GettableParams)},
    {OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, Fn(&GettableCtxParams)},
    {OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, Fn(&SettableCtxParams)},
    {0, nullptr},
};

}  // namespace gmcrypto::provider
