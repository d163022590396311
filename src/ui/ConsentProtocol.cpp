#include "ui/ConsentProtocol.h"

#include <cstdio>

#include "ui/DialogProtocol.h"
#include "ui/LineFields.h"

namespace ui {
namespace {

bool IsMethodName(std::string_view text) {
  for (char c : text) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!letter && !(c >= '0' && c <= '9') && c != '_') return false;
  }
  return true;
}

std::string_view AsksText(const ConsentRequest& request) {
  if (request.asksKeys && request.asksFiles) return "keys files";
  if (request.asksKeys) return "keys";
  if (request.asksFiles) return "files";
  return "";
}

// One "key value" line of the request, its value unescaped and checked.
// `seen` holds a bit per key so that none comes twice.
bool DecodeLine(std::string_view line, ConsentRequest* request, unsigned* seen) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  const std::string_view key = line.substr(0, space);
  std::string value;
  if (!UnescapeField(line.substr(space + 1), &value)) return false;

  static constexpr std::string_view kKeys[] = {"language", "origin", "secure",
                                               "asks",     "method", "within"};
  unsigned bit = 0;
  for (unsigned i = 0; i < std::size(kKeys); ++i)
    if (key == kKeys[i]) bit = 1u << i;
  if (bit == 0 || (*seen & bit) != 0) return false;
  *seen |= bit;

  if (key == "language") {
    if (!ParseLanguage(value, &request->language)) return false;
  } else if (key == "origin" || key == "within") {
    if (value.empty() || value.size() > kMaxConsentOriginBytes || !IsPrintableAscii(value))
      return false;
    (key == "origin" ? request->origin : request->within) = std::move(value);
  } else if (key == "secure") {
    if (value != "0" && value != "1") return false;
    request->secure = value == "1";
  } else if (key == "asks") {
    request->asksKeys = value == "keys" || value == "keys files";
    request->asksFiles = value == "files" || value == "keys files";
    if (!request->asksKeys && !request->asksFiles) return false;
  } else {
    if (value.empty() || value.size() > kMaxConsentMethodBytes || !IsMethodName(value))
      return false;
    request->method = std::move(value);
  }
  return true;
}

bool DecodeRequestLines(std::string_view text, ConsentRequest* request) {
  if (text.size() > kMaxConsentRequestBytes) return false;
  bool first = true;
  bool ended = false;
  unsigned seen = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos || ended) return false;
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    if (first) {
      if (line != kConsentMagic) return false;
      first = false;
    } else if (line == "end") {
      ended = true;
    } else if (!DecodeLine(line, request, &seen)) {
      return false;
    }
  }
  // Every key but "within" is required.
  return ended && (seen & 0x1Fu) == 0x1Fu;
}

bool IsPlainAbsolutePath(std::string_view path) {
  if (path.empty() || path.size() > kMaxConsentFolderBytes || path.front() != '/' ||
      path.find('\0') != std::string_view::npos)
    return false;
  if (path == "/") return true;
  std::size_t start = 1;
  for (;;) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

}  // namespace

std::string EncodeConsentRequest(const ConsentRequest& request) {
  std::string out(kConsentMagic);
  out.push_back('\n');
  AppendField(&out, "language", std::to_string(request.language));
  AppendField(&out, "origin", request.origin);
  if (!request.within.empty()) AppendField(&out, "within", request.within);
  AppendField(&out, "secure", request.secure ? "1" : "0");
  AppendField(&out, "asks", AsksText(request));
  AppendField(&out, "method", request.method);
  out += "end\n";
  return out;
}

bool DecodeConsentRequest(std::string_view text, ConsentRequest* request) {
  *request = ConsentRequest{};
  if (!DecodeRequestLines(text, request)) {
    *request = ConsentRequest{};
    return false;
  }
  return true;
}

std::string EncodeConsentResponse(const ConsentResponse& response) {
  const std::string folder =
      response.folder.empty() ? std::string() : "folder " + EscapeField(response.folder) + "\n";
  switch (response.answer) {
    case ConsentAnswer::kAllowOnce:
      return "allow-once\n" + folder;
    case ConsentAnswer::kAllowAlways:
      return "allow-always\n" + folder;
    case ConsentAnswer::kDeny:
      return "deny\n";
    case ConsentAnswer::kFailed: {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(response.failure));
      return std::string("failed ") + code + " " + EscapeField(response.message) + "\n";
    }
  }
  return "deny\n";
}

bool DecodeConsentResponse(std::string_view text, ConsentResponse* response) {
  *response = ConsentResponse{};
  if (text.size() > kMaxConsentAnswerBytes || text.empty() || text.back() != '\n') return false;
  // An allow and the folder granted with it.
  const std::size_t firstEnd = text.find('\n');
  if (firstEnd + 1 < text.size()) {
    std::string_view first = text.substr(0, firstEnd);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    std::string_view second = text.substr(firstEnd + 1);
    second.remove_suffix(1);
    if (!second.empty() && second.back() == '\r') second.remove_suffix(1);
    constexpr std::string_view kFolder = "folder ";
    std::string folder;
    if ((first != "allow-once" && first != "allow-always") ||
        second.find_first_of("\r\n") != std::string_view::npos ||
        second.substr(0, kFolder.size()) != kFolder ||
        !UnescapeField(second.substr(kFolder.size()), &folder) || !IsPlainAbsolutePath(folder))
      return false;
    response->answer =
        first == "allow-once" ? ConsentAnswer::kAllowOnce : ConsentAnswer::kAllowAlways;
    response->folder = std::move(folder);
    return true;
  }
  text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.find_first_of("\r\n") != std::string_view::npos) return false;

  if (text == "allow-once") {
    response->answer = ConsentAnswer::kAllowOnce;
    return true;
  }
  if (text == "allow-always") {
    response->answer = ConsentAnswer::kAllowAlways;
    return true;
  }
  if (text == "deny") return true;

  // failed <sep> XXXXXXXX [<sep> text]
  HRESULT failure = S_OK;
  std::string message;
  if (!ParseFailedAnswer(text, &failure, &message)) return false;
  response->answer = ConsentAnswer::kFailed;
  response->failure = failure;
  response->message = std::move(message);
  return true;
}

}  // namespace ui
