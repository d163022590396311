// Pieces shared by the SMFileCertOperations sources.
#pragma once

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstddef>
#include <memory>

namespace engine::sm2pfx {

inline constexpr const char* kSourceUnit = "SMFileCertOperations";

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// A new[] buffer that is wiped before it is freed: for keys and for
// anything a key passed through.
struct WipedArrayDeleter {
  std::size_t nSize = 0;
  void operator()(unsigned char* p) const {
    if (p != nullptr) OPENSSL_cleanse(p, nSize);
    delete[] p;
  }
};
using WipedBytes = std::unique_ptr<unsigned char[], WipedArrayDeleter>;

// ORLO_OK when d (1 to 32 bytes, big-endian) lies in [1, n-1] on the SM2
// curve and d·G is the point (x, y); ORLO_FAILED otherwise.
int CheckPrivateKeyMatchesPoint(const unsigned char* pbyPrivateKey, int nPrivateKeySize,
                                const unsigned char pbyX[32], const unsigned char pbyY[32]);

}  // namespace engine::sm2pfx
