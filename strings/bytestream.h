// Byte streams: the pull-style input (ByteSource) and push-style output
// (ByteSink) through which every codec reads and writes, plus the concrete
// streams over plain memory.
//
// A source lends its bytes in fragments (Peek) and is advanced with Skip. A
// sink accepts bytes (Append) and may lend a buffer to write into
// (GetAppendBuffer): a following Append with exactly that pointer then only
// advances the sink, so output is written once, in place.
#ifndef STRINGS_BYTESTREAM_H_
#define STRINGS_BYTESTREAM_H_

#include <cstddef>
#include <string>

#include "strings/memblock.h"
#include "strings/stringpiece.h"

namespace strings {

class ByteSink;

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource();

  // Bytes not yet consumed.
  virtual size_t Available() const = 0;
  // The next unconsumed bytes: non-empty whenever Available() is not zero,
  // possibly shorter than Available(). Valid until the next Peek or Skip.
  virtual StringPiece Peek() = 0;
  // Consumes n bytes; n must not exceed Available().
  virtual void Skip(size_t n) = 0;
  // Moves the next n bytes into the sink and consumes them.
  virtual void CopyTo(ByteSink* sink, size_t n);
};

class ByteSink {
 public:
  ByteSink() = default;
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink();

  // Appends n bytes, which may lie in a buffer from GetAppendBuffer.
  virtual void Append(const char* bytes, size_t n) = 0;
  // Appends the block's bytes and takes ownership of the block.
  virtual void AppendMemBlock(MemBlock* block);
  // The smallest block for which AppendMemBlock pays off.
  virtual size_t MinAppendMemBlockLength() const;
  // Returns a buffer of at least min_capacity bytes (its real size in
  // *allocated_capacity) to write into before calling Append.
  virtual char* GetAppendBuffer(size_t min_capacity,
                                size_t desired_capacity_hint, char* scratch,
                                size_t scratch_capacity,
                                size_t* allocated_capacity);
  // Pushes buffered bytes onward.
  virtual void Flush();
};

// A source over one flat range of memory.
class ArrayByteSource : public ByteSource {
 public:
  explicit ArrayByteSource(const StringPiece& input) : input_(input) {}
  ~ArrayByteSource() override;

  size_t Available() const override { return input_.size(); }
  StringPiece Peek() override { return input_; }
  void Skip(size_t n) override;

 private:
  StringPiece input_;
};

// A sink over a caller array of fixed capacity. Bytes beyond the capacity
// are dropped and remembered as an overflow; the bytes that fit are kept.
class CheckedArrayByteSink : public ByteSink {
 public:
  CheckedArrayByteSink(char* outbuf, size_t capacity)
      : outbuf_(outbuf), capacity_(capacity) {}
  ~CheckedArrayByteSink() override;

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;

  size_t NumberOfBytesWritten() const { return size_; }
  bool Overflowed() const { return overflowed_; }

 private:
  char* const outbuf_;
  const size_t capacity_;
  size_t size_ = 0;
  bool overflowed_ = false;
};

// Passes through at most limit bytes of another source (not owned).
class LimitByteSource : public ByteSource {
 public:
  LimitByteSource(ByteSource* source, size_t limit)
      : source_(source), limit_(limit) {}
  ~LimitByteSource() override;

  size_t Available() const override;
  StringPiece Peek() override;
  void Skip(size_t n) override;
  void CopyTo(ByteSink* sink, size_t n) override;

 private:
  ByteSource* const source_;
  size_t limit_;
};

// A sink over a caller array that is trusted to be large enough: no bound
// is checked.
class UncheckedArrayByteSink : public ByteSink {
 public:
  explicit UncheckedArrayByteSink(char* dest) : dest_(dest) {}
  ~UncheckedArrayByteSink() override;

  void Append(const char* data, size_t n) override;
  // Always the write position itself, with the larger of the two sizes.
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;

  // The next byte to be written.
  char* CurrentDestination() const { return dest_; }

 private:
  char* dest_;
};

// A sink into an array it owns, grown by half (or to fit) when full.
class GrowingArrayByteSink : public ByteSink {
 public:
  explicit GrowingArrayByteSink(size_t estimated_size);
  ~GrowingArrayByteSink() override;

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;

  // Hands the array (to be freed with delete[]) and its byte count to the
  // caller, after shrinking it to fit; the sink is left empty.
  char* GetBuffer(size_t* nbytes);
  // Reallocates to exactly the bytes written when more than a quarter of a
  // capacity over 256 bytes is unused.
  void ShrinkToFit();

  size_t capacity() const { return capacity_; }
  size_t size() const { return size_; }

 private:
  void Expand(size_t amount);
  void Reallocate(size_t new_capacity);

  size_t capacity_;
  char* buf_;
  size_t size_ = 0;
};

// Appends to the end of a string (not owned).
class StringByteSink : public ByteSink {
 public:
  explicit StringByteSink(std::string* dest) : dest_(dest) {}
  ~StringByteSink() override;

  void Append(const char* data, size_t n) override;
  // Lends the string's own storage: the string is grown over the lent
  // region, and an Append at that pointer trims it to what was written.
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;

 private:
  std::string* const dest_;
  // Whether a region of the string is lent, and where it starts.
  bool lent_ = false;
  size_t lent_offset_ = 0;
};

}  // namespace strings

#endif  // STRINGS_BYTESTREAM_H_
