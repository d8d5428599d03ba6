// Tessel's command generator: a single-pass greedy LZ77 parser that turns
// one block of at most 64 KiB into literal runs, whose bytes it gathers in a
// content buffer, and copies of earlier bytes of the same block or of the
// block before it. The compression driver runs it once per block, the
// entropy coder codes what it produces, and the decoder rebuilds the same
// command words.
//
// The parse is part of what the codec promises: the same input gives the
// same commands on every machine and in every release, so the hashing, the
// table sizing, the skip rule and the insertions after a copy are fixed.
#ifndef UTIL_COMPRESSION_TESSEL_INTERNAL_LZ77_H_
#define UTIL_COMPRESSION_TESSEL_INTERNAL_LZ77_H_

#include <cstddef>

#include "base/integral_types.h"
#include "base/logging.h"
#include "base/port.h"

namespace util {
namespace compression {

// How many bytes starting at s1 and at s2 are equal, looking at no byte at
// or beyond s2_limit. s1 must be readable as far as s2 is compared.
inline int FindMatchLength(const uint8* s1, const uint8* s2,
                           const uint8* s2_limit) {
  DCHECK(s2 <= s2_limit);
  int matched = 0;
  // A word at a time; at the first difference the equal leading bytes are
  // the trailing zero bits of the exclusive or, over eight.
  while (PREDICT_TRUE(s2_limit - s2 >= 8)) {
    const uint64 x = UNALIGNED_LOAD64(s2) ^ UNALIGNED_LOAD64(s1 + matched);
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

// FindMatchLength for an s1 that starts in the previous block, which ends
// at s1_limit and lives apart from the current block (s1_next_block): the
// match is measured over the previous block followed by the current one.
// The 8 bytes after s1_limit must be readable and equal the first 8 bytes
// of the current block; word compares that straddle s1_limit read them.
// An s1 at or a few bytes past s1_limit is the same as one that far into
// the current block.
inline int MultiBlockFindMatchLength(const uint8* s1, const uint8* s1_limit,
                                     const uint8* s1_next_block,
                                     const uint8* s2, const uint8* s2_limit) {
  DCHECK(s2 <= s2_limit);
  int matched = 0;
  if (s1 < s1_limit) {
    // A load at s1 < s1_limit reaches at most 7 bytes past the block.
    while (PREDICT_TRUE(s2_limit - s2 >= 8)) {
      const uint64 x = UNALIGNED_LOAD64(s2) ^ UNALIGNED_LOAD64(s1);
      if (PREDICT_FALSE(x != 0)) {
        return matched + (bits::FindLSBSetNonZero64(x) >> 3);
      }
      s1 += 8;
      s2 += 8;
      matched += 8;
      if (s1 >= s1_limit) break;
    }
    if (s1 < s1_limit) {
      // Fewer than 8 bytes of s2 are left.
      while (s2 < s2_limit) {
        if (s1 == s1_limit) s1 = s1_next_block;
        if (*s1 != *s2) return matched;
        ++s1;
        ++s2;
        ++matched;
      }
      return matched;
    }
  }
  // From here on s1 runs in the current block, always behind s2.
  s1 = s1_next_block + (s1 - s1_limit);
  return matched + FindMatchLength(s1, s2, s2_limit);
}

namespace tessel {

// Largest block the generator parses; also the farthest a copy reaches.
constexpr size_t kBlockSize = 1 << 16;

// ---------------------------------------------------------------------------
// Command words. One unsigned 32-bit value per command:
//   literal: the run length, 1 to 65536 (bits 0-16; all other bits zero);
//   copy:    bits 0-16 the offset (1 to 65536), bit 23 set (the copy flag),
//            bits 24-31 the length (4 to 67).
// A literal's top byte is zero, so word >> 24 is the number of bytes any
// command copies.
// ---------------------------------------------------------------------------

constexpr unsigned kCopyFlag = 0x800000;
constexpr unsigned kOffsetMask = 0x1FFFF;

inline bool CommandIsCopy(unsigned c) { return (c & kCopyFlag) != 0; }
inline unsigned CommandCopyLength(unsigned c) { return c >> 24; }
inline unsigned CommandCopyOffset(unsigned c) { return c & kOffsetMask; }
inline unsigned CommandCopy(unsigned length, unsigned offset) {
  return (length << 24) | kCopyFlag | offset;
}

// The generator for blocks of up to the size given at construction. It owns
// the content and command buffers the last CompressFragment filled and the
// hash table, which keeps its entries from one block to the next so that
// the second and later blocks of a call find matches in their predecessor.
// Not safe for concurrent use.
class LZ77 {
 public:
  // Copies never exceed this length; longer matches are cut into pieces.
  static constexpr unsigned kMaxCopyLength = 67;
  // Blocks shorter than this are a single literal run, and the search stops
  // this many bytes before the end of a block: every probe, hash load and
  // 16-byte literal copy then stays inside the block.
  static constexpr size_t kInputMarginBytes = 15;

  // Buffers for blocks of up to n bytes (0 <= n <= 65536) and an all-zero
  // hash table sized for n.
  explicit LZ77(int n);
  ~LZ77();
  LZ77(const LZ77&) = delete;
  LZ77& operator=(const LZ77&) = delete;

  // Sizes the hash table for blocks of n bytes (at most the constructed
  // size) and zeroes it: the next block is parsed as the first of a call.
  void ResetHashTable(int n);

  // Command words a block of n bytes can produce: each literal run but the
  // last is followed by a copy of at least 4 bytes, so at most 2 words per
  // 5 bytes, plus the final run.
  static size_t MaxCompressedCommandsSize(size_t n) { return 2 * n / 5 + 2; }
  // Literal bytes of a block of n bytes: at most all of them.
  static size_t MaxCompressedContentSize(size_t n) { return n; }

  // Parses input[0, input_size) into commands. prev_block is null for the
  // first block of a call; otherwise it points at the 65536 bytes of the
  // previous block, and the 8 bytes after it must read the same as the
  // first 8 bytes of input (true when the blocks are adjacent in memory).
  // On return *content and *commands point at this object's buffers, valid
  // until the next call, and the sizes count literal bytes and words.
  void CompressFragment(const char* input, size_t input_size,
                        const char* prev_block, char** content,
                        unsigned* content_size, unsigned** commands,
                        unsigned* commands_size);

  // Stores the literal word len at *command and appends the len bytes to
  // content; returns the new end of the content. With allow_fast_path a run
  // of up to 16 bytes is moved as 16 bytes: the caller guarantees that 16
  // bytes are readable at literal and writable at content.
  static char* EmitLiteral(const char* literal, int len, bool allow_fast_path,
                           char* content, unsigned* command);

  // Appends copy words for length bytes at offset (at most 65536) and
  // advances *commands. Lengths above 67 become 64-byte pieces followed by
  // one of 4 to 67 bytes, all with the same offset.
  static void EmitCopy(unsigned offset, unsigned length, unsigned** commands);

  // EmitCopy at commands + *count; *count becomes the new word count.
  static void EmitCopyForTesting(unsigned offset, unsigned length,
                                 unsigned* commands, unsigned* count);

  // The hash table holds 2^hash_table_bits() entries.
  int hash_table_bits() const { return bits_; }

 private:
  // floor(log2(n | 256)), at most 15: 256 to 32768 entries.
  static int HashTableBits(int n);

  char* const content_;
  unsigned* const commands_;
  uint16* const hash_table_;
  int bits_;
  const size_t capacity_;  // the largest block the buffers hold
};

}  // namespace tessel
}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_TESSEL_INTERNAL_LZ77_H_
