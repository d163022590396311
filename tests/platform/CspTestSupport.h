// Keys, certificates and small helpers shared by the provider tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/base/CryptErrors.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace csptest {

using Bytes = std::vector<BYTE>;

inline testpki::Identity MakeIdentity(bool sm2, const char* subject, const char* serial) {
  testpki::CertProfile profile;
  profile.subject = subject;
  profile.serialHex = serial;
  auto made =
      sm2 ? testpki::MakeSm2Identity(profile, nullptr) : testpki::MakeRsaIdentity(profile, nullptr);
  if (!made) std::abort();
  return std::move(*made);
}

// Key generation is slow, so each identity is made once per process.
inline const testpki::Identity& Rsa(int which) {
  static testpki::Identity ids[2] = {MakeIdentity(false, "CN=Csp RSA A", "0A"),
                                     MakeIdentity(false, "CN=Csp RSA B", "0B")};
  return ids[which];
}

inline const testpki::Identity& Sm2(int which) {
  static testpki::Identity ids[2] = {MakeIdentity(true, "CN=Csp SM2 A", "1A"),
                                     MakeIdentity(true, "CN=Csp SM2 B", "1B")};
  return ids[which];
}

// Tests in one process share the state folders, so containers get names of
// their own.
inline std::string UniqueName(const std::string& hint) {
  unsigned char r[6];
  RAND_bytes(r, sizeof r);
  char text[16];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3], r[4], r[5]);
  return hint + "-" + text;
}

inline HRESULT LastHr() { return static_cast<HRESULT>(GetLastError()); }

// Installs the SM2 software provider for the scope.
class ScopedSm2Provider {
 public:
  ScopedSm2Provider() {
    EXPECT_EQ(ERROR_SUCCESS, platform::csp::InstallProvider(SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                                            platform::csp::kImageSm2Software));
  }
  ~ScopedSm2Provider() { platform::csp::UninstallProvider(SIGIL_SM2_PROV_W); }
};

class Context {
 public:
  Context() = default;
  ~Context() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  HCRYPTPROV handle = 0;
};

class Key {
 public:
  ~Key() {
    if (handle != 0) CryptDestroyKey(handle);
  }
  HCRYPTKEY handle = 0;
};

inline std::string ProvText(HCRYPTPROV prov, DWORD param) {
  DWORD size = 0;
  if (!CryptGetProvParam(prov, param, nullptr, &size, 0)) return "<failed>";
  std::string text(size, '\0');
  if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(text.data()), &size, 0))
    return "<failed>";
  EXPECT_EQ(size, text.size());
  EXPECT_EQ('\0', text.back());
  text.resize(size - 1);
  return text;
}

// Certificate of a key pair, read the way the unregistered-certificate walk
// reads it; empty when the read fails.
inline Bytes KeyCertificate(HCRYPTKEY key) {
  DWORD size = 0;
  if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0)) return {};
  Bytes der(size + 1);
  if (!CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0)) return {};
  der.resize(size);
  return der;
}

}  // namespace csptest
