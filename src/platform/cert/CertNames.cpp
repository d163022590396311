#include "platform/cert/CertNames.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Unique.h"
#include "platform/base/LastError.h"
#include "platform/base/WideString.h"

namespace {

using UniqueName = foundation::Unique<X509_NAME, X509_NAME_free>;

using UniqueGeneralNames = foundation::Unique<GENERAL_NAMES, GENERAL_NAMES_free>;

struct Utf8Free {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

constexpr char kOidCommonName[] = "2.5.4.3";
constexpr char kOidOrganizationalUnit[] = "2.5.4.11";
constexpr char kOidOrganization[] = "2.5.4.10";
constexpr char kOidEmail[] = "1.2.840.113549.1.9.1";

struct AttributeKey {
  const char* oid;
  const char16_t* key;
};

// The short keys CryptoAPI prints in its X.500 form.
constexpr AttributeKey kAttributeKeys[] = {
    {kOidCommonName, u"CN"},
    {"2.5.4.4", u"SN"},
    {"2.5.4.5", u"SERIALNUMBER"},
    {"2.5.4.6", u"C"},
    {"2.5.4.7", u"L"},
    {"2.5.4.8", u"S"},
    {"2.5.4.9", u"STREET"},
    {kOidOrganization, u"O"},
    {kOidOrganizationalUnit, u"OU"},
    {"2.5.4.12", u"T"},
    {"2.5.4.13", u"Description"},
    {"2.5.4.17", u"PostalCode"},
    {"2.5.4.18", u"POBox"},
    {"2.5.4.20", u"Phone"},
    {"2.5.4.24", u"X21Address"},
    {"2.5.4.42", u"G"},
    {"2.5.4.43", u"I"},
    {"2.5.4.46", u"dnQualifier"},
    {kOidEmail, u"E"},
    {"1.2.840.113549.1.9.2", u"UnstructuredName"},
    {"1.2.840.113549.1.9.8", u"UnstructuredAddress"},
    {"0.9.2342.19200300.100.1.25", u"DC"},
};

std::string OidText(const ASN1_OBJECT* object) {
  char buffer[128] = {};
  const int length = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
  if (length <= 0) return {};
  if (static_cast<std::size_t>(length) < sizeof buffer) return std::string(buffer, length);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(text.data(), length + 1, object, 1);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

const char16_t* KeyOf(std::string_view oid) {
  for (const AttributeKey& entry : kAttributeKeys)
    if (oid == entry.oid) return entry.key;
  return nullptr;
}

bool IsTextType(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_BMPSTRING:
    case V_ASN1_UNIVERSALSTRING:
    case V_ASN1_VISIBLESTRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_GENERALSTRING:
    case V_ASN1_GRAPHICSTRING:
    case V_ASN1_VIDEOTEXSTRING:
      return true;
    default:
      return false;
  }
}

// Values that are not text (an OCTET STRING, say) print as "#" and hex, the
// form the X.500 string syntax uses for raw values.
std::u16string ValueText(const ASN1_STRING* value) {
  if (value == nullptr) return {};
  if (IsTextType(ASN1_STRING_type(value))) {
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length >= 0) {
      std::unique_ptr<unsigned char, Utf8Free> owned(utf8);
      return FromUtf8(std::string_view(reinterpret_cast<const char*>(utf8), length));
    }
  }
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string text = u"#";
  const unsigned char* data = ASN1_STRING_get0_data(value);
  for (int i = 0; i < ASN1_STRING_length(value); ++i) {
    text.push_back(kHex[data[i] >> 4]);
    text.push_back(kHex[data[i] & 0x0F]);
  }
  return text;
}

bool NeedsQuotes(const std::u16string& value) {
  if (value.empty()) return false;
  if (value.front() == u' ' || value.back() == u' ') return true;
  return value.find_first_of(u",+=\"\r\n<>#;") != std::u16string::npos;
}

std::u16string Quoted(const std::u16string& value) {
  std::u16string text = u"\"";
  for (char16_t c : value) {
    if (c == u'"') text.push_back(u'"');
    text.push_back(c);
  }
  text.push_back(u'"');
  return text;
}

UniqueName DecodeName(const CERT_NAME_BLOB* pName) {
  if (pName == nullptr || pName->pbData == nullptr || pName->cbData == 0) return nullptr;
  const unsigned char* cursor = pName->pbData;
  UniqueName name(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(pName->cbData)));
  if (name && cursor != pName->pbData + pName->cbData) name.reset();
  return name;
}

std::u16string FormatAttribute(const X509_NAME_ENTRY* entry, DWORD dwForm, bool bQuote) {
  std::u16string value = ValueText(X509_NAME_ENTRY_get_data(entry));
  if (bQuote && NeedsQuotes(value)) value = Quoted(value);
  if (dwForm == CERT_SIMPLE_NAME_STR) return value;
  const std::string oid = OidText(X509_NAME_ENTRY_get_object(entry));
  std::u16string key;
  if (dwForm == CERT_OID_NAME_STR) {
    key = FromUtf8(oid);
  } else if (const char16_t* shortKey = KeyOf(oid)) {
    key = shortKey;
  } else {
    key = u"OID." + FromUtf8(oid);
  }
  return key + u"=" + value;
}

std::u16string FormatName(const X509_NAME* name, DWORD dwStrType) {
  const DWORD dwForm = dwStrType & 0xFFFF;
  if (name == nullptr || (dwForm != CERT_SIMPLE_NAME_STR && dwForm != CERT_OID_NAME_STR &&
                          dwForm != CERT_X500_NAME_STR))
    return {};
  const bool bQuote = (dwStrType & CERT_NAME_STR_NO_QUOTING_FLAG) == 0;

  // Entries of one RDN share a set number and are stored next to each other.
  std::vector<std::vector<std::u16string>> rdns;
  int nLastSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int nSet = X509_NAME_ENTRY_set(entry);
    if (rdns.empty() || nSet != nLastSet) rdns.emplace_back();
    nLastSet = nSet;
    rdns.back().push_back(FormatAttribute(entry, dwForm, bQuote));
  }
  if (dwStrType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());

  std::u16string rdnSeparator = u", ";
  if (dwStrType & CERT_NAME_STR_SEMICOLON_FLAG) rdnSeparator = u"; ";
  if (dwStrType & CERT_NAME_STR_CRLF_FLAG) rdnSeparator = u"\r\n";
  const std::u16string valueSeparator =
      (dwStrType & CERT_NAME_STR_NO_PLUS_FLAG) ? rdnSeparator : std::u16string(u" + ");

  std::u16string text;
  for (std::size_t r = 0; r < rdns.size(); ++r) {
    if (r != 0) text += rdnSeparator;
    for (std::size_t v = 0; v < rdns[r].size(); ++v) {
      if (v != 0) text += valueSeparator;
      text += rdns[r][v];
    }
  }
  return text;
}

// CryptoAPI's size convention: the count needed without a buffer, else what
// fits, always terminated.
DWORD CopyOut(const std::u16string& text, LPWSTR psz, DWORD csz) {
  const DWORD dwNeeded = static_cast<DWORD>(text.size() + 1);
  if (psz == nullptr || csz == 0) return dwNeeded;
  const DWORD dwCopied = std::min<DWORD>(csz - 1, static_cast<DWORD>(text.size()));
  std::copy_n(text.data(), dwCopied, psz);
  psz[dwCopied] = u'\0';
  return dwCopied + 1;
}

std::u16string FirstValueOf(const X509_NAME* name, std::string_view oid) {
  if (name == nullptr) return {};
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OidText(X509_NAME_ENTRY_get_object(entry)) == oid)
      return ValueText(X509_NAME_ENTRY_get_data(entry));
  }
  return {};
}

std::u16string SimpleDisplay(const X509_NAME* name) {
  if (name == nullptr) return {};
  for (const char* oid : {kOidCommonName, kOidOrganizationalUnit, kOidOrganization, kOidEmail}) {
    std::u16string value = FirstValueOf(name, oid);
    if (!value.empty()) return value;
  }
  if (X509_NAME_entry_count(name) > 0)
    return ValueText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0)));
  return {};
}

std::u16string AltNameEmail(PCCERT_CONTEXT pCertContext, bool bIssuer) {
  X509* cert = CertContextX509(pCertContext);
  if (cert == nullptr) return {};
  UniqueGeneralNames names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
      cert, bIssuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return {};
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* general = sk_GENERAL_NAME_value(names.get(), i);
    if (general->type == GEN_EMAIL) return ValueText(general->d.rfc822Name);
  }
  return {};
}

std::u16string FriendlyName(PCCERT_CONTEXT pCertContext) {
  DWORD cbData = 0;
  if (!CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, nullptr,
                                         &cbData) ||
      cbData < sizeof(char16_t))
    return {};
  std::vector<BYTE> bytes(cbData);
  if (!CertGetCertificateContextProperty(pCertContext, CERT_FRIENDLY_NAME_PROP_ID, bytes.data(),
                                         &cbData))
    return {};
  std::u16string text(cbData / sizeof(char16_t), u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  return text;
}

}  // namespace

DWORD CertNameToStrW(DWORD /*dwCertEncodingType*/, const CERT_NAME_BLOB* pName, DWORD dwStrType,
                     LPWSTR psz, DWORD csz) {
  UniqueName name = DecodeName(pName);
  return CopyOut(FormatName(name.get(), dwStrType), psz, csz);
}

DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                         const void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString) {
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return CopyOut({}, pszNameString, cchNameString);
  }
  const bool bIssuer = (dwFlags & CERT_NAME_ISSUER_FLAG) != 0;
  const CERT_INFO* info = pCertContext->pCertInfo;
  UniqueName name = DecodeName(bIssuer ? &info->Issuer : &info->Subject);

  std::u16string text;
  switch (dwType) {
    case CERT_NAME_EMAIL_TYPE:
      text = AltNameEmail(pCertContext, bIssuer);
      if (text.empty()) text = FirstValueOf(name.get(), kOidEmail);
      break;
    case CERT_NAME_RDN_TYPE:
      if (pvTypePara != nullptr)
        text = FormatName(name.get(), *static_cast<const DWORD*>(pvTypePara));
      break;
    case CERT_NAME_ATTR_TYPE:
      if (pvTypePara != nullptr) text = FirstValueOf(name.get(), static_cast<LPCSTR>(pvTypePara));
      break;
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
      text = FriendlyName(pCertContext);
      if (text.empty()) text = SimpleDisplay(name.get());
      break;
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
      text = SimpleDisplay(name.get());
      break;
    default:
      break;
  }
  return CopyOut(text, pszNameString, cchNameString);
}
