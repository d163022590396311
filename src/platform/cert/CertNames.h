// Certificate names as text, shaped like CryptoAPI's CertNameToStrW and
// CertGetNameStringW. Attribute keys are the X.500 short forms CryptoAPI
// prints (CN, OU, O, L, S, C, E, STREET, T, G, I, SN, DC, ...); an attribute
// without a short form prints as its dotted OID ("OID.1.2.3=value" in the
// X.500 form). Values are UTF-16 from any of the ASN.1 string types.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;
inline constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
inline constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
inline constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
inline constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
inline constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
inline constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;

// The name as text: RDNs in encoded order (C first for the usual names), or
// most specific first with CERT_NAME_STR_REVERSE_FLAG; separated by ", "
// (";" / "\r\n" with those flags); the values of a multi-valued RDN joined by
// " + ". CERT_SIMPLE_NAME_STR prints values only. Without NO_QUOTING a value
// holding , + = " \r \n < > # ; or leading/trailing blanks is put in double
// quotes (inner quotes doubled). Returns the characters written including
// the terminator; with psz null or csz 0 the characters needed. A too-small
// buffer gets a truncated, terminated string. An empty name gives "" (1).
DWORD CertNameToStrW(DWORD dwCertEncodingType, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPWSTR psz, DWORD csz);

inline constexpr DWORD CERT_NAME_EMAIL_TYPE = 1;
inline constexpr DWORD CERT_NAME_RDN_TYPE = 2;
inline constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
inline constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
inline constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
inline constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;

// SIMPLE_DISPLAY: the first of CN, OU, O, E found in the subject (issuer with
// CERT_NAME_ISSUER_FLAG), else the first attribute; FRIENDLY_DISPLAY: the
// friendly-name property, else as SIMPLE_DISPLAY. RDN_TYPE: CertNameToStrW
// with the DWORD at pvTypePara as string type. ATTR_TYPE: the first value
// of the attribute whose dotted OID is the narrow text at pvTypePara.
// EMAIL_TYPE: the rfc822Name of subjectAltName, else the E attribute. Same
// size convention as CertNameToStrW; nothing found gives "" (1).
DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         const void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);
