#include "util/sprock/sprock.h"

#include <sys/uio.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/commandlineflags.h"
#include "gtest/gtest.h"
#include "testing/corpus.h"
#include "testing/test_streams.h"
#include "util/sprock/sprock-internal.h"

DECLARE_bool(sprock_dump_decompression_table);

namespace quern {
namespace {

using testing_streams::BoundaryInputs;
using testing_streams::ExactCopy;
using testing_streams::RandomBytes;
using testing_streams::Text;

using testing_streams::Bytes;

std::string Compressed(const std::string& input) {
  std::string out;
  Compress(input.data(), input.size(), &out);
  return out;
}

// Hands out its bytes in fragments whose sizes cycle through a list.
class FragmentingSource : public Source {
 public:
  FragmentingSource(const std::string& data, std::vector<size_t> sizes)
      : data_(data), sizes_(std::move(sizes)) {}
  size_t Available() const override { return data_.size() - pos_; }
  const char* Peek(size_t* len) override {
    *len = std::min(sizes_[next_ % sizes_.size()], Available());
    return data_.data() + pos_;
  }
  void Skip(size_t n) override {
    pos_ += n;
    if (n > 0) next_++;
  }

 private:
  const std::string& data_;
  std::vector<size_t> sizes_;
  size_t pos_ = 0;
  size_t next_ = 0;
};

// A sink that lends no buffer and records every block handed to it.
class RecordingSink : public Sink {
 public:
  void Append(const char* bytes, size_t n) override { data.append(bytes, n); }
  void AppendAndTakeOwnership(char* bytes, size_t n, Deleter deleter,
                              void* arg) override {
    block_sizes.push_back(n);
    Append(bytes, n);
    deleter(arg, bytes, n);
  }
  std::string data;
  std::vector<size_t> block_sizes;
};

// One element of a compressed stream, as an independent reader sees it.
struct Element {
  int tag_bytes;  // 1 for literals; 2 or 3 for the copy forms
  bool is_copy;
  size_t length;
  size_t offset;
};

std::vector<Element> ParseElements(const std::string& c) {
  std::vector<Element> elements;
  size_t pos = 0;
  while (static_cast<uint8_t>(c[pos]) & 0x80) pos++;
  pos++;
  while (pos < c.size()) {
    const uint8_t tag = c[pos];
    switch (tag & 3) {
      case 0: {
        size_t len = (tag >> 2) + 1;
        pos++;
        if (len > 60) {
          const int extra = len - 60;
          len = 0;
          for (int i = 0; i < extra; i++) len |= size_t{uint8_t(c[pos + i])} << (8 * i);
          len++;
          pos += extra;
        }
        elements.push_back({1, false, len, 0});
        pos += len;
        break;
      }
      case 1:
        elements.push_back({2, true, size_t((tag >> 2) & 7) + 4,
                            (size_t(tag >> 5) << 8) | uint8_t(c[pos + 1])});
        pos += 2;
        break;
      case 2:
        elements.push_back({3, true, size_t(tag >> 2) + 1,
                            size_t(uint8_t(c[pos + 1])) |
                                size_t(uint8_t(c[pos + 2])) << 8});
        pos += 3;
        break;
      default:
        ADD_FAILURE() << "the compressor never writes 4-byte offsets";
        return elements;
    }
  }
  return elements;
}

// ---- Compressed format: exact bytes ---------------------------------------

TEST(SprockCompressTest, KnownVectors) {
  const std::string a16(16, 'a'), a20(20, 'a');
  std::string abcd;
  for (int i = 0; i < 10; i++) abcd += "abcd";
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", Bytes({0x00})},
      {a16, Bytes({0x10, 0x3C}) + a16},
      {a20, Bytes({0x14, 0x00, 0x61, 0x4A, 0x01, 0x00})},
      {abcd, Bytes({0x28, 0x0C, 0x61, 0x62, 0x63, 0x64, 0x8E, 0x04, 0x00})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Compressed(c.input), c.expected) << "input size "
                                               << c.input.size();
  }
}

TEST(SprockCompressTest, ShortInputsAreOneLiteral) {
  const std::string input = "0123456789abcd";
  for (size_t n = 1; n <= 14; n++) {
    std::string expected = Bytes({int(n), int((n - 1) << 2)});
    expected += input.substr(0, n);
    EXPECT_EQ(Compressed(input.substr(0, n)), expected) << n;
  }
}

TEST(SprockCompressTest, MaxCompressedLength) {
  EXPECT_EQ(MaxCompressedLength(0), 32u);
  EXPECT_EQ(MaxCompressedLength(65536), 76490u);
  EXPECT_EQ(Sprock::MaxCompressedLength(6), 39u);
  EXPECT_EQ(SprockCompressor()->MaxCompressedLength(0), 32u);
}

// Hands out n zero bytes from one shared block, without holding them.
class ZeroSource : public Source {
 public:
  explicit ZeroSource(size_t n) : left_(n) {}
  size_t Available() const override { return left_; }
  const char* Peek(size_t* len) override {
    static const char kZeros[kBlockSize] = {0};
    *len = std::min<size_t>(left_, kBlockSize);
    return kZeros;
  }
  void Skip(size_t n) override { left_ -= n; }

 private:
  size_t left_;
};

TEST(SprockCompressTest, PreambleLength) {
  struct Case {
    size_t length;
    size_t preamble_bytes;
  } cases[] = {{0, 1},         {127, 1},         {128, 2},
               {16383, 2},     {16384, 3},       {(1u << 21) - 1, 3},
               {1u << 21, 4},  {(1u << 28) - 1, 4}, {1u << 28, 5}};
  for (const Case& c : cases) {
    ZeroSource source(c.length);
    RecordingSink sink;
    Compress(&source, &sink);
    size_t value = 0;
    ASSERT_TRUE(GetUncompressedLength(sink.data.data(), c.preamble_bytes, &value));
    EXPECT_EQ(value, c.length);
    EXPECT_FALSE(GetUncompressedLength(sink.data.data(), c.preamble_bytes - 1,
                                       &value))
        << c.length;
  }
}

// A match of a chosen length at a chosen distance: random bytes, repeated
// `distance` bytes later and followed by a byte that ends the match. Long
// distances are bridged with a run of 'z', whose own copies end exactly where
// the repeat starts, so the match finder looks there whatever its stride.
std::string InputWithMatch(size_t distance, size_t length) {
  std::string input = RandomBytes(std::min(distance, length), 7);
  input.resize(distance, 'z');
  for (size_t i = 0; i < length; i++) input.push_back(input[i]);
  input.push_back(static_cast<char>(input[length] ^ 0xff));
  input += RandomBytes(32, 8);
  return input;
}

TEST(SprockCompressTest, CopySplitting) {
  struct Case {
    size_t match;
    std::vector<size_t> pieces;
  } cases[] = {{64, {64}},     {65, {60, 5}},     {66, {60, 6}},
               {67, {60, 7}},  {68, {64, 4}},     {131, {64, 60, 7}},
               {132, {64, 64, 4}}};
  for (const Case& c : cases) {
    const std::string input = InputWithMatch(30, c.match);
    std::vector<size_t> copies;
    for (const Element& e : ParseElements(Compressed(input))) {
      if (e.is_copy) {
        EXPECT_EQ(e.offset, 30u);
        copies.push_back(e.length);
      }
    }
    EXPECT_EQ(copies, c.pieces) << "match of " << c.match;
  }
}

TEST(SprockCompressTest, CopyFormChoice) {
  // Offsets up to 2047 with lengths 4..11 take 2 bytes; all else 3.
  struct Case {
    size_t distance, length;
    int tag_bytes;
  } cases[] = {{30, 4, 2},    {30, 11, 2},    {30, 12, 3},
               {2047, 11, 2}, {2048, 4, 3},   {2048, 11, 3},
               {30000, 8, 3}, {30, 64, 3}};
  for (const Case& c : cases) {
    const std::string input = InputWithMatch(c.distance, c.length);
    std::string compressed = Compressed(input);
    int found = 0;
    for (const Element& e : ParseElements(compressed)) {
      if (!e.is_copy || e.offset != c.distance) continue;
      found++;
      EXPECT_EQ(e.length, c.length);
      EXPECT_EQ(e.tag_bytes, c.tag_bytes)
          << "distance " << c.distance << " length " << c.length;
    }
    EXPECT_EQ(found, 1) << "distance " << c.distance;
    std::string restored;
    ASSERT_TRUE(Uncompress(compressed.data(), compressed.size(), &restored));
    EXPECT_EQ(restored, input);
  }
}

TEST(SprockCompressTest, BlocksAreIndependent) {
  // The same 64 KiB block twice: the second copy is compressed on its own,
  // so it compresses to exactly the bytes of the first.
  const std::string block = Text(kBlockSize, 3);
  const std::string one = Compressed(block), two = Compressed(block + block);
  const size_t p1 = 3, p2 = 3;  // preamble bytes of 65536 and 131072
  ASSERT_EQ(two.size() - p2, 2 * (one.size() - p1));
  EXPECT_EQ(two.substr(p2, one.size() - p1), one.substr(p1));
  EXPECT_EQ(two.substr(p2 + one.size() - p1), one.substr(p1));
  for (const Element& e : ParseElements(two)) EXPECT_LT(e.offset, kBlockSize);
}

TEST(SprockCompressTest, FragmentedSourceGivesSameBytes) {
  std::vector<std::string> inputs = {
      Text(200000, 1), RandomBytes(70000, 2),
      Text(kBlockSize, 3), Text(1000, 4), ""};
  const std::vector<std::vector<size_t>> fragmentations = {
      {1}, {7}, {3, 1, 4, 1, 5, 9, 2, 6}, {4096}, {65535}, {65537}, {8192}};
  for (const std::string& input : inputs) {
    const std::string flat = Compressed(input);
    for (const auto& sizes : fragmentations) {
      FragmentingSource source(input, sizes);
      std::string out(MaxCompressedLength(input.size()), '\0');
      UncheckedByteArraySink sink(&out[0]);
      const size_t n = Compress(&source, &sink);
      out.resize(n);
      EXPECT_EQ(out, flat) << "input " << input.size() << ", first fragment "
                           << sizes[0];
      EXPECT_EQ(source.Available(), 0u);
    }
  }
}

// ---- Decoding ----------------------------------------------------------------

TEST(SprockDecompressTest, HandWrittenStreams) {
  struct Case {
    const char* name;
    std::string stream;
    bool valid;
    std::string output;
  } cases[] = {
      {"empty", Bytes({0x00}), true, ""},
      {"element after empty", Bytes({0x00, 0x00, 0x61}), false, ""},
      {"one literal", Bytes({0x01, 0x00, 0x61}), true, "a"},
      {"short output", Bytes({0x05, 0x00, 0x61}), false, ""},
      {"no preamble", "", false, ""},
      {"cut in literal", Bytes({0x03, 0x08, 0x61}), false, ""},
      {"cut in copy", Bytes({0x05, 0x00, 0x61, 0x02, 0x01}), false, ""},
      {"offset 0", Bytes({0x05, 0x00, 0x61, 0x01, 0x00}), false, ""},
      {"offset == produced", Bytes({0x05, 0x00, 0x61, 0x01, 0x01}), true,
       "aaaaa"},
      {"offset past start", Bytes({0x05, 0x00, 0x61, 0x01, 0x02}), false, ""},
      {"2-byte offset, length 1", Bytes({0x02, 0x00, 0x61, 0x02, 0x01, 0x00}),
       true, "aa"},
      {"4-byte offset", Bytes({0x03, 0x04, 0x61, 0x62, 0x03, 0x02, 0, 0, 0}),
       true, "aba"},
      {"copy past announced", Bytes({0x04, 0x00, 0x61, 0x01, 0x01}), false,
       ""},
      {"long literal, 1 length byte",
       Bytes({0x03, 0xF0, 0x02}) + "xyz", true, "xyz"},
      // 0xffffffff + 1 must not wrap to an empty literal.
      {"literal of 2^32 bytes", Bytes({0x00, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF}),
       false, ""},
      // A pattern-doubling copy of 4 bytes at offset 1 with room to spare.
      {"short overlapping copy",
       Bytes({0x19, 0x00, 0x61, 0x01, 0x01, 0x4C}) + std::string(20, 'b'),
       true, "aaaaa" + std::string(20, 'b')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    EXPECT_EQ(Uncompress(c.stream.data(), c.stream.size(), &out), c.valid);
    if (c.valid) {
      EXPECT_EQ(out, c.output);
    }
    EXPECT_EQ(IsValidCompressedBuffer(c.stream.data(), c.stream.size()),
              c.valid);
    // The same through a fragmenting source and a sink.
    FragmentingSource source(c.stream, {1});
    RecordingSink sink;
    EXPECT_EQ(Uncompress(&source, &sink), c.valid);
    if (c.valid) {
      EXPECT_EQ(sink.data, c.output);
    }
  }
}

TEST(SprockDecompressTest, Preamble) {
  struct Case {
    std::string bytes;
    bool ok;
    size_t value;
  } cases[] = {
      {Bytes({0x7F}), true, 127},
      {Bytes({0x80, 0x01}), true, 128},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), true, 0xFFFFFFFF},
      // The three bits above the low four of a fifth byte are dropped.
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), true, 0xFFFFFFFF},
      {Bytes({0x80, 0x80, 0x80, 0x80, 0x70}), true, 0},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x80}), false, 0},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), false, 0},
      {Bytes({0x80}), false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    size_t flat_value = 0;
    EXPECT_EQ(GetUncompressedLength(c.bytes.data(), c.bytes.size(),
                                    &flat_value),
              c.ok);
    FragmentingSource source(c.bytes, {1});
    uint32_t stream_value = 0;
    EXPECT_EQ(GetUncompressedLength(&source, &stream_value), c.ok);
    if (c.ok) {
      EXPECT_EQ(flat_value, c.value);
      EXPECT_EQ(stream_value, c.value);
    }
  }
}

TEST(SprockDecompressTest, ImplausibleLengthIsRefusedBeforeAllocating) {
  // Announces 4 GiB - 1 from a handful of bytes: a string must not be
  // grown to that size, and the call fails.
  const std::string stream = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x61});
  std::string out;
  EXPECT_FALSE(Uncompress(stream.data(), stream.size(), &out));
  EXPECT_LT(out.capacity(), size_t{1} << 20);
  // The densest stream, all 64-byte copies, is still accepted.
  std::string dense = Bytes({0x80, 0x02, 0x00, 0x61});  // 256: 'a' + copies
  for (int i = 0; i < 3; i++) dense += Bytes({0xFE, 0x01, 0x00});
  dense += Bytes({0xFA, 0x01, 0x00});  // the last copy: 63 bytes
  ASSERT_TRUE(Uncompress(dense.data(), dense.size(), &out));
  EXPECT_EQ(out, std::string(256, 'a'));
}

// Splits a compressed stream at every possible size, including inside
// elements and preambles, and decodes it through every entry point.
TEST(SprockDecompressTest, FragmentedInput) {
  const std::string input = Text(100000, 5) + RandomBytes(3000, 6);
  const std::string compressed = Compressed(input);
  const std::vector<std::vector<size_t>> fragmentations = {
      {1}, {2}, {3}, {4}, {5}, {6}, {7}, {13}, {1, 2, 3, 4, 5},
      {4096}, {8192}, {65536}, {compressed.size()}};
  for (const auto& sizes : fragmentations) {
    SCOPED_TRACE("first fragment " + std::to_string(sizes[0]));
    {
      FragmentingSource source(compressed, sizes);
      std::string out(input.size(), '\0');
      EXPECT_TRUE(RawUncompress(&source, &out[0]));
      EXPECT_EQ(out, input);
    }
    {
      FragmentingSource source(compressed, sizes);
      RecordingSink sink;
      EXPECT_TRUE(Uncompress(&source, &sink));
      EXPECT_EQ(sink.data, input);
    }
    {
      FragmentingSource source(compressed, sizes);
      std::string out(input.size(), '\0');
      iovec iov[3] = {{&out[0], 1000}, {&out[1000], 70000},
                      {&out[71000], input.size() - 71000}};
      EXPECT_TRUE(RawUncompressToIOVec(&source, iov, 3));
      EXPECT_EQ(out, input);
    }
  }
}

TEST(SprockDecompressTest, LiteralAcrossManyFragments) {
  const std::string input = RandomBytes(5000, 8);  // one long literal
  const std::string compressed = Compressed(input);
  FragmentingSource source(compressed, {3, 7, 1});
  RecordingSink sink;
  ASSERT_TRUE(Uncompress(&source, &sink));
  EXPECT_EQ(sink.data, input);
}

TEST(SprockDecompressTest, ScatteredWriterBlocks) {
  // A sink that lends no buffer gets 64 KiB blocks, in order, without copy.
  const std::string input = Text(200000, 9);
  const std::string compressed = Compressed(input);
  ByteArraySource source(compressed.data(), compressed.size());
  RecordingSink sink;
  ASSERT_TRUE(Uncompress(&source, &sink));
  EXPECT_EQ(sink.data, input);
  EXPECT_EQ(sink.block_sizes, (std::vector<size_t>{65536, 65536, 65536, 3392}));
}

TEST(SprockDecompressTest, ScatteredWriterCopiesAcrossBlocks) {
  // Copies reaching back across a 64 KiB block boundary take the slow path.
  std::string input = RandomBytes(1000, 10);
  while (input.size() < 300000) input += input.substr(input.size() - 1000, 1000);
  input.resize(300000);
  const std::string compressed = Compressed(input);
  FragmentingSource source(compressed, {777});
  RecordingSink sink;
  ASSERT_TRUE(Uncompress(&source, &sink));
  EXPECT_EQ(sink.data, input);
}

TEST(SprockDecompressTest, IOVecOutput) {
  const std::string input = "0123456789abc";  // 13 bytes, one literal
  const std::string compressed = Compressed(input);
  char a[3], c[10];
  iovec iov[3] = {{a, 3}, {nullptr, 0}, {c, 10}};
  ASSERT_TRUE(RawUncompressToIOVec(compressed.data(), compressed.size(), iov, 3));
  EXPECT_EQ(std::string(a, 3), "012");
  EXPECT_EQ(std::string(c, 10), "3456789abc");
  iov[2].iov_len = 9;  // one byte short
  EXPECT_FALSE(RawUncompressToIOVec(compressed.data(), compressed.size(), iov, 3));
}

TEST(SprockDecompressTest, IOVecCopyFromEarlierEntry) {
  // "abcdefgh" then a copy of it: the copy's source lies in the first entry.
  const std::string input = InputWithMatch(40, 20);
  const std::string compressed = Compressed(input);
  std::string out(input.size(), '\0');
  for (size_t split : {1, 7, 30, 41, 50}) {
    std::fill(out.begin(), out.end(), '\0');
    iovec iov[2] = {{&out[0], split}, {&out[split], input.size() - split}};
    ASSERT_TRUE(
        RawUncompressToIOVec(compressed.data(), compressed.size(), iov, 2))
        << split;
    EXPECT_EQ(out, input) << split;
  }
}

TEST(SprockDecompressTest, IOVecWithNoEntries) {
  const std::string empty = Compressed(""), one = Compressed("x");
  EXPECT_TRUE(RawUncompressToIOVec(empty.data(), empty.size(), nullptr, 0));
  EXPECT_FALSE(RawUncompressToIOVec(one.data(), one.size(), nullptr, 0));
  const std::string copy = Bytes({0x05, 0x00, 0x61, 0x01, 0x01});
  EXPECT_FALSE(RawUncompressToIOVec(copy.data(), copy.size(), nullptr, 0));
}

TEST(SprockDecompressTest, ValidatorAgreesWithDecoderOnDamagedStreams) {
  std::mt19937 rng(11);
  const std::string compressed = Compressed(Text(3000, 12));
  for (int trial = 0; trial < 3000; trial++) {
    std::string damaged = compressed;
    switch (trial % 3) {
      case 0:
        damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
        break;
      case 1:
        damaged.resize(rng() % damaged.size());
        break;
      default:
        damaged.insert(rng() % damaged.size(), 1, static_cast<char>(rng()));
    }
    size_t length = 0;
    std::string out;
    bool decoded = false;
    if (GetUncompressedLength(damaged.data(), damaged.size(), &length) &&
        length < (1 << 20)) {
      out.resize(length);
      decoded = RawUncompress(damaged.data(), damaged.size(), &out[0]);
    }
    EXPECT_EQ(IsValidCompressedBuffer(damaged.data(), damaged.size()), decoded)
        << "trial " << trial;
  }
}

// ---- Round trips -------------------------------------------------------------

void ExpectRoundTrip(const std::string& input) {
  const std::string compressed = Compressed(input);
  ASSERT_LE(compressed.size(), MaxCompressedLength(input.size()));
  std::string out;
  ASSERT_TRUE(Uncompress(compressed.data(), compressed.size(), &out));
  ASSERT_TRUE(out == input) << "size " << input.size();
  ASSERT_TRUE(IsValidCompressedBuffer(compressed.data(), compressed.size()));
  // Through the general streams and the codec handle.
  strings::ArrayByteSource source(compressed);
  std::string through_sink;
  through_sink.resize(input.size());
  strings::CheckedArrayByteSink sink(&through_sink[0], through_sink.size());
  ASSERT_TRUE(SprockCompressor()->UncompressStream(&source, &sink));
  EXPECT_EQ(sink.NumberOfBytesWritten(), input.size());
  EXPECT_FALSE(sink.Overflowed());
  ASSERT_TRUE(through_sink == input);
}

TEST(SprockRoundTripTest, EdgeLengths) {
  std::vector<size_t> lengths = {0, 65535, 65536, 65537, (1 << 20) + 3};
  for (size_t n = 1; n <= 20; n++) lengths.push_back(n);
  for (size_t n : lengths) {
    SCOPED_TRACE(n);
    ExpectRoundTrip(Text(n, n));
    ExpectRoundTrip(RandomBytes(n, n));
    ExpectRoundTrip(std::string(n, 'z'));
  }
}

// The codec's wide loads and stores (16-byte literal moves, 4-byte copy
// headers, 64-byte element moves when uncompressing) must stay inside the
// caller's buffers. Here every buffer is a heap block of exactly the size the
// interface promises, so AddressSanitizer sees any byte read or written
// past it.
TEST(SprockRoundTripTest, ExactSizeBuffers) {
  std::vector<size_t> lengths = {100,   4095,  4096,  4097,
                                 65519, 65536, 65537, 65536 + 100};
  for (size_t n = 1; n <= 40; n++) lengths.push_back(n);
  for (size_t n : lengths) {
    for (const std::string& input : BoundaryInputs(n)) {
      SCOPED_TRACE(n);
      const std::unique_ptr<char[]> in = ExactCopy(input);
      const size_t max = MaxCompressedLength(n);
      std::unique_ptr<char[]> compressed(new char[max]);
      size_t compressed_length;
      RawCompress(in.get(), n, compressed.get(), &compressed_length);
      ASSERT_LE(compressed_length, max);
      const std::unique_ptr<char[]> exact =
          ExactCopy(std::string(compressed.get(), compressed_length));
      std::unique_ptr<char[]> out(new char[n]);
      ASSERT_TRUE(RawUncompress(exact.get(), compressed_length, out.get()));
      ASSERT_EQ(0, memcmp(out.get(), in.get(), n));
    }
  }
}

TEST(SprockRoundTripTest, Corpus) {
  const std::vector<std::string> files = testing_corpus::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << testing_corpus::MissingCorpusMessage();
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string data = testing_corpus::ReadFile(file);
    ExpectRoundTrip(data);
    // Both directions through odd fragments give the same bytes.
    FragmentingSource source(data, {4093, 1, 8192});
    std::string out(MaxCompressedLength(data.size()), '\0');
    UncheckedByteArraySink sink(&out[0]);
    out.resize(Compress(&source, &sink));
    EXPECT_TRUE(out == Compressed(data));
  }
}

// ---- Tag table -------------------------------------------------------------------

TEST(SprockTableTest, ComputedTableMatches) { ComputeTable(); }

TEST(SprockTableTest, DumpsTableWhenFlagSet) {
  FLAGS_sprock_dump_decompression_table = true;
  testing::internal::CaptureStdout();
  ComputeTable();
  const std::string dump = testing::internal::GetCapturedStdout();
  FLAGS_sprock_dump_decompression_table = false;
  const std::string head =
      "static const uint16 char_table[256] = {\n"
      "  0x0001, 0x0804, 0x1001, 0x2001, 0x0002, 0x0805, 0x1002, 0x2002,\n";
  EXPECT_EQ(dump.substr(0, head.size()), head);
  // The opening line, 32 lines of eight entries, the closing line.
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 34);
  const std::string tail = "0x1040, 0x2040\n};\n";
  EXPECT_EQ(dump.substr(dump.size() - tail.size()), tail);
}

// ---- Entry points, handle and fatal checks -----------------------------------

TEST(SprockTest, ByteStreamEntryPoints) {
  const std::string input = Text(70000, 13);
  strings::ArrayByteSource source(input);
  std::string compressed(Sprock::MaxCompressedLength(input.size()), '\0');
  strings::CheckedArrayByteSink sink(&compressed[0], compressed.size());
  const size_t n = Sprock::Compress(&source, &sink);
  compressed.resize(n);
  EXPECT_EQ(compressed, Compressed(input));

  strings::ArrayByteSource length_source(compressed);
  uint32_t length = 0;
  ASSERT_TRUE(Sprock::GetUncompressedLength(&length_source, &length));
  EXPECT_EQ(length, input.size());
  EXPECT_EQ(length_source.Available(), compressed.size() - 3);

  strings::ArrayByteSource raw_source(compressed);
  std::string out(input.size(), '\0');
  ASSERT_TRUE(Sprock::RawUncompress(&raw_source, &out[0]));
  EXPECT_EQ(out, input);

  size_t size_length = 0;
  ASSERT_TRUE(SprockCompressor()->GetUncompressedLength(compressed, &size_length));
  EXPECT_EQ(size_length, input.size());
  strings::ArrayByteSource handle_source(compressed);
  ASSERT_TRUE(SprockCompressor()->GetUncompressedLengthStream(&handle_source,
                                                              &size_length));
  EXPECT_EQ(size_length, input.size());
  std::string via_handle;
  EXPECT_EQ(SprockCompressor()->Compress(input, &via_handle), n);
  ASSERT_TRUE(SprockCompressor()->Uncompress(via_handle, &out));
  EXPECT_EQ(out, input);
}

TEST(SprockTest, HandleIsOneObjectForAllThreads) {
  std::vector<util::compression::Compressor*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++) {
    threads.emplace_back([&seen, i] { seen[i] = SprockCompressor(); });
  }
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, SprockCompressor());
}

TEST(SprockTest, MemBlockWithDeleterRunsDeleterOnce) {
  static int calls;
  calls = 0;
  char* bytes = new char[10];
  auto deleter = [](void* arg, const char* p, size_t n) {
    calls++;
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(arg, nullptr);
    delete[] p;
  };
  strings::CheckedArrayByteSink ignored(nullptr, 0);
  ByteSinkAdaptor adaptor(&ignored);
  adaptor.AppendAndTakeOwnership(bytes, 10, deleter, nullptr);
  EXPECT_EQ(calls, 1);
}

// A reader that claims more bytes than it has.
class LyingSource : public Source {
 public:
  explicit LyingSource(size_t claimed) : claimed_(claimed) {}
  size_t Available() const override { return claimed_; }
  const char* Peek(size_t* len) override {
    *len = 0;
    return nullptr;
  }
  void Skip(size_t) override {}

 private:
  size_t claimed_;
};

TEST(SprockDeathTest, FatalChecks) {
  char out[64];
  UncheckedByteArraySink sink(out);
  LyingSource four_gib(size_t{1} << 32);
  EXPECT_DEATH(Compress(&four_gib, &sink), "the length preamble holds 32 bits");
  LyingSource dry(100);
  EXPECT_DEATH(Compress(&dry, &sink), "Check failed: fragment_size != 0");
}

}  // namespace
}  // namespace quern
