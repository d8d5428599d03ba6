// Tessel decompression: the bit readers, command and mask decoding, and the
// output writer of the stream path. Every length, offset, count and code
// table read from the input is checked against what was produced and what
// remains: malformed input gives false, never a write outside the output.
#ifndef UTIL_COMPRESSION_TESSEL_INTERNAL_DECOMPRESS_H_
#define UTIL_COMPRESSION_TESSEL_INTERNAL_DECOMPRESS_H_

#include <cstddef>

#include "base/integral_types.h"
#include "strings/bytestream.h"
#include "strings/memblock.h"
#include "util/compression/tessel/internal/tessel.h"

namespace util {
namespace compression {
namespace tessel {

// The command buffer kept between decompressions on one Tessel object.
class Tessel::DecompressorState {
 public:
  DecompressorState() = default;
  ~DecompressorState() { delete[] commands_; }
  DecompressorState(const DecompressorState&) = delete;
  DecompressorState& operator=(const DecompressorState&) = delete;

  // A buffer of at least n command words.
  unsigned* ReallocateCommands(int n);

 private:
  unsigned* commands_ = nullptr;
  int capacity_ = 0;
};

// Reads a bit stream from a flat buffer: 64-bit little-endian words, most
// significant bit first. It holds the word being read and the one after it,
// so the next 32 bits can be looked at without a branch on the boundary.
class ReadBits {
 public:
  // The caller guarantees 8 readable bytes at input.
  void Start(const char* input, const char* end) {
    word_ = LittleEndianLoad64(input);
    bits_ = 64;
    next_ = input + 8;
    end_ = end;
    error_ = false;
    Advance();
  }
  // The next 32 bits, not consumed; zeros past the end of the input.
  uint32 Peek32() const {
    // Without a branch: with 32 or more bits left the next word's bits fall
    // below the top 32; with all 64 left it must not be shifted in at all.
    const uint64 next = (next_word_ >> (bits_ & 63)) &
                        (static_cast<uint64>(0) - (bits_ != 64));
    return static_cast<uint32>((word_ | next) >> 32);
  }
  // Consumes n bits (n < 64). Running past the end sets the error.
  inline void Consume(int n);
  // The next n bits (1 <= n <= 32); 0 once past the end.
  uint32 Read(int n) {
    const uint32 value = Peek32() >> (32 - n);
    Consume(n);
    return error_ ? 0 : value;
  }
  // Starts at a word of which `used` bits (0 to 64) were read before; 8
  // readable bytes at word.
  void StartAt(const char* word, int used, const char* end) {
    Start(word, end);
    Consume(used / 2);  // Consume takes fewer than 64
    Consume(used - used / 2);
  }
  // Starts with no word at hand: reads give zeros, and the error is set.
  void StartPastEnd() {
    word_ = next_word_ = 0;
    bits_ = 64;
    next_ = end_ = nullptr;
    error_ = true;
  }
  // Where the section after the stream starts (the word after the last one
  // read from), or null after an error.
  const char* Stop() const { return error_ ? nullptr : next_; }
  bool error() const { return error_; }
  // The position, for StartAt on a copy of the input: the word being read
  // (always whole) and the bits read of it.
  const char* word() const { return next_ - 8; }
  int used() const { return 64 - bits_; }
  // Bits that can be consumed without running past the end: the rest of
  // the current word and the whole words after it.
  uint64 BitsLeft() const {
    return bits_ + static_cast<uint64>((end_ - next_) >> 3) * 64;
  }

 private:
  // Loads the word at next_ (0 past the end).
  void Advance() {
    next_word_ = end_ - next_ >= 8 ? LittleEndianLoad64(next_) : 0;
  }

  uint64 word_ = 0;       // unread bits of the current word, at the top
  int bits_ = 0;          // how many
  uint64 next_word_ = 0;  // the word at next_, or 0 past the end
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  bool error_ = false;
};

inline void ReadBits::Consume(int n) {
  if (PREDICT_TRUE(n <= bits_)) {
    word_ <<= n;
    bits_ -= n;
    return;
  }
  // Into the next word, which must exist.
  if (PREDICT_FALSE(end_ - next_ < 8)) {
    error_ = true;
    word_ = 0;
    bits_ = 64;
    return;
  }
  n -= bits_;
  word_ = next_word_ << n;
  bits_ = 64 - n;
  next_ += 8;
  Advance();
}

// Reads bytes from a strings::ByteSource. The bytes at hand, [ip(),
// limit()), are the rest of the current fragment, read in place, or a few
// bytes that straddle fragments, gathered by Ensure into a stitch buffer.
// The stitch buffer ends with the first bytes of the fragment it was last
// filled from, which is still unread on the source: once ip() reaches
// them, reading goes on in that fragment.
class Reader {
 public:
  // The most bytes Ensure gathers.
  static constexpr size_t kStitchSize = 48;

  explicit Reader(strings::ByteSource* source);
  // Consumes on the source what was read from the current fragment.
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const char* ip() const { return ip_; }
  const char* limit() const { return limit_; }
  // Everything before p, which lies in [ip(), limit()], has been read.
  void set_ip(const char* p) { ip_ = p; }
  // Makes n (at most kStitchSize) bytes contiguous at ip(); false when the
  // source ends first, with all that is left of it at hand.
  bool Ensure(size_t n) {
    return static_cast<size_t>(limit_ - ip_) >= n || EnsureSlow(n);
  }
  // n contiguous bytes, read, or null when the source runs out.
  const char* Read(size_t n) {
    if (!Ensure(n)) return nullptr;
    const char* p = ip_;
    ip_ += n;
    return p;
  }
  // Once everything at hand is read: puts the next bytes of the source at
  // hand, in place; false at its end.
  bool NextBytes();
  // Nothing is left to read.
  bool Eof() const;

 private:
  bool EnsureSlow(size_t n);
  // Consumes the current fragment and peeks at the next; returns its size.
  size_t NextFragment();

  strings::ByteSource* const source_;
  const char* fragment_;  // peeked, not yet skipped
  size_t fragment_size_;
  const char* ip_;
  const char* limit_;
  // The fragment offset limit_ stands for: the bytes at hand end with
  // fragment_[0, limit_offset_). The fragment's size when they are its own.
  size_t limit_offset_;
  char stitch_[kStitchSize];
};

// The output of stream decompression: one buffer lent by the sink for the
// whole output (flat), or 64 KiB blocks handed to the sink as they fill.
// In block mode at most two blocks are alive: the one being filled and the
// one before it, which copies may still reach into.
class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // With a buffer of length bytes: flat; with null: block mode.
  void Initialize(strings::ByteSink* sink, char* buffer, size_t length);
  // In block mode, starts a new block when the current one is full.
  void MaybeFinishBlock();
  // The current block (or the whole output when flat): [start(),
  // position()) is written, limit() is its end. Decoding writes into it
  // directly and moves the position with set_position.
  char* start() const { return start_; }
  char* position() const { return position_; }
  char* limit() const { return limit_; }
  void set_position(char* p) { position_ = p; }
  // The block before the current one, or null.
  const MemBlock* previous() const { return previous_; }
  // Copies n bytes (room checked by the caller); source_available bytes are
  // readable at source.
  void Append(const char* source, size_t source_available, size_t n);
  // Appends a copy of earlier output, which may start in the previous
  // block; false when it reaches beyond what is kept or does not fit.
  bool AppendFromSelf(size_t offset, size_t length);
  // Hands everything written to the sink.
  void Flush();
  // Flushes what was written and returns false.
  bool OnError();
  // Exactly the announced length was produced.
  bool CheckLength() const { return remaining_ == 0; }

 private:
  bool AppendFromSameBlock(size_t offset, size_t length, size_t space);
  void AllocateBlock();
  size_t Written() const { return position_ - start_; }

  strings::ByteSink* sink_ = nullptr;
  uint64 remaining_ = 0;  // announced bytes not yet in a finished block
  MemBlock* current_ = nullptr;
  MemBlock* previous_ = nullptr;
  char* start_ = nullptr;
  char* position_ = nullptr;
  char* limit_ = nullptr;
  bool flat_ = false;
};

// Decodes commands_size command words from the bit stream at input; returns
// where the stream ends, or null when it runs past end.
const char* DecompressCommands(const char* input, const char* end,
                               unsigned commands_size, unsigned* commands);
// The same from the reader's position; the reader is left after the stream.
// False when the source runs out first.
bool DecompressCommandsStream(Reader* reader, unsigned commands_size,
                              unsigned* commands);

// Decodes a code mask (mask_word: its first four bytes, big-endian; the
// rest at input) into the 32 values with 6-bit codes and the 64 with 8-bit
// codes, each in increasing order. Returns the position after the mask, or
// null when the mask is invalid. input must hold the group bytes and 12
// length bytes.
const char* DecompressMask(uint32 mask_word, const char* input, uint8* best,
                           uint8* next_best);

// Byte-by-byte forward copy; an overlapping source repeats its pattern.
void IncrementalCopy(const char* source, char* destination, int length);
// The same with 8-byte moves; may write 10 bytes past the copy.
void IncrementalCopyFastPath(const char* source, char* destination,
                             int length);

}  // namespace tessel
}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_TESSEL_INTERNAL_DECOMPRESS_H_
