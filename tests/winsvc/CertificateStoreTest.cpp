#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "CertificateTestSupport.h"
#include "platform/base/LastError.h"
#include "winsvc/CertificateStore.h"

namespace {

using certtest::Bytes;
using certtest::OwnedSet;
using certtest::UniqueContext;
using Names = std::vector<std::u16string>;

using UniqueStore = UniqueCertStore;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void Add(HCERTSTORE store, const testpki::Identity& id) {
  UniqueContext ctx = certtest::ContextOf(id);
  ASSERT_TRUE(CertAddCertificateContextToStore(store, ctx.get(), CERT_STORE_ADD_ALWAYS, nullptr));
}

// Alice (O=Example, KU 0xC0), Bob (expired, KU 0x20 only), Carol (no key
// usage), in that store order.
class CertificateStoreTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ids_ = new std::vector<testpki::Identity>();
    ids_->push_back(certtest::Sm2("C=CN,O=Example,OU=Dev,CN=Alice", "0A", 0xC0));
    testpki::CertProfile expired{"C=CN,O=Other,CN=Bob", "0B", 0x20, true, false, -30, -1};
    ids_->push_back(std::move(*testpki::MakeSm2Identity(expired, nullptr)));
    ids_->push_back(certtest::Sm2("C=CN,O=Other,CN=Carol", "0C", std::nullopt));
  }
  static void TearDownTestSuite() { delete ids_; }

  void SetUp() override {
    store.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr));
    ASSERT_NE(store, nullptr);
    for (const testpki::Identity& id : *ids_) Add(store.get(), id);
  }

  Names Filter(const CERTIFICATE_FILTER* filter) {
    OwnedSet out;
    EXPECT_EQ(FilterCertificatesFromStore(store.get(), filter, out.set), S_OK);
    return certtest::CommonNames(out.set);
  }
  Names FilterSubject(LPCWSTR text) {
    CERTIFICATE_FILTER filter{};
    filter.lpwSubjectDNFilter = text;
    return Filter(&filter);
  }

  static std::vector<testpki::Identity>* ids_;
  UniqueStore store;
};
std::vector<testpki::Identity>* CertificateStoreTest::ids_ = nullptr;

const Names kAll = {u"Alice", u"Bob", u"Carol"};

TEST_F(CertificateStoreTest, UnsetOrMissingFilterReturnsEveryCertificateInStoreOrder) {
  EXPECT_EQ(Filter(nullptr), kAll);
  const CERTIFICATE_FILTER unset{};
  EXPECT_EQ(Filter(&unset), kAll) << "the expired Bob too";
  CERTIFICATE_FILTER notExactlyTrue{};
  notExactlyTrue.bCheckPrivateKey = 2;
  EXPECT_EQ(Filter(&notExactlyTrue), kAll) << "only TRUE asks for the private key";
}

TEST_F(CertificateStoreTest, SubjectAlternatives) {
  EXPECT_EQ(FilterSubject(u""), kAll);
  EXPECT_EQ(FilterSubject(u"#"), kAll);
  EXPECT_EQ(FilterSubject(u"CN=Nobody#"), kAll);
  EXPECT_EQ(FilterSubject(u"O=Example#CN=Carol"), (Names{u"Alice", u"Carol"}));
  EXPECT_EQ(FilterSubject(u"cn=bob, o=other"), Names{u"Bob"});
  EXPECT_EQ(FilterSubject(u"CN=Nobody"), Names{});
}

TEST_F(CertificateStoreTest, KeyUsageDropsCertificatesWithoutTheBit) {
  CERTIFICATE_FILTER filter{};
  filter.dwKeyUsage = 0x80;
  EXPECT_EQ(Filter(&filter), Names{u"Alice"});
  filter.dwKeyUsage = 0x20;
  EXPECT_EQ(Filter(&filter), Names{u"Bob"});
}

TEST_F(CertificateStoreTest, SerialIssuerAndSignatureAlgorithmFilters) {
  const BYTE serial[] = {0x0C};
  CERTIFICATE_FILTER filter{};
  filter.pbySerialNumber = serial;
  filter.cbSerialNumber = 1;
  EXPECT_EQ(Filter(&filter), Names{u"Carol"});

  CERTIFICATE_FILTER issuer{};
  issuer.lpwIssuerDNFilter = u"CN=Bob";  // self-signed: issuer equals subject
  EXPECT_EQ(Filter(&issuer), Names{u"Bob"});

  CERTIFICATE_FILTER alg{};
  alg.pszSignatureAlgOid = "1.2.840.113549";
  EXPECT_EQ(Filter(&alg), Names{});
  alg.pszSignatureAlgOid = "1.2.156.10197";
  EXPECT_EQ(Filter(&alg), kAll);
}

TEST_F(CertificateStoreTest, FilterAppendsNewReferencesAndLeavesTheInputAlone) {
  OwnedSet in;
  ASSERT_EQ(ExtractCertificatesFromStore(store.get(), in.set), S_OK);
  store.reset();  // the set's references keep the certificates alive
  ASSERT_EQ(certtest::CommonNames(in.set), kAll);

  OwnedSet out;
  out.set.push_back(CertDuplicateCertificateContext(in.set[2]));
  CERTIFICATE_FILTER filter{};
  filter.lpwSubjectDNFilter = u"CN=Alice#CN=Bob";
  ASSERT_EQ(FilterCertificates(&filter, out.set, in.set), S_OK);
  EXPECT_EQ(certtest::CommonNames(out.set), (Names{u"Carol", u"Alice", u"Bob"}));
  EXPECT_EQ(certtest::CommonNames(in.set), kAll);
  RemoveAllCertificates(in.set);
  EXPECT_TRUE(in.set.empty());
  EXPECT_EQ(certtest::CommonNames(out.set), (Names{u"Carol", u"Alice", u"Bob"}))
      << "each entry holds its own reference";
}

TEST_F(CertificateStoreTest, NullStoreReleasesTheOutputSet) {
  OwnedSet out;
  out.set.push_back(certtest::ContextOf((*ids_)[0]).release());
  EXPECT_EQ(ExtractCertificatesFromStore(nullptr, out.set), E_INVALIDARG);
  EXPECT_TRUE(out.set.empty());
  out.set.push_back(certtest::ContextOf((*ids_)[0]).release());
  EXPECT_EQ(ExtractCertificatesFromLocalStore(nullptr, out.set), E_INVALIDARG);
  EXPECT_TRUE(out.set.empty());
  SetLastError(1234);
  EXPECT_EQ(FilterCertificatesFromStore(nullptr, nullptr, out.set), E_INVALIDARG);
  EXPECT_EQ(GetLastError(), 1234u) << "the last error is kept";
}

TEST_F(CertificateStoreTest, LocalStoresAreReadByName) {
  {
    UniqueStore my(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                 CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
    ASSERT_NE(my, nullptr);
    Add(my.get(), (*ids_)[0]);
    Add(my.get(), (*ids_)[2]);
    UniqueStore book(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, u"ADDRESSBOOK"));
    ASSERT_NE(book, nullptr);
    Add(book.get(), (*ids_)[1]);
  }
  OwnedSet mine;
  ASSERT_EQ(ExtractCertificatesFromLocalStore(u"MY", mine.set), S_OK);
  Names names = certtest::CommonNames(mine.set);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Names{u"Alice", u"Carol"}));

  OwnedSet others;
  CERTIFICATE_FILTER filter{};
  filter.dwKeyUsage = 0x20;
  SetLastError(77);
  ASSERT_EQ(FilterCertificatesfromLocalStore(u"ADDRESSBOOK", &filter, others.set), S_OK);
  EXPECT_EQ(GetLastError(), 77u);
  EXPECT_EQ(certtest::CommonNames(others.set), Names{u"Bob"});
  filter.dwKeyUsage = 0x80;
  ASSERT_EQ(FilterCertificatesfromLocalStore(u"ADDRESSBOOK", &filter, others.set), S_OK);
  EXPECT_EQ(certtest::CommonNames(others.set), Names{u"Bob"}) << "nothing appended";
}

TEST_F(CertificateStoreTest, PrivateKeyTestKeepsOnlyCertificatesWithAUsableKey) {
  std::optional<testpki::Identity> rsa =
      testpki::MakeRsaIdentity({"C=CN,CN=Keyed", "0D", 0xC0, true, false}, nullptr);
  ASSERT_TRUE(rsa.has_value());
  Bytes pfx = testpki::MakePkcs12(*rsa, "pw");
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
  UniqueStore imported(PFXImportCertStore(&blob, u"pw", 0));
  ASSERT_NE(imported, nullptr);
  UniqueContext keyed(CertEnumCertificatesInStore(imported.get(), nullptr));
  ASSERT_NE(keyed, nullptr);
  ASSERT_TRUE(
      CertAddCertificateContextToStore(store.get(), keyed.get(), CERT_STORE_ADD_ALWAYS, nullptr));

  CERTIFICATE_FILTER filter{};
  filter.bCheckPrivateKey = TRUE;
  EXPECT_EQ(Filter(&filter), Names{u"Keyed"});
  filter.bCheckPrivateKey = FALSE;
  EXPECT_EQ(Filter(&filter), (Names{u"Alice", u"Bob", u"Carol", u"Keyed"}));
}

}  // namespace
