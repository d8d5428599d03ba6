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

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
