// What every npsigil-cert command shares: exit codes, argument parsing,
// messages on stderr, owners for platform and OpenSSL handles, and the
// certificate and file helpers.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Unique.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"
#include "platform/csp/Csp.h"
#include "platform/csp/CspHandles.h"
#include "platform/base/WinTypes.h"

namespace certcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using Bytes = std::vector<BYTE>;

// --- Arguments ----------------------------------------------------------------

// Options of one command: flags stand alone, value options take the next
// argument (once; list options as often as given). Anything else starting
// with "--" is a usage error.
struct OptionTable {
  std::initializer_list<std::string_view> flags;
  std::initializer_list<std::string_view> values;
  std::initializer_list<std::string_view> lists = {};
};

struct ParsedArgs {
  std::vector<std::string> positional;
  std::set<std::string> flags;
  std::map<std::string, std::string> values;
  std::map<std::string, std::vector<std::string>> lists;  // in the order given

  bool Has(std::string_view flag) const { return flags.count(std::string(flag)) != 0; }
  const std::string* Value(std::string_view name) const;
};

// Prints the reason on stderr and gives nullopt for a usage error.
std::optional<ParsedArgs> ParseArgs(std::span<const std::string> args, const OptionTable& options);

// --- Messages -------------------------------------------------------------------

// "npsigil-cert: <text>" on stderr.
void Error(const std::string& text);
// The same with the result code and its system text appended.
void ErrorCode(const std::string& text, HRESULT hResult);
// The thread's last error as a result code (E_FAIL when none was left).
HRESULT LastFailure();

// --- Owners -----------------------------------------------------------------------

using CertContextPtr = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

using CertStorePtr = UniqueCertStore;

using ProviderHandle = UniqueCryptProv;

using PkeyPtr = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = foundation::Unique<X509, X509_free>;

// --- Files and certificates ---------------------------------------------------------

// The whole file, or nullopt after saying why on stderr.
std::optional<Bytes> ReadWholeFile(const std::string& path);

// Every certificate of a PEM text (one or more CERTIFICATE blocks) or of
// DER bytes (one or more certificates back to back), each as DER. Empty
// when anything in the input is not a certificate.
std::vector<Bytes> SplitCertificates(std::span<const BYTE> input);
// Exactly one certificate, PEM or DER.
std::optional<Bytes> OneCertificate(std::span<const BYTE> input);

Bytes DerOf(X509* cert);

// A name in the form the selection filters match against (most specific
// first, unquoted), so it can be pasted into a filter as it stands.
std::string NameText(const CERT_NAME_BLOB& name);
// The subject of DER certificate bytes, or "?" when they do not decode.
std::string SubjectOf(std::span<const BYTE> der);

// Hex text, upper case, no separators.
std::string Hex(std::span<const BYTE> bytes);
// 20 bytes from 40 hex digits; blanks and colons between them are allowed.
std::optional<Bytes> ParseThumbprint(std::string_view text);

// SHA-1 of the encoded certificate.
Bytes Thumbprint(PCCERT_CONTEXT pCertContext);

// System store flags for the location.
DWORD StoreLocation(bool bMachine);
std::string LocationName(bool bMachine);

// The provider's implementation type as a word ("software", "hardware", ...).
std::string ImplementationName(DWORD dwImpType);

// "exchange" or "signature", as the commands name key pairs.
std::string KeySpecName(DWORD dwKeySpec);

}  // namespace certcli
