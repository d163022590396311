// The window in which the user picks one file for a web page: GTK's own
// file chooser, titled with the page's origin so that the user knows who
// gets the file, and in save mode unable to replace an existing file (a
// page's output never lands on something the user already has).
#pragma once

#include "platform/base/WinTypes.h"
#include "ui/FileChooserProtocol.h"

namespace select_dialog {

struct FileChooserTexts {
  const char* openTitle;  // before the origin
  const char* saveTitle;  // before the origin
  const char* open;       // button
  const char* save;       // button
  const char* cancel;     // button
  const char* exists;     // a save name that is taken
};

const FileChooserTexts& FileChooserTextsFor(LANGID language);

// Needs gtk_init. Returns when the user has chosen or cancelled.
ui::FileChoiceAnswer RunFileChooser(const ui::FileChoice& request);

}  // namespace select_dialog
