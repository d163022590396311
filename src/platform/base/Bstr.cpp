#include "platform/base/Bstr.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/base/WideString.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
constexpr std::size_t kTerminator = sizeof(WCHAR);

std::uint32_t* PrefixOf(BSTR bstr) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<BYTE*>(bstr) - kPrefix);
}

// Two zero bytes follow the text even when the byte count is odd.
BSTR Allocate(const void* data, std::uint64_t bytes) {
  if (bytes > UINT32_MAX - kPrefix - kTerminator) return nullptr;
  auto* block = static_cast<BYTE*>(std::calloc(1, kPrefix + bytes + kTerminator));
  if (!block) return nullptr;
  const auto length = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &length, kPrefix);
  if (data && bytes) std::memcpy(block + kPrefix, data, bytes);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

}  // namespace

BSTR SysAllocString(LPCWSTR psz) {
  if (!psz) return nullptr;
  return Allocate(psz, static_cast<std::uint64_t>(wcslen(psz)) * sizeof(WCHAR));
}

BSTR SysAllocStringLen(LPCWSTR pch, UINT cch) {
  return Allocate(pch, static_cast<std::uint64_t>(cch) * sizeof(WCHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return Allocate(psz, len); }

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(WCHAR); }

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  std::uint32_t length;
  std::memcpy(&length, PrefixOf(bstr), kPrefix);
  return length;
}

// Wiped before release: these strings carry passwords and plain text too.
void SysFreeString(BSTR bstr) {
  if (!bstr) return;
  const std::size_t total = kPrefix + SysStringByteLen(bstr) + kTerminator;
  void* block = PrefixOf(bstr);
  OPENSSL_cleanse(block, total);
  std::free(block);
}
