#include "strings/bytestream.h"

#include <string>

#include "gtest/gtest.h"

namespace strings {
namespace {

// A sink that records what it was given; keeps the base GetAppendBuffer.
class StringSink : public ByteSink {
 public:
  void Append(const char* bytes, size_t n) override { data.append(bytes, n); }
  std::string data;
};

TEST(CheckedArrayByteSinkTest, KeepsWhatFitsAndFlagsOverflow) {
  char buf[10];
  CheckedArrayByteSink sink(buf, sizeof buf);
  sink.Append("0123456789abcde", 15);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(sink.NumberOfBytesWritten(), 10u);
  EXPECT_TRUE(sink.Overflowed());
  sink.Append("x", 1);
  EXPECT_EQ(sink.NumberOfBytesWritten(), 10u);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST(CheckedArrayByteSinkTest, LendsItsOwnRoomOrTheScratch) {
  char buf[10], scratch[16];
  CheckedArrayByteSink sink(buf, sizeof buf);
  sink.Append("01234", 5);
  size_t allocated = 0;
  // Enough room: the write position itself, written in place.
  char* p = sink.GetAppendBuffer(4, 100, scratch, sizeof scratch, &allocated);
  EXPECT_EQ(p, buf + 5);
  EXPECT_EQ(allocated, 5u);
  memcpy(p, "abc", 3);
  sink.Append(p, 3);
  EXPECT_EQ(std::string(buf, 8), "01234abc");
  // Not enough room: the scratch.
  p = sink.GetAppendBuffer(8, 8, scratch, sizeof scratch, &allocated);
  EXPECT_EQ(p, scratch);
  EXPECT_EQ(allocated, sizeof scratch);
}

TEST(ByteSourceTest, CopyToMovesBytesAcrossFragments) {
  const std::string input = "the quick brown fox";
  ArrayByteSource source(input);
  StringSink sink;
  source.CopyTo(&sink, input.size());
  EXPECT_EQ(sink.data, input);
  EXPECT_EQ(source.Available(), 0u);
  EXPECT_TRUE(source.Peek().empty());
}

TEST(ByteSinkTest, BaseBehaviour) {
  StringSink sink;
  char scratch[8];
  size_t allocated = 0;
  EXPECT_EQ(sink.GetAppendBuffer(3, 100, scratch, 8, &allocated), scratch);
  EXPECT_EQ(allocated, 8u);
  EXPECT_EQ(sink.MinAppendMemBlockLength(), 512u);
  char* bytes = new char[5];
  memcpy(bytes, "block", 5);
  sink.AppendMemBlock(new NewedMemBlock(bytes, 5));
  sink.AppendMemBlock(nullptr);
  EXPECT_EQ(sink.data, "block");
}

TEST(LimitByteSourceTest, PassesAtMostTheLimit) {
  const std::string input = "0123456789";
  ArrayByteSource source(input);
  LimitByteSource limited(&source, 3);
  EXPECT_EQ(limited.Available(), 3u);
  EXPECT_EQ(limited.Peek().ToString(), "012");
  limited.Skip(1);
  StringSink sink;
  limited.CopyTo(&sink, 2);
  EXPECT_EQ(sink.data, "12");
  EXPECT_EQ(limited.Available(), 0u);
  EXPECT_EQ(source.Available(), 7u);
}

TEST(GrowingArrayByteSinkTest, GrowthRules) {
  struct Case {
    size_t append, capacity_after;
  } cases[] = {{10, 150}, {50, 150}, {60, 160}, {300, 400}};
  for (const Case& c : cases) {
    GrowingArrayByteSink sink(100);
    const std::string full(100, 'x'), more(c.append, 'y');
    sink.Append(full.data(), full.size());
    EXPECT_EQ(sink.capacity(), 100u);
    sink.Append(more.data(), more.size());
    EXPECT_EQ(sink.capacity(), c.capacity_after) << c.append;
    size_t n = 0;
    char* buffer = sink.GetBuffer(&n);
    EXPECT_EQ(std::string(buffer, n), full + more);
    delete[] buffer;
    EXPECT_EQ(sink.capacity(), 0u);
  }
}

TEST(GrowingArrayByteSinkTest, InPlaceWritesAndShrinking) {
  GrowingArrayByteSink sink(1000);
  char scratch[1];
  size_t allocated = 0;
  char* p = sink.GetAppendBuffer(1, 10, scratch, 1, &allocated);
  EXPECT_EQ(allocated, 1000u);
  memcpy(p, "abc", 3);
  sink.Append(p, 3);
  sink.ShrinkToFit();
  EXPECT_EQ(sink.capacity(), 3u);
  GrowingArrayByteSink small(256);
  small.Append("a", 1);
  small.ShrinkToFit();
  EXPECT_EQ(small.capacity(), 256u);
}

TEST(StringByteSinkTest, AppendsCopiedAndInPlaceBytes) {
  std::string dest = "head:";
  StringByteSink sink(&dest);
  sink.Append("one,", 4);
  char scratch[1];
  size_t allocated = 0;
  char* p = sink.GetAppendBuffer(8, 100, scratch, 1, &allocated);
  EXPECT_EQ(allocated, 100u);
  memcpy(p, "two,", 4);
  sink.Append(p, 4);  // written in place: only 4 of the 100 are kept
  EXPECT_EQ(dest, "head:one,two,");
  p = sink.GetAppendBuffer(8, 8, scratch, 1, &allocated);
  sink.Append("three", 5);  // a loan left unused, then a copy
  EXPECT_EQ(dest, "head:one,two,three");
}

TEST(UncheckedArrayByteSinkTest, WritesWithoutBounds) {
  char buf[16] = {0};
  UncheckedArrayByteSink sink(buf);
  sink.Append("abc", 3);
  char scratch[4];
  size_t allocated = 0;
  char* p = sink.GetAppendBuffer(2, 9, scratch, 4, &allocated);
  EXPECT_EQ(p, buf + 3);
  EXPECT_EQ(allocated, 9u);
  memcpy(p, "de", 2);
  sink.Append(p, 2);
  EXPECT_EQ(sink.CurrentDestination(), buf + 5);
  EXPECT_EQ(std::string(buf, 5), "abcde");
}

TEST(ByteStreamDeathTest, FatalChecks) {
  StringSink sink;
  char scratch[4];
  size_t allocated;
  EXPECT_DEATH(sink.GetAppendBuffer(0, 0, scratch, 4, &allocated),
               "Check failed: min_capacity >= 1");
  EXPECT_DEATH(sink.GetAppendBuffer(5, 0, scratch, 4, &allocated),
               "Check failed: scratch_capacity >= min_capacity");
  ArrayByteSource source("abc");
  EXPECT_DEATH(source.CopyTo(&sink, 4), "ByteSource::CopyTo\\(\\) overran input.");
  EXPECT_DEATH(source.Skip(4), "Check failed: n <= input_.size\\(\\)");
  char buf[8];
  CheckedArrayByteSink checked(buf, sizeof buf);
  EXPECT_DEATH(checked.Append(buf + 2, 2),
               "Append\\(\\) bytes\\[\\] overlaps with outbuf_\\[\\]");
  ArrayByteSource ten("0123456789");
  LimitByteSource limited(&ten, 3);
  EXPECT_DEATH(limited.Skip(4), "Check failed: n <= limit_");
  GrowingArrayByteSink growing(16);
  growing.Append("abcd", 4);
  char* inside = growing.GetAppendBuffer(1, 1, buf, 8, &allocated) - 2;
  EXPECT_DEATH(growing.Append(inside, 1),
               "Append\\(\\) bytes\\[\\] overlaps with buf_\\[\\]");
}

}  // namespace
}  // namespace strings
