#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "util/hash/adler32_init.h"
#include "util/hash/adler32_lib.h"

namespace {

typedef std::vector<uint8> Bytes;

Bytes RandomBytes(size_t n, uint32 seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8& c : b) c = static_cast<uint8>(rng());
  return b;
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

// zlib's checksum, the reference (every input here is below 4 GiB). An
// empty vector may have no data pointer, which zlib would answer with 1.
uint32 Zlib(uint32 adler, const Bytes& data) {
  static const uint8 kNothing = 0;
  const uint8* p = data.empty() ? &kNothing : data.data();
  return static_cast<uint32>(adler32(adler, p, static_cast<uInt>(data.size())));
}

// adler32_sse2 over a copy of data that starts `align` bytes past an 8-byte
// boundary and ends where its allocation ends, so that any read past the
// end shows under AddressSanitizer.
uint32 Sse2At(uint32 adler, const Bytes& data, size_t align) {
  std::vector<uint8> buf(std::max<size_t>(align + data.size(), 1));
  if (!data.empty()) memcpy(buf.data() + align, data.data(), data.size());
  return adler32_sse2(adler, buf.data() + align, data.size());
}

// Starting checksums: a new one, the largest possible, and an arbitrary one.
const uint32 kStarts[] = {1, 0xFFF0FFF0, 0x3A5C0F17};

// The two fills that matter: random bytes, and all 0xFF, which drives every
// unreduced sum to its largest value.
Bytes Fill(bool all_ff, size_t n, uint32 seed) {
  return all_ff ? Bytes(n, 0xFF) : RandomBytes(n, seed);
}

// Compares adler32_sse2 with zlib on every prefix length in `lengths`, at
// every alignment 0..7, for both fills and every start.
void ExpectAgreement(const std::vector<size_t>& lengths) {
  for (bool all_ff : {false, true}) {
    for (uint32 start : kStarts) {
      for (size_t length : lengths) {
        const Bytes data = Fill(all_ff, length, static_cast<uint32>(length));
        const uint32 want = Zlib(start, data);
        for (size_t align = 0; align < 8; align++) {
          ASSERT_EQ(Sse2At(start, data, align), want)
              << "length " << length << ", align " << align << ", start 0x"
              << std::hex << start << (all_ff ? ", all 0xFF" : ", random");
        }
      }
    }
  }
}

TEST(Adler32Sse2Test, AgreesWithZlibOnEveryShortLength) {
  // Covers the single byte, the scalar path, the start of the vector path
  // (64), the first inputs with whole blocks (136 up) and tails of every
  // length.
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 1100; n++) lengths.push_back(n);
  ExpectAgreement(lengths);
}

TEST(Adler32Sse2Test, AgreesWithZlibAroundBlockGroups) {
  // A group is 43 blocks of 128 bytes (5504), reduced at its end; 32768 is
  // where prefetching moves ahead of the data.
  ExpectAgreement({5503, 5504, 5505, 5506, 5504 + 135, 5504 + 136, 2 * 5504 - 1,
                   2 * 5504 + 1, 32767, 32768, 32769, (size_t{1} << 20) + 3});
}

TEST(Adler32Sse2Test, AgreesWithZlibOnRandomLongInputs) {
  std::mt19937 rng(20240601);
  for (int i = 0; i < 40; i++) {
    const size_t length = 136 + rng() % 400000;
    const size_t align = rng() % 8;
    const uint32 start = (rng() % 65521) << 16 | (rng() % 65521);
    const Bytes data = RandomBytes(length, rng());
    EXPECT_EQ(Sse2At(start, data, align), Zlib(start, data))
        << "length " << length << ", align " << align;
  }
}

TEST(Adler32Sse2Test, KnownValue) {
  const Bytes abc = Text("abc");
  EXPECT_EQ(adler32_sse2(1, abc.data(), abc.size()), 0x024D0127u);
  EXPECT_EQ(Zlib(1, abc), 0x024D0127u);
}

TEST(Adler32Sse2Test, NullDataGivesOne) {
  struct Case {
    uint32 adler;
    size_t length;
  };
  const Case kCases[] = {{1, 0},          {0x3A5C0F17, 0}, {0x3A5C0F17, 1},
                         {0xFFF0FFF0, 1}, {7, 63},         {7, 64},
                         {7, 1 << 20}};
  for (const Case& c : kCases) {
    EXPECT_EQ(adler32_sse2(c.adler, nullptr, c.length), 1u)
        << "length " << c.length;
  }
}

// A read-only mapping of zero bytes, costing no memory however long. Asking
// for huge pages lets the kernel map its huge zero page, which makes reading
// 4 GiB take thousands of page faults rather than a million.
class ZeroPages {
 public:
  explicit ZeroPages(size_t length) : length_(length + kHugePage) {
    map_ = mmap(nullptr, length_, PROT_READ,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map_ == MAP_FAILED) return;
    const uintptr_t start =
        (reinterpret_cast<uintptr_t>(map_) + kHugePage - 1) & ~(kHugePage - 1);
    data_ = reinterpret_cast<const uint8*>(start);
    madvise(const_cast<uint8*>(data_), length, MADV_HUGEPAGE);  // a hint
  }
  ~ZeroPages() {
    if (map_ != MAP_FAILED) munmap(map_, length_);
  }
  const uint8* data() const { return data_; }

 private:
  static constexpr size_t kHugePage = size_t{2} << 20;
  size_t length_;
  void* map_;
  const uint8* data_ = nullptr;
};

// Past 2^32, so a length cut to 32 bits anywhere would show; not a multiple
// of the block size, so the tail runs too.
constexpr size_t kHugeLength = (size_t{1} << 32) + 300;
constexpr uint32 kHugeStart = 0x3A5C0F17;

TEST(Adler32Sse2Test, InputLongerThan4GiB) {
  ZeroPages zeros(kHugeLength);
  ASSERT_NE(zeros.data(), nullptr) << "cannot map " << kHugeLength;
  EXPECT_EQ(adler32_sse2(kHugeStart, zeros.data() + 1, kHugeLength - 1),
            Adler32Bytes(kHugeStart, 0, kHugeLength - 1));
}

// ---- Start-up selection ---------------------------------------------------
// The feature mask is read once per process, so each case runs in a fresh
// one: a death test in the "threadsafe" style re-executes the test binary
// and runs only the statement. Its exit code says what went wrong.

enum SelectionResult {
  kSelectedAsExpected = 0,
  kWrongRoutine = 10,
  kWrongChecksum = 11,
  kWrongHugeChecksum = 12,
  kCannotMap = 13,
};

// In the child: sets CPU_FEATURE_MASK (or removes it when mask is null),
// selects, and checks the choice and the checksums it gives.
[[noreturn]] void SelectAndCheck(const char* mask, bool want_sse2,
                                 bool check_huge) {
  if (mask != nullptr) {
    setenv("CPU_FEATURE_MASK", mask, 1);
  } else {
    unsetenv("CPU_FEATURE_MASK");
  }
  FastAdler32Init();
  if ((FastAdler32Func == adler32_sse2) != want_sse2) _exit(kWrongRoutine);
  const Bytes data = RandomBytes(10000, 7);
  if (FastAdler32Func(kHugeStart, data.data(), data.size()) !=
          Zlib(kHugeStart, data) ||
      FastAdler32Func(kHugeStart, nullptr, 1) != 1) {
    _exit(kWrongChecksum);
  }
  if (check_huge) {
    ZeroPages zeros(kHugeLength);
    if (zeros.data() == nullptr) _exit(kCannotMap);
    if (FastAdler32Func(kHugeStart, zeros.data(), kHugeLength) !=
        Adler32Bytes(kHugeStart, 0, kHugeLength)) {
      _exit(kWrongHugeChecksum);
    }
  }
  _exit(kSelectedAsExpected);
}

TEST(FastAdler32Test, SelectionFollowsFeatureMask) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* mask;  // null: the variable is absent
    bool want_sse2;    // every x86-64 processor has SSE2
  };
  const Case kCases[] = {
      {nullptr, true}, {"0", true},        {"4", false},
      {"0x4", false},  {"fffffffb", true}, {"ffffffffffffffff", false},
  };
  for (const Case& c : kCases) {
    EXPECT_EXIT(SelectAndCheck(c.mask, c.want_sse2, false),
                testing::ExitedWithCode(kSelectedAsExpected), "")
        << "CPU_FEATURE_MASK=" << (c.mask ? c.mask : "(unset)");
  }
}

TEST(FastAdler32Test, ZlibFallbackTakesInputLongerThan4GiB) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(SelectAndCheck("4", false, true),
              testing::ExitedWithCode(kSelectedAsExpected), "");
}

// ---- Arithmetic on checksums ----------------------------------------------

TEST(Adler32BytesTest, MatchesChecksumOfTheRun) {
  const uint32 kCounts[] = {1,     2,     3,      1000,   65520,
                            65521, 65522, 131042, 200000, 1 << 20};
  const uint8 kBytes[] = {0, 1, 0x61, 0xFF};
  for (uint32 start : kStarts) {
    for (uint8 byte : kBytes) {
      for (uint32 count : kCounts) {
        EXPECT_EQ(Adler32Bytes(start, byte, count),
                  Zlib(start, Bytes(count, byte)))
            << "start 0x" << std::hex << start << ", byte 0x" << int{byte}
            << std::dec << ", count " << count;
      }
      EXPECT_EQ(Adler32Bytes(start, byte, 0), start);
    }
  }
  EXPECT_EQ(Adler32Bytes(1, 'a', 3), Zlib(1, Text("aaa")));
}

TEST(CombineAdlerChecksumsTest, KnownValues) {
  const uint32 ab = Zlib(1, Text("ab"));
  EXPECT_EQ(CombineAdlerChecksums(ab, Zlib(1, Text("c")), 1),
            Zlib(1, Text("abc")));
  EXPECT_EQ(CombineAdlerChecksums(ab, 1, 0), ab);
  for (uint32 start : kStarts) {
    EXPECT_EQ(CombineAdlerChecksums(start, 1, 0), start);
  }
}

TEST(CombineAdlerChecksumsTest, EqualsChecksumOfConcatenation) {
  // Second pieces around multiples of 65521 and at random, each after a
  // first piece continued from a non-trivial checksum.
  std::mt19937 rng(99);
  std::vector<size_t> second_lengths = {0, 1, 65520, 65521, 65522, 131042};
  for (int i = 0; i < 60; i++) second_lengths.push_back(rng() % 300000);
  for (size_t second_length : second_lengths) {
    const size_t first_length = rng() % 100000;
    const uint32 start = (rng() % 65521) << 16 | (rng() % 65521);
    const Bytes all = rng() % 4 == 0
                          ? Bytes(first_length + second_length, 0xFF)
                          : RandomBytes(first_length + second_length, rng());
    const Bytes first(all.begin(), all.begin() + first_length);
    const Bytes second(all.begin() + first_length, all.end());
    EXPECT_EQ(CombineAdlerChecksums(Zlib(start, first), Zlib(1, second),
                                    static_cast<int64>(second_length)),
              Zlib(start, all))
        << "lengths " << first_length << " + " << second_length;
  }
}

TEST(Adler32RangeTest, Bounds) {
  uint64 min = 1, max = 0;
  adler32_range(&min, &max);
  EXPECT_EQ(min, 0u);
  EXPECT_EQ(max, 0xFFF0FFF0u);
}

TEST(CombineAdlerChecksumsDeathTest, HalvesOf65521OrMoreAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    uint32 first;
    uint32 second;
    const char* message;
  };
  const Case kCases[] = {
      {0x0000FFF1, 1, "Check failed: first_low < 65521UL"},
      {0xFFF10001, 1, "Check failed: first_high < 65521UL"},
      {1, 0x0000FFFF, "Check failed: second_low < 65521UL"},
      {1, 0xFFF10001, "Check failed: second_high < 65521UL"},
  };
  for (const Case& c : kCases) {
    EXPECT_DEATH(CombineAdlerChecksums(c.first, c.second, 5), c.message);
  }
}

}  // namespace
