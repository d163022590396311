// Writes each input to a file and decodes it there: the file decoder must
// agree with the memory decoder, node for node, and read nothing else.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "smengine/asn1/ASN1EngineEx.h"
#include "smengine/common/EngineResult.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::string& InputPath() {
  static const std::string path = [] {
    char szTemplate[] = "/tmp/asn1_file_ex_fuzzer-XXXXXX";
    Check(::mkdtemp(szTemplate) != nullptr);
    return std::string(szTemplate) + "/input.der";
  }();
  return path;
}

void CheckSame(const NodeEx& a, const NodeEx& b) {
  Check(a.byTag == b.byTag && a.nValueOffset == b.nValueOffset &&
        a.nLengthOctetsSize == b.nLengthOctetsSize && a.nValueLength == b.nValueLength &&
        a.nNodeLength == b.nNodeLength && a.nSourceSize == b.nSourceSize &&
        a.bIndefinite == b.bIndefinite && a.vetNodes.size() == b.vetNodes.size());
  for (std::size_t i = 0; i < a.vetNodes.size(); ++i) CheckSame(*a.vetNodes[i], *b.vetNodes[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const std::vector<BYTE> der(data, data + size);
  {
    foundation::UniqueFile out(std::fopen(InputPath().c_str(), "wb"));
    Check(out != nullptr);
    if (!der.empty()) Check(std::fwrite(der.data(), 1, der.size(), out.get()) == der.size());
  }
  foundation::UniqueFile in(std::fopen(InputPath().c_str(), "rb"));
  Check(in != nullptr);

  NodeEx* pFromFile = nullptr;
  const int nFile = DecodeASN1FileEx(in.get(), &pFromFile);
  std::unique_ptr<NodeEx> fromFile(pFromFile);
  NodeEx* pFromMemory = nullptr;
  const int nMemory = DecodeASN1MemoryEx(der.data(), static_cast<int>(der.size()), &pFromMemory);
  std::unique_ptr<NodeEx> fromMemory(pFromMemory);

  Check(nFile == nMemory && (fromFile != nullptr) == (fromMemory != nullptr));
  if (!fromFile) return 0;
  CheckSame(*fromFile, *fromMemory);

  // Values read back from the file must be the bytes the memory tree points at.
  BYTE* pbyFile = nullptr;
  int nFileSize = 0;
  BYTE* pbyMemory = nullptr;
  int nMemorySize = 0;
  Check(EncodeASN1ToMemory(fromFile.get(), &pbyFile, &nFileSize) == ORLO_OK);
  Check(EncodeASN1ToMemory(fromMemory.get(), &pbyMemory, &nMemorySize) == ORLO_OK);
  std::unique_ptr<BYTE[]> file(pbyFile), memory(pbyMemory);
  Check(nFileSize == nMemorySize &&
        std::memcmp(file.get(), memory.get(), static_cast<std::size_t>(nFileSize)) == 0);
  return 0;
}
