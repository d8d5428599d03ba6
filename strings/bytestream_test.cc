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
}

}  // namespace
}  // namespace strings
