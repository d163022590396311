// Certificates and certificate sets for the certificate-service tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "platform/cert/CertContext.h"
#include "winsvc/CertificateStore.h"

namespace certtest {

using Bytes = std::vector<BYTE>;

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

// Frees every entry when the test ends.
struct OwnedSet {
  CERTIFICATE_SET set;
  OwnedSet() = default;
  OwnedSet(const OwnedSet&) = delete;
  OwnedSet& operator=(const OwnedSet&) = delete;
  ~OwnedSet() { RemoveAllCertificates(set); }
};

// An SM2 certificate (self-signed unless an issuer is given).
testpki::Identity Sm2(const std::string& subject, const std::string& serialHex,
                      std::optional<unsigned> keyUsage = 0xC0, bool subjectKeyId = true,
                      const testpki::Identity* issuer = nullptr);

UniqueContext ContextOf(X509* cert);
inline UniqueContext ContextOf(const testpki::Identity& id) { return ContextOf(id.cert()); }

// The certificate re-encoded with its subject key identifier replaced by
// these bytes (the signature no longer verifies; nothing here checks it).
UniqueContext WithSubjectKeyId(const testpki::Identity& id, const Bytes& keyId);

// The subject's CN values of a set, in order.
std::vector<std::u16string> CommonNames(const CERTIFICATE_SET& set);

}  // namespace certtest
