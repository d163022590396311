// Extensions, object decoding and time conversion, shaped like CryptoAPI's
// CertFindExtension, CryptDecodeObjectEx and FileTimeToSystemTime.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

inline constexpr char szOID_KEY_USAGE[] = "2.5.29.15";
inline constexpr char szOID_SUBJECT_KEY_IDENTIFIER[] = "2.5.29.14";
inline constexpr char szOID_AUTHORITY_KEY_IDENTIFIER2[] = "2.5.29.35";
inline constexpr char szOID_BASIC_CONSTRAINTS2[] = "2.5.29.19";
inline constexpr char szOID_SUBJECT_ALT_NAME2[] = "2.5.29.17";

// Structure types (the pointer value is the number, as in CryptoAPI).
inline const LPCSTR X509_OCTET_STRING = reinterpret_cast<LPCSTR>(25);
inline const LPCSTR X509_BITS = reinterpret_cast<LPCSTR>(26);
inline const LPCSTR X509_KEY_USAGE = reinterpret_cast<LPCSTR>(14);
inline const LPCSTR X509_MULTI_BYTE_INTEGER = reinterpret_cast<LPCSTR>(28);

inline constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;
inline constexpr DWORD CRYPT_DECODE_ALLOC_FLAG = 0x8000;

// Key-usage bits of the first byte, as CryptoAPI names them.
inline constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
inline constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
inline constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
inline constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
inline constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
inline constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
inline constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;

// The extension with that dotted OID among rgExtensions, or null.
PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                  CERT_EXTENSION rgExtensions[]);

// Decodes one DER value into the structure named by lpszStructType:
//  X509_KEY_USAGE, szOID_KEY_USAGE, X509_BITS   -> CRYPT_BIT_BLOB
//  X509_OCTET_STRING, szOID_SUBJECT_KEY_IDENTIFIER -> CRYPT_DATA_BLOB
//  X509_MULTI_BYTE_INTEGER                       -> CRYPT_INTEGER_BLOB (least significant first)
// The structure and the bytes it points to are written into pvStructInfo
// (one self-contained buffer; with NOCOPY the bytes may point into
// pbEncoded). Null pvStructInfo asks for the size; a small buffer gives
// ERROR_MORE_DATA and the size. With CRYPT_DECODE_ALLOC_FLAG pvStructInfo is
// a void** that receives a buffer to free with LocalFree. Bad DER gives
// CRYPT_E_ASN1_BADTAG for a wrong tag, CRYPT_E_ASN1_EOD for a value cut
// short, CRYPT_E_ASN1_CORRUPT for trailing bytes, indefinite lengths or a
// bit string with more than 7 unused bits; an unknown type gives
// ERROR_FILE_NOT_FOUND as CryptoAPI reports it.
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                         DWORD cbEncoded, DWORD dwFlags, const void* pDecodePara,
                         void* pvStructInfo, DWORD* pcbStructInfo);
// The inverse for the same types (no ALLOC flag): size query with null
// pbEncoded, ERROR_MORE_DATA for a small buffer. Encoding also (types and
// structures in EncodedStructures.h; X509_ASN_ENCODING or PKCS_7_ASN_ENCODING):
//  PKCS_ATTRIBUTE     CRYPT_ATTRIBUTE -> SEQUENCE { OID, SET OF values },
//                     the values' DER as given, in order; none gives 31 00
//  PKCS_CONTENT_INFO  CRYPT_CONTENT_INFO -> SEQUENCE { OID, [0] content },
//                     [0] left out for an empty Content
//  PKCS7_SIGNER_INFO  CMSG_SIGNER_INFO -> SignerInfo: the serial's bytes
//                     reversed (00 put in front when the top bit is set),
//                     empty algorithm parameters as NULL, attribute sets in
//                     the order given and left out when empty
// Dotted OID text that is not two or more decimal arcs (first 0..2) gives
// CRYPT_E_OID_FORMAT; a missing OID or issuer or a count with a null
// array, ERROR_INVALID_PARAMETER.
BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded);
// Frees what CRYPT_DECODE_ALLOC_FLAG handed out; returns null.
void* LocalFree(void* hMem);

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using PSYSTEMTIME = SYSTEMTIME*;
using LPSYSTEMTIME = SYSTEMTIME*;

// No time-zone change. FALSE with ERROR_INVALID_PARAMETER for values past
// the year 30827 (high bit set).
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
