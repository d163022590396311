#include <openssl/crypto.h>

#include <algorithm>
#include <array>

#include "gmcrypto/sm3/Sm3.h"
#include "gmcrypto/sm4/Sm4.h"
#include "pki/Ossl.h"
#include "pki/TestPki.h"

namespace testpki {
namespace {

// K = SM3(password || 00 00 00 01): the SM2 KDF for exactly one block.
struct PasswordKey {
  std::array<std::uint8_t, 32> k{};
  gmcrypto::SM4_KEY schedule{};
  explicit PasswordKey(std::string_view password, bool decrypt) {
    static const std::uint8_t kCounter[4] = {0, 0, 0, 1};
    gmcrypto::SM3_CTX ctx;
    gmcrypto::SM3_Init(&ctx);
    gmcrypto::SM3_Update(&ctx, password.data(), password.size());
    gmcrypto::SM3_Update(&ctx, kCounter, sizeof kCounter);
    gmcrypto::SM3_Final(k.data(), &ctx);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    gmcrypto::SM4_set_key(k.data() + 16, &schedule);
    if (decrypt) gmcrypto::SM4_reverse_round_keys(&schedule);
  }
  ~PasswordKey() {
    OPENSSL_cleanse(k.data(), k.size());
    OPENSSL_cleanse(&schedule, sizeof schedule);
  }
  PasswordKey(const PasswordKey&) = delete;
  PasswordKey& operator=(const PasswordKey&) = delete;
  std::array<std::uint8_t, 16> Iv() const {
    std::array<std::uint8_t, 16> iv{};
    std::copy(k.begin(), k.begin() + 16, iv.begin());
    return iv;
  }
};

void AppendTlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> content) {
  out.push_back(tag);
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    std::uint8_t len[sizeof(std::size_t)];
    int count = 0;
    for (std::size_t v = n; v != 0; v >>= 8) len[count++] = static_cast<std::uint8_t>(v);
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count > 0) out.push_back(len[--count]);
  }
  out.insert(out.end(), content.begin(), content.end());
}

bool AppendOid(Bytes& out, const std::string& dotted) {
  AsnObjPtr obj(OBJ_txt2obj(dotted.c_str(), 1));
  if (!obj) return false;
  unsigned char* der = nullptr;
  const int len = i2d_ASN1_OBJECT(obj.get(), &der);
  if (len <= 0) return false;
  out.insert(out.end(), der, der + len);
  OPENSSL_free(der);
  return true;
}

bool AppendInteger(Bytes& out, long value) {
  AsnIntPtr n(ASN1_INTEGER_new());
  if (!n || ASN1_INTEGER_set(n.get(), value) != 1) return false;
  unsigned char* der = nullptr;
  const int len = i2d_ASN1_INTEGER(n.get(), &der);
  if (len <= 0) return false;
  out.insert(out.end(), der, der + len);
  OPENSSL_free(der);
  return true;
}

}  // namespace

Bytes EncryptByPassword(std::span<const std::uint8_t> plain, std::string_view password) {
  const PasswordKey key(password, false);
  const std::size_t pad = 16 - plain.size() % 16;
  SecretBytes padded(plain.begin(), plain.end());
  padded.insert(padded.end(), pad, static_cast<std::uint8_t>(pad));
  Bytes out(padded.size());
  auto iv = key.Iv();
  gmcrypto::SM4_cbc_encrypt(padded.data(), out.data(), padded.size(), &key.schedule, iv.data(), 1);
  return out;
}

std::optional<SecretBytes> DecryptByPassword(std::span<const std::uint8_t> cipher,
                                             std::string_view password) {
  if (cipher.empty() || cipher.size() % 16 != 0) return std::nullopt;
  const PasswordKey key(password, true);
  SecretBytes out(cipher.size());
  auto iv = key.Iv();
  gmcrypto::SM4_cbc_encrypt(cipher.data(), out.data(), cipher.size(), &key.schedule, iv.data(), 0);
  const std::uint8_t pad = out.back();
  if (pad == 0 || pad > 16) return std::nullopt;
  for (std::size_t i = out.size() - pad; i < out.size(); ++i)
    if (out[i] != pad) return std::nullopt;
  out.resize(out.size() - pad);
  return out;
}

Bytes EncodeSm2Pfx(std::span<const std::uint8_t> encryptedKey,
                   std::span<const std::uint8_t> certDer, const SoftCertLayout& layout) {
  Bytes privateData, publicData, body, out;
  if (!AppendOid(privateData, layout.privateDataId) ||
      !AppendOid(privateData, layout.encryptedAlg) || !AppendOid(publicData, layout.publicDataId) ||
      !AppendInteger(body, layout.version))
    return {};
  AppendTlv(privateData, V_ASN1_OCTET_STRING, encryptedKey);
  AppendTlv(publicData, V_ASN1_OCTET_STRING, certDer);
  AppendTlv(body, V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED, privateData);
  AppendTlv(body, V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED, publicData);
  AppendTlv(out, V_ASN1_SEQUENCE | V_ASN1_CONSTRUCTED, body);
  return out;
}

Bytes MakeSm2SoftCertDer(const Identity& sm2, std::string_view password,
                         const SoftCertLayout& layout) {
  if (!sm2.IsSm2()) return {};
  const SecretBytes d = sm2.PrivateKeyBytes();
  const Bytes cert = sm2.CertDer();
  if (d.size() != 32 || cert.empty()) return {};
  const Bytes encrypted = EncryptByPassword(d, password);
  if (encrypted.empty()) return {};
  return EncodeSm2Pfx(encrypted, cert, layout);
}

std::string MakeSm2SoftCertFile(const Identity& sm2, std::string_view password) {
  return MakeSm2SoftCertFile(sm2, password, SoftCertLayout{});
}

std::string MakeSm2SoftCertFile(const Identity& sm2, std::string_view password,
                                const SoftCertLayout& layout) {
  const Bytes der = MakeSm2SoftCertDer(sm2, password, layout);
  return der.empty() ? std::string() : Base64Encode(der);
}

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
  out.resize(len > 0 ? static_cast<std::size_t>(len) : 0);
  return out;
}

}  // namespace testpki
