// DER forms of SM2 signatures and the SM2 PKCS #7 SignedData, built by hand
// from ASN1Encode pieces.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "platform/base/CryptErrors.h"
#include "platform/msg/CryptMsg.h"
#include "resources/ResultCodes.h"
#include "smengine/asn1/ASN1Engine.h"
#include "smengine/common/TextUtility.h"
#include "trace/Trace.h"
#include "winsvc/CryptoApiSigning.h"
#include "winsvc/SigningPieces.h"
#include "winsvc/Sm2CspSigning.h"

namespace {

constexpr LPCWSTR kSourceUnit = u"Sm2CspEncode";
constexpr DWORD kSm2RawSignatureSize = 64;
constexpr DWORD kSm2HalfSize = 32;

// INTEGER of one 32-byte half: unchanged (leading zeros kept, so always 32
// or 33 content bytes), with a 00 in front when the top bit is set.
HRESULT EncodeHalf(const BYTE* pbyHalf, signing::Der& out) {
  BYTE rgbyValue[kSm2HalfSize + 1] = {};
  DWORD dwValueLen = 0;
  if (pbyHalf[0] & 0x80) rgbyValue[dwValueLen++] = 0x00;
  std::memcpy(rgbyValue + dwValueLen, pbyHalf, kSm2HalfSize);
  dwValueLen += kSm2HalfSize;
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  const HRESULT hResult = ASN1Encode(0x02, rgbyValue, dwValueLen, &pbyEncoded, &dwEncoded);
  if (FAILED(hResult)) return hResult;
  out.Adopt(pbyEncoded, dwEncoded);
  return S_OK;
}

HRESULT EncodeOidInto(StepTrace& trace, LPCSTR pszObjId, signing::Der& out) {
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  const HRESULT hResult = SM2EncodeOID(pszObjId, &pbyEncoded, &dwEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2EncodeOID)");
  out.Adopt(pbyEncoded, dwEncoded);
  return S_OK;
}

}  // namespace

HRESULT SM2EncodeRawSignature(DWORD* pdwEncodedLen, const BYTE* pbyRawSignature, DWORD dwRawLen,
                              BYTE** ppbyEncoded, DWORD dwEncodedType) {
  TraceHelper helper("SM2EncodeRawSignature");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2EncodeRawSignature");
  TraceValue(kTraceGuidWinsvc, "dwEncodedType", static_cast<std::uint32_t>(dwEncodedType));
  trace.Step(u"Check parameter");
  if (pdwEncodedLen == nullptr || ppbyEncoded == nullptr || pbyRawSignature == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pdwEncodedLen || NULL == ppbyEncoded");
  trace.Step(u"Check SM2 raw signature size");
  if (dwRawLen != kSm2RawSignatureSize)
    return trace.Failed(SIGIL_E_INVALID_DATA, u"64 != dwRawLen");

  trace.Step(u"ASN1Encode(1)");
  signing::Der r;
  HRESULT hResult = EncodeHalf(pbyRawSignature, r);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");
  trace.Step(u"ASN1Encode(2)");
  signing::Der s;
  hResult = EncodeHalf(pbyRawSignature + kSm2HalfSize, s);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");
  trace.Step(u"ASN1Encode(3)");
  signing::Der sequence;
  hResult = signing::EncodeJoined(0x30, {&r, &s}, sequence);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  signing::Der output;
  if (dwEncodedType == SM2_SIGNATURE_SEQUENCE) {
    output = std::move(sequence);
  } else if (dwEncodedType == SM2_SIGNATURE_OCTET_STRING) {
    trace.Step(u"ASN1Encode(4)");
    hResult = signing::EncodeJoined(0x04, {&sequence}, output);
    if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");
  } else {
    trace.Step(u"Invalid SM2 signature encoded type");
    return trace.Failed(E_INVALIDARG, u"Invalid SM2 signature encoded type");
  }
  trace.Passed();
  *ppbyEncoded = output.data.release();
  *pdwEncodedLen = output.size;
  return S_OK;
}

HRESULT SM2EncodeOID(LPCSTR pszObjId, BYTE** ppbyEncoded, DWORD* pdwEncodedLen) {
  TraceHelper helper("SM2EncodeOID");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2EncodeOID");
  TraceValue(kTraceGuidWinsvc, "pszObjId", pszObjId);
  trace.Step(u"Check parameter");
  if (pszObjId == nullptr || ppbyEncoded == nullptr || pdwEncodedLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pszObjId || NULL == ppbyEncoded");

  // SEQUENCE { OID, SET {} } ends in 31 00; NULL (05 00) is as long, so the
  // outer length stays right once those two bytes are overwritten.
  trace.Step(u"EncodeObject-PKCS_ATTRIBUTE");
  CRYPT_ATTRIBUTE attribute{const_cast<LPSTR>(pszObjId), 0, nullptr};
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  const HRESULT hResult = EncodeObject(&dwEncoded, PKCS_ATTRIBUTE, &attribute, &pbyEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(EncodeObject)");
  std::unique_ptr<BYTE[]> pbyOwned(pbyEncoded);
  if (dwEncoded < 2 || pbyOwned[dwEncoded - 2] != 0x31 || pbyOwned[dwEncoded - 1] != 0x00)
    return trace.Failed(CRYPT_E_BAD_ENCODE, u"no empty SET at the end");
  pbyOwned[dwEncoded - 2] = 0x05;
  pbyOwned[dwEncoded - 1] = 0x00;
  trace.Passed();
  *ppbyEncoded = pbyOwned.release();
  *pdwEncodedLen = dwEncoded;
  return S_OK;
}

HRESULT SM2EncodeSignerInfo(const CMSG_SIGNER_INFO* pSignerInfo, BYTE** ppbyEncoded,
                            DWORD* pdwEncodedLen) {
  TraceHelper helper("SM2EncodeSignerInfo");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2EncodeSignerInfo");
  trace.Step(u"Check parameter");
  if (pSignerInfo == nullptr || ppbyEncoded == nullptr || pdwEncodedLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == pSignerInfo || NULL == ppbyEncoded");
  const CRYPT_INTEGER_BLOB& serial = pSignerInfo->SerialNumber;
  const CERT_NAME_BLOB& issuer = pSignerInfo->Issuer;
  const CRYPT_DATA_BLOB& digest = pSignerInfo->EncryptedHash;
  if (serial.pbData == nullptr || serial.cbData == 0 || issuer.pbData == nullptr ||
      issuer.cbData == 0 || digest.pbData == nullptr || digest.cbData == 0)
    return trace.Failed(E_INVALIDARG, u"empty Issuer, SerialNumber or EncryptedHash");

  // CryptoAPI keeps the serial number least significant byte first.
  trace.Step(u"ASN1Encode(SerialNumber)");
  signing::Der serialContent;
  serialContent.data.reset(new (std::nothrow) BYTE[serial.cbData]);
  if (!serialContent.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == serialContent");
  std::memcpy(serialContent.data.get(), serial.pbData, serial.cbData);
  serialContent.size = serial.cbData;
  SwapByteOrder(serialContent.data.get(), serialContent.size);
  signing::Der serialNumber;
  HRESULT hResult = signing::EncodeJoined(0x02, {&serialContent}, serialNumber);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  trace.Step(u"ASN1Encode(IssuerAndSerialNumber)");
  signing::Der issuerName;
  issuerName.data.reset(new (std::nothrow) BYTE[issuer.cbData]);
  if (!issuerName.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == issuerName");
  std::memcpy(issuerName.data.get(), issuer.pbData, issuer.cbData);
  issuerName.size = issuer.cbData;
  signing::Der issuerAndSerial;
  hResult = signing::EncodeJoined(0x30, {&issuerName, &serialNumber}, issuerAndSerial);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");

  trace.Step(u"SM2EncodeOID(HashAlgorithm)");
  signing::Der digestAlgorithm;
  hResult = EncodeOidInto(trace, pSignerInfo->HashAlgorithm.pszObjId, digestAlgorithm);
  if (FAILED(hResult)) return hResult;
  trace.Step(u"SM2EncodeOID(HashEncryptionAlgorithm)");
  signing::Der signatureAlgorithm;
  hResult = EncodeOidInto(trace, pSignerInfo->HashEncryptionAlgorithm.pszObjId, signatureAlgorithm);
  if (FAILED(hResult)) return hResult;

  // Version 1 always; the encrypted digest is a complete TLV already.
  trace.Step(u"ASN1Encode(SignerInfo)");
  signing::Der version;
  version.data.reset(new (std::nothrow) BYTE[3]{0x02, 0x01, 0x01});
  if (!version.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == version");
  version.size = 3;
  signing::Der encryptedDigest;
  encryptedDigest.data.reset(new (std::nothrow) BYTE[digest.cbData]);
  if (!encryptedDigest.data) return trace.Failed(E_OUTOFMEMORY, u"NULL == encryptedDigest");
  std::memcpy(encryptedDigest.data.get(), digest.pbData, digest.cbData);
  encryptedDigest.size = digest.cbData;
  signing::Der signerInfo;
  hResult = signing::EncodeJoined(
      0x30, {&version, &issuerAndSerial, &digestAlgorithm, &signatureAlgorithm, &encryptedDigest},
      signerInfo);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(ASN1Encode)");
  trace.Passed();
  *ppbyEncoded = signerInfo.data.release();
  *pdwEncodedLen = signerInfo.size;
  return S_OK;
}

HRESULT SM2EncapsulatePKCS7(PCCERT_CONTEXT pCertContext, LPCSTR pszDigestOid,
                            LPCSTR pszSignatureOid, DWORD dwDataLen, const BYTE* pbyEncryptedDigest,
                            DWORD dwEncryptedDigestLen, LPSTR* ppszOutput, DWORD* pdwOutputLen,
                            BOOL bFile, BOOL bAttach, DWORD dwBase64Flags, const BYTE* pbyData,
                            LPCWSTR lpwFilePath) {
  TraceHelper helper("SM2EncapsulatePKCS7");
  StepTrace trace(kTraceGuidWinsvc, kSourceUnit, u"SM2EncapsulatePKCS7");
  HRESULT hResult = signing::CheckSignedDataInputs(trace, pCertContext, pszDigestOid,
                                                   pszSignatureOid, bFile, bAttach);
  if (FAILED(hResult)) return hResult;
  if (pbyEncryptedDigest == nullptr || dwEncryptedDigestLen == 0)
    return trace.Failed(E_INVALIDARG, u"NULL == pbyEncryptedDigest");
  if (ppszOutput == nullptr || pdwOutputLen == nullptr)
    return trace.Failed(E_INVALIDARG, u"NULL == ppszOutput || NULL == pdwOutputLen");

  trace.Step(u"SM2EncodeSignerInfo");
  CMSG_SIGNER_INFO signerInfo = signing::SignerInfoOf(pCertContext, pszDigestOid, pszSignatureOid,
                                                      pbyEncryptedDigest, dwEncryptedDigestLen);
  BYTE* pbyEncoded = nullptr;
  DWORD dwEncoded = 0;
  hResult = SM2EncodeSignerInfo(&signerInfo, &pbyEncoded, &dwEncoded);
  if (FAILED(hResult)) return trace.Failed(hResult, u"FAILED(SM2EncodeSignerInfo)");
  signing::Der signerInfoDer;
  signerInfoDer.Adopt(pbyEncoded, dwEncoded);
  trace.Passed();

  signing::SignedDataInput input{szOID_SM2_DATA, szOID_SM2_SIGNED_DATA,
                                 pCertContext,   pszDigestOid,
                                 &signerInfoDer, bFile,
                                 bAttach,        pbyData,
                                 dwDataLen,      lpwFilePath};
  std::unique_ptr<char[]> pszText;
  int nTextLen = 0;
  hResult = signing::BuildSignedContentInfoBase64(trace, input, dwBase64Flags, pszText, &nTextLen);
  if (FAILED(hResult)) return hResult;
  // Base64EncodeEx's text is already a zero-terminated new[] array.
  *ppszOutput = pszText.release();
  *pdwOutputLen = static_cast<DWORD>(nTextLen);
  return S_OK;
}
