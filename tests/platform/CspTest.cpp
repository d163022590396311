// The advapi32-shaped calls as the certificate walks and signing code use
// them: contexts, container enumeration, key pairs and their certificates,
// certificate private keys and handle checks.
#include <openssl/x509.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "foundation/Unique.h"
#include "CspTestSupport.h"
#include "platform/cert/CertContext.h"
#include "platform/csp/CspInternal.h"
#include "support/TempEnvironment.h"

using namespace csptest;
using platform::csp::CspProvider;
using platform::csp::KeyPair;

namespace {

// A provider that lists its containers shortest name first, as some token
// CSPs do; the longest name comes last.
class ShortestFirstProvider : public CspProvider {
 public:
  explicit ShortestFirstProvider(std::vector<std::string> names) : names_(std::move(names)) {}
  DWORD ImplementationType() const override { return CRYPT_IMPL_HARDWARE; }
  std::vector<std::string> EnumContainers() override {
    auto names = names_;
    std::stable_sort(names.begin(), names.end(),
                     [](const auto& a, const auto& b) { return a.size() < b.size(); });
    return names;
  }
  HRESULT OpenContainer(std::string_view name) override {
    return std::find(names_.begin(), names_.end(), name) != names_.end() ? S_OK : NTE_BAD_KEYSET;
  }
  HRESULT CreateContainer(std::string_view) override { return NTE_PERM; }
  HRESULT DeleteContainer(std::string_view) override { return NTE_PERM; }
  HRESULT GetKeyPair(std::string_view, DWORD, std::shared_ptr<const KeyPair>*) override {
    return NTE_NO_KEY;
  }
  HRESULT PutKeyPair(std::string_view, DWORD, EVP_PKEY*, std::span<const BYTE>) override {
    return NTE_PERM;
  }
  HRESULT SetCertificate(std::string_view, DWORD, std::span<const BYTE>) override {
    return NTE_PERM;
  }

 private:
  std::vector<std::string> names_;
};

// Walks the containers exactly as the unregistered-certificate search does:
// one size query, one buffer of that size offered on every call.
std::vector<std::string> WalkContainers(HCRYPTPROV prov, DWORD* lastError) {
  std::vector<std::string> names;
  DWORD longest = 0;
  if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST)) {
    *lastError = GetLastError();
    return names;
  }
  std::vector<BYTE> buffer(longest + 1);
  DWORD flags = CRYPT_FIRST;
  for (;;) {
    DWORD size = longest;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, buffer.data(), &size, flags)) break;
    names.emplace_back(reinterpret_cast<const char*>(buffer.data()));
    flags = CRYPT_NEXT;
  }
  *lastError = GetLastError();
  return names;
}

using UniqueCert = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

UniqueCert CertWithProvInfo(const testpki::Identity& id, const std::u16string& container,
                            const std::u16string& provider, DWORD keySpec) {
  Bytes der = id.CertDer();
  UniqueCert cert(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size())));
  std::u16string c = container;
  std::u16string p = provider;
  CRYPT_KEY_PROV_INFO info{c.data(), p.data(), PROV_RSA_FULL, 0, 0, nullptr, keySpec};
  EXPECT_TRUE(CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  return cert;
}

class CspTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const auto& name : created_) RsaStore()->DeleteContainer(name);
  }
  static std::shared_ptr<CspProvider> RsaStore() {
    return platform::csp::FindProvider(MS_ENHANCED_PROV_W);
  }
  // A container of the RSA store holding both pairs; only the signature
  // pair carries a certificate.
  std::u16string MakeRsaContainer() {
    std::string name = UniqueName("rsa");
    created_.push_back(name);
    EXPECT_EQ(S_OK, RsaStore()->PutKeyPair(name, AT_SIGNATURE, Rsa(0).key(), Rsa(0).CertDer()));
    EXPECT_EQ(S_OK, RsaStore()->PutKeyPair(name, AT_KEYEXCHANGE, Rsa(1).key(), {}));
    return FromUtf8(name);
  }
  std::vector<std::string> created_;
};

}  // namespace

// ---- Contexts and containers ------------------------------------------------

TEST_F(CspTest, CreateOpenAndDeleteContainers) {
  const std::u16string name = FromUtf8(UniqueName("life"));
  Context ctx;
  EXPECT_FALSE(CryptAcquireContextW(&ctx.handle, name.c_str(), MS_ENHANCED_PROV_W, 1, 0));
  EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
  EXPECT_EQ(0u, ctx.handle);

  ASSERT_TRUE(
      CryptAcquireContextW(&ctx.handle, name.c_str(), MS_ENHANCED_PROV_W, 1, CRYPT_NEWKEYSET));
  Key none;
  EXPECT_FALSE(CryptGetUserKey(ctx.handle, AT_SIGNATURE, &none.handle));
  EXPECT_EQ(NTE_NO_KEY, LastHr());
  ASSERT_EQ(S_OK, RsaStore()->PutKeyPair(ToUtf8(name), AT_SIGNATURE, Rsa(0).key(), {}));

  // A second CRYPT_NEWKEYSET must not replace what is there.
  HCRYPTPROV second = 0;
  EXPECT_FALSE(CryptAcquireContextW(&second, name.c_str(), MS_ENHANCED_PROV_W, 1, CRYPT_NEWKEYSET));
  EXPECT_EQ(NTE_EXISTS, LastHr());
  Key key;
  ASSERT_TRUE(CryptGetUserKey(ctx.handle, AT_SIGNATURE, &key.handle));

  HCRYPTPROV deleted = 12345;
  ASSERT_TRUE(
      CryptAcquireContextW(&deleted, name.c_str(), MS_ENHANCED_PROV_W, 1, CRYPT_DELETEKEYSET));
  EXPECT_EQ(0u, deleted);
  HCRYPTPROV reopened = 0;
  EXPECT_FALSE(CryptAcquireContextW(&reopened, name.c_str(), MS_ENHANCED_PROV_W, 1, 0));
  EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
}

TEST_F(CspTest, AcquireRefusesUnknownProvidersTypesAndFlags) {
  ScopedSm2Provider sm2;
  struct Case {
    const char16_t* provider;
    DWORD type;
    DWORD flags;
    HRESULT expected;
  } cases[] = {
      {u"No Such Provider", 1, CRYPT_VERIFYCONTEXT, NTE_KEYSET_NOT_DEF},
      {MS_ENH_RSA_AES_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NOT_DEF},
      {SIGIL_SM2_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NOT_DEF},
      {nullptr, 13, CRYPT_VERIFYCONTEXT, NTE_PROV_TYPE_NOT_DEF},
      {MS_ENHANCED_PROV_W, 1, CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET, NTE_BAD_FLAGS},
      {MS_ENHANCED_PROV_W, 1, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, NTE_BAD_FLAGS},
      {MS_ENHANCED_PROV_W, 1, 0x100, NTE_BAD_FLAGS},
      {MS_ENHANCED_PROV_W, 1, CRYPT_MACHINE_KEYSET_FLAG, NTE_BAD_FLAGS},
  };
  for (const Case& c : cases) {
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, c.provider, c.type, c.flags));
    EXPECT_EQ(c.expected, LastHr()) << (c.provider ? ToUtf8(c.provider) : "null") << " " << c.type;
    EXPECT_EQ(0u, prov);
  }
  // The SM2 provider is acquired with type 1, as every caller does.
  Context ok;
  EXPECT_TRUE(CryptAcquireContextW(&ok.handle, nullptr, SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT));
}

TEST_F(CspTest, ProviderParametersAreNarrowTextAndDwords) {
  const std::u16string name = MakeRsaContainer();
  Context ctx;
  ASSERT_TRUE(CryptAcquireContextW(&ctx.handle, name.c_str(), MS_DEF_PROV_W, 1, 0));
  EXPECT_EQ(ToUtf8(MS_DEF_PROV_W), ProvText(ctx.handle, PP_NAME));
  EXPECT_EQ(ToUtf8(name), ProvText(ctx.handle, PP_CONTAINER));
  EXPECT_EQ(ToUtf8(name), ProvText(ctx.handle, PP_UNIQUE_CONTAINER));

  char small[4] = {'#', '#', '#', '#'};
  DWORD size = sizeof small;
  EXPECT_FALSE(CryptGetProvParam(ctx.handle, PP_NAME, reinterpret_cast<BYTE*>(small), &size, 0));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(std::u16string_view(MS_DEF_PROV_W).size() + 1, size);
  EXPECT_EQ('#', small[0]);

  DWORD value = 0;
  size = sizeof value;
  ASSERT_TRUE(
      CryptGetProvParam(ctx.handle, PP_PROVTYPE, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(PROV_RSA_FULL, value);
  ASSERT_TRUE(CryptGetProvParam(ctx.handle, PP_IMPTYPE, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(CRYPT_IMPL_SOFTWARE, value);
  EXPECT_FALSE(CryptGetProvParam(ctx.handle, 999, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(NTE_BAD_TYPE, LastHr());

  // Defaults: the type's provider and the user's own container name.
  Context defaults;
  ASSERT_TRUE(
      CryptAcquireContextW(&defaults.handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(ToUtf8(MS_ENH_RSA_AES_PROV_W), ProvText(defaults.handle, PP_NAME));
  EXPECT_EQ("<failed>", ProvText(defaults.handle, PP_CONTAINER));
  std::string user = getpwuid(geteuid())->pw_name;
  if (RsaStore()->OpenContainer(user) == NTE_BAD_KEYSET) {
    Context mine;
    ASSERT_TRUE(CryptAcquireContextW(&mine.handle, nullptr, nullptr, 1, CRYPT_NEWKEYSET));
    EXPECT_EQ(user, ProvText(mine.handle, PP_CONTAINER));
    EXPECT_EQ(S_OK, RsaStore()->OpenContainer(user));
    created_.push_back(user);
  }
}

TEST_F(CspTest, EnumeratedContainersFitTheFirstSizeQueryInAnyOrder) {
  const std::vector<std::string> names = {"a-much-longer-container-name", "mid-name", "x",
                                          "\xE5\xAE\xB9\xE5\x99\xA8-0001"};
  platform::csp::RegisterImplementation(
      u"test:shortest-first", [names] { return std::make_shared<ShortestFirstProvider>(names); });
  ASSERT_EQ(ERROR_SUCCESS,
            platform::csp::InstallProvider(u"Shortest First Test CSP", 1, u"test:shortest-first"));
  Context ctx;
  ASSERT_TRUE(CryptAcquireContextW(&ctx.handle, nullptr, u"Shortest First Test CSP", 1,
                                   CRYPT_VERIFYCONTEXT));
  DWORD longest = 0;
  ASSERT_TRUE(CryptGetProvParam(ctx.handle, PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST));
  EXPECT_EQ(names[0].size() + 1, longest);
  DWORD error = 0;
  std::vector<std::string> walked = WalkContainers(ctx.handle, &error);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, error);
  EXPECT_EQ((std::vector<std::string>{"x", "mid-name", names[3], names[0]}), walked);

  // A buffer too small for one name does not skip it.
  char small[3];
  DWORD size = sizeof small;
  ASSERT_TRUE(CryptGetProvParam(ctx.handle, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(small),
                                &size, CRYPT_FIRST));
  size = sizeof small;
  EXPECT_FALSE(CryptGetProvParam(ctx.handle, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(small),
                                 &size, CRYPT_NEXT));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(9u, size);
  char fits[16];
  size = sizeof fits;
  ASSERT_TRUE(CryptGetProvParam(ctx.handle, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(fits), &size,
                                CRYPT_NEXT));
  EXPECT_STREQ("mid-name", fits);

  DWORD imp = 0;
  size = sizeof imp;
  ASSERT_TRUE(CryptGetProvParam(ctx.handle, PP_IMPTYPE, reinterpret_cast<BYTE*>(&imp), &size, 0));
  EXPECT_EQ(CRYPT_IMPL_HARDWARE, imp);
  platform::csp::UninstallProvider(u"Shortest First Test CSP");
}

TEST_F(CspTest, SoftwareContainersAreEnumeratedAndEmptyStoresEndAtOnce) {
  ScopedSm2Provider sm2;
  {
    testsupport::ScopedEnv freshUser("XDG_DATA_HOME", testsupport::MakeTempDir("user").c_str());
    Context empty;
    ASSERT_TRUE(
        CryptAcquireContextW(&empty.handle, nullptr, SIGIL_SM2_PROV_W, 1, CRYPT_VERIFYCONTEXT));
    DWORD longest = 0;
    ASSERT_TRUE(CryptGetProvParam(empty.handle, PP_ENUMCONTAINERS, nullptr, &longest, CRYPT_FIRST));
    EXPECT_EQ(1u, longest);
    DWORD error = 0;
    EXPECT_TRUE(WalkContainers(empty.handle, &error).empty());
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, error);
  }
  DWORD error = 0;

  std::set<std::string> made;
  for (int i = 0; i < 3; ++i) made.insert(ToUtf8(MakeRsaContainer()));
  Context rsa;
  ASSERT_TRUE(
      CryptAcquireContextW(&rsa.handle, nullptr, MS_ENHANCED_PROV_W, 1, CRYPT_VERIFYCONTEXT));
  std::vector<std::string> walked = WalkContainers(rsa.handle, &error);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, error);
  EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
  for (const auto& name : made) EXPECT_EQ(1, std::count(walked.begin(), walked.end(), name));
}

// ---- Key pairs ----------------------------------------------------------------

TEST_F(CspTest, BothKeyPairsAndCertificatesSurviveReacquisition) {
  ScopedSm2Provider sm2;
  const std::u16string name = FromUtf8(UniqueName("both"));
  {
    Context ctx;
    ASSERT_TRUE(
        CryptAcquireContextW(&ctx.handle, name.c_str(), SIGIL_SM2_PROV_W, 1, CRYPT_NEWKEYSET));
    auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
    ASSERT_EQ(S_OK, provider->PutKeyPair(ToUtf8(name), AT_KEYEXCHANGE, Sm2(0).key(), {}));
    ASSERT_EQ(S_OK, provider->PutKeyPair(ToUtf8(name), AT_SIGNATURE, Sm2(1).key(), {}));
    // Certificates added through the key handle are written through.
    for (DWORD keySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
      Key key;
      ASSERT_TRUE(CryptGetUserKey(ctx.handle, keySpec, &key.handle));
      EXPECT_TRUE(KeyCertificate(key.handle).empty());
      EXPECT_EQ(NTE_NOT_FOUND, LastHr());
      Bytes wrong = Sm2(keySpec == AT_KEYEXCHANGE ? 1 : 0).CertDer();
      EXPECT_FALSE(CryptSetKeyParam(key.handle, KP_CERTIFICATE, wrong.data(), 0));
      EXPECT_EQ(NTE_BAD_DATA, LastHr());
      Bytes right = Sm2(keySpec == AT_KEYEXCHANGE ? 0 : 1).CertDer();
      ASSERT_TRUE(CryptSetKeyParam(key.handle, KP_CERTIFICATE, right.data(), 0));
      EXPECT_EQ(right, KeyCertificate(key.handle));
    }
  }
  Context ctx;
  ASSERT_TRUE(CryptAcquireContextW(&ctx.handle, name.c_str(), SIGIL_SM2_PROV_W, 1, 0));
  std::map<DWORD, std::pair<ALG_ID, const testpki::Identity*>> expected = {
      {AT_KEYEXCHANGE, {CALG_SM2_KEYX, &Sm2(0)}}, {AT_SIGNATURE, {CALG_SM2_SIGN, &Sm2(1)}}};
  for (auto& [keySpec, want] : expected) {
    Key key;
    ASSERT_TRUE(CryptGetUserKey(ctx.handle, keySpec, &key.handle));
    EXPECT_EQ(want.second->CertDer(), KeyCertificate(key.handle));
    DWORD value = 0;
    DWORD size = sizeof value;
    ASSERT_TRUE(CryptGetKeyParam(key.handle, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(want.first, value);
    ASSERT_TRUE(CryptGetKeyParam(key.handle, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(256u, value);
    auto object = platform::csp::detail::LookupKey(key.handle);
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(1, EVP_PKEY_eq(object->pair->key, want.second->key()));
  }
  HCRYPTPROV gone = 0;
  EXPECT_TRUE(CryptAcquireContextW(&gone, name.c_str(), SIGIL_SM2_PROV_W, 1, CRYPT_DELETEKEYSET));
}

TEST_F(CspTest, CertificateReadsFollowTheSizeRules) {
  const std::u16string name = MakeRsaContainer();
  Context ctx;
  ASSERT_TRUE(CryptAcquireContextW(&ctx.handle, name.c_str(), MS_ENHANCED_PROV_W, 1, 0));
  Key sign, exchange;
  ASSERT_TRUE(CryptGetUserKey(ctx.handle, AT_SIGNATURE, &sign.handle));
  ASSERT_TRUE(CryptGetUserKey(ctx.handle, AT_KEYEXCHANGE, &exchange.handle));
  Bytes cert = Rsa(0).CertDer();
  DWORD size = 0;
  ASSERT_TRUE(CryptGetKeyParam(sign.handle, KP_CERTIFICATE, nullptr, &size, 0));
  EXPECT_EQ(cert.size(), size);
  Bytes small(size - 1, 0xEE);
  DWORD smallSize = static_cast<DWORD>(small.size());
  EXPECT_FALSE(CryptGetKeyParam(sign.handle, KP_CERTIFICATE, small.data(), &smallSize, 0));
  EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
  EXPECT_EQ(cert.size(), smallSize);
  EXPECT_EQ(cert, KeyCertificate(sign.handle));

  size = 0;
  EXPECT_FALSE(CryptGetKeyParam(exchange.handle, KP_CERTIFICATE, nullptr, &size, 0));
  EXPECT_EQ(NTE_NOT_FOUND, LastHr());
  DWORD bits = 0;
  size = sizeof bits;
  EXPECT_FALSE(CryptGetKeyParam(exchange.handle, 12345, reinterpret_cast<BYTE*>(&bits), &size, 0));
  EXPECT_EQ(NTE_BAD_TYPE, LastHr());
}

// ---- Handles ------------------------------------------------------------------

TEST_F(CspTest, ReferenceCountsAndDeadHandles) {
  const std::u16string name = MakeRsaContainer();
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, name.c_str(), MS_ENHANCED_PROV_W, 1, 0));
  ASSERT_TRUE(CryptContextAddRef(prov, nullptr, 0));
  ASSERT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(ToUtf8(name), ProvText(prov, PP_CONTAINER)) << "one reference is left";
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  ASSERT_TRUE(CryptReleaseContext(prov, 0));

  // Every call on the released handle fails cleanly.
  DWORD size = 0;
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(CryptContextAddRef(prov, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, nullptr, &size, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  HCRYPTKEY other = 0;
  EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &other));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  // A key handle is no provider handle, and stays usable until destroyed.
  EXPECT_FALSE(CryptGetProvParam(key, PP_NAME, nullptr, &size, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(Rsa(0).CertDer(), KeyCertificate(key));
  ASSERT_TRUE(CryptDestroyKey(key));
  for (HCRYPTKEY bad : {key, HCRYPTKEY{0}, HCRYPTKEY{0xDEADBEEF}}) {
    EXPECT_FALSE(CryptDestroyKey(bad));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());
    EXPECT_FALSE(CryptGetKeyParam(bad, KP_CERTIFICATE, nullptr, &size, 0));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());
    BYTE byte = 0x30;
    EXPECT_FALSE(CryptSetKeyParam(bad, KP_CERTIFICATE, &byte, 0));
    EXPECT_EQ(NTE_BAD_KEY, LastHr());
  }
}

// ---- Certificate private keys -----------------------------------------------

TEST_F(CspTest, CertificatePrivateKeyOpensTheMatchingContainer) {
  ScopedSm2Provider sm2;
  const std::u16string rsaName = MakeRsaContainer();
  const std::string sm2Name = UniqueName("cert-sm2");
  auto sm2Store = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
  ASSERT_EQ(S_OK, sm2Store->PutKeyPair(sm2Name, AT_KEYEXCHANGE, Sm2(0).key(), {}));

  struct Case {
    const testpki::Identity* id;
    std::u16string container;
    std::u16string provider;
    DWORD keySpec;
  } cases[] = {
      {&Rsa(0), rsaName, MS_ENHANCED_PROV_W, AT_SIGNATURE},
      {&Sm2(0), FromUtf8(sm2Name), SIGIL_SM2_PROV_W, AT_KEYEXCHANGE},
  };
  for (const Case& c : cases) {
    UniqueCert cert = CertWithProvInfo(*c.id, c.container, c.provider, c.keySpec);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    ASSERT_TRUE(
        CryptAcquireCertificatePrivateKey(cert.get(), 0, nullptr, &prov, &keySpec, &callerFree))
        << std::hex << GetLastError();
    EXPECT_EQ(c.keySpec, keySpec);
    EXPECT_TRUE(callerFree);
    EXPECT_EQ(ToUtf8(c.provider), ProvText(prov, PP_NAME));
    EXPECT_EQ(ToUtf8(c.container), ProvText(prov, PP_CONTAINER));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
  }
  EXPECT_EQ(S_OK, sm2Store->DeleteContainer(sm2Name));
}

TEST_F(CspTest, CertificatePrivateKeyFailures) {
  const std::u16string name = MakeRsaContainer();
  struct Case {
    const char* what;
    UniqueCert cert;
    HRESULT expected;
  };
  Bytes der = Rsa(0).CertDer();
  std::vector<Case> cases;
  cases.push_back({"no property",
                   UniqueCert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                           static_cast<DWORD>(der.size()))),
                   CRYPT_E_NO_KEY_PROPERTY});
  // The exchange pair holds Rsa(1)'s key, not the certificate's.
  cases.push_back({"other key", CertWithProvInfo(Rsa(0), name, MS_ENHANCED_PROV_W, AT_KEYEXCHANGE),
                   NTE_BAD_PUBLIC_KEY});
  cases.push_back({"missing container",
                   CertWithProvInfo(Rsa(0), u"no-such-container", MS_ENHANCED_PROV_W, AT_SIGNATURE),
                   NTE_BAD_KEYSET});
  cases.push_back({"unknown provider",
                   CertWithProvInfo(Rsa(0), name, u"Nobody's CSP", AT_SIGNATURE),
                   NTE_KEYSET_NOT_DEF});
  std::string bare = UniqueName("bare");
  created_.push_back(bare);
  ASSERT_EQ(S_OK, RsaStore()->CreateContainer(bare));
  cases.push_back({"missing pair",
                   CertWithProvInfo(Rsa(0), FromUtf8(bare), MS_ENHANCED_PROV_W, AT_SIGNATURE),
                   NTE_NO_KEY});
  for (const Case& c : cases) {
    HCRYPTPROV prov = 77;
    EXPECT_FALSE(
        CryptAcquireCertificatePrivateKey(c.cert.get(), 0, nullptr, &prov, nullptr, nullptr))
        << c.what;
    EXPECT_EQ(c.expected, LastHr()) << c.what;
    EXPECT_EQ(0u, prov) << c.what;
  }
}

TEST_F(CspTest, CertificatePrivateKeyReachesVolatileContainers) {
  std::u16string name;
  Bytes cert = Rsa(1).CertDer();
  auto token = platform::csp::CreateVolatileContainer(MS_ENHANCED_PROV_W, AT_KEYEXCHANGE,
                                                      Rsa(1).key(), cert, &name);
  ASSERT_NE(nullptr, token);
  UniqueCert context = CertWithProvInfo(Rsa(1), name, MS_ENHANCED_PROV_W, AT_KEYEXCHANGE);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(
      CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, &prov, nullptr, nullptr));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  token.reset();
  EXPECT_FALSE(
      CryptAcquireCertificatePrivateKey(context.get(), 0, nullptr, &prov, nullptr, nullptr));
  EXPECT_EQ(NTE_BAD_KEYSET, LastHr());
}
