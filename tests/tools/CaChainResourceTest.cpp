// The CA chain resource as the module carries it, read back with libxml2
// and plain OpenSSL and held against the committed certificates it was made
// from; and its generator run again on them.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "platform/store/CertStore.h"
#include "platform/base/Resources.h"
#include "resources/ModuleResources.h"
#include "support/Subprocess.h"
#include "support/TempEnvironment.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const fs::path kData = NPSIGIL_CA_CHAIN_DATA;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// name -> DER of the *.cer files of a folder.
std::map<std::string, Bytes> CertificatesIn(const fs::path& folder) {
  std::map<std::string, Bytes> found;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".cer")
      found[entry.path().filename().string()] = ReadFile(entry.path());
  return found;
}

std::string Sha1Hex(const Bytes& bytes) {
  unsigned char hash[20];
  std::size_t length = 0;
  EVP_Q_digest(nullptr, "SHA1", nullptr, bytes.data(), bytes.size(), hash, &length);
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", hash[i]);
    text += digits;
  }
  return text;
}

Bytes Digest(const char* name, const Bytes& bytes) {
  Bytes out(EVP_MAX_MD_SIZE);
  std::size_t length = 0;
  EVP_Q_digest(nullptr, name, nullptr, bytes.data(), bytes.size(), out.data(), &length);
  out.resize(length);
  return out;
}

Bytes DecodeBase64(const std::string& text) {
  std::string compact;
  std::copy_if(text.begin(), text.end(), std::back_inserter(compact),
               [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
  Bytes out(compact.size() / 4 * 3 + 3);
  const int length =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                      static_cast<int>(compact.size()));
  if (length < 0 || compact.size() % 4 != 0) return {};
  out.resize(
      static_cast<std::size_t>(length) -
      std::count(compact.end() - std::min<std::size_t>(2, compact.size()), compact.end(), '='));
  return out;
}

foundation::Unique<X509, X509_free> Parse(const Bytes& der) {
  const unsigned char* p = der.data();
  return foundation::Unique<X509, X509_free>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}
bool SelfIssued(const Bytes& der) {
  auto cert = Parse(der);
  return cert &&
         X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0;
}

std::string Text(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? reinterpret_cast<char*>(content) : "";
  xmlFree(content);
  return text;
}
std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, BAD_CAST name);
  std::string text = value ? reinterpret_cast<char*>(value) : "";
  xmlFree(value);
  return text;
}
// Child nodes that are not blank text, as the installer's DOM walks them.
std::vector<xmlNode*> Children(xmlNode* parent) {
  std::vector<xmlNode*> nodes;
  for (xmlNode* n = parent->children; n != nullptr; n = n->next)
    if (!xmlIsBlankNode(n)) nodes.push_back(n);
  return nodes;
}
std::vector<std::string> Names(const std::vector<xmlNode*>& nodes) {
  std::vector<std::string> names;
  for (xmlNode* n : nodes)
    names.push_back(n->type == XML_ELEMENT_NODE ? reinterpret_cast<const char*>(n->name)
                                                : "#other");
  return names;
}

class CaChainResource : public ::testing::Test {
 protected:
  void SetUp() override {
    const HMODULE module = GetSigilModuleHandle();
    const HRSRC resource = FindResourceW(module, 104, u"CERTIFICATE");
    ASSERT_NE(resource, nullptr);
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    bytes_.assign(data, data + SizeofResource(module, resource));
    // Strict: no recovery, so a malformed document fails here.
    doc_.reset(xmlReadMemory(bytes_.data(), static_cast<int>(bytes_.size()), "ca-chain.xml",
                             nullptr, XML_PARSE_NONET));
    ASSERT_NE(doc_, nullptr);
    root_ = doc_->last;
    ASSERT_NE(root_, nullptr);
    ASSERT_EQ(root_->type, XML_ELEMENT_NODE);
    const auto parts = Children(root_);
    ASSERT_EQ(Names(parts), (std::vector<std::string>{"RootCACertificate", "P7bContent"}));
    roots_ = parts[0];
    bundle_ = parts[1];
  }

  std::string bytes_;
  foundation::Unique<xmlDoc, xmlFreeDoc> doc_;
  xmlNode* root_ = nullptr;
  xmlNode* roots_ = nullptr;
  xmlNode* bundle_ = nullptr;
};

TEST_F(CaChainResource, DocumentIsDeclaredUtf8WithTwoCommentsBeforeItsRoot) {
  ASSERT_EQ(bytes_.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  std::vector<xmlElementType> top;
  for (xmlNode* n = doc_->children; n != nullptr; n = n->next) top.push_back(n->type);
  EXPECT_EQ(top,
            (std::vector<xmlElementType>{XML_COMMENT_NODE, XML_COMMENT_NODE, XML_ELEMENT_NODE}));
  EXPECT_STREQ(reinterpret_cast<const char*>(root_->name), "root");
}

TEST_F(CaChainResource, EachRootIsWrittenUnderItsThumbprintWithItsBlob) {
  std::map<std::string, std::string> expected;  // thumbprint -> file
  const auto chain = CertificatesIn(kData);
  for (const auto& [name, der] : chain)
    if (SelfIssued(der)) expected[Sha1Hex(der)] = name;
  ASSERT_EQ(expected.size(), 2u);
  const std::map<std::string, std::string> subjects = {
      {"rsa-root.cer", "CN = Sigil Demo RSA Root CA,O = Sigil Demo,C = CN"},
      {"sm2-root.cer", "CN = Sigil Demo SM2 Root CA,O = Sigil Demo,C = CN"}};
  const std::map<std::string, DWORD> keyBits = {{"rsa-root.cer", 2048}, {"sm2-root.cer", 256}};

  std::set<std::string> seen;
  for (xmlNode* entry : Children(roots_)) {
    const auto fields = Children(entry);
    ASSERT_EQ(Names(fields), (std::vector<std::string>{"ImportPath", "EntryPoint", "Content"}));
    EXPECT_EQ(Text(fields[0]), "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates");
    const std::string thumbprint = Text(fields[1]);
    ASSERT_EQ(expected.count(thumbprint), 1u) << thumbprint << " is no root of the data";
    EXPECT_TRUE(seen.insert(thumbprint).second) << thumbprint << " twice";
    const std::string& file = expected[thumbprint];
    const Bytes& der = chain.at(file);
    SCOPED_TRACE(file);
    EXPECT_EQ(Attribute(entry, "SubjectDN"), subjects.at(file));
    EXPECT_EQ(Attribute(entry, "SerialNum"), file == "rsa-root.cer" ? "5d01" : "5d02");

    const std::string content = Text(fields[2]);
    EXPECT_NE(content.find('\n'), std::string::npos) << "Base64 without line breaks";
    const Bytes blob = DecodeBase64(content);
    // Property records: id, 1, length, value; the certificate last.
    std::map<DWORD, Bytes> records;
    std::vector<DWORD> order;
    auto get32 = [&](std::size_t at) {
      return static_cast<DWORD>(blob[at] | blob[at + 1] << 8 | blob[at + 2] << 16 |
                                static_cast<DWORD>(blob[at + 3]) << 24);
    };
    for (std::size_t at = 0; at < blob.size();) {
      ASSERT_LE(at + 12, blob.size());
      const DWORD id = get32(at), one = get32(at + 4), size = get32(at + 8);
      ASSERT_EQ(one, 1u);
      ASSERT_LE(size, blob.size() - at - 12);
      records[id].assign(blob.begin() + at + 12, blob.begin() + at + 12 + size);
      order.push_back(id);
      at += 12 + size;
    }
    EXPECT_EQ(order, (std::vector<DWORD>{3, 4, 15, 20, 25, 92, 32}));
    EXPECT_EQ(records[32], der);
    EXPECT_EQ(records[3], Digest("SHA1", der));
    EXPECT_EQ(records[4], Digest("MD5", der));
    const DWORD bits = keyBits.at(file);
    EXPECT_EQ(records[92], (Bytes{static_cast<unsigned char>(bits),
                                  static_cast<unsigned char>(bits >> 8), 0, 0}));
    // And the store's own reader takes it back to the same certificate.
    PCCERT_CONTEXT context =
        CertDeserializeCertificateStoreElement(blob.data(), static_cast<DWORD>(blob.size()));
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(Bytes(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded), der);
    CertFreeCertificateContext(context);
  }
  EXPECT_EQ(seen.size(), expected.size());
}

TEST_F(CaChainResource, BundleCarriesTheWholeChainIssuersFirstAndNothingObsolete) {
  const Bytes p7der = DecodeBase64(Text(bundle_));
  const unsigned char* p = p7der.data();
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> p7(
      d2i_PKCS7(nullptr, &p, static_cast<long>(p7der.size())), &PKCS7_free);
  ASSERT_NE(p7, nullptr);
  ASSERT_TRUE(PKCS7_type_is_signed(p7.get()));
  EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())), 0);

  std::vector<Bytes> bundled;
  STACK_OF(X509)* certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(sk_X509_value(certs, i), &der);
    bundled.emplace_back(der, der + length);
    OPENSSL_free(der);
  }
  std::set<Bytes> expected;
  for (const auto& [name, der] : CertificatesIn(kData)) expected.insert(der);
  EXPECT_EQ(std::set<Bytes>(bundled.begin(), bundled.end()), expected);
  EXPECT_EQ(bundled.size(), 8u);
  for (std::size_t i = 0; i < bundled.size(); ++i) {
    auto cert = Parse(bundled[i]);
    bool issuerBefore = SelfIssued(bundled[i]);
    for (std::size_t j = 0; j < i && !issuerBefore; ++j)
      issuerBefore = X509_NAME_cmp(X509_get_subject_name(Parse(bundled[j]).get()),
                                   X509_get_issuer_name(cert.get())) == 0;
    EXPECT_TRUE(issuerBefore) << "certificate " << i << " comes before its issuer";
  }

  // The installer opens it as a PKCS #7 store.
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(p7der.size()), const_cast<BYTE*>(p7der.data())};
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                   0, CERT_STORE_READONLY_FLAG, &blob);
  ASSERT_NE(store, nullptr);
  int count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    ++count;
  EXPECT_EQ(count, 8);
  CertCloseStore(store, 0);

  const auto obsolete = CertificatesIn(kData / "obsolete");
  ASSERT_EQ(obsolete.size(), 4u);
  for (const auto& [name, der] : obsolete) {
    EXPECT_EQ(expected.count(der), 0u) << name;
    EXPECT_EQ(bytes_.find(Sha1Hex(der)), std::string::npos) << name;
  }
}

// The generator run again on the committed certificates, in the order the
// build gives them, must give the very bytes the module carries.
TEST_F(CaChainResource, GeneratorGivesTheSameBytesAgainAndRefusesBrokenChains) {
  const fs::path out = testsupport::MakeTempDir("ca-chain");
  std::vector<std::string> argv = {NPSIGIL_CA_CHAIN_TOOL, (out / "a.xml").string(),
                                   (out / "a.cpp").string()};
  for (const auto& [name, der] : CertificatesIn(kData)) argv.push_back((kData / name).string());
  auto result = testsupport::RunProcess(argv);
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const Bytes xml = ReadFile(out / "a.xml");
  EXPECT_EQ(std::string(xml.begin(), xml.end()), bytes_);

  // An operational CA without its intermediate, and a chain without a root.
  result = testsupport::RunProcess({NPSIGIL_CA_CHAIN_TOOL, (out / "b.xml").string(),
                                    (out / "b.cpp").string(), (kData / "rsa-root.cer").string(),
                                    (kData / "rsa-operation-ca.cer").string()});
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("rsa-operation-ca.cer"), std::string::npos) << result.output;
  result = testsupport::RunProcess({NPSIGIL_CA_CHAIN_TOOL, (out / "c.xml").string(),
                                    (out / "c.cpp").string(),
                                    (kData / "sm2-intermediate.cer").string()});
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_FALSE(fs::exists(out / "b.xml") || fs::exists(out / "c.xml"));
}

}  // namespace
