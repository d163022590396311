// SM2 envelopes of files of any size. The envelope header is written with
// the content length announced in advance, then the ciphertext is streamed
// after it block by block; nothing the size of the file is ever in memory.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/envelope/EnvelopeInternal.h"
#include "smengine/envelope/RSADataEncryption.h"
#include "trace/Trace.h"

namespace engine {
namespace {

using detail::Buffer;
using detail::CipherCtxPtr;
using detail::WipedArray;
using detail::WriteAll;

constexpr const char* kSourceUnit = detail::kDataEncryptionUnit;

// Encrypts what remains of the plain file (nPlainSize bytes from its start)
// into fpOutput; *pnTotal counts the ciphertext bytes the cipher produced.
int StreamEncryptedContent(EngineTrace& trace, EVP_CIPHER_CTX* pCtx, FILE* fpPlainFile,
                           std::int64_t nPlainSize, FILE* fpOutput, std::int64_t* pnTotal) {
  WipedArray plain(new (std::nothrow) unsigned char[ENVELOPE_BLOCK_SIZE](), ENVELOPE_BLOCK_SIZE);
  const Buffer pCipher(
      new (std::nothrow) unsigned char[ENVELOPE_BLOCK_SIZE + detail::kSM4BlockSize]());
  if (plain.p == nullptr || !pCipher)
    return trace.Failed("New buffer", ORLO_FAILED, "!pbyPlainData || !pbyCipherData");
  trace.Ok("New buffer");

  std::int64_t nRemaining = nPlainSize;
  while (nRemaining > 0) {
    const bool bFullBlock = nRemaining >= ENVELOPE_BLOCK_SIZE;
    const std::size_t nBytesToRead =
        bFullBlock ? ENVELOPE_BLOCK_SIZE : static_cast<std::size_t>(nRemaining);
    // Fewer bytes than measured means the file changed under us; stop rather
    // than announce a length the envelope will not have.
    const std::size_t nBytesOfRead = std::fread(plain.p, 1, nBytesToRead, fpPlainFile);
    if (nBytesToRead != nBytesOfRead || ferror(fpPlainFile))
      return trace.Failed("fread", ORLO_READ_FAULT,
                          bFullBlock ? "BLOCK_SIZE != nBytesOfRead || ferror(fpPlainFile)"
                                     : "nBytesToRead != nBytesOfRead || ferror(fpPlainFile)");

    int nEncryptedDataSize = 0;
    if (1 != EVP_EncryptUpdate(pCtx, pCipher.get(), &nEncryptedDataSize, plain.p,
                               static_cast<int>(nBytesOfRead)))
      return trace.FailedWithLibraryError("EVP_EncryptUpdate", ORLO_FAILED, "1 != nResult");
    if (!WriteAll(fpOutput, pCipher.get(), static_cast<std::size_t>(nEncryptedDataSize)))
      return trace.Failed("fwrite", ORLO_WRITE_FAULT, "sizeWrite != nEncryptedDataSize");
    *pnTotal += nEncryptedDataSize;
    nRemaining -= static_cast<std::int64_t>(nBytesOfRead);
  }
  trace.Ok("EVP_EncryptUpdate");

  int nFinalSize = 0;
  if (1 != EVP_EncryptFinal_ex(pCtx, pCipher.get(), &nFinalSize))
    return trace.FailedWithLibraryError("EVP_EncryptFinal_ex", ORLO_FAILED, "1 != nResult");
  if (!WriteAll(fpOutput, pCipher.get(), static_cast<std::size_t>(nFinalSize)))
    return trace.Failed("fwrite", ORLO_WRITE_FAULT, "sizeWrite != nFinalSize");
  *pnTotal += nFinalSize;
  trace.Ok("EVP_EncryptFinal_ex");
  return ORLO_OK;
}

}  // namespace

int EncryptFileToDerCMSEnvelope(FILE* fpOutput, const unsigned char* pbyCert, int nCertSize,
                                FILE* fpPlainFile) {
  EngineTrace trace(kSourceUnit, "EncryptFileToDerCMSEnvelope");

  if (fpOutput == nullptr || pbyCert == nullptr || nCertSize <= 0 || fpPlainFile == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == fpOutput || NULL == pbyCert || NULL == fpPlainFile");
  trace.Ok("Check Parameters");

  detail::SealingKeys keys;
  int nResult = detail::PrepareSealingKeys(trace, pbyCert, nCertSize, &keys);
  if (ORLO_OK != nResult) return nResult;

  std::int64_t nPlainSize = 0;
  nResult = GetFileSize_Ex64(fpPlainFile, &nPlainSize);
  if (ORLO_OK != nResult) return trace.Failed("GetFileSize_Ex64", nResult, "ORLO_OK != nResult");
  trace.Ok("GetFileSize_Ex64");
  const std::int64_t nSM4EncryptedContentSize =
      (nPlainSize / detail::kSM4BlockSize + 1) * detail::kSM4BlockSize;
  trace.Note("EncryptFileToDerCMSEnvelope - Source plain file size:[%lld]\n",
             static_cast<long long>(nPlainSize));
  trace.Note("EncryptFileToDerCMSEnvelope - SM4 encrypted data size:[%lld]\n",
             static_cast<long long>(nSM4EncryptedContentSize));

  unsigned char* pbyHeader = nullptr;
  int nDerCMSEnvelopeSize = 0;
  nResult = Encode_CMSEnvelope(keys.pbyIVParameter.get(), keys.nIVParameterSize,
                               keys.pbyEncryptedKey.get(), keys.nEncryptedKeySize,
                               keys.pbySubjectKeyID.get(), keys.nSubjectKeyIDSize, nullptr,
                               nSM4EncryptedContentSize, &pbyHeader, &nDerCMSEnvelopeSize);
  const Buffer pHeader(pbyHeader);
  if (ORLO_OK != nResult) return trace.Failed("Encode_CMSEnvelope", nResult, "ORLO_OK != nResult");
  trace.Ok("Encode_CMSEnvelope");
  trace.Note(
      "EncryptFileToDerCMSEnvelope - CMS envelope(without EncryptedContent node) data "
      "size:[%lld]\n",
      static_cast<long long>(nDerCMSEnvelopeSize));

  if (!WriteAll(fpOutput, pHeader.get(), static_cast<std::size_t>(nDerCMSEnvelopeSize)))
    return trace.Failed("fwrite", ORLO_WRITE_FAULT, "sizeWrite != nDerCMSEnvelopeSize");
  trace.Ok("fwrite");

  CipherCtxPtr pCtx;
  nResult =
      detail::NewSM4Context(trace, GetEVPCipherbyNID(), true, keys.SessionKey(), keys.IV(), &pCtx);
  if (ORLO_OK != nResult) return nResult;

  std::int64_t nTotalEncryptedDataSize = 0;
  nResult = StreamEncryptedContent(trace, pCtx.get(), fpPlainFile, nPlainSize, fpOutput,
                                   &nTotalEncryptedDataSize);
  if (ORLO_OK != nResult) return nResult;
  trace.Note("EncryptFileToDerCMSEnvelope - Total encrypted data size:[%lld]\n",
             static_cast<long long>(nTotalEncryptedDataSize));

  if (nSM4EncryptedContentSize != nTotalEncryptedDataSize)
    return trace.Failed("Check total SM4 encrypted data size", ORLO_FAILED,
                        "nSM4EncryptedContentSize != nTotalEncryptedDataSize");
  trace.Ok("Check total SM4 encrypted data size");

  // A buffered stream may accept every block and refuse them only when it
  // empties its buffer; the envelope is not written until that has worked.
  if (0 != std::fflush(fpOutput))
    return trace.Failed("fflush", ORLO_WRITE_FAULT, "0 != fflush(fpOutput)");
  trace.Note("EncryptFileToDerCMSEnvelope - CMS envelope file size:[%lld]\n",
             static_cast<long long>(nSM4EncryptedContentSize + nDerCMSEnvelopeSize));
  return ORLO_OK;
}

int DecryptDerCMSEnvelopeFile(const char* pszPassword, FILE* fpOutput, FILE* fpCMSEnvelope,
                              FILE* fpSM2PFXFile) {
  EngineTrace trace(kSourceUnit, "DecryptDerCMSEnvelopeFile");

  if (pszPassword == nullptr || fpOutput == nullptr || fpCMSEnvelope == nullptr ||
      fpSM2PFXFile == nullptr)
    return trace.Failed("Check Parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pszPassword || NULL == fpOutput || NULL == fpCMSEnvelope || "
                        "NULL == fpSM2PFXFile");
  trace.Ok("Check Parameters");

  // The password is tried before the envelope is touched.
  detail::SoftCertKeyPair keyPair;
  Buffer pCert;
  int nCertSize = 0;
  int nResult =
      detail::OpenSoftCert(trace, fpSM2PFXFile, pszPassword, &keyPair, &pCert, &nCertSize);
  if (ORLO_OK != nResult) return nResult;

  unsigned char* pbyCertSubjectKeyID = nullptr;
  int nCertSubjectKeyIDSize = 0;
  nResult =
      GetSubjectKeyIDFromCert(pCert.get(), nCertSize, &pbyCertSubjectKeyID, &nCertSubjectKeyIDSize);
  const Buffer pCertSubjectKeyID(pbyCertSubjectKeyID);
  if (ORLO_OK != nResult)
    return trace.Failed("GetSubjectKeyIDFromCert", nResult, "ORLO_OK != nResult");
  trace.Ok("GetSubjectKeyIDFromCert");

  unsigned char *pbySubjectKeyID = nullptr, *pbyEncryptedKey = nullptr, *pbyIV = nullptr;
  int nSubjectKeyIDSize = 0, nEncryptedKeySize = 0, nIVSize = 0;
  char *pszKeyEncryptionAlgOid = nullptr, *pszContentEncryptionAlgOid = nullptr;
  NodeEx* pEncryptedContentNode = nullptr;
  CMSEnvelopeOutputs outputs{
      &pbySubjectKeyID,        &nSubjectKeyIDSize,          &pbyEncryptedKey, &nEncryptedKeySize,
      &pszKeyEncryptionAlgOid, &pszContentEncryptionAlgOid, &pbyIV,           &nIVSize};
  nResult = Decode_CMSEnvelopeFile(fpCMSEnvelope, outputs, &pEncryptedContentNode);
  const Buffer pSubjectKeyID(pbySubjectKeyID), pEncryptedKey(pbyEncryptedKey), pIV(pbyIV);
  const std::unique_ptr<char[]> pKeyAlgOid(pszKeyEncryptionAlgOid),
      pContentAlgOid(pszContentEncryptionAlgOid);
  const std::unique_ptr<NodeEx> pContentNode(pEncryptedContentNode);
  if (ORLO_OK != nResult)
    return trace.Failed("Decode_CMSEnvelopeFile", nResult, "nResult != ORLO_OK");
  trace.Ok("Decode_CMSEnvelopeFile");

  // The envelope's identifier is compared over its own length: senders that
  // write a shortened or empty identifier still reach their recipient, and
  // a key that is not the recipient's fails at the SM2 check below.
  if (nSubjectKeyIDSize > nCertSubjectKeyIDSize ||
      (nSubjectKeyIDSize > 0 && 0 != std::memcmp(pSubjectKeyID.get(), pCertSubjectKeyID.get(),
                                                 static_cast<std::size_t>(nSubjectKeyIDSize))))
    return trace.Failed("Check CMS envelope recipient subject key id", SIGIL_E_NO_MATCHING_SM2_PFX,
                        "nSubjectKeyIDSize > nCertSubjectKeyIDSize || 0 != memcmp");
  trace.Ok("Check CMS envelope recipient subject key id");

  if (pKeyAlgOid == nullptr || 0 != std::strcmp(pKeyAlgOid.get(), kOidSM2Encrypt))
    return trace.Failed("Check CMS envelope KeyEncryptionAlgOid", SIGIL_E_INVALID_ENVELOPE,
                        "0 != strcmp(pszKeyEncryptionAlgOid, \"1.2.156.10197.1.301.3\")");
  trace.Ok("Check CMS envelope KeyEncryptionAlgOid");
  if (pContentAlgOid == nullptr || 0 != std::strcmp(pContentAlgOid.get(), kOidSM4CBC))
    return trace.Failed("Check CMS envelope ContentEncryptionAlgOid", SIGIL_E_INVALID_ENVELOPE,
                        "0 != strcmp(pszContentEncryptionAlgOid, \"1.2.156.10197.1.104\")");
  trace.Ok("Check CMS envelope ContentEncryptionAlgOid");

  detail::WipedBytes<SM2_SESSION_KEY_SIZE> sessionKey;
  nResult = detail::RecoverSessionKey(trace, keyPair, pEncryptedKey.get(), nEncryptedKeySize,
                                      nIVSize, &sessionKey);
  if (ORLO_OK != nResult) return nResult;

  nResult = DecryptFileEnvelopeContent(pIV.get(), fpCMSEnvelope, pContentNode.get(), sessionKey.by,
                                       fpOutput);
  if (ORLO_OK != nResult)
    return trace.Failed("DecryptFileEnvelopeContent", nResult, "ORLO_OK != nResult");
  trace.Ok("DecryptFileEnvelopeContent");
  return ORLO_OK;
}

}  // namespace engine
