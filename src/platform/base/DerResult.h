// The CryptoAPI code each reading failure of the DER toolkit has always
// been reported as, so that callers keep their results as they move onto it.
#pragma once

#include "der/Error.h"
#include "platform/base/WinTypes.h"

namespace platform {

// CRYPT_E_ASN1_EOD for bytes cut short, CRYPT_E_ASN1_BADTAG for a wrong or
// refused identifier, CRYPT_E_ASN1_LARGE for lengths, values or nesting past
// the limits, CRYPT_E_ASN1_CORRUPT for anything else malformed (non-minimal
// forms and trailing bytes included).
HRESULT DerResult(der::Error error);

}  // namespace platform
