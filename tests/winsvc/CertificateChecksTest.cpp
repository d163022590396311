#include <gtest/gtest.h>

#include <memory>

#include "CertificateTestSupport.h"
#include "resources/ResultCodes.h"
#include "smengine/common/TextUtility.h"
#include "winsvc/CertificateChecks.h"

namespace {

using certtest::Bytes;
using certtest::UniqueContext;
using Pieces = std::vector<std::u16string>;

constexpr char kAlice[] = "C=CN,O=Example,OU=Dev,CN=Alice";

// Exactly n readable bytes, so that a read past them trips the sanitizer.
std::unique_ptr<BYTE[]> Exact(const Bytes& bytes) {
  std::unique_ptr<BYTE[]> out(new BYTE[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), out.get());
  return out;
}

HRESULT SerialCheck(const Bytes& given, PCCERT_CONTEXT ctx) {
  auto exact = Exact(given);
  return CheckCertSerialNumber(exact.get(), static_cast<DWORD>(given.size()), ctx);
}

HRESULT KeyIdCheck(const Bytes& given, PCCERT_CONTEXT ctx) {
  auto exact = Exact(given);
  return CheckCertSubjectKeyID(exact.get(), static_cast<DWORD>(given.size()), ctx);
}

TEST(ParseFilters, CutsAtEveryHashKeepingEmptyPieces) {
  const auto parse = [](LPCWSTR text) {
    Pieces pieces;
    EXPECT_EQ(ParseFilters(text, pieces), S_OK);
    return pieces;
  };
  EXPECT_EQ(parse(nullptr), Pieces{});
  EXPECT_EQ(parse(u""), Pieces{u""});
  EXPECT_EQ(parse(u"#"), (Pieces{u"", u""}));
  EXPECT_EQ(parse(u"O=Example#CN=Alice#"), (Pieces{u"O=Example", u"CN=Alice", u""}));
  EXPECT_EQ(parse(u"##x"), (Pieces{u"", u"", u"x"}));
  EXPECT_EQ(parse(u" CN=a b "), Pieces{u" CN=a b "}) << "no trimming";

  const std::u16string longPiece(300, u'x');
  const Pieces cut = parse((longPiece + u"#y").c_str());
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0], std::u16string(255, u'x'));
  EXPECT_EQ(cut[1], u"y");

  Pieces appended{u"kept"};
  ParseFilters(u"a#b", appended);
  EXPECT_EQ(appended, (Pieces{u"kept", u"a", u"b"}));
}

class CertificateChecksTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testpki::Identity(certtest::Sm2("C=CN,O=Sigil Test,CN=Sigil Root CA", "01", 0x06));
    alice_ = new testpki::Identity(certtest::Sm2(kAlice, "80A1", 0xC0, true, root_));
  }
  static void TearDownTestSuite() {
    delete alice_;
    delete root_;
  }
  static testpki::Identity* root_;
  static testpki::Identity* alice_;
  UniqueContext alice = certtest::ContextOf(*alice_);
};
testpki::Identity* CertificateChecksTest::root_ = nullptr;
testpki::Identity* CertificateChecksTest::alice_ = nullptr;

TEST_F(CertificateChecksTest, SubjectPiecesAreCaseInsensitiveSubstringsOfTheX500Name) {
  const auto check = [&](const Pieces& pieces, DWORD form = CERT_FILTER_NAME_X500) {
    return CheckCertSubjectName(alice.get(), form, pieces);
  };
  EXPECT_EQ(check({}), S_OK);
  EXPECT_EQ(check({u"cn=alice"}), S_OK);
  EXPECT_EQ(check({u"CN=Alice, OU=Dev"}), S_OK) << "most specific first, joined by \", \"";
  EXPECT_EQ(check({u"CN=Alice, O=Example"}), E_FAIL) << "not adjacent";
  EXPECT_EQ(check({u"CN=Bob", u"o=EXAMPLE"}), S_OK) << "any alternative";
  EXPECT_EQ(check({u"CN=Bob", u""}), S_OK) << "an empty piece matches all";
  EXPECT_EQ(check({u"CN=Bob", u"C=US"}), E_FAIL);
  EXPECT_EQ(check({u"Sigil Root"}), E_FAIL) << "the issuer is not the subject";
  EXPECT_EQ(check({u"Alice, Dev"}, CERT_FILTER_NAME_SIMPLE), S_OK);
  EXPECT_EQ(check({u"Alice, Dev"}), E_FAIL);
  EXPECT_EQ(CheckCertSubjectName(nullptr, CERT_FILTER_NAME_X500, {u"x"}), E_INVALIDARG);
}

TEST_F(CertificateChecksTest, ValuesWithSeparatorsAreMatchedUnquoted) {
  testpki::Identity odd = certtest::Sm2("C=CN,O=Smith\\, Jones,CN=Quote \"Q\"", "02");
  UniqueContext ctx = certtest::ContextOf(odd);
  EXPECT_EQ(CheckCertSubjectName(ctx.get(), CERT_FILTER_NAME_X500, {u"O=Smith, Jones"}), S_OK);
  EXPECT_EQ(CheckCertSubjectName(ctx.get(), CERT_FILTER_NAME_X500, {u"CN=Quote \"Q\", O="}), S_OK);
}

TEST_F(CertificateChecksTest, IssuerPiecesLookOnlyAtTheIssuer) {
  EXPECT_EQ(CheckCertIssuer(alice.get(), {}), S_OK);
  EXPECT_EQ(CheckCertIssuer(alice.get(), {u"cn=sigil root ca, o=sigil test"}), S_OK);
  EXPECT_EQ(CheckCertIssuer(alice.get(), {u"CN=Alice"}), E_FAIL);
  EXPECT_EQ(CheckCertIssuer(alice.get(), {u"CN=Alice", u""}), S_OK);
}

TEST_F(CertificateChecksTest, KeyUsageNeedsOneSharedBitOfTheFirstByte) {
  testpki::Identity encipherOnly = certtest::Sm2("CN=Enc", "03", 0x20);
  testpki::Identity noUsage = certtest::Sm2("CN=NoKu", "04", std::nullopt);
  UniqueContext enc = certtest::ContextOf(encipherOnly);
  UniqueContext none = certtest::ContextOf(noUsage);

  EXPECT_EQ(CheckCertKeyUsage(0, none.get()), S_OK);
  EXPECT_EQ(CheckCertKeyUsage(0x80, none.get()), SIGIL_E_NO_KEY_USAGE);
  EXPECT_EQ(CheckCertKeyUsage(0x80, enc.get()), SIGIL_E_INVALID_CERT_USAGE);
  EXPECT_EQ(CheckCertKeyUsage(0xA0, enc.get()), S_OK);
  EXPECT_EQ(CheckCertKeyUsage(0x40, alice.get()), S_OK);
  EXPECT_EQ(CheckCertKeyUsage(0x100, alice.get()), SIGIL_E_INVALID_CERT_USAGE)
      << "bits past the first byte can never be required";
}

TEST_F(CertificateChecksTest, SerialNumberWithLeadingZeroByteAndGivenLength) {
  // 80A1 is encoded 00 80 A1: three bytes, least significant first A1 80 00.
  ASSERT_EQ(alice->pCertInfo->SerialNumber.cbData, 3u);
  EXPECT_EQ(CheckCertSerialNumber(nullptr, 0, alice.get()), S_OK);

  DWORD dwLength = 0;
  BYTE* pbyConverted = nullptr;
  ASSERT_EQ(ConvertStringToBinaryData(&dwLength, u"80a1", &pbyConverted), S_OK);
  std::unique_ptr<BYTE[]> converted(pbyConverted);
  EXPECT_EQ(dwLength, 2u);
  EXPECT_EQ(CheckCertSerialNumber(converted.get(), dwLength, alice.get()), S_OK);

  EXPECT_EQ(SerialCheck({0xA1, 0x80}, alice.get()), S_OK) << "implied zero, never read";
  EXPECT_EQ(SerialCheck({0xA1, 0x80, 0x00}, alice.get()), S_OK);
  EXPECT_EQ(SerialCheck({0xA1, 0x80, 0x00, 0x77}, alice.get()), S_OK)
      << "given bytes past the certificate's length are not looked at";
  EXPECT_EQ(SerialCheck({0xA1, 0x81}, alice.get()), E_FAIL);
  EXPECT_EQ(SerialCheck({0xA1}, alice.get()), E_FAIL) << "0x80 is not an implied zero";
  EXPECT_EQ(SerialCheck({0x80, 0xA1}, alice.get()), E_FAIL) << "byte order matters";
}

TEST_F(CertificateChecksTest, SubjectKeyIdComparedWithinTheGivenBytes) {
  testpki::Identity noSki = certtest::Sm2("CN=NoSki", "05", 0x80, false);
  UniqueContext none = certtest::ContextOf(noSki);
  EXPECT_EQ(CheckCertSubjectKeyID(nullptr, 0, none.get()), S_OK);
  EXPECT_EQ(KeyIdCheck({0x01}, none.get()), SIGIL_E_NO_SUBJECT_KEY_ID);

  testpki::Identity id = certtest::Sm2("CN=Ski", "06");
  UniqueContext exact = certtest::WithSubjectKeyId(id, {0x11, 0x22, 0x33});
  EXPECT_EQ(KeyIdCheck({0x11, 0x22, 0x33}, exact.get()), S_OK);
  EXPECT_EQ(KeyIdCheck({0x11, 0x22, 0x34}, exact.get()), E_FAIL);
  EXPECT_EQ(KeyIdCheck({0x11, 0x22, 0x33, 0x44}, exact.get()), S_OK);

  UniqueContext fourZeros = certtest::WithSubjectKeyId(id, {0x11, 0x22, 0, 0, 0, 0});
  EXPECT_EQ(KeyIdCheck({0x11, 0x22}, fourZeros.get()), S_OK);
  UniqueContext fiveZeros = certtest::WithSubjectKeyId(id, {0x11, 0x22, 0, 0, 0, 0, 0});
  EXPECT_EQ(KeyIdCheck({0x11, 0x22}, fiveZeros.get()), E_FAIL)
      << "longer than the given bytes and their zero padding";
  UniqueContext trailing = certtest::WithSubjectKeyId(id, {0x11, 0x22, 0x01});
  EXPECT_EQ(KeyIdCheck({0x11, 0x22}, trailing.get()), E_FAIL);
}

TEST_F(CertificateChecksTest, SignatureAlgorithmPrefix) {
  std::optional<testpki::Identity> rsaRoot =
      testpki::MakeRsaIdentity({"C=CN,CN=RSA Root", "07", 0x06, true, true}, nullptr);
  ASSERT_TRUE(rsaRoot.has_value());
  testpki::Identity rsaSigned = certtest::Sm2("CN=Bob", "08", 0x80, true, &*rsaRoot);
  UniqueContext bob = certtest::ContextOf(rsaSigned);

  EXPECT_EQ(CheckCertSignatureAlg(nullptr, alice.get()), S_OK);
  EXPECT_EQ(CheckCertSignatureAlg("1.2.156.10197", alice.get()), S_OK);
  EXPECT_EQ(CheckCertSignatureAlg("1.2.840.113549", alice.get()), E_FAIL);
  EXPECT_EQ(CheckCertSignatureAlg("1.2.840.113549", bob.get()), S_OK);
  EXPECT_EQ(CheckCertSignatureAlg("1.2.840.113549.1.1.1", bob.get()), S_OK)
      << "a plain prefix: 1.1.1 also starts 1.1.11";
  EXPECT_EQ(CheckCertSignatureAlg("1.2.156.10197", bob.get()), E_FAIL);
  EXPECT_EQ(CheckCertSignatureAlg("1.2.156.10197.1.501.9", alice.get()), E_FAIL);
}

TEST_F(CertificateChecksTest, FilterChecksRunInOrderAndReportTheFirstFailure) {
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), nullptr, {}, {}), S_OK);
  const BYTE wrongSerial[] = {0x01};
  CERTIFICATE_FILTER filter{};
  filter.dwKeyUsage = 0x20;
  filter.pbySerialNumber = wrongSerial;
  filter.cbSerialNumber = 1;
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), &filter, {}, {}), SIGIL_E_INVALID_CERT_USAGE);
  filter.dwKeyUsage = 0x80;
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), &filter, {}, {}), E_FAIL);
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), &filter, {u"CN=Nobody"}, {}), E_FAIL);
  filter.pbySerialNumber = nullptr;
  filter.pszSignatureAlgOid = "1.2.156";
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), &filter, {u"CN=Alice"}, {u"Root"}), S_OK);
  EXPECT_EQ(CheckCertMatchesFilter(alice.get(), &filter, {u"CN=Alice"}, {u"Other"}), E_FAIL);
}

}  // namespace
