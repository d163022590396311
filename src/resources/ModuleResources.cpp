#include "resources/ModuleResources.h"

#include <iterator>

#include "resources/DialogArtwork.h"
#include "resources/StringTable.h"

// The CA chain document NP_Install imports, written at build time by
// tools/ca-chain from src/register/data.
extern const BYTE kCaChainXml[];
extern const DWORD kCaChainXmlSize;

namespace {

constexpr UINT IDR_CA_CHAIN = 104;

// Typed binary resources (dialog images, the CA chain).
// Built on first use: the picture sizes live in another translation unit,
// so a namespace-scope table could be read before they are set.
const BINARY_RESOURCE* Binaries(std::size_t* count) {
  static const BINARY_RESOURCE binaries[] = {
      {IDB_SYSTEM_CERTIFICATE, u"PNG", kSystemCertificatePng, kSystemCertificatePngSize},
      {IDB_KEY_CERTIFICATE, u"PNG", kKeyCertificatePng, kKeyCertificatePngSize},
      {IDB_CERTIFICATE_FRAME, u"PNG", kCertificateFramePng, kCertificateFramePngSize},
      {IDR_CA_CHAIN, u"CERTIFICATE", kCaChainXml, kCaChainXmlSize},
  };
  *count = std::size(binaries);
  return binaries;
}

}  // namespace

const MODULE_RESOURCES& SigilModuleResources() {
  static const MODULE_RESOURCES resources = [] {
    std::size_t binaryCount = 0;
    const BINARY_RESOURCE* binaries = Binaries(&binaryCount);
    return MODULE_RESOURCES{SigilStringTable(), SigilStringTableSize(), binaries, binaryCount};
  }();
  return resources;
}

HMODULE GetSigilModuleHandle() { return ModuleFromResources(&SigilModuleResources()); }
