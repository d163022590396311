#include "bridge/Manage.h"

#include <vector>

#include "bridge/MethodTable.h"
#include "consent/FolderGrants.h"
#include "consent/Origin.h"
#include "consent/SiteApprovals.h"

namespace bridge {
namespace {

std::string Answer(Number id, bool ok, Json value, const std::string& message = {}) {
  Json frame = {{"type", "managed"}, {"id", id}, {"ok", ok}};
  if (ok)
    frame["value"] = std::move(value);
  else
    frame["message"] = message;
  return Dump(frame);
}

std::string List(Number id) {
  std::vector<consent::SiteEntry> sites;
  bool onlyListed = false;
  std::vector<consent::FolderGrant> grants;
  if (FAILED(consent::ListSites(&sites, &onlyListed)) || FAILED(consent::ListFolderGrants(&grants)))
    return Answer(id, false, nullptr, "The list of sites could not be read.");
  Json value = {{"version", ModuleVersion()},
                {"onlyListed", onlyListed},
                {"sites", Json::array()},
                {"grants", Json::array()}};
  for (const consent::SiteEntry& site : sites)
    value["sites"].push_back({{"origin", site.origin},
                              {"keys", (site.capabilities & consent::kKeys) != 0},
                              {"files", (site.capabilities & consent::kFiles) != 0},
                              {"machine", site.machine}});
  for (const consent::FolderGrant& grant : grants)
    value["grants"].push_back({{"origin", grant.origin}, {"folder", grant.folder}});
  const consent::SitesFileProblems problems = consent::CheckSitesFiles();
  if (!problems.user.empty()) value["problem"] = problems.user;
  return Answer(id, true, std::move(value));
}

}  // namespace

std::string AnswerManage(const ManageMessage& message) {
  if (message.action == "list") return List(message.id);
  consent::Origin origin;
  if (!consent::ParseOrigin(message.origin, &origin))
    return Answer(message.id, false, nullptr, "That is not a site's origin.");
  if (message.action == "revoke") {
    const HRESULT hr = consent::ForgetSite(origin);
    if (FAILED(hr)) return Answer(message.id, false, nullptr, "The site could not be revoked.");
    return Answer(message.id, true, hr == S_OK);
  }
  if (message.action == "ungrant") {
    const HRESULT hr = consent::RevokeFolder(origin, message.folder);
    if (FAILED(hr)) return Answer(message.id, false, nullptr, "The folder could not be taken back.");
    return Answer(message.id, true, hr == S_OK);
  }
  return Answer(message.id, false, nullptr, "Unknown action.");
}

}  // namespace bridge
