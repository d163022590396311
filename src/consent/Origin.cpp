#include "consent/Origin.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>

namespace consent {

namespace {

constexpr std::size_t kMaxOriginLength = 255;
constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Fold(c);
  return out;
}

bool IsAllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!IsDigit(c)) return false;
  return true;
}

// Written as the URL standard serializes an IPv6 host: eight groups in
// lower-case hex without leading zeros, the first longest run of two or
// more zero groups as "::".
std::string Ipv6Text(const std::array<unsigned char, 16>& bytes) {
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
  std::size_t bestStart = 8, bestLength = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength && j - i >= 2) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += i == 0 ? "::" : ":";
      i += bestLength - 1;
      continue;
    }
    bool bStarted = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = groups[i] >> shift & 0xF;
      if (digit == 0 && !bStarted && shift != 0) continue;
      bStarted = true;
      out += kHex[digit];
    }
    if (i != 7) out += ':';
  }
  out += ']';
  return out;
}

bool ParseIpv6Host(std::string_view inner, std::string* pHost) {
  // inet_pton takes hex digits, colons and an embedded dotted quad; a zone
  // ("%eth0") or anything else is refused by it or by this check first.
  if (inner.empty() || inner.size() > 45) return false;
  for (char c : inner)
    if (!(IsDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) return false;
  const std::string nul(inner);
  std::array<unsigned char, 16> bytes{};
  if (::inet_pton(AF_INET6, nul.c_str(), bytes.data()) != 1) return false;
  *pHost = Ipv6Text(bytes);
  return true;
}

// Exactly four decimal parts 0-255, no leading zeros.
bool IsDottedQuad(std::string_view host) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t end = host.find('.', start);
    if (end == std::string_view::npos) end = host.size();
    const std::string_view part = host.substr(start, end - start);
    if (!IsAllDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    unsigned value = 0;
    std::from_chars(part.data(), part.data() + part.size(), value);
    if (value > 255) return false;
    ++parts;
    start = end + 1;
  }
  return parts == 4;
}

// host is already folded to lower case.
bool IsValidNameHost(std::string_view host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  std::string_view lastLabel;
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t end = host.find('.', start);
    if (end == std::string_view::npos) end = host.size();
    const std::string_view label = host.substr(start, end - start);
    if (label.empty() || label.size() > kMaxLabelLength) return false;
    for (char c : label)
      if (!(IsLower(c) || IsDigit(c) || c == '-' || c == '_')) return false;
    if (label.starts_with("xn--") && label.size() == 4) return false;
    lastLabel = label;
    start = end + 1;
  }
  // Browsers read a host ending in a number as an IPv4 address, in forms
  // this parser does not rewrite; only the form they write it back in passes.
  if (IsAllDigits(lastLabel) || lastLabel.starts_with("0x")) return IsDottedQuad(host);
  return true;
}

bool ParsePort(std::string_view digits, std::uint16_t* pPort) {
  if (!IsAllDigits(digits) || digits.size() > 5) return false;
  unsigned value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (value == 0 || value > 65535) return false;
  *pPort = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

bool ParseOrigin(std::string_view text, Origin* pOrigin) {
  if (!pOrigin || text.empty() || text.size() > kMaxOriginLength) return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;  // controls, blanks, DEL, non-ASCII
  }
  const std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos) return false;  // "null" and the like
  const std::string scheme = Folded(text.substr(0, schemeEnd));
  const std::string_view rest = text.substr(schemeEnd + 3);

  if (scheme == "file") {
    // Browsers give every file: page the one opaque origin "file://";
    // "file:///x" names a file, "file://host" a share, neither an origin.
    if (!rest.empty()) return false;
    *pOrigin = Origin{"file://", "file", "", 0};
    return true;
  }
  if (scheme != "https" && scheme != "http") return false;
  // Paths, queries, fragments and user info never belong to an origin;
  // a backslash is a path separator to browsers.
  if (rest.find_first_of("/?#@\\") != std::string_view::npos) return false;

  std::string host;
  std::string_view portText;
  bool bHasPort = false;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    if (!ParseIpv6Host(Folded(rest.substr(1, close - 1)), &host)) return false;
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      bHasPort = true;
      portText = after.substr(1);
    }
  } else {
    const std::size_t colon = rest.find(':');
    host = Folded(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      bHasPort = true;
      portText = rest.substr(colon + 1);
    }
    if (!IsValidNameHost(host)) return false;
  }

  std::uint16_t port = 0;
  if (bHasPort && !ParsePort(portText, &port)) return false;
  if ((scheme == "https" && port == 443) || (scheme == "http" && port == 80)) port = 0;

  Origin parsed;
  parsed.scheme = scheme;
  parsed.host = std::move(host);
  parsed.port = port;
  parsed.text = scheme + "://" + parsed.host;
  if (port != 0) parsed.text += ":" + std::to_string(port);
  *pOrigin = std::move(parsed);
  return true;
}

bool IsSecureOrigin(const Origin& origin) {
  if (origin.scheme == "https") return !origin.host.empty();
  if (origin.scheme != "http") return false;
  const std::string_view host = origin.host;
  if (host == "localhost" || host.ends_with(".localhost")) return true;
  if (host == "[::1]") return true;
  return host.starts_with("127.") && IsDottedQuad(host);
}

}  // namespace consent
