// Pieces shared by the data envelopes and the file envelopes: the key work
// both forms do the same way. Not part of the engine's interface.
#pragma once

#include "smengine/cipher/CipherInternal.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/softcert/SMFileCertOperations.h"
#include "trace/Trace.h"

namespace engine::detail {

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
