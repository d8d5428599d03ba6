#include "util/compression/tessel/internal/entropy.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/corpus.h"
#include "testing/test_streams.h"
#include "util/compression/tessel/internal/lz77.h"

namespace util {
namespace compression {
namespace tessel {
namespace {

using testing_streams::RandomBytes;
using testing_streams::Text;

// ---- An independent reader of the block format ------------------------------

// Reads a bit stream one bit at a time: 64-bit words stored little-endian,
// the most significant bit of each word first.
class BitReader {
 public:
  BitReader(const std::string& data, size_t start)
      : data_(data), start_(start) {}

  // Bits past the end of the data read as 1, so that running off the end
  // shows up as garbage rather than as plausible zeros.
  uint64 Read(int n) {
    uint64 v = 0;
    for (int i = 0; i < n; ++i, ++bit_) {
      const size_t byte = start_ + bit_ / 64 * 8 + (63 - bit_ % 64) / 8;
      const int shift = (63 - bit_ % 64) % 8;
      const int b = byte < data_.size() ? (data_[byte] >> shift) & 1 : 1;
      v = v << 1 | b;
    }
    return v;
  }
  // Where the stream's last word ends.
  size_t End() const { return start_ + (bit_ + 63) / 64 * 8; }
  uint64 bits_read() const { return bit_; }

 private:
  const std::string& data_;
  size_t start_;
  uint64 bit_ = 0;
};

uint32 BigEndian32(const std::string& s, size_t pos) {
  uint32 v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8>(s[pos + i]);
  return v;
}

// One command code read back into a command word.
unsigned ReadCommand(BitReader* bits) {
  static const int kLengthLength[8] = {0, 0, 2, 2, 2, 3, 3, 6};
  static const int kLengthChange[8] = {0, 0, 4, 4, 4, 8, 8, 4};
  static const int kOffsetLength[8] = {0, 0, 10, 13, 16, 10, 16, 16};
  const int type = static_cast<int>(bits->Read(3));
  if (type < 2) {
    const int c = type * 32 + static_cast<int>(bits->Read(5));
    if (c <= 52) return c + 1;
    return static_cast<unsigned>(bits->Read(c - 47)) + 1;
  }
  const unsigned length =
      static_cast<unsigned>(bits->Read(kLengthLength[type])) +
      kLengthChange[type];
  const unsigned offset =
      static_cast<unsigned>(bits->Read(kOffsetLength[type])) + 1;
  return CommandCopy(length, offset);
}

struct Block {
  std::vector<unsigned> commands;
  std::string content;
  bool coded = false;
  std::string mask;  // coded blocks only
};

// Decodes one block that must fill block exactly.
::testing::AssertionResult DecodeBlock(const std::string& block, Block* out) {
  if (block.size() < 2) return ::testing::AssertionFailure() << "no count";
  const unsigned count =
      static_cast<uint8>(block[0]) | static_cast<uint8>(block[1]) << 8;
  BitReader command_bits(block, 2);
  size_t content_size = 0;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned c = ReadCommand(&command_bits);
    if (!CommandIsCopy(c)) content_size += c;
    out->commands.push_back(c);
  }
  size_t pos = command_bits.End();
  if (pos + 4 > block.size()) return ::testing::AssertionFailure() << "short";
  const uint32 marker = BigEndian32(block, pos);
  if (marker == 0) {
    out->content = block.substr(pos + 4);
    if (out->content.size() != content_size) {
      return ::testing::AssertionFailure()
             << out->content.size() << " raw bytes for " << content_size;
    }
    return ::testing::AssertionSuccess();
  }
  out->coded = true;
  const size_t mask_start = pos;
  pos += 4;
  std::vector<int> listed;
  for (int g = 0; g < 32; ++g) {
    if ((marker >> (31 - g) & 1) == 0) continue;
    const uint8 group = block[pos++];
    for (int l = 0; l < 8; ++l) {
      if (group >> (7 - l) & 1) listed.push_back(8 * g + l);
    }
  }
  if (listed.size() != 96) {
    return ::testing::AssertionFailure() << listed.size() << " values listed";
  }
  std::vector<uint8> best, next_best;
  for (int k = 0; k < 96; ++k) {
    const bool six = static_cast<uint8>(block[pos + k / 8]) >> (7 - k % 8) & 1;
    (six ? best : next_best).push_back(static_cast<uint8>(listed[k]));
  }
  pos += 12;
  if (best.size() != 32) {
    return ::testing::AssertionFailure() << best.size() << " 6-bit values";
  }
  out->mask = block.substr(mask_start, pos - mask_start);
  BitReader bits(block, pos);
  for (size_t i = 0; i < content_size; ++i) {
    const int x = static_cast<int>(bits.Read(6));
    if (x < 32) {
      out->content.push_back(static_cast<char>(best[x]));
    } else if (x < 48) {
      out->content.push_back(
          static_cast<char>(next_best[(x - 32) * 4 + bits.Read(2)]));
    } else {
      out->content.push_back(static_cast<char>((x - 48) * 16 + bits.Read(4)));
    }
  }
  if (bits.End() != block.size()) {
    return ::testing::AssertionFailure()
           << "coded content ends at " << bits.End() << " of " << block.size();
  }
  return ::testing::AssertionSuccess();
}

// ---- Helpers ----------------------------------------------------------------

std::string Compress(const std::string& content,
                     const std::vector<unsigned>& commands) {
  std::string out(
      Entropy::MaxCompressedSize(static_cast<unsigned>(content.size()),
                                 static_cast<unsigned>(commands.size())),
      '\0');
  Entropy entropy;
  char* end =
      entropy.Compress(reinterpret_cast<const uint8*>(content.data()),
                       static_cast<unsigned>(content.size()), commands.data(),
                       static_cast<unsigned>(commands.size()), &out[0]);
  out.resize(end - out.data());
  return out;
}

using testing_streams::Bytes;

// ---- Bit writer -------------------------------------------------------------

struct Write {
  int n;
  uint64 value;
};

std::vector<uint64> WriteAll(const std::vector<Write>& writes,
                             std::string* bytes) {
  bytes->assign(8 * writes.size() + 8, '\x55');
  Entropy entropy;
  unsigned pending;
  uint64 accumulator;
  entropy.StartWriteBits(&pending, &accumulator, &(*bytes)[0]);
  for (const Write& w : writes) {
    entropy.WriteBits(w.n, w.value, &pending, &accumulator);
  }
  entropy.FlushBits(pending, &accumulator);
  EXPECT_EQ(entropy.GetWriteBitsOutput(), bytes->data());
  bytes->resize(8 * entropy.GetWriteBitsOutputSize());
  std::vector<uint64> words(bytes->size() / 8);
  if (!words.empty()) memcpy(words.data(), bytes->data(), bytes->size());
  return words;
}

TEST(BitWriterTest, WordBoundaries) {
  const uint64 k60 = 0x0123456789ABCDEF;
  const struct {
    const char* name;
    std::vector<Write> writes;
    std::vector<uint64> words;
  } kCases[] = {
      {"nothing", {}, {}},
      {"one bit", {{1, 1}}, {uint64{1} << 63}},
      // 4 bits fit, 8 spill: the word ends with the value's top 4 bits.
      {"spill after 60",
       {{60, k60}, {12, 0xABC}},
       {k60 << 4 | 0xA, uint64{0xBC} << 56}},
      {"spill of 54 after 10",
       {{10, 0x3FF}, {60, k60}},
       {uint64{0x3FF} << 54 | k60 >> 6, (k60 & 63) << 58}},
      // The word fills exactly; what the accumulator keeps is discarded.
      {"exact fill",
       {{40, 0xFFFFFFFFFF}, {24, 0x123456}, {8, 0x81}},
       {uint64{0xFFFFFFFFFF} << 24 | 0x123456, uint64{0x81} << 56}},
      {"exact fill, no more", {{4, 0xF}, {60, k60}}, {uint64{0xF} << 60 | k60}},
      {"two spills in a row",
       {{50, 1}, {30, 0x3FFFFFFF}, {60, k60}},
       {uint64{1} << 14 | 0x3FFF, uint64{0xFFFF} << 48 | k60 >> 12,
        (k60 & 0xFFF) << 52}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string bytes;
    EXPECT_EQ(WriteAll(c.writes, &bytes), c.words);
  }
}

TEST(BitWriterTest, RandomWritesReadBack) {
  std::mt19937_64 rng(42);
  for (int round = 0; round < 300; ++round) {
    std::vector<Write> writes(1 + rng() % 200);
    uint64 total = 0;
    for (Write& w : writes) {
      // Mostly short codes, with a share of the widest.
      w.n = rng() % 4 == 0 ? 55 + rng() % 6 : 1 + rng() % 60;
      w.value = rng() & (~uint64{0} >> (64 - w.n));
      total += w.n;
    }
    std::string bytes;
    WriteAll(writes, &bytes);
    ASSERT_EQ(bytes.size(), (total + 63) / 64 * 8) << round;
    BitReader reader(bytes, 0);
    for (size_t i = 0; i < writes.size(); ++i) {
      ASSERT_EQ(reader.Read(writes[i].n), writes[i].value)
          << "round " << round << ", write " << i;
    }
    const int padding = static_cast<int>(bytes.size() * 8 - total);
    if (padding > 0) {
      EXPECT_EQ(reader.Read(padding), 0u) << round;
    }
  }
}

// ---- Command codes ----------------------------------------------------------

TEST(EntropyTest, CommandCodes) {
  const struct {
    unsigned word;
    int bits;
    uint64 code;
  } kCases[] = {
      {1, 8, 0},
      {53, 8, 52},
      {54, 14, 53 << 6 | 53},
      {127, 15, 54 << 7 | 126},
      {65536, 24, 63 << 16 | 65535},
      {CommandCopy(4, 1), 15, 0x2000},
      {CommandCopy(7, 1024), 15, 2 << 12 | 3 << 10 | 1023},
      {CommandCopy(4, 1025), 18, 3 << 15 | 1024},
      {CommandCopy(7, 8192), 18, 3 << 15 | 3 << 13 | 8191},
      {CommandCopy(4, 8193), 21, 4 << 18 | 8192},
      {CommandCopy(5, 65536), 21, 4 << 18 | 1 << 16 | 65535},
      {CommandCopy(8, 1), 16, 5 << 13},
      {CommandCopy(15, 1024), 16, 5 << 13 | 7 << 10 | 1023},
      {CommandCopy(8, 1025), 22, 6 << 19 | 1024},
      {CommandCopy(15, 65536), 22, 6 << 19 | 7 << 16 | 65535},
      {CommandCopy(16, 1), 25, 7 << 22 | 12 << 16},
      {CommandCopy(67, 65536), 25, 7 << 22 | 63 << 16 | 65535},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.word);
    std::string stream(16, '\0');
    Entropy entropy;
    entropy.CompressCommands(&c.word, 1, &stream[0]);
    ASSERT_EQ(entropy.GetWriteBitsOutputSize(), 1u);
    uint64 word;
    memcpy(&word, stream.data(), 8);
    EXPECT_EQ(word, c.code << (64 - c.bits));
    BitReader reader(stream, 0);
    EXPECT_EQ(ReadCommand(&reader), c.word);
  }
}

// Every copy length with offsets on both sides of each power of two, and
// literal runs around each code width, in one stream.
TEST(EntropyTest, CommandStreamReadsBack) {
  std::vector<unsigned> commands;
  for (unsigned length = 4; length <= 67; ++length) {
    for (unsigned log = 0; log <= 16; ++log) {
      const unsigned offset = 1u << log;
      commands.push_back(CommandCopy(length, offset));
      if (offset > 1) commands.push_back(CommandCopy(length, offset - 1));
      if (offset < 65536) commands.push_back(CommandCopy(length, offset + 1));
    }
  }
  for (unsigned length : {1, 2, 52, 53, 54, 55, 64, 65, 100, 4096, 4097, 32768,
                          32769, 65535, 65536}) {
    commands.push_back(length);
  }
  std::shuffle(commands.begin(), commands.end(), std::mt19937(3));
  std::string stream(8 * commands.size(), '\0');
  Entropy entropy;
  entropy.CompressCommands(commands.data(),
                           static_cast<unsigned>(commands.size()), &stream[0]);
  stream.resize(8 * entropy.GetWriteBitsOutputSize());
  BitReader reader(stream, 0);
  for (size_t i = 0; i < commands.size(); ++i) {
    ASSERT_EQ(ReadCommand(&reader), commands[i]) << i;
  }
  EXPECT_EQ(reader.End(), stream.size());
}

TEST(EntropyTest, ExposedTables) {
  EXPECT_EQ(testing::ExposeOrder(0), 0);
  EXPECT_EQ(testing::ExposeOrder(16), 1);
  EXPECT_EQ(testing::ExposeOrder(31), 15);
  EXPECT_EQ(testing::ExposeKBitsType(79), 7);
  EXPECT_EQ(testing::ExposeKLengthBits(13), 18);
  EXPECT_EQ(testing::ExposeKOffsetBits(26), 16);
}

// ---- Block layout -----------------------------------------------------------

TEST(EntropyTest, SmallBlocks) {
  const struct {
    std::string content;
    std::vector<unsigned> commands;
    std::string block;
  } kCases[] = {
      {"a", {1}, Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a'})},
      {"ab", {2}, Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 'a', 'b'})},
      // A 3-byte run (00000010), then a copy of 4 from 3 back (type 2,
      // length field 0, offset field 2: 010 00 0000000010): the word
      // 0x0240040000000000, stored little-endian.
      {"abc",
       {3, CommandCopy(4, 3)},
       Bytes(
           {2, 0, 0, 0, 0, 0, 0, 0x04, 0x40, 0x02, 0, 0, 0, 0, 'a', 'b', 'c'})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.content);
    EXPECT_EQ(Compress(c.content, c.commands), c.block);
  }
}

TEST(EntropyTest, MaxCompressedSize) {
  const struct {
    unsigned content, commands, size;
  } kCases[] = {
      {0, 1, 58},        {1, 1, 66}, {6, 1, 66}, {7, 1, 74},
      {65536, 1, 81978}, {1, 2, 66}, {1, 3, 74}, {65536, 26216, 163898},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Entropy::MaxCompressedSize(c.content, c.commands), c.size)
        << c.content << " " << c.commands;
  }
}

// ---- The content decision ---------------------------------------------------

TEST(EntropyTest, SamplePositions) {
  // Period 0 is all zeros; period 1 holds 1 + its index at each position;
  // the 42-byte tail is not a whole period and is not sampled.
  std::string content(43, '\0');
  for (int i = 0; i < 43; ++i) content.push_back(static_cast<char>(1 + i));
  content += std::string(42, '\xF0');
  uint8 samples[256];
  memset(samples, 0xEE, sizeof(samples));
  Entropy::SampleContent(reinterpret_cast<const uint8*>(content.data()),
                         static_cast<unsigned>(content.size()), samples);
  std::vector<int> expected(256, 0);
  expected[0] = 31;
  const int kPositions[] = {0, 2, 7, 13, 16, 23, 25, 30, 36, 39};
  const int kBits[] = {1, 2, 4, 8, 16, 1, 2, 4, 8, 1};
  for (int k = 0; k < 10; ++k) expected[1 + kPositions[k]] = kBits[k];
  EXPECT_EQ(std::vector<int>(samples, samples + 256), expected);
}

TEST(EntropyTest, CountSamples) {
  // Classes: mask 31 -> 15 (weight: what the others leave of 43000, at
  // least 1000), 15 -> 14 (717), 7 -> 11 (312), 19 -> 10 (270), 18 -> 4
  // (145), 1 -> 3 (93), 0 -> 0 (33). Coded when 6 * top32 + 352 >
  // 10 * bottom160.
  const struct {
    const char* name;
    // (mask, number of values) from value 255 downward; the rest mask 0.
    std::vector<std::pair<int, int>> runs;
    bool coded;
  } kCases[] = {
      // 52192 against 52800.
      {"32 of class 10", {{19, 32}}, false},
      // 60256 against 52800.
      {"32 of class 11", {{7, 32}}, true},
      // The top walk takes 40 and gives back 8.
      {"40 of class 10", {{19, 40}}, false},
      // The bottom walk takes 216 of class 0 and gives back 56.
      {"40 of class 11", {{7, 40}}, true},
      // One value takes the weight the others leave: 34585.
      {"one value of class 15", {{31, 1}}, true},
      // Classes 0 to 14 leave less than nothing: 6 * (1000 + 31 * 717) +
      // 352 = 139714 against 10 * (50 * 33 + 110 * 145) = 176000.
      {"one value of class 15, the rest spent",
       {{31, 1}, {15, 31}, {18, 174}},
       false},
      // The others leave nothing, so class 15 counts 1000 each: 192352
      // against 10 * (100 * 93 + 60 * 145) = 180000.
      {"class 15 at its floor", {{31, 32}, {15, 64}, {18, 60}, {1, 100}}, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    uint8 samples[256] = {};
    int v = 255;
    for (const auto& run : c.runs) {
      for (int i = 0; i < run.second; ++i) samples[v--] = run.first;
    }
    EXPECT_EQ(Entropy::CountSamples(samples), c.coded);
  }
  // With every value in one class the estimate is 32 w against 160 w. (256
  // values of one class would overflow their 8-bit counter; value 0 is left
  // out instead.)
  for (int mask = 0; mask < 32; ++mask) {
    uint8 equal[256];
    memset(equal, mask, sizeof(equal));
    EXPECT_FALSE(Entropy::CountSamples(equal)) << mask;
  }
}

TEST(EntropyTest, ContentDecision) {
  const struct {
    const char* name;
    std::string content;
    bool coded;
  } kCases[] = {
      {"200 bytes stay raw", std::string(200, 'a'), false},
      {"201 bytes of one value", std::string(201, 'a'), true},
      {"201 random bytes", RandomBytes(201, 1), false},
      {"random", RandomBytes(20000, 2), false},
      {"text", Text(20000, 3), true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<unsigned> commands = {
        static_cast<unsigned>(c.content.size())};
    const std::string block = Compress(c.content, commands);
    Block decoded;
    ASSERT_TRUE(DecodeBlock(block, &decoded));
    EXPECT_EQ(decoded.coded, c.coded);
    EXPECT_EQ(decoded.commands, commands);
    EXPECT_TRUE(decoded.content == c.content);
    if (c.coded) {
      EXPECT_NE(BigEndian32(decoded.mask, 0), 0u);
    }
  }
}

// ---- The code mask ----------------------------------------------------------

TEST(EntropyTest, CodeMask) {
  std::vector<int> low(256, 10);
  for (int v = 0; v < 96; ++v) low[v] = v < 32 ? 6 : 8;
  std::vector<int> spread(256, 10);
  for (int v = 0; v < 256; ++v) {
    if (v % 8 < 3) spread[v] = v % 8 == 0 ? 6 : 8;
  }
  const struct {
    const char* name;
    std::vector<int> lengths;
    std::string mask;
  } kCases[] = {
      {"values 0 to 95", low,
       Bytes({0xFF, 0xF0, 0, 0}) + std::string(12, '\xFF') +
           Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + std::string(8, '\0')},
      // Three values in every group, the first of each with a 6-bit code:
      // length bits 100 repeated.
      {"three per group", spread,
       Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + std::string(32, '\xE0') +
           Bytes({0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92,
                  0x49, 0x24})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    uint8 mask[48];
    memset(mask, 0xEE, sizeof(mask));
    const int n = Entropy::BuildEntropyCodeBitmask(c.lengths.data(), mask);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(mask), n), c.mask);
  }
}

// ---- Whole blocks from the generator ----------------------------------------

// Parses input as the driver does, writes every block, reads it back with
// the reader above and checks the commands, the content and both size
// bounds. Counts coded blocks into *coded.
void RoundTrip(const std::string& input, int* coded) {
  const size_t n = input.size();
  LZ77 lz77(static_cast<int>(std::min(n, kBlockSize)));
  std::string out(Entropy::MaxCompressedSize(kBlockSize, 26216), '\0');
  Entropy entropy;
  for (size_t p = 0; p < n; p += kBlockSize) {
    SCOPED_TRACE(::testing::Message() << "block at " << p);
    const size_t size = std::min(kBlockSize, n - p);
    char* content;
    unsigned content_size, commands_size;
    unsigned* commands;
    lz77.CompressFragment(input.data() + p, size,
                          p > 0 ? input.data() + p - kBlockSize : nullptr,
                          &content, &content_size, &commands, &commands_size);
    char* end =
        entropy.Compress(reinterpret_cast<const uint8*>(content), content_size,
                         commands, commands_size, &out[0]);
    const std::string block(out.data(), end);
    ASSERT_LE(block.size(),
              Entropy::MaxCompressedSize(content_size, commands_size));
    ASSERT_LE(block.size(),
              Entropy::MaxCompressedSize(static_cast<unsigned>(size), 1));
    Block decoded;
    ASSERT_TRUE(DecodeBlock(block, &decoded));
    ASSERT_TRUE(decoded.commands ==
                std::vector<unsigned>(commands, commands + commands_size));
    ASSERT_TRUE(decoded.content == std::string(content, content_size));
    *coded += decoded.coded;
  }
}

TEST(EntropyTest, GeneratorOutputReadsBack) {
  const struct {
    const char* name;
    std::string input;
  } kCases[] = {
      {"text", Text(200000, 1)},
      {"random", RandomBytes(70000, 2)},
      {"one value", std::string(65536 * 2, 'r')},
      {"short text", Text(300, 3)},
      {"text in random", RandomBytes(30000, 4) + Text(50000, 5)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    int coded = 0;
    RoundTrip(c.input, &coded);
  }
}

TEST(EntropyCorpusTest, EveryBlockReadsBack) {
  const std::vector<std::string> files = testing_corpus::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << testing_corpus::MissingCorpusMessage();
  int coded = 0;
  for (const std::string& file : files) {
    SCOPED_TRACE(testing_corpus::ShortName(file));
    RoundTrip(testing_corpus::ReadFile(file), &coded);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(coded, 0);
}

// ---- Broken command words are refused ---------------------------------------

TEST(EntropyDeathTest, BadCommandWords) {
  const struct {
    std::vector<unsigned> commands;
    const char* message;
  } kCases[] = {
      {{}, "Check failed: commands_size >= 1"},
      {{0}, "Check failed: v < 1u << kBlockLog"},
      {{65537}, "Check failed: v < 1u << kBlockLog"},
      {{CommandCopy(3, 1)}, "Check failed: length - 4 < 1 << 6"},
      {{CommandCopy(68, 1)}, "Check failed: length - 4 < 1 << 6"},
      {{CommandCopy(4, 0)}, "Check failed: offset < 1 << 16"},
      {{CommandCopy(4, 65537)}, "Check failed: offset < 1 << 16"},
  };
  for (const auto& c : kCases) {
    std::string out(64, '\0');
    Entropy entropy;
    EXPECT_DEATH(entropy.CompressCommands(
                     c.commands.data(),
                     static_cast<unsigned>(c.commands.size()), &out[0]),
                 c.message);
  }
}

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
