// Frames over a real pipe: a frame arrives whole however the bytes are cut,
// the end of input is told apart from a frame cut short, a frame over the
// limit costs no memory and leaves the next frame readable, and nothing
// over 1 MiB ever goes to the browser.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bridge/Framing.h"

namespace {

using bridge::FrameReader;
using bridge::FrameStatus;
using bridge::FrameWriter;

class Pipe {
 public:
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read_ = fds[0];
    write_ = fds[1];
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  int Read() const { return read_; }
  int Write() const { return write_; }
  void CloseRead() {
    if (read_ >= 0) ::close(read_);
    read_ = -1;
  }
  void CloseWrite() {
    if (write_ >= 0) ::close(write_);
    write_ = -1;
  }
  void Put(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(write_, bytes.data(), bytes.size());
      ASSERT_GT(n, 0);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

std::string Header(std::uint32_t length) {
  std::string header(4, '\0');
  std::memcpy(header.data(), &length, 4);
  return header;
}

std::string ReadAll(int fd) {
  std::string all;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) all.append(buffer, n);
  return all;
}

TEST(Framing, FrameArrivesWholeWhateverTheReadsReturn) {
  Pipe pipe;
  const std::string json = R"({"type":"open","session":1})";
  const std::string bytes = bridge::EncodeFrame(json) + bridge::EncodeFrame("{}");
  std::thread writer([&] {
    // One byte at a time, with pauses, so that the reader sees short reads
    // inside the header as well as inside the text.
    for (char c : bytes) {
      pipe.Put(std::string_view(&c, 1));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    pipe.CloseWrite();
  });
  FrameReader reader(pipe.Read());
  std::string text;
  EXPECT_EQ(reader.Next(&text), FrameStatus::Frame);
  EXPECT_EQ(text, json);
  EXPECT_EQ(reader.Next(&text), FrameStatus::Frame);
  EXPECT_EQ(text, "{}");
  EXPECT_EQ(reader.Next(&text), FrameStatus::End);
  writer.join();
}

TEST(Framing, EndOfInputInsideAFrameIsNotAFrame) {
  const std::string cases[] = {
      Header(10).substr(0, 2),   // inside the length
      Header(10) + "12345",      // inside the text
      Header(0x7fffffff) + "x",  // a length over the limit, cut short while discarded
  };
  for (const std::string& bytes : cases) {
    Pipe pipe;
    pipe.Put(bytes);
    pipe.CloseWrite();
    FrameReader reader(pipe.Read());
    std::string text = "left over";
    EXPECT_EQ(reader.Next(&text), FrameStatus::Truncated);
    EXPECT_TRUE(text.empty());
  }
  Pipe empty;
  empty.CloseWrite();
  std::string text;
  EXPECT_EQ(FrameReader(empty.Read()).Next(&text), FrameStatus::End);
}

TEST(Framing, EmptyFrameIsAFrame) {
  Pipe pipe;
  pipe.Put(Header(0));
  pipe.CloseWrite();
  FrameReader reader(pipe.Read());
  std::string text = "x";
  EXPECT_EQ(reader.Next(&text), FrameStatus::Frame);
  EXPECT_EQ(text, "");
}

TEST(Framing, OverLongFrameIsDiscardedAndTheNextOneRead) {
  Pipe pipe;
  const std::size_t tooLong = bridge::kMaxIncomingFrame + 1;
  std::thread writer([&] {
    pipe.Put(Header(static_cast<std::uint32_t>(tooLong)));
    const std::string piece(1u << 20, '{');
    for (std::size_t left = tooLong; left > 0;) {
      const std::size_t n = std::min(left, piece.size());
      pipe.Put(std::string_view(piece).substr(0, n));
      left -= n;
    }
    pipe.Put(bridge::EncodeFrame("{\"after\":1}"));
    pipe.CloseWrite();
  });
  FrameReader reader(pipe.Read());
  std::string text;
  EXPECT_EQ(reader.Next(&text), FrameStatus::TooLarge);
  EXPECT_EQ(reader.DiscardedLength(), tooLong);
  EXPECT_LT(text.capacity(), std::size_t{1} << 20);  // the discarded bytes were never held
  EXPECT_EQ(reader.Next(&text), FrameStatus::Frame);
  EXPECT_EQ(text, "{\"after\":1}");
  writer.join();

  // The limit itself is still a frame.
  Pipe exact;
  std::thread exactWriter([&] {
    exact.Put(bridge::EncodeFrame(std::string(bridge::kMaxIncomingFrame, ' ')));
    exact.CloseWrite();
  });
  FrameReader exactReader(exact.Read());
  EXPECT_EQ(exactReader.Next(&text), FrameStatus::Frame);
  EXPECT_EQ(text.size(), bridge::kMaxIncomingFrame);
  exactWriter.join();
}

TEST(Framing, WriterSendsAtMostOneMebibyte) {
  Pipe pipe;
  FrameWriter writer(pipe.Write());
  std::string got;
  std::thread reader([&] { got = ReadAll(pipe.Read()); });
  EXPECT_TRUE(writer.Write(std::string(bridge::kMaxOutgoingFrame, 'a')));
  EXPECT_FALSE(writer.Write(std::string(bridge::kMaxOutgoingFrame + 1, 'b')));
  EXPECT_TRUE(writer.Write("{}"));  // a refused frame does not break the stream
  pipe.CloseWrite();
  reader.join();
  EXPECT_EQ(got, bridge::EncodeFrame(std::string(bridge::kMaxOutgoingFrame, 'a')) +
                     bridge::EncodeFrame("{}"));
  EXPECT_EQ(bridge::kMaxOutgoingFrame, 1048576u);
}

TEST(Framing, FramesFromManyThreadsStayWhole) {
  Pipe pipe;
  FrameWriter writer(pipe.Write());
  std::string got;
  std::thread reader([&] { got = ReadAll(pipe.Read()); });
  std::vector<std::thread> threads;
  constexpr int kThreads = 4, kFrames = 50;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      // Frames larger than the pipe's buffer, so that writes come back short.
      const std::string json(100000 + t, static_cast<char>('a' + t));
      for (int i = 0; i < kFrames; ++i) EXPECT_TRUE(writer.Write(json));
    });
  for (auto& thread : threads) thread.join();
  pipe.CloseWrite();
  reader.join();

  int counts[kThreads] = {};
  for (std::size_t at = 0; at < got.size();) {
    ASSERT_LE(at + 4, got.size());
    std::uint32_t length;
    std::memcpy(&length, got.data() + at, 4);
    ASSERT_GE(length, 100000u);
    const int t = static_cast<int>(length - 100000);
    ASSERT_LT(t, kThreads);
    ASSERT_LE(at + 4 + length, got.size());
    EXPECT_EQ(got.compare(at + 4, length, std::string(length, static_cast<char>('a' + t))), 0);
    ++counts[t];
    at += 4 + length;
  }
  for (int count : counts) EXPECT_EQ(count, kFrames);
}

TEST(Framing, WriterToAGoneBrowserFailsAndStaysFailed) {
  ::signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  pipe.CloseRead();
  FrameWriter writer(pipe.Write());
  EXPECT_FALSE(writer.Write("{}"));
  EXPECT_TRUE(writer.Broken());
  EXPECT_FALSE(writer.Write("{}"));
}

}  // namespace
