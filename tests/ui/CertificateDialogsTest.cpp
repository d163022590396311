// The selection dialog as the plug-in drives it, with small shell scripts in
// the helper program's place: each one records the request it was sent and
// gives one answer (or none).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "platform/cert/CertContext.h"
#include "platform/base/LastError.h"
#include "support/TempEnvironment.h"
#include "ui/CertificateDialogs.h"
#include "ui/DialogProtocol.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

constexpr HRESULT kUserCanceled = static_cast<HRESULT>(0xA0071002u);

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CertificateDialogsTest : public ::testing::Test {
 protected:
  // Inserted in an order the dialog does not show them in: the rows come
  // sorted by name (Alice, Bob, Carol).
  static void SetUpTestSuite() {
    const char* subjects[] = {"C=CN,O=Sigil Test,CN=Carol", "C=CN,O=Sigil Test,CN=alice",
                              "C=CN,O=Sigil Test,CN=Bob"};
    const char* serials[] = {"31", "32", "33"};
    for (int i = 0; i < 3; ++i) {
      std::optional<testpki::Identity> id =
          testpki::MakeRsaIdentity({subjects[i], serials[i], 0xC0, true, false}, nullptr, 1024);
      ASSERT_TRUE(id.has_value());
      s_der[i] = id->CertDer();
    }
  }

  void SetUp() override {
    for (const testpki::Bytes& der : s_der) {
      PCCERT_CONTEXT p = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      der.data(), static_cast<DWORD>(der.size()));
      ASSERT_NE(p, nullptr);
      m_contexts.emplace_back(p);
      m_set.push_back(p);
    }
    m_folder = testsupport::MakeTempDir("dialog");
  }

  // A helper that keeps the request in request.txt, then runs `answer`.
  fs::path FakeHelper(const std::string& answer) {
    const fs::path script = m_folder / ("helper-" + std::to_string(++m_scripts));
    std::ofstream(script) << "#!/bin/sh\ncat > '" << RequestFile().string() << "'\n"
                          << answer << "\n";
    chmod(script.c_str(), 0700);
    return script;
  }
  fs::path RequestFile() const { return m_folder / "request.txt"; }

  ui::DialogRequest SentRequest() const {
    ui::DialogRequest request;
    EXPECT_TRUE(ui::DecodeRequest(ReadFile(RequestFile()), &request));
    return request;
  }

  // The set's certificates by their sorted name.
  static bool IsCertificate(PCCERT_CONTEXT p, const testpki::Bytes& der) {
    return p != nullptr &&
           testpki::Bytes(p->pbCertEncoded, p->pbCertEncoded + p->cbCertEncoded) == der;
  }
  static const testpki::Bytes& Alice() { return s_der[1]; }
  static const testpki::Bytes& Bob() { return s_der[2]; }
  static const testpki::Bytes& Carol() { return s_der[0]; }

  ScopedEnv m_display{"DISPLAY", ":77"};
  std::vector<UniqueContext> m_contexts;
  CERTIFICATE_SET m_set;  // borrowed from m_contexts
  fs::path m_folder;
  int m_scripts = 0;
  static testpki::Bytes s_der[3];
};

testpki::Bytes CertificateDialogsTest::s_der[3];

TEST_F(CertificateDialogsTest, OneCertificateWithoutTitleIsTakenWithoutAsking) {
  ScopedEnv helper(kSelectDialogPathVariable, (m_folder / "no-such-helper").c_str());
  SELECT_CERTIFICATE_PARA para{0, nullptr, nullptr, nullptr, nullptr};
  const CERTIFICATE_SET one{m_set[0]};
  PCCERT_CONTEXT raw = nullptr;
  ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, one, &raw), S_OK);
  UniqueContext chosen(raw);
  EXPECT_TRUE(IsCertificate(chosen.get(), Carol()));

  // A title asks for the dialog even then, and a helper that is not there
  // reads as the user's cancel.
  SELECT_CERTIFICATE_PARA titled{1, nullptr, u"Pick", nullptr, nullptr};
  raw = reinterpret_cast<PCCERT_CONTEXT>(1);
  EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&titled, one, &raw), kUserCanceled);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(CertificateDialogsTest, AnsweredIndexIsTheRowShownNotTheSetOrder) {
  ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t2\\n'").c_str());
  ScopedEnv language("LANGUAGE", "en_US");
  SELECT_CERTIFICATE_PARA para{0, nullptr, u"ignored in mode 0", u"Go", u"Stop"};
  CERTIFICATE_SET twice = m_set;
  twice.push_back(m_set[1]);  // the same certificate again is one row
  PCCERT_CONTEXT raw = nullptr;
  ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, twice, &raw), S_OK);
  UniqueContext chosen(raw);
  EXPECT_TRUE(IsCertificate(chosen.get(), Carol()));

  const ui::DialogRequest request = SentRequest();
  ASSERT_EQ(request.rows.size(), 3u);
  EXPECT_EQ(request.rows[0].displayName, u"alice");
  EXPECT_EQ(request.rows[1].displayName, u"Bob");
  EXPECT_EQ(request.rows[2].certificate, Carol());
  EXPECT_EQ(request.language, 0x0409);
  EXPECT_EQ(request.header, u"Select a Certificate");
  EXPECT_FALSE(request.title.has_value());
  EXPECT_FALSE(request.okText.has_value());
  EXPECT_FALSE(request.cancelText.has_value());
}

TEST_F(CertificateDialogsTest, ModeOneSendsTheCallersTextsInTheUiLanguage) {
  ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t0\\n'").c_str());
  ScopedEnv language("LANGUAGE", "zh_CN");
  SELECT_CERTIFICATE_PARA para{1, nullptr, u"Pick one", u"Go", u"Stop"};
  PCCERT_CONTEXT raw = nullptr;
  ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), S_OK);
  UniqueContext chosen(raw);
  EXPECT_TRUE(IsCertificate(chosen.get(), Alice()));

  const ui::DialogRequest request = SentRequest();
  EXPECT_EQ(request.language, 0x0804);
  EXPECT_EQ(request.header, u"选择证书");
  EXPECT_EQ(request.title, std::u16string(u"Pick one"));
  EXPECT_EQ(request.okText, std::u16string(u"Go"));
  EXPECT_EQ(request.cancelText, std::u16string(u"Stop"));
}

// The page that asks is named in either mode; without one no origin line
// is sent at all.
TEST_F(CertificateDialogsTest, RequestingOriginReachesTheDialog) {
  ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t0\\n'").c_str());
  for (DWORD mode : {0u, 1u}) {
    SELECT_CERTIFICATE_PARA para{mode,    nullptr, nullptr,
                                 nullptr, nullptr, u"https://xn--bcher-kva.example"};
    PCCERT_CONTEXT raw = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), S_OK) << mode;
    CertFreeCertificateContext(raw);
    EXPECT_EQ(SentRequest().origin, std::u16string(u"https://xn--bcher-kva.example")) << mode;
  }
  for (LPCWSTR none : {static_cast<LPCWSTR>(nullptr), u""}) {
    SELECT_CERTIFICATE_PARA para{0, nullptr, nullptr, nullptr, nullptr, none};
    PCCERT_CONTEXT raw = nullptr;
    ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), S_OK);
    CertFreeCertificateContext(raw);
    EXPECT_FALSE(SentRequest().origin.has_value());
    EXPECT_EQ(ReadFile(RequestFile()).find("\norigin"), std::string::npos);
  }
}

// Every way of not getting a usable answer ends like the user's cancel, and
// the helper is never left behind.
TEST_F(CertificateDialogsTest, NoUsableAnswerReadsAsCancel) {
  const fs::path notExecutable = m_folder / "plain-file";
  std::ofstream(notExecutable) << "printf 'selected\\t0\\n'\n";
  const std::vector<std::pair<std::string, fs::path>> helpers = {
      {"cancelled", FakeHelper("printf 'cancelled\\n'")},
      {"garbage", FakeHelper("printf 'yes please\\n'")},
      {"two answers", FakeHelper("printf 'selected\\t0\\nselected\\t1\\n'")},
      {"silent exit", FakeHelper("exit 0")},
      {"crash", FakeHelper("kill -9 $$")},
      {"failed", FakeHelper("printf 'failed\\t80004005\\tno fonts\\n'")},
      {"index past rows", FakeHelper("printf 'selected\\t3\\n'")},
      {"missing", m_folder / "no-such-helper"},
      {"not executable", notExecutable},
  };
  SELECT_CERTIFICATE_PARA para{0, nullptr, nullptr, nullptr, nullptr};
  for (const auto& [name, path] : helpers) {
    ScopedEnv helper(kSelectDialogPathVariable, path.c_str());
    PCCERT_CONTEXT raw = reinterpret_cast<PCCERT_CONTEXT>(1);
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), kUserCanceled) << name;
    EXPECT_EQ(raw, nullptr) << name;
  }
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left unreaped";
}

TEST_F(CertificateDialogsTest, NothingIsStartedWithoutADisplayOrForABadMode) {
  ScopedEnv helper(kSelectDialogPathVariable, FakeHelper("printf 'selected\\t0\\n'").c_str());
  {
    ScopedEnv noX("DISPLAY", nullptr);
    ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
    SELECT_CERTIFICATE_PARA para{0, nullptr, nullptr, nullptr, nullptr};
    PCCERT_CONTEXT raw = nullptr;
    EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), kUserCanceled);
    EXPECT_EQ(raw, nullptr);
  }
  SELECT_CERTIFICATE_PARA para{2, nullptr, nullptr, nullptr, nullptr};
  SetLastError(0);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(CustomCryptUIDlgSelectCertificateFromStore(&para, store), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  PCCERT_CONTEXT raw = nullptr;
  EXPECT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), HRESULT_FROM_WIN32(87));
  CertCloseStore(store, 0);
  EXPECT_FALSE(fs::exists(RequestFile()));

  // With a display the same helper is asked.
  SELECT_CERTIFICATE_PARA mode0{0, nullptr, nullptr, nullptr, nullptr};
  ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&mode0, m_set, &raw), S_OK);
  CertFreeCertificateContext(raw);
  EXPECT_TRUE(fs::exists(RequestFile()));
}

// A helper that stops reading before the request is all written must not
// take the browser down with SIGPIPE, and its answer still counts.
TEST_F(CertificateDialogsTest, HelperThatClosesItsInputEarlyStillAnswers) {
  const fs::path script = m_folder / "deaf-helper";
  std::ofstream(script) << "#!/bin/sh\nexec 0<&-\nprintf 'selected\\t1\\n'\n";
  chmod(script.c_str(), 0700);
  ScopedEnv helper(kSelectDialogPathVariable, script.c_str());
  // Far more than a pipe holds, so the writer meets the closed end.
  const std::u16string title(300000, u'T');
  SELECT_CERTIFICATE_PARA para{1, nullptr, title.c_str(), nullptr, nullptr};
  PCCERT_CONTEXT raw = nullptr;
  ASSERT_EQ(CustomCryptUIDlgSelectCertificate(&para, m_set, &raw), S_OK);
  UniqueContext chosen(raw);
  EXPECT_TRUE(IsCertificate(chosen.get(), Bob()));
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

}  // namespace
