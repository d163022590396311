#include "CliSupport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/cert/CertNames.h"
#include "platform/base/LastError.h"
#include "platform/base/SystemMessages.h"
#include "platform/base/WideString.h"

namespace certcli {

const std::string* ParsedArgs::Value(std::string_view name) const {
  const auto it = values.find(std::string(name));
  return it == values.end() ? nullptr : &it->second;
}

std::optional<ParsedArgs> ParseArgs(std::span<const std::string> args, const OptionTable& options) {
  auto contains = [](std::initializer_list<std::string_view> list, std::string_view item) {
    for (std::string_view entry : list)
      if (entry == item) return true;
    return false;
  };
  ParsedArgs parsed;
  bool bOptionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (bOptionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      parsed.positional.push_back(arg);
    } else if (arg == "--") {
      bOptionsEnded = true;
    } else if (contains(options.flags, arg)) {
      parsed.flags.insert(arg);
    } else if (contains(options.lists, arg)) {
      if (i + 1 >= args.size()) {
        Error(arg + " needs a value");
        return std::nullopt;
      }
      parsed.lists[arg].push_back(args[++i]);
    } else if (contains(options.values, arg)) {
      if (i + 1 >= args.size()) {
        Error(arg + " needs a value");
        return std::nullopt;
      }
      if (!parsed.values.emplace(arg, args[++i]).second) {
        Error(arg + " given twice");
        return std::nullopt;
      }
    } else {
      Error("unknown option " + arg);
      return std::nullopt;
    }
  }
  return parsed;
}

void Error(const std::string& text) { std::fprintf(stderr, "npsigil-cert: %s\n", text.c_str()); }

void ErrorCode(const std::string& text, HRESULT hResult) {
  WCHAR wszMessage[512] = {};
  std::string message;
  if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(hResult), 0, wszMessage, 512, nullptr) != 0) {
    message = ToUtf8(wszMessage);
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
      message.pop_back();
  }
  char szCode[16];
  std::snprintf(szCode, sizeof szCode, "0x%08X", static_cast<unsigned>(hResult));
  Error(text + ": " + (message.empty() ? std::string() : message + " ") + "(" + szCode + ")");
}

HRESULT LastFailure() {
  const HRESULT hResult = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(hResult) ? hResult : E_FAIL;
}

std::optional<Bytes> ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    Error(path + ": cannot open");
    return std::nullopt;
  }
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    Error(path + ": cannot read");
    return std::nullopt;
  }
  return bytes;
}

namespace {

bool LooksLikePem(std::span<const BYTE> input) {
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  return text.find("-----BEGIN") != std::string_view::npos;
}

std::vector<Bytes> SplitPem(std::span<const BYTE> input) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(input.data(), static_cast<int>(input.size())), &BIO_free);
  std::vector<Bytes> certificates;
  if (!bio) return {};
  for (;;) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) break;
    certificates.push_back(DerOf(cert.get()));
  }
  // PEM_read stops at the first block it cannot take; anything but a clean
  // end of input means the file held something else too.
  const unsigned long lastError = ERR_peek_last_error();
  ERR_clear_error();
  if (lastError != 0 && ERR_GET_REASON(lastError) != PEM_R_NO_START_LINE) return {};
  return certificates;
}

std::vector<Bytes> SplitDer(std::span<const BYTE> input) {
  std::vector<Bytes> certificates;
  const unsigned char* p = input.data();
  const unsigned char* const end = input.data() + input.size();
  while (p < end) {
    const unsigned char* start = p;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(end - p)));
    if (!cert || p <= start) {
      ERR_clear_error();
      return {};
    }
    certificates.emplace_back(start, p);
  }
  return certificates;
}

}  // namespace

std::vector<Bytes> SplitCertificates(std::span<const BYTE> input) {
  if (input.empty()) return {};
  return LooksLikePem(input) ? SplitPem(input) : SplitDer(input);
}

std::optional<Bytes> OneCertificate(std::span<const BYTE> input) {
  std::vector<Bytes> certificates = SplitCertificates(input);
  if (certificates.size() != 1) return std::nullopt;
  return std::move(certificates.front());
}

Bytes DerOf(X509* cert) {
  unsigned char* der = nullptr;
  const int nLength = i2d_X509(cert, &der);
  if (nLength <= 0) return {};
  Bytes bytes(der, der + nLength);
  OPENSSL_free(der);
  return bytes;
}

std::string NameText(const CERT_NAME_BLOB& name) {
  constexpr DWORD dwStrType =
      CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
  const DWORD cch = CertNameToStrW(X509_ASN_ENCODING, &name, dwStrType, nullptr, 0);
  if (cch == 0) return "?";
  std::u16string text(cch, u'\0');
  CertNameToStrW(X509_ASN_ENCODING, &name, dwStrType, text.data(), cch);
  text.resize(cch - 1);
  return ToUtf8(text);
}

std::string SubjectOf(std::span<const BYTE> der) {
  CertContextPtr context(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      der.data(), static_cast<DWORD>(der.size())));
  return context ? NameText(context->pCertInfo->Subject) : std::string("?");
}

std::string Hex(std::span<const BYTE> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (BYTE b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::optional<Bytes> ParseThumbprint(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.size() != 40) return std::nullopt;
  Bytes bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes.push_back(static_cast<BYTE>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

Bytes Thumbprint(PCCERT_CONTEXT pCertContext) {
  Bytes hash(20);
  DWORD cbHash = static_cast<DWORD>(hash.size());
  if (!CertGetCertificateContextProperty(pCertContext, CERT_SHA1_HASH_PROP_ID, hash.data(),
                                         &cbHash))
    return {};
  hash.resize(cbHash);
  return hash;
}

DWORD StoreLocation(bool bMachine) {
  return bMachine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

std::string LocationName(bool bMachine) { return bMachine ? "machine" : "user"; }

std::string ImplementationName(DWORD dwImpType) {
  switch (dwImpType) {
    case CRYPT_IMPL_HARDWARE:
      return "hardware";
    case CRYPT_IMPL_SOFTWARE:
      return "software";
    case CRYPT_IMPL_MIXED:
      return "mixed";
    default:
      return "unknown";
  }
}

std::string KeySpecName(DWORD dwKeySpec) {
  switch (dwKeySpec) {
    case AT_KEYEXCHANGE:
      return "exchange";
    case AT_SIGNATURE:
      return "signature";
    default:
      return std::to_string(dwKeySpec);
  }
}

}  // namespace certcli
