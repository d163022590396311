// RSA envelopes of a big file through the CryptoAPI-shaped message layer
// (triple-DES content, one RSA-2048 recipient named by key id) beside
// OpenSSL's CMS doing the same work in-process: CMS_encrypt streamed into a
// file BIO, and CMS_decrypt from a file BIO. The file is 16 MiB unless
// NPSIGIL_BENCH_FILE_MIB says otherwise; it and the platform's state
// folders (where the recipient's key container lives) are in a temporary
// folder removed at exit.
#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "pki/TestPki.h"
#include "platform/store/CertStore.h"
#include "winsvc/CryptoApiEnvelopes.h"

namespace {

namespace fs = std::filesystem;

constexpr char kDes3[] = "1.2.840.113549.3.7";

using UniqueBio = foundation::Unique<BIO, BIO_free>;
struct X509StackFree {
  // The stack only borrows the certificate.
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};

class RsaBigFile {
 public:
  static RsaBigFile& Get() {
    static RsaBigFile instance;
    return instance;
  }
  bool ok() const { return m_ok; }
  std::int64_t size() const { return m_size; }
  const fs::path& plain() const { return m_plain; }
  const fs::path& envelope() const { return m_envelope; }
  const testpki::Identity& recipient() const { return m_identity; }
  const CERTIFICATE_SET& recipients() const { return m_recipients; }
  const CERTSTORE_SET& stores() const { return m_stores; }
  fs::path Scratch(const char* name) const { return m_folder / name; }

  HRESULT SealTo(const fs::path& path) const {
    std::error_code ec;
    fs::remove(path, ec);
    return EncryptPlaintextFiletoEnvelopeFile(m_plain.u16string().c_str(), path.u16string().c_str(),
                                              m_recipients, kDes3);
  }

  ~RsaBigFile() {
    for (PCCERT_CONTEXT c : m_recipients) CertFreeCertificateContext(c);
    for (HCERTSTORE s : m_stores) CertCloseStore(s, 0);
    std::error_code ec;
    if (!m_folder.empty()) fs::remove_all(m_folder, ec);
  }

 private:
  RsaBigFile() {
    const char* mib = std::getenv("NPSIGIL_BENCH_FILE_MIB");
    m_size = static_cast<std::int64_t>(mib != nullptr ? std::atoll(mib) : 16) << 20;
    std::string folder = (fs::temp_directory_path() / "npsigil-rsabench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) return;
    m_folder = folder;
    m_plain = m_folder / "plain.bin";
    m_envelope = m_folder / "sealed.p7e";
    // The key container goes into state folders of our own, never the user's.
    for (const char* sub : {"home", "xdg", "machine"}) fs::create_directories(m_folder / sub);
    ::setenv("HOME", (m_folder / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (m_folder / "xdg").c_str(), 1);
    ::setenv("NPSIGIL_MACHINE_ROOT", (m_folder / "machine").c_str(), 1);

    testpki::CertProfile profile{.subject = "C=CN,O=Sigil Bench,CN=Sigil Bench RSA Recipient",
                                 .serialHex = "B002",
                                 .keyUsage = testpki::kKuKeyEncipherment};
    auto identity = testpki::MakeRsaIdentity(profile, nullptr);
    if (!identity) return;
    m_identity = std::move(*identity);
    testpki::Bytes pfx = testpki::MakePkcs12(m_identity, "pw");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    HCERTSTORE store = PFXImportCertStore(&blob, u"pw", 0);
    if (store == nullptr) return;
    m_stores.push_back(store);
    PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
    if (cert == nullptr) return;
    m_recipients.push_back(cert);

    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(m_plain.c_str(), "wb"),
                                                      std::fclose);
    if (!out) return;
    std::vector<unsigned char> block(1 << 16);
    std::uint32_t state = 0x9e3779b9u;
    for (std::int64_t written = 0; written < m_size; written += block.size()) {
      for (auto& b : block)
        b = static_cast<unsigned char>((state = state * 1664525u + 1013904223u) >> 24);
      if (std::fwrite(block.data(), 1, block.size(), out.get()) != block.size()) return;
    }
    out.reset();
    m_ok = SealTo(m_envelope) == S_OK;
  }

  bool m_ok = false;
  std::int64_t m_size = 0;
  fs::path m_folder, m_plain, m_envelope;
  testpki::Identity m_identity;
  CERTIFICATE_SET m_recipients;
  CERTSTORE_SET m_stores;
};

bool Ready(benchmark::State& state) {
  if (RsaBigFile::Get().ok()) return true;
  state.SkipWithError("could not prepare the big file");
  return false;
}

void Done(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * RsaBigFile::Get().size());
}

void RsaEnvelopeSealFile_Ours(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = RsaBigFile::Get();
  const fs::path out = f.Scratch("bench-seal.p7e");
  for (auto _ : state)
    if (f.SealTo(out) != S_OK) state.SkipWithError("EncryptPlaintextFiletoEnvelopeFile failed");
  Done(state);
}

void RsaEnvelopeOpenFile_Ours(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = RsaBigFile::Get();
  const fs::path out = f.Scratch("bench-open.bin");
  for (auto _ : state) {
    std::error_code ec;
    fs::remove(out, ec);
    if (DecryptEnvelopeFiletoPlaintextFile(f.envelope().u16string().c_str(),
                                           out.u16string().c_str(), f.stores()) != S_OK)
      state.SkipWithError("DecryptEnvelopeFiletoPlaintextFile failed");
  }
  Done(state);
}

void RsaEnvelopeSealFile_OpenSSL(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = RsaBigFile::Get();
  const fs::path outPath = f.Scratch("bench-openssl.p7e");
  const unsigned flags = CMS_STREAM | CMS_BINARY | CMS_USE_KEYID;
  for (auto _ : state) {
    std::unique_ptr<STACK_OF(X509), X509StackFree> certs(sk_X509_new_null());
    sk_X509_push(certs.get(), f.recipient().cert());
    UniqueBio in(BIO_new_file(f.plain().c_str(), "rb"));
    UniqueBio out(BIO_new_file(outPath.c_str(), "wb"));
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        CMS_encrypt(certs.get(), in.get(), EVP_des_ede3_cbc(), flags), CMS_ContentInfo_free);
    if (!in || !out || !cms || i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags) != 1)
      state.SkipWithError("CMS_encrypt failed");
  }
  Done(state);
}

void RsaEnvelopeOpenFile_OpenSSL(benchmark::State& state) {
  if (!Ready(state)) return;
  const auto& f = RsaBigFile::Get();
  const fs::path outPath = f.Scratch("bench-openssl.bin");
  for (auto _ : state) {
    UniqueBio in(BIO_new_file(f.envelope().c_str(), "rb"));
    UniqueBio out(BIO_new_file(outPath.c_str(), "wb"));
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
        in ? d2i_CMS_bio(in.get(), nullptr) : nullptr, CMS_ContentInfo_free);
    if (!out || !cms ||
        CMS_decrypt(cms.get(), f.recipient().key(), f.recipient().cert(), nullptr, out.get(),
                    CMS_BINARY) != 1)
      state.SkipWithError("CMS_decrypt failed");
  }
  Done(state);
}

}  // namespace

BENCHMARK(RsaEnvelopeSealFile_Ours)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(RsaEnvelopeSealFile_OpenSSL)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(RsaEnvelopeOpenFile_Ours)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(RsaEnvelopeOpenFile_OpenSSL)->Iterations(3)->Unit(benchmark::kMillisecond);
