// install-ca: runs the plug-in module's own NP_Install and tells what it did
// to the machine's ROOT and CA stores. The installer reports nothing itself
// (its failures are only traced), so the stores are compared before and
// after, and the result is judged against the chain this tool was built with.
#include <dlfcn.h>
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
#include "platform/base/LastError.h"
#include "platform/base/Resources.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"
#include "register/CertificateChainOperate.h"
#include "resources/ModuleResources.h"
#include "smengine/common/Base64.h"
#include "smengine/common/TextUtility.h"

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

std::filesystem::path DefaultModulePath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  // A build tree keeps the module in plugins/ beside tools/; an installed
  // tool in <prefix>/bin finds it in <prefix>/lib/npsigil.
  const std::filesystem::path prefix = self.parent_path().parent_path();
  for (const auto& candidate : {prefix / "plugins" / kModuleName,
                                prefix / "lib" / "npsigil" / kModuleName})
    if (std::filesystem::exists(candidate, ec)) return candidate;
  return prefix / "plugins" / kModuleName;
}

// The Base64 text of the named child of `parent`, decoded.
std::optional<Bytes> DecodedChild(const XmlNode& parent, LPCWSTR name) {
  XmlNode child;
  if (FindChildNode(child, parent, name) != S_OK) return std::nullopt;
  const std::string text = ToUtf8(child.Text());
  BYTE* pbyData = nullptr;
  int nDataLength = 0;
  if (FAILED(Base64DecodeEx(static_cast<int>(text.size()), text.c_str(), &pbyData, &nDataLength)))
    return std::nullopt;
  std::unique_ptr<BYTE[]> data(pbyData);
  return Bytes(data.get(), data.get() + nDataLength);
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
  XmlDocument document;
  XmlNode root, roots;
  std::optional<Bytes> bundle;
  if (FAILED(
          LoadXMLDom(static_cast<const BYTE*>(data), SizeofResource(module, resource), document)) ||
      GetXMLRootNode(document, root) != S_OK ||
      FindChildNode(roots, root, u"RootCACertificate") != S_OK ||
      !(bundle = DecodedChild(root, u"P7bContent"))) {
    Error("the CA chain resource does not read");
    return std::nullopt;
  }
  ExpectedChain chain;
  for (XmlNode node = roots.FirstChild(); node; node = node.NextSibling()) {
    const auto blob = DecodedChild(node, u"Content");
    CertContextPtr context(blob ? CertDeserializeCertificateStoreElement(
                                      blob->data(), static_cast<DWORD>(blob->size()))
                                : nullptr);
    if (!context) {
      Error("a root of the CA chain resource does not decode");
      return std::nullopt;
    }
    chain.roots[Hex(Thumbprint(context.get()))] = NameText(context->pCertInfo->Subject);
  }

  CRYPT_DATA_BLOB bundleBlob{static_cast<DWORD>(bundle->size()), bundle->data()};
  CertStorePtr bundleStore(CertOpenStore(CERT_STORE_PROV_PKCS7,
                                         X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                         CERT_STORE_READONLY_FLAG, &bundleBlob));
  if (!bundleStore) {
    Error("the CA chain resource holds no certificate bundle");
    return std::nullopt;
  }
  for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(bundleStore.get(), nullptr);
       pCert != nullptr; pCert = CertEnumCertificatesInStore(bundleStore.get(), pCert)) {
    const CERT_INFO& info = *pCert->pCertInfo;
    const bool bSelfSigned =
        info.Issuer.cbData == info.Subject.cbData &&
        std::equal(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData,
                   info.Issuer.pbData);
    if (!bSelfSigned) chain.intermediates[Hex(Thumbprint(pCert))] = NameText(info.Subject);
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
