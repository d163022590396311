// The module's copy of the browser's service table and the six services
// the plug-in calls, each traced on entry and exit.
#pragma once

#include "plugin/npapi.h"

namespace plugin {

// Copies `size` through `setexception` from the browser's table, with the
// Java hooks cleared. The caller has checked the table's size.
void SetBrowserFuncs(const NPNetscapeFuncs& browser);
void ClearBrowserFuncs();
const NPNetscapeFuncs& BrowserFuncs();

}  // namespace plugin

void* NPN_MemAlloc(std::uint32_t size);
NPIdentifier NPN_GetStringIdentifier(const NPUTF8* name);
NPUTF8* NPN_UTF8FromIdentifier(NPIdentifier identifier);
NPObject* NPN_CreateObject(NPP npp, NPClass* aClass);
NPObject* NPN_RetainObject(NPObject* obj);
void NPN_ReleaseObject(NPObject* obj);
// What the plug-in asks of the page it is embedded in: its window object
// and properties of it (the page's origin). Values come back owned by the
// caller and go back with NPN_ReleaseVariantValue.
NPError NPN_GetValue(NPP instance, NPNVariable variable, void* value);
bool NPN_GetProperty(NPP npp, NPObject* obj, NPIdentifier propertyName, NPVariant* result);
void NPN_ReleaseVariantValue(NPVariant* variant);
// npruntime hands identifier texts over with memalloc; they go back with
// memfree (the browser's own allocator), the one other service we touch.
void NPN_MemFree(void* ptr);
