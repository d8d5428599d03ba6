// The Sprock codec's own narrow stream interfaces, quern::Source and
// quern::Sink, and their implementations over flat memory. The compressor
// and decompressor are written against these; adaptors in sprock.h connect
// them to the general strings::ByteSource and strings::ByteSink.
#ifndef UTIL_SPROCK_SPROCK_SINKSOURCE_H_
#define UTIL_SPROCK_SPROCK_SINKSOURCE_H_

#include <cstddef>

namespace quern {

class Source {
 public:
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  virtual ~Source();

  // Bytes left to read.
  virtual size_t Available() const = 0;
  // The next bytes and their count in *len; *len is 0 only when the source
  // is exhausted. Valid until the next Peek or Skip.
  virtual const char* Peek(size_t* len) = 0;
  // Consumes n bytes.
  virtual void Skip(size_t n) = 0;
};

class Sink {
 public:
  // Disposes of bytes handed over with AppendAndTakeOwnership.
  typedef void (*Deleter)(void* arg, const char* bytes, size_t n);

  Sink() = default;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  virtual ~Sink();

  virtual void Append(const char* bytes, size_t n) = 0;
  // A buffer of at least length bytes that a following Append may point
  // into; the base returns scratch.
  virtual char* GetAppendBuffer(size_t length, char* scratch);
  // Appends the bytes and calls deleter(deleter_arg, bytes, n) once the sink
  // no longer needs them; the base copies and calls the deleter at once.
  virtual void AppendAndTakeOwnership(char* bytes, size_t n, Deleter deleter,
                                      void* deleter_arg);
  // Like GetAppendBuffer, with the buffer's real size in *allocated_size;
  // the base returns scratch.
  virtual char* GetAppendBufferVariable(size_t min_size,
                                        size_t desired_size_hint,
                                        char* scratch, size_t scratch_size,
                                        size_t* allocated_size);
};

// A source over one flat range.
class ByteArraySource : public Source {
 public:
  ByteArraySource(const char* p, size_t n) : ptr_(p), left_(n) {}
  ~ByteArraySource() override;

  size_t Available() const override { return left_; }
  const char* Peek(size_t* len) override {
    *len = left_;
    return ptr_;
  }
  void Skip(size_t n) override {
    ptr_ += n;
    left_ -= n;
  }

 private:
  const char* ptr_;
  size_t left_;
};

// A sink writing to a caller array that is trusted to be large enough.
class UncheckedByteArraySink : public Sink {
 public:
  explicit UncheckedByteArraySink(char* dest) : dest_(dest) {}
  ~UncheckedByteArraySink() override;

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t length, char* scratch) override;
  void AppendAndTakeOwnership(char* bytes, size_t n, Deleter deleter,
                              void* deleter_arg) override;
  char* GetAppendBufferVariable(size_t min_size, size_t desired_size_hint,
                                char* scratch, size_t scratch_size,
                                size_t* allocated_size) override;

  char* CurrentDestination() const { return dest_; }

 private:
  char* dest_;
};

}  // namespace quern

#endif  // UTIL_SPROCK_SPROCK_SINKSOURCE_H_
