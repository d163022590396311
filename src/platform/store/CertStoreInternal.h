// Shared by the certificate-store sources: the store object behind an
// HCERTSTORE, the link each of its contexts carries, and the helpers of the
// serialized and registry forms.
//
// Lifetime: the handle table holds a store while it has handles; every
// context the store owns holds it through its link. Closing the last handle
// makes the store drop its own references, which breaks the cycle, so the
// store goes with the last context still held by a caller (and with it the
// volatile key containers of a PKCS#12 import).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cert/CertContext.h"
#include "platform/base/LastError.h"
#include "platform/registry/Registry.h"
#include "platform/base/WinTypes.h"

namespace certstore {

using Thumbprint = std::array<BYTE, 20>;

// SHA-1 of the encoded certificate, computed without caching a property on
// the context (a cached hash would otherwise be written into the "Blob").
Thumbprint ThumbprintOf(PCCERT_CONTEXT context);
// Upper-case hex, the registry key name of a system-store certificate.
std::u16string ThumbprintHex(const Thumbprint& hash);

// The "Blob" form. Both set the last error on failure.
bool SerializeElement(PCCERT_CONTEXT context, std::vector<BYTE>& out);
PCCERT_CONTEXT DeserializeElement(const BYTE* data, std::size_t size);

// Where a system store keeps its certificates.
struct SystemLocation {
  HKEY root = nullptr;
  std::u16string certificatesPath;  // ...\SystemCertificates\<NAME>\Certificates
};

// Registry writes of a system store; Win32 error numbers.
LSTATUS WriteBlobKey(const SystemLocation& where, const std::u16string& keyName,
                     const std::vector<BYTE>& blob);
// A key already gone counts as deleted.
LSTATUS DeleteBlobKey(const SystemLocation& where, const std::u16string& keyName);

class Store;

class Link final : public CertStoreLink {
 public:
  Link(std::shared_ptr<Store> store, std::uint64_t seq, const Thumbprint& hash,
       std::u16string keyName)
      : store(std::move(store)), seq(seq), hash(hash), keyName(std::move(keyName)) {}
  BOOL PropertyChanged(PCCERT_CONTEXT context) override;

  const std::shared_ptr<Store> store;
  const std::uint64_t seq;  // insertion rank; a replacement keeps the rank it replaced
  const Thumbprint hash;
  const std::u16string keyName;  // registry key of a system-store certificate
  bool removed = false;          // guarded by the store's mutex
};

struct Entry {
  PCCERT_CONTEXT context;  // the store's own reference
  Link* link;              // owned by the context
};

class Store : public std::enable_shared_from_this<Store> {
 public:
  explicit Store(std::optional<SystemLocation> system = std::nullopt)
      : system_(std::move(system)) {}
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  HCERTSTORE Handle() { return this; }
  bool IsSystem() const { return system_.has_value(); }
  void SetReadOnly() { readOnly_ = true; }

  // Takes a certificate in without writing anything: what a store is
  // opened with. Keeps the first of several with the same thumbprint.
  bool Load(PCCERT_CONTEXT source, std::u16string keyName = {});
  // Keeps a PKCS#12 key container alive as long as the store.
  void KeepAlive(std::shared_ptr<void> token);

  BOOL Add(PCCERT_CONTEXT source, DWORD disposition, PCCERT_CONTEXT* stored);
  PCCERT_CONTEXT Next(PCCERT_CONTEXT previous, const std::function<bool(PCCERT_CONTEXT)>& match);
  BOOL Delete(PCCERT_CONTEXT context);  // does not free the caller's reference
  BOOL Rewrite(Link& link, PCCERT_CONTEXT context);
  // The last handle went: drop the store's own references.
  void Close();

 private:
  bool Before(const Link& a, const Link& b) const;
  void Insert(Entry entry);
  std::shared_ptr<Link> MakeLink(std::uint64_t seq, const Thumbprint& hash, std::u16string keyName);

  const std::optional<SystemLocation> system_;
  std::atomic<bool> readOnly_{false};
  std::mutex mutex_;
  std::vector<Entry> entries_;  // in enumeration order
  std::uint64_t nextSeq_ = 1;
  bool closed_ = false;
  std::vector<std::shared_ptr<void>> keepAlive_;
};

// The handle table. Register gives the first handle; Find gives the store of
// a live handle (null with ERROR_INVALID_HANDLE otherwise).
HCERTSTORE Register(std::shared_ptr<Store> store);
std::shared_ptr<Store> Find(HCERTSTORE handle);

// The system-store provider: pvPara is the wide store name.
std::shared_ptr<Store> OpenSystemStore(DWORD flags, const void* para);
// The PKCS#7 provider: pvPara is a CRYPT_DATA_BLOB*.
std::shared_ptr<Store> OpenPkcs7Store(DWORD flags, const void* para);

// CryptoAPI keeps HRESULTs in the last-error slot as they are.
inline void SetLastHr(HRESULT hr) { SetLastError(static_cast<DWORD>(hr)); }

}  // namespace certstore
