#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/Unique.h"
#include "TestCertificate.h"
#include "platform/cert/CertDecode.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"

namespace {

using Bytes = std::vector<BYTE>;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using UniqueContext = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

// Decodes with a size query first, as callers do.
Bytes DecodeInto(LPCSTR type, const Bytes& der, DWORD flags = 0) {
  DWORD size = 0;
  EXPECT_TRUE(CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()),
                                  flags, nullptr, nullptr, &size));
  Bytes out(size);
  EXPECT_TRUE(CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()),
                                  flags, nullptr, out.data(), &size));
  EXPECT_EQ(size, out.size());
  return out;
}

template <class T>
T StructOf(const Bytes& buffer) {
  T value{};
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

DWORD DecodeError(LPCSTR type, const Bytes& der) {
  DWORD size = 0;
  SetLastError(0);
  EXPECT_FALSE(CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()), 0,
                                   nullptr, nullptr, &size));
  return GetLastError();
}

TEST(CertFindExtension, FindsByDottedOidInACertificate) {
  testcert::Options options;
  options.key = testcert::KeyKind::EcP256;
  testcert::Built built = testcert::Make(options);
  ASSERT_FALSE(built.der.empty());
  UniqueContext ctx(CertCreateCertificateContext(X509_ASN_ENCODING, built.der.data(),
                                                 static_cast<DWORD>(built.der.size())));
  ASSERT_NE(ctx, nullptr);
  const CERT_INFO* info = ctx->pCertInfo;
  PCERT_EXTENSION ski =
      CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, info->cExtension, info->rgExtension);
  ASSERT_NE(ski, nullptr);
  EXPECT_STREQ(ski->pszObjId, szOID_SUBJECT_KEY_IDENTIFIER);
  EXPECT_NE(CertFindExtension(szOID_BASIC_CONSTRAINTS2, info->cExtension, info->rgExtension),
            nullptr);
  EXPECT_EQ(CertFindExtension(szOID_KEY_USAGE, info->cExtension, info->rgExtension), nullptr);
  EXPECT_EQ(CertFindExtension("2.5.29", info->cExtension, info->rgExtension), nullptr);
  EXPECT_EQ(CertFindExtension(szOID_KEY_USAGE, 0, nullptr), nullptr);

  const Bytes decoded = DecodeInto(szOID_SUBJECT_KEY_IDENTIFIER,
                                   Bytes(ski->Value.pbData, ski->Value.pbData + ski->Value.cbData));
  const CRYPT_DATA_BLOB id = StructOf<CRYPT_DATA_BLOB>(decoded);
  EXPECT_EQ(id.cbData, 20u) << "the hash method gives a SHA-1 identifier";
}

TEST(CryptDecodeObjectEx, KeyUsageBitStrings) {
  // digitalSignature only: 7 unused bits.
  Bytes buffer = DecodeInto(X509_KEY_USAGE, {0x03, 0x02, 0x07, 0x80});
  CRYPT_BIT_BLOB bits = StructOf<CRYPT_BIT_BLOB>(buffer);
  ASSERT_EQ(bits.cbData, 1u);
  EXPECT_EQ(bits.pbData[0], 0x80);
  EXPECT_EQ(bits.cUnusedBits, 7u);
  // digitalSignature + decipherOnly spans two bytes.
  buffer = DecodeInto(szOID_KEY_USAGE, {0x03, 0x03, 0x07, 0x80, 0x80});
  bits = StructOf<CRYPT_BIT_BLOB>(buffer);
  ASSERT_EQ(bits.cbData, 2u);
  EXPECT_EQ(bits.pbData[0], 0x80);
  EXPECT_EQ(bits.pbData[1], 0x80);
  EXPECT_GE(bits.pbData, buffer.data()) << "bytes live in the caller's buffer";
  EXPECT_LT(bits.pbData, buffer.data() + buffer.size());
  // No bits at all.
  bits = StructOf<CRYPT_BIT_BLOB>(DecodeInto(X509_BITS, {0x03, 0x01, 0x00}));
  EXPECT_EQ(bits.cbData, 0u);
}

TEST(CryptDecodeObjectEx, NoCopyPointsIntoTheInputAndIntegersAreReversed) {
  const Bytes octets = {0x04, 0x03, 0xAA, 0xBB, 0xCC};
  const Bytes buffer = DecodeInto(X509_OCTET_STRING, octets, CRYPT_DECODE_NOCOPY_FLAG);
  EXPECT_EQ(buffer.size(), sizeof(CRYPT_DATA_BLOB));
  const CRYPT_DATA_BLOB blob = StructOf<CRYPT_DATA_BLOB>(buffer);
  EXPECT_EQ(blob.pbData, octets.data() + 2);
  EXPECT_EQ(blob.cbData, 3u);

  // The sign byte stays, at the end (least significant byte first).
  const Bytes integer =
      DecodeInto(X509_MULTI_BYTE_INTEGER, {0x02, 0x03, 0x00, 0x80, 0x01}, CRYPT_DECODE_NOCOPY_FLAG);
  const CRYPT_INTEGER_BLOB value = StructOf<CRYPT_INTEGER_BLOB>(integer);
  EXPECT_EQ(Bytes(value.pbData, value.pbData + value.cbData), (Bytes{0x01, 0x80, 0x00}));
}

TEST(CryptDecodeObjectEx, SmallBufferAndAllocFlag) {
  const Bytes der = {0x04, 0x02, 0x01, 0x02};
  DWORD size = 0;
  ASSERT_TRUE(
      CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, der.data(), 4, 0, nullptr, nullptr, &size));
  Bytes small(size - 1);
  DWORD smallSize = static_cast<DWORD>(small.size());
  EXPECT_FALSE(CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, der.data(), 4, 0, nullptr,
                                   small.data(), &smallSize));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, size);

  void* allocated = nullptr;
  DWORD allocatedSize = 0;
  ASSERT_TRUE(CryptDecodeObjectEx(kEncoding, X509_OCTET_STRING, der.data(), 4,
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &allocated, &allocatedSize));
  EXPECT_EQ(allocatedSize, size);
  const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(allocated);
  EXPECT_EQ(Bytes(blob->pbData, blob->pbData + blob->cbData), (Bytes{0x01, 0x02}));
  EXPECT_EQ(LocalFree(allocated), nullptr);
}

TEST(CryptDecodeObjectEx, MalformedInputAndUnknownTypes) {
  EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x04, 0x02, 0x07, 0x80}),
            static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x05, 0x07, 0x80}),
            static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03}), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
  EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x02, 0x07, 0x80, 0x00}),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))
      << "trailing bytes";
  EXPECT_EQ(DecodeError(X509_KEY_USAGE, {0x03, 0x02, 0x08, 0x80}),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))
      << "more than 7 unused bits";
  EXPECT_EQ(DecodeError(X509_OCTET_STRING, {0x04, 0x80, 0x01, 0x00, 0x00}),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT))
      << "indefinite length";
  EXPECT_EQ(DecodeError(X509_OCTET_STRING, {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}),
            static_cast<DWORD>(CRYPT_E_ASN1_EOD))
      << "a length past the input";
  EXPECT_EQ(DecodeError("1.2.3", {0x04, 0x00}), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DecodeError(reinterpret_cast<LPCSTR>(999), {0x04, 0x00}), ERROR_FILE_NOT_FOUND);
}

// DER has one length form for each length; the longer ones are corrupt,
// while five length octets stay too large as before.
TEST(CryptDecodeObjectEx, LongerLengthFormsAreCorrupt) {
  EXPECT_EQ(DecodeError(X509_OCTET_STRING, {0x04, 0x81, 0x01, 0xAA}),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  EXPECT_EQ(DecodeError(X509_OCTET_STRING, {0x04, 0x82, 0x00, 0x01, 0xAA}),
            static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  EXPECT_EQ(DecodeError(X509_OCTET_STRING, {0x04, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}),
            static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
}

Bytes Encode(LPCSTR type, const void* info) {
  DWORD size = 0;
  EXPECT_TRUE(CryptEncodeObject(kEncoding, type, info, nullptr, &size));
  Bytes out(size);
  EXPECT_TRUE(CryptEncodeObject(kEncoding, type, info, out.data(), &size));
  return out;
}

TEST(CryptEncodeObject, KeyUsageDropsTrailingZeroBitsAndRoundTrips) {
  BYTE usage[2] = {0xA0, 0x00};
  CRYPT_BIT_BLOB bits{2, usage, 0};
  const Bytes der = Encode(X509_KEY_USAGE, &bits);
  EXPECT_EQ(der, (Bytes{0x03, 0x02, 0x05, 0xA0}));
  const Bytes decoded = DecodeInto(X509_KEY_USAGE, der);
  const CRYPT_BIT_BLOB back = StructOf<CRYPT_BIT_BLOB>(decoded);
  EXPECT_EQ(back.cbData, 1u);
  EXPECT_EQ(back.pbData[0], 0xA0);

  BYTE serial[3] = {0x01, 0x80, 0x00};  // least significant first
  CRYPT_INTEGER_BLOB integer{3, serial};
  EXPECT_EQ(Encode(X509_MULTI_BYTE_INTEGER, &integer), (Bytes{0x02, 0x03, 0x00, 0x80, 0x01}));

  Bytes longValue(200, 0x5A);
  CRYPT_DATA_BLOB octets{200, longValue.data()};
  const Bytes der2 = Encode(X509_OCTET_STRING, &octets);
  EXPECT_EQ(Bytes(der2.begin(), der2.begin() + 3), (Bytes{0x04, 0x81, 200}));
  EXPECT_EQ(der2.size(), 203u);

  DWORD size = 2;
  BYTE tiny[2];
  EXPECT_FALSE(CryptEncodeObject(kEncoding, X509_OCTET_STRING, &octets, tiny, &size));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 203u);
}

SYSTEMTIME ToSystem(ULONGLONG ticks) {
  FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME st{};
  EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
  return st;
}

void ExpectTime(const SYSTEMTIME& st, WORD y, WORD mo, WORD dow, WORD d, WORD h, WORD mi, WORD s,
                WORD ms) {
  EXPECT_EQ(st.wYear, y);
  EXPECT_EQ(st.wMonth, mo);
  EXPECT_EQ(st.wDayOfWeek, dow);
  EXPECT_EQ(st.wDay, d);
  EXPECT_EQ(st.wHour, h);
  EXPECT_EQ(st.wMinute, mi);
  EXPECT_EQ(st.wSecond, s);
  EXPECT_EQ(st.wMilliseconds, ms);
}

constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr ULONGLONG kUnixEpochTicks = 11644473600ULL * kTicksPerSecond;

TEST(FileTimeToSystemTime, CalendarFieldsAndDayOfWeek) {
  ExpectTime(ToSystem(0), 1601, 1, 1, 1, 0, 0, 0, 0);                // a Monday
  ExpectTime(ToSystem(kUnixEpochTicks), 1970, 1, 4, 1, 0, 0, 0, 0);  // a Thursday
  // 2024-02-29 12:34:56.789 UTC, a Thursday in a leap year.
  const ULONGLONG leap = kUnixEpochTicks + 1709210096ULL * kTicksPerSecond + 7890000ULL + 1234;
  ExpectTime(ToSystem(leap), 2024, 2, 4, 29, 12, 34, 56, 789);
  // 2000-03-01: the day after a leap day of a year divisible by 400 (Wednesday).
  ExpectTime(ToSystem(kUnixEpochTicks + 951868800ULL * kTicksPerSecond), 2000, 3, 3, 1, 0, 0, 0, 0);
  // 2100-03-01: 2100 is not a leap year (Monday).
  ExpectTime(ToSystem(kUnixEpochTicks + 4107542400ULL * kTicksPerSecond), 2100, 3, 1, 1, 0, 0, 0,
             0);

  FILETIME tooLate{0, 0x80000000u};
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileTimeToSystemTime, CertificateNotAfterReadsBack) {
  testcert::Options options;
  options.key = testcert::KeyKind::EcP256;
  options.notAfter = "20491231235959Z";
  testcert::Built built = testcert::Make(options);
  UniqueContext ctx(CertCreateCertificateContext(X509_ASN_ENCODING, built.der.data(),
                                                 static_cast<DWORD>(built.der.size())));
  ASSERT_NE(ctx, nullptr);
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&ctx->pCertInfo->NotAfter, &st));
  ExpectTime(st, 2049, 12, 5, 31, 23, 59, 59, 0);  // a Friday
}

TEST(SystemTimeToFileTime, RoundTripsAndRefusesImpossibleDates) {
  const ULONGLONG leap = kUnixEpochTicks + 1709210096ULL * kTicksPerSecond + 7890000ULL;
  SYSTEMTIME st = ToSystem(leap);
  st.wDayOfWeek = 6;  // ignored
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime, leap);

  SYSTEMTIME bad = st;
  bad.wYear = 2023;  // no 29 February
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  bad = st;
  bad.wYear = 1600;
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  bad = st;
  bad.wMonth = 13;
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  bad = st;
  bad.wMilliseconds = 1000;
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
}

}  // namespace
