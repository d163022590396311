#include <gtest/gtest.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "EnvelopeTestSupport.h"
#include "platform/base/CryptErrors.h"
#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace {

using certtest::OwnedSet;
using envtest::Bytes;
using envtest::UniqueStore;
namespace fs = std::filesystem;

constexpr char kDes3[] = "1.2.840.113549.3.7";
constexpr char kRc4[] = "1.2.840.113549.3.4";
constexpr HRESULT kFileExists = MakeHResult(0x80070050u);

HRESULT EncryptData(const CERTIFICATE_SET& set, const Bytes& data, LPCSTR oid, Bytes* out) {
  BYTE* pby = nullptr;
  DWORD cb = 0;
  const HRESULT hr =
      EncryptDatatoEnvelope(set, data.data(), static_cast<DWORD>(data.size()), &pby, &cb, oid);
  if (pby != nullptr) out->assign(pby, pby + cb);
  delete[] pby;
  return hr;
}

HRESULT DecryptData(const CERTSTORE_SET& stores, const Bytes& envelope, Bytes* out) {
  BYTE* pby = nullptr;
  DWORD cb = 0;
  const HRESULT hr =
      DecryptEnvelopeData(&cb, stores, envelope.data(), static_cast<DWORD>(envelope.size()), &pby);
  if (pby != nullptr) out->assign(pby, pby + cb);
  delete[] pby;
  return hr;
}

HRESULT EncryptFile(const fs::path& in, const fs::path& out, const CERTIFICATE_SET& set,
                    LPCSTR oid) {
  return EncryptPlaintextFiletoEnvelopeFile(in.u16string().c_str(), out.u16string().c_str(), set,
                                            oid);
}

HRESULT DecryptFile(const fs::path& in, const fs::path& out, const CERTSTORE_SET& stores) {
  return DecryptEnvelopeFiletoPlaintextFile(in.u16string().c_str(), out.u16string().c_str(),
                                            stores);
}

class CryptoApiEnvelopeTest : public ::testing::Test {
 protected:
  fs::path dir = testsupport::MakeTempDir("envelopes");
  fs::path Path(const std::string& name) const { return dir / name; }
};

TEST_F(CryptoApiEnvelopeTest, MessagesOpenForEachRecipientWithEitherCipher) {
  UniqueStore alice = envtest::KeyedStore(envtest::Alice());
  UniqueStore bob = envtest::KeyedStore(envtest::Bob());
  ASSERT_TRUE(alice && bob);
  const Bytes data = envtest::Pattern(1000);
  for (LPCSTR oid : {kDes3, kRc4}) {
    OwnedSet one, two;
    envtest::AddRecipient(one, envtest::Alice());
    envtest::AddRecipient(two, envtest::Alice());
    envtest::AddRecipient(two, envtest::Bob());
    Bytes forOne, forTwo, opened;
    ASSERT_EQ(EncryptData(one.set, data, oid, &forOne), S_OK) << oid;
    ASSERT_EQ(EncryptData(two.set, data, oid, &forTwo), S_OK) << oid;
    EXPECT_EQ(DecryptData({alice.get()}, forOne, &opened), S_OK) << oid;
    EXPECT_EQ(opened, data) << oid;
    EXPECT_EQ(DecryptData({bob.get()}, forOne, &opened), CRYPT_E_NO_DECRYPT_CERT) << oid;
    for (HCERTSTORE store : {alice.get(), bob.get()}) {
      opened.clear();
      EXPECT_EQ(DecryptData({store}, forTwo, &opened), S_OK) << oid;
      EXPECT_EQ(opened, data) << oid;
    }
  }
}

TEST_F(CryptoApiEnvelopeTest, FilesRoundTripAtTheBlockEdges) {
  UniqueStore bob = envtest::KeyedStore(envtest::Bob());
  OwnedSet two;
  envtest::AddRecipient(two, envtest::Alice());
  envtest::AddRecipient(two, envtest::Bob());
  for (std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{0x400000}, std::size_t{0x400001}}) {
    for (LPCSTR oid : {kDes3, kRc4}) {
      const std::string tag = std::to_string(size) + oid;
      const Bytes data = envtest::Pattern(size, static_cast<std::uint32_t>(size));
      envtest::WriteAll(Path(tag + ".txt"), data);
      ASSERT_EQ(EncryptFile(Path(tag + ".txt"), Path(tag + ".p7e"), two.set, oid), S_OK) << tag;
      ASSERT_EQ(DecryptFile(Path(tag + ".p7e"), Path(tag + ".out"), {bob.get()}), S_OK) << tag;
      EXPECT_EQ(envtest::ReadAll(Path(tag + ".out")), data) << tag;
      // The streamed (BER) envelope is an ordinary envelope for whole messages too.
      Bytes opened;
      EXPECT_EQ(DecryptData({bob.get()}, envtest::ReadAll(Path(tag + ".p7e")), &opened), S_OK);
      EXPECT_EQ(opened, data) << tag;
    }
  }
}

TEST_F(CryptoApiEnvelopeTest, LaterRecipientInALaterStoreIsFound) {
  // The first store knows every recipient but holds no key; only Alice,
  // listed last, has her key, and only in the second store.
  UniqueStore bare = envtest::BareStore({&envtest::Carol(), &envtest::Bob(), &envtest::Alice()});
  UniqueStore alice = envtest::KeyedStore(envtest::Alice());
  OwnedSet three;
  envtest::AddRecipient(three, envtest::Carol());
  envtest::AddRecipient(three, envtest::Bob());
  envtest::AddRecipient(three, envtest::Alice());
  const Bytes data = envtest::Pattern(5000);
  Bytes envelope, opened;
  ASSERT_EQ(EncryptData(three.set, data, kDes3, &envelope), S_OK);
  EXPECT_EQ(DecryptData({bare.get(), alice.get()}, envelope, &opened), S_OK);
  EXPECT_EQ(opened, data);

  envtest::WriteAll(Path("plain"), data);
  ASSERT_EQ(EncryptFile(Path("plain"), Path("env"), three.set, kDes3), S_OK);
  ASSERT_EQ(DecryptFile(Path("env"), Path("out"), {bare.get(), alice.get()}), S_OK);
  EXPECT_EQ(envtest::ReadAll(Path("out")), data);

  // Nobody's key at all: the platform's code for messages, the same for files, no file left.
  EXPECT_EQ(DecryptData({bare.get()}, envelope, &opened), CRYPT_E_NO_DECRYPT_CERT);
  EXPECT_EQ(DecryptFile(Path("env"), Path("none"), {bare.get()}), CRYPT_E_NO_DECRYPT_CERT);
  EXPECT_FALSE(fs::exists(Path("none")));
}

TEST_F(CryptoApiEnvelopeTest, RefusalsComeBeforeAnyFileAndLeaveNothing) {
  envtest::WriteAll(Path("plain"), envtest::Pattern(100));
  OwnedSet withoutKeyId;
  envtest::AddRecipient(withoutKeyId, envtest::Alice());
  envtest::AddRecipient(withoutKeyId, envtest::NoSkid());
  Bytes envelope;
  EXPECT_EQ(EncryptData(withoutKeyId.set, {1, 2, 3}, kDes3, &envelope), SIGIL_E_NO_SUBJECT_KEY_ID);
  EXPECT_EQ(EncryptFile(Path("plain"), Path("env"), withoutKeyId.set, kDes3),
            SIGIL_E_NO_SUBJECT_KEY_ID);
  EXPECT_FALSE(fs::exists(Path("env")));
  PCMSG_RECIPIENT_ENCODE_INFO pInfo = nullptr;
  EXPECT_EQ(GetCMSRecipientsInfo(&pInfo, withoutKeyId.set[1]), SIGIL_E_NO_SUBJECT_KEY_ID);
  EXPECT_EQ(pInfo, nullptr);

  // RC2 is not one of ours: the platform refuses, after the file was made.
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  const HRESULT hrData = EncryptData(alice.set, {1, 2, 3}, "1.2.840.113549.3.2", &envelope);
  const HRESULT hrFile = EncryptFile(Path("plain"), Path("env"), alice.set, "1.2.840.113549.3.2");
  EXPECT_EQ(hrData, CRYPT_E_UNKNOWN_ALGO);
  EXPECT_EQ(hrFile, hrData);
  EXPECT_FALSE(fs::exists(Path("env")));
  // The match is exact.
  EXPECT_TRUE(FAILED(EncryptFile(Path("plain"), Path("env"), alice.set, "1.2.840.113549.3.7 ")));
  EXPECT_FALSE(fs::exists(Path("env")));
}

TEST_F(CryptoApiEnvelopeTest, ExistingOutputFilesAreNeverTouched) {
  UniqueStore store = envtest::KeyedStore(envtest::Alice());
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  const Bytes keep = {'k', 'e', 'e', 'p'};
  envtest::WriteAll(Path("plain"), envtest::Pattern(10));
  envtest::WriteAll(Path("taken"), keep);
  EXPECT_EQ(EncryptFile(Path("plain"), Path("taken"), alice.set, kDes3), kFileExists);
  EXPECT_EQ(envtest::ReadAll(Path("taken")), keep);
  ASSERT_EQ(EncryptFile(Path("plain"), Path("env"), alice.set, kDes3), S_OK);
  EXPECT_EQ(DecryptFile(Path("env"), Path("taken"), {store.get()}), kFileExists);
  EXPECT_EQ(envtest::ReadAll(Path("taken")), keep);
}

TEST_F(CryptoApiEnvelopeTest, DamagedEnvelopesFailAlikeAndLeaveNoPlaintext) {
  UniqueStore store = envtest::KeyedStore(envtest::Alice());
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  const Bytes data = envtest::Pattern(0x2000);
  Bytes envelope, opened;
  ASSERT_EQ(EncryptData(alice.set, data, kDes3, &envelope), S_OK);

  // Cut inside the recipient list, and inside the content.
  for (std::size_t keep : {std::size_t{60}, envelope.size() / 2, envelope.size() - 1}) {
    envtest::WriteAll(Path("cut"), Bytes(envelope.begin(), envelope.begin() + keep));
    fs::remove(Path("out"));
    const HRESULT hr = DecryptFile(Path("cut"), Path("out"), {store.get()});
    EXPECT_TRUE(FAILED(hr)) << keep;
    // Before the recipient list is complete: never ready, or the final update says so.
    if (keep == 60) {
      EXPECT_TRUE(hr == CRYPT_E_STREAM_MSG_NOT_READY || hr == CRYPT_E_STREAM_INSUFFICIENT_DATA)
          << std::hex << hr;
    }
    EXPECT_FALSE(fs::exists(Path("out"))) << keep;
  }

  // A damaged encrypted key and a damaged last content block must not be
  // told apart by the result. Either may pass by chance (a random last
  // block with valid padding), so several of each are tried.
  const BYTE keyHeader[] = {0x04, 0x82, 0x01, 0x00};  // the 256-byte encrypted key
  const auto at =
      std::search(envelope.begin(), envelope.end(), std::begin(keyHeader), std::end(keyHeader));
  ASSERT_NE(at, envelope.end());
  const std::size_t keyOffset = static_cast<std::size_t>(at - envelope.begin()) + 4;
  std::set<HRESULT> dataCodes, fileCodes;
  for (bool damageKey : {true, false}) {
    int failures = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      Bytes damaged = envelope;
      damaged[damageKey ? keyOffset + 40 + i : damaged.size() - 1 - i] ^= 0x5A;
      opened.clear();
      const HRESULT hrData = DecryptData({store.get()}, damaged, &opened);
      envtest::WriteAll(Path("damaged"), damaged);
      fs::remove(Path("out"));
      const HRESULT hrFile = DecryptFile(Path("damaged"), Path("out"), {store.get()});
      if (FAILED(hrData)) {
        dataCodes.insert(hrData);
        ++failures;
      }
      if (FAILED(hrFile)) {
        fileCodes.insert(hrFile);
        EXPECT_FALSE(fs::exists(Path("out")));
      }
      if (SUCCEEDED(hrData)) {
        EXPECT_NE(opened, data);
      }
    }
    EXPECT_GT(failures, 0) << (damageKey ? "key" : "content");
  }
  EXPECT_EQ(dataCodes.size(), 1u) << std::hex << *dataCodes.begin() << " " << *dataCodes.rbegin();
  EXPECT_EQ(fileCodes.size(), 1u) << std::hex << *fileCodes.begin() << " " << *fileCodes.rbegin();
}

TEST_F(CryptoApiEnvelopeTest, OpenSslOpensOursAndWeOpenOpenSsls) {
  UniqueStore store = envtest::KeyedStore(envtest::Alice());
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  envtest::WritePem(dir, envtest::Alice());
  const Bytes data = envtest::Pattern(0x500003);
  envtest::WriteAll(Path("plain"), data);
  const std::string pem = Path("cert.pem").string(), key = Path("key.pem").string();

  ASSERT_EQ(EncryptFile(Path("plain"), Path("ours.p7e"), alice.set, kDes3), S_OK);
  auto run = testsupport::RunProcess({"/usr/bin/openssl", "cms", "-decrypt", "-inform", "DER",
                                      "-binary", "-in", Path("ours.p7e").string(), "-out",
                                      Path("ours.out").string(), "-recip", pem, "-inkey", key});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(envtest::ReadAll(Path("ours.out")), data);

  // Definite DER and streamed BER, recipient named by key id or by issuer and serial.
  for (bool stream : {false, true}) {
    for (bool keyId : {true, false}) {
      const std::string tag = std::string(stream ? "stream" : "der") + (keyId ? "-keyid" : "-isn");
      std::vector<std::string> argv = {"/usr/bin/openssl",
                                       "cms",
                                       "-encrypt",
                                       "-binary",
                                       "-des3",
                                       "-outform",
                                       "DER",
                                       "-in",
                                       Path("plain").string(),
                                       "-out",
                                       Path(tag).string()};
      if (stream) argv.push_back("-stream");
      if (keyId) argv.push_back("-keyid");
      argv.push_back(pem);
      run = testsupport::RunProcess(argv);
      ASSERT_EQ(run.exitCode, 0) << run.output;
      ASSERT_EQ(DecryptFile(Path(tag), Path(tag + ".out"), {store.get()}), S_OK) << tag;
      EXPECT_EQ(envtest::ReadAll(Path(tag + ".out")), data) << tag;
      Bytes opened;
      EXPECT_EQ(DecryptData({store.get()}, envtest::ReadAll(Path(tag)), &opened), S_OK) << tag;
      EXPECT_EQ(opened, data) << tag;
    }
  }
}

// Cuts the plaintext file short while its first block is being enveloped.
struct Shrinker {
  std::string path;
  bool done = false;
  static BOOL Output(const void* pv, BYTE*, DWORD cb, BOOL) {
    auto* self = const_cast<Shrinker*>(static_cast<const Shrinker*>(pv));
    if (!self->done && cb > 0) {
      self->done = true;
      fs::resize_file(self->path, 0x400000);
    }
    return TRUE;
  }
};

TEST_F(CryptoApiEnvelopeTest, AFileThatShrinksWhileReadEndsTheRead) {
  envtest::WriteAll(Path("plain"), envtest::Pattern(0x800001));
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  PCMSG_RECIPIENT_ENCODE_INFO pInfo = nullptr;
  ASSERT_EQ(GetCMSRecipientsInfo(&pInfo, alice.set[0]), S_OK);
  CMSG_ENVELOPED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(kDes3);
  info.cRecipients = 1;
  info.rgCmsRecipients = pInfo;
  Shrinker shrinker{Path("plain").string()};
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Shrinker::Output, &shrinker};
  HCRYPTMSG hMsg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED,
                                        &info, nullptr, &stream);
  ASSERT_NE(hMsg, nullptr);
  EXPECT_EQ(ProcessPlaintextFile(hMsg, Path("plain").u16string().c_str()),
            HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
  EXPECT_TRUE(shrinker.done);
  CryptMsgClose(hMsg);
  RelaseCMSRecipientInfo(pInfo);
}

TEST_F(CryptoApiEnvelopeTest, InputFileReadsBlocksOnlyUpToItsSizeAtOpening) {
  StepTrace trace(kTraceGuidWinsvc, u"CryptoApiEnvelopesTest", u"InputFile");
  InputFile missing;
  EXPECT_EQ(missing.Open(trace, u"CreateFile", Path("none").u16string().c_str()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  const Bytes data = envtest::Pattern(ENVELOPE_FILE_BLOCK + 5);
  envtest::WriteAll(Path("in"), data);
  InputFile file;
  ASSERT_EQ(file.Open(trace, u"CreateFile", Path("in").u16string().c_str()), S_OK);
  EXPECT_EQ(file.Size(), data.size());
  // Bytes added after the opening are not part of the file as read.
  fs::resize_file(Path("in"), data.size() + 100);
  Bytes block(ENVELOPE_FILE_BLOCK), read;
  std::vector<DWORD> sizes;
  while (!file.AtEnd()) {
    DWORD cbRead = 0;
    ASSERT_EQ(file.ReadBlock(trace, block.data(), &cbRead), S_OK);
    sizes.push_back(cbRead);
    read.insert(read.end(), block.begin(), block.begin() + cbRead);
  }
  EXPECT_EQ(sizes, (std::vector<DWORD>{ENVELOPE_FILE_BLOCK, 5}));
  EXPECT_EQ(read, data);

  // A file cut short after the opening ends the read instead of looping.
  InputFile shrunk;
  ASSERT_EQ(shrunk.Open(trace, u"CreateFile", Path("in").u16string().c_str()), S_OK);
  fs::resize_file(Path("in"), 0);
  DWORD cbRead = 0;
  EXPECT_EQ(shrunk.ReadBlock(trace, block.data(), &cbRead), HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
  EXPECT_FALSE(shrunk.AtEnd());

  envtest::WriteAll(Path("empty"), {});
  InputFile empty;
  ASSERT_EQ(empty.Open(trace, u"CreateFile", Path("empty").u16string().c_str()), S_OK);
  EXPECT_TRUE(empty.AtEnd());
}

TEST_F(CryptoApiEnvelopeTest, RecipientDescriptionAndStreamOutput) {
  OwnedSet alice;
  envtest::AddRecipient(alice, envtest::Alice());
  PCMSG_RECIPIENT_ENCODE_INFO pInfo = nullptr;
  ASSERT_EQ(GetCMSRecipientsInfo(&pInfo, alice.set[0]), S_OK);
  ASSERT_EQ(pInfo->dwRecipientChoice, CMSG_KEY_TRANS_RECIPIENT);
  const CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& kt = *pInfo->pKeyTrans;
  const CRYPT_BIT_BLOB& key = alice.set[0]->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  EXPECT_STREQ(kt.KeyEncryptionAlgorithm.pszObjId, "1.2.840.113549.1.1.1");
  ASSERT_EQ(kt.RecipientPublicKey.cbData, key.cbData);
  EXPECT_NE(kt.RecipientPublicKey.pbData, key.pbData) << "a copy of its own";
  EXPECT_EQ(0, std::memcmp(kt.RecipientPublicKey.pbData, key.pbData, key.cbData));
  ASSERT_EQ(kt.RecipientId.dwIdChoice, CERT_ID_KEY_IDENTIFIER);
  const Bytes skid(kt.RecipientId.KeyId.pbData,
                   kt.RecipientId.KeyId.pbData + kt.RecipientId.KeyId.cbData);
  const ASN1_OCTET_STRING* expected = X509_get0_subject_key_id(envtest::Alice().cert());
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(skid, Bytes(expected->data, expected->data + expected->length));
  RelaseCMSRecipientInfo(pInfo);

  // Output goes only to a handle that takes it.
  BYTE bytes[3] = {1, 2, 3};
  EXPECT_FALSE(CmsgStreamOutputCallback(nullptr, bytes, 3, FALSE));
  envtest::WriteAll(Path("ro"), {});
  UniqueHandle readOnly(CreateFileW(Path("ro").u16string().c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(CmsgStreamOutputCallback(readOnly.get(), bytes, 0, TRUE));
  EXPECT_FALSE(CmsgStreamOutputCallback(readOnly.get(), bytes, 3, FALSE));
}

}  // namespace
