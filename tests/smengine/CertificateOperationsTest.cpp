#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/CertificateOperations.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

testpki::Identity WithUsage(std::optional<unsigned> keyUsage, bool rsa = false) {
  const testpki::CertProfile profile{"CN=usage", "10", keyUsage};
  return std::move(rsa ? *testpki::MakeRsaIdentity(profile, nullptr, 1024)
                       : *testpki::MakeSm2Identity(profile, nullptr));
}
int Check(const Bytes& cert, unsigned required) {
  return engine::CheckCertKeyUsage(cert.data(), int(cert.size()), required);
}

TEST(CertificateOperationsKeyUsage, NoExtensionGrantsNothing) {
  const Bytes cert = WithUsage(std::nullopt).CertDer();
  for (unsigned usage : {0x80u, 0x40u, 0x20u, 0x10u, 0x08u, 0x04u, 0x02u, 0x01u, 0x8000u, 0u})
    EXPECT_EQ(Check(cert, usage), SIGIL_E_INVALID_CERT_USAGE) << usage;
}

TEST(CertificateOperationsKeyUsage, EveryRequiredBitMustBeGranted) {
  const Bytes both = WithUsage(0xA0).CertDer();
  for (unsigned ok : {0x20u, 0x80u, 0xA0u, 0u}) EXPECT_EQ(Check(both, ok), ORLO_OK) << ok;
  for (unsigned no : {0x10u, 0xB0u, 0x8000u})
    EXPECT_EQ(Check(both, no), SIGIL_E_INVALID_CERT_USAGE);
  const auto encipher = WithUsage(0x20);
  EXPECT_EQ(Check(encipher.CertDer(), 0x80), SIGIL_E_INVALID_CERT_USAGE);
  const std::string pem = encipher.CertPem();
  EXPECT_EQ(Check(Bytes(pem.begin(), pem.end()), 0x20), ORLO_OK);
  EXPECT_EQ(engine::CheckX509KeyUsage(encipher.cert(), 0x20), ORLO_OK);
  EXPECT_EQ(engine::CheckX509KeyUsage(encipher.cert(), 0x80), SIGIL_E_INVALID_CERT_USAGE);
  const Bytes decipherOnly = WithUsage(0x8008).CertDer();
  EXPECT_EQ(Check(decipherOnly, 0x8000), ORLO_OK);
  EXPECT_EQ(Check(decipherOnly, 0x8001), SIGIL_E_INVALID_CERT_USAGE);
  EXPECT_EQ(Check(WithUsage(0x80, true).CertDer(), 0x80), ORLO_OK);  // any key type
}

TEST(CertificateOperationsKeyUsage, UnreadableInputIsAPlainFailure) {
  EXPECT_EQ(Check(Bytes{'n', 'o', 'p', 'e'}, 0x20), ORLO_FAILED);
  EXPECT_EQ(engine::CheckCertKeyUsage(nullptr, 0, 0x20), ORLO_FAILED);
  EXPECT_EQ(engine::CheckX509KeyUsage(nullptr, 0x20), ORLO_FAILED);
}

}  // namespace
