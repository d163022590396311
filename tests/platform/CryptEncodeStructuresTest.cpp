// CryptEncodeObject for the PKCS structures: known encodings, and signer
// infos OpenSSL reads back field by field.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/cert/CertDecode.h"
#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/LastError.h"

namespace {

using Bytes = std::vector<BYTE>;

DWORD Hr(HRESULT hr) { return static_cast<DWORD>(hr); }

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

Bytes Encode(LPCSTR type, const void* value, DWORD encoding = kEncoding) {
  DWORD size = 0;
  if (!CryptEncodeObject(encoding, type, value, nullptr, &size)) return {};
  Bytes out(size);
  if (!CryptEncodeObject(encoding, type, value, out.data(), &size)) return {};
  EXPECT_EQ(size, out.size());
  return out;
}

CRYPT_INTEGER_BLOB Blob(const Bytes& bytes) {
  return {static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(CryptEncodeStructuresTest, AttributeKnownAnswers) {
  char sm3[] = "1.2.156.10197.1.401";
  CRYPT_ATTRIBUTE none{sm3, 0, nullptr};
  const Bytes empty = Encode(PKCS_ATTRIBUTE, &none);
  EXPECT_EQ(empty, (Bytes{0x30, 0x0C, 0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x83, 0x11,
                          0x31, 0x00}));
  // With its last two bytes made 05 00 it is the AlgorithmIdentifier
  // { SM3, NULL } that callers build this way.
  Bytes algorithm = empty;
  algorithm[algorithm.size() - 2] = 0x05;
  const unsigned char* p = algorithm.data();
  X509_ALGOR* parsed = d2i_X509_ALGOR(nullptr, &p, static_cast<long>(algorithm.size()));
  ASSERT_NE(parsed, nullptr);
  char oid[64] = {};
  OBJ_obj2txt(oid, sizeof oid, parsed->algorithm, 1);
  EXPECT_STREQ(oid, sm3);
  EXPECT_EQ(ASN1_TYPE_get(parsed->parameter), V_ASN1_NULL);
  X509_ALGOR_free(parsed);

  // Values go in as given and in the order given; equal to OpenSSL's own
  // encoding of a content-type attribute.
  const Bytes data = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  char contentType[] = "1.2.840.113549.1.9.3";
  CRYPT_ATTR_BLOB one = Blob(data);
  CRYPT_ATTRIBUTE single{contentType, 1, &one};
  X509_ATTRIBUTE* reference =
      X509_ATTRIBUTE_create(NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data));
  unsigned char* der = nullptr;
  const int size = i2d_X509_ATTRIBUTE(reference, &der);
  EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &single), Bytes(der, der + size));
  OPENSSL_free(der);
  X509_ATTRIBUTE_free(reference);

  const Bytes later = {0x04, 0x01, 0x01}, earlier = {0x02, 0x01, 0x05};
  CRYPT_ATTR_BLOB two[] = {Blob(later), Blob(earlier)};
  char arc[] = "2.999.1";
  CRYPT_ATTRIBUTE pair{arc, 2, two};
  EXPECT_EQ(Encode(PKCS_ATTRIBUTE, &pair), (Bytes{0x30, 0x0D, 0x06, 0x03, 0x88, 0x37, 0x01, 0x31,
                                                  0x06, 0x04, 0x01, 0x01, 0x02, 0x01, 0x05}));
}

TEST(CryptEncodeStructuresTest, ContentInfoAttachedAndDetached) {
  char data[] = "1.2.840.113549.1.7.1";
  const Bytes octets = {0x04, 0x03, 'a', 'b', 'c'};
  CRYPT_CONTENT_INFO attached{data, Blob(octets)};
  EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &attached, PKCS_7_ASN_ENCODING),
            (Bytes{0x30, 0x12, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                   0x01, 0x07, 0x01, 0xA0, 0x05, 0x04, 0x03, 'a',  'b',  'c'}));
  CRYPT_CONTENT_INFO detached{data, {0, nullptr}};
  EXPECT_EQ(Encode(PKCS_CONTENT_INFO, &detached),
            (Bytes{0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01}));

  // One byte short: refused with the size.
  DWORD size = 12;
  Bytes buffer(size);
  EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS_CONTENT_INFO, &detached, buffer.data(), &size));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(size, 13u);
}

TEST(CryptEncodeStructuresTest, BadInputIsRefused) {
  for (const char* text : {"", "1", "3.1", "1.40", "0.40.1", "1..2", "1.2.", ".1.2", "a.b", "1.2 ",
                           "1.2.99999999999999999999999"}) {
    std::string copy = text;
    CRYPT_ATTRIBUTE attribute{copy.data(), 0, nullptr};
    DWORD size = 0;
    EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS_ATTRIBUTE, &attribute, nullptr, &size)) << text;
    EXPECT_EQ(GetLastError(), Hr(CRYPT_E_OID_FORMAT)) << text;
  }
  DWORD size = 0;
  CRYPT_ATTRIBUTE noOid{nullptr, 0, nullptr};
  EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS_ATTRIBUTE, &noOid, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  char oid[] = "1.2.3";
  CRYPT_ATTRIBUTE missingValues{oid, 2, nullptr};
  EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS_ATTRIBUTE, &missingValues, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // Encode-only types are not decoded.
  const Bytes any = {0x30, 0x00};
  EXPECT_FALSE(
      CryptDecodeObjectEx(kEncoding, PKCS_CONTENT_INFO, any.data(), 2, 0, nullptr, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

struct SignerInfoFree {
  void operator()(void* p) const {
    // OpenSSL's type name is hidden by CryptMsg.h's macro; its functions are not.
    PKCS7_SIGNER_INFO_free(static_cast<decltype(d2i_PKCS7_SIGNER_INFO(nullptr, nullptr, 0))>(p));
  }
};

Bytes ToBytes(const ASN1_STRING* s) { return Bytes(s->data, s->data + s->length); }

TEST(CryptEncodeStructuresTest, SignerInfoReadsBackWithOpenSsl) {
  // Issuer: SEQUENCE { SET { SEQUENCE { CN, "T" } } }
  const Bytes issuer = {0x30, 0x0C, 0x31, 0x0A, 0x30, 0x08, 0x06,
                        0x03, 0x55, 0x04, 0x03, 0x0C, 0x01, 'T'};
  const Bytes serialHigh = {0x02, 0x01, 0x9F};  // least significant first
  const Bytes signature = Text("signature bytes");
  const Bytes digestValue = {0x04, 0x04, 1, 2, 3, 4};
  const Bytes contentType = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  char ctOid[] = "1.2.840.113549.1.9.3", mdOid[] = "1.2.840.113549.1.9.4",
       unauthOid[] = "1.2.840.113549.1.9.6";
  CRYPT_ATTR_BLOB ct = Blob(contentType), md = Blob(digestValue);
  CRYPT_ATTRIBUTE auth[] = {{ctOid, 1, &ct}, {mdOid, 1, &md}};
  CRYPT_ATTRIBUTE unauth[] = {{unauthOid, 1, &md}};
  char sha1[] = "1.3.14.3.2.26", rsa[] = "1.2.840.113549.1.1.1";
  CMSG_SIGNER_INFO info{};
  info.dwVersion = 1;
  info.Issuer = Blob(issuer);
  info.SerialNumber = Blob(serialHigh);
  info.HashAlgorithm = {sha1, {0, nullptr}};
  const Bytes null = {0x05, 0x00};
  info.HashEncryptionAlgorithm = {rsa, Blob(null)};
  info.EncryptedHash = Blob(signature);
  info.AuthAttrs = {2, auth};
  info.UnauthAttrs = {1, unauth};

  const Bytes der = Encode(PKCS7_SIGNER_INFO, &info, PKCS_7_ASN_ENCODING);
  ASSERT_FALSE(der.empty()) << std::hex << GetLastError();
  // The version, then the issuer and the serial with a 00 in front of 9F.
  const Bytes head = {0x02, 0x01, 0x01, 0x30, 0x14};
  const std::ptrdiff_t bodyAt = (der[1] & 0x80) ? 2 + (der[1] & 0x7F) : 2;
  EXPECT_EQ(Bytes(der.begin() + bodyAt, der.begin() + bodyAt + 5), head);
  const Bytes serialDer = {0x02, 0x04, 0x00, 0x9F, 0x01, 0x02};
  EXPECT_NE(std::search(der.begin(), der.end(), serialDer.begin(), serialDer.end()), der.end());

  const unsigned char* p = der.data();
  std::unique_ptr<void, SignerInfoFree> owner(
      d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_TRUE(owner);
  EXPECT_EQ(p, der.data() + der.size());
  auto* si = static_cast<decltype(d2i_PKCS7_SIGNER_INFO(nullptr, nullptr, 0))>(owner.get());
  EXPECT_EQ(ASN1_INTEGER_get(si->version), 1);
  EXPECT_EQ(ASN1_INTEGER_get(si->issuer_and_serial->serial), 0x9F0102);
  unsigned char* name = nullptr;
  const int nameSize = i2d_X509_NAME(si->issuer_and_serial->issuer, &name);
  EXPECT_EQ(Bytes(name, name + nameSize), issuer);
  OPENSSL_free(name);
  EXPECT_EQ(OBJ_obj2nid(si->digest_alg->algorithm), NID_sha1);
  EXPECT_EQ(ASN1_TYPE_get(si->digest_alg->parameter), V_ASN1_NULL);
  EXPECT_EQ(OBJ_obj2nid(si->digest_enc_alg->algorithm), NID_rsaEncryption);
  EXPECT_EQ(ToBytes(si->enc_digest), signature);
  ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->auth_attr), 2);
  EXPECT_EQ(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->auth_attr, 0))),
            NID_pkcs9_contentType);
  const ASN1_TYPE* digest = X509_ATTRIBUTE_get0_type(sk_X509_ATTRIBUTE_value(si->auth_attr, 1), 0);
  ASSERT_EQ(ASN1_TYPE_get(digest), V_ASN1_OCTET_STRING);
  EXPECT_EQ(ToBytes(digest->value.octet_string), (Bytes{1, 2, 3, 4}));
  ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->unauth_attr), 1);
  EXPECT_EQ(OBJ_obj2nid(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->unauth_attr, 0))),
            NID_pkcs9_countersignature);

  // A serial without the top bit set keeps its bytes; no attributes, no [0]/[1].
  const Bytes serialLow = {0x34, 0x12};
  info.SerialNumber = Blob(serialLow);
  info.AuthAttrs = {0, nullptr};
  info.UnauthAttrs = {0, nullptr};
  info.dwVersion = 0x80;
  const Bytes bare = Encode(PKCS7_SIGNER_INFO, &info);
  const Bytes lowDer = {0x02, 0x02, 0x12, 0x34};
  EXPECT_NE(std::search(bare.begin(), bare.end(), lowDer.begin(), lowDer.end()), bare.end());
  EXPECT_EQ(Bytes(bare.begin() + 2, bare.begin() + 6), (Bytes{0x02, 0x02, 0x00, 0x80}));
  p = bare.data();
  std::unique_ptr<void, SignerInfoFree> plain(
      d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(bare.size())));
  ASSERT_TRUE(plain);
  si = static_cast<decltype(si)>(plain.get());
  EXPECT_EQ(si->auth_attr, nullptr);
  EXPECT_EQ(si->unauth_attr, nullptr);
  EXPECT_EQ(ASN1_INTEGER_get(si->issuer_and_serial->serial), 0x1234);

  info.Issuer = {0, nullptr};
  DWORD size = 0;
  EXPECT_FALSE(CryptEncodeObject(kEncoding, PKCS7_SIGNER_INFO, &info, nullptr, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
