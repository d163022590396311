#include "smengine/envelope/RSADataEncryption.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "gmcrypto/objects/Objects.h"
#include "gmcrypto/provider/Provider.h"
#include "platform/fs/Files.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/envelope/EnvelopeInternal.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::CipherCtxPtr;
using detail::WipedArray;
using detail::WipedBytes;

constexpr const char* kSourceUnit = "RSADataEncryption";
// Decrypting a block may also release the cipher block held back before it.
constexpr int kDecryptedBlockSize = ENVELOPE_BLOCK_SIZE + detail::kSM4BlockSize;

// The envelope file read forward a block at a time: the pieces of a content
// follow one another, so one block serves many small ones and a seek is
// made only when a read leaves the block.
class BlockReader {
 public:
  explicit BlockReader(FILE* fpFile)
      : m_fpFile(fpFile), m_pBlock(new (std::nothrow) unsigned char[ENVELOPE_BLOCK_SIZE]) {}
  bool Ready() const { return m_pBlock != nullptr; }

  // Up to nWanted bytes at nOffset: ORLO_OK with *ppbyData and *pnHeld (at
  // least one byte), or ORLO_READ_FAULT when the file holds none there.
  int Get(std::int64_t nOffset, std::size_t nWanted, const unsigned char** ppbyData,
          std::size_t* pnHeld) {
    if (m_nStart < 0 || nOffset < m_nStart ||
        nOffset >= m_nStart + static_cast<std::int64_t>(m_nHeld)) {
      m_nStart = -1;
      if (0 != _fseeki64(m_fpFile, nOffset, SEEK_SET)) return ORLO_READ_FAULT;
      m_nHeld = std::fread(m_pBlock.get(), 1, ENVELOPE_BLOCK_SIZE, m_fpFile);
      if (ferror(m_fpFile) || m_nHeld == 0) return ORLO_READ_FAULT;
      m_nStart = nOffset;
    }
    const std::size_t nAt = static_cast<std::size_t>(nOffset - m_nStart);
    *ppbyData = m_pBlock.get() + nAt;
    *pnHeld = std::min(nWanted, m_nHeld - nAt);
    return ORLO_OK;
  }

 private:
  FILE* m_fpFile;
  detail::Buffer m_pBlock;
  std::int64_t m_nStart = -1;
  std::size_t m_nHeld = 0;
};

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

  BlockReader reader(fpCMSEnvelope);
  WipedArray decrypted(new (std::nothrow) unsigned char[kDecryptedBlockSize](),
                       kDecryptedBlockSize);
  if (!reader.Ready() || decrypted.p == nullptr)
    return trace.Failed("New buffer", ORLO_FAILED, "!pbyEncryptedData || !pbyDecryptedData");

  // One piece, or one of many (BER lets them nest): a content in millions of
  // pieces needs no more memory, and hardly more seeks, than one.
  const auto decryptPiece = [&](std::int64_t nOffset, std::int64_t nLength) -> int {
    for (std::int64_t nRemaining = nLength; nRemaining > 0;) {
      const unsigned char* pbyEncrypted = nullptr;
      std::size_t nHeld = 0;
      const std::size_t nWanted =
          static_cast<std::size_t>(std::min<std::int64_t>(nRemaining, ENVELOPE_BLOCK_SIZE));
      // The file ends before the value does: it changed after it was decoded.
      if (ORLO_OK != reader.Get(nOffset + (nLength - nRemaining), nWanted, &pbyEncrypted, &nHeld))
        return trace.Failed("fread", ORLO_READ_FAULT, "nBytesToRead != nBytesOfRead");

      int nDecryptedDataSize = 0;
      if (1 != EVP_DecryptUpdate(pCtx, decrypted.p, &nDecryptedDataSize, pbyEncrypted,
                                 static_cast<int>(nHeld)))
        return trace.FailedWithLibraryError("EVP_DecryptUpdate", ORLO_FAILED, "1 != nResult");
      if (!detail::WriteAll(fpOutput, decrypted.p, static_cast<std::size_t>(nDecryptedDataSize)))
        return trace.Failed("Check write bytes", ORLO_FAILED, "nWriteBytes != nDecryptedDataSize");
      nRemaining -= static_cast<std::int64_t>(nHeld);
    }
    return ORLO_OK;
  };
  const int nResult = ForEachOctetStringPiece(pNode, decryptPiece);
  if (ORLO_OK != nResult)
    return trace.Failed("ForEachOctetStringPiece", nResult, "ORLO_OK != nResult");
  trace.Ok("EVP_DecryptUpdate");
  return ORLO_OK;
}

}  // namespace engine
