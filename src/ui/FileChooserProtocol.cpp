#include "ui/FileChooserProtocol.h"

#include <cstdio>

#include "ui/DialogProtocol.h"
#include "ui/LineFields.h"

namespace ui {
namespace {

bool DecodeLine(std::string_view line, FileChoice* request, unsigned* seen) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  const std::string_view key = line.substr(0, space);
  std::string value;
  if (!UnescapeField(line.substr(space + 1), &value)) return false;

  static constexpr std::string_view kKeys[] = {"language", "origin", "mode"};
  unsigned bit = 0;
  for (unsigned i = 0; i < std::size(kKeys); ++i)
    if (key == kKeys[i]) bit = 1u << i;
  if (bit == 0 || (*seen & bit) != 0) return false;
  *seen |= bit;

  if (key == "language") {
    if (!ParseLanguage(value, &request->language)) return false;
  } else if (key == "origin") {
    if (value.empty() || value.size() > kMaxFileChoiceOriginBytes || !IsPrintableAscii(value))
      return false;
    request->origin = std::move(value);
  } else {
    if (value != "open" && value != "save") return false;
    request->save = value == "save";
  }
  return true;
}

bool DecodeRequestLines(std::string_view text, FileChoice* request) {
  if (text.size() > kMaxFileChoiceRequestBytes) return false;
  bool first = true;
  bool ended = false;
  unsigned seen = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos || ended) return false;
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    if (first) {
      if (line != kFileChoiceMagic) return false;
      first = false;
    } else if (line == "end") {
      ended = true;
    } else if (!DecodeLine(line, request, &seen)) {
      return false;
    }
  }
  return ended && seen == 0x7u;
}

bool IsPlainAbsolutePath(std::string_view path) {
  if (path.empty() || path.size() > kMaxFileChoicePathBytes || path.front() != '/' ||
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

std::string EncodeFileChoiceRequest(const FileChoice& request) {
  std::string out(kFileChoiceMagic);
  out.push_back('\n');
  AppendField(&out, "language", std::to_string(request.language));
  AppendField(&out, "origin", request.origin);
  AppendField(&out, "mode", request.save ? "save" : "open");
  out += "end\n";
  return out;
}

bool DecodeFileChoiceRequest(std::string_view text, FileChoice* request) {
  *request = FileChoice{};
  if (!DecodeRequestLines(text, request)) {
    *request = FileChoice{};
    return false;
  }
  return true;
}

std::string EncodeFileChoiceAnswer(const FileChoiceAnswer& answer) {
  switch (answer.outcome) {
    case FileChoiceOutcome::kChosen:
      return "chosen " + EscapeField(answer.path) + "\n";
    case FileChoiceOutcome::kCancelled:
      return "cancel\n";
    case FileChoiceOutcome::kFailed: {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(answer.failure));
      return std::string("failed ") + code + " " + EscapeField(answer.message) + "\n";
    }
  }
  return "cancel\n";
}

bool DecodeFileChoiceAnswer(std::string_view text, FileChoiceAnswer* answer) {
  *answer = FileChoiceAnswer{};
  if (text.size() > kMaxFileChoiceAnswerBytes || text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.find_first_of("\r\n") != std::string_view::npos) return false;

  if (text == "cancel") return true;

  constexpr std::string_view kChosen = "chosen ";
  if (text.substr(0, kChosen.size()) == kChosen) {
    std::string path;
    if (!UnescapeField(text.substr(kChosen.size()), &path) || !IsPlainAbsolutePath(path))
      return false;
    answer->outcome = FileChoiceOutcome::kChosen;
    answer->path = std::move(path);
    return true;
  }

  // failed <sep> XXXXXXXX [<sep> text]
  HRESULT failure = S_OK;
  std::string message;
  if (!ParseFailedAnswer(text, &failure, &message)) return false;
  answer->outcome = FileChoiceOutcome::kFailed;
  answer->failure = failure;
  answer->message = std::move(message);
  return true;
}

}  // namespace ui
