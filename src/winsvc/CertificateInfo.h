// Single properties of a certificate, read for page script and for the
// selection dialog. Every buffer handed out is new[]-allocated and owned by
// the caller (delete[]); on failure nothing is handed out and the outputs
// are left as they were.
#pragma once

#include <source_location>

#include "platform/cert/CertContext.h"
#include "platform/cert/CertDecode.h"  // SYSTEMTIME
#include "platform/csp/Csp.h"         // HCRYPTPROV
#include "platform/csp/CspHandles.h"
#include "platform/base/WinTypes.h"

class StepTrace;

// Kinds of QueryCertContextInfo; the numbers are the interface.
inline constexpr DWORD CERTINFO_SUBJECT_DN = 1;       // LPWSTR*, length with terminator
inline constexpr DWORD CERTINFO_SUBJECT_NAME = 2;     // LPWSTR*, length with terminator
inline constexpr DWORD CERTINFO_ISSUER_DN = 3;        // LPWSTR*, length with terminator
inline constexpr DWORD CERTINFO_SERIAL_NUMBER = 4;    // BYTE**, least significant first
inline constexpr DWORD CERTINFO_CSP_NAME = 5;         // LPWSTR*, length without terminator
inline constexpr DWORD CERTINFO_VALID_TO = 6;         // SYSTEMTIME* (UTC), length 16
inline constexpr DWORD CERTINFO_VALID_FROM = 7;       // SYSTEMTIME* (UTC), length 16
inline constexpr DWORD CERTINFO_SUBJECT_KEY_ID = 8;   // BYTE**
inline constexpr DWORD CERTINFO_KEY_USAGE = 9;        // DWORD*, length 4
inline constexpr DWORD CERTINFO_CONTAINER_NAME = 10;  // LPWSTR*, length without terminator

// Subject as text: dwNameForm CERT_SIMPLE_NAME_STR (1) or CERT_X500_NAME_STR
// (3), most specific RDN first, unquoted. *pdwLength counts the terminator.
HRESULT GetCertSubject(PCCERT_CONTEXT pCertContext, DWORD dwNameForm, LPWSTR* ppwszSubject,
                       DWORD* pdwLength);
// Issuer in the X.500 form of GetCertSubject.
HRESULT GetCertIssuer(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszIssuer, DWORD* pdwLength);
// Copy of the serial number bytes, least significant first.
HRESULT GetCertSerialNumber(PCCERT_CONTEXT pCertContext, BYTE** ppbySerialNumber, DWORD* pdwLength);
// First byte of the key-usage bit string (0 for an empty one); *pdwLength
// (may be null) becomes 4. 0xA0071020 without the extension.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage, DWORD* pdwLength);
// Copy of the subject key identifier. With ppbyKeyID null only tests that
// the extension is there. 0xA0071021 without it.
HRESULT GetCertSubjectKeyID(PCCERT_CONTEXT pCertContext, BYTE** ppbyKeyID, DWORD* pdwLength);
// The CSP name / key container name of the certificate's private key (taken
// through CryptAcquireCertificatePrivateKey); *pdwLength leaves out the
// terminator. The acquisition's converted error when the key is not there.
HRESULT GetCertProviderName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszName, DWORD* pdwLength);
HRESULT GetCertContainerName(PCCERT_CONTEXT pCertContext, LPWSTR* ppwszName, DWORD* pdwLength);
// NotAfter / NotBefore in UTC.
HRESULT GetCertToDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime);
HRESULT GetCertFromDate(PCCERT_CONTEXT pCertContext, SYSTEMTIME* pstTime);

// A provider parameter (PP_NAME, PP_CONTAINER, ...) as a new buffer of
// *pdwLength bytes, as the CSP reports it (narrow text keeps its
// terminator). E_FAIL when the CSP reports a length of 0.
HRESULT GetProviderInfo(HCRYPTPROV hProv, DWORD dwParam, BYTE** ppbyData, DWORD* pdwLength);

// The provider holding the certificate's private key, acquired with flags 0
// (a token's CSP may show its own PIN prompt) as the traced step
// "CryptAcquireCertificatePrivateKey", which fails with `reason` and the
// converted last error.
HRESULT AcquireCertificateKey(StepTrace& trace, PCCERT_CONTEXT pCertContext,
                              AcquiredCryptProv& provider, DWORD* pdwKeySpec, LPCWSTR reason,
                              std::source_location where = std::source_location::current());

// Dispatches on dwInfoType (CERTINFO_*). pvInfo is the output named above
// for the kind. Any other kind fails with 0xA0071003 and writes nothing.
HRESULT QueryCertContextInfo(DWORD* pdwInfoLength, void* pvInfo, PCCERT_CONTEXT pCertContext,
                             DWORD dwInfoType);
