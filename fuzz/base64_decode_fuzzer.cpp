// Drives both Base64 decoders with arbitrary text and checks that they agree
// with each other, with their own size query, and with a re-encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "smengine/common/Base64.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::vector<BYTE> DecodeExactly(const char* text, int nLen) {
  int nCount = 0;
  Base64Decode(text, nLen, nullptr, &nCount);  // counting only
  std::vector<BYTE> bytes(static_cast<std::size_t>(nCount) + 1);
  int nCapacity = nCount;
  Check(Base64Decode(text, nLen, bytes.data(), &nCapacity));
  Check(nCapacity == nCount);
  if (nCount > 0) {
    int nShort = nCount - 1;
    Check(!Base64Decode(text, nLen, bytes.data(), &nShort) && nShort == nCount);
  }
  bytes.resize(static_cast<std::size_t>(nCount));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  // A copy of exactly the input's size, so a read past it is caught.
  std::vector<char> text(data, data + size);
  const int nLen = static_cast<int>(size);

  const std::vector<BYTE> decoded = DecodeExactly(text.data(), nLen);

  BYTE* pbAgent = nullptr;
  int nAgent = 0;
  Check(Base64DecodeEx(nLen, text.data(), &pbAgent, &nAgent) == S_OK);
  Check(std::vector<BYTE>(pbAgent, pbAgent + nAgent) == decoded);
  delete[] pbAgent;

  unsigned char* pbEngine = nullptr;
  unsigned int nEngine = 0;
  Check(engine::Base64DecodeEx(&pbEngine, &nEngine, text.data(), nLen) == ORLO_OK);
  Check(std::vector<BYTE>(pbEngine, pbEngine + nEngine) == decoded);
  delete[] pbEngine;

  // Whatever came out must survive an encode and decode in every layout.
  if (decoded.empty()) return 0;
  for (DWORD dwFlags = 0; dwFlags <= 3; ++dwFlags) {
    LPSTR pszText = nullptr;
    int nTextLen = 0;
    Check(Base64EncodeEx(&pszText, decoded.data(), static_cast<int>(decoded.size()), &nTextLen,
                         dwFlags) == S_OK);
    Check(static_cast<std::size_t>(nTextLen) == std::strlen(pszText));
    Check(DecodeExactly(pszText, nTextLen) == decoded);
    delete[] pszText;
  }
  return 0;
}
