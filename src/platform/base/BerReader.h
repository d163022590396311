// Bounds-checked reading of one BER element at a time from a complete
// buffer: definite and indefinite lengths, low tag numbers only (the
// structures we read here use no others). The der toolkit reads, in BER
// mode; this keeps the CryptoAPI result codes the envelope code reports.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"

namespace platform::ber {

struct BerElement {
  BYTE tag = 0;  // the identifier octet, constructed bit included
  bool Constructed() const { return (tag & 0x20) != 0; }
  std::span<const BYTE> contents;  // without the end-of-contents of an indefinite length
  std::span<const BYTE> whole;     // identifier to the last octet
};

class BerReader {
 public:
  explicit BerReader(std::span<const BYTE> bytes) : rest_(bytes) {}
  bool AtEnd() const { return rest_.empty(); }
  // CRYPT_E_ASN1_EOD for a truncated element, CRYPT_E_ASN1_CORRUPT for a
  // malformed one; S_OK otherwise (the element is consumed).
  HRESULT Read(BerElement* element);
  // As Read, but CRYPT_E_ASN1_BADTAG unless the identifier is `tag`.
  HRESULT Expect(BYTE tag, BerElement* element);
  // Reads the next element when its identifier is `tag`; false (nothing
  // consumed) otherwise or at the end.
  bool Optional(BYTE tag, BerElement* element);

 private:
  std::span<const BYTE> rest_;
};

// The value of an OCTET STRING (or an implicitly tagged one), primitive or
// constructed from pieces nested to any depth.
HRESULT OctetStringValue(const BerElement& element, std::vector<BYTE>* out);
// Dotted text of an OBJECT IDENTIFIER's contents.
HRESULT DecodeOid(std::span<const BYTE> contents, std::string* dotted);

}  // namespace platform::ber
