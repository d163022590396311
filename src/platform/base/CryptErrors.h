// CryptoAPI result codes beyond the few in WinTypes.h.
#pragma once

#include "platform/base/WinTypes.h"

// Cryptographic service provider codes.
inline constexpr HRESULT NTE_BAD_UID = MakeHResult(0x80090001u);
inline constexpr HRESULT NTE_BAD_HASH = MakeHResult(0x80090002u);
inline constexpr HRESULT NTE_BAD_KEY = MakeHResult(0x80090003u);
inline constexpr HRESULT NTE_BAD_LEN = MakeHResult(0x80090004u);
inline constexpr HRESULT NTE_BAD_DATA = MakeHResult(0x80090005u);
inline constexpr HRESULT NTE_BAD_VER = MakeHResult(0x80090007u);
inline constexpr HRESULT NTE_BAD_FLAGS = MakeHResult(0x80090009u);
inline constexpr HRESULT NTE_BAD_TYPE = MakeHResult(0x8009000Au);
inline constexpr HRESULT NTE_BAD_KEY_STATE = MakeHResult(0x8009000Bu);
inline constexpr HRESULT NTE_BAD_HASH_STATE = MakeHResult(0x8009000Cu);
inline constexpr HRESULT NTE_NO_KEY = MakeHResult(0x8009000Du);
inline constexpr HRESULT NTE_NO_MEMORY = MakeHResult(0x8009000Eu);
inline constexpr HRESULT NTE_EXISTS = MakeHResult(0x8009000Fu);
inline constexpr HRESULT NTE_PERM = MakeHResult(0x80090010u);
inline constexpr HRESULT NTE_NOT_FOUND = MakeHResult(0x80090011u);
inline constexpr HRESULT NTE_BAD_PROVIDER = MakeHResult(0x80090013u);
inline constexpr HRESULT NTE_BAD_PROV_TYPE = MakeHResult(0x80090014u);
inline constexpr HRESULT NTE_BAD_PUBLIC_KEY = MakeHResult(0x80090015u);
inline constexpr HRESULT NTE_BAD_KEYSET = MakeHResult(0x80090016u);
inline constexpr HRESULT NTE_PROV_TYPE_NOT_DEF = MakeHResult(0x80090017u);
inline constexpr HRESULT NTE_KEYSET_NOT_DEF = MakeHResult(0x80090019u);
inline constexpr HRESULT NTE_FAIL = MakeHResult(0x80090020u);
inline constexpr HRESULT NTE_NOT_SUPPORTED = MakeHResult(0x80090029u);
inline constexpr HRESULT NTE_INVALID_PARAMETER = MakeHResult(0x80090027u);
inline constexpr HRESULT NTE_BUFFER_TOO_SMALL = MakeHResult(0x80090028u);

// Message (PKCS#7/CMS) codes.
inline constexpr HRESULT CRYPT_E_MSG_ERROR = MakeHResult(0x80091001u);
inline constexpr HRESULT CRYPT_E_UNKNOWN_ALGO = MakeHResult(0x80091002u);
inline constexpr HRESULT CRYPT_E_OID_FORMAT = MakeHResult(0x80091003u);
inline constexpr HRESULT CRYPT_E_INVALID_MSG_TYPE = MakeHResult(0x80091004u);
inline constexpr HRESULT CRYPT_E_UNEXPECTED_ENCODING = MakeHResult(0x80091005u);
inline constexpr HRESULT CRYPT_E_AUTH_ATTR_MISSING = MakeHResult(0x80091006u);
inline constexpr HRESULT CRYPT_E_HASH_VALUE = MakeHResult(0x80091007u);
inline constexpr HRESULT CRYPT_E_INVALID_INDEX = MakeHResult(0x80091008u);
inline constexpr HRESULT CRYPT_E_ALREADY_DECRYPTED = MakeHResult(0x80091009u);
inline constexpr HRESULT CRYPT_E_NOT_DECRYPTED = MakeHResult(0x8009100Au);
inline constexpr HRESULT CRYPT_E_RECIPIENT_NOT_FOUND = MakeHResult(0x8009100Bu);
inline constexpr HRESULT CRYPT_E_CONTROL_TYPE = MakeHResult(0x8009100Cu);
inline constexpr HRESULT CRYPT_E_ISSUER_SERIALNUMBER = MakeHResult(0x8009100Du);
inline constexpr HRESULT CRYPT_E_SIGNER_NOT_FOUND = MakeHResult(0x8009100Eu);
inline constexpr HRESULT CRYPT_E_ATTRIBUTES_MISSING = MakeHResult(0x8009100Fu);
inline constexpr HRESULT CRYPT_E_STREAM_MSG_NOT_READY = MakeHResult(0x80091010u);
inline constexpr HRESULT CRYPT_E_STREAM_INSUFFICIENT_DATA = MakeHResult(0x80091011u);

// Certificate and store codes.
inline constexpr HRESULT CRYPT_E_BAD_LEN = MakeHResult(0x80092001u);
inline constexpr HRESULT CRYPT_E_BAD_ENCODE = MakeHResult(0x80092002u);
inline constexpr HRESULT CRYPT_E_FILE_ERROR = MakeHResult(0x80092003u);
inline constexpr HRESULT CRYPT_E_NO_PROVIDER = MakeHResult(0x80092006u);
inline constexpr HRESULT CRYPT_E_SELF_SIGNED = MakeHResult(0x80092007u);
inline constexpr HRESULT CRYPT_E_DELETED_PREV = MakeHResult(0x80092008u);
inline constexpr HRESULT CRYPT_E_NO_MATCH = MakeHResult(0x80092009u);
inline constexpr HRESULT CRYPT_E_UNEXPECTED_MSG_TYPE = MakeHResult(0x8009200Au);
inline constexpr HRESULT CRYPT_E_NO_KEY_PROPERTY = MakeHResult(0x8009200Bu);
inline constexpr HRESULT CRYPT_E_NO_DECRYPT_CERT = MakeHResult(0x8009200Cu);
inline constexpr HRESULT CRYPT_E_BAD_MSG = MakeHResult(0x8009200Du);
inline constexpr HRESULT CRYPT_E_NO_SIGNER = MakeHResult(0x8009200Eu);
inline constexpr HRESULT CRYPT_E_REVOKED = MakeHResult(0x80092010u);
inline constexpr HRESULT CRYPT_E_NO_REVOCATION_CHECK = MakeHResult(0x80092012u);
inline constexpr HRESULT CRYPT_E_REVOCATION_OFFLINE = MakeHResult(0x80092013u);

// ASN.1 encode/decode codes.
inline constexpr HRESULT CRYPT_E_ASN1_ERROR = MakeHResult(0x80093100u);
inline constexpr HRESULT CRYPT_E_ASN1_INTERNAL = MakeHResult(0x80093101u);
inline constexpr HRESULT CRYPT_E_ASN1_EOD = MakeHResult(0x80093102u);
inline constexpr HRESULT CRYPT_E_ASN1_CORRUPT = MakeHResult(0x80093103u);
inline constexpr HRESULT CRYPT_E_ASN1_LARGE = MakeHResult(0x80093104u);
inline constexpr HRESULT CRYPT_E_ASN1_MEMORY = MakeHResult(0x80093106u);
inline constexpr HRESULT CRYPT_E_ASN1_OVERFLOW = MakeHResult(0x80093107u);
inline constexpr HRESULT CRYPT_E_ASN1_BADTAG = MakeHResult(0x8009310Bu);

// Trust (certificate chain) codes.
inline constexpr HRESULT TRUST_E_CERT_SIGNATURE = MakeHResult(0x80096004u);
inline constexpr HRESULT CERT_E_EXPIRED = MakeHResult(0x800B0101u);
inline constexpr HRESULT CERT_E_UNTRUSTEDROOT = MakeHResult(0x800B0109u);
inline constexpr HRESULT CERT_E_CHAINING = MakeHResult(0x800B010Au);
inline constexpr HRESULT CERT_E_WRONG_USAGE = MakeHResult(0x800B0110u);
