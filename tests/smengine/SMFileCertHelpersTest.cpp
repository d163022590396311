#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Getter = int (*)(const unsigned char*, int, unsigned char**, int*);
const Getter kGetters[] = {&engine::GetIssuerFromCert, &engine::GetSerialNumberFromCert,
                           &engine::GetSubjectKeyIDFromCert};

testpki::Identity Sm2(testpki::LeadingZero zero = testpki::LeadingZero::None, bool skid = true) {
  testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=helpers", "00F1E2D3C4B5A69788",
                               testpki::kKuDigitalSignature};
  profile.leadingZero = zero;
  profile.subjectKeyId = skid;
  return std::move(*testpki::MakeSm2Identity(profile, nullptr));
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// nullopt on failure, after checking that the outputs were left alone.
std::optional<Bytes> Fetch(Getter get, const Bytes& cert) {
  unsigned char* p = reinterpret_cast<unsigned char*>(0x1);
  int n = -5;
  if (get(cert.data(), int(cert.size()), &p, &n) != ORLO_OK) {
    EXPECT_TRUE(p == reinterpret_cast<unsigned char*>(0x1) && n == -5);
    return std::nullopt;
  }
  Bytes out(p, p + n);
  delete[] p;
  return out;
}
std::optional<Bytes> XY(const Bytes& cert) {
  unsigned char *pX = nullptr, *pY = nullptr;
  int nX = 0, nY = 0;
  if (engine::GetPublicKeyXYFromSM2Cert(cert.data(), int(cert.size()), &pX, &nX, &pY, &nY))
    return std::nullopt;
  EXPECT_TRUE(nX == 32 && nY == 32);
  Bytes xy(pX, pX + nX);
  xy.insert(xy.end(), pY, pY + nY);
  delete[] pX;
  delete[] pY;
  return xy;
}

// The certificate with its key identifier extension replaced by one holding
// exactly `value` at `where`, re-signed so that the body is re-encoded.
Bytes WithSkid(const testpki::Identity& id, const Bytes& value, int where) {
  X509* x = X509_dup(id.cert());
  X509_EXTENSION_free(X509_delete_ext(x, X509_get_ext_by_NID(x, NID_subject_key_identifier, -1)));
  ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(data, value.data(), int(value.size()));
  X509_EXTENSION* ext = X509_EXTENSION_create_by_NID(nullptr, NID_subject_key_identifier, 0, data);
  X509_add_ext(x, ext, where);
  EVP_PKEY* signer = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  X509_sign(x, signer, EVP_sha256());
  unsigned char* p = nullptr;
  const int n = i2d_X509(x, &p);
  Bytes der(p, p + n);
  OPENSSL_free(p), EVP_PKEY_free(signer), X509_EXTENSION_free(ext), ASN1_OCTET_STRING_free(data);
  X509_free(x);
  return der;
}

TEST(SMFileCertHelpers, PemAndDerGiveTheSameOutputs) {
  const auto id = Sm2();
  const Bytes der = id.CertDer();
  for (Getter get : kGetters) {
    ASSERT_TRUE(Fetch(get, der).has_value());
    EXPECT_EQ(Fetch(get, Text(id.CertPem())), Fetch(get, der));
    EXPECT_EQ(Fetch(get, Text("pasted:\n" + id.CertPem() + "end\n")), Fetch(get, der));
  }
  Bytes xy = id.PublicX();
  const Bytes y = id.PublicY();
  xy.insert(xy.end(), y.begin(), y.end());
  EXPECT_EQ(XY(der), xy);
  EXPECT_EQ(XY(Text(id.CertPem())), xy);

  unsigned char* p = nullptr;
  const int n = i2d_X509_NAME(X509_get_issuer_name(id.cert()), &p);
  EXPECT_EQ(Fetch(&engine::GetIssuerFromCert, der), Bytes(p, p + n));
  OPENSSL_free(p);
  EXPECT_EQ(Fetch(&engine::GetSerialNumberFromCert, der),
            (Bytes{0x02, 0x09, 0x00, 0xF1, 0xE2, 0xD3, 0xC4, 0xB5, 0xA6, 0x97, 0x88}));
  const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(id.cert());
  EXPECT_EQ(Fetch(&engine::GetSubjectKeyIDFromCert, der),
            Bytes(skid->data, skid->data + skid->length));

  X509* x = nullptr;
  ASSERT_EQ(engine::ConvertCertDataToX509(der.data(), int(der.size()), &x), ORLO_OK);
  EXPECT_EQ(X509_cmp(x, id.cert()), 0);
  X509_free(x);
}

TEST(SMFileCertHelpers, GarbageAndForeignKeysFail) {
  for (const Bytes& junk :
       {Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, Text("not a cert"), Bytes{},
        Text("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n")}) {
    for (Getter get : kGetters) EXPECT_FALSE(Fetch(get, junk).has_value());
    EXPECT_FALSE(XY(junk).has_value());
    X509* x = reinterpret_cast<X509*>(0x1);
    EXPECT_EQ(engine::ConvertCertDataToX509(junk.data(), int(junk.size()), &x), ORLO_FAILED);
    EXPECT_EQ(x, reinterpret_cast<X509*>(0x1));
  }
  const auto rsa =
      testpki::MakeRsaIdentity({"CN=rsa", "03", testpki::kKuDigitalSignature}, nullptr, 1024);
  EXPECT_FALSE(XY(rsa->CertDer()).has_value());
  EXPECT_TRUE(Fetch(&engine::GetSerialNumberFromCert, rsa->CertDer()).has_value());
}

TEST(SMFileCertHelpers, CoordinatesWithLeadingZerosStay32Bytes) {
  for (auto zero : {testpki::LeadingZero::PublicX, testpki::LeadingZero::PublicY}) {
    const auto id = Sm2(zero);
    const auto xy = XY(id.CertDer());
    ASSERT_TRUE(xy.has_value());
    EXPECT_EQ((*xy)[zero == testpki::LeadingZero::PublicX ? 0 : 32], 0);
    EXPECT_EQ(Bytes(xy->begin(), xy->begin() + 32), id.PublicX());
  }
}

TEST(SMFileCertHelpers, SubjectKeyIdIsDecodedWhole) {
  const auto id = Sm2();
  Bytes longValue(3 + 200);
  longValue[0] = 0x04, longValue[1] = 0x81, longValue[2] = 0xC8;  // 200 needs the long form
  for (std::size_t i = 3; i < longValue.size(); ++i) longValue[i] = std::uint8_t(i * 7 + 1);
  const Bytes longId(longValue.begin() + 3, longValue.end());
  EXPECT_EQ(Fetch(&engine::GetSubjectKeyIDFromCert, WithSkid(id, longValue, -1)), longId);

  Bytes shortValue(2 + 20, 0x5A);
  shortValue[0] = 0x04, shortValue[1] = 0x14;
  const Bytes first = WithSkid(id, shortValue, 0);  // first of the extensions
  EXPECT_EQ(Fetch(&engine::GetSubjectKeyIDFromCert, first), Bytes(20, 0x5A));

  Bytes trailing = shortValue, cut = longValue;
  trailing.push_back(0x00);
  cut.pop_back();
  for (const Bytes& value : {trailing, cut, Bytes{0x04, 0x00}, Bytes{0x03, 0x01, 0x00}, Bytes{}})
    EXPECT_FALSE(Fetch(&engine::GetSubjectKeyIDFromCert, WithSkid(id, value, -1)).has_value());
  EXPECT_FALSE(
      Fetch(&engine::GetSubjectKeyIDFromCert, Sm2(testpki::LeadingZero::None, false).CertDer())
          .has_value());
}

}  // namespace
