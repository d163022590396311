#include "AgentTestSupport.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/store/CertStore.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspProvider.h"
#include "support/TempEnvironment.h"
#include "trace/Trace.h"

namespace agenttest {
namespace {

namespace csp = platform::csp;

using UniqueStore = UniqueCertStore;
struct ContextFree {
  void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
using UniqueContext = std::unique_ptr<const CERT_CONTEXT, ContextFree>;

UniqueStore OpenUserStore(const char16_t* name) {
  return UniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                   X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, name));
}

UniqueContext ContextOf(const testpki::Identity& id) {
  const Bytes der = id.CertDer();
  return UniqueContext(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                    der.data(), static_cast<DWORD>(der.size())));
}

// Key in a persistent container of the RSA provider, certificate in MY
// pointing at it, as a PFX import into the user's stores leaves them.
void InstallRsa(const testpki::Identity& id, const std::string& container) {
  auto provider = csp::FindProvider(MS_ENHANCED_PROV_W);
  ASSERT_TRUE(provider);
  const Bytes der = id.CertDer();
  ASSERT_EQ(S_OK, provider->PutKeyPair(container, AT_KEYEXCHANGE, id.key(), der));
  UniqueContext context = ContextOf(id);
  ASSERT_TRUE(context);
  std::u16string wideContainer = FromUtf8(container);
  std::u16string wideProvider = MS_ENHANCED_PROV_W;
  CRYPT_KEY_PROV_INFO info{wideContainer.data(), wideProvider.data(), PROV_RSA_FULL, 0, 0, nullptr,
                           AT_KEYEXCHANGE};
  ASSERT_TRUE(
      CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  UniqueStore my = OpenUserStore(u"MY");
  ASSERT_TRUE(my);
  ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), context.get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

void RemoveFromUserStore(const char16_t* store, const testpki::Identity& id) {
  UniqueStore opened = OpenUserStore(store);
  UniqueContext context = ContextOf(id);
  if (!opened || !context) return;
  BYTE thumbprint[20] = {};
  DWORD cbThumbprint = sizeof thumbprint;
  if (!CertGetCertificateContextProperty(context.get(), CERT_SHA1_HASH_PROP_ID, thumbprint,
                                         &cbThumbprint))
    return;
  CRYPT_HASH_BLOB hash{cbThumbprint, thumbprint};
  PCCERT_CONTEXT found = CertFindCertificateInStore(opened.get(), X509_ASN_ENCODING, 0,
                                                    CERT_FIND_SHA1_HASH, &hash, nullptr);
  if (found) CertDeleteCertificateFromStore(found);  // frees `found`
}

void InstallSm2(const testpki::Identity& id, const std::string& container, DWORD keySpec) {
  ASSERT_EQ(ERROR_SUCCESS,
            csp::InstallProvider(SIGIL_SM2_PROV_W, PROV_RSA_FULL, csp::kImageSm2Software));
  auto provider = csp::FindProvider(SIGIL_SM2_PROV_W);
  ASSERT_TRUE(provider);
  ASSERT_EQ(S_OK, provider->PutKeyPair(container, keySpec, id.key(), id.CertDer()));
}

}  // namespace

const testpki::Fixtures& Pki() {
  static const testpki::Fixtures fixtures = [] {
    std::string why;
    std::optional<testpki::Fixtures> made =
        testpki::MakeStandardFixtures(testsupport::MakeTempDir("pki"), &why);
    if (!made) {
      ADD_FAILURE() << "test PKI: " << why;
      std::abort();
    }
    return std::move(*made);
  }();
  return fixtures;
}

std::u16string PathOf(const std::filesystem::path& path) { return FromUtf8(path.string()); }

InstalledCertificates::InstalledCertificates(unsigned what) : what_(what) {
  const testpki::Fixtures& pki = Pki();
  if (what & kRsaSign) InstallRsa(pki.rsaSign, "rsa-sign");
  if (what & kRsaEncrypt) InstallRsa(pki.rsaEncrypt, "rsa-encrypt");
  if (what & kSm2Sign) InstallSm2(pki.sm2Sign, "sm2-sign", AT_SIGNATURE);
  if (what & kSm2Encrypt) InstallSm2(pki.sm2Encrypt, "sm2-encrypt", AT_KEYEXCHANGE);
}

InstalledCertificates::~InstalledCertificates() {
  const testpki::Fixtures& pki = Pki();
  if (auto provider = csp::FindProvider(MS_ENHANCED_PROV_W)) {
    if (what_ & kRsaSign) provider->DeleteContainer("rsa-sign");
    if (what_ & kRsaEncrypt) provider->DeleteContainer("rsa-encrypt");
  }
  if (what_ & kRsaSign) RemoveFromUserStore(u"MY", pki.rsaSign);
  if (what_ & kRsaEncrypt) RemoveFromUserStore(u"MY", pki.rsaEncrypt);
  if (auto provider = csp::FindProvider(SIGIL_SM2_PROV_W)) {
    if (what_ & kSm2Sign) provider->DeleteContainer("sm2-sign");
    if (what_ & kSm2Encrypt) provider->DeleteContainer("sm2-encrypt");
  }
  if (what_ & (kSm2Sign | kSm2Encrypt)) csp::UninstallProvider(SIGIL_SM2_PROV_W);
}

void AddToUserStore(const char16_t* store, const testpki::Identity& id) {
  UniqueStore opened = OpenUserStore(store);
  UniqueContext context = ContextOf(id);
  ASSERT_TRUE(opened && context);
  ASSERT_TRUE(CertAddCertificateContextToStore(opened.get(), context.get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

std::u16string CertBase64(const testpki::Identity& id) {
  return FromUtf8(testpki::Base64Encode(id.CertDer()));
}

std::u16string Take(BSTR bstr) {
  std::u16string text = bstr ? std::u16string(bstr) : u"<null>";
  SysFreeString(bstr);
  return text;
}

std::u16string WriteFile(const std::string& name, const std::string& bytes) {
  return PathOf(testsupport::WriteTempFile(name, bytes));
}

std::string ReadFile(const std::u16string& path) {
  std::ifstream in(ToUtf8(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::u16string NewPath(const std::string& name) {
  return PathOf(testsupport::MakeTempDir("out") / name);
}

FailureLines::FailureLines() {
  m_session = StartTraceSession([this](const TRACE_RECORD& r) {
    if (r.MessageNumber == TRACE_MSG_FAILURE && r.Guid == kTraceGuidAgent && !r.Arguments.empty()) {
      const std::string& bytes = r.Arguments[0];
      m_lines.emplace_back(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2 - 1);
    }
  });
  EnableTrace(TRUE, TRACE_FLAG_ERROR, 0, &kTraceControlGuid, m_session);
  StartTracing();
}

FailureLines::~FailureLines() {
  StopTracing();
  StopTraceSession(m_session);
}

std::string FailureLines::Last() const { return m_lines.empty() ? "" : ToUtf8(m_lines.back()); }

Bytes MinimalSm2Signature(const Bytes& der) {
  // Short lengths only: the whole value is at most 72 bytes.
  std::size_t at = 2;
  auto integer = [&](Bytes& value) {
    if (at + 2 > der.size() || der[at] != 0x02 || der[at + 1] > 33) return false;
    const std::size_t length = der[at + 1];
    if (at + 2 + length > der.size()) return false;
    value.assign(der.begin() + std::ptrdiff_t(at + 2),
                 der.begin() + std::ptrdiff_t(at + 2 + length));
    at += 2 + length;
    // Keep one 00 only where it marks a positive number with its top bit set.
    while (value.size() > 1 && value[0] == 0x00 && !(value[1] & 0x80)) value.erase(value.begin());
    return true;
  };
  Bytes r, s;
  if (der.size() < 2 || der[0] != 0x30 || der[1] != der.size() - 2 || !integer(r) || !integer(s) ||
      at != der.size())
    return der;
  Bytes out{0x30, BYTE(4 + r.size() + s.size()), 0x02, BYTE(r.size())};
  out.insert(out.end(), r.begin(), r.end());
  out.insert(out.end(), {0x02, BYTE(s.size())});
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

}  // namespace agenttest
