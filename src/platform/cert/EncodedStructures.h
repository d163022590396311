// The structures CryptEncodeObject writes besides certificate parts: an
// attribute, a ContentInfo and a PKCS #7 SignerInfo. They are declared here,
// beside the certificate decoding that encodes them, so that the encoder does
// not reach up into the message layer that also hands them out.
#pragma once

// OpenSSL names a type PKCS7_SIGNER_INFO, CryptoAPI a structure type: ours
// is a macro (as in CryptoAPI) defined after OpenSSL's header has been read,
// so either include order compiles; OpenSSL's type is out of reach where this
// header is included.
#include <openssl/pkcs7.h>

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

// ---- Structures encoded by CryptEncodeObject ----------------------------------

// Structure types (the pointer value is the number, as in CryptoAPI).
inline const LPCSTR PKCS_ATTRIBUTE = reinterpret_cast<LPCSTR>(22);
inline const LPCSTR PKCS_CONTENT_INFO = reinterpret_cast<LPCSTR>(33);
#define PKCS7_SIGNER_INFO (reinterpret_cast<LPCSTR>(500))

using CRYPT_ATTR_BLOB = CRYPT_INTEGER_BLOB;
using PCRYPT_ATTR_BLOB = CRYPT_INTEGER_BLOB*;

// PKCS_ATTRIBUTE: SEQUENCE { OID, SET OF values (each complete DER) }.
struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
};
using PCRYPT_ATTRIBUTES = CRYPT_ATTRIBUTES*;

// PKCS_CONTENT_INFO: SEQUENCE { OID, [0] EXPLICIT content } where Content is
// the complete DER of the content; an empty Content leaves [0] out.
struct CRYPT_CONTENT_INFO {
  LPSTR pszObjId;
  CRYPT_DER_BLOB Content;
};
using PCRYPT_CONTENT_INFO = CRYPT_CONTENT_INFO*;

// PKCS7_SIGNER_INFO and CMSG_SIGNER_INFO_PARAM: a PKCS #7 SignerInfo.
// SerialNumber least significant byte first; EncryptedHash the signature
// bytes (the OCTET STRING's contents); algorithm parameters empty when
// absent (encoded as NULL).
struct CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;
