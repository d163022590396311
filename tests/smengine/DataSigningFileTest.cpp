#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pki/TestPki.h"
#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/common/Misc.h"
#include "smengine/signing/DataSigning.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr const char* kPassword = "file-pass";

// Byte i of every test file; the streams below produce the same bytes.
BYTE At(std::int64_t i) { return BYTE(i % 251); }
Bytes Content(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = At(std::int64_t(i));
  return b;
}

UniqueFile TempFile(const void* p, std::size_t n) {
  UniqueFile f(std::tmpfile());
  if (n > 0) std::fwrite(p, 1, n, f.get());
  std::fflush(f.get());
  std::rewind(f.get());
  return f;
}
UniqueFile TempFile(const Bytes& b) { return TempFile(b.data(), b.size()); }

// A stream that reports `claimed` bytes when measured but then yields only
// `delivered` (or a read error): the file that shrank after it was measured,
// or a failing device. It never needs the claimed bytes in memory.
struct ShrinkingStream {
  std::int64_t claimed, delivered;
  bool fail = false;
  std::int64_t pos = 0;
  UniqueFile Open() {
    cookie_io_functions_t io{};
    io.read = [](void* c, char* buf, size_t size) -> ssize_t {
      auto* s = static_cast<ShrinkingStream*>(c);
      if (s->fail) return -1;
      const std::int64_t n = std::clamp<std::int64_t>(s->delivered - s->pos, 0, std::int64_t(size));
      for (std::int64_t i = 0; i < n; ++i) buf[i] = char(At(s->pos + i));
      s->pos += n;
      return ssize_t(n);
    };
    io.seek = [](void* c, off64_t* offset, int whence) {
      auto* s = static_cast<ShrinkingStream*>(c);
      s->pos = *offset + (whence == SEEK_END ? s->claimed : whence == SEEK_CUR ? s->pos : 0);
      *offset = s->pos;
      return 0;
    };
    return UniqueFile(fopencookie(this, "rb", io));
  }
};

class DataSigningFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testpki::CertProfile profile{"C=CN,O=Sigil Test,CN=file signer", "51",
                                 testpki::kKuDigitalSignature};
    id_ = new testpki::Identity(std::move(*testpki::MakeSm2Identity(profile, nullptr)));
    softCert_ = new std::string(testpki::MakeSm2SoftCertFile(*id_, kPassword));
    der_ = new Bytes(testpki::MakeSm2SoftCertDer(*id_, kPassword));
  }
  static void TearDownTestSuite() { delete id_, delete softCert_, delete der_; }

  void SetUp() override {
    ASSERT_EQ(engine::DecryptKeyPairFromSM2PFX(kPassword, &pair_, der_->data(), int(der_->size())),
              ORLO_OK);
  }
  void TearDown() override { engine::FreeSM2KeyPair(&pair_); }

  UniqueFile SoftCert() const { return TempFile(softCert_->data(), softCert_->size()); }
  int FileHash(FILE* f, BYTE* digest) const {
    return engine::CalculateSM3FileHashEx(pair_.pbyPubKeyX, pair_.pbyPubKeyY, f, digest);
  }
  int DataHash(const Bytes& b, BYTE* digest) const {
    return engine::CalculateSM3Hash(pair_.pbyPubKeyX, pair_.pbyPubKeyY, b.data(), int(b.size()),
                                    digest);
  }
  int VerifyRaw(FILE* f, const BYTE* sig, int n = 64) const {
    return engine::VerifyFileSignature_Raw(f, pair_.pbyPubKeyX, pair_.pbyPubKeyY, sig, n);
  }
  static int VerifyPkcs1(FILE* f, const std::string& sig) {
    const std::string cert = testpki::Base64Encode(id_->CertDer());
    return engine::VerifyFileSignature_PKCS1_ByCert(cert.data(), int(cert.size()), sig.data(),
                                                    int(sig.size()), f);
  }
  static int VerifyDetached(FILE* f, const std::string& p7) {
    return engine::SM2_VerifyFileSignature_PKCS7Detached(p7.data(), int(p7.size()), f);
  }
  // Takes a text output of the engine; by reference, as the call that fills
  // it is an argument too.
  static std::string Text(int code, char*& psz, const int& n) {
    EXPECT_EQ(code, ORLO_OK);
    std::string out = code == ORLO_OK ? std::string(psz, std::size_t(n)) : std::string();
    delete[] psz;
    return out;
  }

  engine::SM2_KEY_PAIR pair_;
  static testpki::Identity* id_;
  static std::string* softCert_;
  static Bytes* der_;
};
testpki::Identity* DataSigningFile::id_ = nullptr;
std::string* DataSigningFile::softCert_ = nullptr;
Bytes* DataSigningFile::der_ = nullptr;

TEST_F(DataSigningFile, FileDigestEqualsDataDigestAtEveryBlockBoundary) {
  for (std::size_t n : {0u, 1u, 16383u, 16384u, 16385u, 3u * 1024 * 1024 + 7}) {
    SCOPED_TRACE(n);
    const Bytes data = Content(n);
    BYTE fromData[32], fromFile[32];
    ASSERT_EQ(DataHash(data, fromData), ORLO_OK);
    UniqueFile f = TempFile(data);
    std::fseek(f.get(), long(n / 2), SEEK_SET);  // the whole file, wherever the stream stands
    ASSERT_EQ(FileHash(f.get(), fromFile), ORLO_OK);
    EXPECT_EQ(0, std::memcmp(fromData, fromFile, 32));
  }
}

TEST_F(DataSigningFile, FileSignaturesVerifyAsFilesAndAsData) {
  const Bytes data = Content(40000);
  UniqueFile f = TempFile(data), pfx = SoftCert();
  std::fseek(f.get(), 123, SEEK_SET);
  BYTE *pbyPair = nullptr, *pbySoft = nullptr;
  int n = 0;
  ASSERT_EQ(engine::SignFile_Raw_ByKeyPair(f.get(), &pair_, &pbyPair, &n), ORLO_OK);
  ASSERT_EQ(engine::SignFile_Raw_BySM2PFX(kPassword, f.get(), pfx.get(), &pbySoft, &n), ORLO_OK);
  for (BYTE* sig : {pbyPair, pbySoft}) {
    EXPECT_EQ(VerifyRaw(f.get(), sig), ORLO_OK);
    EXPECT_EQ(engine::VerifySignature_Raw(pair_.pbyPubKeyX, pair_.pbyPubKeyY, data.data(),
                                          int(data.size()), sig, 64),
              ORLO_OK);
    delete[] sig;
  }
  char* psz = nullptr;
  const std::string pkcs1 =
      Text(engine::SignFile_PKCS1_BySM2PFX(kPassword, pfx.get(), f.get(), &psz, &n), psz, n);
  EXPECT_EQ(VerifyPkcs1(f.get(), pkcs1), ORLO_OK);
  const std::string p7 = Text(
      engine::SignFile_PKCS7Detached_BySM2PFX(kPassword, &psz, f.get(), pfx.get(), &n), psz, n);
  EXPECT_EQ(VerifyDetached(f.get(), p7), ORLO_OK);
  EXPECT_EQ(engine::VerifySignature_PKCS7Detached(data.data(), int(data.size()), p7.data(),
                                                  int(p7.size())),
            ORLO_OK);
  // Signed as data, verified as a file; and an empty file.
  const std::string dataP7 =
      Text(engine::SignData_PKCS7_BySM2PFX(kPassword, data.data(), int(data.size()), pfx.get(),
                                           FALSE, &psz, &n),
           psz, n);
  EXPECT_EQ(VerifyDetached(f.get(), dataP7), ORLO_OK);
  UniqueFile empty = TempFile(Bytes{});
  EXPECT_EQ(VerifyDetached(empty.get(), Text(engine::SignFile_PKCS7Detached_BySM2PFX(
                                                 kPassword, &psz, empty.get(), pfx.get(), &n),
                                             psz, n)),
            ORLO_OK);
}

TEST_F(DataSigningFile, ChangedFilesWrongSizesWrongKindsAndNoStreamsFail) {
  const Bytes data = Content(20000);
  UniqueFile f = TempFile(data), pfx = SoftCert();
  char* psz = nullptr;
  int n = 0;
  const std::string pkcs1 =
      Text(engine::SignFile_PKCS1_BySM2PFX(kPassword, pfx.get(), f.get(), &psz, &n), psz, n);
  const std::string p7 = Text(
      engine::SignFile_PKCS7Detached_BySM2PFX(kPassword, &psz, f.get(), pfx.get(), &n), psz, n);
  for (std::size_t at : {std::size_t(0), std::size_t(16384), data.size() - 1, data.size()}) {
    Bytes changed = data;
    if (at < data.size())
      changed[at] ^= 0x01;
    else
      changed.push_back(0);
    UniqueFile g = TempFile(changed);
    EXPECT_EQ(VerifyPkcs1(g.get(), pkcs1), ORLO_FAILED) << at;
    EXPECT_EQ(VerifyDetached(g.get(), p7), ORLO_FAILED) << at;
  }
  const Bytes junk(73, 0x30);
  EXPECT_EQ(VerifyRaw(f.get(), junk.data(), 63), ORLO_INVALID_PARAMETER);
  EXPECT_EQ(VerifyPkcs1(f.get(), testpki::Base64Encode({junk.data(), 65})),
            static_cast<int>(NTE_BAD_SIGNATURE));
  const std::string attached =
      Text(engine::SignData_PKCS7_BySM2PFX(kPassword, data.data(), 100, pfx.get(), TRUE, &psz, &n),
           psz, n);
  EXPECT_EQ(VerifyDetached(f.get(), attached), static_cast<int>(SIGIL_E_INVALID_PKCS7));

  BYTE* pbyRaw = nullptr;
  psz = nullptr;
  for (int code :
       {engine::SignFile_Raw_ByKeyPair(nullptr, &pair_, &pbyRaw, &n),
        engine::SignFile_Raw_BySM2PFX(kPassword, nullptr, pfx.get(), &pbyRaw, &n),
        engine::SignFile_Raw_BySM2PFX(kPassword, f.get(), nullptr, &pbyRaw, &n),
        engine::SignFile_PKCS1_BySM2PFX(kPassword, pfx.get(), nullptr, &psz, &n),
        engine::SignFile_PKCS7Detached_BySM2PFX(kPassword, &psz, f.get(), nullptr, &n),
        VerifyRaw(nullptr, junk.data()), VerifyPkcs1(nullptr, pkcs1), VerifyDetached(nullptr, p7)})
    EXPECT_EQ(code, ORLO_INVALID_PARAMETER);
  EXPECT_TRUE(pbyRaw == nullptr && psz == nullptr);
}

TEST_F(DataSigningFile, ShortReadsAreReadFaultsNotRetries) {
  BYTE digest[32] = {};
  BYTE* pbyRaw = nullptr;
  int n = 0;
  // Short in the first whole block, after whole blocks, in the final block.
  for (auto [claimed, delivered] : {std::pair<std::int64_t, std::int64_t>{16384, 16383},
                                    {40000, 16384},
                                    {40000, 39999},
                                    {1, 0}}) {
    SCOPED_TRACE(claimed);
    ShrinkingStream s{claimed, delivered};
    UniqueFile f = s.Open();
    EXPECT_EQ(FileHash(f.get(), digest), ORLO_READ_FAULT);
    EXPECT_EQ(engine::SignFile_Raw_ByKeyPair(f.get(), &pair_, &pbyRaw, &n), ORLO_READ_FAULT);
    EXPECT_EQ(VerifyRaw(f.get(), digest), ORLO_READ_FAULT);
  }
  ShrinkingStream broken{100, 100, true};
  EXPECT_EQ(FileHash(broken.Open().get(), digest), ORLO_READ_FAULT);

  // A real file cut short between measuring and reading.
  const Bytes data = Content(50000);
  UniqueFile f = TempFile(data);
  std::int64_t nMeasured = 0;
  ASSERT_EQ(GetFileSize_Ex64(f.get(), &nMeasured), ORLO_OK);
  ASSERT_EQ(::ftruncate(::fileno(f.get()), 20000), 0);
  EXPECT_EQ(
      engine::CalculateSM3FileHash(pair_.pbyPubKeyX, pair_.pbyPubKeyY, f.get(), nMeasured, digest),
      ORLO_READ_FAULT);

  // A soft-certificate file that ends early.
  const std::int64_t nText = std::int64_t(softCert_->size());
  ShrinkingStream shortPfx{nText, nText - 1};
  EXPECT_EQ(engine::SignFile_Raw_BySM2PFX(kPassword, f.get(), shortPfx.Open().get(), &pbyRaw, &n),
            ORLO_READ_FAULT);
  EXPECT_EQ(pbyRaw, nullptr);
}

TEST_F(DataSigningFile, FilesOfFourGibibytesAndMoreAreMeasuredIn64Bits) {
  // In 32 bits this size would be refused or wrap to one byte; in 64 bits
  // reading starts, and the short first block is what fails. Whole files
  // past 4 GiB run under the "large" label.
  const std::int64_t kBig = (std::int64_t(1) << 32) + 1;
  ShrinkingStream s{kBig, 100};
  BYTE digest[32] = {};
  EXPECT_EQ(FileHash(s.Open().get(), digest), ORLO_READ_FAULT);
}

}  // namespace
