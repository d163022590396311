// The routines the agent's operations share: hash names, certificate and
// PKCS#7 classification, and opening a PKCS#12 file for its signing key.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "agent/AgentRoutines.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspHash.h"
#include "resources/ResultCodes.h"

namespace {

using agenttest::Bytes;
using agenttest::Pki;

std::string Base64Of(const Bytes& der) { return testpki::Base64Encode(der); }

std::string CertBase64Narrow(const testpki::Identity& id) { return Base64Of(id.CertDer()); }

// DER with a short or long length form, as needed.
Bytes Tlv(BYTE tag, const Bytes& value) {
  Bytes out{tag};
  const std::size_t n = value.size();
  if (n < 0x80) {
    out.push_back(static_cast<BYTE>(n));
  } else {
    out.insert(out.end(), {0x82, static_cast<BYTE>(n >> 8), static_cast<BYTE>(n)});
  }
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

// ContentInfo { contentType, [0] { OCTET STRING } } with `extra` more elements.
std::string ContentInfo(const Bytes& oidValue, int extra = 0) {
  Bytes body = Tlv(0x06, oidValue);
  if (extra >= 0) {
    const Bytes content = Tlv(0xA0, Tlv(0x04, Bytes(200, 0x5A)));
    body.insert(body.end(), content.begin(), content.end());
  }
  for (int i = 0; i < extra; ++i) body.insert(body.end(), {0x05, 0x00});
  return Base64Of(Tlv(0x30, body));
}

const Bytes kRsaSignedData{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes kRsaEnvelopedData{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
const Bytes kRsaData{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const Bytes kSm2SignedData{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x02};
const Bytes kSm2EnvelopedData{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x03};
const Bytes kSm2Data{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02, 0x01};

HRESULT Pkcs7Type(const std::string& base64, DWORD* type) {
  *type = 0xDEAD;
  return agent::GetPKCS7Type(base64.c_str(), static_cast<DWORD>(base64.size()), type);
}

// A self-signed certificate signed with ecdsa-with-SHA256 (1.2.840.10045.4.3.2).
std::string EcdsaCertBase64() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 77);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("ECDSA"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  unsigned char* der = nullptr;
  const int len = i2d_X509(cert, &der);
  const Bytes bytes(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(key);
  return Base64Of(bytes);
}

TEST(GetHashAlgorithmIDByName, KnownNamesInAnyCaseOthersZero) {
  EXPECT_EQ(agent::GetHashAlgorithmIDByName(u"SHA-1"), CALG_SHA1);
  EXPECT_EQ(agent::GetHashAlgorithmIDByName(u"sha-256"), CALG_SHA_256);
  EXPECT_EQ(agent::GetHashAlgorithmIDByName(u"Sha-384"), CALG_SHA_384);
  EXPECT_EQ(agent::GetHashAlgorithmIDByName(u"SHA-512"), CALG_SHA_512);
  for (LPCWSTR other : {u"SM3", u"SHA256", u"MD5", u"SHA-256 ", u""})
    EXPECT_EQ(agent::GetHashAlgorithmIDByName(other), 0u) << ToUtf8(other);
  EXPECT_EQ(agent::GetHashAlgorithmIDByName(nullptr), 0u);
}

TEST(GetCertificateType, ClassifiesBySignatureAlgorithm) {
  DWORD type = 0xDEAD;
  EXPECT_EQ(agent::GetCertificateType(CertBase64Narrow(Pki().sm2Sign).c_str(), &type), S_OK);
  EXPECT_EQ(type, agent::CERT_TYPE_SM2);
  EXPECT_EQ(agent::GetCertificateType(CertBase64Narrow(Pki().rsaEncrypt).c_str(), &type), S_OK);
  EXPECT_EQ(type, agent::CERT_TYPE_RSA);
  // An RSA key certified by an SM2 issuer counts as SM2: the signature
  // algorithm decides, not the key.
  auto mixed = testpki::MakeRsaIdentity({"C=CN,CN=Mixed", "0A01", 0x80u}, &Pki().sm2Root, 1024);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(agent::GetCertificateType(CertBase64Narrow(*mixed).c_str(), &type), S_OK);
  EXPECT_EQ(type, agent::CERT_TYPE_SM2);

  EXPECT_EQ(agent::GetCertificateType(EcdsaCertBase64().c_str(), &type), SIGIL_E_INVALID_KEY_ALG);
  EXPECT_EQ(type, 0u);
}

TEST(GetCertificateType, RefusesMissingAndMalformedInput) {
  DWORD type = 0xDEAD;
  EXPECT_EQ(agent::GetCertificateType(nullptr, &type), E_INVALIDARG);
  EXPECT_EQ(agent::GetCertificateType("", &type), E_INVALIDARG);
  EXPECT_EQ(type, 0u);
  // Decodes, but the bytes are no certificate: the converted last error.
  const HRESULT hr = agent::GetCertificateType(Base64Of(Bytes(40, 0x30)).c_str(), &type);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_NE(hr, SIGIL_E_INVALID_KEY_ALG);
  EXPECT_EQ(type, 0u);
}

TEST(GetPKCS7Type, TellsTheFourKindsByContentType) {
  DWORD type = 0;
  EXPECT_EQ(Pkcs7Type(ContentInfo(kRsaSignedData), &type), S_OK);
  EXPECT_EQ(type, agent::RSA_SIGNED_DATA);
  EXPECT_EQ(Pkcs7Type(ContentInfo(kSm2SignedData), &type), S_OK);
  EXPECT_EQ(type, agent::SM2_SIGNED_DATA);
  EXPECT_EQ(Pkcs7Type(ContentInfo(kRsaEnvelopedData), &type), S_OK);
  EXPECT_EQ(type, agent::RSA_ENVELOPED_DATA);
  EXPECT_EQ(Pkcs7Type(ContentInfo(kSm2EnvelopedData), &type), S_OK);
  EXPECT_EQ(type, agent::SM2_ENVELOPED_DATA);
}

TEST(GetPKCS7Type, MalformedOrOtherContentIsInvalidData) {
  DWORD type = 0;
  Bytes prefix = kSm2SignedData;
  prefix.pop_back();  // 9 bytes that start like the SM2 identifier
  Bytes longer = kRsaSignedData;
  longer.push_back(0x01);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"data", ContentInfo(kRsaData)},
      {"sm2 data", ContentInfo(kSm2Data)},
      {"cut sm2 oid", ContentInfo(prefix)},
      {"longer rsa oid", ContentInfo(longer)},
      {"content type only", ContentInfo(kRsaSignedData, -1)},
      {"three children", ContentInfo(kRsaSignedData, 1)},
      {"empty content type", Base64Of(Tlv(0x30, {0x06, 0x00, 0xA0, 0x02, 0x05, 0x00}))},
      {"not der", Base64Of(Bytes{0x30, 0x7F, 0x06})},
  };
  for (const auto& [name, base64] : cases) {
    EXPECT_EQ(Pkcs7Type(base64, &type), SIGIL_E_INVALID_DATA) << name;
    EXPECT_EQ(type, 0u) << name;
  }
  EXPECT_EQ(Pkcs7Type("", &type), E_INVALIDARG);
  EXPECT_EQ(agent::GetPKCS7Type(nullptr, 8, &type), E_INVALIDARG);
}

TEST(CreateCertContextByPFX, HandsOutTheSigningCertificateWithItsKey) {
  PCCERT_CONTEXT context = nullptr;
  ASSERT_EQ(agent::CreateCertContextByPFX(&context, agenttest::PathOf(Pki().rsaSignP12).c_str(),
                                          agenttest::kPassword.c_str()),
            S_OK);
  ASSERT_NE(context, nullptr);
  const Bytes der = Pki().rsaSign.CertDer();
  EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded), der);
  HCRYPTPROV key = 0;
  DWORD keySpec = 0;
  BOOL callerFree = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(context, 0, nullptr, &key, &keySpec, &callerFree));
  if (callerFree) CryptReleaseContext(key, 0);
  CertFreeCertificateContext(context);
}

TEST(CreateCertContextByPFX, RefusesWrongUsagePasswordAndMissingInput) {
  PCCERT_CONTEXT context = reinterpret_cast<PCCERT_CONTEXT>(1);
  const std::u16string encryptP12 = agenttest::PathOf(Pki().rsaEncryptP12);
  EXPECT_EQ(agent::CreateCertContextByPFX(&context, encryptP12.c_str(), u"123456"),
            SIGIL_E_INVALID_CERT_USAGE);
  EXPECT_EQ(context, nullptr);
  const std::u16string signP12 = agenttest::PathOf(Pki().rsaSignP12);
  EXPECT_EQ(agent::CreateCertContextByPFX(&context, signP12.c_str(), u"654321"),
            HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD));
  EXPECT_EQ(agent::CreateCertContextByPFX(&context, signP12.c_str(), u""), E_INVALIDARG);
  EXPECT_EQ(agent::CreateCertContextByPFX(&context, nullptr, u"123456"), E_INVALIDARG);
  const std::u16string missing = agenttest::NewPath("none.p12");
  EXPECT_TRUE(FAILED(agent::CreateCertContextByPFX(&context, missing.c_str(), u"123456")));
  EXPECT_EQ(context, nullptr);
}

}  // namespace
