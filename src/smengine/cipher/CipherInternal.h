// Pieces the SM4 primitives share with the envelopes built on them: cipher
// contexts and holders that wipe secrets when they go. Not part of the
// engine's interface.
#pragma once

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

#include "smengine/cipher/DataEncryption.h"
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

}  // namespace engine::detail
