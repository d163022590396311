// The store opened over a decoded message (CERT_STORE_PROV_MSG) holds the
// message's certificates, but messages live in the room above the store. The
// message room hands the store a reader when it registers a message, so a
// handle can only be found once the reader is there.
#pragma once

#include <vector>

#include "platform/base/WinTypes.h"

namespace platform::store {

// False when the handle names no live message; otherwise the certificates'
// DER in *certificates, and the outcome of reading them.
using MessageCertificatesReader = bool (*)(const void* message,
                                           std::vector<std::vector<BYTE>>* certificates,
                                           HRESULT* result);

void SetMessageCertificatesReader(MessageCertificatesReader reader);

}  // namespace platform::store
