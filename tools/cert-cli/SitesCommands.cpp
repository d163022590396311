// sites list | allow ORIGIN | revoke ORIGIN | grant ORIGIN FOLDER |
// ungrant ORIGIN FOLDER: the user's standing approvals and folder grants for
// web pages, beside what the machine's site policy says.
#include <cstdio>

#include "CliSupport.h"
#include "Commands.h"
#include "consent/FolderGrants.h"
#include "consent/Origin.h"
#include "consent/SiteApprovals.h"

namespace certcli {

namespace {

std::string CapabilityText(unsigned capabilities) {
  std::string text;
  if (capabilities & consent::kKeys) text = "keys";
  if (capabilities & consent::kFiles) text += text.empty() ? "files" : " files";
  return text.empty() ? "nothing" : text;
}

// The machine policy's entry for the origin, when it has one.
const consent::SiteEntry* MachineEntry(const std::vector<consent::SiteEntry>& entries,
                                       const std::string& origin) {
  for (const consent::SiteEntry& entry : entries)
    if (entry.machine && entry.origin == origin) return &entry;
  return nullptr;
}

void WarnAboutFiles() {
  const consent::SitesFileProblems problems = consent::CheckSitesFiles();
  if (!problems.user.empty()) Error("warning: " + problems.user);
  if (!problems.machine.empty()) Error("warning: " + problems.machine);
}

// The origin named on the command line, or nullopt after saying why.
std::optional<consent::Origin> OriginArgument(const std::string& text) {
  consent::Origin origin;
  if (!consent::ParseOrigin(text, &origin)) {
    Error("\"" + text +
          "\" is not a web origin: give scheme://host[:port] with no path, such as "
          "https://example.com");
    return std::nullopt;
  }
  return origin;
}

bool ListAll(std::vector<consent::SiteEntry>* pEntries, bool* pbLocked) {
  const HRESULT hResult = consent::ListSites(pEntries, pbLocked);
  if (FAILED(hResult)) ErrorCode("cannot read the sites", hResult);
  return SUCCEEDED(hResult);
}

// A folder as one printable field: the list is read line by line and
// split at tabs.
std::string FolderField(const std::string& folder) {
  std::string text;
  for (char c : folder) {
    if (c == '\\')
      text += "\\\\";
    else if (c == '\n')
      text += "\\n";
    else if (c == '\r')
      text += "\\r";
    else if (c == '\t')
      text += "\\t";
    else
      text += c;
  }
  return text;
}

int List() {
  std::vector<consent::SiteEntry> entries;
  bool bLocked = false;
  if (!ListAll(&entries, &bLocked)) return kExitFailure;
  std::vector<consent::FolderGrant> grants;
  if (const HRESULT hResult = consent::ListFolderGrants(&grants); FAILED(hResult)) {
    ErrorCode("cannot read the folder grants", hResult);
    return kExitFailure;
  }
  WarnAboutFiles();
  if (entries.empty() && grants.empty()) std::printf("(no sites)\n");
  for (const consent::SiteEntry& entry : entries) {
    std::string source = entry.machine ? "machine" : "user";
    if (!entry.machine) {
      if (MachineEntry(entries, entry.origin))
        source += " (the machine policy decides)";
      else if (bLocked)
        source += " (no effect: not in the locked machine list)";
    }
    std::printf("%s\t%s\t%s\n", entry.origin.c_str(), CapabilityText(entry.capabilities).c_str(),
                source.c_str());
  }
  for (const consent::FolderGrant& grant : grants)
    std::printf("%s\tfolder %s\t%s\n", grant.origin.c_str(), FolderField(grant.folder).c_str(),
                bLocked && !MachineEntry(entries, grant.origin)
                    ? "user (no effect: not in the locked machine list)"
                    : "user");
  if (bLocked)
    std::printf("locked: the machine policy (%s) allows only the sites it lists\n",
                consent::MachinePolicyPath().c_str());
  return kExitOk;
}

int Allow(const std::string& text) {
  const auto origin = OriginArgument(text);
  if (!origin) return kExitFailure;
  if (!consent::IsSecureOrigin(*origin)) {
    Error(origin->text +
          " is not a secure origin: only https sites, or http ones on this computer "
          "(localhost, 127.0.0.1, [::1]), can be allowed");
    return kExitFailure;
  }
  const HRESULT hResult = consent::RememberSite(*origin, consent::kKeys | consent::kFiles);
  if (hResult == consent::kSitesFileNotTrusted) {
    const std::string problem = consent::CheckSitesFiles().user;
    Error("not changed: " +
          (problem.empty() ? consent::UserSitesPath() + " would grow too large" : problem));
    return kExitFailure;
  }
  if (FAILED(hResult)) {
    ErrorCode("cannot write " + consent::UserSitesPath(), hResult);
    return kExitFailure;
  }
  std::printf("allowed %s to use keys and files\n", origin->text.c_str());
  const consent::SiteDecision decision = consent::LookUpSite(*origin);
  if (decision.byMachinePolicy && decision.standing == consent::Standing::kRefused)
    std::printf("note: the machine policy allows only the sites it lists, so this has no effect\n");
  else if (decision.byMachinePolicy)
    std::printf("note: the machine policy already decides for this site (%s)\n",
                CapabilityText(decision.capabilities).c_str());
  return kExitOk;
}

int Revoke(const std::string& text) {
  const auto origin = OriginArgument(text);
  if (!origin) return kExitFailure;
  std::vector<consent::SiteEntry> entries;
  if (!ListAll(&entries, nullptr)) return kExitFailure;
  const bool bByMachine = MachineEntry(entries, origin->text) != nullptr;
  const HRESULT hResult = consent::ForgetSite(*origin);
  if (hResult == consent::kSitesFileNotTrusted) {
    Error("not changed: " + consent::CheckSitesFiles().user);
    return kExitFailure;
  }
  if (FAILED(hResult)) {
    ErrorCode("cannot write " + consent::UserSitesPath(), hResult);
    return kExitFailure;
  }
  if (hResult == S_FALSE) {
    if (bByMachine)
      Error(origin->text + " is pre-approved by the machine policy (" +
            consent::MachinePolicyPath() + "), which only its administrator can change");
    else
      Error(origin->text + " was not allowed");
    return kExitFailure;
  }
  std::printf("revoked %s (and the folders granted to it)\n", origin->text.c_str());
  if (bByMachine)
    std::printf("note: the machine policy (%s) still pre-approves it\n",
                consent::MachinePolicyPath().c_str());
  return kExitOk;
}

bool NotChanged(HRESULT hResult) {
  if (hResult == consent::kSitesFileNotTrusted) {
    const std::string problem = consent::CheckSitesFiles().user;
    Error("not changed: " +
          (problem.empty() ? consent::UserSitesPath() + " would grow too large" : problem));
    return true;
  }
  if (FAILED(hResult)) {
    ErrorCode("cannot write " + consent::UserSitesPath(), hResult);
    return true;
  }
  return false;
}

int Grant(const std::string& text, const std::string& folder) {
  const auto origin = OriginArgument(text);
  if (!origin) return kExitFailure;
  if (!consent::IsSecureOrigin(*origin)) {
    Error(origin->text +
          " is not a secure origin: only https sites, or http ones on this computer "
          "(localhost, 127.0.0.1, [::1]), can be granted a folder");
    return kExitFailure;
  }
  if (!folder.starts_with('/')) {
    Error("\"" + folder + "\" is not an absolute path: give the folder from /");
    return kExitFailure;
  }
  const HRESULT hResult = consent::GrantFolder(*origin, folder);
  if (hResult == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) {
    Error(folder + " is not an existing folder");
    return kExitFailure;
  }
  if (NotChanged(hResult)) return kExitFailure;
  std::printf("granted %s to %s\n", FolderField(folder).c_str(), origin->text.c_str());
  const consent::SiteDecision decision = consent::LookUpSite(*origin);
  if (decision.byMachinePolicy && decision.standing == consent::Standing::kRefused)
    std::printf("note: the machine policy allows only the sites it lists, so this has no effect\n");
  return kExitOk;
}

int Ungrant(const std::string& text, const std::string& folder) {
  const auto origin = OriginArgument(text);
  if (!origin) return kExitFailure;
  const HRESULT hResult = consent::RevokeFolder(*origin, folder);
  if (NotChanged(hResult)) return kExitFailure;
  if (hResult == S_FALSE) {
    Error(FolderField(folder) + " was not granted to " + origin->text);
    return kExitFailure;
  }
  std::printf("took %s back from %s\n", FolderField(folder).c_str(), origin->text.c_str());
  return kExitOk;
}

}  // namespace

int RunSites(std::span<const std::string> args) {
  const auto parsed = ParseArgs(args, {{}, {}});
  if (!parsed) return kExitUsage;
  const std::vector<std::string>& words = parsed->positional;
  if (words.size() == 1 && words[0] == "list") return List();
  if (words.size() == 2 && words[0] == "allow") return Allow(words[1]);
  if (words.size() == 2 && words[0] == "revoke") return Revoke(words[1]);
  if (words.size() == 3 && words[0] == "grant") return Grant(words[1], words[2]);
  if (words.size() == 3 && words[0] == "ungrant") return Ungrant(words[1], words[2]);
  if (!words.empty() && (words[0] == "list" || words[0] == "allow" || words[0] == "revoke"))
    Error(words[0] == "list" ? "sites list takes no arguments"
                             : "sites " + words[0] + " needs exactly one ORIGIN");
  else if (!words.empty() && (words[0] == "grant" || words[0] == "ungrant"))
    Error("sites " + words[0] + " needs exactly an ORIGIN and a FOLDER");
  else
    Error("sites needs an action: list, allow ORIGIN, revoke ORIGIN, grant ORIGIN FOLDER or "
          "ungrant ORIGIN FOLDER");
  return kExitUsage;
}

}  // namespace certcli
