#include "gmcrypto/provider/ProviderSm4CbcStream.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evperr.h>
#include <openssl/proverr.h>

#include <algorithm>
#include <cstring>

namespace gmcrypto::provider {
namespace {

constexpr std::size_t kBlock = SM4_BLOCK_SIZE;

bool Fail(int lib, int reason) {
  ERR_raise(lib, reason);
  return false;
}

// Output may sit exactly where its input is (in place) but must not overlap
// it otherwise: CBC would overwrite input it has not read yet.
bool PartiallyOverlapping(const std::uint8_t* out, const std::uint8_t* in, std::size_t len) {
  const auto o = reinterpret_cast<std::uintptr_t>(out);
  const auto i = reinterpret_cast<std::uintptr_t>(in);
  return len > 0 && o != i && o < i + len && i < o + len;
}

}  // namespace

Sm4CbcStream::~Sm4CbcStream() {
  OPENSSL_cleanse(key_, sizeof(key_));
  OPENSSL_cleanse(&schedule_, sizeof(schedule_));
  OPENSSL_cleanse(buf_, sizeof(buf_));
  OPENSSL_cleanse(iv_, sizeof(iv_));
  OPENSSL_cleanse(originalIv_, sizeof(originalIv_));
}

void Sm4CbcStream::Start(bool encrypt, const std::uint8_t* key, const std::uint8_t* iv) {
  encrypt_ = encrypt;
  if (key != nullptr) {
    std::memcpy(key_, key, sizeof(key_));
    keySet_ = true;
  }
  if (keySet_) {
    SM4_set_key(key_, &schedule_);
    if (!encrypt_) SM4_reverse_round_keys(&schedule_);
  }
  if (iv != nullptr) std::memcpy(originalIv_, iv, sizeof(originalIv_));
  std::memcpy(iv_, originalIv_, sizeof(iv_));
  OPENSSL_cleanse(buf_, sizeof(buf_));
  bufLen_ = 0;
}

bool Sm4CbcStream::KeyReady() const { return keySet_ || Fail(ERR_LIB_PROV, PROV_R_NO_KEY_SET); }

void Sm4CbcStream::Cbc(const std::uint8_t* in, std::uint8_t* out, std::size_t len) {
  SM4_cbc_encrypt(in, out, len, &schedule_, iv_, encrypt_ ? 1 : 0);
}

bool Sm4CbcStream::Update(std::uint8_t* out, std::size_t* outl, std::size_t outsize,
                          const std::uint8_t* in, std::size_t inl) {
  *outl = 0;
  if (!KeyReady()) return false;
  if (inl == 0) return true;
  if (in == nullptr || out == nullptr) return Fail(ERR_LIB_PROV, ERR_R_PASSED_NULL_PARAMETER);

  const std::size_t total = bufLen_ + inl;
  std::size_t release = total / kBlock * kBlock;
  // A decrypting stream can't tell its last block until Final: hold back a
  // block that might be the padding rather than release unchecked plaintext.
  if (!encrypt_ && padding && release == total) release -= kBlock;
  if (release > outsize) return Fail(ERR_LIB_PROV, PROV_R_OUTPUT_BUFFER_TOO_SMALL);
  if (PartiallyOverlapping(out + bufLen_, in, inl)) {
    return Fail(ERR_LIB_EVP, EVP_R_PARTIALLY_OVERLAPPING);
  }

  std::size_t done = 0;
  if (bufLen_ > 0) {
    const std::size_t take = std::min(kBlock - bufLen_, inl);
    std::memcpy(buf_ + bufLen_, in, take);
    bufLen_ += take;
    in += take;
    inl -= take;
    if (bufLen_ == kBlock && release > 0) {
      Cbc(buf_, out, kBlock);
      done = kBlock;
      bufLen_ = 0;
    }
  }
  const std::size_t direct = release - done;  // whole blocks straight from the input
  if (direct > 0) {
    Cbc(in, out + done, direct);
    in += direct;
    inl -= direct;
  }
  std::memcpy(buf_ + bufLen_, in, inl);  // at most one block is left over
  bufLen_ += inl;
  *outl = release;
  return true;
}

bool Sm4CbcStream::Final(std::uint8_t* out, std::size_t* outl, std::size_t outsize) {
  *outl = 0;
  if (!KeyReady()) return false;
  if (!padding) {
    return bufLen_ == 0 || Fail(ERR_LIB_PROV, PROV_R_WRONG_FINAL_BLOCK_LENGTH);
  }
  if (encrypt_) {
    if (outsize < kBlock) return Fail(ERR_LIB_PROV, PROV_R_OUTPUT_BUFFER_TOO_SMALL);
    const auto pad = static_cast<std::uint8_t>(kBlock - bufLen_);
    std::memset(buf_ + bufLen_, pad, pad);
    Cbc(buf_, out, kBlock);
    OPENSSL_cleanse(buf_, sizeof(buf_));
    bufLen_ = 0;
    *outl = kBlock;
    return true;
  }

  if (bufLen_ != kBlock) return Fail(ERR_LIB_PROV, PROV_R_WRONG_FINAL_BLOCK_LENGTH);
  std::uint8_t block[kBlock];
  Cbc(buf_, block, kBlock);
  OPENSSL_cleanse(buf_, sizeof(buf_));
  bufLen_ = 0;
  // Same work whatever the padding looks like: which byte is wrong must not
  // show in the timing (padding oracle).
  const unsigned n = block[kBlock - 1];
  unsigned bad = static_cast<unsigned>(n == 0) | static_cast<unsigned>(n > kBlock);
  for (std::size_t i = 0; i < kBlock; ++i) {
    const unsigned inPadding = static_cast<unsigned>(kBlock - i <= n);
    bad |= inPadding & static_cast<unsigned>(block[i] != n);
  }
  const std::size_t plainLen = bad ? 0 : kBlock - n;
  bool ok = true;
  if (bad) {
    ok = Fail(ERR_LIB_PROV, PROV_R_BAD_DECRYPT);
  } else if (plainLen > outsize) {
    ok = Fail(ERR_LIB_PROV, PROV_R_OUTPUT_BUFFER_TOO_SMALL);
  } else {
    std::memcpy(out, block, plainLen);
    *outl = plainLen;
  }
  OPENSSL_cleanse(block, sizeof(block));
  return ok;
}

bool Sm4CbcStream::Blocks(std::uint8_t* out, std::size_t* outl, std::size_t outsize,
                          const std::uint8_t* in, std::size_t inl) {
  *outl = 0;
  if (!KeyReady()) return false;
  if (inl == 0) return true;
  if (in == nullptr || out == nullptr) return Fail(ERR_LIB_PROV, ERR_R_PASSED_NULL_PARAMETER);
  if (inl % kBlock != 0) return Fail(ERR_LIB_PROV, PROV_R_WRONG_FINAL_BLOCK_LENGTH);
  if (inl > outsize) return Fail(ERR_LIB_PROV, PROV_R_OUTPUT_BUFFER_TOO_SMALL);
  if (PartiallyOverlapping(out, in, inl)) return Fail(ERR_LIB_EVP, EVP_R_PARTIALLY_OVERLAPPING);
  Cbc(in, out, inl);
  *outl = inl;
  return true;
}

}  // namespace gmcrypto::provider
