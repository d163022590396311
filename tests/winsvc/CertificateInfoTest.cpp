#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "CertificateTestSupport.h"
#include "platform/store/CertStore.h"
#include "platform/base/CryptErrors.h"
#include "resources/ResultCodes.h"
#include "winsvc/CertificateInfo.h"

namespace {

using certtest::Bytes;
using certtest::UniqueContext;

using UniqueStore = UniqueCertStore;

// What each kind hands back, read and freed the way the agent does.
struct Answer {
  HRESULT hResult;
  DWORD dwLength;
  std::u16string text;
  Bytes bytes;
};

constexpr DWORD kUntouched = 0xDEADBEEF;

Answer QueryText(PCCERT_CONTEXT ctx, DWORD kind) {
  Answer answer{};
  LPWSTR pwsz = nullptr;
  answer.dwLength = kUntouched;
  answer.hResult = QueryCertContextInfo(&answer.dwLength, &pwsz, ctx, kind);
  if (pwsz != nullptr) {
    EXPECT_EQ(answer.hResult, S_OK);
    answer.text = pwsz;
    delete[] pwsz;
  }
  return answer;
}

Answer QueryBytes(PCCERT_CONTEXT ctx, DWORD kind) {
  Answer answer{};
  BYTE* pby = nullptr;
  answer.dwLength = kUntouched;
  answer.hResult = QueryCertContextInfo(&answer.dwLength, &pby, ctx, kind);
  if (pby != nullptr) {
    EXPECT_EQ(answer.hResult, S_OK);
    answer.bytes.assign(pby, pby + answer.dwLength);
    delete[] pby;
  }
  return answer;
}

SYSTEMTIME FromAsn1(const ASN1_TIME* time) {
  std::tm tm{};
  EXPECT_EQ(ASN1_TIME_to_tm(time, &tm), 1);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  return st;
}

void ExpectSameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0)
      << a.wYear << "-" << a.wMonth << "-" << a.wDay << " dow " << a.wDayOfWeek << " vs " << b.wYear
      << "-" << b.wMonth << "-" << b.wDay << " dow " << b.wDayOfWeek;
}

class CertificateInfoTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testpki::Identity(certtest::Sm2("C=CN,O=Sigil Test,CN=Sigil Root CA", "01", 0x06));
    alice_ = new testpki::Identity(
        certtest::Sm2("C=CN,O=Example,OU=Dev,CN=Alice", "00FF10", 0xC0, true, root_));
  }
  static void TearDownTestSuite() {
    delete alice_;
    delete root_;
  }
  static testpki::Identity* root_;
  static testpki::Identity* alice_;
  UniqueContext alice = certtest::ContextOf(*alice_);
};
testpki::Identity* CertificateInfoTest::root_ = nullptr;
testpki::Identity* CertificateInfoTest::alice_ = nullptr;

TEST_F(CertificateInfoTest, NamesAndSerialNumber) {
  Answer dn = QueryText(alice.get(), CERTINFO_SUBJECT_DN);
  EXPECT_EQ(dn.text, u"CN=Alice, OU=Dev, O=Example, C=CN");
  EXPECT_EQ(dn.dwLength, dn.text.size() + 1) << "the terminator counts";
  Answer simple = QueryText(alice.get(), CERTINFO_SUBJECT_NAME);
  EXPECT_EQ(simple.text, u"Alice, Dev, Example, CN");
  EXPECT_EQ(simple.dwLength, simple.text.size() + 1);
  Answer issuer = QueryText(alice.get(), CERTINFO_ISSUER_DN);
  EXPECT_EQ(issuer.text, u"CN=Sigil Root CA, O=Sigil Test, C=CN");
  EXPECT_EQ(issuer.dwLength, issuer.text.size() + 1);

  // 00FF10 is encoded 00 FF 10 (the sign byte stays), least significant first.
  Answer serial = QueryBytes(alice.get(), CERTINFO_SERIAL_NUMBER);
  EXPECT_EQ(serial.bytes, (Bytes{0x10, 0xFF, 0x00}));
  EXPECT_EQ(serial.dwLength, 3u);
}

TEST_F(CertificateInfoTest, ValidityDatesInUtcWithDayOfWeek) {
  SYSTEMTIME st{};
  DWORD dwLength = 0;
  ASSERT_EQ(QueryCertContextInfo(&dwLength, &st, alice.get(), CERTINFO_VALID_TO), S_OK);
  EXPECT_EQ(dwLength, 16u);
  ExpectSameTime(st, FromAsn1(X509_get0_notAfter(alice_->cert())));
  dwLength = 0;
  ASSERT_EQ(QueryCertContextInfo(&dwLength, &st, alice.get(), CERTINFO_VALID_FROM), S_OK);
  EXPECT_EQ(dwLength, 16u);
  ExpectSameTime(st, FromAsn1(X509_get0_notBefore(alice_->cert())));
}

TEST_F(CertificateInfoTest, KeyIdentifierAndKeyUsage) {
  Answer ski = QueryBytes(alice.get(), CERTINFO_SUBJECT_KEY_ID);
  const ASN1_OCTET_STRING* expected = X509_get0_subject_key_id(alice_->cert());
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(ski.bytes, Bytes(ASN1_STRING_get0_data(expected),
                             ASN1_STRING_get0_data(expected) + ASN1_STRING_length(expected)));

  DWORD dwUsage = 0, dwLength = 0;
  ASSERT_EQ(QueryCertContextInfo(&dwLength, &dwUsage, alice.get(), CERTINFO_KEY_USAGE), S_OK);
  EXPECT_EQ(dwUsage, 0xC0u);
  EXPECT_EQ(dwLength, 4u);

  // decipherOnly sits in the second byte and is not reported.
  testpki::Identity both = certtest::Sm2("CN=Both", "02", 0x8000 | 0x08);
  UniqueContext ctx = certtest::ContextOf(both);
  ASSERT_EQ(QueryCertContextInfo(&dwLength, &dwUsage, ctx.get(), CERTINFO_KEY_USAGE), S_OK);
  EXPECT_EQ(dwUsage, 0x08u);

  EXPECT_EQ(GetCertSubjectKeyID(alice.get(), nullptr, nullptr), S_OK) << "presence test";
}

TEST_F(CertificateInfoTest, MissingExtensionsAndUnknownKindsWriteNothing) {
  testpki::Identity bare = certtest::Sm2("CN=Bare", "03", std::nullopt, false);
  UniqueContext ctx = certtest::ContextOf(bare);
  Answer ski = QueryBytes(ctx.get(), CERTINFO_SUBJECT_KEY_ID);
  EXPECT_EQ(ski.hResult, SIGIL_E_NO_SUBJECT_KEY_ID);
  EXPECT_EQ(ski.dwLength, kUntouched);
  EXPECT_EQ(GetCertSubjectKeyID(ctx.get(), nullptr, nullptr), SIGIL_E_NO_SUBJECT_KEY_ID);

  DWORD dwUsage = kUntouched, dwLength = kUntouched;
  EXPECT_EQ(QueryCertContextInfo(&dwLength, &dwUsage, ctx.get(), CERTINFO_KEY_USAGE),
            SIGIL_E_NO_KEY_USAGE);
  EXPECT_EQ(dwUsage, kUntouched);
  EXPECT_EQ(dwLength, kUntouched);

  for (DWORD kind : {0u, 11u, 0xFFFFFFFFu}) {
    BYTE output[32];
    std::fill(std::begin(output), std::end(output), 0xAB);
    dwLength = kUntouched;
    EXPECT_EQ(QueryCertContextInfo(&dwLength, output, alice.get(), kind),
              SIGIL_E_QUERY_TYPE_NOT_SUPPORTED)
        << kind;
    EXPECT_EQ(dwLength, kUntouched);
    EXPECT_TRUE(
        std::all_of(std::begin(output), std::end(output), [](BYTE b) { return b == 0xAB; }));
  }
  EXPECT_EQ(QueryCertContextInfo(&dwLength, nullptr, alice.get(), CERTINFO_SUBJECT_DN),
            E_INVALIDARG);
}

TEST_F(CertificateInfoTest, WithoutPrivateKeyCspKindsFailWithTheAcquisitionError) {
  for (DWORD kind : {CERTINFO_CSP_NAME, CERTINFO_CONTAINER_NAME}) {
    Answer answer = QueryText(alice.get(), kind);
    EXPECT_EQ(answer.hResult, CRYPT_E_NO_KEY_PROPERTY) << kind;
    EXPECT_EQ(answer.dwLength, kUntouched);
  }
}

TEST_F(CertificateInfoTest, CspAndContainerOfAnImportedKey) {
  std::optional<testpki::Identity> rsa =
      testpki::MakeRsaIdentity({"C=CN,CN=Keyed", "0A", 0xC0, true, false}, nullptr);
  ASSERT_TRUE(rsa.has_value());
  Bytes pfx = testpki::MakePkcs12(*rsa, "pw");
  ASSERT_FALSE(pfx.empty());
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
  UniqueStore store(PFXImportCertStore(&blob, u"pw", 0));
  ASSERT_NE(store, nullptr);
  UniqueContext ctx(CertEnumCertificatesInStore(store.get(), nullptr));
  ASSERT_NE(ctx, nullptr);

  DWORD cbInfo = 0;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &cbInfo));
  std::vector<BYTE> info(cbInfo);
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx.get(), CERT_KEY_PROV_INFO_PROP_ID, info.data(),
                                                &cbInfo));
  const auto* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());

  Answer csp = QueryText(ctx.get(), CERTINFO_CSP_NAME);
  EXPECT_EQ(csp.hResult, S_OK);
  EXPECT_EQ(csp.text, std::u16string(prov->pwszProvName));
  EXPECT_EQ(csp.dwLength, csp.text.size()) << "no terminator counted";
  Answer container = QueryText(ctx.get(), CERTINFO_CONTAINER_NAME);
  EXPECT_EQ(container.hResult, S_OK);
  EXPECT_EQ(container.text, std::u16string(prov->pwszContainerName));
  EXPECT_EQ(container.dwLength, container.text.size());
}

TEST(GetProviderInfo, ReportsTheProvidersFailure) {
  BYTE* pby = nullptr;
  DWORD dwLength = kUntouched;
  EXPECT_EQ(GetProviderInfo(0x1234, PP_NAME, &pby, &dwLength),
            HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(pby, nullptr);
  EXPECT_EQ(dwLength, kUntouched);

  HCRYPTPROV hProv = 0;
  ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
  ASSERT_EQ(GetProviderInfo(hProv, PP_NAME, &pby, &dwLength), S_OK);
  std::unique_ptr<BYTE[]> owned(pby);
  EXPECT_STREQ(reinterpret_cast<const char*>(pby),
               "Microsoft Enhanced Cryptographic Provider v1.0");
  EXPECT_EQ(dwLength, sizeof("Microsoft Enhanced Cryptographic Provider v1.0"));
  CryptReleaseContext(hProv, 0);
}

}  // namespace
