#include "CertificateTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include "platform/cert/CertNames.h"

namespace certtest {

testpki::Identity Sm2(const std::string& subject, const std::string& serialHex,
                      std::optional<unsigned> keyUsage, bool subjectKeyId,
                      const testpki::Identity* issuer) {
  testpki::CertProfile profile;
  profile.subject = subject;
  profile.serialHex = serialHex;
  profile.keyUsage = keyUsage;
  profile.subjectKeyId = subjectKeyId;
  std::optional<testpki::Identity> id = testpki::MakeSm2Identity(profile, issuer);
  EXPECT_TRUE(id.has_value()) << subject;
  return id ? std::move(*id) : testpki::Identity();
}

UniqueContext ContextOf(X509* cert) {
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert, &der);
  UniqueContext ctx(size > 0 ? CertCreateCertificateContext(X509_ASN_ENCODING, der, size)
                             : nullptr);
  OPENSSL_free(der);
  EXPECT_NE(ctx, nullptr);
  return ctx;
}

UniqueContext WithSubjectKeyId(const testpki::Identity& id, const Bytes& keyId) {
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(value, keyId.data(), static_cast<int>(keyId.size()));
  EXPECT_EQ(X509_add1_ext_i2d(id.cert(), NID_subject_key_identifier, value, 0, X509V3_ADD_REPLACE),
            1);
  ASN1_OCTET_STRING_free(value);
  i2d_re_X509_tbs(id.cert(), nullptr);  // drop the cached encoding
  return ContextOf(id.cert());
}

std::vector<std::u16string> CommonNames(const CERTIFICATE_SET& set) {
  std::vector<std::u16string> names;
  for (PCCERT_CONTEXT ctx : set) {
    WCHAR buffer[256] = {};
    CertGetNameStringW(ctx, CERT_NAME_ATTR_TYPE, 0, "2.5.4.3", buffer, 256);
    names.emplace_back(buffer);
  }
  return names;
}

}  // namespace certtest
