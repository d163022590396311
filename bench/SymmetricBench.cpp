// SM3 and SM4-CBC on 16 KiB: ours beside OpenSSL's default provider (SM4
// with padding off, so both sides do exactly 1024 blocks). The table-lookup
// SM4 kernel, which is not constant time, is measured for comparison only.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "gmcrypto/sm3/Sm3.h"
#include "gmcrypto/sm4/Sm4.h"
#include "gmcrypto/sm4/Sm4Kernels.h"

namespace {

constexpr std::size_t kSize = 16 * 1024;
constexpr std::uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                   0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

std::vector<std::uint8_t> Input() {
  std::vector<std::uint8_t> v(kSize);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return v;
}

void Sm3_16KiB_Ours(benchmark::State& state) {
  const auto in = Input();
  unsigned char md[32];
  for (auto _ : state) {
    gmcrypto::SM3(in.data(), in.size(), md);
    benchmark::DoNotOptimize(md);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void Sm3_16KiB_OpenSSL(benchmark::State& state) {
  const auto in = Input();
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(
      EVP_MD_fetch(nullptr, "SM3", "provider=default"), EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char out[32];
  unsigned int n = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), in.data(), in.size());
    EVP_DigestFinal_ex(ctx.get(), out, &n);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

template <bool Encrypt>
void Sm4Cbc_Ours(benchmark::State& state, const gmcrypto::detail::Sm4Kernels& kernels) {
  const auto in = Input();
  std::vector<std::uint8_t> out(kSize);
  gmcrypto::SM4_KEY ks;
  gmcrypto::SM4_set_key(kKey, &ks);
  if (!Encrypt) gmcrypto::SM4_reverse_round_keys(&ks);
  std::uint8_t iv[16] = {};
  for (auto _ : state) {
    (Encrypt ? kernels.cbc_encrypt : kernels.cbc_decrypt)(in.data(), out.data(), kSize / 16, &ks,
                                                          iv);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
  state.SetLabel(kernels.name);
}

template <bool Encrypt>
void Sm4Cbc_OpenSSL(benchmark::State& state) {
  const auto in = Input();
  std::vector<std::uint8_t> out(kSize + 16);
  std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher(
      EVP_CIPHER_fetch(nullptr, "SM4-CBC", "provider=default"), EVP_CIPHER_free);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  const std::uint8_t iv[16] = {};
  EVP_CipherInit_ex2(ctx.get(), cipher.get(), kKey, iv, Encrypt ? 1 : 0, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int n = 0;
  for (auto _ : state) {
    EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(kSize));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void Sm4CbcEncrypt_16KiB_Ours(benchmark::State& state) {
  Sm4Cbc_Ours<true>(state, gmcrypto::detail::Sm4BestKernels());
}
void Sm4CbcEncrypt_16KiB_OursTableLookup(benchmark::State& state) {
  Sm4Cbc_Ours<true>(state, gmcrypto::detail::Sm4PortableKernels());
}
void Sm4CbcEncrypt_16KiB_OpenSSL(benchmark::State& state) { Sm4Cbc_OpenSSL<true>(state); }
void Sm4CbcDecrypt_16KiB_Ours(benchmark::State& state) {
  Sm4Cbc_Ours<false>(state, gmcrypto::detail::Sm4BestKernels());
}
void Sm4CbcDecrypt_16KiB_OpenSSL(benchmark::State& state) { Sm4Cbc_OpenSSL<false>(state); }

}  // namespace

BENCHMARK(Sm3_16KiB_Ours);
BENCHMARK(Sm3_16KiB_OpenSSL);
BENCHMARK(Sm4CbcEncrypt_16KiB_Ours);
BENCHMARK(Sm4CbcEncrypt_16KiB_OursTableLookup);
BENCHMARK(Sm4CbcEncrypt_16KiB_OpenSSL);
BENCHMARK(Sm4CbcDecrypt_16KiB_Ours);
BENCHMARK(Sm4CbcDecrypt_16KiB_OpenSSL);
