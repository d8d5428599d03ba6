#include "util/hash/adler32_lib.h"

#include "base/logging.h"

namespace {

constexpr uint64 kBase = 65521;  // the largest prime below 2^16

}  // namespace

void adler32_range(uint64* min, uint64* max) {
  *min = 0;
  *max = 0xFFF0FFF0;
}

// Appending n copies of c adds n*c to A and, since A takes the values
// A+c, A+2c, ..., A+nc on the way, n*A + c*n*(n+1)/2 to B. Both depend on n
// only modulo 65521 (65521 is odd, so n*(n+1)/2 does too), which keeps every
// product below 2^32.
uint32 Adler32Bytes(uint32 adler, uint8 byte, size_t count) {
  uint64 a = adler & 0xffff;
  uint64 b = (adler >> 16) & 0xffff;
  const uint64 n = count % kBase;
  const uint64 triangle = (n * (n + 1) / 2) % kBase;
  b = (b + n * a) % kBase;
  b = (b + triangle * byte) % kBase;
  a = (a + n * byte) % kBase;
  return static_cast<uint32>(b << 16 | a);
}

// With the second piece's sums A2 = 1 + S2 and B2 = n + (its partial sums),
// the concatenation has A = A1 + A2 - 1 and B = B1 + n*A1 + B2 - n. The
// 65521s added keep the differences from going below zero.
uint32 CombineAdlerChecksums(uint32 first, uint32 second, int64 second_length) {
  const uint64 first_low = first & 0xffff;
  const uint64 first_high = first >> 16;
  const uint64 second_low = second & 0xffff;
  const uint64 second_high = second >> 16;
  CHECK_LT(first_low, 65521UL);
  CHECK_LT(first_high, 65521UL);
  CHECK_LT(second_low, 65521UL);
  CHECK_LT(second_high, 65521UL);

  uint64 n = static_cast<uint64>(second_length);
  if (n >= kBase) n %= kBase;
  const uint64 low = (first_low + second_low + kBase - 1) % kBase;
  const uint64 high =
      (first_high + first_low * n + second_high + kBase - n) % kBase;
  return static_cast<uint32>(high << 16 | low);
}
