// What a session's page may reach through the host: files only inside a
// folder granted to its origin or chosen by its user for that session,
// judged with links resolved; a certificate selected in one session unseen
// by another; and large values through chunks, bit-exact both ways.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "HostHarness.h"
#include "agent/AgentTestSupport.h"
#include "consent/FolderGrants.h"
#include "consent/SiteApprovals.h"
#include "platform/base/WideString.h"
#include "support/TempEnvironment.h"

namespace {

using agenttest::Pki;
using bridgetest::Args;
using bridgetest::HostUnderTest;
using bridgetest::Json;
using bridgetest::StandInServices;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char kSite[] = "https://pages.example";
constexpr std::uint32_t kFileNotGranted = 0xA0072029u;
constexpr char kNotGrantedText[] = "This site may not use this file.";

void AllowOnlyTheSite() {
  const fs::path policy = consent::MachinePolicyPath();
  fs::create_directories(policy.parent_path());
  std::ofstream(policy) << "only-listed\n" << kSite << "\n";
}

void Grant(const fs::path& folder) {
  consent::Origin origin;
  ASSERT_TRUE(consent::ParseOrigin(kSite, &origin));
  ASSERT_EQ(consent::GrantFolder(origin, folder.string()), S_OK);
}

std::string CertBase64(const testpki::Identity& id) { return ToUtf8(agenttest::CertBase64(id)); }

class HostFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    AllowOnlyTheSite();
    root = fs::weakly_canonical(testsupport::MakeTempDir("files"));
    granted = root / "granted";
    sibling = root / "granted2";
    outside = root / "outside";
    for (const fs::path& folder : {granted, sibling, outside}) fs::create_directories(folder);
    std::ofstream(granted / "a.txt") << "in the granted folder";
    std::ofstream(sibling / "b.txt") << "beside it";
    std::ofstream(outside / "c.txt") << "outside";
    fs::create_symlink(outside / "c.txt", granted / "link.txt");
    fs::create_directory_symlink(outside, granted / "linkdir");
    Grant(granted);
    host = std::make_unique<HostUnderTest>(services);
    ASSERT_EQ(host->Next().value("type", ""), "hello");
  }
  void TearDown() override { host.reset(); }

  Json Ask(bridge::Number session, bridge::Number id, const std::string& method, Json args) {
    host->Call(session, id, method, std::move(args));
    return host->Result(session, id);
  }
  // A file operation on data the page brings; only the path matters here.
  Json Verify(bridge::Number session, bridge::Number id, const std::string& path) {
    return Ask(session, id, "VerifyFileSignaturePKCS7Detached", Args({"MIIB", "PKCS7", path}));
  }
  void ExpectNotGranted(const Json& answer) {
    EXPECT_EQ(answer.value("ok", true), false) << answer;
    EXPECT_EQ(answer.value("reason", ""), "file-not-granted") << answer;
    EXPECT_EQ(answer.value("code", 0u), kFileNotGranted) << answer;
    EXPECT_EQ(answer.value("hex", ""), "0xa0072029") << answer;
    EXPECT_EQ(answer.value("message", "").rfind(kNotGrantedText, 0), 0u) << answer;
  }
  void ExpectReachedTheAgent(const Json& answer) {
    EXPECT_NE(answer.value("reason", ""), "file-not-granted") << answer;
    EXPECT_NE(answer.value("reason", ""), "arguments") << answer;
  }

  fs::path root, granted, sibling, outside;
  StandInServices services;
  std::unique_ptr<HostUnderTest> host;
};

TEST_F(HostFiles, OnlyFilesInsideTheGrantedFolderAsResolved) {
  host->Open(1, kSite);
  ExpectReachedTheAgent(Verify(1, 1, (granted / "a.txt").string()));
  ExpectReachedTheAgent(Verify(1, 2, (granted / "." / "a.txt").string()));
  ExpectReachedTheAgent(Verify(1, 3, (outside / ".." / "granted" / "a.txt").string()));

  const std::string refused[] = {
      (sibling / "b.txt").string(),                // a sibling with a common prefix
      (granted / "link.txt").string(),             // a link inside pointing out
      (granted / "linkdir" / "c.txt").string(),    // a folder link inside pointing out
      (granted / ".." / "outside" / "c.txt").string(),
      (outside / "c.txt").string(),
      "granted/a.txt",                             // relative
      root.string(),                               // the granted folder's parent
  };
  bridge::Number id = 10;
  for (const std::string& path : refused) {
    SCOPED_TRACE(path);
    const Json answer = Verify(1, id++, path);
    ExpectNotGranted(answer);
    // Recorded as the last result: the description that follows is the same.
    host->Call(1, id, "GetLastErrorDesc", Args({}));
    EXPECT_EQ(host->Result(1, id++).value("value", ""), answer.value("message", ""));
  }

  // Another origin has no grant of that folder.
  host->Open(2, "https://other.example");
  ExpectNotGranted(Verify(2, 1, (granted / "a.txt").string()));
}

TEST_F(HostFiles, AChosenFileServesOnlyItsSessionAndItsRole) {
  host->Open(1, kSite);
  host->Open(2, kSite);
  const std::string input = (outside / "c.txt").string();
  services.Answer(input);
  EXPECT_EQ(Ask(1, 1, "chooseFile", Args({})).value("value", ""), input);
  ExpectReachedTheAgent(Verify(1, 2, input));
  ExpectNotGranted(Verify(2, 1, input));  // same origin, another document

  const std::string cert = CertBase64(Pki().sm2Encrypt);
  const std::string source = (granted / "a.txt").string();
  // A file chosen to read is not one chosen to write.
  ExpectNotGranted(
      Ask(1, 3, "EncryptFileCMSEnvelopeEx_ByCert", Args({cert, "SM2", source, "SM4", input})));

  const std::string output = (outside / "out.p7").string();
  services.Answer(output);
  EXPECT_EQ(Ask(1, 4, "chooseSaveFile", Args({})).value("value", ""), output);
  const Json encrypted =
      Ask(1, 5, "EncryptFileCMSEnvelopeEx_ByCert", Args({cert, "SM2", source, "SM4", output}));
  EXPECT_EQ(encrypted.value("value", false), true) << encrypted;
  EXPECT_TRUE(fs::exists(output));
  // What the page wrote where the user said, it may read back.
  ExpectReachedTheAgent(Verify(1, 6, output));
  ExpectNotGranted(
      Ask(2, 2, "EncryptFileCMSEnvelopeEx_ByCert", Args({cert, "SM2", source, "SM4", output})));
  // Inside the granted folder, a new file may be written without choosing it.
  const Json inside = Ask(2, 3, "EncryptFileCMSEnvelopeEx_ByCert",
                          Args({cert, "SM2", source, "SM4", (granted / "new.p7").string()}));
  EXPECT_EQ(inside.value("value", false), true) << inside;
}

TEST_F(HostFiles, SelectedCertificateStaysInItsSession) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Sign);
  host->Open(1, kSite);
  host->Open(2, kSite);
  const Json selected = Ask(1, 1, "SelectCertificate", Args({"", "", "1001"}));
  ASSERT_EQ(selected.value("value", false), true) << selected;
  const Json mine = Ask(1, 2, "GetSignCertInfo", Args({"SubjectDN"}));
  EXPECT_EQ(mine.value("ok", false), true) << mine;
  EXPECT_NE(mine.value("value", "").find("CN="), std::string::npos) << mine;
  const Json theirs = Ask(2, 1, "GetSignCertInfo", Args({"SubjectDN"}));
  EXPECT_EQ(theirs.value("ok", true), false) << theirs;
  EXPECT_EQ(theirs.value("code", 0u), 0xA0072001u) << theirs;  // no certificate selected there
  // Signing in session 1 uses its own selection, in session 2 there is none.
  EXPECT_EQ(Ask(1, 3, "SignMsgPKCS7", Args({"text", "SM3", true})).value("ok", false), true);
  EXPECT_EQ(Ask(2, 2, "SignMsgPKCS7", Args({"text", "SM3", true})).value("ok", true), false);
}

TEST_F(HostFiles, LargeValuesTravelInChunksBitExact) {
  Grant(Pki().sm2EncryptFile.parent_path());
  host->Open(1, kSite);
  // Quotes, backslashes and control characters grow when escaped; four-byte
  // characters are surrogate pairs once the browser reads them.
  std::string message;
  const char* const kUnits[] = {"plain text ", "\"quoted\" ", "back\\slash ", "\x01\x1f\n\t",
                                "\xF0\x9F\x98\x80", "\xE4\xB8\xAD\xE6\x96\x87", "\xC3\xA9"};
  for (std::size_t i = 0; message.size() < (1200u << 10); ++i) message += kUnits[i % std::size(kUnits)];

  const Json envelope = Ask(1, 1, "EncryptMsgCMSEnvelopeEx_ByCert",
                            Args({CertBase64(Pki().sm2Encrypt), "SM2", message, ""}));
  ASSERT_EQ(envelope.value("ok", false), true) << envelope.dump().substr(0, 400);
  EXPECT_GT(envelope.value("chunksSeen", 0), 1);

  const Json opened = Ask(1, 2, "DecryptMsgCMSEnvelopeEx_BySoftCert",
                          Args({Pki().sm2EncryptFile.string(), "123456",
                                envelope.value("value", ""), "SM2"}));
  ASSERT_EQ(opened.value("ok", false), true) << opened.dump().substr(0, 400);
  EXPECT_GT(opened.value("chunksSeen", 0), 1);
  EXPECT_TRUE(opened.value("value", "") == message) << "the decrypted message differs";
}

}  // namespace
