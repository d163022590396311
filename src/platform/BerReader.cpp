#include "platform/BerReader.h"

#include "platform/CryptErrors.h"

namespace platform::ber {
namespace {

constexpr int kMaxDepth = 32;

struct Header {
  BYTE tag = 0;
  std::size_t headerSize = 0;
  bool indefinite = false;
  std::size_t length = 0;
};

HRESULT ReadHeader(std::span<const BYTE> bytes, Header* header) {
  if (bytes.size() < 2) return CRYPT_E_ASN1_EOD;
  header->tag = bytes[0];
  if ((bytes[0] & 0x1F) == 0x1F) return CRYPT_E_ASN1_BADTAG;
  const BYTE first = bytes[1];
  header->indefinite = false;
  if (first < 0x80) {
    header->length = first;
    header->headerSize = 2;
  } else if (first == 0x80) {
    if ((header->tag & 0x20) == 0) return CRYPT_E_ASN1_CORRUPT;
    header->indefinite = true;
    header->length = 0;
    header->headerSize = 2;
  } else {
    const std::size_t octets = first & 0x7F;
    if (octets > sizeof(std::size_t)) return CRYPT_E_ASN1_LARGE;
    if (bytes.size() < 2 + octets) return CRYPT_E_ASN1_EOD;
    std::size_t length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | bytes[2 + i];
    header->length = length;
    header->headerSize = 2 + octets;
  }
  if (!header->indefinite && header->length > bytes.size() - header->headerSize)
    return CRYPT_E_ASN1_EOD;
  return S_OK;
}

// The whole size of the element at the front of `bytes`, the contents'
// size (without end-of-contents) in *contentsSize.
HRESULT Measure(std::span<const BYTE> bytes, int depth, Header* header, std::size_t* total) {
  if (depth > kMaxDepth) return CRYPT_E_ASN1_LARGE;
  HRESULT hr = ReadHeader(bytes, header);
  if (FAILED(hr)) return hr;
  if (!header->indefinite) {
    *total = header->headerSize + header->length;
    return S_OK;
  }
  std::size_t offset = header->headerSize;
  for (;;) {
    if (bytes.size() - offset < 2) return CRYPT_E_ASN1_EOD;
    if (bytes[offset] == 0 && bytes[offset + 1] == 0) {
      header->length = offset - header->headerSize;
      *total = offset + 2;
      return S_OK;
    }
    Header child;
    std::size_t childTotal = 0;
    hr = Measure(bytes.subspan(offset), depth + 1, &child, &childTotal);
    if (FAILED(hr)) return hr;
    offset += childTotal;
  }
}

HRESULT AppendOctets(const BerElement& element, int depth, std::vector<BYTE>* out) {
  if (!element.Constructed()) {
    out->insert(out->end(), element.contents.begin(), element.contents.end());
    return S_OK;
  }
  if (depth > kMaxDepth) return CRYPT_E_ASN1_LARGE;
  BerReader pieces(element.contents);
  while (!pieces.AtEnd()) {
    BerElement piece;
    HRESULT hr = pieces.Read(&piece);
    if (FAILED(hr)) return hr;
    if ((piece.tag & 0xDF) != 0x04) return CRYPT_E_ASN1_BADTAG;
    hr = AppendOctets(piece, depth + 1, out);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT BerReader::Read(BerElement* element) {
  Header header;
  std::size_t total = 0;
  HRESULT hr = Measure(rest_, 0, &header, &total);
  if (FAILED(hr)) return hr;
  if (header.tag == 0 && !header.indefinite) return CRYPT_E_ASN1_CORRUPT;  // stray end-of-contents
  element->tag = header.tag;
  element->contents = rest_.subspan(header.headerSize, header.length);
  element->whole = rest_.first(total);
  rest_ = rest_.subspan(total);
  return S_OK;
}

HRESULT BerReader::Expect(BYTE tag, BerElement* element) {
  if (rest_.empty()) return CRYPT_E_ASN1_EOD;
  if (rest_[0] != tag) return CRYPT_E_ASN1_BADTAG;
  return Read(element);
}

bool BerReader::Optional(BYTE tag, BerElement* element) {
  if (rest_.empty() || rest_[0] != tag) return false;
  return SUCCEEDED(Read(element));
}

HRESULT OctetStringValue(const BerElement& element, std::vector<BYTE>* out) {
  out->clear();
  return AppendOctets(element, 0, out);
}

HRESULT DecodeOid(std::span<const BYTE> contents, std::string* dotted) {
  dotted->clear();
  if (contents.empty() || contents.size() > 128 || (contents.back() & 0x80) != 0)
    return CRYPT_E_ASN1_CORRUPT;
  bool first = true;
  std::uint64_t arc = 0;
  int groups = 0;
  for (BYTE octet : contents) {
    if (groups == 0 && octet == 0x80) return CRYPT_E_ASN1_CORRUPT;  // not minimal
    if (++groups > 9) return CRYPT_E_ASN1_LARGE;
    arc = (arc << 7) | (octet & 0x7F);
    if (octet & 0x80) continue;
    if (first) {
      const std::uint64_t top = arc < 40 ? 0 : arc < 80 ? 1 : 2;
      *dotted = std::to_string(top) + "." + std::to_string(arc - 40 * top);
      first = false;
    } else {
      *dotted += "." + std::to_string(arc);
    }
    arc = 0;
    groups = 0;
  }
  return S_OK;
}

}  // namespace platform::ber
