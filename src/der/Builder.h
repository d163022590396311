// Writing DER: a builder that nests elements and fills in their lengths as
// they close, and the header octets for writers that know their lengths
// ahead (streamed output).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "der/Integer.h"
#include "der/Reader.h"

namespace der {

// Octets a definite length takes after the identifier.
std::size_t LengthSize(std::uint64_t length);
// Octets the identifier takes.
std::size_t TagSize(Tag tag);
// A definite length, shortest form.
void AppendLength(std::uint64_t length, std::vector<std::uint8_t>* out);
// Identifier and definite length, shortest forms.
void AppendHeader(Tag tag, std::uint64_t length, std::vector<std::uint8_t>* out);

class Builder {
 public:
  // A constructed element whose length is known when it closes.
  void Open(Tag tag);
  // Closes the innermost open element; false when none is open.
  bool Close();
  // A primitive element (or a constructed one whose contents are DER already).
  void Add(Tag tag, Bytes contents);
  // Complete elements, as they are.
  void Raw(Bytes der) { bytes_.insert(bytes_.end(), der.begin(), der.end()); }
  // False (nothing written) for text OidFromText refuses.
  bool Oid(std::string_view dotted);
  void Null() { Add(Tag(0x05), {}); }
  // False (nothing written) as UnsignedIntegerContents.
  bool UnsignedInteger(Bytes bigEndian, IntegerForm form, std::size_t width = 0);

  std::size_t OpenCount() const { return open_.size(); }
  // The encoding so far; complete once every element opened has closed.
  const std::vector<std::uint8_t>& Encoded() const { return bytes_; }
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  struct Pending {
    Tag tag;
    std::size_t start;  // where the contents begin
  };
  std::vector<std::uint8_t> bytes_;
  std::vector<Pending> open_;
};

}  // namespace der
