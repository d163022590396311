// What a certificate selection asks for, and the single checks that judge one
// certificate against it. The checks serve both the store filters
// (CertificateStore.h) and the walk over certificates found in CSP key
// containers, which has no private-key test.
#pragma once

#include <string>
#include <vector>

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

// Every field unset (null / 0) means "no test"; a missing filter behaves the
// same. The caller owns the filter and everything it points to.
struct CERTIFICATE_FILTER {
  // "#"-separated alternatives, each a case-insensitive substring of the
  // X.500 name (CN=..., OU=..., O=..., C=...). See ParseFilters.
  LPCWSTR lpwSubjectDNFilter;
  LPCWSTR lpwIssuerDNFilter;
  // Subject key identifier the certificate must carry, and the number of
  // bytes readable at pbySubjectKeyID.
  const BYTE* pbySubjectKeyID;
  DWORD cbSubjectKeyID;
  // Serial number, least significant byte first (ConvertStringToBinaryData's
  // order), and the number of bytes readable at pbySerialNumber.
  const BYTE* pbySerialNumber;
  DWORD cbSerialNumber;
  // At least one of these first-byte key-usage bits (0x80, 0x20, ...).
  DWORD dwKeyUsage;
  // Exactly TRUE: the private key must be obtainable. Other values: no test.
  BOOL bCheckPrivateKey;
  // Required beginning of the signature algorithm OID, e.g. "1.2.840.113549".
  LPCSTR pszSignatureAlgOid;
};
using PCERTIFICATE_FILTER = CERTIFICATE_FILTER*;
using PCCERTIFICATE_FILTER = const CERTIFICATE_FILTER*;

// Name forms accepted by CheckCertSubjectName (CertNameToStrW string types).
inline constexpr DWORD CERT_FILTER_NAME_SIMPLE = 1;  // CERT_SIMPLE_NAME_STR
inline constexpr DWORD CERT_FILTER_NAME_X500 = 3;    // CERT_X500_NAME_STR

// Longest filter piece kept, in characters; longer pieces are cut.
inline constexpr std::size_t kMaxFilterPieceChars = 255;

// Serial numbers and key identifiers handed over by ConvertStringToBinaryData
// are followed by this many zero bytes; a certificate value that is longer
// than the given bytes is compared against that many implied zeros (never
// read from the caller's buffer) and can never match beyond them.
inline constexpr DWORD kFilterImpliedZeroBytes = 4;

// Appends the pieces of lpwFilter cut at every "#" (each at most
// kMaxFilterPieceChars). Null appends nothing; "" appends one empty piece;
// empty pieces are kept. Always S_OK.
HRESULT ParseFilters(LPCWSTR lpwFilter, std::vector<std::u16string>& vtrFilters);

// The checks return S_OK when the certificate passes, otherwise a failure
// code; a null certificate gives E_INVALIDARG.

// Passes with no pieces, or when a piece is empty or occurs (ignoring case)
// in the subject string of that form (CERT_FILTER_NAME_SIMPLE or _X500, most
// specific RDN first, unquoted). E_FAIL when nothing matched.
HRESULT CheckCertSubjectName(PCCERT_CONTEXT pCertContext, DWORD dwNameForm,
                             const std::vector<std::u16string>& vtrSubjectFilters);
// The same on the issuer, always in X.500 form.
HRESULT CheckCertIssuer(PCCERT_CONTEXT pCertContext,
                        const std::vector<std::u16string>& vtrIssuerFilters);
// Passes when dwKeyUsage is 0 or shares a bit with the first key-usage byte.
// 0xA0071020 without the extension, 0xA0072021 when no bit is shared.
HRESULT CheckCertKeyUsage(DWORD dwKeyUsage, PCCERT_CONTEXT pCertContext);
// Passes for null bytes. Otherwise the certificate's identifier must equal
// the cbSubjectKeyID given bytes: given bytes past the certificate's length
// are not looked at; certificate bytes past cbSubjectKeyID must be zero and
// at most kFilterImpliedZeroBytes many. 0xA0071021 without the extension,
// E_FAIL on a mismatch.
HRESULT CheckCertSubjectKeyID(const BYTE* pbySubjectKeyID, DWORD cbSubjectKeyID,
                              PCCERT_CONTEXT pCertContext);
// Passes for null bytes; otherwise the serial number (least significant byte
// first) compared by the same rule as the key identifier. E_FAIL on a
// mismatch.
HRESULT CheckCertSerialNumber(const BYTE* pbySerialNumber, DWORD cbSerialNumber,
                              PCCERT_CONTEXT pCertContext);
// Passes for a null prefix, or when the signature algorithm OID begins with
// it. E_FAIL otherwise.
HRESULT CheckCertSignatureAlg(LPCSTR pszSignatureAlgOid, PCCERT_CONTEXT pCertContext);

// Checks one to six of a filter in their fixed order (subject in X.500 form,
// issuer, key usage, key identifier, serial number, signature algorithm) and
// returns the first failure. The pieces are those ParseFilters gave for the
// filter's two texts; a null filter passes. The private-key test is left to
// the caller.
HRESULT CheckCertMatchesFilter(PCCERT_CONTEXT pCertContext, PCCERTIFICATE_FILTER pFilter,
                               const std::vector<std::u16string>& vtrSubjectFilters,
                               const std::vector<std::u16string>& vtrIssuerFilters);
