// The pieces the helper's line protocols (consent prompt, file chooser)
// share: "key value" lines with escaped values, the language field, and
// the "failed <code> <text>" answer.
#pragma once

#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

namespace ui {

// Printable ASCII without blanks: origins as the requests carry them.
bool IsPrintableAscii(std::string_view text);

// "key value\n", the value escaped as EscapeField does.
void AppendField(std::string* out, std::string_view key, std::string_view value);

// A LANGID in decimal, at most 5 digits, nothing else.
bool ParseLanguage(std::string_view value, LANGID* language);

// "failed", a blank or tab, 8 hex digits, and optionally a blank or tab and
// an escaped text. False for anything else.
bool ParseFailedAnswer(std::string_view line, HRESULT* code, std::string* message);

}  // namespace ui
