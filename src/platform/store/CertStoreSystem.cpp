// System stores over the registry stand-in: read whole at open, every add,
// delete and property change written through at once.
#include <string>
#include <vector>

#include "platform/store/CertStore.h"
#include "platform/store/CertStoreInternal.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace certstore {
namespace {

constexpr char16_t kSystemCertificates[] = u"Software\\Microsoft\\SystemCertificates\\";
constexpr char16_t kBlobValue[] = u"Blob";
// Registry key names are at most 255 characters.
constexpr DWORD kMaxKeyName = 256;

std::u16string Join(const std::u16string& path, const std::u16string& name) {
  return path + u"\\" + name;
}

std::vector<BYTE> ReadBlob(HKEY certificates, const std::u16string& keyName) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(certificates, keyName.c_str(), 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS)
    return {};
  UniqueHKEY key(raw);
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), kBlobValue, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return {};
  std::vector<BYTE> blob(size);
  if (RegQueryValueExW(key.get(), kBlobValue, nullptr, nullptr, blob.data(), &size) !=
      ERROR_SUCCESS)
    return {};
  blob.resize(size);
  return blob;
}

// A key that cannot be read or parsed is left out rather than hiding the
// rest of the store.
LSTATUS LoadCertificates(Store& store, const SystemLocation& where) {
  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(where.root, where.certificatesPath.c_str(), 0, KEY_READ, &raw);
  if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (status != ERROR_SUCCESS) return status;
  UniqueHKEY certificates(raw);
  for (DWORD index = 0;; ++index) {
    WCHAR name[kMaxKeyName];
    DWORD length = kMaxKeyName;
    status =
        RegEnumKeyExW(certificates.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return status;
    std::u16string keyName(name, length);
    std::vector<BYTE> blob = ReadBlob(certificates.get(), keyName);
    if (blob.empty()) continue;
    PCCERT_CONTEXT context = DeserializeElement(blob.data(), blob.size());
    if (!context) continue;
    bool loaded = store.Load(context, keyName);
    CertFreeCertificateContext(context);
    if (!loaded) return GetLastError();
  }
}

}  // namespace

LSTATUS WriteBlobKey(const SystemLocation& where, const std::u16string& keyName,
                     const std::vector<BYTE>& blob) {
  HKEY raw = nullptr;
  LSTATUS status =
      RegCreateKeyExW(where.root, Join(where.certificatesPath, keyName).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &raw, nullptr);
  if (status != ERROR_SUCCESS) return status;
  UniqueHKEY key(raw);
  return RegSetValueExW(key.get(), kBlobValue, 0, REG_BINARY, blob.data(),
                        static_cast<DWORD>(blob.size()));
}

LSTATUS DeleteBlobKey(const SystemLocation& where, const std::u16string& keyName) {
  LSTATUS status = RegDeleteTreeW(where.root, Join(where.certificatesPath, keyName).c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::shared_ptr<Store> OpenSystemStore(DWORD flags, const void* para) {
  const auto* name = static_cast<LPCWSTR>(para);
  // A name is one registry key, never a path into another one.
  if (!name || !*name || wcschr(name, u'\\')) {
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  SystemLocation where;
  switch (flags & CERT_SYSTEM_STORE_LOCATION_MASK) {
    case CERT_SYSTEM_STORE_CURRENT_USER:
      where.root = HKEY_CURRENT_USER;
      break;
    case CERT_SYSTEM_STORE_LOCAL_MACHINE:
      where.root = HKEY_LOCAL_MACHINE;
      break;
    default:
      SetLastHr(E_INVALIDARG);
      return nullptr;
  }
  std::u16string storePath = kSystemCertificates + std::u16string(name);
  where.certificatesPath = Join(storePath, u"Certificates");

  HKEY raw = nullptr;
  LSTATUS status = RegOpenKeyExW(where.root, storePath.c_str(), 0, KEY_READ, &raw);
  UniqueHKEY existing(status == ERROR_SUCCESS ? raw : nullptr);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    SetLastError(status);
    return nullptr;
  }
  if (!existing && (flags & CERT_STORE_OPEN_EXISTING_FLAG)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (existing && (flags & CERT_STORE_CREATE_NEW_FLAG)) {
    SetLastError(ERROR_FILE_EXISTS);
    return nullptr;
  }
  existing.reset();

  bool readOnly = flags & CERT_STORE_READONLY_FLAG;
  if (!readOnly) {
    // Opened for writing, as CryptoAPI does without
    // CERT_STORE_MAXIMUM_ALLOWED_FLAG: no write access, no store.
    status = RegCreateKeyExW(where.root, where.certificatesPath.c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
      SetLastError(status);
      return nullptr;
    }
    RegCloseKey(raw);
  }

  auto store = std::make_shared<Store>(where);
  status = LoadCertificates(*store, where);
  if (status != ERROR_SUCCESS) {
    store->Close();
    SetLastError(status);
    return nullptr;
  }
  if (readOnly) store->SetReadOnly();
  return store;
}

}  // namespace certstore
