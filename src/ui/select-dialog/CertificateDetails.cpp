#include "foundation/Unique.h"
#include "ui/select-dialog/CertificateDetails.h"

#include <glib/gstdio.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <memory>
#include <set>

namespace select_dialog {
namespace {

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string NameText(const X509_NAME* name) {
  foundation::Unique<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* time) {
  foundation::Unique<BIO, BIO_free> bio(BIO_new(BIO_s_mem()));
  if (!bio || !time) return {};
  ASN1_TIME_print(bio.get(), time);
  return BioText(bio.get());
}

std::string HexBytes(const unsigned char* bytes, std::size_t size, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    if (i && separator) out.push_back(separator);
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

std::string SerialText(const X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  if (!serial) return {};
  std::string text = HexBytes(ASN1_STRING_get0_data(serial),
                              static_cast<std::size_t>(ASN1_STRING_length(serial)), ' ');
  return ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER ? std::string("-") + text : text;
}

std::string KeyUsageText(X509* cert) {
  if ((X509_get_extension_flags(cert) & EXFLAG_KUSAGE) == 0) return "(not restricted)";
  static constexpr std::pair<uint32_t, const char*> kUsages[] = {
      {KU_DIGITAL_SIGNATURE, "Digital Signature"},
      {KU_NON_REPUDIATION, "Non-Repudiation"},
      {KU_KEY_ENCIPHERMENT, "Key Encipherment"},
      {KU_DATA_ENCIPHERMENT, "Data Encipherment"},
      {KU_KEY_AGREEMENT, "Key Agreement"},
      {KU_KEY_CERT_SIGN, "Certificate Signing"},
      {KU_CRL_SIGN, "CRL Signing"},
      {KU_ENCIPHER_ONLY, "Encipher Only"},
      {KU_DECIPHER_ONLY, "Decipher Only"}};
  const uint32_t usage = X509_get_key_usage(cert);
  std::string text;
  for (const auto& [bit, name] : kUsages) {
    if ((usage & bit) == 0) continue;
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text.empty() ? "(none)" : text;
}

std::string Fingerprint(const X509* cert, const EVP_MD* digest) {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!X509_digest(cert, digest, value, &size)) return {};
  return HexBytes(value, size, ':');
}

// Temporary copies handed to a viewer that has not exited yet.
std::set<std::string>& ViewerFiles() {
  static std::set<std::string> files;
  return files;
}

void OnViewerExited(GPid pid, gint /*status*/, gpointer data) {
  std::unique_ptr<char, decltype(&g_free)> path(static_cast<char*>(data), &g_free);
  g_unlink(path.get());
  ViewerFiles().erase(path.get());
  g_spawn_close_pid(pid);
}

bool OpenInViewer(const std::vector<BYTE>& der) {
  std::unique_ptr<char, decltype(&g_free)> viewer(g_find_program_in_path("gcr-viewer"), &g_free);
  if (!viewer) return false;
  gchar* path = nullptr;
  const int fd = g_file_open_tmp("npsigil-certificate-XXXXXX.crt", &path, nullptr);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < der.size()) {
    const ssize_t n = write(fd, der.data() + written, der.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(fd);
  gchar* argv[] = {viewer.get(), path, nullptr};
  GPid pid = 0;
  if (written != der.size() || !g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                              nullptr, nullptr, &pid, nullptr)) {
    g_unlink(path);
    g_free(path);
    return false;
  }
  ViewerFiles().insert(path);
  g_child_watch_add(pid, &OnViewerExited, path);  // the watch owns the path
  return true;
}

void ShowOwnDetails(GtkWindow* owner, const std::vector<BYTE>& der) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Certificate");
  gtk_window_set_transient_for(GTK_WINDOW(window), owner);
  gtk_window_set_modal(GTK_WINDOW(window), TRUE);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER_ON_PARENT);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 12);
  auto lines = DescribeCertificate(der);
  if (lines.empty()) lines.emplace_back("Error", "The certificate cannot be read.");
  int row = 0;
  for (const auto& [label, value] : lines) {
    GtkWidget* name = gtk_label_new(label.c_str());
    gtk_widget_set_halign(name, GTK_ALIGN_END);
    gtk_widget_set_valign(name, GTK_ALIGN_START);
    GtkWidget* text = gtk_label_new(value.c_str());
    gtk_label_set_selectable(GTK_LABEL(text), TRUE);
    gtk_widget_set_can_focus(text, FALSE);  // selectable by mouse, not selected on open
    gtk_label_set_line_wrap(GTK_LABEL(text), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(text), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_max_width_chars(GTK_LABEL(text), 60);
    gtk_label_set_xalign(GTK_LABEL(text), 0.0f);
    gtk_grid_attach(GTK_GRID(grid), name, 0, row, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), text, 1, row, 1, 1);
    ++row;
  }
  gtk_box_pack_start(GTK_BOX(box), grid, TRUE, TRUE, 0);
  GtkWidget* close = gtk_button_new_with_label("Close");
  gtk_widget_set_halign(close, GTK_ALIGN_END);
  g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_destroy), window);
  gtk_box_pack_start(GTK_BOX(box), close, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  g_signal_connect(window, "key-press-event",
                   G_CALLBACK(+[](GtkWidget* self, GdkEventKey* event, gpointer) -> gboolean {
                     if (event->keyval != GDK_KEY_Escape) return FALSE;
                     gtk_widget_destroy(self);
                     return TRUE;
                   }),
                   nullptr);
  gtk_widget_show_all(window);
  gtk_widget_grab_focus(close);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DescribeCertificate(const std::vector<BYTE>& der) {
  if (der.empty()) return {};
  const unsigned char* cursor = der.data();
  foundation::Unique<X509, X509_free> cert(
      d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cert) return {};
  return {
      {"Subject", NameText(X509_get_subject_name(cert.get()))},
      {"Issuer", NameText(X509_get_issuer_name(cert.get()))},
      {"Serial number", SerialText(cert.get())},
      {"Valid from", TimeText(X509_get0_notBefore(cert.get()))},
      {"Valid to", TimeText(X509_get0_notAfter(cert.get()))},
      {"Key usage", KeyUsageText(cert.get())},
      {"SHA-1 fingerprint", Fingerprint(cert.get(), EVP_sha1())},
      {"SHA-256 fingerprint", Fingerprint(cert.get(), EVP_sha256())},
  };
}

void ShowCertificateDetails(GtkWindow* owner, const std::vector<BYTE>& der) {
  if (OpenInViewer(der)) return;
  ShowOwnDetails(owner, der);
}

void RemoveViewerFiles() {
  for (const std::string& path : ViewerFiles()) g_unlink(path.c_str());
  ViewerFiles().clear();
}

}  // namespace select_dialog
