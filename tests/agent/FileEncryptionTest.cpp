// Enveloping files and opening them again on every route: a selected RSA or
// SM2 recipient or one given as Base64, opened with the user's MY store, a
// PKCS#12 file, an SM2 key in a CSP container or an SM2 soft certificate.
// Whatever fails must leave no output file behind and never touch one that
// was already there.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "agent/CryptoAgent.h"
#include "platform/cert/CertContext.h"
#include "platform/csp/Csp.h"
#include "resources/ResultCodes.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"
#include "winsvc/UnregisteredCertContext.h"

namespace {

using namespace agenttest;
namespace fs = std::filesystem;

constexpr HRESULT kFileNotFound = MakeHResult(0x80070002u);
constexpr HRESULT kWrongPfxPassword = MakeHResult(0x80070056u);
constexpr HRESULT kDecryptionFailed = MakeHResult(0x80071771u);
const std::u16string kSm2Container = u"sm2-encrypt";

bool Exists(const std::u16string& path) { return fs::exists(ToUtf8(path)); }

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  unsigned state = static_cast<unsigned>(size) * 2654435761u + 1;
  for (char& c : data) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
  return data;
}

// Selection as SelectEncryptCertificate leaves it, from the test PKI.
class FileAgent : public CCryptoAgent {
 public:
  void SelectRsa(const testpki::Identity& id) {
    const Bytes der = id.CertDer();
    m_pEncryptCertContext = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                         der.data(), DWORD(der.size()));
    m_bSM2EncryptCert = FALSE;
  }
  void SelectSm2(const testpki::Identity& id) {
    const Bytes der = id.CertDer();
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       der.data(), DWORD(der.size()));
    ASSERT_EQ(S_OK, CertCreateUnregisteredCertContext(SIGIL_SM2_PROV_W, cert, kSm2Container.c_str(),
                                                      AT_KEYEXCHANGE,
                                                      &m_pUnregisteredEncryptCertContext));
    CertFreeCertificateContext(cert);
    m_bSM2EncryptCert = TRUE;
  }
};

enum class Seal { SelectedRsa, SelectedSm2, ByCertRsa, ByCertSm2 };
enum class Open { MyStore, Pkcs12, Csp, SoftCert };

class FileEncryptionTest : public ::testing::Test {
 protected:
  std::optional<InstalledCertificates> installed_{std::in_place, kRsaEncrypt | kSm2Encrypt};
  const testpki::Fixtures& pki_ = Pki();

  HRESULT Encrypt(Seal seal, const std::u16string& source, const std::u16string& envelope,
                  const char16_t* alg = u"3DES") {
    FileAgent agent;
    VARIANT_BOOL ok = VARIANT_TRUE;
    HRESULT hr = E_FAIL;
    switch (seal) {
      case Seal::SelectedRsa:
      case Seal::SelectedSm2:
        if (seal == Seal::SelectedRsa)
          agent.SelectRsa(pki_.rsaEncrypt);
        else
          agent.SelectSm2(pki_.sm2Encrypt);
        hr = agent.EncryptFileCMSEnvelopeEx(source.c_str(), alg, envelope.c_str(), &ok);
        break;
      case Seal::ByCertRsa:
      case Seal::ByCertSm2: {
        const bool rsa = seal == Seal::ByCertRsa;
        const std::u16string cert = CertBase64(rsa ? pki_.rsaEncrypt : pki_.sm2Encrypt);
        hr = agent.EncryptFileCMSEnvelopeEx_ByCert(cert.c_str(), rsa ? u"RSA" : u"sm2",
                                                   source.c_str(), alg, envelope.c_str(), &ok);
      }
    }
    EXPECT_EQ(ok, SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
    EXPECT_EQ(agent.LastResult(), hr);
    return hr;
  }

  HRESULT Decrypt(Open open, const std::u16string& envelope, const std::u16string& plain,
                  const char16_t* type = nullptr, const std::u16string& password = kPassword,
                  const fs::path* softCert = nullptr) {
    const bool rsa = open == Open::MyStore || open == Open::Pkcs12;
    if (!type) type = rsa ? u"RSA" : u"sm2";
    FileAgent agent;
    VARIANT_BOOL ok = VARIANT_TRUE;
    HRESULT hr;
    if (open == Open::MyStore || open == Open::Csp) {
      hr = agent.DecryptFileCMSEnvelopeEx(envelope.c_str(), type, plain.c_str(), &ok);
    } else {
      const std::u16string file = PathOf(softCert ? *softCert
                                         : rsa    ? pki_.rsaEncryptP12
                                                  : pki_.sm2EncryptFile);
      hr = agent.DecryptFileCMSEnvelopeEx_BySoftCert(file.c_str(), password.c_str(),
                                                     envelope.c_str(), type, plain.c_str(), &ok);
    }
    EXPECT_EQ(ok, SUCCEEDED(hr) ? VARIANT_TRUE : VARIANT_FALSE);
    if (FAILED(hr)) {
      EXPECT_FALSE(Exists(plain)) << "a failed opening left its plaintext";
    }
    return hr;
  }
};

TEST_F(FileEncryptionTest, EveryRouteRoundTripsAcrossBlockEdges) {
  const std::vector<std::pair<Seal, std::vector<Open>>> routes = {
      {Seal::SelectedRsa, {Open::MyStore, Open::Pkcs12}},
      {Seal::ByCertRsa, {Open::MyStore, Open::Pkcs12}},
      {Seal::SelectedSm2, {Open::Csp, Open::SoftCert}},
      {Seal::ByCertSm2, {Open::Csp, Open::SoftCert}}};
  for (std::size_t size :
       {std::size_t{1}, std::size_t{16384}, std::size_t{16385}, std::size_t{3 * 1024 * 1024 + 7}}) {
    const std::string data = Pattern(size);
    const std::u16string source = WriteFile("plain.bin", data);
    for (const auto& [seal, opens] : routes) {
      SCOPED_TRACE(testing::Message() << "size " << size << " seal " << int(seal));
      const std::u16string envelope = NewPath("sealed.p7e");
      ASSERT_EQ(S_OK, Encrypt(seal, source, envelope));
      for (Open open : opens) {
        const std::u16string plain = NewPath("opened.bin");
        ASSERT_EQ(S_OK, Decrypt(open, envelope, plain)) << "open " << int(open);
        EXPECT_TRUE(ReadFile(plain) == data) << "open " << int(open);
      }
    }
  }
  const std::u16string empty = WriteFile("empty.bin", "");
  for (Seal seal : {Seal::SelectedRsa, Seal::SelectedSm2, Seal::ByCertRsa, Seal::ByCertSm2}) {
    const std::u16string envelope = NewPath("sealed.p7e");
    EXPECT_EQ(SIGIL_E_EMPTY_FILE, Encrypt(seal, empty, envelope)) << int(seal);
    EXPECT_FALSE(Exists(envelope));
  }
}

TEST_F(FileEncryptionTest, AlgorithmNameAndCertificateTypeAreCheckedWhereTheyMatter) {
  const std::u16string source = WriteFile("plain.bin", Pattern(100));
  struct Case {
    Seal seal;
    const char16_t* alg;
    HRESULT expected;
  };
  for (const Case& c :
       {Case{Seal::SelectedSm2, u"", S_OK}, Case{Seal::SelectedSm2, u"AES", S_OK},
        Case{Seal::ByCertSm2, u"AES", S_OK}, Case{Seal::SelectedRsa, u"rc4", S_OK},
        Case{Seal::SelectedRsa, u"", E_INVALIDARG}, Case{Seal::SelectedRsa, u"AES", NTE_BAD_ALGID},
        Case{Seal::ByCertRsa, u"AES", NTE_BAD_ALGID}, Case{Seal::ByCertSm2, u"", E_INVALIDARG}}) {
    const std::u16string envelope = NewPath("sealed.p7e");
    EXPECT_EQ(c.expected, Encrypt(c.seal, source, envelope, c.alg))
        << int(c.seal) << " " << ToUtf8(c.alg);
    EXPECT_EQ(c.expected == S_OK, Exists(envelope));
  }

  // A name that does not fit the certificate, and a certificate that may not
  // encipher keys; the SM2 engine refuses the latter only after the envelope
  // file was created, which must then go again.
  FileAgent agent;
  VARIANT_BOOL ok = VARIANT_TRUE;
  struct ByCert {
    const testpki::Identity& id;
    const char16_t* type;
    HRESULT expected;
  };
  for (const ByCert& c : {ByCert{pki_.sm2Encrypt, u"RSA", SIGIL_E_INVALID_KEY_ALG},
                          ByCert{pki_.rsaEncrypt, u"SM2", SIGIL_E_INVALID_KEY_ALG},
                          ByCert{pki_.sm2Sign, u"SM2", SIGIL_E_INVALID_CERT_USAGE},
                          ByCert{pki_.rsaSign, u"RSA", SIGIL_E_INVALID_CERT_USAGE}}) {
    const std::u16string envelope = NewPath("sealed.p7e");
    EXPECT_EQ(c.expected, agent.EncryptFileCMSEnvelopeEx_ByCert(CertBase64(c.id).c_str(), c.type,
                                                                source.c_str(), u"3DES",
                                                                envelope.c_str(), &ok));
    EXPECT_FALSE(Exists(envelope));
  }
  FileAgent signOnly;
  signOnly.SelectSm2(pki_.sm2Sign);
  const std::u16string envelope = NewPath("sealed.p7e");
  EXPECT_EQ(SIGIL_E_INVALID_CERT_USAGE,
            signOnly.EncryptFileCMSEnvelopeEx(source.c_str(), u"", envelope.c_str(), &ok));
  EXPECT_FALSE(Exists(envelope));
}

TEST_F(FileEncryptionTest, EnvelopeTypeNameAloneChoosesTheRoute) {
  const std::u16string source = WriteFile("plain.bin", Pattern(5000));
  const std::u16string sm2 = NewPath("sm2.p7e");
  ASSERT_EQ(S_OK, Encrypt(Seal::SelectedSm2, source, sm2));
  for (Open open : {Open::MyStore, Open::Pkcs12, Open::Csp, Open::SoftCert}) {
    const std::u16string plain = NewPath("opened.bin");
    EXPECT_EQ(E_INVALIDARG, Decrypt(open, sm2, plain, u"AES")) << int(open);
  }
  // Taken as RSA, the SM2 envelope goes to CryptoAPI, which cannot read it.
  for (Open open : {Open::MyStore, Open::Pkcs12}) {
    const HRESULT hr = Decrypt(open, sm2, NewPath("opened.bin"), u"RSA");
    EXPECT_TRUE(FAILED(hr) && hr != E_INVALIDARG) << std::hex << hr;
  }
}

TEST_F(FileEncryptionTest, WrongKeysAndPasswordsAreNamed) {
  const std::u16string source = WriteFile("plain.bin", Pattern(40000));
  const std::u16string sm2 = NewPath("sm2.p7e"), rsa = NewPath("rsa.p7e");
  ASSERT_EQ(S_OK, Encrypt(Seal::ByCertSm2, source, sm2));
  ASSERT_EQ(S_OK, Encrypt(Seal::ByCertRsa, source, rsa));
  EXPECT_EQ(SIGIL_E_DECRYPT_SM2_PFX,
            Decrypt(Open::SoftCert, sm2, NewPath("o"), nullptr, u"654321"));
  EXPECT_EQ(SIGIL_E_NO_MATCHING_SM2_PFX,
            Decrypt(Open::SoftCert, sm2, NewPath("o"), nullptr, kPassword, &pki_.sm2SignFile));
  EXPECT_EQ(kWrongPfxPassword, Decrypt(Open::Pkcs12, rsa, NewPath("o"), nullptr, u"654321"));
  EXPECT_TRUE(
      FAILED(Decrypt(Open::Pkcs12, rsa, NewPath("o"), nullptr, kPassword, &pki_.rsaSignP12)));
  {
    // The recipient's container is gone: no CSP certificate names it.
    installed_.reset();
    InstalledCertificates other(kSm2Sign);
    EXPECT_EQ(SIGIL_E_NO_AVAILABLE_CERT, Decrypt(Open::Csp, sm2, NewPath("o")));
  }
}

TEST_F(FileEncryptionTest, DamagedEnvelopesFailWithoutLeavingPlaintext) {
  const std::string data = Pattern(40000);
  const std::u16string source = WriteFile("plain.bin", data);
  const std::u16string sm2 = NewPath("sm2.p7e"), rsa = NewPath("rsa.p7e");
  ASSERT_EQ(S_OK, Encrypt(Seal::SelectedSm2, source, sm2));
  ASSERT_EQ(S_OK, Encrypt(Seal::SelectedRsa, source, rsa));
  const std::string sm2Bytes = ReadFile(sm2), rsaBytes = ReadFile(rsa);

  // Cut inside the header, inside the content, and by the last byte only.
  for (const auto& [bytes, opens] :
       {std::pair{sm2Bytes, std::vector{Open::Csp, Open::SoftCert}},
        std::pair{rsaBytes, std::vector{Open::MyStore, Open::Pkcs12}}}) {
    for (std::size_t keep : {std::size_t{60}, bytes.size() / 2, bytes.size() - 1}) {
      const std::u16string cut = WriteFile("cut.p7e", bytes.substr(0, keep));
      for (Open open : opens) EXPECT_TRUE(FAILED(Decrypt(open, cut, NewPath("o")))) << keep;
    }
  }

  // In CBC a flipped byte of the next-to-last ciphertext block flips the same
  // byte of the last plaintext block: here the padding length, which can no
  // longer be valid.
  std::string padding = sm2Bytes;
  padding[padding.size() - 17] ^= 0xFF;
  const std::u16string badPadding = WriteFile("padding.p7e", padding);
  EXPECT_EQ(kDecryptionFailed, Decrypt(Open::Csp, badPadding, NewPath("o")));
  EXPECT_TRUE(FAILED(Decrypt(Open::SoftCert, badPadding, NewPath("o"))));

  // SM4-CBC (1.2.156.10197.1.104) turned into another algorithm.
  std::string oid = sm2Bytes;
  const std::string sm4Cbc = "\x06\x07\x2A\x81\x1C\xCF\x55\x01\x68";
  const std::size_t at = oid.find(sm4Cbc);
  ASSERT_NE(at, std::string::npos);
  oid[at + sm4Cbc.size() - 1] = 0x69;
  const std::u16string otherAlg = WriteFile("alg.p7e", oid);
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE, Decrypt(Open::Csp, otherAlg, NewPath("o")));
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE, Decrypt(Open::SoftCert, otherAlg, NewPath("o")));
}

TEST_F(FileEncryptionTest, ExistingOutputsAreRefusedUntouchedAndMissingSourcesFailFirst) {
  const std::u16string source = WriteFile("plain.bin", Pattern(3000));
  const std::u16string sealed = NewPath("sealed.p7e");
  ASSERT_EQ(S_OK, Encrypt(Seal::SelectedSm2, source, sealed));
  const std::u16string existing = WriteFile("existing.bin", "keep me");
  const std::u16string missing = NewPath("missing.bin");

  for (Seal seal : {Seal::SelectedRsa, Seal::SelectedSm2, Seal::ByCertRsa, Seal::ByCertSm2}) {
    EXPECT_EQ(SIGIL_E_ALREADY_EXISTS, Encrypt(seal, source, existing)) << int(seal);
    // The source is looked for before the gate would refuse the output.
    EXPECT_EQ(kFileNotFound, Encrypt(seal, missing, existing)) << int(seal);
  }
  FileAgent agent;
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(SIGIL_E_ALREADY_EXISTS,
            agent.DecryptFileCMSEnvelopeEx(sealed.c_str(), u"SM2", existing.c_str(), &ok));
  EXPECT_EQ(SIGIL_E_ALREADY_EXISTS, agent.DecryptFileCMSEnvelopeEx_BySoftCert(
                                        PathOf(pki_.sm2EncryptFile).c_str(), kPassword.c_str(),
                                        sealed.c_str(), u"SM2", existing.c_str(), &ok));
  EXPECT_EQ("keep me", ReadFile(existing));
}

// PEM private key for the OpenSSL command line.
std::string WriteKeyPem(const testpki::Identity& id, const fs::path& path) {
  BIO* bio = BIO_new_file(path.c_str(), "w");
  EXPECT_TRUE(bio &&
              PEM_write_bio_PrivateKey(bio, id.key(), nullptr, nullptr, 0, nullptr, nullptr));
  BIO_free(bio);
  return path.string();
}

TEST_F(FileEncryptionTest, OpenSslAndWeOpenEachOthersRsaEnvelopeFiles) {
  const fs::path dir = testsupport::MakeTempDir("openssl");
  const std::string data = Pattern(100000);
  const std::u16string source = WriteFile("plain.bin", data);
  const std::string key = WriteKeyPem(pki_.rsaEncrypt, dir / "key.pem");
  const std::string cert = pki_.Pem("rsa-encrypt").string();

  const std::string theirs = (dir / "theirs.p7e").string();
  auto run =
      testsupport::RunProcess({"/usr/bin/openssl", "cms", "-encrypt", "-binary", "-des3",
                               "-outform", "DER", "-in", ToUtf8(source), "-out", theirs, cert});
  ASSERT_EQ(0, run.exitCode) << run.output;
  for (Open open : {Open::MyStore, Open::Pkcs12}) {
    const std::u16string plain = NewPath("opened.bin");
    ASSERT_EQ(S_OK, Decrypt(open, FromUtf8(theirs), plain)) << int(open);
    EXPECT_TRUE(ReadFile(plain) == data);
  }

  const std::u16string ours = NewPath("ours.p7e");
  ASSERT_EQ(S_OK, Encrypt(Seal::SelectedRsa, source, ours));
  const std::string out = (dir / "ours.out").string();
  run = testsupport::RunProcess({"/usr/bin/openssl", "cms", "-decrypt", "-inform", "DER", "-binary",
                                 "-in", ToUtf8(ours), "-out", out, "-recip", cert, "-inkey", key});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(ReadFile(FromUtf8(out)) == data);
}

}  // namespace
