// The provider list, the software key store on disk and in-process
// containers, through the C++ side and the calls that read them back.
#include <openssl/ec.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "CspTestSupport.h"
#include "platform/fs/StateFolders.h"

namespace fs = std::filesystem;
using namespace csptest;
using platform::csp::CspProvider;
using platform::csp::FindProvider;
using platform::csp::KeyPair;

namespace {

std::vector<std::pair<std::u16string, DWORD>> EnumerateProviders() {
  std::vector<std::pair<std::u16string, DWORD>> out;
  for (DWORD index = 0;; ++index) {
    DWORD type = 0;
    DWORD size = 0;
    if (!CryptEnumProvidersW(index, nullptr, 0, &type, nullptr, &size)) {
      EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
      break;
    }
    std::u16string name(size / sizeof(char16_t), u'\0');
    EXPECT_TRUE(CryptEnumProvidersW(index, nullptr, 0, &type, name.data(), &size));
    EXPECT_EQ(u'\0', name.back());
    name.pop_back();
    out.emplace_back(name, type);
  }
  return out;
}

bool Listed(const std::u16string& name) {
  for (const auto& entry : EnumerateProviders())
    if (entry.first == name) return true;
  return false;
}

mode_t Mode(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
  return st.st_mode & 07777;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

fs::path ContainerFolder(const char* store, const std::string& name) {
  std::string hex;
  char digits[3];
  for (unsigned char c : name) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  return UserStateRoot() / "keys" / store / hex;
}

std::shared_ptr<CspProvider> RsaProvider() { return FindProvider(MS_ENHANCED_PROV_W); }

}  // namespace

// ---- The installed-provider list --------------------------------------------

TEST(CspProviderList, BuiltInsAreAlwaysInstalledInCaseInsensitiveOrder) {
  auto providers = EnumerateProviders();
  ASSERT_GE(providers.size(), 3u);
  std::vector<std::pair<std::u16string, DWORD>> expected = {
      {MS_DEF_PROV_W, PROV_RSA_FULL},
      {MS_ENHANCED_PROV_W, PROV_RSA_FULL},
      {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES},
  };
  EXPECT_EQ(expected, std::vector(providers.begin(), providers.begin() + 3));
  EXPECT_FALSE(Listed(SIGIL_SM2_PROV_W)) << "the SM2 provider needs its registry entry";
}

TEST(CspProviderList, InstalledEntriesJoinTheOrderAndLeaveOnUninstall) {
  const std::u16string lower = u"aaa lower-case test provider";
  const std::u16string upper = u"ZZZ Upper Test Provider";
  ASSERT_EQ(ERROR_SUCCESS,
            platform::csp::InstallProvider(upper, 1, platform::csp::kImageRsaSoftware));
  ASSERT_EQ(ERROR_SUCCESS,
            platform::csp::InstallProvider(lower, 1, platform::csp::kImageRsaSoftware));
  {
    ScopedSm2Provider sm2;
    auto providers = EnumerateProviders();
    std::vector<std::u16string> names;
    for (auto& p : providers) names.push_back(p.first);
    // ASCII order would put "ZZZ" before "aaa" and "Sigil".
    std::vector<std::u16string> expected = {
        lower, MS_DEF_PROV_W, MS_ENHANCED_PROV_W, MS_ENH_RSA_AES_PROV_W, SIGIL_SM2_PROV_W, upper};
    EXPECT_EQ(expected, names);
    EXPECT_EQ(PROV_RSA_FULL, providers[4].second);

    DWORD type = 0;
    EXPECT_NE(nullptr, FindProvider(u"sigil sm2 software cryptographic PROVIDER", &type));
    EXPECT_EQ(PROV_RSA_FULL, type);
  }
  EXPECT_FALSE(Listed(SIGIL_SM2_PROV_W));
  EXPECT_EQ(nullptr, FindProvider(SIGIL_SM2_PROV_W));
  EXPECT_EQ(ERROR_SUCCESS, platform::csp::UninstallProvider(lower));
  EXPECT_EQ(ERROR_SUCCESS, platform::csp::UninstallProvider(upper));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, static_cast<DWORD>(platform::csp::UninstallProvider(upper)));
  EXPECT_EQ(3u, EnumerateProviders().size());
}

TEST(CspProviderList, EnumerationSizesAndErrors) {
  DWORD type = 0;
  DWORD size = 0;
  ASSERT_TRUE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &size));
  EXPECT_EQ((std::u16string_view(MS_DEF_PROV_W).size() + 1) * 2, size);

  std::u16string small(4, u'#');
  DWORD smallSize = 4 * sizeof(char16_t);
  EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 0, &type, small.data(), &smallSize));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(size, smallSize);

  DWORD reserved = 0;
  EXPECT_FALSE(CryptEnumProvidersW(0, &reserved, 0, &type, nullptr, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_FALSE(CryptEnumProvidersW(3, nullptr, 0, &type, nullptr, &size));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, GetLastError());
}

TEST(CspProviderList, RegistryCannotDisplaceBuiltInsAndUnknownImagesDoNotLoad) {
  ASSERT_EQ(ERROR_SUCCESS,
            platform::csp::InstallProvider(u"microsoft base cryptographic provider v1.0",
                                           PROV_RSA_AES, u"nowhere"));
  ASSERT_EQ(ERROR_SUCCESS, platform::csp::InstallProvider(u"Broken Test Provider", 1, u"nowhere"));
  auto providers = EnumerateProviders();
  EXPECT_EQ(4u, providers.size());  // the duplicate is dropped, the broken one listed
  DWORD type = 0;
  EXPECT_NE(nullptr, FindProvider(MS_DEF_PROV_W, &type));
  EXPECT_EQ(PROV_RSA_FULL, type);
  EXPECT_EQ(nullptr, FindProvider(u"Broken Test Provider"));
  Context ctx;
  EXPECT_FALSE(
      CryptAcquireContextW(&ctx.handle, nullptr, u"Broken Test Provider", 1, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(MakeHResult(0x8009001Du), LastHr());  // NTE_PROVIDER_DLL_FAIL
  platform::csp::UninstallProvider(u"microsoft base cryptographic provider v1.0");
  platform::csp::UninstallProvider(u"Broken Test Provider");
  EXPECT_EQ(ERROR_INVALID_PARAMETER,
            static_cast<DWORD>(platform::csp::InstallProvider(u"a\\b", 1, u"x")));
}

// ---- The software key store -------------------------------------------------

TEST(CspSoftwareStore, KeyPairsAndCertificatesRoundTripThroughPrivateFiles) {
  // A permissive umask must not leak into the files' modes.
  mode_t oldMask = ::umask(0);
  const std::string name = UniqueName("disk");
  auto provider = RsaProvider();
  ASSERT_NE(nullptr, provider);
  Bytes signCert = Rsa(0).CertDer();
  ASSERT_EQ(S_OK, provider->PutKeyPair(name, AT_SIGNATURE, Rsa(0).key(), signCert));
  ASSERT_EQ(S_OK, provider->PutKeyPair(name, AT_KEYEXCHANGE, Rsa(1).key(), {}));
  ::umask(oldMask);

  fs::path folder = ContainerFolder("rsa", name);
  EXPECT_EQ(0700u, Mode(folder));
  EXPECT_EQ(0700u, Mode(folder.parent_path()));
  EXPECT_EQ(0600u, Mode(folder / "signature.key"));
  EXPECT_EQ(0600u, Mode(folder / "exchange.key"));
  EXPECT_EQ(0600u, Mode(folder / "signature.cer"));
  EXPECT_FALSE(fs::exists(folder / "exchange.cer"));
  EXPECT_EQ(signCert, ReadFile(folder / "signature.cer"));
  for (auto& entry : fs::directory_iterator(folder))
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find("tmp")) << entry.path();

  // The key file is plain PKCS#8 of the key that went in.
  Bytes der = ReadFile(folder / "signature.key");
  const unsigned char* p = der.data();
  EVP_PKEY* parsed = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ(1, EVP_PKEY_eq(parsed, Rsa(0).key()));
  EVP_PKEY_free(parsed);

  // A fresh provider object reads only what the disk holds.
  auto again = RsaProvider();
  std::shared_ptr<const KeyPair> sign, exchange;
  ASSERT_EQ(S_OK, again->GetKeyPair(name, AT_SIGNATURE, &sign));
  ASSERT_EQ(S_OK, again->GetKeyPair(name, AT_KEYEXCHANGE, &exchange));
  EXPECT_EQ(1, EVP_PKEY_eq(sign->key, Rsa(0).key()));
  EXPECT_EQ(1, EVP_PKEY_eq(exchange->key, Rsa(1).key()));
  EXPECT_EQ(signCert, sign->certificate);
  EXPECT_TRUE(exchange->certificate.empty());
  EXPECT_EQ(CALG_RSA_SIGN, sign->algId);
  EXPECT_EQ(CALG_RSA_KEYX, exchange->algId);

  // The three Microsoft providers share the store.
  auto aes = FindProvider(MS_ENH_RSA_AES_PROV_W);
  EXPECT_EQ(S_OK, aes->OpenContainer(name));

  // Replacing a pair takes its old certificate with it.
  ASSERT_EQ(S_OK, provider->PutKeyPair(name, AT_SIGNATURE, Rsa(1).key(), {}));
  EXPECT_FALSE(fs::exists(folder / "signature.cer"));
  EXPECT_EQ(S_OK, provider->DeleteContainer(name));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(NTE_BAD_KEYSET, provider->DeleteContainer(name));
}

TEST(CspSoftwareStore, RefusesKeysOfTheWrongKindAndForeignCertificates) {
  ScopedSm2Provider installed;
  auto sm2 = FindProvider(SIGIL_SM2_PROV_W);
  auto rsa = RsaProvider();
  ASSERT_NE(nullptr, sm2);
  const std::string name = UniqueName("refuse");
  EXPECT_EQ(NTE_BAD_KEY, sm2->PutKeyPair(name, AT_SIGNATURE, Rsa(0).key(), {}));
  EXPECT_EQ(NTE_BAD_KEY, rsa->PutKeyPair(name, AT_SIGNATURE, Sm2(0).key(), {}));
  EXPECT_EQ(NTE_BAD_DATA, rsa->PutKeyPair(name, AT_SIGNATURE, Rsa(0).key(), Rsa(1).CertDer()));
  EXPECT_EQ(NTE_BAD_DATA, sm2->PutKeyPair(name, AT_SIGNATURE, Sm2(0).key(), Sm2(1).CertDer()));
  EXPECT_EQ(NTE_BAD_KEY, rsa->PutKeyPair(name, 3, Rsa(0).key(), {}));

  // A public key alone is no key pair. (Parsed from DER: an X509 built in
  // memory may still hold the whole key.)
  Bytes der = Rsa(0).CertDer();
  const unsigned char* p = der.data();
  X509* parsed = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(nullptr, parsed);
  EVP_PKEY* publicOnly = X509_get_pubkey(parsed);
  X509_free(parsed);
  EXPECT_EQ(NTE_BAD_KEY, rsa->PutKeyPair(name, AT_SIGNATURE, publicOnly, {}));
  EVP_PKEY_free(publicOnly);
  // Nothing was written by any of the refusals.
  EXPECT_EQ(NTE_BAD_KEYSET, rsa->OpenContainer(name));
  EXPECT_EQ(NTE_BAD_KEYSET, sm2->OpenContainer(name));

  ASSERT_EQ(S_OK, rsa->PutKeyPair(name, AT_SIGNATURE, Rsa(0).key(), {}));
  EXPECT_EQ(NTE_BAD_DATA, rsa->SetCertificate(name, AT_SIGNATURE, Rsa(1).CertDer()));
  EXPECT_EQ(NTE_NO_KEY, rsa->SetCertificate(name, AT_KEYEXCHANGE, Rsa(0).CertDer()));
  EXPECT_EQ(S_OK, rsa->DeleteContainer(name));
}

TEST(CspSoftwareStore, Sm2KeysComeBackAsSm2WhateverTypeWentIn) {
  ScopedSm2Provider installed;
  auto sm2 = FindProvider(SIGIL_SM2_PROV_W);
  const std::string name = UniqueName("sm2");
  // The same key as a plain EC key on the SM2 curve.
  Bytes der;
  {
    int n = i2d_PrivateKey(Sm2(1).key(), nullptr);
    der.resize(n);
    unsigned char* p = der.data();
    i2d_PrivateKey(Sm2(1).key(), &p);
  }
  const unsigned char* p = der.data();
  EVP_PKEY* ec = d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(der.size()));
  ASSERT_NE(nullptr, ec);

  ASSERT_EQ(S_OK, sm2->PutKeyPair(name, AT_SIGNATURE, Sm2(0).key(), Sm2(0).CertDer()));
  ASSERT_EQ(S_OK, sm2->PutKeyPair(name, AT_KEYEXCHANGE, ec, Sm2(1).CertDer()));
  EVP_PKEY_free(ec);
  std::shared_ptr<const KeyPair> sign, exchange;
  ASSERT_EQ(S_OK, FindProvider(SIGIL_SM2_PROV_W)->GetKeyPair(name, AT_SIGNATURE, &sign));
  ASSERT_EQ(S_OK, FindProvider(SIGIL_SM2_PROV_W)->GetKeyPair(name, AT_KEYEXCHANGE, &exchange));
  EXPECT_TRUE(EVP_PKEY_is_a(sign->key, "SM2"));
  EXPECT_TRUE(EVP_PKEY_is_a(exchange->key, "SM2"));
  EXPECT_EQ(1, EVP_PKEY_eq(sign->key, Sm2(0).key()));
  EXPECT_EQ(1, EVP_PKEY_eq(exchange->key, Sm2(1).key()));
  EXPECT_EQ(CALG_SM2_SIGN, sign->algId);
  EXPECT_EQ(CALG_SM2_KEYX, exchange->algId);
  EXPECT_EQ(Sm2(1).CertDer(), exchange->certificate);
  EXPECT_TRUE(fs::is_directory(ContainerFolder("sm2", name)));
  EXPECT_FALSE(fs::exists(ContainerFolder("rsa", name)));
  EXPECT_EQ(S_OK, sm2->DeleteContainer(name));
}

TEST(CspSoftwareStore, ContainerNamesAreAnyUtf8UpToTheLimitAndListSorted) {
  auto rsa = RsaProvider();
  const std::string prefix = UniqueName("names");
  const std::vector<std::string> names = {prefix + "-b", prefix + "-a", prefix + "-\xE4\xB8\xAD/..",
                                          prefix + std::string(127 - prefix.size(), 'x')};
  for (const auto& name : names) ASSERT_EQ(S_OK, rsa->CreateContainer(name)) << name;
  EXPECT_EQ(NTE_EXISTS, rsa->CreateContainer(names[0]));
  EXPECT_EQ(MakeHResult(0x8009001Fu), rsa->CreateContainer(names[3] + "y"));

  std::vector<std::string> listed;
  for (auto& name : rsa->EnumContainers())
    if (name.rfind(prefix, 0) == 0) listed.push_back(name);
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, listed);
  for (const auto& name : names) EXPECT_EQ(S_OK, rsa->DeleteContainer(name));
}

// ---- In-process containers --------------------------------------------------

TEST(CspVolatileContainer, UsableByNameNeverOnDiskAndGoneWithItsToken) {
  std::u16string name;
  Bytes cert = Rsa(0).CertDer();
  auto token = platform::csp::CreateVolatileContainer(MS_ENHANCED_PROV_W, AT_KEYEXCHANGE,
                                                      Rsa(0).key(), cert, &name);
  ASSERT_NE(nullptr, token);
  ASSERT_FALSE(name.empty());
  std::string narrow = ToUtf8(name);

  {
    // Reachable under any provider with the same implementation.
    Context ctx;
    ASSERT_TRUE(CryptAcquireContextW(&ctx.handle, name.c_str(), MS_DEF_PROV_W, PROV_RSA_FULL, 0));
    EXPECT_EQ(narrow, ProvText(ctx.handle, PP_CONTAINER));
    Key key;
    ASSERT_TRUE(CryptGetUserKey(ctx.handle, AT_KEYEXCHANGE, &key.handle));
    EXPECT_EQ(cert, KeyCertificate(key.handle));
    EXPECT_FALSE(CryptGetUserKey(ctx.handle, AT_SIGNATURE, &key.handle));
    EXPECT_EQ(NTE_NO_KEY, LastHr());

    HCRYPTPROV again = 0;
    EXPECT_FALSE(CryptAcquireContextW(&again, name.c_str(), MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET));
    EXPECT_EQ(NTE_EXISTS, LastHr());
  }
  for (const auto& listed : RsaProvider()->EnumContainers()) EXPECT_NE(narrow, listed);
  EXPECT_FALSE(fs::exists(ContainerFolder("rsa", narrow)));

  token.reset();
  Context gone;
  EXPECT_FALSE(CryptAcquireContextW(&gone.handle, name.c_str(), MS_ENHANCED_PROV_W, 1, 0));
  EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
}

TEST(CspVolatileContainer, RefusesUnknownProvidersAndBadKeys) {
  std::u16string name;
  EXPECT_EQ(nullptr, platform::csp::CreateVolatileContainer(u"No Such Provider", AT_SIGNATURE,
                                                            Rsa(0).key(), {}, &name));
  EXPECT_EQ(NTE_KEYSET_NOT_DEF, LastHr());
  EXPECT_EQ(nullptr, platform::csp::CreateVolatileContainer(MS_ENHANCED_PROV_W, AT_SIGNATURE,
                                                            Sm2(0).key(), {}, &name));
  EXPECT_EQ(NTE_BAD_KEY, LastHr());
  EXPECT_EQ(nullptr, platform::csp::CreateVolatileContainer(MS_ENHANCED_PROV_W, AT_SIGNATURE,
                                                            Rsa(0).key(), Rsa(1).CertDer(), &name));
  EXPECT_EQ(NTE_BAD_DATA, LastHr());
  EXPECT_TRUE(name.empty());
}
