// install-ca: runs the plug-in module's own NP_Install and tells what it did
// to the machine's ROOT and CA stores. The installer reports nothing itself
// (its failures are only traced), so the stores are compared before and
// after, and the result is judged against the chain this tool was built with.
#include <dlfcn.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "Commands.h"
#include "platform/LastError.h"
#include "platform/Resources.h"
#include "platform/StateFolders.h"
#include "platform/WideString.h"
#include "resources/ModuleResources.h"

namespace certcli {

namespace {

constexpr UINT kCaChainResource = 104;
constexpr char kModuleName[] = "npSigil.TEAL.x86.so";

// Thumbprint (upper-case hex) -> subject, ordered by thumbprint.
using StoreContents = std::map<std::string, std::string>;

struct ExpectedChain {
  StoreContents roots;          // for ROOT
  StoreContents intermediates;  // for CA
};

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};

std::filesystem::path DefaultModulePath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path().parent_path() / "plugins" / kModuleName;
}

xmlNode* Child(xmlNode* parent, const char* name) {
  for (xmlNode* node = parent ? parent->children : nullptr; node != nullptr; node = node->next)
    if (node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0) return node;
  return nullptr;
}

std::string TextOf(xmlNode* node) {
  xmlChar* content = node ? xmlNodeGetContent(node) : nullptr;
  std::string text = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

std::optional<Bytes> DecodeBase64(const std::string& text) {
  std::string compact;
  for (char c : text)
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact += c;
  if (compact.size() % 4 != 0) return std::nullopt;
  Bytes bytes(compact.size() / 4 * 3 + 1);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const BYTE*>(compact.data()),
                                     static_cast<int>(compact.size()));
  if (length < 0) return std::nullopt;
  std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t i = compact.size(); i > 0 && compact[i - 1] == '=' && size > 0; --i) --size;
  bytes.resize(size);
  return bytes;
}

// What the chain resource compiled into this tool installs: the roots it
// writes under ROOT and the certificates of its bundle that are not
// self-signed, which go to CA. The module was built from the same resource.
std::optional<ExpectedChain> ReadExpectedChain() {
  const HMODULE module = GetSigilModuleHandle();
  const HRSRC resource = FindResourceW(module, kCaChainResource, u"CERTIFICATE");
  const void* data = resource ? LockResource(LoadResource(module, resource)) : nullptr;
  if (data == nullptr) {
    Error("this build carries no CA chain resource");
    return std::nullopt;
  }
  std::unique_ptr<xmlDoc, XmlDocFree> doc(xmlReadMemory(
      static_cast<const char*>(data), static_cast<int>(SizeofResource(module, resource)),
      "ca-chain.xml", nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR));
  xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  xmlNode* roots = Child(root, "RootCACertificate");
  const auto bundle = DecodeBase64(TextOf(Child(root, "P7bContent")));
  if (roots == nullptr || !bundle) {
    Error("the CA chain resource does not read");
    return std::nullopt;
  }
  ExpectedChain chain;
  for (xmlNode* node = roots->children; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    const auto blob = DecodeBase64(TextOf(Child(node, "Content")));
    CertContextPtr context(blob ? CertDeserializeCertificateStoreElement(
                                      blob->data(), static_cast<DWORD>(blob->size()))
                                : nullptr);
    if (!context) {
      Error("a root of the CA chain resource does not decode");
      return std::nullopt;
    }
    chain.roots[Hex(Thumbprint(context.get()))] = NameText(context->pCertInfo->Subject);
  }

  const unsigned char* p = bundle->data();
  std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bundle->size())));
  STACK_OF(X509)* certs =
      p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign != nullptr ? p7->d.sign->cert : nullptr;
  if (certs == nullptr) {
    Error("the CA chain resource holds no certificate bundle");
    return std::nullopt;
  }
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    const Bytes der = DerOf(sk_X509_value(certs, i));
    CertContextPtr context(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                        static_cast<DWORD>(der.size())));
    if (!context) {
      Error("a certificate of the CA chain bundle does not decode");
      return std::nullopt;
    }
    const CERT_INFO& info = *context->pCertInfo;
    const bool bSelfSigned =
        info.Issuer.cbData == info.Subject.cbData &&
        std::equal(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData,
                   info.Issuer.pbData);
    if (!bSelfSigned) chain.intermediates[Hex(Thumbprint(context.get()))] = NameText(info.Subject);
  }
  return chain;
}

std::optional<StoreContents> ReadMachineStore(const std::string& name) {
  const std::u16string wideName = FromUtf8(name);
  CertStorePtr store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                    CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, wideName.c_str()));
  StoreContents contents;
  if (!store) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return contents;
    ErrorCode("cannot read machine store " + name, LastFailure());
    return std::nullopt;
  }
  for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(store.get(), nullptr); pCert != nullptr;
       pCert = CertEnumCertificatesInStore(store.get(), pCert))
    contents[Hex(Thumbprint(pCert))] = NameText(pCert->pCertInfo->Subject);
  return contents;
}

void ReportChanges(const std::string& name, const StoreContents& before,
                   const StoreContents& after) {
  int nAdded = 0, nRemoved = 0, nUnchanged = 0;
  for (const auto& [thumbprint, subject] : before) {
    if (after.count(thumbprint) != 0) {
      ++nUnchanged;
      continue;
    }
    std::printf("removed from %s: %s %s\n", name.c_str(), thumbprint.c_str(), subject.c_str());
    ++nRemoved;
  }
  for (const auto& [thumbprint, subject] : after) {
    if (before.count(thumbprint) != 0) continue;
    std::printf("added to %s: %s %s\n", name.c_str(), thumbprint.c_str(), subject.c_str());
    ++nAdded;
  }
  std::printf("%s: %d added, %d removed, %d unchanged\n", name.c_str(), nAdded, nRemoved,
              nUnchanged);
}

// Prints each certificate of `wanted` that `store` lacks; true when none is
// missing.
bool AllPresent(const std::string& name, const StoreContents& wanted, const StoreContents& store) {
  bool bAll = true;
  for (const auto& [thumbprint, subject] : wanted)
    if (store.count(thumbprint) == 0) {
      Error("not in machine store " + name + ": " + thumbprint + " " + subject);
      bAll = false;
    }
  return bAll;
}

// The likeliest reason the installer's writes did not land.
std::string WhyNotInstalled() {
  const char* machineRoot = std::getenv("NPSIGIL_MACHINE_ROOT");
  const bool bRootSet = machineRoot != nullptr && *machineRoot != '\0';
  if (::geteuid() != 0 && !bRootSet)
    return "access denied: the machine stores under " + MachineStateRoot().string() +
           " are written as root (or set NPSIGIL_MACHINE_ROOT to a folder of your own)";
  std::filesystem::path folder = MachineStateRoot();
  std::error_code ec;
  while (!folder.empty() && !std::filesystem::exists(folder, ec) && folder != folder.parent_path())
    folder = folder.parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
    return folder.string() + " is not a folder, so the machine stores cannot be written";
  if (!folder.empty() && ::access(folder.c_str(), W_OK) != 0)
    return "access denied: " + folder.string() + " is not writable";
  return "the installer traces why; run with NPSIGIL_TRACE=\"flags=0xF,level=5\" to see it";
}

}  // namespace

int RunInstallCa(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {"--module"}});
  if (!parsed) return kExitUsage;
  if (!parsed->positional.empty()) {
    Error("install-ca takes no arguments besides --module PATH");
    return kExitUsage;
  }
  const std::filesystem::path modulePath = parsed->Value("--module")
                                               ? std::filesystem::path(*parsed->Value("--module"))
                                               : DefaultModulePath();
  const auto chain = ReadExpectedChain();
  if (!chain) return kExitFailure;

  const auto rootBefore = ReadMachineStore("ROOT");
  const auto caBefore = ReadMachineStore("CA");
  if (!rootBefore || !caBefore) return kExitFailure;

  // RTLD_LOCAL: the module's copies of the platform layer stay its own.
  void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = ::dlerror();
    Error("cannot load " + modulePath.string() + ": " + (why ? why : "unknown error"));
    return kExitFailure;
  }
  using InstallFunction = void (*)();
  auto install = reinterpret_cast<InstallFunction>(::dlsym(module, "NP_Install"));
  if (install == nullptr) {
    Error(modulePath.string() + " exports no NP_Install");
    ::dlclose(module);
    return kExitFailure;
  }
  std::printf("running NP_Install of %s\n", modulePath.c_str());
  install();
  ::dlclose(module);

  const auto rootAfter = ReadMachineStore("ROOT");
  const auto caAfter = ReadMachineStore("CA");
  if (!rootAfter || !caAfter) return kExitFailure;
  ReportChanges("ROOT", *rootBefore, *rootAfter);
  ReportChanges("CA", *caBefore, *caAfter);

  const bool bRoots = AllPresent("ROOT", chain->roots, *rootAfter);
  const bool bIntermediates = AllPresent("CA", chain->intermediates, *caAfter);
  if (!bRoots || !bIntermediates) {
    Error("the CA chain is not installed: " + WhyNotInstalled());
    return kExitFailure;
  }
  std::printf("CA chain installed: %zu roots in ROOT, %zu intermediate CAs in CA\n",
              chain->roots.size(), chain->intermediates.size());
  return kExitOk;
}

}  // namespace certcli
