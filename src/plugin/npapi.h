// Our declarations of the published NPAPI and npruntime ABI, in the Unix
// layout (no calling-convention decoration, natural 64-bit alignment).
// Only what this module touches is typed; the other table slots keep their
// place as opaque function pointers.
#pragma once

#include <cstdint>

extern "C" {

using NPBool = unsigned char;
using NPError = std::int16_t;
using NPReason = std::int16_t;
using NPMIMEType = char*;
using NPUTF8 = char;

inline constexpr NPError NPERR_NO_ERROR = 0;
inline constexpr NPError NPERR_GENERIC_ERROR = 1;
inline constexpr NPError NPERR_INVALID_INSTANCE_ERROR = 2;
inline constexpr NPError NPERR_INVALID_FUNCTABLE_ERROR = 3;
inline constexpr NPError NPERR_MODULE_LOAD_FAILED_ERROR = 4;
inline constexpr NPError NPERR_OUT_OF_MEMORY_ERROR = 5;
inline constexpr NPError NPERR_INVALID_PLUGIN_ERROR = 6;
inline constexpr NPError NPERR_INVALID_PLUGIN_DIR_ERROR = 7;
inline constexpr NPError NPERR_INCOMPATIBLE_VERSION_ERROR = 8;
inline constexpr NPError NPERR_INVALID_PARAM = 9;

inline constexpr int NP_VERSION_MAJOR = 0;
inline constexpr int NP_VERSION_MINOR = 27;
inline constexpr std::uint16_t NP_EMBED = 1;
inline constexpr std::uint16_t NP_FULL = 2;

struct NPP_t {
  void* pdata;  // plug-in private data
  void* ndata;  // browser private data
};
using NPP = NPP_t*;

struct NPSavedData {
  std::int32_t len;
  void* buf;
};

struct NPStream {
  void* pdata;
  void* ndata;
  const char* url;
  std::uint32_t end;
  std::uint32_t lastmodified;
  void* notifyData;
  const char* headers;
};

struct NPWindow;
struct NPPrint;

enum NPPVariable : int {
  NPPVpluginNameString = 1,
  NPPVpluginDescriptionString = 2,
  NPPVpluginWindowBool = 3,
  NPPVpluginTransparentBool = 4,
  NPPVjavaClass = 5,
  NPPVpluginWindowSize = 6,
  NPPVpluginTimerInterval = 7,
  NPPVpluginNeedsXEmbed = 14,
  NPPVpluginScriptableNPObject = 15,
};

enum NPNVariable : int {
  NPNVxDisplay = 1,
  NPNVxtAppContext = 2,
  NPNVnetscapeWindow = 3,
  NPNVjavascriptEnabledBool = 4,
  NPNVSupportsXEmbedBool = 14,
  NPNVWindowNPObject = 15,
  NPNVToolkit = 13,
};

// ---- npruntime -------------------------------------------------------------

using NPIdentifier = void*;
struct NPObject;
struct NPClass;

struct NPString {
  const NPUTF8* UTF8Characters;
  std::uint32_t UTF8Length;
};

enum NPVariantType : int {
  NPVariantType_Void = 0,
  NPVariantType_Null = 1,
  NPVariantType_Bool = 2,
  NPVariantType_Int32 = 3,
  NPVariantType_Double = 4,
  NPVariantType_String = 5,
  NPVariantType_Object = 6,
};

struct NPVariant {
  NPVariantType type;
  union {
    bool boolValue;
    std::int32_t intValue;
    double doubleValue;
    NPString stringValue;
    NPObject* objectValue;
  } value;
};

using NPAllocateFunctionPtr = NPObject* (*)(NPP npp, NPClass* aClass);
using NPDeallocateFunctionPtr = void (*)(NPObject* npobj);
using NPInvalidateFunctionPtr = void (*)(NPObject* npobj);
using NPHasMethodFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name);
using NPInvokeFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                     std::uint32_t argCount, NPVariant* result);
using NPInvokeDefaultFunctionPtr = bool (*)(NPObject* npobj, const NPVariant* args,
                                            std::uint32_t argCount, NPVariant* result);
using NPHasPropertyFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name);
using NPGetPropertyFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name, NPVariant* result);
using NPSetPropertyFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name,
                                          const NPVariant* value);
using NPRemovePropertyFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier name);
using NPEnumerationFunctionPtr = bool (*)(NPObject* npobj, NPIdentifier** value,
                                          std::uint32_t* count);
using NPConstructFunctionPtr = bool (*)(NPObject* npobj, const NPVariant* args,
                                        std::uint32_t argCount, NPVariant* result);

inline constexpr std::uint32_t NP_CLASS_STRUCT_VERSION = 3;

struct NPClass {
  std::uint32_t structVersion;
  NPAllocateFunctionPtr allocate;
  NPDeallocateFunctionPtr deallocate;
  NPInvalidateFunctionPtr invalidate;
  NPHasMethodFunctionPtr hasMethod;
  NPInvokeFunctionPtr invoke;
  NPInvokeDefaultFunctionPtr invokeDefault;
  NPHasPropertyFunctionPtr hasProperty;
  NPGetPropertyFunctionPtr getProperty;
  NPSetPropertyFunctionPtr setProperty;
  NPRemovePropertyFunctionPtr removeProperty;
  NPEnumerationFunctionPtr enumerate;
  NPConstructFunctionPtr construct;
};

struct NPObject {
  NPClass* _class;
  std::uint32_t referenceCount;
};

// ---- function tables -------------------------------------------------------

using NPGenericFuncPtr = void (*)();

using NPP_NewProcPtr = NPError (*)(NPMIMEType pluginType, NPP instance, std::uint16_t mode,
                                   std::int16_t argc, char* argn[], char* argv[],
                                   NPSavedData* saved);
using NPP_DestroyProcPtr = NPError (*)(NPP instance, NPSavedData** save);
using NPP_SetWindowProcPtr = NPError (*)(NPP instance, NPWindow* window);
using NPP_NewStreamProcPtr = NPError (*)(NPP instance, NPMIMEType type, NPStream* stream,
                                         NPBool seekable, std::uint16_t* stype);
using NPP_DestroyStreamProcPtr = NPError (*)(NPP instance, NPStream* stream, NPReason reason);
using NPP_StreamAsFileProcPtr = void (*)(NPP instance, NPStream* stream, const char* fname);
using NPP_WriteReadyProcPtr = std::int32_t (*)(NPP instance, NPStream* stream);
using NPP_WriteProcPtr = std::int32_t (*)(NPP instance, NPStream* stream, std::int32_t offset,
                                          std::int32_t len, void* buffer);
using NPP_PrintProcPtr = void (*)(NPP instance, NPPrint* platformPrint);
using NPP_HandleEventProcPtr = std::int16_t (*)(NPP instance, void* event);
using NPP_URLNotifyProcPtr = void (*)(NPP instance, const char* url, NPReason reason,
                                      void* notifyData);
using NPP_GetValueProcPtr = NPError (*)(NPP instance, NPPVariable variable, void* value);
using NPP_SetValueProcPtr = NPError (*)(NPP instance, NPNVariable variable, void* value);

struct NPPluginFuncs {
  std::uint16_t size;
  std::uint16_t version;
  NPP_NewProcPtr newp;
  NPP_DestroyProcPtr destroy;
  NPP_SetWindowProcPtr setwindow;
  NPP_NewStreamProcPtr newstream;
  NPP_DestroyStreamProcPtr destroystream;
  NPP_StreamAsFileProcPtr asfile;
  NPP_WriteReadyProcPtr writeready;
  NPP_WriteProcPtr write;
  NPP_PrintProcPtr print;
  NPP_HandleEventProcPtr event;
  NPP_URLNotifyProcPtr urlnotify;
  void* javaClass;
  NPP_GetValueProcPtr getvalue;
  NPP_SetValueProcPtr setvalue;
  NPGenericFuncPtr gotfocus;
  NPGenericFuncPtr lostfocus;
  NPGenericFuncPtr urlredirectnotify;
  NPGenericFuncPtr clearsitedata;
  NPGenericFuncPtr getsiteswithdata;
  NPGenericFuncPtr didComposite;
};

using NPN_MemAllocProcPtr = void* (*)(std::uint32_t size);
using NPN_MemFreeProcPtr = void (*)(void* ptr);
using NPN_GetStringIdentifierProcPtr = NPIdentifier (*)(const NPUTF8* name);
using NPN_GetIntIdentifierProcPtr = NPIdentifier (*)(std::int32_t intid);
using NPN_IdentifierIsStringProcPtr = bool (*)(NPIdentifier identifier);
using NPN_UTF8FromIdentifierProcPtr = NPUTF8* (*)(NPIdentifier identifier);
using NPN_CreateObjectProcPtr = NPObject* (*)(NPP npp, NPClass* aClass);
using NPN_RetainObjectProcPtr = NPObject* (*)(NPObject* obj);
using NPN_ReleaseObjectProcPtr = void (*)(NPObject* obj);
using NPN_SetExceptionProcPtr = void (*)(NPObject* obj, const NPUTF8* message);
using NPN_GetValueProcPtr = NPError (*)(NPP instance, NPNVariable variable, void* value);
using NPN_SetValueProcPtr = NPError (*)(NPP instance, NPPVariable variable, void* value);

struct NPNetscapeFuncs {
  std::uint16_t size;
  std::uint16_t version;
  NPGenericFuncPtr geturl;
  NPGenericFuncPtr posturl;
  NPGenericFuncPtr requestread;
  NPGenericFuncPtr newstream;
  NPGenericFuncPtr write;
  NPGenericFuncPtr destroystream;
  NPGenericFuncPtr status;
  NPGenericFuncPtr uagent;
  NPN_MemAllocProcPtr memalloc;
  NPN_MemFreeProcPtr memfree;
  NPGenericFuncPtr memflush;
  NPGenericFuncPtr reloadplugins;
  NPGenericFuncPtr getJavaEnv;
  NPGenericFuncPtr getJavaPeer;
  NPGenericFuncPtr geturlnotify;
  NPGenericFuncPtr posturlnotify;
  NPN_GetValueProcPtr getvalue;
  NPN_SetValueProcPtr setvalue;
  NPGenericFuncPtr invalidaterect;
  NPGenericFuncPtr invalidateregion;
  NPGenericFuncPtr forceredraw;
  NPN_GetStringIdentifierProcPtr getstringidentifier;
  NPGenericFuncPtr getstringidentifiers;
  NPN_GetIntIdentifierProcPtr getintidentifier;
  NPN_IdentifierIsStringProcPtr identifierisstring;
  NPN_UTF8FromIdentifierProcPtr utf8fromidentifier;
  NPGenericFuncPtr intfromidentifier;
  NPN_CreateObjectProcPtr createobject;
  NPN_RetainObjectProcPtr retainobject;
  NPN_ReleaseObjectProcPtr releaseobject;
  NPGenericFuncPtr invoke;
  NPGenericFuncPtr invokeDefault;
  NPGenericFuncPtr evaluate;
  NPGenericFuncPtr getproperty;
  NPGenericFuncPtr setproperty;
  NPGenericFuncPtr removeproperty;
  NPGenericFuncPtr hasproperty;
  NPGenericFuncPtr hasmethod;
  NPGenericFuncPtr releasevariantvalue;
  NPN_SetExceptionProcPtr setexception;
  NPGenericFuncPtr pushpopupsenabledstate;
  NPGenericFuncPtr poppopupsenabledstate;
  NPGenericFuncPtr enumerate;
  NPGenericFuncPtr pluginthreadasynccall;
  NPGenericFuncPtr construct;
  NPGenericFuncPtr getvalueforurl;
  NPGenericFuncPtr setvalueforurl;
  NPGenericFuncPtr getauthenticationinfo;
  NPGenericFuncPtr scheduletimer;
  NPGenericFuncPtr unscheduletimer;
  NPGenericFuncPtr popupcontextmenu;
  NPGenericFuncPtr convertpoint;
  NPGenericFuncPtr handleevent;
  NPGenericFuncPtr unfocusinstance;
  NPGenericFuncPtr urlredirectresponse;
};

}  // extern "C"

// The smallest tables this module accepts: the plug-in table must reach past
// `setvalue`, the browser table past `getauthenticationinfo` (60 and 196
// bytes in the 32-bit layout; 120 and 392 here).
#include <cstddef>
inline constexpr std::size_t kMinPluginFuncsSize =
    offsetof(NPPluginFuncs, setvalue) + sizeof(NPPluginFuncs::setvalue);
inline constexpr std::size_t kMinNetscapeFuncsSize =
    offsetof(NPNetscapeFuncs, getauthenticationinfo) +
    sizeof(NPNetscapeFuncs::getauthenticationinfo);
// Members copied from the browser's table: `size` through `setexception`.
inline constexpr std::size_t kCopiedNetscapeFuncsSize =
    offsetof(NPNetscapeFuncs, setexception) + sizeof(NPNetscapeFuncs::setexception);
static_assert(kMinPluginFuncsSize == 120 || sizeof(void*) == 4);
static_assert(kMinNetscapeFuncsSize == 392 || sizeof(void*) == 4);

#define NPVARIANT_IS_VOID(v) ((v).type == NPVariantType_Void)
#define NPVARIANT_IS_NULL(v) ((v).type == NPVariantType_Null)
#define NPVARIANT_IS_BOOLEAN(v) ((v).type == NPVariantType_Bool)
#define NPVARIANT_IS_STRING(v) ((v).type == NPVariantType_String)
