// Reading one element at a time from a complete buffer, strictly DER unless
// the format needs BER (indefinite lengths of stored envelopes and streamed
// messages). Every view handed out lies inside the buffer given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "der/Error.h"

namespace der {

using Bytes = std::span<const std::uint8_t>;

enum class Mode { kDer, kBer };

// An identifier: the class and constructed bits of its first octet and the
// tag number, however many octets that took.
struct Tag {
  std::uint8_t bits = 0;  // class and constructed bits only (mask 0xE0)
  std::uint32_t number = 0;

  constexpr Tag() = default;
  // A one-octet identifier such as 0x30 (tag numbers below 31).
  constexpr Tag(std::uint8_t identifier)  // NOLINT: written as the octet, like the standards do
      : bits(static_cast<std::uint8_t>(identifier & 0xE0)), number(identifier & 0x1Fu) {}
  constexpr Tag(std::uint8_t classBits, std::uint32_t tagNumber)
      : bits(static_cast<std::uint8_t>(classBits & 0xE0)), number(tagNumber) {}

  constexpr bool Constructed() const { return (bits & 0x20) != 0; }
  constexpr bool High() const { return number >= 31; }
  // The first identifier octet, as written.
  constexpr std::uint8_t Octet() const {
    return static_cast<std::uint8_t>(bits | (High() ? 0x1F : number));
  }
  constexpr bool operator==(const Tag&) const = default;
};

struct Element {
  Tag tag;
  bool indefinite = false;
  Bytes contents;  // without the end-of-contents of an indefinite length
  Bytes whole;     // identifier to the last octet
  bool Constructed() const { return tag.Constructed(); }
};

struct Options {
  Mode mode = Mode::kDer;
  // Length fields of more octets are kTooLarge (callers that take no values
  // past 4 GiB say 4, so that such lengths keep their own report).
  std::size_t maxLengthOctets = 8;
  // Indefinite elements and constructed strings nest no deeper.
  int maxDepth = 32;
  // Formats that use no high tag numbers refuse them as kBadTag.
  bool highTagNumbers = true;
};

// An element's identifier and length octets.
struct Header {
  Tag tag;
  std::size_t headerSize = 0;  // identifier and length octets
  bool indefinite = false;
  std::size_t length = 0;  // contents of a definite length
};

// The header at the front of `bytes` alone, for readers that see the
// contents later or only in part: kTruncated while it is incomplete. The
// contents are not looked at, nor is an identifier of 0x00 checked for
// being end-of-contents.
Error ReadHeader(Bytes bytes, const Options& options, Header* header);

class Reader {
 public:
  explicit Reader(Bytes bytes, Options options = {}) : rest_(bytes), options_(options) {}

  bool AtEnd() const { return rest_.empty(); }
  Bytes Rest() const { return rest_; }
  const Options& options() const { return options_; }

  // The next element, consumed only on success.
  Error Read(Element* element);
  // As Read, but kBadTag unless the identifier is `tag` (kTruncated at the end).
  Error Expect(Tag tag, Element* element);
  // Reads the next element when its identifier is `tag`; *present says
  // whether it did. Anything else is left for the next read.
  Error Optional(Tag tag, Element* element, bool* present);
  // kTrailing unless everything has been read.
  Error Finish() const { return rest_.empty() ? Error::kOk : Error::kTrailing; }
  // A reader over an element's contents with the same options.
  Reader Inside(const Element& element) const { return Reader(element.contents, options_); }

 private:
  Bytes rest_;
  Options options_;
};

// The one element `bytes` holds, with nothing after it.
Error ReadSingle(Bytes bytes, Options options, Tag tag, Element* element);

}  // namespace der
