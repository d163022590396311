// Builds small self-signed certificates for tests.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"

namespace testcert {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using UniquePkey = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;
using UniqueX509 = std::unique_ptr<X509, X509Free>;

enum class KeyKind { Rsa2048, EcP256 };

struct Options {
  KeyKind key = KeyKind::Rsa2048;
  std::vector<unsigned char> serial = {0x01};  // big-endian magnitude
  bool negativeSerial = false;
  std::string commonName = "npSigil test";
  bool subjectKeyId = true;
  std::string notBefore = "20200102030405Z";  // GeneralizedTime text
  std::string notAfter = "20491231235959Z";
};

struct Built {
  UniquePkey key;
  UniqueX509 cert;
  std::vector<unsigned char> der;
};

// Aborts the test (via gtest ASSERTs in the caller) when der is empty.
Built Make(const Options& options);

}  // namespace testcert
