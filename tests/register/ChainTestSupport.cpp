#include "register/ChainTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/store/CertStore.h"
#include "platform/fs/StateFolders.h"
#include "register/CertificateChainOperate.h"

namespace chaintest {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
using UniqueContext = std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)>;

UniqueContext ContextOf(const Identity& id) {
  const Bytes der = id.CertDer();
  return UniqueContext(
      CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())),
      CertFreeCertificateContext);
}

std::string ThumbprintOf(PCCERT_CONTEXT context) {
  BYTE hash[20];
  DWORD size = sizeof hash;
  EXPECT_TRUE(CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &size));
  std::string text;
  for (DWORD i = 0; i < size; ++i)
    text += {"0123456789ABCDEF"[hash[i] >> 4], "0123456789ABCDEF"[hash[i] & 15]};
  return text;
}

HCERTSTORE OpenMachine(const char16_t* name, DWORD flags) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | flags, name);
}

}  // namespace

Identity MakeSm2(const std::string& subject, const std::string& serialHex, const Identity* issuer) {
  auto id = testpki::MakeSm2Identity({.subject = subject,
                                      .serialHex = serialHex,
                                      .keyUsage = 0x06u,
                                      .subjectKeyId = true,
                                      .isCa = true},
                                     issuer);
  EXPECT_TRUE(id.has_value()) << subject;
  return id ? std::move(*id) : Identity();
}

TestChain MakeTestChain() {
  TestChain chain;
  auto rsaRoot = testpki::MakeRsaIdentity({.subject = "C=CN,O=Sigil Chain RSA Root",
                                           .serialHex = "0C01",
                                           .keyUsage = 0x06u,
                                           .subjectKeyId = true,
                                           .isCa = true},
                                          nullptr);
  if (rsaRoot) chain.rsaRoot = std::move(*rsaRoot);
  chain.sm2Root = MakeSm2("C=CN,O=Sigil Chain SM2 Root", "0C02");
  // Issuer names longer and shorter than the subject's: the self-issued
  // test compares names of unequal length both ways.
  chain.rsaIntermediate =
      MakeSm2("C=CN,O=Sigil Chain RSA Root,CN=Sigil Operation CA", "0C11", &chain.rsaRoot);
  chain.sm2Intermediate = MakeSm2("C=CN,O=Sigil EV", "0C12", &chain.sm2Root);
  return chain;
}

std::string Thumbprint(const Identity& id) { return ThumbprintOf(ContextOf(id).get()); }

Bytes SerializedBlob(const Identity& id) {
  UniqueContext context = ContextOf(id);
  DWORD size = 0;
  EXPECT_TRUE(CertSerializeCertificateStoreElement(context.get(), 0, nullptr, &size));
  Bytes blob(size);
  EXPECT_TRUE(CertSerializeCertificateStoreElement(context.get(), 0, blob.data(), &size));
  blob.resize(size);
  return blob;
}

std::string Base64Lines(const Bytes& bytes) {
  const std::string line = testpki::Base64Encode(bytes);
  std::string text;
  for (std::size_t i = 0; i < line.size(); i += 64) text += "\r\n    " + line.substr(i, 64);
  return text + "\r\n  ";
}

std::string CertificateElement(const Identity& root) {
  return "<Certificate SerialNum=\"0c\" SubjectDN=\"O = x,C = CN\">\n  <ImportPath>"
         "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates</ImportPath>\n"
         "  <EntryPoint>" +
         Thumbprint(root) + "</EntryPoint>\n  <Content>" + Base64Lines(SerializedBlob(root)) +
         "</Content>\n</Certificate>\n";
}

std::string RootCaElement(const std::vector<std::string>& certificateElements) {
  std::string text = "<RootCACertificate>\n";
  for (const std::string& element : certificateElements) text += element;
  return text + "</RootCACertificate>\n";
}

std::string P7bElement(const std::vector<const Identity*>& certs) {
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(PKCS7_new(), PKCS7_free);
  EXPECT_EQ(PKCS7_set_type(p7.get(), NID_pkcs7_signed), 1);
  EXPECT_EQ(PKCS7_content_new(p7.get(), NID_pkcs7_data), 1);
  for (const Identity* id : certs) EXPECT_EQ(PKCS7_add_certificate(p7.get(), id->cert()), 1);
  unsigned char* der = nullptr;
  const int size = i2d_PKCS7(p7.get(), &der);
  const Bytes bytes(der, der + std::max(size, 0));
  OPENSSL_free(der);
  return "<P7bContent>" + Base64Lines(bytes) + "</P7bContent>\n";
}

std::string ChainXml(const std::string& rootChildren) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Sigil CA chain -->\n"
         "<!-- roots and intermediates -->\n<root>\n" +
         rootChildren + "</root>\n";
}

std::string FullChainXml(const TestChain& chain) {
  return ChainXml(
      RootCaElement({CertificateElement(chain.rsaRoot), CertificateElement(chain.sm2Root)}) +
      P7bElement({&chain.rsaRoot, &chain.rsaIntermediate, &chain.sm2Root, &chain.sm2Intermediate}));
}

HRESULT Import(const std::string& xml) {
  return ImportCertificateChainfromBlobData(reinterpret_cast<const BYTE*>(xml.data()),
                                            static_cast<DWORD>(xml.size()));
}

std::set<std::string> MachineStore(const char16_t* name) {
  std::set<std::string> thumbprints;
  HCERTSTORE store = OpenMachine(name, CERT_STORE_READONLY_FLAG);
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;)
    thumbprints.insert(ThumbprintOf(c));
  CertCloseStore(store, 0);
  return thumbprints;
}

void PlantInMachineCa(const Identity& id) {
  HCERTSTORE store = OpenMachine(u"CA", 0);
  EXPECT_TRUE(
      CertAddCertificateContextToStore(store, ContextOf(id).get(), CERT_STORE_ADD_NEW, nullptr));
  CertCloseStore(store, 0);
}

std::map<std::string, std::string> MachineHiveSnapshot() {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> entries;
  const fs::path hive = MachineStateRoot() / "registry";
  std::error_code ec;
  for (fs::recursive_directory_iterator it(hive, ec), end; !ec && it != end; it.increment(ec)) {
    std::ostringstream bytes;
    if (!it->is_directory()) bytes << std::ifstream(it->path(), std::ios::binary).rdbuf();
    entries[fs::relative(it->path(), hive).string() + (it->is_directory() ? "/" : "")] =
        bytes.str();
  }
  return entries;
}

}  // namespace chaintest
