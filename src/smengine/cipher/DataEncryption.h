// The primitives of SM2 digital envelopes: SM2 encryption of the 16-byte
// session key, SM4-CBC with PKCS#7 padding, and the password-keyed
// decryption of a soft-certificate key.
//
// Engine results: ORLO_OK, -1, 87 (bad argument) or a 0xA007xxxx code as
// int. new[] outputs are owned by the
// caller and written only on success. Files are open binary streams that the
// caller opens and closes; files of any size are streamed in 16,384-byte
// blocks. When a decryption fails, whatever it wrote to its output file is
// void and the caller removes it.
#pragma once

namespace engine {

inline constexpr int SM2_SESSION_KEY_SIZE = 16;
inline constexpr int SM2_SESSION_KEY_CIPHER_SIZE = 112;  // x1 || y1 || C2 || C3

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

}  // namespace engine
