// Reads a ContentInfo holding a SignedData (DER or BER) with OpenSSL's
// PKCS #7 parser and copies out what the message calls hand over. This
// source does not include CryptMsg.h: its PKCS7_SIGNER_INFO macro would hide
// OpenSSL's type of that name.
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

#include "foundation/Unique.h"
#include "der/Reader.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsgSignedData.h"
#include "platform/base/DerResult.h"

namespace platform::msg::detail {
namespace {

// One header within `in`: the tag, where the contents start and, for a
// definite length, how long they are (the contents must fit). Messages are
// read as BER: their makers may stream them with indefinite lengths.
HRESULT ReadHeader(std::span<const BYTE> in, der::Header* out) {
  der::Options options;
  options.mode = der::Mode::kBer;
  options.maxLengthOctets = 4;
  options.highTagNumbers = false;
  const HRESULT hr = platform::DerResult(der::ReadHeader(in, options, out));
  if (FAILED(hr)) return hr;
  if (!out->indefinite && out->length > in.size() - out->headerSize) return CRYPT_E_ASN1_EOD;
  return S_OK;
}

std::string OidText(const ASN1_OBJECT* object) {
  if (object == nullptr) return {};
  char small[96];
  const int needed = OBJ_obj2txt(small, sizeof small, object, 1);
  if (needed <= 0) return {};
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  OBJ_obj2txt(text.data(), needed + 1, object, 1);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

template <class T>
bool ToDer(const T* value, int (*i2d)(const T*, unsigned char**), ByteVector* out) {
  unsigned char* der = nullptr;
  const int size = i2d(value, &der);
  if (size < 0) return false;
  out->assign(der, der + size);
  OPENSSL_free(der);
  return true;
}

// The contents of a DER value OpenSSL has just written (definite length).
bool ContentsOf(const ByteVector& der, ByteVector* out) {
  der::Header header;
  if (FAILED(ReadHeader(der, &header)) || header.indefinite) return false;
  out->assign(der.begin() + static_cast<std::ptrdiff_t>(header.headerSize),
              der.begin() + static_cast<std::ptrdiff_t>(header.headerSize + header.length));
  return true;
}

bool ReadAlgorithm(const X509_ALGOR* algorithm, AlgorithmValue* out) {
  if (algorithm == nullptr) return false;
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  out->oid = OidText(object);
  out->parameters.clear();
  if (algorithm->parameter != nullptr &&
      !ToDer(algorithm->parameter, i2d_ASN1_TYPE, &out->parameters))
    return false;
  return !out->oid.empty();
}

bool ReadAttributes(const STACK_OF(X509_ATTRIBUTE) * attributes, std::vector<AttributeValue>* out) {
  out->clear();
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    AttributeValue value;
    value.oid = OidText(X509_ATTRIBUTE_get0_object(attribute));
    if (value.oid.empty()) return false;
    for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j) {
      ByteVector der;
      if (!ToDer(X509_ATTRIBUTE_get0_type(attribute, j), i2d_ASN1_TYPE, &der)) return false;
      value.values.push_back(std::move(der));
    }
    out->push_back(std::move(value));
  }
  return true;
}

bool ReadSigner(PKCS7_SIGNER_INFO* info, SignerValue* out) {
  if (info == nullptr || info->issuer_and_serial == nullptr || info->enc_digest == nullptr)
    return false;
  const long version = ASN1_INTEGER_get(info->version);
  if (version < 0 || static_cast<unsigned long>(version) > 0xFFFFFFFFul) return false;
  out->version = static_cast<DWORD>(version);
  ByteVector serialDer;
  if (!ToDer(info->issuer_and_serial->issuer, i2d_X509_NAME, &out->issuer) ||
      !ToDer(info->issuer_and_serial->serial, i2d_ASN1_INTEGER, &serialDer) ||
      !ContentsOf(serialDer, &out->serial))
    return false;
  if (!ReadAlgorithm(info->digest_alg, &out->digest) ||
      !ReadAlgorithm(info->digest_enc_alg, &out->signature))
    return false;
  const ASN1_OCTET_STRING* signature = info->enc_digest;
  out->encryptedDigest.assign(signature->data, signature->data + signature->length);
  out->hasAuthAttrs = sk_X509_ATTRIBUTE_num(info->auth_attr) > 0;
  if (out->hasAuthAttrs) {
    // The SET as signed, in the order carried (what OpenSSL checks too).
    unsigned char* der = nullptr;
    const int size = ASN1_item_i2d(reinterpret_cast<const ASN1_VALUE*>(info->auth_attr), &der,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (size <= 0) return false;
    out->authAttrsDer.assign(der, der + size);
    OPENSSL_free(der);
  }
  return ReadAttributes(info->auth_attr, &out->authAttrs) &&
         ReadAttributes(info->unauth_attr, &out->unauthAttrs);
}

// The signed content, whatever its type: an OCTET STRING's contents (data,
// and the CMS form of other types), else the DER of the value itself.
bool ReadContent(const PKCS7* contents, SignedDataValue* out) {
  out->hasContent = false;
  out->content.clear();
  if (contents == nullptr) return true;
  out->contentType = OidText(contents->type);
  if (PKCS7_type_is_data(contents)) {
    const ASN1_OCTET_STRING* data = contents->d.data;
    if (data == nullptr) return true;
    out->hasContent = true;
    out->content.assign(data->data, data->data + data->length);
    return true;
  }
  ByteVector info;
  if (!ToDer(contents, i2d_PKCS7, &info)) return false;
  // SEQUENCE { OID, [0] EXPLICIT value OPTIONAL }
  der::Header outer, oid, explicitTag;
  if (FAILED(ReadHeader(info, &outer))) return false;
  std::span<const BYTE> rest = std::span<const BYTE>(info).subspan(outer.headerSize, outer.length);
  if (FAILED(ReadHeader(rest, &oid))) return false;
  rest = rest.subspan(oid.headerSize + oid.length);
  if (rest.empty()) return true;
  if (FAILED(ReadHeader(rest, &explicitTag)) || explicitTag.tag != der::Tag(0xA0)) return false;
  ByteVector value(
      rest.begin() + static_cast<std::ptrdiff_t>(explicitTag.headerSize),
      rest.begin() + static_cast<std::ptrdiff_t>(explicitTag.headerSize + explicitTag.length));
  out->hasContent = true;
  if (!value.empty() && value[0] == V_ASN1_OCTET_STRING) return ContentsOf(value, &out->content);
  out->content = std::move(value);
  return true;
}

// OpenSSL's first (innermost) complaint, as the CryptoAPI code for it.
HRESULT Asn1Failure() {
  const unsigned long error = ERR_peek_error();
  HRESULT hr = CRYPT_E_ASN1_CORRUPT;
  if (ERR_GET_LIB(error) == ERR_LIB_ASN1) {
    switch (ERR_GET_REASON(error)) {
      case ASN1_R_WRONG_TAG:
      case ASN1_R_BAD_OBJECT_HEADER:
      case ASN1_R_TYPE_NOT_CONSTRUCTED:
      case ASN1_R_TYPE_NOT_PRIMITIVE:
        hr = CRYPT_E_ASN1_BADTAG;
        break;
      case ASN1_R_TOO_LONG:
      case ASN1_R_HEADER_TOO_LONG:
      case ASN1_R_NOT_ENOUGH_DATA:
      case ASN1_R_MISSING_EOC:
      case ASN1_R_TOO_SMALL:
        hr = CRYPT_E_ASN1_EOD;
        break;
      default:
        break;
    }
  }
  ERR_clear_error();
  return hr;
}

}  // namespace

HRESULT PeekContentType(std::span<const BYTE> message, std::string* oid) {
  oid->clear();
  der::Header outer;
  HRESULT hr = ReadHeader(message, &outer);
  if (FAILED(hr)) return hr;
  if (outer.tag != der::Tag(0x30)) return CRYPT_E_ASN1_BADTAG;
  std::span<const BYTE> rest = message.subspan(outer.headerSize);
  if (!outer.indefinite) rest = rest.first(outer.length);
  der::Header type;
  hr = ReadHeader(rest, &type);
  if (FAILED(hr)) return hr;
  if (type.tag != der::Tag(V_ASN1_OBJECT) || type.indefinite) return CRYPT_E_ASN1_BADTAG;
  const unsigned char* cursor = rest.data();
  foundation::Unique<ASN1_OBJECT, ASN1_OBJECT_free> object(
      d2i_ASN1_OBJECT(nullptr, &cursor, static_cast<long>(type.headerSize + type.length)));
  if (!object) return Asn1Failure();
  *oid = OidText(object.get());
  return oid->empty() ? CRYPT_E_ASN1_CORRUPT : S_OK;
}

HRESULT DecodeSignedData(std::span<const BYTE> message, SignedDataValue* out) {
  *out = SignedDataValue{};
  std::string type;
  HRESULT hr = PeekContentType(message, &type);
  if (FAILED(hr)) return hr;
  if (type != kOidSignedData) return CRYPT_E_UNEXPECTED_MSG_TYPE;
  if (message.size() > static_cast<std::size_t>(LONG_MAX)) return CRYPT_E_ASN1_LARGE;

  ERR_clear_error();
  const unsigned char* cursor = message.data();
  foundation::Unique<PKCS7, PKCS7_free> p7(
      d2i_PKCS7(nullptr, &cursor, static_cast<long>(message.size())));
  if (!p7) return Asn1Failure();
  // Exactly one message, as for a certificate.
  if (cursor != message.data() + message.size()) return CRYPT_E_ASN1_CORRUPT;
  const PKCS7_SIGNED* sign = p7->d.sign;
  if (!PKCS7_type_is_signed(p7.get()) || sign == nullptr) return CRYPT_E_ASN1_EOD;

  if (!ReadContent(sign->contents, out)) return CRYPT_E_ASN1_CORRUPT;
  for (int i = 0; i < sk_X509_num(sign->cert); ++i) {
    ByteVector der;
    if (!ToDer(sk_X509_value(sign->cert, i), i2d_X509, &der)) return CRYPT_E_ASN1_CORRUPT;
    out->certificates.push_back(std::move(der));
  }
  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(sign->signer_info); ++i) {
    SignerValue signer;
    if (!ReadSigner(sk_PKCS7_SIGNER_INFO_value(sign->signer_info, i), &signer)) {
      ERR_clear_error();
      return CRYPT_E_ASN1_CORRUPT;
    }
    out->signers.push_back(std::move(signer));
  }
  return S_OK;
}

}  // namespace platform::msg::detail
