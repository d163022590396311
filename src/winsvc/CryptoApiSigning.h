// Signing and verification with certificates whose keys a CSP holds (RSA
// certificates of the user's store or of an imported PFX): raw PKCS #1
// signatures of messages and files, PKCS #7 SignedData of messages
// (attached or detached) and files (detached), and their verification.
//
// Every signature handed out or taken in is big-endian, as PKCS #1 and DER
// write it; the CSPs work little-endian, so signatures are reversed whole
// on the way out and in.
//
// Results are HRESULTs; failed platform calls give HRESULT_FROM_WIN32 of the
// last error. Buffers handed out are new[] arrays the caller frees with
// delete[], text outputs BSTRs freed with SysFreeString; outputs are written
// only on success.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/csp/Csp.h"
#include "platform/base/WinTypes.h"

// Hashes the data with the CSP of the certificate's private key (the CSP may
// show its own PIN prompt) and signs the hash with that key.
HRESULT CalculateHashandSign(PCCERT_CONTEXT pCertContext, const BYTE* pbyData, DWORD dwDataLen,
                             ALG_ID algId, BYTE** ppbySignature, DWORD* pdwSignatureLen);
// The same over the bytes of a file.
HRESULT CalculateFileHashandSign(PCCERT_CONTEXT pCertContext, LPCWSTR lpwFilePath, ALG_ID algId,
                                 BYTE** ppbySignature, DWORD* pdwSignatureLen);

// CryptEncodeObject (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING) of the
// structure into a new buffer.
HRESULT EncodeObject(DWORD* pdwEncodedLen, LPCSTR lpszStructType, const void* pvStructInfo,
                     BYTE** ppbyEncoded);

// A PKCS #7 ContentInfo (data 1.2.840.113549.1.7.1, signedData
// 1.2.840.113549.1.7.2) holding the raw signature (big-endian) of one
// signer, without authenticated attributes, as Base64 text in a new BSTR
// (*pdwOutputLen in characters). The content goes in when bAttach: the data,
// or with bFile the whole file.
HRESULT EncapsulatePKCS7(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid, LPCSTR pszSignatureOid,
                         DWORD dwDataLen, const BYTE* pbySignature, DWORD dwSignatureLen,
                         BSTR* pbstrOutput, DWORD* pdwOutputLen, BOOL bFile, BOOL bAttach,
                         DWORD dwBase64Flags, const BYTE* pbyData, LPCWSTR lpwFilePath);

// PKCS #7 of the data as one-line Base64; the hash algorithm must be one of
// MD5, SHA-1, SHA-256, SHA-384, SHA-512 (NTE_BAD_ALGID before the key is
// touched otherwise).
HRESULT SignBinaryData(BSTR* pbstrOutput, const BYTE* pbyData, PCCERT_CONTEXT pCertContext,
                       DWORD dwDataLen, ALG_ID algId, BOOL bAttach);
// Detached PKCS #7 of a file, as one-line Base64.
HRESULT SignFile(BSTR* pbstrOutput, LPCWSTR lpwFilePath, PCCERT_CONTEXT pCertContext, ALG_ID algId);

// Verifies every signer of a PKCS #7 SignedData against the certificates
// inside it (no chain, trust or revocation test); one signer that fails
// fails the whole. Attached (bAttached != 0): *ppbyContent receives a new
// buffer with the content and a zero byte after it, *pdwContentLength its
// length. Detached: *ppbyContent and *pdwContentLength are the content
// given. ppSignerCert (may be null) receives the first signer's
// certificate, to free with CertFreeCertificateContext.
HRESULT VerifySignature(const BYTE* pbyPKCS7, DWORD dwPKCS7Length, BOOL bAttached,
                        BYTE** ppbyContent, DWORD* pdwContentLength, PCCERT_CONTEXT* ppSignerCert);
// The same with the PKCS #7 as Base64 text.
HRESULT VerifySignatureBase64(LPCWSTR lpwBase64PKCS7, BOOL bAttached, BYTE** ppbyContent,
                              DWORD* pdwContentLength, PCCERT_CONTEXT* ppSignerCert);

// Verifies every signer of a detached PKCS #7 against the file's bytes.
// Only SignerInfos without authenticated attributes verify (the signature
// must cover the file's own digest). SIGIL_E_TOO_MANY_SIGNERS (0xA0071008)
// when the message has no signer.
HRESULT VerifyFileSignature(const BYTE* pbyPKCS7, DWORD dwPKCS7Length, LPCWSTR lpwFilePath);
HRESULT VerifyFileSignatureBase64(LPCWSTR lpwBase64PKCS7, LPCWSTR lpwFilePath);

// Feeds the whole file to the hash object in 0x4000-byte reads. A file
// that ends before its measured size fails with
// HRESULT_FROM_WIN32(ERROR_HANDLE_EOF).
HRESULT CalculateFileHash(LPCWSTR lpwFilePath, HCRYPTHASH hHash);

// Checks a big-endian PKCS #1 v1.5 signature over the data (or with bFile
// over the file's bytes) with the certificate's public key. The signature
// buffer is reversed in place into CryptoAPI order and left so.
// NTE_BAD_SIGNATURE when it does not check.
HRESULT VerifyHashSignedData(ALG_ID algId, PCCERT_CONTEXT pCertContext, const BYTE* pbyData,
                             DWORD dwDataLen, BYTE* pbySignature, DWORD dwSignatureLen,
                             LPCWSTR lpwFilePath, BOOL bFile);

// The digest and signature algorithm identifiers written for a hash ALG_ID;
// false for anything but MD5, SHA-1 and SHA-2 (256, 384, 512). The texts
// are static.
bool GetAlgorithmIdentifiers(ALG_ID algId, LPCSTR* ppszDigestOid, LPCSTR* ppszSignatureOid);
// The hash ALG_ID of a digest identifier (exact text); NTE_BAD_ALGID for
// any other.
HRESULT GetHashALGID(LPCSTR pszDigestOid, ALG_ID* pAlgId);

// A verification-only provider (CRYPT_VERIFYCONTEXT) able to hash with the
// algorithm; released by the caller.
HRESULT CryptAcquireContextbyAlgorithm(HCRYPTPROV* phProv, ALG_ID algId);
// The name of the first installed provider of type PROV_RSA_AES, as a new
// WCHAR array; E_FAIL when there is none.
HRESULT GetAESProviderName(LPWSTR* ppwszProviderName);
