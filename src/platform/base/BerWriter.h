// A small DER/BER writer for the messages we produce: definite lengths,
// indefinite headers and end-of-contents for streamed output, object
// identifiers from dotted text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/base/WinTypes.h"

namespace platform::ber {

// Bytes a definite length takes after the identifier.
std::size_t LengthSize(std::uint64_t length);
// Identifier, length and contents together.
inline std::uint64_t TlvSize(std::uint64_t contentLength) {
  return 1 + LengthSize(contentLength) + contentLength;
}

// Contents of an OBJECT IDENTIFIER; false for text that is not two or more
// dotted decimal arcs of a valid first pair.
bool EncodeOid(std::string_view dotted, std::vector<BYTE>* out);

class BerWriter {
 public:
  void Header(BYTE tag, std::uint64_t length);
  void IndefiniteHeader(BYTE tag) {
    bytes_.push_back(tag);
    bytes_.push_back(0x80);
  }
  void EndOfContents() { bytes_.insert(bytes_.end(), {0x00, 0x00}); }
  void Tlv(BYTE tag, std::span<const BYTE> contents);
  void Raw(std::span<const BYTE> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  bool Oid(std::string_view dotted);
  void Null() { bytes_.insert(bytes_.end(), {0x05, 0x00}); }
  void SmallInteger(BYTE value);  // 0..127

  std::vector<BYTE>& Bytes() { return bytes_; }
  std::size_t Size() const { return bytes_.size(); }

 private:
  std::vector<BYTE> bytes_;
};

}  // namespace platform::ber
