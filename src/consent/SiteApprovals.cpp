#include "consent/SiteApprovals.h"

#include <sys/file.h>

#include <cerrno>

#include "consent/SitesInternal.h"
#include "platform/LastError.h"

namespace consent {

namespace {

using detail::FileText;
using detail::ReadStatus;
using detail::UserLine;

bool IsTroubled(const FileText& file) {
  return file.status == ReadStatus::kNotTrusted || file.status == ReadStatus::kFailed;
}

FileText ReadUserFile() {
  FileText status;
  detail::Fd folder = detail::OpenUserFolder(false, &status);
  if (!folder) return status;
  return detail::ReadUserSitesFile(folder.get());
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
  const FileText file = ReadUserFile();
  if (file.status != ReadStatus::kRead) return {};
  return detail::UserApprovals(detail::ParseUserSites(file.text));
}

// One read-modify-write of the user's file under the folder's lock.
// change returns false when the file needs no writing; that gives S_FALSE.
template <typename Change>
HRESULT UpdateUserFile(bool bCreate, Change change) {
  FileText status;
  detail::Fd folder = detail::OpenUserFolder(bCreate, &status);
  if (!folder) return status.status == ReadStatus::kAbsent ? S_FALSE : status.hResult;
  // The lock is on the folder's own descriptor: every writer opens the
  // folder anew, so it also keeps this process's threads apart.
  while (::flock(folder.get(), LOCK_EX) != 0)
    if (errno != EINTR) return HRESULT_FROM_WIN32(Win32ErrorFromErrno(errno));
  const FileText file = detail::ReadUserSitesFile(folder.get());
  if (IsTroubled(file)) return file.hResult;
  std::vector<UserLine> lines = detail::ParseUserSites(file.text);
  if (!change(&lines)) return S_FALSE;
  const std::string text = detail::UserSitesText(lines);
  if (text.size() > detail::kMaxSitesFileBytes) return kSitesFileNotTrusted;
  return detail::ReplaceFileAt(folder.get(), "sites", text);
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
  const HRESULT hResult = UpdateUserFile(true, [&](std::vector<UserLine>* pLines) {
    return detail::AddApproval(pLines, parsed.text, capabilities);
  });
  return hResult == S_FALSE ? S_OK : hResult;
}

HRESULT ForgetSite(const Origin& origin) {
  Origin parsed;
  if (!ParseOrigin(origin.text, &parsed)) return E_INVALIDARG;
  return UpdateUserFile(false, [&](std::vector<UserLine>* pLines) {
    return detail::RemoveApproval(pLines, parsed.text);
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
  const FileText user = ReadUserFile();
  if (IsTroubled(user)) {
    const std::string path = UserSitesPath();
    problems.user = (path.empty() ? std::string("the sites file") : path) + " " + user.why +
                    ", so it allows no site";
  }
  const detail::MachinePolicy policy = LoadMachinePolicy();
  problems.machine = policy.problem;
  return problems;
}

}  // namespace consent
