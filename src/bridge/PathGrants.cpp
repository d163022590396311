#include "bridge/PathGrants.h"

#include "platform/fs/NoFollow.h"

namespace bridge {

bool ResolveArgumentPath(std::string_view path, bool output, std::string* resolved) {
  resolved->clear();
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos)
    return false;
  if (!output) {
    PhysicalPath physical;
    if (ResolvePhysically(path, &physical) != 0) return false;
    *resolved = std::move(physical.path);
    return true;
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string_view name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  const std::string_view folder = slash == 0 ? std::string_view("/") : path.substr(0, slash);
  PhysicalPath physical;
  if (ResolvePhysically(folder, &physical) != 0) return false;
  *resolved = std::move(physical.path);
  if (resolved->empty() || resolved->back() != '/') resolved->push_back('/');
  resolved->append(name);
  return true;
}

bool PathAllowed(Services& services, const consent::Origin& origin, const ChosenFiles& chosen,
                 const std::string& resolved, bool output) {
  // A file the user named for the page to write is the page's own to read
  // back (to check what it wrote); one chosen to read is never written.
  if (chosen.outputs.contains(resolved)) return true;
  if (!output && chosen.inputs.contains(resolved)) return true;
  return services.IsInsideGrantedFolder(origin, resolved);
}

}  // namespace bridge
