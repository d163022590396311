#include <openssl/bn.h>
#include <openssl/crypto.h>

#include "gmcrypto/objects/Objects.h"
#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperationsInternal.h"

namespace engine::sm2pfx {

int CheckPrivateKeyMatchesPoint(const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                                const unsigned char pbyX[32], const unsigned char pbyY[32]) {
  namespace ec = gmcrypto::ec;
  // Consumers read at most 32 leading bytes of d; a longer key would be
  // used as something other than what was stored.
  if (pbyPrivateKey == nullptr || nPrivateKeySize <= 0 || nPrivateKeySize > 32) return ORLO_FAILED;
  const ec::Curve* pCurve = ec::CurveByNid(gmcrypto::NID_prime256v1SM2);
  gmcrypto::BnCtxPtr pCtx(BN_CTX_new());
  gmcrypto::BnPtr pD(BN_new());
  gmcrypto::BnPtr pX(BN_new());
  gmcrypto::BnPtr pY(BN_new());
  if (pCurve == nullptr || !pCtx || !pD || !pX || !pY) return ORLO_FAILED;
  BN_set_flags(pD.get(), BN_FLG_CONSTTIME);
  if (!gmcrypto::_SM2_Bytes2BN(pbyPrivateKey, nPrivateKeySize, pD.get())) return ORLO_FAILED;
  if (BN_is_zero(pD.get()) || BN_cmp(pD.get(), ec::Order(*pCurve)) >= 0) return ORLO_FAILED;

  gmcrypto::EcPointPtr pPoint = ec::NewPoint(*pCurve);
  if (!pPoint || !ec::MulGenerator(*pCurve, pPoint.get(), pD.get(), pCtx.get()) ||
      !ec::GetAffine(*pCurve, pPoint.get(), pX.get(), pY.get(), pCtx.get()))
    return ORLO_FAILED;

  unsigned char byX[32];
  unsigned char byY[32];
  if (!gmcrypto::_SM2_GetBNBytes(pX.get(), byX) || !gmcrypto::_SM2_GetBNBytes(pY.get(), byY))
    return ORLO_FAILED;
  const bool bMatch = (CRYPTO_memcmp(byX, pbyX, 32) | CRYPTO_memcmp(byY, pbyY, 32)) == 0;
  return bMatch ? ORLO_OK : ORLO_FAILED;
}

}  // namespace engine::sm2pfx
