// Which sites may use the user's keys and files without being asked: the
// machine's site policy and the user's standing approvals. Both files are
// read afresh on every call, so a change (by npsigil-cert sites, by hand, by
// the administrator) takes effect at the next call in every process.
//
// The user's file, ${XDG_DATA_HOME:-$HOME/.local/share}/npsigil/sites:
//
//   # comment
//   https://a.example keys files
//   https://b.example:8443 keys
//
// An approval line is an origin (as ParseOrigin reads it) followed by one
// or more of the words "keys" and "files", separated by blanks. Every other
// line (comments, blank lines, lines this version does not understand) has
// no effect and is kept as it stands when the file is rewritten, so later
// kinds of lines can live in the same file. Approvals of an origin that is
// not secure have no effect (they can only come from editing by hand).
// The file and its folder are trusted only when the folder is a real folder
// (not a link) owned by the user and writable by nobody else, and the file
// a regular file (not a link) owned by the user, writable by nobody else,
// of at most 1 MiB. An untrusted file grants nothing, and is never
// rewritten: RememberSite and ForgetSite fail with kSitesFileNotTrusted and
// leave it, and whatever it points at, as they found it.
//
// The machine's file, ${NPSIGIL_MACHINE_ROOT:-/var/lib/npsigil}/policy/sites:
//
//   # comment
//   https://intranet.example
//   https://hr.example keys
//   only-listed
//
// An origin line pre-approves that origin (for keys and files, or for the
// capabilities it names); "only-listed" refuses, without a prompt, every
// origin not listed. Any valid origin may be listed, secure or not: the
// administrator's list is the one way to let file: or intranet http pages
// work. The file is trusted when it is a regular file (links are followed:
// configuration tools deploy it that way) owned by root or by the user
// running, writable by nobody else, of at most 1 MiB.
//
// A machine policy that exists but cannot be trusted or read fails closed:
// it pre-approves nothing and counts as "only-listed", and a malformed line
// in a readable file also counts as "only-listed" (the other lines still
// apply). The reasoning: a lock the administrator wrote must not be lifted by
// a typo, a wrong mode or an I/O error, while a spurious lock only costs
// prompts that `npsigil-cert sites list` explains (see CheckSitesFiles). A
// missing file (or missing folder) is no policy at all.
//
// Every call is safe from any thread. Writers take an exclusive flock(2) on
// the user's state folder for the read-modify-write, so two processes (the
// plug-in, the bridge, npsigil-cert) never lose each other's changes;
// readers need no lock because the file is only ever replaced by rename.
#pragma once

#include <string>
#include <vector>

#include "consent/Origin.h"
#include "platform/base/WinTypes.h"

namespace consent {

enum class Standing { kAsk, kAllowed, kRefused };
struct SiteDecision {
  Standing standing = Standing::kAsk;
  unsigned capabilities = 0;  // those allowed when kAllowed
  bool byMachinePolicy = false;
};

// The user's sites file or its folder failed the trust checks above, or the
// file would grow past its bound.
inline constexpr HRESULT kSitesFileNotTrusted = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);

// Looks the origin up afresh on every call: the machine policy first
// (pre-approved origins: kAllowed; with the `only-listed` lock an origin not
// listed is kRefused without a prompt), then the user's approvals. Only
// origin.text is read (parsed again, so a hand-built Origin cannot pass
// for another); text that is not an origin is kRefused.
SiteDecision LookUpSite(const Origin& origin);

// "Always allow this site": adds (or widens) the user's standing approval;
// the file is written atomically (temp file in the same folder, fsync,
// rename) with mode 0600, its folder created 0700 if missing. Never written
// for a non-secure origin (E_INVALIDARG), nor for capabilities outside
// kKeys | kFiles or none (E_INVALIDARG). S_OK also when the approval was
// already there (nothing is written then).
HRESULT RememberSite(const Origin& origin, unsigned capabilities);

// Removes the user's approval (every approval line of the origin) and the
// folders granted to it (FolderGrants.h): a site revoked keeps nothing.
// S_FALSE when there was neither, and then nothing is written.
HRESULT ForgetSite(const Origin& origin);

struct SiteEntry {
  std::string origin;
  unsigned capabilities;
  bool machine;
};
// The machine's pre-approvals (machine = true) and then the user's
// approvals, each in file order, an origin once per file. *pbOnlyListed
// tells about the lock (also set when the machine policy fails closed).
// Only what takes effect is listed: nothing from an untrusted user file,
// no user approval of a non-secure origin. pbOnlyListed may be null.
HRESULT ListSites(std::vector<SiteEntry>* pEntries, bool* pbOnlyListed);

// Where they live: ${XDG_DATA_HOME:-$HOME/.local/share}/npsigil/sites (empty
// when no home is known) and ${NPSIGIL_MACHINE_ROOT:-/var/lib/npsigil}/policy/sites.
std::string UserSitesPath();
std::string MachinePolicyPath();

// Why either file is not (fully) honoured, in a sentence for the user's
// tool; empty when it is honoured or simply absent.
struct SitesFileProblems {
  std::string user;
  std::string machine;
};
SitesFileProblems CheckSitesFiles();

}  // namespace consent
