// Cryptographic service providers shaped like CryptoAPI's advapi32 calls.
// The installed providers are the built-in Microsoft-named RSA software
// providers plus those registered in the machine registry stand-in under
// SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name> (values "Type"
// REG_DWORD and "Image Path" REG_SZ naming a built-in implementation, see
// CspProvider.h); enumerated in case-insensitive name order.
//
// Handles are opaque and checked: a handle that is not live gives FALSE with
// ERROR_INVALID_HANDLE (provider) or NTE_BAD_KEY (key), never a crash.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/base/WinTypes.h"

using HCRYPTPROV = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
using HCRYPTHASH = ULONG_PTR;
using ALG_ID = unsigned int;

inline constexpr DWORD PROV_RSA_FULL = 1;
inline constexpr DWORD PROV_RSA_AES = 24;

inline constexpr char16_t MS_DEF_PROV_W[] = u"Microsoft Base Cryptographic Provider v1.0";
inline constexpr char16_t MS_ENHANCED_PROV_W[] = u"Microsoft Enhanced Cryptographic Provider v1.0";
inline constexpr char16_t MS_ENH_RSA_AES_PROV_W[] =
    u"Microsoft Enhanced RSA and AES Cryptographic Provider";
// The software SM2 provider for development and testing; registered as type
// PROV_RSA_FULL like the SM2 token CSPs it stands in for.
inline constexpr char16_t SIGIL_SM2_PROV_W[] = u"Sigil SM2 Software Cryptographic Provider";

inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
inline constexpr DWORD CRYPT_MACHINE_KEYSET_FLAG = 0x00000020;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;

inline constexpr DWORD PP_ENUMCONTAINERS = 2;
inline constexpr DWORD PP_IMPTYPE = 3;
inline constexpr DWORD PP_NAME = 4;
inline constexpr DWORD PP_VERSION = 5;
inline constexpr DWORD PP_CONTAINER = 6;
inline constexpr DWORD PP_PROVTYPE = 16;
inline constexpr DWORD PP_UNIQUE_CONTAINER = 36;
inline constexpr DWORD CRYPT_FIRST = 1;
inline constexpr DWORD CRYPT_NEXT = 2;

inline constexpr DWORD CRYPT_IMPL_HARDWARE = 1;
inline constexpr DWORD CRYPT_IMPL_SOFTWARE = 2;
inline constexpr DWORD CRYPT_IMPL_MIXED = 3;
inline constexpr DWORD CRYPT_IMPL_UNKNOWN = 4;
inline constexpr DWORD CRYPT_IMPL_REMOVABLE = 8;

inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

inline constexpr DWORD KP_ALGID = 7;
inline constexpr DWORD KP_KEYLEN = 9;
inline constexpr DWORD KP_CERTIFICATE = 26;

inline constexpr ALG_ID CALG_RSA_SIGN = 0x00002400;
inline constexpr ALG_ID CALG_RSA_KEYX = 0x0000A400;
// The SM2 provider's key algorithms (vendor range, as SM2 CSPs use).
inline constexpr ALG_ID CALG_SM2_SIGN = 0x0000A00A;
inline constexpr ALG_ID CALG_SM2_KEYX = 0x0000A00B;

// Index-th installed provider. pcbProvName is in bytes, terminator included;
// null szProvName asks for the size; ERROR_MORE_DATA for a small buffer;
// ERROR_NO_MORE_ITEMS past the end.
BOOL CryptEnumProvidersW(DWORD dwIndex, DWORD* pdwReserved, DWORD dwFlags, DWORD* pdwProvType,
                         LPWSTR szProvName, DWORD* pcbProvName);

// Opens a key container of the named provider (null: the default provider of
// the type, MS_ENHANCED_PROV_W for type 1, MS_ENH_RSA_AES_PROV_W for 24). A
// null or empty container name is the default container (the user's login
// name). CRYPT_VERIFYCONTEXT opens no container (the name is ignored);
// CRYPT_NEWKEYSET creates one (NTE_EXISTS if present); CRYPT_DELETEKEYSET
// deletes it, returns no handle and sets *phProv to 0. Errors:
// NTE_KEYSET_NOT_DEF for an unknown provider, NTE_PROV_TYPE_NOT_DEF for a
// type the provider is not registered with, NTE_BAD_KEYSET for a missing
// container, NTE_BAD_KEYSET_PARAM (0x8009001F) for a container name longer
// than 127 UTF-8 bytes, NTE_PROVIDER_DLL_FAIL (0x8009001D) when no
// implementation is registered under the entry's image path, NTE_BAD_FLAGS
// for unknown or conflicting flags. Machine key sets are not kept, so
// CRYPT_MACHINE_KEYSET_FLAG is NTE_BAD_FLAGS too.
BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

// PP_NAME, PP_CONTAINER, PP_UNIQUE_CONTAINER: narrow (UTF-8) text with its
// terminator (the unique name is the container name; a verify context has
// none: NTE_BAD_KEYSET). PP_ENUMCONTAINERS with CRYPT_FIRST / CRYPT_NEXT: one container
// name per call in the provider's order, ERROR_NO_MORE_ITEMS at the end; a
// size query (null pbData) reports the longest name's size, terminator
// included (1 when there are none); the names are read at CRYPT_FIRST. A
// small buffer gives ERROR_MORE_DATA and the name is offered again on the
// next call. PP_IMPTYPE, PP_PROVTYPE, PP_VERSION: a DWORD. Null pbData asks
// for the size, a small buffer gives ERROR_MORE_DATA; NTE_BAD_TYPE for other
// parameters.
BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                       DWORD dwFlags);

// The container's key pair of that kind (exchange or signature); NTE_NO_KEY when it has none (and
// always on a verify context). A key handle keeps its context's key pair
// usable after CryptReleaseContext until CryptDestroyKey.
BOOL CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
// KP_CERTIFICATE: the DER certificate stored with the key (NTE_NOT_FOUND
// when there is none); KP_ALGID: the ALG_ID; KP_KEYLEN: bits. Size rules as
// CryptGetProvParam.
BOOL CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                      DWORD dwFlags);
// KP_CERTIFICATE only (NTE_BAD_TYPE otherwise): stores the DER certificate
// with the key (it must carry the key's public key, else NTE_BAD_DATA; its
// length is read from its DER header). Persistent containers write it
// through at once.
BOOL CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL CryptDestroyKey(HCRYPTKEY hKey);

inline constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
inline constexpr DWORD CRYPT_ACQUIRE_USE_PROV_INFO_FLAG = 0x00000002;
inline constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x00000004;
inline constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;

// Through the certificate's CERT_KEY_PROV_INFO_PROP_ID: opens that
// provider's container and checks that the key pair of that kind exists and
// matches the certificate's public key. CRYPT_E_NO_KEY_PROPERTY without the
// property, NTE_BAD_KEYSET / NTE_NO_KEY / NTE_BAD_PUBLIC_KEY otherwise (and
// CryptAcquireContextW's errors). The key pair is always compared, so
// CRYPT_ACQUIRE_COMPARE_KEY_FLAG changes nothing; pvParameters is ignored.
// The caller releases *phCryptProv when *pfCallerFreeProv is TRUE (always
// here); pdwKeySpec and pfCallerFreeProv may be null.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                       HCRYPTPROV* phCryptProv, DWORD* pdwKeySpec,
                                       BOOL* pfCallerFreeProv);
