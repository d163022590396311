// Enveloping messages for a recipient and opening them again, on every
// route: RSA and SM2 recipients selected or given as Base64, and envelopes
// opened with the user's store, a CSP key container or a soft-certificate
// file.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "AgentTestSupport.h"
#include "agent/CryptoAgent.h"
#include "platform/csp/CspProvider.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/Base64.h"
#include "support/Subprocess.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

using agenttest::Bytes;
using agenttest::Pki;
using agenttest::Take;

constexpr HRESULT kAlgorithmRefused = NTE_BAD_ALGID;                // 0x80090008
constexpr HRESULT kEncryptionFailed = MakeHResult(0x80071771u);     // 6001 converted
constexpr HRESULT kWrongPkcs12Password = MakeHResult(0x80070056u);  // ERROR_INVALID_PASSWORD

const std::u16string kMessages[] = {u"A", u"加密的消息 Grüße € 𝄞"};

// Reaches the selected-certificate members the way a selection leaves them.
class TestAgent : public CCryptoAgent {
 public:
  void SelectStoreRecipient(const testpki::Identity& id) {
    const Bytes der = id.CertDer();
    m_pEncryptCertContext = CertCreateCertificateContext(
        X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    ASSERT_TRUE(m_pEncryptCertContext);
    m_bSM2EncryptCert = FALSE;
  }
  void SelectCspRecipient(const char16_t* container) {
    ASSERT_EQ(S_OK, GetUnregisteredCertfromContainer(SIGIL_SM2_PROV_W, container, AT_KEYEXCHANGE,
                                                     &m_pUnregisteredEncryptCertContext));
    m_bSM2EncryptCert = TRUE;
  }
};

struct Answer {
  HRESULT hr;
  std::u16string text;
};

// Every failure must still hand script an empty string.
Answer Checked(HRESULT hr, BSTR out, const CCryptoAgent& agent) {
  Answer answer{hr, Take(out)};
  EXPECT_EQ(hr, agent.LastResult());
  if (FAILED(hr)) {
    EXPECT_EQ(u"", answer.text);
  }
  return answer;
}

Answer Encrypt(TestAgent& agent, const std::u16string& message, LPCWSTR alg) {
  BSTR out = nullptr;
  const HRESULT hr = agent.EncryptMsgCMSEnvelopeEx(message.c_str(), alg, &out);
  return Checked(hr, out, agent);
}

Answer EncryptByCert(const testpki::Identity& id, LPCWSTR type, const std::u16string& message,
                     LPCWSTR alg) {
  CCryptoAgent agent;
  BSTR out = nullptr;
  const std::u16string cert = agenttest::CertBase64(id);
  const HRESULT hr =
      agent.EncryptMsgCMSEnvelopeEx_ByCert(cert.c_str(), type, message.c_str(), alg, &out);
  return Checked(hr, out, agent);
}

Answer Decrypt(const std::u16string& envelope, LPCWSTR type) {
  CCryptoAgent agent;
  BSTR out = nullptr;
  const HRESULT hr = agent.DecryptMsgCMSEnvelopeEx(envelope.c_str(), type, &out);
  return Checked(hr, out, agent);
}

Answer DecryptBySoftCert(const std::filesystem::path& file, const std::u16string& password,
                         const std::u16string& envelope, LPCWSTR type) {
  CCryptoAgent agent;
  BSTR out = nullptr;
  const std::u16string path = agenttest::PathOf(file);
  const HRESULT hr = agent.DecryptMsgCMSEnvelopeEx_BySoftCert(path.c_str(), password.c_str(),
                                                              envelope.c_str(), type, &out);
  return Checked(hr, out, agent);
}

Bytes FromBase64(const std::u16string& text) {
  const std::string narrow = ToUtf8(text);
  BYTE* raw = nullptr;
  int length = 0;
  EXPECT_EQ(S_OK, Base64DecodeEx(static_cast<int>(narrow.size()), narrow.c_str(), &raw, &length));
  std::unique_ptr<BYTE[]> owned(raw);
  return Bytes(raw, raw + length);
}

std::u16string ToBase64(const Bytes& der) { return FromUtf8(testpki::Base64Encode(der)); }

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

const Bytes kOidRc4 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
const Bytes kOidDesEde3 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
const Bytes kOidSm4Cbc = {0x06, 0x07, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68};
const Bytes kOidSm2Encrypt = {0x06, 0x09, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D, 0x03};
const Bytes kOidSm2Enveloped = {0x06, 0x0A, 0x2A, 0x81, 0x1C, 0xCF,
                                0x55, 0x06, 0x01, 0x04, 0x02, 0x03};

// An SM2 envelope rebuilt from the parts of another, with the encrypted key
// or the content replaced.
struct Sm2EnvelopeParts {
  Bytes subjectKeyId, encryptedKey, iv, content;
};

Sm2EnvelopeParts Split(const Bytes& der) {
  BYTE *skid = nullptr, *key = nullptr, *iv = nullptr, *content = nullptr;
  int skidLength = 0, keyLength = 0, ivLength = 0, contentLength = 0;
  engine::CMSEnvelopeOutputs outputs;
  outputs.ppbySubjectKeyID = &skid;
  outputs.pnSubjectKeyIDLength = &skidLength;
  outputs.ppbyEncryptedKey = &key;
  outputs.pnEncryptedKeyLength = &keyLength;
  outputs.ppbyContentEncryptionAlgParameter = &iv;
  outputs.pnContentEncryptionAlgParameterLength = &ivLength;
  EXPECT_EQ(0, engine::Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), outputs,
                                              &content, &contentLength));
  std::unique_ptr<BYTE[]> a(skid), b(key), c(iv), d(content);
  return {Bytes(skid, skid + skidLength), Bytes(key, key + keyLength), Bytes(iv, iv + ivLength),
          Bytes(content, content + contentLength)};
}

std::u16string Join(const Sm2EnvelopeParts& parts) {
  Bytes parameter = {0x04, static_cast<BYTE>(parts.iv.size())};
  parameter.insert(parameter.end(), parts.iv.begin(), parts.iv.end());
  BYTE* der = nullptr;
  int length = 0;
  EXPECT_EQ(0, engine::Encode_CMSEnvelope(
                   parameter.data(), static_cast<int>(parameter.size()), parts.encryptedKey.data(),
                   static_cast<int>(parts.encryptedKey.size()), parts.subjectKeyId.data(),
                   static_cast<int>(parts.subjectKeyId.size()), parts.content.data(),
                   static_cast<std::int64_t>(parts.content.size()), &der, &length));
  std::unique_ptr<BYTE[]> owned(der);
  return ToBase64(Bytes(der, der + length));
}

std::u16string WithBytesReplaced(const std::u16string& envelope, const Bytes& from,
                                 const Bytes& to) {
  Bytes der = FromBase64(envelope);
  auto at = std::search(der.begin(), der.end(), from.begin(), from.end());
  EXPECT_NE(at, der.end());
  if (at != der.end()) std::copy(to.begin(), to.end(), at);
  return ToBase64(der);
}

TEST(MessageEncryptionTest, RsaRecipientFromTheStoreRoundTripsWithEitherCipher) {
  agenttest::InstalledCertificates installed(agenttest::kRsaEncrypt);
  TestAgent agent;
  agent.SelectStoreRecipient(Pki().rsaEncrypt);
  for (const auto& [alg, oid] : {std::pair{u"rc4", kOidRc4}, std::pair{u"3DES", kOidDesEde3},
                                 std::pair{u"Rc4", kOidRc4}, std::pair{u"3des", kOidDesEde3}}) {
    for (const std::u16string& message : kMessages) {
      SCOPED_TRACE(ToUtf8(alg) + " " + ToUtf8(message));
      const Answer envelope = Encrypt(agent, message, alg);
      ASSERT_EQ(S_OK, envelope.hr);
      EXPECT_EQ(std::u16string::npos, envelope.text.find_first_of(u"\r\n"));
      EXPECT_TRUE(Contains(FromBase64(envelope.text), oid));
      const Answer opened = Decrypt(envelope.text, u"rsa");
      EXPECT_EQ(S_OK, opened.hr);
      EXPECT_EQ(message, opened.text);
      // The envelope type names the family the envelope must be.
      EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE_TYPE, Decrypt(envelope.text, u"SM2").hr);
    }
  }
  EXPECT_EQ(kAlgorithmRefused, Encrypt(agent, u"text", u"AES").hr);
  EXPECT_EQ(E_INVALIDARG, Encrypt(agent, u"text", u"").hr);
  EXPECT_EQ(E_INVALIDARG, Encrypt(agent, u"text", nullptr).hr);
}

TEST(MessageEncryptionTest, Sm2RecipientFromACspIgnoresTheAlgorithmAndOpensBothWays) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Encrypt);
  TestAgent agent;
  agent.SelectCspRecipient(u"sm2-encrypt");
  for (LPCWSTR alg : {u"", u"AES", static_cast<LPCWSTR>(nullptr)}) {
    for (const std::u16string& message : kMessages) {
      SCOPED_TRACE(ToUtf8(message));
      const Answer envelope = Encrypt(agent, message, alg);
      ASSERT_EQ(S_OK, envelope.hr);
      const Bytes der = FromBase64(envelope.text);
      EXPECT_TRUE(Contains(der, kOidSm2Enveloped));
      EXPECT_TRUE(Contains(der, kOidSm4Cbc));

      const Answer byCsp = Decrypt(envelope.text, u"sm2");
      EXPECT_EQ(S_OK, byCsp.hr);
      EXPECT_EQ(message, byCsp.text);
      const Answer bySoftCert =
          DecryptBySoftCert(Pki().sm2EncryptFile, agenttest::kPassword, envelope.text, u"SM2");
      EXPECT_EQ(S_OK, bySoftCert.hr);
      EXPECT_EQ(message, bySoftCert.text);

      EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE_TYPE, Decrypt(envelope.text, u"RSA").hr);
      EXPECT_EQ(
          SIGIL_E_INVALID_ENVELOPE_TYPE,
          DecryptBySoftCert(Pki().rsaEncryptP12, agenttest::kPassword, envelope.text, u"RSA").hr);
    }
  }
}

TEST(MessageEncryptionTest, RecipientsGivenAsBase64OpenWithTheirSoftCertificates) {
  for (const std::u16string& message : kMessages) {
    const Answer rsa = EncryptByCert(Pki().rsaEncrypt, u"rsa", message, u"3des");
    ASSERT_EQ(S_OK, rsa.hr);
    EXPECT_TRUE(Contains(FromBase64(rsa.text), kOidDesEde3));
    const Answer rsaOpened =
        DecryptBySoftCert(Pki().rsaEncryptP12, agenttest::kPassword, rsa.text, u"RSA");
    EXPECT_EQ(S_OK, rsaOpened.hr);
    EXPECT_EQ(message, rsaOpened.text);

    const Answer sm2 = EncryptByCert(Pki().sm2Encrypt, u"sm2", message, u"no such cipher");
    ASSERT_EQ(S_OK, sm2.hr);
    const Answer sm2Opened =
        DecryptBySoftCert(Pki().sm2EncryptFile, agenttest::kPassword, sm2.text, u"sm2");
    EXPECT_EQ(S_OK, sm2Opened.hr);
    EXPECT_EQ(message, sm2Opened.text);
  }
}

TEST(MessageEncryptionTest, Base64RecipientsAreCheckedForTypeAlgorithmAndKeyUsage) {
  EXPECT_EQ(SIGIL_E_INVALID_KEY_ALG, EncryptByCert(Pki().rsaEncrypt, u"SM2", u"m", u"RC4").hr);
  EXPECT_EQ(SIGIL_E_INVALID_KEY_ALG, EncryptByCert(Pki().sm2Encrypt, u"RSA", u"m", u"RC4").hr);
  EXPECT_EQ(SIGIL_E_INVALID_KEY_ALG, EncryptByCert(Pki().rsaEncrypt, u"DSA", u"m", u"RC4").hr);
  EXPECT_EQ(kAlgorithmRefused, EncryptByCert(Pki().rsaEncrypt, u"RSA", u"m", u"AES").hr);
  EXPECT_EQ(E_INVALIDARG, EncryptByCert(Pki().rsaEncrypt, u"RSA", u"m", u"").hr);
  EXPECT_EQ(E_INVALIDARG, EncryptByCert(Pki().rsaEncrypt, u"RSA", u"m", nullptr).hr);
  // Signing-only certificates (digitalSignature | nonRepudiation).
  EXPECT_EQ(SIGIL_E_INVALID_CERT_USAGE, EncryptByCert(Pki().rsaSign, u"RSA", u"m", u"RC4").hr);
  EXPECT_EQ(SIGIL_E_INVALID_CERT_USAGE, EncryptByCert(Pki().sm2Sign, u"SM2", u"m", u"").hr);
  // No key usage extension at all.
  EXPECT_EQ(SIGIL_E_INVALID_CERT_USAGE, EncryptByCert(Pki().sm2NoKu, u"SM2", u"m", u"").hr);
}

TEST(MessageEncryptionTest, OnlyEnvelopesOfTheNamedFamilyAreOpened) {
  // A ContentInfo of signedData with an empty content.
  const Bytes signedData = {0x30, 0x0F, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                            0x0D, 0x01, 0x07, 0x02, 0xA0, 0x02, 0x30, 0x00};
  for (LPCWSTR type : {u"RSA", u"SM2"}) {
    EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE_TYPE, Decrypt(ToBase64(signedData), type).hr);
    EXPECT_EQ(
        SIGIL_E_INVALID_ENVELOPE_TYPE,
        DecryptBySoftCert(Pki().sm2EncryptFile, agenttest::kPassword, ToBase64(signedData), type)
            .hr);
  }
  const Answer sm2 = EncryptByCert(Pki().sm2Encrypt, u"SM2", u"m", u"");
  ASSERT_EQ(S_OK, sm2.hr);
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE_TYPE, Decrypt(sm2.text, u"AES").hr);
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE_TYPE, Decrypt(sm2.text, u"SM2 ").hr);
}

TEST(MessageEncryptionTest, CspKeyDecryptionRefusesBrokenOrAmbiguousEnvelopes) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Encrypt);
  const std::u16string message = u"secret";
  const Answer envelope = EncryptByCert(Pki().sm2Encrypt, u"SM2", message, u"");
  ASSERT_EQ(S_OK, envelope.hr);
  ASSERT_EQ(S_OK, Decrypt(envelope.text, u"SM2").hr);
  const Sm2EnvelopeParts parts = Split(FromBase64(envelope.text));
  ASSERT_EQ(16u, parts.iv.size());

  // An encrypted key that is not DER leaves no session key, which the
  // content step then refuses as a bad argument.
  Sm2EnvelopeParts notDer = parts;
  std::fill(notDer.encryptedKey.begin(), notDer.encryptedKey.end(), BYTE{0xFF});
  EXPECT_EQ(E_INVALIDARG, Decrypt(Join(notDer), u"SM2").hr);
  // DER, but not the four fields of an SM2Cipher.
  Sm2EnvelopeParts notCipher = parts;
  notCipher.encryptedKey = {0x30, 0x03, 0x02, 0x01, 0x01};
  EXPECT_EQ(SIGIL_E_ASN1_DECODE, Decrypt(Join(notCipher), u"SM2").hr);
  // Content cut short of a whole block.
  Sm2EnvelopeParts cut = parts;
  cut.content.pop_back();
  EXPECT_EQ(kEncryptionFailed, Decrypt(Join(cut), u"SM2").hr);
  EXPECT_EQ(kEncryptionFailed,
            DecryptBySoftCert(Pki().sm2EncryptFile, agenttest::kPassword, Join(cut), u"SM2").hr);
  // Other algorithms than SM2 for the key and SM4-CBC for the content.
  Bytes otherKeyAlg = kOidSm2Encrypt;
  otherKeyAlg.back() = 0x01;
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE,
            Decrypt(WithBytesReplaced(envelope.text, kOidSm2Encrypt, otherKeyAlg), u"SM2").hr);
  Bytes otherContentAlg = kOidSm4Cbc;
  otherContentAlg.back() = 0x66;
  EXPECT_EQ(SIGIL_E_INVALID_ENVELOPE,
            Decrypt(WithBytesReplaced(envelope.text, kOidSm4Cbc, otherContentAlg), u"SM2").hr);

  // The recipient's certificate and key in a second container.
  auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
  ASSERT_TRUE(provider);
  ASSERT_EQ(S_OK, provider->PutKeyPair("sm2-encrypt-copy", AT_KEYEXCHANGE, Pki().sm2Encrypt.key(),
                                       Pki().sm2Encrypt.CertDer()));
  EXPECT_EQ(SIGIL_E_NO_AVAILABLE_CERT, Decrypt(envelope.text, u"SM2").hr);
  provider->DeleteContainer("sm2-encrypt-copy");
  // Without any container holding the recipient's key.
  provider->DeleteContainer("sm2-encrypt");
  EXPECT_EQ(SIGIL_E_NO_AVAILABLE_CERT, Decrypt(envelope.text, u"SM2").hr);
}

TEST(MessageEncryptionTest, SoftCertificatesNeedTheirPassword) {
  const Answer sm2 = EncryptByCert(Pki().sm2Encrypt, u"SM2", u"m", u"");
  ASSERT_EQ(S_OK, sm2.hr);
  EXPECT_EQ(SIGIL_E_DECRYPT_SM2_PFX,
            DecryptBySoftCert(Pki().sm2EncryptFile, u"654321", sm2.text, u"SM2").hr);
  const Answer rsa = EncryptByCert(Pki().rsaEncrypt, u"RSA", u"m", u"RC4");
  ASSERT_EQ(S_OK, rsa.hr);
  EXPECT_EQ(kWrongPkcs12Password,
            DecryptBySoftCert(Pki().rsaEncryptP12, u"654321", rsa.text, u"RSA").hr);
  // A PKCS#12 without the recipient's key.
  const Answer other = DecryptBySoftCert(Pki().rsaSignP12, agenttest::kPassword, rsa.text, u"RSA");
  EXPECT_TRUE(FAILED(other.hr));
}

TEST(MessageEncryptionTest, AnOpensslDes3EnvelopeOpensWithTheUsersStore) {
  agenttest::InstalledCertificates installed(agenttest::kRsaEncrypt);
  const std::string message = "from openssl: 数字信封";
  const std::u16string input = agenttest::WriteFile("openssl-message.txt", message);
  const std::u16string output = agenttest::NewPath("openssl-message.p7m");
  const testsupport::ProcessResult run = testsupport::RunProcess(
      {"/usr/bin/openssl", "cms", "-encrypt", "-des3", "-binary", "-outform", "DER", "-in",
       ToUtf8(input), "-out", ToUtf8(output), Pki().Pem("rsa-encrypt").string()});
  if (!run.started) GTEST_SKIP() << "openssl is not available";
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::string der = agenttest::ReadFile(output);
  const Answer opened = Decrypt(ToBase64(Bytes(der.begin(), der.end())), u"RSA");
  EXPECT_EQ(S_OK, opened.hr);
  EXPECT_EQ(FromUtf8(message), opened.text);
}

}  // namespace
