// The pieces behind SiteApprovals: the two files' text forms (pure, so
// they are tested without a disk) and the guarded reads and writes.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "consent/SiteApprovals.h"

namespace consent::detail {

inline constexpr std::size_t kMaxSitesFileBytes = 1u << 20;

// --- Text forms -----------------------------------------------------------

// "keys", "files", "keys files"; empty for none.
std::string CapabilityWords(unsigned capabilities);

// One line of the user's file. approval is set when the line is an approval
// line; raw is what the file held (without its newline).
struct UserLine {
  std::string raw;
  bool approval = false;
  std::string origin;  // canonical
  unsigned capabilities = 0;
};
std::vector<UserLine> ParseUserSites(std::string_view text);
// Every line with a newline after it.
std::string UserSitesText(const std::vector<UserLine>& lines);

// The user's file with the approval added or widened; false when it was
// already there and nothing needs writing.
bool AddApproval(std::vector<UserLine>* pLines, const std::string& origin, unsigned capabilities);
// The user's file without the origin's approval lines; false when it had none.
bool RemoveApproval(std::vector<UserLine>* pLines, const std::string& origin);

// Approvals that take effect (secure origins), once per origin in file order.
std::vector<SiteEntry> UserApprovals(const std::vector<UserLine>& lines);

struct MachinePolicy {
  std::vector<SiteEntry> entries;  // machine = true, once per origin
  bool onlyListed = false;
  std::string problem;  // why it fails closed; empty when it does not
};
// A malformed line sets onlyListed and problem; the rest still applies.
MachinePolicy ParseMachinePolicy(std::string_view text);

// --- Files ----------------------------------------------------------------

// A descriptor closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // close(2)'s own result, which can be the first sign of a failed write.
  int Close();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

enum class ReadStatus { kRead, kAbsent, kNotTrusted, kFailed };
struct FileText {
  ReadStatus status = ReadStatus::kAbsent;
  std::string text;
  std::string why;  // for kNotTrusted and kFailed
  HRESULT hResult = S_OK;
};

// The user's state folder, opened without following a final link and
// checked (owned by the user, writable by nobody else). With bCreate a
// missing folder is made 0700 (its parents with the usual modes). A missing
// folder without bCreate gives an invalid Fd and kAbsent.
Fd OpenUserFolder(bool bCreate, FileText* pStatus);
// The sites file inside that folder, checked.
FileText ReadUserSitesFile(int folderFd);
FileText ReadMachinePolicyFile();

// Replaces name inside the folder: a 0600 temporary file beside it,
// written, fsync'ed, renamed over the old one, then the folder fsync'ed.
// Never follows a link at name (rename replaces the link itself); the
// temporary file is removed when anything fails.
HRESULT ReplaceFileAt(int folderFd, const char* name, std::string_view text);

// --- The user's file as a whole ---------------------------------------------

// The user's sites file through its checked folder (kAbsent when either is
// missing).
FileText ReadUserFile();

// One read-modify-write of the user's file under the folder's lock; change
// returns false when the file needs no writing, and that gives S_FALSE (as
// does a missing folder when bCreate is false).
HRESULT UpdateUserFile(bool bCreate, const std::function<bool(std::vector<UserLine>*)>& change);

// --- Folder grants (FolderGrants.cpp) ----------------------------------------

// A "grant ORIGIN FOLDER" line; false for anything else (such a line is
// then an unknown line like any other, kept and ignored).
struct GrantLine {
  std::string origin;  // canonical
  std::string folder;  // unescaped
};
bool ParseGrantLine(std::string_view raw, GrantLine* pGrant);
std::string GrantLineText(const std::string& origin, std::string_view folder);
// The user's file without the origin's grant lines; false when it had none.
bool RemoveGrants(std::vector<UserLine>* pLines, const std::string& origin);

}  // namespace consent::detail
