// Signing messages and verifying signatures over them on every route: an RSA
// certificate of the user's store, an SM2 certificate in a CSP container, an
// SM2 soft-certificate file and an RSA PKCS#12 file. OpenSSL checks what the
// agent signs; the agent checks its own signatures back.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "AgentTestSupport.h"
#include "platform/csp/Csp.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "winsvc/CertificateStore.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

using agenttest::Bytes;
using agenttest::Pki;
using agenttest::Take;

// Outside ASCII on purpose: the signed bytes must be the text's UTF-8.
const std::u16string kText = u"付款 100 元 · Zahlung ✓";
const std::u16string kTampered = u"付款 900 元 · Zahlung ✓";

// Holds real selections; the agent frees them as it would its own.
class SigningAgent : public CCryptoAgent {
 public:
  void SelectRsa(PCCERT_CONTEXT context) { m_pSignCertContext = context; }
  void SelectSm2(PUNREGISTERED_CERT_CONTEXT record) {
    m_pUnregisteredSignCertContext = record;
    m_bSM2SignCert = TRUE;
  }
};

Bytes Decode(const std::u16string& base64) {
  const std::string text = ToUtf8(base64);
  BYTE* raw = nullptr;
  int n = 0;
  if (FAILED(Base64DecodeEx(static_cast<int>(text.size()), text.c_str(), &raw, &n))) return {};
  Bytes out(raw, raw + n);
  delete[] raw;
  return out;
}

bool OpensslVerifies(const testpki::Identity& signer, const EVP_MD* md, const Bytes& signature,
                     const std::u16string& text) {
  const std::string data = ToUtf8(text);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;
  if (EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, signer.key()) != 1) return false;
  // SM2 signers here all use the standard ID; OpenSSL 3 would default to none.
  if (signer.IsSm2() &&
      EVP_PKEY_CTX_set1_id(pctx, testpki::kSm2Id.data(), testpki::kSm2Id.size()) != 1)
    return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// RSA PKCS#7 checked by OpenSSL CMS (signature only, no chain). Returns the
// content it verified against, or nullopt.
std::optional<std::string> CmsVerifies(const Bytes& der, const std::u16string* detached) {
  const unsigned char* p = der.data();
  std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())), CMS_ContentInfo_free);
  if (!cms || (CMS_is_detached(cms.get()) == 1) != (detached != nullptr)) return std::nullopt;
  const std::string content = detached ? ToUtf8(*detached) : std::string();
  BIO* in = detached ? BIO_new_mem_buf(content.data(), static_cast<int>(content.size())) : nullptr;
  BIO* out = BIO_new(BIO_s_mem());
  const bool ok = CMS_verify(cms.get(), nullptr, nullptr, in, out, CMS_NOVERIFY | CMS_BINARY) == 1;
  char* bytes = nullptr;
  const long n = BIO_get_mem_data(out, &bytes);
  std::optional<std::string> result;
  if (ok) result = std::string(bytes, static_cast<std::size_t>(n));
  BIO_free(in);
  BIO_free(out);
  return result;
}

class MessageSigning : public testing::Test {
 protected:
  std::u16string Sign1(LPCWSTR hash, HRESULT expected = S_OK) {
    BSTR out = nullptr;
    EXPECT_EQ(agent.SignMsgPKCS1(kText.c_str(), hash, &out), expected);
    return Take(out);
  }
  std::u16string Sign7(LPCWSTR hash, VARIANT_BOOL attach, HRESULT expected = S_OK) {
    BSTR out = nullptr;
    EXPECT_EQ(agent.SignMsgPKCS7(kText.c_str(), hash, attach, &out), expected);
    return Take(out);
  }
  HRESULT Verify1(const std::u16string& sig, LPCWSTR type, const std::u16string& text,
                  const testpki::Identity& signer, LPCWSTR hash = u"SHA-256") {
    VARIANT_BOOL ok = VARIANT_TRUE;
    const std::u16string cert = agenttest::CertBase64(signer);
    const HRESULT hr =
        agent.VerifyMsgSignaturePKCS1(sig.c_str(), type, text.c_str(), hash, cert.c_str(), &ok);
    EXPECT_EQ(ok, hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(agent.LastResult(), hr);
    return hr;
  }
  HRESULT Verify7(const std::u16string& sig, LPCWSTR type, const std::u16string* text = nullptr) {
    VARIANT_BOOL ok = VARIANT_TRUE;
    const HRESULT hr =
        text ? agent.VerifyMsgSignaturePKCS7Detached(sig.c_str(), type, text->c_str(), &ok)
             : agent.VerifyMsgSignaturePKCS7Attached(sig.c_str(), type, &ok);
    EXPECT_EQ(ok, hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    return hr;
  }

  SigningAgent agent;
};

class RsaStoreCertificate : public MessageSigning {
 protected:
  void SetUp() override {
    CERTIFICATE_FILTER filter{};
    filter.dwKeyUsage = 0x80;
    filter.bCheckPrivateKey = TRUE;
    CERTIFICATE_SET found;
    ASSERT_EQ(FilterCertificatesfromLocalStore(u"MY", &filter, found), S_OK);
    ASSERT_EQ(found.size(), 1u);
    agent.SelectRsa(found.front());
  }
  agenttest::InstalledCertificates installed{agenttest::kRsaSign | agenttest::kRsaEncrypt};
};

TEST_F(RsaStoreCertificate, Pkcs1SignsUtf8WithTheNamedHashInAnyCase) {
  const std::u16string sig = Sign1(u"sha-256");
  EXPECT_TRUE(OpensslVerifies(Pki().rsaSign, EVP_sha256(), Decode(sig), kText));
  EXPECT_EQ(Verify1(sig, u"rsa", kText, Pki().rsaSign), S_OK);
  EXPECT_EQ(Verify1(sig, u"RSA", kText, Pki().rsaSign, u"SHA-512"), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify1(sig, u"RSA", kTampered, Pki().rsaSign), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify1(sig, u"RSA", kText, Pki().rsaSign, u"SM3"), SIGIL_E_INVALID_HASH_ALG);
  EXPECT_EQ(Verify1(sig, u"DSA", kText, Pki().rsaSign), E_INVALIDARG);

  EXPECT_TRUE(OpensslVerifies(Pki().rsaSign, EVP_sha1(), Decode(Sign1(u"SHA-1")), kText));
  // Failures still hand script an empty string.
  EXPECT_EQ(Sign1(u"SM3", SIGIL_E_INVALID_HASH_ALG), u"");
  EXPECT_EQ(Sign1(u"", E_INVALIDARG), u"");
}

TEST_F(RsaStoreCertificate, Pkcs7AttachesOnlyForVariantTrue) {
  const std::u16string attached = Sign7(u"SHA-256", VARIANT_TRUE);
  EXPECT_EQ(CmsVerifies(Decode(attached), nullptr), ToUtf8(kText));
  EXPECT_EQ(Verify7(attached, u"rsa"), S_OK);
  EXPECT_EQ(Verify7(attached, u"SM2"), SIGIL_E_INVALID_SIGN_TYPE);

  // Any other true-ish value makes a detached signature.
  const std::u16string detached = Sign7(u"SHA-384", static_cast<VARIANT_BOOL>(1));
  EXPECT_TRUE(CmsVerifies(Decode(detached), &kText));
  EXPECT_EQ(Verify7(detached, u"RSA", &kText), S_OK);
  EXPECT_EQ(Verify7(detached, u"RSA", &kTampered), NTE_BAD_SIGNATURE);

  // The signing routine owns the output: a failure leaves it null.
  EXPECT_EQ(Sign7(u"SM3", VARIANT_TRUE, SIGIL_E_INVALID_HASH_ALG), u"<null>");
}

class Sm2ContainerCertificate : public MessageSigning {
 protected:
  void SetUp() override {
    PUNREGISTERED_CERT_CONTEXT record = nullptr;
    ASSERT_EQ(
        GetUnregisteredCertfromContainer(SIGIL_SM2_PROV_W, u"sm2-sign", AT_SIGNATURE, &record),
        S_OK);
    agent.SelectSm2(record);
  }
  agenttest::InstalledCertificates installed{agenttest::kSm2Sign};
};

TEST_F(Sm2ContainerCertificate, Pkcs1IgnoresTheHashNameAndVerifiesWithSm2Id) {
  const std::u16string sig = Sign1(u"");
  EXPECT_TRUE(OpensslVerifies(Pki().sm2Sign, EVP_sm3(), agenttest::MinimalSm2Signature(Decode(sig)),
                              kText));
  EXPECT_EQ(Sign1(nullptr).empty(), false);
  EXPECT_EQ(Verify1(sig, u"sm2", kText, Pki().sm2Sign, u""), S_OK);
  EXPECT_EQ(Verify1(sig, u"SM2", kTampered, Pki().sm2Sign), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify1(sig, u"SM2", kText, Pki().sm2Encrypt), NTE_BAD_SIGNATURE);
}

TEST_F(Sm2ContainerCertificate, Pkcs7AttachedAndDetachedVerifyOnlyAsSm2) {
  const std::u16string attached = Sign7(nullptr, VARIANT_TRUE);
  EXPECT_EQ(Verify7(attached, u"Sm2"), S_OK);
  EXPECT_EQ(Verify7(attached, u"RSA"), SIGIL_E_INVALID_SIGN_TYPE);

  const std::u16string detached = Sign7(u"SHA-1", VARIANT_FALSE);
  EXPECT_LT(detached.size(), attached.size());
  EXPECT_EQ(Verify7(detached, u"SM2", &kText), S_OK);
  EXPECT_EQ(Verify7(detached, u"SM2", &kTampered), NTE_BAD_SIGNATURE);
}

class SoftCertificates : public MessageSigning {
 protected:
  std::u16string SignSoft(bool pkcs7, const std::u16string& file, LPCWSTR password, LPCWSTR type,
                          LPCWSTR hash, HRESULT expected, VARIANT_BOOL attach = VARIANT_TRUE) {
    BSTR out = nullptr;
    const HRESULT hr = pkcs7 ? agent.SignMsgPKCS7_BySoftCert(file.c_str(), password, type,
                                                             kText.c_str(), hash, attach, &out)
                             : agent.SignMsgPKCS1_BySoftCert(file.c_str(), password, type,
                                                             kText.c_str(), hash, &out);
    EXPECT_EQ(hr, expected);
    return Take(out);
  }
  const std::u16string sm2File = agenttest::PathOf(Pki().sm2SignFile);
  const std::u16string rsaFile = agenttest::PathOf(Pki().rsaSignP12);
};

TEST_F(SoftCertificates, Sm2FileSignsOnEveryFormAndChecksThePassword) {
  const std::u16string pkcs1 = SignSoft(false, sm2File, u"123456", u"sm2", nullptr, S_OK);
  EXPECT_TRUE(OpensslVerifies(Pki().sm2Sign, EVP_sm3(), Decode(pkcs1), kText));
  EXPECT_EQ(Verify1(pkcs1, u"SM2", kText, Pki().sm2Sign), S_OK);

  const std::u16string attached = SignSoft(true, sm2File, u"123456", u"SM2", u"", S_OK);
  EXPECT_EQ(Verify7(attached, u"SM2"), S_OK);
  const std::u16string detached =
      SignSoft(true, sm2File, u"123456", u"SM2", u"", S_OK, static_cast<VARIANT_BOOL>(1));
  EXPECT_EQ(Verify7(detached, u"SM2", &kText), S_OK);
  EXPECT_EQ(Verify7(detached, u"sm2", &kTampered), NTE_BAD_SIGNATURE);

  for (bool pkcs7 : {false, true})
    EXPECT_EQ(SignSoft(pkcs7, sm2File, u"654321", u"SM2", u"", SIGIL_E_DECRYPT_SM2_PFX), u"");
}

TEST_F(SoftCertificates, RsaFileNeedsAHashNameAndASigningCertificate) {
  const std::u16string pkcs1 = SignSoft(false, rsaFile, u"123456", u"rsa", u"Sha-512", S_OK);
  EXPECT_TRUE(OpensslVerifies(Pki().rsaSign, EVP_sha512(), Decode(pkcs1), kText));
  EXPECT_EQ(Verify1(pkcs1, u"RSA", kText, Pki().rsaSign, u"SHA-512"), S_OK);

  const std::u16string attached = SignSoft(true, rsaFile, u"123456", u"RSA", u"SHA-256", S_OK);
  EXPECT_EQ(CmsVerifies(Decode(attached), nullptr), ToUtf8(kText));
  EXPECT_EQ(Verify7(attached, u"RSA"), S_OK);
  const std::u16string detached =
      SignSoft(true, rsaFile, u"123456", u"RSA", u"SHA-256", S_OK, VARIANT_FALSE);
  EXPECT_EQ(Verify7(detached, u"RSA", &kText), S_OK);

  // PKCS#1 lets an empty name through to the algorithm check; PKCS#7 does not.
  EXPECT_EQ(SignSoft(false, rsaFile, u"123456", u"RSA", nullptr, E_INVALIDARG), u"");
  EXPECT_EQ(SignSoft(false, rsaFile, u"123456", u"RSA", u"", SIGIL_E_INVALID_HASH_ALG), u"");
  EXPECT_EQ(SignSoft(true, rsaFile, u"123456", u"RSA", u"", E_INVALIDARG), u"");
  EXPECT_EQ(SignSoft(false, rsaFile, u"654321", u"RSA", u"SHA-1",
                     HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD)),
            u"");
  const std::u16string encryptOnly = agenttest::PathOf(Pki().rsaEncryptP12);
  EXPECT_EQ(SignSoft(true, encryptOnly, u"123456", u"RSA", u"SHA-1", SIGIL_E_INVALID_CERT_USAGE),
            u"");
  EXPECT_EQ(SignSoft(false, rsaFile, u"123456", u"AES", u"SHA-1", E_INVALIDARG), u"");
}

TEST_F(MessageSigning, EnvelopesAndDataAreNoSignatures) {
  // ContentInfos of enveloped data (RSA, then SM2) and of plain data.
  const Bytes rsaEnvelope{0x30, 0x10, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                          0x0D, 0x01, 0x07, 0x03, 0xA0, 0x03, 0x04, 0x01, 0x00};
  const Bytes sm2Envelope{0x30, 0x11, 0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06,
                          0x01, 0x04, 0x02, 0x03, 0xA0, 0x03, 0x04, 0x01, 0x00};
  Bytes data = rsaEnvelope;
  data[12] = 0x01;
  const std::u16string rsa = FromUtf8(testpki::Base64Encode(rsaEnvelope));
  const std::u16string sm2 = FromUtf8(testpki::Base64Encode(sm2Envelope));
  EXPECT_EQ(Verify7(rsa, u"RSA"), SIGIL_E_INVALID_SIGN_TYPE);
  EXPECT_EQ(Verify7(sm2, u"SM2", &kText), SIGIL_E_INVALID_SIGN_TYPE);
  EXPECT_EQ(Verify7(FromUtf8(testpki::Base64Encode(data)), u"RSA"), SIGIL_E_INVALID_DATA);
  EXPECT_EQ(agent.LastResult(), SIGIL_E_INVALID_DATA);
}

}  // namespace
