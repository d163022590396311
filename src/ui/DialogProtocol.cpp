#include "ui/DialogProtocol.h"

#include <charconv>
#include <cstdio>

#include "platform/base/WideString.h"

namespace ui {
namespace {

constexpr std::string_view kMagic = "npsigil-select-dialog 1";

void AppendField(std::string* out, std::string_view field) {
  out->push_back('\t');
  *out += EscapeField(field);
}

void AppendField(std::string* out, std::u16string_view field) { AppendField(out, ToUtf8(field)); }

// The tab-separated fields of one line, unescaped.
bool SplitLine(std::string_view line, std::vector<std::string>* fields) {
  fields->clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    std::string field;
    if (!UnescapeField(line.substr(start, tab == std::string_view::npos ? line.npos : tab - start),
                       &field))
      return false;
    fields->push_back(std::move(field));
    if (tab == std::string_view::npos) return true;
    start = tab + 1;
  }
}

template <class T>
bool ParseNumber(std::string_view text, T* value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return error == std::errc() && end == text.data() + text.size();
}

std::string Hex(const std::vector<BYTE>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (BYTE b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

bool FromHex(std::string_view text, std::vector<BYTE>* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  out->reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    BYTE b = 0;
    if (!ParseNumber(text.substr(i, 2), &b, 16)) return false;
    out->push_back(b);
  }
  return true;
}

}  // namespace

std::string EscapeField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

bool UnescapeField(std::string_view field, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out->push_back(field[i]);
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case 't':
        out->push_back('\t');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case '\\':
        out->push_back('\\');
        break;
      default:
        return false;
    }
  }
  return true;
}

std::string EncodeRequest(const DialogRequest& request) {
  std::string out(kMagic);
  out += "\nlanguage";
  AppendField(&out, std::to_string(request.language));
  if (request.title) {
    out += "\ntitle";
    AppendField(&out, *request.title);
  }
  out += "\nheader";
  AppendField(&out, request.header);
  if (request.okText) {
    out += "\nok";
    AppendField(&out, *request.okText);
  }
  if (request.cancelText) {
    out += "\ncancel";
    AppendField(&out, *request.cancelText);
  }
  if (request.origin) {
    out += "\norigin";
    AppendField(&out, *request.origin);
  }
  for (const DialogRow& row : request.rows) {
    out += "\nrow";
    AppendField(&out, std::string_view(row.hardware ? "1" : "0"));
    AppendField(&out, row.displayName);
    AppendField(&out, row.issuerLine);
    AppendField(&out, row.serialLine);
    AppendField(&out, row.validityLine);
    AppendField(&out, Hex(row.certificate));
  }
  out += "\nend\n";
  return out;
}

bool DecodeRequest(std::string_view text, DialogRequest* request) {
  *request = DialogRequest{};
  bool first = true;
  bool ended = false;
  bool sawLanguage = false;
  bool sawHeader = false;
  std::vector<std::string> fields;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return false;  // every line ends with one
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline + 1);
    if (ended) return false;
    if (first) {
      if (line != kMagic) return false;
      first = false;
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    if (!SplitLine(line, &fields)) return false;
    const std::string& key = fields[0];
    if (key == "language" && fields.size() == 2) {
      if (!ParseNumber(fields[1], &request->language)) return false;
      sawLanguage = true;
    } else if (key == "title" && fields.size() == 2) {
      request->title = FromUtf8(fields[1]);
    } else if (key == "header" && fields.size() == 2) {
      request->header = FromUtf8(fields[1]);
      sawHeader = true;
    } else if (key == "ok" && fields.size() == 2) {
      request->okText = FromUtf8(fields[1]);
    } else if (key == "cancel" && fields.size() == 2) {
      request->cancelText = FromUtf8(fields[1]);
    } else if (key == "origin" && fields.size() == 2 && !request->origin) {
      request->origin = FromUtf8(fields[1]);
    } else if (key == "row" && fields.size() == 7) {
      DialogRow row;
      if (fields[1] != "0" && fields[1] != "1") return false;
      row.hardware = fields[1] == "1";
      row.displayName = FromUtf8(fields[2]);
      row.issuerLine = FromUtf8(fields[3]);
      row.serialLine = FromUtf8(fields[4]);
      row.validityLine = FromUtf8(fields[5]);
      if (!FromHex(fields[6], &row.certificate)) return false;
      request->rows.push_back(std::move(row));
    } else {
      return false;
    }
  }
  return ended && sawLanguage && sawHeader;
}

std::string EncodeResponse(const DialogResponse& response) {
  switch (response.outcome) {
    case DialogOutcome::kSelected:
      return "selected\t" + std::to_string(response.index) + "\n";
    case DialogOutcome::kCancelled:
      return "cancelled\n";
    case DialogOutcome::kFailed: {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(response.failure));
      std::string out = std::string("failed\t") + code;
      AppendField(&out, std::string_view(response.message));
      return out + "\n";
    }
  }
  return "cancelled\n";
}

bool DecodeResponse(std::string_view text, DialogResponse* response) {
  *response = DialogResponse{};
  if (text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  if (text.find('\n') != std::string_view::npos) return false;
  std::vector<std::string> fields;
  if (!SplitLine(text, &fields)) return false;
  if (fields[0] == "cancelled" && fields.size() == 1) {
    response->outcome = DialogOutcome::kCancelled;
    return true;
  }
  if (fields[0] == "selected" && fields.size() == 2) {
    response->outcome = DialogOutcome::kSelected;
    return ParseNumber(fields[1], &response->index);
  }
  if (fields[0] == "failed" && fields.size() == 3 && fields[1].size() == 8) {
    std::uint32_t code = 0;
    if (!ParseNumber(fields[1], &code, 16)) return false;
    response->outcome = DialogOutcome::kFailed;
    response->failure = static_cast<HRESULT>(code);
    response->message = fields[2];
    return true;
  }
  return false;
}

}  // namespace ui
