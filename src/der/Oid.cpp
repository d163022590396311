#include "der/Oid.h"

#include <charconv>

namespace der {
namespace {

constexpr std::size_t kMaxOidOctets = 128;
constexpr int kMaxArcGroups = 9;  // 63 bits

void AppendBase128(std::uint64_t value, std::vector<std::uint8_t>* out) {
  std::uint8_t groups[10];
  std::size_t count = 0;
  do {
    groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count-- > 0)
    out->push_back(static_cast<std::uint8_t>(groups[count] | (count != 0 ? 0x80 : 0)));
}

// The first subidentifier carries two arcs: 40 * first + second.
std::string FirstPair(std::uint64_t value) {
  const std::uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
  return std::to_string(top) + "." + std::to_string(value - 40 * top);
}

}  // namespace

Error OidToText(Bytes contents, std::string* dotted) {
  dotted->clear();
  if (contents.empty() || contents.size() > kMaxOidOctets || (contents.back() & 0x80) != 0)
    return Error::kCorrupt;
  bool first = true;
  std::uint64_t arc = 0;
  int groups = 0;
  for (std::uint8_t octet : contents) {
    if (groups == 0 && octet == 0x80) return Error::kNonMinimal;
    if (++groups > kMaxArcGroups) return Error::kTooLarge;
    arc = (arc << 7) | (octet & 0x7F);
    if (octet & 0x80) continue;
    *dotted += first ? FirstPair(arc) : "." + std::to_string(arc);
    first = false;
    arc = 0;
    groups = 0;
  }
  return Error::kOk;
}

bool OidFromText(std::string_view dotted, std::vector<std::uint8_t>* contents) {
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
  contents->clear();
  AppendBase128(arcs[0] * 40 + arcs[1], contents);
  for (std::size_t i = 2; i < arcs.size(); ++i) AppendBase128(arcs[i], contents);
  return true;
}

}  // namespace der
