// Web origins as the consent decisions key them. Pages are told apart by
// the origin the browser gives for them, so the one text form below is the
// only one ever compared or stored: two spellings of the same origin parse
// to the same text, and anything that is not plainly an origin is refused
// rather than guessed at.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace consent {

// What a page may be allowed: bit flags.
enum Capability : unsigned { kKeys = 1u, kFiles = 2u };
inline constexpr unsigned kAllCapabilities = kKeys | kFiles;

// A web origin as browsers write it: "scheme://host[:port]" (lower-case
// ASCII host, an IDN in its punycode "xn--" form, IPv6 in brackets), or the
// single origin "file://".
struct Origin {
  std::string text;        // canonical text, e.g. "https://a.example:8443", "file://"
  std::string scheme;      // "https", "http", "file"
  std::string host;        // "" for file; an IPv6 host keeps its brackets ("[::1]")
  std::uint16_t port = 0;  // 0 = the scheme's default / none
};

// False for anything else: longer than 255 characters, other schemes, user
// info, a path (a lone trailing "/" included), query or fragment, empty
// host, bad port (empty, 0, above 65535), non-ASCII or control characters,
// blanks, "null". Upper-case ASCII in scheme/host is folded; a default port
// (:443 for https, :80 for http) is dropped.
//
// Hosts: labels of letters, digits, '-' and '_', separated by single dots
// (no empty label, so no trailing dot), at most 63 characters a label and
// 253 in all; an "xn--" label needs something after its prefix. A host
// whose last label is numeric must be a dotted quad without leading zeros
// (the shorthand forms browsers rewrite, such as "127.1" or "0x7f.0.0.1",
// are refused rather than rewritten). IPv6 addresses are written back in
// their shortest form (lower case, the longest run of zero groups as "::"),
// so "[0:0::1]" becomes "[::1]"; zone identifiers are refused.
bool ParseOrigin(std::string_view text, Origin* pOrigin);

// https, or http on loopback (localhost, *.localhost, 127.0.0.0/8, [::1]);
// file: and other http are not secure.
bool IsSecureOrigin(const Origin& origin);

}  // namespace consent
