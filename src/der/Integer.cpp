#include "der/Integer.h"

namespace der {

bool UnsignedIntegerContents(Bytes bigEndian, IntegerForm form, std::size_t width,
                             std::vector<std::uint8_t>* contents) {
  std::size_t skip = 0;
  while (skip < bigEndian.size() && bigEndian[skip] == 0) ++skip;
  const Bytes magnitude = bigEndian.subspan(skip);
  contents->clear();
  if (form == IntegerForm::kFixedWidth) {
    if (width == 0 || magnitude.size() > width) return false;
    contents->assign(width - magnitude.size(), 0x00);
  } else if (magnitude.empty() || (magnitude[0] & 0x80) != 0) {
    contents->push_back(0x00);
  }
  contents->insert(contents->end(), magnitude.begin(), magnitude.end());
  return true;
}

}  // namespace der
