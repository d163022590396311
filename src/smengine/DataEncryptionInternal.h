// Pieces shared by the SM4 primitives, the data envelopes and the file
// envelopes: holders that wipe secrets when they go, and the key work both
// envelope forms do the same way. Not part of the engine's interface.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

#include "smengine/DataEncryption.h"
#include "smengine/SMFileCertOperations.h"
#include "trace/Trace.h"

namespace engine::detail {

inline constexpr const char* kDataEncryptionUnit = "DataEncryption";
inline constexpr int kSM4BlockSize = 16;

struct CipherCtxDeleter {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

using Buffer = std::unique_ptr<unsigned char[]>;

// A cipher context set up for SM4-CBC in one direction, traced in the
// caller's function. pCipher null (no SM4 in the library) fails like a
// failed allocation.
int NewSM4Context(EngineTrace& trace, const EVP_CIPHER* pCipher, bool bEncrypt,
                  const unsigned char* pbyKey, const unsigned char* pbyIV, CipherCtxPtr* ppCtx);

// A new[] buffer that may hold plaintext or key material: wiped whenever it
// is dropped rather than handed over.
struct WipedArray {
  unsigned char* p = nullptr;
  std::size_t nSize = 0;

  WipedArray() = default;
  WipedArray(unsigned char* pbyData, std::size_t nDataSize) : p(pbyData), nSize(nDataSize) {}
  WipedArray(const WipedArray&) = delete;
  WipedArray& operator=(const WipedArray&) = delete;
  ~WipedArray() {
    if (p != nullptr) OPENSSL_cleanse(p, nSize);
    delete[] p;
  }
  unsigned char* Release() { return std::exchange(p, nullptr); }
};

// Whether the stream took every byte (it may still hold them in its buffer).
inline bool WriteAll(FILE* fpOutput, const unsigned char* pbyData, std::size_t nSize) {
  return nSize == 0 || std::fwrite(pbyData, 1, nSize, fpOutput) == nSize;
}

// Fixed-size secret on the stack (session keys, IV || key random bytes).
template <std::size_t N>
struct WipedBytes {
  unsigned char by[N] = {};
  WipedBytes() = default;
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  ~WipedBytes() { OPENSSL_cleanse(by, N); }
};

// A soft certificate's decrypted key pair, wiped and freed on every path.
struct SoftCertKeyPair : SM2_KEY_PAIR {
  SoftCertKeyPair() = default;
  SoftCertKeyPair(const SoftCertKeyPair&) = delete;
  SoftCertKeyPair& operator=(const SoftCertKeyPair&) = delete;
  ~SoftCertKeyPair() { FreeSM2KeyPair(this); }
};

// Everything an envelope for one recipient needs apart from its content.
// The random bytes are IV || session key; only the IV leaves in clear.
struct SealingKeys {
  WipedBytes<2 * SM2_SESSION_KEY_SIZE> random;
  Buffer pbySubjectKeyID;
  int nSubjectKeyIDSize = 0;
  Buffer pbyEncryptedKey;  // DER SM2Cipher of the session key
  int nEncryptedKeySize = 0;
  Buffer pbyIVParameter;  // 04 10 IV
  int nIVParameterSize = 0;

  const unsigned char* IV() const { return random.by; }
  const unsigned char* SessionKey() const { return random.by + SM2_SESSION_KEY_SIZE; }
};

// Key usage, recipient identifier, public point, fresh IV and session key,
// encrypted session key and IV parameter, in that order; the certificate is
// refused before any random bytes are drawn.
int PrepareSealingKeys(EngineTrace& trace, const unsigned char* pbyCert, int nCertSize,
                       SealingKeys* pKeys);

// Reads the Base64 soft-certificate file whole (0xA0072026, unread, past
// SM2_SOFT_CERT_MAX_FILE_SIZE) and decrypts its key with the password (any
// failure there is 0xA0071108). With ppbyCert the certificate
// is parsed out first, and a malformed file answers with the parser's code.
int OpenSoftCert(EngineTrace& trace, FILE* fpSM2PFXFile, const char* pszPassword,
                 SoftCertKeyPair* pKeyPair, Buffer* ppbyCert, int* pnCertSize);

// The session key from an encryptedKey (DER SM2Cipher); 0xA0071105 unless
// both it and the IV are 16 bytes.
int RecoverSessionKey(EngineTrace& trace, const SM2_KEY_PAIR& keyPair,
                      const unsigned char* pbyEncryptedKey, int nEncryptedKeySize, int nIVSize,
                      WipedBytes<SM2_SESSION_KEY_SIZE>* pSessionKey);

}  // namespace engine::detail
