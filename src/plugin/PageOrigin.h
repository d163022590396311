// Whom an instance works for: the origin of the document that embeds it.
#pragma once

#include <string>

#include "plugin/npapi.h"

namespace plugin {

// The embedding document's origin as its window's location gives it
// ("https://a.example:8443"); a file: page is the one origin "file://".
// Empty when the browser does not tell, which leaves the page nothing.
std::string LearnPageOrigin(NPP npp);

}  // namespace plugin
