// The certificate list of the selection dialog: rows of 80 pixels, each a
// card with the certificate's picture and four lines of text, a hover and a
// selection highlight, the row's full name as tooltip, and the details of
// the certificate on a double click.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ui/DialogProtocol.h"
#include "ui/select-dialog/Gtk.h"
#include "ui/select-dialog/PngImages.h"

namespace select_dialog {

inline constexpr int kRowHeight = 80;

struct RowPictures {
  cairo_surface_t* systemCertificate;  // 105, rows without the hardware flag
  cairo_surface_t* keyCertificate;     // 106, rows with it
  cairo_surface_t* frame;              // 107, over every row's picture
};

// Paints one row, `width` x kRowHeight pixels, at the origin of `cr`.
void PaintCertificateRow(cairo_t* cr, const ui::DialogRow& row, const RowPictures& pictures,
                         bool selected, bool hot, int width, bool modernFonts);

class CCertificateList {
 public:
  CCertificateList();
  ~CCertificateList();
  CCertificateList(const CCertificateList&) = delete;
  CCertificateList& operator=(const CCertificateList&) = delete;

  // Loads the three pictures and takes the rows. On failure `failedStep`
  // names the picture that could not be loaded.
  HRESULT Initialize(HMODULE module, bool modernFonts, std::vector<ui::DialogRow> rows,
                     std::string* failedStep);

  // The scrolled frame that goes into the dialog, and the row area in it.
  GtkWidget* Widget() const { return m_frame; }
  GtkWidget* RowArea() const { return m_area; }
  // Thickness of the frame around the rows, one side.
  int FrameHeight() const;

  int RowCount() const { return static_cast<int>(m_rows.size()); }
  int GetCurSel() const { return m_selected; }
  void SetCurSel(int index);
  void ScrollToTop();

  // Enter pressed in the list: the dialog's default button.
  std::function<void()> onDefaultAction;
  // The window details open over.
  GtkWindow* owner = nullptr;

  static int OnMeasureItem() { return kRowHeight; }

 private:
  static gboolean OnDrawThunk(GtkWidget*, cairo_t* cr, gpointer self);
  static gboolean OnMotionThunk(GtkWidget*, GdkEventMotion* event, gpointer self);
  static gboolean OnLeaveThunk(GtkWidget*, GdkEventCrossing* event, gpointer self);
  static gboolean OnButtonThunk(GtkWidget*, GdkEventButton* event, gpointer self);
  static gboolean OnKeyThunk(GtkWidget*, GdkEventKey* event, gpointer self);

  void OnDrawItem(cairo_t* cr, int index, bool selected, bool hot, int width);
  void OnMouseMove(double x, double y);
  void OnMouseLeave();
  void OnLButtonDown(double x, double y);
  void OnLButtonDblClk(double x, double y);
  bool OnKeyDown(guint keyval);

  int RowFromPoint(double x, double y) const;
  int VisibleRows() const;
  void EnsureVisible(int index);
  void UpdateTooltip(int index);

  GtkWidget* m_frame = nullptr;
  GtkWidget* m_area = nullptr;
  bool m_modernFonts = true;
  SurfacePtr m_systemCertificate;  // 105
  SurfacePtr m_keyCertificate;     // 106
  SurfacePtr m_frameImage;         // 107
  std::vector<ui::DialogRow> m_rows;
  int m_selected = -1;
  int m_hot = -1;  // row under the mouse
  bool m_tracking = false;
  std::string m_tooltip;
};

}  // namespace select_dialog
