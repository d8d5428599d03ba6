#include "util/compression/tessel/internal/decompress.h"

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/test_streams.h"
#include "util/compression/tessel/internal/tessel.h"

namespace util {
namespace compression {
namespace tessel {
namespace {

using testing_streams::FragmentingSource;
using testing_streams::RandomBytes;
using testing_streams::RecordingSink;

using testing_streams::Bytes;

// Writes a bit stream the way the format stores it: most significant bit
// first into 64-bit words, each word little-endian.
class BitWriter {
 public:
  void Write(int n, uint64_t value) {
    for (int i = n - 1; i >= 0; --i) {
      word_ = (word_ << 1) | ((value >> i) & 1);
      if (++bits_ == 64) Store();
    }
  }
  std::string Finish() {
    if (bits_ > 0) {
      word_ <<= 64 - bits_;
      Store();
    }
    return out_;
  }

 private:
  void Store() {
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<char>(word_ >> (8 * i)));
    word_ = 0;
    bits_ = 0;
  }
  uint64_t word_ = 0;
  int bits_ = 0;
  std::string out_;
};

// Builds one block from commands, independently of the encoder.
class BlockBuilder {
 public:
  BlockBuilder& Literal(const std::string& bytes) {
    const uint32_t v = bytes.size() - 1;
    if (v <= 52) {
      commands_.Write(8, v);
    } else {
      const int b = 32 - __builtin_clz(v);
      commands_.Write(8, 47 + b);
      commands_.Write(b, v);
    }
    content_ += bytes;
    count_++;
    return *this;
  }
  BlockBuilder& Copy(uint32_t length, uint32_t offset) {
    const uint32_t o = offset - 1;
    if (length <= 7) {
      const int type = offset <= 1024 ? 2 : offset <= 8192 ? 3 : 4;
      commands_.Write(3, type);
      commands_.Write(2, length - 4);
      commands_.Write(type == 2 ? 10 : type == 3 ? 13 : 16, o);
    } else if (length <= 15) {
      commands_.Write(3, offset <= 1024 ? 5 : 6);
      commands_.Write(3, length - 8);
      commands_.Write(offset <= 1024 ? 10 : 16, o);
    } else {
      commands_.Write(3, 7);
      commands_.Write(6, length - 4);
      commands_.Write(16, o);
    }
    count_++;
    return *this;
  }
  // The block with raw content.
  std::string Raw() {
    return Count() + Commands() + std::string(4, '\0') + content_;
  }
  // The block with content coded by a mask that gives 6-bit codes to byte
  // values 0..31 and 8-bit codes to 32..95 (mask bytes overridable).
  std::string Coded(const std::string& mask = StandardMask()) {
    BitWriter bits;
    for (unsigned char c : content_) {
      if (c < 32) {
        bits.Write(6, c);
      } else if (c < 96) {
        bits.Write(8, 0x80 | (c - 32));
      } else {
        bits.Write(10, 0x300 | c);
      }
    }
    return Count() + Commands() + mask + bits.Finish();
  }
  static std::string StandardMask() {
    std::string mask = Bytes({0xFF, 0xF0, 0x00, 0x00});
    mask += std::string(12, '\xFF');                      // groups 0..11
    mask += Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + std::string(8, '\0');
    return mask;
  }

 private:
  std::string Count() const {
    return Bytes({static_cast<int>(count_ & 0xff), static_cast<int>(count_ >> 8)});
  }
  std::string Commands() {
    std::string s = commands_.Finish();
    return s.empty() ? std::string(8, '\0') : s;
  }
  BitWriter commands_;
  std::string content_;
  unsigned count_ = 0;
};

std::string Header(size_t length) {
  std::string h(1, '\0');
  while (length > 0) {
    h.push_back(static_cast<char>(length & 0xff));
    length >>= 8;
    h[0]++;
  }
  return h;
}

std::string Compressed(const std::string& input) {
  Tessel tessel;
  std::string out;
  tessel.Compress(input, &out);
  return out;
}

struct Decoded {
  bool flat_ok;
  std::string flat;
  bool stream_ok;
  std::string stream;
};

// Decodes through the flat API and through a stream of small fragments.
Decoded DecodeBoth(const std::string& compressed, size_t fragment = 1) {
  Decoded d;
  Tessel tessel;
  d.flat_ok = tessel.Uncompress(compressed, &d.flat);
  FragmentingSource source(compressed, {fragment});
  RecordingSink sink;
  d.stream_ok = tessel.UncompressStream(&source, &sink);
  d.stream = sink.data;
  return d;
}

TEST(TesselHeaderTest, Vectors) {
  struct Case {
    std::string header;
    bool ok;
    size_t length;
  } cases[] = {
      {"", false, 0},
      {Bytes({0x05, 0, 0, 0, 0, 0}), false, 0},
      {Bytes({0x02, 0x01}), false, 0},
      {Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x7F}), true, 2147483647},
      {Bytes({0x04, 0x00, 0x00, 0x00, 0x80}), false, 0},
      {Bytes({0x00}), true, 0},
      {Bytes({0x02, 0xFF, 0xFF}), true, 65535},
  };
  for (const Case& c : cases) {
    Tessel tessel;
    size_t length = 0;
    EXPECT_EQ(tessel.GetUncompressedLength(c.header, &length), c.ok);
    strings::ArrayByteSource source(c.header);
    size_t stream_length = 0;
    EXPECT_EQ(tessel.GetUncompressedLengthStream(&source, &stream_length), c.ok);
    if (c.ok) {
      EXPECT_EQ(length, c.length);
      EXPECT_EQ(stream_length, c.length);
      EXPECT_EQ(source.Available(), 0u);
    }
  }
}

TEST(TesselDecompressTest, HandWrittenStreams) {
  const std::string a = Bytes({0x01, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 0x61});
  const std::string ab = Bytes({0x01, 0x02, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0,
                                0x01, 0, 0, 0, 0, 0x61, 0x62});
  std::string a_plus = a + "x", a_minus = a.substr(0, a.size() - 1);
  std::string long_by_one = a, short_by_one = ab;
  long_by_one[1] = 2;
  short_by_one[1] = 1;
  const std::string block = BlockBuilder().Literal("xyz").Copy(4, 3).Raw();
  struct Case {
    const char* name;
    std::string stream;
    bool ok;
    std::string output;
  } cases[] = {
      {"a", a, true, "a"},
      {"ab", ab, true, "ab"},
      {"empty", Bytes({0x00}), true, ""},
      {"trailing byte", a_plus, false, ""},
      {"last byte missing", a_minus, false, ""},
      {"length one larger", long_by_one, false, ""},
      {"length one smaller", short_by_one, false, ""},
      {"copy", Header(7) + block, true, "xyzxyzx"},
      {"copy beyond output",
       Header(7) + BlockBuilder().Literal("xyz").Copy(4, 4).Raw(), false, ""},
      {"coded", Header(5) + BlockBuilder().Literal("\x01\x02" "A\xF0!").Coded(),
       true, "\x01\x02" "A\xF0!"},
      {"count 0 block", Header(3) + Bytes({0, 0}) + std::string(12, '\0') +
                            BlockBuilder().Literal("abc").Raw(),
       true, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = DecodeBoth(c.stream);
    EXPECT_EQ(d.flat_ok, c.ok);
    EXPECT_EQ(d.stream_ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(d.flat, c.output);
      EXPECT_EQ(d.stream, c.output);
    }
  }
}

TEST(TesselDecompressTest, InvalidMasks) {
  std::string content;
  for (int i = 0; i < 10; ++i) content.push_back(static_cast<char>(i));
  const std::string good_mask = BlockBuilder::StandardMask();
  std::string mask95 = good_mask, mask97 = good_mask, six33 = good_mask;
  mask95[4] = '\x7F';  // group 0 lists 7 values
  mask97.replace(0, 4, Bytes({0xFF, 0xF8, 0, 0}));  // 13 groups
  mask97.insert(16, "\x01");
  six33[20] = '\x80';  // the 33rd listed value flagged 6-bit
  struct Case {
    const char* name;
    std::string mask;
    bool ok;
  } cases[] = {{"96 values", good_mask, true},
               {"95 values", mask95, false},
               {"97 values", mask97, false},
               {"33 six-bit values", six33, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stream =
        Header(content.size()) + BlockBuilder().Literal(content).Coded(c.mask);
    const Decoded d = DecodeBoth(stream, 3);
    EXPECT_EQ(d.flat_ok, c.ok);
    EXPECT_EQ(d.stream_ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(d.flat, content);
    }
  }
}

// Two blocks: 64 KiB of random bytes, then copies reaching back into them
// (up to the full 65536) and a coded tail.
std::string TwoBlockStream(std::string* expected) {
  const std::string first = RandomBytes(Tessel::kBlockSize, 1);
  std::string second = first.substr(0, 67);  // offset 65536
  second += first.substr(Tessel::kBlockSize - 10, 10);  // offset 65536 + ...
  second += "tail bytes";
  *expected = first + second;
  std::string stream = Header(expected->size());
  BlockBuilder one;
  for (size_t i = 0; i < first.size(); i += 65535 / 2) {
    one.Literal(first.substr(i, std::min<size_t>(65535 / 2, first.size() - i)));
  }
  stream += one.Raw();
  stream += BlockBuilder()
                .Copy(67, 65536)
                .Copy(10, 67 + 10)
                .Literal("tail bytes")
                .Coded();
  return stream;
}

TEST(TesselDecompressTest, FragmentedInputAndCopiesIntoThePreviousBlock) {
  std::string expected;
  const std::string stream = TwoBlockStream(&expected);
  for (size_t fragment : {size_t{1}, size_t{7}, size_t{8192}, stream.size()}) {
    SCOPED_TRACE(fragment);
    const Decoded d = DecodeBoth(stream, fragment);
    ASSERT_TRUE(d.flat_ok);
    ASSERT_TRUE(d.stream_ok);
    EXPECT_TRUE(d.flat == expected);
    EXPECT_TRUE(d.stream == expected);
  }
}

TEST(TesselDecompressTest, SinkReceivesOneBufferOrBlocks) {
  std::string expected;
  const std::string stream = TwoBlockStream(&expected);
  Tessel tessel;
  {
    strings::ArrayByteSource source(stream);
    RecordingSink lending(/*lend=*/true);
    ASSERT_TRUE(tessel.UncompressStream(&source, &lending));
    EXPECT_EQ(lending.appends, 1);
    EXPECT_TRUE(lending.block_sizes.empty());
    EXPECT_TRUE(lending.data == expected);
  }
  {
    strings::ArrayByteSource source(stream);
    RecordingSink blocks;
    ASSERT_TRUE(tessel.UncompressStream(&source, &blocks));
    EXPECT_EQ(blocks.block_sizes,
              (std::vector<size_t>{65536, expected.size() - 65536}));
  }
}

TEST(TesselDecompressTest, ImplausibleLengthIsRefusedBeforeAllocating) {
  const std::string stream = Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x7F}) +
                             BlockBuilder().Literal("x").Raw();
  Tessel tessel;
  std::string out;
  EXPECT_FALSE(tessel.Uncompress(stream, &out));
  EXPECT_LT(out.capacity(), size_t{1} << 20);
}

TEST(TesselDecompressTest, DamagedStreamsFailCleanly) {
  std::string expected;
  const std::string stream = TwoBlockStream(&expected);
  std::mt19937 rng(2);
  for (int trial = 0; trial < 300; ++trial) {
    std::string damaged = stream;
    if (trial % 2 == 0) {
      damaged.resize(rng() % damaged.size());
    } else {
      damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
    }
    const Decoded d = DecodeBoth(damaged, 1 + trial % 13);
    EXPECT_EQ(d.flat_ok, d.stream_ok) << trial;
    if (d.flat_ok && d.stream_ok) {
      EXPECT_TRUE(d.flat == d.stream) << trial;
    }
  }
}

// Hands out its bytes in fragments that end at fixed positions, however the
// reader skips through them.
class CutSource : public strings::ByteSource {
 public:
  CutSource(const std::string& data, std::vector<size_t> cuts)
      : data_(data), cuts_(std::move(cuts)) {}
  size_t Available() const override { return data_.size() - pos_; }
  StringPiece Peek() override {
    size_t end = data_.size();
    for (size_t cut : cuts_) {
      if (cut > pos_) end = std::min(end, cut);
    }
    return StringPiece(data_.data() + pos_, end - pos_);
  }
  void Skip(size_t n) override { pos_ += n; }

 private:
  const std::string& data_;
  std::vector<size_t> cuts_;
  size_t pos_ = 0;
};

struct StreamResult {
  bool ok;
  std::string data;  // all the sink received, also on failure
  bool operator==(const StreamResult& o) const {
    return ok == o.ok && data == o.data;
  }
};

StreamResult DecodeStream(strings::ByteSource* source, bool lend) {
  Tessel tessel;
  RecordingSink sink(lend);
  const bool ok = tessel.UncompressStream(source, &sink);
  return {ok, sink.data};
}

StreamResult DecodeFlat(const std::string& compressed) {
  Tessel tessel;
  std::string out;
  const bool ok = tessel.Uncompress(compressed, &out);
  return {ok, ok ? out : std::string()};
}

// A stream of small blocks holding every element: a raw block with short
// and long literal runs and copies of short patterns, a coded block whose
// codes take all three lengths and span several words, a block with no
// commands, and a last raw block. About 400 bytes.
std::string MixedStream() {
  std::string coded_text;
  for (int i = 0; i < 150; ++i) coded_text.push_back(static_cast<char>(i * 37));
  std::string blocks = BlockBuilder()
                           .Literal("abcdefgh")
                           .Copy(20, 3)
                           .Literal(testing_streams::Text(70, 1))
                           .Copy(67, 50)
                           .Literal("z")
                           .Raw() +
                       BlockBuilder()
                           .Literal(coded_text)
                           .Copy(10, 100)
                           .Copy(4, 1)
                           .Literal(coded_text.substr(20, 60))
                           .Coded() +
                       Bytes({0, 0}) + std::string(12, '\0') +
                       BlockBuilder().Literal("tail").Copy(5, 4).Raw();
  const size_t length = 8 + 20 + 70 + 67 + 1 + 150 + 10 + 4 + 60 + 4 + 5;
  return Header(length) + blocks;
}

// Fragment boundaries anywhere: inside the count, a command code, the mask,
// coded literal bits and raw literal runs, alone or a few bytes apart so
// that one stitched word spans several fragments.
TEST(TesselStreamTest, EveryFragmentBoundary) {
  const std::string stream = MixedStream();
  const StreamResult flat = DecodeFlat(stream);
  ASSERT_TRUE(flat.ok);
  for (size_t k = 1; k < stream.size(); ++k) {
    for (const std::vector<size_t>& cuts :
         std::vector<std::vector<size_t>>{{k}, {k, k + 1}, {k, k + 5, k + 9}}) {
      SCOPED_TRACE(::testing::Message()
                   << "cuts at " << cuts[0] << " +" << cuts.size());
      for (bool lend : {false, true}) {
        CutSource source(stream, cuts);
        EXPECT_TRUE(DecodeStream(&source, lend) == flat);
        EXPECT_EQ(source.Available(), 0u);
      }
    }
  }
}

// Two blocks: 64 KiB of raw random bytes, then copies reaching back into
// them at every kind of distance: whole 64-byte moves from deep in the
// previous block, sources a few bytes before its end, copies straddling
// both blocks, and the farthest offset.
std::string CrossBlockStream(std::string* expected) {
  const std::string first = RandomBytes(Tessel::kBlockSize, 5);
  BlockBuilder one;
  for (size_t i = 0; i < first.size(); i += 4096) {
    one.Literal(first.substr(i, 4096));
  }
  // Copies with the bytes they start before the second block (back) when
  // they come: offset = back + bytes of the second block so far.
  struct Copy {
    unsigned length, offset;
  } copies[] = {
      {64, 65536},  // back 65536: the farthest, a 64-byte move
      {4, 65},      // back 1: straddles the two blocks
      {64, 132},    // back 64: the nearest for a 64-byte move
      {67, 202},    // back 70: longer than 64
      {16, 262},    // back 63: 64 bytes from the source run past the end
      {20, 225},    // back 10: straddles
      {8, 300},     // back 65
      {64, 1243},   // back 1000
      {67, 65536},  // back 65229, longer than 64
      {30, 4},      // within the second block, a short pattern
      {64, 65536},  // back 65132
      {64, 528},    // back 60: straddles, 64 bytes long
  };
  std::string second;
  BlockBuilder two;
  for (const Copy& c : copies) {
    // The bytes one at a time, so that overlaps repeat as they must.
    for (unsigned i = 0; i < c.length; ++i) {
      const size_t from = first.size() + second.size() - c.offset;
      second.push_back(from < first.size() ? first[from]
                                           : second[from - first.size()]);
    }
    two.Copy(c.length, c.offset);
  }
  two.Literal("end");
  *expected = first + second + "end";
  return Header(expected->size()) + one.Raw() + two.Coded();
}

// The stream decoder against the flat one for whole inputs, cut into
// fragments of every size around the stitched widths, into a sink that
// takes blocks or lends one buffer.
TEST(TesselStreamTest, MatchesFlatForEveryFragmentSize) {
  std::string cross_expected, two_expected;
  const std::string cross = CrossBlockStream(&cross_expected);
  // The flat decoder, the reference here, gets those copies right.
  ASSERT_TRUE(DecodeFlat(cross).data == cross_expected);
  struct Case {
    const char* name;
    std::string stream;
  } cases[] = {
      {"coded text", Compressed(testing_streams::Text(200000, 2))},
      {"raw random bytes", Compressed(RandomBytes(150000, 3))},
      {"copies into the previous block", cross},
      {"hand-built two blocks", TwoBlockStream(&two_expected)},
      {"mixed small blocks", MixedStream()},
  };
  for (const Case& c : cases) {
    const StreamResult flat = DecodeFlat(c.stream);
    ASSERT_TRUE(flat.ok) << c.name;
    for (size_t fragment :
         {size_t{1}, size_t{2}, size_t{7}, size_t{8}, size_t{9}, size_t{15},
          size_t{16}, size_t{17}, size_t{8192}, c.stream.size()}) {
      for (bool lend : {false, true}) {
        SCOPED_TRACE(::testing::Message() << c.name << ", fragments of "
                                          << fragment << ", lend " << lend);
        FragmentingSource source(c.stream, {fragment});
        EXPECT_TRUE(DecodeStream(&source, lend) == flat);
      }
    }
  }
}

// In block mode a block's output must not run past the end of a 64 KiB
// output block unless it starts one; a flat output takes it.
TEST(TesselStreamTest, BlockModeOutputMustLineUpWith64KiB) {
  const std::string bytes = RandomBytes(40000, 6);
  const std::string stream = Header(80000) +
                             BlockBuilder().Literal(bytes).Raw() +
                             BlockBuilder().Literal(bytes).Raw();
  EXPECT_TRUE(DecodeFlat(stream).ok);
  strings::ArrayByteSource lent_source(stream), block_source(stream);
  EXPECT_TRUE(DecodeStream(&lent_source, /*lend=*/true).ok);
  EXPECT_FALSE(DecodeStream(&block_source, /*lend=*/false).ok);
}

// Truncated and corrupted streams: the stream decoder agrees with the flat
// one, and whatever the fragment sizes it returns the same and hands the
// sink the same bytes.
TEST(TesselStreamTest, MalformedStreamsAgreeAcrossFragmentations) {
  const std::string stream = MixedStream();
  std::vector<std::string> damaged;
  for (size_t n = 0; n < stream.size(); ++n) {
    damaged.push_back(stream.substr(0, n));
  }
  for (size_t i = 0; i < stream.size(); ++i) {
    for (int flip : {0x01, 0x80, 0xFF}) {
      damaged.push_back(stream);
      damaged.back()[i] ^= static_cast<char>(flip);
    }
  }
  for (size_t d = 0; d < damaged.size(); ++d) {
    const std::string& input = damaged[d];
    const StreamResult flat = DecodeFlat(input);
    for (bool lend : {false, true}) {
      strings::ArrayByteSource whole(input);
      const StreamResult reference = DecodeStream(&whole, lend);
      EXPECT_EQ(reference.ok, flat.ok) << d;
      if (flat.ok) {
        EXPECT_TRUE(reference.data == flat.data) << d;
      }
      for (size_t fragment : {1, 3, 8, 17}) {
        FragmentingSource source(input, {fragment});
        EXPECT_TRUE(DecodeStream(&source, lend) == reference)
            << d << ", fragments of " << fragment << ", lend " << lend;
      }
    }
  }
}

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
