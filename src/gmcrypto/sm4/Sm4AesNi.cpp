// The AES-NI kernels on 128-bit registers, built twice: with legacy SSE
// encoding for processors that lack AVX, and with AVX's three-operand
// encoding, which spares the register copies.
#include "gmcrypto/sm4/Sm4Kernels.h"
#include "gmcrypto/sm4/Sm4Vector.h"

namespace gmcrypto::detail {
namespace {

#define SM4_DEFINE_ENTRY_POINTS(space, isa)                                            \
  namespace space {                                                                    \
  [[gnu::target(isa)]] std::uint32_t SboxWord(std::uint32_t x) {                       \
    return sm4vector::SboxWordBody(x);                                                 \
  }                                                                                    \
  [[gnu::target(isa)]] void TransformBlocks(const std::uint8_t* in, std::uint8_t* out, \
                                            std::size_t blocks, const SM4_KEY* ks) {   \
    sm4vector::TransformBlocksBody(in, out, blocks, ks);                               \
  }                                                                                    \
  [[gnu::target(isa)]] void CbcEncrypt(const std::uint8_t* in, std::uint8_t* out,      \
                                       std::size_t blocks, const SM4_KEY* ks,          \
                                       std::uint8_t iv[16]) {                          \
    sm4vector::CbcEncryptBody(in, out, blocks, ks, iv);                                \
  }                                                                                    \
  [[gnu::target(isa)]] void CbcDecrypt(const std::uint8_t* in, std::uint8_t* out,      \
                                       std::size_t blocks, const SM4_KEY* ks,          \
                                       std::uint8_t iv[16]) {                          \
    sm4vector::CbcDecryptBody(in, out, blocks, ks, iv);                                \
  }                                                                                    \
  }

SM4_DEFINE_ENTRY_POINTS(sse, "aes,ssse3")
SM4_DEFINE_ENTRY_POINTS(avx, "aes,avx")

}  // namespace

const Sm4Kernels& Sm4AesNiKernels() {
  static constexpr Sm4Kernels kernels{"aes-ni", sse::SboxWord, sse::TransformBlocks,
                                      sse::CbcEncrypt, sse::CbcDecrypt};
  return kernels;
}

const Sm4Kernels& Sm4AvxKernels() {
  static constexpr Sm4Kernels kernels{"avx", avx::SboxWord, avx::TransformBlocks, avx::CbcEncrypt,
                                      avx::CbcDecrypt};
  return kernels;
}

}  // namespace gmcrypto::detail
