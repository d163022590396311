#include "platform/base/BerStreamReader.h"

#include "der/Reader.h"
#include "platform/base/CryptErrors.h"
#include "platform/base/DerResult.h"

namespace platform::ber {
namespace {

constexpr std::size_t kMaxLevels = 64;

// Streamed messages are BER: indefinite lengths, longer length forms than
// needed and high tag numbers all occur. Nesting is bounded by kMaxLevels
// here, not by the header reader.
der::Options StreamOptions() {
  der::Options options;
  options.mode = der::Mode::kBer;
  return options;
}

}  // namespace

BerStreamReader::Event BerStreamReader::Fail(HRESULT hr) {
  error_ = hr;
  Event event;
  event.kind = Kind::kError;
  event.error = hr;
  return event;
}

BerStreamReader::Event BerStreamReader::Next(std::span<const BYTE>& input) {
  if (FAILED(error_)) return Fail(error_);
  Event event;
  // A definite constructed element ends where its length says.
  if (!inPrimitive_ && headerSize_ == 0 && !open_.empty() && !open_.back().indefinite &&
      offset_ == open_.back().end) {
    open_.pop_back();
    finished_ = open_.empty();
    event.kind = Kind::kEnd;
    event.depth = static_cast<int>(open_.size());
    event.start = offset_;
    return event;
  }
  if (inPrimitive_) {
    event.depth = primitiveDepth_;
    if (primitiveLeft_ == 0) {
      inPrimitive_ = false;
      finished_ = open_.empty();
      event.kind = Kind::kEnd;
      event.start = offset_;
      return event;
    }
    if (input.empty()) return event;
    const std::size_t take =
        primitiveLeft_ < input.size() ? static_cast<std::size_t>(primitiveLeft_) : input.size();
    event.kind = Kind::kContents;
    event.contents = input.first(take);
    input = input.subspan(take);
    offset_ += take;
    primitiveLeft_ -= take;
    return event;
  }
  for (;;) {
    bool complete = false;
    event = ParseHeader(&complete);
    if (event.kind == Kind::kError || complete) return event;
    if (input.empty()) return event;
    if (finished_) return Fail(CRYPT_E_BAD_ENCODE);  // bytes after the message
    if (!open_.empty() && !open_.back().indefinite && offset_ >= open_.back().end)
      return Fail(CRYPT_E_ASN1_CORRUPT);  // header runs past its enclosing element
    if (headerSize_ == sizeof header_) return Fail(CRYPT_E_ASN1_LARGE);
    header_[headerSize_++] = input[0];
    input = input.subspan(1);
    ++offset_;
  }
}

BerStreamReader::Event BerStreamReader::ParseHeader(bool* complete) {
  *complete = false;
  Event event;
  if (headerSize_ == 0) return event;
  der::Header header;
  const der::Error error = der::ReadHeader({header_, headerSize_}, StreamOptions(), &header);
  if (error == der::Error::kTruncated) return event;  // more octets to come
  if (!der::Ok(error)) return Fail(DerResult(error));
  const BYTE tag = header_[0];
  const bool indefinite = header.indefinite;
  const std::uint64_t length = header.length;
  *complete = true;
  headerSize_ = 0;
  const std::uint64_t start = offset_ - header.headerSize;
  if (tag == 0x00) {
    // End-of-contents closes the innermost indefinite element and nothing
    // else, and is written 00 00 only.
    if (header.headerSize != 2 || length != 0 || open_.empty() || !open_.back().indefinite)
      return Fail(CRYPT_E_ASN1_CORRUPT);
    open_.pop_back();
    finished_ = open_.empty();
    event.kind = Kind::kEnd;
    event.depth = static_cast<int>(open_.size());
    event.start = offset_;
    return event;
  }
  const bool constructed = (tag & 0x20) != 0;
  if (!indefinite) {
    if (length > UINT64_MAX - offset_) return Fail(CRYPT_E_ASN1_LARGE);
    if (!open_.empty() && !open_.back().indefinite && offset_ + length > open_.back().end)
      return Fail(CRYPT_E_ASN1_CORRUPT);
  }
  event.kind = Kind::kHeader;
  event.depth = static_cast<int>(open_.size());
  event.tag = tag;
  event.indefinite = indefinite;
  event.length = length;
  event.start = start;
  if (constructed) {
    if (open_.size() >= kMaxLevels) return Fail(CRYPT_E_ASN1_LARGE);
    open_.push_back({indefinite, offset_ + length});
  } else {
    inPrimitive_ = true;
    primitiveLeft_ = length;
    primitiveDepth_ = event.depth;
  }
  return event;
}

}  // namespace platform::ber
