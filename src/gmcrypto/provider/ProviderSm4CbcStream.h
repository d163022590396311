// SM4-CBC over a stream of updates. OpenSSL 3 leaves block buffering and
// PKCS#7 padding to each provider cipher; this is ours. Private to gmcrypto.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gmcrypto/sm4/Sm4.h"

namespace gmcrypto::provider {

class Sm4CbcStream {
 public:
  Sm4CbcStream() = default;
  Sm4CbcStream(const Sm4CbcStream&) = default;  // EVP_CIPHER_CTX_copy
  Sm4CbcStream& operator=(const Sm4CbcStream&) = delete;
  ~Sm4CbcStream();

  // Starts a message in either direction. A null key keeps the last key and
  // a null IV restarts from the last IV given, as OpenSSL's CBC ciphers do.
  void Start(bool encrypt, const std::uint8_t* key, const std::uint8_t* iv);

  // EVP_CipherUpdate/EVP_CipherFinal_ex. Each fails with an OpenSSL error
  // queued and *outl == 0.
  bool Update(std::uint8_t* out, std::size_t* outl, std::size_t outsize, const std::uint8_t* in,
              std::size_t inl);
  bool Final(std::uint8_t* out, std::size_t* outl, std::size_t outsize);
  // EVP_Cipher: whole blocks, no buffering and no padding.
  bool Blocks(std::uint8_t* out, std::size_t* outl, std::size_t outsize, const std::uint8_t* in,
              std::size_t inl);

  const std::uint8_t* iv() const { return iv_; }  // the chaining value now
  const std::uint8_t* originalIv() const { return originalIv_; }

  bool padding = true;
  unsigned int num = 0;  // only stored, for EVP_CIPHER_CTX_get_num/set_num

 private:
  bool KeyReady() const;
  void Cbc(const std::uint8_t* in, std::uint8_t* out, std::size_t len);

  std::uint8_t key_[SM4_KEY_LENGTH] = {};  // kept so a later Start may turn direction
  SM4_KEY schedule_ = {};
  std::uint8_t iv_[SM4_BLOCK_SIZE] = {};
  std::uint8_t originalIv_[SM4_BLOCK_SIZE] = {};
  std::uint8_t buf_[SM4_BLOCK_SIZE] = {};
  std::size_t bufLen_ = 0;
  bool encrypt_ = true;
  bool keySet_ = false;
};

}  // namespace gmcrypto::provider
