// A bounded reader for the few DER structures this unit takes apart itself:
// every read stays inside the span it was given, and a length that points
// past its enclosing element is a decoding failure, never a short read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace engine::der {

inline constexpr std::uint8_t TAG_INTEGER = 0x02;
inline constexpr std::uint8_t TAG_OCTET_STRING = 0x04;
inline constexpr std::uint8_t TAG_OBJECT_IDENTIFIER = 0x06;
inline constexpr std::uint8_t TAG_SEQUENCE = 0x30;

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : m_rest(data) {}

  // Reads one element with the given single-byte tag and a definite length
  // (short or long form) and returns its contents. False, with the reader
  // unchanged, on another tag, an indefinite or oversized length, or
  // contents running past the end.
  bool Read(std::uint8_t byTag, std::span<const std::uint8_t>* pContents);

  bool AtEnd() const { return m_rest.empty(); }

 private:
  std::span<const std::uint8_t> m_rest;
};

// Contents of an OBJECT IDENTIFIER that OpenSSL would also take: at least
// one byte, no sub-identifier padded with 0x80, the last one complete.
bool IsValidOidContents(std::span<const std::uint8_t> contents);

// Decodes `value` as exactly one OCTET STRING and nothing after it.
bool ReadWholeOctetString(std::span<const std::uint8_t> value,
                          std::span<const std::uint8_t>* pOctets);

}  // namespace engine::der
