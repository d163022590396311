#include "consent/SiteApprovals.h"

#include <sys/file.h>

#include <cerrno>

#include "consent/SitesInternal.h"
#include "platform/base/LastError.h"

namespace consent {

namespace {

using detail::FileText;
using detail::ReadStatus;
using detail::UserLine;

bool IsTroubled(const FileText& file) {
  return file.status == ReadStatus::kNotTrusted || file.status == ReadStatus::kFailed;
}

detail::MachinePolicy LoadMachinePolicy() {
  const FileText file = detail::ReadMachinePolicyFile();
  if (file.status == ReadStatus::kAbsent) return {};
  if (file.status == ReadStatus::kRead) {
    detail::MachinePolicy policy = detail::ParseMachinePolicy(file.text);
    if (!policy.problem.empty()) policy.problem = MachinePolicyPath() + ": " + policy.problem;
    return policy;
  }
  detail::MachinePolicy closed;
  closed.onlyListed = true;
  closed.problem =
      MachinePolicyPath() + " " + file.why + ", so it is taken to allow no site at all";
  return closed;
}

std::vector<SiteEntry> LoadUserApprovals() {
  const FileText file = detail::ReadUserFile();
  if (file.status != ReadStatus::kRead) return {};
  return detail::UserApprovals(detail::ParseUserSites(file.text));
}

}  // namespace

SiteDecision LookUpSite(const Origin& origin) {
  Origin parsed;
  if (!ParseOrigin(origin.text, &parsed)) return {Standing::kRefused, 0, false};
  const detail::MachinePolicy policy = LoadMachinePolicy();
  for (const SiteEntry& entry : policy.entries)
    if (entry.origin == parsed.text) return {Standing::kAllowed, entry.capabilities, true};
  if (policy.onlyListed) return {Standing::kRefused, 0, true};
  for (const SiteEntry& entry : LoadUserApprovals())
    if (entry.origin == parsed.text) return {Standing::kAllowed, entry.capabilities, false};
  return {};
}

HRESULT RememberSite(const Origin& origin, unsigned capabilities) {
  Origin parsed;
  if (capabilities == 0 || (capabilities & ~kAllCapabilities) != 0 ||
      !ParseOrigin(origin.text, &parsed) || !IsSecureOrigin(parsed))
    return E_INVALIDARG;
  const HRESULT hResult = detail::UpdateUserFile(true, [&](std::vector<UserLine>* pLines) {
    return detail::AddApproval(pLines, parsed.text, capabilities);
  });
  return hResult == S_FALSE ? S_OK : hResult;
}

HRESULT ForgetSite(const Origin& origin) {
  Origin parsed;
  if (!ParseOrigin(origin.text, &parsed)) return E_INVALIDARG;
  // Forgetting a site forgets its folders too: a user who revokes a site
  // means it to have nothing left, and a grant outliving the approval would
  // surface again at the next visit without anyone asking.
  return detail::UpdateUserFile(false, [&](std::vector<UserLine>* pLines) {
    const bool bApprovals = detail::RemoveApproval(pLines, parsed.text);
    const bool bGrants = detail::RemoveGrants(pLines, parsed.text);
    return bApprovals || bGrants;
  });
}

HRESULT ListSites(std::vector<SiteEntry>* pEntries, bool* pbOnlyListed) {
  if (!pEntries) return E_POINTER;
  detail::MachinePolicy policy = LoadMachinePolicy();
  std::vector<SiteEntry> entries = std::move(policy.entries);
  for (SiteEntry& entry : LoadUserApprovals()) entries.push_back(std::move(entry));
  *pEntries = std::move(entries);
  if (pbOnlyListed) *pbOnlyListed = policy.onlyListed;
  return S_OK;
}

SitesFileProblems CheckSitesFiles() {
  SitesFileProblems problems;
  const FileText user = detail::ReadUserFile();
  if (IsTroubled(user)) {
    const std::string path = UserSitesPath();
    problems.user = (path.empty() ? std::string("the sites file") : path) + " " + user.why +
                    ", so it allows no site";
  }
  const detail::MachinePolicy policy = LoadMachinePolicy();
  problems.machine = policy.problem;
  return problems;
}

namespace detail {

FileText ReadUserFile() {
  FileText status;
  Fd folder = OpenUserFolder(false, &status);
  if (!folder) return status;
  return ReadUserSitesFile(folder.get());
}

HRESULT UpdateUserFile(bool bCreate, const std::function<bool(std::vector<UserLine>*)>& change) {
  FileText status;
  Fd folder = OpenUserFolder(bCreate, &status);
  if (!folder) return status.status == ReadStatus::kAbsent ? S_FALSE : status.hResult;
  // The lock is on the folder's own descriptor: every writer opens the
  // folder anew, so it also keeps this process's threads apart.
  while (::flock(folder.get(), LOCK_EX) != 0)
    if (errno != EINTR) return HRESULT_FROM_WIN32(Win32ErrorFromErrno(errno));
  const FileText file = ReadUserSitesFile(folder.get());
  if (IsTroubled(file)) return file.hResult;
  std::vector<UserLine> lines = ParseUserSites(file.text);
  if (!change(&lines)) return S_FALSE;
  const std::string text = UserSitesText(lines);
  if (text.size() > kMaxSitesFileBytes) return kSitesFileNotTrusted;
  return ReplaceFileAt(folder.get(), "sites", text);
}

}  // namespace detail

}  // namespace consent
