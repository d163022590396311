// SM2 signature values (SM2Q1) and PKCS#7 SignedData with the GM/T 0010
// object identifiers. Engine results: ORLO_OK, -1, ORLO_INVALID_PARAMETER or
// a 0xA007xxxx code as int. Byte outputs are new[] and belong to the caller;
// they are written only on success.
#pragma once

#include "platform/base/WinTypes.h"
#include "smengine/asn1/ASN1EngineEx.h"

namespace engine {

inline constexpr int SM2_RAW_RS_SIZE = 64;  // r || s, 32 bytes each

// SEQUENCE { INTEGER r, INTEGER s } from the two 32-byte halves, each as a
// minimal DER INTEGER.
int ConstructNode_SM2Q1(NodeEx** ppNodeSM2Q1, const BYTE* pbyR, const BYTE* pbyS);
int Encode_SM2Q1(BYTE** ppbySM2Q1, const BYTE* pbyR, const BYTE* pbyS, int* pnSM2Q1Size);

// The 64-byte r || s of an SM2Q1 DER (8 to 72 bytes, nothing after it).
int Decode_SM2Q1(const BYTE* pbySM2Q1, BYTE** ppbyRawSignature, int nSM2Q1Size,
                 int* pnRawSignatureSize);

// SEQUENCE leaf holding issuer || serial, both whole TLVs.
int ConstructNode_IssuerAndSerialNumber(const BYTE* pbySerialNumber, NodeEx** ppNode,
                                        const BYTE* pbyIssuer, int nIssuerSize,
                                        int nSerialNumberSize);

// Takes ownership of pIssuerAndSerialNumber only on success.
int ConstructNode_SignerInfo(const BYTE* pbyRawSignature, NodeEx** ppNode,
                             NodeEx* pIssuerAndSerialNumber, int nRawSignatureSize);

// Takes ownership of pSignerInfos only on success. Content is only read
// when bAttached is set.
int ConstructNode_SignedData(const BYTE* pbyCert, NodeEx* pSignerInfos, const BYTE* pbySourceData,
                             int nSourceDataSize, BOOL bAttached, int nCertSize, NodeEx** ppNode);

// The whole ContentInfo. With ppbyPKCS7 null only the length is reported.
int Encode_PKCS7Signature(const BYTE* pbyRawSignature, BYTE** ppbyPKCS7, const BYTE* pbyCert,
                          int nCertSize, const BYTE* pbySourceData, int nSourceDataSize,
                          BOOL bAttached, int nRawSignatureSize, int* pnPKCS7Size);

// Each output pair may be null. A detached signature gives a null content
// of length 0; an attached content is NUL-terminated (not counted). The
// ContentInfo must be all of the bytes: anything after it is 0xA0071104.
int ParsePKCS7Signature(BYTE** ppbyCert, int* pnCertSize, const BYTE* pbyPKCS7, int nPKCS7Size,
                        BYTE** ppbyRawSignature, int* pnRawSignatureSize, BYTE** ppbySourceData,
                        int* pnSourceDataSize);

}  // namespace engine
