#include "platform/msg/CmsCipher.h"

#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

#include "foundation/Unique.h"
#include "platform/base/BerWriter.h"
#include "platform/msg/CryptMsg.h"

namespace platform::msg::detail {
namespace {

constexpr ContentAlgorithm kAlgorithms[] = {
    {szOID_RSA_DES_EDE3_CBC, "DES-EDE3-CBC", 24, 8, true},
    {szOID_RSA_RC4, "RC4", 16, 0, false},
};

// RC4 lives in the legacy provider, which the default library context does
// not load; a context of our own holds both, so the process's other OpenSSL
// users see no change. The ciphers are fetched once; a missing one stays null.
struct CipherLibrary {
  OSSL_LIB_CTX* context = nullptr;
  EVP_CIPHER* ciphers[std::size(kAlgorithms)] = {};
};

const CipherLibrary& Library() {
  static const CipherLibrary* library = [] {
    auto* made = new CipherLibrary;
    ERR_set_mark();
    made->context = OSSL_LIB_CTX_new();
    if (made->context != nullptr) {
      OSSL_PROVIDER_load(made->context, "default");
      OSSL_PROVIDER_load(made->context, "legacy");
    }
    for (std::size_t i = 0; i < std::size(kAlgorithms); ++i)
      made->ciphers[i] = EVP_CIPHER_fetch(made->context, kAlgorithms[i].cipherName, nullptr);
    ERR_pop_to_mark();
    return made;
  }();
  return *library;
}

const EVP_CIPHER* CipherFor(const ContentAlgorithm& algorithm) {
  const std::size_t index = static_cast<std::size_t>(&algorithm - kAlgorithms);
  return index < std::size(kAlgorithms) ? Library().ciphers[index] : nullptr;
}

using PkeyCtx = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

// All ones when x is zero, else zero; no branch on x.
inline unsigned MaskIfZero(unsigned x) {
  return 0u - ((~x & (x - 1)) >> (sizeof(unsigned) * 8 - 1));
}
inline unsigned MaskIfEqual(unsigned a, unsigned b) { return MaskIfZero(a ^ b); }

}  // namespace

const ContentAlgorithm* FindContentAlgorithm(std::string_view oid) {
  for (const auto& algorithm : kAlgorithms)
    if (oid == algorithm.oid) return &algorithm;
  return nullptr;
}

std::uint64_t CiphertextLength(const ContentAlgorithm& algorithm, std::uint64_t plainLength) {
  if (!algorithm.padded) return plainLength;
  return (plainLength / 8 + 1) * 8;
}

HRESULT RandomBytes(std::size_t size, std::vector<BYTE>* out) {
  out->assign(size, 0);
  return size == 0 || RAND_bytes(out->data(), static_cast<int>(size)) == 1 ? S_OK : NTE_FAIL;
}

HRESULT RandomSessionKey(const ContentAlgorithm& algorithm, SecretBytes* key) {
  SecretBytes fresh(algorithm.keySize);
  if (RAND_bytes(fresh.data(), static_cast<int>(fresh.size())) != 1) return NTE_FAIL;
  if (algorithm.ivSize == 8) {  // DES keys carry odd parity in each octet's low bit
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      BYTE b = fresh.data()[i] & 0xFE;
      BYTE ones = b;
      ones ^= ones >> 4;
      ones ^= ones >> 2;
      ones ^= ones >> 1;
      fresh.data()[i] = static_cast<BYTE>(b | ((ones & 1) ^ 1));
    }
  }
  key->Swap(fresh);
  return S_OK;
}

ContentCipher::~ContentCipher() { EVP_CIPHER_CTX_free(ctx_); }

HRESULT ContentCipher::Init(const ContentAlgorithm& algorithm, std::span<const BYTE> key,
                            std::span<const BYTE> iv, bool encrypt) {
  const EVP_CIPHER* cipher = CipherFor(algorithm);
  if (cipher == nullptr) return CRYPT_E_UNKNOWN_ALGO;
  if (key.size() != algorithm.keySize || iv.size() != algorithm.ivSize) return NTE_BAD_DATA;
  EVP_CIPHER_CTX_free(ctx_);
  ctx_ = EVP_CIPHER_CTX_new();
  if (ctx_ == nullptr) return E_OUTOFMEMORY;
  if (EVP_CipherInit_ex2(ctx_, cipher, key.data(), iv.empty() ? nullptr : iv.data(),
                         encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx_, algorithm.padded ? 1 : 0) != 1) {
    ERR_clear_error();
    return NTE_FAIL;
  }
  block_ = static_cast<std::size_t>(EVP_CIPHER_CTX_get_block_size(ctx_));
  return S_OK;
}

HRESULT ContentCipher::Update(std::span<const BYTE> input, std::vector<BYTE>* out) {
  if (ctx_ == nullptr) return NTE_BAD_KEY_STATE;
  constexpr std::size_t kChunk = 1u << 20;
  while (!input.empty()) {
    const std::size_t take = input.size() < kChunk ? input.size() : kChunk;
    const std::size_t at = out->size();
    out->resize(at + take + block_);
    int written = 0;
    if (EVP_CipherUpdate(ctx_, out->data() + at, &written, input.data(), static_cast<int>(take)) !=
        1) {
      out->resize(at);
      ERR_clear_error();
      return NTE_FAIL;
    }
    out->resize(at + static_cast<std::size_t>(written));
    input = input.subspan(take);
  }
  return S_OK;
}

HRESULT ContentCipher::Final(std::vector<BYTE>* out) {
  if (ctx_ == nullptr) return NTE_BAD_KEY_STATE;
  const std::size_t at = out->size();
  out->resize(at + block_);
  int written = 0;
  if (EVP_CipherFinal_ex(ctx_, out->data() + at, &written) != 1) {
    OPENSSL_cleanse(out->data() + at, block_);
    out->resize(at);
    ERR_clear_error();
    return NTE_BAD_DATA;
  }
  out->resize(at + static_cast<std::size_t>(written));
  return S_OK;
}

HRESULT WrapSessionKey(std::span<const BYTE> rsaPublicKey, std::span<const BYTE> key,
                       std::vector<BYTE>* encryptedKey) {
  // SubjectPublicKeyInfo { { rsaEncryption, NULL }, BIT STRING } around the bits.
  ber::BerWriter algorithm;
  algorithm.Oid(szOID_RSA_RSA);
  algorithm.Null();
  ber::BerWriter info;
  info.Tlv(0x30, algorithm.Bytes());
  info.Header(0x03, rsaPublicKey.size() + 1);
  info.Bytes().push_back(0x00);
  info.Raw(rsaPublicKey);
  ber::BerWriter spki;
  spki.Tlv(0x30, info.Bytes());
  const unsigned char* p = spki.Bytes().data();
  EVP_PKEY* raw = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.Size()));
  foundation::Unique<EVP_PKEY, EVP_PKEY_free> publicKey(raw);
  if (!publicKey || p != spki.Bytes().data() + spki.Size() || !EVP_PKEY_is_a(raw, "RSA")) {
    ERR_clear_error();
    return NTE_BAD_PUBLIC_KEY;
  }
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, raw, nullptr));
  std::size_t length = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &length, key.data(), key.size()) != 1) {
    ERR_clear_error();
    return NTE_BAD_PUBLIC_KEY;
  }
  encryptedKey->assign(length, 0);
  if (EVP_PKEY_encrypt(ctx.get(), encryptedKey->data(), &length, key.data(), key.size()) != 1) {
    ERR_clear_error();
    return NTE_FAIL;
  }
  encryptedKey->resize(length);
  return S_OK;
}

HRESULT UnwrapSessionKey(EVP_PKEY* privateKey, std::span<const BYTE> encryptedKey,
                         std::size_t keySize, SecretBytes* key) {
  if (privateKey == nullptr || !EVP_PKEY_is_a(privateKey, "RSA")) return NTE_BAD_KEY;
  SecretBytes substitute(keySize);
  if (RAND_bytes(substitute.data(), static_cast<int>(keySize)) != 1) return NTE_FAIL;
  const std::size_t k = static_cast<std::size_t>(EVP_PKEY_get_size(privateKey));
  // What is public decides these branches: the lengths, and whether the
  // ciphertext is below the modulus. The padding is checked below without
  // branching, on the raw RSA result.
  if (k < keySize + 11 || encryptedKey.size() != k) {
    key->Swap(substitute);
    return S_OK;
  }
  SecretBytes block(k);
  std::memset(block.data(), 0, k);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey, nullptr));
  std::size_t length = k;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), block.data(), &length, encryptedKey.data(), k) != 1 ||
      length != k)
    std::memset(block.data(), 0, k);  // fails the padding test below
  ERR_clear_error();
  // 00 02 PS (k - keySize - 3 non-zero octets) 00 key
  const BYTE* em = block.data();
  unsigned good = MaskIfZero(em[0]) & MaskIfEqual(em[1], 2);
  const std::size_t separator = k - keySize - 1;
  for (std::size_t i = 2; i < separator; ++i) good &= ~MaskIfZero(em[i]);
  good &= MaskIfZero(em[separator]);
  SecretBytes chosen(keySize);
  for (std::size_t i = 0; i < keySize; ++i) {
    const unsigned mixed = (em[separator + 1 + i] & good) | (substitute.data()[i] & ~good);
    chosen.data()[i] = static_cast<BYTE>(mixed);
  }
  key->Swap(chosen);
  return S_OK;
}

}  // namespace platform::msg::detail
