// Drives the SignedData parser and the SM2Q1 decoder with arbitrary bytes.
// Whatever they accept must survive a rebuild: a raw signature re-encodes to
// itself, and an attached SignedData rebuilt from the parsed parts parses
// back to the same parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/signing/PKCS7SignedDataOperations.h"

namespace {

using Bytes = std::vector<BYTE>;

void Check(bool condition) {
  if (!condition) std::abort();
}

Bytes Take(BYTE* pbyData, int nSize) {
  std::unique_ptr<BYTE[]> owner(pbyData);
  return pbyData ? Bytes(pbyData, pbyData + nSize) : Bytes{};
}

void CheckRawRoundTrip(const Bytes& raw) {
  BYTE* pbyQ1 = nullptr;
  int nQ1 = 0;
  Check(engine::Encode_SM2Q1(&pbyQ1, raw.data(), raw.data() + 32, &nQ1) == ORLO_OK);
  const Bytes q1 = Take(pbyQ1, nQ1);
  BYTE* pbyBack = nullptr;
  int nBack = 0;
  Check(engine::Decode_SM2Q1(q1.data(), &pbyBack, nQ1, &nBack) == ORLO_OK);
  Check(Take(pbyBack, nBack) == raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  const Bytes input(data, data + size);
  const int nSize = static_cast<int>(size);

  BYTE* pbyRaw = nullptr;
  int nRaw = 0;
  if (engine::Decode_SM2Q1(input.data(), &pbyRaw, nSize, &nRaw) == ORLO_OK) {
    Check(nRaw == engine::SM2_RAW_RS_SIZE);
    CheckRawRoundTrip(Take(pbyRaw, nRaw));
  }

  BYTE *pbyCert = nullptr, *pbyContent = nullptr;
  int nCert = 0, nContent = 0;
  pbyRaw = nullptr;
  if (engine::ParsePKCS7Signature(&pbyCert, &nCert, input.data(), nSize, &pbyRaw, &nRaw,
                                  &pbyContent, &nContent) != ORLO_OK) {
    Check(!pbyCert && !pbyRaw && !pbyContent);
    return 0;
  }
  Check(!pbyContent || pbyContent[nContent] == 0);
  const Bytes cert = Take(pbyCert, nCert), raw = Take(pbyRaw, nRaw);
  {
    // The same signature with anything after it is no signature.
    Bytes longer = input;
    longer.push_back(0x00);
    BYTE* pbyNone = nullptr;
    int nNone = 0;
    Check(engine::ParsePKCS7Signature(nullptr, nullptr, longer.data(), nSize + 1, &pbyNone,
                                      &nNone, nullptr, nullptr) ==
          static_cast<int>(SIGIL_E_INVALID_PKCS7));
    Check(pbyNone == nullptr);
  }
  const bool bAttached = pbyContent != nullptr;
  const Bytes content = Take(pbyContent, nContent);
  if (raw.size() != static_cast<std::size_t>(engine::SM2_RAW_RS_SIZE)) return 0;
  CheckRawRoundTrip(raw);

  // Only a certificate the engine can read yields a rebuild.
  BYTE* pbyP7 = nullptr;
  int nP7 = 0;
  const BYTE byEmpty = 0;
  if (cert.empty() ||
      engine::Encode_PKCS7Signature(
          raw.data(), &pbyP7, cert.data(), nCert, content.empty() ? &byEmpty : content.data(),
          static_cast<int>(content.size()), bAttached ? TRUE : FALSE, nRaw, &nP7) != ORLO_OK)
    return 0;
  const Bytes rebuilt = Take(pbyP7, nP7);
  pbyCert = pbyRaw = pbyContent = nullptr;
  Check(engine::ParsePKCS7Signature(&pbyCert, &nCert, rebuilt.data(), nP7, &pbyRaw, &nRaw,
                                    &pbyContent, &nContent) == ORLO_OK);
  Check(Take(pbyCert, nCert) == cert);
  Check(Take(pbyRaw, nRaw) == raw);
  Check((pbyContent != nullptr) == bAttached);
  Check(Take(pbyContent, nContent) == content);
  return 0;
}
