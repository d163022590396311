// Reads arbitrary bytes as a series of elements in DER and in BER, walks
// every constructed element down to a fixed depth and writes what it read
// again with the builder. Whatever DER accepts must come out byte for byte
// as it went in; whatever BER accepts must come out as DER that reads back
// to itself. Object identifiers and integers read must write back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "der/Builder.h"
#include "der/OctetString.h"
#include "der/Oid.h"
#include "der/Reader.h"

namespace {

constexpr int kMaxDepth = 32;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Within(der::Bytes inner, der::Bytes outer) {
  return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

bool Universal(const der::Element& element, std::uint32_t number) {
  return (element.tag.bits & 0xC0) == 0 && element.tag.number == number;
}

// A non-negative INTEGER already in its shortest form.
bool MinimalUnsigned(der::Bytes contents) {
  if (contents.empty() || (contents[0] & 0x80) != 0) return false;
  return contents.size() == 1 || contents[0] != 0 || (contents[1] & 0x80) != 0;
}

void CheckPrimitive(const der::Element& element, const der::Options& options) {
  if (Universal(element, 6)) {
    std::string dotted;
    std::vector<std::uint8_t> again;
    if (der::Ok(der::OidToText(element.contents, &dotted))) {
      Check(der::OidFromText(dotted, &again));
      Check(again == std::vector<std::uint8_t>(element.contents.begin(), element.contents.end()));
    }
  }
  if (Universal(element, 2) && MinimalUnsigned(element.contents)) {
    std::vector<std::uint8_t> again;
    Check(der::UnsignedIntegerContents(element.contents, der::IntegerForm::kMinimal, 0, &again));
    Check(again == std::vector<std::uint8_t>(element.contents.begin(), element.contents.end()));
  }
  if (Universal(element, 4)) {
    std::vector<std::uint8_t> value;
    if (der::Ok(der::OctetStringValue(element, options, &value)))
      Check(value.size() <= element.contents.size());
  }
}

// Every element of `bytes` into `builder`; false for anything the reader
// refuses or nesting past kMaxDepth.
bool Walk(der::Bytes bytes, const der::Options& options, int depth, der::Builder* builder) {
  if (depth > kMaxDepth) return false;
  der::Reader reader(bytes, options);
  while (!reader.AtEnd()) {
    der::Element element;
    if (!der::Ok(reader.Read(&element))) return false;
    Check(Within(element.whole, bytes) && Within(element.contents, element.whole));
    if (!element.Constructed()) {
      CheckPrimitive(element, options);
      builder->Add(element.tag, element.contents);
      continue;
    }
    if (Universal(element, 4)) CheckPrimitive(element, options);
    builder->Open(element.tag);
    if (!Walk(element.contents, options, depth + 1, builder)) return false;
    Check(builder->Close());
  }
  return true;
}

bool Reencode(der::Bytes bytes, der::Mode mode, std::vector<std::uint8_t>* out) {
  der::Options options;
  options.mode = mode;
  der::Builder builder;
  if (!Walk(bytes, options, 0, &builder)) return false;
  Check(builder.OpenCount() == 0);
  *out = builder.Take();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 16)) return 0;
  // A copy of exactly the input's size, so a read past it is caught.
  const std::vector<std::uint8_t> input(data, data + size);
  std::vector<std::uint8_t> fromDer, fromBer, again;
  const bool der = Reencode(input, der::Mode::kDer, &fromDer);
  const bool ber = Reencode(input, der::Mode::kBer, &fromBer);
  if (der) {
    Check(fromDer == input);
    Check(ber && fromBer == input);  // DER is BER too
  }
  if (ber) {
    Check(Reencode(fromBer, der::Mode::kDer, &again));
    Check(again == fromBer);
  }
  return 0;
}
