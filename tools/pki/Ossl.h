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

#include "foundation/Unique.h"

namespace testpki {

using PkeyPtr = foundation::Unique<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = foundation::Unique<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtxPtr = foundation::Unique<EVP_MD_CTX, EVP_MD_CTX_free>;
using X509Ptr = foundation::Unique<X509, X509_free>;
using X509NamePtr = foundation::Unique<X509_NAME, X509_NAME_free>;
using X509ExtPtr = foundation::Unique<X509_EXTENSION, X509_EXTENSION_free>;
using BnPtr = foundation::Unique<BIGNUM, BN_clear_free>;
using BioPtr = foundation::Unique<BIO, BIO_free>;
using AsnIntPtr = foundation::Unique<ASN1_INTEGER, ASN1_INTEGER_free>;
using AsnObjPtr = foundation::Unique<ASN1_OBJECT, ASN1_OBJECT_free>;
using AsnOctPtr = foundation::Unique<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>;
using P8Ptr = foundation::Unique<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using P12Ptr = foundation::Unique<PKCS12, PKCS12_free>;

struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

}  // namespace testpki
