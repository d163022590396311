// The selection dialog's rows as built from a store: the texts, the order,
// the hardware mark through the key's provider, failures, and the pictures
// the rows are drawn with.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/Format.h"
#include "platform/base/WideString.h"
#include "resources/ModuleResources.h"
#include "support/FakeCspProvider.h"
#include "support/TempEnvironment.h"
#include "ui/CertificateRows.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::u16string DateText(const ASN1_TIME* time) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1) return u"<bad time>";
  return FormatW(u"%02d/%02d/%04d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
}

testpki::Identity Sm2(const std::string& subject, const std::string& serial,
                      const testpki::Identity* issuer = nullptr) {
  auto id = testpki::MakeSm2Identity({subject, serial, testpki::kKuDigitalSignature}, issuer);
  EXPECT_TRUE(id.has_value()) << subject;
  return id ? std::move(*id) : testpki::Identity();
}

class CertificateRowsTest : public testing::Test {
 protected:
  void SetUp() override {
    m_store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
    ASSERT_NE(m_store, nullptr);
  }
  void TearDown() override {
    RemoveAllCertificates(m_set);
    CertCloseStore(m_store, 0);
    for (const std::u16string& name : m_installed) platform::csp::UninstallProvider(name);
  }

  PCCERT_CONTEXT Add(const testpki::Identity& id) {
    const testpki::Bytes der = id.CertDer();
    PCCERT_CONTEXT added = nullptr;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(m_store, kEncoding, der.data(),
                                                 static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_USE_EXISTING, &added));
    m_added.emplace_back(added, CertFreeCertificateContext);
    return added;
  }

  // The certificate's key in a container of a provider of that
  // implementation type, and the certificate pointing at it.
  void AddWithKeyOn(DWORD impType, const testpki::Identity& id) {
    const std::u16string name = u"Rows Token " + FormatW(u"%u", m_installed.size());
    auto provider = std::make_shared<testsupport::FakeCspProvider>(impType);
    provider->Add({"key", nullptr, testsupport::Sm2KeyPair(AT_SIGNATURE, id)});
    const std::u16string image = u"test:rows:" + name;
    platform::csp::RegisterImplementation(image, [provider] { return provider; });
    ASSERT_EQ(platform::csp::InstallProvider(name, PROV_RSA_FULL, image), ERROR_SUCCESS);
    m_installed.push_back(name);

    PCCERT_CONTEXT cert = Add(id);
    std::u16string container = u"key";
    std::u16string provName = name;
    CRYPT_KEY_PROV_INFO info{container.data(), provName.data(), PROV_RSA_FULL, 0, 0,
                             nullptr,          AT_SIGNATURE};
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }

  HRESULT Load(HMODULE module = nullptr) {
    return LoadCertificates(module, m_store, m_set, m_rows);
  }

  std::vector<std::u16string> Names() const {
    std::vector<std::u16string> names;
    for (const CERT_LIST_ITEM& row : m_rows) names.push_back(row.wstrDisplayName);
    return names;
  }

  testsupport::ScopedEnv m_english{"LANGUAGE", "en_US"};
  HCERTSTORE m_store = nullptr;
  std::vector<std::unique_ptr<const CERT_CONTEXT, BOOL (*)(PCCERT_CONTEXT)>> m_added;
  std::vector<std::u16string> m_installed;
  CERTIFICATE_SET m_set;
  CERT_LIST m_rows;
};

TEST_F(CertificateRowsTest, RowShowsNameIssuerOrganisationSerialAndDates) {
  const auto root = Sm2("C=CN,O=Sigil Root Org,OU=Trust,CN=Sigil Root CA", "01");
  const auto user = Sm2("C=CN,O=Sigil Test,OU=Unit,CN=Alice Zhang", "0A1B2C3D4E", &root);
  Add(user);

  ASSERT_EQ(Load(), S_OK);
  ASSERT_EQ(m_rows.size(), 1u);
  ASSERT_EQ(m_set.size(), 1u);
  const CERT_LIST_ITEM& row = m_rows[0];
  EXPECT_EQ(row.pCertContext, m_set[0]);
  EXPECT_EQ(row.wstrDisplayName, u"Alice Zhang");
  EXPECT_EQ(row.wstrIssuer, u"Issuer: Sigil Root Org");
  EXPECT_EQ(row.wstrSerialNumber, u"SN: 0a1b2c3d4e");
  EXPECT_EQ(row.wstrValidDate, u"Valid From: " + DateText(X509_get0_notBefore(user.cert())) +
                                   u" to " + DateText(X509_get0_notAfter(user.cert())));
  EXPECT_EQ(row.dwHardware, 0u);

  const std::vector<ui::DialogRow> dialogRows = ToDialogRows(m_rows);
  ASSERT_EQ(dialogRows.size(), 1u);
  const testpki::Bytes der = user.CertDer();
  EXPECT_EQ(dialogRows[0].certificate, std::vector<BYTE>(der.begin(), der.end()));
  EXPECT_FALSE(dialogRows[0].hardware);
  EXPECT_EQ(dialogRows[0].displayName, row.wstrDisplayName);
  EXPECT_EQ(dialogRows[0].issuerLine, row.wstrIssuer);
  EXPECT_EQ(dialogRows[0].serialLine, row.wstrSerialNumber);
  EXPECT_EQ(dialogRows[0].validityLine, row.wstrValidDate);
}

TEST_F(CertificateRowsTest, MissingNamePartsLeaveTheirTextsEmpty) {
  // Self-signed, so each subject is its own issuer.
  Add(Sm2("C=CN,O=Nameless Org,OU=Ops", "11"));  // no CN: empty name, issuer by O
  Add(Sm2("C=CN,CN=Bare CA", "12"));             // no O: issuer by CN
  Add(Sm2("C=CN,OU=Only Unit", "13"));           // neither

  ASSERT_EQ(Load(), S_OK);
  ASSERT_EQ(m_rows.size(), 3u);
  // Empty names sort first; between the two the order is not fixed.
  std::vector<std::u16string> unnamedIssuers;
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(m_rows[i].wstrDisplayName, u"");
    unnamedIssuers.push_back(m_rows[i].wstrIssuer);
  }
  std::sort(unnamedIssuers.begin(), unnamedIssuers.end());
  EXPECT_EQ(unnamedIssuers, (std::vector<std::u16string>{u"Issuer: ", u"Issuer: Nameless Org"}));
  EXPECT_EQ(m_rows[2].wstrDisplayName, u"Bare CA");
  EXPECT_EQ(m_rows[2].wstrIssuer, u"Issuer: Bare CA");
}

TEST_F(CertificateRowsTest, TextsFollowTheUserInterfaceLanguage) {
  testsupport::ScopedEnv chinese("LANGUAGE", "zh_CN");
  const auto user = Sm2("C=CN,O=\xE6\xB5\x8B\xE8\xAF\x95,CN=\xE5\xBC\xA0\xE4\xB8\x89", "2F");
  Add(user);

  ASSERT_EQ(Load(), S_OK);
  ASSERT_EQ(m_rows.size(), 1u);
  EXPECT_EQ(m_rows[0].wstrDisplayName, u"张三");
  EXPECT_EQ(m_rows[0].wstrIssuer, u"颁发者: 测试");
  EXPECT_EQ(m_rows[0].wstrSerialNumber, u"序列号: 2f");
  EXPECT_EQ(m_rows[0].wstrValidDate, u"有效期: " + DateText(X509_get0_notBefore(user.cert())) +
                                         u" 至 " + DateText(X509_get0_notAfter(user.cert())));
}

TEST_F(CertificateRowsTest, HardwareKeysComeFirstThenNamesWithCaseFolded) {
  const std::vector<std::string> names = {"charlie", "Delta", "alpha", "Bravo"};
  std::vector<testpki::Identity> soft;
  for (std::size_t i = 0; i < names.size(); ++i)
    soft.push_back(Sm2("C=CN,CN=" + names[i], "3" + std::to_string(i)));
  const auto card = Sm2("C=CN,CN=zulu card", "40");
  const auto removable = Sm2("C=CN,CN=Yankee Key", "41");
  const auto softKey = Sm2("C=CN,CN=Echo Soft Key", "42");

  Add(soft[0]);
  AddWithKeyOn(CRYPT_IMPL_HARDWARE, card);
  Add(soft[1]);
  AddWithKeyOn(CRYPT_IMPL_SOFTWARE, softKey);  // a key, but not in hardware
  Add(soft[2]);
  AddWithKeyOn(CRYPT_IMPL_REMOVABLE, removable);
  Add(soft[3]);

  ASSERT_EQ(Load(), S_OK);
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"Yankee Key", u"zulu card", u"alpha", u"Bravo",
                                                  u"charlie", u"Delta", u"Echo Soft Key"}));
  const std::vector<DWORD> expectedFlags = {1, 1, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < m_rows.size(); ++i)
    EXPECT_EQ(m_rows[i].dwHardware, expectedFlags[i]) << i;
  const std::vector<ui::DialogRow> dialogRows = ToDialogRows(m_rows);
  ASSERT_EQ(dialogRows.size(), m_rows.size());
  EXPECT_TRUE(dialogRows[0].hardware);
  EXPECT_FALSE(dialogRows[2].hardware);
}

TEST_F(CertificateRowsTest, SameCertificateTwiceIsOneRow) {
  const auto twice = Sm2("C=CN,O=Sigil Test,CN=Twice", "50");
  const auto sameNameOtherSerial = Sm2("C=CN,O=Sigil Test,CN=Twice", "51");
  Add(twice);
  Add(twice);
  Add(sameNameOtherSerial);

  ASSERT_EQ(Load(), S_OK);
  ASSERT_EQ(m_rows.size(), 2u);
  std::vector<std::u16string> serials = {m_rows[0].wstrSerialNumber, m_rows[1].wstrSerialNumber};
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::u16string>{u"SN: 50", u"SN: 51"}));
}

TEST_F(CertificateRowsTest, FailureReleasesTheSetAndEmptiesTheRows) {
  Add(Sm2("C=CN,CN=Fails", "60"));
  // A module whose table lacks the issuer text.
  static const STRING_RESOURCE strings[] = {
      {206, u"SN: %ws", nullptr, nullptr},
      {207, u"%02d/%02d/%04d %02d/%02d/%04d", nullptr, nullptr},
  };
  static const MODULE_RESOURCES table = {strings, std::size(strings), nullptr, 0};
  m_rows.push_back({});  // whatever was there goes

  EXPECT_EQ(Load(ModuleFromResources(&table)), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_TRUE(m_set.empty());
  EXPECT_TRUE(m_rows.empty());

  m_rows.push_back({});
  EXPECT_EQ(LoadCertificates(nullptr, nullptr, m_set, m_rows), E_INVALIDARG);
  EXPECT_TRUE(m_set.empty());
  EXPECT_TRUE(m_rows.empty());

  // An empty store is no failure.
  HCERTSTORE empty = CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
  EXPECT_EQ(LoadCertificates(nullptr, empty, m_set, m_rows), S_OK);
  EXPECT_TRUE(m_rows.empty());
  CertCloseStore(empty, 0);
}

std::uint32_t BigEndian32(const BYTE* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

TEST(DialogPicturesTest, ArePngImagesOfTheirSizesWithAlpha) {
  struct Expected {
    UINT id;
    std::uint32_t size;
  };
  for (const Expected e : {Expected{105, 128}, Expected{106, 128}, Expected{107, 62}}) {
    SCOPED_TRACE(e.id);
    const HMODULE module = GetSigilModuleHandle();
    HRSRC info = FindResourceW(module, e.id, u"png");
    ASSERT_NE(info, nullptr);
    const DWORD size = SizeofResource(module, info);
    const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, info)));
    ASSERT_NE(bytes, nullptr);
    // Signature, then the IHDR chunk: length 13, type, width, height, bit
    // depth, colour type (6: RGBA).
    ASSERT_GT(size, 33u);
    static constexpr BYTE kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_EQ(std::memcmp(bytes, kSignature, sizeof kSignature), 0);
    EXPECT_EQ(BigEndian32(bytes + 8), 13u);
    EXPECT_EQ(std::memcmp(bytes + 12, "IHDR", 4), 0);
    EXPECT_EQ(BigEndian32(bytes + 16), e.size);
    EXPECT_EQ(BigEndian32(bytes + 20), e.size);
    EXPECT_EQ(bytes[24], 8);
    EXPECT_EQ(bytes[25], 6);
    // The file ends with its IEND chunk, so nothing was cut off.
    EXPECT_EQ(std::memcmp(bytes + size - 8, "IEND", 4), 0);
  }
}

}  // namespace
