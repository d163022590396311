// The system's own result codes: 0xA0070000 | id, where id is the number of
// the message in the module's string table.
#pragma once

#include "platform/base/WinTypes.h"

inline constexpr HRESULT SigilCode(std::uint16_t id) { return MakeHResult(0xA0070000u | id); }

inline constexpr HRESULT SIGIL_E_NO_AVAILABLE_CERT = SigilCode(0x1001);
inline constexpr HRESULT SIGIL_E_USER_CANCELED = SigilCode(0x1002);
inline constexpr HRESULT SIGIL_E_QUERY_TYPE_NOT_SUPPORTED = SigilCode(0x1003);
inline constexpr HRESULT SIGIL_E_BASE64_ENCODE = SigilCode(0x1004);
inline constexpr HRESULT SIGIL_E_BASE64_DECODE = SigilCode(0x1005);
inline constexpr HRESULT SIGIL_E_MALICIOUS_PATH = SigilCode(0x1006);
inline constexpr HRESULT SIGIL_E_EMPTY_FILE = SigilCode(0x1007);
inline constexpr HRESULT SIGIL_E_TOO_MANY_SIGNERS = SigilCode(0x1008);
inline constexpr HRESULT SIGIL_E_NOT_UNREGISTERED = SigilCode(0x1009);
inline constexpr HRESULT SIGIL_E_NO_KEY_USAGE = SigilCode(0x1020);
inline constexpr HRESULT SIGIL_E_NO_SUBJECT_KEY_ID = SigilCode(0x1021);
inline constexpr HRESULT SIGIL_E_GET_EXTENSION = SigilCode(0x1022);
inline constexpr HRESULT SIGIL_E_CHAIN_TIME_INVALID = SigilCode(0x1031);
inline constexpr HRESULT SIGIL_E_CERT_IN_CRL = SigilCode(0x1032);
inline constexpr HRESULT SIGIL_E_CHAIN_INCOMPLETE = SigilCode(0x1033);
inline constexpr HRESULT SIGIL_E_CHAIN_SIGNATURE = SigilCode(0x1034);
inline constexpr HRESULT SIGIL_E_CERT_NOT_EXIST = SigilCode(0x1035);
inline constexpr HRESULT SIGIL_E_ASN1_DECODE = SigilCode(0x1041);
inline constexpr HRESULT SIGIL_E_PKCS7_DECODE = SigilCode(0x1042);
inline constexpr HRESULT SIGIL_E_DATA_TOO_LONG = SigilCode(0x1101);
inline constexpr HRESULT SIGIL_E_RECURSION_TOO_DEEP = SigilCode(0x1102);
inline constexpr HRESULT SIGIL_E_DECODE_SM2_PFX = SigilCode(0x1103);
inline constexpr HRESULT SIGIL_E_INVALID_PKCS7 = SigilCode(0x1104);
inline constexpr HRESULT SIGIL_E_INVALID_ENVELOPE = SigilCode(0x1105);
inline constexpr HRESULT SIGIL_E_NO_MATCHING_SM2_PFX = SigilCode(0x1106);
inline constexpr HRESULT SIGIL_E_SIGN_FAILED = SigilCode(0x1107);
inline constexpr HRESULT SIGIL_E_DECRYPT_SM2_PFX = SigilCode(0x1108);
inline constexpr HRESULT SIGIL_E_INSTALL_CHAIN = SigilCode(0x1402);  // has no message
inline constexpr HRESULT SIGIL_E_CERT_NOT_READY = SigilCode(0x2001);
inline constexpr HRESULT SIGIL_E_LANGUAGE = SigilCode(0x2002);
inline constexpr HRESULT SIGIL_E_CERT_NOT_UNIQUE = SigilCode(0x2003);
inline constexpr HRESULT SIGIL_E_INVALID_HASH_ALG = SigilCode(0x2020);
inline constexpr HRESULT SIGIL_E_INVALID_CERT_USAGE = SigilCode(0x2021);
inline constexpr HRESULT SIGIL_E_INVALID_SIGN_TYPE = SigilCode(0x2022);
inline constexpr HRESULT SIGIL_E_INVALID_ENVELOPE_TYPE = SigilCode(0x2023);
inline constexpr HRESULT SIGIL_E_DATA_EXCEEDS = SigilCode(0x2024);
inline constexpr HRESULT SIGIL_E_DATA_NOT_READY = SigilCode(0x2025);
inline constexpr HRESULT SIGIL_E_FILE_TOO_LARGE = SigilCode(0x2026);
// Wrong passwords for one file from one site came too fast: the next try waits.
inline constexpr HRESULT SIGIL_E_TOO_MANY_PASSWORDS = SigilCode(0x2027);
// A page named a file outside its granted folders that its user did not
// choose for it (0x2028 is the site-refusal text's id).
inline constexpr HRESULT SIGIL_E_FILE_NOT_GRANTED = SigilCode(0x2029);
inline constexpr HRESULT SIGIL_E_INVALID_KEY_ALG = SigilCode(0x2401);

// Platform codes the operations set themselves.
inline constexpr HRESULT SIGIL_E_INVALID_DATA = MakeHResult(0x8007000Du);
inline constexpr HRESULT SIGIL_E_OPEN_FAILED = MakeHResult(0x8007006Eu);
inline constexpr HRESULT SIGIL_E_ENCRYPTION_FAILED = MakeHResult(0x80071771u);
inline constexpr HRESULT SIGIL_E_ALREADY_EXISTS = MakeHResult(0x800700B7u);
// The user (or the machine's site policy) did not let this site use the
// certificates, keys or files.
inline constexpr HRESULT SIGIL_E_SITE_NOT_ALLOWED = MakeHResult(0x80070005u);

// Last error set by the selection dialog when the user cancels.
inline constexpr DWORD SIGIL_LASTERROR_CANCELED = 0x20001002u;
