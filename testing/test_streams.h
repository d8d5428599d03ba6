// Test data and byte streams shared by the codec tests: reproducible sample
// inputs, a source that hands out its bytes in chosen fragment sizes, and a
// sink that records how bytes reach it.
#ifndef TESTING_TEST_STREAMS_H_
#define TESTING_TEST_STREAMS_H_

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "strings/bytestream.h"

namespace testing_streams {

// The bytes with these values, for writing streams out by hand.
std::string Bytes(std::initializer_list<int> bytes);

// n bytes from a seeded generator: incompressible.
std::string RandomBytes(size_t n, uint32_t seed);

// n bytes of text-like data: words, numbers and the odd random byte, so
// that matches occur at every distance.
std::string Text(size_t n, uint32_t seed);

// Inputs of n bytes that drive a codec to the ends of its buffers: text,
// random bytes, and text whose second half repeats its first, so that a
// copy runs to the last byte.
std::vector<std::string> BoundaryInputs(size_t n);

// A heap block of exactly s.size() bytes holding s (std::string keeps
// spare capacity, which would hide reads past the end from a sanitizer).
std::unique_ptr<char[]> ExactCopy(const std::string& s);

// Hands out its bytes in fragments whose sizes cycle through a list.
class FragmentingSource : public strings::ByteSource {
 public:
  FragmentingSource(const std::string& data, std::vector<size_t> sizes)
      : data_(data), sizes_(std::move(sizes)) {}
  size_t Available() const override { return data_.size() - pos_; }
  StringPiece Peek() override;
  void Skip(size_t n) override;

 private:
  const std::string& data_;
  std::vector<size_t> sizes_;
  size_t pos_ = 0;
  size_t next_ = 0;
};

// Keeps everything appended and counts how it arrived. With lend set it
// lends a buffer of its own from GetAppendBuffer; otherwise it keeps the
// base behaviour (the caller's scratch).
class RecordingSink : public strings::ByteSink {
 public:
  explicit RecordingSink(bool lend = false) : lend_(lend) {}
  void Append(const char* bytes, size_t n) override;
  void AppendMemBlock(MemBlock* block) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;

  std::string data;
  int appends = 0;
  std::vector<size_t> block_sizes;  // of each AppendMemBlock

 private:
  bool lend_;
  std::string lent_;
};

}  // namespace testing_streams

#endif  // TESTING_TEST_STREAMS_H_
