#include "ui/select-dialog/CertificateList.h"

#include <algorithm>
#include <cmath>

#include "platform/base/WideString.h"
#include "ui/select-dialog/CertificateDetails.h"
#include "ui/select-dialog/TextDrawing.h"

namespace select_dialog {
namespace {

constexpr UINT kSystemCertificateId = 105;
constexpr UINT kKeyCertificateId = 106;
constexpr UINT kCertificateFrameId = 107;
constexpr int kPictureSize = 48;
constexpr int kPictureOffset = 14;

struct RowColours {
  Colour top, bottom, border;
};
constexpr RowColours kSelectedColours = {
    {0xDD, 0xEC, 0xFD}, {0xC2, 0xDC, 0xFD}, {0x7D, 0xB6, 0xCE}};
constexpr RowColours kHotColours = {{0xFD, 0xFE, 0xFF}, {0xB9, 0xD7, 0xFC}, {0xF3, 0xF8, 0xFF}};

void SetSource(cairo_t* cr, Colour c) {
  cairo_set_source_rgb(cr, c.red / 255.0, c.green / 255.0, c.blue / 255.0);
}

void AddColourStop(cairo_pattern_t* pattern, double offset, Colour c) {
  cairo_pattern_add_color_stop_rgb(pattern, offset, c.red / 255.0, c.green / 255.0, c.blue / 255.0);
}

// A 1-pixel outline over the whole row with 6x6 corner ellipses.
void RoundedOutline(cairo_t* cr, int width, int height) {
  const double r = 3.0;
  const double left = 0.5, top = 0.5, right = width - 0.5, bottom = height - 0.5;
  cairo_new_sub_path(cr);
  cairo_arc(cr, right - r, top + r, r, -M_PI / 2, 0);
  cairo_arc(cr, right - r, bottom - r, r, 0, M_PI / 2);
  cairo_arc(cr, left + r, bottom - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, left + r, top + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

void PaintPicture(cairo_t* cr, cairo_surface_t* picture, double x, double y, double width,
                  double height) {
  if (!picture) return;
  const int w = cairo_image_surface_get_width(picture);
  const int h = cairo_image_surface_get_height(picture);
  if (w <= 0 || h <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, width / w, height / h);
  cairo_set_source_surface(cr, picture, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
}

}  // namespace

void PaintCertificateRow(cairo_t* cr, const ui::DialogRow& row, const RowPictures& pictures,
                         bool selected, bool hot, int width, bool modernFonts) {
  const int height = kRowHeight;
  cairo_save(cr);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_clip(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);

  if (selected || hot) {
    const RowColours& colours = selected ? kSelectedColours : kHotColours;
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 1, 0, height - 1);
    AddColourStop(gradient, 0, colours.top);
    AddColourStop(gradient, 1, colours.bottom);
    cairo_rectangle(cr, 1, 1, width - 2, height - 2);
    cairo_set_source(cr, gradient);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
    RoundedOutline(cr, width, height);
    cairo_set_line_width(cr, 1);
    SetSource(cr, colours.border);
    cairo_stroke(cr);
  }

  PaintPicture(cr, row.hardware ? pictures.keyCertificate : pictures.systemCertificate,
               kPictureOffset, kPictureOffset, kPictureSize, kPictureSize);
  if (pictures.frame) {
    const int w = cairo_image_surface_get_width(pictures.frame);
    const int h = cairo_image_surface_get_height(pictures.frame);
    PaintPicture(cr, pictures.frame, (kRowHeight - w) / 2, (kRowHeight - h) / 2, w, h);
  }

  const char* face = modernFonts ? "Microsoft YaHei" : "Arial";
  const int nameHeight = modernFonts ? 20 : 16;
  const int lineHeight = modernFonts ? 18 : 14;
  const int limit = width - 15;
  constexpr Colour kBlack = {0, 0, 0};
  DrawTextWithFont(face, cr, row.displayName, 80, 5, limit, 8, nameHeight, kBlack);
  DrawTextWithFont(face, cr, row.issuerLine, 80, 25, limit, 6, lineHeight, kBlack);
  DrawTextWithFont(face, cr, row.serialLine, 80, 40, limit, 6, lineHeight, kBlack);
  DrawTextWithFont(face, cr, row.validityLine, 80, 55, limit, 6, lineHeight, kBlack);
  cairo_restore(cr);
}

CCertificateList::CCertificateList() {
  m_frame = gtk_scrolled_window_new(nullptr, nullptr);
  g_object_ref_sink(m_frame);  // kept until this object goes, shown or not
  gtk_widget_set_name(m_frame, "certificate-list");
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(m_frame), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(m_frame), FALSE);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(m_frame), GTK_SHADOW_IN);

  m_area = gtk_drawing_area_new();
  g_object_ref(m_area);  // for the handlers' disconnection below
  gtk_widget_set_can_focus(m_area, TRUE);
  gtk_widget_add_events(m_area, GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                    GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);
  g_signal_connect(m_area, "draw", G_CALLBACK(&OnDrawThunk), this);
  g_signal_connect(m_area, "motion-notify-event", G_CALLBACK(&OnMotionThunk), this);
  g_signal_connect(m_area, "leave-notify-event", G_CALLBACK(&OnLeaveThunk), this);
  g_signal_connect(m_area, "button-press-event", G_CALLBACK(&OnButtonThunk), this);
  g_signal_connect(m_area, "key-press-event", G_CALLBACK(&OnKeyThunk), this);

  GtkWidget* viewport = gtk_viewport_new(nullptr, nullptr);
  gtk_viewport_set_shadow_type(GTK_VIEWPORT(viewport), GTK_SHADOW_NONE);
  gtk_container_add(GTK_CONTAINER(viewport), m_area);
  gtk_container_add(GTK_CONTAINER(m_frame), viewport);

  // Scrolling moves the drawn rows as they are; the highlight has to be
  // drawn again where the pointer now is.
  g_signal_connect_object(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_frame)),
                          "value-changed", G_CALLBACK(&gtk_widget_queue_draw), m_area,
                          G_CONNECT_SWAPPED);
}

CCertificateList::~CCertificateList() {
  // The handlers point here; the widgets may outlive this object in the
  // dialog's window for a moment.
  g_signal_handlers_disconnect_by_data(m_area, this);
  gtk_widget_destroy(m_frame);
  g_object_unref(m_area);
  g_object_unref(m_frame);
}

HRESULT CCertificateList::Initialize(HMODULE module, bool modernFonts,
                                     std::vector<ui::DialogRow> rows, std::string* failedStep) {
  struct Picture {
    UINT id;
    SurfacePtr* target;
    const char* step;
  };
  const Picture pictures[] = {
      {kSystemCertificateId, &m_systemCertificate, "LoadImageFromResource (System certificate)"},
      {kKeyCertificateId, &m_keyCertificate, "LoadImageFromResource (Key certificate)"},
      {kCertificateFrameId, &m_frameImage, "LoadImageFromResource (Certificate frame)"},
  };
  for (const Picture& picture : pictures) {
    const HRESULT hr = LoadImageFromResource(module, picture.id, picture.target);
    if (FAILED(hr)) {
      if (failedStep) *failedStep = picture.step;
      return hr;
    }
  }
  m_modernFonts = modernFonts;
  m_rows = std::move(rows);
  m_selected = -1;
  m_hot = -1;
  m_tooltip.clear();
  gtk_widget_set_tooltip_text(m_area, nullptr);
  gtk_widget_set_size_request(m_area, -1, kRowHeight * RowCount());
  gtk_widget_queue_draw(m_area);
  return S_OK;
}

int CCertificateList::FrameHeight() const {
  GtkStyleContext* style = gtk_widget_get_style_context(m_frame);
  GtkBorder border{};
  gtk_style_context_get_border(style, gtk_style_context_get_state(style), &border);
  return std::max<int>(border.top, border.bottom);
}

void CCertificateList::SetCurSel(int index) {
  if (m_rows.empty()) return;
  index = std::clamp(index, 0, RowCount() - 1);
  if (index != m_selected) {
    m_selected = index;
    gtk_widget_queue_draw(m_area);
  }
  EnsureVisible(index);
}

void CCertificateList::ScrollToTop() {
  GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_frame));
  gtk_adjustment_set_value(adjustment, gtk_adjustment_get_lower(adjustment));
}

int CCertificateList::VisibleRows() const {
  GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_frame));
  const int rows = static_cast<int>(gtk_adjustment_get_page_size(adjustment)) / kRowHeight;
  return std::max(rows, 1);
}

void CCertificateList::EnsureVisible(int index) {
  GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_frame));
  const double page = gtk_adjustment_get_page_size(adjustment);
  const double value = gtk_adjustment_get_value(adjustment);
  const double top = static_cast<double>(index) * kRowHeight;
  if (page <= 0) return;  // not laid out yet: the list starts at the top anyway
  if (top < value)
    gtk_adjustment_set_value(adjustment, top);
  else if (top + kRowHeight > value + page)
    gtk_adjustment_set_value(adjustment, top + kRowHeight - page);
}

int CCertificateList::RowFromPoint(double x, double y) const {
  const int width = gtk_widget_get_allocated_width(m_area);
  if (x < 0 || x >= width || y < 0) return -1;
  const int index = static_cast<int>(y) / kRowHeight;
  return index < RowCount() ? index : -1;
}

gboolean CCertificateList::OnDrawThunk(GtkWidget* widget, cairo_t* cr, gpointer self) {
  auto* list = static_cast<CCertificateList*>(self);
  const int width = gtk_widget_get_allocated_width(widget);
  const int height = gtk_widget_get_allocated_height(widget);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  // The row under the mouse is where the pointer is now: after a scroll by
  // the wheel it is another row than the last motion event said.
  GdkWindow* window = gtk_widget_get_window(widget);
  if (list->m_tracking && window) {
    GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(window));
    double x = -1, y = -1;
    if (seat) {
      gdk_window_get_device_position_double(window, gdk_seat_get_pointer(seat), &x, &y, nullptr);
      list->m_hot = list->RowFromPoint(x, y);
    }
  }
  GdkRectangle clip{0, 0, width, height};
  gdk_cairo_get_clip_rectangle(cr, &clip);
  const int first = std::max(clip.y / kRowHeight, 0);
  const int last = std::min((clip.y + clip.height - 1) / kRowHeight, list->RowCount() - 1);
  for (int index = first; index <= last; ++index) {
    cairo_save(cr);
    cairo_translate(cr, 0, index * kRowHeight);
    list->OnDrawItem(cr, index, index == list->m_selected, index == list->m_hot, width);
    cairo_restore(cr);
  }
  return TRUE;
}

// Each row is composed off screen and copied in one operation, so the
// repaint on every mouse move does not flicker.
void CCertificateList::OnDrawItem(cairo_t* target, int index, bool selected, bool hot, int width) {
  const int height = OnMeasureItem();
  if (width <= 0) return;
  SurfacePtr surface(cairo_surface_create_similar_image(cairo_get_target(target),
                                                        CAIRO_FORMAT_RGB24, width, height));
  cairo_t* cr = cairo_create(surface.get());
  const RowPictures pictures = {m_systemCertificate.get(), m_keyCertificate.get(),
                                m_frameImage.get()};
  PaintCertificateRow(cr, m_rows[static_cast<std::size_t>(index)], pictures, selected, hot, width,
                      m_modernFonts);
  cairo_destroy(cr);

  cairo_set_source_surface(target, surface.get(), 0, 0);
  cairo_rectangle(target, 0, 0, width, height);
  cairo_fill(target);
}

gboolean CCertificateList::OnMotionThunk(GtkWidget*, GdkEventMotion* event, gpointer self) {
  static_cast<CCertificateList*>(self)->OnMouseMove(event->x, event->y);
  return FALSE;
}

gboolean CCertificateList::OnLeaveThunk(GtkWidget*, GdkEventCrossing* event, gpointer self) {
  // Leaving into a child window (the tooltip) is not leaving the list.
  if (event->detail != GDK_NOTIFY_INFERIOR) static_cast<CCertificateList*>(self)->OnMouseLeave();
  return FALSE;
}

gboolean CCertificateList::OnButtonThunk(GtkWidget*, GdkEventButton* event, gpointer self) {
  auto* list = static_cast<CCertificateList*>(self);
  if (event->button != GDK_BUTTON_PRIMARY) return FALSE;
  if (event->type == GDK_BUTTON_PRESS)
    list->OnLButtonDown(event->x, event->y);
  else if (event->type == GDK_2BUTTON_PRESS)
    list->OnLButtonDblClk(event->x, event->y);
  return TRUE;
}

gboolean CCertificateList::OnKeyThunk(GtkWidget*, GdkEventKey* event, gpointer self) {
  return static_cast<CCertificateList*>(self)->OnKeyDown(event->keyval) ? TRUE : FALSE;
}

void CCertificateList::OnMouseMove(double x, double y) {
  m_tracking = true;
  const int hot = RowFromPoint(x, y);
  if (hot != m_hot) {
    m_hot = hot;
    gtk_widget_queue_draw(m_area);
  }
  if (hot >= 0) UpdateTooltip(hot);
}

void CCertificateList::OnMouseLeave() {
  m_tracking = false;
  if (m_hot != -1) {
    m_hot = -1;
    gtk_widget_queue_draw(m_area);
  }
}

void CCertificateList::UpdateTooltip(int index) {
  const std::string name = ToUtf8(m_rows[static_cast<std::size_t>(index)].displayName);
  if (name == m_tooltip) return;
  m_tooltip = name;
  gtk_widget_set_tooltip_text(m_area, m_tooltip.empty() ? nullptr : m_tooltip.c_str());
}

void CCertificateList::OnLButtonDown(double x, double y) {
  gtk_widget_grab_focus(m_area);
  const int index = RowFromPoint(x, y);
  if (index >= 0) SetCurSel(index);
}

void CCertificateList::OnLButtonDblClk(double x, double y) {
  const int index = RowFromPoint(x, y);
  if (index < 0) return;
  SetCurSel(index);
  ShowCertificateDetails(owner, m_rows[static_cast<std::size_t>(index)].certificate);
}

bool CCertificateList::OnKeyDown(guint keyval) {
  if (m_rows.empty()) return false;
  const int current = std::max(m_selected, 0);
  switch (keyval) {
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
      SetCurSel(current - 1);
      return true;
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
      SetCurSel(m_selected < 0 ? 0 : current + 1);
      return true;
    case GDK_KEY_Home:
    case GDK_KEY_KP_Home:
      SetCurSel(0);
      return true;
    case GDK_KEY_End:
    case GDK_KEY_KP_End:
      SetCurSel(RowCount() - 1);
      return true;
    case GDK_KEY_Page_Up:
    case GDK_KEY_KP_Page_Up:
      SetCurSel(current - VisibleRows());
      return true;
    case GDK_KEY_Page_Down:
    case GDK_KEY_KP_Page_Down:
      SetCurSel(current + VisibleRows());
      return true;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      if (onDefaultAction) onDefaultAction();
      return true;
    default:
      return false;
  }
}

}  // namespace select_dialog
