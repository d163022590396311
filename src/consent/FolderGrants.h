// Folders a user granted to one site. Web pages cannot know where the
// user's files are, and a page naming an arbitrary path is exactly what a
// hostile page would do; so through the browser bridge a page may name only
// files inside a folder its user granted to its origin (or a file the user
// picked for it). The grants live in the user's sites file beside the
// standing approvals, as lines
//
//   grant https://a.example /home/me/Documents/contracts
//
// (the folder is the rest of the line; a backslash, newline, carriage
// return or tab in it is written \\ \n \r \t), under the same trust checks,
// atomic writes and lock as the approvals.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "consent/Origin.h"
#include "platform/base/WinTypes.h"

namespace consent {

struct FolderGrant {
  std::string origin;  // canonical origin text
  std::string folder;  // absolute, links resolved when granted
};

// Grants `folder` to a secure origin. The folder must be absolute and
// exist; it is stored with its links resolved, so a link later swapped for
// another one does not widen the grant. E_INVALIDARG for a non-secure
// origin or a relative folder, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
// for a folder that does not exist or is not a folder, kSitesFileNotTrusted
// as RememberSite. S_OK also when the grant was already there.
HRESULT GrantFolder(const Origin& origin, std::string_view folder);

// Removes the grant of `folder` (matched as stored, or after resolving its
// links); S_FALSE when there was none.
HRESULT RevokeFolder(const Origin& origin, std::string_view folder);

// Every grant that takes effect, in file order (nothing from an untrusted
// file, nothing for a non-secure origin).
HRESULT ListFolderGrants(std::vector<FolderGrant>* pGrants);

// True when `resolvedPath` (absolute, without links, "." or "..") is a
// granted folder of the origin or lies below one, matched on whole
// components: a grant of /home/me/a does not cover /home/me/ab.
bool IsInsideGrantedFolder(const Origin& origin, std::string_view resolvedPath);

}  // namespace consent
