// How a page's origin is shown to the user. Browsers hand us origins in
// ASCII, an international domain name in its "xn--" punycode form; people
// read the Unicode form. We show both whenever they differ, so a name made
// of look-alike letters still shows what it really is, and only the ASCII
// form when a label does not decode to a plain Unicode name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ui {

// RFC 3492 with its parameters for IDNA. `encoded` is the part of a label
// after "xn--"; the code points come out in `decoded`. False (and nothing in
// `decoded`) for digits that are not base-36, a basic part with other than
// ASCII, arithmetic that would overflow, a code point past U+10FFFF or in
// the surrogates, or an input or output longer than kMaxPunycodeLength.
inline constexpr std::size_t kMaxPunycodeLength = 1024;
bool PunycodeDecode(std::string_view encoded, std::u32string* decoded);
// The reverse, with lower-case digits; basic code points keep their case.
bool PunycodeEncode(std::u32string_view decoded, std::string* encoded);

struct OriginForms {
  std::string ascii;    // the origin as given (bytes outside printable ASCII as '?')
  std::string unicode;  // UTF-8, host labels decoded; equal to ascii when none is
};

// Scheme, port and anything after the host are kept as they are; only the
// host's "xn--" labels are decoded, all of them or (if any fails) none. A
// Unicode form with right-to-left letters comes wrapped in a left-to-right
// isolate, so it cannot reorder the text around it.
OriginForms OriginDisplayForms(std::string_view origin);

// What the prompt shows, UTF-8: "https://bücher.example
// (https://xn--bcher-kva.example)" when the forms differ, otherwise the
// ASCII form alone.
std::string OriginDisplayText(std::string_view origin);

}  // namespace ui
