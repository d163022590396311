#include "consent/FolderGrants.h"

#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "consent/SiteApprovals.h"
#include "consent/SitesInternal.h"

namespace consent {

namespace detail {

namespace {

constexpr std::string_view kGrantWord = "grant";

constexpr char kGrantsHeader[] =
    "# Sites and what they may use (npsigil-cert sites). ORIGIN keys files;\n"
    "# grant ORIGIN FOLDER lets the site name files inside FOLDER.\n";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool Unescape(std::string_view text, std::string* pOut) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0' || c == '\n' || c == '\r' || c == '\t') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  *pOut = std::move(out);
  return true;
}

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

bool ParseGrantLine(std::string_view raw, GrantLine* pGrant) {
  if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
  std::size_t i = 0;
  while (i < raw.size() && IsBlank(raw[i])) ++i;
  if (raw.substr(i, kGrantWord.size()) != kGrantWord) return false;
  i += kGrantWord.size();
  if (i == raw.size() || !IsBlank(raw[i])) return false;
  while (i < raw.size() && IsBlank(raw[i])) ++i;
  const std::size_t originStart = i;
  while (i < raw.size() && !IsBlank(raw[i])) ++i;
  Origin origin;
  if (!ParseOrigin(raw.substr(originStart, i - originStart), &origin)) return false;
  while (i < raw.size() && IsBlank(raw[i])) ++i;
  std::string folder;
  if (!Unescape(raw.substr(i), &folder) || !folder.starts_with('/')) return false;
  pGrant->origin = std::move(origin.text);
  pGrant->folder = std::move(folder);
  return true;
}

std::string GrantLineText(const std::string& origin, std::string_view folder) {
  return std::string(kGrantWord) + " " + origin + " " + Escape(folder);
}

bool RemoveGrants(std::vector<UserLine>* pLines, const std::string& origin) {
  const auto removed = std::remove_if(pLines->begin(), pLines->end(), [&](const UserLine& line) {
    GrantLine grant;
    return !line.approval && ParseGrantLine(line.raw, &grant) && grant.origin == origin;
  });
  const bool bAny = removed != pLines->end();
  pLines->erase(removed, pLines->end());
  return bAny;
}

}  // namespace detail

namespace {

using detail::GrantLine;
using detail::UserLine;

constexpr HRESULT kPathNotFound = HRESULT_FROM_WIN32(3);  // ERROR_PATH_NOT_FOUND

// The folder with its links resolved; empty when it is not an existing
// folder.
std::string ResolvedFolder(std::string_view folder) {
  const std::string text(folder);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(text.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return {};
  struct stat st {};
  if (::stat(resolved.get(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  return resolved.get();
}

bool ParseSecure(const Origin& origin, Origin* pParsed) {
  return ParseOrigin(origin.text, pParsed) && IsSecureOrigin(*pParsed);
}

// Whole components only, and nothing a resolved path cannot hold: an empty,
// "." or ".." component would let a caller's slip pass for a path below.
bool IsResolvedAbsolute(std::string_view path) {
  if (!path.starts_with('/')) return false;
  if (path == "/") return true;
  std::size_t start = 1;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

bool Covers(std::string_view folder, std::string_view path) {
  if (!path.starts_with(folder)) return false;
  if (path.size() == folder.size()) return true;
  return folder.ends_with('/') || path[folder.size()] == '/';
}

}  // namespace

HRESULT GrantFolder(const Origin& origin, std::string_view folder) {
  Origin parsed;
  if (!ParseSecure(origin, &parsed) || !folder.starts_with('/') ||
      folder.find('\0') != std::string_view::npos)
    return E_INVALIDARG;
  const std::string resolved = ResolvedFolder(folder);
  if (resolved.empty()) return kPathNotFound;
  const HRESULT hResult = detail::UpdateUserFile(true, [&](std::vector<UserLine>* pLines) {
    for (const UserLine& line : *pLines) {
      GrantLine grant;
      if (!line.approval && detail::ParseGrantLine(line.raw, &grant) &&
          grant.origin == parsed.text && grant.folder == resolved)
        return false;
    }
    if (pLines->empty()) {
      std::string_view header = detail::kGrantsHeader;
      while (!header.empty()) {
        const std::size_t end = header.find('\n');
        pLines->push_back({std::string(header.substr(0, end)), false, {}, 0});
        header.remove_prefix(end + 1);
      }
    }
    pLines->push_back({detail::GrantLineText(parsed.text, resolved), false, {}, 0});
    return true;
  });
  return hResult == S_FALSE ? S_OK : hResult;
}

HRESULT RevokeFolder(const Origin& origin, std::string_view folder) {
  Origin parsed;
  if (!ParseOrigin(origin.text, &parsed) || folder.find('\0') != std::string_view::npos)
    return E_INVALIDARG;
  const std::string resolved = ResolvedFolder(folder);
  return detail::UpdateUserFile(false, [&](std::vector<UserLine>* pLines) {
    const auto removed = std::remove_if(pLines->begin(), pLines->end(), [&](const UserLine& line) {
      GrantLine grant;
      return !line.approval && detail::ParseGrantLine(line.raw, &grant) &&
             grant.origin == parsed.text &&
             (grant.folder == folder || (!resolved.empty() && grant.folder == resolved));
    });
    const bool bAny = removed != pLines->end();
    pLines->erase(removed, pLines->end());
    return bAny;
  });
}

HRESULT ListFolderGrants(std::vector<FolderGrant>* pGrants) {
  if (!pGrants) return E_POINTER;
  std::vector<FolderGrant> grants;
  const detail::FileText file = detail::ReadUserFile();
  if (file.status == detail::ReadStatus::kRead) {
    for (const UserLine& line : detail::ParseUserSites(file.text)) {
      GrantLine grant;
      Origin origin;
      if (line.approval || !detail::ParseGrantLine(line.raw, &grant) ||
          !ParseOrigin(grant.origin, &origin) || !IsSecureOrigin(origin))
        continue;
      const bool bSeen = std::any_of(grants.begin(), grants.end(), [&](const FolderGrant& g) {
        return g.origin == grant.origin && g.folder == grant.folder;
      });
      if (!bSeen) grants.push_back({std::move(grant.origin), std::move(grant.folder)});
    }
  }
  *pGrants = std::move(grants);
  return S_OK;
}

bool IsInsideGrantedFolder(const Origin& origin, std::string_view resolvedPath) {
  Origin parsed;
  if (!ParseSecure(origin, &parsed) || !IsResolvedAbsolute(resolvedPath)) return false;
  std::vector<FolderGrant> grants;
  if (FAILED(ListFolderGrants(&grants))) return false;
  return std::any_of(grants.begin(), grants.end(), [&](const FolderGrant& grant) {
    return grant.origin == parsed.text && Covers(grant.folder, resolvedPath);
  });
}

}  // namespace consent
