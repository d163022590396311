// Files signed by path on each key route (RSA certificate of the store, SM2
// key in a CSP container, SM2 soft-certificate file, PKCS#12 file), checked
// by the agent's own verification and by OpenSSL, and the refusals that are
// particular to file signing.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <string>

#include "AgentTestSupport.h"
#include "platform/store/CertStore.h"
#include "platform/csp/Csp.h"
#include "platform/etw/EventTrace.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64.h"
#include "trace/Trace.h"
#include "winsvc/UnregisteredCertContext.h"

namespace {

using agenttest::Bytes;
using agenttest::FailureLines;
using agenttest::kPassword;
using agenttest::Pki;
using agenttest::Take;

constexpr HRESULT kInvalidPassword = MakeHResult(0x80070056u);  // ERROR_INVALID_PASSWORD
constexpr HRESULT kFileNotFound = MakeHResult(0x80070002u);

enum class Route { RsaStore, Sm2Csp, Sm2File, RsaPkcs12 };
enum class Form { PKCS1, PKCS7 };

bool IsRsa(Route route) { return route == Route::RsaStore || route == Route::RsaPkcs12; }

// Puts real certificates where a selection would leave them.
class SigningAgent : public CCryptoAgent {
 public:
  void SelectRsa() {
    const Bytes wanted = Pki().rsaSign.CertDer();
    HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                                  CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    ASSERT_NE(my, nullptr);
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(my, nullptr); c;
         c = CertEnumCertificatesInStore(my, c)) {
      if (Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) == wanted) {
        m_pSignCertContext = CertDuplicateCertificateContext(c);
        CertFreeCertificateContext(c);
        break;
      }
    }
    CertCloseStore(my, 0);
    ASSERT_NE(m_pSignCertContext, nullptr);
    m_bSM2SignCert = FALSE;
  }
  void SelectSm2() {
    const Bytes der = Pki().sm2Sign.CertDer();
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size()));
    ASSERT_EQ(S_OK,
              CertCreateUnregisteredCertContext(SIGIL_SM2_PROV_W, cert, u"sm2-sign", AT_SIGNATURE,
                                                &m_pUnregisteredSignCertContext));
    CertFreeCertificateContext(cert);
    m_bSM2SignCert = TRUE;
  }
};

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(0x5A + i * 13 + (i >> 9));
  return data;
}

Bytes DecodeBase64(const std::u16string& text) {
  const std::string narrow = ToUtf8(text);
  BYTE* raw = nullptr;
  int n = 0;
  if (FAILED(Base64DecodeEx(static_cast<int>(narrow.size()), narrow.c_str(), &raw, &n))) return {};
  Bytes out(raw, raw + n);
  delete[] raw;
  return out;
}

struct Result {
  HRESULT hr;
  std::u16string text;
};

class FileSigning : public testing::Test {
 protected:
  Result Sign(Route route, Form form, const std::u16string& path, LPCWSTR hashAlg = u"SHA-256",
              LPCWSTR softCertType = nullptr, LPCWSTR password = kPassword.c_str()) {
    BSTR out = nullptr;
    HRESULT hr = E_FAIL;
    const bool pkcs1 = form == Form::PKCS1;
    switch (route) {
      case Route::RsaStore:
      case Route::Sm2Csp: {
        SigningAgent& agent = route == Route::RsaStore ? rsaAgent : sm2Agent;
        hr = pkcs1 ? agent.SignFilePKCS1(path.c_str(), hashAlg, &out)
                   : agent.SignFilePKCS7Detached(path.c_str(), hashAlg, &out);
        EXPECT_EQ(agent.LastResult(), hr);
        break;
      }
      case Route::Sm2File:
      case Route::RsaPkcs12: {
        const std::u16string file =
            agenttest::PathOf(route == Route::Sm2File ? Pki().sm2SignFile : Pki().rsaSignP12);
        if (!softCertType) softCertType = route == Route::Sm2File ? u"SM2" : u"RSA";
        hr = pkcs1 ? softAgent.SignFilePKCS1_BySoftCert(file.c_str(), password, softCertType,
                                                        path.c_str(), hashAlg, &out)
                   : softAgent.SignFilePKCS7Detached_BySoftCert(
                         file.c_str(), password, softCertType, path.c_str(), hashAlg, &out);
        EXPECT_EQ(softAgent.LastResult(), hr);
        break;
      }
    }
    // Script always gets a text back from a failed signing, except from the
    // detached signing with a selected certificate, whose routine owns it.
    if (FAILED(hr) && (pkcs1 || route == Route::Sm2File || route == Route::RsaPkcs12)) {
      EXPECT_NE(out, nullptr);
      if (out) {
        EXPECT_EQ(SysStringLen(out), 0u);
      }
    }
    return {hr, Take(out)};
  }

  HRESULT Verify(Form form, LPCWSTR type, const std::u16string& signature,
                 const std::u16string& path, LPCWSTR hashAlg = u"SHA-256",
                 const std::u16string& cert = {}) {
    VARIANT_BOOL valid = VARIANT_TRUE;
    const std::u16string certText =
        cert.empty()
            ? agenttest::CertBase64(_wcsicmp(type, u"SM2") == 0 ? Pki().sm2Sign : Pki().rsaSign)
            : cert;
    const HRESULT hr = form == Form::PKCS1 ? verifier.VerifyFileSignaturePKCS1(
                                                 signature.c_str(), type, path.c_str(), hashAlg,
                                                 certText.c_str(), &valid)
                                           : verifier.VerifyFileSignaturePKCS7Detached(
                                                 signature.c_str(), type, path.c_str(), &valid);
    EXPECT_EQ(verifier.LastResult(), hr);
    EXPECT_EQ(valid, hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
    return hr;
  }

  agenttest::InstalledCertificates installed{agenttest::kRsaSign | agenttest::kSm2Sign};
  SigningAgent rsaAgent, sm2Agent, softAgent;
  CCryptoAgent verifier;

  void SetUp() override {
    rsaAgent.SelectRsa();
    sm2Agent.SelectSm2();
  }
};

struct OpensslFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};

// The PKCS#1 form checked by OpenSSL: RSA with SHA-256, or SM2 (SM3 with the
// default signer ID) over the DER SEQUENCE { r, s }.
bool OpensslVerifiesPkcs1(Route route, const std::string& data, const Bytes& signature) {
  EVP_PKEY* key = IsRsa(route) ? Pki().rsaSign.key() : Pki().sm2Sign.key();
  std::unique_ptr<EVP_MD_CTX, OpensslFree> md(EVP_MD_CTX_new());
  if (!IsRsa(route)) {
    std::unique_ptr<EVP_PKEY_CTX, OpensslFree> pctx(EVP_PKEY_CTX_new(key, nullptr));
    if (EVP_PKEY_CTX_set1_id(pctx.get(), testpki::kSm2Id.data(), testpki::kSm2Id.size()) != 1)
      return false;
    EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
    return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) == 1 &&
           EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  }
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(md.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// As `openssl cms -verify -noverify -binary -inform DER -content FILE`.
bool OpensslVerifiesDetachedCms(const Bytes& der, const std::string& content) {
  const unsigned char* p = der.data();
  std::unique_ptr<CMS_ContentInfo, OpensslFree> cms(
      d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  std::unique_ptr<BIO, OpensslFree> in(BIO_new_mem_buf(content.data(), int(content.size())));
  return cms && CMS_is_detached(cms.get()) == 1 &&
         CMS_verify(cms.get(), nullptr, nullptr, in.get(), nullptr,
                    CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1;
}

class FileSigningRoutes : public FileSigning, public testing::WithParamInterface<Route> {};

// Sizes around the 16 KiB read unit of every route, and one of several MiB.
TEST_P(FileSigningRoutes, SignaturesOfEveryFileSizeVerifyAndATamperedFileFails) {
  const Route route = GetParam();
  const LPCWSTR type = IsRsa(route) ? u"RSA" : u"SM2";
  for (std::size_t size :
       {std::size_t{1}, std::size_t{16384}, std::size_t{16385}, std::size_t{3 * 1024 * 1024 + 5}}) {
    SCOPED_TRACE(size);
    const std::string data = Pattern(size);
    const std::u16string path = agenttest::WriteFile("doc-" + std::to_string(size) + ".bin", data);

    const Result pkcs1 = Sign(route, Form::PKCS1, path);
    ASSERT_EQ(pkcs1.hr, S_OK);
    EXPECT_EQ(Verify(Form::PKCS1, type, pkcs1.text, path), S_OK);
    const Bytes signature = DecodeBase64(pkcs1.text);
    EXPECT_TRUE(OpensslVerifiesPkcs1(
        route, data,
        route == Route::Sm2Csp ? agenttest::MinimalSm2Signature(signature) : signature));

    const Result pkcs7 = Sign(route, Form::PKCS7, path);
    ASSERT_EQ(pkcs7.hr, S_OK);
    EXPECT_EQ(Verify(Form::PKCS7, type, pkcs7.text, path), S_OK);
    const Bytes der = DecodeBase64(pkcs7.text);
    if (size > 1000) {
      EXPECT_LT(der.size(), size);  // detached: the content stays out
    }
    if (IsRsa(route)) {
      EXPECT_TRUE(OpensslVerifiesDetachedCms(der, data));
    }

    if (size != 16385) continue;
    std::string tampered = data;
    tampered[16384] ^= 0x01;  // the last byte, alone in the second read
    const std::u16string other = agenttest::WriteFile("tampered.bin", tampered);
    const HRESULT hr1 = Verify(Form::PKCS1, type, pkcs1.text, other);
    const HRESULT hr7 = Verify(Form::PKCS7, type, pkcs7.text, other);
    if (IsRsa(route)) {
      EXPECT_TRUE(FAILED(hr1) && FAILED(hr7)) << std::hex << hr1 << " " << hr7;
    } else {
      EXPECT_EQ(hr1, NTE_BAD_SIGNATURE);
      EXPECT_EQ(hr7, NTE_BAD_SIGNATURE);
    }
  }
}

std::string RouteName(const testing::TestParamInfo<Route>& info) {
  static const char* const kNames[] = {"RsaStore", "Sm2Csp", "Sm2File", "RsaPkcs12"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(AllRoutes, FileSigningRoutes,
                         testing::Values(Route::RsaStore, Route::Sm2Csp, Route::Sm2File,
                                         Route::RsaPkcs12),
                         RouteName);

TEST_F(FileSigning, TheHashAlgorithmIsReadOnlyOnRsaRoutes) {
  const std::u16string path = agenttest::WriteFile("doc.txt", "some document");
  for (Form form : {Form::PKCS1, Form::PKCS7}) {
    SCOPED_TRACE(form == Form::PKCS1 ? "PKCS#1" : "PKCS#7");
    // SM2 signs with SM3 whatever the argument says, even when there is none.
    EXPECT_EQ(Sign(Route::Sm2Csp, form, path, u"").hr, S_OK);
    EXPECT_EQ(Sign(Route::Sm2Csp, form, path, nullptr).hr, S_OK);
    EXPECT_EQ(Sign(Route::Sm2File, form, path, u"SM3").hr, S_OK);
    EXPECT_EQ(Sign(Route::Sm2File, form, path, nullptr).hr, S_OK);
    for (Route route : {Route::RsaStore, Route::RsaPkcs12}) {
      EXPECT_EQ(Sign(route, form, path, u"sha-512").hr, S_OK);
      EXPECT_EQ(Sign(route, form, path, u"SM3").hr, SIGIL_E_INVALID_HASH_ALG);
      // The signing routine itself knows MD5; the agent does not offer it.
      EXPECT_EQ(Sign(route, form, path, u"MD5").hr, SIGIL_E_INVALID_HASH_ALG);
      EXPECT_EQ(Sign(route, form, path, u"").hr, E_INVALIDARG);
      EXPECT_EQ(Sign(route, form, path, nullptr).hr, E_INVALIDARG);
    }
  }
  const Result rsa = Sign(Route::RsaStore, Form::PKCS1, path, u"SHA-1");
  EXPECT_EQ(Verify(Form::PKCS1, u"RSA", rsa.text, path, u"sha-1"), S_OK);
  EXPECT_EQ(Verify(Form::PKCS1, u"RSA", rsa.text, path, u"SHA-256"), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify(Form::PKCS1, u"RSA", rsa.text, path, u"SHA3-256"), SIGIL_E_INVALID_HASH_ALG);
  EXPECT_EQ(Verify(Form::PKCS1, u"RSA", rsa.text, path, nullptr), E_INVALIDARG);
  const Result sm2 = Sign(Route::Sm2File, Form::PKCS1, path);
  EXPECT_EQ(Verify(Form::PKCS1, u"sm2", sm2.text, path, nullptr), S_OK);
}

TEST_F(FileSigning, SoftCertificateTypeAndPasswordAreHonoured) {
  const std::u16string path = agenttest::WriteFile("doc.txt", "contract");
  for (Form form : {Form::PKCS1, Form::PKCS7}) {
    SCOPED_TRACE(form == Form::PKCS1 ? "PKCS#1" : "PKCS#7");
    const Result lower = Sign(Route::Sm2File, form, path, u"", u"sm2");
    ASSERT_EQ(lower.hr, S_OK);
    EXPECT_EQ(Verify(form, u"SM2", lower.text, path), S_OK);
    EXPECT_EQ(Sign(Route::RsaPkcs12, form, path, u"SHA-256", u"rsa").hr, S_OK);

    EXPECT_EQ(Sign(Route::RsaPkcs12, form, path, u"SHA-256", u"PFX").hr, E_INVALIDARG);
    EXPECT_EQ(Sign(Route::Sm2File, form, path, u"SHA-256", u"SM2 ").hr, E_INVALIDARG);

    EXPECT_EQ(Sign(Route::Sm2File, form, path, u"", nullptr, u"654321").hr,
              SIGIL_E_DECRYPT_SM2_PFX);
    EXPECT_EQ(Sign(Route::RsaPkcs12, form, path, u"SHA-256", nullptr, u"654321").hr,
              kInvalidPassword);
  }
}

TEST_F(FileSigning, APkcs12WithoutASigningCertificateIsRefused) {
  const std::u16string path = agenttest::WriteFile("doc.txt", "memo");
  const std::u16string p12 = agenttest::PathOf(Pki().rsaEncryptP12);  // key usage 0x30
  for (bool pkcs1 : {true, false}) {
    BSTR out = nullptr;
    const HRESULT hr =
        pkcs1 ? softAgent.SignFilePKCS1_BySoftCert(p12.c_str(), kPassword.c_str(), u"RSA",
                                                   path.c_str(), u"SHA-256", &out)
              : softAgent.SignFilePKCS7Detached_BySoftCert(p12.c_str(), kPassword.c_str(), u"RSA",
                                                           path.c_str(), u"SHA-256", &out);
    EXPECT_EQ(hr, SIGIL_E_INVALID_CERT_USAGE);
    EXPECT_EQ(Take(out), u"");
  }
}

TEST_F(FileSigning, TheStatedSignatureTypeMustMatchThePkcs7) {
  const std::u16string path = agenttest::WriteFile("doc.txt", "statement");
  const Result sm2 = Sign(Route::Sm2Csp, Form::PKCS7, path);
  const Result rsa = Sign(Route::RsaStore, Form::PKCS7, path);
  ASSERT_EQ(sm2.hr, S_OK);
  ASSERT_EQ(rsa.hr, S_OK);
  EXPECT_EQ(Verify(Form::PKCS7, u"RSA", sm2.text, path), SIGIL_E_INVALID_SIGN_TYPE);
  EXPECT_EQ(Verify(Form::PKCS7, u"SM2", rsa.text, path), SIGIL_E_INVALID_SIGN_TYPE);
  EXPECT_EQ(Verify(Form::PKCS7, u"PFX", rsa.text, path), SIGIL_E_INVALID_SIGN_TYPE);
  EXPECT_EQ(Verify(Form::PKCS7, u"rsa", rsa.text, path), S_OK);
  // A PKCS#1 value is no PKCS#7 at all.
  const Result raw = Sign(Route::RsaStore, Form::PKCS1, path);
  EXPECT_EQ(Verify(Form::PKCS7, u"RSA", raw.text, path), SIGIL_E_INVALID_DATA);

  EXPECT_EQ(Verify(Form::PKCS1, u"PFX", raw.text, path), E_INVALIDARG);
  // A certificate of the other family does not check the signature.
  const Result sm2raw = Sign(Route::Sm2File, Form::PKCS1, path);
  EXPECT_EQ(Verify(Form::PKCS1, u"SM2", sm2raw.text, path, nullptr,
                   agenttest::CertBase64(Pki().sm2Encrypt)),
            NTE_BAD_SIGNATURE);
}

TEST_F(FileSigning, PathsAreRefusedBeforeAnyKeyIsUsed) {
  const std::u16string empty = agenttest::WriteFile("empty.txt", "");
  const std::u16string script = agenttest::WriteFile("run.js", "alert(1)");
  const std::u16string missing = agenttest::NewPath("missing.txt");
  const std::u16string good = agenttest::WriteFile("doc.txt", "text");
  const Result signature = Sign(Route::Sm2File, Form::PKCS1, good);

  // Without a certificate that is what counts, not the path.
  SigningAgent bare;
  BSTR out = nullptr;
  EXPECT_EQ(bare.SignFilePKCS1(missing.c_str(), u"SHA-256", &out), SIGIL_E_CERT_NOT_READY);
  EXPECT_EQ(Take(out), u"");

  for (Route route : {Route::RsaStore, Route::Sm2Csp, Route::Sm2File, Route::RsaPkcs12}) {
    for (Form form : {Form::PKCS1, Form::PKCS7}) {
      EXPECT_EQ(Sign(route, form, empty).hr, SIGIL_E_EMPTY_FILE);
      EXPECT_EQ(Sign(route, form, script).hr, SIGIL_E_MALICIOUS_PATH);
    }
  }
  for (Form form : {Form::PKCS1, Form::PKCS7}) {
    EXPECT_EQ(Verify(form, u"SM2", signature.text, empty), SIGIL_E_EMPTY_FILE);
    EXPECT_EQ(Verify(form, u"SM2", signature.text, script), SIGIL_E_MALICIOUS_PATH);
    EXPECT_EQ(Verify(form, u"SM2", signature.text, missing), kFileNotFound);
  }
  // The soft-certificate file passes the same gate.
  const std::u16string keyAsScript =
      agenttest::WriteFile("key.vbs", agenttest::ReadFile(agenttest::PathOf(Pki().sm2SignFile)));
  EXPECT_EQ(softAgent.SignFilePKCS1_BySoftCert(keyAsScript.c_str(), kPassword.c_str(), u"SM2",
                                               good.c_str(), u"", &out),
            SIGIL_E_MALICIOUS_PATH);
  EXPECT_EQ(Take(out), u"");
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

TEST_F(FileSigning, StreamsAndStoresAreReleasedOnEveryPath) {
  const std::u16string path = agenttest::WriteFile("doc.bin", Pattern(20000));
  auto round = [&] {
    for (Form form : {Form::PKCS1, Form::PKCS7}) {
      const Result sm2 = Sign(Route::Sm2File, form, path);
      Verify(form, u"SM2", sm2.text, path);
      Sign(Route::Sm2File, form, path, u"", nullptr, u"wrong");
      Sign(Route::RsaPkcs12, form, path);
      Sign(Route::RsaPkcs12, form, path, u"SHA-256", nullptr, u"wrong");
      Sign(Route::Sm2Csp, form, path);
    }
  };
  round();  // anything opened once and kept for the process is open now
  const std::size_t before = OpenDescriptors();
  for (int i = 0; i < 3; ++i) round();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(FileSigning, FailureLinesNameTheOperationAndTheFailingCondition) {
  const std::u16string path = agenttest::WriteFile("doc.txt", "text");
  FailureLines lines;
  auto expectLast = [&](const std::string& text) {
    EXPECT_NE(lines.Last().find(text), std::string::npos) << lines.Last();
  };
  Sign(Route::RsaStore, Form::PKCS1, path, u"SM3");
  expectLast("CCryptoAgent::SignFilePKCS1 - GetHashAlgorithmIDByName [Reason:uSignAlgorithm == 0]");
  Sign(Route::RsaPkcs12, Form::PKCS7, path, u"SHA-256", nullptr, u"wrong");
  expectLast(
      "CCryptoAgent::SignFilePKCS7Detached_BySoftCert - PFXImportCertStore "
      "[Reason:hCertStore == NULL]");
  Sign(Route::Sm2File, Form::PKCS1, path, u"", nullptr, u"wrong");
  expectLast(
      "CCryptoAgent::SignFilePKCS1_BySoftCert - SignFile_PKCS1_BySM2PFX "
      "[Reason:ORLO_OK != nResult]");
  Sign(Route::RsaPkcs12, Form::PKCS1, path, u"SHA-256", u"PFX");
  expectLast(
      "CCryptoAgent::SignFilePKCS1_BySoftCert - Check certificate signature algorithm "
      "[Reason:TRUE]");
  const Result sm2 = Sign(Route::Sm2Csp, Form::PKCS7, path);
  Verify(Form::PKCS7, u"RSA", sm2.text, path);
  expectLast(
      "CCryptoAgent::VerifyFileSignaturePKCS7Detached - Invalid PKCS#7 signature type "
      "[Reason:TRUE]");
}

}  // namespace
