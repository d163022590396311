#include "platform/base/DerResult.h"

#include "platform/base/CryptErrors.h"

namespace platform {

HRESULT DerResult(der::Error error) {
  switch (error) {
    case der::Error::kOk:
      return S_OK;
    case der::Error::kTruncated:
      return CRYPT_E_ASN1_EOD;
    case der::Error::kBadTag:
      return CRYPT_E_ASN1_BADTAG;
    case der::Error::kTooLarge:
    case der::Error::kTooDeep:
      return CRYPT_E_ASN1_LARGE;
    case der::Error::kCorrupt:
    case der::Error::kNonMinimal:
    case der::Error::kTrailing:
      break;
  }
  return CRYPT_E_ASN1_CORRUPT;
}

}  // namespace platform
