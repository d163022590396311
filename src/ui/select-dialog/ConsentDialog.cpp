#include "ui/select-dialog/ConsentDialog.h"

#include <glib/gstdio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui/OriginDisplay.h"
#include "ui/select-dialog/ConsentTexts.h"

namespace select_dialog {
namespace {

constexpr int kWindowWidth = 480;
constexpr int kTextChars = 56;

constexpr const char* kCss =
    "#consent-client { background-color: #FFFFFF; padding: 18px; }\n"
    "#consent-origin { font-size: 15pt; font-weight: bold; color: #1A1A1A; }\n"
    "#consent-ascii-origin { font-family: monospace; color: #505050; }\n"
    "#consent-within { color: #505050; }\n"
    "#consent-warning { color: #A4000F; background-color: #FDECEA; padding: 6px; }\n"
    "#consent-method { color: #505050; font-size: smaller; }\n";

constexpr const char* kAnswerKey = "npsigil-consent-answer";

GtkWidget* AddLabel(GtkWidget* box, const std::string& text, const char* name) {
  GtkWidget* label = gtk_label_new(nullptr);
  // Plain text only: an origin may hold '<' or '&', which markup would read.
  gtk_label_set_text(GTK_LABEL(label), text.c_str());
  gtk_widget_set_name(label, name);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_max_width_chars(GTK_LABEL(label), kTextChars);
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  return label;
}

}  // namespace

ConsentContent ContentOf(const ui::ConsentRequest& request) {
  const ConsentTexts& texts = ConsentTextsFor(request.language);
  ConsentContent content;
  content.title = texts.title;
  const ui::OriginForms forms = ui::OriginDisplayForms(request.origin);
  content.origin = forms.unicode;
  if (forms.unicode != forms.ascii) content.asciiOrigin = forms.ascii;
  if (!request.within.empty()) {
    const ui::OriginForms top = ui::OriginDisplayForms(request.within);
    content.within = std::string(texts.within) + top.unicode;
    if (top.unicode != top.ascii) content.within += " (" + top.ascii + ")";
  }
  if (!request.secure) content.warning = texts.notSecure;
  content.asksLead = texts.asks;
  if (request.asksKeys) content.asks.push_back(std::string("\u2022 ") + texts.useKeys);
  if (request.asksFiles) content.asks.push_back(std::string("\u2022 ") + texts.useFiles);
  content.method = std::string(texts.method) + request.method;
  content.allowOnce = texts.allowOnce;
  // A standing approval is only ever kept for a page that came over a
  // secure connection, so it is not offered to any other.
  if (request.secure) content.allowAlways = texts.allowAlways;
  content.deny = texts.deny;
  // Grants are only ever kept for secure pages, like standing approvals.
  if (request.secure && request.asksFiles) {
    content.grantFolder = texts.grantFolder;
    content.folderLead = texts.folderLead;
    content.folderTitle = std::string(texts.folderTitle) + forms.unicode;
    content.choose = texts.choose;
    content.cancel = texts.cancel;
  }
  return content;
}

CConsentDlg::CConsentDlg(const ui::ConsentRequest& request) : m_content(ContentOf(request)) {
  if (const char* path = std::getenv("NPSIGIL_DIALOG_LAYOUT")) m_layoutPath = path;
}

CConsentDlg::~CConsentDlg() {
  if (m_enableTimer) g_source_remove(m_enableTimer);
  if (m_window) gtk_widget_destroy(m_window);
  if (m_loop) g_main_loop_unref(m_loop);
}

ui::ConsentResponse CConsentDlg::DoModal() {
  Build();
  m_loop = g_main_loop_new(nullptr, FALSE);
  gtk_widget_show_all(m_window);
  gtk_window_present(GTK_WINDOW(m_window));
  gtk_widget_grab_focus(m_deny);
  if (!m_ended) g_main_loop_run(m_loop);
  ui::ConsentResponse response;
  response.answer = m_answer;
  if (m_answer == ui::ConsentAnswer::kAllowOnce || m_answer == ui::ConsentAnswer::kAllowAlways)
    response.folder = m_folder;
  return response;
}

void CConsentDlg::Build() {
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(m_window), m_content.title.c_str());
  gtk_window_set_type_hint(GTK_WINDOW(m_window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_modal(GTK_WINDOW(m_window), TRUE);
  gtk_window_set_keep_above(GTK_WINDOW(m_window), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(m_window), FALSE);
  gtk_window_set_position(GTK_WINDOW(m_window), GTK_WIN_POS_CENTER);
  gtk_widget_set_size_request(m_window, kWindowWidth, -1);
  g_signal_connect(m_window, "delete-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                     static_cast<CConsentDlg*>(self)->End(ui::ConsentAnswer::kDeny);
                     return TRUE;
                   }),
                   this);
  g_signal_connect(m_window, "key-press-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer self) -> gboolean {
                     if (event->keyval != GDK_KEY_Escape) return FALSE;
                     static_cast<CConsentDlg*>(self)->End(ui::ConsentAnswer::kDeny);
                     return TRUE;
                   }),
                   this);
  // The delay counts from when the user can first see the prompt.
  g_signal_connect(m_window, "map-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* self = static_cast<CConsentDlg*>(data);
                     if (self->m_enableTimer == 0 && !self->m_allowButtons.empty() &&
                         !gtk_widget_get_sensitive(self->m_allowButtons.front()))
                       self->m_enableTimer = g_timeout_add(
                           kAllowDelayMs,
                           +[](gpointer dialog) -> gboolean {
                             auto* me = static_cast<CConsentDlg*>(dialog);
                             me->m_enableTimer = 0;
                             me->EnableAllowButtons();
                             return G_SOURCE_REMOVE;
                           },
                           self);
                     return FALSE;
                   }),
                   this);

  GtkWidget* client = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_widget_set_name(client, "consent-client");
  gtk_container_add(GTK_CONTAINER(m_window), client);

  AddLabel(client, m_content.origin, "consent-origin");
  if (!m_content.asciiOrigin.empty())
    AddLabel(client, m_content.asciiOrigin, "consent-ascii-origin");
  if (!m_content.within.empty()) AddLabel(client, m_content.within, "consent-within");
  if (!m_content.warning.empty())
    m_warning = AddLabel(client, m_content.warning, "consent-warning");
  AddLabel(client, m_content.asksLead, "consent-asks-lead");
  for (const std::string& line : m_content.asks) AddLabel(client, line, "consent-asks");
  AddLabel(client, m_content.method, "consent-method");

  if (!m_content.grantFolder.empty()) {
    // Beside the answers rather than among them: choosing a folder answers
    // nothing, and only an allow afterwards grants it.
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    GtkWidget* grant = gtk_button_new_with_label(m_content.grantFolder.c_str());
    m_grantButton = grant;
    gtk_widget_set_name(grant, "grant-folder");
    g_signal_connect(grant, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                       static_cast<CConsentDlg*>(self)->ChooseFolder();
                     }),
                     this);
    gtk_box_pack_start(GTK_BOX(row), grant, FALSE, FALSE, 0);
    m_folderLabel = gtk_label_new("");
    gtk_widget_set_name(m_folderLabel, "consent-folder");
    gtk_label_set_ellipsize(GTK_LABEL(m_folderLabel), PANGO_ELLIPSIZE_MIDDLE);
    gtk_label_set_xalign(GTK_LABEL(m_folderLabel), 0);
    gtk_box_pack_start(GTK_BOX(row), m_folderLabel, TRUE, TRUE, 0);
    gtk_box_pack_end(GTK_BOX(client), row, FALSE, FALSE, 0);
  }

  m_buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(m_buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(m_buttons), 8);
  gtk_widget_set_margin_top(m_buttons, 8);
  gtk_box_pack_end(GTK_BOX(client), m_buttons, FALSE, FALSE, 0);
  if (!m_content.allowAlways.empty())
    m_allowButtons.push_back(AddButton(m_buttons, m_content.allowAlways, "allow-always",
                                       ui::ConsentAnswer::kAllowAlways));
  m_allowButtons.push_back(
      AddButton(m_buttons, m_content.allowOnce, "allow-once", ui::ConsentAnswer::kAllowOnce));
  m_deny = AddButton(m_buttons, m_content.deny, "deny", ui::ConsentAnswer::kDeny);
  for (GtkWidget* button : m_allowButtons) gtk_widget_set_sensitive(button, FALSE);
  gtk_widget_set_can_default(m_deny, TRUE);
  gtk_window_set_default(GTK_WINDOW(m_window), m_deny);
  gtk_window_set_focus(GTK_WINDOW(m_window), m_deny);
}

GtkWidget* CConsentDlg::AddButton(GtkWidget* box, const std::string& caption, const char* name,
                                  ui::ConsentAnswer answer) {
  GtkWidget* button = gtk_button_new_with_label(caption.c_str());
  gtk_widget_set_name(button, name);
  g_object_set_data(G_OBJECT(button), kAnswerKey, GINT_TO_POINTER(static_cast<int>(answer) + 1));
  g_signal_connect(
      button, "clicked", G_CALLBACK(+[](GtkButton* clicked, gpointer self) {
        // Only a button the user could press gives an answer.
        if (!gtk_widget_is_sensitive(GTK_WIDGET(clicked))) return;
        const int stored = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(clicked), kAnswerKey));
        static_cast<CConsentDlg*>(self)->End(static_cast<ui::ConsentAnswer>(stored - 1));
      }),
      this);
  gtk_container_add(GTK_CONTAINER(box), button);
  return button;
}

void CConsentDlg::EnableAllowButtons() {
  for (GtkWidget* button : m_allowButtons) gtk_widget_set_sensitive(button, TRUE);
  if (!m_layoutPath.empty()) ScheduleLayoutReport();
}

void CConsentDlg::ChooseFolder() {
  if (m_ended) return;
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      m_content.folderTitle.c_str(), GTK_WINDOW(m_window), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      m_content.cancel.c_str(), GTK_RESPONSE_CANCEL, m_content.choose.c_str(),
      GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(chooser), TRUE);
  // Left alone it opens on "Recent", where no folder can be granted.
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), g_get_home_dir());
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  gtk_window_set_keep_above(GTK_WINDOW(chooser), TRUE);
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (name != nullptr && name[0] == '/' && std::strlen(name) <= ui::kMaxConsentFolderBytes) {
      m_folder = name;
      const std::string shown = m_content.folderLead + m_folder;
      gtk_label_set_text(GTK_LABEL(m_folderLabel), shown.c_str());
      gtk_widget_set_tooltip_text(m_folderLabel, m_folder.c_str());
    }
    g_free(name);
  }
  gtk_widget_destroy(chooser);
  // The folder's text may have widened the window and moved the buttons.
  if (!m_layoutPath.empty() && m_layoutScheduled) {
    m_layoutScheduled = false;
    ScheduleLayoutReport();
  }
}

void CConsentDlg::End(ui::ConsentAnswer answer) {
  if (m_ended) return;
  m_ended = true;
  m_answer = answer;
  if (m_loop) g_main_loop_quit(m_loop);
}

// For the tests on a virtual screen: where each button and text is, once
// the allow buttons are awake, so a test can press them as a user would.
void CConsentDlg::ScheduleLayoutReport() {
  if (m_layoutScheduled) return;
  m_layoutScheduled = true;
  g_idle_add(
      +[](gpointer self) -> gboolean {
        static_cast<CConsentDlg*>(self)->WriteLayoutReport();
        return G_SOURCE_REMOVE;
      },
      this);
}

void CConsentDlg::WriteLayoutReport() {
  if (m_ended || !m_window) return;
  std::string report = "window " + std::to_string(gtk_widget_get_allocated_width(m_window)) + " " +
                       std::to_string(gtk_widget_get_allocated_height(m_window)) + "\n";
  auto describe = [&](const char* kind, GtkWidget* widget) {
    if (!gtk_widget_get_visible(widget)) return;
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, m_window, 0, 0, &x, &y);
    report += std::string(kind) + " " + gtk_widget_get_name(widget) + " " + std::to_string(x) +
              " " + std::to_string(y) + " " +
              std::to_string(gtk_widget_get_allocated_width(widget)) + " " +
              std::to_string(gtk_widget_get_allocated_height(widget)) + " " +
              (gtk_widget_get_sensitive(widget) ? "1" : "0") + "\n";
  };
  GList* children = gtk_container_get_children(GTK_CONTAINER(m_buttons));
  for (GList* child = children; child; child = child->next)
    describe("button", GTK_WIDGET(child->data));
  g_list_free(children);
  if (m_grantButton) {
    describe("button", m_grantButton);
    describe("label", m_folderLabel);
  }
  GtkWidget* client = gtk_bin_get_child(GTK_BIN(m_window));
  children = gtk_container_get_children(GTK_CONTAINER(client));
  for (GList* child = children; child; child = child->next)
    if (GTK_IS_LABEL(child->data)) describe("label", GTK_WIDGET(child->data));
  g_list_free(children);

  // Written beside and renamed, so a reader never sees half a file.
  const std::string partial = m_layoutPath + ".partial";
  if (FILE* file = std::fopen(partial.c_str(), "w")) {
    const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
    if (std::fclose(file) == 0 && written)
      g_rename(partial.c_str(), m_layoutPath.c_str());
    else
      g_unlink(partial.c_str());
  }
}

}  // namespace select_dialog
