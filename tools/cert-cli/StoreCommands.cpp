// list, import and delete over the system certificate stores.
#include <cstdio>
#include <memory>

#include "CliSupport.h"
#include "Commands.h"
#include "platform/cert/CertDecode.h"
#include "platform/cert/CertNames.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace certcli {

namespace {

constexpr const char* kDefaultStores[] = {"MY", "ADDRESSBOOK", "CA", "ROOT"};

std::string TimeText(const FILETIME& time) {
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(&time, &st)) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth,
                st.wDay, st.wHour, st.wMinute, st.wSecond);
  return text;
}

std::string SerialText(const CRYPT_INTEGER_BLOB& serial) {
  // Kept least significant byte first; people read it the other way round.
  Bytes bytes(serial.pbData, serial.pbData + serial.cbData);
  return Hex(Bytes(bytes.rbegin(), bytes.rend()));
}

std::optional<std::string> KeyProviderText(PCCERT_CONTEXT pCertContext) {
  DWORD cbInfo = 0;
  if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                         &cbInfo) ||
      cbInfo == 0)
    return std::nullopt;
  std::unique_ptr<BYTE[]> pbInfo(new BYTE[cbInfo]);
  if (!CertGetCertificateContextProperty(pCertContext, CERT_KEY_PROV_INFO_PROP_ID, pbInfo.get(),
                                         &cbInfo))
    return std::nullopt;
  const auto* pInfo = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(pbInfo.get());
  const std::string container =
      pInfo->pwszContainerName ? ToUtf8(pInfo->pwszContainerName) : std::string();
  const std::string provider = pInfo->pwszProvName ? ToUtf8(pInfo->pwszProvName) : std::string();
  return "container \"" + container + "\" of \"" + provider + "\" (" +
         KeySpecName(pInfo->dwKeySpec) + ")";
}

void PrintCertificate(PCCERT_CONTEXT pCertContext) {
  const CERT_INFO& info = *pCertContext->pCertInfo;
  std::printf("  Subject:    %s\n", NameText(info.Subject).c_str());
  std::printf("  Issuer:     %s\n", NameText(info.Issuer).c_str());
  std::printf("  Serial:     %s\n", SerialText(info.SerialNumber).c_str());
  std::printf("  Valid:      %s to %s\n", TimeText(info.NotBefore).c_str(),
              TimeText(info.NotAfter).c_str());
  std::printf("  Thumbprint: %s\n", Hex(Thumbprint(pCertContext)).c_str());
  if (const auto key = KeyProviderText(pCertContext))
    std::printf("  Key:        %s\n", key->c_str());
  std::printf("\n");
}

CertStorePtr OpenSystemStore(const std::string& name, DWORD dwFlags) {
  const std::u16string wideName = FromUtf8(name);
  return CertStorePtr(CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                    X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, dwFlags,
                                    wideName.c_str()));
}

CertContextPtr FindByThumbprint(HCERTSTORE hStore, std::span<const BYTE> thumbprint) {
  CRYPT_HASH_BLOB blob{static_cast<DWORD>(thumbprint.size()), const_cast<BYTE*>(thumbprint.data())};
  return CertContextPtr(CertFindCertificateInStore(hStore, X509_ASN_ENCODING, 0,
                                                   CERT_FIND_SHA1_HASH, &blob, nullptr));
}

bool ListStore(const std::string& name, bool bMachine) {
  std::printf("[%s] (%s)\n", name.c_str(), LocationName(bMachine).c_str());
  CertStorePtr store = OpenSystemStore(name, StoreLocation(bMachine) | CERT_STORE_READONLY_FLAG);
  if (!store) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      std::printf("  (no certificates)\n\n");
      return true;
    }
    ErrorCode("cannot open store " + name, LastFailure());
    return false;
  }
  int nCount = 0;
  for (PCCERT_CONTEXT pCert = CertEnumCertificatesInStore(store.get(), nullptr); pCert != nullptr;
       pCert = CertEnumCertificatesInStore(store.get(), pCert)) {
    PrintCertificate(pCert);
    ++nCount;
  }
  if (nCount == 0) std::printf("  (no certificates)\n\n");
  return true;
}

}  // namespace

int RunList(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{"--machine"}, {}});
  if (!parsed) return kExitUsage;
  std::vector<std::string> stores = parsed->positional;
  if (stores.empty()) stores.assign(std::begin(kDefaultStores), std::end(kDefaultStores));
  bool bAllRead = true;
  for (const std::string& store : stores)
    bAllRead = ListStore(store, parsed->Has("--machine")) && bAllRead;
  return bAllRead ? kExitOk : kExitFailure;
}

int RunImport(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{"--machine"}, {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    Error("import needs STORE and FILE");
    return kExitUsage;
  }
  const std::string& storeName = parsed->positional[0];
  const std::string& path = parsed->positional[1];
  const bool bMachine = parsed->Has("--machine");

  const auto input = ReadWholeFile(path);
  if (!input) return kExitFailure;
  const std::vector<Bytes> certificates = SplitCertificates(*input);
  if (certificates.empty()) {
    Error(path + ": not a certificate file (DER or PEM certificates expected)");
    return kExitFailure;
  }
  // Everything is decoded before the store is touched, so a bad file
  // leaves the store as it was.
  std::vector<CertContextPtr> contexts;
  for (const Bytes& der : certificates) {
    contexts.emplace_back(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                       der.data(), static_cast<DWORD>(der.size())));
    if (!contexts.back()) {
      ErrorCode(path + ": certificate " + std::to_string(contexts.size()) + " does not decode",
                LastFailure());
      return kExitFailure;
    }
  }

  CertStorePtr store = OpenSystemStore(storeName, StoreLocation(bMachine));
  if (!store) {
    ErrorCode("cannot open " + LocationName(bMachine) + " store " + storeName, LastFailure());
    return kExitFailure;
  }
  for (const CertContextPtr& context : contexts) {
    const Bytes thumbprint = Thumbprint(context.get());
    const std::string subject = NameText(context->pCertInfo->Subject);
    if (FindByThumbprint(store.get(), thumbprint)) {
      std::printf("already in %s: %s %s\n", storeName.c_str(), Hex(thumbprint).c_str(),
                  subject.c_str());
      continue;
    }
    if (!CertAddCertificateContextToStore(store.get(), context.get(), CERT_STORE_ADD_USE_EXISTING,
                                          nullptr)) {
      ErrorCode("cannot add " + Hex(thumbprint) + " to " + storeName, LastFailure());
      return kExitFailure;
    }
    std::printf("added to %s: %s %s\n", storeName.c_str(), Hex(thumbprint).c_str(),
                subject.c_str());
  }
  return kExitOk;
}

int RunDelete(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{"--machine"}, {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    Error("delete needs STORE and THUMBPRINT");
    return kExitUsage;
  }
  const std::string& storeName = parsed->positional[0];
  const auto thumbprint = ParseThumbprint(parsed->positional[1]);
  if (!thumbprint) {
    Error("a thumbprint is 40 hex digits (SHA-1), as list shows it");
    return kExitUsage;
  }
  const bool bMachine = parsed->Has("--machine");

  CertStorePtr store =
      OpenSystemStore(storeName, StoreLocation(bMachine) | CERT_STORE_OPEN_EXISTING_FLAG);
  if (!store) {
    ErrorCode("cannot open " + LocationName(bMachine) + " store " + storeName, LastFailure());
    return kExitFailure;
  }
  CertContextPtr found = FindByThumbprint(store.get(), *thumbprint);
  if (!found) {
    Error("no certificate " + Hex(*thumbprint) + " in " + LocationName(bMachine) + " store " +
          storeName);
    return kExitFailure;
  }
  const std::string subject = NameText(found->pCertInfo->Subject);
  // The call frees the context whatever its outcome.
  if (!CertDeleteCertificateFromStore(found.release())) {
    ErrorCode("cannot delete " + Hex(*thumbprint) + " from " + storeName, LastFailure());
    return kExitFailure;
  }
  std::printf("deleted from %s: %s %s\n", storeName.c_str(), Hex(*thumbprint).c_str(),
              subject.c_str());
  return kExitOk;
}

}  // namespace certcli
