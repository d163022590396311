#include "gmcrypto/sm3/Sm3.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "gmcrypto/sm3/Sm3Compress.h"

namespace gmcrypto {
namespace {

constexpr std::uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                                  0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

void StoreBe32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

int SM3_Init(SM3_CTX* c) {
  if (!c) return 0;
  std::memset(c->block, 0, sizeof c->block);
  c->num = 0;
  std::memcpy(c->V, kIv, sizeof c->V);
  c->total = 0;
  return 1;
}

int SM3_Update(SM3_CTX* c, const void* data, std::size_t len) {
  if (!c) return 0;
  if (!data || !len) return 1;
  auto p = static_cast<const std::uint8_t*>(data);
  if (c->num) {
    const std::size_t take = std::min<std::size_t>(len, SM3_CBLOCK - c->num);
    std::memcpy(c->block + c->num, p, take);
    c->num += static_cast<std::uint32_t>(take);
    p += take;
    len -= take;
    if (c->num < SM3_CBLOCK) return 1;
    detail::Sm3CompressBlocks(c->V, c->block, 1);
    c->total += SM3_CBLOCK;
    c->num = 0;
  }
  // Whole blocks straight from the caller's buffer: no copy.
  if (const std::size_t blocks = len / SM3_CBLOCK) {
    detail::Sm3CompressBlocks(c->V, p, blocks);
    c->total += blocks * SM3_CBLOCK;
    p += blocks * SM3_CBLOCK;
    len -= blocks * SM3_CBLOCK;
  }
  if (len) {
    std::memcpy(c->block, p, len);
    c->num = static_cast<std::uint32_t>(len);
  }
  return 1;
}

int SM3_Final(unsigned char* md, SM3_CTX* c) {
  if (!c || !md || c->num >= SM3_CBLOCK) return 0;
  // Bit count modulo 2^64, the length field's full width.
  const std::uint64_t bits = (c->total + c->num) << 3;
  std::uint8_t* b = c->block;
  std::size_t n = c->num;
  b[n++] = 0x80;
  if (n > SM3_CBLOCK - 8) {
    std::memset(b + n, 0, SM3_CBLOCK - n);
    detail::Sm3CompressBlocks(c->V, b, 1);
    n = 0;
  }
  std::memset(b + n, 0, SM3_CBLOCK - 8 - n);
  StoreBe32(b + 56, static_cast<std::uint32_t>(bits >> 32));
  StoreBe32(b + 60, static_cast<std::uint32_t>(bits));
  detail::Sm3CompressBlocks(c->V, b, 1);
  OPENSSL_cleanse(c->block, sizeof c->block);
  c->num = 0;
  for (int i = 0; i < 8; ++i) StoreBe32(md + 4 * i, c->V[i]);
  return 1;
}

void SM3(const void* data, std::size_t len, unsigned char md[SM3_DIGEST_LENGTH]) {
  SM3_CTX c;
  SM3_Init(&c);
  SM3_Update(&c, data, len);
  SM3_Final(md, &c);
  OPENSSL_cleanse(&c, sizeof c);
}

}  // namespace gmcrypto
