#include "der/OctetString.h"

namespace der {
namespace {

constexpr std::uint32_t kOctetString = 4;

Error AppendPieces(const Element& element, const Options& options, int depth,
                   std::vector<std::uint8_t>* value) {
  if (!element.Constructed()) {
    value->insert(value->end(), element.contents.begin(), element.contents.end());
    return Error::kOk;
  }
  if (options.mode == Mode::kDer) return Error::kCorrupt;
  if (depth > options.maxDepth) return Error::kTooDeep;
  Reader pieces(element.contents, options);
  while (!pieces.AtEnd()) {
    Element piece;
    Error error = pieces.Read(&piece);
    if (!Ok(error)) return error;
    // Pieces are universal OCTET STRINGs whatever the outer tag.
    if ((piece.tag.bits & 0xC0) != 0 || piece.tag.number != kOctetString) return Error::kBadTag;
    error = AppendPieces(piece, options, depth + 1, value);
    if (!Ok(error)) return error;
  }
  return Error::kOk;
}

}  // namespace

Error OctetStringValue(const Element& element, const Options& options,
                       std::vector<std::uint8_t>* value) {
  value->clear();
  return AppendPieces(element, options, 0, value);
}

}  // namespace der
