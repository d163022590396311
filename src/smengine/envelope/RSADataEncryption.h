// Streaming decryption of an envelope file's encrypted content: the content
// is read from the envelope file in 16,384-byte blocks, wherever it lies
// (primitive or in constructed pieces), and its plaintext written out.
// Engine results: ORLO_OK, -1, 30 (read fault: the file ends before the
// value does, or a read error), 87 (null argument) as int. The plaintext
// written before a failure, padding failures included, is void.
#pragma once

#include <openssl/types.h>

#include <cstdio>

#include "smengine/asn1/ASN1EngineEx.h"

namespace engine {

// The SM4-CBC cipher of the crypto library, or null when it has none.
const EVP_CIPHER* GetEVPCipherbyNID();

// pEncryptedContentNode comes from Decode_CMSEnvelopeFile over
// fpCMSEnvelope; pbyIV and pbySessionKey are 16 bytes each. A primitive node
// is decrypted as one piece; a constructed one piece by piece (nested pieces
// too), from its children or, decoded without them, read from the file: the
// pieces must be OCTET STRINGs. Values are sought with 64-bit offsets. The
// final padding check and a flush of fpOutput complete the plaintext.
int DecryptFileEnvelopeContent(const unsigned char* pbyIV, FILE* fpCMSEnvelope,
                               const NodeEx* pEncryptedContentNode,
                               const unsigned char* pbySessionKey, FILE* fpOutput);
int DecryptFileEnvelopeContent_ProcessOneNode(FILE* fpOutput, FILE* fpCMSEnvelope,
                                              EVP_CIPHER_CTX* pCtx, const NodeEx* pNode);

}  // namespace engine
