// Pieces shared by the DataSigning sources: the key of a soft-certificate
// file, signer keys from certificates, the accepted signature forms and
// PKCS#7 parsing with its ownership sorted out.
#pragma once

#include <cstdio>
#include <memory>
#include <source_location>

#include "platform/base/WinTypes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/PKCS7SignedDataOperations.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "trace/Trace.h"

namespace engine::signing {

inline constexpr const char* kSourceUnit = "DataSigning";
inline constexpr int kCoordinateSize = 32;
inline constexpr int kDigestSize = 32;

using BytePtr = std::unique_ptr<BYTE[]>;

// Traces how a step ended and passes its result on.
inline int Checked(EngineTrace& trace, const char* pszStep, int nResult,
                   std::source_location where = std::source_location::current()) {
  if (ORLO_OK != nResult) return trace.Failed(pszStep, nResult, "ORLO_OK != nResult", where);
  trace.Ok(pszStep, where);
  return ORLO_OK;
}

// Owns a decrypted key pair and wipes it however the operation ends.
struct KeyPairHolder {
  SM2_KEY_PAIR stKeyPair;
  KeyPairHolder() = default;
  KeyPairHolder(const KeyPairHolder&) = delete;
  KeyPairHolder& operator=(const KeyPairHolder&) = delete;
  ~KeyPairHolder() { FreeSM2KeyPair(&stKeyPair); }
};

// A signing key opened from a soft-certificate file, with the certificate
// that came with it (PKCS#7 needs it).
struct SoftCertKey {
  KeyPairHolder keyPair;
  BytePtr pbyCert;
  int nCertSize = 0;
};

// A raw signature made with a soft-certificate key; the key stays open for
// the PKCS#7 forms, which need its certificate.
struct SoftCertSignature {
  SoftCertKey key;
  BytePtr pbySignature;  // r || s
};

// Reads the soft-certificate stream whole (0xA0072026, unread, past
// SM2_SOFT_CERT_MAX_FILE_SIZE), checks that its certificate may
// sign and decrypts its key with the password. The usage check comes first
// so that a certificate unfit for signing never gets the password tried.
int OpenSoftCertKey(EngineTrace& trace, const char* pszPassword, FILE* fpSM2PFXFile,
                    SoftCertKey* pKey);

// e = SM3(Z || M) signed with the pair's private key, as a new 64-byte r || s.
int SignDigest(EngineTrace& trace, const BYTE* pbyDigest, const SM2_KEY_PAIR* pstKeyPair,
               BYTE** ppbySignature, int* pnSignatureSize);

// ORLO_OK when (r, s) is a valid signature of the digest under (X, Y), -1
// when it is not.
int VerifyDigest(EngineTrace& trace, const BYTE* pbyPubkeyX, const BYTE* pbyPubkeyY,
                 const BYTE* pbyDigest, const BYTE* pbyRawSignatureRS);

// New zero-terminated Base64 text of the bytes.
int EncodeBase64(EngineTrace& trace, const BYTE* pbyData, int nDataSize, char** ppszBase64,
                 int* pnBase64Size);
// The raw signature as Base64 of its SM2Q1 DER.
int EncodePKCS1Base64(EngineTrace& trace, const BYTE* pbyRawSignatureRS, char** ppszBase64,
                      int* pnBase64Size);
// The raw signature as Base64 of a SignedData carrying the signer's
// certificate, and the content when bAttached is set.
int EncodePKCS7Base64(EngineTrace& trace, const BYTE* pbyRawSignatureRS, const SoftCertKey& key,
                      const BYTE* pbySource, int nSourceSize, BOOL bAttached, char** ppszBase64,
                      int* pnBase64Size);
// New bytes of Base64 text; pszStep names the argument in the trace.
int DecodeBase64(EngineTrace& trace, const char* pszStep, const char* pszBase64, int nBase64Size,
                 BytePtr* ppbyData, int* pnDataSize);

// The coordinates of a certificate's SM2 key, 32 bytes each.
struct PublicKeyXY {
  BytePtr pbyX;
  BytePtr pbyY;
};
int LoadPublicKey(EngineTrace& trace, const BYTE* pbyCert, int nCertSize, PublicKeyXY* pKey);

// A "PKCS#1" signature is either raw r || s (64 bytes) or an SM2Q1 DER (66 to
// 72 bytes); anything else is NTE_BAD_SIGNATURE. Writes r || s into
// pbyRawSignatureRS (64 bytes).
int RawSignatureFromPKCS1(EngineTrace& trace, const BYTE* pbySignature, int nSignatureSize,
                          BYTE* pbyRawSignatureRS);

// The certificate and the raw r || s of a Base64 "PKCS#1" signature.
struct PKCS1Inputs {
  BytePtr pbyCert;
  int nCertSize = 0;
  BYTE byRawSignature[SM2_RAW_RS_SIZE] = {};
};
int DecodePKCS1Inputs(EngineTrace& trace, const char* pszBase64Cert, int nBase64CertSize,
                      const char* pszBase64PKCS1Signature, int nBase64SignatureSize,
                      PKCS1Inputs* pInputs);

// What a PKCS#7 SignedData carries, owned.
struct SignedDataParts {
  BytePtr pbyCert;
  int nCertSize = 0;
  BytePtr pbyRawSignature;
  int nRawSignatureSize = 0;
  BytePtr pbySourceData;  // null for a detached signature
  int nSourceDataSize = 0;
};
// Parses the DER and checks that content is present (bAttached) or absent.
int ParseSignedData(EngineTrace& trace, const char* pszParseStep, const BYTE* pbyPKCS7,
                    int nPKCS7Size, bool bAttached, SignedDataParts* pParts);

}  // namespace engine::signing
