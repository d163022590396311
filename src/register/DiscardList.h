// Certificates that earlier deployments installed and that must not stay
// trusted: removed from the machine stores before the CA chain goes in.
#pragma once

#include "platform/base/WinTypes.h"

// One obsolete intermediate certificate, matched in the machine "CA" store.
// The DN texts are case-insensitive substrings of the X.500 names; the
// serial is hexadecimal text, most significant digit first.
struct DISCARD_CERT_FILTER {
  LPCWSTR lpwSubjectDN;
  LPCWSTR lpwIssuerDN;
  LPCWSTR lpwSerialNumber;
};

extern const DISCARD_CERT_FILTER g_DiscardCertFilters[3];
// SHA-1 thumbprint (40 hexadecimal digits) of the obsolete trusted root whose
// key under the machine's ROOT certificates is removed.
extern const WCHAR g_wszDiscardRootThumbprint[];
