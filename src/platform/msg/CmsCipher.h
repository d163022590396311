// The ciphers of an EnvelopedData: the content ciphers (triple DES in CBC
// mode and RC4, the latter from OpenSSL's legacy provider) and RSA PKCS #1
// v1.5 transport of the session key.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/SecretBytes.h"
#include "platform/base/WinTypes.h"

namespace platform::msg::detail {

using foundation::SecretBytes;

struct ContentAlgorithm {
  const char* oid;
  const char* cipherName;  // as OpenSSL fetches it
  std::size_t keySize;
  std::size_t ivSize;  // 0: no IV, parameters an empty OCTET STRING
  bool padded;         // PKCS #7 padding to the block size
};

// Null for an algorithm we do not offer.
const ContentAlgorithm* FindContentAlgorithm(std::string_view oid);
std::uint64_t CiphertextLength(const ContentAlgorithm& algorithm, std::uint64_t plainLength);

// A fresh random key (odd parity for DES keys) or IV.
HRESULT RandomSessionKey(const ContentAlgorithm& algorithm, SecretBytes* key);
HRESULT RandomBytes(std::size_t size, std::vector<BYTE>* out);

class ContentCipher {
 public:
  ContentCipher() = default;
  ~ContentCipher();
  ContentCipher(const ContentCipher&) = delete;
  ContentCipher& operator=(const ContentCipher&) = delete;

  // CRYPT_E_UNKNOWN_ALGO when OpenSSL cannot provide the cipher.
  HRESULT Init(const ContentAlgorithm& algorithm, std::span<const BYTE> key,
               std::span<const BYTE> iv, bool encrypt);
  // Appends the output for `input` to *out (a padded decryption keeps its
  // last block back until Final).
  HRESULT Update(std::span<const BYTE> input, std::vector<BYTE>* out);
  // NTE_BAD_DATA when the padding does not check.
  HRESULT Final(std::vector<BYTE>* out);

 private:
  EVP_CIPHER_CTX* ctx_ = nullptr;
  std::size_t block_ = 1;
};

// The session key encrypted to an RSA public key given as the
// subjectPublicKey bits (an RSAPublicKey); NTE_BAD_PUBLIC_KEY when they are
// not one.
HRESULT WrapSessionKey(std::span<const BYTE> rsaPublicKey, std::span<const BYTE> key,
                       std::vector<BYTE>* encryptedKey);
// Always a key of keySize bytes: the transported one when the RSA block
// decrypts to a well-padded key of that size, a random one otherwise. Which
// of the two is chosen without branching on the decrypted bytes, so a wrong
// key only shows as a content that does not decrypt. NTE_BAD_KEY for a
// private key that is not RSA.
HRESULT UnwrapSessionKey(EVP_PKEY* privateKey, std::span<const BYTE> encryptedKey,
                         std::size_t keySize, SecretBytes* key);

}  // namespace platform::msg::detail
