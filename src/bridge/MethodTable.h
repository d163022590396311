// The 27 script methods as the bridge offers them: the plug-in's names in
// the plug-in's order, each argument's JSON kind and what it carries (so
// that paths are checked and passwords and contents never traced), the kind
// of result and the call into the agent.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "agent/CryptoAgent.h"
#include "platform/base/WinTypes.h"

namespace bridge {

enum class ArgKind { String, Boolean };
enum class ArgRole { Text, Password, Content, InputPath, OutputPath };
enum class ResultKind { Text, Boolean };

struct MethodArg {
  ArgKind kind;
  ArgRole role;
};

// One argument as the agent takes it: a terminated UTF-16 text or a flag.
struct AgentArg {
  std::u16string text;
  VARIANT_BOOL flag = VARIANT_FALSE;
};

// Calls the agent; *pText is a new BSTR (text methods) or *pFlag is set.
using Invoker = HRESULT (*)(CCryptoAgent& agent, const AgentArg* args, BSTR* pText,
                            VARIANT_BOOL* pFlag);

struct MethodInfo {
  const char* name;
  std::span<const MethodArg> args;
  ResultKind result;
  Invoker invoke;
};

std::span<const MethodInfo> Methods();
const MethodInfo* FindMethod(std::string_view name);

// "SignMsgPKCS7(string, string, boolean)", for the arguments error.
std::string Signature(const MethodInfo& method);

// The version GetVersion answers: the module's own, as the plug-in gives it.
const char* ModuleVersion();

}  // namespace bridge
