// One page's document: its own agent, working for the frame's origin, and
// its own worker thread, so that the calls of one page run in order while
// pages run side by side. Closing a session drops what is queued; a call
// already running finishes inside the agent (file operations cannot be
// interrupted), its answer is thrown away and the agent goes with it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/Framing.h"
#include "bridge/Messages.h"
#include "bridge/PathGrants.h"
#include "bridge/Services.h"
#include "consent/Origin.h"

class CCryptoAgent;

namespace bridge {

inline constexpr std::size_t kMaxSessions = 256;
inline constexpr std::size_t kMaxQueuedCalls = 16;

// The reasons and codes of failed calls.
inline constexpr HRESULT kBridgeInvalidArg = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT kBridgeAccessDenied = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT kBridgeOutOfMemory = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kBridgeBusy = static_cast<HRESULT>(0x800700AAu);
inline constexpr HRESULT kBridgeCancelled = static_cast<HRESULT>(0x800704C7u);

// Counts the worker threads still running, so that the host can wait a
// little for them at the end.
class WorkerCount {
 public:
  void Add();
  void Done();
  // True when none is left within `milliseconds`.
  bool WaitIdle(int milliseconds);

 private:
  std::mutex m_lock;
  std::condition_variable m_idle;
  std::size_t m_running = 0;
};

class Session {
 public:
  // Starts the worker. `refused` sessions answer every call "origin-refused".
  static std::shared_ptr<Session> Start(const OpenMessage& open,
                                        std::shared_ptr<FrameWriter> writer, Services& services,
                                        std::shared_ptr<WorkerCount> workers);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // False when kMaxQueuedCalls calls already wait.
  bool Enqueue(CallMessage call);
  void Close();

 private:
  Session(const OpenMessage& open, std::shared_ptr<FrameWriter> writer, Services& services,
          std::shared_ptr<WorkerCount> workers);
  void Run();
  void Answer(CCryptoAgent& agent, const CallMessage& call);
  void AnswerChoice(const CallMessage& call, bool save);
  // Writes unless the session was closed meanwhile.
  void Send(const std::string& frame);
  void SendFailure(const CallMessage& call, const Failure& failure);
  void SendText(const CallMessage& call, const std::string& value);

  Number m_id;
  bool m_refused = false;
  consent::Origin m_origin;
  consent::Origin m_top;  // the tab's top page: named in prompts, never consented for
  std::shared_ptr<FrameWriter> m_writer;
  Services& m_services;
  std::shared_ptr<WorkerCount> m_workers;
  ChosenFiles m_chosen;  // the worker's own

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<CallMessage> m_queue;
  bool m_closed = false;
};

}  // namespace bridge
