// The helper program's own texts for the consent prompt and the selection
// dialog's origin line, in English, Simplified and Traditional Chinese.
// They live here rather than in the module's string table because only
// this program shows them.
#pragma once

#include "platform/base/WinTypes.h"

namespace select_dialog {

enum class TextLanguage { kEnglish, kSimplifiedChinese, kTraditionalChinese };

// 0x0804: Simplified; 0x0404, 0x0C04, 0x1404 (Taiwan, Hong Kong, Macao):
// Traditional; anything else English.
TextLanguage LanguageOf(LANGID language);

// UTF-8, for GTK.
struct ConsentTexts {
  const char* title;        // the window's title
  const char* asks;         // lead-in to the list of what the page asks for
  const char* useKeys;      // "use your certificates and keys"
  const char* useFiles;     // "read and write files"
  const char* notSecure;    // the warning for a page not delivered securely
  const char* method;       // before the script method's name
  const char* allowOnce;    // button
  const char* allowAlways;  // button, offered to secure pages only
  const char* deny;         // button, the default
  const char* requestedBy;  // before the origin in the selection dialog's header
  const char* grantFolder;  // button, offered to secure pages that ask for files
  const char* folderLead;   // before the folder chosen with it
  const char* folderTitle;  // the folder chooser's title, before the origin
  const char* choose;       // the folder chooser's accept button
  const char* cancel;       // the folder chooser's cancel button
  const char* within;       // before the top page's origin, for a frame of another origin
};

const ConsentTexts& ConsentTextsFor(LANGID language);

}  // namespace select_dialog
