#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "platform/cert/CertContext.h"
#include "platform/cert/CertNames.h"

namespace {

using Bytes = std::vector<BYTE>;

using UniqueName = foundation::Unique<X509_NAME, X509_NAME_free>;
using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

struct Attr {
  const char* field;
  std::string value;
  bool joinPrevious = false;  // same RDN as the attribute before it
  int type = MBSTRING_UTF8;
};

UniqueName MakeName(const std::vector<Attr>& attrs) {
  UniqueName name(X509_NAME_new());
  for (const Attr& a : attrs) {
    const int ok = X509_NAME_add_entry_by_txt(
        name.get(), a.field, a.type, reinterpret_cast<const unsigned char*>(a.value.data()),
        static_cast<int>(a.value.size()), -1, a.joinPrevious ? -1 : 0);
    EXPECT_EQ(ok, 1) << a.field;
  }
  return name;
}

Bytes Der(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_NAME(name, &der);
  Bytes out(der, der + (size > 0 ? size : 0));
  OPENSSL_free(der);
  return out;
}

std::u16string NameStr(const Bytes& der, DWORD type) {
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  const DWORD needed = CertNameToStrW(X509_ASN_ENCODING, &blob, type, nullptr, 0);
  std::u16string text(needed, u'?');
  const DWORD written = CertNameToStrW(X509_ASN_ENCODING, &blob, type, text.data(), needed);
  EXPECT_EQ(written, needed);
  EXPECT_EQ(text.back(), u'\0');
  text.pop_back();
  return text;
}

std::u16string NameStr(const std::vector<Attr>& attrs, DWORD type) {
  return NameStr(Der(MakeName(attrs).get()), type);
}

constexpr DWORD kX500Rev =
    CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;

const std::vector<Attr> kAlice = {{"C", "CN"}, {"O", "Example"}, {"OU", "Dev"}, {"CN", "Alice"}};

TEST(CertNameToStrW, X500AndSimpleFormsFollowReverseAndEncodedOrder) {
  EXPECT_EQ(NameStr(kAlice, kX500Rev), u"CN=Alice, OU=Dev, O=Example, C=CN");
  EXPECT_EQ(NameStr(kAlice, CERT_X500_NAME_STR), u"C=CN, O=Example, OU=Dev, CN=Alice");
  EXPECT_EQ(NameStr(kAlice, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG),
            u"Alice, Dev, Example, CN");
  EXPECT_EQ(NameStr(kAlice, CERT_OID_NAME_STR | CERT_NAME_STR_REVERSE_FLAG),
            u"2.5.4.3=Alice, 2.5.4.11=Dev, 2.5.4.10=Example, 2.5.4.6=CN");
  EXPECT_EQ(NameStr(kAlice, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG),
            u"C=CN; O=Example; OU=Dev; CN=Alice");
  EXPECT_EQ(NameStr(kAlice, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG),
            u"C=CN\r\nO=Example\r\nOU=Dev\r\nCN=Alice");
}

TEST(CertNameToStrW, ShortKeysAndUnknownOids) {
  const std::vector<Attr> attrs = {
      {"DC", "com"},     {"C", "CN"},           {"ST", "Guangdong"},
      {"L", "Shenzhen"}, {"street", "1 Road"},  {"postalCode", "518000"},
      {"title", "Eng"},  {"GN", "Ann"},         {"initials", "AB"},
      {"SN", "Lee"},     {"serialNumber", "7"}, {"emailAddress", "a@b.cn"},
      {"1.2.3.4", "odd"}};
  EXPECT_EQ(NameStr(attrs, CERT_X500_NAME_STR),
            u"DC=com, C=CN, S=Guangdong, L=Shenzhen, STREET=1 Road, PostalCode=518000, T=Eng, "
            u"G=Ann, I=AB, SN=Lee, SERIALNUMBER=7, E=a@b.cn, OID.1.2.3.4=odd");
}

TEST(CertNameToStrW, MultiValuedRdnJoinedWithPlusAndKeptTogetherWhenReversed) {
  const std::vector<Attr> attrs = {
      {"C", "CN"}, {"O", "Example"}, {"CN", "Bob"}, {"OU", "Ops", true}};
  EXPECT_EQ(NameStr(attrs, kX500Rev), u"CN=Bob + OU=Ops, O=Example, C=CN");
  EXPECT_EQ(NameStr(attrs, CERT_SIMPLE_NAME_STR), u"CN, Example, Bob + Ops");
  EXPECT_EQ(NameStr(attrs, CERT_X500_NAME_STR | CERT_NAME_STR_NO_PLUS_FLAG),
            u"C=CN, O=Example, CN=Bob, OU=Ops");
}

TEST(CertNameToStrW, QuotingUnlessNoQuotingFlag) {
  const std::vector<Attr> attrs = {{"O", "Smith, Jones"},
                                   {"OU", "say \"hi\""},
                                   {"L", " padded"},
                                   {"CN", "a+b"},
                                   {"ST", "plain"}};
  EXPECT_EQ(NameStr(attrs, CERT_X500_NAME_STR),
            u"O=\"Smith, Jones\", OU=\"say \"\"hi\"\"\", L=\" padded\", CN=\"a+b\", S=plain");
  EXPECT_EQ(NameStr(attrs, CERT_X500_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG),
            u"O=Smith, Jones, OU=say \"hi\", L= padded, CN=a+b, S=plain");
}

TEST(CertNameToStrW, ValuesOfEveryStringTypeBecomeUtf16) {
  const std::vector<Attr> attrs = {
      {"O", "\xE5\xBC\xA0\xE4\xB8\x89", false, MBSTRING_UTF8},          // UTF8String
      {"OU", std::string("\x5F\x20\x4E\x09", 4), false, MBSTRING_BMP},  // BMPString
      {"L", "Plain", false, MBSTRING_ASC},                              // PrintableString
      {"CN", "\xF0\x9F\x94\x91", false, MBSTRING_UTF8}};                // outside the BMP
  EXPECT_EQ(NameStr(attrs, CERT_SIMPLE_NAME_STR), u"张三, 张三, Plain, \U0001F511");
}

TEST(CertNameToStrW, SizeQueryAndTruncation) {
  const Bytes der = Der(MakeName(kAlice).get());
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  const std::u16string full = u"CN=Alice, OU=Dev, O=Example, C=CN";
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, kX500Rev, nullptr, 0), full.size() + 1);
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, kX500Rev, buffer, 0), full.size() + 1);
  EXPECT_EQ(buffer[0], u'#') << "a zero-sized buffer is not written";
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, kX500Rev, buffer, 6), 6u);
  EXPECT_EQ(std::u16string(buffer), u"CN=Al");
  EXPECT_EQ(buffer[6], u'#');
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, &blob, kX500Rev, buffer, 1), 1u);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(CertNameToStrW, EmptyOrBrokenNamesGiveEmptyText) {
  EXPECT_EQ(NameStr(Der(MakeName({}).get()), kX500Rev), u"");
  EXPECT_EQ(NameStr(Bytes{}, kX500Rev), u"");
  Bytes broken = Der(MakeName(kAlice).get());
  broken.resize(broken.size() - 3);
  EXPECT_EQ(NameStr(broken, kX500Rev), u"");
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, nullptr, kX500Rev, nullptr, 0), 1u);
}

// A self-signed EC certificate with the given subject and extensions.
UniqueContext MakeContext(const std::vector<Attr>& subject, const char* subjectAltName) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  UniqueName name = MakeName(subject);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 5);
  X509_set_subject_name(cert.get(), name.get());
  const std::vector<Attr> issuer = {{"C", "CN"}, {"O", "Issuer Org"}, {"CN", "Issuer CA"}};
  X509_set_issuer_name(cert.get(), MakeName(issuer).get());
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), key.get());
  if (subjectAltName != nullptr) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, subjectAltName);
    EXPECT_NE(ext, nullptr);
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert.get(), &der);
  UniqueContext ctx(CertCreateCertificateContext(X509_ASN_ENCODING, der, size));
  OPENSSL_free(der);
  EXPECT_NE(ctx, nullptr);
  return ctx;
}

std::u16string NameString(PCCERT_CONTEXT ctx, DWORD type, DWORD flags, const void* para) {
  const DWORD needed = CertGetNameStringW(ctx, type, flags, para, nullptr, 0);
  std::u16string text(needed, u'?');
  EXPECT_EQ(CertGetNameStringW(ctx, type, flags, para, text.data(), needed), needed);
  text.pop_back();
  return text;
}

TEST(CertGetNameStringW, DisplayNamesPickTheMostTellingAttribute) {
  UniqueContext alice = MakeContext(
      {{"C", "CN"}, {"O", "Example"}, {"OU", "Dev"}, {"CN", "Alice"}, {"emailAddress", "e@x.cn"}},
      nullptr);
  UniqueContext noCn = MakeContext({{"C", "CN"}, {"O", "Example"}, {"OU", "Dev"}}, nullptr);
  UniqueContext countryOnly = MakeContext({{"C", "CN"}}, nullptr);
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr), u"Alice");
  EXPECT_EQ(NameString(noCn.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr), u"Dev");
  EXPECT_EQ(NameString(countryOnly.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr), u"CN");
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr),
            u"Issuer CA");

  EXPECT_EQ(NameString(alice.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr), u"Alice");
  const char16_t friendly[] = u"My key";
  CRYPT_DATA_BLOB blob{sizeof friendly, reinterpret_cast<BYTE*>(const_cast<char16_t*>(friendly))};
  ASSERT_TRUE(CertSetCertificateContextProperty(alice.get(), CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr), u"My key");
}

TEST(CertGetNameStringW, AttributeRdnAndEmailTypes) {
  UniqueContext alice = MakeContext(
      {{"C", "CN"}, {"O", "Example"}, {"CN", "Alice"}, {"emailAddress", "dn@x.cn"}}, nullptr);
  UniqueContext withSan =
      MakeContext({{"CN", "Bob"}, {"emailAddress", "dn@x.cn"}}, "email:san@x.cn,DNS:x.cn");
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_ATTR_TYPE, 0, "2.5.4.10"), u"Example");
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_ATTR_TYPE, 0, "2.5.4.11"), u"");
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, "2.5.4.10"),
            u"Issuer Org");
  const DWORD type = kX500Rev;
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_RDN_TYPE, 0, &type),
            u"E=dn@x.cn, CN=Alice, O=Example, C=CN");
  EXPECT_EQ(NameString(alice.get(), CERT_NAME_EMAIL_TYPE, 0, nullptr), u"dn@x.cn");
  EXPECT_EQ(NameString(withSan.get(), CERT_NAME_EMAIL_TYPE, 0, nullptr), u"san@x.cn");
  EXPECT_EQ(NameString(alice.get(), 99, 0, nullptr), u"");
}

}  // namespace
