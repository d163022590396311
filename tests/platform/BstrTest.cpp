#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "foundation/Unique.h"
#include "platform/base/Bstr.h"
#include "platform/base/WideString.h"

namespace {
using BstrPtr = foundation::Unique<char16_t, SysFreeString>;
}  // namespace

TEST(Bstr, AllocStringCountsBytesAndTerminates) {
  BstrPtr b(SysAllocString(u"ab\u4e2dc"));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 4u);
  EXPECT_EQ(SysStringByteLen(b.get()), 8u);
  EXPECT_EQ(b.get()[4], 0);
  EXPECT_EQ(wcscmp(b.get(), u"ab\u4e2dc"), 0);
}

TEST(Bstr, EmbeddedNullsKeepTheirLength) {
  const char16_t text[] = {u'a', 0, u'b'};
  BstrPtr b(SysAllocStringLen(text, 3));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringLen(b.get()), 3u);
  EXPECT_EQ(b.get()[2], u'b');
  EXPECT_EQ(b.get()[3], 0);
}

TEST(Bstr, OddByteLengthStillHasTerminator) {
  BstrPtr b(SysAllocStringByteLen("abc", 3));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringByteLen(b.get()), 3u);
  EXPECT_EQ(SysStringLen(b.get()), 1u);  // whole characters only
  const auto* bytes = reinterpret_cast<const unsigned char*>(b.get());
  EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
  EXPECT_EQ(bytes[3], 0);
  EXPECT_EQ(bytes[4], 0);
}

TEST(Bstr, NullSourceGivesZeroedBuffer) {
  BstrPtr b(SysAllocStringByteLen(nullptr, 6));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringByteLen(b.get()), 6u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b.get()[i], 0);

  BstrPtr l(SysAllocStringLen(nullptr, 2));
  ASSERT_TRUE(l);
  EXPECT_EQ(SysStringLen(l.get()), 2u);
}

TEST(Bstr, EmptyIsNotNull) {
  BstrPtr b(SysAllocString(u""));
  ASSERT_TRUE(b);
  EXPECT_EQ(SysStringByteLen(b.get()), 0u);
  EXPECT_EQ(b.get()[0], 0);
}

TEST(Bstr, NullHandling) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Bstr, LengthThatCannotFitIsRefused) {
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
}
