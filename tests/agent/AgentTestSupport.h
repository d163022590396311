// The user's certificates and keys as the agent finds them: the standard
// test PKI in a temporary folder, certificates with keys in the user's "MY"
// store and SM2 key pairs in containers of the software SM2 provider, plus
// small helpers for calling the agent and reading what it gives back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/CryptoAgent.h"
#include "pki/TestPki.h"
#include "platform/base/Bstr.h"
#include "platform/etw/EventTrace.h"
#include "platform/base/WideString.h"

namespace agenttest {

using Bytes = std::vector<BYTE>;

// Made once per test process: every file of the standard fixtures
// (sm2-sign.sm2, rsa-sign.p12, ... with password testpki::kFixturePassword).
const testpki::Fixtures& Pki();
std::u16string PathOf(const std::filesystem::path& path);  // as page script names it
inline const std::u16string kPassword = u"123456";

// Which identities of Pki() a test finds installed.
enum Installed : unsigned {
  kRsaSign = 1,     // rsa-sign in MY, key in a container of the RSA provider
  kRsaEncrypt = 2,  // rsa-encrypt in MY, likewise
  kSm2Sign = 4,     // sm2-sign as the signature pair of container "sm2-sign"
  kSm2Encrypt = 8,  // sm2-encrypt as the exchange pair of container "sm2-encrypt"
  kAll = 15
};

// Installs for the life of the object and removes everything again.
class InstalledCertificates {
 public:
  explicit InstalledCertificates(unsigned what = kAll);
  ~InstalledCertificates();
  InstalledCertificates(const InstalledCertificates&) = delete;
  InstalledCertificates& operator=(const InstalledCertificates&) = delete;

 private:
  unsigned what_;
};

// Puts a certificate alone (no key) into a store of the current user.
void AddToUserStore(const char16_t* store, const testpki::Identity& id);

// Base64 of a certificate's DER, one line, as page script passes it.
std::u16string CertBase64(const testpki::Identity& id);

// A text output: the BSTR's text (or "<null>") and the BSTR freed.
std::u16string Take(BSTR bstr);

// A new file below the test's temporary root with these bytes.
std::u16string WriteFile(const std::string& name, const std::string& bytes);
std::string ReadFile(const std::u16string& path);
// A path in a fresh folder that does not exist yet.
std::u16string NewPath(const std::string& name);

// An SM2 signature SEQUENCE { INTEGER r, INTEGER s } of the container
// route, which writes each half as its 32 bytes with leading zeros kept, in
// the minimal DER that OpenSSL insists on (it refuses the padded form, about
// one signature in 128). Bytes that are not such a SEQUENCE come back as
// they are, so the verification that follows fails.
Bytes MinimalSm2Signature(const Bytes& der);

// The agent's failure lines (record 12) while the object lives.
class FailureLines {
 public:
  FailureLines();
  ~FailureLines();
  FailureLines(const FailureLines&) = delete;
  FailureLines& operator=(const FailureLines&) = delete;
  // The latest line as UTF-8; empty when there is none.
  std::string Last() const;

 private:
  TRACEHANDLE m_session = 0;
  std::vector<std::u16string> m_lines;
};

}  // namespace agenttest
