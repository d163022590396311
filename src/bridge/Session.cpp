#include "bridge/Session.h"

#include <openssl/crypto.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "agent/CryptoAgent.h"
#include "bridge/CallTimings.h"
#include "bridge/Chunker.h"
#include "bridge/MethodTable.h"
#include "bridge/OriginPolicy.h"
#include "bridge/Utf.h"
#include "platform/base/Bstr.h"
#include "resources/ResultCodes.h"
#include "ui/FileChooser.h"

namespace bridge {

namespace {

// Passwords and contents leave memory as soon as the call is over.
struct ArgsWiper {
  std::vector<AgentArg>& args;
  ~ArgsWiper() {
    for (AgentArg& arg : args)
      if (!arg.text.empty()) OPENSSL_cleanse(arg.text.data(), arg.text.size() * sizeof(char16_t));
  }
};

struct BstrHolder {
  BSTR value = nullptr;
  ~BstrHolder() {
    if (value) SysFreeString(value);
  }
};

std::string LastErrorText(CCryptoAgent& agent) {
  BstrHolder desc;
  if (FAILED(agent.GetLastErrorDesc(&desc.value)) || !desc.value) return {};
  return Utf16ToUtf8Lenient(std::u16string_view(desc.value, SysStringLen(desc.value)));
}

bool ArgumentsMatch(const MethodInfo& method, const Json& args) {
  if (args.size() != method.args.size()) return false;
  for (std::size_t i = 0; i < method.args.size(); ++i) {
    const bool wantBoolean = method.args[i].kind == ArgKind::Boolean;
    if (wantBoolean ? !args[i].is_boolean() : !args[i].is_string()) return false;
  }
  return true;
}

}  // namespace

void WorkerCount::Add() {
  std::lock_guard lock(m_lock);
  ++m_running;
}

void WorkerCount::Done() {
  std::lock_guard lock(m_lock);
  if (--m_running == 0) m_idle.notify_all();
}

bool WorkerCount::WaitIdle(int milliseconds) {
  std::unique_lock lock(m_lock);
  return m_idle.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [this] { return m_running == 0; });
}

Session::Session(const OpenMessage& open, std::shared_ptr<FrameWriter> writer,
                 Services& services, std::shared_ptr<WorkerCount> workers)
    : m_id(open.session),
      m_writer(std::move(writer)),
      m_services(services),
      m_workers(std::move(workers)) {
  m_refused = !AcceptOrigin(open.origin, &m_origin) || !AcceptOrigin(open.top, &m_top);
}

Session::~Session() = default;

std::shared_ptr<Session> Session::Start(const OpenMessage& open,
                                        std::shared_ptr<FrameWriter> writer, Services& services,
                                        std::shared_ptr<WorkerCount> workers) {
  std::shared_ptr<Session> session(new Session(open, std::move(writer), services, workers));
  workers->Add();
  try {
    std::thread([session] { session->Run(); }).detach();
  } catch (...) {
    workers->Done();
    return nullptr;
  }
  return session;
}

bool Session::Enqueue(CallMessage call) {
  std::lock_guard lock(m_lock);
  if (m_closed) return true;
  if (m_queue.size() >= kMaxQueuedCalls) return false;
  m_queue.push_back(std::move(call));
  m_wake.notify_one();
  return true;
}

void Session::Close() {
  std::lock_guard lock(m_lock);
  m_closed = true;
  m_queue.clear();
  m_wake.notify_one();
}

void Session::Run() {
  {
    // The agent lives on this thread only: created, used and destroyed here.
    std::unique_ptr<CCryptoAgent> agent;
    if (!m_refused) {
      agent = std::make_unique<CCryptoAgent>();
      agent->ServePage(m_origin.text, m_top.text);
    }
    for (;;) {
      CallMessage call;
      {
        std::unique_lock lock(m_lock);
        m_wake.wait(lock, [this] { return m_closed || !m_queue.empty(); });
        if (m_closed) break;
        call = std::move(m_queue.front());
        m_queue.pop_front();
      }
      if (m_refused) {
        SendFailure(call, {"origin-refused", kBridgeAccessDenied,
                           "The bridge does not serve this page's origin: only https pages, "
                           "and http pages on localhost, may use it."});
        continue;
      }
      Answer(*agent, call);
    }
  }
  // This thread's own OpenSSL state goes now: once the worker is counted
  // done the host may exit before the thread's exit handlers ever run.
  OPENSSL_thread_stop();
  m_workers->Done();
}

void Session::Send(const std::string& frame) {
  {
    std::lock_guard lock(m_lock);
    if (m_closed) return;
  }
  m_writer->Write(frame);
}

void Session::SendFailure(const CallMessage& call, const Failure& failure) {
  Send(FailureFrame(m_id, call.id, failure));
}

void Session::SendText(const CallMessage& call, const std::string& value) {
  const std::vector<std::string_view> pieces = SplitForFrames(value);
  if (pieces.size() == 1) {
    Send(TextResultFrame(m_id, call.id, value));
    return;
  }
  for (std::size_t seq = 0; seq < pieces.size(); ++seq)
    Send(ChunkFrame(m_id, call.id, seq, pieces[seq]));
  Send(ChunkedResultFrame(m_id, call.id, pieces.size()));
}

void Session::AnswerChoice(const CallMessage& call, bool save) {
  if (!call.args.empty()) {
    SendFailure(call, {"arguments", kBridgeInvalidArg,
                       std::string(save ? "chooseSaveFile" : "chooseFile") +
                           " takes no arguments."});
    return;
  }
  std::string chosen;
  const HRESULT hr = m_services.ChooseFile(m_origin, save, &chosen);
  if (hr == ui::kFileChoiceCancelled) {
    SendFailure(call, {"cancelled", kBridgeCancelled, "The user cancelled the file choice."});
    return;
  }
  std::string resolved;
  if (FAILED(hr) || !ResolveArgumentPath(chosen, save, &resolved)) {
    SendFailure(call, {"failed", FAILED(hr) ? hr : E_FAIL, "No file could be chosen."});
    return;
  }
  (save ? m_chosen.outputs : m_chosen.inputs).insert(resolved);
  SendText(call, resolved);
}

void Session::Answer(CCryptoAgent& agent, const CallMessage& call) {
  if (call.method == "chooseFile" || call.method == "chooseSaveFile") {
    AnswerChoice(call, call.method == "chooseSaveFile");
    return;
  }
  const MethodInfo* method = FindMethod(call.method);
  if (!method) {
    SendFailure(call, {"protocol", kBridgeInvalidArg, "Unknown method."});
    return;
  }
  if (!ArgumentsMatch(*method, call.args)) {
    // As the plug-in: the last error stays what it was.
    SendFailure(call, {"arguments", kBridgeInvalidArg,
                       "Wrong arguments: the method takes " + Signature(*method) + "."});
    return;
  }

  std::vector<AgentArg> args(method->args.size());
  ArgsWiper wiper{args};
  for (std::size_t i = 0; i < method->args.size(); ++i) {
    const MethodArg& declared = method->args[i];
    if (declared.kind == ArgKind::Boolean) {
      args[i].flag = call.args[i].get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
      continue;
    }
    const std::string& text = call.args[i].get_ref<const std::string&>();
    std::string resolved;
    // An empty name opens nothing: the agent refuses it as the plug-in's
    // callers know, an invalid argument.
    const bool isPath =
        (declared.role == ArgRole::InputPath || declared.role == ArgRole::OutputPath) && !text.empty();
    if (isPath) {
      const bool output = declared.role == ArgRole::OutputPath;
      if (!ResolveArgumentPath(text, output, &resolved) ||
          !PathAllowed(m_services, m_origin, m_chosen, resolved, output)) {
        const HRESULT hr = agent.RecordRefusal(SIGIL_E_FILE_NOT_GRANTED);
        SendFailure(call, {"file-not-granted", hr, LastErrorText(agent)});
        return;
      }
    }
    if (!Utf8ToUtf16Strict(isPath ? resolved : text, &args[i].text)) {
      SendFailure(call, {"protocol", kBridgeInvalidArg, "An argument is not valid UTF-8."});
      return;
    }
  }

  BstrHolder text;
  VARIANT_BOOL flag = VARIANT_FALSE;
  const auto started = std::chrono::steady_clock::now();
  const HRESULT hr = method->invoke(agent, args.data(), &text.value, &flag);
  RecordCallTime(call.method, std::chrono::steady_clock::now() - started);
  if (FAILED(hr)) {
    // Asked right away, on this thread, of this agent: the text belongs to
    // exactly this failure.
    const std::string message = LastErrorText(agent);
    SendFailure(call,
                {hr == SIGIL_E_SITE_NOT_ALLOWED ? "consent-denied" : "failed", hr, message});
    return;
  }
  if (method->result == ResultKind::Boolean) {
    Send(BooleanResultFrame(m_id, call.id, flag != VARIANT_FALSE));
    return;
  }
  std::string value;
  if (text.value) value = Utf16ToUtf8Lenient(std::u16string_view(text.value, SysStringLen(text.value)));
  SendText(call, value);
  if (!value.empty()) OPENSSL_cleanse(value.data(), value.size());
}

}  // namespace bridge
