// SM2 digital envelopes of data and files, and their primitives: SM2
// encryption of the 16-byte session key, SM4-CBC with PKCS#7 padding, and the
// password-keyed decryption of a soft-certificate key.
//
// Engine results: ORLO_OK, -1, 29 (write fault), 30 (read fault), 87 (bad
// argument) or a 0xA007xxxx code as int. new[] outputs are owned by the
// caller and written only on success. Files are open binary streams that the
// caller opens and closes; files of any size are streamed in 16,384-byte
// blocks. When a decryption fails, whatever it wrote to its output file is
// void and the caller removes it.
#pragma once

#include <cstdio>

namespace engine {

inline constexpr int SM2_SESSION_KEY_SIZE = 16;
inline constexpr int SM2_SESSION_KEY_CIPHER_SIZE = 112;  // x1 || y1 || C2 || C3
inline constexpr int ENVELOPE_BLOCK_SIZE = 16384;
inline constexpr unsigned int KEY_USAGE_KEY_ENCIPHERMENT = 0x20;

// Encrypts exactly 16 bytes to the point (X, Y): 112 bytes, no 0x04 prefix.
// Coordinates (and the private key below) are big-endian numbers of any
// length up to 32 significant bytes, leading zeros or not. -1 when the point
// is not on the curve.
int SM2_Encrypt(const unsigned char* pbyPlainData, const unsigned char* pbyPubKeyX,
                int nPubKeyXSize, const unsigned char* pbyPubKeyY, int nPubKeyYSize,
                unsigned char** ppbyCipherData, int* pnCipherDataSize);
// x1 || y1 || C2 || C3 (no 0x04) with d: nCipherDataSize - 96 bytes. -1 for
// a wrong key or a tampered ciphertext.
int SM2_Decrypt(const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                const unsigned char* pbyCipherData, int nCipherDataSize,
                unsigned char** ppbyPlainData, int* pnPlainDataSize);

// Ciphertext of (nPlainDataSize / 16 + 1) * 16 bytes. pbyIV and pbySymKey
// are 16 bytes each. 87 for null or negative arguments, -1 when the cipher
// fails.
int SM4_Encrypt_CBC(const unsigned char* pbyIV, const unsigned char* pbySymKey,
                    const unsigned char* pbyPlainData, int nPlainDataSize,
                    unsigned char** ppbyCipherData, int* pnCipherDataSize);

// 87 unless nIVSize and nSymKeySize are 16 (and for null or negative
// arguments); -1 when the cipher fails, wrong padding included, in which
// case no plaintext is left anywhere.
int SM4_Decrypt_CBC(const unsigned char* pbyIV, const unsigned char* pbySymKey,
                    const unsigned char* pbyCipherData, int nCipherDataSize, int nIVSize,
                    int nSymKeySize, unsigned char** ppbyPlainData, int* pnPlainDataSize);

// SM4-CBC decryption under K = SM3(password || 00000001): IV = K[0..15],
// key = K[16..31]. The password is NUL-terminated and may be empty. -1 when
// the key derivation fails, else the result of SM4_Decrypt_CBC.
int SM4DecryptByPin(const char* pszPin, const unsigned char* pbyCipherData, int nCipherDataSize,
                    unsigned char** ppbyPlainData, int* pnPlainDataSize);

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
