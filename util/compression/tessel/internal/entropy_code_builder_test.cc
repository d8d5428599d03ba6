#include "util/compression/tessel/internal/entropy_code_builder.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "gtest/gtest.h"

namespace util {
namespace compression {
namespace tessel {
namespace {

struct Code {
  std::vector<int> value, length;
};

Code Build(const std::vector<uint8>& classes) {
  Code code{std::vector<int>(256, -1), std::vector<int>(256, -1)};
  EntropyCodeBuilder builder;
  builder.FindLimits(classes.data());
  builder.ProduceSymbolOrder(classes.data(), code.value.data(),
                             code.length.data());
  return code;
}

// The code by its definition: rank the values by class, highest first, and
// by byte value within a class; the first 32 get 6-bit codes, the next 64
// 8-bit codes, each numbered in increasing byte order; the rest 10 bits.
Code Expected(const std::vector<uint8>& classes) {
  std::vector<int> order(256);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return classes[a] > classes[b]; });
  std::vector<int> length(256, 10);
  for (int i = 0; i < 96; ++i) length[order[i]] = i < 32 ? 6 : 8;
  Code code{std::vector<int>(256), length};
  int best = 0, next_best = 0;
  for (int v = 0; v < 256; ++v) {
    if (length[v] == 6) code.value[v] = best++;
    if (length[v] == 8) code.value[v] = 0x80 | next_best++;
    if (length[v] == 10) code.value[v] = 0x300 | v;
  }
  return code;
}

void ExpectCode(const std::vector<uint8>& classes) {
  const Code got = Build(classes);
  const Code want = Expected(classes);
  EXPECT_EQ(got.length, want.length);
  EXPECT_EQ(got.value, want.value);
}

TEST(EntropyCodeBuilderTest, EqualClassesGoByByteValue) {
  for (int c : {0, 1, 15, 31}) {
    SCOPED_TRACE(c);
    const Code code = Build(std::vector<uint8>(256, c));
    for (int v = 0; v < 256; ++v) {
      if (v < 32) {
        EXPECT_EQ(code.length[v], 6);
        EXPECT_EQ(code.value[v], v);
      } else if (v < 96) {
        EXPECT_EQ(code.length[v], 8);
        EXPECT_EQ(code.value[v], 0x80 | (v - 32));
      } else {
        EXPECT_EQ(code.length[v], 10);
        EXPECT_EQ(code.value[v], 0x300 | v);
      }
    }
  }
}

// Where the 32nd and the 96th value fall decides the bookkeeping: inside a
// class, at a class boundary, both in one class, or in adjacent classes.
TEST(EntropyCodeBuilderTest, LimitsInsideAndBetweenClasses) {
  const struct {
    const char* name;
    // (class, number of values) from value 255 downward; the rest class 0.
    std::vector<std::pair<int, int>> runs;
  } kCases[] = {
      {"both limits at class boundaries", {{9, 32}, {4, 64}}},
      {"32nd inside a class, 96th at a boundary", {{9, 20}, {4, 76}}},
      {"32nd at a boundary, 96th inside a class", {{9, 32}, {4, 100}}},
      {"both inside one class", {{20, 10}, {12, 150}}},
      {"both inside one class holding all", {{31, 256}}},
      {"limits in adjacent classes", {{5, 31}, {4, 10}, {3, 200}}},
      {"few classed values", {{15, 3}, {14, 5}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8> classes(256, 0);
    int v = 255;
    for (const auto& run : c.runs) {
      for (int i = 0; i < run.second && v >= 0; ++i) classes[v--] = run.first;
    }
    ExpectCode(classes);
    // The same classes scattered over the byte values.
    std::shuffle(classes.begin(), classes.end(), std::mt19937(7));
    ExpectCode(classes);
  }
}

TEST(EntropyCodeBuilderTest, RandomClasses) {
  std::mt19937 rng(1);
  for (int range : {2, 3, 16, 32}) {
    for (int round = 0; round < 50; ++round) {
      SCOPED_TRACE(::testing::Message() << range << " " << round);
      std::vector<uint8> classes(256);
      for (uint8& c : classes) c = rng() % range;
      ExpectCode(classes);
    }
  }
}

}  // namespace
}  // namespace tessel
}  // namespace compression
}  // namespace util
