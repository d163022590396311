// Which files a page may name. A page cannot know the user's paths, and a
// page naming one is just what a hostile page would do; so a path argument
// is accepted only inside a folder granted to the page's origin, or when it
// is the very file the user chose for this page. Paths are judged with
// their links resolved, and the resolved path is what the agent then gets.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "bridge/Services.h"
#include "consent/Origin.h"

namespace bridge {

// The path with its links resolved; for a file to be written only its
// folder is resolved and the name appended, so that a link planted under
// the name is judged by the agent's own gate, not followed here. False for
// a relative path, a name that is empty, "." or "..", or a folder that
// cannot be resolved.
bool ResolveArgumentPath(std::string_view path, bool output, std::string* resolved);

// The files the user chose for one session.
struct ChosenFiles {
  std::set<std::string> inputs;
  std::set<std::string> outputs;
};

bool PathAllowed(Services& services, const consent::Origin& origin, const ChosenFiles& chosen,
                 const std::string& resolved, bool output);

}  // namespace bridge
