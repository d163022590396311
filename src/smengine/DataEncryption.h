// Symmetric side of the SM2 envelopes and soft certificates: SM4-CBC with
// PKCS#7 padding, and the password-keyed decryption of a soft-certificate
// key. Engine results; new[] outputs written only on success.
#pragma once

namespace engine {

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

}  // namespace engine
