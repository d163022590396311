#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "smengine/asn1/CMSEnvelopeOperations.h"
#include "smengine/common/EngineResult.h"

// Whatever decodes must encode again and come back unchanged.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  BYTE* pbyRaw = nullptr;
  int nRaw = 0;
  if (engine::Decode_SM2Cipher(data, static_cast<int>(size), &pbyRaw, &nRaw) != ORLO_OK) return 0;
  std::unique_ptr<BYTE[]> raw(pbyRaw);
  if (nRaw <= engine::SM2_CIPHER_OVERHEAD) return 0;
  BYTE* pbyDer = nullptr;
  int nDer = 0;
  if (engine::Encode_SM2Cipher(pbyRaw, nRaw, &pbyDer, &nDer) != ORLO_OK) std::abort();
  std::unique_ptr<BYTE[]> der(pbyDer);
  BYTE* pbyBack = nullptr;
  int nBack = 0;
  if (engine::Decode_SM2Cipher(pbyDer, nDer, &pbyBack, &nBack) != ORLO_OK) std::abort();
  std::unique_ptr<BYTE[]> back(pbyBack);
  if (nBack != nRaw || std::memcmp(pbyBack, pbyRaw, nRaw) != 0) std::abort();
  return 0;
}
