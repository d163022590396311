#include "platform/cert/CertKeyProvInfo.h"

#include <cstdint>
#include <cstring>

#include "platform/base/WideString.h"

namespace {

std::size_t AlignUp(std::size_t n) { return (n + 7) & ~static_cast<std::size_t>(7); }

// Appends bytes at an 8-byte boundary and returns their offset (0 = none).
std::size_t Append(std::vector<BYTE>& out, const void* data, std::size_t size) {
  if (!data) return 0;
  std::size_t at = AlignUp(out.size());
  out.resize(at + size);
  if (size) std::memcpy(out.data() + at, data, size);
  return at;
}

template <typename T>
T* AsPointer(std::size_t offset) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(offset));
}

template <typename T>
T* Relocated(BYTE* block, T* offset) {
  auto value = reinterpret_cast<std::uintptr_t>(offset);
  return value ? reinterpret_cast<T*>(block + value) : nullptr;
}

}  // namespace

bool FlattenKeyProvInfo(const CRYPT_KEY_PROV_INFO& info, std::vector<BYTE>& out) {
  if (info.cProvParam && !info.rgProvParam) return false;
  for (DWORD i = 0; i < info.cProvParam; ++i)
    if (info.rgProvParam[i].cbData && !info.rgProvParam[i].pbData) return false;
  out.assign(sizeof(CRYPT_KEY_PROV_INFO), 0);
  CRYPT_KEY_PROV_INFO head = info;
  std::size_t paramsAt = 0;
  if (info.cProvParam) {
    paramsAt = AlignUp(out.size());
    out.resize(paramsAt + sizeof(CRYPT_KEY_PROV_PARAM) * info.cProvParam);
    for (DWORD i = 0; i < info.cProvParam; ++i) {
      CRYPT_KEY_PROV_PARAM param = info.rgProvParam[i];
      std::size_t dataAt = param.cbData ? Append(out, param.pbData, param.cbData) : 0;
      param.pbData = AsPointer<BYTE>(dataAt);
      std::memcpy(out.data() + paramsAt + i * sizeof param, &param, sizeof param);
    }
  }
  head.rgProvParam = AsPointer<CRYPT_KEY_PROV_PARAM>(paramsAt);
  auto appendText = [&out](LPCWSTR text) {
    return text ? Append(out, text, (wcslen(text) + 1) * sizeof(WCHAR)) : 0;
  };
  head.pwszContainerName = AsPointer<WCHAR>(appendText(info.pwszContainerName));
  head.pwszProvName = AsPointer<WCHAR>(appendText(info.pwszProvName));
  std::memcpy(out.data(), &head, sizeof head);
  return true;
}

void RelocateKeyProvInfo(BYTE* block) {
  CRYPT_KEY_PROV_INFO head;
  std::memcpy(&head, block, sizeof head);
  head.pwszContainerName = Relocated(block, head.pwszContainerName);
  head.pwszProvName = Relocated(block, head.pwszProvName);
  head.rgProvParam = Relocated(block, head.rgProvParam);
  for (DWORD i = 0; i < head.cProvParam; ++i) {
    BYTE* at = reinterpret_cast<BYTE*>(head.rgProvParam) + i * sizeof(CRYPT_KEY_PROV_PARAM);
    CRYPT_KEY_PROV_PARAM param;
    std::memcpy(&param, at, sizeof param);
    param.pbData = Relocated(block, param.pbData);
    std::memcpy(at, &param, sizeof param);
  }
  std::memcpy(block, &head, sizeof head);
}
