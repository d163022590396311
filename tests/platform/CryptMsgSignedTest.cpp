// SignedData decoding and verification against messages OpenSSL's CMS code
// signs: attached and detached, with and without signed attributes, one and
// two signers, and the SignerInfo encoder's output put back into a message.
#include <gtest/gtest.h>
#include <openssl/buffer.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "platform/cert/CertDecode.h"
#include "platform/store/CertStore.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/LastError.h"

namespace {

using Bytes = std::vector<BYTE>;

DWORD Hr(HRESULT hr) { return static_cast<DWORD>(hr); }

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;
using UniqueMsg = foundation::Unique<void, CryptMsgClose>;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Bytes a text-mode signer would rewrite: bare LF, CR LF, NUL, high bytes.
const Bytes kContent = {'l',  'i',  'n',  'e',  '\n', 'n',  'e', 'x', 't', '\r',
                        '\n', 0x00, 0xFF, 0x80, '\n', '\n', 'e', 'n', 'd'};

struct Signer {
  const testpki::Identity* id;
  const EVP_MD* md;
};

class SignedMessageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The top bit of the first serial byte is set: the message carries 00 9F 01 02.
    alice_ = Make("C=CN,O=Sigil Test,CN=Alice", "9F0102");
    bob_ = Make("C=CN,O=Sigil Test,CN=Bob", "0B0B");
  }
  static void TearDownTestSuite() {
    alice_.reset();
    bob_.reset();
  }
  static std::optional<testpki::Identity> Make(const std::string& subject,
                                               const std::string& serial) {
    testpki::CertProfile profile{subject, serial, testpki::kKuDigitalSignature};
    return testpki::MakeRsaIdentity(profile, nullptr, 1024);
  }

  void SetUp() override { ASSERT_TRUE(alice_ && bob_); }

  // CMS_BINARY always: the content must arrive as the bytes it is.
  static Bytes Sign(const Bytes& content, const std::vector<Signer>& signers, unsigned flags) {
    flags |= CMS_BINARY | CMS_PARTIAL;
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    EXPECT_TRUE(cms);
    for (const Signer& s : signers)
      EXPECT_NE(CMS_add1_signer(cms.get(), s.id->cert(), s.id->key(), s.md, flags), nullptr);
    foundation::Unique<BIO, BIO_free> data(
        BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    EXPECT_EQ(CMS_final(cms.get(), data.get(), nullptr, flags), 1);
    unsigned char* der = nullptr;
    const int size = i2d_CMS_ContentInfo(cms.get(), &der);
    Bytes out(der, der + std::max(size, 0));
    OPENSSL_free(der);
    return out;
  }

  // The signature bytes of signer `index` as OpenSSL wrote them.
  static Bytes SignatureOf(const Bytes& message, int index) {
    const unsigned char* p = message.data();
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())));
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), index);
    const ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(si);
    return Bytes(sig->data, sig->data + sig->length);
  }

  // DER sorts the SETs of certificates and signer infos, so the message's
  // order is not the order of signing: OpenSSL says who signer `index` is.
  static const testpki::Identity& SignerAt(const Bytes& message, int index) {
    const unsigned char* p = message.data();
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())));
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), index);
    return CMS_SignerInfo_cert_cmp(si, alice_->cert()) == 0 ? *alice_ : *bob_;
  }

  static std::vector<Bytes> CertificatesOf(const Bytes& message) {
    const unsigned char* p = message.data();
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())));
    STACK_OF(X509)* certs = CMS_get1_certs(cms.get());
    std::vector<Bytes> out;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
      unsigned char* der = nullptr;
      const int size = i2d_X509(sk_X509_value(certs, i), &der);
      out.emplace_back(der, der + size);
      OPENSSL_free(der);
    }
    sk_X509_pop_free(certs, X509_free);
    return out;
  }

  static BOOL Verify(const Bytes& message, DWORD index, Bytes* content = nullptr,
                     UniqueContext* signer = nullptr, CRYPT_VERIFY_MESSAGE_PARA* para = nullptr) {
    CRYPT_VERIFY_MESSAGE_PARA own{sizeof own, kEncoding, 0, nullptr, nullptr};
    PCCERT_CONTEXT cert = nullptr;
    DWORD size = 0;
    BOOL ok = CryptVerifyMessageSignature(para ? para : &own, index, message.data(),
                                          static_cast<DWORD>(message.size()), nullptr, &size,
                                          signer ? &cert : nullptr);
    const DWORD error = GetLastError();
    if (signer) signer->reset(cert);
    if (ok && content) {
      content->assign(size, 0xCC);
      ok = CryptVerifyMessageSignature(para ? para : &own, index, message.data(),
                                       static_cast<DWORD>(message.size()), content->data(), &size,
                                       nullptr);
      content->resize(size);
      return ok;
    }
    SetLastError(error);
    return ok;
  }

  static BOOL VerifyDetached(const Bytes& message, DWORD index, std::vector<Bytes> parts) {
    CRYPT_VERIFY_MESSAGE_PARA para{sizeof para, kEncoding, 0, nullptr, nullptr};
    std::vector<const BYTE*> pointers;
    std::vector<DWORD> sizes;
    for (const Bytes& part : parts) {
      pointers.push_back(part.data());
      sizes.push_back(static_cast<DWORD>(part.size()));
    }
    return CryptVerifyDetachedMessageSignature(
        &para, index, message.data(), static_cast<DWORD>(message.size()),
        static_cast<DWORD>(parts.size()), pointers.data(), sizes.data(), nullptr);
  }

  static Bytes Der(const testpki::Identity& id) { return id.CertDer(); }

  static std::optional<testpki::Identity> alice_, bob_;
};

std::optional<testpki::Identity> SignedMessageTest::alice_, SignedMessageTest::bob_;

Bytes ContextDer(PCCERT_CONTEXT c) {
  return c ? Bytes(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded) : Bytes{};
}

// Flips one byte of `needle`'s first occurrence within `message`.
Bytes Flip(Bytes message, const Bytes& needle) {
  auto at = std::search(message.begin(), message.end(), needle.begin(), needle.end());
  EXPECT_NE(at, message.end());
  if (at != message.end()) at[static_cast<std::ptrdiff_t>(needle.size() / 2)] ^= 0x01;
  return message;
}

TEST_F(SignedMessageTest, AttachedMessagesVerifyPerSignerAndGiveTheContentBack) {
  for (unsigned flags : {0u, static_cast<unsigned>(CMS_NOATTR)}) {
    SCOPED_TRACE(flags);
    const Bytes message = Sign(kContent, {{&*alice_, EVP_sha1()}, {&*bob_, EVP_sha256()}}, flags);
    for (DWORD index : {0u, 1u}) {
      Bytes content;
      UniqueContext cert;
      EXPECT_TRUE(Verify(message, index, &content, &cert)) << std::hex << GetLastError();
      EXPECT_EQ(content, kContent);
      EXPECT_EQ(ContextDer(cert.get()), Der(SignerAt(message, static_cast<int>(index))));
    }
    UniqueContext none;
    EXPECT_FALSE(Verify(message, 2, nullptr, &none));
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NO_SIGNER));
    EXPECT_EQ(none, nullptr);

    // A buffer one byte short: the size comes back with ERROR_MORE_DATA.
    CRYPT_VERIFY_MESSAGE_PARA para{sizeof para, kEncoding, 0, nullptr, nullptr};
    Bytes small(kContent.size() - 1);
    DWORD size = static_cast<DWORD>(small.size());
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, message.data(),
                                             static_cast<DWORD>(message.size()), small.data(),
                                             &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, kContent.size());
  }
}

TEST_F(SignedMessageTest, TamperedContentOrSignatureIsRefused) {
  const Bytes withAttrs = Sign(kContent, {{&*alice_, EVP_sha1()}}, 0);
  const Bytes bare = Sign(kContent, {{&*alice_, EVP_sha256()}}, CMS_NOATTR);

  // The message digest attribute no longer matches the content.
  EXPECT_FALSE(Verify(Flip(withAttrs, kContent), 0));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_HASH_VALUE));
  EXPECT_FALSE(Verify(Flip(bare, kContent), 0));
  EXPECT_EQ(GetLastError(), Hr(NTE_BAD_SIGNATURE));

  // The signer's certificate is handed out on a signature failure too.
  for (const Bytes* message : {&withAttrs, &bare}) {
    UniqueContext cert;
    EXPECT_FALSE(Verify(Flip(*message, SignatureOf(*message, 0)), 0, nullptr, &cert));
    EXPECT_EQ(GetLastError(), Hr(NTE_BAD_SIGNATURE));
    EXPECT_EQ(ContextDer(cert.get()), Der(*alice_));
  }

  // Signed by Alice, with Bob's certificate under Alice's name and serial:
  // Bob's key does not check Alice's signature.
  const Bytes forged = Sign(kContent, {{&*alice_, EVP_sha1()}}, CMS_NOCERTS);
  CRYPT_VERIFY_MESSAGE_PARA para{sizeof para, kEncoding, 0,
                                 [](void* arg, DWORD, PCERT_INFO, HCERTSTORE) -> PCCERT_CONTEXT {
                                   const Bytes& der = *static_cast<const Bytes*>(arg);
                                   return CertCreateCertificateContext(
                                       X509_ASN_ENCODING, der.data(),
                                       static_cast<DWORD>(der.size()));
                                 },
                                 nullptr};
  const Bytes bobDer = Der(*bob_);
  para.pvGetArg = const_cast<Bytes*>(&bobDer);
  EXPECT_FALSE(Verify(forged, 0, nullptr, nullptr, &para));
  EXPECT_EQ(GetLastError(), Hr(NTE_BAD_SIGNATURE));
}

TEST_F(SignedMessageTest, SignerCertificateComesFromTheMessageOrTheCallback) {
  const Bytes message = Sign(kContent, {{&*alice_, EVP_sha1()}}, CMS_NOCERTS);
  EXPECT_FALSE(Verify(message, 0));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_SIGNER_NOT_FOUND));

  struct Seen {
    Bytes issuer, serial, der;
    int calls = 0;
  } seen;
  seen.der = Der(*alice_);
  CRYPT_VERIFY_MESSAGE_PARA para{
      sizeof para, kEncoding, 0,
      [](void* arg, DWORD, PCERT_INFO id, HCERTSTORE) -> PCCERT_CONTEXT {
        auto* s = static_cast<Seen*>(arg);
        ++s->calls;
        s->issuer.assign(id->Issuer.pbData, id->Issuer.pbData + id->Issuer.cbData);
        s->serial.assign(id->SerialNumber.pbData,
                         id->SerialNumber.pbData + id->SerialNumber.cbData);
        return CertCreateCertificateContext(X509_ASN_ENCODING, s->der.data(),
                                            static_cast<DWORD>(s->der.size()));
      },
      &seen};
  Bytes content;
  UniqueContext cert;
  EXPECT_TRUE(Verify(message, 0, &content, &cert, &para)) << std::hex << GetLastError();
  EXPECT_EQ(content, kContent);
  EXPECT_EQ(ContextDer(cert.get()), seen.der);
  EXPECT_EQ(seen.serial, (Bytes{0x02, 0x01, 0x9F, 0x00}));
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(seen.issuer, Bytes(cert->pCertInfo->Issuer.pbData,
                               cert->pCertInfo->Issuer.pbData + cert->pCertInfo->Issuer.cbData));
}

TEST_F(SignedMessageTest, DetachedSignatureChecksTheContentInAnyNumberOfParts) {
  for (unsigned flags : {0u, static_cast<unsigned>(CMS_NOATTR)}) {
    SCOPED_TRACE(flags);
    const Bytes message =
        Sign(kContent, {{&*bob_, EVP_sha256()}, {&*alice_, EVP_sha1()}}, flags | CMS_DETACHED);
    const Bytes head(kContent.begin(), kContent.begin() + 7),
        tail(kContent.begin() + 7, kContent.end());
    for (DWORD index : {0u, 1u}) {
      EXPECT_TRUE(VerifyDetached(message, index, {kContent})) << std::hex << GetLastError();
      EXPECT_TRUE(VerifyDetached(message, index, {head, tail})) << std::hex << GetLastError();
      EXPECT_TRUE(VerifyDetached(message, index, {head, {}, tail}));
    }
    Bytes changed = kContent;
    changed.back() ^= 1;
    EXPECT_FALSE(VerifyDetached(message, 0, {changed}));
    EXPECT_EQ(GetLastError(), Hr(flags ? NTE_BAD_SIGNATURE : CRYPT_E_HASH_VALUE));
    EXPECT_FALSE(VerifyDetached(message, 0, {tail, head}));
    EXPECT_FALSE(VerifyDetached(message, 2, {kContent}));
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NO_SIGNER));
  }
}

// Bytes after the message would travel with a valid signature unsigned:
// every route refuses them with the decode error it gives today, for DER
// and for the BER of a streamed signer alike.
TEST_F(SignedMessageTest, BytesAfterTheMessageAreRefusedByEveryRoute) {
  const Bytes attached = Sign(kContent, {{&*alice_, EVP_sha256()}}, 0);
  const Bytes streamed = [&] {
    const unsigned flags = CMS_BINARY | CMS_STREAM | CMS_PARTIAL;
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    EXPECT_NE(CMS_add1_signer(cms.get(), alice_->cert(), alice_->key(), EVP_sha256(), flags),
              nullptr);
    foundation::Unique<BIO, BIO_free> in(
        BIO_new_mem_buf(kContent.data(), static_cast<int>(kContent.size())));
    foundation::Unique<BIO, BIO_free> out(BIO_new(BIO_s_mem()));
    EXPECT_EQ(i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags), 1);
    BUF_MEM* written = nullptr;
    BIO_get_mem_ptr(out.get(), &written);
    return Bytes(written->data, written->data + written->length);
  }();
  ASSERT_EQ(streamed.at(1), 0x80);  // indefinite length
  const Bytes detached = Sign(kContent, {{&*alice_, EVP_sha256()}}, CMS_DETACHED);
  const auto decodes = [](const Bytes& message, DWORD flags) {
    HCRYPTMSG msg = CryptMsgOpenToDecode(kEncoding, flags, 0, 0, nullptr, nullptr);
    EXPECT_NE(msg, nullptr);
    const BOOL ok = CryptMsgUpdate(msg, message.data(), static_cast<DWORD>(message.size()), TRUE);
    const DWORD error = GetLastError();
    CryptMsgClose(msg);
    SetLastError(error);
    return ok;
  };
  for (const Bytes& tail : {Bytes{0x00}, Bytes{0x00, 0x00}, Bytes{0x05, 0x00}, attached}) {
    SCOPED_TRACE(tail.size());
    for (const Bytes* message : {&attached, &streamed}) {
      Bytes longer = *message;
      longer.insert(longer.end(), tail.begin(), tail.end());
      EXPECT_FALSE(Verify(longer, 0));
      EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_CORRUPT));
      EXPECT_FALSE(decodes(longer, 0));
      EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_CORRUPT));
    }
    Bytes longer = detached;
    longer.insert(longer.end(), tail.begin(), tail.end());
    EXPECT_FALSE(VerifyDetached(longer, 0, {kContent}));
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_CORRUPT));
    EXPECT_FALSE(decodes(longer, CMSG_DETACHED_FLAG));
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_CORRUPT));
  }
  EXPECT_TRUE(Verify(streamed, 0));
  EXPECT_TRUE(VerifyDetached(detached, 0, {kContent}));
  EXPECT_TRUE(decodes(detached, CMSG_DETACHED_FLAG));
}

TEST_F(SignedMessageTest, BytesThatDoNotDecodeFailWithAnAsn1Error) {
  const Bytes message = Sign(kContent, {{&*alice_, EVP_sha1()}}, 0);
  const auto isDecodeError = [](DWORD e) {
    return e == Hr(CRYPT_E_ASN1_BADTAG) || e == Hr(CRYPT_E_ASN1_EOD) ||
           e == Hr(CRYPT_E_ASN1_CORRUPT) || e == Hr(CRYPT_E_ASN1_LARGE);
  };
  for (std::size_t length = 0; length < message.size(); length += 7) {
    const Bytes cut(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(length));
    UniqueContext cert;
    EXPECT_FALSE(Verify(cut.empty() ? Bytes{0x30} : cut, 0, nullptr, &cert)) << length;
    EXPECT_TRUE(isDecodeError(GetLastError())) << length << " " << std::hex << GetLastError();
    EXPECT_EQ(cert, nullptr);
  }
  Bytes trailing = message;
  trailing.push_back(0);
  EXPECT_FALSE(Verify(trailing, 0));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_CORRUPT));
  EXPECT_FALSE(Verify(Bytes{0x04, 0x02, 0x30, 0x00}, 0));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_BADTAG));
  // Every byte after the content type changed to garbage.
  Bytes garbage = message;
  for (std::size_t i = 20; i < garbage.size(); ++i) garbage[i] = static_cast<BYTE>(i * 37);
  EXPECT_FALSE(Verify(garbage, 0));
  EXPECT_TRUE(isDecodeError(GetLastError())) << std::hex << GetLastError();

  // A well-formed ContentInfo of another type.
  const Bytes octets = {0x04, 0x01, 0x41};
  CRYPT_CONTENT_INFO info{const_cast<LPSTR>(szOID_RSA_data), {3, const_cast<BYTE*>(octets.data())}};
  Bytes data(64);
  DWORD size = static_cast<DWORD>(data.size());
  ASSERT_TRUE(CryptEncodeObject(kEncoding, PKCS_CONTENT_INFO, &info, data.data(), &size));
  data.resize(size);
  EXPECT_FALSE(Verify(data, 0));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_UNEXPECTED_MSG_TYPE));
}

class Decoder {
 public:
  explicit Decoder(DWORD flags = 0)
      : msg_(CryptMsgOpenToDecode(kEncoding, flags, 0, 0, nullptr, nullptr)) {}
  HCRYPTMSG get() const { return msg_.get(); }
  Bytes Param(DWORD type, DWORD index = 0) const {
    DWORD size = 0;
    if (!CryptMsgGetParam(get(), type, index, nullptr, &size)) return {};
    Bytes out(size);
    if (!CryptMsgGetParam(get(), type, index, out.data(), &size)) return {};
    out.resize(size);
    return out;
  }
  DWORD Dword(DWORD type) const {
    const Bytes bytes = Param(type);
    DWORD value = 0xFFFFFFFF;
    if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }

 private:
  UniqueMsg msg_;
};

Bytes BlobBytes(const CRYPT_INTEGER_BLOB& blob) {
  return blob.cbData ? Bytes(blob.pbData, blob.pbData + blob.cbData) : Bytes{};
}

TEST_F(SignedMessageTest, DecodedMessageGivesItsParameters) {
  const Bytes message = Sign(kContent, {{&*alice_, EVP_sha1()}, {&*bob_, EVP_sha256()}}, 0);
  Decoder msg;
  ASSERT_NE(msg.get(), nullptr) << std::hex << GetLastError();
  DWORD size = 0;
  EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_STREAM_MSG_NOT_READY));
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg.get()), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_STREAM_MSG_NOT_READY));
  ASSERT_TRUE(CryptMsgUpdate(msg.get(), message.data(), 10, FALSE));
  ASSERT_TRUE(
      CryptMsgUpdate(msg.get(), message.data() + 10, static_cast<DWORD>(message.size() - 10), TRUE))
      << std::hex << GetLastError();
  EXPECT_FALSE(CryptMsgUpdate(msg.get(), message.data(), 1, TRUE));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_MSG_ERROR));

  EXPECT_EQ(msg.Dword(CMSG_TYPE_PARAM), CMSG_SIGNED);
  EXPECT_EQ(msg.Param(CMSG_CONTENT_PARAM), kContent);
  EXPECT_EQ(msg.Dword(CMSG_SIGNER_COUNT_PARAM), 2u);
  EXPECT_EQ(msg.Dword(CMSG_CERT_COUNT_PARAM), 2u);
  const std::vector<Bytes> certificates = CertificatesOf(message);
  ASSERT_EQ(certificates.size(), 2u);
  EXPECT_NE(certificates[0], certificates[1]);
  EXPECT_EQ(msg.Param(CMSG_CERT_PARAM, 0), certificates[0]);
  EXPECT_EQ(msg.Param(CMSG_CERT_PARAM, 1), certificates[1]);
  EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_CERT_PARAM, 2, nullptr, &size));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_INVALID_INDEX));
  EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 2, nullptr, &size));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_INVALID_INDEX));
  EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_RECIPIENT_COUNT_PARAM, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_INVALID_MSG_TYPE));

  UniqueContext alice(CertCreateCertificateContext(X509_ASN_ENCODING, Der(*alice_).data(),
                                                   static_cast<DWORD>(Der(*alice_).size())));
  ASSERT_TRUE(alice);
  const Bytes issuer = BlobBytes(alice->pCertInfo->Issuer);
  for (DWORD index : {0u, 1u}) {
    SCOPED_TRACE(index);
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, index, nullptr, &size));
    std::vector<std::uint64_t> buffer(size / 8 + 1);
    DWORD small = size - 1;
    EXPECT_FALSE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, index, buffer.data(), &small));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, index, buffer.data(), &size));
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    // Everything the structure points to lies within the caller's buffer.
    const auto* begin = reinterpret_cast<const BYTE*>(buffer.data());
    const auto inside = [&](const void* p) {
      return p >= begin && static_cast<const BYTE*>(p) < begin + size;
    };
    EXPECT_TRUE(inside(info->Issuer.pbData) && inside(info->SerialNumber.pbData) &&
                inside(info->EncryptedHash.pbData) && inside(info->HashAlgorithm.pszObjId));
    EXPECT_EQ(info->dwVersion, 1u);
    EXPECT_EQ(BlobBytes(info->EncryptedHash), SignatureOf(message, static_cast<int>(index)));
    EXPECT_STREQ(info->HashEncryptionAlgorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(BlobBytes(info->HashEncryptionAlgorithm.Parameters), (Bytes{0x05, 0x00}));
    EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);
    ASSERT_EQ(info->AuthAttrs.cAttr,
              4u);  // content type, signing time, message digest, capabilities
    const bool isAlice = &SignerAt(message, static_cast<int>(index)) == &*alice_;
    const EVP_MD* md = isAlice ? EVP_sha1() : EVP_sha256();
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int digestSize = 0;
    EVP_Digest(kContent.data(), kContent.size(), digest.data(), &digestSize, md, nullptr);
    digest.resize(digestSize);
    digest.insert(digest.begin(), {0x04, static_cast<BYTE>(digestSize)});
    int found = 0;
    for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i) {
      const CRYPT_ATTRIBUTE& a = info->AuthAttrs.rgAttr[i];
      EXPECT_TRUE(inside(a.pszObjId) && (a.cValue == 0 || inside(a.rgValue)));
      if (std::string(a.pszObjId) == "1.2.840.113549.1.9.4") {
        ASSERT_EQ(a.cValue, 1u);
        EXPECT_EQ(BlobBytes(a.rgValue[0]), digest);
        ++found;
      }
      if (std::string(a.pszObjId) == "1.2.840.113549.1.9.3") {
        ASSERT_EQ(a.cValue, 1u);
        EXPECT_EQ(BlobBytes(a.rgValue[0]),
                  (Bytes{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}));
        ++found;
      }
    }
    EXPECT_EQ(found, 2);
    if (isAlice) {
      EXPECT_STREQ(info->HashAlgorithm.pszObjId, "1.3.14.3.2.26");
      EXPECT_EQ(BlobBytes(info->Issuer), issuer);
      EXPECT_EQ(BlobBytes(info->SerialNumber), (Bytes{0x02, 0x01, 0x9F, 0x00}));
    } else {
      EXPECT_STREQ(info->HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");
      EXPECT_EQ(BlobBytes(info->SerialNumber), (Bytes{0x0B, 0x0B}));
    }
  }

  const DWORD aliceIndex = &SignerAt(message, 0) == &*alice_ ? 0 : 1;
  const Bytes certInfo = msg.Param(CMSG_SIGNER_CERT_INFO_PARAM, aliceIndex);
  ASSERT_GE(certInfo.size(), sizeof(CERT_INFO));
  std::vector<std::uint64_t> aligned(certInfo.size() / 8 + 1);
  size = static_cast<DWORD>(certInfo.size());
  ASSERT_TRUE(
      CryptMsgGetParam(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, aliceIndex, aligned.data(), &size));
  const auto* id = reinterpret_cast<const CERT_INFO*>(aligned.data());
  EXPECT_EQ(BlobBytes(id->Issuer), issuer);
  EXPECT_EQ(BlobBytes(id->SerialNumber), (Bytes{0x02, 0x01, 0x9F, 0x00}));
  EXPECT_EQ(id->Subject.cbData, 0u);

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, msg.get());
  ASSERT_NE(store, nullptr) << std::hex << GetLastError();
  std::vector<Bytes> listed;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
    listed.push_back(ContextDer(c));
  EXPECT_EQ(listed, certificates);
  CertCloseStore(store, 0);
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, &size), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SignedMessageTest, DecoderHandlesDetachedAndBrokenMessages) {
  const Bytes message = Sign(kContent, {{&*alice_, EVP_sha1()}}, CMS_DETACHED | CMS_NOATTR);
  Decoder detached(CMSG_DETACHED_FLAG);
  ASSERT_TRUE(
      CryptMsgUpdate(detached.get(), message.data(), static_cast<DWORD>(message.size()), TRUE));
  EXPECT_EQ(detached.Dword(CMSG_SIGNER_COUNT_PARAM), 1u);
  DWORD size = 1;
  EXPECT_TRUE(CryptMsgGetParam(detached.get(), CMSG_CONTENT_PARAM, 0, nullptr, &size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(
      CryptMsgUpdate(detached.get(), kContent.data(), static_cast<DWORD>(kContent.size()), TRUE));
  EXPECT_EQ(detached.Param(CMSG_SIGNER_INFO_PARAM).empty(), false);

  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, message.size() / 3, message.size() - 1}) {
    Decoder broken;
    EXPECT_FALSE(CryptMsgUpdate(broken.get(), message.data(), static_cast<DWORD>(cut), TRUE))
        << cut;
    const DWORD error = GetLastError();
    EXPECT_TRUE(error == Hr(CRYPT_E_ASN1_EOD) || error == Hr(CRYPT_E_ASN1_CORRUPT) ||
                error == Hr(CRYPT_E_ASN1_BADTAG))
        << cut << " " << std::hex << error;
    EXPECT_FALSE(CryptMsgGetParam(broken.get(), CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size));
    EXPECT_FALSE(
        CryptMsgUpdate(broken.get(), message.data(), static_cast<DWORD>(message.size()), TRUE));
  }
  EXPECT_EQ(CryptMsgOpenToDecode(kEncoding, 0, CMSG_DATA, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_INVALID_MSG_TYPE));
}

// Streamed signing writes indefinite lengths and the content in pieces.
TEST_F(SignedMessageTest, BerMessagesAndOlderDigestsVerify) {
  const unsigned flags = CMS_BINARY | CMS_STREAM | CMS_NOATTR | CMS_PARTIAL;
  Bytes content(3000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<BYTE>(i * 7);
  foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
      CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  ASSERT_NE(CMS_add1_signer(cms.get(), alice_->cert(), alice_->key(), EVP_md5(), flags), nullptr);
  foundation::Unique<BIO, BIO_free> in(
      BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  foundation::Unique<BIO, BIO_free> out(BIO_new(BIO_s_mem()));
  ASSERT_EQ(i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags), 1);
  BUF_MEM* written = nullptr;
  BIO_get_mem_ptr(out.get(), &written);
  const Bytes message(written->data, written->data + written->length);
  ASSERT_GE(message.size(), 2u);
  ASSERT_EQ(message[1], 0x80);  // indefinite length

  Bytes back;
  EXPECT_TRUE(Verify(message, 0, &back)) << std::hex << GetLastError();
  EXPECT_EQ(back, content);
  Decoder msg;
  ASSERT_TRUE(CryptMsgUpdate(msg.get(), message.data(), static_cast<DWORD>(message.size()), TRUE));
  EXPECT_EQ(msg.Param(CMSG_CONTENT_PARAM), content);
}

// The signer info read from a message, encoded again and put into a
// SignedData of our own making, still verifies and reads back the same; a
// signature algorithm naming the digest verifies too, one naming another
// digest is refused.
TEST_F(SignedMessageTest, EncodedSignerInfoRoundTripsThroughAMessage) {
  for (unsigned flags : {0u, static_cast<unsigned>(CMS_NOATTR)}) {
    SCOPED_TRACE(flags);
    const Bytes original = Sign(kContent, {{&*alice_, EVP_sha1()}}, flags);
    Decoder msg;
    ASSERT_TRUE(
        CryptMsgUpdate(msg.get(), original.data(), static_cast<DWORD>(original.size()), TRUE));
    Bytes raw = msg.Param(CMSG_SIGNER_INFO_PARAM);
    std::vector<std::uint64_t> buffer(raw.size() / 8 + 1);
    DWORD size = static_cast<DWORD>(raw.size());
    ASSERT_TRUE(CryptMsgGetParam(msg.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size));
    auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());

    const auto encode = [](LPCSTR type, const void* value) {
      DWORD n = 0;
      EXPECT_TRUE(CryptEncodeObject(kEncoding, type, value, nullptr, &n))
          << std::hex << GetLastError();
      Bytes out(n);
      EXPECT_TRUE(CryptEncodeObject(kEncoding, type, value, out.data(), &n));
      out.resize(n);
      return out;
    };
    const auto tlv = [](BYTE tag, const Bytes& body) {
      Bytes out{tag};
      if (body.size() < 0x80) {
        out.push_back(static_cast<BYTE>(body.size()));
      } else {
        out.insert(out.end(),
                   {0x82, static_cast<BYTE>(body.size() >> 8), static_cast<BYTE>(body.size())});
      }
      out.insert(out.end(), body.begin(), body.end());
      return out;
    };
    const auto assemble = [&](const CMSG_SIGNER_INFO& signer) {
      Bytes octets = tlv(0x04, kContent);
      CRYPT_CONTENT_INFO inner{const_cast<LPSTR>(szOID_RSA_data),
                               {static_cast<DWORD>(octets.size()), octets.data()}};
      Bytes sha1Id = {0x30, 0x07, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
      Bytes body = {0x02, 0x01, 0x01};
      const Bytes algs = tlv(0x31, sha1Id), encap = encode(PKCS_CONTENT_INFO, &inner),
                  certs = tlv(0xA0, Der(*alice_)),
                  signers = tlv(0x31, encode(PKCS7_SIGNER_INFO, &signer));
      for (const Bytes* part : {&algs, &encap, &certs, &signers})
        body.insert(body.end(), part->begin(), part->end());
      Bytes signedData = tlv(0x30, body);
      CRYPT_CONTENT_INFO outer{const_cast<LPSTR>(szOID_RSA_signedData),
                               {static_cast<DWORD>(signedData.size()), signedData.data()}};
      return encode(PKCS_CONTENT_INFO, &outer);
    };

    const Bytes rebuilt = assemble(*info);
    Bytes content;
    EXPECT_TRUE(Verify(rebuilt, 0, &content)) << std::hex << GetLastError();
    EXPECT_EQ(content, kContent);
    Decoder again;
    ASSERT_TRUE(
        CryptMsgUpdate(again.get(), rebuilt.data(), static_cast<DWORD>(rebuilt.size()), TRUE));
    Bytes back = again.Param(CMSG_SIGNER_INFO_PARAM);
    std::vector<std::uint64_t> backBuffer(back.size() / 8 + 1);
    size = static_cast<DWORD>(back.size());
    ASSERT_TRUE(CryptMsgGetParam(again.get(), CMSG_SIGNER_INFO_PARAM, 0, backBuffer.data(), &size));
    const auto* copy = reinterpret_cast<const CMSG_SIGNER_INFO*>(backBuffer.data());
    EXPECT_EQ(BlobBytes(copy->SerialNumber), BlobBytes(info->SerialNumber));
    EXPECT_EQ(BlobBytes(copy->Issuer), BlobBytes(info->Issuer));
    EXPECT_EQ(BlobBytes(copy->EncryptedHash), BlobBytes(info->EncryptedHash));
    EXPECT_EQ(copy->AuthAttrs.cAttr, info->AuthAttrs.cAttr);
    // Absent digest parameters are written as NULL.
    EXPECT_EQ(BlobBytes(copy->HashAlgorithm.Parameters), (Bytes{0x05, 0x00}));

    // OpenSSL reads and checks the message as well.
    const unsigned char* p = rebuilt.data();
    foundation::Unique<CMS_ContentInfo, CMS_ContentInfo_free> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(rebuilt.size())));
    ASSERT_TRUE(cms);
    EXPECT_EQ(CMS_verify(cms.get(), nullptr, nullptr, nullptr, nullptr,
                         CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY),
              1);
    ERR_clear_error();

    char sha1WithRsa[] = "1.2.840.113549.1.1.5";
    char sha256WithRsa[] = "1.2.840.113549.1.1.11";
    info->HashEncryptionAlgorithm.pszObjId = sha1WithRsa;
    EXPECT_TRUE(Verify(assemble(*info), 0)) << std::hex << GetLastError();
    info->HashEncryptionAlgorithm.pszObjId = sha256WithRsa;
    EXPECT_FALSE(Verify(assemble(*info), 0));
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_UNKNOWN_ALGO));
  }
}

}  // namespace
