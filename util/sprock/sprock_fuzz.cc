// Fuzz target for the Sprock decoder: any input is either decoded or
// refused, never a crash or an out-of-bounds access; the validator agrees
// with the decoder; a decoded stream decodes the same through a source that
// splits it at input-chosen points, and through the sink and iovec writers.
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/sprock/sprock.h"

namespace {

// Splits the compressed bytes into fragments whose sizes come from a seed.
class SplittingSource : public quern::Source {
 public:
  SplittingSource(const char* data, size_t n, uint32_t seed)
      : data_(data), left_(n), seed_(seed | 1) {}
  size_t Available() const override { return left_; }
  const char* Peek(size_t* len) override {
    *len = std::min<size_t>(left_, 1 + (seed_ % 23));
    return data_;
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
};

class StringSink : public quern::Sink {
 public:
  void Append(const char* bytes, size_t n) override { data.append(bytes, n); }
  std::string data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  const uint32_t seed = bytes[0];
  const char* data = reinterpret_cast<const char*>(bytes + 1);
  const size_t n = size - 1;

  size_t length = 0;
  const bool has_length = quern::GetUncompressedLength(data, n, &length);
  // Keep memory bounded: refuse to decode absurd announced lengths here
  // (the decoder itself refuses implausible ones).
  if (has_length && length > (1 << 22)) return 0;

  std::string flat;
  const bool ok = quern::Uncompress(data, n, &flat);
  if (quern::IsValidCompressedBuffer(data, n) != ok) __builtin_trap();
  if (ok && flat.size() != length) __builtin_trap();

  std::string raw(has_length ? length : 0, '\0');
  if (has_length) {
    SplittingSource source(data, n, seed);
    const bool raw_ok = quern::RawUncompress(&source, &raw[0]);
    if (raw_ok != ok || (ok && raw != flat)) __builtin_trap();
  }

  SplittingSource sink_source(data, n, seed + 1);
  StringSink sink;
  const bool sink_ok = quern::Uncompress(&sink_source, &sink);
  if (sink_ok != ok || (ok && sink.data != flat)) __builtin_trap();

  if (has_length) {
    // Three entries with the split points chosen by the seed.
    std::vector<char> out(length + 1);
    const size_t a = length == 0 ? 0 : seed % (length + 1);
    const size_t b = length == 0 ? 0 : (seed * 7) % (length - a + 1);
    iovec iov[3] = {{out.data(), a},
                    {out.data() + a, b},
                    {out.data() + a + b, length - a - b}};
    SplittingSource iov_source(data, n, seed + 2);
    const bool iov_ok = quern::RawUncompressToIOVec(&iov_source, iov, 3);
    if (iov_ok != ok) __builtin_trap();
    if (ok && std::string(out.data(), length) != flat) __builtin_trap();
  }
  return 0;
}
