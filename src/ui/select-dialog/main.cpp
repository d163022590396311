// npsigil-select-dialog: reads one selection request on standard input,
// shows the certificate selection dialog and answers with one line on
// standard output. Exit code 0 whenever an answer was written.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "ui/DialogProtocol.h"
#include "ui/select-dialog/CertificateDetails.h"
#include "ui/select-dialog/Gtk.h"
#include "ui/select-dialog/SelectCertificateDlg.h"

namespace {

void Answer(const ui::DialogResponse& response) {
  const std::string line = ui::EncodeResponse(response);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main() {
  std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  ui::DialogRequest request;
  if (!ui::DecodeRequest(text, &request)) {
    std::fputs("npsigil-select-dialog: the request cannot be read\n", stderr);
    return 2;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    ui::DialogResponse response;
    response.outcome = ui::DialogOutcome::kFailed;
    response.failure = E_FAIL;
    response.message = "no display";
    Answer(response);
    return 0;
  }
  {
    select_dialog::CSelectCertificateDlg dialog(std::move(request));
    Answer(dialog.DoModal());
  }
  select_dialog::RemoveViewerFiles();
  return 0;
}
