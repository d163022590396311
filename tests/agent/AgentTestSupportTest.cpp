// The installed test identities are what the agent's own lookups will find.
#include <gtest/gtest.h>

#include "AgentTestSupport.h"
#include "platform/store/CertStore.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

using namespace agenttest;

TEST(AgentTestSupport, InstalledIdentitiesAreFoundWithTheirKeysAndRemovedAgain) {
  {
    InstalledCertificates installed;
    CERTIFICATE_FILTER filter{};
    filter.dwKeyUsage = 0x80;
    filter.bCheckPrivateKey = TRUE;
    filter.pszSignatureAlgOid = "1.2.840.113549";
    CERTIFICATE_SET rsa;
    ASSERT_EQ(S_OK, FilterCertificatesfromLocalStore(u"MY", &filter, rsa));
    EXPECT_EQ(rsa.size(), 1u);
    RemoveAllCertificates(rsa);

    filter.pszSignatureAlgOid = "1.2.156.10197";
    UNREGISTERED_CERT_SET sm2;
    ASSERT_EQ(S_OK, FilterUnregisteredCertificatesfromCSP(&filter, sm2));
    EXPECT_EQ(sm2.size(), 1u);
    RemoveAllUnregisteredCertificates(sm2);
  }
  CERTIFICATE_SET left;
  ASSERT_EQ(S_OK, ExtractCertificatesFromLocalStore(u"MY", left));
  EXPECT_TRUE(left.empty());
  RemoveAllCertificates(left);
}

}  // namespace
