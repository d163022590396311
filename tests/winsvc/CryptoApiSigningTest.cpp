#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pem.h>

#include <algorithm>
#include <fstream>

#include "SigningTestSupport.h"
#include "platform/base/Bstr.h"
#include "platform/base/CryptErrors.h"
#include "platform/csp/CspHash.h"
#include "resources/ResultCodes.h"
#include "support/Subprocess.h"
#include "winsvc/CryptoApiSigning.h"

namespace {

using signtest::Bytes;
using signtest::Tlv;

struct AlgorithmCase {
  ALG_ID algId;
  const char* digestOid;
  const char* signatureOid;
  const EVP_MD* (*md)();
};
const AlgorithmCase kAlgorithms[] = {
    {CALG_MD5, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4", EVP_md5},
    {CALG_SHA1, "1.3.14.3.2.26", "1.2.840.113549.1.1.1", EVP_sha1},
    {CALG_SHA_256, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", EVP_sha256},
    {CALG_SHA_384, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", EVP_sha384},
    {CALG_SHA_512, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", EVP_sha512},
};

bool OpensslVerifies(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& sig) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

int RunOpenssl(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/openssl");
  testsupport::ProcessResult result = testsupport::RunProcess(args);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  return result.exitCode;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CryptoApiSigningTest : public testing::Test {
 protected:
  Bytes Sign(const Bytes& data, ALG_ID algId) {
    BYTE* pby = nullptr;
    DWORD len = 0;
    EXPECT_EQ(S_OK, CalculateHashandSign(signer.Cert(), data.data(), DWORD(data.size()), algId,
                                         &pby, &len));
    Bytes out(pby, pby + len);
    delete[] pby;
    return out;
  }
  HRESULT VerifyRaw(const Bytes& data, Bytes sig, ALG_ID algId, LPCWSTR file = nullptr) {
    return VerifyHashSignedData(algId, signer.Cert(), data.data(), DWORD(data.size()), sig.data(),
                                DWORD(sig.size()), file, file != nullptr);
  }
  std::string SignData(const Bytes& data, ALG_ID algId, BOOL attach) {
    BSTR out = nullptr;
    EXPECT_EQ(S_OK,
              SignBinaryData(&out, data.data(), signer.Cert(), DWORD(data.size()), algId, attach));
    const std::string text = ToUtf8(out ? out : u"");
    SysFreeString(out);
    return text;
  }
  HRESULT VerifyDetached(const Bytes& der, const Bytes& data, PCCERT_CONTEXT* cert = nullptr) {
    BYTE* content = const_cast<BYTE*>(data.data());
    DWORD length = DWORD(data.size());
    return VerifySignature(der.data(), DWORD(der.size()), FALSE, &content, &length, cert);
  }
  // Certificate and key as PEM for the openssl tool.
  std::string PemFiles() {
    const auto folder = testsupport::MakeTempDir("pem");
    std::ofstream(folder / "cert.pem") << signer.Id().CertPem();
    BIO* bio = BIO_new_file((folder / "key.pem").c_str(), "w");
    PEM_write_bio_PrivateKey(bio, signer.Id().key(), nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(bio);
    return folder.string();
  }

  signtest::RsaSigner signer;
};

TEST(CryptoApiAlgorithms, TableBothWaysAndVerificationProviders) {
  for (const AlgorithmCase& c : kAlgorithms) {
    LPCSTR digest = nullptr, signature = nullptr;
    ALG_ID back = 0;
    ASSERT_TRUE(GetAlgorithmIdentifiers(c.algId, &digest, &signature));
    EXPECT_STREQ(digest, c.digestOid);
    EXPECT_STREQ(signature, c.signatureOid);
    EXPECT_EQ(GetHashALGID(c.digestOid, &back), S_OK);
    EXPECT_EQ(back, c.algId);
  }
  EXPECT_FALSE(GetAlgorithmIdentifiers(0x8002, nullptr, nullptr));
  EXPECT_FALSE(GetAlgorithmIdentifiers(CALG_SM3, nullptr, nullptr));
  ALG_ID algId = 0;
  for (const char* other : {"1.3.14.3.2.2", "1.3.14.3.2.26.0", "1.2.840.113549.1.1.11", ""})
    EXPECT_EQ(GetHashALGID(other, &algId), NTE_BAD_ALGID) << other;

  LPWSTR name = nullptr;
  ASSERT_EQ(GetAESProviderName(&name), S_OK);
  EXPECT_EQ(std::u16string(name), MS_ENH_RSA_AES_PROV_W);
  delete[] name;
  const std::pair<ALG_ID, DWORD> types[] = {{CALG_MD5, PROV_RSA_FULL},
                                            {CALG_SHA1, PROV_RSA_FULL},
                                            {CALG_SHA_256, PROV_RSA_AES},
                                            {CALG_SHA_512, PROV_RSA_AES}};
  for (auto [alg, type] : types) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    DWORD provType = 0, size = sizeof provType;
    ASSERT_EQ(CryptAcquireContextbyAlgorithm(&prov, alg), S_OK);
    EXPECT_TRUE(CryptGetProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&provType), &size, 0));
    EXPECT_EQ(provType, type) << alg;
    EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &hash));
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
  }
}

TEST_F(CryptoApiSigningTest, RawSignaturesAreBigEndianPkcs1OfMessagesAndFiles) {
  for (const AlgorithmCase& c : kAlgorithms) {
    for (std::size_t size : {0, 1, 0x4000, 0x4001, 0x8007}) {
      SCOPED_TRACE(testing::Message() << std::hex << c.algId << " size " << size);
      Bytes data = signtest::Pattern(size);
      const Bytes sig = Sign(data, c.algId);
      EXPECT_TRUE(OpensslVerifies(signer.Id().key(), c.md(), data, sig));
      EXPECT_EQ(VerifyRaw(data, sig, c.algId), S_OK);
      // PKCS #1 v1.5 is deterministic: the file of the same bytes signs alike.
      const std::u16string path = signtest::WriteFile("data.bin", data);
      BYTE* pby = nullptr;
      DWORD len = 0;
      ASSERT_EQ(CalculateFileHashandSign(signer.Cert(), path.c_str(), c.algId, &pby, &len), S_OK);
      EXPECT_EQ(Bytes(pby, pby + len), sig);
      delete[] pby;
      EXPECT_EQ(VerifyRaw({}, sig, c.algId, path.c_str()), S_OK);
      data.push_back(0);
      EXPECT_EQ(VerifyRaw(data, sig, c.algId), NTE_BAD_SIGNATURE);
      EXPECT_EQ(VerifyRaw(data, sig, c.algId == CALG_SHA1 ? CALG_MD5 : CALG_SHA1),
                NTE_BAD_SIGNATURE);
    }
  }
}

TEST_F(CryptoApiSigningTest, FileShorterThanItsSizeFailsInsteadOfLooping) {
  // sysfs reports 4096 bytes for files that hold far fewer.
  const char* path = "/sys/kernel/profiling";
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != 4096) GTEST_SKIP() << "no sysfs here";
  BYTE* pby = nullptr;
  DWORD len = 0;
  EXPECT_EQ(CalculateFileHashandSign(signer.Cert(), FromUtf8(path).c_str(), CALG_SHA1, &pby, &len),
            HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
  EXPECT_EQ(pby, nullptr);
  BSTR out = nullptr;
  EXPECT_EQ(SignFile(&out, FromUtf8(path).c_str(), signer.Cert(), CALG_SHA1),
            HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
}

TEST_F(CryptoApiSigningTest, UnknownHashAlgorithmIsRefusedBeforeTheKey) {
  // No key reachable: with a known algorithm the key is what fails.
  const Bytes der = signer.Id().CertDer();
  signtest::UniqueContext bare(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), DWORD(der.size())));
  BSTR out = nullptr;
  EXPECT_EQ(SignBinaryData(&out, der.data(), bare.get(), 10, CALG_SHA_256, TRUE),
            CRYPT_E_NO_KEY_PROPERTY);
  EXPECT_EQ(SignBinaryData(&out, der.data(), bare.get(), 10, 0x8002, TRUE), NTE_BAD_ALGID);
  EXPECT_EQ(SignFile(&out, u"/nonexistent", bare.get(), 0x8002), NTE_BAD_ALGID);
  EXPECT_EQ(out, nullptr);
}

TEST_F(CryptoApiSigningTest, SignedDataNamesTheAlgorithmsAndVerifiesEverywhere) {
  for (const AlgorithmCase& c : kAlgorithms) {
    for (BOOL attach : {TRUE, FALSE}) {
      const Bytes data = signtest::Pattern(attach ? 0x4000 : 0x4001, BYTE(c.algId));
      SCOPED_TRACE(testing::Message() << std::hex << c.algId << " attach " << attach);
      const std::string text = SignData(data, c.algId, attach);
      EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one line";
      const Bytes der = signtest::DecodeBase64(text);
      std::vector<Tlv> fields = signtest::SignedDataFields(signtest::Parse(der));
      ASSERT_EQ(fields.size(), 5u);
      EXPECT_EQ(fields[1].children.at(0).whole, signtest::AlgorithmDer(c.digestOid));
      ASSERT_EQ(fields[2].children.size(), attach ? 2u : 1u);
      if (attach) {
        EXPECT_EQ(fields[2].children[1].children.at(0).value, data);
      }
      EXPECT_EQ(fields[3].value, signer.Id().CertDer());
      // version, issuerAndSerialNumber, two algorithms, signature: no attributes.
      const std::vector<Tlv>& signerInfo = fields[4].children.at(0).children;
      ASSERT_EQ(signerInfo.size(), 5u);
      EXPECT_EQ(signerInfo[1].children.at(1).value, (Bytes{0x2A, 0x01}));
      EXPECT_EQ(signerInfo[2].whole, signtest::AlgorithmDer(c.digestOid));
      EXPECT_EQ(signerInfo[3].whole, signtest::AlgorithmDer(c.signatureOid));
      EXPECT_EQ(signerInfo[4].value, Sign(data, c.algId));

      BYTE* content = attach ? nullptr : const_cast<BYTE*>(data.data());
      DWORD length = attach ? 0 : DWORD(data.size());
      PCCERT_CONTEXT cert = nullptr;
      ASSERT_EQ(VerifySignatureBase64(FromUtf8(text).c_str(), attach, &content, &length, &cert),
                S_OK);
      signtest::UniqueContext owned(cert);
      EXPECT_EQ(Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded),
                signer.Id().CertDer());
      if (attach) {
        EXPECT_EQ(Bytes(content, content + length + 1), [&] {
          Bytes z = data;
          z.push_back(0);
          return z;
        }());
        delete[] content;
      } else {
        Bytes other = data;
        other[100] ^= 1;
        EXPECT_EQ(VerifyDetached(der, other), NTE_BAD_SIGNATURE);
      }
      const std::u16string sig = signtest::WriteFile("sig.der", der);
      const std::u16string in = signtest::WriteFile("data.bin", data);
      std::vector<std::string> args{"cms", "-verify", "-noverify", "-binary", "-inform",
                                    "DER", "-in",     ToUtf8(sig), "-out",    "/dev/null"};
      if (!attach) args.insert(args.end(), {"-content", ToUtf8(in)});
      RunOpenssl(args);
    }
  }
}

TEST_F(CryptoApiSigningTest, FileSignatureIsDetachedAndVerifies) {
  Bytes data(0x4001, 0x00);
  const std::string marker = "CONTENT-MUST-NOT-APPEAR";
  std::copy(marker.begin(), marker.end(), data.begin() + 0x100);
  const std::u16string path = signtest::WriteFile("doc.bin", data);
  BSTR out = nullptr;
  ASSERT_EQ(SignFile(&out, path.c_str(), signer.Cert(), CALG_SHA_256), S_OK);
  const std::u16string text(out);
  SysFreeString(out);
  const Bytes der = signtest::DecodeBase64(ToUtf8(text));
  EXPECT_EQ(signtest::SignedDataFields(signtest::Parse(der)).at(2).children.size(), 1u);
  EXPECT_EQ(std::search(der.begin(), der.end(), marker.begin(), marker.end()), der.end());

  EXPECT_EQ(VerifyFileSignatureBase64(text.c_str(), path.c_str()), S_OK);
  EXPECT_EQ(VerifyDetached(der, data), S_OK);
  std::ofstream(ToUtf8(path), std::ios::app) << 'x';
  EXPECT_EQ(VerifyFileSignatureBase64(text.c_str(), path.c_str()), NTE_BAD_SIGNATURE);
}

TEST_F(CryptoApiSigningTest, OpensslSignaturesVerifyButFilesOnlyWithoutAttributes) {
  const std::string pem = PemFiles();
  const Bytes data = signtest::Pattern(5000, 0x42);
  const std::u16string path = signtest::WriteFile("data.bin", data);
  for (bool noattr : {true, false}) {
    const std::string sig = pem + (noattr ? "/noattr.der" : "/attr.der");
    std::vector<std::string> args{"cms",        "-sign",          "-binary",
                                  "-md",        "sha256",         "-outform",
                                  "DER",        "-signer",        pem + "/cert.pem",
                                  "-inkey",     pem + "/key.pem", "-in",
                                  ToUtf8(path), "-out",           sig};
    if (noattr) args.push_back("-noattr");
    ASSERT_EQ(RunOpenssl(args), 0);
    const Bytes der = ReadAll(sig);
    EXPECT_EQ(VerifyFileSignature(der.data(), DWORD(der.size()), path.c_str()),
              noattr ? S_OK : NTE_BAD_SIGNATURE);
    EXPECT_EQ(VerifyDetached(der, data), S_OK);
  }
  // Certificates only, no signer.
  const std::string certsOnly = pem + "/certs.p7b";
  ASSERT_EQ(RunOpenssl({"crl2pkcs7", "-nocrl", "-certfile", pem + "/cert.pem", "-outform", "DER",
                        "-out", certsOnly}),
            0);
  const Bytes der = ReadAll(certsOnly);
  EXPECT_EQ(VerifyFileSignature(der.data(), DWORD(der.size()), path.c_str()),
            SIGIL_E_TOO_MANY_SIGNERS);
  EXPECT_TRUE(FAILED(VerifyDetached(der, data)));
}

// Two signers without attributes; with `breakSecond` the signature of the
// SignerInfo encoded second (DER sorts the SET) is damaged.
Bytes TwoSigners(const signtest::RsaSigner& a, const signtest::RsaSigner& b, const Bytes& data,
                 bool detached, bool breakSecond) {
  const int flags = CMS_PARTIAL | CMS_BINARY | (detached ? CMS_DETACHED : 0);
  CMS_ContentInfo* cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, flags);
  CMS_add1_signer(cms, a.Id().cert(), a.Id().key(), EVP_sha256(), CMS_NOATTR | CMS_BINARY);
  CMS_add1_signer(cms, b.Id().cert(), b.Id().key(), EVP_sha1(), CMS_NOATTR | CMS_BINARY);
  BIO* in = BIO_new_mem_buf(data.data(), int(data.size()));
  EXPECT_EQ(CMS_final(cms, in, nullptr, flags), 1);
  BIO_free(in);
  unsigned char* der = nullptr;
  const int len = i2d_CMS_ContentInfo(cms, &der);
  Bytes out(der, der + std::max(len, 0));
  OPENSSL_free(der);
  CMS_ContentInfo_free(cms);
  const std::vector<Tlv> fields = signtest::SignedDataFields(signtest::Parse(out));
  EXPECT_EQ(fields.back().children.size(), 2u);
  if (breakSecond) {
    const Bytes sig = fields.back().children.at(1).children.back().value;
    auto at = std::search(out.begin(), out.end(), sig.begin(), sig.end());
    at[long(sig.size() / 2)] ^= 0x01;
  }
  return out;
}

TEST_F(CryptoApiSigningTest, EverySignerMustVerify) {
  signtest::RsaSigner second("C=CN,O=Sigil Test,CN=Second", "2A02");
  const Bytes data = signtest::Pattern(3000, 0x7E);
  const std::u16string path = signtest::WriteFile("data.bin", data);
  for (bool breakSecond : {false, true}) {
    SCOPED_TRACE(breakSecond ? "second signer broken" : "both good");
    const Bytes detached = TwoSigners(signer, second, data, true, breakSecond);
    EXPECT_EQ(VerifyFileSignature(detached.data(), DWORD(detached.size()), path.c_str()),
              breakSecond ? NTE_BAD_SIGNATURE : S_OK);
    PCCERT_CONTEXT cert = nullptr;
    EXPECT_EQ(SUCCEEDED(VerifyDetached(detached, data, &cert)), !breakSecond);
    signtest::UniqueContext ownedCert(cert);

    const Bytes attached = TwoSigners(signer, second, data, false, breakSecond);
    BYTE* content = nullptr;
    DWORD length = 0;
    const HRESULT hr =
        VerifySignature(attached.data(), DWORD(attached.size()), TRUE, &content, &length, nullptr);
    EXPECT_EQ(SUCCEEDED(hr), !breakSecond) << std::hex << hr;
    if (SUCCEEDED(hr)) delete[] content;
    if (!breakSecond) {
      // The certificate handed out is the one the first SignerInfo names.
      ASSERT_NE(cert, nullptr);
      const Bytes firstSerial = signtest::SignedDataFields(signtest::Parse(detached))
                                    .back()
                                    .children.at(0)
                                    .children.at(1)
                                    .children.at(1)
                                    .value;
      EXPECT_EQ(cert->pCertInfo->SerialNumber.pbData[0], firstSerial.back());
    }
  }
}

}  // namespace
