#include "der/Builder.h"

#include "der/Oid.h"

namespace der {

std::size_t LengthSize(std::uint64_t length) {
  if (length < 0x80) return 1;
  std::size_t octets = 0;
  for (std::uint64_t rest = length; rest != 0; rest >>= 8) ++octets;
  return 1 + octets;
}

std::size_t TagSize(Tag tag) {
  if (!tag.High()) return 1;
  std::size_t groups = 0;
  for (std::uint32_t rest = tag.number; rest != 0; rest >>= 7) ++groups;
  return 1 + groups;
}

void AppendLength(std::uint64_t length, std::vector<std::uint8_t>* out) {
  if (length < 0x80) {
    out->push_back(static_cast<std::uint8_t>(length));
    return;
  }
  const std::size_t octets = LengthSize(length) - 1;
  out->push_back(static_cast<std::uint8_t>(0x80 | octets));
  for (std::size_t i = octets; i-- > 0;)
    out->push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

void AppendHeader(Tag tag, std::uint64_t length, std::vector<std::uint8_t>* out) {
  out->push_back(tag.Octet());
  for (std::size_t i = TagSize(tag) - 1; i-- > 0;)
    out->push_back(
        static_cast<std::uint8_t>(((tag.number >> (7 * i)) & 0x7F) | (i != 0 ? 0x80 : 0)));
  AppendLength(length, out);
}

void Builder::Open(Tag tag) { open_.push_back({tag, bytes_.size()}); }

bool Builder::Close() {
  if (open_.empty()) return false;
  const Pending element = open_.back();
  open_.pop_back();
  std::vector<std::uint8_t> header;
  AppendHeader(element.tag, bytes_.size() - element.start, &header);
  bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(element.start), header.begin(),
                header.end());
  return true;
}

void Builder::Add(Tag tag, Bytes contents) {
  AppendHeader(tag, contents.size(), &bytes_);
  Raw(contents);
}

bool Builder::Oid(std::string_view dotted) {
  std::vector<std::uint8_t> contents;
  if (!OidFromText(dotted, &contents)) return false;
  Add(Tag(0x06), contents);
  return true;
}

bool Builder::UnsignedInteger(Bytes bigEndian, IntegerForm form, std::size_t width) {
  std::vector<std::uint8_t> contents;
  if (!UnsignedIntegerContents(bigEndian, form, width, &contents)) return false;
  Add(Tag(0x02), contents);
  return true;
}

}  // namespace der
