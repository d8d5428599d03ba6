// Tessel's entropy coder: writes one block of the compressed format from the
// command words and literal bytes the command generator produced for it.
// Commands get short variable-length codes; the literal bytes are stored raw
// or, when a cheap sample of them predicts a gain, coded with a three-length
// prefix code (6, 8 or 10 bits) that the block describes in a code mask.
// The compression driver calls Compress once per block.
//
// Bit streams pack codes most significant bit first into 64-bit words that
// are stored little-endian; the last word is padded with zero bits.
#ifndef UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_H_
#define UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_H_

#include <cstddef>

#include "base/integral_types.h"
#include "base/logging.h"
#include "base/port.h"

namespace util {
namespace compression {
namespace tessel {

// Block layout written by Compress:
//   command count     2 bytes, little-endian
//   command stream    whole 64-bit words
//   marker or mask    4 zero bytes (raw content), or a code mask of 28 to
//                     48 bytes whose first 4 bytes are never all zero
//   content           the literal bytes (raw), or their codes as a bit
//                     stream of whole words starting right after the mask
//
// An Entropy object holds the output pointers of the bit stream being
// written; the accumulator and the count of pending bits belong to the
// caller, who keeps them in locals so that they live in registers.
class Entropy {
 public:
  // Most bits one literal byte can cost (a 10-bit escape code).
  static constexpr unsigned kMaxContentBits = 10;
  // Most bits of one command code: the longest literal and copy codes.
  static constexpr unsigned kMaxLitSize = 24;
  static constexpr unsigned kMaxCopySize = 25;
  static constexpr unsigned kMaxCommandSize = 25;
  // Bytes of the command count field.
  static constexpr unsigned kCommandsLenSize = 2;
  // The largest code mask: 4 + 32 group bytes + 12 length bytes.
  static constexpr unsigned kMaxLitLenTableSize = 48;
  // Bits of the widest offset field, and of the widest copy length field.
  static constexpr int kBlockLog = 16;
  static constexpr int kLengthLog = 6;
  // The content is sampled in periods of this many bytes.
  static constexpr unsigned kSamplePeriod = 43;
  // Blocks with at most this many literal bytes keep them raw.
  static constexpr unsigned kMaxRawOnlyContent = 200;

  Entropy() = default;
  Entropy(const Entropy&) = delete;
  Entropy& operator=(const Entropy&) = delete;

  // Writes one block at output and returns the position after it. commands
  // holds 1 to 65535 words; content the content_size literal bytes they
  // take. The block never exceeds MaxCompressedSize(content_size,
  // commands_size). For a parse from the command generator of a block of n
  // bytes it does not exceed MaxCompressedSize(n, 1) either, which the
  // driver's whole-stream bound relies on: such a parse costs at most about
  // 55 bits more than 10 bits per copied byte (long literal runs before
  // 4-byte copies, and the final run), and coded content is only chosen when
  // its sampled bytes have short codes, which saves more than that.
  char* Compress(const uint8* content, unsigned content_size,
                 const unsigned* commands, unsigned commands_size,
                 char* output);

  // Writes the command stream at output; afterwards GetWriteBitsOutput()
  // is output and GetWriteBitsOutputSize() the number of words written.
  void CompressCommands(const unsigned* commands, unsigned commands_size,
                        char* output);

  // The content decision. SampleContent fills samples[256] with, for each
  // byte value, the bits of the sample positions it was seen at (10 fixed
  // positions in every complete 43-byte period). CountSamples estimates
  // from those masks whether the prefix code beats raw bytes.
  static void SampleContent(const uint8* content, unsigned size,
                            uint8* samples);
  static bool CountSamples(const uint8* samples);

  // Writes the code mask for code lengths assign_length[256] (exactly 32
  // of them 6 and 64 of them 8) into mask, which holds 48 bytes; returns
  // its length, 4 + (groups with a short code) + 12.
  static int BuildEntropyCodeBitmask(const int* assign_length, uint8* mask);

  // Worst-case bytes of one block with content_size literal bytes and
  // commands_size commands: every literal byte at 10 bits, every command at
  // 25 bits, the count field and the largest mask.
  static unsigned MaxCompressedSize(unsigned content_size,
                                    unsigned commands_size) {
    return 8 * (((kMaxContentBits * content_size + 63) >> 6) +
                ((kMaxCommandSize * commands_size + 63) >> 6)) +
           kCommandsLenSize + kMaxLitLenTableSize;
  }

  // ---- Bit writer ----
  // Starts a bit stream at output with no pending bits.
  void StartWriteBits(unsigned* pending, uint64* accumulator, char* output);
  // Appends the n low bits of value (1 <= n <= 60; value < 2^n).
  inline void WriteBits(int n, uint64 value, unsigned* pending,
                        uint64* accumulator);
  // Stores the pending bits, if any, as a last word padded with zeros.
  inline void FlushBits(unsigned pending, uint64* accumulator);
  // The start of the current stream and the whole words written to it.
  char* GetWriteBitsOutput() const { return start_; }
  size_t GetWriteBitsOutputSize() const {
    return static_cast<size_t>(out_ - start_) / 8;
  }

 private:
  // Builds the literal code from the sample masks, then writes the code
  // mask and the coded content at op; returns the end.
  char* CompressCodedContent(const uint8* content, unsigned content_size,
                             const uint8* samples, char* op);

  char* start_ = nullptr;  // first byte of the current bit stream
  char* out_ = nullptr;    // where the next word goes
};

inline void Entropy::WriteBits(int n, uint64 value, unsigned* pending,
                               uint64* accumulator) {
  DCHECK(n >= 1 && n <= 60);
  DCHECK((value >> n) == 0);
  const unsigned p = *pending;
  if (PREDICT_TRUE(p + n < 64)) {
    *accumulator = (*accumulator << n) | value;
    *pending = p + n;
    return;
  }
  // The word fills up: its last 64 - p bits are the top bits of value, and
  // the spill (its low p + n - 64 bits) starts the next word. The
  // accumulator keeps all of value; the bits already stored are shifted
  // out before the next store. p >= 4 here, so no shift reaches 64.
  const unsigned spill = p + n - 64;
  LittleEndianStore64(out_, (*accumulator << (64 - p)) | (value >> spill));
  out_ += 8;
  *pending = spill;
  *accumulator = value;
}

inline void Entropy::FlushBits(unsigned pending, uint64* accumulator) {
  if (pending == 0) return;
  LittleEndianStore64(out_, *accumulator << (64 - pending));
  out_ += 8;
}

// Entries of the coder's constant tables, for tests.
namespace testing {
uint8 ExposeOrder(int i);
uint8 ExposeKLengthBits(int i);
uint8 ExposeKOffsetBits(int i);
uint8 ExposeKBitsType(int i);
}  // namespace testing

}  // namespace tessel
}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_TESSEL_INTERNAL_ENTROPY_H_
