#include "util/compression/tessel/internal/lz77.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testing/corpus.h"
#include "testing/test_streams.h"

namespace util {
namespace compression {
namespace tessel {
namespace {

using testing_streams::RandomBytes;
using testing_streams::Text;

// ---- Helpers ----------------------------------------------------------------

// One command, for readable expectations.
struct Cmd {
  bool copy;
  unsigned length;
  unsigned offset;
  bool operator==(const Cmd& o) const {
    return copy == o.copy && length == o.length && offset == o.offset;
  }
};
Cmd L(unsigned length) { return {false, length, 0}; }
Cmd C(unsigned length, unsigned offset) { return {true, length, offset}; }
std::ostream& operator<<(std::ostream& os, const Cmd& c) {
  if (c.copy) return os << "C" << c.length << "@" << c.offset;
  return os << "L" << c.length;
}

// What one CompressFragment call produced, copied out of the generator.
struct Parse {
  std::string content;
  std::vector<unsigned> words;

  std::vector<Cmd> commands() const {
    std::vector<Cmd> out;
    for (unsigned w : words) {
      out.push_back(CommandIsCopy(w)
                        ? C(CommandCopyLength(w), CommandCopyOffset(w))
                        : L(w));
    }
    return out;
  }
};

Parse ParseBlock(LZ77* lz77, const char* input, size_t n, const char* prev) {
  char* content;
  unsigned content_size, commands_size;
  unsigned* commands;
  lz77->CompressFragment(input, n, prev, &content, &content_size, &commands,
                         &commands_size);
  Parse p;
  p.content.assign(content, content_size);
  p.words.assign(commands, commands + commands_size);
  return p;
}

Parse RunFresh(const std::string& input) {
  LZ77 lz77(static_cast<int>(kBlockSize));
  return ParseBlock(&lz77, input.data(), input.size(), nullptr);
}

// Rebuilds a block from its parse and appends it to *out, which holds
// everything before the block; copies may reach at most kBlockSize bytes
// before the block. Checks every word against the command word rules.
::testing::AssertionResult Replay(const Parse& p, size_t block_size,
                                  std::string* out) {
  const size_t block_start = out->size();
  const size_t history = std::min(block_start, kBlockSize);
  if (p.words.size() > LZ77::MaxCompressedCommandsSize(block_size)) {
    return ::testing::AssertionFailure() << p.words.size() << " commands";
  }
  size_t content_pos = 0;
  for (size_t i = 0; i < p.words.size(); ++i) {
    const unsigned w = p.words[i];
    if (!CommandIsCopy(w)) {
      if (w < 1 || w > kBlockSize || content_pos + w > p.content.size()) {
        return ::testing::AssertionFailure()
               << "bad literal " << w << " at " << i;
      }
      out->append(p.content, content_pos, w);
      content_pos += w;
      continue;
    }
    const unsigned length = CommandCopyLength(w);
    const unsigned offset = CommandCopyOffset(w);
    const size_t produced = out->size() - block_start;
    if ((w & 0x7E0000) != 0 || length < 4 || length > 67 || offset < 1 ||
        offset > kBlockSize || offset > produced + history) {
      return ::testing::AssertionFailure()
             << "bad copy " << length << "@" << offset << " at " << i
             << " after " << produced << " bytes";
    }
    for (unsigned k = 0; k < length; ++k) {
      out->push_back((*out)[out->size() - offset]);
    }
  }
  if (content_pos != p.content.size()) {
    return ::testing::AssertionFailure() << "unused content";
  }
  if (out->size() - block_start != block_size) {
    return ::testing::AssertionFailure()
           << "rebuilt " << out->size() - block_start << " of " << block_size;
  }
  return ::testing::AssertionSuccess();
}

// n distinct-looking bytes: no 4-byte sequence occurs twice.
std::string Distinct(size_t n, int first) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(first + i));
  return s;
}

// ---- Parses -----------------------------------------------------------------

TEST(LZ77Test, ShortBlocksAreOneLiteral) {
  for (const std::string& input :
       {std::string("a"), std::string(14, 'a'), std::string("abcabcabcabcab"),
        Distinct(15, 'A')}) {
    SCOPED_TRACE(input);
    const Parse p = RunFresh(input);
    EXPECT_EQ(p.commands(), std::vector<Cmd>{L(input.size())});
    EXPECT_EQ(p.content, input);
  }
  EXPECT_TRUE(RunFresh("").words.empty());
}

// Parses traced by hand from the rules: probes from position 1, an empty
// bucket naming position 0, 32 probes per stride, the three positions a
// copy jumps over entered into the table, and no probe within the last 15
// bytes.
TEST(LZ77Test, HandTracedParses) {
  const std::string digits = "0123456789";
  const std::string r64 = Distinct(64, 0x80);
  const struct {
    const char* name;
    std::string input;
    std::vector<Cmd> expected;
  } kCases[] = {
      // At 3 the bucket of "abca" is still empty, i.e. names position 0.
      {"period 3", "abcabcabcabcabcabcabcabc", {L(3), C(21, 3)}},
      // The copy of "0123" stops at '6'; "6789" at its end was probed at 6,
      // so a second copy follows with no literal between.
      {"chained copies",
       digits + "0123" + "6789" + Distinct(16, 'a'),
       {L(10), C(4, 10), C(4, 8), L(16)}},
      // "67Za" at 34 is found only through position 16, which the copy of
      // "01234567" jumped over and entered into the table.
      {"position inside a copy",
       digits + "01234567" + "Zabcdefghijklmno" + "67Zabc" + "pqrstuvwxyzABCDE",
       {L(10), C(8, 10), L(16), C(6, 18), L(16)}},
      // After 32 probes the stride is 2: 64 is skipped, 65 probed and
      // matched through position 1.
      {"stride grows",
       r64 + r64 + Distinct(16, 'a'),
       {L(65), C(63, 64), L(16)}},
      // The last probe is at size - 16; a match found there runs to the end.
      {"match at the last probe",
       Distinct(24, 'a') + Distinct(16, 'a'),
       {L(24), C(16, 24)}},
      {"match past the last probe",
       Distinct(25, 'a') + Distinct(15, 'a'),
       {L(40)}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Parse p = RunFresh(c.input);
    EXPECT_EQ(p.commands(), c.expected);
    std::string out;
    EXPECT_TRUE(Replay(p, c.input.size(), &out));
    EXPECT_EQ(out, c.input);
  }
}

// "WXYZ" and a 4-byte string that shares its bucket in a 256-entry table
// but not in a 512-entry one, by the hash (bytes * 0x1E35A7BD) >> (32 -
// bits). Probed between the two occurrences of "WXYZ", it evicts the first
// one from a 256-entry table, and the second occurrence finds no match.
TEST(LZ77Test, HashCollisionEvictsEntry) {
  const auto hash = [](const std::string& s, int bits) {
    uint32_t v;
    memcpy(&v, s.data(), 4);
    return (v * 0x1E35A7BDu) >> (32 - bits);
  };
  const std::string x = "WXYZ";
  std::string y;
  for (uint32_t i = 0; i < 26 * 26 * 26 * 26 && y.empty(); ++i) {
    const std::string s = {char('a' + i % 26), char('a' + i / 26 % 26),
                           char('a' + i / 676 % 26), char('a' + i / 17576)};
    if (hash(s, 8) == hash(x, 8) && hash(s, 9) != hash(x, 9)) y = s;
  }
  ASSERT_FALSE(y.empty());
  const std::string input =
      "-" + x + y + Distinct(16, 0xC0) + x + Distinct(16, 0xD0);
  const struct {
    int n;
    std::vector<Cmd> expected;
  } kCases[] = {
      {255, {L(45)}},
      {512, {L(25), C(4, 24), L(16)}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.n);
    LZ77 lz77(c.n);
    EXPECT_EQ(ParseBlock(&lz77, input.data(), input.size(), nullptr).commands(),
              c.expected);
  }
}

TEST(LZ77Test, BlockOfOneByteValue) {
  const std::string input(kBlockSize, 'x');
  const Parse p = RunFresh(input);
  std::vector<Cmd> expected = {L(1)};
  for (int i = 0; i < 1023; ++i) expected.push_back(C(64, 1));
  expected.push_back(C(63, 1));
  EXPECT_EQ(p.commands(), expected);
  EXPECT_EQ(p.content, "x");
}

TEST(LZ77Test, EmitCopySplitsLongCopies) {
  const struct {
    unsigned offset, length;
    std::vector<unsigned> words;
  } kCases[] = {
      {1, 4, {0x04800001}},
      {1, 67, {0x43800001}},
      {1, 68, {0x40800001, 0x04800001}},
      {1, 131, {0x40800001, 0x43800001}},
      {1, 132, {0x40800001, 0x40800001, 0x04800001}},
      {65536, 4, {0x04810000}},
      {300, 200, {0x4080012C, 0x4080012C, 0x4080012C, 0x0880012C}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.length << "@" << c.offset);
    std::vector<unsigned> words(8, 0xDEADBEEF);
    words[0] = 7;  // a word already there stays
    unsigned count = 1;
    LZ77::EmitCopyForTesting(c.offset, c.length, words.data(), &count);
    ASSERT_EQ(count, 1 + c.words.size());
    EXPECT_EQ(words[0], 7u);
    EXPECT_EQ(std::vector<unsigned>(words.begin() + 1, words.begin() + count),
              c.words);
  }
}

TEST(LZ77Test, HashTableSizedFromBlockSize) {
  const struct {
    int n, bits;
  } kCases[] = {{0, 8},    {255, 8},    {256, 8},    {511, 8},    {512, 9},
                {1000, 9}, {32767, 14}, {32768, 15}, {65535, 15}, {65536, 15}};
  LZ77 largest(65536);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(LZ77(c.n).hash_table_bits(), c.bits);
    largest.ResetHashTable(c.n);
    EXPECT_EQ(largest.hash_table_bits(), c.bits);
  }
}

TEST(LZ77Test, ResetForgetsEarlierBlocks) {
  const std::string first = Text(kBlockSize, 1);
  const std::string second = Text(5000, 2);
  LZ77 reused(static_cast<int>(kBlockSize));
  ParseBlock(&reused, first.data(), first.size(), nullptr);
  reused.ResetHashTable(static_cast<int>(kBlockSize));
  LZ77 fresh(static_cast<int>(kBlockSize));
  EXPECT_EQ(ParseBlock(&reused, second.data(), second.size(), nullptr).words,
            ParseBlock(&fresh, second.data(), second.size(), nullptr).words);
}

// A table left dirty by an earlier input names positions at or past the
// probe; with no previous block to read them in they are misses, and the
// parse still rebuilds the input.
TEST(LZ77Test, StaleEntriesWithoutPreviousBlockAreMisses) {
  const std::string first = Text(kBlockSize, 3);
  const std::string second = Text(3000, 4);
  LZ77 lz77(static_cast<int>(kBlockSize));
  ParseBlock(&lz77, first.data(), first.size(), nullptr);
  const Parse p = ParseBlock(&lz77, second.data(), second.size(), nullptr);
  std::string out;
  EXPECT_TRUE(Replay(p, second.size(), &out));
  EXPECT_EQ(out, second);
}

TEST(LZ77Test, SyntheticInputsReplay) {
  const size_t kSizes[] = {15,   16,    17,    31,         100,
                           4096, 65535, 65536, 65536 + 15, 3 * 65536 + 1000};
  for (size_t n : kSizes) {
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(::testing::Message() << n << " bytes, kind " << kind);
      const std::string input = kind == 0   ? RandomBytes(n, n)
                                : kind == 1 ? Text(n, n)
                                            : std::string(n, 'q');
      LZ77 lz77(static_cast<int>(std::min(n, kBlockSize)));
      std::string out;
      for (size_t p = 0; p < n; p += kBlockSize) {
        const size_t size = std::min(kBlockSize, n - p);
        const Parse parse =
            ParseBlock(&lz77, input.data() + p, size,
                       p > 0 ? input.data() + p - kBlockSize : nullptr);
        ASSERT_TRUE(Replay(parse, size, &out)) << "block at " << p;
      }
      EXPECT_TRUE(out == input);
    }
  }
}

// ---- The previous block -----------------------------------------------------

// Parses cur after prev twice: with the blocks adjacent in one buffer, and
// with prev alone in a buffer of exactly 65536 + 8 bytes whose tail holds
// the first 8 bytes of cur (a read beyond that is a sanitizer error).
class PreviousBlockTest : public ::testing::Test {
 protected:
  void ParseBoth(const std::string& prev, const std::string& cur) {
    ASSERT_EQ(prev.size(), kBlockSize);
    const std::string both = prev + cur;
    LZ77 adjacent(static_cast<int>(kBlockSize));
    ParseBlock(&adjacent, both.data(), kBlockSize, nullptr);
    parse_ = ParseBlock(&adjacent, both.data() + kBlockSize, cur.size(),
                        both.data());

    std::unique_ptr<char[]> apart(new char[kBlockSize + 8]);
    memcpy(apart.get(), prev.data(), kBlockSize);
    memcpy(apart.get() + kBlockSize, cur.data(),
           std::min<size_t>(8, cur.size()));
    std::unique_ptr<char[]> cur_alone(new char[cur.size()]);
    memcpy(cur_alone.get(), cur.data(), cur.size());
    LZ77 separate(static_cast<int>(kBlockSize));
    ParseBlock(&separate, apart.get(), kBlockSize, nullptr);
    const Parse p =
        ParseBlock(&separate, cur_alone.get(), cur.size(), apart.get());
    EXPECT_EQ(p.words, parse_.words);
    EXPECT_EQ(p.content, parse_.content);

    std::string out = prev;
    ASSERT_TRUE(Replay(parse_, cur.size(), &out));
    EXPECT_TRUE(out == both);
  }

  // Copies whose source starts in the previous block, their largest
  // offset, and whether one of them runs on into the current block.
  void Survey(int* into_prev, unsigned* max_offset, bool* straddles) const {
    *into_prev = 0;
    *max_offset = 0;
    *straddles = false;
    size_t pos = 0;
    for (const Cmd& c : parse_.commands()) {
      if (c.copy && c.offset > pos) {
        ++*into_prev;
        *max_offset = std::max(*max_offset, c.offset);
        if (c.offset - pos < c.length) *straddles = true;
      }
      pos += c.length;
    }
  }

  Parse parse_;
};

TEST_F(PreviousBlockTest, RepeatedBlockCopiesFromFullDistance) {
  const std::string prev = RandomBytes(kBlockSize, 5);
  ParseBoth(prev, prev);
  int into_prev;
  unsigned max_offset;
  bool straddles;
  Survey(&into_prev, &max_offset, &straddles);
  EXPECT_GT(into_prev, 0);
  EXPECT_EQ(max_offset, kBlockSize);
  // Found at the first probe: one literal byte, then copies to the end.
  EXPECT_EQ(parse_.commands().front(), L(1));
  EXPECT_EQ(parse_.commands().back(), C(63, 65536));
}

// The previous block ends in 400 bytes of a short repeated pattern, which
// the current block carries on for 1000 bytes. The previous block's probes
// in the pattern are left in the table; a match on one of them runs to the
// end of the previous block and on through the current block's pattern.
// The periods move the boundary through the alignments of the word
// compares.
TEST_F(PreviousBlockTest, MatchRunsFromPreviousIntoCurrentBlock) {
  for (int period : {1, 3, 5, 7, 8, 9, 13, 16, 21}) {
    SCOPED_TRACE(period);
    const std::string pattern = RandomBytes(period, 100 + period);
    std::string prev = RandomBytes(kBlockSize - 400, 6 + period);
    while (prev.size() < kBlockSize) prev += pattern;
    // The last copy of the pattern is cut; the current block resumes it.
    const size_t cut = prev.size() - kBlockSize;
    prev.resize(kBlockSize);
    std::string cur = pattern.substr(pattern.size() - cut);
    while (cur.size() < 1000) cur += pattern;
    cur.resize(1000);
    cur += RandomBytes(3000, 7);
    ParseBoth(prev, cur);
    int into_prev;
    unsigned max_offset;
    bool straddles;
    Survey(&into_prev, &max_offset, &straddles);
    EXPECT_TRUE(straddles);
  }
}

TEST_F(PreviousBlockTest, UnrelatedBlocks) {
  ParseBoth(Text(kBlockSize, 8), Text(kBlockSize, 9));
  ParseBoth(Text(kBlockSize, 10), Text(100, 11));
  ParseBoth(RandomBytes(kBlockSize, 12), std::string(20, 'z'));
}

// ---- Match length -----------------------------------------------------------

// Equal bytes of x from i and from j, up to limit: the plain definition.
int ReferenceMatch(const std::string& x, size_t i, size_t j, size_t limit) {
  int n = 0;
  while (j + n < limit && x[i + n] == x[j + n]) ++n;
  return n;
}

// A two-letter alphabet gives matches of every length.
std::string TwoLetters(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, 'a');
  for (char& c : s) c = (rng() % 4 == 0) ? 'b' : 'a';
  return s;
}

TEST(FindMatchLengthTest, AgreesWithByteCompare) {
  for (uint32_t seed = 0; seed < 4; ++seed) {
    const std::string x = TwoLetters(48, seed);
    // Exactly sized, so that a read past the limit is a sanitizer error.
    std::unique_ptr<uint8[]> buf(new uint8[x.size()]);
    memcpy(buf.get(), x.data(), x.size());
    for (size_t j = 1; j <= x.size(); ++j) {
      for (size_t i = 0; i < j; ++i) {
        for (size_t limit : {j, (j + x.size()) / 2, x.size()}) {
          ASSERT_EQ(
              FindMatchLength(buf.get() + i, buf.get() + j, buf.get() + limit),
              ReferenceMatch(x, i, j, limit))
              << seed << " " << i << " " << j << " " << limit;
        }
      }
    }
  }
}

// The previous block (P bytes) lives apart from the current one, followed
// by the first 8 bytes of the current block; the match must equal that over
// the two blocks laid end to end, for every start in the previous block or
// in the few bytes after it, and every start and limit in the current one.
TEST(FindMatchLengthTest, MultiBlockAgreesWithAdjacentBlocks) {
  constexpr size_t P = 40, N = 40;
  for (uint32_t seed = 0; seed < 4; ++seed) {
    const std::string x = TwoLetters(P + N, seed);
    std::unique_ptr<uint8[]> prev(new uint8[P + 8]);
    std::unique_ptr<uint8[]> cur(new uint8[N]);
    memcpy(prev.get(), x.data(), P + 8);
    memcpy(cur.get(), x.data() + P, N);
    for (size_t i = 0; i < P + 4; ++i) {
      for (size_t j = i + 1 > P ? i + 1 - P : 0; j < N; ++j) {
        for (size_t limit : {j, std::min(N, j + 7), N}) {
          ASSERT_EQ(MultiBlockFindMatchLength(prev.get() + i, prev.get() + P,
                                              cur.get(), cur.get() + j,
                                              cur.get() + limit),
                    ReferenceMatch(x, i, P + j, P + limit))
              << seed << " " << i << " " << j << " " << limit;
        }
      }
    }
  }
}

// ---- Misuse is refused ------------------------------------------------------

TEST(LZ77DeathTest, SizesBeyondTheBuffers) {
  LZ77 small(100);
  const std::string big(kBlockSize + 1, 'b');
  char* content;
  unsigned content_size, commands_size;
  unsigned* commands;
  EXPECT_DEATH(small.CompressFragment(big.data(), 101, nullptr, &content,
                                      &content_size, &commands, &commands_size),
               "Check failed: input_size <= capacity_");
  LZ77 full(static_cast<int>(kBlockSize));
  EXPECT_DEATH(full.CompressFragment(big.data(), big.size(), nullptr, &content,
                                     &content_size, &commands, &commands_size),
               "Check failed: input_size <= kBlockSize");
  EXPECT_DEATH(small.ResetHashTable(101), "Check failed");
  unsigned words[4];
  unsigned count = 0;
  EXPECT_DEATH(LZ77::EmitCopyForTesting(65537, 4, words, &count),
               "Check failed: offset <= 1u << 16");
}

// ---- Corpus -----------------------------------------------------------------

// Every block of every corpus file, parsed as the driver does (one generator
// per file, blocks in order, each with its predecessor), rebuilds the file;
// with every previous block moved to a buffer of its own the parse is the
// same.
TEST(LZ77CorpusTest, EveryBlockReplays) {
  const std::vector<std::string> files = testing_corpus::CorpusFiles();
  if (files.empty()) GTEST_SKIP() << testing_corpus::MissingCorpusMessage();
  std::unique_ptr<char[]> apart(new char[kBlockSize + 8]);
  for (const std::string& file : files) {
    SCOPED_TRACE(testing_corpus::ShortName(file));
    const std::string data = testing_corpus::ReadFile(file);
    const int n = static_cast<int>(std::min(data.size(), kBlockSize));
    LZ77 adjacent(n), separate(n);
    std::string out;
    out.reserve(data.size());
    for (size_t p = 0; p < data.size(); p += kBlockSize) {
      const size_t size = std::min(kBlockSize, data.size() - p);
      const char* block = data.data() + p;
      const Parse parse = ParseBlock(&adjacent, block, size,
                                     p > 0 ? block - kBlockSize : nullptr);
      ASSERT_TRUE(Replay(parse, size, &out)) << "block at " << p;
      if (p > 0) {
        memcpy(apart.get(), block - kBlockSize, kBlockSize);
        memcpy(apart.get() + kBlockSize, block, std::min<size_t>(8, size));
      }
      ASSERT_TRUE(
          ParseBlock(&separate, block, size, p > 0 ? apart.get() : nullptr)
              .words == parse.words)
          << "block at " << p;
    }
    ASSERT_TRUE(out == data);
  }
}

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
