#include <gtest/gtest.h>

#include <string>

#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"
#include "platform/base/Resources.h"
#include "platform/base/SystemMessages.h"
#include "platform/base/WideString.h"

namespace {

constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

std::u16string Message(DWORD id) {
  char16_t buffer[512];
  const DWORD n = FormatMessageW(kFlags, nullptr, id, 0, buffer, 511, nullptr);
  return std::u16string(buffer, n);
}

DWORD Id(HRESULT hr) { return static_cast<DWORD>(hr); }

}  // namespace

TEST(SystemMessages, SuccessText) {
  EXPECT_EQ(Message(0), u"The operation completed successfully.\n");
}

TEST(SystemMessages, EveryKnownCodeHasOneLineEndingInLineBreak) {
  const DWORD ids[] = {
      ERROR_SUCCESS,
      ERROR_INVALID_FUNCTION,
      ERROR_FILE_NOT_FOUND,
      ERROR_PATH_NOT_FOUND,
      ERROR_TOO_MANY_OPEN_FILES,
      ERROR_ACCESS_DENIED,
      ERROR_INVALID_HANDLE,
      ERROR_NOT_ENOUGH_MEMORY,
      ERROR_INVALID_DATA,
      ERROR_OUTOFMEMORY,
      ERROR_WRITE_FAULT,
      ERROR_READ_FAULT,
      ERROR_SHARING_VIOLATION,
      ERROR_HANDLE_EOF,
      ERROR_NOT_SUPPORTED,
      ERROR_FILE_EXISTS,
      ERROR_INVALID_PARAMETER,
      ERROR_OPEN_FAILED,
      ERROR_DISK_FULL,
      ERROR_INSUFFICIENT_BUFFER,
      ERROR_INVALID_NAME,
      ERROR_DIR_NOT_EMPTY,
      ERROR_ALREADY_EXISTS,
      ERROR_FILENAME_EXCED_RANGE,
      ERROR_MORE_DATA,
      ERROR_NO_MORE_ITEMS,
      ERROR_MR_MID_NOT_FOUND,
      ERROR_BAD_PATHNAME,
      ERROR_NOT_FOUND,
      ERROR_CANCELLED,
      ERROR_ENCRYPTION_FAILED,
      ERROR_WMI_INSTANCE_NOT_FOUND,
      ERROR_RESOURCE_NAME_NOT_FOUND,
      ERROR_RESOURCE_TYPE_NOT_FOUND,
      ERROR_INVALID_FLAGS,
      ERROR_NO_UNICODE_TRANSLATION,
      Id(E_NOTIMPL),
      Id(E_POINTER),
      Id(E_FAIL),
      Id(E_UNEXPECTED),
      Id(E_OUTOFMEMORY),
      Id(E_INVALIDARG),
      Id(NTE_BAD_SIGNATURE),
      Id(NTE_BAD_ALGID),
      Id(NTE_BAD_KEYSET),
      Id(NTE_BAD_DATA),
      Id(NTE_NO_KEY),
      Id(NTE_BAD_KEY),
      Id(NTE_BAD_LEN),
      Id(NTE_BAD_HASH),
      Id(NTE_PROV_TYPE_NOT_DEF),
      Id(NTE_KEYSET_NOT_DEF),
      Id(NTE_EXISTS),
      Id(NTE_NOT_FOUND),
      Id(NTE_BAD_FLAGS),
      Id(NTE_BAD_UID),
      Id(CRYPT_E_NOT_FOUND),
      Id(CRYPT_E_EXISTS),
      Id(CRYPT_E_ASN1_BADTAG),
      Id(CRYPT_E_ASN1_EOD),
      Id(CRYPT_E_ASN1_CORRUPT),
      Id(CRYPT_E_UNEXPECTED_MSG_TYPE),
      Id(CRYPT_E_NO_KEY_PROPERTY),
      Id(CRYPT_E_RECIPIENT_NOT_FOUND),
      Id(CRYPT_E_STREAM_MSG_NOT_READY),
      Id(CRYPT_E_BAD_ENCODE),
      Id(CRYPT_E_NO_SIGNER),
      Id(CRYPT_E_SIGNER_NOT_FOUND),
      Id(CRYPT_E_HASH_VALUE),
      Id(CRYPT_E_NO_MATCH),
      Id(CRYPT_E_INVALID_MSG_TYPE),
      Id(CRYPT_E_UNKNOWN_ALGO),
      Id(CRYPT_E_NO_DECRYPT_CERT),
  };
  for (DWORD id : ids) {
    const std::u16string text = Message(id);
    ASSERT_GE(text.size(), 2u) << std::hex << id;
    EXPECT_EQ(text.back(), u'\n') << std::hex << id;
    EXPECT_EQ(text.find(u'\n'), text.size() - 1) << std::hex << id;
    EXPECT_EQ(text.find(u'\r'), std::u16string::npos) << std::hex << id;
  }
}

TEST(SystemMessages, Win32FacilityHresultSharesWin32Text) {
  EXPECT_EQ(Message(Id(E_INVALIDARG)), Message(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Message(Id(E_OUTOFMEMORY)), Message(ERROR_OUTOFMEMORY));
  EXPECT_EQ(Message(Id(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS))), Message(ERROR_ALREADY_EXISTS));
  EXPECT_NE(Message(ERROR_FILE_EXISTS), Message(ERROR_ALREADY_EXISTS));
}

TEST(SystemMessages, UnknownIdsFail) {
  for (DWORD id : {0xA0071006u, 0xA0071402u, 0x80070FFFu, 99999u}) {
    char16_t buffer[16] = u"junk";
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(kFlags, nullptr, id, 0, buffer, 16, nullptr), 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND) << std::hex << id;
  }
}

TEST(SystemMessages, BufferAndFlagChecks) {
  const std::u16string full = Message(0);
  char16_t buffer[64];
  // Exactly enough room: text, line break, terminator.
  EXPECT_EQ(
      FormatMessageW(kFlags, nullptr, 0, 0, buffer, static_cast<DWORD>(full.size() + 1), nullptr),
      full.size());
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 0, 0, buffer, static_cast<DWORD>(full.size()), nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer[0], 0);

  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0, 0, buffer, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FormatMessageW(kFlags | 0x100 /* allocate */, nullptr, 0, 0, buffer, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 0, 0, nullptr, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The language is accepted and ignored.
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 0, 0x0804, buffer, 64, nullptr), full.size());
}
