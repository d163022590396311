#include "platform/base/SystemMessages.h"

#include <string_view>

#include "platform/base/CryptErrors.h"
#include "platform/base/LastError.h"
#include "platform/base/Resources.h"
#include "platform/base/WideString.h"

namespace {

struct Message {
  DWORD id;
  LPCWSTR text;
};

constexpr DWORD Code(HRESULT hr) { return static_cast<DWORD>(hr); }

// Win32 errors by number, then HRESULTs outside the Win32 facility.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, u"The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, u"The function is not valid for this object."},
    {ERROR_FILE_NOT_FOUND, u"The file could not be found."},
    {ERROR_PATH_NOT_FOUND, u"The path could not be found."},
    {ERROR_TOO_MANY_OPEN_FILES, u"Too many files are open."},
    {ERROR_ACCESS_DENIED, u"Access was denied."},
    {ERROR_INVALID_HANDLE, u"The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, u"There is not enough memory to carry out the operation."},
    {ERROR_INVALID_DATA, u"The data is not valid."},
    {ERROR_OUTOFMEMORY, u"Out of memory: the operation could not be completed."},
    {ERROR_WRITE_FAULT, u"The device could not be written to."},
    {ERROR_READ_FAULT, u"The device could not be read from."},
    {ERROR_SHARING_VIOLATION, u"The file is in use by another process."},
    {ERROR_HANDLE_EOF, u"The end of the file was reached."},
    {ERROR_NOT_SUPPORTED, u"The request is not supported."},
    {ERROR_FILE_EXISTS, u"The file already exists."},
    {ERROR_INVALID_PARAMETER, u"A parameter is not valid."},
    {ERROR_OPEN_FAILED, u"The file or device could not be opened."},
    {ERROR_DISK_FULL, u"There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, u"The buffer given to the call is too small."},
    {ERROR_INVALID_NAME, u"The file name, folder name or volume label is not valid."},
    {ERROR_DIR_NOT_EMPTY, u"The folder is not empty."},
    {ERROR_BAD_PATHNAME, u"The path is not valid."},
    {ERROR_ALREADY_EXISTS, u"The file cannot be created because it already exists."},
    {ERROR_FILENAME_EXCED_RANGE, u"The file name or extension is too long."},
    {ERROR_MORE_DATA, u"More data is available."},
    {ERROR_NO_MORE_ITEMS, u"There are no more items."},
    {ERROR_MR_MID_NOT_FOUND, u"No message text exists for this message number."},
    {ERROR_INVALID_FLAGS, u"The flags are not valid."},
    {ERROR_NO_UNICODE_TRANSLATION, u"The text has no mapping in the target character set."},
    {ERROR_NOT_FOUND, u"The element could not be found."},
    {ERROR_CANCELLED, u"The operation was cancelled by the user."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, u"The resource type could not be found in the module."},
    {ERROR_RESOURCE_NAME_NOT_FOUND, u"The resource name could not be found in the module."},
    {ERROR_WMI_INSTANCE_NOT_FOUND, u"The instance name was not found."},
    {ERROR_ENCRYPTION_FAILED, u"The file could not be encrypted."},

    {Code(E_NOTIMPL), u"The function is not implemented."},
    {Code(E_POINTER), u"A pointer is not valid."},
    {Code(E_FAIL), u"The operation failed for an unspecified reason."},
    {Code(E_UNEXPECTED), u"An unexpected failure occurred."},

    {Code(NTE_BAD_UID), u"The provider handle is not valid."},
    {Code(NTE_BAD_HASH), u"The hash object is not valid."},
    {Code(NTE_BAD_KEY), u"The key is not valid."},
    {Code(NTE_BAD_LEN), u"The length is not valid."},
    {Code(NTE_BAD_DATA), u"The data is not valid for this key or algorithm."},
    {Code(NTE_BAD_SIGNATURE), u"The signature does not verify."},
    {Code(NTE_BAD_VER), u"The provider version is not valid."},
    {Code(NTE_BAD_ALGID), u"The algorithm is not supported."},
    {Code(NTE_BAD_FLAGS), u"The flags given are not valid."},
    {Code(NTE_BAD_TYPE), u"The type given is not valid."},
    {Code(NTE_BAD_KEY_STATE), u"The key cannot be used in its current state."},
    {Code(NTE_BAD_HASH_STATE), u"The hash cannot be used in its current state."},
    {Code(NTE_NO_KEY), u"The key does not exist."},
    {Code(NTE_NO_MEMORY), u"The provider ran out of memory."},
    {Code(NTE_EXISTS), u"The object already exists."},
    {Code(NTE_PERM), u"Access to the key was denied."},
    {Code(NTE_NOT_FOUND), u"The object could not be found."},
    {Code(NTE_BAD_PROVIDER), u"The provider is not valid."},
    {Code(NTE_BAD_PROV_TYPE), u"The provider type is not valid."},
    {Code(NTE_BAD_PUBLIC_KEY), u"The public key is not valid."},
    {Code(NTE_BAD_KEYSET), u"The key container does not exist."},
    {Code(NTE_PROV_TYPE_NOT_DEF), u"The provider type is not defined."},
    {Code(NTE_KEYSET_NOT_DEF), u"The key container is not defined."},
    {Code(NTE_FAIL), u"An internal provider failure occurred."},
    {Code(NTE_INVALID_PARAMETER), u"A parameter given to the provider is not valid."},
    {Code(NTE_BUFFER_TOO_SMALL), u"The buffer given to the provider is too small."},
    {Code(NTE_NOT_SUPPORTED), u"The provider does not support the request."},

    {Code(CRYPT_E_MSG_ERROR), u"A cryptographic message operation failed."},
    {Code(CRYPT_E_UNKNOWN_ALGO), u"The cryptographic algorithm is unknown."},
    {Code(CRYPT_E_OID_FORMAT), u"The object identifier is badly formed."},
    {Code(CRYPT_E_INVALID_MSG_TYPE), u"The cryptographic message type is not valid."},
    {Code(CRYPT_E_UNEXPECTED_ENCODING), u"The cryptographic message has an unexpected encoding."},
    {Code(CRYPT_E_AUTH_ATTR_MISSING), u"An expected authenticated attribute is missing."},
    {Code(CRYPT_E_HASH_VALUE), u"The hash value does not match."},
    {Code(CRYPT_E_INVALID_INDEX), u"The index is not valid."},
    {Code(CRYPT_E_ALREADY_DECRYPTED), u"The message content was already decrypted."},
    {Code(CRYPT_E_NOT_DECRYPTED), u"The message content has not been decrypted yet."},
    {Code(CRYPT_E_RECIPIENT_NOT_FOUND), u"The enveloped message has no such recipient."},
    {Code(CRYPT_E_CONTROL_TYPE), u"The control type is not valid."},
    {Code(CRYPT_E_ISSUER_SERIALNUMBER), u"The issuer or serial number is not valid."},
    {Code(CRYPT_E_SIGNER_NOT_FOUND), u"The original signer could not be found."},
    {Code(CRYPT_E_ATTRIBUTES_MISSING), u"The message lacks requested attributes."},
    {Code(CRYPT_E_STREAM_MSG_NOT_READY), u"The streamed message cannot return data yet."},
    {Code(CRYPT_E_STREAM_INSUFFICIENT_DATA), u"The streamed message needs more data to decode."},
    {Code(CRYPT_E_BAD_LEN), u"The output length given was too small."},
    {Code(CRYPT_E_BAD_ENCODE), u"Encoding or decoding failed."},
    {Code(CRYPT_E_FILE_ERROR), u"Reading or writing a file failed."},
    {Code(CRYPT_E_NOT_FOUND), u"The object or property could not be found."},
    {Code(CRYPT_E_EXISTS), u"The object or property already exists."},
    {Code(CRYPT_E_NO_PROVIDER), u"No provider was given for the store or object."},
    {Code(CRYPT_E_SELF_SIGNED), u"The certificate is self-signed."},
    {Code(CRYPT_E_DELETED_PREV), u"The previous certificate or list context was deleted."},
    {Code(CRYPT_E_NO_MATCH), u"No match was found for the object."},
    {Code(CRYPT_E_UNEXPECTED_MSG_TYPE), u"The message type is not the one expected."},
    {Code(CRYPT_E_NO_KEY_PROPERTY), u"The certificate has no private key property."},
    {Code(CRYPT_E_NO_DECRYPT_CERT), u"No certificate able to decrypt was found."},
    {Code(CRYPT_E_BAD_MSG), u"The object is not a cryptographic message or is badly formed."},
    {Code(CRYPT_E_NO_SIGNER), u"The signed message has no signer at that index."},
    {Code(CRYPT_E_REVOKED), u"The certificate has been revoked."},
    {Code(CRYPT_E_NO_REVOCATION_CHECK), u"The revocation status could not be checked."},
    {Code(CRYPT_E_REVOCATION_OFFLINE), u"The revocation server was offline."},
    {Code(CRYPT_E_ASN1_ERROR), u"ASN.1 encoding or decoding failed."},
    {Code(CRYPT_E_ASN1_INTERNAL), u"ASN.1 internal encoding or decoding failure."},
    {Code(CRYPT_E_ASN1_EOD), u"ASN.1 data ended unexpectedly."},
    {Code(CRYPT_E_ASN1_CORRUPT), u"ASN.1 data is corrupt."},
    {Code(CRYPT_E_ASN1_LARGE), u"ASN.1 value is too large."},
    {Code(CRYPT_E_ASN1_MEMORY), u"ASN.1 ran out of memory."},
    {Code(CRYPT_E_ASN1_OVERFLOW), u"ASN.1 buffer overflow."},
    {Code(CRYPT_E_ASN1_BADTAG), u"ASN.1 tag is not valid."},

    {Code(TRUST_E_CERT_SIGNATURE), u"The certificate's signature could not be verified."},
    {Code(CERT_E_EXPIRED), u"The certificate is outside its validity period."},
    {Code(CERT_E_UNTRUSTEDROOT), u"The certificate chain ends in an untrusted root."},
    {Code(CERT_E_CHAINING), u"The certificate chain could not be built to a trusted root."},
    {Code(CERT_E_WRONG_USAGE), u"The certificate is not valid for the requested usage."},
};

constexpr DWORD kWin32Facility = 0x80070000u;

LPCWSTR Lookup(DWORD id) {
  // Win32 errors wrapped as HRESULTs share the Win32 text.
  if ((id & 0xFFFF0000u) == kWin32Facility) id &= 0xFFFFu;
  for (const Message& m : kMessages)
    if (m.id == id) return m.text;
  return nullptr;
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD /*dwLanguageId*/,
                     LPWSTR lpBuffer, DWORD nSize, void* /*Arguments*/) {
  const DWORD supported = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & ~supported) || !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (nSize > 0) lpBuffer[0] = 0;
  const LPCWSTR text = Lookup(dwMessageId);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const std::size_t length = wcslen(text);
  if (nSize < length + 2) {  // the line break and the terminator
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::u16string_view(text, length).copy(lpBuffer, length);
  lpBuffer[length] = u'\n';
  lpBuffer[length + 1] = 0;
  return static_cast<DWORD>(length + 1);
}
