// System stores kept in the registry stand-ins of the user and the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "CertStoreTesting.h"
#include "platform/base/CryptErrors.h"
#include "platform/registry/Registry.h"
#include "platform/fs/StateFolders.h"

namespace {

using namespace storetest;
namespace fs = std::filesystem;

constexpr DWORD kUser = CERT_SYSTEM_STORE_CURRENT_USER;
constexpr DWORD kMachine = CERT_SYSTEM_STORE_LOCAL_MACHINE;

UniqueStore OpenSystem(DWORD flags, const char16_t* name) {
  return UniqueStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                   X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, flags, name));
}

std::u16string Hex(const Bytes& bytes) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  for (BYTE b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::u16string KeyPath(const std::u16string& store, PCCERT_CONTEXT c) {
  return u"Software\\Microsoft\\SystemCertificates\\" + store + u"\\Certificates\\" +
         Hex(Property(c, CERT_SHA1_HASH_PROP_ID));
}

// The "Blob" value of a key, or empty when the key or value is missing.
Bytes ReadBlob(HKEY root, const std::u16string& path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return {};
  UniqueHKEY key(raw);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), u"Blob", nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return {};
  Bytes out(size);
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Blob", nullptr, &type, out.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  return out;
}

void WriteBlob(HKEY root, const std::u16string& path, const Bytes& blob) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  UniqueHKEY key(raw);
  ASSERT_EQ(RegSetValueExW(key.get(), u"Blob", 0, REG_BINARY, blob.data(),
                           static_cast<DWORD>(blob.size())),
            ERROR_SUCCESS);
}

void Record(Bytes& out, DWORD id, const Bytes& value) {
  for (DWORD v : {id, DWORD{1}, static_cast<DWORD>(value.size())})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
  out.insert(out.end(), value.begin(), value.end());
}

bool SameProperties(PCCERT_CONTEXT a, PCCERT_CONTEXT b) {
  for (DWORD id = CertEnumCertificateContextProperties(a, 0); id;
       id = CertEnumCertificateContextProperties(a, id)) {
    if (id == CERT_KEY_PROV_INFO_PROP_ID ? KeyProvInfo(a) != KeyProvInfo(b)
                                         : Property(a, id) != Property(b, id))
      return false;
  }
  return true;
}

// Each test starts with no system stores, also when several run in one process.
void ForgetAllStores() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    LSTATUS status = RegDeleteTreeW(root, u"Software\\Microsoft\\SystemCertificates");
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
  }
}

class SystemStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetAllStores();
    std::u16string container = u"le-container",
                   provider = u"Microsoft Enhanced Cryptographic Provider v1.0";
    BYTE pin[] = {'1', '2'};
    CRYPT_KEY_PROV_PARAM param{0x20, pin, sizeof pin, 0};
    CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0, 1, &param, 1};
    for (BYTE serial : {1, 2, 3}) {
      certs_.push_back(MakeCert(serial, "System " + std::to_string(serial)));
      ASSERT_TRUE(CertSetCertificateContextProperty(certs_.back().get(), CERT_KEY_PROV_INFO_PROP_ID,
                                                    0, &info));
      SetBlobProperty(certs_.back().get(), 0x4321, {serial, 0, serial});
    }
  }
  void Fill(DWORD location, const char16_t* name) {
    UniqueStore store = OpenSystem(location, name);
    ASSERT_TRUE(store) << GetLastError();
    for (const UniqueContext& c : certs_)
      ASSERT_TRUE(
          CertAddCertificateContextToStore(store.get(), c.get(), CERT_STORE_ADD_NEW, nullptr));
  }
  // After a reopen: the same certificates with the same properties, listed
  // by thumbprint.
  void ExpectPersisted(DWORD location, const char16_t* name) {
    UniqueStore reopened = OpenSystem(location | CERT_STORE_READONLY_FLAG, name);
    ASSERT_TRUE(reopened) << GetLastError();
    std::vector<UniqueContext> listed = Enumerate(reopened.get());
    ASSERT_EQ(listed.size(), certs_.size());
    std::vector<Bytes> hashes;
    for (const UniqueContext& c : listed) {
      hashes.push_back(Property(c.get(), CERT_SHA1_HASH_PROP_ID));
      auto source = std::find_if(certs_.begin(), certs_.end(), [&](const UniqueContext& s) {
        return Der(s.get()) == Der(c.get());
      });
      ASSERT_NE(source, certs_.end());
      EXPECT_TRUE(SameProperties(source->get(), c.get()));
      EXPECT_TRUE(KeyProvInfo(c.get()).has_value());
    }
    EXPECT_TRUE(std::is_sorted(hashes.begin(), hashes.end()));
  }
  std::vector<UniqueContext> certs_;
};

TEST_F(SystemStoreTest, UserStoreRoundTrip) {
  Fill(kUser, u"MY");
  EXPECT_FALSE(ReadBlob(HKEY_CURRENT_USER, KeyPath(u"MY", certs_[0].get())).empty());
  ExpectPersisted(kUser, u"MY");
  ExpectPersisted(kUser, u"my");  // store names are registry keys: case does not matter
}

TEST_F(SystemStoreTest, MachineStoresRoundTrip) {
  Fill(kMachine, u"CA");
  Fill(kMachine, u"ROOT");
  ExpectPersisted(kMachine, u"CA");
  ExpectPersisted(kMachine, u"ROOT");
  EXPECT_FALSE(ReadBlob(HKEY_LOCAL_MACHINE, KeyPath(u"ROOT", certs_[2].get())).empty());
  EXPECT_TRUE(ReadBlob(HKEY_CURRENT_USER, KeyPath(u"ROOT", certs_[2].get())).empty());
  UniqueStore userRoot = OpenSystem(kUser | CERT_STORE_READONLY_FLAG, u"ROOT");
  ASSERT_TRUE(userRoot);
  EXPECT_TRUE(Enumerate(userRoot.get()).empty());
}

// The bytes a trust installation writes by hand, with property ids this
// code never makes itself.
TEST_F(SystemStoreTest, ReadsHandWrittenBlobs) {
  PCCERT_CONTEXT c = certs_[0].get();
  Bytes blob;
  Record(blob, 3, Property(c, CERT_SHA1_HASH_PROP_ID));
  Record(blob, 25, {0xDE, 0xAD});
  Record(blob, 92, {1, 2, 3, 4});
  Record(blob, CERT_CERT_PROP_ID, Der(c));
  WriteBlob(HKEY_LOCAL_MACHINE, KeyPath(u"ROOT", c), blob);
  Bytes derOnly;
  Record(derOnly, CERT_CERT_PROP_ID, Der(certs_[1].get()));
  WriteBlob(HKEY_LOCAL_MACHINE, KeyPath(u"ROOT", certs_[1].get()), derOnly);
  // Unreadable entries are passed over.
  WriteBlob(HKEY_LOCAL_MACHINE,
            u"Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\0000", {1, 2, 3});

  UniqueStore root = OpenSystem(kMachine | CERT_STORE_READONLY_FLAG, u"ROOT");
  ASSERT_TRUE(root) << GetLastError();
  std::vector<Bytes> ders = Ders(root.get());
  ASSERT_EQ(ders.size(), 2u);
  Bytes hash = Property(c, CERT_SHA1_HASH_PROP_ID);
  CRYPT_HASH_BLOB find{20, hash.data()};
  UniqueContext found(CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_SHA1_HASH, &find, nullptr));
  ASSERT_TRUE(found);
  EXPECT_EQ(Property(found.get(), 92), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(Property(found.get(), 25), Bytes({0xDE, 0xAD}));

  // Rewritten through a writable store, unknown properties survive.
  root.reset();
  UniqueStore writable = OpenSystem(kMachine, u"ROOT");
  UniqueContext again(CertFindCertificateInStore(writable.get(), X509_ASN_ENCODING, 0,
                                                 CERT_FIND_SHA1_HASH, &find, nullptr));
  ASSERT_TRUE(again);
  SetBlobProperty(again.get(), CERT_FRIENDLY_NAME_PROP_ID, {'r', 0, 0, 0});
  UniqueContext back(CertDeserializeCertificateStoreElement(
      ReadBlob(HKEY_LOCAL_MACHINE, KeyPath(u"ROOT", c)).data(),
      static_cast<DWORD>(ReadBlob(HKEY_LOCAL_MACHINE, KeyPath(u"ROOT", c)).size())));
  ASSERT_TRUE(back);
  EXPECT_EQ(Property(back.get(), 92), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(Property(back.get(), CERT_FRIENDLY_NAME_PROP_ID), Bytes({'r', 0, 0, 0}));
}

TEST_F(SystemStoreTest, AddDispositionsAcrossSessions) {
  Fill(kMachine, u"CA");
  UniqueStore ca = OpenSystem(kMachine, u"CA");
  ASSERT_TRUE(ca);
  // Already there from the earlier session.
  EXPECT_FALSE(
      CertAddCertificateContextToStore(ca.get(), certs_[1].get(), CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_EXISTS));
  PCCERT_CONTEXT kept = nullptr;
  EXPECT_TRUE(CertAddCertificateContextToStore(ca.get(), certs_[1].get(),
                                               CERT_STORE_ADD_USE_EXISTING, &kept));
  UniqueContext keptHold(kept);
  EXPECT_EQ(kept->hCertStore, ca.get());

  // Replacing writes the newcomer (without properties) over the old value;
  // ALWAYS cannot make a second key for one thumbprint.
  UniqueContext bare(CertCreateCertificateContext(X509_ASN_ENCODING, certs_[1]->pbCertEncoded,
                                                  certs_[1]->cbCertEncoded));
  ASSERT_TRUE(CertAddCertificateContextToStore(ca.get(), bare.get(),
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  ASSERT_TRUE(
      CertAddCertificateContextToStore(ca.get(), bare.get(), CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(Enumerate(ca.get()).size(), 3u);
  UniqueContext stored(CertDeserializeCertificateStoreElement(
      ReadBlob(HKEY_LOCAL_MACHINE, KeyPath(u"CA", certs_[1].get())).data(),
      static_cast<DWORD>(ReadBlob(HKEY_LOCAL_MACHINE, KeyPath(u"CA", certs_[1].get())).size())));
  ASSERT_TRUE(stored);
  EXPECT_FALSE(HasProperty(stored.get(), CERT_KEY_PROV_INFO_PROP_ID));
  // The replaced context no longer speaks for the registry.
  SetBlobProperty(kept, CERT_FRIENDLY_NAME_PROP_ID, {'x', 0, 0, 0});
  UniqueStore reopened = OpenSystem(kMachine | CERT_STORE_READONLY_FLAG, u"CA");
  for (const UniqueContext& c : Enumerate(reopened.get()))
    EXPECT_FALSE(HasProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID));
}

TEST_F(SystemStoreTest, PropertyChangesAreWrittenThrough) {
  UniqueStore my = OpenSystem(kUser, u"MY");
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(
      CertAddCertificateContextToStore(my.get(), certs_[0].get(), CERT_STORE_ADD_NEW, &stored));
  UniqueContext hold(stored);
  std::u16string container = u"later", provider = u"p";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0, 0, nullptr, 2};
  ASSERT_TRUE(CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  ASSERT_TRUE(CertSetCertificateContextProperty(stored, 0x4321, 0, nullptr));

  UniqueStore reopened = OpenSystem(kUser | CERT_STORE_READONLY_FLAG, u"MY");
  std::vector<UniqueContext> listed = Enumerate(reopened.get());
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_TRUE(KeyProvInfo(listed[0].get()));
  EXPECT_EQ(KeyProvInfo(listed[0].get())->container, u"later");
  EXPECT_EQ(KeyProvInfo(listed[0].get())->keyType, 2u);
  EXPECT_FALSE(HasProperty(listed[0].get(), 0x4321));
}

TEST_F(SystemStoreTest, DeleteRemovesTheKey) {
  Fill(kUser, u"ADDRESSBOOK");
  UniqueStore book = OpenSystem(kUser, u"ADDRESSBOOK");
  Bytes hash = Property(certs_[1].get(), CERT_SHA1_HASH_PROP_ID);
  CRYPT_HASH_BLOB find{20, hash.data()};
  PCCERT_CONTEXT found = CertFindCertificateInStore(book.get(), X509_ASN_ENCODING, 0,
                                                    CERT_FIND_SHA1_HASH, &find, nullptr);
  ASSERT_NE(found, nullptr);
  UniqueContext other(CertDuplicateCertificateContext(found));
  ASSERT_TRUE(CertDeleteCertificateFromStore(found));
  EXPECT_TRUE(ReadBlob(HKEY_CURRENT_USER, KeyPath(u"ADDRESSBOOK", certs_[1].get())).empty());
  HKEY raw = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(u"ADDRESSBOOK", certs_[1].get()).c_str(), 0,
                          KEY_READ, &raw),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Ders(book.get()).size(), 2u);
  // A change through a deleted context must not bring the key back.
  SetBlobProperty(other.get(), CERT_FRIENDLY_NAME_PROP_ID, {'z', 0, 0, 0});
  EXPECT_TRUE(ReadBlob(HKEY_CURRENT_USER, KeyPath(u"ADDRESSBOOK", certs_[1].get())).empty());

  UniqueStore reopened = OpenSystem(kUser | CERT_STORE_READONLY_FLAG, u"ADDRESSBOOK");
  std::vector<Bytes> left = Ders(reopened.get());
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(std::count(left.begin(), left.end(), Der(certs_[1].get())), 0);
}

TEST_F(SystemStoreTest, ReadOnlyStoreRefusesChanges) {
  Fill(kUser, u"MY");
  UniqueStore my = OpenSystem(kUser | CERT_STORE_READONLY_FLAG, u"MY");
  ASSERT_TRUE(my);
  UniqueContext fresh = MakeCert(9);
  EXPECT_FALSE(
      CertAddCertificateContextToStore(my.get(), fresh.get(), CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(GetLastError(), Hr(E_ACCESSDENIED));
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(my.get(), nullptr);
  ASSERT_NE(first, nullptr);
  UniqueContext kept(CertDuplicateCertificateContext(first));
  EXPECT_FALSE(CertDeleteCertificateFromStore(first));
  EXPECT_EQ(GetLastError(), Hr(E_ACCESSDENIED));
  EXPECT_FALSE(ReadBlob(HKEY_CURRENT_USER, KeyPath(u"MY", kept.get())).empty());
  EXPECT_EQ(Ders(my.get()).size(), 3u);
}

TEST(SystemStoreOpenTest, MissingStoresAndBadArguments) {
  ForgetAllStores();
  // Read-only: nothing is created, the store is just empty.
  UniqueStore empty = OpenSystem(kUser | CERT_STORE_READONLY_FLAG, u"Nowhere");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(Enumerate(empty.get()).empty());
  HKEY raw = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Microsoft\\SystemCertificates\\Nowhere", 0,
                          KEY_READ, &raw),
            ERROR_FILE_NOT_FOUND);

  EXPECT_FALSE(OpenSystem(kUser | CERT_STORE_OPEN_EXISTING_FLAG, u"Nowhere"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  UniqueStore made = OpenSystem(kUser, u"Made");
  ASSERT_TRUE(made);
  EXPECT_TRUE(OpenSystem(kUser | CERT_STORE_OPEN_EXISTING_FLAG, u"Made"));
  EXPECT_FALSE(OpenSystem(kUser | CERT_STORE_CREATE_NEW_FLAG, u"Made"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  for (const char16_t* bad : {u"", u"MY\\..\\ROOT"}) {
    EXPECT_FALSE(OpenSystem(kUser, bad));
    EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
  }
  EXPECT_FALSE(OpenSystem(kUser, nullptr));
  EXPECT_FALSE(OpenSystem(0, u"MY"));  // no location
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
}

}  // namespace
