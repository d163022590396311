#include "smengine/RSADataEncryption.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "gmcrypto/Objects.h"
#include "gmcrypto/Provider.h"
#include "platform/Files.h"
#include "smengine/DataEncryption.h"
#include "smengine/DataEncryptionInternal.h"
#include "smengine/EngineResult.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::CipherCtxPtr;
using detail::WipedArray;
using detail::WipedBytes;

constexpr const char* kSourceUnit = "RSADataEncryption";
// Decrypting a block may also release the cipher block held back before it.
constexpr int kDecryptedBlockSize = ENVELOPE_BLOCK_SIZE + detail::kSM4BlockSize;

}  // namespace

const EVP_CIPHER* GetEVPCipherbyNID() {
  EngineTrace trace(kSourceUnit, "GetEVPCipherbyNID");
  const EVP_CIPHER* pCipher = gmcrypto::GetCipherByNID(gmcrypto::NID_ChinaSM4_CBC);
  if (pCipher == nullptr) {
    trace.FailedWithLibraryError("NID_ChinaSM4_CBC", ORLO_FAILED, "NULL == pCipher");
    return nullptr;
  }
  trace.Ok("NID_ChinaSM4_CBC");
  return pCipher;
}

int DecryptFileEnvelopeContent(const unsigned char* pbyIV, FILE* fpCMSEnvelope,
                               const NodeEx* pEncryptedContentNode,
                               const unsigned char* pbySessionKey, FILE* fpOutput) {
  EngineTrace trace(kSourceUnit, "DecryptFileEnvelopeContent");

  if (pbyIV == nullptr || fpCMSEnvelope == nullptr || pEncryptedContentNode == nullptr ||
      pbySessionKey == nullptr || fpOutput == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyIV || NULL == fpCMSEnvelope || NULL == pNode || "
                        "NULL == pbySessionKey || NULL == fpOutput");
  trace.Ok("Check Parameters");

  CipherCtxPtr pCtx;
  int nResult =
      detail::NewSM4Context(trace, GetEVPCipherbyNID(), false, pbySessionKey, pbyIV, &pCtx);
  if (ORLO_OK != nResult) return nResult;

  // ProcessOneNode walks the pieces of a constructed node itself.
  nResult = DecryptFileEnvelopeContent_ProcessOneNode(fpOutput, fpCMSEnvelope, pCtx.get(),
                                                      pEncryptedContentNode);
  if (ORLO_OK != nResult)
    return trace.Failed("DecryptFileEnvelopeContent_ProcessOneNode", nResult, "ORLO_OK != nResult");
  trace.Ok("DecryptFileEnvelopeContent_ProcessOneNode");

  WipedBytes<detail::kSM4BlockSize> finalBlock;
  int nFinalBlockSize = 0;
  if (1 != EVP_DecryptFinal_ex(pCtx.get(), finalBlock.by, &nFinalBlockSize))
    return trace.FailedWithLibraryError("EVP_DecryptFinal_ex", ORLO_FAILED, "1 != nResult");
  trace.Ok("EVP_DecryptFinal_ex");

  if (!detail::WriteAll(fpOutput, finalBlock.by, static_cast<std::size_t>(nFinalBlockSize)))
    return trace.Failed("Check write bytes", ORLO_FAILED, "nWriteBytes != nFinalBlockSize");
  // Whatever the stream still buffers must reach the file before the
  // plaintext counts as written.
  if (0 != std::fflush(fpOutput))
    return trace.Failed("Check write bytes", ORLO_FAILED, "0 != fflush(fpOutput)");
  trace.Ok("Check write bytes");
  return ORLO_OK;
}

int DecryptFileEnvelopeContent_ProcessOneNode(FILE* fpOutput, FILE* fpCMSEnvelope,
                                              EVP_CIPHER_CTX* pCtx, const NodeEx* pNode) {
  EngineTrace trace(kSourceUnit, "DecryptFileEnvelopeContent_ProcessOneNode");

  if (fpOutput == nullptr || fpCMSEnvelope == nullptr || pCtx == nullptr || pNode == nullptr ||
      pNode->nValueLength < 0)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == fpOutput || NULL == fpCMSEnvelope || NULL == pCtx || "
                        "NULL == pNode");

  // A constructed piece (BER lets them nest) holds its bytes in its children.
  if (!pNode->vetNodes.empty()) {
    for (const auto& pChild : pNode->vetNodes) {
      const int nResult =
          DecryptFileEnvelopeContent_ProcessOneNode(fpOutput, fpCMSEnvelope, pCtx, pChild.get());
      if (ORLO_OK != nResult) return nResult;
    }
    return ORLO_OK;
  }

  if (0 != _fseeki64(fpCMSEnvelope, pNode->nValueOffset, SEEK_SET))
    return trace.Failed("fseek", ORLO_FAILED, "0 != _fseeki64(fpCMSEnvelope, nValueOffset)");
  trace.Ok("fseek");

  const detail::Buffer encrypted(new (std::nothrow) unsigned char[ENVELOPE_BLOCK_SIZE]());
  WipedArray decrypted(new (std::nothrow) unsigned char[kDecryptedBlockSize](),
                       kDecryptedBlockSize);
  if (!encrypted || decrypted.p == nullptr)
    return trace.Failed("New buffer", ORLO_FAILED, "!pbyEncryptedData || !pbyDecryptedData");

  std::int64_t nRemaining = pNode->nValueLength;
  while (nRemaining > 0) {
    const std::size_t nBytesToRead =
        static_cast<std::size_t>(std::min<std::int64_t>(nRemaining, ENVELOPE_BLOCK_SIZE));
    const std::size_t nBytesOfRead = std::fread(encrypted.get(), 1, nBytesToRead, fpCMSEnvelope);
    if (ferror(fpCMSEnvelope))
      return trace.Failed("fread", ORLO_READ_FAULT, "ferror(fpCMSEnvelope)");
    // The file ended before the value did: it changed after it was decoded.
    if (nBytesOfRead != nBytesToRead)
      return trace.Failed("fread", ORLO_READ_FAULT, "nBytesToRead != nBytesOfRead");

    int nDecryptedDataSize = 0;
    if (1 != EVP_DecryptUpdate(pCtx, decrypted.p, &nDecryptedDataSize, encrypted.get(),
                               static_cast<int>(nBytesOfRead)))
      return trace.FailedWithLibraryError("EVP_DecryptUpdate", ORLO_FAILED, "1 != nResult");
    if (!detail::WriteAll(fpOutput, decrypted.p, static_cast<std::size_t>(nDecryptedDataSize)))
      return trace.Failed("Check write bytes", ORLO_FAILED, "nWriteBytes != nDecryptedDataSize");
    nRemaining -= static_cast<std::int64_t>(nBytesOfRead);
  }
  trace.Ok("EVP_DecryptUpdate");
  return ORLO_OK;
}

}  // namespace engine
