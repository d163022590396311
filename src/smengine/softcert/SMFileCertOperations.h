// SM2 soft certificates (a password-protected private key next to its
// certificate) and the certificate helpers the SM2 formats need. Engine
// results: ORLO_OK, -1, or a 0xA007xxxx code as int. Every output buffer is
// new[] and passes to the caller; outputs are written only on success.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <cstdio>

namespace engine {

// A soft-certificate file is a few kilobytes of Base64 text; anything larger
// is no soft certificate and is never read.
inline constexpr std::int64_t SM2_SOFT_CERT_MAX_FILE_SIZE = 0x10000;

// The decrypted key pair of a soft certificate. The caller starts it empty
// and releases it with FreeSM2KeyPair.
struct SM2_KEY_PAIR {
  unsigned char* pbyPrivateKey = nullptr;  // d, big-endian
  int nPrivateKeySize = 0;
  unsigned char* pbyPubKeyX = nullptr;  // 32 bytes, left-padded with zeros
  int nPubKeyXSize = 0;
  unsigned char* pbyPubKeyY = nullptr;  // 32 bytes, left-padded with zeros
  int nPubKeyYSize = 0;
};

// Wipes the private key, frees all three buffers and empties the record.
void FreeSM2KeyPair(SM2_KEY_PAIR* pstKeyPair);

// The DER of the SM2_PFX in an open soft-certificate file (read from its
// start). 0xA0072026 for a file over SM2_SOFT_CERT_MAX_FILE_SIZE, before any
// byte is read; 30 when the file reads short; the Base64 decoder's result
// for text that is not Base64.
int ReadSM2PFXFile(FILE* fpSM2PFXFile, unsigned char** ppbySM2PFX, int* pnSM2PFXSize);

// Decodes the DER of an SM2_PFX, all of it or nothing (0xA0071103). Either
// output pair may be null to skip it.
int ParseSM2PFX(const unsigned char* pbySM2PFX, int nSM2PFXSize,
                unsigned char** ppbyEncryptedPrivateKey, int* pnEncryptedPrivateKeySize,
                unsigned char** ppbyPublicCertData, int* pnPublicCertDataSize);

// Decrypts the soft certificate's key with the password (NUL-terminated,
// UTF-8) into an empty key pair. 0xA0071103 when the DER does not decode,
// 0xA0071108 when the key does not decrypt or does not belong to the
// certificate, -1 when the certificate carries no SM2 public key.
int DecryptKeyPairFromSM2PFX(const char* pszPassword, SM2_KEY_PAIR* pstKeyPair,
                             const unsigned char* pbySM2PFX, int nSM2PFXSize);

// Certificate bytes below are one X.509 certificate, PEM or DER.

// The public point of an SM2 certificate as two 32-byte coordinates.
int GetPublicKeyXYFromSM2Cert(const unsigned char* pbyCertData, int nCertDataSize,
                              unsigned char** ppbySM2PubKeyX, int* pnSM2PubKeyXSize,
                              unsigned char** ppbySM2PubKeyY, int* pnSM2PubKeyYSize);

// DER of the issuer Name, tag and length included.
int GetIssuerFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                      unsigned char** ppbyASN1Issuer, int* pnASN1IssuerSize);

// DER of the serial-number INTEGER, tag and length included.
int GetSerialNumberFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                            unsigned char** ppbyASN1SerialNumber, int* pnASN1SerialNumberSize);

// The key identifier octets of the subject key identifier extension; -1
// when there is none or it is empty.
int GetSubjectKeyIDFromCert(const unsigned char* pbyCertData, int nCertDataSize,
                            unsigned char** ppbySubjectKeyID, int* pnSubjectKeyIDSize);

// A certificate object the caller frees with X509_free.
int ConvertCertDataToX509(const unsigned char* pbyCertData, int nCertDataSize, X509** ppX509Cert);

}  // namespace engine
