// The key side of SM2 envelopes, the same for data and files: sealing the
// session key for a recipient certificate, and getting it back with a soft
// certificate.
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <new>

#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/envelope/EnvelopeInternal.h"
#include "smengine/softcert/CertificateOperations.h"

namespace engine::detail {

int PrepareSealingKeys(EngineTrace& trace, const unsigned char* pbyCert, int nCertSize,
                       SealingKeys* pKeys) {
  int nResult = CheckCertKeyUsage(pbyCert, nCertSize, KEY_USAGE_KEY_ENCIPHERMENT);
  if (ORLO_OK != nResult) return trace.Failed("CheckCertKeyUsage", nResult, "ORLO_OK != nResult");
  trace.Ok("CheckCertKeyUsage");

  unsigned char* pbySubjectKeyID = nullptr;
  nResult =
      GetSubjectKeyIDFromCert(pbyCert, nCertSize, &pbySubjectKeyID, &pKeys->nSubjectKeyIDSize);
  pKeys->pbySubjectKeyID.reset(pbySubjectKeyID);
  if (ORLO_OK != nResult)
    return trace.Failed("GetSubjectKeyIDFromCert", nResult, "ORLO_OK != nResult");
  trace.Ok("GetSubjectKeyIDFromCert");

  unsigned char *pbyX = nullptr, *pbyY = nullptr;
  int nXSize = 0, nYSize = 0;
  nResult = GetPublicKeyXYFromSM2Cert(pbyCert, nCertSize, &pbyX, &nXSize, &pbyY, &nYSize);
  const Buffer pX(pbyX), pY(pbyY);
  if (ORLO_OK != nResult)
    return trace.Failed("GetPublicKeyXYFromSM2Cert", nResult, "ORLO_OK != nResult");
  trace.Ok("GetPublicKeyXYFromSM2Cert");

  nResult = RAND_bytes(pKeys->random.by, static_cast<int>(sizeof pKeys->random.by));
  if (1 != nResult) return trace.FailedWithLibraryError("RAND_bytes", nResult, "1 != nResult");
  trace.Ok("RAND_bytes");

  unsigned char* pbySessionKeyCipher = nullptr;
  int nSessionKeyCipherSize = 0;
  nResult = SM2_Encrypt(pKeys->SessionKey(), pX.get(), nXSize, pY.get(), nYSize,
                        &pbySessionKeyCipher, &nSessionKeyCipherSize);
  const Buffer pSessionKeyCipher(pbySessionKeyCipher);
  if (ORLO_OK != nResult) return trace.Failed("SM2_Encrypt", nResult, "ORLO_OK != nResult");
  trace.Ok("SM2_Encrypt");

  unsigned char* pbyEncryptedKey = nullptr;
  nResult = Encode_SM2Cipher(pSessionKeyCipher.get(), nSessionKeyCipherSize, &pbyEncryptedKey,
                             &pKeys->nEncryptedKeySize);
  pKeys->pbyEncryptedKey.reset(pbyEncryptedKey);
  if (ORLO_OK != nResult) return trace.Failed("Encode_SM2Cipher", nResult, "ORLO_OK != nResult");
  trace.Ok("Encode_SM2Cipher");

  unsigned char* pbyIVParameter = nullptr;
  nResult = ASN1Encode(&pbyIVParameter, &pKeys->nIVParameterSize, 0x04, pKeys->IV(),
                       SM2_SESSION_KEY_SIZE);
  pKeys->pbyIVParameter.reset(pbyIVParameter);
  if (ORLO_OK != nResult) return trace.Failed("ASN1Encode", nResult, "ORLO_OK != nResult");
  trace.Ok("ASN1Encode");
  return ORLO_OK;
}

int OpenSoftCert(EngineTrace& trace, FILE* fpSM2PFXFile, const char* pszPassword,
                 SoftCertKeyPair* pKeyPair, Buffer* ppbyCert, int* pnCertSize) {
  unsigned char* pbySM2PFX = nullptr;
  int nSM2PFXSize = 0;
  int nResult = ReadSM2PFXFile(fpSM2PFXFile, &pbySM2PFX, &nSM2PFXSize);
  const Buffer pSM2PFX(pbySM2PFX);
  if (ORLO_OK != nResult) return trace.Failed("ReadSM2PFXFile", nResult, "ORLO_OK != nResult");
  trace.Ok("ReadSM2PFXFile");

  if (ppbyCert != nullptr) {
    unsigned char* pbyCert = nullptr;
    nResult = ParseSM2PFX(pSM2PFX.get(), nSM2PFXSize, nullptr, nullptr, &pbyCert, pnCertSize);
    ppbyCert->reset(pbyCert);
    if (ORLO_OK != nResult) return trace.Failed("ParseSM2PFX", nResult, "ORLO_OK != nResult");
    trace.Ok("ParseSM2PFX");
  }

  // Wrong padding, a key that does not match the certificate or one that is
  // no SM2 key at all: to the user they all mean the password is wrong.
  nResult =
      DecryptKeyPairFromSM2PFX(pszPassword, pKeyPair, pSM2PFX.get(), nSM2PFXSize);
  if (ORLO_OK != nResult)
    return trace.Failed("DecryptKeyPairFromSM2PFX", SIGIL_E_DECRYPT_SM2_PFX, "ORLO_OK != nResult");
  trace.Ok("DecryptKeyPairFromSM2PFX");
  return ORLO_OK;
}

int RecoverSessionKey(EngineTrace& trace, const SM2_KEY_PAIR& keyPair,
                      const unsigned char* pbyEncryptedKey, int nEncryptedKeySize, int nIVSize,
                      WipedBytes<SM2_SESSION_KEY_SIZE>* pSessionKey) {
  unsigned char* pbyC1C2C3 = nullptr;
  int nC1C2C3Size = 0;
  int nResult = Decode_SM2Cipher(pbyEncryptedKey, nEncryptedKeySize, &pbyC1C2C3, &nC1C2C3Size);
  const Buffer pC1C2C3(pbyC1C2C3);
  if (ORLO_OK != nResult) return trace.Failed("Decode_SM2Cipher", nResult, "ORLO_OK != nResult");
  trace.Ok("Decode_SM2Cipher");

  unsigned char* pbyKey = nullptr;
  int nKeyLength = 0;
  nResult = SM2_Decrypt(keyPair.pbyPrivateKey, keyPair.nPrivateKeySize, pC1C2C3.get(), nC1C2C3Size,
                        &pbyKey, &nKeyLength);
  const WipedArray key(pbyKey, nResult == ORLO_OK ? static_cast<std::size_t>(nKeyLength) : 0);
  if (ORLO_OK != nResult) return trace.Failed("SM2_Decrypt", nResult, "ORLO_OK != nResult");
  trace.Ok("SM2_Decrypt");

  if (SM2_SESSION_KEY_SIZE != nIVSize || SM2_SESSION_KEY_SIZE != nKeyLength)
    return trace.Failed("Check IV and session key size", SIGIL_E_INVALID_ENVELOPE,
                        "16 != nContentEncryptionAlgParameter || 16 != nKeyLength");
  trace.Ok("Check IV and session key size");
  std::memcpy(pSessionKey->by, key.p, SM2_SESSION_KEY_SIZE);
  return ORLO_OK;
}

}  // namespace engine::detail
