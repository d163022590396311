// Envelopes exchanged with the openssl command: ours open there, theirs
// (DER, and BER from -stream) open here.
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "CryptMsgEnvelopeTestSupport.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"

using namespace envtest;
using csptest::Rsa;

namespace {

const char* OpensslPath() {
  for (const char* path : {"/usr/bin/openssl", "/usr/local/bin/openssl"})
    if (std::filesystem::exists(path)) return path;
  return nullptr;
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class EnvelopeOpenssl : public ::testing::Test {
 protected:
  void SetUp() override {
    openssl_ = OpensslPath();
    if (openssl_ == nullptr) GTEST_SKIP() << "no openssl command";
    dir_ = testsupport::MakeTempDir("envelope");
    const std::string pem = Rsa(0).CertPem();
    WriteBytes(dir_ / "cert.pem", Bytes(pem.begin(), pem.end()));
    BIO* bio = BIO_new_file((dir_ / "key.pem").c_str(), "w");
    ASSERT_NE(nullptr, bio);
    ASSERT_EQ(1,
              PEM_write_bio_PrivateKey(bio, Rsa(0).key(), nullptr, nullptr, 0, nullptr, nullptr));
    BIO_free(bio);
  }

  testsupport::ProcessResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), openssl_);
    return testsupport::RunProcess(args);
  }
  // openssl's decryption of our envelope, or nullopt with its output logged.
  std::optional<Bytes> TheirDecryption(const Bytes& envelope) {
    WriteBytes(dir_ / "ours.der", envelope);
    std::vector<std::string> args = {"cms",
                                     "-decrypt",
                                     "-inform",
                                     "DER",
                                     "-in",
                                     (dir_ / "ours.der").string(),
                                     "-recip",
                                     (dir_ / "cert.pem").string(),
                                     "-inkey",
                                     (dir_ / "key.pem").string(),
                                     "-binary",
                                     "-out",
                                     (dir_ / "plain.out").string()};
    auto result = Run(args);
    if (result.exitCode != 0) {
      ADD_FAILURE() << result.output;
      return std::nullopt;
    }
    return ReadBytes(dir_ / "plain.out");
  }
  Bytes TheirEnvelope(const Bytes& content, const std::vector<std::string>& options,
                      const char* cipher = "-des3") {
    WriteBytes(dir_ / "plain.in", content);
    std::vector<std::string> args = {"cms",      "-encrypt",
                                     "-binary",  cipher,
                                     "-outform", "DER",
                                     "-in",      (dir_ / "plain.in").string(),
                                     "-out",     (dir_ / "theirs.der").string()};
    args.insert(args.begin() + 2, options.begin(), options.end());
    args.push_back((dir_ / "cert.pem").string());
    auto result = Run(args);
    EXPECT_EQ(0, result.exitCode) << result.output;
    return ReadBytes(dir_ / "theirs.der");
  }

  const char* openssl_ = nullptr;
  std::filesystem::path dir_;
};

TEST_F(EnvelopeOpenssl, OursOpenThere) {
  const Bytes content = [] {
    Bytes b(70001);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<BYTE>(i * 7 + 3);
    return b;
  }();
  for (DWORD flags : {0u, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG}) {
    auto der = Encrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(1), &Rsa(0)}, flags);
    ASSERT_TRUE(der);
    EXPECT_EQ(content, TheirDecryption(*der));
  }
  const Bytes indefinite =
      StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)}, true, {}, {5000, 3});
  EXPECT_EQ(content, TheirDecryption(indefinite));
  const Bytes definite = StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)}, false,
                                       static_cast<DWORD>(content.size()), {4096});
  EXPECT_EQ(content, TheirDecryption(definite));
  // An empty content too.
  auto empty = Encrypt({}, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)});
  ASSERT_TRUE(empty);
  EXPECT_EQ(Bytes{}, TheirDecryption(*empty));
}

TEST_F(EnvelopeOpenssl, TheirsOpenHere) {
  KeyHolder holder(Rsa(0));
  Bytes content(50000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<BYTE>(i % 251);
  for (const auto& options :
       std::vector<std::vector<std::string>>{{"-keyid"}, {}, {"-keyid", "-stream"}, {"-stream"}}) {
    SCOPED_TRACE(options.size() == 0 ? std::string("issuer") : options.back());
    const Bytes envelope = TheirEnvelope(content, options);
    ASSERT_FALSE(envelope.empty());
    if (options.size() > 0 && options.back() == "-stream") {
      EXPECT_EQ((Bytes{0x30, 0x80}), Bytes(envelope.begin(), envelope.begin() + 2));
    }
    Opened opened = Decrypt(envelope, {holder.store()});
    ASSERT_TRUE(opened.ok) << std::hex << opened.error;
    EXPECT_EQ(content, opened.content);
    for (std::size_t size : {std::size_t{7}, std::size_t{4096}}) {
      Streamed streamed = StreamDecrypt(envelope, {size}, holder.Provider());
      ASSERT_EQ(S_OK, streamed.error) << std::hex << streamed.error;
      EXPECT_EQ(content, streamed.out.bytes);
    }
  }
  // OpenSSL gives RC4 an empty OCTET STRING where we write NULL; both are read.
  const Bytes rc4 = TheirEnvelope(content, {"-provider", "legacy", "-provider", "default"}, "-rc4");
  Opened opened = Decrypt(rc4, {holder.store()});
  ASSERT_TRUE(opened.ok) << std::hex << opened.error;
  EXPECT_EQ(content, opened.content);
}

}  // namespace
