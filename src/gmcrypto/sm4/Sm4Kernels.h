// The interchangeable SM4 implementations behind the public functions:
// one portable, the others built on the AES instructions and chosen at run
// time. Tests reach each one directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gmcrypto/sm4/Sm4.h"

namespace gmcrypto::detail {

struct Sm4Kernels {
  const char* name;
  // S-box on each byte of a word (key expansion).
  std::uint32_t (*sbox_word)(std::uint32_t x);
  // The 32 rounds on consecutive blocks, each on its own.
  void (*transform_blocks)(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                           const SM4_KEY* ks);
  // CBC over whole blocks; iv is updated. in and out may be the same buffer.
  void (*cbc_encrypt)(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const SM4_KEY* ks, std::uint8_t iv[SM4_BLOCK_SIZE]);
  void (*cbc_decrypt)(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks,
                      const SM4_KEY* ks, std::uint8_t iv[SM4_BLOCK_SIZE]);
};

enum class Sm4Impl {
  kPortable,  // byte table; not constant time
  kAesNi,     // AES-NI with SSSE3
  kAvx,       // the same with AVX encoding
  kVaes,      // AVX encoding, plus VAES on 256-bit registers for decryption
};

// Null when this processor cannot run `impl`.
const Sm4Kernels* Sm4KernelsFor(Sm4Impl impl);
// The fastest one this processor runs.
const Sm4Kernels& Sm4BestKernels();

const Sm4Kernels& Sm4PortableKernels();
const Sm4Kernels& Sm4AesNiKernels();
const Sm4Kernels& Sm4AvxKernels();
const Sm4Kernels& Sm4VaesKernels();

}  // namespace gmcrypto::detail
