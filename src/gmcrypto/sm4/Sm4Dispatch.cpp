#include <cpuid.h>

#include <initializer_list>

#include "gmcrypto/sm4/Sm4Kernels.h"

namespace gmcrypto::detail {
namespace {

// Not every compiler's __builtin_cpu_supports knows "vaes": ask CPUID
// (leaf 7, ECX bit 9). The AVX2 test made with it covers the OS's YMM support.
bool CpuHasVaes() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 9)) != 0;
}

bool Supports(Sm4Impl impl) {
  __builtin_cpu_init();
  switch (impl) {
    case Sm4Impl::kPortable:
      return true;
    case Sm4Impl::kAesNi:
      return __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3");
    case Sm4Impl::kAvx:
      return __builtin_cpu_supports("aes") && __builtin_cpu_supports("avx");
    case Sm4Impl::kVaes:
      return __builtin_cpu_supports("aes") && __builtin_cpu_supports("avx2") && CpuHasVaes();
  }
  return false;
}

}  // namespace

const Sm4Kernels* Sm4KernelsFor(Sm4Impl impl) {
  if (!Supports(impl)) return nullptr;
  switch (impl) {
    case Sm4Impl::kPortable:
      return &Sm4PortableKernels();
    case Sm4Impl::kAesNi:
      return &Sm4AesNiKernels();
    case Sm4Impl::kAvx:
      return &Sm4AvxKernels();
    case Sm4Impl::kVaes:
      return &Sm4VaesKernels();
  }
  return nullptr;
}

const Sm4Kernels& Sm4BestKernels() {
  static const Sm4Kernels& best = []() -> const Sm4Kernels& {
    for (Sm4Impl impl : {Sm4Impl::kVaes, Sm4Impl::kAvx, Sm4Impl::kAesNi})
      if (const Sm4Kernels* k = Sm4KernelsFor(impl)) return *k;
    return Sm4PortableKernels();
  }();
  return best;
}

}  // namespace gmcrypto::detail
