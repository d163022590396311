// providers, provider install-sm2, containers and delete-container.
#include <cstdio>
#include <memory>

#include "CliSupport.h"
#include "Commands.h"
#include "platform/csp/CspProvider.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace certcli {

namespace {

struct InstalledProvider {
  std::u16string name;
  DWORD dwType = 0;
};

// In the order CryptEnumProvidersW gives them; false after a message when
// the list cannot be read.
bool EnumProviders(std::vector<InstalledProvider>* providers) {
  for (DWORD dwIndex = 0;; ++dwIndex) {
    DWORD dwType = 0;
    DWORD cbName = 0;
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, nullptr, &cbName)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) return true;
      ErrorCode("cannot list the providers", LastFailure());
      return false;
    }
    std::u16string name(cbName / sizeof(WCHAR) + 1, u'\0');
    if (!CryptEnumProvidersW(dwIndex, nullptr, 0, &dwType, name.data(), &cbName)) {
      ErrorCode("cannot list the providers", LastFailure());
      return false;
    }
    name.resize(std::char_traits<char16_t>::length(name.c_str()));
    providers->push_back({std::move(name), dwType});
  }
}

std::optional<DWORD> ImplementationType(const InstalledProvider& provider) {
  ProviderHandle hProv;
  if (!CryptAcquireContextW(hProv.Out(), nullptr, provider.name.c_str(), provider.dwType,
                            CRYPT_VERIFYCONTEXT))
    return std::nullopt;
  DWORD dwImpType = 0;
  DWORD cbImpType = sizeof dwImpType;
  if (!CryptGetProvParam(hProv.Get(), PP_IMPTYPE, reinterpret_cast<BYTE*>(&dwImpType), &cbImpType,
                         0))
    return std::nullopt;
  return dwImpType;
}

std::string DescribeKeyPair(platform::csp::CspProvider& provider, const std::string& container,
                            DWORD dwKeySpec) {
  std::shared_ptr<const platform::csp::KeyPair> keyPair;
  const HRESULT hResult = provider.GetKeyPair(container, dwKeySpec, &keyPair);
  if (hResult == NTE_NO_KEY) return "none";
  if (FAILED(hResult) || !keyPair) return "unreadable";
  if (keyPair->certificate.empty()) return "key, no certificate";
  return "key, certificate " + SubjectOf(keyPair->certificate);
}

bool ListContainers(const std::u16string& providerName) {
  std::printf("[%s]\n", ToUtf8(providerName).c_str());
  const auto provider = platform::csp::FindProvider(providerName);
  if (!provider) {
    Error("no provider \"" + ToUtf8(providerName) + "\" is installed");
    return false;
  }
  const std::vector<std::string> containers = provider->EnumContainers();
  if (containers.empty()) std::printf("  (no containers)\n");
  for (const std::string& container : containers) {
    std::printf("  %s\n", container.c_str());
    std::printf("    exchange:  %s\n",
                DescribeKeyPair(*provider, container, AT_KEYEXCHANGE).c_str());
    std::printf("    signature: %s\n", DescribeKeyPair(*provider, container, AT_SIGNATURE).c_str());
  }
  std::printf("\n");
  return true;
}

}  // namespace

bool EnsureSm2ProviderInstalled() {
  if (platform::csp::FindProvider(SIGIL_SM2_PROV_W)) return true;
  const LSTATUS status = platform::csp::InstallProvider(SIGIL_SM2_PROV_W, PROV_RSA_FULL,
                                                        platform::csp::kImageSm2Software);
  if (status != ERROR_SUCCESS) {
    ErrorCode("cannot install the provider \"" + ToUtf8(SIGIL_SM2_PROV_W) +
                  "\" (the machine registry needs write access)",
              HRESULT_FROM_WIN32(static_cast<DWORD>(status)));
    return false;
  }
  std::printf("installed provider \"%s\" (type %u)\n", ToUtf8(SIGIL_SM2_PROV_W).c_str(),
              static_cast<unsigned>(PROV_RSA_FULL));
  return true;
}

int RunProviders(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {}});
  if (!parsed) return kExitUsage;
  if (!parsed->positional.empty()) {
    Error("providers takes no arguments");
    return kExitUsage;
  }
  std::vector<InstalledProvider> providers;
  if (!EnumProviders(&providers)) return kExitFailure;
  for (const InstalledProvider& provider : providers) {
    const auto impType = ImplementationType(provider);
    std::printf("%s\ttype %u\t%s\n", ToUtf8(provider.name).c_str(),
                static_cast<unsigned>(provider.dwType),
                impType ? ImplementationName(*impType).c_str() : "unavailable");
  }
  return kExitOk;
}

int RunProvider(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 1 || parsed->positional[0] != "install-sm2") {
    Error("provider knows one action: install-sm2");
    return kExitUsage;
  }
  if (platform::csp::FindProvider(SIGIL_SM2_PROV_W)) {
    std::printf("provider \"%s\" is already installed\n", ToUtf8(SIGIL_SM2_PROV_W).c_str());
    return kExitOk;
  }
  return EnsureSm2ProviderInstalled() ? kExitOk : kExitFailure;
}

int RunContainers(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() > 1) {
    Error("containers takes at most one PROVIDER");
    return kExitUsage;
  }
  if (parsed->positional.size() == 1)
    return ListContainers(FromUtf8(parsed->positional[0])) ? kExitOk : kExitFailure;

  std::vector<InstalledProvider> providers;
  if (!EnumProviders(&providers)) return kExitFailure;
  bool bAllListed = true;
  for (const InstalledProvider& provider : providers)
    bAllListed = ListContainers(provider.name) && bAllListed;
  return bAllListed ? kExitOk : kExitFailure;
}

int RunDeleteContainer(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {}});
  if (!parsed) return kExitUsage;
  if (parsed->positional.size() != 2) {
    Error("delete-container needs PROVIDER and NAME");
    return kExitUsage;
  }
  const std::string& providerName = parsed->positional[0];
  const std::string& container = parsed->positional[1];
  const auto provider = platform::csp::FindProvider(FromUtf8(providerName));
  if (!provider) {
    Error("no provider \"" + providerName + "\" is installed");
    return kExitFailure;
  }
  const HRESULT hResult = provider->DeleteContainer(container);
  if (hResult == NTE_BAD_KEYSET) {
    Error("no container \"" + container + "\" in \"" + providerName + "\"");
    return kExitFailure;
  }
  if (FAILED(hResult)) {
    ErrorCode("cannot delete container \"" + container + "\"", hResult);
    return kExitFailure;
  }
  std::printf("deleted container \"%s\" of \"%s\"\n", container.c_str(), providerName.c_str());
  return kExitOk;
}

}  // namespace certcli
