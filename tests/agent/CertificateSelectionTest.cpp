// Choosing the signing and the encryption certificate among the user's store
// and CSP-held certificates, and what the agent then reports about it. A
// small shell script stands in for the dialog helper: it keeps the request
// and gives one answer. Where a test expects no dialog, the helper is a path
// that does not exist, so a dialog would read as the user's cancel. Every
// test runs in its own process with fresh user stores.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "platform/csp/Csp.h"
#include "platform/etw/EventTrace.h"
#include "resources/ResultCodes.h"
#include "support/TempEnvironment.h"
#include "trace/Trace.h"
#include "ui/CertificateDialogs.h"
#include "ui/DialogProtocol.h"

namespace {

namespace fs = std::filesystem;
using agenttest::Bytes;
using agenttest::InstalledCertificates;
using agenttest::Pki;
using agenttest::Take;
using testsupport::ScopedEnv;

// Reads the selection the agent keeps; `enc` picks the encryption side.
class InspectedAgent : public CCryptoAgent {
 public:
  Bytes Der(bool enc) const {
    PCCERT_CONTEXT store = enc ? m_pEncryptCertContext : m_pSignCertContext;
    PUNREGISTERED_CERT_CONTEXT record = Record(enc);
    // The pair holds one certificate at most, in the member the flag names.
    EXPECT_FALSE(store && record);
    EXPECT_EQ((enc ? m_bSM2EncryptCert : m_bSM2SignCert) != FALSE, record != nullptr);
    PCCERT_CONTEXT p = record ? record->pCertContext : store;
    return p ? Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) : Bytes{};
  }
  bool Selected(bool enc) const {
    return (enc ? m_pEncryptCertContext : m_pSignCertContext) || Record(enc);
  }
  // "<CSP>|<container>|<key spec>" of the kept container record, or "".
  std::u16string RecordText(bool enc) const {
    PUNREGISTERED_CERT_CONTEXT record = Record(enc);
    if (!record) return u"";
    return std::u16string(record->wszCSPName) + u"|" + record->wszContainerName + u"|" +
           (record->dwKeySpec == AT_SIGNATURE ? u"sig" : u"exch");
  }

  HRESULT Select(LPCWSTR subject = nullptr, LPCWSTR issuer = nullptr, LPCWSTR serial = nullptr) {
    VARIANT_BOOL chosen = VARIANT_TRUE;
    const HRESULT hr = SelectCertificate(subject, issuer, serial, &chosen);
    EXPECT_EQ(chosen, SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
    return hr;
  }
  // The subject text handed back is empty after a failure.
  HRESULT SelectEncrypt(LPCWSTR subjectFilter = nullptr, std::u16string* subject = nullptr) {
    BSTR out = nullptr;
    const HRESULT hr = SelectEncryptCertificate(subjectFilter, nullptr, nullptr, &out);
    const std::u16string text = Take(out);
    EXPECT_EQ(text.empty(), FAILED(hr));
    if (subject) *subject = text;
    return hr;
  }
  std::u16string Info(bool enc, LPCWSTR type, HRESULT expected = S_OK) {
    BSTR out = nullptr;
    const HRESULT hr = enc ? GetEncryptCertInfo(type, &out) : GetSignCertInfo(type, &out);
    EXPECT_EQ(hr, expected) << ToUtf8(type);
    EXPECT_EQ(LastResult(), hr);
    return Take(out);
  }

 private:
  PUNREGISTERED_CERT_CONTEXT Record(bool enc) const {
    return enc ? m_pUnregisteredEncryptCertContext : m_pUnregisteredSignCertContext;
  }
};

// Step and failure lines of the agent while the object lives.
class AgentLines {
 public:
  AgentLines() {
    m_session = StartTraceSession([this](const TRACE_RECORD& r) {
      if ((r.MessageNumber == TRACE_MSG_FAILURE || r.MessageNumber == TRACE_MSG_STEP) &&
          r.Guid == kTraceGuidAgent && !r.Arguments.empty()) {
        const std::string& bytes = r.Arguments[0];
        m_text += ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(bytes.data()),
                                        bytes.size() / 2 - 1)) +
                  "\n";
      }
    });
    EnableTrace(TRUE, TRACE_FLAG_ERROR | TRACE_FLAG_INFO, 0, &kTraceControlGuid, m_session);
    StartTracing();
  }
  ~AgentLines() {
    StopTracing();
    StopTraceSession(m_session);
  }
  bool Has(const std::string& piece) const { return m_text.find(piece) != std::string::npos; }
  const std::string& Text() const { return m_text; }

 private:
  TRACEHANDLE m_session = 0;
  std::string m_text;
};

class CertificateSelection : public testing::Test {
 protected:
  void SetUp() override { m_folder = testsupport::MakeTempDir("select"); }

  // A helper that keeps the request, then runs `answer`.
  std::string FakeHelper(const std::string& answer) {
    const fs::path script = m_folder / ("helper-" + std::to_string(++m_scripts));
    std::ofstream(script) << "#!/bin/sh\ncat > '" << Request().string() << "'\n" << answer << "\n";
    chmod(script.c_str(), 0700);
    return script.string();
  }
  std::string NoHelper() const { return (m_folder / "no-helper").string(); }
  fs::path Request() const { return m_folder / "request.txt"; }

  // Display names of the rows the dialog was asked to show, in row order.
  std::vector<std::u16string> OfferedRows() const {
    std::ifstream in(Request(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ui::DialogRequest request;
    EXPECT_TRUE(ui::DecodeRequest(text, &request)) << text;
    std::vector<std::u16string> names;
    for (const ui::DialogRow& row : request.rows) names.push_back(row.displayName);
    return names;
  }

  ScopedEnv m_display{"DISPLAY", ":77"};
  fs::path m_folder;
  int m_scripts = 0;
};

// An RSA certificate only for other people's mail: key encipherment, no key here.
const testpki::Identity& Peer() {
  static const testpki::Identity peer = [] {
    auto made = testpki::MakeRsaIdentity(
        {"C=CN,O=Sigil Test,OU=RSA,CN=Sigil Test RSA Peer", "3003", 0x20u}, &Pki().rsaRoot, 1024);
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
  }();
  return peer;
}

constexpr bool kSign = false, kEncrypt = true;

TEST_F(CertificateSelection, SigningCandidatesDialogAnswerAndCancel) {
  InspectedAgent agent;
  {
    // The certificate alone in MY, its key nowhere: no candidate.
    agenttest::AddToUserStore(u"MY", Pki().rsaSign);
    ScopedEnv helper(kSelectDialogPathVariable, NoHelper().c_str());
    EXPECT_EQ(agent.Select(), SIGIL_E_NO_AVAILABLE_CERT);
    // With its key, and nothing else able to sign, it is taken unasked.
    InstalledCertificates installed(agenttest::kRsaSign | agenttest::kRsaEncrypt |
                                    agenttest::kSm2Encrypt);
    EXPECT_EQ(agent.Select(), S_OK);
    EXPECT_EQ(agent.Der(kSign), Pki().rsaSign.CertDer());
    EXPECT_FALSE(agent.Selected(kEncrypt));
  }
  InstalledCertificates installed(agenttest::kAll);
  {
    ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t1\\n'").c_str());
    EXPECT_EQ(agent.Select(), S_OK);
  }
  EXPECT_EQ(OfferedRows(),
            (std::vector<std::u16string>{u"Sigil Test RSA Sign", u"Sigil Test SM2 Sign"}));
  EXPECT_EQ(agent.Der(kSign), Pki().sm2Sign.CertDer());
  EXPECT_EQ(agent.RecordText(kSign), std::u16string(SIGIL_SM2_PROV_W) + u"|sm2-sign|sig");
  {
    ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t0\\n'").c_str());
    EXPECT_EQ(agent.Select(), S_OK);
  }
  EXPECT_EQ(agent.Der(kSign), Pki().rsaSign.CertDer());
  EXPECT_EQ(agent.RecordText(kSign), u"");
  {
    ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'cancelled\\n'").c_str());
    EXPECT_EQ(agent.Select(), SIGIL_E_USER_CANCELED);
  }
  EXPECT_EQ(agent.LastResult(), SIGIL_E_USER_CANCELED);
  EXPECT_FALSE(agent.Selected(kSign));
}

TEST_F(CertificateSelection, FiltersNarrowToOneCandidate) {
  InstalledCertificates installed(agenttest::kAll);
  ScopedEnv helper(kSelectDialogPathVariable, NoHelper().c_str());
  struct Case {
    LPCWSTR subject, issuer, serial;
    const testpki::Identity* expected;
  };
  const Case cases[] = {
      {u"nobody#rsa SIGN", nullptr, nullptr, &Pki().rsaSign},  // alternatives, any case
      {u"OU=SM2", nullptr, nullptr, &Pki().sm2Sign},
      {nullptr, u"SM2 Root", nullptr, &Pki().sm2Sign},
      {nullptr, u"CN=Sigil Test RSA Root CA", u"", &Pki().rsaSign},
      {u"", u"", u"2001", &Pki().rsaSign},  // most significant digits first
      {nullptr, nullptr, u"1001", &Pki().sm2Sign},
  };
  for (const Case& c : cases) {
    InspectedAgent agent;
    EXPECT_EQ(agent.Select(c.subject, c.issuer, c.serial), S_OK);
    EXPECT_EQ(agent.Der(kSign), c.expected->CertDer()) << (&c - cases);
  }

  // No match, or a serial that is not hexadecimal, clears the earlier choice.
  InspectedAgent agent;
  ASSERT_EQ(agent.Select(u"RSA Sign"), S_OK);
  EXPECT_EQ(agent.Select(u"Nobody"), SIGIL_E_NO_AVAILABLE_CERT);
  EXPECT_FALSE(agent.Selected(kSign));
  ASSERT_EQ(agent.Select(u"SM2 Sign"), S_OK);
  AgentLines lines;
  EXPECT_EQ(agent.Select(nullptr, nullptr, u"10G1"), E_INVALIDARG);
  EXPECT_FALSE(agent.Selected(kSign));
  EXPECT_TRUE(lines.Has("ConvertStringToBinaryData [Reason:FAILED(hResult)]")) << lines.Text();
  EXPECT_FALSE(lines.Has("Filter")) << lines.Text();
}

TEST_F(CertificateSelection, EncryptionOffersAddressBookAndMyOnceEach) {
  agenttest::AddToUserStore(u"ADDRESSBOOK", Pki().rsaEncrypt);
  agenttest::AddToUserStore(u"ADDRESSBOOK", Peer());
  InspectedAgent agent;
  std::u16string subject;
  {
    // Nothing in MY: both of other people's certificates, no key needed.
    ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t1\\n'").c_str());
    EXPECT_EQ(agent.SelectEncrypt(nullptr, &subject), S_OK);
    EXPECT_EQ(OfferedRows(),
              (std::vector<std::u16string>{u"Sigil Test RSA Encrypt", u"Sigil Test RSA Peer"}));
    EXPECT_EQ(agent.Der(kEncrypt), Peer().CertDer());
    EXPECT_EQ(subject, u"CN=Sigil Test RSA Peer, OU=RSA, O=Sigil Test, C=CN");
    AgentLines lines;
    EXPECT_EQ(agent.Info(kEncrypt, u"CSPName", CRYPT_E_NO_KEY_PROPERTY), u"");
    EXPECT_TRUE(lines.Has("[Reason:FALSE == bRetCode]")) << lines.Text();
  }
  InstalledCertificates installed(agenttest::kRsaEncrypt | agenttest::kSm2Encrypt);
  {
    // In MY and in ADDRESSBOOK, yet one candidate: taken unasked.
    ScopedEnv helper(kSelectDialogPathVariable, NoHelper().c_str());
    EXPECT_EQ(agent.SelectEncrypt(u"RSA Encrypt"), S_OK);
    EXPECT_EQ(agent.Der(kEncrypt), Pki().rsaEncrypt.CertDer());
    EXPECT_FALSE(agent.Selected(kSign));
  }
  {
    ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t2\\n'").c_str());
    EXPECT_EQ(agent.SelectEncrypt(nullptr, &subject), S_OK);
    EXPECT_EQ(OfferedRows(),
              (std::vector<std::u16string>{u"Sigil Test RSA Encrypt", u"Sigil Test RSA Peer",
                                           u"Sigil Test SM2 Encrypt"}));
    EXPECT_EQ(subject, u"CN=Sigil Test SM2 Encrypt, OU=SM2, O=Sigil Test, C=CN");
    EXPECT_EQ(agent.RecordText(kEncrypt), std::u16string(SIGIL_SM2_PROV_W) + u"|sm2-encrypt|exch");
  }
  ScopedEnv helper(kSelectDialogPathVariable, NoHelper().c_str());
  EXPECT_EQ(agent.SelectEncrypt(u"Nobody"), SIGIL_E_NO_AVAILABLE_CERT);
  EXPECT_FALSE(agent.Selected(kEncrypt));
}

TEST_F(CertificateSelection, EveryInfoTypeOnBothRoutesAndSides) {
  struct Route {
    unsigned installed;
    bool encryptSide;
    const char16_t* cn;
    const char16_t* ou;
    const char16_t* serial;
    const char16_t* csp;
    const char16_t* type;
  };
  const Route routes[] = {
      {agenttest::kRsaSign, false, u"Sigil Test RSA Sign", u"RSA", u"2001", MS_ENHANCED_PROV_W,
       u"RSA"},
      {agenttest::kSm2Sign, false, u"Sigil Test SM2 Sign", u"SM2", u"1001", SIGIL_SM2_PROV_W,
       u"SM2"},
      {agenttest::kRsaEncrypt, true, u"Sigil Test RSA Encrypt", u"RSA", u"2002", MS_ENHANCED_PROV_W,
       u"RSA"},
      {agenttest::kSm2Encrypt, true, u"Sigil Test SM2 Encrypt", u"SM2", u"1002", SIGIL_SM2_PROV_W,
       u"SM2"},
  };
  ScopedEnv helper(kSelectDialogPathVariable, NoHelper().c_str());
  for (const Route& r : routes) {
    SCOPED_TRACE(ToUtf8(r.cn));
    InstalledCertificates installed(r.installed);
    InspectedAgent agent;
    ASSERT_EQ(r.encryptSide ? agent.SelectEncrypt() : agent.Select(), S_OK);
    const std::u16string root = std::u16string(u"CN=Sigil Test ") + r.type + u" Root CA";
    EXPECT_EQ(agent.Info(r.encryptSide, u"SubjectDN"),
              u"CN=" + std::u16string(r.cn) + u", OU=" + r.ou + u", O=Sigil Test, C=CN");
    EXPECT_EQ(agent.Info(r.encryptSide, u"subjectcn"), r.cn);
    EXPECT_EQ(agent.Info(r.encryptSide, u"SERIALNUMBER"), r.serial);
    EXPECT_EQ(agent.Info(r.encryptSide, u"cspname"), r.csp);
    EXPECT_EQ(agent.Info(r.encryptSide, u"certType"), r.type);
    EXPECT_EQ(agent.Info(r.encryptSide, u"IssuerDN"), root + u", O=Sigil Test, C=CN");
    EXPECT_EQ(agent.Info(r.encryptSide, u"Email", E_INVALIDARG), u"");
    // The other side stays empty.
    EXPECT_EQ(agent.Info(!r.encryptSide, u"CertType", SIGIL_E_CERT_NOT_READY), u"");
  }
}

}  // namespace
