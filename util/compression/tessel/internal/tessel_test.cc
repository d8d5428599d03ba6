#include "util/compression/tessel/internal/tessel.h"

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "testing/corpus.h"
#include "testing/test_streams.h"

namespace util {
namespace compression {
namespace tessel {
namespace {

using testing_streams::FragmentingSource;
using testing_streams::RandomBytes;
using testing_streams::RecordingSink;
using testing_streams::Text;

using testing_streams::BoundaryInputs;
using testing_streams::Bytes;
using testing_streams::ExactCopy;

std::string Compressed(const std::string& input) {
  Tessel tessel;
  std::string out;
  tessel.Compress(input, &out);
  return out;
}

std::string CompressedStream(const std::string& input,
                             std::vector<size_t> fragments,
                             RecordingSink* sink = nullptr) {
  Tessel tessel;
  FragmentingSource source(input, std::move(fragments));
  RecordingSink local;
  if (sink == nullptr) sink = &local;
  const size_t n = tessel.CompressStream(&source, sink);
  EXPECT_EQ(n, sink->data.size());
  EXPECT_EQ(source.Available(), 0u);
  return sink->data;
}

TEST(TesselFormatTest, KnownVectors) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", Bytes({0x00})},
      {"a", Bytes({0x01, 0x01, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                   0x61})},
      {"ab", Bytes({0x01, 0x02, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0,
                    0, 0x61, 0x62})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Compressed(c.input), c.expected);
    EXPECT_EQ(CompressedStream(c.input, {1}), c.expected);
  }
}

TEST(TesselFormatTest, HeaderAndBounds) {
  Tessel tessel;
  struct Case {
    size_t n, max;
  } bounds[] = {{0, 75}, {1, 83}, {65536, 82053}, {65537, 82061},
                {1000000, 1250945}};
  for (const Case& c : bounds) EXPECT_EQ(tessel.MaxCompressedLength(c.n), c.max);
  EXPECT_EQ(Compressed(std::string(65535, 'x')).substr(0, 3),
            Bytes({0x02, 0xFF, 0xFF}));
  EXPECT_EQ(Compressed(std::string(65536, 'x')).substr(0, 4),
            Bytes({0x03, 0x00, 0x00, 0x01}));
}

TEST(TesselFormatTest, BlockBoundaries) {
  // 65537 bytes: a second block holding one raw literal byte.
  const std::string input = Text(65536, 1) + "z";
  const std::string out = Compressed(input);
  const std::string last_block = Bytes({0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                                        0, 0, 0, 0}) + "z";
  EXPECT_EQ(out.substr(out.size() - last_block.size()), last_block);
  std::string restored;
  Tessel tessel;
  ASSERT_TRUE(tessel.Uncompress(out, &restored));
  EXPECT_TRUE(restored == input);
}

TEST(TesselCompressTest, StreamMatchesFlatForAnyFragmentation) {
  const std::vector<std::string> inputs = {Text(300000, 2), RandomBytes(70000, 3),
                                           Text(65536, 4), Text(1000, 5)};
  const std::vector<std::vector<size_t>> fragmentations = {
      {1}, {7}, {4096}, {8192}, {65535, 3}, {1 << 30}};
  for (const std::string& input : inputs) {
    const std::string flat = Compressed(input);
    for (const auto& sizes : fragmentations) {
      EXPECT_TRUE(CompressedStream(input, sizes) == flat)
          << input.size() << " bytes, fragments of " << sizes[0];
    }
  }
}

TEST(TesselCompressTest, ObjectReuseDoesNotChangeOutput) {
  const std::string big = Text(200000, 6), small = Text(5000, 7);
  Tessel tessel;
  std::string a, b, c;
  tessel.Compress(big, &a);
  tessel.Compress(small, &b);
  tessel.Compress(big, &c);
  EXPECT_TRUE(a == Compressed(big));
  EXPECT_TRUE(b == Compressed(small));
  EXPECT_TRUE(c == a);
}

TEST(TesselCompressTest, SinkGetsBlocksOrAppends) {
  const std::string input = Text(150000, 8);
  RecordingSink scratch_sink, lending_sink(/*lend=*/true);
  const std::string via_blocks = CompressedStream(input, {1 << 30}, &scratch_sink);
  const std::string via_appends = CompressedStream(input, {1 << 30}, &lending_sink);
  EXPECT_EQ(scratch_sink.block_sizes.size(), 3u);      // one memory block per block
  EXPECT_EQ(scratch_sink.appends, 1);     // the header
  EXPECT_EQ(lending_sink.block_sizes.size(), 0u);
  EXPECT_EQ(lending_sink.appends, 4);
  EXPECT_TRUE(via_blocks == via_appends);
}

void ExpectRoundTrip(const std::string& input) {
  Tessel tessel;
  std::string compressed, restored;
  tessel.Compress(input, &compressed);
  ASSERT_LE(compressed.size(), tessel.MaxCompressedLength(input.size()));
  ASSERT_TRUE(tessel.Uncompress(compressed, &restored));
  ASSERT_TRUE(restored == input) << input.size();
  FragmentingSource source(compressed, {4093, 1, 8192});
  RecordingSink sink;
  ASSERT_TRUE(tessel.UncompressStream(&source, &sink));
  ASSERT_TRUE(sink.data == input);
}

TEST(TesselRoundTripTest, EdgeLengths) {
  for (size_t n : {0, 1, 2, 14, 15, 16, 200, 201, 65535, 65536, 65537,
                   (1 << 20) + 3}) {
    SCOPED_TRACE(n);
    ExpectRoundTrip(Text(n, n));
    ExpectRoundTrip(RandomBytes(n, n));
    ExpectRoundTrip(std::string(n, 'q'));
  }
}

// The parser's wide loads and the 16-byte literal moves must stay inside the
// caller's buffers: every buffer here is a heap block of exactly the
// promised size, so AddressSanitizer sees any byte touched past it.
TEST(TesselRoundTripTest, ExactSizeBuffers) {
  Tessel tessel;
  for (size_t n : {1, 15, 16, 17, 40, 100, 4097, 65536, 65537, 65536 + 100}) {
    for (const std::string& input : BoundaryInputs(n)) {
      SCOPED_TRACE(n);
      const std::unique_ptr<char[]> in = ExactCopy(input);
      const size_t max = tessel.MaxCompressedLength(n);
      std::unique_ptr<char[]> compressed(new char[max]);
      const size_t length =
          tessel.RawCompress(StringPiece(in.get(), n), compressed.get());
      ASSERT_LE(length, max);
      const std::unique_ptr<char[]> exact =
          ExactCopy(std::string(compressed.get(), length));
      std::unique_ptr<char[]> out(new char[n]);
      ASSERT_TRUE(tessel.RawUncompress(exact.get(), length, out.get(), n));
      ASSERT_EQ(0, memcmp(out.get(), in.get(), n));
    }
  }
}

TEST(TesselRoundTripTest, Corpus) {
  const std::vector<std::string> files = testing_corpus::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << testing_corpus::MissingCorpusMessage();
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::string data = testing_corpus::ReadFile(file);
    ExpectRoundTrip(data);
    EXPECT_TRUE(CompressedStream(data, {8192}) == Compressed(data));
  }
}

TEST(TesselHandleTest, AdaptorIsSharedAndObjectsAreNew) {
  std::vector<Compressor*> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; i++) {
    threads.emplace_back([&seen, i] { seen[i] = TesselCompressor(); });
  }
  for (auto& t : threads) t.join();
  for (Compressor* p : seen) EXPECT_EQ(p, TesselCompressor());
  Tessel* a = NewTesselCompressor();
  Tessel* b = NewTesselCompressor();
  EXPECT_NE(a, b);
  delete a;
  delete b;
  const std::string input = Text(100000, 9);
  std::string compressed, restored;
  const size_t n = TesselCompressor()->Compress(input, &compressed);
  EXPECT_EQ(n, compressed.size());
  EXPECT_TRUE(compressed == Compressed(input));
  ASSERT_TRUE(TesselCompressor()->Uncompress(compressed, &restored));
  EXPECT_TRUE(restored == input);
  size_t length = 0;
  ASSERT_TRUE(TesselCompressor()->GetUncompressedLength(compressed, &length));
  EXPECT_EQ(length, input.size());
}

// Claims 2^31 bytes: more than a stream can describe to a decoder.
class HugeSource : public strings::ByteSource {
 public:
  size_t Available() const override { return size_t{1} << 31; }
  StringPiece Peek() override { return StringPiece("x", 1); }
  void Skip(size_t) override {}
};

TEST(TesselDeathTest, InputsOf2GiBAreRefused) {
  HugeSource source;
  RecordingSink sink;
  Tessel tessel;
  EXPECT_DEATH(tessel.CompressStream(&source, &sink),
               "Tessel streams hold at most 2\\^31 - 1 bytes");
}

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
