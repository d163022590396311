// SM2 envelopes of data held in memory.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/envelope/EnvelopeInternal.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::Buffer;

constexpr const char* kSourceUnit = detail::kDataEncryptionUnit;

}  // namespace

int EncryptDataToDerCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                const unsigned char* pbyCert, int nCertSize,
                                unsigned char** ppbyDerEnvelope, int* pnDerEnvelopeSize) {
  EngineTrace trace(kSourceUnit, "EncryptDataToDerCMSEnvelope");

  if (pbyCert == nullptr || nCertSize <= 0 || ppbyDerEnvelope == nullptr ||
      pnDerEnvelopeSize == nullptr || nPlainDataSize < 0 ||
      (pbyPlainData == nullptr && nPlainDataSize > 0))
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyCert || nCertSize <= 0 || nPlainDataSize < 0");
  // The envelope could never be encoded: refuse before the ciphertext is
  // made, as the encoder would after.
  const std::int64_t nContentSize =
      (static_cast<std::int64_t>(nPlainDataSize) / detail::kSM4BlockSize + 1) *
      detail::kSM4BlockSize;
  if (nContentSize > MAX_ASN1_DATA_MEMORY_SIZE)
    return trace.Failed("Check Parameters", SIGIL_E_DATA_TOO_LONG,
                        "nSM4EncryptedContentSize > MAX_ASN1_DATA_MEMORY_SIZE");
  trace.Ok("Check Parameters");

  detail::SealingKeys keys;
  int nResult = detail::PrepareSealingKeys(trace, pbyCert, nCertSize, &keys);
  if (ORLO_OK != nResult) return nResult;

  unsigned char* pbyContent = nullptr;
  int nContentLength = 0;
  nResult = SM4_Encrypt_CBC(keys.IV(), keys.SessionKey(), pbyPlainData, nPlainDataSize, &pbyContent,
                            &nContentLength);
  const Buffer pContent(pbyContent);
  if (ORLO_OK != nResult) return trace.Failed("SM4_Encrypt_CBC", nResult, "ORLO_OK != nResult");
  trace.Ok("SM4_Encrypt_CBC");

  unsigned char* pbyEnvelope = nullptr;
  int nEnvelopeSize = 0;
  nResult = Encode_CMSEnvelope(keys.pbyIVParameter.get(), keys.nIVParameterSize,
                               keys.pbyEncryptedKey.get(), keys.nEncryptedKeySize,
                               keys.pbySubjectKeyID.get(), keys.nSubjectKeyIDSize, pContent.get(),
                               nContentLength, &pbyEnvelope, &nEnvelopeSize);
  Buffer pEnvelope(pbyEnvelope);
  if (ORLO_OK != nResult) return trace.Failed("Encode_CMSEnvelope", nResult, "ORLO_OK != nResult");
  trace.Ok("Encode_CMSEnvelope");

  *ppbyDerEnvelope = pEnvelope.release();
  *pnDerEnvelopeSize = nEnvelopeSize;
  return ORLO_OK;
}

int EncryptDataToBase64CMSEnvelope(const unsigned char* pbyCert, int nCertSize,
                                   const unsigned char* pbyPlainData, int nPlainDataSize,
                                   char** ppszBase64Envelope, int* pnBase64EnvelopeSize) {
  EngineTrace trace(kSourceUnit, "EncryptDataToBase64CMSEnvelope");

  if (ppszBase64Envelope == nullptr || pnBase64EnvelopeSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == ppszBase64Envelope || NULL == pnBase64EnvelopeSize");

  unsigned char* pbyDerEnvelope = nullptr;
  int nDerEnvelopeSize = 0;
  int nResult = EncryptDataToDerCMSEnvelope(pbyPlainData, nPlainDataSize, pbyCert, nCertSize,
                                            &pbyDerEnvelope, &nDerEnvelopeSize);
  const Buffer pDerEnvelope(pbyDerEnvelope);
  if (ORLO_OK != nResult)
    return trace.Failed("EncryptDataToDerCMSEnvelope", nResult, "ORLO_OK != nResult");
  trace.Ok("EncryptDataToDerCMSEnvelope");

  char* pszBase64 = nullptr;
  int nBase64Size = 0;
  nResult = Base64EncodeEx(&nBase64Size, pDerEnvelope.get(), nDerEnvelopeSize, &pszBase64);
  std::unique_ptr<char[]> pBase64(pszBase64);
  if (ORLO_OK != nResult) return trace.Failed("Base64EncodeEx", nResult, "ORLO_OK != nResult");
  trace.Ok("Base64EncodeEx");

  *ppszBase64Envelope = pBase64.release();
  *pnBase64EnvelopeSize = nBase64Size;
  return ORLO_OK;
}

int DecryptDerCMSEnvelopeData(FILE* fpSM2PFXFile, const char* pszPassword,
                              const unsigned char* pbyDerEnvelope, int nDerEnvelopeSize,
                              unsigned char** ppbyPlainData, int* pnPlainDataSize) {
  EngineTrace trace(kSourceUnit, "DecryptDerCMSEnvelopeData");

  if (fpSM2PFXFile == nullptr || pszPassword == nullptr || pbyDerEnvelope == nullptr ||
      nDerEnvelopeSize <= 0 || ppbyPlainData == nullptr || pnPlainDataSize == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == fpSM2PFXFile || NULL == pszPassword || NULL == pbyDerEnvelope");
  trace.Ok("Check Parameters");

  // The recipient identifier and the algorithm OIDs are not judged here: a
  // foreign envelope fails at the SM2 hash check, and the content is
  // SM4-CBC whatever the envelope names.
  unsigned char *pbyEncryptedKey = nullptr, *pbyIV = nullptr, *pbyContent = nullptr;
  int nEncryptedKeySize = 0, nIVSize = 0, nContentSize = 0;
  CMSEnvelopeOutputs outputs;
  outputs.ppbyEncryptedKey = &pbyEncryptedKey;
  outputs.pnEncryptedKeyLength = &nEncryptedKeySize;
  outputs.ppbyContentEncryptionAlgParameter = &pbyIV;
  outputs.pnContentEncryptionAlgParameterLength = &nIVSize;
  int nResult =
      Decode_CMSEnvelopeData(pbyDerEnvelope, nDerEnvelopeSize, outputs, &pbyContent, &nContentSize);
  const Buffer pEncryptedKey(pbyEncryptedKey), pIV(pbyIV), pContent(pbyContent);
  if (ORLO_OK != nResult)
    return trace.Failed("Decode_CMSEnvelopeData", nResult, "ORLO_OK != nResult");
  trace.Ok("Decode_CMSEnvelopeData");

  detail::SoftCertKeyPair keyPair;
  nResult = detail::OpenSoftCert(trace, fpSM2PFXFile, pszPassword, &keyPair, nullptr, nullptr);
  if (ORLO_OK != nResult) return nResult;

  detail::WipedBytes<SM2_SESSION_KEY_SIZE> sessionKey;
  nResult = detail::RecoverSessionKey(trace, keyPair, pEncryptedKey.get(), nEncryptedKeySize,
                                      nIVSize, &sessionKey);
  if (ORLO_OK != nResult) return nResult;

  unsigned char* pbyPlain = nullptr;
  int nPlainSize = 0;
  nResult = SM4_Decrypt_CBC(pIV.get(), sessionKey.by, pContent.get(), nContentSize, nIVSize,
                            SM2_SESSION_KEY_SIZE, &pbyPlain, &nPlainSize);
  if (ORLO_OK != nResult) return trace.Failed("SM4_Decrypt_CBC", nResult, "ORLO_OK != nResult");
  trace.Ok("SM4_Decrypt_CBC");

  *ppbyPlainData = pbyPlain;
  *pnPlainDataSize = nPlainSize;
  return ORLO_OK;
}

int DecryptBase64CMSEnvelopeData(FILE* fpSM2PFXFile, const char* pszPassword,
                                 const char* pszBase64CMSEnvelope, int nBase64Size,
                                 unsigned char** ppbyPlainData, int* pnPlainDataSize) {
  EngineTrace trace(kSourceUnit, "DecryptBase64CMSEnvelopeData");

  if (pszBase64CMSEnvelope == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER, "NULL == pszBase64CMSEnvelope");

  unsigned char* pbyDerEnvelope = nullptr;
  unsigned int nDerEnvelopeSize = 0;
  int nResult =
      Base64DecodeEx(&pbyDerEnvelope, &nDerEnvelopeSize, pszBase64CMSEnvelope, nBase64Size);
  const Buffer pDerEnvelope(pbyDerEnvelope);
  if (ORLO_OK != nResult)
    return trace.Failed("Base64DecodeEx(pszBase64CMSEnvelope)", nResult, "ORLO_OK != nResult");
  trace.Ok("Base64DecodeEx(pszBase64CMSEnvelope)");

  nResult =
      DecryptDerCMSEnvelopeData(fpSM2PFXFile, pszPassword, pDerEnvelope.get(),
                                static_cast<int>(nDerEnvelopeSize), ppbyPlainData, pnPlainDataSize);
  if (ORLO_OK != nResult)
    return trace.Failed("DecryptDerCMSEnvelopeData", nResult, "ORLO_OK != nResult");
  trace.Ok("DecryptDerCMSEnvelopeData");
  return ORLO_OK;
}

}  // namespace engine
