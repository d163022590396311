// npsigil-ca-chain: turns the CA certificates of src/register/data into the
// module's "CERTIFICATE" resource, run at build time:
//   npsigil-ca-chain <xml output> <source output> <certificate.cer>...
// The XML lists every self-signed certificate as a trusted root (registry
// path, thumbprint key, "Blob" bytes) and carries all of them, roots first
// and every issuer before what it issued, as a certificates-only PKCS #7.
// The same certificates always give the same bytes.
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Unique.h"
#include "platform/cert/CertContext.h"
#include "platform/store/CertStore.h"

namespace {

using Bytes = std::vector<BYTE>;

// Property ids the "Blob" of a trusted root carries besides the certificate.
constexpr DWORD kSha1HashPropId = 3;
constexpr DWORD kMd5HashPropId = 4;
constexpr DWORD kSignatureHashPropId = 15;
constexpr DWORD kKeyIdentifierPropId = 20;
constexpr DWORD kSubjectPublicKeyMd5PropId = 25;
constexpr DWORD kPublicKeyBitLengthPropId = 92;
constexpr DWORD kBlobPropIds[] = {kSha1HashPropId,
                                  kMd5HashPropId,
                                  kSignatureHashPropId,
                                  kKeyIdentifierPropId,
                                  kSubjectPublicKeyMd5PropId,
                                  kPublicKeyBitLengthPropId};

constexpr char kImportPath[] = "SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates";
constexpr std::size_t kBase64LineLength = 64;

using ContextPtr = foundation::Unique<const CERT_CONTEXT, CertFreeCertificateContext>;

struct Certificate {
  std::string file;
  Bytes der;
  ContextPtr context;
  Bytes subject, issuer;  // DER names
  bool root = false;
  int depth = 0;  // 0 for a root, its issuer's depth + 1 otherwise
};

void Fail(const std::string& why) { std::fprintf(stderr, "npsigil-ca-chain: %s\n", why.c_str()); }

std::optional<Bytes> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out.flush());
}

std::optional<Bytes> Digest(const char* name, const BYTE* data, std::size_t size) {
  Bytes out(EVP_MAX_MD_SIZE);
  std::size_t length = 0;
  if (EVP_Q_digest(nullptr, name, nullptr, data, size, out.data(), &length) != 1)
    return std::nullopt;
  out.resize(length);
  return out;
}

std::string HexUpper(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (BYTE b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::string Base64Lines(const Bytes& bytes) {
  std::string flat(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  flat.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  std::string text;
  for (std::size_t at = 0; at < flat.size(); at += kBase64LineLength) {
    if (at != 0) text += '\n';
    text += flat.substr(at, kBase64LineLength);
  }
  return text;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// "CN = ...,O = ...,C = CN": the most specific attribute first.
std::optional<std::string> SubjectText(X509* cert) {
  const X509_NAME* name = X509_get_subject_name(cert);
  std::string text;
  for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
    const char* key = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (key == nullptr || length < 0) return std::nullopt;
    if (!text.empty()) text += ',';
    text += std::string(key) + " = " + std::string(reinterpret_cast<char*>(utf8), length);
    OPENSSL_free(utf8);
  }
  return text;
}

// Lower-case hexadecimal without leading zeros.
std::optional<std::string> SerialText(X509* cert) {
  std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(
      ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr), &BN_free);
  char* hex = serial ? BN_bn2hex(serial.get()) : nullptr;
  if (hex == nullptr) return std::nullopt;
  std::string text(hex);
  OPENSSL_free(hex);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The signed part of the certificate as it was encoded: the first element of
// the outer SEQUENCE.
std::optional<Bytes> SignedPart(const Bytes& der) {
  const unsigned char* p = der.data();
  long length = 0;
  int tag = 0, cls = 0;
  if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) & 0x80)
    return std::nullopt;
  const unsigned char* tbs = p;
  const long remaining = static_cast<long>(der.data() + der.size() - p);
  if (ASN1_get_object(&p, &length, &tag, &cls, remaining) & 0x80 || tag != V_ASN1_SEQUENCE)
    return std::nullopt;
  return Bytes(tbs, p + length);
}

bool SetProperty(PCCERT_CONTEXT context, DWORD id, const Bytes& value) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(value.size()), const_cast<BYTE*>(value.data())};
  return CertSetCertificateContextProperty(context, id, 0, &blob) != FALSE;
}

// The serialized certificate with its hashes and key identifiers, the bytes
// a trusted-root registry key holds as "Blob".
std::optional<Bytes> RootBlob(const Certificate& c) {
  X509* cert = CertContextX509(c.context.get());
  EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
  const ASN1_BIT_STRING* publicKey = cert ? X509_get0_pubkey_bitstr(cert) : nullptr;
  if (key == nullptr || publicKey == nullptr) return std::nullopt;
  const auto sha1 = Digest("SHA1", c.der.data(), c.der.size());
  const auto md5 = Digest("MD5", c.der.data(), c.der.size());
  const auto tbs = SignedPart(c.der);
  const auto signatureHash = tbs ? Digest("SHA1", tbs->data(), tbs->size()) : std::nullopt;
  const auto keyMd5 = Digest("MD5", ASN1_STRING_get0_data(publicKey),
                             static_cast<std::size_t>(ASN1_STRING_length(publicKey)));
  DWORD keyIdSize = 0;
  Bytes keyId;
  if (CertGetCertificateContextProperty(c.context.get(), kKeyIdentifierPropId, nullptr,
                                        &keyIdSize)) {
    keyId.resize(keyIdSize);
    if (!CertGetCertificateContextProperty(c.context.get(), kKeyIdentifierPropId, keyId.data(),
                                           &keyIdSize))
      keyId.clear();
  }
  const DWORD bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
  const Bytes bitLength{static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8),
                        static_cast<BYTE>(bits >> 16), static_cast<BYTE>(bits >> 24)};
  if (!sha1 || !md5 || !signatureHash || !keyMd5 || keyId.empty() || bits == 0) return std::nullopt;

  PCCERT_CONTEXT context = c.context.get();
  if (!SetProperty(context, kSha1HashPropId, *sha1) ||
      !SetProperty(context, kMd5HashPropId, *md5) ||
      !SetProperty(context, kSignatureHashPropId, *signatureHash) ||
      !SetProperty(context, kKeyIdentifierPropId, keyId) ||
      !SetProperty(context, kSubjectPublicKeyMd5PropId, *keyMd5) ||
      !SetProperty(context, kPublicKeyBitLengthPropId, bitLength))
    return std::nullopt;
  // Whatever else the context cached on the way is not part of the Blob.
  std::vector<DWORD> extra;
  for (DWORD id = CertEnumCertificateContextProperties(context, 0); id != 0;
       id = CertEnumCertificateContextProperties(context, id))
    if (std::find(std::begin(kBlobPropIds), std::end(kBlobPropIds), id) == std::end(kBlobPropIds))
      extra.push_back(id);
  for (DWORD id : extra)
    if (!CertSetCertificateContextProperty(context, id, 0, nullptr)) return std::nullopt;

  DWORD size = 0;
  if (!CertSerializeCertificateStoreElement(context, 0, nullptr, &size)) return std::nullopt;
  Bytes blob(size);
  if (!CertSerializeCertificateStoreElement(context, 0, blob.data(), &size)) return std::nullopt;
  blob.resize(size);
  return blob;
}

std::optional<Bytes> CertificatesOnlyPkcs7(const std::vector<const Certificate*>& ordered) {
  foundation::Unique<PKCS7, PKCS7_free> p7(PKCS7_new());
  if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1)
    return std::nullopt;
  for (const Certificate* c : ordered)
    if (PKCS7_add_certificate(p7.get(), CertContextX509(c->context.get())) != 1)
      return std::nullopt;
  unsigned char* der = nullptr;
  const int length = i2d_PKCS7(p7.get(), &der);
  if (length <= 0) return std::nullopt;
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

bool LoadAll(int count, char** paths, std::vector<Certificate>& out) {
  for (int i = 0; i < count; ++i) {
    Certificate c;
    c.file = std::filesystem::path(paths[i]).filename().string();
    auto der = ReadFile(paths[i]);
    if (!der) {
      Fail(std::string(paths[i]) + ": cannot read");
      return false;
    }
    c.der = std::move(*der);
    c.context.reset(CertCreateCertificateContext(X509_ASN_ENCODING, c.der.data(),
                                                 static_cast<DWORD>(c.der.size())));
    if (!c.context) {
      Fail(std::string(paths[i]) + ": not one DER certificate");
      return false;
    }
    const CERT_INFO& info = *c.context->pCertInfo;
    c.subject.assign(info.Subject.pbData, info.Subject.pbData + info.Subject.cbData);
    c.issuer.assign(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData);
    // The installer's own rule: issuer name equal to subject name.
    c.root = c.subject == c.issuer;
    out.push_back(std::move(c));
  }
  return true;
}

// Every certificate must chain up to a root of the set.
bool AssignDepths(std::vector<Certificate>& all) {
  for (Certificate& c : all) {
    const Certificate* at = &c;
    int depth = 0;
    while (!at->root) {
      const auto issuer = std::find_if(all.begin(), all.end(), [&](const Certificate& other) {
        return other.subject == at->issuer;
      });
      if (issuer == all.end() || ++depth > static_cast<int>(all.size())) {
        Fail(c.file + ": its issuer is not among the certificates given");
        return false;
      }
      at = &*issuer;
    }
    c.depth = depth;
  }
  return true;
}

std::optional<std::string> BuildXml(const std::vector<const Certificate*>& ordered) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!-- npSigil CA chain: root CA certificates for the machine's trusted-root store, and "
      "every CA certificate as a PKCS #7 bundle for its intermediate store. -->\n"
      "<!-- Written by npsigil-ca-chain at build time from src/register/data; do not edit. -->\n"
      "<root>\n"
      "  <RootCACertificate>\n";
  for (const Certificate* c : ordered) {
    if (!c->root) continue;
    X509* cert = CertContextX509(c->context.get());
    const auto subject = cert ? SubjectText(cert) : std::nullopt;
    const auto serial = cert ? SerialText(cert) : std::nullopt;
    const auto thumbprint = Digest("SHA1", c->der.data(), c->der.size());
    const auto blob = RootBlob(*c);
    if (!subject || !serial || !thumbprint || !blob) {
      Fail(c->file + ": cannot describe the root");
      return std::nullopt;
    }
    xml += "    <Certificate SerialNum=\"" + *serial + "\" SubjectDN=\"" + XmlEscape(*subject) +
           "\">\n";
    xml += "      <ImportPath>" + std::string(kImportPath) + "</ImportPath>\n";
    xml += "      <EntryPoint>" + HexUpper(*thumbprint) + "</EntryPoint>\n";
    xml += "      <Content>" + Base64Lines(*blob) + "</Content>\n";
    xml += "    </Certificate>\n";
  }
  const auto p7 = CertificatesOnlyPkcs7(ordered);
  if (!p7) {
    Fail("cannot encode the PKCS #7 bundle");
    return std::nullopt;
  }
  xml += "  </RootCACertificate>\n";
  xml += "  <P7bContent>" + Base64Lines(*p7) + "</P7bContent>\n";
  xml += "</root>\n";
  return xml;
}

std::string SourceFor(const std::string& xml) {
  std::string source =
      "// Written by npsigil-ca-chain at build time from src/register/data; do not edit.\n"
      "#include \"platform/base/WinTypes.h\"\n\n"
      "extern const BYTE kCaChainXml[] = {";
  char hex[8];
  for (std::size_t i = 0; i < xml.size(); ++i) {
    source += (i % 16 == 0) ? "\n    " : " ";
    std::snprintf(hex, sizeof hex, "0x%02x,", static_cast<unsigned char>(xml[i]));
    source += hex;
  }
  source += "\n};\nextern const DWORD kCaChainXmlSize = " + std::to_string(xml.size()) + ";\n";
  return source;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <xml output> <source output> <certificate.cer>...\n", argv[0]);
    return 2;
  }
  std::vector<Certificate> all;
  if (!LoadAll(argc - 3, argv + 3, all) || !AssignDepths(all)) return 1;
  std::vector<const Certificate*> ordered;
  for (const Certificate& c : all) ordered.push_back(&c);
  // Roots first, then each level below; the order given within a level.
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const Certificate* a, const Certificate* b) { return a->depth < b->depth; });
  if (ordered.empty() || !ordered.front()->root) {
    Fail("no self-signed root among the certificates");
    return 1;
  }
  const auto xml = BuildXml(ordered);
  if (!xml) return 1;
  if (!WriteFile(argv[1], *xml) || !WriteFile(argv[2], SourceFor(*xml))) {
    Fail("cannot write the outputs");
    return 1;
  }
  return 0;
}
