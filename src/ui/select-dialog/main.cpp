// npsigil-select-dialog: reads one request on standard input, shows the
// window it asks for and answers with one line on standard output. The
// first line says which: "npsigil-select-dialog 1" the certificate
// selection dialog, "npsigil-consent 1" the consent prompt, "npsigil-choose
// 1" the file chooser for a web page. Exit code 0
// whenever an answer was written.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "ui/ConsentProtocol.h"
#include "ui/DialogProtocol.h"
#include "ui/FileChooserProtocol.h"
#include "ui/select-dialog/CertificateDetails.h"
#include "ui/select-dialog/ConsentDialog.h"
#include "ui/select-dialog/FileChooserDialog.h"
#include "ui/select-dialog/Gtk.h"
#include "ui/select-dialog/SelectCertificateDlg.h"

namespace {

constexpr std::string_view kSelectMagic = "npsigil-select-dialog 1";
// Longer than either first line, so neither is mistaken for a prefix.
constexpr std::size_t kMaxFirstLine = 64;

void Write(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// The first line without its newline; false when there is none in reach.
bool ReadFirstLine(std::string* line) {
  line->clear();
  for (int c; (c = std::fgetc(stdin)) != EOF;) {
    if (c == '\n') return true;
    if (line->size() == kMaxFirstLine) return false;
    line->push_back(static_cast<char>(c));
  }
  return false;
}

// The rest of stdin; false past `limit` bytes.
bool ReadRest(std::string* text, std::size_t limit) {
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
    if (n > limit - std::min(limit, text->size())) return false;
    text->append(buffer, n);
  }
  return true;
}

int RunSelection(std::string text) {
  std::string rest;
  ReadRest(&rest, static_cast<std::size_t>(-1));
  text += rest;
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
    Write(ui::EncodeResponse(response));
    return 0;
  }
  {
    select_dialog::CSelectCertificateDlg dialog(std::move(request));
    Write(ui::EncodeResponse(dialog.DoModal()));
  }
  select_dialog::RemoveViewerFiles();
  return 0;
}

int RunConsent(std::string text) {
  ui::ConsentRequest request;
  ui::ConsentResponse failure;
  failure.answer = ui::ConsentAnswer::kFailed;
  if (!ReadRest(&text, ui::kMaxConsentRequestBytes) || !ui::DecodeConsentRequest(text, &request)) {
    failure.failure = E_INVALIDARG;
    failure.message = "the request cannot be read";
    Write(ui::EncodeConsentResponse(failure));
    return 0;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    failure.failure = E_FAIL;
    failure.message = "no display";
    Write(ui::EncodeConsentResponse(failure));
    return 0;
  }
  select_dialog::CConsentDlg dialog(request);
  Write(ui::EncodeConsentResponse(dialog.DoModal()));
  return 0;
}

int RunChooser(std::string text) {
  ui::FileChoice request;
  ui::FileChoiceAnswer failure;
  failure.outcome = ui::FileChoiceOutcome::kFailed;
  if (!ReadRest(&text, ui::kMaxFileChoiceRequestBytes) ||
      !ui::DecodeFileChoiceRequest(text, &request)) {
    failure.failure = E_INVALIDARG;
    failure.message = "the request cannot be read";
    Write(ui::EncodeFileChoiceAnswer(failure));
    return 0;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    failure.failure = E_FAIL;
    failure.message = "no display";
    Write(ui::EncodeFileChoiceAnswer(failure));
    return 0;
  }
  Write(ui::EncodeFileChoiceAnswer(select_dialog::RunFileChooser(request)));
  return 0;
}

}  // namespace

int main() {
  std::string first;
  const bool haveLine = ReadFirstLine(&first);
  if (haveLine && first == kSelectMagic) return RunSelection(first + "\n");
  if (haveLine && first == ui::kConsentMagic) return RunConsent(first + "\n");
  if (haveLine && first == ui::kFileChoiceMagic) return RunChooser(first + "\n");
  // Neither request: there is no telling which answer the sender expects.
  std::fputs("npsigil-select-dialog: the request cannot be read\n", stderr);
  return 2;
}
