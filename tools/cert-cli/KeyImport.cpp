// import-pfx and sm2-container: private keys into persistent containers.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <cstdio>
#include <memory>
#include <string>

#include "foundation/Unique.h"
#include "CliSupport.h"
#include "Commands.h"
#include "platform/store/CertStorePfx.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/WideString.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace certcli {

namespace {

using platform::csp::CspProvider;

// Writes the key pairs into the container. An existing container is only
// written with bReplace, and then only the key pairs named are replaced. A
// container made here is removed again when a later step fails, so a
// failed import leaves nothing behind.
class ContainerWriter {
 public:
  ContainerWriter(CspProvider& provider, std::string providerName, std::string container)
      : m_provider(provider),
        m_providerName(std::move(providerName)),
        m_container(std::move(container)) {}
  ~ContainerWriter() {
    if (m_bCreated && !m_bCommitted) m_provider.DeleteContainer(m_container);
  }
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;

  // Fails with a message when the container exists and bReplace is not set.
  bool Prepare(bool bReplace) {
    const HRESULT hOpen = m_provider.OpenContainer(m_container);
    if (SUCCEEDED(hOpen)) {
      if (bReplace) return true;
      Error("container \"" + m_container + "\" already exists in \"" + m_providerName +
            "\"; --replace writes into it");
      return false;
    }
    if (hOpen != NTE_BAD_KEYSET) {
      ErrorCode("cannot open container \"" + m_container + "\"", hOpen);
      return false;
    }
    const HRESULT hCreate = m_provider.CreateContainer(m_container);
    if (FAILED(hCreate)) {
      ErrorCode("cannot create container \"" + m_container + "\" in \"" + m_providerName + "\"",
                hCreate);
      return false;
    }
    m_bCreated = true;
    return true;
  }

  bool Put(DWORD dwKeySpec, EVP_PKEY* key, std::span<const BYTE> certificate) {
    const HRESULT hResult = m_provider.PutKeyPair(m_container, dwKeySpec, key, certificate);
    if (hResult == NTE_BAD_KEY) {
      Error("the key is not of the kind \"" + m_providerName + "\" holds");
      return false;
    }
    if (hResult == NTE_BAD_DATA) {
      Error("the certificate does not carry the public key of this private key");
      return false;
    }
    if (FAILED(hResult)) {
      ErrorCode("cannot store the " + KeySpecName(dwKeySpec) + " key pair", hResult);
      return false;
    }
    return true;
  }

  void Commit() { m_bCommitted = true; }

 private:
  CspProvider& m_provider;
  std::string m_providerName;
  std::string m_container;
  bool m_bCreated = false;
  bool m_bCommitted = false;
};

// A file that is only ever small, read whole only when it is: a huge file
// (or a device that never ends) named here is refused before it is read. At
// most nMaxSize + 1 bytes are read whatever the file claims.
std::optional<Bytes> ReadSmallFile(const std::string& path, std::size_t nMaxSize,
                                   const char* pszWhat) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    Error(path + ": cannot open");
    return std::nullopt;
  }
  const auto tooLarge = [&] {
    ErrorCode(path + ": larger than " + std::to_string(nMaxSize) + " bytes, which no " + pszWhat +
                  " is",
              SIGIL_E_FILE_TOO_LARGE);
    return std::nullopt;
  };
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    const long nSize = std::ftell(file.get());
    if (nSize > static_cast<long>(nMaxSize)) return tooLarge();
    std::rewind(file.get());
  }
  Bytes bytes(nMaxSize + 1);
  const std::size_t nRead = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (std::ferror(file.get())) {
    Error(path + ": cannot read");
    return std::nullopt;
  }
  if (nRead > nMaxSize) return tooLarge();
  bytes.resize(nRead);
  return bytes;
}

// --- import-pfx -----------------------------------------------------------------

struct Pkcs12Contents {
  PkeyPtr key;
  X509Ptr cert;
  int nChainCertificates = 0;
};

std::optional<Pkcs12Contents> ParsePkcs12(std::span<const BYTE> bytes, const std::string& path,
                                          const std::string& password) {
  // Files of older tools need the legacy provider's RC2.
  certstore::LoadPkcs12Providers();
  const unsigned char* p = bytes.data();
  std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
      d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())), &PKCS12_free);
  if (!p12) {
    ERR_clear_error();
    Error(path + ": not a PKCS#12 file");
    return std::nullopt;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* chain = nullptr;
  const bool bParsed = PKCS12_parse(p12.get(), password.c_str(), &key, &cert, &chain) == 1;
  Pkcs12Contents contents{PkeyPtr(key), X509Ptr(cert), chain ? sk_X509_num(chain) : 0};
  sk_X509_pop_free(chain, X509_free);
  if (!bParsed) {
    ERR_clear_error();
    Error(path + ": wrong password, or the file cannot be read");
    return std::nullopt;
  }
  if (!contents.key || !contents.cert) {
    Error(path + ": holds no private key with its certificate");
    return std::nullopt;
  }
  return contents;
}

CertStorePtr OpenUserMy() {
  return CertStorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                    X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
}

// --- sm2-container ----------------------------------------------------------------

struct KeyPairHolder {
  engine::SM2_KEY_PAIR pair;
  ~KeyPairHolder() { engine::FreeSM2KeyPair(&pair); }
};

// An OpenSSL SM2 key from the soft certificate's scalar and public point.
PkeyPtr Sm2KeyFromPair(const engine::SM2_KEY_PAIR& pair) {
  foundation::Unique<BIGNUM, BN_clear_free> d(BN_secure_new());
  if (!d || !BN_bin2bn(pair.pbyPrivateKey, pair.nPrivateKeySize, d.get())) return nullptr;
  Bytes publicPoint{0x04};
  publicPoint.insert(publicPoint.end(), pair.pbyPubKeyX, pair.pbyPubKeyX + pair.nPubKeyXSize);
  publicPoint.insert(publicPoint.end(), pair.pbyPubKeyY, pair.pbyPubKeyY + pair.nPubKeyYSize);

  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> builder(OSSL_PARAM_BLD_new(),
                                                                          &OSSL_PARAM_BLD_free);
  if (!builder ||
      !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0) ||
      !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicPoint.data(),
                                        publicPoint.size()))
    return nullptr;
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(
      OSSL_PARAM_BLD_to_param(builder.get()), &OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return PkeyPtr(key);
}

struct KeyAndCertificate {
  PkeyPtr key;
  Bytes certificate;
};

std::optional<KeyAndCertificate> ReadSoftCertificate(const std::string& path,
                                                     const std::string& password) {
  auto text = ReadSmallFile(path, static_cast<std::size_t>(engine::SM2_SOFT_CERT_MAX_FILE_SIZE),
                            "SM2 soft certificate");
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r' || text->back() == ' '))
    text->pop_back();
  unsigned char* pbyDer = nullptr;
  unsigned int nDerSize = 0;
  if (text->empty() ||
      engine::Base64DecodeEx(&pbyDer, &nDerSize, reinterpret_cast<const char*>(text->data()),
                             static_cast<int>(text->size())) != 0) {
    Error(path + ": not an SM2 soft-certificate file (Base64 text expected)");
    return std::nullopt;
  }
  const std::unique_ptr<unsigned char[]> der(pbyDer);

  KeyPairHolder holder;
  const int nDecrypt = engine::DecryptKeyPairFromSM2PFX(password.c_str(), &holder.pair, der.get(),
                                                        static_cast<int>(nDerSize));
  if (nDecrypt != 0) {
    if (static_cast<unsigned>(nDecrypt) == 0xA0071108u)
      Error(path + ": wrong password, or the key does not belong to the certificate");
    else
      Error(path + ": not an SM2 soft certificate");
    return std::nullopt;
  }
  unsigned char* pbyCert = nullptr;
  int nCertSize = 0;
  if (engine::ParseSM2PFX(der.get(), static_cast<int>(nDerSize), nullptr, nullptr, &pbyCert,
                          &nCertSize) != 0) {
    Error(path + ": the certificate of the soft certificate cannot be read");
    return std::nullopt;
  }
  const std::unique_ptr<unsigned char[]> cert(pbyCert);
  // The file may carry the certificate as PEM; containers keep DER.
  auto certificate = OneCertificate({cert.get(), static_cast<std::size_t>(nCertSize)});
  if (!certificate) {
    Error(path + ": the soft certificate holds no readable certificate");
    return std::nullopt;
  }
  PkeyPtr key = Sm2KeyFromPair(holder.pair);
  if (!key) {
    Error(path + ": the private key is not an SM2 key");
    return std::nullopt;
  }
  return KeyAndCertificate{std::move(key), std::move(*certificate)};
}

std::optional<KeyAndCertificate> ReadKeyAndCertificate(const std::string& keyPath,
                                                       const std::string& certPath) {
  const auto keyBytes = ReadWholeFile(keyPath);
  if (!keyBytes) return std::nullopt;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(keyBytes->data(), static_cast<int>(keyBytes->size())), &BIO_free);
  // An empty passphrase instead of a terminal prompt: encrypted keys fail.
  static char kNoPassphrase[] = "";
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, kNoPassphrase) : nullptr);
  if (!key) {
    const unsigned char* p = keyBytes->data();
    key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(keyBytes->size())));
  }
  ERR_clear_error();
  if (!key) {
    Error(keyPath + ": not an unencrypted private key (PEM or DER)");
    return std::nullopt;
  }
  const auto certBytes = ReadWholeFile(certPath);
  if (!certBytes) return std::nullopt;
  auto certificate = OneCertificate(*certBytes);
  if (!certificate) {
    Error(certPath + ": not a single certificate (DER or PEM)");
    return std::nullopt;
  }
  return KeyAndCertificate{std::move(key), std::move(*certificate)};
}

std::optional<std::vector<DWORD>> ParseKeyPairs(const std::string* pszPairs) {
  if (pszPairs == nullptr || *pszPairs == "both")
    return std::vector<DWORD>{AT_KEYEXCHANGE, AT_SIGNATURE};
  if (*pszPairs == "exchange") return std::vector<DWORD>{AT_KEYEXCHANGE};
  if (*pszPairs == "signature") return std::vector<DWORD>{AT_SIGNATURE};
  return std::nullopt;
}

}  // namespace

int RunImportPfx(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{"--replace"}, {"--password", "--provider", "--container"}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1) {
    Error("import-pfx needs one FILE");
    return kExitUsage;
  }
  const std::string& path = parsed->positional[0];
  const std::string* password = parsed->Value("--password");
  const std::string* providerOption = parsed->Value("--provider");
  const std::string* containerOption = parsed->Value("--container");
  const bool bReplace = parsed->Has("--replace");
  const std::u16string providerName =
      providerOption ? FromUtf8(*providerOption) : std::u16string(MS_ENHANCED_PROV_W);

  DWORD dwProvType = 0;
  const auto provider = platform::csp::FindProvider(providerName, &dwProvType);
  if (!provider) {
    Error("no provider \"" + ToUtf8(providerName) + "\" is installed");
    return kExitFailure;
  }

  const auto bytes = ReadSmallFile(path, certstore::kMaxPfxSize, "PKCS#12 file");
  if (!bytes) return kExitFailure;
  auto contents = ParsePkcs12(*bytes, path, password ? *password : std::string());
  if (!contents) return kExitFailure;
  const Bytes certDer = DerOf(contents->cert.get());
  CertContextPtr context(CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certDer.data(), static_cast<DWORD>(certDer.size())));
  if (!context) {
    ErrorCode(path + ": the certificate does not decode", LastFailure());
    return kExitFailure;
  }
  const Bytes thumbprint = Thumbprint(context.get());
  const std::string container = containerOption ? *containerOption : "pfx-" + Hex(thumbprint);
  if (container.empty()) {
    Error("a container name cannot be empty");
    return kExitUsage;
  }

  CertStorePtr store = OpenUserMy();
  if (!store) {
    ErrorCode("cannot open the user's store MY", LastFailure());
    return kExitFailure;
  }
  CRYPT_HASH_BLOB hashBlob{static_cast<DWORD>(thumbprint.size()),
                           const_cast<BYTE*>(thumbprint.data())};
  if (CertContextPtr(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                CERT_FIND_SHA1_HASH, &hashBlob, nullptr)) &&
      !bReplace) {
    Error("certificate " + Hex(thumbprint) + " is already in MY; --replace replaces it");
    return kExitFailure;
  }

  ContainerWriter writer(*provider, ToUtf8(providerName), container);
  if (!writer.Prepare(bReplace) || !writer.Put(AT_KEYEXCHANGE, contents->key.get(), certDer))
    return kExitFailure;

  // The key lives in a container of this provider from now on; the store
  // entry says where, as a PFX import on Windows would.
  std::u16string wideContainer = FromUtf8(container);
  std::u16string wideProvider = providerName;
  CRYPT_KEY_PROV_INFO keyProvInfo{
      wideContainer.data(), wideProvider.data(), dwProvType, 0, 0, nullptr, AT_KEYEXCHANGE};
  if (!CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                         &keyProvInfo)) {
    ErrorCode("cannot link the certificate to its key", LastFailure());
    return kExitFailure;
  }
  if (!CertAddCertificateContextToStore(
          store.get(), context.get(),
          bReplace ? CERT_STORE_ADD_REPLACE_EXISTING : CERT_STORE_ADD_NEW, nullptr)) {
    ErrorCode("cannot add the certificate to MY", LastFailure());
    return kExitFailure;
  }
  writer.Commit();

  std::printf("imported %s %s\n", Hex(thumbprint).c_str(),
              NameText(context->pCertInfo->Subject).c_str());
  std::printf("key in container \"%s\" of \"%s\" (exchange)\n", container.c_str(),
              ToUtf8(providerName).c_str());
  if (contents->nChainCertificates > 0)
    std::printf("note: %d chain certificate(s) in the file were not imported (see import CA)\n",
                contents->nChainCertificates);
  return kExitOk;
}

int RunSm2Container(std::span<const std::string> args) {
  const auto parsed =
      ParseArgs(args, {{"--replace"}, {"--key", "--cert", "--softcert", "--password", "--pair"}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1 || parsed->positional[0].empty()) {
    Error("sm2-container needs one container NAME");
    return kExitUsage;
  }
  const std::string& container = parsed->positional[0];
  const std::string* keyPath = parsed->Value("--key");
  const std::string* certPath = parsed->Value("--cert");
  const std::string* softCertPath = parsed->Value("--softcert");
  const std::string* password = parsed->Value("--password");
  const bool bFromFiles =
      keyPath != nullptr && certPath != nullptr && softCertPath == nullptr && password == nullptr;
  const bool bFromSoftCert =
      softCertPath != nullptr && password != nullptr && keyPath == nullptr && certPath == nullptr;
  if (!bFromFiles && !bFromSoftCert) {
    Error("give either --key KEY --cert CERT or --softcert FILE --password P");
    return kExitUsage;
  }
  const auto keySpecs = ParseKeyPairs(parsed->Value("--pair"));
  if (!keySpecs) {
    Error("--pair is exchange, signature or both");
    return kExitUsage;
  }

  auto source = bFromFiles ? ReadKeyAndCertificate(*keyPath, *certPath)
                           : ReadSoftCertificate(*softCertPath, *password);
  if (!source) return kExitFailure;

  if (!EnsureSm2ProviderInstalled()) return kExitFailure;
  const auto provider = platform::csp::FindProvider(SIGIL_SM2_PROV_W);
  if (!provider) {
    Error("the provider \"" + ToUtf8(SIGIL_SM2_PROV_W) + "\" is installed but cannot be loaded");
    return kExitFailure;
  }

  ContainerWriter writer(*provider, ToUtf8(SIGIL_SM2_PROV_W), container);
  if (!writer.Prepare(parsed->Has("--replace"))) return kExitFailure;
  for (DWORD dwKeySpec : *keySpecs)
    if (!writer.Put(dwKeySpec, source->key.get(), source->certificate)) return kExitFailure;
  writer.Commit();

  for (DWORD dwKeySpec : *keySpecs)
    std::printf("container \"%s\": %s key pair with certificate %s\n", container.c_str(),
                KeySpecName(dwKeySpec).c_str(), SubjectOf(source->certificate).c_str());
  return kExitOk;
}

}  // namespace certcli
