// Big-file work of the SM2 message engine beside OpenSSL on the same file:
// SM3(Z || file) against OpenSSL's SM3 over the file, and SM2 envelope
// sealing and opening against OpenSSL's SM4-CBC streamed through the same
// 16 KiB blocks, file to file. The file is 256 MiB unless
// NPSIGIL_BENCH_FILE_MIB says otherwise; it lives in a temporary folder that
// is removed at exit.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "smengine/cipher/DataEncryption.h"
#include "smengine/common/EngineResult.h"
#include "smengine/envelope/DataEnvelope.h"
#include "smengine/signing/DataSigning.h"

namespace {

namespace fs = std::filesystem;

using File = foundation::UniqueFile;

constexpr std::size_t kBlock = 16384;
constexpr char kPassword[] = "123456";

class BigFile {
 public:
  static BigFile& Get() {
    static BigFile instance;
    return instance;
  }
  bool ok() const { return m_ok; }
  std::int64_t size() const { return m_size; }
  const fs::path& plain() const { return m_plain; }
  const fs::path& envelope() const { return m_envelope; }
  const fs::path& softCert() const { return m_softCert; }
  const testpki::Bytes& cert() const { return m_cert; }
  const testpki::Bytes& x() const { return m_x; }
  const testpki::Bytes& y() const { return m_y; }
  fs::path Scratch(const char* name) const { return m_folder / name; }

  int SealTo(const fs::path& path) const {
    std::error_code ec;
    fs::remove(path, ec);
    File in(std::fopen(m_plain.c_str(), "rb"));
    File out(std::fopen(path.c_str(), "wbx"));
    if (!in || !out) return ORLO_FAILED;
    return engine::EncryptFileToDerCMSEnvelope(out.get(), m_cert.data(),
                                               static_cast<int>(m_cert.size()), in.get());
  }

  ~BigFile() {
    std::error_code ec;
    if (!m_folder.empty()) fs::remove_all(m_folder, ec);
  }

 private:
  BigFile() {
    const char* mib = std::getenv("NPSIGIL_BENCH_FILE_MIB");
    m_size = static_cast<std::int64_t>(mib != nullptr ? std::atoll(mib) : 256) << 20;
    std::string folder = (fs::temp_directory_path() / "npsigil-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) return;
    m_folder = folder;
    m_plain = m_folder / "plain.bin";
    m_envelope = m_folder / "sealed.p7e";
    m_softCert = m_folder / "recipient.sm2";

    testpki::CertProfile profile{
        .subject = "C=CN,O=Sigil Bench,CN=Sigil Bench Recipient",
        .serialHex = "B001",
        .keyUsage = testpki::kKuDigitalSignature | testpki::kKuKeyEncipherment};
    auto identity = testpki::MakeSm2Identity(profile, nullptr);
    if (!identity) return;
    m_cert = identity->CertDer();
    m_x = identity->PublicX();
    m_y = identity->PublicY();
    std::string error;
    if (!testpki::WriteFileIn(m_folder, "recipient.sm2",
                              testpki::MakeSm2SoftCertFile(*identity, kPassword), &error))
      return;

    File out(std::fopen(m_plain.c_str(), "wb"));
    if (!out) return;
    std::vector<unsigned char> block(kBlock);
    std::uint32_t state = 0x9e3779b9u;
    for (std::int64_t written = 0; written < m_size; written += kBlock) {
      for (auto& b : block)
        b = static_cast<unsigned char>((state = state * 1664525u + 1013904223u) >> 24);
      if (std::fwrite(block.data(), 1, kBlock, out.get()) != kBlock) return;
    }
    out.reset();
    m_ok = SealTo(m_envelope) == ORLO_OK;
  }

 private:
  bool m_ok = false;
  std::int64_t m_size = 0;
  fs::path m_folder, m_plain, m_envelope, m_softCert;
  testpki::Bytes m_cert, m_x, m_y;
};

bool Ready(benchmark::State& state) {
  if (BigFile::Get().ok()) return true;
  state.SkipWithError("could not prepare the big file");
  return false;
}

void Done(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * BigFile::Get().size());
}

void Sm3File_Ours(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = BigFile::Get();
  unsigned char hash[32];
  for (auto _ : state) {
    File in(std::fopen(f.plain().c_str(), "rb"));
    if (engine::CalculateSM3FileHashEx(f.x().data(), f.y().data(), in.get(), hash) != ORLO_OK)
      state.SkipWithError("CalculateSM3FileHashEx failed");
    benchmark::DoNotOptimize(hash);
  }
  Done(state);
}

void Sm3File_OpenSSL(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = BigFile::Get();
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
      EVP_MD_fetch(nullptr, "SM3", "provider=default"), EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::vector<unsigned char> block(kBlock);
  unsigned char hash[32];
  unsigned int n = 0;
  for (auto _ : state) {
    File in(std::fopen(f.plain().c_str(), "rb"));
    EVP_DigestInit_ex(ctx.get(), md.get(), nullptr);
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, kBlock, in.get())) > 0)
      EVP_DigestUpdate(ctx.get(), block.data(), got);
    EVP_DigestFinal_ex(ctx.get(), hash, &n);
    benchmark::DoNotOptimize(hash);
  }
  Done(state);
}

void SealFile_Ours(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = BigFile::Get();
  const fs::path out = f.Scratch("bench-seal.p7e");
  for (auto _ : state)
    if (f.SealTo(out) != ORLO_OK) state.SkipWithError("EncryptFileToDerCMSEnvelope failed");
  Done(state);
}

void OpenFile_Ours(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = BigFile::Get();
  const fs::path outPath = f.Scratch("bench-open.bin");
  for (auto _ : state) {
    std::error_code ec;
    fs::remove(outPath, ec);
    File softCert(std::fopen(f.softCert().c_str(), "rb"));
    File envelope(std::fopen(f.envelope().c_str(), "rb"));
    File out(std::fopen(outPath.c_str(), "wbx"));
    if (engine::DecryptDerCMSEnvelopeFile(kPassword, out.get(), envelope.get(), softCert.get()) !=
        ORLO_OK)
      state.SkipWithError("DecryptDerCMSEnvelopeFile failed");
  }
  Done(state);
}

// OpenSSL's SM4-CBC streamed file to file in the same blocks as ours.
void Sm4CbcFile_OpenSSL(benchmark::State& state, bool bEncrypt) {
  if (!Ready(state)) return;
  const auto& f = BigFile::Get();
  const fs::path outPath = f.Scratch("bench-openssl.bin");
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher(
      EVP_CIPHER_fetch(nullptr, "SM4-CBC", "provider=default"), EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const unsigned char iv[16] = {};
  std::vector<unsigned char> in(kBlock), out(kBlock + 16);
  for (auto _ : state) {
    std::error_code ec;
    fs::remove(outPath, ec);
    // Decryption runs over a ciphertext of the file's size with padding off,
    // which is the work an envelope's content costs.
    File src(std::fopen(f.plain().c_str(), "rb"));
    File dst(std::fopen(outPath.c_str(), "wbx"));
    EVP_CipherInit_ex(ctx.get(), cipher.get(), nullptr, key, iv, bEncrypt ? 1 : 0);
    if (!bEncrypt) EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::size_t got = 0;
    int n = 0;
    while ((got = std::fread(in.data(), 1, kBlock, src.get())) > 0) {
      EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(got));
      std::fwrite(out.data(), 1, static_cast<std::size_t>(n), dst.get());
    }
    EVP_CipherFinal_ex(ctx.get(), out.data(), &n);
    std::fwrite(out.data(), 1, static_cast<std::size_t>(n), dst.get());
  }
  Done(state);
}

void SealFile_OpenSSLSm4Cbc(benchmark::State& state) { Sm4CbcFile_OpenSSL(state, true); }
void OpenFile_OpenSSLSm4Cbc(benchmark::State& state) { Sm4CbcFile_OpenSSL(state, false); }

}  // namespace

BENCHMARK(Sm3File_Ours)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Sm3File_OpenSSL)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(SealFile_Ours)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(SealFile_OpenSSLSm4Cbc)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenFile_Ours)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenFile_OpenSSLSm4Cbc)->Iterations(3)->Unit(benchmark::kMillisecond);
