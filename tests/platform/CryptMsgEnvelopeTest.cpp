// EnvelopedData made and opened whole and streamed: round trips, the
// header parameters, corrupted and truncated messages.
#include "CryptMsgEnvelopeTestSupport.h"

using namespace envtest;
using csptest::Rsa;

namespace {

Bytes Pattern(std::size_t size, unsigned seed = 1) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<BYTE>((i * 131 + seed * 7) >> 1);
  return out;
}

// The length a definite outer header declares, header included.
std::size_t DeclaredSize(const Bytes& der) {
  if (der.size() < 2 || der[0] != 0x30 || der[1] == 0x80) return 0;
  if (der[1] < 0x80) return 2 + der[1];
  const std::size_t octets = der[1] & 0x7F;
  std::size_t length = 0;
  for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | der[2 + i];
  return 2 + octets + length;
}

Bytes KeyIdOf(const testpki::Identity& id) {
  UniqueCert cert = CertOf(id);
  Bytes keyId(64);
  DWORD size = static_cast<DWORD>(keyId.size());
  EXPECT_TRUE(CertGetCertificateContextProperty(cert.get(), CERT_KEY_IDENTIFIER_PROP_ID,
                                                keyId.data(), &size));
  keyId.resize(size);
  return keyId;
}

Bytes Blob(const CRYPT_INTEGER_BLOB& blob) { return Bytes(blob.pbData, blob.pbData + blob.cbData); }

TEST(CryptMsgEnvelope, WholeMessagesRoundTripForEveryCipherRecipientKindAndLength) {
  KeyHolder holder(Rsa(0));
  const Bytes certDer = Rsa(0).CertDer();
  for (const char* algorithm : {szOID_RSA_DES_EDE3_CBC, szOID_RSA_RC4}) {
    for (DWORD flags : {0u, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG}) {
      for (std::size_t size : {0u, 1u, 7u, 8u, 9u, 100u * 1024u}) {
        SCOPED_TRACE(std::string(algorithm) + " flags " + std::to_string(flags) + " size " +
                     std::to_string(size));
        const Bytes content = Pattern(size);
        auto blob = Encrypt(content, algorithm, {&Rsa(0)}, flags);
        ASSERT_TRUE(blob) << std::hex << GetLastError();
        EXPECT_EQ(blob->size(), DeclaredSize(*blob));  // definite DER, nothing after it
        const bool padded = algorithm == std::string(szOID_RSA_DES_EDE3_CBC);
        if (size >= 1024) {  // the content is there, but not in the clear
          EXPECT_EQ(blob->end(),
                    std::search(blob->begin(), blob->end(), content.begin(), content.begin() + 64));
        }
        Opened opened = Decrypt(*blob, {holder.store()});
        ASSERT_TRUE(opened.ok) << std::hex << opened.error;
        EXPECT_EQ(content, opened.content);
        EXPECT_EQ(certDer, opened.recipientCert);
        // The encrypted content is the last element: its length follows the padding rule.
        const std::size_t cipherLength = padded ? (size / 8 + 1) * 8 : size;
        EXPECT_GT(blob->size(), cipherLength);
      }
    }
  }
}

TEST(CryptMsgEnvelope, AnyRecipientOpensAndStoresAreSearchedInOrder) {
  KeyHolder a(Rsa(0)), b(Rsa(1));
  KeyHolder aWithoutKey(Rsa(0), false);
  UniqueStore empty(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  const Bytes content = Pattern(1000);
  for (DWORD flags : {0u, CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG}) {
    auto blob = Encrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0), &Rsa(1)}, flags);
    ASSERT_TRUE(blob);
    for (auto stores : std::vector<std::vector<HCERTSTORE>>{{a.store()},
                                                            {b.store()},
                                                            {empty.get(), b.store()},
                                                            {aWithoutKey.store(), b.store()}}) {
      Opened opened = Decrypt(*blob, stores);
      ASSERT_TRUE(opened.ok) << std::hex << opened.error;
      EXPECT_EQ(content, opened.content);
    }
    // The first recipient's certificate is found, but without its key the second one opens.
    EXPECT_EQ(Rsa(1).CertDer(), Decrypt(*blob, {aWithoutKey.store(), b.store()}).recipientCert);
    EXPECT_EQ(CRYPT_E_NO_DECRYPT_CERT, Decrypt(*blob, {aWithoutKey.store(), empty.get()}).error);
    EXPECT_EQ(CRYPT_E_NO_DECRYPT_CERT, Decrypt(*blob, {}).error);
  }
  auto onlyB = Encrypt(content, szOID_RSA_RC4, {&Rsa(1)});
  ASSERT_TRUE(onlyB);
  EXPECT_EQ(CRYPT_E_NO_DECRYPT_CERT, Decrypt(*onlyB, {a.store()}).error);
}

TEST(CryptMsgEnvelope, RefusesAlgorithmsAndArgumentsItDoesNotOffer) {
  EXPECT_FALSE(Encrypt(Pattern(10), kAes128, {&Rsa(0)}));
  EXPECT_EQ(CRYPT_E_UNKNOWN_ALGO, LastHr());
  EXPECT_FALSE(Encrypt(Pattern(10), "1.2.840.113549.3.2", {&Rsa(0)}));  // RC2
  EXPECT_EQ(CRYPT_E_UNKNOWN_ALGO, LastHr());
  // An SM2 certificate has no RSA key to carry the session key.
  EXPECT_FALSE(Encrypt(Pattern(10), szOID_RSA_DES_EDE3_CBC, {&csptest::Sm2(0)}));
  EXPECT_EQ(NTE_BAD_PUBLIC_KEY, LastHr());
}

TEST(CryptMsgEnvelope, StreamedEncodingsOpenWithUpdatesOfAnySize) {
  KeyHolder holder(Rsa(1));
  const Bytes content = Pattern(20000, 3);
  const std::vector<std::size_t> oddSizes = {1000, 1, 4097, 0, 7, 8};
  struct Form {
    const char* what;
    const char* algorithm;
    bool keyId;
    std::optional<DWORD> definite;
  };
  for (const Form& form :
       {Form{"indefinite 3DES key id", szOID_RSA_DES_EDE3_CBC, true, {}},
        Form{"definite 3DES issuer", szOID_RSA_DES_EDE3_CBC, false,
             static_cast<DWORD>(content.size())},
        Form{"indefinite RC4 issuer", szOID_RSA_RC4, false, {}},
        Form{"definite RC4 key id", szOID_RSA_RC4, true, static_cast<DWORD>(content.size())}}) {
    SCOPED_TRACE(form.what);
    const Bytes blob = StreamEncrypt(content, form.algorithm, {&Rsa(0), &Rsa(1)}, form.keyId,
                                     form.definite, oddSizes);
    ASSERT_GT(blob.size(), content.size());
    if (form.definite) {
      EXPECT_EQ(blob.size(), DeclaredSize(blob));
    } else {
      EXPECT_EQ((Bytes{0x30, 0x80}), Bytes(blob.begin(), blob.begin() + 2));
      EXPECT_EQ(Bytes(10, 0), Bytes(blob.end() - 10, blob.end()));
    }
    // Whole-message decryption takes both forms too.
    Opened whole = Decrypt(blob, {holder.store()});
    ASSERT_TRUE(whole.ok) << std::hex << whole.error;
    EXPECT_EQ(content, whole.content);
    for (std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, blob.size()}) {
      SCOPED_TRACE(size);
      Streamed opened = StreamDecrypt(blob, {size}, holder.Provider(), 1);
      ASSERT_EQ(S_OK, opened.error) << std::hex << opened.error;
      EXPECT_EQ(content, opened.out.bytes);
      EXPECT_EQ(1, opened.out.finals);
      EXPECT_TRUE(opened.out.finalLast);
      if (size < blob.size()) {
        EXPECT_TRUE(opened.decryptedEarly);
      }
    }
  }
}

TEST(CryptMsgEnvelope, LargeStreamedRoundTripComesOutPieceByPiece) {
  KeyHolder holder(Rsa(0));
  const std::size_t kBlock = 4u << 20;
  const Bytes content = Pattern(9u << 20, 5);
  const Bytes blob = StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)}, true, {}, {kBlock});
  Streamed opened = StreamDecrypt(blob, {kBlock}, holder.Provider());
  ASSERT_EQ(S_OK, opened.error) << std::hex << opened.error;
  EXPECT_TRUE(opened.out.bytes == content);
  // Output follows the input: no piece is much larger than one update.
  EXPECT_GE(opened.out.pieces.size(), 3u);
  for (std::size_t piece : opened.out.pieces) EXPECT_LE(piece, kBlock);
}

// Both corruptions must look the same to whoever sends the message: a
// content that does not decrypt, reported at the end.
TEST(CryptMsgEnvelope, CorruptedKeyAndCorruptedContentFailAlike) {
  KeyHolder holder(Rsa(0));
  const Bytes content = Pattern(5000);
  const BYTE pad = static_cast<BYTE>(8 - content.size() % 8);

  auto blob = Encrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)});
  ASSERT_TRUE(blob);
  // Turns the last padding octet into 0 through the block before it.
  Bytes badContent = *blob;
  badContent[badContent.size() - 9] ^= pad;
  EXPECT_EQ(NTE_BAD_DATA, Decrypt(badContent, {holder.store()}).error);
  Streamed streamed = StreamDecrypt(badContent, {700}, holder.Provider());
  EXPECT_EQ(NTE_BAD_DATA, streamed.error);
  EXPECT_TRUE(streamed.decryptedEarly);
  EXPECT_EQ(0, streamed.out.finals);
  EXPECT_LE(streamed.out.bytes.size(), content.size() - content.size() % 8);

  // A random key decrypts to a well-padded last block about once in 256
  // tries, so several messages are tried; none may give the content back.
  int failures = 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto fresh = Encrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)});
    ASSERT_TRUE(fresh);
    UniqueMsg msg(
        CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, 0, nullptr, nullptr));
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), fresh->data(), static_cast<DWORD>(fresh->size()), TRUE));
    DWORD size = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, 0, nullptr, &size));
    std::vector<std::uint64_t> storage(size / 8 + 1);
    ASSERT_TRUE(
        CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, 0, storage.data(), &size));
    const auto* info = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(storage.data());
    const Bytes key = Blob(info->pKeyTrans->EncryptedKey);
    auto at = std::search(fresh->begin(), fresh->end(), key.begin(), key.end());
    ASSERT_NE(fresh->end(), at);
    Bytes badKey = *fresh;
    badKey[at - fresh->begin() + 40] ^= 0x5A;

    Opened opened = Decrypt(badKey, {holder.store()});
    Streamed streamedKey = StreamDecrypt(badKey, {700}, holder.Provider());
    // The key transport itself is accepted: nothing tells a bad key apart early.
    EXPECT_TRUE(streamedKey.decryptedEarly);
    // Each decryption draws its own substitute key, so the two outcomes
    // are independent of each other.
    if (!opened.ok) {
      ++failures;
      EXPECT_EQ(NTE_BAD_DATA, opened.error);
    } else {
      EXPECT_NE(content, opened.content);
    }
    if (streamedKey.error != S_OK) {
      ++failures;
      EXPECT_EQ(NTE_BAD_DATA, streamedKey.error);
    } else {
      EXPECT_NE(content, streamedKey.out.bytes);
    }
  }
  EXPECT_GE(failures, 1);
}

TEST(CryptMsgEnvelope, TruncatedMessagesNeverSucceed) {
  KeyHolder holder(Rsa(0));
  const Bytes content = Pattern(3000);
  auto der = Encrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)});
  ASSERT_TRUE(der);
  const Bytes ber = StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)}, true, {}, {1000});
  for (const Bytes* whole : {static_cast<const Bytes*>(&*der), &ber}) {
    for (std::size_t cut :
         {std::size_t{1}, std::size_t{2}, std::size_t{9}, whole->size() / 2, whole->size() - 20}) {
      SCOPED_TRACE(cut);
      const Bytes part(whole->begin(), whole->end() - static_cast<std::ptrdiff_t>(cut));
      Opened opened = Decrypt(part, {holder.store()});
      EXPECT_FALSE(opened.ok);
      EXPECT_EQ(CRYPT_E_STREAM_INSUFFICIENT_DATA, opened.error);
      Streamed streamed = StreamDecrypt(part, {333}, holder.Provider());
      EXPECT_EQ(CRYPT_E_STREAM_INSUFFICIENT_DATA, streamed.error);
      EXPECT_EQ(0, streamed.out.finals);
    }
  }
  // Bytes after the message are refused too.
  Bytes longer = *der;
  longer.push_back(0);
  EXPECT_FALSE(Decrypt(longer, {holder.store()}).ok);
}

TEST(CryptMsgEnvelope, HeaderOverOneMebibyteIsRefusedBeforeItEnds) {
  // originatorInfo of 2 MiB, announced but never read whole.
  Bytes start = {0x30, 0x80, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03,
                 0xA0, 0x80, 0x30, 0x80, 0x02, 0x01, 0x00, 0xA0, 0x83, 0x20, 0x00, 0x00};
  Collector out;
  CMSG_STREAM_INFO stream = out.Info();
  UniqueMsg msg(CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream));
  ASSERT_TRUE(CryptMsgUpdate(msg.get(), start.data(), static_cast<DWORD>(start.size()), FALSE));
  const Bytes filler(64 * 1024, 0x41);
  int accepted = 0;
  while (CryptMsgUpdate(msg.get(), filler.data(), static_cast<DWORD>(filler.size()), FALSE))
    ASSERT_LT(++accepted, 32);
  EXPECT_EQ(CRYPT_E_ASN1_LARGE, LastHr());
  EXPECT_EQ(15, accepted);
}

TEST(CryptMsgEnvelope, HeaderParametersWaitForTheHeaderThenDescribeIt) {
  KeyHolder holder(Rsa(0));
  const Bytes content = Pattern(100);
  const Bytes blob =
      StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0), &Rsa(1)}, true, {}, {64});
  auto issuerBlob = Encrypt(content, szOID_RSA_RC4, {&Rsa(1)});
  ASSERT_TRUE(issuerBlob);

  Collector out;
  CMSG_STREAM_INFO stream = out.Info();
  UniqueMsg msg(CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream));
  ASSERT_TRUE(CryptMsgUpdate(msg.get(), blob.data(), 40, FALSE));
  DWORD size = 0;
  for (DWORD param :
       {CMSG_ENVELOPE_ALGORITHM_PARAM, CMSG_RECIPIENT_COUNT_PARAM, CMSG_CMS_RECIPIENT_INFO_PARAM}) {
    EXPECT_FALSE(CryptMsgGetParam(msg.get(), param, 0, nullptr, &size));
    EXPECT_EQ(CRYPT_E_STREAM_MSG_NOT_READY, LastHr());
  }
  CMSG_CTRL_DECRYPT_PARA para{sizeof para, holder.Provider(), AT_KEYEXCHANGE, 0};
  EXPECT_FALSE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para));
  EXPECT_EQ(CRYPT_E_STREAM_MSG_NOT_READY, LastHr());

  // The rest of the header and part of the content.
  ASSERT_TRUE(
      CryptMsgUpdate(msg.get(), blob.data() + 40, static_cast<DWORD>(blob.size() - 60), FALSE));
  std::vector<std::uint64_t> storage(256);
  size = static_cast<DWORD>(storage.size() * 8);
  ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_ENVELOPE_ALGORITHM_PARAM, 0, storage.data(), &size));
  const auto* algorithm = reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(storage.data());
  EXPECT_STREQ(szOID_RSA_DES_EDE3_CBC, algorithm->pszObjId);
  ASSERT_EQ(10u, algorithm->Parameters.cbData);  // OCTET STRING of an 8-octet IV
  EXPECT_EQ(0x04, algorithm->Parameters.pbData[0]);
  EXPECT_EQ(0x08, algorithm->Parameters.pbData[1]);

  DWORD count = 0;
  size = sizeof count;
  ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &size));
  EXPECT_EQ(2u, count);
  std::vector<Bytes> keyIds;
  for (DWORD i = 0; i < count; ++i) {
    size = 0;
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, i, nullptr, &size));
    std::vector<std::uint64_t> info(size / 8 + 1);
    DWORD small = size - 1;
    EXPECT_FALSE(
        CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, i, info.data(), &small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, i, info.data(), &size));
    const auto* recipient = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(info.data());
    ASSERT_EQ(CMSG_KEY_TRANS_RECIPIENT, recipient->dwRecipientChoice);
    EXPECT_EQ(2u, recipient->pKeyTrans->dwVersion);
    EXPECT_STREQ(szOID_RSA_RSA, recipient->pKeyTrans->KeyEncryptionAlgorithm.pszObjId);
    EXPECT_EQ(256u, recipient->pKeyTrans->EncryptedKey.cbData);
    ASSERT_EQ(CERT_ID_KEY_IDENTIFIER, recipient->pKeyTrans->RecipientId.dwIdChoice);
    keyIds.push_back(Blob(recipient->pKeyTrans->RecipientId.KeyId));
  }
  std::sort(keyIds.begin(), keyIds.end());
  std::vector<Bytes> expected = {KeyIdOf(Rsa(0)), KeyIdOf(Rsa(1))};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, keyIds);
  size = 0;
  EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, 2, nullptr, &size));
  EXPECT_EQ(CRYPT_E_INVALID_INDEX, LastHr());

  // Decrypt for whichever recipient is ours; the content held so far comes out.
  DWORD ours = 0;
  for (DWORD i = 0; i < count; ++i) {
    size = static_cast<DWORD>(storage.size() * 8);
    ASSERT_TRUE(
        CryptMsgGetParam(msg.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, i, storage.data(), &size));
    const auto* r = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(storage.data());
    if (Blob(r->pKeyTrans->RecipientId.KeyId) == KeyIdOf(Rsa(0))) ours = i;
  }
  para.dwRecipientIndex = 5;
  EXPECT_FALSE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para));
  EXPECT_EQ(CRYPT_E_INVALID_INDEX, LastHr());
  para.dwRecipientIndex = ours;
  ASSERT_TRUE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para))
      << std::hex << GetLastError();
  EXPECT_FALSE(out.bytes.empty());
  EXPECT_EQ(0, out.finals);
  EXPECT_FALSE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para));
  EXPECT_EQ(CRYPT_E_ALREADY_DECRYPTED, LastHr());
  ASSERT_TRUE(CryptMsgUpdate(msg.get(), blob.data() + blob.size() - 20, 20, TRUE));
  EXPECT_EQ(content, out.bytes);
  EXPECT_EQ(1, out.finals);

  // Issuer and serial number recipients: the issuer's DER, the serial least significant first.
  UniqueMsg whole(
      CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, 0, nullptr, nullptr));
  ASSERT_TRUE(CryptMsgUpdate(whole.get(), issuerBlob->data(),
                             static_cast<DWORD>(issuerBlob->size()), TRUE));
  size = static_cast<DWORD>(storage.size() * 8);
  ASSERT_TRUE(
      CryptMsgGetParam(whole.get(), CMSG_CMS_RECIPIENT_INFO_PARAM, 0, storage.data(), &size));
  const auto* recipient = reinterpret_cast<const CMSG_CMS_RECIPIENT_INFO*>(storage.data());
  EXPECT_EQ(0u, recipient->pKeyTrans->dwVersion);
  ASSERT_EQ(CERT_ID_ISSUER_SERIAL_NUMBER, recipient->pKeyTrans->RecipientId.dwIdChoice);
  UniqueCert cert = CertOf(Rsa(1));
  EXPECT_EQ(Blob(cert->pCertInfo->Issuer),
            Blob(recipient->pKeyTrans->RecipientId.IssuerSerialNumber.Issuer));
  EXPECT_EQ(Blob(cert->pCertInfo->SerialNumber),
            Blob(recipient->pKeyTrans->RecipientId.IssuerSerialNumber.SerialNumber));
  size = 0;
  EXPECT_FALSE(CryptMsgGetParam(whole.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size));
  EXPECT_EQ(CRYPT_E_NOT_DECRYPTED, LastHr());
  size = static_cast<DWORD>(storage.size() * 8);
  ASSERT_TRUE(
      CryptMsgGetParam(whole.get(), CMSG_ENVELOPE_ALGORITHM_PARAM, 0, storage.data(), &size));
  algorithm = reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(storage.data());
  EXPECT_STREQ(szOID_RSA_RC4, algorithm->pszObjId);
  // An empty OCTET STRING, as OpenSSL writes it and reads it (not NULL).
  EXPECT_EQ((Bytes{0x04, 0x00}), Blob(algorithm->Parameters));
}

TEST(CryptMsgEnvelope, NestedAndEmptyContentPiecesDecodeAlike) {
  KeyHolder holder(Rsa(0));
  const Bytes content = Pattern(777);
  // The first callback holds the header alone when the first update is empty.
  std::vector<Bytes> pieces;
  {
    UniqueCert cert = CertOf(Rsa(0));
    CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO keyTrans{};
    keyTrans.cbSize = sizeof keyTrans;
    keyTrans.KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    keyTrans.RecipientPublicKey = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    keyTrans.RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    keyTrans.RecipientId.IssuerSerialNumber = {cert->pCertInfo->Issuer,
                                               cert->pCertInfo->SerialNumber};
    CMSG_RECIPIENT_ENCODE_INFO entry{CMSG_KEY_TRANS_RECIPIENT, {&keyTrans}};
    CMSG_ENVELOPED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC);
    info.cRecipients = 1;
    info.rgCmsRecipients = &entry;
    struct Pieces {
      static BOOL Out(const void* arg, BYTE* data, DWORD size, BOOL) {
        static_cast<std::vector<Bytes>*>(const_cast<void*>(arg))->emplace_back(data, data + size);
        return TRUE;
      }
    };
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Pieces::Out, &pieces};
    UniqueMsg msg(
        CryptMsgOpenToEncode(PKCS_7_ASN_ENCODING, 0, CMSG_ENVELOPED, &info, nullptr, &stream));
    ASSERT_TRUE(msg);
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), nullptr, 0, FALSE));
    ASSERT_TRUE(
        CryptMsgUpdate(msg.get(), content.data(), static_cast<DWORD>(content.size()), TRUE));
  }
  ASSERT_EQ(2u, pieces.size());
  const Bytes& header = pieces[0];
  ASSERT_EQ((Bytes{0xA0, 0x80}), Bytes(header.end() - 2, header.end()));
  // Ciphertext: the OCTET STRINGs' contents up to the end-of-contents octets.
  Bytes cipher;
  const Bytes& rest = pieces[1];
  std::size_t at = 0;
  while (at < rest.size() && rest[at] == 0x04) {
    std::size_t length = rest[at + 1], start = at + 2;
    if (length & 0x80) {
      start = at + 2 + (length & 0x7F);
      length = 0;
      for (std::size_t i = at + 2; i < start; ++i) length = (length << 8) | rest[i];
    }
    cipher.insert(cipher.end(), rest.begin() + start, rest.begin() + start + length);
    at = start + length;
  }
  ASSERT_EQ(Bytes(10, 0), Bytes(rest.begin() + at, rest.end()));
  ASSERT_EQ(784u, cipher.size());
  // Re-cut: an empty piece, a nested constructed piece of three, then the rest.
  Bytes ber = header;
  auto octets = [&](std::size_t from, std::size_t count) {
    ber.push_back(0x04);
    ber.push_back(0x82);
    ber.push_back(static_cast<BYTE>(count >> 8));
    ber.push_back(static_cast<BYTE>(count));
    ber.insert(ber.end(), cipher.begin() + from, cipher.begin() + from + count);
  };
  ber.insert(ber.end(), {0x04, 0x00, 0x24, 0x80});
  octets(0, 5);
  ber.insert(ber.end(), {0x04, 0x00});
  octets(5, 300);
  ber.insert(ber.end(), {0x00, 0x00});
  octets(305, cipher.size() - 305);
  ber.insert(ber.end(), 10, 0x00);
  for (std::size_t size : {std::size_t{1}, std::size_t{3}, ber.size()}) {
    Streamed opened = StreamDecrypt(ber, {size}, holder.Provider());
    ASSERT_EQ(S_OK, opened.error) << std::hex << opened.error;
    EXPECT_EQ(content, opened.out.bytes);
  }
  Opened whole = Decrypt(ber, {holder.store()});
  EXPECT_EQ(content, whole.content);
  // A piece of another type is refused.
  Bytes wrong = ber;
  wrong[header.size()] = 0x05;
  EXPECT_FALSE(Decrypt(wrong, {holder.store()}).ok);
}

TEST(CryptMsgEnvelope, CallbackRefusalFailsTheUpdateWithItsError) {
  KeyHolder holder(Rsa(0));
  const Bytes content = Pattern(50000);
  const Bytes blob = StreamEncrypt(content, szOID_RSA_DES_EDE3_CBC, {&Rsa(0)}, true, {}, {4096});
  for (DWORD ownError : {0u, static_cast<DWORD>(ERROR_DISK_FULL)}) {
    Collector out;
    int calls = 0;
    out.refuse = [&] {
      if (++calls < 3) return false;
      SetLastError(ownError);
      return true;
    };
    CMSG_STREAM_INFO stream = out.Info();
    UniqueMsg msg(CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, &stream));
    ASSERT_TRUE(CryptMsgUpdate(msg.get(), blob.data(), 2000, FALSE));
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, holder.Provider(), AT_KEYEXCHANGE, 0};
    ASSERT_TRUE(CryptMsgControl(msg.get(), 0, CMSG_CTRL_DECRYPT, &para));
    HRESULT error = Feed(msg.get(), Bytes(blob.begin() + 2000, blob.end()), {1000});
    EXPECT_EQ(ownError != 0 ? static_cast<HRESULT>(ERROR_DISK_FULL)
                            : static_cast<HRESULT>(ERROR_WRITE_FAULT),
              error);
    // The message stays failed.
    EXPECT_FALSE(CryptMsgUpdate(msg.get(), nullptr, 0, TRUE));
  }
}

}  // namespace
