#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstring>

#include "SigningTestSupport.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/DataSigning.h"
#include "winsvc/Sm2CspSigning.h"

namespace {

using signtest::Bytes;
using signtest::Tlv;

Bytes Raw(BYTE rFirst, BYTE sFirst) {
  Bytes raw = signtest::Pattern(64, 0x10);
  raw[0] = rFirst;
  raw[32] = sFirst;
  return raw;
}

HRESULT Encode(const Bytes& raw, DWORD rawLen, DWORD type, Bytes& out) {
  BYTE* pby = nullptr;
  DWORD len = 0xDEAD;
  const HRESULT hr = SM2EncodeRawSignature(&len, raw.data(), rawLen, &pby, type);
  out = SUCCEEDED(hr) ? Bytes(pby, pby + len) : Bytes{BYTE(len == 0xDEAD && pby == nullptr)};
  delete[] pby;
  return hr;
}

// 02 L [00] half, 32 bytes of the half always kept.
Bytes Sequence(const Bytes& raw) {
  Bytes body;
  for (int half : {0, 32}) {
    const bool pad = raw[half] & 0x80;
    body.insert(body.end(), {0x02, BYTE(pad ? 33 : 32)});
    if (pad) body.push_back(0x00);
    body.insert(body.end(), raw.begin() + half, raw.begin() + half + 32);
  }
  body.insert(body.begin(), {0x30, BYTE(body.size())});
  return body;
}

bool OpensslVerifies(EVP_PKEY* key, const Bytes& data, const Bytes& raw) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(raw.data(), 32, nullptr), BN_bin2bn(raw.data() + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int derLen = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_CTX_set1_id(pctx, testpki::kSm2Id.data(), testpki::kSm2Id.size());
  EVP_MD_CTX_set_pkey_ctx(md, pctx);
  const bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sm3(), nullptr, key) == 1 &&
                  EVP_DigestVerify(md, der, std::size_t(derLen), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(md);
  EVP_PKEY_CTX_free(pctx);
  OPENSSL_free(der);
  return ok;
}

TEST(Sm2EncodeRawSignature, KnownAnswersAndRefusals) {
  Bytes out;
  ASSERT_EQ(Encode(Raw(0x11, 0x22), 64, SM2_SIGNATURE_SEQUENCE, out), S_OK);
  EXPECT_EQ(out.size(), 70u);
  EXPECT_EQ(out, Sequence(Raw(0x11, 0x22)));
  ASSERT_EQ(Encode(Raw(0x11, 0x22), 64, SM2_SIGNATURE_OCTET_STRING, out), S_OK);
  ASSERT_EQ(out.size(), 72u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0x04, 0x46, 0x30, 0x44}));
  // r from 0x80 up gets 33 content bytes; a leading 00 byte is kept (32).
  for (const Bytes& raw : {Raw(0x80, 0x00), Raw(0x00, 0xFF), Raw(0xC3, 0x91)}) {
    ASSERT_EQ(Encode(raw, 64, SM2_SIGNATURE_SEQUENCE, out), S_OK);
    EXPECT_EQ(out, Sequence(raw));
  }
  EXPECT_EQ(Sequence(Raw(0x80, 0x00)).size(), 71u);

  // Refusals write nothing (`out` then says whether both outputs stayed).
  for (DWORD len : {63u, 65u, 0u}) {
    EXPECT_EQ(Encode(Raw(0x11, 0x22), len, SM2_SIGNATURE_SEQUENCE, out), MakeHResult(0x8007000D));
    EXPECT_EQ(out, Bytes{1});
  }
  for (DWORD type : {0u, 3u, 1023u}) {
    EXPECT_EQ(Encode(Raw(0x11, 0x22), 64, type, out), E_INVALIDARG);
    EXPECT_EQ(out, Bytes{1});
  }
}

TEST(Sm2EncodeOIDAndSignerInfo, KnownAnswers) {
  BYTE* pby = nullptr;
  DWORD len = 0;
  ASSERT_EQ(SM2EncodeOID("1.2.156.10197.1.401", &pby, &len), S_OK);
  EXPECT_EQ(Bytes(pby, pby + len), (Bytes{0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55,
                                          0x01, 0x83, 0x11, 0x05, 0x00}));
  delete[] pby;

  const Bytes issuer{0x30, 0x0D, 0x31, 0x0B, 0x30, 0x09, 0x06, 0x03,
                     0x55, 0x04, 0x03, 0x0C, 0x02, 0x43, 0x41};  // CN=CA
  Bytes serial{0x34, 0x12, 0x00};                                // 0x1234, least significant first
  Bytes digest;
  ASSERT_EQ(Encode(Raw(0x90, 0x20), 64, SM2_SIGNATURE_OCTET_STRING, digest), S_OK);
  CMSG_SIGNER_INFO info{};
  info.dwVersion = 3;  // not read: version 1 is written
  info.Issuer = {DWORD(issuer.size()), const_cast<BYTE*>(issuer.data())};
  info.SerialNumber = {DWORD(serial.size()), serial.data()};
  info.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_SM3);
  info.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_SM2_SIGN);
  info.EncryptedHash = {DWORD(digest.size()), digest.data()};
  ASSERT_EQ(SM2EncodeSignerInfo(&info, &pby, &len), S_OK);
  const Bytes out(pby, pby + len);
  delete[] pby;

  Bytes body{0x02, 0x01, 0x01, 0x30, BYTE(issuer.size() + 5)};
  body.insert(body.end(), issuer.begin(), issuer.end());
  body.insert(body.end(), {0x02, 0x03, 0x00, 0x12, 0x34});
  for (const Bytes& piece :
       {signtest::AlgorithmDer(szOID_SM3), signtest::AlgorithmDer(szOID_SM2_SIGN), digest})
    body.insert(body.end(), piece.begin(), piece.end());
  body.insert(body.begin(), {0x30, BYTE(body.size())});
  EXPECT_EQ(out, body);
  EXPECT_EQ(serial, (Bytes{0x34, 0x12, 0x00})) << "the caller's serial is left alone";
}

class Sm2CspSigningTest : public testing::Test {
 protected:
  bool EngineVerifies(const Bytes& data, const Bytes& raw) {
    const Bytes x = signer.Id().PublicX(), y = signer.Id().PublicY();
    return engine::VerifySignature_Raw(x.data(), y.data(), data.data(), int(data.size()),
                                       raw.data(), int(raw.size())) == ORLO_OK;
  }
  std::string SignedData(const Bytes& data, BOOL attach) {
    LPSTR text = nullptr;
    DWORD len = 0;
    EXPECT_EQ(SM2SignBinaryDatabyUnregisteredCert(signer.Record(), data.data(), DWORD(data.size()),
                                                  attach, szOID_SM2_SIGN, &text, &len),
              S_OK);
    std::string out(text ? text : "");
    EXPECT_EQ(out.size(), len);
    delete[] text;
    return out;
  }

  signtest::Sm2CspSigner signer;
};

TEST_F(Sm2CspSigningTest, RawSignaturesOfDataAndFilesVerifyWithTheEngineAndOpenssl) {
  for (std::size_t size : {0, 1, 0x4000, 0x4001, 0x8003}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    Bytes data = signtest::Pattern(size, 0x21);
    const std::u16string path = signtest::WriteFile("data.bin", data);
    BYTE* pby = nullptr;
    DWORD len = 0;
    ASSERT_EQ(SM2CalculateHashandSignbyUnregisteredCert(signer.Record(), data.data(), DWORD(size),
                                                        &pby, &len),
              S_OK);
    const Bytes raw(pby, pby + len);
    delete[] pby;
    ASSERT_EQ(
        SM2CalculateFileHashandSignbyUnregisteredCert(signer.Record(), path.c_str(), &pby, &len),
        S_OK);
    const Bytes fileRaw(pby, pby + len);
    delete[] pby;
    for (const Bytes& sig : {raw, fileRaw}) {
      ASSERT_EQ(sig.size(), 64u);
      EXPECT_TRUE(EngineVerifies(data, sig));
      EXPECT_TRUE(OpensslVerifies(signer.Id().key(), data, sig));
    }
    data.push_back(0x01);
    EXPECT_FALSE(EngineVerifies(data, raw));
  }
}

TEST_F(Sm2CspSigningTest, ShortFilesAndMissingRecordsFailWritingNothing) {
  BYTE* pby = nullptr;
  DWORD len = 0;
  const char* shortFile = "/sys/kernel/profiling";  // sysfs: 4096 reported, fewer there
  std::error_code ec;
  if (std::filesystem::file_size(shortFile, ec) == 4096) {
    EXPECT_EQ(SM2CalculateFileHashandSignbyUnregisteredCert(
                  signer.Record(), FromUtf8(shortFile).c_str(), &pby, &len),
              HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
  }
  const Bytes data = signtest::Pattern(10);
  EXPECT_EQ(SM2CalculateHashandSignbyUnregisteredCert(nullptr, data.data(), 10, &pby, &len),
            E_INVALIDARG);
  UNREGISTERED_CERT_CONTEXT gone = *signer.Record();
  std::memcpy(gone.wszContainerName, u"no-such-container", sizeof u"no-such-container");
  EXPECT_TRUE(
      FAILED(SM2CalculateHashandSignbyUnregisteredCert(&gone, data.data(), 10, &pby, &len)));
  EXPECT_EQ(pby, nullptr);
  EXPECT_EQ(len, 0u);
}

TEST_F(Sm2CspSigningTest, SignedDataVerifiesWithTheEngineAttachedAndDetached) {
  const Bytes data = signtest::Pattern(0x4001, 0x66);
  for (BOOL attach : {TRUE, FALSE}) {
    SCOPED_TRACE(attach ? "attached" : "detached");
    const std::string text = SignedData(data, attach);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one line";
    const Bytes der = signtest::DecodeBase64(text);
    const Tlv root = signtest::Parse(der);
    std::vector<Tlv> fields = signtest::SignedDataFields(root);
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(root.children[0].value, (Bytes{0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x06, 0x01, 0x04, 0x02,
                                             0x02}));  // 1.2.156.10197.6.1.4.2.2
    EXPECT_EQ(fields[1].children.at(0).whole, signtest::AlgorithmDer(szOID_SM3));
    EXPECT_EQ(fields[2].children.size(), attach ? 2u : 1u);
    EXPECT_EQ(fields[3].value, signer.Id().CertDer());
    const std::vector<Tlv>& signerInfo = fields[4].children.at(0).children;
    ASSERT_EQ(signerInfo.size(), 5u);
    EXPECT_EQ(signerInfo[3].whole, signtest::AlgorithmDer(szOID_SM2_SIGN));

    if (attach) {
      BYTE* content = nullptr;
      int length = 0;
      ASSERT_EQ(engine::VerifySignature_DERPKCS7Attached(der.data(), int(der.size()), &content,
                                                         &length, nullptr, nullptr),
                ORLO_OK);
      EXPECT_EQ(Bytes(content, content + length), data);
      delete[] content;
    } else {
      EXPECT_EQ(engine::VerifySignature_DERPKCS7Detached(data.data(), int(data.size()), der.data(),
                                                         int(der.size()), nullptr, nullptr),
                ORLO_OK);
      Bytes other = data;
      other[0] ^= 0x01;
      EXPECT_NE(engine::VerifySignature_DERPKCS7Detached(
                    other.data(), int(other.size()), der.data(), int(der.size()), nullptr, nullptr),
                ORLO_OK);
    }
  }
}

TEST_F(Sm2CspSigningTest, DetachedFileSignedDataNeverReadsTheFile) {
  const Bytes data = signtest::Pattern(0x4001, 0x13);
  const std::u16string path = signtest::WriteFile("doc.bin", data);
  BYTE* pby = nullptr;
  DWORD len = 0;
  ASSERT_EQ(
      SM2CalculateFileHashandSignbyUnregisteredCert(signer.Record(), path.c_str(), &pby, &len),
      S_OK);
  const Bytes raw(pby, pby + len);
  delete[] pby;
  Bytes digest;
  ASSERT_EQ(Encode(raw, 64, SM2_SIGNATURE_OCTET_STRING, digest), S_OK);
  auto encapsulate = [&](const std::u16string& file, BOOL attach, Bytes& der) {
    LPSTR text = nullptr;
    DWORD textLen = 0;
    const HRESULT hr = SM2EncapsulatePKCS7(signer.Record()->pCertContext, szOID_SM3, szOID_SM2_SIGN,
                                           0, digest.data(), DWORD(digest.size()), &text, &textLen,
                                           TRUE, attach, 0, nullptr, file.c_str());
    if (SUCCEEDED(hr)) der = signtest::DecodeBase64(std::string(text, textLen));
    delete[] text;
    return hr;
  };
  // A path that does not exist: detached never opens it, attached must.
  const std::u16string missing =
      FromUtf8((testsupport::MakeTempDir("missing") / "none.bin").string());
  Bytes der;
  ASSERT_EQ(encapsulate(missing, FALSE, der), S_OK);
  EXPECT_EQ(engine::VerifySignature_DERPKCS7Detached(data.data(), int(data.size()), der.data(),
                                                     int(der.size()), nullptr, nullptr),
            ORLO_OK);
  EXPECT_EQ(encapsulate(missing, TRUE, der), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(encapsulate(path, TRUE, der), S_OK);
  BYTE* content = nullptr;
  int contentLen = 0;
  ASSERT_EQ(engine::VerifySignature_DERPKCS7Attached(der.data(), int(der.size()), &content,
                                                     &contentLen, nullptr, nullptr),
            ORLO_OK);
  EXPECT_EQ(Bytes(content, content + contentLen), data);
  delete[] content;
}

}  // namespace
