#include "bridge/Services.h"

#include "consent/FolderGrants.h"
#include "platform/base/Resources.h"
#include "trace/Trace.h"
#include "ui/FileChooser.h"

namespace bridge {

namespace {

class Real final : public Services {
 public:
  bool IsInsideGrantedFolder(const consent::Origin& origin, std::string_view resolved) override {
    return consent::IsInsideGrantedFolder(origin, resolved);
  }
  HRESULT ChooseFile(const consent::Origin& origin, bool save, std::string* path) override {
    ui::FileChoice request;
    request.language = GetUserDefaultUILanguage();
    request.origin = origin.text;
    request.save = save;
    StepTrace trace(kTraceGuidUi, u"npsigil-bridge", u"ChooseFile");
    return ui::ChooseFile(request, path, trace);
  }
};

}  // namespace

Services& RealServices() {
  static Real services;
  return services;
}

}  // namespace bridge
