// The SM3 compression function, shared by the digest and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gmcrypto::detail {

// Runs `blocks` consecutive 64-byte blocks through the compression
// function, updating the chaining value V in place.
void Sm3CompressBlocks(std::uint32_t V[8], const std::uint8_t* data, std::size_t blocks);

// The variants Sm3CompressBlocks chooses among, for tests and benchmarks.
enum class Sm3Impl {
  kGeneric,  // plain C++
  kBmi2,     // the same compiled for BMI2's non-destructive rotates
  kVector,   // message expansion on AVX2 beside the BMI2 rounds
};
using Sm3CompressFn = void (*)(std::uint32_t V[8], const std::uint8_t* data, std::size_t blocks);
// Null when this processor cannot run `impl`.
Sm3CompressFn Sm3CompressFor(Sm3Impl impl);

}  // namespace gmcrypto::detail
