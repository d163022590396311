// The module's string table: result-code messages (id = low 16 bits of the
// code) and the selection dialog's row texts.
#pragma once

#include <cstddef>

#include "platform/Resources.h"

// Dialog texts (English and Simplified Chinese only).
inline constexpr UINT IDS_SELECT_CERT_HEADER = 203;
inline constexpr UINT IDS_CERT_ISSUER = 205;
inline constexpr UINT IDS_CERT_SERIAL = 206;
inline constexpr UINT IDS_CERT_VALIDITY = 207;

const STRING_RESOURCE* SigilStringTable();
std::size_t SigilStringTableSize();
