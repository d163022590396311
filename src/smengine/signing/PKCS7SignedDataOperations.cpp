#include "smengine/signing/PKCS7SignedDataOperations.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "trace/Trace.h"

namespace engine {
namespace {

constexpr const char* kSourceUnit = "PKCS7SignedDataOperations";
constexpr int kInvalidPKCS7 = static_cast<int>(SIGIL_E_INVALID_PKCS7);
constexpr const char* kInvalidPKCS7Reason = "Invalid PKCS7 singature format.";

constexpr BYTE kOidSm2SignedData[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
constexpr BYTE kOidSm2Data[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};
constexpr BYTE kOidSm3[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11};
constexpr BYTE kOidSm2Sign[] = {0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x01};
constexpr BYTE kOidPkcs7SignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr BYTE kVersion1 = 0x01;
constexpr int kHalf = SM2_RAW_RS_SIZE / 2;

using NodePtr = std::unique_ptr<NodeEx>;
using BytePtr = std::unique_ptr<BYTE[]>;

NodePtr NewNode(BYTE byTag) {
  NodePtr pNode(new (std::nothrow) NodeEx);
  if (pNode) pNode->byTag = byTag;
  return pNode;
}

int NewLeaf(EngineTrace& trace, const char* pszName, BYTE byTag, const BYTE* pbyValue,
            std::int64_t nLength, NodePtr* ppNode) {
  NodePtr pNode = NewNode(byTag);
  if (!pNode) return trace.Failed(pszName, ORLO_FAILED, "NULL == pNode");
  if (ORLO_OK != SetNodeExValue(pNode.get(), pbyValue, nLength))
    return trace.Failed(pszName, ORLO_FAILED, "ORLO_OK != SetNodeExValue");
  *ppNode = std::move(pNode);
  return ORLO_OK;
}

// On success the parent owns the child; on failure the child stays with us.
int Adopt(EngineTrace& trace, NodePtr& pChild, NodeEx* pParent) {
  if (ORLO_OK != AddChildNodeEx(pChild.get(), pParent))
    return trace.Failed("AddChildNodeEx", ORLO_FAILED, "ORLO_OK != nResult");
  pChild.release();
  return ORLO_OK;
}

// SEQUENCE leaf: OID TLV || NULL, ready-made bytes rather than child nodes.
int NewAlgorithmIdentifier(EngineTrace& trace, const BYTE* pbyOid, int nOidSize, NodePtr* ppNode) {
  BYTE byValue[32];
  byValue[0] = 0x06;
  byValue[1] = static_cast<BYTE>(nOidSize);
  std::memcpy(byValue + 2, pbyOid, nOidSize);
  byValue[2 + nOidSize] = 0x05;
  byValue[3 + nOidSize] = 0x00;
  return NewLeaf(trace, "Encode_AlgorithmIdentifier", 0x30, byValue, 4 + nOidSize, ppNode);
}

// Minimal DER INTEGER content of an unsigned 32-byte half.
int NewUnsignedInteger(EngineTrace& trace, const char* pszName, const BYTE* pbyHalf,
                       NodePtr* ppNode) {
  int nSkip = 0;
  while (nSkip < kHalf - 1 && pbyHalf[nSkip] == 0) ++nSkip;
  BYTE byValue[kHalf + 1];
  int nLength = 0;
  if (pbyHalf[nSkip] & 0x80) byValue[nLength++] = 0x00;
  std::memcpy(byValue + nLength, pbyHalf + nSkip, kHalf - nSkip);
  nLength += kHalf - nSkip;
  return NewLeaf(trace, pszName, 0x02, byValue, nLength, ppNode);
}

const BYTE* ValueOf(const NodeEx& node) {
  if (node.pValue) return node.pValue.get();
  return node.pbySource ? node.pbySource + node.nValueOffset : nullptr;
}

bool ValueEquals(const NodeEx& node, BYTE byTag, const BYTE* pbyValue, std::size_t nSize) {
  return node.byTag == byTag && node.nValueLength == static_cast<std::int64_t>(nSize) &&
         std::memcmp(ValueOf(node), pbyValue, nSize) == 0;
}

// Right-aligns an unsigned big-endian value into a 32-byte half. Leading
// zeros may be dropped; significant bytes never are.
bool PlaceHalf(const NodeEx& node, BYTE* pbyHalf) {
  const BYTE* pbyValue = ValueOf(node);
  std::int64_t nLength = node.nValueLength;
  if (nLength <= 0 || !pbyValue) return false;
  while (nLength > 1 && pbyValue[0] == 0) {
    ++pbyValue;
    --nLength;
  }
  if (nLength > kHalf) return false;
  std::memcpy(pbyHalf + kHalf - nLength, pbyValue, static_cast<std::size_t>(nLength));
  return true;
}

BytePtr CopyBytes(const BYTE* pbySource, std::int64_t nLength, bool bTerminate) {
  BytePtr pCopy(new (std::nothrow) BYTE[static_cast<std::size_t>(nLength) + (bTerminate ? 1 : 0)]);
  if (!pCopy) return nullptr;
  if (nLength > 0) std::memcpy(pCopy.get(), pbySource, static_cast<std::size_t>(nLength));
  if (bTerminate) pCopy[static_cast<std::size_t>(nLength)] = 0;
  return pCopy;
}

}  // namespace

int ConstructNode_SM2Q1(NodeEx** ppNodeSM2Q1, const BYTE* pbyR, const BYTE* pbyS) {
  EngineTrace trace(kSourceUnit, "ConstructNode_SM2Q1");
  if (!ppNodeSM2Q1 || !pbyR || !pbyS)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL == ppNodeSM2Q1 || NULL == pbyR || NULL == pbyS");
  NodePtr pR, pS;
  if (ORLO_OK != NewUnsignedInteger(trace, "Raw signature R", pbyR, &pR)) return ORLO_FAILED;
  if (ORLO_OK != NewUnsignedInteger(trace, "Raw signature S", pbyS, &pS)) return ORLO_FAILED;
  NodePtr pSequence = NewNode(0x30);
  if (!pSequence) return trace.Failed("new NodeEx(SM2Q1)", ORLO_FAILED, "NULL == pNodeSM2Q1");
  if (ORLO_OK != Adopt(trace, pR, pSequence.get()) || ORLO_OK != Adopt(trace, pS, pSequence.get()))
    return ORLO_FAILED;
  *ppNodeSM2Q1 = pSequence.release();
  trace.Ok("ConstructNode_SM2Q1");
  return ORLO_OK;
}

int Encode_SM2Q1(BYTE** ppbySM2Q1, const BYTE* pbyR, const BYTE* pbyS, int* pnSM2Q1Size) {
  EngineTrace trace(kSourceUnit, "Encode_SM2Q1");
  if (!ppbySM2Q1 || !pnSM2Q1Size)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL == ppbySM2Q1 || NULL == pnSM2Q1Size");
  NodeEx* pRaw = nullptr;
  int nResult = ConstructNode_SM2Q1(&pRaw, pbyR, pbyS);
  if (ORLO_OK != nResult) return trace.Failed("ConstructNode_SM2Q1", nResult, "ORLO_OK != nResult");
  NodePtr pNode(pRaw);
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  nResult = EncodeASN1ToMemory(pNode.get(), &pbyOut, &nSize);
  if (ORLO_OK != nResult) return trace.Failed("EncodeASN1ToMemory", nResult, "ORLO_OK != nResult");
  *ppbySM2Q1 = pbyOut;
  *pnSM2Q1Size = nSize;
  trace.Ok("EncodeASN1ToMemory");
  return ORLO_OK;
}

int Decode_SM2Q1(const BYTE* pbySM2Q1, BYTE** ppbyRawSignature, int nSM2Q1Size,
                 int* pnRawSignatureSize) {
  EngineTrace trace(kSourceUnit, "Decode_SM2Q1");
  if (!pbySM2Q1 || !ppbyRawSignature || !pnRawSignatureSize)
    return trace.Failed(
        "Check parameters", ORLO_INVALID_PARAMETER,
        "NULL == pbySM2Q1 || NULL == ppbyRawSignature || NULL == pnRawSignatureSize");
  // Smallest: two one-byte INTEGERs; largest: two 33-byte ones.
  if (nSM2Q1Size < 8 || nSM2Q1Size > 72)
    return trace.Failed("Invalid SM2 Q1 signature size.", ORLO_FAILED,
                        "nSM2Q1Size < 8 || nSM2Q1Size > 72");
  NodeEx* pRaw = nullptr;
  const int nResult = DecodeASN1MemoryEx(pbySM2Q1, nSM2Q1Size, &pRaw);
  NodePtr pRoot(pRaw);
  if (ORLO_OK != nResult || !pRoot)
    return trace.Failed("DecodeASN1MemoryEx", ORLO_FAILED,
                        "ORLO_OK != nResult || NULL == pNodeSM2Q1");
  if (pRoot->byTag != 0x30 || pRoot->nNodeLength != nSM2Q1Size)
    return trace.Failed("Check SM2 Q1 signature", ORLO_FAILED,
                        "0x30 != byTag || nNodeLength != nSM2Q1Size");
  if (pRoot->vetNodes.size() != 2)
    return trace.Failed("Invalid SM2 Q1 signature nodes number.", ORLO_FAILED,
                        "2 != vetNodes.size()");
  const NodeEx& r = *pRoot->vetNodes[0];
  const NodeEx& s = *pRoot->vetNodes[1];
  if (r.byTag != 0x02 || s.byTag != 0x02)
    return trace.Failed("Check SM2 Q1 INTEGER tags", ORLO_FAILED, "0x02 != byTag");
  BytePtr pRawSignature(new (std::nothrow) BYTE[SM2_RAW_RS_SIZE]());
  if (!pRawSignature) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbyRawSignature");
  if (!PlaceHalf(r, pRawSignature.get()) || !PlaceHalf(s, pRawSignature.get() + kHalf))
    return trace.Failed("Check R/S size", ORLO_FAILED, "R or S longer than 32 significant bytes");
  *ppbyRawSignature = pRawSignature.release();
  *pnRawSignatureSize = SM2_RAW_RS_SIZE;
  trace.Ok("Decode_SM2Q1");
  return ORLO_OK;
}

int ConstructNode_IssuerAndSerialNumber(const BYTE* pbySerialNumber, NodeEx** ppNode,
                                        const BYTE* pbyIssuer, int nIssuerSize,
                                        int nSerialNumberSize) {
  EngineTrace trace(kSourceUnit, "ConstructNode_IssuerAndSerialNumber");
  if (!pbySerialNumber || !ppNode || !pbyIssuer || nIssuerSize <= 0 || nSerialNumberSize <= 0)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL parameter || nIssuerSize <= 0 || nSerialNumberSize <= 0");
  const std::int64_t nTotal = static_cast<std::int64_t>(nIssuerSize) + nSerialNumberSize;
  BytePtr pValue(new (std::nothrow) BYTE[static_cast<std::size_t>(nTotal)]);
  if (!pValue) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbyValue");
  std::memcpy(pValue.get(), pbyIssuer, static_cast<std::size_t>(nIssuerSize));
  std::memcpy(pValue.get() + nIssuerSize, pbySerialNumber,
              static_cast<std::size_t>(nSerialNumberSize));
  NodePtr pNode;
  if (ORLO_OK !=
      NewLeaf(trace, "new NodeEx(issuerAndSerialNumber)", 0x30, pValue.get(), nTotal, &pNode))
    return ORLO_FAILED;
  *ppNode = pNode.release();
  trace.Ok("ConstructNode_IssuerAndSerialNumber");
  return ORLO_OK;
}

int ConstructNode_SignerInfo(const BYTE* pbyRawSignature, NodeEx** ppNode,
                             NodeEx* pIssuerAndSerialNumber, int nRawSignatureSize) {
  EngineTrace trace(kSourceUnit, "ConstructNode_SignerInfo");
  if (!pbyRawSignature || !ppNode || !pIssuerAndSerialNumber || pIssuerAndSerialNumber->pParent)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL parameter || pIssuerAndSerialNumber has a parent");
  if (SM2_RAW_RS_SIZE != nRawSignatureSize)
    return trace.Failed("Check raw signature size", ORLO_INVALID_PARAMETER,
                        "SM2_RAW_RS_SIZE != nRawSignatureSize");

  NodePtr pVersion, pDigestAlgorithm, pEncryptionAlgorithm, pEncryptedDigest;
  if (ORLO_OK != NewLeaf(trace, "new NodeEx(version)", 0x02, &kVersion1, 1, &pVersion) ||
      ORLO_OK != NewAlgorithmIdentifier(trace, kOidSm3, sizeof kOidSm3, &pDigestAlgorithm) ||
      ORLO_OK !=
          NewAlgorithmIdentifier(trace, kOidSm2Sign, sizeof kOidSm2Sign, &pEncryptionAlgorithm))
    return ORLO_FAILED;

  BYTE* pbyQ1 = nullptr;
  int nQ1Size = 0;
  int nResult = Encode_SM2Q1(&pbyQ1, pbyRawSignature, pbyRawSignature + kHalf, &nQ1Size);
  if (ORLO_OK != nResult) return trace.Failed("Encode_SM2Q1", nResult, "ORLO_OK != nResult");
  BytePtr pQ1(pbyQ1);
  if (ORLO_OK !=
      NewLeaf(trace, "new NodeEx(encryptedDigest)", 0x04, pQ1.get(), nQ1Size, &pEncryptedDigest))
    return ORLO_FAILED;

  NodePtr pSignerInfo = NewNode(0x30);
  if (!pSignerInfo)
    return trace.Failed("new NodeEx(SM2P7SignerInfo)", ORLO_FAILED, "NULL == pSignerInfo");
  NodePtr pIssuer(pIssuerAndSerialNumber);  // handed back below if anything fails
  if (ORLO_OK != Adopt(trace, pVersion, pSignerInfo.get()) ||
      ORLO_OK != Adopt(trace, pIssuer, pSignerInfo.get())) {
    pIssuer.release();
    // The SignerInfo may hold the caller's node by now; take it back out.
    if (!pSignerInfo->vetNodes.empty() &&
        pSignerInfo->vetNodes.back().get() == pIssuerAndSerialNumber) {
      pSignerInfo->vetNodes.back().release();
      pIssuerAndSerialNumber->pParent = nullptr;
    }
    return ORLO_FAILED;
  }
  if (ORLO_OK != Adopt(trace, pDigestAlgorithm, pSignerInfo.get()) ||
      ORLO_OK != Adopt(trace, pEncryptionAlgorithm, pSignerInfo.get()) ||
      ORLO_OK != Adopt(trace, pEncryptedDigest, pSignerInfo.get())) {
    pSignerInfo->vetNodes[1].release();
    pIssuerAndSerialNumber->pParent = nullptr;
    return ORLO_FAILED;
  }
  *ppNode = pSignerInfo.release();
  trace.Ok("ConstructNode_SignerInfo");
  return ORLO_OK;
}

int ConstructNode_SignedData(const BYTE* pbyCert, NodeEx* pSignerInfos, const BYTE* pbySourceData,
                             int nSourceDataSize, BOOL bAttached, int nCertSize, NodeEx** ppNode) {
  EngineTrace trace(kSourceUnit, "ConstructNode_SignedData");
  if (!pbyCert || nCertSize <= 0 || !pSignerInfos || pSignerInfos->pParent || !ppNode ||
      nSourceDataSize < 0)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL parameter || nCertSize <= 0 || nSourceDataSize < 0");
  if (bAttached && !pbySourceData)
    return trace.Failed("Check source data", ORLO_FAILED,
                        "NULL == pbySourceData && NULL == fpSourceFile");

  NodePtr pVersion, pDigestAlgorithm, pContentType, pContentData, pCertificates;
  if (ORLO_OK != NewLeaf(trace, "new NodeEx(version)", 0x02, &kVersion1, 1, &pVersion) ||
      ORLO_OK != NewAlgorithmIdentifier(trace, kOidSm3, sizeof kOidSm3, &pDigestAlgorithm) ||
      ORLO_OK != NewLeaf(trace, "new NodeEx(contentType)", 0x06, kOidSm2Data, sizeof kOidSm2Data,
                         &pContentType) ||
      ORLO_OK !=
          NewLeaf(trace, "new NodeEx(certificates)", 0xA0, pbyCert, nCertSize, &pCertificates))
    return ORLO_FAILED;
  NodePtr pDigestAlgorithms = NewNode(0x31);
  NodePtr pContentInfo = NewNode(0x30);
  NodePtr pSignedData = NewNode(0x30);
  if (!pDigestAlgorithms || !pContentInfo || !pSignedData)
    return trace.Failed("new NodeEx(signedData)", ORLO_FAILED, "NULL == pNode");
  if (ORLO_OK != Adopt(trace, pDigestAlgorithm, pDigestAlgorithms.get()) ||
      ORLO_OK != Adopt(trace, pContentType, pContentInfo.get()))
    return ORLO_FAILED;
  if (bAttached) {
    NodePtr pOctets, pExplicit = NewNode(0xA0);
    if (!pExplicit) return trace.Failed("new NodeEx(content)", ORLO_FAILED, "NULL == pNode");
    if (ORLO_OK != NewLeaf(trace, "new NodeEx(contentData)", 0x04, pbySourceData, nSourceDataSize,
                           &pOctets) ||
        ORLO_OK != Adopt(trace, pOctets, pExplicit.get()) ||
        ORLO_OK != Adopt(trace, pExplicit, pContentInfo.get()))
      return ORLO_FAILED;
  }
  if (ORLO_OK != Adopt(trace, pVersion, pSignedData.get()) ||
      ORLO_OK != Adopt(trace, pDigestAlgorithms, pSignedData.get()) ||
      ORLO_OK != Adopt(trace, pContentInfo, pSignedData.get()) ||
      ORLO_OK != Adopt(trace, pCertificates, pSignedData.get()))
    return ORLO_FAILED;
  // Last, so that the caller's node is never left inside a tree we free.
  if (ORLO_OK != AddChildNodeEx(pSignerInfos, pSignedData.get()))
    return trace.Failed("AddChildNodeEx(signerInfos)", ORLO_FAILED, "ORLO_OK != nResult");
  *ppNode = pSignedData.release();
  trace.Ok("ConstructNode_SignedData");
  return ORLO_OK;
}

int Encode_PKCS7Signature(const BYTE* pbyRawSignature, BYTE** ppbyPKCS7, const BYTE* pbyCert,
                          int nCertSize, const BYTE* pbySourceData, int nSourceDataSize,
                          BOOL bAttached, int nRawSignatureSize, int* pnPKCS7Size) {
  EngineTrace trace(kSourceUnit, "Encode_PKCS7Signature");
  if (!pbyRawSignature || !pbyCert || nCertSize <= 0 || !pnPKCS7Size)
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL parameter || nCertSize <= 0");
  BYTE* pbyTmp = nullptr;
  int nIssuerSize = 0, nSerialSize = 0;
  int nResult = GetIssuerFromCert(pbyCert, nCertSize, &pbyTmp, &nIssuerSize);
  if (ORLO_OK != nResult) return trace.Failed("GetIssuerFromCert", nResult, "ORLO_OK != nResult");
  BytePtr pIssuer(pbyTmp);
  pbyTmp = nullptr;
  nResult = GetSerialNumberFromCert(pbyCert, nCertSize, &pbyTmp, &nSerialSize);
  if (ORLO_OK != nResult)
    return trace.Failed("GetSerialNumberFromCert", nResult, "ORLO_OK != nResult");
  BytePtr pSerial(pbyTmp);

  NodeEx* pRaw = nullptr;
  nResult = ConstructNode_IssuerAndSerialNumber(pSerial.get(), &pRaw, pIssuer.get(), nIssuerSize,
                                                nSerialSize);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_IssuerAndSerialNumber", nResult, "ORLO_OK != nResult");
  NodePtr pIssuerAndSerial(pRaw);
  pRaw = nullptr;
  nResult =
      ConstructNode_SignerInfo(pbyRawSignature, &pRaw, pIssuerAndSerial.get(), nRawSignatureSize);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_SignerInfo", nResult, "ORLO_OK != nResult");
  pIssuerAndSerial.release();
  NodePtr pSignerInfo(pRaw);
  NodePtr pSignerInfos = NewNode(0x31);
  if (!pSignerInfos) return trace.Failed("new NodeEx(signerInfos)", ORLO_FAILED, "NULL == pNode");
  if (ORLO_OK != Adopt(trace, pSignerInfo, pSignerInfos.get())) return ORLO_FAILED;

  pRaw = nullptr;
  nResult = ConstructNode_SignedData(pbyCert, pSignerInfos.get(), pbySourceData, nSourceDataSize,
                                     bAttached, nCertSize, &pRaw);
  if (ORLO_OK != nResult)
    return trace.Failed("ConstructNode_SignedData", nResult, "ORLO_OK != nResult");
  pSignerInfos.release();
  NodePtr pSignedData(pRaw);

  NodePtr pContentType, pExplicit = NewNode(0xA0), pContentInfo = NewNode(0x30);
  if (!pExplicit || !pContentInfo)
    return trace.Failed("new NodeEx(contentInfo)", ORLO_FAILED, "NULL == pNode");
  if (ORLO_OK != NewLeaf(trace, "new NodeEx(contentType)", 0x06, kOidSm2SignedData,
                         sizeof kOidSm2SignedData, &pContentType) ||
      ORLO_OK != Adopt(trace, pSignedData, pExplicit.get()) ||
      ORLO_OK != Adopt(trace, pContentType, pContentInfo.get()) ||
      ORLO_OK != Adopt(trace, pExplicit, pContentInfo.get()))
    return ORLO_FAILED;
  trace.Ok("ConstructNode_ContentInfo");

  if (!ppbyPKCS7) {
    const std::int64_t nLength = GetNodeExEncodedLength(pContentInfo.get());
    if (nLength < 0 || nLength > INT32_MAX)
      return trace.Failed("GetNodeExEncodedLength", ORLO_FAILED, "nLength out of range");
    *pnPKCS7Size = static_cast<int>(nLength);
    return ORLO_OK;
  }
  BYTE* pbyOut = nullptr;
  int nSize = 0;
  nResult = EncodeASN1ToMemory(pContentInfo.get(), &pbyOut, &nSize);
  if (ORLO_OK != nResult) return trace.Failed("EncodeASN1ToMemory", nResult, "ORLO_OK != nResult");
  *ppbyPKCS7 = pbyOut;
  *pnPKCS7Size = nSize;
  trace.Ok("EncodeASN1ToMemory");
  return ORLO_OK;
}

int ParsePKCS7Signature(BYTE** ppbyCert, int* pnCertSize, const BYTE* pbyPKCS7, int nPKCS7Size,
                        BYTE** ppbyRawSignature, int* pnRawSignatureSize, BYTE** ppbySourceData,
                        int* pnSourceDataSize) {
  EngineTrace trace(kSourceUnit, "ParsePKCS7Signature");
  if (!pbyPKCS7 || nPKCS7Size <= 0 || (!ppbyCert != !pnCertSize) ||
      (!ppbyRawSignature != !pnRawSignatureSize) || (!ppbySourceData != !pnSourceDataSize))
    return trace.Failed("Check parameters", ORLO_INVALID_PARAMETER,
                        "NULL == pbyPKCS7 || nPKCS7Size <= 0 || unpaired output");
  NodeEx* pRaw = nullptr;
  int nResult = DecodeASN1MemoryEx(pbyPKCS7, nPKCS7Size, &pRaw);
  NodePtr pRoot(pRaw);
  if (ORLO_OK != nResult || !pRoot)
    return trace.Failed("DecodeASN1MemoryEx", ORLO_FAILED,
                        "ORLO_OK != nResult || NULL == pNodePKCS7");

  auto fail = [&trace](const char* pszCheck, const char* pszReason) {
    trace.Failed(pszCheck, kInvalidPKCS7, pszReason);
    return kInvalidPKCS7;
  };
  // Bytes after the signature would travel with it unsigned and unseen.
  if (pRoot->nNodeLength != nPKCS7Size)
    return fail("Check PKCS#7 length", "nNodeLength != nPKCS7Size");
  if (pRoot->vetNodes.size() < 2) return fail("Check PKCS#7 nodes", kInvalidPKCS7Reason);
  const NodeEx& explicitContent = *pRoot->vetNodes[1];
  if (explicitContent.vetNodes.empty())
    return fail("Check PKCS#7 'content [0]' nodes", kInvalidPKCS7Reason);
  const NodeEx& signedData = *explicitContent.vetNodes[0];
  if (signedData.vetNodes.size() < 5)
    return fail("Check PKCS#7 'signedData' nodes", kInvalidPKCS7Reason);

  const BYTE* pbyContent = nullptr;
  std::int64_t nContentSize = 0;
  const NodeEx& contentInfo = *signedData.vetNodes[2];
  if (contentInfo.vetNodes.size() >= 2) {
    const NodeEx& content = *contentInfo.vetNodes[1];
    if (content.vetNodes.empty()) return fail("Check PKCS#7 nodes", kInvalidPKCS7Reason);
    const NodeEx& holder = content.vetNodes.size() == 1 ? *content.vetNodes[0] : content;
    pbyContent = ValueOf(holder);
    nContentSize = holder.nValueLength;
  }

  const BYTE* pbyCertificates = nullptr;
  std::int64_t nCertificatesSize = 0;
  if (signedData.vetNodes[3]->byTag == 0xA0) {
    pbyCertificates = ValueOf(*signedData.vetNodes[3]);
    nCertificatesSize = signedData.vetNodes[3]->nValueLength;
  }

  const NodeEx& signerInfos = *signedData.vetNodes.back();
  if (signerInfos.byTag != 0x31)
    return fail("Check PKCS#7 'signerInfos' nodes", kInvalidPKCS7Reason);
  if (signerInfos.vetNodes.empty() || signerInfos.vetNodes[0]->vetNodes.size() < 5)
    return fail("Check PKCS#7 'signerInfo' nodes", kInvalidPKCS7Reason);
  const NodeEx& signerInfo = *signerInfos.vetNodes[0];
  const std::size_t nPosition =
      (signerInfo.vetNodes.size() >= 6 && signerInfo.vetNodes[3]->byTag == 0xA0) ? 5 : 4;
  const NodeEx& signature = *signerInfo.vetNodes[nPosition];

  BytePtr pRawSignature;
  int nRawSignatureSize = 0;
  if (signature.byTag == 0x04) {
    const NodeEx& contentType = *pRoot->vetNodes[0];
    if (ValueEquals(contentType, 0x06, kOidPkcs7SignedData, sizeof kOidPkcs7SignedData)) {
      pRawSignature = CopyBytes(ValueOf(signature), signature.nValueLength, false);
      if (!pRawSignature) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbyRawSignature");
      nRawSignatureSize = static_cast<int>(signature.nValueLength);
    } else if (ValueEquals(contentType, 0x06, kOidSm2SignedData, sizeof kOidSm2SignedData)) {
      BYTE* pbyDecoded = nullptr;
      nResult = Decode_SM2Q1(ValueOf(signature), &pbyDecoded,
                             static_cast<int>(signature.nValueLength), &nRawSignatureSize);
      if (ORLO_OK != nResult) return trace.Failed("Decode_SM2Q1", nResult, "ORLO_OK != nResult");
      pRawSignature.reset(pbyDecoded);
    } else {
      return fail("Check PKCS#7 'contentType' nodes", kInvalidPKCS7Reason);
    }
  } else {
    const NodeEx* pR = nullptr;
    const NodeEx* pS = nullptr;
    if (signature.byTag == 0x30 && signature.vetNodes.size() == 2) {
      pR = signature.vetNodes[0].get();
      pS = signature.vetNodes[1].get();
    } else if (signerInfo.vetNodes.size() == nPosition + 2 &&
               signerInfo.vetNodes[nPosition]->byTag == 0x02 &&
               signerInfo.vetNodes[nPosition + 1]->byTag == 0x02) {
      pR = signerInfo.vetNodes[nPosition].get();
      pS = signerInfo.vetNodes[nPosition + 1].get();
    } else {
      return fail("Check PKCS#7 'signature' nodes", kInvalidPKCS7Reason);
    }
    if (pR->nValueLength < 28 || pS->nValueLength < 28)
      return fail("Check R/S size >= 28", "(nRawSingatureRSize < 28 || nRawSingatureSSize < 28)");
    pRawSignature.reset(new (std::nothrow) BYTE[SM2_RAW_RS_SIZE]());
    if (!pRawSignature) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbyRawSignature");
    if (!PlaceHalf(*pR, pRawSignature.get()) || !PlaceHalf(*pS, pRawSignature.get() + kHalf))
      return fail("Check R/S size <= 32", "R or S longer than 32 significant bytes");
    nRawSignatureSize = SM2_RAW_RS_SIZE;
  }
  trace.Ok("Get signature");

  BytePtr pContent, pCertificates;
  if (ppbySourceData && pbyContent) {
    pContent = CopyBytes(pbyContent, nContentSize, true);
    if (!pContent) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbySourceData");
  }
  if (ppbyCert && pbyCertificates) {
    pCertificates = CopyBytes(pbyCertificates, nCertificatesSize, false);
    if (!pCertificates) return trace.Failed("New buffer", ORLO_FAILED, "NULL == pbyCert");
  }
  if (ppbySourceData) {
    *ppbySourceData = pContent.release();
    *pnSourceDataSize = static_cast<int>(nContentSize);
  }
  if (ppbyCert) {
    *ppbyCert = pCertificates.release();
    *pnCertSize = static_cast<int>(nCertificatesSize);
  }
  if (ppbyRawSignature) {
    *ppbyRawSignature = pRawSignature.release();
    *pnRawSignatureSize = nRawSignatureSize;
  }
  trace.Ok("ParsePKCS7Signature");
  return ORLO_OK;
}

}  // namespace engine
