#include "gmcrypto/sm2/Ec.h"
#include "gmcrypto/sm2/Sm2.h"

namespace gmcrypto {

int _SM2_point_is_on_curve(const BIGNUM* x, const BIGNUM* y, int nid) {
  const ec::Curve* curve = ec::CurveByNid(nid);
  if (curve == nullptr || x == nullptr || y == nullptr) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  EcPointPtr pt = ec::NewPoint(*curve);
  return ctx && pt && ec::SetAffine(*curve, pt.get(), x, y, ctx.get()) ? 1 : 0;
}

}  // namespace gmcrypto
