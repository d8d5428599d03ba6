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

}  // namespace strings

#endif  // STRINGS_BYTESTREAM_H_
