// A soft-certificate file of arbitrary text read the way every SM2 route
// reads one: refused unread past its limit, else exactly what decoding the
// text as Base64 gives, and then parsed as an SM2_PFX.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/fs/Files.h"
#include "resources/ResultCodes.h"
#include "smengine/common/Base64Utility.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 18)) return 0;
  UniqueFile file(std::tmpfile());
  Check(file != nullptr);
  if (size > 0) Check(std::fwrite(data, 1, size, file.get()) == size);
  std::fflush(file.get());
  std::fseek(file.get(), static_cast<long>(size / 2), SEEK_SET);  // read from the start anyway

  unsigned char* pbyDer = nullptr;
  int nDer = -1;
  const int nResult = engine::ReadSM2PFXFile(file.get(), &pbyDer, &nDer);
  std::unique_ptr<unsigned char[]> der(pbyDer);
  if (size > static_cast<std::size_t>(engine::SM2_SOFT_CERT_MAX_FILE_SIZE)) {
    Check(nResult == static_cast<int>(SIGIL_E_FILE_TOO_LARGE) && pbyDer == nullptr);
    return 0;
  }
  // The same text decoded in memory gives the same answer.
  std::unique_ptr<char[]> text(new char[size + 1]());
  if (size > 0) std::memcpy(text.get(), data, size);
  unsigned char* pbyExpected = nullptr;
  unsigned int nExpected = 0;
  const int nDirect =
      engine::Base64DecodeEx(&pbyExpected, &nExpected, text.get(), static_cast<int>(size));
  std::unique_ptr<unsigned char[]> expected(pbyExpected);
  Check(nResult == nDirect);
  if (nResult != ORLO_OK) {
    Check(pbyDer == nullptr);
    return 0;
  }
  Check(nDer == static_cast<int>(nExpected) &&
        (nDer == 0 || std::memcmp(pbyDer, pbyExpected, static_cast<std::size_t>(nDer)) == 0));

  unsigned char *pbyKey = nullptr, *pbyCert = nullptr;
  int nKey = 0, nCert = 0;
  if (engine::ParseSM2PFX(pbyDer, nDer, &pbyKey, &nKey, &pbyCert, &nCert) == ORLO_OK)
    Check(nKey > 0 && nCert > 0 && nKey + nCert < nDer);
  delete[] pbyKey;
  delete[] pbyCert;
  return 0;
}
