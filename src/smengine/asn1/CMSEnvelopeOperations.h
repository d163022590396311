// The SM2 digital envelope (CMS EnvelopedData with the national algorithms'
// OIDs) and SM2Cipher, the DER form of an SM2 session-key ciphertext. Built as
// NodeEx trees and encoded with EncodeASN1ToMemory; taken apart with the
// NodeEx decoders. Keys and ciphers are the caller's business.
//
// Results: ORLO_OK, -1, 87 for a bad argument, or 0xA0071041 (SM2Cipher
// shape) / 0xA0071105 (envelope shape) / the encoder's 0xA00711xx codes.
// Byte and text outputs are new[] buffers owned by the caller; node outputs
// are trees owned by the caller. Outputs are written only on success.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/base/WinTypes.h"
#include "smengine/asn1/ASN1EngineEx.h"

namespace engine {

inline constexpr char kOidSM2EnvelopedData[] = "1.2.156.10197.6.1.4.2.3";
inline constexpr char kOidSM2Data[] = "1.2.156.10197.6.1.4.2.1";
inline constexpr char kOidSM2Encrypt[] = "1.2.156.10197.1.301.3";
inline constexpr char kOidSM4CBC[] = "1.2.156.10197.1.104";
inline constexpr char kOidSM3[] = "1.2.156.10197.1.401";

inline constexpr int SM2_COORDINATE_SIZE = 32;
inline constexpr int SM3_HASH_SIZE = 32;
// x1 || y1 || C3 around C2 in the raw form without its 0x04.
inline constexpr int SM2_CIPHER_OVERHEAD = 96;

// nFlag 0: the OID's content octets; 1: the whole TLV (tag 0x06).
int Encode_ObjectIdentifier(const char* pszOid, int nFlag, BYTE** ppbyEncoded,
                            int* pnEncodedLength);
// OID TLV || parameter bytes: the content of an AlgorithmIdentifier.
int Encode_AlgorithmIdentifier(const char* pszOid, const BYTE* pbyParameter, int nParameterLength,
                               BYTE** ppbyEncoded, int* pnEncodedLength);

int ConstructNode_ObjectIdentifier(const char* pszOid, NodeEx** ppNode);
// SEQUENCE leaf: SM3 OID || the two parameter bytes.
int ConstructNode_AlgorithmIdentifier(const BYTE pbyParameter[2], NodeEx** ppNode);
int ConstructNode_KeyTransRecipientInfo(const BYTE* pbyNullParameter, int nNullParameterLength,
                                        const BYTE* pbyEncryptedKey, int nEncryptedKeyLength,
                                        const BYTE* pbySubjectKeyID, int nSubjectKeyIDLength,
                                        NodeEx** ppNode);
// Without content (null) the encryptedContent node only announces its length,
// which may be 4 GiB or more.
int ConstructNode_EncryptedContentInfo(const BYTE* pbyEncryptedContent,
                                       std::int64_t nEncryptedContentLength,
                                       const BYTE* pbyParameter, int nParameterLength,
                                       NodeEx** ppNode);
// Takes ownership of both nodes only on success.
int ConstructNode_EnvelopedData(NodeEx* pRecipientInfos, NodeEx* pEncryptedContentInfo,
                                NodeEx** ppNode);
// SEQUENCE { OID, [0] { content } }; takes ownership of pContent only on success.
int ConstructNode_ContentInfo(NodeEx* pContent, const char* pszContentTypeOid, NodeEx** ppNode);
// Coordinates are written as DER INTEGERs of the unsigned values.
int ConstructNode_SM2Cipher(const BYTE pbyX[32], const BYTE pbyY[32], const BYTE pbyHash[32],
                            const BYTE* pbyC2, int nC2Length, NodeEx** ppNode);

// Raw x1 || y1 || C2 || C3 (no 0x04) <-> DER SM2Cipher { X, Y, HASH, CipherText }.
int Encode_SM2Cipher(const BYTE* pbyC1C2C3, int nC1C2C3Length, BYTE** ppbySM2Cipher,
                     int* pnSM2CipherLength);
int Decode_SM2Cipher(const BYTE* pbySM2Cipher, int nSM2CipherLength, BYTE** ppbyC1C2C3,
                     int* pnC1C2C3Length);

// pbyParameter is the whole parameter TLV (04 10 IV). With a null
// pbyEncryptedContent the output stops where the ciphertext would begin;
// appending nEncryptedContentLength bytes completes the DER.
int Encode_CMSEnvelope(const BYTE* pbyParameter, int nParameterLength, const BYTE* pbyEncryptedKey,
                       int nEncryptedKeyLength, const BYTE* pbySubjectKeyID,
                       int nSubjectKeyIDLength, const BYTE* pbyEncryptedContent,
                       std::int64_t nEncryptedContentLength, BYTE** ppbyEnvelope,
                       int* pnEnvelopeLength);

// Every output pair is optional (null: not wanted). The OIDs come as dotted
// text; the parameter as its value bytes (the IV), none when it is empty.
struct CMSEnvelopeOutputs {
  BYTE** ppbySubjectKeyID = nullptr;
  int* pnSubjectKeyIDLength = nullptr;
  BYTE** ppbyEncryptedKey = nullptr;
  int* pnEncryptedKeyLength = nullptr;
  char** ppszKeyEncryptionAlgOid = nullptr;
  char** ppszContentEncryptionAlgOid = nullptr;
  BYTE** ppbyContentEncryptionAlgParameter = nullptr;
  int* pnContentEncryptionAlgParameterLength = nullptr;
};

// Both decoders read the header into nodes and leave the encrypted content
// where it lies: an encryptedContent in pieces is one node however many
// pieces it has. Header values (identifier, encrypted key, parameter) of more
// than 64 KiB are refused (-1).
//
// The encrypted content comes whole (its pieces joined; at most 50 MiB).
int Decode_CMSEnvelopeData(const BYTE* pbyEnvelope, int nEnvelopeLength,
                           const CMSEnvelopeOutputs& outputs, BYTE** ppbyEncryptedContent,
                           int* pnEncryptedContentLength);

// The envelope at the start of an open file, wherever the file is positioned;
// the position is the same after every return. The encrypted content comes
// as a copy of its decoded node (offsets into fpEnvelope): primitive, or
// constructed without children, its pieces read with ForEachOctetStringPiece.
int Decode_CMSEnvelopeFile(FILE* fpEnvelope, const CMSEnvelopeOutputs& outputs,
                           NodeEx** ppEncryptedContentNode);

}  // namespace engine
