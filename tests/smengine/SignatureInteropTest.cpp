// Our SM2 signatures against OpenSSL 3's, both ways, with the default signer
// identity (OpenSSL's own default is empty, so it is set on every context).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>

#include "pki/TestPki.h"
#include "platform/fs/Files.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"

namespace {

using testpki::LeadingZero;
constexpr const char* kPassword = "interop";

const BYTE* B(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }
int N(const std::string& s) { return static_cast<int>(s.size()); }

struct OpensslFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// OpenSSL's SM2 with SM3: signs m into *sig when it is empty, else
// verifies *sig. Returns OpenSSL's answer.
int OpensslSm2(EVP_PKEY* pkey, const std::string& m, std::string* sig) {
  std::unique_ptr<EVP_PKEY_CTX, OpensslFree> pctx(EVP_PKEY_CTX_new(pkey, nullptr));
  std::unique_ptr<EVP_MD_CTX, OpensslFree> md(EVP_MD_CTX_new());
  if (!pctx || !md || EVP_PKEY_CTX_set1_id(pctx.get(), testpki::kSm2Id.data(), 16) != 1) return 0;
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  if (!sig->empty())
    return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, pkey) == 1 &&
           EVP_DigestVerify(md.get(), B(*sig), sig->size(), B(m), m.size()) == 1;
  std::size_t n = 80;
  sig->resize(n);
  const int ok =
      EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, pkey) == 1 &&
      EVP_DigestSign(md.get(), reinterpret_cast<BYTE*>(sig->data()), &n, B(m), m.size()) == 1;
  sig->resize(n);
  return ok;
}

UniqueFile Holding(const std::string& bytes) {
  UniqueFile f(std::tmpfile());
  std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::rewind(f.get());
  return f;
}

std::string Der(int code, char*& psz, const int& n) {  // read after the call fills them
  EXPECT_EQ(code, ORLO_OK);
  unsigned char* p = nullptr;
  unsigned int size = 0;
  EXPECT_EQ(engine::Base64DecodeEx(&p, &size, psz, n), ORLO_OK);
  std::string out(reinterpret_cast<char*>(p), size);
  delete[] p;
  delete[] psz;
  return out;
}

std::string Message(std::size_t n) {
  std::string m(n, '\0');
  for (std::size_t i = 0; i < n; ++i) m[i] = char(i * 7 + n);
  return m;
}

// Ordinary keys, and keys whose coordinates start with a zero byte: both
// sides must put the coordinates into Z as 32 bytes each.
class SignatureInterop : public ::testing::TestWithParam<LeadingZero> {
 protected:
  void SetUp() override {
    testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=interop", "77",
                                 testpki::kKuDigitalSignature};
    profile.leadingZero = GetParam();
    id_ = std::move(*testpki::MakeSm2Identity(profile, nullptr));
    softCert_ = testpki::MakeSm2SoftCertFile(id_, kPassword);
    certBase64_ = testpki::Base64Encode(id_.CertDer());
  }
  testpki::Identity id_;
  std::string softCert_, certBase64_;
};

TEST_P(SignatureInterop, OurSignaturesVerifyWithOpenssl) {
  // Enough signatures for r and s with zero or high top bytes to turn up.
  for (std::size_t len = 0; len < 48; ++len) {
    const std::string m = Message(len * 37);
    UniqueFile pfx = Holding(softCert_);
    char* psz = nullptr;
    int n = 0;
    std::string der =
        Der(engine::SignData_PKCS1_BySM2PFX(kPassword, pfx.get(), B(m), N(m), &psz, &n), psz, n);
    EXPECT_EQ(OpensslSm2(id_.key(), m, &der), 1) << len;
  }
  const std::string m = Message(40000);
  UniqueFile file = Holding(m), pfx = Holding(softCert_);
  char* psz = nullptr;
  int n = 0;
  std::string der =
      Der(engine::SignFile_PKCS1_BySM2PFX(kPassword, pfx.get(), file.get(), &psz, &n), psz, n);
  EXPECT_EQ(OpensslSm2(id_.key(), m, &der), 1);
  EXPECT_EQ(OpensslSm2(id_.key(), m + '\0', &der), 0);
}

TEST_P(SignatureInterop, OpensslSignaturesVerifyWithUs) {
  const std::string cert(reinterpret_cast<const char*>(id_.CertDer().data()), id_.CertDer().size());
  for (std::size_t len = 0; len < 24; ++len) {
    const std::string m = Message(len * 53 + 1);
    std::string der;
    ASSERT_EQ(OpensslSm2(id_.key(), m, &der), 1);
    EXPECT_EQ(engine::VerifySignature_DERPKCS1_ByCert(B(cert), N(cert), B(m), N(m), B(der), N(der)),
              ORLO_OK)
        << len;
    const std::string sig = testpki::Base64Encode({B(der), der.size()});
    UniqueFile file = Holding(m);
    EXPECT_EQ(engine::VerifyFileSignature_PKCS1_ByCert(certBase64_.data(), N(certBase64_),
                                                       sig.data(), N(sig), file.get()),
              ORLO_OK);
    const std::string other = m + "!";
    EXPECT_EQ(engine::VerifySignature_PKCS1_ByCert(sig.data(), N(sig), B(other), N(other),
                                                   certBase64_.data(), N(certBase64_)),
              ORLO_FAILED);
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, SignatureInterop,
                         ::testing::Values(LeadingZero::None, LeadingZero::PublicX,
                                           LeadingZero::PublicY));

}  // namespace
