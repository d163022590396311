// PKCS#12 reading shared by PFXImportCertStore and the tools that parse
// PKCS#12 files themselves.
#pragma once

#include <cstddef>

#include "platform/base/WinTypes.h"

namespace certstore {

// A PKCS#12 file holds a key and a few certificates, a few kilobytes; a
// blob past this is refused before it is parsed.
inline constexpr std::size_t kMaxPfxSize = std::size_t{1} << 20;
// The system's "the file size exceeds the limit allowed" (0xA0072026).
inline constexpr HRESULT kPfxTooLargeError = MakeHResult(0xA0072026u);

// Files written by older tools (RC2-40 bags, as `openssl pkcs12 -legacy`
// and older Windows exports make them) need OpenSSL's legacy provider; this
// loads it into the default library context beside the default provider,
// once per process whichever thread asks first, and unloads both when the
// process (or the module holding this code) goes. False when it is not
// installed: such files then fail as undecodable.
bool LoadPkcs12Providers();

}  // namespace certstore
