// Large values in chunks: every chunk frame's JSON text stays within
// 960 KiB however much its data grows when escaped, no chunk ends inside a
// UTF-8 sequence (so no surrogate pair is split once the browser decodes
// it), and the chunks put together are the value, byte for byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bridge/Chunker.h"
#include "bridge/Messages.h"
#include "bridge/Utf.h"

namespace {

using bridge::SplitForFrames;

bool ValidUtf8(std::string_view text) {
  std::u16string ignored;
  return bridge::Utf8ToUtf16Strict(text, &ignored);
}

// Splits, checks each piece, and hands back the pieces put together.
std::string SplitAndJoin(const std::string& value, std::size_t budget, std::size_t* count) {
  std::string joined;
  const auto pieces = SplitForFrames(value, budget);
  for (std::string_view piece : pieces) {
    EXPECT_FALSE(piece.empty());
    EXPECT_LE(bridge::EscapedSize(piece), budget);
    EXPECT_TRUE(ValidUtf8(piece)) << "a chunk ends inside a UTF-8 sequence";
    joined.append(piece);
  }
  *count = pieces.size();
  return joined;
}

TEST(Chunker, EscapedSizeIsWhatTheJsonTextTakes) {
  std::string every;
  for (int c = 1; c < 0x80; ++c) every.push_back(static_cast<char>(c));
  every += "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
  const std::string dumped = bridge::Dump(every);
  EXPECT_EQ(bridge::EscapedSize(every), dumped.size() - 2);  // without the quotes
}

TEST(Chunker, FourByteSequencesAtEveryEdge) {
  // U+1F600 (a surrogate pair in UTF-16) between ASCII, at every offset
  // against every small budget.
  for (std::size_t offset = 0; offset < 5; ++offset) {
    std::string value(offset, 'a');
    for (int i = 0; i < 20; ++i) value += "\xF0\x9F\x98\x80" "b\"";
    for (std::size_t budget = 6; budget < 14; ++budget) {
      std::size_t count = 0;
      EXPECT_EQ(SplitAndJoin(value, budget, &count), value) << offset << " " << budget;
      EXPECT_GT(count, 1u);
    }
  }
}

TEST(Chunker, RandomTextSplitsBackBitExact) {
  std::mt19937 random(7);
  const char* const kPieces[] = {"a", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "\xC3\xA9",
                                 "\xE2\x82\xAC", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                                 "\xF4\x8F\xBF\xBF"};
  for (int round = 0; round < 50; ++round) {
    std::string value;
    const int length = static_cast<int>(random() % 400);
    for (int i = 0; i < length; ++i) value += kPieces[random() % std::size(kPieces)];
    const std::size_t budget = 6 + random() % 40;
    std::size_t count = 0;
    EXPECT_EQ(SplitAndJoin(value, budget, &count), value);
  }
}

TEST(Chunker, ChunkFramesOfEscapeHeavyValuesStayWithinTheFrameBudget) {
  struct Case {
    const char* name;
    std::string unit;
  };
  const Case cases[] = {
      {"quotes", "\""},
      {"control characters", "\x01"},
      {"mixed", "\"\x02\\\xF0\x9F\x98\x80\n\xE4\xB8\xAD"},
      {"plain", "A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string value;
    while (value.size() < (3u << 20)) value += c.unit;
    const auto pieces = SplitForFrames(value);
    ASSERT_GT(pieces.size(), 1u);
    std::string joined;
    std::size_t seq = 0;
    for (std::string_view piece : pieces) {
      // The largest numbers the worker may use.
      const std::string frame =
          bridge::ChunkFrame(9007199254740991, -9007199254740991, seq++, piece);
      EXPECT_LE(frame.size(), bridge::kMaxChunkFrameJson);
      EXPECT_LE(frame.size() + 4, 1048576u);
      const bridge::Json parsed = bridge::Json::parse(frame, nullptr, false);
      ASSERT_FALSE(parsed.is_discarded());
      joined += parsed["data"].get<std::string>();
    }
    EXPECT_TRUE(joined == value) << "reassembly differs";
    // Chunks are used well: at most one more than the escaped size needs.
    const std::size_t escaped = bridge::EscapedSize(value);
    EXPECT_LE(pieces.size(), escaped / (bridge::kMaxChunkFrameJson - 1024) + 2);
  }
}

TEST(Chunker, SmallValueIsOnePiece) {
  EXPECT_EQ(SplitForFrames("abc").size(), 1u);
  EXPECT_EQ(SplitForFrames("abc")[0], "abc");
}

}  // namespace
