// Store handles, enumeration, adding, deleting and finding. The
// provider parts (registry, PKCS#7, PKCS#12) live in their own sources and
// only fill a Store.
#include "platform/store/CertStore.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/store/CertStoreInternal.h"
#include "platform/base/CryptErrors.h"
#include "platform/store/MessageCertificates.h"
#include "platform/base/LastError.h"

namespace certstore {
namespace {

// Not among the shared codes: the store outlives CertCloseStore because
// contexts are still held.
constexpr HRESULT CRYPT_E_PENDING_CLOSE = MakeHResult(0x8009200Fu);

struct HandleTable {
  struct Slot {
    std::shared_ptr<Store> store;
    long handles = 0;
  };
  std::mutex mutex;
  std::unordered_map<HCERTSTORE, Slot> live;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

Link* LinkOf(PCCERT_CONTEXT context) { return dynamic_cast<Link*>(CertContextStoreLink(context)); }

// Enumeration order of the property ids a context holds.
std::vector<DWORD> PropertyIds(PCCERT_CONTEXT context) {
  std::vector<DWORD> ids;
  for (DWORD id = CertEnumCertificateContextProperties(context, 0); id;
       id = CertEnumCertificateContextProperties(context, id))
    ids.push_back(id);
  return ids;
}

// Copies one property as CertSetCertificateContextProperty takes it.
BOOL CopyProperty(PCCERT_CONTEXT from, PCCERT_CONTEXT to, DWORD id) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(from, id, nullptr, &size)) return TRUE;  // gone meanwhile
  // Eight-byte aligned: the key-provider property comes back as a structure.
  std::vector<std::uint64_t> buffer(size / 8 + 1);
  if (!CertGetCertificateContextProperty(from, id, buffer.data(), &size)) return TRUE;
  if (id == CERT_KEY_PROV_INFO_PROP_ID)
    return CertSetCertificateContextProperty(to, id, 0, buffer.data());
  CRYPT_DATA_BLOB blob{size, reinterpret_cast<BYTE*>(buffer.data())};
  return CertSetCertificateContextProperty(to, id, 0, &blob);
}

// Integer blobs are least significant byte first; sign-extension bytes at
// the top do not count (CertCompareIntegerBlob).
std::size_t SignificantBytes(const CRYPT_INTEGER_BLOB& value) {
  std::size_t n = value.cbData;
  while (n > 1) {
    BYTE top = value.pbData[n - 1];
    BYTE below = value.pbData[n - 2];
    if ((top == 0x00 && below < 0x80) || (top == 0xFF && below >= 0x80))
      --n;
    else
      break;
  }
  return n;
}

bool SameInteger(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
  if ((a.cbData && !a.pbData) || (b.cbData && !b.pbData)) return false;
  std::size_t na = SignificantBytes(a);
  std::size_t nb = SignificantBytes(b);
  return na == nb && (na == 0 || std::memcmp(a.pbData, b.pbData, na) == 0);
}

bool SameBytes(const CRYPT_INTEGER_BLOB& a, const BYTE* data, std::size_t size) {
  return a.cbData == size && (size == 0 || (a.pbData && std::memcmp(a.pbData, data, size) == 0));
}

bool MatchesIssuerSerial(PCCERT_CONTEXT context, const CERT_NAME_BLOB& issuer,
                         const CRYPT_INTEGER_BLOB& serial) {
  const CERT_INFO& info = *context->pCertInfo;
  return SameBytes(issuer, info.Issuer.pbData, info.Issuer.cbData) &&
         SameInteger(serial, info.SerialNumber);
}

bool MatchesHash(PCCERT_CONTEXT context, const CRYPT_HASH_BLOB& hash) {
  Thumbprint own = ThumbprintOf(context);
  return SameBytes(hash, own.data(), own.size());
}

bool MatchesKeyId(PCCERT_CONTEXT context, const CRYPT_HASH_BLOB& keyId) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_IDENTIFIER_PROP_ID, nullptr, &size))
    return false;
  std::vector<BYTE> own(size);
  if (!CertGetCertificateContextProperty(context, CERT_KEY_IDENTIFIER_PROP_ID, own.data(), &size))
    return false;
  return SameBytes(keyId, own.data(), size);
}

using Matcher = std::function<bool(PCCERT_CONTEXT)>;

// Null (with E_INVALIDARG) for an unknown find type or missing parameter.
Matcher MakeMatcher(DWORD findType, const void* para) {
  switch (findType) {
    case CERT_FIND_ANY:
      return [](PCCERT_CONTEXT) { return true; };
    case CERT_FIND_SHA1_HASH: {
      if (!para) return nullptr;
      CRYPT_HASH_BLOB hash = *static_cast<const CRYPT_HASH_BLOB*>(para);
      return [hash](PCCERT_CONTEXT c) { return MatchesHash(c, hash); };
    }
    case CERT_FIND_SUBJECT_CERT: {
      if (!para) return nullptr;
      const auto* info = static_cast<const CERT_INFO*>(para);
      CERT_NAME_BLOB issuer = info->Issuer;
      CRYPT_INTEGER_BLOB serial = info->SerialNumber;
      return [issuer, serial](PCCERT_CONTEXT c) { return MatchesIssuerSerial(c, issuer, serial); };
    }
    case CERT_FIND_CERT_ID: {
      if (!para) return nullptr;
      const auto* id = static_cast<const CERT_ID*>(para);
      switch (id->dwIdChoice) {
        case CERT_ID_ISSUER_SERIAL_NUMBER: {
          CERT_ISSUER_SERIAL_NUMBER is = id->IssuerSerialNumber;
          return
              [is](PCCERT_CONTEXT c) { return MatchesIssuerSerial(c, is.Issuer, is.SerialNumber); };
        }
        case CERT_ID_KEY_IDENTIFIER: {
          CRYPT_HASH_BLOB keyId = id->KeyId;
          return [keyId](PCCERT_CONTEXT c) { return MatchesKeyId(c, keyId); };
        }
        case CERT_ID_SHA1_HASH: {
          CRYPT_HASH_BLOB hash = id->HashId;
          return [hash](PCCERT_CONTEXT c) { return MatchesHash(c, hash); };
        }
        default:
          return nullptr;
      }
    }
    default:
      return nullptr;
  }
}

}  // namespace

Thumbprint ThumbprintOf(PCCERT_CONTEXT context) {
  Thumbprint hash{};
  unsigned int size = 0;
  EVP_Digest(context->pbCertEncoded, context->cbCertEncoded, hash.data(), &size, EVP_sha1(),
             nullptr);
  return hash;
}

std::u16string ThumbprintHex(const Thumbprint& hash) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text;
  for (BYTE b : hash) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

BOOL Link::PropertyChanged(PCCERT_CONTEXT context) { return store->Rewrite(*this, context); }

// System stores list by thumbprint, the order their registry keys have, so
// a store enumerates the same way however often it is reopened; other
// stores keep insertion order.
bool Store::Before(const Link& a, const Link& b) const {
  if (system_ && a.hash != b.hash) return a.hash < b.hash;
  return a.seq < b.seq;
}

void Store::Insert(Entry entry) {
  auto at = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return Before(*entry.link, *e.link); });
  entries_.insert(at, entry);
}

std::shared_ptr<Link> Store::MakeLink(std::uint64_t seq, const Thumbprint& hash,
                                      std::u16string keyName) {
  if (system_ && keyName.empty()) keyName = ThumbprintHex(hash);
  return std::make_shared<Link>(shared_from_this(), seq, hash, std::move(keyName));
}

bool Store::Load(PCCERT_CONTEXT source, std::u16string keyName) {
  Thumbprint hash = ThumbprintOf(source);
  std::lock_guard lock(mutex_);
  // Two registry keys holding one certificate (a hand-made name): the
  // first listed wins.
  if (system_ && std::any_of(entries_.begin(), entries_.end(),
                             [&](const Entry& e) { return e.link->hash == hash; }))
    return true;
  auto link = MakeLink(nextSeq_++, hash, std::move(keyName));
  PCCERT_CONTEXT context = CertContextCloneForStore(source, Handle(), link);
  if (!context) return false;
  Insert({context, link.get()});
  return true;
}

void Store::KeepAlive(std::shared_ptr<void> token) {
  std::lock_guard lock(mutex_);
  keepAlive_.push_back(std::move(token));
}

BOOL Store::Add(PCCERT_CONTEXT source, DWORD disposition, PCCERT_CONTEXT* stored) {
  if (stored) *stored = nullptr;
  if (!source || disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) {
    SetLastHr(E_INVALIDARG);
    return FALSE;
  }
  if (readOnly_) {
    SetLastHr(E_ACCESSDENIED);
    return FALSE;
  }
  Thumbprint hash = ThumbprintOf(source);
  PCCERT_CONTEXT release = nullptr;  // freed once the lock is gone
  PCCERT_CONTEXT existing = nullptr;
  HRESULT failure = S_OK;
  DWORD win32Failure = ERROR_SUCCESS;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.link->hash == hash; });
    // One registry key per thumbprint: a system store cannot hold two.
    bool replace = found != entries_.end() && (disposition == CERT_STORE_ADD_REPLACE_EXISTING ||
                                               (disposition == CERT_STORE_ADD_ALWAYS && system_));
    if (found != entries_.end() && disposition == CERT_STORE_ADD_NEW) {
      failure = CRYPT_E_EXISTS;
    } else if (found != entries_.end() && disposition == CERT_STORE_ADD_USE_EXISTING) {
      existing = CertDuplicateCertificateContext(found->context);
    } else {
      std::uint64_t seq = replace ? found->link->seq : nextSeq_++;
      auto link = MakeLink(seq, hash, replace ? found->link->keyName : std::u16string());
      PCCERT_CONTEXT context = CertContextCloneForStore(source, Handle(), link);
      if (!context) return FALSE;
      if (system_) {
        std::vector<BYTE> blob;
        LSTATUS status = SerializeElement(context, blob)
                             ? WriteBlobKey(*system_, link->keyName, blob)
                             : GetLastError();
        if (status != ERROR_SUCCESS) {
          win32Failure = status;
          release = context;
          context = nullptr;
        }
      }
      if (context) {
        if (replace) {
          found->link->removed = true;
          release = found->context;
          *found = Entry{context, link.get()};
        } else {
          Insert({context, link.get()});
        }
        if (stored) *stored = CertDuplicateCertificateContext(context);
      }
    }
  }
  CertFreeCertificateContext(release);
  if (failure != S_OK) {
    SetLastHr(failure);
    return FALSE;
  }
  if (win32Failure != ERROR_SUCCESS) {
    SetLastError(win32Failure);
    return FALSE;
  }
  if (existing) {
    // CryptoAPI adds the newcomer's properties to the certificate kept;
    // properties the kept one already has are left alone.
    std::vector<DWORD> have = PropertyIds(existing);
    for (DWORD id : PropertyIds(source)) {
      if (std::find(have.begin(), have.end(), id) != have.end()) continue;
      if (!CopyProperty(source, existing, id)) {
        DWORD error = GetLastError();
        CertFreeCertificateContext(existing);
        SetLastError(error);
        return FALSE;
      }
    }
    if (stored)
      *stored = existing;
    else
      CertFreeCertificateContext(existing);
  }
  return TRUE;
}

PCCERT_CONTEXT Store::Next(PCCERT_CONTEXT previous, const Matcher& match) {
  PCCERT_CONTEXT result = nullptr;
  HRESULT failure = CRYPT_E_NOT_FOUND;
  {
    std::lock_guard lock(mutex_);
    Link* after = previous ? LinkOf(previous) : nullptr;
    if (previous && (!after || after->store.get() != this)) {
      failure = E_INVALIDARG;
    } else {
      // Positions, not pointers: the previous context may have been deleted
      // or replaced since it was handed out.
      auto it = after ? std::find_if(entries_.begin(), entries_.end(),
                                     [&](const Entry& e) { return Before(*after, *e.link); })
                      : entries_.begin();
      for (; it != entries_.end(); ++it) {
        if (match(it->context)) {
          result = CertDuplicateCertificateContext(it->context);
          break;
        }
      }
    }
  }
  CertFreeCertificateContext(previous);
  if (!result) SetLastHr(failure);
  return result;
}

BOOL Store::Delete(PCCERT_CONTEXT context) {
  if (readOnly_) {
    SetLastHr(E_ACCESSDENIED);
    return FALSE;
  }
  Link* link = LinkOf(context);
  PCCERT_CONTEXT own = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (link->removed) return TRUE;
    if (system_) {
      LSTATUS status = DeleteBlobKey(*system_, link->keyName);
      if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
      }
    }
    link->removed = true;
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& e) { return e.context == context; });
    if (found != entries_.end()) {
      own = found->context;
      entries_.erase(found);
    }
  }
  CertFreeCertificateContext(own);
  return TRUE;
}

BOOL Store::Rewrite(Link& link, PCCERT_CONTEXT context) {
  if (!system_ || readOnly_) return TRUE;
  std::lock_guard lock(mutex_);
  if (link.removed) return TRUE;
  std::vector<BYTE> blob;
  if (!SerializeElement(context, blob)) return FALSE;
  LSTATUS status = WriteBlobKey(*system_, link.keyName, blob);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  return TRUE;
}

void Store::Close() {
  std::vector<Entry> entries;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    entries.swap(entries_);
  }
  for (const Entry& e : entries) CertFreeCertificateContext(e.context);
}

namespace {

std::atomic<platform::store::MessageCertificatesReader> message_reader{nullptr};

// A memory store holding the certificates of a decoded message.
std::shared_ptr<Store> OpenMessageStore(DWORD flags, const void* para) {
  const platform::store::MessageCertificatesReader reader = message_reader.load();
  std::vector<std::vector<BYTE>> certificates;
  HRESULT hr = S_OK;
  if (reader == nullptr || !reader(para, &certificates, &hr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (FAILED(hr)) {
    SetLastHr(hr);
    return nullptr;
  }
  auto store = std::make_shared<Store>();
  for (const std::vector<BYTE>& der : certificates) {
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    const bool loaded = context != nullptr && store->Load(context);
    const DWORD error = GetLastError();
    CertFreeCertificateContext(context);
    if (!loaded) {
      store->Close();
      SetLastError(error);
      return nullptr;
    }
  }
  if (flags & CERT_STORE_READONLY_FLAG) store->SetReadOnly();
  return store;
}

}  // namespace

}  // namespace certstore

namespace platform::store {

void SetMessageCertificatesReader(MessageCertificatesReader reader) {
  certstore::message_reader.store(reader);
}

}  // namespace platform::store

namespace certstore {

HCERTSTORE Register(std::shared_ptr<Store> store) {
  HCERTSTORE handle = store->Handle();
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.live[handle] = HandleTable::Slot{std::move(store), 1};
  return handle;
}

std::shared_ptr<Store> Find(HCERTSTORE handle) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.live.find(handle);
  if (it == table.live.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second.store;
}

}  // namespace certstore

using namespace certstore;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD /*dwEncodingType*/,
                         HCRYPTPROV_LEGACY /*hCryptProv*/, DWORD dwFlags, const void* pvPara) {
  std::shared_ptr<Store> store;
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
    store = std::make_shared<Store>();
    if (dwFlags & CERT_STORE_READONLY_FLAG) store->SetReadOnly();
  } else if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
    store = OpenSystemStore(dwFlags, pvPara);
  } else if (lpszStoreProvider == CERT_STORE_PROV_PKCS7) {
    store = OpenPkcs7Store(dwFlags, pvPara);
  } else if (lpszStoreProvider == CERT_STORE_PROV_MSG) {
    store = OpenMessageStore(dwFlags, pvPara);
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);  // as for a provider nobody installed
  }
  return store ? Register(std::move(store)) : nullptr;
}

HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.live.find(hCertStore);
  if (it == table.live.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++it->second.handles;
  return hCertStore;
}

// CERT_CLOSE_STORE_FORCE_FLAG frees nothing early here: a caller's context
// stays valid until the caller frees it, whatever the flag.
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  if (!hCertStore) return TRUE;
  std::shared_ptr<Store> last;
  {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.live.find(hCertStore);
    if (it == table.live.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.handles > 0) return TRUE;
    last = std::move(it->second.store);
    table.live.erase(it);
  }
  last->Close();
  if ((dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) && last.use_count() > 1) {
    SetLastHr(CRYPT_E_PENDING_CLOSE);
    return FALSE;
  }
  return TRUE;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  std::shared_ptr<Store> store = Find(hCertStore);
  if (!store) {
    CertFreeCertificateContext(pPrevCertContext);
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  return store->Next(pPrevCertContext, [](PCCERT_CONTEXT) { return true; });
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  if (ppStoreContext) *ppStoreContext = nullptr;
  std::shared_ptr<Store> store = Find(hCertStore);
  if (!store) {
    SetLastHr(E_INVALIDARG);
    return FALSE;
  }
  return store->Add(pCertContext, dwAddDisposition, ppStoreContext);
}

BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                      const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
  if (ppCertContext) *ppCertContext = nullptr;
  PCCERT_CONTEXT context =
      CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
  if (!context) return FALSE;
  BOOL ok = CertAddCertificateContextToStore(hCertStore, context, dwAddDisposition, ppCertContext);
  DWORD error = GetLastError();
  CertFreeCertificateContext(context);
  if (!ok) SetLastError(error);
  return ok;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  if (!pCertContext) {
    SetLastHr(E_INVALIDARG);
    return FALSE;
  }
  Link* link = LinkOf(pCertContext);
  if (!link) {
    CertFreeCertificateContext(pCertContext);
    SetLastHr(E_INVALIDARG);
    return FALSE;
  }
  // Freeing the caller's context may drop the last hold on the store.
  std::shared_ptr<Store> store = link->store;
  BOOL ok = store->Delete(pCertContext);
  DWORD error = GetLastError();
  CertFreeCertificateContext(pCertContext);
  if (!ok) SetLastError(error);
  return ok;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/,
                                          DWORD /*dwFindFlags*/, DWORD dwFindType,
                                          const void* pvFindPara, PCCERT_CONTEXT pPrevCertContext) {
  std::shared_ptr<Store> store = Find(hCertStore);
  Matcher match = MakeMatcher(dwFindType, pvFindPara);
  if (!store || !match) {
    CertFreeCertificateContext(pPrevCertContext);
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  return store->Next(pPrevCertContext, match);
}

PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                  PCERT_INFO pCertId) {
  if (!pCertId) {
    SetLastHr(E_INVALIDARG);
    return nullptr;
  }
  return CertFindCertificateInStore(hCertStore, dwCertEncodingType, 0, CERT_FIND_SUBJECT_CERT,
                                    pCertId, nullptr);
}
