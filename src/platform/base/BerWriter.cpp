#include "platform/base/BerWriter.h"

#include "der/Builder.h"
#include "der/Oid.h"

namespace platform::ber {

std::size_t LengthSize(std::uint64_t length) { return der::LengthSize(length); }

void BerWriter::Header(BYTE tag, std::uint64_t length) {
  bytes_.push_back(tag);
  der::AppendLength(length, &bytes_);
}

void BerWriter::Tlv(BYTE tag, std::span<const BYTE> contents) {
  Header(tag, contents.size());
  Raw(contents);
}

bool BerWriter::Oid(std::string_view dotted) {
  std::vector<BYTE> contents;
  if (!EncodeOid(dotted, &contents)) return false;
  Tlv(0x06, contents);
  return true;
}

void BerWriter::SmallInteger(BYTE value) {
  const BYTE contents[] = {static_cast<BYTE>(value & 0x7F)};
  Tlv(0x02, contents);
}

bool EncodeOid(std::string_view dotted, std::vector<BYTE>* out) {
  return der::OidFromText(dotted, out);
}

}  // namespace platform::ber
