// What a double click on a row opens: the desktop's certificate viewer when
// there is one, otherwise a details window of this program.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/base/WinTypes.h"
#include "ui/select-dialog/Gtk.h"

namespace select_dialog {

// Label and value lines of the details window; empty when the bytes are
// not a certificate.
std::vector<std::pair<std::string, std::string>> DescribeCertificate(const std::vector<BYTE>& der);

// gcr-viewer over a temporary copy of the certificate when it is on PATH,
// else a modal details window over `owner`.
void ShowCertificateDetails(GtkWindow* owner, const std::vector<BYTE>& der);

// Removes the temporary copies whose viewer is still open; the program
// calls it on its way out.
void RemoveViewerFiles();

}  // namespace select_dialog
