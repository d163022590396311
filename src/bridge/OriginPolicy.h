// Which pages the bridge serves. The extension takes the origin from the
// browser's sender record, but the host checks it again: only
// "scheme://host[:port]" of at most 255 characters, https, or http on the
// loopback names.
#pragma once

#include <string_view>

#include "consent/Origin.h"

namespace bridge {

bool AcceptOrigin(std::string_view text, consent::Origin* origin);

}  // namespace bridge
