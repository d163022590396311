#include "bridge/SelfTest.h"

#include <unistd.h>

#include <string>

#include "bridge/Manifest.h"
#include "bridge/MethodTable.h"
#include "platform/store/CertStore.h"
#include "platform/base/Resources.h"
#include "resources/ModuleResources.h"
#include "resources/StringTable.h"
#include "ui/CertificateDialogs.h"
#include "ui/HelperProcess.h"

namespace bridge {
namespace {

struct Checks {
  std::FILE* out;
  int failed = 0;

  void Report(bool ok, const std::string& what, const std::string& why = {}) {
    if (ok)
      std::fprintf(out, "ok      %s\n", what.c_str());
    else
      std::fprintf(out, "FAILED  %s%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
    if (!ok) ++failed;
  }
};

bool StoreOpens(DWORD location, const char16_t* name) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                   0, location | CERT_STORE_READONLY_FLAG, name);
  if (!store) return false;
  CertCloseStore(store, 0);
  return true;
}

}  // namespace

int RunSelfTest(std::FILE* out) {
  Checks checks{out};
  const std::string program = ProgramPath();
  std::fprintf(out, "npsigil-bridge %s at %s\n", ModuleVersion(),
               program.empty() ? "(unknown path)" : program.c_str());

  char16_t text[128] = {};
  checks.Report(LoadStringW(GetSigilModuleHandle(), IDS_SITE_NOT_ALLOWED, text, 127) > 0,
                "the module's texts load", "the string table is empty");

  // The same search the dialogs make: the override, else beside this program.
  const std::string helper =
      ui::HelperProgramPath(kSelectDialogPathVariable, "npsigil-select-dialog");
  checks.Report(!helper.empty() && ::access(helper.c_str(), X_OK) == 0,
                "the dialog helper runs from " + (helper.empty() ? std::string("?") : helper),
                "not found or not executable");

  checks.Report(StoreOpens(CERT_SYSTEM_STORE_CURRENT_USER, u"MY"), "the user's certificates read",
                "the user's MY store does not open");
  checks.Report(StoreOpens(CERT_SYSTEM_STORE_LOCAL_MACHINE, u"ROOT"),
                "the machine's trusted roots read", "the machine's ROOT store does not open");

  const auto extension = ExtensionFolder(program);
  // Not a failure: a host registered for an extension from a store needs
  // no unpacked copy.
  std::fprintf(out, "info    the unpacked extension: %s\n",
               extension ? extension->c_str() : "none beside this program");
  std::fprintf(out, "%s\n", checks.failed ? "npsigil-bridge cannot serve pages" : "ready");
  return checks.failed ? 1 : 0;
}

}  // namespace bridge
