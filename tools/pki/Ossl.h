// Owning handles for the OpenSSL objects the test PKI uses.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace testpki {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using X509ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using AsnIntPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;
using AsnObjPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using AsnOctPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Deleter<PKCS8_PRIV_KEY_INFO_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

}  // namespace testpki
