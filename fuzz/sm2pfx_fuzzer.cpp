// Feeds arbitrary bytes to the SM2 soft-certificate decoder and to the full
// key-pair decryption (with the seed files' password), checking that
// outputs stay inside the input and agree between the two entry points.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resources/ResultCodes.h"
#include "smengine/common/EngineResult.h"
#include "smengine/softcert/SMFileCertOperations.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr const char* kPassword = "123456";

// True when `part` occurs in `whole`: parsed fields are copies of input bytes.
bool Contains(const std::vector<std::uint8_t>& whole, const unsigned char* part, int n) {
  if (n <= 0 || static_cast<std::size_t>(n) > whole.size()) return false;
  for (std::size_t i = 0; i + static_cast<std::size_t>(n) <= whole.size(); ++i)
    if (std::memcmp(whole.data() + i, part, static_cast<std::size_t>(n)) == 0) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  // A copy of exactly the input's size, so a read past it is caught.
  const std::vector<std::uint8_t> der(data, data + size);
  const unsigned char* pbyDer = der.empty() ? nullptr : der.data();
  const int nDer = static_cast<int>(size);

  unsigned char* pbyKey = nullptr;
  unsigned char* pbyCert = nullptr;
  int nKey = -1, nCert = -1;
  const int nParse = engine::ParseSM2PFX(pbyDer, nDer, &pbyKey, &nKey, &pbyCert, &nCert);
  if (nParse == ORLO_OK) {
    Check(pbyKey != nullptr && pbyCert != nullptr);
    Check(nKey > 0 && nCert > 0 && nKey + nCert < nDer);
    Check(Contains(der, pbyKey, nKey) && Contains(der, pbyCert, nCert));
  } else {
    Check(nParse == SIGIL_E_DECODE_SM2_PFX);
    Check(pbyKey == nullptr && pbyCert == nullptr && nKey == -1 && nCert == -1);
  }
  delete[] pbyKey;
  delete[] pbyCert;

  engine::SM2_KEY_PAIR stKeyPair;
  const int nDecrypt = engine::DecryptKeyPairFromSM2PFX(kPassword, &stKeyPair, pbyDer, nDer);
  if (nParse != ORLO_OK) {
    Check(nDecrypt == nParse);
  } else {
    Check(nDecrypt != SIGIL_E_DECODE_SM2_PFX);
  }
  if (nDecrypt == ORLO_OK) {
    Check(stKeyPair.nPrivateKeySize > 0 && stKeyPair.nPrivateKeySize <= 32);
    Check(stKeyPair.nPubKeyXSize == 32 && stKeyPair.nPubKeyYSize == 32);
  } else {
    Check(nDecrypt == SIGIL_E_DECODE_SM2_PFX || nDecrypt == SIGIL_E_DECRYPT_SM2_PFX ||
          nDecrypt == ORLO_FAILED);
    Check(stKeyPair.pbyPrivateKey == nullptr && stKeyPair.pbyPubKeyX == nullptr &&
          stKeyPair.pbyPubKeyY == nullptr);
  }
  engine::FreeSM2KeyPair(&stKeyPair);
  return 0;
}
