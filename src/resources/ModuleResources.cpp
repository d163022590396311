#include "resources/ModuleResources.h"

#include "resources/StringTable.h"

namespace {

// Typed binary resources (dialog images, the trusted root certificate).
// Add entries here; the null entry keeps the array non-empty.
constexpr BINARY_RESOURCE kBinaries[] = {
    {0, nullptr, nullptr, 0},
};
constexpr std::size_t kBinaryCount = 0;  // real entries in kBinaries

}  // namespace

const MODULE_RESOURCES& SigilModuleResources() {
  static const MODULE_RESOURCES resources = {SigilStringTable(), SigilStringTableSize(), kBinaries,
                                             kBinaryCount};
  return resources;
}

HMODULE GetSigilModuleHandle() { return ModuleFromResources(&SigilModuleResources()); }
