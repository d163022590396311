#include <openssl/bn.h>

#include <climits>
#include <cstring>
#include <new>

#include "gmcrypto/objects/Objects.h"
#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/CipherInternal.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::Buffer;
using detail::WipedArray;
using gmcrypto::BnPtr;

constexpr const char* kSourceUnit = detail::kDataEncryptionUnit;
constexpr int kPrefixedPointSize = 1;  // the 0x04 the library puts before x1 || y1

// A big-endian number of at most 32 significant bytes. Leading zero bytes
// are ordinary: a coordinate or key that happens to start with 00 may come
// as 32 bytes, shorter with the zeros dropped, or longer with them added.
bool ToBigNumber(const unsigned char* pbyBytes, int nSize, BIGNUM* pBn) {
  while (nSize > SM2_COORDINATE_SIZE && *pbyBytes == 0) {
    ++pbyBytes;
    --nSize;
  }
  if (nSize < 1 || nSize > SM2_COORDINATE_SIZE) return false;
  return 1 == gmcrypto::_SM2_Bytes2BN(pbyBytes, nSize, pBn);
}

}  // namespace

int SM2_Encrypt(const unsigned char* pbyPlainData, const unsigned char* pbyPubKeyX,
                int nPubKeyXSize, const unsigned char* pbyPubKeyY, int nPubKeyYSize,
                unsigned char** ppbyCipherData, int* pnCipherDataSize) {
  EngineTrace trace(kSourceUnit, "SM2_Encrypt");

  if (pbyPlainData == nullptr || pbyPubKeyX == nullptr || pbyPubKeyY == nullptr ||
      ppbyCipherData == nullptr || pnCipherDataSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPlainData || NULL == pbyPubKeyX || NULL == pbyPubKeyY");
  trace.Ok("Check Parameters");

  BnPtr pX(BN_new()), pY(BN_new());
  if (!pX || !pY) return trace.Failed("BN_new", ORLO_FAILED, "NULL == pX || NULL == pY");
  if (!ToBigNumber(pbyPubKeyX, nPubKeyXSize, pX.get()) ||
      !ToBigNumber(pbyPubKeyY, nPubKeyYSize, pY.get()))
    return trace.Failed("_SM2_Bytes2BN", ORLO_FAILED, "1 != nResult");
  trace.Ok("_SM2_Bytes2BN");

  if (1 != gmcrypto::_SM2_point_is_on_curve(pX.get(), pY.get(), gmcrypto::NID_prime256v1SM2))
    return trace.Failed("_SM2_point_is_on_curve", ORLO_FAILED, "1 != nResult");
  trace.Ok("_SM2_point_is_on_curve");

  unsigned char abyPrefixed[kPrefixedPointSize + SM2_SESSION_KEY_CIPHER_SIZE] = {};
  if (1 != gmcrypto::_SM2_encrypt(gmcrypto::NID_prime256v1SM2, pbyPlainData, SM2_SESSION_KEY_SIZE,
                                  pX.get(), pY.get(), abyPrefixed))
    return trace.Failed("_SM2_encrypt", ORLO_FAILED, "1 != nResult");
  trace.Ok("_SM2_encrypt");

  Buffer pbyCipher(new (std::nothrow) unsigned char[SM2_SESSION_KEY_CIPHER_SIZE]);
  if (!pbyCipher) return trace.Failed("New buffer", ORLO_FAILED, "!pbyCipherData");
  std::memcpy(pbyCipher.get(), abyPrefixed + kPrefixedPointSize, SM2_SESSION_KEY_CIPHER_SIZE);

  *ppbyCipherData = pbyCipher.release();
  *pnCipherDataSize = SM2_SESSION_KEY_CIPHER_SIZE;
  return ORLO_OK;
}

int SM2_Decrypt(const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                const unsigned char* pbyCipherData, int nCipherDataSize,
                unsigned char** ppbyPlainData, int* pnPlainDataSize) {
  EngineTrace trace(kSourceUnit, "SM2_Decrypt");

  // At least one byte of C2, and room for the 0x04 in front.
  if (pbyPrivateKey == nullptr || pbyCipherData == nullptr || ppbyPlainData == nullptr ||
      pnPlainDataSize == nullptr || nCipherDataSize <= SM2_CIPHER_OVERHEAD ||
      nCipherDataSize > INT_MAX - kPrefixedPointSize)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPrivateKey || NULL == pbyCipherData || "
                        "nCipherDataSize <= 96");
  trace.Ok("Check Parameters");

  Buffer pbyPrefixed(new (std::nothrow) unsigned char[nCipherDataSize + kPrefixedPointSize]);
  WipedArray plain(new (std::nothrow) unsigned char[nCipherDataSize - SM2_CIPHER_OVERHEAD](),
                   static_cast<std::size_t>(nCipherDataSize - SM2_CIPHER_OVERHEAD));
  if (!pbyPrefixed || plain.p == nullptr)
    return trace.Failed("New buffer", ORLO_FAILED, "!pbyC1C2C3 || !pbyPlainData");
  pbyPrefixed[0] = 0x04;
  std::memcpy(pbyPrefixed.get() + kPrefixedPointSize, pbyCipherData,
              static_cast<std::size_t>(nCipherDataSize));
  trace.Ok("New buffer");

  BnPtr pD(BN_new());
  if (!pD || !ToBigNumber(pbyPrivateKey, nPrivateKeySize, pD.get()))
    return trace.Failed("_SM2_Bytes2BN", ORLO_FAILED, "1 != nResult");
  trace.Ok("_SM2_Bytes2BN");

  if (1 != gmcrypto::_SM2_decrypt(gmcrypto::NID_prime256v1SM2, pbyPrefixed.get(),
                                  nCipherDataSize + kPrefixedPointSize, pD.get(), plain.p))
    return trace.Failed("_SM2_decrypt", ORLO_FAILED, "1 != nResult");
  trace.Ok("_SM2_decrypt");

  *pnPlainDataSize = nCipherDataSize - SM2_CIPHER_OVERHEAD;
  *ppbyPlainData = plain.Release();
  return ORLO_OK;
}

}  // namespace engine
