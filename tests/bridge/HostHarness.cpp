#include "HostHarness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "bridge/Framing.h"
#include "bridge/Host.h"
#include "consent/FolderGrants.h"

namespace bridgetest {

bool StandInServices::IsInsideGrantedFolder(const consent::Origin& origin,
                                            std::string_view resolvedPath) {
  return consent::IsInsideGrantedFolder(origin, resolvedPath);
}

HRESULT StandInServices::ChooseFile(const consent::Origin&, bool, std::string* path) {
  std::unique_lock lock(lock_);
  ++calls_;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !held_; });
  std::string answer;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  }
  if (answer.empty()) return HRESULT_FROM_WIN32(1223);  // the user cancelled
  *path = answer;
  return S_OK;
}

void StandInServices::Answer(std::string path) {
  std::lock_guard lock(lock_);
  answers_.push_back(std::move(path));
}

void StandInServices::Hold() {
  std::lock_guard lock(lock_);
  held_ = true;
}

void StandInServices::Release() {
  std::lock_guard lock(lock_);
  held_ = false;
  changed_.notify_all();
}

bool StandInServices::WaitForCalls(int count, std::chrono::milliseconds wait) {
  std::unique_lock lock(lock_);
  return changed_.wait_for(lock, wait, [&] { return calls_ >= count; });
}

int StandInServices::Calls() {
  std::lock_guard lock(lock_);
  return calls_;
}

HostUnderTest::HostUnderTest(bridge::Services& services) {
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(::pipe(toHost_), 0);
  EXPECT_EQ(::pipe(fromHost_), 0);
  host_ = std::thread([this, &services] {
    const auto start = std::chrono::steady_clock::now();
    const bool finished = bridge::RunHost(toHost_[0], fromHost_[1], services) == 0;
    std::lock_guard lock(lock_);
    hostFinished_ = finished;
    hostReturned_ = true;
    returnSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fromHost_[1]);
    fromHost_[1] = -1;
    changed_.notify_all();
  });
  reader_ = std::thread([this] { ReadLoop(); });
}

HostUnderTest::~HostUnderTest() {
  if (toHost_[1] >= 0) ::close(toHost_[1]);
  host_.join();
  reader_.join();
  for (int fd : {toHost_[0], fromHost_[0]})
    if (fd >= 0) ::close(fd);
}

void HostUnderTest::ReadLoop() {
  bridge::FrameReader reader(fromHost_[0], bridge::kMaxOutgoingFrame);
  std::string text;
  for (;;) {
    const bridge::FrameStatus status = reader.Next(&text);
    if (status == bridge::FrameStatus::TooLarge)
      ADD_FAILURE() << "the host wrote a frame over 1 MiB";
    if (status != bridge::FrameStatus::Frame) break;
    EXPECT_LE(text.size(), 960u * 1024) << "a frame over 960 KiB of JSON";
    Json json = Json::parse(text, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << "the host wrote a frame that is not JSON";
    EXPECT_TRUE(json.is_object());
    std::lock_guard lock(lock_);
    frames_.push_back(std::move(json));
    changed_.notify_all();
  }
}

void HostUnderTest::SendRaw(const std::string& bytes) {
  std::string_view left = bytes;
  while (!left.empty()) {
    const ssize_t n = ::write(toHost_[1], left.data(), left.size());
    ASSERT_GT(n, 0);
    left.remove_prefix(static_cast<std::size_t>(n));
  }
}

void HostUnderTest::Send(const Json& message) { SendRaw(bridge::EncodeFrame(message.dump())); }

void HostUnderTest::Open(bridge::Number session, const std::string& origin, const std::string& top) {
  Send({{"type", "open"}, {"session", session}, {"origin", origin},
        {"top", top.empty() ? origin : top}, {"tab", 1}, {"frame", 0},
        {"document", "D" + std::to_string(session)}, {"incognito", false}});
}

void HostUnderTest::Call(bridge::Number session, bridge::Number id, const std::string& method,
                         Json args) {
  Send({{"type", "call"}, {"session", session}, {"id", id}, {"method", method},
        {"args", std::move(args)}});
}

void HostUnderTest::Close(bridge::Number session) {
  Send({{"type", "close"}, {"session", session}});
}

Json HostUnderTest::Next(std::chrono::milliseconds wait) {
  std::unique_lock lock(lock_);
  if (!changed_.wait_for(lock, wait, [this] { return !frames_.empty(); })) return nullptr;
  Json next = std::move(frames_.front());
  frames_.pop_front();
  return next;
}

Json HostUnderTest::Result(bridge::Number session, bridge::Number id,
                           std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::string joined;
  std::size_t seen = 0;
  std::unique_lock lock(lock_);
  for (;;) {
    for (auto it = frames_.begin(); it != frames_.end();) {
      const Json& frame = *it;
      if (frame.value("session", Json()) != session || frame.value("id", Json()) != id) {
        ++it;
        continue;
      }
      if (frame.value("type", "") == "chunk") {
        EXPECT_EQ(frame.value("seq", Json()), seen) << "chunks out of order";
        joined += frame.value("data", "");
        ++seen;
        it = frames_.erase(it);
        continue;
      }
      Json result = *it;
      frames_.erase(it);
      if (result.contains("chunks")) {
        EXPECT_EQ(result["chunks"], seen);
        EXPECT_FALSE(result.contains("value"));
        result["value"] = joined;
      }
      result["chunksSeen"] = seen;
      return result;
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      ADD_FAILURE() << "no result for session " << session << " call " << id;
      return nullptr;
    }
  }
}

std::vector<Json> HostUnderTest::Pending() {
  std::lock_guard lock(lock_);
  return {frames_.begin(), frames_.end()};
}

bool HostUnderTest::Returned() {
  std::lock_guard lock(lock_);
  return hostReturned_;
}

bool HostUnderTest::EndInput(std::chrono::milliseconds wait, bool* finished) {
  if (toHost_[1] >= 0) ::close(toHost_[1]);
  toHost_[1] = -1;
  std::unique_lock lock(lock_);
  const bool returned = changed_.wait_for(lock, wait, [this] { return hostReturned_; });
  if (finished) *finished = hostFinished_;
  return returned;
}

}  // namespace bridgetest
