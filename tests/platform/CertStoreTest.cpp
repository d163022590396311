// Memory stores: order, add dispositions, deletion, finding, lifetime, and
// the serialized element form.
#include <gtest/gtest.h>

#include <cstring>

#include "CertStoreTesting.h"
#include "platform/base/CryptErrors.h"

namespace {

using namespace storetest;

constexpr DWORD kUnknownPropId = 0x1234;

UniqueStore OpenMemory(DWORD flags = 0) {
  return UniqueStore(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, flags, nullptr));
}

PCCERT_CONTEXT AddTo(HCERTSTORE store, PCCERT_CONTEXT c, DWORD disposition = CERT_STORE_ADD_NEW) {
  PCCERT_CONTEXT stored = nullptr;
  EXPECT_TRUE(CertAddCertificateContextToStore(store, c, disposition, &stored));
  return stored;
}

Bytes Sha1(PCCERT_CONTEXT c) { return Property(c, CERT_SHA1_HASH_PROP_ID); }

class MemoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OpenMemory();
    ASSERT_TRUE(store_);
    for (BYTE serial : {3, 1, 2}) certs_.push_back(MakeCert(serial));
  }
  UniqueStore store_;
  std::vector<UniqueContext> certs_;
};

TEST_F(MemoryStoreTest, KeepsInsertionOrderAndOwnsCopies) {
  for (const UniqueContext& c : certs_) CertFreeCertificateContext(AddTo(store_.get(), c.get()));
  std::vector<UniqueContext> listed = Enumerate(store_.get());
  ASSERT_EQ(listed.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Der(listed[i].get()), Der(certs_[i].get()));
    EXPECT_NE(listed[i].get(), certs_[i].get());
    EXPECT_EQ(listed[i]->hCertStore, store_.get());
  }
  // The store's copy does not follow later changes of the caller's context.
  SetBlobProperty(certs_[0].get(), CERT_FRIENDLY_NAME_PROP_ID, {'x', 0});
  EXPECT_FALSE(HasProperty(listed[0].get(), CERT_FRIENDLY_NAME_PROP_ID));
}

TEST_F(MemoryStoreTest, AddDispositions) {
  PCCERT_CONTEXT a = certs_[0].get();
  SetBlobProperty(a, CERT_FRIENDLY_NAME_PROP_ID, {'o', 0, 'l', 0, 'd', 0, 0, 0});
  UniqueContext first(AddTo(store_.get(), a));
  CertFreeCertificateContext(AddTo(store_.get(), certs_[1].get()));

  PCCERT_CONTEXT out = reinterpret_cast<PCCERT_CONTEXT>(1);
  EXPECT_FALSE(CertAddCertificateContextToStore(store_.get(), a, CERT_STORE_ADD_NEW, &out));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_EXISTS));
  EXPECT_EQ(out, nullptr);

  // USE_EXISTING: the one there is handed back; the newcomer only adds
  // properties the kept one lacks.
  UniqueContext again(
      CertCreateCertificateContext(X509_ASN_ENCODING, a->pbCertEncoded, a->cbCertEncoded));
  SetBlobProperty(again.get(), CERT_FRIENDLY_NAME_PROP_ID, {'n', 0, 0, 0});
  SetBlobProperty(again.get(), kUnknownPropId, {7, 7});
  UniqueContext kept(AddTo(store_.get(), again.get(), CERT_STORE_ADD_USE_EXISTING));
  EXPECT_EQ(kept.get(), first.get());
  EXPECT_EQ(Property(kept.get(), CERT_FRIENDLY_NAME_PROP_ID),
            Bytes({'o', 0, 'l', 0, 'd', 0, 0, 0}));
  EXPECT_EQ(Property(kept.get(), kUnknownPropId), Bytes({7, 7}));
  EXPECT_EQ(Enumerate(store_.get()).size(), 2u);

  // REPLACE_EXISTING: a new context with the newcomer's properties, in the
  // old one's place; the old one stays valid for whoever holds it.
  UniqueContext fresh(
      CertCreateCertificateContext(X509_ASN_ENCODING, a->pbCertEncoded, a->cbCertEncoded));
  UniqueContext replaced(AddTo(store_.get(), fresh.get(), CERT_STORE_ADD_REPLACE_EXISTING));
  EXPECT_NE(replaced.get(), first.get());
  EXPECT_FALSE(HasProperty(replaced.get(), CERT_FRIENDLY_NAME_PROP_ID));
  std::vector<UniqueContext> listed = Enumerate(store_.get());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].get(), replaced.get());
  EXPECT_EQ(Der(first.get()), Der(a));

  CertFreeCertificateContext(AddTo(store_.get(), a, CERT_STORE_ADD_ALWAYS));
  EXPECT_EQ(Enumerate(store_.get()).size(), 3u);

  EXPECT_FALSE(CertAddCertificateContextToStore(store_.get(), a, 0, nullptr));
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
  EXPECT_FALSE(CertAddCertificateContextToStore(store_.get(), a, 5, nullptr));
  EXPECT_FALSE(
      CertAddCertificateContextToStore(store_.get(), nullptr, CERT_STORE_ADD_NEW, nullptr));
}

TEST_F(MemoryStoreTest, AddEncoded) {
  PCCERT_CONTEXT stored = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING,
                                               certs_[0]->pbCertEncoded, certs_[0]->cbCertEncoded,
                                               CERT_STORE_ADD_NEW, &stored));
  UniqueContext hold(stored);
  EXPECT_EQ(stored->hCertStore, store_.get());
  BYTE junk[] = {0x30, 0x03, 1, 2, 3};
  EXPECT_FALSE(CertAddEncodedCertificateToStore(store_.get(), X509_ASN_ENCODING, junk, sizeof junk,
                                                CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_ASN1_BADTAG));
  EXPECT_EQ(Enumerate(store_.get()).size(), 1u);
}

TEST_F(MemoryStoreTest, ReadOnlyStoreRefusesChanges) {
  UniqueStore readOnly = OpenMemory(CERT_STORE_READONLY_FLAG);
  ASSERT_TRUE(readOnly);
  EXPECT_FALSE(CertAddCertificateContextToStore(readOnly.get(), certs_[0].get(),
                                                CERT_STORE_ADD_ALWAYS, nullptr));
  EXPECT_EQ(GetLastError(), Hr(E_ACCESSDENIED));
  EXPECT_TRUE(Enumerate(readOnly.get()).empty());
}

TEST_F(MemoryStoreTest, DeleteWhileEnumeratingContinuesWithTheNext) {
  for (const UniqueContext& c : certs_) CertFreeCertificateContext(AddTo(store_.get(), c.get()));
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(store_.get(), nullptr);
  ASSERT_NE(c, nullptr);
  UniqueContext held(CertDuplicateCertificateContext(c));
  ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(c)));
  // The deleted context still works for its holder and as a position.
  EXPECT_EQ(Der(held.get()), Der(certs_[0].get()));
  c = CertEnumCertificatesInStore(store_.get(), c);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Der(c), Der(certs_[1].get()));
  CertFreeCertificateContext(c);

  std::vector<Bytes> left = Ders(store_.get());
  EXPECT_EQ(left, (std::vector<Bytes>{Der(certs_[1].get()), Der(certs_[2].get())}));
  // Deleting it twice is harmless; a context from no store is refused.
  EXPECT_TRUE(CertDeleteCertificateFromStore(held.release()));
  EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(certs_[0].get())));
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
  EXPECT_EQ(Ders(store_.get()).size(), 2u);
}

TEST_F(MemoryStoreTest, EnumerationEndsAndRejectsForeignContexts) {
  EXPECT_EQ(CertEnumCertificatesInStore(store_.get(), nullptr), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NOT_FOUND));
  CertFreeCertificateContext(AddTo(store_.get(), certs_[0].get()));
  UniqueStore other = OpenMemory();
  PCCERT_CONTEXT foreign = AddTo(other.get(), certs_[1].get());
  EXPECT_EQ(CertEnumCertificatesInStore(store_.get(), foreign), nullptr);  // frees foreign
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
  EXPECT_EQ(Ders(other.get()).size(), 1u);
}

// A closed store lives on for the contexts it handed out (ASan checks the
// accesses after the close).
TEST_F(MemoryStoreTest, ContextOutlivesClosedStore) {
  HCERTSTORE store = store_.release();
  HCERTSTORE second = CertDuplicateStore(store);
  EXPECT_EQ(second, store);
  UniqueContext held(AddTo(store, certs_[0].get()));
  CertFreeCertificateContext(AddTo(store, certs_[1].get()));
  EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));  // one handle left
  EXPECT_EQ(Ders(second).size(), 2u);

  EXPECT_FALSE(CertCloseStore(second, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), 0x8009200Fu);  // CRYPT_E_PENDING_CLOSE: a context is still out
  EXPECT_FALSE(CertCloseStore(second, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(held->hCertStore, store);
  EXPECT_EQ(Der(held.get()), Der(certs_[0].get()));
  SetBlobProperty(held.get(), CERT_FRIENDLY_NAME_PROP_ID, {'a', 0, 0, 0});
  EXPECT_EQ(Sha1(held.get()).size(), 20u);
  EXPECT_TRUE(CertDeleteCertificateFromStore(held.release()));
}

TEST_F(MemoryStoreTest, ClosingWithNothingOutstandingPassesTheCheck) {
  CertFreeCertificateContext(AddTo(store_.get(), certs_[0].get()));
  EXPECT_TRUE(CertCloseStore(store_.release(), CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_TRUE(CertCloseStore(nullptr, 0));
}

TEST(CertStoreOpenTest, Providers) {
  int message = 0;  // not a message handle
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, 0, 0, 0, &message), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CertOpenStore(reinterpret_cast<LPCSTR>(77), 0, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// --- Finding ---------------------------------------------------------------

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OpenMemory();
    // Same serial under two issuers, and one without a key identifier.
    alice_ = MakeCert(1, "Alice");
    bob_ = MakeCert(1, "Bob");
    carol_ = MakeCert(2, "Carol", false);
    for (PCCERT_CONTEXT c : {alice_.get(), bob_.get(), carol_.get()})
      CertFreeCertificateContext(AddTo(store_.get(), c));
  }
  PCCERT_CONTEXT Find(DWORD type, const void* para, PCCERT_CONTEXT prev = nullptr) {
    return CertFindCertificateInStore(store_.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                      type, para, prev);
  }
  Bytes Found(DWORD type, const void* para) {
    UniqueContext c(Find(type, para));
    return c ? Der(c.get()) : Bytes();
  }
  UniqueStore store_;
  UniqueContext alice_, bob_, carol_;
};

TEST_F(FindTest, ByIssuerAndSerial) {
  CERT_ID id{};
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber.Issuer = bob_->pCertInfo->Issuer;
  id.IssuerSerialNumber.SerialNumber = bob_->pCertInfo->SerialNumber;
  EXPECT_EQ(Found(CERT_FIND_CERT_ID, &id), Der(bob_.get()));

  // A sign-extension byte at the top does not change the number.
  BYTE padded[] = {0x01, 0x00};
  id.IssuerSerialNumber.SerialNumber = CRYPT_INTEGER_BLOB{2, padded};
  EXPECT_EQ(Found(CERT_FIND_CERT_ID, &id), Der(bob_.get()));
  BYTE other[] = {0x01, 0x01};
  id.IssuerSerialNumber.SerialNumber = CRYPT_INTEGER_BLOB{2, other};
  EXPECT_EQ(Find(CERT_FIND_CERT_ID, &id), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NOT_FOUND));

  CERT_INFO subject{};
  subject.Issuer = carol_->pCertInfo->Issuer;
  subject.SerialNumber = carol_->pCertInfo->SerialNumber;
  UniqueContext got(CertGetSubjectCertificateFromStore(store_.get(), X509_ASN_ENCODING, &subject));
  ASSERT_TRUE(got);
  EXPECT_EQ(Der(got.get()), Der(carol_.get()));
  subject.Issuer = alice_->pCertInfo->Issuer;  // Alice's issuer with Carol's serial
  EXPECT_EQ(CertGetSubjectCertificateFromStore(store_.get(), X509_ASN_ENCODING, &subject), nullptr);
  EXPECT_EQ(GetLastError(), Hr(CRYPT_E_NOT_FOUND));
}

TEST_F(FindTest, ByKeyIdentifierAndHash) {
  CERT_ID id{};
  id.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
  Bytes aliceKeyId = Property(alice_.get(), CERT_KEY_IDENTIFIER_PROP_ID);
  id.KeyId = CRYPT_HASH_BLOB{static_cast<DWORD>(aliceKeyId.size()), aliceKeyId.data()};
  EXPECT_EQ(Found(CERT_FIND_CERT_ID, &id), Der(alice_.get()));
  // Without the extension the identifier is the hash of the public key.
  Bytes carolKeyId = Property(carol_.get(), CERT_KEY_IDENTIFIER_PROP_ID);
  id.KeyId = CRYPT_HASH_BLOB{static_cast<DWORD>(carolKeyId.size()), carolKeyId.data()};
  EXPECT_EQ(Found(CERT_FIND_CERT_ID, &id), Der(carol_.get()));

  Bytes bobHash = Sha1(bob_.get());
  id.dwIdChoice = CERT_ID_SHA1_HASH;
  id.HashId = CRYPT_HASH_BLOB{20, bobHash.data()};
  EXPECT_EQ(Found(CERT_FIND_CERT_ID, &id), Der(bob_.get()));
  CRYPT_HASH_BLOB hash{20, bobHash.data()};
  EXPECT_EQ(Found(CERT_FIND_SHA1_HASH, &hash), Der(bob_.get()));
  hash.cbData = 19;
  EXPECT_EQ(Find(CERT_FIND_SHA1_HASH, &hash), nullptr);
}

TEST_F(FindTest, ContinuesFromThePreviousMatch) {
  std::vector<Bytes> all;
  PCCERT_CONTEXT c = nullptr;
  while ((c = Find(CERT_FIND_ANY, nullptr, c)) != nullptr) all.push_back(Der(c));
  EXPECT_EQ(all, (std::vector<Bytes>{Der(alice_.get()), Der(bob_.get()), Der(carol_.get())}));

  CERT_INFO serialOne{};
  serialOne.Issuer = alice_->pCertInfo->Issuer;
  serialOne.SerialNumber = alice_->pCertInfo->SerialNumber;
  c = Find(CERT_FIND_SUBJECT_CERT, &serialOne);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Find(CERT_FIND_SUBJECT_CERT, &serialOne, c), nullptr);  // frees c

  EXPECT_EQ(Find(0x00070007, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
  EXPECT_EQ(Find(CERT_FIND_CERT_ID, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), Hr(E_INVALIDARG));
}

// --- Serialized elements ----------------------------------------------------

Bytes Serialize(PCCERT_CONTEXT c) {
  DWORD size = 0;
  EXPECT_TRUE(CertSerializeCertificateStoreElement(c, 0, nullptr, &size));
  Bytes out(size);
  EXPECT_TRUE(CertSerializeCertificateStoreElement(c, 0, out.data(), &size));
  out.resize(size);
  return out;
}

void Put32(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
DWORD Get32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<DWORD>(b[at + 3]) << 24;
}
void Record(Bytes& out, DWORD id, const Bytes& value) {
  Put32(out, id);
  Put32(out, 1);
  Put32(out, static_cast<DWORD>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

// The value of the first record with that id, or nullopt.
std::optional<Bytes> RecordValue(const Bytes& element, DWORD id) {
  for (std::size_t at = 0; at + 12 <= element.size();) {
    DWORD size = Get32(element, at + 8);
    if (Get32(element, at) == id)
      return Bytes(element.begin() + at + 12, element.begin() + at + 12 + size);
    at += 12 + size;
  }
  return std::nullopt;
}

TEST(SerializedElementTest, RoundTripKeepsEveryProperty) {
  UniqueContext c = MakeCert(9);
  BYTE param[] = {1, 2, 3};
  CRYPT_KEY_PROV_PARAM params[] = {{7, param, sizeof param, 0x10}};
  std::u16string container = u"container-\u4e2d", provider = u"Some Provider";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 1, 0x20, 1, params, 2};
  ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  SetBlobProperty(c.get(), CERT_FRIENDLY_NAME_PROP_ID, {'f', 0, 0, 0});
  SetBlobProperty(c.get(), kUnknownPropId, {0xAA, 0xBB, 0xCC});
  SetBlobProperty(c.get(), 92, {});

  Bytes element = Serialize(c.get());
  // The certificate comes last, as CryptoAPI writes it.
  std::size_t derAt = element.size() - c->cbCertEncoded;
  EXPECT_EQ(Bytes(element.begin() + derAt, element.end()), Der(c.get()));
  EXPECT_EQ(Get32(element, derAt - 12), CERT_CERT_PROP_ID);
  EXPECT_EQ(Get32(element, derAt - 8), 1u);

  UniqueContext back(
      CertDeserializeCertificateStoreElement(element.data(), static_cast<DWORD>(element.size())));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->hCertStore, nullptr);
  EXPECT_EQ(Der(back.get()), Der(c.get()));
  EXPECT_EQ(KeyProvInfo(back.get()), KeyProvInfo(c.get()));
  EXPECT_EQ(Property(back.get(), kUnknownPropId), Bytes({0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(Property(back.get(), CERT_FRIENDLY_NAME_PROP_ID), Bytes({'f', 0, 0, 0}));
  EXPECT_TRUE(HasProperty(back.get(), 92));
  EXPECT_EQ(Serialize(back.get()), element);

  DWORD small = 4;
  Bytes buffer(4);
  EXPECT_FALSE(CertSerializeCertificateStoreElement(c.get(), 0, buffer.data(), &small));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(small, element.size());
}

// The key-provider value is self-relative with 32-bit fields, whatever the
// pointer size of the process that wrote it.
TEST(SerializedElementTest, KeyProviderLayout) {
  UniqueContext c = MakeCert(9);
  std::u16string container = u"ctr", provider = u"prov";
  CRYPT_KEY_PROV_INFO info{container.data(), provider.data(), 24, 0, 0, nullptr, 1};
  ASSERT_TRUE(CertSetCertificateContextProperty(c.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  std::optional<Bytes> value = RecordValue(Serialize(c.get()), CERT_KEY_PROV_INFO_PROP_ID);
  ASSERT_TRUE(value);
  ASSERT_GE(value->size(), 28u);
  auto text = [&](DWORD at) {
    std::u16string s;
    for (; at + 1 < value->size() && ((*value)[at] | (*value)[at + 1]); at += 2)
      s.push_back(static_cast<char16_t>((*value)[at] | (*value)[at + 1] << 8));
    return s;
  };
  EXPECT_EQ(text(Get32(*value, 0)), u"ctr");
  EXPECT_EQ(text(Get32(*value, 4)), u"prov");
  EXPECT_EQ(Get32(*value, 8), 24u);
  EXPECT_EQ(Get32(*value, 16), 0u);
  EXPECT_EQ(Get32(*value, 20), 0u);
  EXPECT_EQ(Get32(*value, 24), 1u);
}

TEST(SerializedElementTest, RejectsMalformedElements) {
  UniqueContext c = MakeCert(9);
  Bytes der = Der(c.get());
  Bytes good;
  Record(good, 3, Bytes(20, 1));
  Record(good, CERT_CERT_PROP_ID, der);
  UniqueContext ok(
      CertDeserializeCertificateStoreElement(good.data(), static_cast<DWORD>(good.size())));
  ASSERT_TRUE(ok);
  EXPECT_EQ(Property(ok.get(), 3), Bytes(20, 1));  // a stored hash is taken as it is

  std::vector<Bytes> bad;
  bad.push_back(Bytes(good.begin(), good.end() - 1));     // value cut short
  bad.push_back(Bytes(good.begin(), good.begin() + 30));  // header cut short
  bad.push_back([] {
    Bytes b;
    Record(b, 3, Bytes(20, 1));
    return b;
  }());  // no certificate
  bad.push_back([&] {
    Bytes b = good;
    Record(b, CERT_CERT_PROP_ID, der);
    return b;
  }());
  bad.push_back([&] {
    Bytes b;
    Record(b, 0, {1});
    Record(b, 32, der);
    return b;
  }());
  bad.push_back([&] {  // key-provider name offset past the end
    Bytes prov;
    for (DWORD v : {500u, 0u, 1u, 0u, 0u, 0u, 1u}) Put32(prov, v);
    Bytes b;
    Record(b, CERT_KEY_PROV_INFO_PROP_ID, prov);
    Record(b, 32, der);
    return b;
  }());
  bad.push_back([&] {  // parameters that do not fit
    Bytes prov;
    for (DWORD v : {0u, 0u, 1u, 0u, 1000u, 28u, 1u}) Put32(prov, v);
    Bytes b;
    Record(b, CERT_KEY_PROV_INFO_PROP_ID, prov);
    Record(b, 32, der);
    return b;
  }());
  for (std::size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(
        CertDeserializeCertificateStoreElement(bad[i].data(), static_cast<DWORD>(bad[i].size())),
        nullptr);
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_BAD_ENCODE));
  }
}

}  // namespace
