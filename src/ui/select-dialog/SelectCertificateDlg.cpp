#include "ui/select-dialog/SelectCertificateDlg.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <cstdlib>

#include "platform/base/WideString.h"
#include "resources/ModuleResources.h"
#include "resources/StringTable.h"
#include "ui/OriginDisplay.h"
#include "ui/select-dialog/ConsentTexts.h"
#include "ui/select-dialog/TextDrawing.h"

namespace select_dialog {
namespace {

// Template 101, dialog units.
constexpr int kDialogWidthDu = 282, kDialogHeightDu = 329;
constexpr int kRuleXDu = 7, kRuleYDu = 27, kRuleWidthDu = 268, kRuleHeightDu = 1;
constexpr int kListXDu = 13, kListYDu = 37, kListWidthDu = 255, kListHeightDu = 264;
constexpr int kOkXDu = 170, kCancelXDu = 225, kButtonYDu = 306;
constexpr int kButtonWidthDu = 50, kButtonHeightDu = 14;

constexpr LANGID kSimplifiedChinese = 0x0804;
constexpr Colour kHeaderColour = {0, 51, 153};
// The origin line sits under the header, in a grey apart from its blue.
constexpr Colour kOriginColour = {68, 68, 68};
constexpr int kOriginBand = 20;
constexpr int kTextX = 15;
constexpr const char* kFace = "Microsoft YaHei";

constexpr const char* kCss =
    "#select-certificate-client { background-color: #FFFFFF; }\n"
    "#certificate-list.frame { border: 1px solid #828790; }\n"
    "button.select-certificate { min-height: 0; min-width: 0; padding: 0 6px; }\n";

std::u16string TableText(UINT id, bool chinese) {
  const STRING_RESOURCE* table = SigilStringTable();
  for (std::size_t i = 0; i < SigilStringTableSize(); ++i) {
    if (table[i].id != id) continue;
    LPCWSTR text =
        chinese && table[i].simplifiedChinese ? table[i].simplifiedChinese : table[i].english;
    return text ? std::u16string(text) : std::u16string();
  }
  return {};
}

void ScreenGeometry(GtkWidget* window, GdkRectangle* area) {
  *area = {0, 0, 1024, 768};
  GdkDisplay* display = gtk_widget_get_display(window);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor && gdk_display_get_n_monitors(display) > 0)
    monitor = gdk_display_get_monitor(display, 0);
  if (monitor) gdk_monitor_get_geometry(monitor, area);
}

}  // namespace

OriginLine FitOriginLine(std::u16string_view prefix, const ui::OriginForms& forms, int width,
                         const MeasureText& measure) {
  const std::u16string ascii = std::u16string(prefix) + FromUtf8(forms.ascii);
  std::u16string both = ascii;
  std::u16string shorter = ascii;  // the scheme once, in the Unicode form
  if (forms.unicode != forms.ascii) {
    both = std::u16string(prefix) + FromUtf8(forms.unicode + " (" + forms.ascii + ")");
    const std::size_t scheme = forms.ascii.find("://");
    const std::string rest =
        scheme == std::string::npos ? forms.ascii : forms.ascii.substr(scheme + 3);
    shorter = std::u16string(prefix) + FromUtf8(forms.unicode + " (" + rest + ")");
  }
  const std::u16string* texts[] = {&both, &shorter, &ascii};
  for (const std::u16string* text : texts)
    for (int height : kOriginLineHeights)
      if (measure(*text, height) <= width) return {*text, height};
  return {ascii, std::end(kOriginLineHeights)[-1]};
}

int VisibleRowCount(int rows, int screenHeight) {
  const int fit = (screenHeight - 500) / 80;
  if (rows <= 0) return 0;
  return std::clamp(fit, 1, rows);
}

CSelectCertificateDlg::CSelectCertificateDlg(ui::DialogRequest request)
    : m_request(std::move(request)) {
  if (const char* path = std::getenv("NPSIGIL_DIALOG_SNAPSHOT")) m_snapshotPath = path;
}

CSelectCertificateDlg::~CSelectCertificateDlg() {
  if (m_window) gtk_widget_destroy(m_window);
  if (m_loop) g_main_loop_unref(m_loop);
}

ui::DialogResponse CSelectCertificateDlg::DoModal() {
  if (!OnInitDialog()) return m_response;
  m_loop = g_main_loop_new(nullptr, FALSE);
  gtk_widget_show_all(m_window);
  gtk_window_present(GTK_WINDOW(m_window));
  gtk_widget_grab_focus(m_list.RowArea());
  if (!m_ended) g_main_loop_run(m_loop);
  return m_response;
}

bool CSelectCertificateDlg::OnInitDialog() {
  m_chinese = m_request.language == kSimplifiedChinese;
  const std::u16string title = m_request.title ? *m_request.title
                               : m_chinese     ? std::u16string(u"Windows 安全")
                                               : std::u16string(u"Windows Security");
  const std::u16string okText =
      m_request.okText ? *m_request.okText : (m_chinese ? u"确定" : u"OK");
  const std::u16string cancelText =
      m_request.cancelText ? *m_request.cancelText : (m_chinese ? u"取消" : u"Cancel");
  m_header =
      m_request.header.empty() ? TableText(IDS_SELECT_CERT_HEADER, m_chinese) : m_request.header;
  if (m_header.size() > 127) m_header.resize(127);  // the dialog keeps 128 characters
  if (m_request.origin && !m_request.origin->empty()) {
    const int room = DialogUnitsToPixelsX(kDialogWidthDu) - kTextX - 20;
    m_originLine = FitOriginLine(
        FromUtf8(ConsentTextsFor(m_request.language).requestedBy),
        ui::OriginDisplayForms(ToUtf8(*m_request.origin)), room,
        [](std::u16string_view text, int height) { return MeasureTextWidth(kFace, text, height); });
    m_originBand = kOriginBand;
  }

  // The pictures come first: a dialog that cannot draw its rows is never shown.
  std::string failedStep;
  const std::size_t rowCount = m_request.rows.size();
  const HRESULT hr = m_list.Initialize(GetSigilModuleHandle(), true, m_request.rows, &failedStep);
  if (FAILED(hr)) {
    m_response.outcome = ui::DialogOutcome::kFailed;
    m_response.failure = hr;
    m_response.message = failedStep;
    return false;
  }

  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(m_window), ToUtf8(title).c_str());
  gtk_window_set_type_hint(GTK_WINDOW(m_window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_modal(GTK_WINDOW(m_window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(m_window), FALSE);
  g_signal_connect(m_window, "delete-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                     static_cast<CSelectCertificateDlg*>(self)->OnCancel();
                     return TRUE;
                   }),
                   this);
  g_signal_connect(m_window, "key-press-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer self) -> gboolean {
                     if (event->keyval != GDK_KEY_Escape) return FALSE;
                     static_cast<CSelectCertificateDlg*>(self)->OnCancel();
                     return TRUE;
                   }),
                   this);

  m_client = gtk_fixed_new();
  gtk_widget_set_name(m_client, "select-certificate-client");
  gtk_widget_set_has_window(m_client, TRUE);
  g_signal_connect(m_client, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer self) {
                     static_cast<CSelectCertificateDlg*>(self)->OnPaint(cr);
                     return FALSE;
                   }),
                   this);
  gtk_container_add(GTK_CONTAINER(m_window), m_client);

  m_clientWidth = DialogUnitsToPixelsX(kDialogWidthDu);
  m_clientHeight = DialogUnitsToPixelsY(kDialogHeightDu) + m_originBand;
  m_listHeight = DialogUnitsToPixelsY(kListHeightDu);
  m_buttonY = DialogUnitsToPixelsY(kButtonYDu) + m_originBand;

  m_list.owner = GTK_WINDOW(m_window);
  m_list.onDefaultAction = [this] { OnOK(); };
  gtk_widget_set_size_request(m_list.Widget(), DialogUnitsToPixelsX(kListWidthDu), m_listHeight);
  gtk_fixed_put(GTK_FIXED(m_client), m_list.Widget(), DialogUnitsToPixelsX(kListXDu),
                DialogUnitsToPixelsY(kListYDu) + m_originBand);

  auto makeButton = [this](const std::u16string& caption, int xDu, void (*clicked)(void*)) {
    GtkWidget* button = gtk_button_new_with_label(ToUtf8(caption).c_str());
    gtk_style_context_add_class(gtk_widget_get_style_context(button), "select-certificate");
    gtk_widget_set_size_request(button, DialogUnitsToPixelsX(kButtonWidthDu),
                                DialogUnitsToPixelsY(kButtonHeightDu));
    g_signal_connect_swapped(button, "clicked", G_CALLBACK(clicked), this);
    gtk_fixed_put(GTK_FIXED(m_client), button, DialogUnitsToPixelsX(xDu), m_buttonY);
    return button;
  };
  m_ok = makeButton(okText, kOkXDu,
                    [](void* self) { static_cast<CSelectCertificateDlg*>(self)->OnOK(); });
  m_cancel = makeButton(cancelText, kCancelXDu,
                        [](void* self) { static_cast<CSelectCertificateDlg*>(self)->OnCancel(); });
  gtk_widget_set_can_default(m_ok, TRUE);
  gtk_window_set_default(GTK_WINDOW(m_window), m_ok);

  AdjustWindowSize();

  if (rowCount > 0) m_list.SetCurSel(0);
  m_list.ScrollToTop();
  if (!m_snapshotPath.empty()) ScheduleSnapshot();
  return true;
}

// The list shows as many whole rows as the screen allows (every row when
// they fit); the window grows or shrinks with it and stays centred.
void CSelectCertificateDlg::AdjustWindowSize() {
  GdkRectangle screen{};
  ScreenGeometry(m_window, &screen);
  const int rows = VisibleRowCount(m_list.RowCount(), screen.height);
  const int listHeight = rows * kRowHeight + 2 * m_list.FrameHeight();
  const int difference = listHeight - m_listHeight;
  m_listHeight = listHeight;
  m_clientHeight += difference;
  m_buttonY += difference;

  gtk_widget_set_size_request(m_list.Widget(), DialogUnitsToPixelsX(kListWidthDu), m_listHeight);
  gtk_fixed_move(GTK_FIXED(m_client), m_ok, DialogUnitsToPixelsX(kOkXDu), m_buttonY);
  gtk_fixed_move(GTK_FIXED(m_client), m_cancel, DialogUnitsToPixelsX(kCancelXDu), m_buttonY);
  gtk_widget_set_size_request(m_client, m_clientWidth, m_clientHeight);
  gtk_window_resize(GTK_WINDOW(m_window), m_clientWidth, m_clientHeight);
  gtk_window_move(GTK_WINDOW(m_window), screen.x + (screen.width - m_clientWidth) / 2,
                  screen.y + (screen.height - m_clientHeight) / 2);
}

void CSelectCertificateDlg::OnPaint(cairo_t* cr) {
  const int width = gtk_widget_get_allocated_width(m_client);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);

  // The sunken one-unit rule under the header.
  const double x = DialogUnitsToPixelsX(kRuleXDu);
  const double y = DialogUnitsToPixelsY(kRuleYDu) + m_originBand;
  const double ruleWidth = DialogUnitsToPixelsX(kRuleWidthDu);
  const int ruleHeight = std::max(DialogUnitsToPixelsY(kRuleHeightDu), 2);
  cairo_rectangle(cr, x, y, ruleWidth, 1);
  cairo_set_source_rgb(cr, 160 / 255.0, 160 / 255.0, 160 / 255.0);
  cairo_fill(cr);
  if (ruleHeight > 1) {
    cairo_rectangle(cr, x, y + 1, ruleWidth, ruleHeight - 1);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
  }

  DrawTextWithFont(kFace, cr, m_header, kTextX, 12, width - 20, 8, 22, kHeaderColour);
  if (!m_originLine.text.empty())
    DrawTextWithFont(kFace, cr, m_originLine.text, kTextX, 40, width - 20, 0,
                     m_originLine.charHeight, kOriginColour);
}

void CSelectCertificateDlg::OnOK() {
  const int index = m_list.GetCurSel();
  ui::DialogResponse response;
  if (index < 0) {
    // Nothing to hand back: the list is empty.
    response.outcome = ui::DialogOutcome::kFailed;
    response.failure = E_INVALIDARG;
    response.message = "m_pstCertificate == NULL";
  } else {
    response.outcome = ui::DialogOutcome::kSelected;
    response.index = static_cast<std::size_t>(index);
  }
  EndDialog(std::move(response));
}

void CSelectCertificateDlg::OnCancel() {
  ui::DialogResponse response;
  response.outcome = ui::DialogOutcome::kCancelled;
  EndDialog(std::move(response));
}

void CSelectCertificateDlg::EndDialog(ui::DialogResponse response) {
  if (m_ended) return;
  m_ended = true;
  m_response = std::move(response);
  if (m_loop) g_main_loop_quit(m_loop);
}

// The first complete frame of the mapped window, written for the tests.
void CSelectCertificateDlg::ScheduleSnapshot() {
  g_signal_connect_after(m_window, "draw",
                         G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer self) -> gboolean {
                           auto* dialog = static_cast<CSelectCertificateDlg*>(self);
                           if (dialog->m_snapshotScheduled) return FALSE;
                           dialog->m_snapshotScheduled = true;
                           g_timeout_add(
                               100,
                               +[](gpointer data) -> gboolean {
                                 static_cast<CSelectCertificateDlg*>(data)->WriteSnapshot();
                                 return G_SOURCE_REMOVE;
                               },
                               self);
                           return FALSE;
                         }),
                         this);
}

void CSelectCertificateDlg::WriteSnapshot() {
  if (m_ended || !m_window) return;
  GdkWindow* window = gtk_widget_get_window(m_window);
  if (!window) return;
  gdk_display_sync(gdk_window_get_display(window));
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                                 gdk_window_get_height(window));
  if (!pixbuf) return;
  // Written beside and renamed, so a reader never sees half a file.
  const std::string partial = m_snapshotPath + ".partial";
  if (gdk_pixbuf_save(pixbuf, partial.c_str(), "png", nullptr, nullptr))
    g_rename(partial.c_str(), m_snapshotPath.c_str());
  else
    g_unlink(partial.c_str());
  g_object_unref(pixbuf);
}

}  // namespace select_dialog
