// The modal certificate selection window: header, rule, the certificate
// list and OK / Cancel, laid out as the Windows dialog template in pixels.
#pragma once

#include <functional>
#include <string>

#include "ui/DialogProtocol.h"
#include "ui/OriginDisplay.h"
#include "ui/select-dialog/CertificateList.h"
#include "ui/select-dialog/Gtk.h"

namespace select_dialog {

// The template's dialog units at the base units of "MS Shell Dlg" 8 pt
// (6 x 13 pixels): x * 6 / 4 and y * 13 / 8, rounded as MulDiv rounds.
constexpr int DialogUnitsToPixelsX(int x) { return (x * 6 + (x >= 0 ? 2 : -2)) / 4; }
constexpr int DialogUnitsToPixelsY(int y) { return (y * 13 + (y >= 0 ? 4 : -4)) / 8; }

// How many rows the list shows at once on a screen `screenHeight` pixels
// high; at least one while there are rows at all.
int VisibleRowCount(int rows, int screenHeight);

// The header's line naming the requesting page, fitted to `width` pixels:
// both forms of its origin at the usual size or a smaller one, then both
// with the scheme written once; otherwise the origin as the page has it
// alone (which is what the page really is, where a cut Unicode form could
// hide it), at the smallest size if it must be cut.
struct OriginLine {
  std::u16string text;
  int charHeight = 0;
};
inline constexpr int kOriginLineHeights[] = {14, 12, 11};
using MeasureText = std::function<int(std::u16string_view text, int charHeight)>;
OriginLine FitOriginLine(std::u16string_view prefix, const ui::OriginForms& forms, int width,
                         const MeasureText& measure);

class CSelectCertificateDlg {
 public:
  explicit CSelectCertificateDlg(ui::DialogRequest request);
  ~CSelectCertificateDlg();
  CSelectCertificateDlg(const CSelectCertificateDlg&) = delete;
  CSelectCertificateDlg& operator=(const CSelectCertificateDlg&) = delete;

  // Shows the dialog and returns when it ends; the response says how.
  ui::DialogResponse DoModal();

 private:
  bool OnInitDialog();
  void AdjustWindowSize();
  void OnPaint(cairo_t* cr);
  void OnOK();
  void OnCancel();
  void EndDialog(ui::DialogResponse response);
  void ScheduleSnapshot();
  void WriteSnapshot();

  ui::DialogRequest m_request;
  bool m_chinese = false;
  std::u16string m_header;
  OriginLine m_originLine;  // "Requested by <origin>", empty without an origin
  int m_originBand = 0;     // pixels the origin line adds below the header
  CCertificateList m_list;
  GtkWidget* m_window = nullptr;
  GtkWidget* m_client = nullptr;
  GtkWidget* m_ok = nullptr;
  GtkWidget* m_cancel = nullptr;
  int m_clientWidth = 0;
  int m_clientHeight = 0;
  int m_listHeight = 0;
  int m_buttonY = 0;
  ui::DialogResponse m_response;
  GMainLoop* m_loop = nullptr;
  bool m_ended = false;
  std::string m_snapshotPath;
  bool m_snapshotScheduled = false;
};

}  // namespace select_dialog
