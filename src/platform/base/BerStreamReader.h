// Incremental BER tokenizer for messages that arrive in pieces of any size:
// it reports each element's header, the contents of primitive elements as
// they arrive (without copying them) and each element's end, with 64-bit
// offsets and definite lengths checked against their enclosing elements.
// It holds no more than one header's bytes and one entry per open level.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/base/WinTypes.h"

namespace platform::ber {

class BerStreamReader {
 public:
  enum class Kind { kNeedMore, kHeader, kContents, kEnd, kError };
  struct Event {
    Kind kind = Kind::kNeedMore;
    int depth = 0;  // 0 for the outermost element
    BYTE tag = 0;   // identifier octet (high tag numbers keep the first octet)
    bool indefinite = false;
    std::uint64_t length = 0;  // contents length of a definite element
    std::uint64_t start = 0;   // offset of the identifier (kHeader) or past the last octet (kEnd)
    std::span<const BYTE> contents;  // kContents: a piece of a primitive element
    HRESULT error = S_OK;            // kError
    bool Constructed() const { return (tag & 0x20) != 0; }
  };

  // Takes what it needs from the front of `input` for one event. kNeedMore
  // once `input` is used up; kError is sticky.
  Event Next(std::span<const BYTE>& input);
  // True once the outermost element has ended.
  bool Finished() const { return finished_; }
  std::uint64_t Offset() const { return offset_; }

 private:
  struct Level {
    bool indefinite;
    std::uint64_t end;  // definite only
  };
  Event Fail(HRESULT hr);
  // A complete header in header_; kNeedMore when it needs more octets.
  Event ParseHeader(bool* complete);

  std::vector<Level> open_;
  std::uint64_t offset_ = 0;
  BYTE header_[16] = {};
  std::size_t headerSize_ = 0;
  bool inPrimitive_ = false;
  std::uint64_t primitiveLeft_ = 0;
  int primitiveDepth_ = 0;
  bool finished_ = false;
  HRESULT error_ = S_OK;
};

}  // namespace platform::ber
