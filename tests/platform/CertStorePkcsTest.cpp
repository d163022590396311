// Stores over PKCS#7 certificate bundles and PKCS#12 imports.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "foundation/Unique.h"
#include "CertStoreTesting.h"
#include "pki/TestPki.h"
#include "platform/store/CertStorePfx.h"
#include "platform/base/CryptErrors.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspProvider.h"
#include "platform/fs/StateFolders.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"

namespace {

using namespace storetest;
namespace fs = std::filesystem;

// A certificates-only SignedData (no signers), as a .p7b holds.
Bytes CertificatesOnly(const std::vector<PCCERT_CONTEXT>& certs) {
  foundation::Unique<PKCS7, PKCS7_free> p7(PKCS7_new());
  EXPECT_EQ(PKCS7_set_type(p7.get(), NID_pkcs7_signed), 1);
  EXPECT_EQ(PKCS7_content_new(p7.get(), NID_pkcs7_data), 1);
  for (PCCERT_CONTEXT c : certs) EXPECT_EQ(PKCS7_add_certificate(p7.get(), CertContextX509(c)), 1);
  unsigned char* der = nullptr;
  int size = i2d_PKCS7(p7.get(), &der);
  Bytes out(der, der + std::max(size, 0));
  OPENSSL_free(der);
  return out;
}

HCERTSTORE OpenPkcs7(const Bytes& der, DWORD flags = 0) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  return CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, flags,
                       &blob);
}

TEST(Pkcs7StoreTest, HoldsTheCertificatesInOrder) {
  std::vector<UniqueContext> certs;
  for (BYTE serial : {5, 3, 4}) certs.push_back(MakeCert(serial, "p7 " + std::to_string(serial)));
  Bytes der = CertificatesOnly({certs[0].get(), certs[1].get(), certs[2].get()});
  UniqueStore store(OpenPkcs7(der));
  ASSERT_TRUE(store) << std::hex << GetLastError();
  EXPECT_EQ(Ders(store.get()),
            (std::vector<Bytes>{Der(certs[0].get()), Der(certs[1].get()), Der(certs[2].get())}));
  // Writable unless asked otherwise, like any memory store.
  UniqueContext extra = MakeCert(6);
  EXPECT_TRUE(
      CertAddCertificateContextToStore(store.get(), extra.get(), CERT_STORE_ADD_NEW, nullptr));

  UniqueStore empty(OpenPkcs7(CertificatesOnly({})));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(Enumerate(empty.get()).empty());
}

TEST(Pkcs7StoreTest, ReadOnlyBundleRefusesChanges) {
  UniqueContext cert = MakeCert(5);
  UniqueStore store(OpenPkcs7(CertificatesOnly({cert.get()}), CERT_STORE_READONLY_FLAG));
  ASSERT_TRUE(store);
  EXPECT_FALSE(
      CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(GetLastError(), Hr(E_ACCESSDENIED));
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(CertDeleteCertificateFromStore(first));  // frees first all the same
  EXPECT_EQ(GetLastError(), Hr(E_ACCESSDENIED));
  EXPECT_EQ(Ders(store.get()).size(), 1u);
}

TEST(Pkcs7StoreTest, RefusesWhatIsNotACertificateBundle) {
  UniqueContext cert = MakeCert(5);
  Bytes good = CertificatesOnly({cert.get()});
  Bytes trailing = good;
  trailing.push_back(0);
  EXPECT_EQ(OpenPkcs7(trailing), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(OpenPkcs7(Bytes{0x30, 0x03, 2, 1, 1}), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(OpenPkcs7(Der(cert.get())), nullptr);

  foundation::Unique<PKCS7, PKCS7_free> data(PKCS7_new());
  ASSERT_EQ(PKCS7_set_type(data.get(), NID_pkcs7_data), 1);
  unsigned char* der = nullptr;
  int size = i2d_PKCS7(data.get(), &der);
  Bytes dataDer(der, der + size);
  OPENSSL_free(der);
  EXPECT_EQ(OpenPkcs7(dataDer), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_INVALID_MSG_TYPE));

  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_PKCS7, 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
}

// --- PKCS#12 ---------------------------------------------------------------

const testpki::Identity& RsaRoot() {
  static testpki::Identity id = [] {
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=Store RSA Root";
    profile.serialHex = "01";
    profile.isCa = true;
    return std::move(*testpki::MakeRsaIdentity(profile, nullptr));
  }();
  return id;
}

const testpki::Identity& RsaLeaf() {
  static testpki::Identity id = [] {
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=Store RSA Leaf";
    profile.serialHex = "0A01";
    return std::move(*testpki::MakeRsaIdentity(profile, &RsaRoot()));
  }();
  return id;
}

const testpki::Identity& Sm2Leaf() {
  static testpki::Identity id = [] {
    testpki::CertProfile profile;
    profile.subject = "C=CN,O=Sigil Test,CN=Store SM2 Leaf";
    profile.serialHex = "0B01";
    return std::move(*testpki::MakeSm2Identity(profile, nullptr));
  }();
  return id;
}

HCERTSTORE Import(const Bytes& pfx, const char16_t* password) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), const_cast<BYTE*>(pfx.data())};
  return PFXImportCertStore(&blob, password, CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
}

// Every regular file below the user's key folders.
std::vector<fs::path> KeyFiles() {
  std::vector<fs::path> files;
  std::error_code ec;
  fs::path keys = UserStateRoot() / "keys";
  for (fs::recursive_directory_iterator it(keys, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file()) files.push_back(it->path());
  return files;
}

bool KeyUsable(PCCERT_CONTEXT c) {
  HCRYPTPROV prov = 0;
  DWORD keyType = 0;
  BOOL callerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &keyType, &callerFree)) return false;
  if (callerFree) CryptReleaseContext(prov, 0);
  return keyType == AT_KEYEXCHANGE;
}

bool ContainerExists(const ProvInfo& info) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, info.container.c_str(), info.provider.c_str(), info.provType, 0))
    return false;
  CryptReleaseContext(prov, 0);
  return true;
}

TEST(PfxImportTest, RsaKeyGoesToAVolatileContainer) {
  std::vector<fs::path> before = KeyFiles();
  Bytes pfx = testpki::MakePkcs12(RsaLeaf(), "p\xC3\xA4ss", {&RsaRoot()});
  ASSERT_FALSE(pfx.empty());
  UniqueStore store(Import(pfx, u"p\u00e4ss"));
  ASSERT_TRUE(store) << std::hex << GetLastError();

  std::vector<UniqueContext> listed = Enumerate(store.get());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(Der(listed[0].get()), RsaLeaf().CertDer());
  EXPECT_EQ(Der(listed[1].get()), RsaRoot().CertDer());
  EXPECT_FALSE(KeyProvInfo(listed[1].get()).has_value());

  std::optional<ProvInfo> info = KeyProvInfo(listed[0].get());
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->container.empty());
  EXPECT_EQ(info->provider, std::u16string(MS_ENHANCED_PROV_W));
  EXPECT_EQ(info->provType, PROV_RSA_FULL);
  EXPECT_EQ(info->keyType, AT_KEYEXCHANGE);
  EXPECT_TRUE(KeyUsable(listed[0].get()));
  EXPECT_EQ(KeyFiles(), before);
}

TEST(PfxImportTest, Sm2KeyGoesToTheSm2Provider) {
  ASSERT_EQ(platform::csp::InstallProvider(SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                           platform::csp::kImageSm2Software),
            ERROR_SUCCESS);
  std::vector<fs::path> before = KeyFiles();
  UniqueStore store(Import(testpki::MakePkcs12(Sm2Leaf(), "123456"), u"123456"));
  ASSERT_TRUE(store) << std::hex << GetLastError();
  std::vector<UniqueContext> listed = Enumerate(store.get());
  ASSERT_EQ(listed.size(), 1u);
  std::optional<ProvInfo> info = KeyProvInfo(listed[0].get());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->provider, std::u16string(SIGIL_SM2_PROV_W));
  EXPECT_EQ(info->keyType, AT_KEYEXCHANGE);
  EXPECT_TRUE(KeyUsable(listed[0].get()));
  EXPECT_EQ(KeyFiles(), before);
}

// The key lives as long as the store or any of its contexts, then goes.
TEST(PfxImportTest, KeyLivesWithTheLastContext) {
  HCERTSTORE store = Import(testpki::MakePkcs12(RsaLeaf(), "123456"), u"123456");
  ASSERT_NE(store, nullptr);
  UniqueContext leaf(CertEnumCertificatesInStore(store, nullptr));
  ASSERT_TRUE(leaf);
  ProvInfo info = *KeyProvInfo(leaf.get());
  EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_TRUE(ContainerExists(info));
  EXPECT_TRUE(KeyUsable(leaf.get()));
  leaf.reset();
  EXPECT_FALSE(ContainerExists(info));
  EXPECT_EQ(GetLastError(), Hr(NTE_BAD_KEYSET));
}

TEST(PfxImportTest, Passwords) {
  Bytes pfx = testpki::MakePkcs12(RsaLeaf(), "123456");
  EXPECT_EQ(Import(pfx, u"654321"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PASSWORD);
  EXPECT_EQ(Import(pfx, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PASSWORD);

  // No password: null and empty both open it.
  Bytes open = testpki::MakePkcs12(RsaLeaf(), "");
  ASSERT_FALSE(open.empty());
  for (const char16_t* password : {static_cast<const char16_t*>(nullptr), u""}) {
    UniqueStore store(Import(open, password));
    ASSERT_TRUE(store) << std::hex << GetLastError();
    std::vector<UniqueContext> listed = Enumerate(store.get());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(KeyProvInfo(listed[0].get()).has_value());
  }
}

TEST(PfxImportTest, RefusesWhatIsNotAPkcs12) {
  Bytes garbage = {0x30, 0x82, 0x01, 0x00, 0x02, 0x01, 0x03};
  EXPECT_EQ(Import(garbage, u"123456"), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_BAD_ENCODE));
  EXPECT_EQ(Import(RsaLeaf().CertDer(), u"123456"), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_BAD_ENCODE));
  EXPECT_EQ(PFXImportCertStore(nullptr, u"x", 0), nullptr);
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
}

// PKCS#12 files as older tools write them, made by the openssl command.
class LegacyPfxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/openssl")) GTEST_SKIP() << "no openssl command";
    dir_ = testsupport::MakeTempDir("legacy-pfx");
    Write("leaf.pem", RsaLeaf().CertPem());
    Write("root.pem", RsaRoot().CertPem());
    BIO* bio = BIO_new_file((dir_ / "key.pem").c_str(), "w");
    ASSERT_NE(bio, nullptr);
    ASSERT_EQ(PEM_write_bio_PrivateKey(bio, RsaLeaf().key(), nullptr, nullptr, 0, nullptr, nullptr),
              1);
    BIO_free(bio);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  // `openssl pkcs12 -export` of the leaf, its key and the root with the options.
  Bytes Export(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"/usr/bin/openssl", "pkcs12", "-export",
                                     "-in", (dir_ / "leaf.pem").string(),
                                     "-inkey", (dir_ / "key.pem").string(),
                                     "-certfile", (dir_ / "root.pem").string(),
                                     "-passout", "pass:123456",
                                     "-out", (dir_ / "out.p12").string()};
    args.insert(args.end(), options.begin(), options.end());
    fs::remove(dir_ / "out.p12");
    const auto run = testsupport::RunProcess(args);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    std::ifstream in(dir_ / "out.p12", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // What `openssl pkcs12 -info` says of the file's encryption and MAC.
  std::string Info(const Bytes& pfx) {
    {
      std::ofstream out(dir_ / "info.p12", std::ios::binary);
      out.write(reinterpret_cast<const char*>(pfx.data()), static_cast<std::streamsize>(pfx.size()));
    }
    return testsupport::RunProcess({"/usr/bin/openssl", "pkcs12", "-legacy", "-info", "-noout",
                                    "-in", (dir_ / "info.p12").string(), "-passin",
                                    "pass:123456"})
        .output;
  }

  fs::path dir_;
};

TEST_F(LegacyPfxTest, Rc2AndTripleDesFilesWithSha1MacOpenWithTheirKey) {
  const std::vector<std::vector<std::string>> kinds = {
      {"-legacy"},
      {"-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES", "-macalg", "sha1"},
  };
  for (const auto& options : kinds) {
    SCOPED_TRACE(options.front());
    const Bytes pfx = Export(options);
    ASSERT_FALSE(pfx.empty());
    const std::string info = Info(pfx);
    EXPECT_NE(info.find("MAC: sha1"), std::string::npos) << info;
    if (options.front() == "-legacy")
      EXPECT_NE(info.find("pbeWithSHA1And40BitRC2-CBC"), std::string::npos) << info;
    else
      EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC"), std::string::npos) << info;

    UniqueStore store(Import(pfx, u"123456"));
    ASSERT_TRUE(store) << std::hex << GetLastError();
    std::vector<UniqueContext> listed = Enumerate(store.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(Der(listed[0].get()), RsaLeaf().CertDer());
    EXPECT_EQ(Der(listed[1].get()), RsaRoot().CertDer());
    EXPECT_TRUE(KeyUsable(listed[0].get()));

    EXPECT_EQ(Import(pfx, u"654321"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PASSWORD);
  }
  EXPECT_TRUE(certstore::LoadPkcs12Providers());
}

TEST(PfxImportTest, BlobsOverOneMebibyteAreRefusedUnparsed) {
  Bytes pfx = testpki::MakePkcs12(RsaLeaf(), "123456");
  ASSERT_FALSE(pfx.empty());
  // The same file with bytes after it: at the limit it is parsed (and the
  // trailing bytes refused), past the limit it is not looked at.
  Bytes atLimit = pfx;
  atLimit.resize(certstore::kMaxPfxSize, 0);
  EXPECT_EQ(Import(atLimit, u"123456"), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_BAD_ENCODE));
  Bytes pastLimit = atLimit;
  pastLimit.push_back(0);
  EXPECT_EQ(Import(pastLimit, u"123456"), nullptr);
  EXPECT_EQ(GetLastError(), 0xA0072026u);
}

}  // namespace
