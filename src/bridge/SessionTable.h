// The open sessions of one browser connection, by the worker's number.
#pragma once

#include <cstddef>
#include <map>
#include <memory>

#include "bridge/Session.h"

namespace bridge {

class SessionTable {
 public:
  SessionTable(std::shared_ptr<FrameWriter> writer, Services& services);
  ~SessionTable();

  // The frame to answer with when the session cannot be opened, else empty.
  std::string Open(const OpenMessage& open);
  std::string Call(CallMessage call);
  void Close(Number session);
  // Closes every session and waits up to `milliseconds` for their workers.
  bool CloseAll(int milliseconds);
  std::size_t Size() const { return m_sessions.size(); }

 private:
  std::shared_ptr<FrameWriter> m_writer;
  Services& m_services;
  std::shared_ptr<WorkerCount> m_workers;
  std::map<Number, std::shared_ptr<Session>> m_sessions;
};

}  // namespace bridge
