#include "smengine/cipher/DataEncryption.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "gmcrypto/provider/Provider.h"
#include "gmcrypto/sm2/Sm2.h"
#include "smengine/cipher/CipherInternal.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::CipherCtxPtr;
using detail::kSM4BlockSize;
using detail::WipedArray;

constexpr const char* kSourceUnit = detail::kDataEncryptionUnit;

}  // namespace

int detail::NewSM4Context(EngineTrace& trace, const EVP_CIPHER* pCipher, bool bEncrypt,
                          const unsigned char* pbyKey, const unsigned char* pbyIV,
                          CipherCtxPtr* ppCtx) {
  CipherCtxPtr pCtx(EVP_CIPHER_CTX_new());
  if (pCipher == nullptr || !pCtx)
    return trace.FailedWithLibraryError("EVP_CIPHER_CTX_new", ORLO_FAILED,
                                        "NULL == pCipher || NULL == pCtx");
  const char* pszStep = bEncrypt ? "EVP_EncryptInit_ex" : "EVP_DecryptInit_ex";
  if (1 != EVP_CipherInit_ex(pCtx.get(), pCipher, nullptr, pbyKey, pbyIV, bEncrypt ? 1 : 0))
    return trace.FailedWithLibraryError(pszStep, ORLO_FAILED, "1 != nResult");
  trace.Ok(pszStep);
  *ppCtx = std::move(pCtx);
  return ORLO_OK;
}

int SM4_Encrypt_CBC(const unsigned char* pbyIV, const unsigned char* pbySymKey,
                    const unsigned char* pbyPlainData, int nPlainDataSize,
                    unsigned char** ppbyCipherData, int* pnCipherDataSize) {
  EngineTrace trace(kSourceUnit, "SM4_Encrypt_CBC");

  if (pbyIV == nullptr || pbySymKey == nullptr || ppbyCipherData == nullptr ||
      pnCipherDataSize == nullptr || nPlainDataSize < 0 ||
      (pbyPlainData == nullptr && nPlainDataSize > 0))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyIV || NULL == pbySymKey || nPlainDataSize < 0");
  trace.Ok("Check Parameters");

  const std::size_t nBufferSize =
      (static_cast<std::size_t>(nPlainDataSize) / kSM4BlockSize + 1) * kSM4BlockSize;
  if (nBufferSize > static_cast<std::size_t>(INT_MAX))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER, "nBufferSize > INT_MAX");
  std::unique_ptr<unsigned char[]> pbyCipherData(new (std::nothrow) unsigned char[nBufferSize]());
  if (!pbyCipherData) return trace.Failed("New buffer", ORLO_FAILED, "!pbyCipherData");
  trace.Ok("New buffer");

  CipherCtxPtr pCtx;
  const int nResult =
      detail::NewSM4Context(trace, gmcrypto::EVP_sm4_cbc(), true, pbySymKey, pbyIV, &pCtx);
  if (ORLO_OK != nResult) return nResult;

  int nUpdateSize = 0;
  if (1 != EVP_EncryptUpdate(pCtx.get(), pbyCipherData.get(), &nUpdateSize, pbyPlainData,
                             nPlainDataSize))
    return trace.FailedWithLibraryError("EVP_EncryptUpdate", ORLO_FAILED, "1 != nResult");
  trace.Ok("EVP_EncryptUpdate");

  int nFinalSize = 0;
  if (1 != EVP_EncryptFinal_ex(pCtx.get(), pbyCipherData.get() + nUpdateSize, &nFinalSize))
    return trace.FailedWithLibraryError("EVP_EncryptFinal_ex", ORLO_FAILED, "1 != nResult");
  trace.Ok("EVP_EncryptFinal_ex");

  *ppbyCipherData = pbyCipherData.release();
  *pnCipherDataSize = nUpdateSize + nFinalSize;
  return ORLO_OK;
}

int SM4_Decrypt_CBC(const unsigned char* pbyIV, const unsigned char* pbySymKey,
                    const unsigned char* pbyCipherData, int nCipherDataSize, int nIVSize,
                    int nSymKeySize, unsigned char** ppbyPlainData, int* pnPlainDataSize) {
  EngineTrace trace(kSourceUnit, "SM4_Decrypt_CBC");

  if (16 != nIVSize)
    return trace.Failed("Check Parameters(IVSize)", ORLO_INVALID_PARAMETER, "16 != nIVSize");
  if (16 != nSymKeySize)
    return trace.Failed("Check Parameters(nSymKeySize)", ORLO_INVALID_PARAMETER,
                        "16 != nSymKeySize");
  if (pbyIV == nullptr || pbySymKey == nullptr || ppbyPlainData == nullptr ||
      pnPlainDataSize == nullptr || nCipherDataSize < 0 ||
      (pbyCipherData == nullptr && nCipherDataSize > 0))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyIV || NULL == pbySymKey || nCipherDataSize < 0");
  trace.Ok("Check Parameters");

  WipedArray plain;
  plain.nSize = static_cast<std::size_t>(nCipherDataSize) + kSM4BlockSize;
  plain.p = new (std::nothrow) unsigned char[plain.nSize]();
  if (plain.p == nullptr) return trace.Failed("New buffer", ORLO_FAILED, "!pbyPlainData");
  trace.Ok("New buffer");

  CipherCtxPtr pCtx;
  const int nResult =
      detail::NewSM4Context(trace, gmcrypto::EVP_sm4_cbc(), false, pbySymKey, pbyIV, &pCtx);
  if (ORLO_OK != nResult) return nResult;

  int nUpdateSize = 0;
  if (1 != EVP_DecryptUpdate(pCtx.get(), plain.p, &nUpdateSize, pbyCipherData, nCipherDataSize))
    return trace.FailedWithLibraryError("EVP_DecryptUpdate", ORLO_FAILED, "1 != nResult");
  trace.Ok("EVP_DecryptUpdate");

  int nFinalSize = 0;
  if (1 != EVP_DecryptFinal_ex(pCtx.get(), plain.p + nUpdateSize, &nFinalSize))
    return trace.FailedWithLibraryError("EVP_DecryptFinal_ex", ORLO_FAILED, "1 != nResult");
  trace.Ok("EVP_DecryptFinal_ex");

  *pnPlainDataSize = nUpdateSize + nFinalSize;
  *ppbyPlainData = plain.Release();
  return ORLO_OK;
}

int SM4DecryptByPin(const char* pszPin, const unsigned char* pbyCipherData, int nCipherDataSize,
                    unsigned char** ppbyPlainData, int* pnPlainDataSize) {
  EngineTrace trace(kSourceUnit, "SM4DecryptByPin");

  if (pszPin == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER, "NULL == pszPin");
  const std::size_t nPinLength = std::strlen(pszPin);
  if (nPinLength > static_cast<std::size_t>(INT_MAX))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER, "nPinLength > INT_MAX");
  trace.Ok("Check Parameters");

  unsigned char byDerivedKey[32] = {};
  if (1 != gmcrypto::_SM2_KDF(reinterpret_cast<const unsigned char*>(pszPin),
                              static_cast<int>(nPinLength), 256, byDerivedKey)) {
    OPENSSL_cleanse(byDerivedKey, sizeof byDerivedKey);
    return trace.Failed("_SM2_KDF", ORLO_FAILED, "1 != nResult");
  }
  trace.Ok("_SM2_KDF");

  const int nResult = SM4_Decrypt_CBC(byDerivedKey, byDerivedKey + 16, pbyCipherData,
                                      nCipherDataSize, 16, 16, ppbyPlainData, pnPlainDataSize);
  OPENSSL_cleanse(byDerivedKey, sizeof byDerivedKey);
  if (ORLO_OK != nResult) return trace.Failed("SM4_Decrypt_CBC", nResult, "ORLO_OK != nResult");
  trace.Ok("SM4_Decrypt_CBC");
  return ORLO_OK;
}

}  // namespace engine
