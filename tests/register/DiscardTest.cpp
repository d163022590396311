// The deletion list at work: certificates made to match each filter are
// planted with near misses that must stay.
#include <gtest/gtest.h>

#include "platform/registry/Registry.h"
#include "platform/base/WideString.h"
#include "register/CertificateChainOperate.h"
#include "register/ChainTestSupport.h"
#include "register/DiscardList.h"

namespace {

using namespace chaintest;

// "O=Name, C=CN" (most specific first) as a subject in encoding order.
std::string SubjectOf(LPCWSTR filterText) {
  std::string text = ToUtf8(filterText), subject;
  for (std::size_t end; (end = text.rfind(", ")) != std::string::npos; text.resize(end))
    subject += text.substr(end + 2) + ",";
  return subject + text;
}

bool RootKeyExists(const std::u16string& thumbprint) {
  HKEY raw = nullptr;
  const std::u16string path = std::u16string(kMachineRootCertificatesPath) + u"\\" + thumbprint;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return false;
  RegCloseKey(raw);
  return true;
}

TEST(DiscardList, ObsoleteCertificatesGoEvenWhenTheResourceDoesNotParse) {
  std::vector<Identity> issuers, planted;
  std::set<std::string> kept;
  for (const DISCARD_CERT_FILTER& filter : g_DiscardCertFilters) {
    issuers.push_back(MakeSm2(SubjectOf(filter.lpwIssuerDN), "7001"));
    const std::string subject = SubjectOf(filter.lpwSubjectDN);
    planted.push_back(MakeSm2(subject, ToUtf8(filter.lpwSerialNumber), &issuers.back()));
    planted.push_back(MakeSm2(subject, "7E57", &issuers.back()));  // another serial
    kept.insert(Thumbprint(planted.back()));
  }
  // The listed serial and subject under an issuer not on the list.
  const Identity otherIssuer = MakeSm2("C=CN,O=Sigil Unrelated Issuer", "7002");
  planted.push_back(MakeSm2(SubjectOf(g_DiscardCertFilters[0].lpwSubjectDN),
                            ToUtf8(g_DiscardCertFilters[0].lpwSerialNumber), &otherIssuer));
  kept.insert(Thumbprint(planted.back()));
  for (const Identity& id : planted) PlantInMachineCa(id);
  const Bytes blob = SerializedBlob(otherIssuer);
  for (const std::u16string& thumbprint :
       {std::u16string(g_wszDiscardRootThumbprint), FromUtf8(Thumbprint(otherIssuer))})
    ASSERT_EQ(RegWriteBinaryValue(kMachineRootCertificatesPath, thumbprint.c_str(), blob.data(),
                                  static_cast<DWORD>(blob.size())),
              S_OK);

  EXPECT_EQ(Import("<root><RootCACertificate>"), E_INVALIDARG);
  EXPECT_EQ(MachineStore(u"CA"), kept);
  EXPECT_FALSE(RootKeyExists(g_wszDiscardRootThumbprint));
  EXPECT_TRUE(RootKeyExists(FromUtf8(Thumbprint(otherIssuer))));
}

}  // namespace
