// Test PKI: SM2 and RSA certificates, SM2 soft-certificate files and PKCS#12
// files made on the fly for tests, fuzz seeds and the demo. Keys are fresh
// on every run; names and serial numbers are fixed by the caller.
#pragma once

#include <openssl/crypto.h>
#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testpki {

using Bytes = std::vector<std::uint8_t>;

// Zeroes its memory before giving it back, so copies of private keys do not
// linger in freed heap blocks.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n);
  template <class U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
};
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// The signer ID every SM2 signature here uses (OpenSSL 3.0 would otherwise
// use an empty one).
inline constexpr std::string_view kSm2Id = "1234567812345678";

// Key usage bits as X509_get_key_usage reports them.
inline constexpr unsigned kKuDigitalSignature = 0x80;
inline constexpr unsigned kKuNonRepudiation = 0x40;
inline constexpr unsigned kKuKeyEncipherment = 0x20;
inline constexpr unsigned kKuDataEncipherment = 0x10;
inline constexpr unsigned kKuKeyAgreement = 0x08;
inline constexpr unsigned kKuKeyCertSign = 0x04;
inline constexpr unsigned kKuCrlSign = 0x02;

// For SM2 keys: keep generating until the chosen 32-byte value starts with
// a zero byte (about 256 tries on average).
enum class LeadingZero { None, PublicX, PublicY, PrivateKey };

struct CertProfile {
  std::string subject;               // "C=CN,O=Sigil Test,OU=...,CN=...", order kept
  std::string serialHex;             // e.g. "0A1B2C"
  std::optional<unsigned> keyUsage;  // nullopt: no key usage extension
  bool subjectKeyId = true;
  bool isCa = false;
  int notBeforeDays = -1;  // relative to now
  int notAfterDays = 365;
  LeadingZero leadingZero = LeadingZero::None;  // SM2 only
};

// A key pair with its certificate. Move-only; owns both objects.
class Identity {
 public:
  Identity() = default;
  Identity(EVP_PKEY* key, X509* cert);  // takes ownership of both
  ~Identity();
  Identity(Identity&& other) noexcept;
  Identity& operator=(Identity&& other) noexcept;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  EVP_PKEY* key() const { return key_; }
  X509* cert() const { return cert_; }
  bool IsSm2() const;

  Bytes CertDer() const;
  std::string CertPem() const;
  // SM2: the private scalar d, 32 bytes big-endian, left-padded.
  // RSA: PKCS#8 PrivateKeyInfo DER. Empty on failure.
  SecretBytes PrivateKeyBytes() const;
  // SM2 public point coordinates, 32 bytes each, left-padded; empty for RSA.
  Bytes PublicX() const;
  Bytes PublicY() const;

 private:
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
};

// issuer == nullptr: self-signed. SM2 certificates are signed with
// SM2-with-SM3 (1.2.156.10197.1.501) and kSm2Id.
std::optional<Identity> MakeSm2Identity(const CertProfile& profile, const Identity* issuer);
// SHA-256 with RSA; the issuer may be RSA or SM2.
std::optional<Identity> MakeRsaIdentity(const CertProfile& profile, const Identity* issuer,
                                        int bits = 2048);

// True when `cert` carries a valid signature by `issuerKey` (SM2 checked
// with kSm2Id).
bool IsSignedBy(X509* cert, EVP_PKEY* issuerKey);

// --- SM2 soft-certificate files ---------------------------------------------

// The fields readers ignore; tests vary them.
struct SoftCertLayout {
  long version = 1;
  std::string privateDataId = "1.2.156.10197.6.1.4.2.1";
  std::string encryptedAlg = "1.2.156.10197.1.104";
  std::string publicDataId = "1.2.156.10197.6.1.4.2.1";
};

// K = SM3(password || 00 00 00 01); IV = K[0..15], key = K[16..31];
// SM4-CBC with PKCS#7 padding. Empty on failure.
Bytes EncryptByPassword(std::span<const std::uint8_t> plain, std::string_view password);
// The inverse; nullopt when the padding does not check.
std::optional<SecretBytes> DecryptByPassword(std::span<const std::uint8_t> cipher,
                                             std::string_view password);

// DER of SM2_PFX from its parts as given (no encryption done here), for
// files with odd contents. Empty on failure.
Bytes EncodeSm2Pfx(std::span<const std::uint8_t> encryptedKey,
                   std::span<const std::uint8_t> certDer, const SoftCertLayout& layout = {});

// DER of SM2_PFX holding `sm2`'s certificate and its encrypted d.
Bytes MakeSm2SoftCertDer(const Identity& sm2, std::string_view password,
                         const SoftCertLayout& layout = {});
// The file itself: Base64 of that DER, one line, no line break.
// Empty on failure.
std::string MakeSm2SoftCertFile(const Identity& sm2, std::string_view password);
std::string MakeSm2SoftCertFile(const Identity& sm2, std::string_view password,
                                const SoftCertLayout& layout);

std::string Base64Encode(std::span<const std::uint8_t> bytes);  // one line

// --- PKCS#12 -----------------------------------------------------------------

// PKCS12_create with OpenSSL's defaults; `chain` certificates go in as extra
// certificates. Empty on failure.
Bytes MakePkcs12(const Identity& id, std::string_view password,
                 const std::vector<const Identity*>& chain = {});

// --- Files -------------------------------------------------------------------

// Creates `folder`/`name` with exactly `bytes`. Refuses names that are
// empty, contain '/', or are "." or "..", and never overwrites.
bool WriteFileIn(const std::filesystem::path& folder, const std::string& name,
                 std::span<const std::uint8_t> bytes, std::string* error);
bool WriteFileIn(const std::filesystem::path& folder, const std::string& name,
                 std::string_view text, std::string* error);

// --- The standard fixture set -------------------------------------------------

inline constexpr std::string_view kFixturePassword = "123456";

// Every certificate is written as <name>.cer (DER) and <name>.pem, with
// names sm2-root, sm2-sign, sm2-encrypt, sm2-noku, sm2-noskid, rsa-root,
// rsa-sign, rsa-encrypt. SM2 end entities also get <name>.sm2 and RSA end
// entities <name>.p12 (with the root as extra certificate), both with
// kFixturePassword.
struct Fixtures {
  std::filesystem::path folder;

  Identity sm2Root;     // "C=CN,O=Sigil Test,CN=Sigil Test SM2 Root CA", 01
  Identity sm2Sign;     // KU 0xC0, 1001
  Identity sm2Encrypt;  // KU 0x30, 1002
  Identity sm2NoKu;     // no key usage, 1003
  Identity sm2NoSkid;   // no subject key identifier, 1004
  Identity rsaRoot;     // "C=CN,O=Sigil Test,CN=Sigil Test RSA Root CA", 02
  Identity rsaSign;     // KU 0xC0, 2001
  Identity rsaEncrypt;  // KU 0x30, 2002

  std::filesystem::path sm2SignFile, sm2EncryptFile, sm2NoKuFile, sm2NoSkidFile;
  std::filesystem::path rsaSignP12, rsaEncryptP12;

  std::vector<std::filesystem::path> written;  // every file, in writing order

  std::filesystem::path Cer(std::string_view name) const;
  std::filesystem::path Pem(std::string_view name) const;
};

// Fails (and says why) if any of the files already exists in `folder`.
std::optional<Fixtures> MakeStandardFixtures(const std::filesystem::path& folder,
                                             std::string* error);

template <class T>
void WipingAllocator<T>::deallocate(T* p, std::size_t n) {
  OPENSSL_cleanse(p, n * sizeof(T));
  std::allocator<T>{}.deallocate(p, n);
}

}  // namespace testpki
