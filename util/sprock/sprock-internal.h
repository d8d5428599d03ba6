// Internals of the Sprock compressor shared between its source files and
// tests: the per-call hash table and the block compressor.
#ifndef UTIL_SPROCK_SPROCK_INTERNAL_H_
#define UTIL_SPROCK_SPROCK_INTERNAL_H_

#include <cstddef>

#include "base/integral_types.h"
#include "base/logging.h"
#include "base/port.h"

namespace quern {
namespace internal {

// The hash table of one compression call: 16-bit block offsets, sized to the
// block. Tables of up to kSmallTableSize entries live in the object; larger
// ones are allocated on first need and reused for every later block.
class WorkingMemory {
 public:
  static constexpr int kSmallTableSize = 1 << 10;
  static constexpr int kMaxTableSize = 1 << 14;

  WorkingMemory() : large_table_(nullptr) {}
  ~WorkingMemory() { delete[] large_table_; }
  WorkingMemory(const WorkingMemory&) = delete;
  WorkingMemory& operator=(const WorkingMemory&) = delete;

  // A zeroed table for a block of input_size bytes; its size (a power of two
  // from 256 to kMaxTableSize) goes to *table_size.
  uint16* GetHashTable(size_t input_size, int* table_size);

 private:
  uint16 small_table_[kSmallTableSize];
  uint16* large_table_;
};

// Compresses one block of at most kBlockSize bytes into elements (no
// preamble) at op, which must have room for MaxCompressedLength(input_size)
// bytes; returns the end of what was written.
char* CompressFragment(const char* input, size_t input_size, char* op,
                       uint16* table, int table_size);

// Returns how many bytes from s2 (stopping at s2_limit) equal those from s1.
static inline ATTRIBUTE_ALWAYS_INLINE size_t
FindMatchLength(const char* s1, const char* s2, const char* s2_limit) {
  DCHECK_GE(s2_limit, s2);
  size_t matched = 0;
  // Compare a word at a time; at the first difference the number of equal
  // leading bytes is the position of the lowest differing bit over eight.
  while (PREDICT_TRUE(s2 <= s2_limit - 8)) {
    uint64 x = UNALIGNED_LOAD64(s2) ^ UNALIGNED_LOAD64(s1 + matched);
    if (PREDICT_FALSE(x != 0)) {
      return matched + (bits::FindLSBSetNonZero64(x) >> 3);
    }
    s2 += 8;
    matched += 8;
  }
  while (s2 < s2_limit && s1[matched] == *s2) {
    ++s2;
    ++matched;
  }
  return matched;
}

}  // namespace internal
}  // namespace quern

#endif  // UTIL_SPROCK_SPROCK_INTERNAL_H_
