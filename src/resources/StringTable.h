// The module's string table: result-code messages (id = low 16 bits of the
// code) and the selection dialog's row texts.
#pragma once

#include <cstddef>

#include "platform/base/Resources.h"

// Dialog texts (English and Simplified Chinese only).
inline constexpr UINT IDS_SELECT_CERT_HEADER = 203;
inline constexpr UINT IDS_CERT_ISSUER = 205;
inline constexpr UINT IDS_CERT_SERIAL = 206;
inline constexpr UINT IDS_CERT_VALIDITY = 207;
// Describes access denied when it was a site that was refused (the platform's
// own text for the code says nothing of sites).
inline constexpr UINT IDS_SITE_NOT_ALLOWED = 0x2028;

const STRING_RESOURCE* SigilStringTable();
std::size_t SigilStringTableSize();
