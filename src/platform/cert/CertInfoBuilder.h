// Fills a CryptoAPI-shaped CERT_INFO from a parsed certificate. Every byte
// the CERT_INFO points at is owned by the CertInfoStorage.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/cert/CertContext.h"

class CertInfoStorage {
 public:
  CERT_INFO info{};
  std::vector<CERT_EXTENSION> extensions;  // info.rgExtension

  // Stable copies for the CERT_INFO's pointers (null for empty input).
  BYTE* Keep(const void* data, std::size_t size);
  char* KeepText(const std::string& text);

 private:
  std::vector<std::unique_ptr<BYTE[]>> blocks_;
};

// der/size is the certificate's own encoding, from which the serial number's
// exact bytes are taken. False for a certificate whose parts cannot be read.
bool BuildCertInfo(X509* cert, const BYTE* der, std::size_t size, CertInfoStorage& out);
