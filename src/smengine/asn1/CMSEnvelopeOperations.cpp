#include "smengine/asn1/CMSEnvelopeOperations.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1EngineTlv.h"
#include "smengine/common/EngineResult.h"
#include "trace/Trace.h"

namespace engine {
namespace {

constexpr char kSourceUnit[] = "CMSEnvelopeOperations";
constexpr BYTE kVersion2 = 0x02;
constexpr BYTE kNullParameter[] = {0x05, 0x00};

using NodePtr = std::unique_ptr<NodeEx>;
using Buffer = std::unique_ptr<BYTE[]>;

Buffer NewZeroed(std::int64_t nSize) {
  return Buffer(new (std::nothrow) BYTE[nSize > 0 ? nSize : 1]());
}

// Leaf with a copy of the bytes; null on failure.
NodePtr MakeLeaf(BYTE byTag, const BYTE* pbyValue, std::int64_t nLength) {
  NodePtr pNode(new (std::nothrow) NodeEx);
  if (!pNode) return nullptr;
  pNode->byTag = byTag;
  if (nLength > 0 && ORLO_OK != SetNodeExValue(pNode.get(), pbyValue, nLength)) return nullptr;
  return pNode;
}

NodePtr MakeInner(BYTE byTag) {
  NodePtr pNode(new (std::nothrow) NodeEx);
  if (pNode) pNode->byTag = byTag;
  return pNode;
}

// Adds the children in order; the parent owns each one that was added.
bool AddChildren(NodeEx* pParent, std::initializer_list<NodePtr*> children) {
  for (NodePtr* pChild : children) {
    if (ORLO_OK != AddChildNodeEx(pChild->get(), pParent)) return false;
    pChild->release();
  }
  return true;
}

// A DER INTEGER's content for an unsigned 32-byte big-endian value: leading
// zeros dropped (a strict INTEGER parser rejects them), one 00 kept or added
// where the top bit would otherwise read as a sign.
NodePtr MakeCoordinateLeaf(const BYTE* pbyCoordinate) {
  int nSkip = 0;
  while (nSkip < SM2_COORDINATE_SIZE - 1 && pbyCoordinate[nSkip] == 0) ++nSkip;
  BYTE abyContent[SM2_COORDINATE_SIZE + 1] = {};
  int nLength = 0;
  if (pbyCoordinate[nSkip] & 0x80) abyContent[nLength++] = 0x00;
  std::memcpy(abyContent + nLength, pbyCoordinate + nSkip, SM2_COORDINATE_SIZE - nSkip);
  nLength += SM2_COORDINATE_SIZE - nSkip;
  return MakeLeaf(0x02, abyContent, nLength);
}

// Copies [nStart, nStart + nLength) of a decoded node's source.
int ReadSourceBytes(const NodeEx* pNode, std::int64_t nStart, std::int64_t nLength,
                    Buffer* ppbyOut) {
  if (nStart < 0 || nLength < 0 || nStart + nLength > pNode->nSourceSize) return ORLO_FAILED;
  Buffer pbyOut = NewZeroed(nLength);
  if (!pbyOut) return ORLO_FAILED;
  if (nLength > 0) {
    if (pNode->pbySource) {
      std::memcpy(pbyOut.get(), pNode->pbySource + nStart, static_cast<std::size_t>(nLength));
    } else if (pNode->pFile) {
      if (0 != _fseeki64(pNode->pFile, nStart, SEEK_SET)) return ORLO_FAILED;
      if (std::fread(pbyOut.get(), 1, static_cast<std::size_t>(nLength), pNode->pFile) !=
          static_cast<std::size_t>(nLength))
        return ORLO_FAILED;
    } else {
      return ORLO_FAILED;
    }
  }
  *ppbyOut = std::move(pbyOut);
  return ORLO_OK;
}

// ContentInfo { type, [0] EnvelopedData { version, recipientInfos,
// EncryptedContentInfo { type, algorithm, [0] encryptedContent } } }: the
// encryptedContent, whose pieces (when it has any) are never made nodes.
constexpr int kEncryptedContentPath[] = {1, 0, 2, 2};

// Identifiers, the encrypted session key and the IV are a few dozen bytes; a
// file's header that claims more is not read into memory at all.
constexpr std::int64_t kMaxHeaderValueSize = 0x10000;

// The node's value, read whole when it is at most nMaxLength bytes.
int ReadValue(EngineTrace& trace, const NodeEx* pNode, Buffer* ppbyOut, int* pnLength,
              LPCSTR pszReason, std::int64_t nMaxLength = kMaxHeaderValueSize) {
  if (pNode->nValueLength < 0 || pNode->nValueLength > nMaxLength)
    return trace.Failed("Check value length", ORLO_FAILED, "nValueLength > nMaxLength");
  if (ORLO_OK != ReadSourceBytes(pNode, pNode->nValueOffset, pNode->nValueLength, ppbyOut))
    return trace.Failed("Read value", ORLO_FAILED, pszReason);
  *pnLength = static_cast<int>(pNode->nValueLength);
  return ORLO_OK;
}

// Dotted text of an OID node, read as its whole TLV (whatever the number of
// length octets).
int ReadOidText(EngineTrace& trace, const NodeEx* pNode, std::unique_ptr<char[]>* ppszOid,
                LPCSTR pszObjectReason, LPCSTR pszTextReason) {
  const std::int64_t nHeader = 1 + pNode->nLengthOctetsSize;
  if (pNode->nValueLength < 0 || pNode->nValueLength > 0xFFFF)
    return trace.Failed("d2i_ASN1_OBJECT", ORLO_FAILED, pszObjectReason);
  Buffer pbyTlv;
  if (ORLO_OK !=
      ReadSourceBytes(pNode, pNode->nValueOffset - nHeader, nHeader + pNode->nValueLength, &pbyTlv))
    return trace.Failed("Read OID", ORLO_FAILED, pszObjectReason);
  const unsigned char* pbyCursor = pbyTlv.get();
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> pObject(
      d2i_ASN1_OBJECT(nullptr, &pbyCursor, static_cast<long>(nHeader + pNode->nValueLength)),
      &ASN1_OBJECT_free);
  if (!pObject)
    return trace.FailedWithLibraryError("d2i_ASN1_OBJECT", ORLO_FAILED, pszObjectReason);
  const int nTextLength = OBJ_obj2txt(nullptr, 0, pObject.get(), 1);
  if (nTextLength <= 0) return trace.Failed("OBJ_obj2txt", ORLO_FAILED, pszTextReason);
  std::unique_ptr<char[]> pszOid(new (std::nothrow) char[nTextLength + 1]());
  if (!pszOid) return trace.Failed("New memory", ORLO_FAILED, "NULL == pszOid");
  if (OBJ_obj2txt(pszOid.get(), nTextLength + 1, pObject.get(), 1) <= 0)
    return trace.Failed("OBJ_obj2txt", ORLO_FAILED, pszTextReason);
  *ppszOid = std::move(pszOid);
  return ORLO_OK;
}

struct DecodedEnvelope {
  Buffer pbySubjectKeyID;
  int nSubjectKeyIDLength = 0;
  Buffer pbyEncryptedKey;
  int nEncryptedKeyLength = 0;
  std::unique_ptr<char[]> pszKeyEncryptionAlgOid;
  std::unique_ptr<char[]> pszContentEncryptionAlgOid;
  Buffer pbyParameter;
  int nParameterLength = 0;
  const NodeEx* pEncryptedContentNode = nullptr;  // inside the decoded tree
};

size_t Count(const NodeEx* pNode) { return pNode->vetNodes.size(); }
const NodeEx* Child(const NodeEx* pNode, size_t i) { return pNode->vetNodes[i].get(); }

// Shape checks and value reads shared by the memory and file decoders.
int TakeApartEnvelope(EngineTrace& trace, const NodeEx* pRoot, DecodedEnvelope* pOut) {
  constexpr char kStep[] = "Check CMS envelope nodes";
  const int kBad = SIGIL_E_INVALID_ENVELOPE;
  if (Count(pRoot) != 2 || Count(Child(pRoot, 1)) != 1)
    return trace.Failed(kStep, kBad, "2 != ContentInfo nodes || 1 != content nodes");
  const NodeEx* pEnvelopedData = Child(Child(pRoot, 1), 0);
  if (Count(pEnvelopedData) != 3 || Count(Child(pEnvelopedData, 1)) != 1)
    return trace.Failed(kStep, kBad, "3 != EnvelopedData nodes || 1 != recipientInfos nodes");
  const NodeEx* pKeyTrans = Child(Child(pEnvelopedData, 1), 0);
  if (Count(pKeyTrans) != 4 || Count(Child(pKeyTrans, 1)) != 0)
    return trace.Failed(kStep, kBad, "4 != KeyTransRecipientInfo nodes || 0 != rid nodes");
  int nResult = ReadValue(trace, Child(pKeyTrans, 1), &pOut->pbySubjectKeyID,
                          &pOut->nSubjectKeyIDLength, "!pbyRecipientSubjectKeyID");
  if (ORLO_OK != nResult) return nResult;

  const NodeEx* pKeyAlg = Child(pKeyTrans, 2);
  if (Count(pKeyAlg) != 2 || Count(Child(pKeyAlg, 0)) != 0 || Count(Child(pKeyTrans, 3)) != 0)
    return trace.Failed(kStep, kBad,
                        "2 != keyEncryptionAlgorithm nodes || 0 != encryptedKey nodes");
  nResult = ReadOidText(trace, Child(pKeyAlg, 0), &pOut->pszKeyEncryptionAlgOid,
                        "NULL == pstKeyEncryptionAlgOid", "0 == nKeyEncryptionAlgOidLength");
  if (ORLO_OK != nResult) return nResult;
  nResult = ReadValue(trace, Child(pKeyTrans, 3), &pOut->pbyEncryptedKey,
                      &pOut->nEncryptedKeyLength, "!pbyEncryptedKey");
  if (ORLO_OK != nResult) return nResult;

  const NodeEx* pContentInfo = Child(pEnvelopedData, 2);
  if (Count(pContentInfo) != 3 || Count(Child(pContentInfo, 1)) != 2)
    return trace.Failed(kStep, kBad,
                        "3 != EncryptedContentInfo nodes || 2 != contentEncryptionAlgorithm nodes");
  const NodeEx* pContentAlg = Child(pContentInfo, 1);
  if (Count(Child(pContentAlg, 0)) != 0 || Count(Child(pContentAlg, 1)) != 0)
    return trace.Failed(kStep, kBad, "0 != contentEncryptionAlgorithm OID/parameter nodes");
  nResult =
      ReadOidText(trace, Child(pContentAlg, 0), &pOut->pszContentEncryptionAlgOid,
                  "NULL == pstContentEncryptionAlgOid", "0 == nContentEncryptionAlgOidLength");
  if (ORLO_OK != nResult) return nResult;
  const NodeEx* pParameter = Child(pContentAlg, 1);
  if (pParameter->nValueLength != 0) {
    nResult = ReadValue(trace, pParameter, &pOut->pbyParameter, &pOut->nParameterLength,
                        "!pbyContentEncryptionAlgParameter");
    if (ORLO_OK != nResult) return nResult;
  }
  pOut->pEncryptedContentNode = Child(pContentInfo, 2);
  trace.Ok(kStep);
  return ORLO_OK;
}

// The encrypted content of an envelope in memory, its pieces (if it came in
// pieces) joined; at most MAX_ASN1_DATA_MEMORY_SIZE bytes.
int ReadContent(EngineTrace& trace, const NodeEx* pContent, Buffer* ppbyOut, int* pnLength) {
  if (!asn1::IsConstructedTag(pContent->byTag))
    return ReadValue(trace, pContent, ppbyOut, pnLength, "!pbyEncryptedContent",
                     MAX_ASN1_DATA_MEMORY_SIZE);
  // The pieces hold fewer bytes than the value that wraps them: counted
  // first, so that only what they hold is allocated.
  if (!pContent->pbySource || pContent->nValueLength < 0 ||
      pContent->nValueLength > MAX_ASN1_DATA_MEMORY_SIZE)
    return trace.Failed("Check value length", ORLO_FAILED,
                        "nValueLength > MAX_ASN1_DATA_MEMORY_SIZE");
  std::int64_t nTotal = 0;
  if (ORLO_OK != ForEachOctetStringPiece(pContent, [&](std::int64_t, std::int64_t nLength) {
        nTotal += nLength;
        return ORLO_OK;
      }))
    return trace.Failed("ForEachOctetStringPiece", ORLO_FAILED, "!pbyEncryptedContent");
  Buffer pbyOut = NewZeroed(nTotal);
  if (!pbyOut) return trace.Failed("New memory", ORLO_FAILED, "!pbyEncryptedContent");
  std::int64_t nJoined = 0;
  const int nResult = ForEachOctetStringPiece(
      pContent, [&](std::int64_t nOffset, std::int64_t nLength) {
        if (nLength > nTotal - nJoined) return ORLO_FAILED;
        if (nLength > 0)
          std::memcpy(pbyOut.get() + nJoined, pContent->pbySource + nOffset,
                      static_cast<std::size_t>(nLength));
        nJoined += nLength;
        return ORLO_OK;
      });
  if (ORLO_OK != nResult)
    return trace.Failed("ForEachOctetStringPiece", ORLO_FAILED, "!pbyEncryptedContent");
  *ppbyOut = std::move(pbyOut);
  *pnLength = static_cast<int>(nJoined);
  return ORLO_OK;
}

template <typename T>
void HandOver(T** ppOut, std::unique_ptr<T[]>& pValue) {
  if (ppOut) *ppOut = pValue.release();
}
void HandOver(int* pnOut, int nValue) {
  if (pnOut) *pnOut = nValue;
}

void HandOverAll(const CMSEnvelopeOutputs& outputs, DecodedEnvelope& decoded) {
  HandOver(outputs.ppbySubjectKeyID, decoded.pbySubjectKeyID);
  HandOver(outputs.pnSubjectKeyIDLength, decoded.nSubjectKeyIDLength);
  HandOver(outputs.ppbyEncryptedKey, decoded.pbyEncryptedKey);
  HandOver(outputs.pnEncryptedKeyLength, decoded.nEncryptedKeyLength);
  HandOver(outputs.ppszKeyEncryptionAlgOid, decoded.pszKeyEncryptionAlgOid);
  HandOver(outputs.ppszContentEncryptionAlgOid, decoded.pszContentEncryptionAlgOid);
  HandOver(outputs.ppbyContentEncryptionAlgParameter, decoded.pbyParameter);
  HandOver(outputs.pnContentEncryptionAlgParameterLength, decoded.nParameterLength);
}

}  // namespace

int Encode_ObjectIdentifier(const char* pszOid, int nFlag, BYTE** ppbyEncoded,
                            int* pnEncodedLength) {
  EngineTrace trace(kSourceUnit, "Encode_ObjectIdentifier");
  if (!pszOid || !ppbyEncoded || !pnEncodedLength)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pszOid || NULL == ppbyEncoded || NULL == pnEncodedLength");
  const int nValueLength = a2d_ASN1_OBJECT(nullptr, 0, pszOid, -1);
  if (nValueLength <= 0)
    return trace.FailedWithLibraryError("a2d_ASN1_OBJECT", ORLO_FAILED, "nValueLength <= 0");
  Buffer pbyValue = NewZeroed(nValueLength);
  if (!pbyValue) return trace.Failed("New memory", ORLO_FAILED, "NULL == pbyValue");
  if (a2d_ASN1_OBJECT(pbyValue.get(), nValueLength, pszOid, -1) <= 0)
    return trace.FailedWithLibraryError("a2d_ASN1_OBJECT", ORLO_FAILED, "nValueLength <= 0");
  if (nFlag == 0) {
    *ppbyEncoded = pbyValue.release();
    *pnEncodedLength = nValueLength;
    return ORLO_OK;
  }
  BYTE* pbyTlv = nullptr;
  int nTlvLength = 0;
  if (ORLO_OK != ASN1Encode(&pbyTlv, &nTlvLength, 0x06, pbyValue.get(), nValueLength))
    return trace.Failed("ASN1Encode", ORLO_FAILED, "ORLO_OK != nResult");
  *ppbyEncoded = pbyTlv;
  *pnEncodedLength = nTlvLength;
  return ORLO_OK;
}

int Encode_AlgorithmIdentifier(const char* pszOid, const BYTE* pbyParameter, int nParameterLength,
                               BYTE** ppbyEncoded, int* pnEncodedLength) {
  EngineTrace trace(kSourceUnit, "Encode_AlgorithmIdentifier");
  if (!ppbyEncoded || !pnEncodedLength || nParameterLength < 0 ||
      (nParameterLength > 0 && !pbyParameter))
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == ppbyEncoded || NULL == pbyParameter");
  BYTE* pbyOidRaw = nullptr;
  int nOidLength = 0;
  const int nResult = Encode_ObjectIdentifier(pszOid, 1, &pbyOidRaw, &nOidLength);
  Buffer pbyOid(pbyOidRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("Encode_ObjectIdentifier", nResult, "ORLO_OK != nResult");
  if (nParameterLength > INT_MAX - nOidLength)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "nParameterLength too large");
  Buffer pbyOut = NewZeroed(nOidLength + nParameterLength);
  if (!pbyOut) return trace.Failed("New memory", ORLO_FAILED, "NULL == pbyAlgorithmIdentifier");
  std::memcpy(pbyOut.get(), pbyOid.get(), nOidLength);
  if (nParameterLength > 0) std::memcpy(pbyOut.get() + nOidLength, pbyParameter, nParameterLength);
  *ppbyEncoded = pbyOut.release();
  *pnEncodedLength = nOidLength + nParameterLength;
  return ORLO_OK;
}

int ConstructNode_ObjectIdentifier(const char* pszOid, NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_ObjectIdentifier");
  if (!ppNode) return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "NULL == ppNode");
  BYTE* pbyRaw = nullptr;
  int nLength = 0;
  const int nResult = Encode_ObjectIdentifier(pszOid, 0, &pbyRaw, &nLength);
  Buffer pbyOid(pbyRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("Encode_ObjectIdentifier", nResult, "ORLO_OK != nResult");
  NodePtr pNode = MakeLeaf(0x06, pbyOid.get(), nLength);
  if (!pNode) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_ObjectIdentifier");
  *ppNode = pNode.release();
  return ORLO_OK;
}

namespace {
int AlgorithmLeaf(EngineTrace& trace, const char* pszOid, const BYTE* pbyParameter,
                  int nParameterLength, NodePtr* ppNode) {
  BYTE* pbyRaw = nullptr;
  int nLength = 0;
  const int nResult =
      Encode_AlgorithmIdentifier(pszOid, pbyParameter, nParameterLength, &pbyRaw, &nLength);
  Buffer pbyValue(pbyRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("Encode_AlgorithmIdentifier", nResult, "ORLO_OK != nResult");
  *ppNode = MakeLeaf(0x30, pbyValue.get(), nLength);
  if (!*ppNode) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_AlgorithmIdentifier");
  return ORLO_OK;
}
}  // namespace

int ConstructNode_AlgorithmIdentifier(const BYTE pbyParameter[2], NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_AlgorithmIdentifier");
  if (!pbyParameter || !ppNode)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pbyParameter || NULL == ppNode");
  NodePtr pNode;
  const int nResult = AlgorithmLeaf(trace, kOidSM3, pbyParameter, 2, &pNode);
  if (ORLO_OK != nResult) return nResult;
  *ppNode = pNode.release();
  return ORLO_OK;
}

int ConstructNode_KeyTransRecipientInfo(const BYTE* pbyNullParameter, int nNullParameterLength,
                                        const BYTE* pbyEncryptedKey, int nEncryptedKeyLength,
                                        const BYTE* pbySubjectKeyID, int nSubjectKeyIDLength,
                                        NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_KeyTransRecipientInfo");
  if (!ppNode || !pbyEncryptedKey || nEncryptedKeyLength <= 0 || !pbySubjectKeyID ||
      nSubjectKeyIDLength <= 0)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "!pbyEncryptedKey || !pbyRecipientSubjectKeyID");
  NodePtr pVersion = MakeLeaf(0x02, &kVersion2, 1);
  if (!pVersion) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_Version");
  NodePtr pRid = MakeLeaf(0x80, pbySubjectKeyID, nSubjectKeyIDLength);
  if (!pRid) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_rid");
  NodePtr pAlgorithm;
  const int nResult =
      AlgorithmLeaf(trace, kOidSM2Encrypt, pbyNullParameter, nNullParameterLength, &pAlgorithm);
  if (ORLO_OK != nResult) return nResult;
  NodePtr pEncryptedKey = MakeLeaf(0x04, pbyEncryptedKey, nEncryptedKeyLength);
  if (!pEncryptedKey) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_encryptedKey");
  NodePtr pNode = MakeInner(0x30);
  if (!pNode) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_KenTransRecipientInfo");
  if (!AddChildren(pNode.get(), {&pVersion, &pRid, &pAlgorithm, &pEncryptedKey}))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  *ppNode = pNode.release();
  return ORLO_OK;
}

int ConstructNode_EncryptedContentInfo(const BYTE* pbyEncryptedContent,
                                       std::int64_t nEncryptedContentLength,
                                       const BYTE* pbyParameter, int nParameterLength,
                                       NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_EncryptedContentInfo");
  if (!ppNode || nEncryptedContentLength < 0)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == ppNode || nEncryptedContentLength < 0");
  NodeEx* pRawType = nullptr;
  int nResult = ConstructNode_ObjectIdentifier(kOidSM2Data, &pRawType);
  NodePtr pContentType(pRawType);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_ObjectIdentifier", nResult, "ORLO_OK != nResult");
  NodePtr pAlgorithm;
  nResult = AlgorithmLeaf(trace, kOidSM4CBC, pbyParameter, nParameterLength, &pAlgorithm);
  if (ORLO_OK != nResult) return nResult;
  NodePtr pContent;
  if (pbyEncryptedContent) {
    pContent = MakeLeaf(0x80, pbyEncryptedContent, nEncryptedContentLength);
    if (!pContent) return trace.Failed("New node", ORLO_FAILED, "!pNode_encryptedContent->pValue");
  } else {
    // Only the length is announced: the caller streams the bytes after the DER.
    pContent = MakeInner(0x80);
    if (!pContent) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_encryptedContent");
    pContent->nValueLength = nEncryptedContentLength;
  }
  NodePtr pNode = MakeInner(0x30);
  if (!pNode) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_EncryptedContentInfo");
  if (!AddChildren(pNode.get(), {&pContentType, &pAlgorithm, &pContent}))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  *ppNode = pNode.release();
  return ORLO_OK;
}

int ConstructNode_EnvelopedData(NodeEx* pRecipientInfos, NodeEx* pEncryptedContentInfo,
                                NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_EnvelopedData");
  if (!pRecipientInfos || !pEncryptedContentInfo || !ppNode || pRecipientInfos->pParent ||
      pEncryptedContentInfo->pParent)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pRecipientInfos || NULL == pEncryptedContentInfo");
  NodePtr pVersion = MakeLeaf(0x02, &kVersion2, 1);
  NodePtr pNode = MakeInner(0x30);
  if (!pVersion || !pNode)
    return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_EnvelopedData");
  if (!AddChildren(pNode.get(), {&pVersion}))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  // Cannot fail now: both are parentless and the parent exists.
  AddChildNodeEx(pRecipientInfos, pNode.get());
  AddChildNodeEx(pEncryptedContentInfo, pNode.get());
  *ppNode = pNode.release();
  return ORLO_OK;
}

int ConstructNode_ContentInfo(NodeEx* pContent, const char* pszContentTypeOid, NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_ContentInfo");
  if (!pContent || !ppNode || pContent->pParent)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pContent || NULL == ppNode");
  NodeEx* pRawType = nullptr;
  const int nResult = ConstructNode_ObjectIdentifier(pszContentTypeOid, &pRawType);
  NodePtr pContentType(pRawType);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_ObjectIdentifier", nResult, "ORLO_OK != nResult");
  NodePtr pWrapper = MakeInner(0xA0);
  NodePtr pNode = MakeInner(0x30);
  if (!pWrapper || !pNode)
    return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_ContentInfo");
  AddChildNodeEx(pContent, pWrapper.get());
  if (!AddChildren(pNode.get(), {&pContentType, &pWrapper})) {
    // Give the caller's node back untouched.
    if (pWrapper) {
      pWrapper->vetNodes.front().release();
      pContent->pParent = nullptr;
    }
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  }
  *ppNode = pNode.release();
  return ORLO_OK;
}

int ConstructNode_SM2Cipher(const BYTE pbyX[32], const BYTE pbyY[32], const BYTE pbyHash[32],
                            const BYTE* pbyC2, int nC2Length, NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_SM2Cipher");
  if (!pbyX || !pbyY || !pbyHash || !pbyC2 || nC2Length <= 0 || !ppNode)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "NULL == pbyC2 || nC2Size <= 0");
  NodePtr pX = MakeCoordinateLeaf(pbyX);
  if (!pX) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_XCoordinate");
  NodePtr pY = MakeCoordinateLeaf(pbyY);
  if (!pY) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_YCoordinate");
  NodePtr pHash = MakeLeaf(0x04, pbyHash, SM3_HASH_SIZE);
  if (!pHash) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_HASH");
  NodePtr pCipherText = MakeLeaf(0x04, pbyC2, nC2Length);
  if (!pCipherText) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_CipherText");
  NodePtr pNode = MakeInner(0x30);
  if (!pNode) return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_SM2Cipher");
  if (!AddChildren(pNode.get(), {&pX, &pY, &pHash, &pCipherText}))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  *ppNode = pNode.release();
  return ORLO_OK;
}

int Encode_SM2Cipher(const BYTE* pbyC1C2C3, int nC1C2C3Length, BYTE** ppbySM2Cipher,
                     int* pnSM2CipherLength) {
  EngineTrace trace(kSourceUnit, "Encode_SM2Cipher");
  if (!pbyC1C2C3 || !ppbySM2Cipher || !pnSM2CipherLength)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pbyC1C2C3 || NULL == ppbySM2Cipher");
  const int nC2Size = nC1C2C3Length - SM2_CIPHER_OVERHEAD;
  if (nC1C2C3Length <= SM2_CIPHER_OVERHEAD)
    return trace.Failed("Check C2 byte size.", ORLO_INVALID_PARAMETER, "nC2Size <= 0");
  NodeEx* pRaw = nullptr;
  int nResult = ConstructNode_SM2Cipher(pbyC1C2C3, pbyC1C2C3 + 32, pbyC1C2C3 + 64 + nC2Size,
                                        pbyC1C2C3 + 64, nC2Size, &pRaw);
  NodePtr pNode(pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_SM2Cipher", nResult, "ORLO_OK != nResult");
  BYTE* pbyDer = nullptr;
  int nDerLength = 0;
  nResult = EncodeASN1ToMemory(pNode.get(), &pbyDer, &nDerLength, nullptr);
  Buffer pDer(pbyDer);
  if (ORLO_OK != nResult) return trace.Failed("EncodeASN1ToMemory", nResult, "ORLO_OK != nResult");
  trace.Ok("EncodeASN1ToMemory");
  *ppbySM2Cipher = pDer.release();
  *pnSM2CipherLength = nDerLength;
  return ORLO_OK;
}

int Decode_SM2Cipher(const BYTE* pbySM2Cipher, int nSM2CipherLength, BYTE** ppbyC1C2C3,
                     int* pnC1C2C3Length) {
  EngineTrace trace(kSourceUnit, "Decode_SM2Cipher");
  if (!pbySM2Cipher || nSM2CipherLength <= 0 || !ppbyC1C2C3 || !pnC1C2C3Length)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == pbySM2Cipher || NULL == ppbyC1C2C3");
  NodeEx* pRaw = nullptr;
  const int nResult = DecodeASN1MemoryEx(pbySM2Cipher, nSM2CipherLength, &pRaw);
  NodePtr pRoot(pRaw);
  if (ORLO_OK != nResult || !pRoot)
    return trace.Failed("DecodeASN1MemoryEx", ORLO_FAILED, "ORLO_OK != nResult || NULL == pRoot");
  const int kBad = SIGIL_E_ASN1_DECODE;
  if (Count(pRoot.get()) != 4)
    return trace.Failed("Invalid SM2Cipher nodes number.", kBad, "4 != nNodes");
  const NodeEx* pX = Child(pRoot.get(), 0);
  const NodeEx* pY = Child(pRoot.get(), 1);
  const NodeEx* pHash = Child(pRoot.get(), 2);
  const NodeEx* pCipherText = Child(pRoot.get(), 3);
  // A 33-byte coordinate is a 32-byte value with its sign octet; any other
  // first byte would be a value that is no coordinate.
  const auto fitsCoordinate = [](const NodeEx* pNode) {
    if (pNode->nValueLength < 0 || pNode->nValueLength > SM2_COORDINATE_SIZE + 1) return false;
    return pNode->nValueLength <= SM2_COORDINATE_SIZE || pNode->pbySource[pNode->nValueOffset] == 0;
  };
  if (!fitsCoordinate(pX))
    return trace.Failed("Check XCoordinate size in SM2Cipher.", kBad, "nXCoordinateSize > 33");
  if (!fitsCoordinate(pY))
    return trace.Failed("Check YCoordinate size in SM2Cipher.", kBad, "nYCoordinateSize > 33");
  if (pHash->nValueLength != SM3_HASH_SIZE)
    return trace.Failed("Check SM3 hash size in SM2Cipher.", kBad, "SM3_HASH_SIZE != nHASH");
  if (pCipherText->nValueLength < 0 || pCipherText->nValueLength > INT_MAX - SM2_CIPHER_OVERHEAD)
    return trace.Failed("Check CipherText size in SM2Cipher.", kBad, "nCipherTextSize < 0");

  const int nC2Size = static_cast<int>(pCipherText->nValueLength);
  const int nOutLength = nC2Size + SM2_CIPHER_OVERHEAD;
  Buffer pbyOut = NewZeroed(nOutLength);
  if (!pbyOut) return trace.Failed("New memory", ORLO_FAILED, "!pbyC1C2C3");
  const auto placeCoordinate = [&](const NodeEx* pNode, BYTE* pbyTarget) {
    const std::int64_t nCopy =
        pNode->nValueLength < SM2_COORDINATE_SIZE ? pNode->nValueLength : SM2_COORDINATE_SIZE;
    std::memcpy(pbyTarget + SM2_COORDINATE_SIZE - nCopy,
                pNode->pbySource + pNode->nValueOffset + pNode->nValueLength - nCopy,
                static_cast<std::size_t>(nCopy));
  };
  placeCoordinate(pX, pbyOut.get());
  placeCoordinate(pY, pbyOut.get() + SM2_COORDINATE_SIZE);
  if (nC2Size > 0)
    std::memcpy(pbyOut.get() + 64, pCipherText->pbySource + pCipherText->nValueOffset, nC2Size);
  std::memcpy(pbyOut.get() + 64 + nC2Size, pHash->pbySource + pHash->nValueOffset, SM3_HASH_SIZE);
  trace.Ok("Decode_SM2Cipher");
  *ppbyC1C2C3 = pbyOut.release();
  *pnC1C2C3Length = nOutLength;
  return ORLO_OK;
}

int Encode_CMSEnvelope(const BYTE* pbyParameter, int nParameterLength, const BYTE* pbyEncryptedKey,
                       int nEncryptedKeyLength, const BYTE* pbySubjectKeyID,
                       int nSubjectKeyIDLength, const BYTE* pbyEncryptedContent,
                       std::int64_t nEncryptedContentLength, BYTE** ppbyEnvelope,
                       int* pnEnvelopeLength) {
  EngineTrace trace(kSourceUnit, "Encode_CMSEnvelope");
  if (!ppbyEnvelope || !pnEnvelopeLength)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER,
                        "NULL == ppbyEnvelope || NULL == pnEnvelopeLength");
  NodeEx* pRaw = nullptr;
  int nResult = ConstructNode_KeyTransRecipientInfo(kNullParameter, sizeof kNullParameter,
                                                    pbyEncryptedKey, nEncryptedKeyLength,
                                                    pbySubjectKeyID, nSubjectKeyIDLength, &pRaw);
  NodePtr pKeyTrans(pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_KeyTransRecipientInfo", nResult, "ORLO_OK != nResult");
  NodePtr pRecipientInfos = MakeInner(0x31);
  if (!pRecipientInfos)
    return trace.Failed("New node", ORLO_FAILED, "NULL == pNode_recipientInfos");
  if (!AddChildren(pRecipientInfos.get(), {&pKeyTrans}))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");

  pRaw = nullptr;
  nResult = ConstructNode_EncryptedContentInfo(pbyEncryptedContent, nEncryptedContentLength,
                                               pbyParameter, nParameterLength, &pRaw);
  NodePtr pContentInfo(pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_EncryptedContentInfo", nResult, "ORLO_OK != nResult");

  pRaw = nullptr;
  nResult = ConstructNode_EnvelopedData(pRecipientInfos.get(), pContentInfo.get(), &pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_EnvelopedData", nResult, "ORLO_OK != nResult");
  pRecipientInfos.release();
  pContentInfo.release();
  NodePtr pEnvelopedData(pRaw);

  pRaw = nullptr;
  nResult = ConstructNode_ContentInfo(pEnvelopedData.get(), kOidSM2EnvelopedData, &pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_ContentInfo", nResult, "ORLO_OK != nResult");
  pEnvelopedData.release();
  NodePtr pRoot(pRaw);

  BYTE* pbyDer = nullptr;
  int nDerLength = 0;
  nResult = EncodeASN1ToMemory(pRoot.get(), &pbyDer, &nDerLength, nullptr);
  Buffer pDer(pbyDer);
  if (ORLO_OK != nResult) return trace.Failed("EncodeASN1ToMemory", nResult, "ORLO_OK != nResult");
  trace.Ok("EncodeASN1ToMemory");
  *ppbyEnvelope = pDer.release();
  *pnEnvelopeLength = nDerLength;
  return ORLO_OK;
}

int Decode_CMSEnvelopeData(const BYTE* pbyEnvelope, int nEnvelopeLength,
                           const CMSEnvelopeOutputs& outputs, BYTE** ppbyEncryptedContent,
                           int* pnEncryptedContentLength) {
  EngineTrace trace(kSourceUnit, "Decode_CMSEnvelopeData");
  if (!pbyEnvelope || nEnvelopeLength <= 0)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "NULL == pbyEnvelope");
  NodeEx* pRaw = nullptr;
  int nResult = DecodeASN1MemoryExLeavingPieces(pbyEnvelope, nEnvelopeLength,
                                                kEncryptedContentPath, &pRaw);
  NodePtr pRoot(pRaw);
  if (ORLO_OK != nResult || !pRoot)
    return trace.Failed("DecodeASN1MemoryEx", ORLO_FAILED,
                        "ORLO_OK != nResult || NULL == pCMSEnvelope");
  DecodedEnvelope decoded;
  nResult = TakeApartEnvelope(trace, pRoot.get(), &decoded);
  if (ORLO_OK != nResult) return nResult;

  Buffer pbyContent;
  int nContentLength = 0;
  nResult = ReadContent(trace, decoded.pEncryptedContentNode, &pbyContent, &nContentLength);
  if (ORLO_OK != nResult) return nResult;

  HandOverAll(outputs, decoded);
  if (ppbyEncryptedContent) *ppbyEncryptedContent = pbyContent.release();
  HandOver(pnEncryptedContentLength, nContentLength);
  trace.Ok("Decode_CMSEnvelopeData");
  return ORLO_OK;
}

int Decode_CMSEnvelopeFile(FILE* fpEnvelope, const CMSEnvelopeOutputs& outputs,
                           NodeEx** ppEncryptedContentNode) {
  EngineTrace trace(kSourceUnit, "Decode_CMSEnvelopeFile");
  if (!fpEnvelope)
    return trace.Failed("Check parameter", ORLO_INVALID_PARAMETER, "NULL == fpEnvelope");
  const LONGLONG nPosition = _ftelli64(fpEnvelope);
  if (nPosition < 0) return trace.Failed("_ftelli64", ORLO_FAILED, "nPosition < 0");

  DecodedEnvelope decoded;
  NodePtr pContentCopy;
  const int nResult = [&]() -> int {
    NodeEx* pRaw = nullptr;
    int nStep = DecodeASN1FileExLeavingPieces(fpEnvelope, kEncryptedContentPath, &pRaw);
    NodePtr pRoot(pRaw);
    if (ORLO_OK != nStep || !pRoot)
      return trace.Failed("DecodeASN1FileEx", ORLO_FAILED,
                          "ORLO_OK != nResult || NULL == pCMSEnvelope");
    nStep = TakeApartEnvelope(trace, pRoot.get(), &decoded);
    if (ORLO_OK != nStep) return nStep;
    pRaw = nullptr;
    nStep = DuplicateNodeEx(decoded.pEncryptedContentNode, &pRaw, TRUE);
    pContentCopy.reset(pRaw);
    if (ORLO_OK != nStep || !pContentCopy)
      return trace.Failed("DuplicateNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
    return ORLO_OK;
  }();

  // Reads and failed reads leave the stream anywhere; the caller's position
  // and a clean stream state come back on every path.
  std::clearerr(fpEnvelope);
  if (0 != _fseeki64(fpEnvelope, nPosition, SEEK_SET))
    return trace.Failed("_fseeki64", ORLO_FAILED, "0 != _fseeki64(fpEnvelope, nPosition)");
  if (ORLO_OK != nResult) return nResult;

  HandOverAll(outputs, decoded);
  if (ppEncryptedContentNode) *ppEncryptedContentNode = pContentCopy.release();
  trace.Ok("Decode_CMSEnvelopeFile");
  return ORLO_OK;
}

}  // namespace engine
