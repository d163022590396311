// Owners of provider and key handles, so every path releases them.
#pragma once

#include "platform/csp/Csp.h"

class UniqueCryptProv {
 public:
  UniqueCryptProv() = default;
  ~UniqueCryptProv() {
    if (m_hProv != 0) CryptReleaseContext(m_hProv, 0);
  }
  UniqueCryptProv(const UniqueCryptProv&) = delete;
  UniqueCryptProv& operator=(const UniqueCryptProv&) = delete;
  HCRYPTPROV* Out() { return &m_hProv; }
  HCRYPTPROV Get() const { return m_hProv; }

 private:
  HCRYPTPROV m_hProv = 0;
};

// A provider handle from CryptAcquireCertificatePrivateKey: released only
// when the acquisition handed it to the caller, since a handle cached with
// the certificate belongs to the certificate.
class AcquiredCryptProv {
 public:
  AcquiredCryptProv() = default;
  ~AcquiredCryptProv() {
    if (m_hProv != 0 && m_bCallerFree) CryptReleaseContext(m_hProv, 0);
  }
  AcquiredCryptProv(const AcquiredCryptProv&) = delete;
  AcquiredCryptProv& operator=(const AcquiredCryptProv&) = delete;
  HCRYPTPROV* Out() { return &m_hProv; }
  BOOL* CallerFree() { return &m_bCallerFree; }
  HCRYPTPROV Get() const { return m_hProv; }

 private:
  HCRYPTPROV m_hProv = 0;
  BOOL m_bCallerFree = FALSE;
};

class UniqueCryptKey {
 public:
  UniqueCryptKey() = default;
  ~UniqueCryptKey() {
    if (m_hKey != 0) CryptDestroyKey(m_hKey);
  }
  UniqueCryptKey(const UniqueCryptKey&) = delete;
  UniqueCryptKey& operator=(const UniqueCryptKey&) = delete;
  HCRYPTKEY* Out() { return &m_hKey; }
  HCRYPTKEY Get() const { return m_hKey; }

 private:
  HCRYPTKEY m_hKey = 0;
};
