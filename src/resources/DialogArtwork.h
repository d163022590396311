// The selection dialog's pictures as PNG bytes, drawn at build time by
// tools/artwork and compiled in from the generated DialogArtwork.cpp.
#pragma once

#include "platform/base/WinTypes.h"

inline constexpr UINT IDB_SYSTEM_CERTIFICATE = 105;  // 128 x 128, software keys
inline constexpr UINT IDB_KEY_CERTIFICATE = 106;     // 128 x 128, hardware keys
inline constexpr UINT IDB_CERTIFICATE_FRAME = 107;   // 62 x 62, over every row's picture

extern const BYTE kSystemCertificatePng[];
extern const DWORD kSystemCertificatePngSize;
extern const BYTE kKeyCertificatePng[];
extern const DWORD kKeyCertificatePngSize;
extern const BYTE kCertificateFramePng[];
extern const DWORD kCertificateFramePngSize;
