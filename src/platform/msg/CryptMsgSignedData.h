// A SignedData read into plain values, shared by the message decoder and the
// whole-message verification calls. The reader lives in a source of its own
// that does not see CryptMsg.h, so OpenSSL's PKCS #7 types stay usable there.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

namespace platform::msg::detail {

using ByteVector = std::vector<BYTE>;

struct AlgorithmValue {
  std::string oid;        // dotted text
  ByteVector parameters;  // DER; empty when absent
};

struct AttributeValue {
  std::string oid;
  std::vector<ByteVector> values;  // each value's complete DER
};

struct SignerValue {
  DWORD version = 0;
  ByteVector issuer;  // DER Name, as in the message
  ByteVector serial;  // INTEGER contents, most significant byte first
  AlgorithmValue digest;
  AlgorithmValue signature;
  ByteVector encryptedDigest;  // the signature bytes as carried
  bool hasAuthAttrs = false;
  std::vector<AttributeValue> authAttrs;
  ByteVector authAttrsDer;  // SET OF (tag 31) as the signature covers it
  std::vector<AttributeValue> unauthAttrs;
};

struct SignedDataValue {
  std::string contentType;               // of the signed content
  bool hasContent = false;               // false for a detached signature
  ByteVector content;                    // an OCTET STRING's contents, else the value's DER
  std::vector<ByteVector> certificates;  // DER, in message order
  std::vector<SignerValue> signers;
};

inline constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";
inline constexpr char kOidEnvelopedData[] = "1.2.840.113549.1.7.3";

// The outer content type of a ContentInfo (DER or BER), read from its first
// bytes only. S_OK or a CRYPT_E_ASN1_* code.
HRESULT PeekContentType(std::span<const BYTE> message, std::string* oid);

// Exactly one ContentInfo holding a SignedData. S_OK;
// CRYPT_E_UNEXPECTED_MSG_TYPE for another content type; CRYPT_E_ASN1_BADTAG,
// CRYPT_E_ASN1_EOD or CRYPT_E_ASN1_CORRUPT (trailing bytes too) for bytes
// that do not decode.
HRESULT DecodeSignedData(std::span<const BYTE> message, SignedDataValue* out);

}  // namespace platform::msg::detail
