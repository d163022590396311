#include "ui/select-dialog/FileChooserDialog.h"

#include <sys/stat.h>

#include <string>

#include "ui/OriginDisplay.h"
#include "ui/select-dialog/ConsentTexts.h"
#include "ui/select-dialog/Gtk.h"

namespace select_dialog {
namespace {

constexpr FileChooserTexts kEnglish = {
    "Choose a file for ",
    "Save a file for ",
    "_Open",
    "_Save",
    "_Cancel",
    "A file of this name already exists. Choose another name: nothing is replaced.",
};

constexpr FileChooserTexts kSimplifiedChinese = {
    "为以下网站选择文件：",
    "为以下网站保存文件：",
    "打开(_O)",
    "保存(_S)",
    "取消(_C)",
    "已存在同名文件。请另选一个名称：不会替换任何文件。",
};

constexpr FileChooserTexts kTraditionalChinese = {
    "為以下網站選擇檔案：",
    "為以下網站儲存檔案：",
    "開啟(_O)",
    "儲存(_S)",
    "取消(_C)",
    "已有同名檔案。請另選一個名稱：不會取代任何檔案。",
};

// The chosen name as a local path; empty when GTK gives none (a remote
// location, nothing selected).
std::string ChosenPath(GtkWidget* dialog) {
  gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
  std::string path = name ? name : "";
  g_free(name);
  return path;
}

void TellNameTaken(GtkWidget* parent, const char* text) {
  GtkWidget* message = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_MODAL,
                                              GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s", text);
  gtk_dialog_run(GTK_DIALOG(message));
  gtk_widget_destroy(message);
}

}  // namespace

const FileChooserTexts& FileChooserTextsFor(LANGID language) {
  switch (LanguageOf(language)) {
    case TextLanguage::kSimplifiedChinese:
      return kSimplifiedChinese;
    case TextLanguage::kTraditionalChinese:
      return kTraditionalChinese;
    case TextLanguage::kEnglish:
      break;
  }
  return kEnglish;
}

ui::FileChoiceAnswer RunFileChooser(const ui::FileChoice& request) {
  const FileChooserTexts& texts = FileChooserTextsFor(request.language);
  const std::string title = std::string(request.save ? texts.saveTitle : texts.openTitle) +
                            ui::OriginDisplayText(request.origin);
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      title.c_str(), nullptr,
      request.save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN, texts.cancel,
      GTK_RESPONSE_CANCEL, request.save ? texts.save : texts.open, GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_select_multiple(chooser, FALSE);
  // Left alone it opens on "Recent", which a save cannot use.
  gtk_file_chooser_set_current_folder(chooser, g_get_home_dir());
  // GTK's confirmation would let the user replace the file; the page must
  // not get to write over anything, so a taken name is simply refused.
  gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);

  ui::FileChoiceAnswer answer;
  for (;;) {
    if (gtk_dialog_run(GTK_DIALOG(dialog)) != GTK_RESPONSE_ACCEPT) break;
    std::string path = ChosenPath(dialog);
    if (path.empty() || path.front() != '/') continue;
    struct stat st {};
    if (request.save && ::lstat(path.c_str(), &st) == 0) {
      TellNameTaken(dialog, texts.exists);
      continue;
    }
    if (path.size() > ui::kMaxFileChoicePathBytes) continue;
    answer.outcome = ui::FileChoiceOutcome::kChosen;
    answer.path = std::move(path);
    break;
  }
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  return answer;
}

}  // namespace select_dialog
