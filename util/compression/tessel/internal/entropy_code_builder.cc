#include "util/compression/tessel/internal/entropy_code_builder.h"

#include "base/logging.h"

namespace util {
namespace compression {
namespace tessel {

void EntropyCodeBuilder::FindLimits(const uint8* classes) {
  uint16 hist[kNumClasses] = {};
  for (int v = 0; v < 256; ++v) {
    CHECK_LT(classes[v], kNumClasses);
    ++hist[classes[v]];
  }
  limit_32_ = limit_96_ = -1;
  choose_at_limit_32_ = choose_at_limit_96_ = 0;
  int sum = 0;
  for (int c = kNumClasses - 1; c >= 0; --c) {
    const int before = sum;
    sum += hist[c];
    if (before < 32 && sum >= 32) {
      limit_32_ = c;
      choose_at_limit_32_ = hist[c] - (sum - 32);
    }
    if (before < 96 && sum >= 96) {
      limit_96_ = c;
      // A class holding both the 32nd and the 96th value gives its first
      // values to the 6-bit codes and the 64 after them to the 8-bit ones.
      choose_at_limit_96_ = c == limit_32_ ? 64 : hist[c] - (sum - 96);
    }
  }
  CHECK(limit_32_ >= 0);
  CHECK(choose_at_limit_32_ >= 1);
  CHECK(limit_96_ >= 0);
  CHECK(choose_at_limit_96_ >= 1);
}

void EntropyCodeBuilder::ProduceSymbolOrder(const uint8* classes,
                                            int* assign_value,
                                            int* assign_length) {
  int best_index = 0;
  int next_best_index = 0;
  for (int v = 0; v < 256; ++v) {
    const int c = classes[v];
    if (c >= limit_32_) {
      // Once the limit class has given its share, the limit moves above it
      // and its remaining values fall through to the tests below.
      if (c == limit_32_ && --choose_at_limit_32_ == 0) ++limit_32_;
      assign_value[v] = best_index++;
      assign_length[v] = 6;
    } else if (c < limit_96_) {
      assign_value[v] = 0x300 | v;
      assign_length[v] = 10;
    } else {
      if (c == limit_96_ && --choose_at_limit_96_ == 0) ++limit_96_;
      assign_value[v] = 0x80 | next_best_index++;
      assign_length[v] = 8;
    }
  }
  CHECK_EQ(32, best_index);
  CHECK_EQ(64, next_best_index);
}

}  // namespace tessel
}  // namespace compression
}  // namespace util
