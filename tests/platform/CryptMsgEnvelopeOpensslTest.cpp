// Envelopes exchanged with the openssl command: ours open there, theirs
// (DER, and BER from -stream) open here.
#include <openssl/pem.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>

#include "CryptMsgEnvelopeTestSupport.h"
#include "platform/base/BerReader.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"

using namespace envtest;
using csptest::Rsa;

namespace {

const std::vector<std::string> kLegacy = {"-provider", "legacy", "-provider", "default"};

void PutLength(std::size_t length, Bytes* out) {
  if (length < 0x80) {
    out->push_back(static_cast<BYTE>(length));
    return;
  }
  Bytes octets;
  for (; length != 0; length >>= 8) octets.insert(octets.begin(), static_cast<BYTE>(length));
  out->push_back(static_cast<BYTE>(0x80 | octets.size()));
  out->insert(out->end(), octets.begin(), octets.end());
}

// The DER elements of `der` (which starts at offset `base` of the whole
// message) with the element at `at` replaced by `with`, every enclosing
// length adjusted.
Bytes Replaced(std::span<const BYTE> der, std::size_t base, std::size_t at, const Bytes& with) {
  Bytes out;
  platform::ber::BerReader reader(der);
  while (!reader.AtEnd()) {
    platform::ber::BerElement element;
    EXPECT_EQ(S_OK, reader.Read(&element));
    const std::size_t start = base + static_cast<std::size_t>(element.whole.data() - der.data());
    const std::size_t end = start + element.whole.size();
    if (start == at) {
      out.insert(out.end(), with.begin(), with.end());
    } else if (element.Constructed() && start < at && at < end) {
      const std::size_t contentsAt =
          base + static_cast<std::size_t>(element.contents.data() - der.data());
      const Bytes inner = Replaced(element.contents, contentsAt, at, with);
      out.push_back(element.tag);
      PutLength(inner.size(), &out);
      out.insert(out.end(), inner.begin(), inner.end());
    } else {
      out.insert(out.end(), element.whole.begin(), element.whole.end());
    }
  }
  return out;
}

// The RC4 AlgorithmIdentifier's parameters (the element after its OID).
std::size_t Rc4ParametersAt(const Bytes& der) {
  const Bytes oid = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
  const auto found = std::search(der.begin(), der.end(), oid.begin(), oid.end());
  EXPECT_NE(found, der.end());
  return static_cast<std::size_t>(found - der.begin()) + oid.size();
}

Bytes WithRc4Parameters(const Bytes& der, const Bytes& parameters) {
  const std::size_t at = Rc4ParametersAt(der);
  // The parameters and the OID go together as one SEQUENCE's contents; the
  // rebuild swaps that SEQUENCE's contents whole.
  const Bytes algorithm = [&] {
    Bytes a = {0x30};
    Bytes contents(der.begin() + static_cast<std::ptrdiff_t>(at - 10),
                   der.begin() + static_cast<std::ptrdiff_t>(at));
    contents.insert(contents.end(), parameters.begin(), parameters.end());
    PutLength(contents.size(), &a);
    a.insert(a.end(), contents.begin(), contents.end());
    return a;
  }();
  // The SEQUENCE's header is two octets: 30 len.
  return Replaced(der, 0, at - 12, algorithm);
}

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
  std::optional<Bytes> TheirDecryption(const Bytes& envelope,
                                       const std::vector<std::string>& options = {}) {
    auto result = RunTheirDecryption(envelope, options);
    if (result.exitCode != 0) {
      ADD_FAILURE() << result.output;
      return std::nullopt;
    }
    return ReadBytes(dir_ / "plain.out");
  }
  testsupport::ProcessResult RunTheirDecryption(const Bytes& envelope,
                                                const std::vector<std::string>& options) {
    WriteBytes(dir_ / "ours.der", envelope);
    std::filesystem::remove(dir_ / "plain.out");
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
    args.insert(args.begin() + 2, options.begin(), options.end());
    return Run(args);
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

// RC4 has no IV. OpenSSL writes its parameters as an empty OCTET STRING and
// decrypts that or no parameters at all, but refuses NULL; we write what it
// writes and read all three.
TEST_F(EnvelopeOpenssl, Rc4ParametersInEveryFormOpensslWritesOrTakes) {
  KeyHolder holder(Rsa(0));
  Bytes content(30011);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<BYTE>(i * 13 + 1);
  const auto ours = Encrypt(content, szOID_RSA_RC4, {&Rsa(1), &Rsa(0)});
  ASSERT_TRUE(ours);
  const std::size_t at = Rc4ParametersAt(*ours);
  ASSERT_LT(at + 2, ours->size());
  EXPECT_EQ((Bytes{0x04, 0x00}), Bytes(ours->begin() + static_cast<std::ptrdiff_t>(at),
                                       ours->begin() + static_cast<std::ptrdiff_t>(at + 2)));
  EXPECT_EQ(content, TheirDecryption(*ours, kLegacy));

  const Bytes absent = WithRc4Parameters(*ours, {});
  EXPECT_EQ(ours->size() - 2, absent.size());
  EXPECT_EQ(content, TheirDecryption(absent, kLegacy));
  const Bytes null = WithRc4Parameters(*ours, {0x05, 0x00});
  EXPECT_NE(0, RunTheirDecryption(null, kLegacy).exitCode);
  for (const Bytes* envelope : {&absent, &null}) {
    Opened opened = Decrypt(*envelope, {holder.store()});
    ASSERT_TRUE(opened.ok) << std::hex << opened.error;
    EXPECT_EQ(content, opened.content);
  }

  // A salt (what CryptoAPI adds to keys shorter than 128 bits) is not offered.
  const Bytes salted = WithRc4Parameters(*ours, Bytes{0x04, 0x0B, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  Opened opened = Decrypt(salted, {holder.store()});
  EXPECT_FALSE(opened.ok);
  EXPECT_EQ(CRYPT_E_BAD_ENCODE, opened.error);

  // Theirs, streamed too, opens here.
  for (const auto& options : std::vector<std::vector<std::string>>{{}, {"-stream"}}) {
    std::vector<std::string> all = kLegacy;
    all.insert(all.end(), options.begin(), options.end());
    const Bytes theirs = TheirEnvelope(content, all, "-rc4");
    EXPECT_EQ((Bytes{0x04, 0x00}),
              Bytes(theirs.begin() + static_cast<std::ptrdiff_t>(Rc4ParametersAt(theirs)),
                    theirs.begin() + static_cast<std::ptrdiff_t>(Rc4ParametersAt(theirs) + 2)));
    Streamed streamed = StreamDecrypt(theirs, {4096}, holder.Provider());
    ASSERT_EQ(S_OK, streamed.error) << std::hex << streamed.error;
    EXPECT_EQ(content, streamed.out.bytes);
  }
}

}  // namespace
