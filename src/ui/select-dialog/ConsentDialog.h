// The consent prompt: which page asks (its origin, shown large), whether it
// came over a secure connection, what it asks for, and the user's three
// ways out, and for a page that asks for files a folder the user may grant
// it along with an allow. Deny is the default and closing the window denies, so a key
// pressed by habit or a stray click never gives a page anything.
#pragma once

#include <string>
#include <vector>

#include "ui/ConsentProtocol.h"
#include "ui/select-dialog/Gtk.h"

namespace select_dialog {

// The allow buttons wake this long after the window appears, so a click
// aimed at the page underneath does not land on them.
inline constexpr unsigned kAllowDelayMs = 800;

// Everything the window shows for a request, in the request's language.
struct ConsentContent {
  std::string title;
  std::string origin;       // the Unicode form when there is one, else the origin as given
  std::string asciiOrigin;  // the origin as given, when it differs from `origin`; else empty
  std::string within;       // "in a frame of the page …" for a frame of another origin; else empty
  std::string warning;      // empty for a secure page
  std::string asksLead;
  std::vector<std::string> asks;  // one line per thing asked for
  std::string method;
  std::string allowOnce;
  std::string allowAlways;  // empty: not offered
  std::string deny;
  // Offered to a secure page that asks for files; empty: not offered.
  std::string grantFolder;
  std::string folderLead;
  std::string folderTitle;  // the chooser's title, the origin included
  std::string choose;
  std::string cancel;
};

ConsentContent ContentOf(const ui::ConsentRequest& request);

class CConsentDlg {
 public:
  explicit CConsentDlg(const ui::ConsentRequest& request);
  ~CConsentDlg();
  CConsentDlg(const CConsentDlg&) = delete;
  CConsentDlg& operator=(const CConsentDlg&) = delete;

  // Shows the prompt and returns the user's answer when it closes.
  ui::ConsentResponse DoModal();

 private:
  void Build();
  GtkWidget* AddButton(GtkWidget* box, const std::string& caption, const char* name,
                       ui::ConsentAnswer answer);
  void EnableAllowButtons();
  void End(ui::ConsentAnswer answer);
  void ChooseFolder();
  void ScheduleLayoutReport();
  void WriteLayoutReport();

  ConsentContent m_content;
  GtkWidget* m_window = nullptr;
  GtkWidget* m_buttons = nullptr;
  GtkWidget* m_warning = nullptr;
  GtkWidget* m_deny = nullptr;
  GtkWidget* m_folderLabel = nullptr;
  GtkWidget* m_grantButton = nullptr;
  std::string m_folder;
  std::vector<GtkWidget*> m_allowButtons;
  GMainLoop* m_loop = nullptr;
  guint m_enableTimer = 0;
  ui::ConsentAnswer m_answer = ui::ConsentAnswer::kDeny;
  bool m_ended = false;
  std::string m_layoutPath;
  bool m_layoutScheduled = false;
};

}  // namespace select_dialog
