// SM2 digital envelopes of data and files, over the primitives in
// cipher/DataEncryption.h.
//
// Engine results: ORLO_OK, -1, 29 (write fault), 30 (read fault), 87 (bad
// argument) or a 0xA007xxxx code as int. new[] outputs are owned by the
// caller and written only on success. Files are open binary streams that the
// caller opens and closes; files of any size are streamed in 16,384-byte
// blocks. When a decryption fails, whatever it wrote to its output file is
// void and the caller removes it.
#pragma once

#include <cstdio>

#include "smengine/cipher/DataEncryption.h"

namespace engine {

inline constexpr int ENVELOPE_BLOCK_SIZE = 16384;
inline constexpr unsigned int KEY_USAGE_KEY_ENCIPHERMENT = 0x20;

// Envelopes of data held in memory (at most 50 MiB of envelope; larger data
// is refused with 0xA0071101 before anything is encrypted). The recipient
// certificate is DER or PEM and must allow key encipherment (else
// 0xA0072021, before any random bytes are drawn).
int EncryptDataToDerCMSEnvelope(const unsigned char* pbyPlainData, int nPlainDataSize,
                                const unsigned char* pbyCert, int nCertSize,
                                unsigned char** ppbyDerEnvelope, int* pnDerEnvelopeSize);
int EncryptDataToBase64CMSEnvelope(const unsigned char* pbyCert, int nCertSize,
                                   const unsigned char* pbyPlainData, int nPlainDataSize,
                                   char** ppszBase64Envelope, int* pnBase64EnvelopeSize);
// fpSM2PFXFile holds a soft certificate as Base64 text (a file over 64 KiB
// is 0xA0072026, and is not read); the password is NUL-terminated (wrong:
// 0xA0071108). The recipient identifier and the
// algorithm OIDs are not checked: an envelope for another certificate fails
// with -1 at the SM2 hash check.
int DecryptDerCMSEnvelopeData(FILE* fpSM2PFXFile, const char* pszPassword,
                              const unsigned char* pbyDerEnvelope, int nDerEnvelopeSize,
                              unsigned char** ppbyPlainData, int* pnPlainDataSize);
int DecryptBase64CMSEnvelopeData(FILE* fpSM2PFXFile, const char* pszPassword,
                                 const char* pszBase64CMSEnvelope, int nBase64Size,
                                 unsigned char** ppbyPlainData, int* pnPlainDataSize);

// Envelopes of files of any size: the envelope (or the plaintext) is written
// to fpOutput from its current position and flushed. Encryption: 30 when the
// plain file ends before its measured size, 29 when fpOutput does not take
// every byte. Decryption tries the password first (0xA0071108), then wants
// the envelope's recipient identifier to equal the soft certificate's
// (0xA0071106) and the SM2 and SM4-CBC OIDs (0xA0071105).
int EncryptFileToDerCMSEnvelope(FILE* fpOutput, const unsigned char* pbyCert, int nCertSize,
                                FILE* fpPlainFile);
int DecryptDerCMSEnvelopeFile(const char* pszPassword, FILE* fpOutput, FILE* fpCMSEnvelope,
                              FILE* fpSM2PFXFile);

}  // namespace engine
