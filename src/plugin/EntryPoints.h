// What the exported entry points do; Exports.cpp gives them their C names.
#pragma once

#include "plugin/npapi.h"

namespace plugin {

inline constexpr const char* kMIMEDescription =
    "application/npSigil.TEAL.x86:*:npSigil certificate utilities;"
    "application/npSigil:*:npSigil certificate utilities";

NPError GetEntryPoints(NPPluginFuncs* pFuncs);
NPError Initialize(NPNetscapeFuncs* pBrowserFuncs, NPPluginFuncs* pPluginFuncs);
NPError Shutdown();
const char* GetMIMEDescription();
NPError GetValue(void* future, NPPVariable variable, void* value);
void Install();

}  // namespace plugin
