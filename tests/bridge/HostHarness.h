// The host driven in-process as the browser drives it: frames written to
// its input, every frame it writes collected (and checked against the
// browsers' size limit), stand-ins for the file chooser, the real folder
// grants.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/Messages.h"
#include "bridge/Services.h"

namespace bridgetest {

using bridge::Json;
using namespace std::chrono_literals;

// The real grants; a chooser that answers from a list, and can be held so
// that a call stays running as long as a test needs.
class StandInServices : public bridge::Services {
 public:
  bool IsInsideGrantedFolder(const consent::Origin& origin, std::string_view resolvedPath) override;
  HRESULT ChooseFile(const consent::Origin& origin, bool save, std::string* path) override;

  // The next choice: a path, or cancelled when empty.
  void Answer(std::string path);
  // While held, a chooser call waits (it counts as running).
  void Hold();
  void Release();
  // Waits until this many chooser calls have started.
  bool WaitForCalls(int count, std::chrono::milliseconds wait = 5s);
  int Calls();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> answers_;
  bool held_ = false;
  int calls_ = 0;
};

class HostUnderTest {
 public:
  explicit HostUnderTest(bridge::Services& services);
  ~HostUnderTest();

  void Send(const Json& message);
  void SendRaw(const std::string& bytes);  // length prefix included
  void Open(bridge::Number session, const std::string& origin, const std::string& top = "");
  void Call(bridge::Number session, bridge::Number id, const std::string& method, Json args);
  void Close(bridge::Number session);

  // The next frame the host wrote, or null after the wait.
  Json Next(std::chrono::milliseconds wait = 10s);
  // The result for a call: its chunks (if any) joined into "value", the
  // chunk count in "chunksSeen". Other frames met on the way are kept.
  Json Result(bridge::Number session, bridge::Number id, std::chrono::milliseconds wait = 30s);
  // Frames not yet taken.
  std::vector<Json> Pending();
  // Ends the input as a closing browser does; true when the host returned
  // within the wait, *finished whether it ended as it should (exit code 0).
  bool EndInput(std::chrono::milliseconds wait, bool* finished = nullptr);
  double SecondsToReturn() const { return returnSeconds_; }
  bool Returned();

 private:
  void ReadLoop();

  int toHost_[2] = {-1, -1};
  int fromHost_[2] = {-1, -1};
  std::thread host_;
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Json> frames_;
  bool hostReturned_ = false;
  bool hostFinished_ = false;
  double returnSeconds_ = 0;
};

// A call's arguments as JSON.
inline Json Args(std::initializer_list<Json> values) {
  Json array = Json::array();
  for (const Json& value : values) array.push_back(value);
  return array;
}

}  // namespace bridgetest
