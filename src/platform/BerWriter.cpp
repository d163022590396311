#include "platform/BerWriter.h"

#include <charconv>

namespace platform::ber {

std::size_t LengthSize(std::uint64_t length) {
  if (length < 0x80) return 1;
  std::size_t octets = 0;
  for (std::uint64_t rest = length; rest != 0; rest >>= 8) ++octets;
  return 1 + octets;
}

void BerWriter::Header(BYTE tag, std::uint64_t length) {
  bytes_.push_back(tag);
  if (length < 0x80) {
    bytes_.push_back(static_cast<BYTE>(length));
    return;
  }
  const std::size_t octets = LengthSize(length) - 1;
  bytes_.push_back(static_cast<BYTE>(0x80 | octets));
  for (std::size_t i = octets; i-- > 0;) bytes_.push_back(static_cast<BYTE>(length >> (8 * i)));
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

namespace {
void AppendBase128(std::uint64_t value, std::vector<BYTE>* out) {
  BYTE groups[10];
  std::size_t count = 0;
  do {
    groups[count++] = static_cast<BYTE>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count-- > 0) out->push_back(static_cast<BYTE>(groups[count] | (count != 0 ? 0x80 : 0)));
}
}  // namespace

bool EncodeOid(std::string_view dotted, std::vector<BYTE>* out) {
  std::vector<std::uint64_t> arcs;
  const char* p = dotted.data();
  const char* end = p + dotted.size();
  while (p < end) {
    std::uint64_t arc = 0;
    auto [next, ec] = std::from_chars(p, end, arc);
    if (ec != std::errc() || next == p) return false;
    arcs.push_back(arc);
    p = next;
    if (p == end) break;
    if (*p != '.' || ++p == end) return false;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return false;
  if (arcs[1] > UINT64_MAX - 80) return false;
  out->clear();
  AppendBase128(arcs[0] * 40 + arcs[1], out);
  for (std::size_t i = 2; i < arcs.size(); ++i) AppendBase128(arcs[i], out);
  return true;
}

}  // namespace platform::ber
