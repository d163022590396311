// The two text conversions at the browser's edge. What the browser sends must
// be exactly right: a text the page never wrote (a replaced byte, half a
// surrogate pair) is refused, never guessed at. What the agent gives back
// always goes out: a lone surrogate becomes U+FFFD, as browsers show it.
#pragma once

#include <string>
#include <string_view>

namespace bridge {

// False for invalid UTF-8: bad or overlong sequences, encoded surrogates,
// code points past U+10FFFF.
bool Utf8ToUtf16Strict(std::string_view utf8, std::u16string* utf16);

// Lone surrogates become U+FFFD.
std::string Utf16ToUtf8Lenient(std::u16string_view utf16);

// The length of the UTF-8 sequence that starts with this byte (1 for a
// continuation byte, so a cut never stalls).
std::size_t Utf8SequenceLength(unsigned char lead);

}  // namespace bridge
