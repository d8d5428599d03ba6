// Fuzz target for the Tessel decoders: any input is decoded or refused,
// never a crash, an out-of-bounds access or a leak. The stream decoder is fed
// in fragments whose sizes the input chooses (from a byte up to a few KiB),
// into a sink that either lends one buffer for the whole output or nothing
// (output then goes through 64 KiB blocks). Whatever it accepts, the flat
// decoder accepts with the same result; and it returns the same, and hands
// the sink the same bytes, as when the whole input is one fragment.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include "strings/bytestream.h"
#include "util/compression/tessel/internal/tessel.h"

namespace {

// Fragments of 1 to max_fragment bytes, their sizes drawn from a seed.
class SplittingSource : public strings::ByteSource {
 public:
  SplittingSource(const char* data, size_t n, uint32_t seed,
                  uint32_t max_fragment)
      : data_(data), left_(n), seed_(seed | 1), max_fragment_(max_fragment) {}
  size_t Available() const override { return left_; }
  StringPiece Peek() override {
    return StringPiece(data_,
                       std::min<size_t>(left_, 1 + seed_ % max_fragment_));
  }
  void Skip(size_t n) override {
    data_ += n;
    left_ -= n;
    if (n > 0) seed_ = seed_ * 1103515245u + 12345u;
  }

 private:
  const char* data_;
  size_t left_;
  uint32_t seed_;
  const uint32_t max_fragment_;
};

// Lends a buffer of the size asked for when lend is set (the decoder then
// writes the whole output in place), or only the caller's scratch (the
// decoder then writes 64 KiB blocks).
class StringSink : public strings::ByteSink {
 public:
  explicit StringSink(bool lend) : lend_(lend) {}
  void Append(const char* bytes, size_t n) override { data.append(bytes, n); }
  char* GetAppendBuffer(size_t min_capacity, size_t hint, char* scratch,
                        size_t scratch_capacity, size_t* allocated) override {
    if (!lend_) {
      return ByteSink::GetAppendBuffer(min_capacity, hint, scratch,
                                       scratch_capacity, allocated);
    }
    buffer_.assign(std::max(min_capacity, hint), '\0');
    *allocated = buffer_.size();
    return &buffer_[0];
  }
  std::string data;

 private:
  bool lend_;
  std::string buffer_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  const uint32_t seed = bytes[0];
  const char* data = reinterpret_cast<const char*>(bytes + 1);
  const size_t n = size - 1;
  util::compression::tessel::Tessel tessel;

  size_t length = 0;
  const bool has_length = tessel.GetUncompressedLength(StringPiece(data, n), &length);
  // Keep memory bounded; the decoder itself refuses implausible lengths.
  if (has_length && length > (1 << 22)) return 0;

  std::string flat;
  const bool flat_ok = tessel.Uncompress(StringPiece(data, n), &flat);

  // Seed bit 7: the sink lends a buffer; bits 5 and 6: the largest
  // fragment, small ones twice as often as the rest.
  const bool lend = (seed & 0x80) != 0;
  static const uint32_t kMaxFragment[4] = {37, 37, 1024, 8192};
  SplittingSource source(data, n, seed, kMaxFragment[(seed >> 5) & 3]);
  StringSink sink(lend);
  const bool stream_ok = tessel.UncompressStream(&source, &sink);
  if (flat_ok && stream_ok && sink.data != flat) __builtin_trap();
  // The stream path is the stricter one (its output blocks must line up
  // with the stream's blocks), so what it accepts the flat path accepts.
  if (stream_ok && !flat_ok) __builtin_trap();

  strings::ArrayByteSource whole(StringPiece(data, n));
  StringSink whole_sink(lend);
  const bool whole_ok = tessel.UncompressStream(&whole, &whole_sink);
  if (whole_ok != stream_ok || whole_sink.data != sink.data) __builtin_trap();
  return 0;
}
