// PKCS #7 / CMS messages shaped like CryptoAPI's crypt32 message calls:
// SignedData verification (whole messages, attached or detached) and
// EnvelopedData with RSA key-transport recipients, made and opened whole or
// streamed piece by piece with bounded memory.
//
// Message handles are opaque and checked: one that is not live gives FALSE
// with ERROR_INVALID_HANDLE (or null for the open calls' failures), never a
// crash.
#pragma once

#include "platform/cert/CertContext.h"
#include "platform/cert/EncodedStructures.h"
#include "platform/store/CertStore.h"
#include "platform/csp/Csp.h"
#include "platform/base/WinTypes.h"

using HCRYPTMSG = void*;

inline constexpr ALG_ID CALG_RC4 = 0x00006801;
inline constexpr ALG_ID CALG_3DES = 0x00006603;
inline constexpr ALG_ID CALG_3DES_112 = 0x00006609;

inline constexpr char szOID_RSA_RSA[] = "1.2.840.113549.1.1.1";
inline constexpr char szOID_RSA_RC4[] = "1.2.840.113549.3.4";
inline constexpr char szOID_RSA_DES_EDE3_CBC[] = "1.2.840.113549.3.7";
inline constexpr char szOID_RSA_data[] = "1.2.840.113549.1.7.1";
inline constexpr char szOID_RSA_signedData[] = "1.2.840.113549.1.7.2";
inline constexpr char szOID_RSA_envelopedData[] = "1.2.840.113549.1.7.3";

// ---- Signed-message verification ----------------------------------------------

using PFN_CRYPT_GET_SIGNER_CERTIFICATE = PCCERT_CONTEXT (*)(void* pvGetArg,
                                                            DWORD dwCertEncodingType,
                                                            PCERT_INFO pSignerId,
                                                            HCERTSTORE hMsgCertStore);

struct CRYPT_VERIFY_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgAndCertEncodingType;
  HCRYPTPROV_LEGACY hCryptProv;
  PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;  // null: the message's own certificates
  void* pvGetArg;
};
using PCRYPT_VERIFY_MESSAGE_PARA = CRYPT_VERIFY_MESSAGE_PARA*;

// Verifies signer dwSignerIndex of an attached SignedData and hands out its
// content (null pbDecoded asks for the size; ERROR_MORE_DATA for a small
// buffer). The signer's certificate is found among the message's own by
// issuer and serial number (CRYPT_E_SIGNER_NOT_FOUND); with authenticated
// attributes their message digest must match the content
// (CRYPT_E_HASH_VALUE) and the signature covers them; without, the
// signature covers the content's digest. NTE_BAD_SIGNATURE for a signature
// that does not check, CRYPT_E_NO_SIGNER for an index past the last signer,
// CRYPT_E_UNEXPECTED_MSG_TYPE for another content type,
// CRYPT_E_ASN1_BADTAG / CRYPT_E_ASN1_EOD / CRYPT_E_ASN1_CORRUPT /
// CRYPT_E_BAD_ENCODE for bytes that do not decode. No chain, trust or
// revocation test. *ppSignerCert (may be null) receives a new reference to
// the signer's certificate, also on a signature failure.
BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert);
// The same for a detached SignedData over the concatenation of the
// cToBeSigned parts.
BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara,
                                         DWORD dwSignerIndex, const BYTE* pbDetachedSignBlob,
                                         DWORD cbDetachedSignBlob, DWORD cToBeSigned,
                                         const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                                         PCCERT_CONTEXT* ppSignerCert);

// ---- Envelopes as whole messages ----------------------------------------------

inline constexpr DWORD CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG = 0x4;

struct CRYPT_ENCRYPT_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgEncodingType;
  HCRYPTPROV_LEGACY hCryptProv;  // ignored: the cipher is OpenSSL's
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
  void* pvEncryptionAuxInfo;  // must be null
  DWORD dwFlags;              // CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG or 0
  DWORD dwInnerContentType;   // must be 0 (data)
};
using PCRYPT_ENCRYPT_MESSAGE_PARA = CRYPT_ENCRYPT_MESSAGE_PARA*;

struct CRYPT_DECRYPT_MESSAGE_PARA {
  DWORD cbSize;
  DWORD dwMsgAndCertEncodingType;
  DWORD cCertStore;
  HCERTSTORE* rghCertStore;
};
using PCRYPT_DECRYPT_MESSAGE_PARA = CRYPT_DECRYPT_MESSAGE_PARA*;

// A DER EnvelopedData (definite lengths) of the content for every recipient
// certificate (RSA keys only; NTE_BAD_PUBLIC_KEY otherwise), named with
// CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG by its CERT_KEY_IDENTIFIER_PROP_ID
// (the subject key identifier, else the SHA-1 of its public key) and by
// issuer and serial number otherwise. Content algorithms: szOID_RSA_RC4 (128-bit key) and
// szOID_RSA_DES_EDE3_CBC; another gives CRYPT_E_UNKNOWN_ALGO. Null
// pbEncryptedBlob asks for the size, which may exceed the final length
// (the final length is written back), ERROR_MORE_DATA for a small buffer.
BOOL CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA pEncryptPara, DWORD cRecipientCert,
                         PCCERT_CONTEXT rgpRecipientCert[], const BYTE* pbToBeEncrypted,
                         DWORD cbToBeEncrypted, BYTE* pbEncryptedBlob, DWORD* pcbEncryptedBlob);
// Opens an EnvelopedData (DER or BER) with the first recipient that names a
// certificate in the stores (in store order) whose private key can be
// acquired; CRYPT_E_NO_DECRYPT_CERT when there is none. A content that does
// not decrypt gives NTE_BAD_DATA whether the session key or the content was
// wrong. Size query and ERROR_MORE_DATA as above; *ppXchgCert (may be null)
// receives the recipient certificate.
BOOL CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA pDecryptPara, const BYTE* pbEncryptedBlob,
                         DWORD cbEncryptedBlob, BYTE* pbDecrypted, DWORD* pcbDecrypted,
                         PCCERT_CONTEXT* ppXchgCert);

// ---- Low-level messages ---------------------------------------------------------

inline constexpr DWORD CMSG_DATA = 1;
inline constexpr DWORD CMSG_SIGNED = 2;
inline constexpr DWORD CMSG_ENVELOPED = 3;

inline constexpr DWORD CMSG_DETACHED_FLAG = 0x4;
inline constexpr DWORD CMSG_INDEFINITE_LENGTH = 0xFFFFFFFF;

// Output of a streamed message: called with each piece as soon as it is
// ready (fFinal on the last); FALSE makes the update that caused it fail.
using PFN_CMSG_STREAM_OUTPUT = BOOL (*)(const void* pvArg, BYTE* pbData, DWORD cbData,
                                        BOOL fFinal);

struct CMSG_STREAM_INFO {
  DWORD cbContent;  // CMSG_INDEFINITE_LENGTH for BER output of unknown length
  PFN_CMSG_STREAM_OUTPUT pfnStreamOutput;
  void* pvArg;
};
using PCMSG_STREAM_INFO = CMSG_STREAM_INFO*;

inline constexpr DWORD CMSG_KEY_TRANS_RECIPIENT = 1;

struct CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO {
  DWORD cbSize;
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;  // szOID_RSA_RSA
  void* pvKeyEncryptionAuxInfo;
  HCRYPTPROV_LEGACY hCryptProv;
  CRYPT_BIT_BLOB RecipientPublicKey;  // the subjectPublicKey bits (an RSAPublicKey)
  CERT_ID RecipientId;  // CERT_ID_KEY_IDENTIFIER or CERT_ID_ISSUER_SERIAL_NUMBER
};
using PCMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO = CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO*;

struct CMSG_RECIPIENT_ENCODE_INFO {
  DWORD dwRecipientChoice;  // CMSG_KEY_TRANS_RECIPIENT only
  union {
    PCMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO pKeyTrans;
    void* pKeyAgree;
    void* pMailList;
  };
};
using PCMSG_RECIPIENT_ENCODE_INFO = CMSG_RECIPIENT_ENCODE_INFO*;

struct CMSG_ENVELOPED_ENCODE_INFO {
  DWORD cbSize;
  HCRYPTPROV_LEGACY hCryptProv;
  CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
  void* pvEncryptionAuxInfo;
  DWORD cRecipients;
  PCERT_INFO* rgpRecipients;  // version-1 recipients by issuer and serial number
  PCMSG_RECIPIENT_ENCODE_INFO rgCmsRecipients;  // when set, cRecipients counts these instead
  DWORD cCertEncoded;
  PCRYPT_DATA_BLOB rgCertEncoded;
  DWORD cCrlEncoded;
  PCRYPT_DATA_BLOB rgCrlEncoded;
  DWORD cAttrCertEncoded;
  PCRYPT_DATA_BLOB rgAttrCertEncoded;
  DWORD cUnprotectedAttr;
  PCRYPT_ATTRIBUTE rgUnprotectedAttr;
};
using PCMSG_ENVELOPED_ENCODE_INFO = CMSG_ENVELOPED_ENCODE_INFO*;

struct CMSG_KEY_TRANS_RECIPIENT_INFO {
  DWORD dwVersion;
  CERT_ID RecipientId;
  CRYPT_ALGORITHM_IDENTIFIER KeyEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedKey;  // big-endian, as in the message
};
using PCMSG_KEY_TRANS_RECIPIENT_INFO = CMSG_KEY_TRANS_RECIPIENT_INFO*;

struct CMSG_CMS_RECIPIENT_INFO {
  DWORD dwRecipientChoice;
  union {
    PCMSG_KEY_TRANS_RECIPIENT_INFO pKeyTrans;
    void* pKeyAgree;
    void* pMailList;
  };
};
using PCMSG_CMS_RECIPIENT_INFO = CMSG_CMS_RECIPIENT_INFO*;

inline constexpr DWORD CMSG_CTRL_DECRYPT = 2;

struct CMSG_CTRL_DECRYPT_PARA {
  DWORD cbSize;
  HCRYPTPROV hCryptProv;  // holds the recipient's private key
  DWORD dwKeySpec;
  DWORD dwRecipientIndex;
};
using PCMSG_CTRL_DECRYPT_PARA = CMSG_CTRL_DECRYPT_PARA*;

// Parameters read with CryptMsgGetParam.
inline constexpr DWORD CMSG_TYPE_PARAM = 1;     // DWORD: CMSG_SIGNED, CMSG_ENVELOPED
inline constexpr DWORD CMSG_CONTENT_PARAM = 2;  // bytes: the (decrypted) content
inline constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;      // DWORD
inline constexpr DWORD CMSG_SIGNER_INFO_PARAM = 6;       // CMSG_SIGNER_INFO, self-contained
inline constexpr DWORD CMSG_SIGNER_CERT_INFO_PARAM = 7;  // CERT_INFO: Issuer and SerialNumber set
inline constexpr DWORD CMSG_CERT_COUNT_PARAM = 11;       // DWORD
inline constexpr DWORD CMSG_CERT_PARAM = 12;             // DER certificate
inline constexpr DWORD CMSG_ENVELOPE_ALGORITHM_PARAM = 15;  // CRYPT_ALGORITHM_IDENTIFIER
inline constexpr DWORD CMSG_RECIPIENT_COUNT_PARAM = 17;     // DWORD
inline constexpr DWORD CMSG_CMS_RECIPIENT_INFO_PARAM = 36;  // CMSG_CMS_RECIPIENT_INFO, self-contained

// Enveloped data only (CMSG_ENVELOPED with a CMSG_ENVELOPED_ENCODE_INFO;
// CRYPT_E_INVALID_MSG_TYPE otherwise). With a stream record the encoded
// message goes to the callback piece by piece as updates arrive: BER with
// indefinite lengths when cbContent is CMSG_INDEFINITE_LENGTH, DER
// otherwise (the updates must then total cbContent). Without one the
// encoding is read back with CMSG_CONTENT_PARAM after the final update.
HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                               PCMSG_STREAM_INFO pStreamInfo);
// With a stream record: an enveloped message decoded as its bytes arrive
// (DER or BER); the header parameters become readable once it is complete
// (CRYPT_E_STREAM_MSG_NOT_READY before), and after CMSG_CTRL_DECRYPT the
// content goes to the callback piece by piece. Without one: the message is
// gathered until the final update and decoded whole, a SignedData (of any
// type when dwMsgType is 0, the content supplied separately with
// CMSG_DETACHED_FLAG) or with CMSG_ENVELOPED an EnvelopedData.
// hCryptProv and pRecipientInfo are ignored.
HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                               PCMSG_STREAM_INFO pStreamInfo);
// A failure leaves the message unusable for further updates.
BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
// Null pvData asks for the size; ERROR_MORE_DATA for a small buffer;
// CRYPT_E_INVALID_MSG_TYPE for a parameter the message type does not have,
// CRYPT_E_INVALID_INDEX for an index past the end, CRYPT_E_STREAM_MSG_NOT_READY
// while the part that holds it has not been decoded yet.
BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData);
// CMSG_CTRL_DECRYPT (CMSG_CTRL_DECRYPT_PARA) on an enveloped message being
// decoded: CRYPT_E_ALREADY_DECRYPTED the second time, CRYPT_E_INVALID_INDEX
// for a recipient index past the end, CRYPT_E_CONTROL_TYPE for other types.
BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara);
BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);
