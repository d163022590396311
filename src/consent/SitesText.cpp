// The text forms of the user's sites file and of the machine's policy.
#include <algorithm>
#include <span>

#include "consent/SitesInternal.h"

namespace consent::detail {

namespace {

constexpr char kOnlyListed[] = "only-listed";

constexpr char kUserHeader[] =
    "# Sites allowed to use your certificates, keys and files without asking\n"
    "# (npsigil-cert sites). One site a line: ORIGIN keys files\n";

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::string_view WithoutCarriageReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsCommentOrBlank(const std::vector<std::string_view>& words) {
  return words.empty() || words.front().starts_with('#');
}

// The capability words after an origin; false for an unknown word.
bool ReadCapabilities(std::span<const std::string_view> words, unsigned* pCapabilities) {
  unsigned capabilities = 0;
  for (std::string_view word : words) {
    if (word == "keys")
      capabilities |= kKeys;
    else if (word == "files")
      capabilities |= kFiles;
    else
      return false;
  }
  *pCapabilities = capabilities;
  return true;
}

template <typename Entries>
void Merge(Entries* pEntries, const std::string& origin, unsigned capabilities, bool bMachine) {
  for (SiteEntry& entry : *pEntries)
    if (entry.origin == origin) {
      entry.capabilities |= capabilities;
      return;
    }
  pEntries->push_back({origin, capabilities, bMachine});
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

UserLine PlainLine(std::string_view raw) {
  UserLine line;
  line.raw = raw;
  return line;
}

UserLine ApprovalLine(const std::string& origin, unsigned capabilities) {
  return {origin + " " + CapabilityWords(capabilities), true, origin, capabilities};
}

}  // namespace

std::string CapabilityWords(unsigned capabilities) {
  std::string words;
  if (capabilities & kKeys) words = "keys";
  if (capabilities & kFiles) words += words.empty() ? "files" : " files";
  return words;
}

std::vector<UserLine> ParseUserSites(std::string_view text) {
  std::vector<UserLine> lines;
  for (std::string_view raw : SplitLines(text)) {
    UserLine line = PlainLine(raw);
    const std::vector<std::string_view> words = Words(WithoutCarriageReturn(raw));
    Origin origin;
    unsigned capabilities = 0;
    if (words.size() >= 2 && ParseOrigin(words[0], &origin) &&
        ReadCapabilities(std::span(words).subspan(1), &capabilities)) {
      line.approval = true;
      line.origin = origin.text;
      line.capabilities = capabilities;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string UserSitesText(const std::vector<UserLine>& lines) {
  std::string text;
  for (const UserLine& line : lines) {
    text += line.raw;
    text += '\n';
  }
  return text;
}

bool AddApproval(std::vector<UserLine>* pLines, const std::string& origin, unsigned capabilities) {
  auto first = pLines->end();
  unsigned held = 0;
  for (auto it = pLines->begin(); it != pLines->end(); ++it)
    if (it->approval && it->origin == origin) {
      if (first == pLines->end()) first = it;
      held |= it->capabilities;
    }
  if ((held | capabilities) == held && first != pLines->end()) return false;
  if (first == pLines->end()) {
    if (pLines->empty())
      for (std::string_view header : SplitLines(kUserHeader)) pLines->push_back(PlainLine(header));
    pLines->push_back(ApprovalLine(origin, capabilities));
    return true;
  }
  // One line for the origin from now on, where its first line was.
  const std::size_t at = static_cast<std::size_t>(first - pLines->begin());
  RemoveApproval(pLines, origin);
  pLines->insert(pLines->begin() + static_cast<std::ptrdiff_t>(at),
                 ApprovalLine(origin, held | capabilities));
  return true;
}

bool RemoveApproval(std::vector<UserLine>* pLines, const std::string& origin) {
  const auto removed = std::remove_if(pLines->begin(), pLines->end(), [&](const UserLine& line) {
    return line.approval && line.origin == origin;
  });
  const bool bAny = removed != pLines->end();
  pLines->erase(removed, pLines->end());
  return bAny;
}

std::vector<SiteEntry> UserApprovals(const std::vector<UserLine>& lines) {
  std::vector<SiteEntry> entries;
  for (const UserLine& line : lines) {
    if (!line.approval) continue;
    Origin origin;
    if (!ParseOrigin(line.origin, &origin) || !IsSecureOrigin(origin)) continue;
    Merge(&entries, line.origin, line.capabilities, false);
  }
  return entries;
}

MachinePolicy ParseMachinePolicy(std::string_view text) {
  MachinePolicy policy;
  std::size_t lineNumber = 0;
  for (std::string_view raw : SplitLines(text)) {
    ++lineNumber;
    const std::vector<std::string_view> words = Words(WithoutCarriageReturn(raw));
    if (IsCommentOrBlank(words)) continue;
    if (words.size() == 1 && words[0] == kOnlyListed) {
      policy.onlyListed = true;
      continue;
    }
    Origin origin;
    unsigned capabilities = 0;
    if (ParseOrigin(words[0], &origin) &&
        ReadCapabilities(std::span(words).subspan(1), &capabilities)) {
      Merge(&policy.entries, origin.text, capabilities ? capabilities : kAllCapabilities, true);
      continue;
    }
    policy.onlyListed = true;
    if (policy.problem.empty())
      policy.problem =
          "line " + std::to_string(lineNumber) +
          " is neither an origin nor \"only-listed\", so only the sites it lists are allowed";
  }
  return policy;
}

}  // namespace consent::detail
