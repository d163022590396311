// The routines that reach an envelope recipient's key: algorithm names, the
// CSP-held SM2 certificate of a key identifier, and the session key that its
// container decrypts.
#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "AgentTestSupport.h"
#include "agent/AgentRoutines.h"
#include "platform/csp/CspProvider.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/cipher/DataEncryption.h"
#include "winsvc/UnregisteredCertificates.h"

namespace {

using agenttest::Bytes;
using agenttest::Pki;

struct RecordFree {
  void operator()(PUNREGISTERED_CERT_CONTEXT p) const { CertFreeUnregisteredCertContext(p); }
};
using UniqueRecord = std::unique_ptr<UNREGISTERED_CERT_CONTEXT, RecordFree>;

UniqueRecord RecordOf(const char16_t* container, DWORD keySpec = AT_KEYEXCHANGE) {
  PUNREGISTERED_CERT_CONTEXT record = nullptr;
  EXPECT_EQ(S_OK, GetUnregisteredCertfromContainer(SIGIL_SM2_PROV_W, container, keySpec, &record));
  return UniqueRecord(record);
}

Bytes SubjectKeyId(const testpki::Identity& id) {
  const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(id.cert());
  if (!skid) return {};
  return Bytes(skid->data, skid->data + skid->length);
}

// DER SM2Cipher of the key, encrypted to the identity's public key by the
// engine, which is independent of the CSP's own decryption.
Bytes SessionKeyCipher(const testpki::Identity& id, const Bytes& key) {
  const Bytes x = id.PublicX(), y = id.PublicY();
  unsigned char* raw = nullptr;
  int rawLength = 0;
  EXPECT_EQ(0, engine::SM2_Encrypt(key.data(), x.data(), 32, y.data(), 32, &raw, &rawLength));
  std::unique_ptr<unsigned char[]> rawOwned(raw);
  BYTE* der = nullptr;
  int derLength = 0;
  EXPECT_EQ(0, engine::Encode_SM2Cipher(raw, rawLength, &der, &derLength));
  std::unique_ptr<BYTE[]> derOwned(der);
  return Bytes(der, der + derLength);
}

HRESULT Decrypt(PUNREGISTERED_CERT_CONTEXT record, const Bytes& cipher, agent::SessionKey* key) {
  return agent::DecryptSessionKeyByUnregisteredCert(record, cipher.data(),
                                                    static_cast<DWORD>(cipher.size()), key);
}

TEST(RecipientKeysTest, AlgorithmNamesMapToContentCipherOidsWithoutRegardToCase) {
  EXPECT_STREQ("1.2.840.113549.3.4", agent::GetEncryptionAlgorithmOid(u"rc4"));
  EXPECT_STREQ("1.2.840.113549.3.4", agent::GetEncryptionAlgorithmOid(u"RC4"));
  EXPECT_STREQ("1.2.840.113549.3.7", agent::GetEncryptionAlgorithmOid(u"3des"));
  EXPECT_STREQ("1.2.840.113549.3.7", agent::GetEncryptionAlgorithmOid(u"3DeS"));
  for (LPCWSTR other : {u"AES", u"DES", u"RC4 ", u"", static_cast<LPCWSTR>(nullptr)})
    EXPECT_EQ(nullptr, agent::GetEncryptionAlgorithmOid(other));
}

TEST(RecipientKeysTest, TheContainerDecryptsTheSessionKeyOfAnSm2Cipher) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Encrypt);
  UniqueRecord record = RecordOf(u"sm2-encrypt");
  ASSERT_TRUE(record);
  const Bytes key = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                     0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  // The CSP only accepts x1 || y1 || C3 || C2: any other order fails its
  // hash check, so getting the key back shows the buffer was rearranged.
  agent::SessionKey sessionKey;
  ASSERT_EQ(S_OK, Decrypt(record.get(), SessionKeyCipher(Pki().sm2Encrypt, key), &sessionKey));
  ASSERT_TRUE(sessionKey);
  ASSERT_EQ(16u, sessionKey.get_deleter().dwSize);
  EXPECT_EQ(0, std::memcmp(key.data(), sessionKey.get(), key.size()));
}

TEST(RecipientKeysTest, FailuresLeaveNoSessionKeyBehind) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Encrypt | agenttest::kSm2Sign);
  UniqueRecord record = RecordOf(u"sm2-encrypt");
  ASSERT_TRUE(record);
  const Bytes key(16, 0x42);
  const auto stale = [] {
    agent::SessionKey k(new BYTE[16](), agent::SessionKeyDelete{16});
    return k;
  };

  // Not DER at all: the engine's generic failure comes back unchanged.
  agent::SessionKey sessionKey = stale();
  EXPECT_EQ(static_cast<HRESULT>(-1), Decrypt(record.get(), Bytes(112, 0x30), &sessionKey));
  EXPECT_FALSE(sessionKey);

  // DER, but a SEQUENCE of one INTEGER instead of four fields.
  sessionKey = stale();
  EXPECT_EQ(SIGIL_E_ASN1_DECODE,
            Decrypt(record.get(), Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, &sessionKey));
  EXPECT_FALSE(sessionKey);

  // Encrypted to another key: the CSP refuses it after the rearrangement.
  sessionKey = stale();
  EXPECT_EQ(NTE_BAD_DATA, Decrypt(record.get(), SessionKeyCipher(Pki().sm2Sign, key), &sessionKey));
  EXPECT_FALSE(sessionKey);

  // A record whose key pair is of the other kind.
  UniqueRecord signRecord = RecordOf(u"sm2-sign", AT_SIGNATURE);
  ASSERT_TRUE(signRecord);
  signRecord->dwKeySpec = AT_KEYEXCHANGE;
  sessionKey = stale();
  EXPECT_EQ(NTE_NO_KEY,
            Decrypt(signRecord.get(), SessionKeyCipher(Pki().sm2Sign, key), &sessionKey));
  EXPECT_FALSE(sessionKey);

  // A container that is gone.
  std::memcpy(signRecord->wszContainerName, u"missing", sizeof u"missing");
  sessionKey = stale();
  EXPECT_EQ(NTE_BAD_KEYSET,
            Decrypt(signRecord.get(), SessionKeyCipher(Pki().sm2Sign, key), &sessionKey));
  EXPECT_FALSE(sessionKey);
}

TEST(RecipientKeysTest, TheRecipientMustBeExactlyOneCspCertificateWithThatKeyId) {
  agenttest::InstalledCertificates installed(agenttest::kSm2Encrypt | agenttest::kSm2Sign);
  const Bytes skid = SubjectKeyId(Pki().sm2Encrypt);
  ASSERT_FALSE(skid.empty());

  PUNREGISTERED_CERT_CONTEXT found = nullptr;
  ASSERT_EQ(S_OK, agent::GetRecipientUnregisteredCert(skid.data(), static_cast<DWORD>(skid.size()),
                                                      &found));
  UniqueRecord owned(found);
  EXPECT_EQ(std::u16string(u"sm2-encrypt"), std::u16string(found->wszContainerName));
  EXPECT_EQ(std::u16string(SIGIL_SM2_PROV_W), std::u16string(found->wszCSPName));
  EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), found->dwKeySpec);

  // An identifier that no container holds.
  Bytes other = skid;
  other[0] ^= 0xFF;
  PUNREGISTERED_CERT_CONTEXT none = nullptr;
  EXPECT_EQ(SIGIL_E_NO_AVAILABLE_CERT, agent::GetRecipientUnregisteredCert(
                                           other.data(), static_cast<DWORD>(other.size()), &none));
  EXPECT_EQ(nullptr, none);

  // The same certificate and key in a second container: which one is meant
  // cannot be told, so neither is used.
  auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
  ASSERT_TRUE(provider);
  ASSERT_EQ(S_OK, provider->PutKeyPair("sm2-encrypt-copy", AT_KEYEXCHANGE, Pki().sm2Encrypt.key(),
                                       Pki().sm2Encrypt.CertDer()));
  PUNREGISTERED_CERT_CONTEXT ambiguous = nullptr;
  EXPECT_EQ(SIGIL_E_NO_AVAILABLE_CERT,
            agent::GetRecipientUnregisteredCert(skid.data(), static_cast<DWORD>(skid.size()),
                                                &ambiguous));
  EXPECT_EQ(nullptr, ambiguous);
  provider->DeleteContainer("sm2-encrypt-copy");
}

}  // namespace
