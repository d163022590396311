// SM2 signing with a key that stays in its CSP key container (the
// certificate found in the container, UNREGISTERED_CERT_CONTEXT): the CSP
// hashes with its SM3 hash object (the Z value over its own user identity is
// its business) and signs; the raw signature, its DER forms and the SM2
// PKCS #7 SignedData (GM/T 0010 identifiers) are built here.
//
// Results are HRESULTs; failed platform calls give HRESULT_FROM_WIN32 of the
// last error. Buffers handed out are new[] arrays the caller frees with
// delete[]; outputs are written only on success.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/msg/CryptMsg.h"
#include "platform/base/WinTypes.h"
#include "winsvc/UnregisteredCertContext.h"

// Encoding types of SM2EncodeRawSignature.
inline constexpr DWORD SM2_SIGNATURE_SEQUENCE = 2;         // SEQUENCE { INTEGER r, INTEGER s }
inline constexpr DWORD SM2_SIGNATURE_OCTET_STRING = 1024;  // OCTET STRING { that SEQUENCE }

inline constexpr char szOID_SM3[] = "1.2.156.10197.1.401";
inline constexpr char szOID_SM2_SIGN[] = "1.2.156.10197.1.301.1";
inline constexpr char szOID_SM2_DATA[] = "1.2.156.10197.6.1.4.2.1";
inline constexpr char szOID_SM2_SIGNED_DATA[] = "1.2.156.10197.6.1.4.2.2";

// Raw signature r || s (64 bytes, each half big-endian) of the data, made
// by the record's CSP with its SM3 hash object and the record's key pair.
// E_INVALIDARG for a null record; 0x8007000D when the CSP's signature is
// not 64 bytes.
HRESULT SM2CalculateHashandSignbyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord,
                                                  const BYTE* pbyData, DWORD dwDataLen,
                                                  BYTE** ppbySignature, DWORD* pdwSignatureLen);
// The same over the bytes of a file (read in 0x4000-byte pieces).
HRESULT SM2CalculateFileHashandSignbyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord,
                                                      LPCWSTR lpwFilePath, BYTE** ppbySignature,
                                                      DWORD* pdwSignatureLen);

// DER of a 64-byte raw signature: SEQUENCE { INTEGER r, INTEGER s } or that
// in an OCTET STRING. Each INTEGER carries the 32 bytes unchanged (leading
// zeros kept), preceded by 00 when the top bit is set. 0x8007000D for
// another raw length, E_INVALIDARG for another encoding type.
HRESULT SM2EncodeRawSignature(DWORD* pdwEncodedLen, const BYTE* pbyRawSignature, DWORD dwRawLen,
                              BYTE** ppbyEncoded, DWORD dwEncodedType);

// AlgorithmIdentifier { OID, NULL }.
HRESULT SM2EncodeOID(LPCSTR pszObjId, BYTE** ppbyEncoded, DWORD* pdwEncodedLen);

// SignerInfo { 1, IssuerAndSerialNumber, digestAlgorithm,
// digestEncryptionAlgorithm, encryptedDigest } from the fields Issuer,
// SerialNumber (least significant byte first), HashAlgorithm.pszObjId,
// HashEncryptionAlgorithm.pszObjId and EncryptedHash (a complete DER TLV,
// written unchanged). No attributes.
HRESULT SM2EncodeSignerInfo(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbyEncoded,
                            DWORD* pdwEncodedLen);

// SM2 ContentInfo (1.2.156.10197.6.1.4.2.2) of one signer as Base64 text:
// a new zero-terminated char array, *pdwOutputLen without the terminator.
// pbyEncryptedDigest is the OCTET STRING form of SM2EncodeRawSignature.
// The content goes in when bAttach: the data, or with bFile the whole file.
HRESULT SM2EncapsulatePKCS7(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                            LPCSTR pszSignatureOid, DWORD dwDataLen, const BYTE* pbyEncryptedDigest,
                            DWORD dwEncryptedDigestLen, LPSTR* ppszOutput, DWORD* pdwOutputLen,
                            BOOL bFile, BOOL bAttach, DWORD dwBase64Flags, const BYTE* pbyData,
                            LPCWSTR lpwFilePath);

// SM2 PKCS #7 of the data (digest SM3, the given signature identifier,
// normally szOID_SM2_SIGN) as one-line Base64, attached or detached.
HRESULT SM2SignBinaryDatabyUnregisteredCert(PUNREGISTERED_CERT_CONTEXT pRecord, const BYTE* pbyData,
                                            DWORD dwDataLen, BOOL bAttach, LPCSTR pszSignatureOid,
                                            LPSTR* ppszOutput, DWORD* pdwOutputLen);
