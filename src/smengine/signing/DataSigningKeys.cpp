// Signer keys: the key pair of a soft-certificate file, the public key of a
// certificate, and the SM2 primitive over a finished digest.
#include <openssl/crypto.h>

#include <cstring>
#include <new>
#include <utility>

#include "gmcrypto/sm2/Sm2.h"
#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/signing/DataSigning.h"
#include "smengine/signing/DataSigningInternal.h"
#include "smengine/softcert/CertificateOperations.h"

namespace engine::signing {

int OpenSoftCertKey(EngineTrace& trace, const char* pszPassword, FILE* fpSM2PFXFile,
                    SoftCertKey* pKey) {
  if (NULL == fpSM2PFXFile)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER, "NULL == fpSM2PFXFile");
  if (NULL == pszPassword)
    return trace.Failed("check parameters.", ORLO_INVALID_PARAMETER, "NULL == pszPassword");

  BYTE* pbyRawPFX = nullptr;
  int nSM2PFXSize = 0;
  int nResult =
      Checked(trace, "ReadSM2PFXFile", ReadSM2PFXFile(fpSM2PFXFile, &pbyRawPFX, &nSM2PFXSize));
  const BytePtr pbySM2PFX(pbyRawPFX);
  if (ORLO_OK != nResult) return nResult;

  BYTE* pbyRawCert = nullptr;
  int nCertSize = 0;
  nResult = ParseSM2PFX(pbySM2PFX.get(), nSM2PFXSize, nullptr, nullptr, &pbyRawCert, &nCertSize);
  if (ORLO_OK != nResult) return trace.Failed("ParseSM2PFX", nResult, "nResult != ORLO_OK");
  BytePtr pbyCert(pbyRawCert);
  trace.Ok("ParseSM2PFX");

  nResult = CheckCertKeyUsage(pbyCert.get(), nCertSize, KEY_USAGE_DIGITAL_SIGNATURE);
  if (ORLO_OK != nResult)
    return trace.Failed("CheckCertKeyUsage", nResult, "Invalid certificate usage.");
  trace.Ok("CheckCertKeyUsage");

  // Whatever goes wrong here, the caller can only tell the user that the
  // file did not open with that password.
  nResult =
      DecryptKeyPairFromSM2PFX(pszPassword, &pKey->keyPair.stKeyPair, pbySM2PFX.get(), nSM2PFXSize);
  if (ORLO_OK != nResult)
    return trace.Failed("DecryptKeyPairFromSM2PFX", static_cast<int>(SIGIL_E_DECRYPT_SM2_PFX),
                        "Decrypt SM2 file certificate failed.");
  trace.Ok("DecryptKeyPairFromSM2PFX");

  pKey->pbyCert = std::move(pbyCert);
  pKey->nCertSize = nCertSize;
  return ORLO_OK;
}

int LoadPublicKey(EngineTrace& trace, const BYTE* pbyCert, int nCertSize, PublicKeyXY* pKey) {
  BYTE* pbyRawX = nullptr;
  BYTE* pbyRawY = nullptr;
  int nXSize = 0;
  int nYSize = 0;
  const int nResult =
      GetPublicKeyXYFromSM2Cert(pbyCert, nCertSize, &pbyRawX, &nXSize, &pbyRawY, &nYSize);
  BytePtr pbyX(pbyRawX);
  BytePtr pbyY(pbyRawY);
  if (ORLO_OK != nResult)
    return trace.Failed("GetPublicKeyXYFromSM2Cert", nResult, "ORLO_OK != nResult");
  if (kCoordinateSize != nXSize || kCoordinateSize != nYSize)
    return trace.Failed("GetPublicKeyXYFromSM2Cert", ORLO_FAILED,
                        "32 != nSM2PubKeyXSize || 32 != nSM2PubKeyYSize");
  trace.Ok("GetPublicKeyXYFromSM2Cert");
  pKey->pbyX = std::move(pbyX);
  pKey->pbyY = std::move(pbyY);
  return ORLO_OK;
}

int SignDigest(EngineTrace& trace, const BYTE* pbyDigest, const SM2_KEY_PAIR* pstKeyPair,
               BYTE** ppbySignature, int* pnSignatureSize) {
  const int nKeySize = pstKeyPair->nPrivateKeySize;
  if (NULL == pstKeyPair->pbyPrivateKey || nKeySize <= 0 || nKeySize > kCoordinateSize)
    return trace.Failed("Check key pair", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPrivateKey || nPrivateKeySize not in 1..32");

  BytePtr pbySignature(new (std::nothrow) BYTE[SM2_RAW_RS_SIZE]);
  if (!pbySignature) return trace.Failed("New buffer", ORLO_FAILED, "!pbySignature");

  // The primitive takes d as exactly 32 bytes; a shorter d is a smaller number.
  BYTE byPrivateKey[kCoordinateSize] = {};
  std::memcpy(byPrivateKey + (kCoordinateSize - nKeySize), pstKeyPair->pbyPrivateKey,
              static_cast<std::size_t>(nKeySize));
  const int nResult = gmcrypto::_SM2_sign_ex(pbyDigest, byPrivateKey, pbySignature.get(),
                                             pbySignature.get() + kCoordinateSize);
  OPENSSL_cleanse(byPrivateKey, sizeof byPrivateKey);
  if (1 != nResult) return trace.Failed("_SM2_sign_ex", ORLO_FAILED, "nResult != 1");
  trace.Ok("_SM2_sign_ex");

  *ppbySignature = pbySignature.release();
  *pnSignatureSize = SM2_RAW_RS_SIZE;
  return ORLO_OK;
}

int VerifyDigest(EngineTrace& trace, const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY,
                 const BYTE* pbyDigest, const BYTE* pbyRawSignatureRS) {
  if (1 != gmcrypto::_SM2_verify_ex(pbyRawSignatureRS, pbyRawSignatureRS + kCoordinateSize,
                                    pbyPubkeyX, pbyPubkeyY, pbyDigest))
    return trace.Failed("SM2_verify_ex", ORLO_FAILED, "1 != nResult");
  trace.Ok("SM2_verify_ex");
  return ORLO_OK;
}

}  // namespace engine::signing
