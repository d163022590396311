// What the plug-in and the selection-dialog helper program say to each
// other over the helper's standard input and output. The plug-in runs in
// the browser's process, whose toolkit is not ours, so the dialog runs in a
// process of its own and only these texts cross.
//
// Request (UTF-8 lines, fields separated by tabs; tab, newline, carriage
// return and backslash inside a field are written \t \n \r \\):
//   npsigil-select-dialog 1
//   language <LANGID in decimal>
//   title <text>                 (line absent: the template's title)
//   header <text>
//   ok <text>                    (absent: the template's caption)
//   cancel <text>                (absent: the template's caption)
//   origin <text>                (absent: no page named; the page that asks)
//   row <0|1 hardware> <display name> <issuer line> <serial line> <validity line> <DER in hex>
//   ...                          (one row line per certificate, in display order)
//   end
// Response (one line): "selected <row index>", "cancelled" or
// "failed <result code, 8 hex digits> <text>".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/WinTypes.h"

namespace ui {

struct DialogRow {
  bool hardware = false;
  std::u16string displayName;
  std::u16string issuerLine;
  std::u16string serialLine;
  std::u16string validityLine;
  std::vector<BYTE> certificate;  // DER, for the details view
};

struct DialogRequest {
  LANGID language = 0;
  std::optional<std::u16string> title;
  std::u16string header;
  std::optional<std::u16string> okText;
  std::optional<std::u16string> cancelText;
  std::optional<std::u16string> origin;  // the requesting page's origin
  std::vector<DialogRow> rows;
};

enum class DialogOutcome { kSelected, kCancelled, kFailed };

struct DialogResponse {
  DialogOutcome outcome = DialogOutcome::kCancelled;
  std::size_t index = 0;   // kSelected
  HRESULT failure = S_OK;  // kFailed
  std::string message;     // kFailed
};

// The escaping inside a field, shared with the consent request: backslash,
// newline, carriage return and tab become \\ \n \r \t. Unescaping fails
// for any other backslash sequence and for a lone backslash at the end.
std::string EscapeField(std::string_view field);
bool UnescapeField(std::string_view field, std::string* out);

std::string EncodeRequest(const DialogRequest& request);
// False for text that is not a complete request of this version.
bool DecodeRequest(std::string_view text, DialogRequest* request);

std::string EncodeResponse(const DialogResponse& response);
// False for anything but one well-formed response line.
bool DecodeResponse(std::string_view text, DialogResponse* response);

}  // namespace ui
