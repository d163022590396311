#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/fs/Files.h"
#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/EngineResult.h"

namespace {
struct Outs {
  BYTE *skid = nullptr, *key = nullptr, *param = nullptr;
  int nSkid = 0, nKey = 0, nParam = 0;
  char *keyAlg = nullptr, *contentAlg = nullptr;
  engine::CMSEnvelopeOutputs Get() {
    return {&skid, &nSkid, &key, &nKey, &keyAlg, &contentAlg, &param, &nParam};
  }
  ~Outs() {
    delete[] skid;
    delete[] key;
    delete[] param;
    delete[] keyAlg;
    delete[] contentAlg;
  }
};
}  // namespace

// Memory and file decoding must agree, and the file position must survive.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  Outs memory;
  BYTE* pbyContent = nullptr;
  int nContent = 0;
  const int nMemory = engine::Decode_CMSEnvelopeData(data, static_cast<int>(size), memory.Get(),
                                                     &pbyContent, &nContent);
  std::unique_ptr<BYTE[]> content(pbyContent);

  UniqueFile f(std::tmpfile());
  if (!f || std::fwrite(data, 1, size, f.get()) != size || std::fflush(f.get()) != 0) return 0;
  const LONGLONG nStart = static_cast<LONGLONG>(size / 2);
  _fseeki64(f.get(), nStart, SEEK_SET);
  Outs file;
  NodeEx* pNode = nullptr;
  const int nFile = engine::Decode_CMSEnvelopeFile(f.get(), file.Get(), &pNode);
  std::unique_ptr<NodeEx> node(pNode);
  if (_ftelli64(f.get()) != nStart) std::abort();
  if (nMemory != nFile) std::abort();
  if (nMemory != ORLO_OK) return 0;
  // The file's content node, primitive or in pieces left in the file, holds
  // the very bytes the memory decoder joined.
  std::vector<BYTE> joined;
  if (ForEachOctetStringPiece(node.get(), [&](std::int64_t nOffset, std::int64_t nLength) {
        if (nOffset < 0 || nLength < 0 || nOffset + nLength > std::int64_t(size)) std::abort();
        joined.insert(joined.end(), data + nOffset, data + nOffset + nLength);
        return ORLO_OK;
      }) != ORLO_OK)
    std::abort();
  if (joined.size() != std::size_t(nContent) ||
      (nContent > 0 && std::memcmp(joined.data(), content.get(), joined.size()) != 0))
    std::abort();
  return 0;
}
