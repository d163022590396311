// What can be wrong with encoded bytes. Callers turn these into their own
// result codes; nothing here throws.
#pragma once

#include <cstdint>

namespace der {

enum class Error : std::uint8_t {
  kOk,
  kTruncated,   // the bytes end inside an element
  kCorrupt,     // an encoding no reading allows (primitive indefinite, stray end-of-contents)
  kBadTag,      // not the identifier expected, or one the reader was told to refuse
  kNonMinimal,  // a longer form than the shortest, where DER requires the shortest
  kTrailing,    // bytes after the element that should have been the last
  kTooLarge,    // a length or value past what the reader handles
  kTooDeep,     // nesting past the reader's depth limit
};

constexpr bool Ok(Error error) { return error == Error::kOk; }

}  // namespace der
