#include "smengine/softcert/SMFileCertOperations.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "resources/ResultCodes.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperationsDer.h"
#include "smengine/softcert/SMFileCertOperationsInternal.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using sm2pfx::kSourceUnit;
using Bytes = std::span<const std::uint8_t>;

struct SM2PfxFields {
  Bytes encryptedSM2PrivateKey;
  Bytes SM2Certificate;
};

// SM2_PFX ::= SEQUENCE { version INTEGER,
//   privateData SEQUENCE { dataID OID, dataEncryptedAlg OID, encryptedSM2PrivateKey OCTET STRING },
//   publicData SEQUENCE { dataID OID, SM2Certificate OCTET STRING } }
// The values of version and the OIDs are not ours to judge, only their form.
bool DecodeSM2PFX(Bytes der, SM2PfxFields* pstFields) {
  der::Reader outer(der);
  Bytes pfx;
  if (!outer.Read(der::TAG_SEQUENCE, &pfx) || !outer.AtEnd()) return false;

  der::Reader fields(pfx);
  Bytes version, privateData, publicData;
  if (!fields.Read(der::TAG_INTEGER, &version) || version.empty() ||
      !fields.Read(der::TAG_SEQUENCE, &privateData) ||
      !fields.Read(der::TAG_SEQUENCE, &publicData) || !fields.AtEnd())
    return false;

  der::Reader priv(privateData);
  Bytes dataID, dataEncryptedAlg, encryptedKey;
  if (!priv.Read(der::TAG_OBJECT_IDENTIFIER, &dataID) || !der::IsValidOidContents(dataID) ||
      !priv.Read(der::TAG_OBJECT_IDENTIFIER, &dataEncryptedAlg) ||
      !der::IsValidOidContents(dataEncryptedAlg) ||
      !priv.Read(der::TAG_OCTET_STRING, &encryptedKey) || encryptedKey.empty() || !priv.AtEnd())
    return false;

  der::Reader pub(publicData);
  Bytes publicDataID, certificate;
  if (!pub.Read(der::TAG_OBJECT_IDENTIFIER, &publicDataID) ||
      !der::IsValidOidContents(publicDataID) || !pub.Read(der::TAG_OCTET_STRING, &certificate) ||
      certificate.empty() || !pub.AtEnd())
    return false;

  pstFields->encryptedSM2PrivateKey = encryptedKey;
  pstFields->SM2Certificate = certificate;
  return true;
}

std::unique_ptr<unsigned char[]> CopyBytes(Bytes bytes) {
  std::unique_ptr<unsigned char[]> pCopy(new (std::nothrow) unsigned char[bytes.size()]());
  if (pCopy) std::memcpy(pCopy.get(), bytes.data(), bytes.size());
  return pCopy;
}

}  // namespace

void FreeSM2KeyPair(SM2_KEY_PAIR* pstKeyPair) {
  if (pstKeyPair == nullptr) return;
  if (pstKeyPair->pbyPrivateKey != nullptr && pstKeyPair->nPrivateKeySize > 0)
    OPENSSL_cleanse(pstKeyPair->pbyPrivateKey,
                    static_cast<std::size_t>(pstKeyPair->nPrivateKeySize));
  delete[] pstKeyPair->pbyPrivateKey;
  delete[] pstKeyPair->pbyPubKeyX;
  delete[] pstKeyPair->pbyPubKeyY;
  *pstKeyPair = SM2_KEY_PAIR{};
}

int ParseSM2PFX(const unsigned char* pbySM2PFX, int nSM2PFXSize,
                unsigned char** ppbyEncryptedPrivateKey, int* pnEncryptedPrivateKeySize,
                unsigned char** ppbyPublicCertData, int* pnPublicCertDataSize) {
  EngineTrace trace(kSourceUnit, "ParseSM2PFX");

  if ((ppbyEncryptedPrivateKey != nullptr && pnEncryptedPrivateKeySize == nullptr) ||
      (ppbyPublicCertData != nullptr && pnPublicCertDataSize == nullptr))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pnEncryptedPrivateKeySize || NULL == pnPublicCertDataSize");

  SM2PfxFields stFields;
  if (pbySM2PFX == nullptr || nSM2PFXSize <= 0 ||
      !DecodeSM2PFX(Bytes(pbySM2PFX, static_cast<std::size_t>(nSM2PFXSize)), &stFields))
    return trace.Failed("d2i_SM2_PFX", SIGIL_E_DECODE_SM2_PFX, "NULL == pstSM2PFX");
  trace.Ok("d2i_SM2_PFX");

  std::unique_ptr<unsigned char[]> pbyEncryptedPrivateKey;
  if (ppbyEncryptedPrivateKey != nullptr) {
    pbyEncryptedPrivateKey = CopyBytes(stFields.encryptedSM2PrivateKey);
    if (!pbyEncryptedPrivateKey)
      return trace.Failed("New buffer", ORLO_FAILED, "!pbyEncryptedPrivateKey");
    trace.Ok("Copy encryptedSM2PrivateKey");
  }

  std::unique_ptr<unsigned char[]> pbyPublicCertData;
  if (ppbyPublicCertData != nullptr) {
    pbyPublicCertData = CopyBytes(stFields.SM2Certificate);
    if (!pbyPublicCertData) return trace.Failed("New buffer", ORLO_FAILED, "!pbyPublicCertData");
    trace.Ok("Copy SM2Certificate");
  }

  // The decoder bounds every length by nSM2PFXSize, so the sizes fit an int.
  if (ppbyEncryptedPrivateKey != nullptr) {
    *ppbyEncryptedPrivateKey = pbyEncryptedPrivateKey.release();
    *pnEncryptedPrivateKeySize = static_cast<int>(stFields.encryptedSM2PrivateKey.size());
  }
  if (ppbyPublicCertData != nullptr) {
    *ppbyPublicCertData = pbyPublicCertData.release();
    *pnPublicCertDataSize = static_cast<int>(stFields.SM2Certificate.size());
  }
  return ORLO_OK;
}

int DecryptKeyPairFromSM2PFX(const char* pszPassword, SM2_KEY_PAIR* pstKeyPair,
                             const unsigned char* pbySM2PFX, int nSM2PFXSize) {
  EngineTrace trace(kSourceUnit, "DecryptKeyPairFromSM2PFX");

  if (pszPassword == nullptr || pstKeyPair == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pszPassword || NULL == pstKeyPair");
  trace.Ok("Check Parameters");

  unsigned char* pbyRawEncryptedKey = nullptr;
  int nEncryptedKeySize = 0;
  unsigned char* pbyRawCertData = nullptr;
  int nCertDataSize = 0;
  int nResult = ParseSM2PFX(pbySM2PFX, nSM2PFXSize, &pbyRawEncryptedKey, &nEncryptedKeySize,
                            &pbyRawCertData, &nCertDataSize);
  if (ORLO_OK != nResult) return trace.Failed("ParseSM2PFX", nResult, "ORLO_OK != nResult");
  const std::unique_ptr<unsigned char[]> pbyEncryptedKey(pbyRawEncryptedKey);
  const std::unique_ptr<unsigned char[]> pbyCertData(pbyRawCertData);
  trace.Ok("ParseSM2PFX");

  unsigned char* pbyRawPrivateKey = nullptr;
  int nPrivateKeySize = 0;
  nResult = SM4DecryptByPin(pszPassword, pbyEncryptedKey.get(), nEncryptedKeySize,
                            &pbyRawPrivateKey, &nPrivateKeySize);
  if (ORLO_OK != nResult)
    return trace.Failed("SM4DecryptByPin", SIGIL_E_DECRYPT_SM2_PFX, "ORLO_OK != nResult");
  sm2pfx::WipedBytes pbyPrivateKey(pbyRawPrivateKey, {static_cast<std::size_t>(nPrivateKeySize)});
  trace.Ok("SM4DecryptByPin");

  unsigned char* pbyRawX = nullptr;
  unsigned char* pbyRawY = nullptr;
  int nXSize = 0;
  int nYSize = 0;
  nResult = GetPublicKeyXYFromSM2Cert(pbyCertData.get(), nCertDataSize, &pbyRawX, &nXSize, &pbyRawY,
                                      &nYSize);
  if (ORLO_OK != nResult)
    return trace.Failed("GetPublicKeyXYFromSM2Cert", nResult, "ORLO_OK != nResult");
  std::unique_ptr<unsigned char[]> pbyPubKeyX(pbyRawX);
  std::unique_ptr<unsigned char[]> pbyPubKeyY(pbyRawY);
  trace.Ok("GetPublicKeyXYFromSM2Cert");

  // Valid padding alone does not prove the password: about one wrong
  // password in 256 leaves a final byte of 01. Only d·G = Q does.
  nResult = sm2pfx::CheckPrivateKeyMatchesPoint(pbyPrivateKey.get(), nPrivateKeySize,
                                                pbyPubKeyX.get(), pbyPubKeyY.get());
  if (ORLO_OK != nResult)
    return trace.Failed("Check private key against certificate", SIGIL_E_DECRYPT_SM2_PFX,
                        "ORLO_OK != nResult");
  trace.Ok("Check private key against certificate");

  pstKeyPair->pbyPrivateKey = pbyPrivateKey.release();
  pstKeyPair->nPrivateKeySize = nPrivateKeySize;
  pstKeyPair->pbyPubKeyX = pbyPubKeyX.release();
  pstKeyPair->nPubKeyXSize = nXSize;
  pstKeyPair->pbyPubKeyY = pbyPubKeyY.release();
  pstKeyPair->nPubKeyYSize = nYSize;
  return ORLO_OK;
}

}  // namespace engine
