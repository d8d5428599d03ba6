// Builds the prefix code for the literal bytes of one Tessel block from the
// class (0 to 31, higher meaning more frequent) of each byte value: the 32
// values of highest class get 6-bit codes, the next 64 get 8-bit codes and
// the other 160 keep their value behind a 2-bit escape (10 bits). Used by
// the entropy coder.
#ifndef UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_CODE_BUILDER_H_
#define UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_CODE_BUILDER_H_

#include "base/integral_types.h"

namespace util {
namespace compression {
namespace tessel {

// Ties are broken by byte value: within a class that straddles a limit the
// lower values get the shorter code. Usage: FindLimits, then
// ProduceSymbolOrder once (it uses up the counts FindLimits set).
class EntropyCodeBuilder {
 public:
  // Classes run from 0 to kNumClasses - 1.
  static constexpr int kNumClasses = 32;

  EntropyCodeBuilder() = default;

  // Finds the classes where the 32nd and the 96th value (counting from the
  // highest class down) fall, and how many values of each of those classes
  // are needed to make exactly 32 and 96. classes holds 256 entries.
  void FindLimits(const uint8* classes);

  // Gives each of the 256 byte values its code: assign_length[v] is 6, 8 or
  // 10 and assign_value[v] the code's bits (the 5-bit index among the best
  // 32 in increasing byte order; 0x80 | the 6-bit index among the next 64;
  // 0x300 | v).
  void ProduceSymbolOrder(const uint8* classes, int* assign_value,
                          int* assign_length);

 private:
  int limit_32_ = -1;
  int limit_96_ = -1;
  int choose_at_limit_32_ = 0;
  int choose_at_limit_96_ = 0;
};

}  // namespace tessel
}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_CODE_BUILDER_H_
