// SM2 signing and verification outside any key store: with a key pair in
// memory, with the key of a soft-certificate file opened by its password, and
// against a signer's certificate. Three encodings: raw r || s (64 bytes), the
// DER SM2Q1 value as Base64 ("PKCS#1"), and SM2 PKCS#7 SignedData as Base64.
// The digest is always SM3(Z || M), Z from the signer's public key and the
// default identity.
//
// Engine results: ORLO_OK, -1, 87 (bad argument), 30 (read fault) or a
// 0xA007xxxx / 0x80090006 code as int. A soft-certificate file over 64 KiB
// is 0xA0072026, before it is read. Outputs are new[] buffers owned by the
// caller and written only on success. Files are open binary streams; the file
// operations measure them (any size, 4 GiB and more included) and read them
// from the start.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/base/WinTypes.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace engine {

inline constexpr int SM2_SIGN_BLOCK_SIZE = 16384;  // file read unit
inline constexpr unsigned int KEY_USAGE_DIGITAL_SIGNATURE = 0x80;

// Hashing: e = SM3(Z || M). X and Y are 32 bytes each.
int CalculateSM3Hash(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, const BYTE* pbySource,
                     int nSourceSize, BYTE* pbyHash);
// M is nFileSize bytes read from the stream's current position.
int CalculateSM3FileHash(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, FILE* fpSourceFile,
                         std::int64_t nFileSize, BYTE* pbyHash);
// M is the whole file.
int CalculateSM3FileHashEx(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, FILE* fpSourceFile,
                           BYTE* pbyHash);

// Signing.
int SignData_Raw_ByKeyPair(const BYTE* pbySource, int nSourceSize, const SM2_KEY_PAIR* pstKeyPair,
                           BYTE** ppbySignature, int* pnSignatureSize);
int SignFile_Raw_ByKeyPair(FILE* fpSourceFile, const SM2_KEY_PAIR* pstKeyPair, BYTE** ppbySignature,
                           int* pnSignatureSize);
int SignData_Raw_BySM2PFX(const char* pszPassword, const BYTE* pbySource, int nSourceSize,
                          FILE* fpSM2PFXFile, BYTE** ppbySignature, int* pnSignatureSize);
int SignData_PKCS1_BySM2PFX(const char* pszPassword, FILE* fpSM2PFXFile, const BYTE* pbySource,
                            int nSourceSize, char** ppszBase64Signature, int* pnBase64Size);
int SignData_PKCS7_BySM2PFX(const char* pszPassword, const BYTE* pbySource, int nSourceSize,
                            FILE* fpSM2PFXFile, BOOL bAttached, char** ppszBase64PKCS7,
                            int* pnBase64Size);
int SignFile_Raw_BySM2PFX(const char* pszPassword, FILE* fpSourceFile, FILE* fpSM2PFXFile,
                          BYTE** ppbySignature, int* pnSignatureSize);
int SignFile_PKCS1_BySM2PFX(const char* pszPassword, FILE* fpSM2PFXFile, FILE* fpSourceFile,
                            char** ppszBase64Signature, int* pnBase64Size);
int SignFile_PKCS7Detached_BySM2PFX(const char* pszPassword, char** ppszBase64PKCS7,
                                    FILE* fpSourceFile, FILE* fpSM2PFXFile, int* pnBase64Size);

// Verification. -1 for a signature that does not verify.
int VerifySignature_Raw(const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY, const BYTE* pbySource,
                        int nSourceSize, const BYTE* pbyRawSignatureRS, int nRawSignatureRSSize);
// A 64-byte signature is raw r || s, one of 66 to 72 bytes an SM2Q1 DER.
int VerifySignature_DERPKCS1_ByCert(const BYTE* pbyCert, int nCertSize, const BYTE* pbySource,
                                    int nSourceSize, const BYTE* pbySignature, int nSignatureSize);
int VerifySignature_PKCS1_ByCert(const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                                 const BYTE* pbySource, int nSourceSize, const char* pszBase64Cert,
                                 int nBase64CertSize);
// Each optional output pair may be null.
int VerifySignature_DERPKCS7Attached(const BYTE* pbyPKCS7, int nPKCS7Size, BYTE** ppbySourceData,
                                     int* pnSourceDataSize, BYTE** ppbyCert, int* pnCertSize);
int VerifySignature_PKCS7Attached(const char* pszBase64PKCS7, int nBase64PKCS7Size);
int VerifySignature_DERPKCS7Detached(const BYTE* pbySource, int nSourceSize, const BYTE* pbyPKCS7,
                                     int nPKCS7Size, BYTE** ppbyCert, int* pnCertSize);
int VerifySignature_PKCS7Detached(const BYTE* pbySource, int nSourceSize,
                                  const char* pszBase64PKCS7, int nBase64PKCS7Size);
int VerifyFileSignature_Raw(FILE* fpSourceFile, const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY,
                            const BYTE* pbyRawSignatureRS, int nRawSignatureRSSize);
int VerifyFileSignature_PKCS1_ByCert(const char* pszBase64Cert, int nBase64CertSize,
                                     const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                                     FILE* fpSourceFile);
int SM2_VerifyFileSignature_PKCS7Detached(const char* pszBase64PKCS7, int nBase64PKCS7Size,
                                          FILE* fpSourceFile);

}  // namespace engine
