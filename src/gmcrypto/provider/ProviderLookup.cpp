// Lookups that find our methods under every name and NID they go by, and
// OpenSSL's for everything else.
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <string_view>

#include "gmcrypto/objects/Objects.h"
#include "gmcrypto/provider/Provider.h"
#include "gmcrypto/provider/ProviderAlgorithms.h"

namespace gmcrypto {
namespace {

// ASCII only: strcasecmp follows the locale, and "tls1-sm3" must not stop
// matching under a Turkish one.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Our provider's colon list is the one place our names are written.
bool IsOneOf(const char* name, std::string_view names) {
  const std::string_view n(name);
  while (!names.empty()) {
    const std::size_t colon = names.find(':');
    if (EqualsIgnoreCase(n, names.substr(0, colon))) return true;
    if (colon == std::string_view::npos) break;
    names.remove_prefix(colon + 1);
  }
  return false;
}

}  // namespace

const EVP_MD* GetDigestByName(const char* name) {
  if (name == nullptr) return nullptr;
  if (IsOneOf(name, provider::kSm3Names)) return EVP_sm3();
  return EVP_get_digestbyname(name);
}

const EVP_MD* GetDigestByNID(int nid) {
  if (nid == NID_ChinaSM3) return EVP_sm3();
  const EVP_MD* ours = EVP_sm3();
  if (ours != nullptr && nid != NID_undef && nid == EVP_MD_get_type(ours)) return ours;
  return EVP_get_digestbynid(nid);
}

const EVP_CIPHER* GetCipherByName(const char* name) {
  if (name == nullptr) return nullptr;
  if (IsOneOf(name, provider::kSm4CbcNames)) return EVP_sm4_cbc();
  return EVP_get_cipherbyname(name);
}

const EVP_CIPHER* GetCipherByNID(int nid) {
  if (nid == NID_ChinaSM4_CBC) return EVP_sm4_cbc();
  const EVP_CIPHER* ours = EVP_sm4_cbc();
  if (ours != nullptr && nid != NID_undef && nid == EVP_CIPHER_get_nid(ours)) return ours;
  return EVP_get_cipherbynid(nid);
}

}  // namespace gmcrypto
