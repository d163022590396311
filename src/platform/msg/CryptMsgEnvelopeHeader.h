// The parts of an EnvelopedData that come before its encrypted content:
// read from their BER and handed out as self-contained CryptoAPI structures.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/msg/CmsCipher.h"
#include "platform/msg/CryptMsg.h"

namespace platform::msg::detail {

struct EnvelopeRecipient {
  bool keyTrans = false;  // other kinds are counted but cannot be used
  DWORD version = 0;
  DWORD idChoice = 0;  // CERT_ID_ISSUER_SERIAL_NUMBER or CERT_ID_KEY_IDENTIFIER
  std::vector<BYTE> keyId;
  std::vector<BYTE> issuer;    // the Name's encoding as found
  std::vector<BYTE> serialLe;  // least significant octet first
  std::string keyAlgorithm;
  std::vector<BYTE> keyAlgorithmParameters;
  std::vector<BYTE> encryptedKey;
};

// OBJECT IDENTIFIER element to dotted text.
HRESULT ReadOidElement(std::span<const BYTE> der, std::string* oid);
// INTEGER element of at most 4 octets, non-negative.
HRESULT ReadSmallInteger(std::span<const BYTE> der, DWORD* value);
// AlgorithmIdentifier: the OID and the parameters' encoding (empty when absent).
HRESULT ReadAlgorithm(std::span<const BYTE> der, std::string* oid, std::vector<BYTE>* parameters);
// Recipients one envelope may name. A recipient with an RSA key of 1024 bits
// or more takes 150 bytes or more, so this is more than a header that fits
// the decoder (1 MiB) can hold; a header of tiny entries stops here instead
// of costing 150 bytes of bookkeeping for each 2 bytes it holds.
inline constexpr std::size_t kMaxRecipients = 8192;

// SET OF RecipientInfo; at least one, at most kMaxRecipients
// (CRYPT_E_ASN1_LARGE).
HRESULT ReadRecipientInfos(std::span<const BYTE> der, std::vector<EnvelopeRecipient>* out);
// The IV the content algorithm's parameters carry (none for RC4).
HRESULT ReadContentIv(const ContentAlgorithm& algorithm, std::span<const BYTE> parameters,
                      std::vector<BYTE>* iv);

// CMSG_ENVELOPE_ALGORITHM_PARAM and CMSG_CMS_RECIPIENT_INFO_PARAM, with the
// size-query rules of CryptMsgGetParam.
BOOL CopyAlgorithmOut(const std::string& oid, std::span<const BYTE> parameters, void* data,
                      DWORD* size);
BOOL CopyRecipientOut(const EnvelopeRecipient& recipient, void* data, DWORD* size);

}  // namespace platform::msg::detail
