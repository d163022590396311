// The installed-provider list: built-in providers plus the machine
// registry's entries, and the implementations that image paths name.
#include <algorithm>
#include <map>
#include <mutex>

#include "platform/csp/CspInternal.h"
#include "platform/registry/Registry.h"

namespace platform::csp {

namespace {

constexpr char16_t kProviderKey[] = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
constexpr char16_t kTypeValue[] = u"Type";
constexpr char16_t kImagePathValue[] = u"Image Path";

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool LessIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
}

struct Implementations {
  std::mutex mutex;
  std::map<std::u16string, ProviderFactory> factories;
};

Implementations& TheImplementations() {
  static Implementations* implementations = [] {
    auto* made = new Implementations;  // never destroyed: used from static teardown
    made->factories.emplace(kImageRsaSoftware, &detail::MakeRsaSoftwareProvider);
    made->factories.emplace(kImageSm2Software, &detail::MakeSm2SoftwareProvider);
    return made;
  }();
  return *implementations;
}

const std::vector<detail::InstalledProvider>& BuiltIns() {
  static const std::vector<detail::InstalledProvider> builtIns{
      {MS_ENHANCED_PROV_W, PROV_RSA_FULL, kImageRsaSoftware},
      {MS_DEF_PROV_W, PROV_RSA_FULL, kImageRsaSoftware},
      {MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, kImageRsaSoftware},
  };
  return builtIns;
}

std::optional<std::u16string> ReadString(HKEY key, LPCWSTR name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  std::u16string text(size / sizeof(char16_t), u'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  text.resize(size / sizeof(char16_t));
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::optional<DWORD> ReadDword(HKEY key, LPCWSTR name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return std::nullopt;
  return value;
}

// Entries without a type or image path are half-written installs; they are
// not offered.
std::vector<detail::InstalledProvider> RegistryEntries() {
  std::vector<detail::InstalledProvider> entries;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return entries;
  UniqueHKEY root(raw);
  for (DWORD index = 0;; ++index) {
    char16_t name[512];
    DWORD chars = static_cast<DWORD>(std::size(name));
    LSTATUS status =
        RegEnumKeyExW(root.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    HKEY rawEntry = nullptr;
    if (RegOpenKeyExW(root.get(), name, 0, KEY_READ, &rawEntry) != ERROR_SUCCESS) continue;
    UniqueHKEY entry(rawEntry);
    auto type = ReadDword(entry.get(), kTypeValue);
    auto image = ReadString(entry.get(), kImagePathValue);
    if (type && image) entries.push_back({std::u16string(name, chars), *type, *image});
  }
  return entries;
}

}  // namespace

namespace detail {

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

std::vector<InstalledProvider> InstalledProviders() {
  std::vector<InstalledProvider> all = BuiltIns();
  for (InstalledProvider& entry : RegistryEntries()) {
    // A registry entry cannot displace a built-in provider.
    bool builtIn = std::any_of(
        all.begin(), all.begin() + BuiltIns().size(),
        [&](const InstalledProvider& p) { return EqualsIgnoringCase(p.name, entry.name); });
    if (!builtIn) all.push_back(std::move(entry));
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const InstalledProvider& a, const InstalledProvider& b) {
                     return LessIgnoringCase(a.name, b.name);
                   });
  return all;
}

std::optional<InstalledProvider> FindInstalled(std::u16string_view name) {
  for (InstalledProvider& provider : InstalledProviders())
    if (EqualsIgnoringCase(provider.name, name)) return std::move(provider);
  return std::nullopt;
}

std::shared_ptr<CspProvider> Instantiate(const InstalledProvider& provider) {
  ProviderFactory factory;
  {
    Implementations& implementations = TheImplementations();
    std::lock_guard lock(implementations.mutex);
    auto it = implementations.factories.find(provider.imagePath);
    if (it == implementations.factories.end()) return nullptr;
    factory = it->second;
  }
  return factory ? factory() : nullptr;
}

}  // namespace detail

void RegisterImplementation(std::u16string imagePath, ProviderFactory factory) {
  Implementations& implementations = TheImplementations();
  std::lock_guard lock(implementations.mutex);
  implementations.factories[std::move(imagePath)] = std::move(factory);
}

std::shared_ptr<CspProvider> FindProvider(std::u16string_view name, DWORD* provType) {
  auto installed = detail::FindInstalled(name);
  if (!installed) return nullptr;
  auto provider = detail::Instantiate(*installed);
  if (provider && provType != nullptr) *provType = installed->type;
  return provider;
}

LSTATUS InstallProvider(std::u16string_view name, DWORD provType, std::u16string_view imagePath) {
  if (name.empty() || name.find(u'\\') != std::u16string_view::npos || imagePath.empty())
    return ERROR_INVALID_PARAMETER;
  std::u16string subKey = std::u16string(kProviderKey) + u"\\" + std::u16string(name);
  HKEY raw = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &raw, nullptr);
  if (status != ERROR_SUCCESS) return status;
  UniqueHKEY entry(raw);
  // The image path goes last: readers skip an entry until it is complete.
  status = RegSetValueExW(entry.get(), kTypeValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&provType), sizeof provType);
  if (status != ERROR_SUCCESS) return status;
  std::u16string image(imagePath);
  return RegSetValueExW(entry.get(), kImagePathValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(image.c_str()),
                        static_cast<DWORD>((image.size() + 1) * sizeof(char16_t)));
}

LSTATUS UninstallProvider(std::u16string_view name) {
  if (name.empty() || name.find(u'\\') != std::u16string_view::npos) return ERROR_INVALID_PARAMETER;
  std::u16string subKey = std::u16string(kProviderKey) + u"\\" + std::u16string(name);
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str());
}

}  // namespace platform::csp
