#include "der/Reader.h"

namespace der {
namespace {

constexpr std::size_t kMaxTagOctets = 5;  // tag numbers up to 32 bits

// The high-number form: base-128 groups after a first octet of 0x1F, used
// only for numbers from 31 up (in BER too), without a leading zero group.
Error ReadHighTagNumber(Bytes bytes, std::size_t* offset, std::uint32_t* number) {
  std::uint64_t value = 0;
  for (std::size_t i = 1;; ++i) {
    if (i > kMaxTagOctets) return Error::kTooLarge;
    if (i >= bytes.size()) return Error::kTruncated;
    const std::uint8_t octet = bytes[i];
    if (i == 1 && octet == 0x80) return Error::kNonMinimal;
    value = (value << 7) | (octet & 0x7F);
    if ((octet & 0x80) == 0) {
      *offset = i + 1;
      break;
    }
  }
  if (value > UINT32_MAX) return Error::kTooLarge;
  if (value < 31) return Error::kNonMinimal;
  *number = static_cast<std::uint32_t>(value);
  return Error::kOk;
}

Error ReadIdentifier(Bytes bytes, const Options& options, Header* header, std::size_t* offset) {
  const std::uint8_t first = bytes[0];
  header->tag = Tag(first);
  *offset = 1;
  if ((first & 0x1F) != 0x1F) return Error::kOk;
  if (!options.highTagNumbers) return Error::kBadTag;
  return ReadHighTagNumber(bytes, offset, &header->tag.number);
}

Error ReadLength(Bytes bytes, const Options& options, Header* header, std::size_t offset) {
  if (offset >= bytes.size()) return Error::kTruncated;
  const std::uint8_t first = bytes[offset++];
  header->indefinite = false;
  header->length = 0;
  if (first < 0x80) {
    header->length = first;
  } else if (first == 0x80) {
    // DER has definite lengths only; BER allows the indefinite form for
    // constructed elements.
    if (options.mode == Mode::kDer || !header->tag.Constructed()) return Error::kCorrupt;
    header->indefinite = true;
  } else {
    const std::size_t octets = first & 0x7F;
    if (octets > options.maxLengthOctets || octets > sizeof(std::size_t)) return Error::kTooLarge;
    if (bytes.size() - offset < octets) return Error::kTruncated;
    std::size_t length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | bytes[offset + i];
    if (options.mode == Mode::kDer && (bytes[offset] == 0 || length < 0x80))
      return Error::kNonMinimal;
    header->length = length;
    offset += octets;
  }
  header->headerSize = offset;
  return Error::kOk;
}

bool AtEndOfContents(Bytes bytes, std::size_t offset) {
  return bytes[offset] == 0x00 && bytes[offset + 1] == 0x00;
}

// The whole size of the element at the front of `bytes`; an indefinite
// length is found by walking its children down to the matching
// end-of-contents, no deeper than the options allow.
Error Measure(Bytes bytes, const Options& options, int depth, Header* header, std::size_t* total) {
  if (depth > options.maxDepth) return Error::kTooDeep;
  Error error = ReadHeader(bytes, options, header);
  if (!Ok(error)) return error;
  if (!header->indefinite) {
    if (header->length > bytes.size() - header->headerSize) return Error::kTruncated;
    // Identifier 0x00 is end-of-contents and nothing else.
    if (bytes[0] == 0x00 && header->length != 0) return Error::kCorrupt;
    *total = header->headerSize + header->length;
    return Error::kOk;
  }
  std::size_t offset = header->headerSize;
  for (;;) {
    if (bytes.size() - offset < 2) return Error::kTruncated;
    if (AtEndOfContents(bytes, offset)) {
      header->length = offset - header->headerSize;
      *total = offset + 2;
      return Error::kOk;
    }
    Header child;
    std::size_t childTotal = 0;
    error = Measure(bytes.subspan(offset), options, depth + 1, &child, &childTotal);
    if (!Ok(error)) return error;
    offset += childTotal;
  }
}

}  // namespace

Error ReadHeader(Bytes bytes, const Options& options, Header* header) {
  // Identifier and length take two octets at the least.
  if (bytes.size() < 2) return Error::kTruncated;
  std::size_t offset = 0;
  Error error = ReadIdentifier(bytes, options, header, &offset);
  if (!Ok(error)) return error;
  return ReadLength(bytes, options, header, offset);
}

Error Reader::Read(Element* element) {
  Header header;
  std::size_t total = 0;
  const Error error = Measure(rest_, options_, 0, &header, &total);
  if (!Ok(error)) return error;
  if (rest_[0] == 0x00) return Error::kCorrupt;  // end-of-contents with nothing to end
  element->tag = header.tag;
  element->indefinite = header.indefinite;
  element->contents = rest_.subspan(header.headerSize, header.length);
  element->whole = rest_.first(total);
  rest_ = rest_.subspan(total);
  return Error::kOk;
}

Error Reader::Expect(Tag tag, Element* element) {
  if (rest_.empty()) return Error::kTruncated;
  // The first octet alone tells most mismatches, before any length is read.
  if (rest_[0] != tag.Octet()) return Error::kBadTag;
  Reader attempt = *this;
  const Error error = attempt.Read(element);
  if (!Ok(error)) return error;
  if (element->tag != tag) return Error::kBadTag;
  *this = attempt;
  return Error::kOk;
}

Error Reader::Optional(Tag tag, Element* element, bool* present) {
  *present = false;
  if (rest_.empty() || rest_[0] != tag.Octet()) return Error::kOk;
  Reader attempt = *this;
  Element candidate;
  const Error error = attempt.Read(&candidate);
  if (!Ok(error)) return error;
  if (candidate.tag != tag) return Error::kOk;
  *element = candidate;
  *present = true;
  *this = attempt;
  return Error::kOk;
}

Error ReadSingle(Bytes bytes, Options options, Tag tag, Element* element) {
  Reader reader(bytes, options);
  const Error error = reader.Expect(tag, element);
  if (!Ok(error)) return error;
  return reader.Finish();
}

}  // namespace der
