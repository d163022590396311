#include "bridge/SessionTable.h"

#include "bridge/MethodTable.h"

namespace bridge {

SessionTable::SessionTable(std::shared_ptr<FrameWriter> writer, Services& services)
    : m_writer(std::move(writer)),
      m_services(services),
      m_workers(std::make_shared<WorkerCount>()) {}

SessionTable::~SessionTable() { CloseAll(0); }

std::string SessionTable::Open(const OpenMessage& open) {
  if (m_sessions.contains(open.session))
    return ErrorFrame("protocol", kBridgeInvalidArg, "This session is already open.", open.session);
  if (m_sessions.size() >= kMaxSessions)
    return ErrorFrame("busy", kBridgeBusy, "Too many pages use the bridge at once.", open.session);
  std::shared_ptr<Session> session = Session::Start(open, m_writer, m_services, m_workers);
  if (!session)
    return ErrorFrame("busy", kBridgeBusy, "The bridge could not start a worker.", open.session);
  m_sessions.emplace(open.session, std::move(session));
  return {};
}

std::string SessionTable::Call(CallMessage call) {
  const auto it = m_sessions.find(call.session);
  if (it == m_sessions.end())
    return FailureFrame(call.session, call.id,
                        {"protocol", kBridgeInvalidArg, "The call names no open session."});
  if (call.method != "chooseFile" && call.method != "chooseSaveFile" && !FindMethod(call.method))
    return FailureFrame(call.session, call.id,
                        {"protocol", kBridgeInvalidArg, "Unknown method \"" + call.method + "\"."});
  const Number session = call.session;
  const Number id = call.id;
  if (!it->second->Enqueue(std::move(call)))
    return FailureFrame(session, id,
                        {"busy", kBridgeBusy, "Too many calls of this page are waiting."});
  return {};
}

void SessionTable::Close(Number session) {
  const auto it = m_sessions.find(session);
  if (it == m_sessions.end()) return;
  it->second->Close();
  m_sessions.erase(it);
}

bool SessionTable::CloseAll(int milliseconds) {
  for (auto& [number, session] : m_sessions) session->Close();
  m_sessions.clear();
  return m_workers->WaitIdle(milliseconds);
}

}  // namespace bridge
