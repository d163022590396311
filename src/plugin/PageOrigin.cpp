#include "plugin/PageOrigin.h"

#include "plugin/BrowserFuncs.h"
#include "trace/Trace.h"

namespace plugin {
namespace {

// Longer texts are no origin; reading them whole would be wasted.
constexpr std::uint32_t kMaxOriginBytes = 1024;

// A property value owned until the end of the scope.
class Property {
 public:
  Property(NPP npp, NPObject* object, const char* name) {
    if (object != nullptr) m_ok = NPN_GetProperty(npp, object, NPN_GetStringIdentifier(name), &m_value);
  }
  ~Property() {
    if (m_ok) NPN_ReleaseVariantValue(&m_value);
  }
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;

  NPObject* Object() const {
    return m_ok && m_value.type == NPVariantType_Object ? m_value.value.objectValue : nullptr;
  }
  bool Text(std::string* text) const {
    if (!m_ok || m_value.type != NPVariantType_String) return false;
    const NPString& s = m_value.value.stringValue;
    if (s.UTF8Length > kMaxOriginBytes) return false;
    text->assign(s.UTF8Characters, s.UTF8Length);
    return true;
  }

 private:
  NPVariant m_value{};
  bool m_ok = false;
};

}  // namespace

std::string LearnPageOrigin(NPP npp) {
  TraceHelper trace("LearnPageOrigin");
  NPObject* window = nullptr;
  if (npp == nullptr || NPN_GetValue(npp, NPNVWindowNPObject, &window) != NPERR_NO_ERROR ||
      window == nullptr)
    return {};
  std::string origin;
  {
    const Property location(npp, window, "location");
    const Property protocol(npp, location.Object(), "protocol");
    std::string scheme;
    if (protocol.Text(&scheme) && scheme == "file:") {
      origin = "file://";
    } else {
      const Property text(npp, location.Object(), "origin");
      if (!text.Text(&origin) || origin == "null") origin.clear();
    }
  }
  NPN_ReleaseObject(window);
  TraceValue(kTraceGuidPlugin, "origin", origin.c_str());
  return origin;
}

}  // namespace plugin
