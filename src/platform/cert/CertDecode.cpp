#include "platform/cert/CertDecode.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "der/Builder.h"
#include "der/Oid.h"
#include "der/Reader.h"
#include "platform/base/CryptErrors.h"
#include "platform/cert/EncodedStructures.h"
#include "platform/base/DerResult.h"
#include "platform/base/LastError.h"

namespace {

enum class StructKind {
  Unknown,
  BitString,
  KeyUsage,
  OctetString,
  MultiByteInteger,
  // Encoded only.
  Attribute,
  ContentInfo,
  SignerInfo,
};

bool EncodeOnly(StructKind kind) {
  return kind == StructKind::Attribute || kind == StructKind::ContentInfo ||
         kind == StructKind::SignerInfo;
}

constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagBitString = 0x03;
constexpr BYTE kTagOctetString = 0x04;

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}
BOOL Fail(HRESULT hr) { return Fail(static_cast<DWORD>(hr)); }

// Small values are CryptoAPI's numbered structure types; others are OIDs.
StructKind KindOf(LPCSTR lpszStructType) {
  const auto value = reinterpret_cast<std::uintptr_t>(lpszStructType);
  if (value == 0) return StructKind::Unknown;
  if (value <= 0xFFFF) {
    if (lpszStructType == X509_KEY_USAGE) return StructKind::KeyUsage;
    if (lpszStructType == X509_BITS) return StructKind::BitString;
    if (lpszStructType == X509_OCTET_STRING) return StructKind::OctetString;
    if (lpszStructType == X509_MULTI_BYTE_INTEGER) return StructKind::MultiByteInteger;
    if (lpszStructType == PKCS_ATTRIBUTE) return StructKind::Attribute;
    if (lpszStructType == PKCS_CONTENT_INFO) return StructKind::ContentInfo;
    if (lpszStructType == PKCS7_SIGNER_INFO) return StructKind::SignerInfo;
    return StructKind::Unknown;
  }
  if (std::strcmp(lpszStructType, szOID_KEY_USAGE) == 0) return StructKind::KeyUsage;
  if (std::strcmp(lpszStructType, szOID_SUBJECT_KEY_IDENTIFIER) == 0)
    return StructKind::OctetString;
  return StructKind::Unknown;
}

BYTE TagOf(StructKind kind) {
  switch (kind) {
    case StructKind::BitString:
    case StructKind::KeyUsage:
      return kTagBitString;
    case StructKind::OctetString:
      return kTagOctetString;
    default:
      return kTagInteger;
  }
}

// The values decoded here are DER inside certificates and messages we
// check: definite, shortest lengths, no more than 4 GiB.
der::Options DerOptions() {
  der::Options options;
  options.maxLengthOctets = 4;
  return options;
}

// One primitive DER element that must fill the input exactly. Returns 0 or
// the CryptoAPI code for what is wrong with it.
HRESULT ReadElement(const BYTE* pb, DWORD cb, BYTE tag, const BYTE** ppContents,
                    DWORD* pcbContents) {
  if (pb == nullptr || cb < 2) return CRYPT_E_ASN1_EOD;
  der::Element element;
  const HRESULT hr = platform::DerResult(der::ReadSingle({pb, cb}, DerOptions(), der::Tag(tag), &element));
  if (FAILED(hr)) return hr;
  *ppContents = element.contents.data();
  *pcbContents = static_cast<DWORD>(element.contents.size());
  return S_OK;
}

// The decoded value as CryptoAPI lays it out: the structure first, the bytes
// it points to right after it (or into the input with NOCOPY).
struct Decoded {
  StructKind kind = StructKind::Unknown;
  const BYTE* pbValue = nullptr;
  DWORD cbValue = 0;
  DWORD cUnusedBits = 0;
  bool bCopyBytes = true;

  std::size_t StructSize() const {
    return kind == StructKind::BitString || kind == StructKind::KeyUsage ? sizeof(CRYPT_BIT_BLOB)
                                                                         : sizeof(CRYPT_DATA_BLOB);
  }
  std::size_t TotalSize() const { return StructSize() + (bCopyBytes ? cbValue : 0); }

  void WriteTo(BYTE* out) const {
    BYTE* pbBytes = const_cast<BYTE*>(pbValue);
    if (bCopyBytes && cbValue != 0) {
      pbBytes = out + StructSize();
      std::memcpy(pbBytes, pbValue, cbValue);
      // CryptoAPI keeps multi-byte integers least significant byte first.
      if (kind == StructKind::MultiByteInteger) std::reverse(pbBytes, pbBytes + cbValue);
    }
    if (cbValue == 0) pbBytes = nullptr;
    if (StructSize() == sizeof(CRYPT_BIT_BLOB)) {
      CRYPT_BIT_BLOB blob{cbValue, pbBytes, cUnusedBits};
      std::memcpy(out, &blob, sizeof blob);
    } else {
      CRYPT_DATA_BLOB blob{cbValue, pbBytes};
      std::memcpy(out, &blob, sizeof blob);
    }
  }
};

HRESULT Decode(StructKind kind, const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
               Decoded& out) {
  const BYTE* pbContents = nullptr;
  DWORD cbContents = 0;
  const HRESULT hr = ReadElement(pbEncoded, cbEncoded, TagOf(kind), &pbContents, &cbContents);
  if (FAILED(hr)) return hr;
  out.kind = kind;
  out.bCopyBytes =
      (dwFlags & CRYPT_DECODE_NOCOPY_FLAG) == 0 || kind == StructKind::MultiByteInteger;
  if (kind == StructKind::BitString || kind == StructKind::KeyUsage) {
    if (cbContents == 0) return CRYPT_E_ASN1_CORRUPT;
    out.cUnusedBits = pbContents[0];
    if (out.cUnusedBits > 7 || (cbContents == 1 && out.cUnusedBits != 0))
      return CRYPT_E_ASN1_CORRUPT;
    out.pbValue = pbContents + 1;
    out.cbValue = cbContents - 1;
    return S_OK;
  }
  if (kind == StructKind::MultiByteInteger && cbContents == 0) return CRYPT_E_ASN1_CORRUPT;
  out.pbValue = pbContents;
  out.cbValue = cbContents;
  return S_OK;
}

bool Encode(StructKind kind, const void* pvStructInfo, std::vector<BYTE>& der) {
  der.push_back(TagOf(kind));
  std::vector<BYTE> contents;
  if (kind == StructKind::BitString || kind == StructKind::KeyUsage) {
    CRYPT_BIT_BLOB blob;
    std::memcpy(&blob, pvStructInfo, sizeof blob);
    if (blob.cbData != 0 && blob.pbData == nullptr) return false;
    std::vector<BYTE> bits(blob.pbData, blob.pbData + blob.cbData);
    DWORD cUnused = blob.cUnusedBits & 7;
    if (kind == StructKind::KeyUsage) {
      // A named bit list drops its trailing zero bits (DER).
      while (!bits.empty() && bits.back() == 0) bits.pop_back();
      cUnused = 0;
      if (!bits.empty())
        while (((bits.back() >> cUnused) & 1) == 0) ++cUnused;
    } else if (bits.empty()) {
      cUnused = 0;
    } else {
      bits.back() &= static_cast<BYTE>(0xFF << cUnused);
    }
    contents.push_back(static_cast<BYTE>(cUnused));
    contents.insert(contents.end(), bits.begin(), bits.end());
  } else {
    CRYPT_DATA_BLOB blob;
    std::memcpy(&blob, pvStructInfo, sizeof blob);
    if (blob.cbData != 0 && blob.pbData == nullptr) return false;
    contents.assign(blob.pbData, blob.pbData + blob.cbData);
    if (kind == StructKind::MultiByteInteger) {
      std::reverse(contents.begin(), contents.end());
      if (contents.empty()) contents.push_back(0);
    }
  }
  der::AppendLength(contents.size(), &der);
  der.insert(der.end(), contents.begin(), contents.end());
  return true;
}

// ---- Structures: attributes, content infos, signer infos ----

constexpr BYTE kTagNull = 0x05;
constexpr BYTE kTagOid = 0x06;
constexpr BYTE kTagSequence = 0x30;
constexpr BYTE kTagSet = 0x31;
constexpr BYTE kTagContext0 = 0xA0;
constexpr BYTE kTagContext1 = 0xA1;

// Reported as ERROR_INVALID_PARAMETER, as for the other types.
constexpr HRESULT kBadParameter = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

void AppendTlv(std::vector<BYTE>& der, BYTE tag, const std::vector<BYTE>& contents) {
  der::AppendHeader(der::Tag(tag), contents.size(), &der);
  der.insert(der.end(), contents.begin(), contents.end());
}

bool BlobUsable(const CRYPT_INTEGER_BLOB& blob) {
  return blob.cbData == 0 || blob.pbData != nullptr;
}

void AppendBlob(std::vector<BYTE>& der, const CRYPT_INTEGER_BLOB& blob) {
  if (blob.cbData != 0) der.insert(der.end(), blob.pbData, blob.pbData + blob.cbData);
}

// Dotted text to an OBJECT IDENTIFIER: at least two arcs of decimal digits,
// the first 0, 1 or 2 (the second below 40 unless the first is 2), each arc
// within 64 bits.
HRESULT AppendOid(std::vector<BYTE>& der, LPCSTR text) {
  if (text == nullptr) return kBadParameter;
  std::vector<BYTE> contents;
  if (!der::OidFromText(text, &contents)) return CRYPT_E_OID_FORMAT;
  AppendTlv(der, kTagOid, contents);
  return S_OK;
}

// Big-endian magnitude bytes as a non-negative INTEGER.
void AppendUnsignedInteger(std::vector<BYTE>& der, const std::vector<BYTE>& bigEndian) {
  std::vector<BYTE> contents;
  der::UnsignedIntegerContents(bigEndian, der::IntegerForm::kMinimal, 0, &contents);
  AppendTlv(der, kTagInteger, contents);
}

void AppendDword(std::vector<BYTE>& der, DWORD value) {
  const std::vector<BYTE> bigEndian = {static_cast<BYTE>(value >> 24), static_cast<BYTE>(value >> 16),
                                       static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
  AppendUnsignedInteger(der, bigEndian);
}

// SEQUENCE { OID, SET OF values }: each value is complete DER, written in
// the order given; no values gives an empty SET (31 00).
HRESULT AppendAttribute(std::vector<BYTE>& der, const CRYPT_ATTRIBUTE& attribute) {
  if (attribute.cValue != 0 && attribute.rgValue == nullptr) return kBadParameter;
  std::vector<BYTE> body;
  const HRESULT hr = AppendOid(body, attribute.pszObjId);
  if (FAILED(hr)) return hr;
  std::vector<BYTE> values;
  for (DWORD i = 0; i < attribute.cValue; ++i) {
    if (!BlobUsable(attribute.rgValue[i])) return kBadParameter;
    AppendBlob(values, attribute.rgValue[i]);
  }
  AppendTlv(body, kTagSet, values);
  AppendTlv(der, kTagSequence, body);
  return S_OK;
}

// [n] IMPLICIT SET OF Attribute, in the order given (the signature over
// authenticated attributes is made over them as listed), left out when empty.
HRESULT AppendAttributes(std::vector<BYTE>& der, BYTE tag, const CRYPT_ATTRIBUTES& attributes) {
  if (attributes.cAttr == 0) return S_OK;
  if (attributes.rgAttr == nullptr) return kBadParameter;
  std::vector<BYTE> set;
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const HRESULT hr = AppendAttribute(set, attributes.rgAttr[i]);
    if (FAILED(hr)) return hr;
  }
  AppendTlv(der, tag, set);
  return S_OK;
}

// SEQUENCE { OID, parameters }: absent parameters are written as NULL.
HRESULT AppendAlgorithm(std::vector<BYTE>& der, const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
  if (!BlobUsable(algorithm.Parameters)) return kBadParameter;
  std::vector<BYTE> body;
  const HRESULT hr = AppendOid(body, algorithm.pszObjId);
  if (FAILED(hr)) return hr;
  if (algorithm.Parameters.cbData == 0) {
    body.push_back(kTagNull);
    body.push_back(0);
  } else {
    AppendBlob(body, algorithm.Parameters);
  }
  AppendTlv(der, kTagSequence, body);
  return S_OK;
}

HRESULT AppendContentInfo(std::vector<BYTE>& der, const CRYPT_CONTENT_INFO& info) {
  if (!BlobUsable(info.Content)) return kBadParameter;
  std::vector<BYTE> body;
  const HRESULT hr = AppendOid(body, info.pszObjId);
  if (FAILED(hr)) return hr;
  if (info.Content.cbData != 0) {
    std::vector<BYTE> content;
    AppendBlob(content, info.Content);
    AppendTlv(body, kTagContext0, content);
  }
  AppendTlv(der, kTagSequence, body);
  return S_OK;
}

// SignerInfo ::= SEQUENCE { version, IssuerAndSerialNumber, digestAlgorithm,
// [0] authenticatedAttributes OPTIONAL, digestEncryptionAlgorithm,
// encryptedDigest, [1] unauthenticatedAttributes OPTIONAL }. The serial
// arrives least significant byte first and is written as those bytes
// reversed, with a 00 in front only when the top bit would make it negative.
HRESULT AppendSignerInfo(std::vector<BYTE>& der, const CMSG_SIGNER_INFO& info) {
  if (info.Issuer.cbData == 0 || !BlobUsable(info.Issuer) || !BlobUsable(info.SerialNumber) ||
      !BlobUsable(info.EncryptedHash))
    return kBadParameter;
  std::vector<BYTE> body;
  AppendDword(body, info.dwVersion);

  std::vector<BYTE> issuerAndSerial;
  AppendBlob(issuerAndSerial, info.Issuer);
  std::vector<BYTE> serial;
  AppendBlob(serial, info.SerialNumber);
  std::reverse(serial.begin(), serial.end());
  AppendUnsignedInteger(issuerAndSerial, serial);
  AppendTlv(body, kTagSequence, issuerAndSerial);

  HRESULT hr = AppendAlgorithm(body, info.HashAlgorithm);
  if (SUCCEEDED(hr)) hr = AppendAttributes(body, kTagContext0, info.AuthAttrs);
  if (SUCCEEDED(hr)) hr = AppendAlgorithm(body, info.HashEncryptionAlgorithm);
  if (FAILED(hr)) return hr;
  std::vector<BYTE> signature;
  AppendBlob(signature, info.EncryptedHash);
  AppendTlv(body, kTagOctetString, signature);
  hr = AppendAttributes(body, kTagContext1, info.UnauthAttrs);
  if (FAILED(hr)) return hr;
  AppendTlv(der, kTagSequence, body);
  return S_OK;
}

HRESULT EncodeStructure(StructKind kind, const void* pvStructInfo, std::vector<BYTE>& der) {
  switch (kind) {
    case StructKind::Attribute:
      return AppendAttribute(der, *static_cast<const CRYPT_ATTRIBUTE*>(pvStructInfo));
    case StructKind::ContentInfo:
      return AppendContentInfo(der, *static_cast<const CRYPT_CONTENT_INFO*>(pvStructInfo));
    case StructKind::SignerInfo:
      return AppendSignerInfo(der, *static_cast<const CMSG_SIGNER_INFO*>(pvStructInfo));
    default:
      return Encode(kind, pvStructInfo, der) ? S_OK : kBadParameter;
  }
}

constexpr std::uint64_t kTicksPerMillisecond = 10000;
constexpr std::uint64_t kMillisecondsPerDay = 86400000;
// 1601-01-01 counted from 1970-01-01.
constexpr std::int64_t kDaysFrom1970To1601 = -134774;

// Days since 1970-01-01 to the civil date and back (proleptic Gregorian).
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

}  // namespace

PCERT_EXTENSION CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                  CERT_EXTENSION rgExtensions[]) {
  if (pszObjId == nullptr || (rgExtensions == nullptr && cExtensions != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (DWORD i = 0; i < cExtensions; ++i)
    if (rgExtensions[i].pszObjId != nullptr && std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
      return &rgExtensions[i];
  SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return nullptr;
}

BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                         DWORD cbEncoded, DWORD dwFlags, const void* /*pDecodePara*/,
                         void* pvStructInfo, DWORD* pcbStructInfo) {
  if (pcbStructInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const StructKind kind = KindOf(lpszStructType);
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || kind == StructKind::Unknown ||
      EncodeOnly(kind))
    return Fail(ERROR_FILE_NOT_FOUND);

  Decoded decoded;
  const HRESULT hr = Decode(kind, pbEncoded, cbEncoded, dwFlags, decoded);
  if (FAILED(hr)) return Fail(hr);
  const std::size_t cbNeeded = decoded.TotalSize();

  if (dwFlags & CRYPT_DECODE_ALLOC_FLAG) {
    if (pvStructInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // Handed across the API boundary and released by LocalFree.
    auto* pbBuffer = static_cast<BYTE*>(std::calloc(1, cbNeeded));
    if (pbBuffer == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    decoded.WriteTo(pbBuffer);
    *static_cast<void**>(pvStructInfo) = pbBuffer;
    *pcbStructInfo = static_cast<DWORD>(cbNeeded);
    return TRUE;
  }
  if (pvStructInfo == nullptr) {
    *pcbStructInfo = static_cast<DWORD>(cbNeeded);
    return TRUE;
  }
  if (*pcbStructInfo < cbNeeded) {
    *pcbStructInfo = static_cast<DWORD>(cbNeeded);
    return Fail(ERROR_MORE_DATA);
  }
  decoded.WriteTo(static_cast<BYTE*>(pvStructInfo));
  *pcbStructInfo = static_cast<DWORD>(cbNeeded);
  return TRUE;
}

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
  if (pcbEncoded == nullptr || pvStructInfo == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const StructKind kind = KindOf(lpszStructType);
  // The PKCS structures are also asked for with the PKCS #7 encoding alone.
  const DWORD accepted =
      EncodeOnly(kind) ? X509_ASN_ENCODING | PKCS_7_ASN_ENCODING : X509_ASN_ENCODING;
  if ((dwCertEncodingType & accepted) == 0 || kind == StructKind::Unknown)
    return Fail(ERROR_FILE_NOT_FOUND);
  std::vector<BYTE> der;
  const HRESULT hr = EncodeStructure(kind, pvStructInfo, der);
  if (hr == kBadParameter) return Fail(ERROR_INVALID_PARAMETER);
  if (FAILED(hr)) return Fail(hr);
  const DWORD cbNeeded = static_cast<DWORD>(der.size());
  if (pbEncoded == nullptr) {
    *pcbEncoded = cbNeeded;
    return TRUE;
  }
  if (*pcbEncoded < cbNeeded) {
    *pcbEncoded = cbNeeded;
    return Fail(ERROR_MORE_DATA);
  }
  std::memcpy(pbEncoded, der.data(), der.size());
  *pcbEncoded = cbNeeded;
  return TRUE;
}

void* LocalFree(void* hMem) {
  std::free(hMem);
  return nullptr;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  if (lpFileTime == nullptr || lpSystemTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (lpFileTime->dwHighDateTime & 0x80000000u) return Fail(ERROR_INVALID_PARAMETER);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
  const std::uint64_t milliseconds = ticks / kTicksPerMillisecond;
  const std::uint64_t days = milliseconds / kMillisecondsPerDay;
  std::uint64_t rest = milliseconds % kMillisecondsPerDay;

  std::int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(static_cast<std::int64_t>(days) + kDaysFrom1970To1601, year, month, day);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(rest / 3600000);
  rest %= 3600000;
  st.wMinute = static_cast<WORD>(rest / 60000);
  rest %= 60000;
  st.wSecond = static_cast<WORD>(rest / 1000);
  st.wMilliseconds = static_cast<WORD>(rest % 1000);
  *lpSystemTime = st;
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
  if (lpSystemTime == nullptr || lpFileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const SYSTEMTIME& st = *lpSystemTime;
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999)
    return Fail(ERROR_INVALID_PARAMETER);
  const std::int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDaysFrom1970To1601;
  const std::uint64_t milliseconds = static_cast<std::uint64_t>(days) * kMillisecondsPerDay +
                                     st.wHour * 3600000ull + st.wMinute * 60000ull +
                                     st.wSecond * 1000ull + st.wMilliseconds;
  const std::uint64_t ticks = milliseconds * kTicksPerMillisecond;
  lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}
