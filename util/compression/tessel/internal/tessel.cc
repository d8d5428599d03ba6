// The Tessel compression driver: the length header, the 64 KiB block loop
// over flat input and over byte sources, the block reader that keeps each
// block's predecessor readable for copies, and the codec handles.
#include "util/compression/tessel/internal/tessel.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"
#include "base/singleton.h"
#include "strings/memblock.h"
#include "util/compression/tessel/internal/decompress.h"
#include "util/compression/tessel/internal/entropy.h"
#include "util/compression/tessel/internal/lz77.h"

namespace util {
namespace compression {
namespace tessel {

namespace {

// A decoder accepts lengths below 2^31 only; longer inputs would compress
// into streams that cannot be read back.
constexpr uint64 kMaxInputLength = (uint64{1} << 31) - 1;

// Scratch buffers for one block's output grow in steps of this many bytes.
constexpr uint32 kOutputQuanta = 4096;

// Writes the length header (count byte, then the length little-endian in
// the fewest bytes that hold it) at out; returns its size.
size_t WriteHeader(uint64 length, char* out) {
  size_t n = 0;
  for (uint64 v = length; v != 0; v >>= 8) out[1 + n++] = static_cast<char>(v);
  out[0] = static_cast<char>(n);
  return n + 1;
}

}  // namespace

// The command generator of one Tessel object, reused across calls.
class Tessel::CompressorState {
 public:
  CompressorState() = default;
  ~CompressorState() { delete lz77_; }
  CompressorState(const CompressorState&) = delete;
  CompressorState& operator=(const CompressorState&) = delete;

  // A generator for blocks of up to n bytes with an all-zero hash table,
  // so that no call's output depends on an earlier one.
  LZ77* ReallocateLZ77(uint64 n) {
    if (lz77_ != nullptr && capacity_ >= n) {
      lz77_->ResetHashTable(static_cast<int>(n));
    } else {
      delete lz77_;
      capacity_ = n;
      lz77_ = new LZ77(static_cast<int>(n));
    }
    return lz77_;
  }

 private:
  LZ77* lz77_ = nullptr;
  uint64 capacity_ = 0;
};

size_t EncodeLength(strings::ByteSource* source, strings::ByteSink* sink) {
  char header[9];
  const size_t n = WriteHeader(source->Available(), header);
  sink->Append(header, n);
  return n;
}

// ---- BlockReader ---------------------------------------------------------------

BlockReader::BlockReader(strings::ByteSource* source, uint64 block_size)
    : source_(source), block_size_(block_size) {
  remaining_ = source_->Available();
  const StringPiece fragment = source_->Peek();
  if (static_cast<uint64>(fragment.size()) >= remaining_) {
    // The whole input is one fragment: hand out blocks in place.
    flat_data_ = fragment.data();
    skip_at_end_ = remaining_;
  }
}

BlockReader::~BlockReader() {
  if (flat_data_ != nullptr) source_->Skip(skip_at_end_);
  delete[] current_;
  delete[] previous_;
}

StringPiece BlockReader::GetNextBlock() {
  if (remaining_ == 0) return StringPiece();
  const uint64 n = std::min(remaining_, block_size_);
  remaining_ -= n;
  if (flat_data_ != nullptr) {
    const StringPiece block(flat_data_, static_cast<StringPiece::size_type>(n));
    flat_data_ += n;
    return block;
  }
  std::swap(current_, previous_);
  if (current_ == nullptr) current_ = new char[n + kBlockTail]();
  strings::UncheckedArrayByteSink sink(current_);
  source_->CopyTo(&sink, n);
  if (previous_ != nullptr) {
    // The generator may read a few bytes past the previous block's end and
    // must see there what logically follows it.
    memcpy(previous_ + block_size_, current_, kBlockTail);
  }
  return StringPiece(current_, static_cast<StringPiece::size_type>(n));
}

// ---- Tessel: compression ---------------------------------------------------------

Tessel::Tessel() {}

Tessel::~Tessel() {
  delete compressor_state_;
  delete decompressor_state_;
}

size_t Tessel::MaxCompressedLength(size_t n) {
  return (n >> 16) * Entropy::MaxCompressedSize(kBlockSize, 1) +
         Entropy::MaxCompressedSize(n & (kBlockSize - 1), 1) + 17;
}

size_t Tessel::Compress(const StringPiece& input, std::string* output) {
  output->resize(MaxCompressedLength(input.size()));
  const size_t n = RawCompress(input, &(*output)[0]);
  output->resize(n);
  return n;
}

size_t Tessel::RawCompress(const StringPiece& input, char* output) {
  const uint64 size = input.size();
  CHECK_LE(size, kMaxInputLength) << "Tessel streams hold at most 2^31 - 1 bytes";
  char* op = output + WriteHeader(size, output);
  if (compressor_state_ == nullptr) compressor_state_ = new CompressorState;
  LZ77* lz77 = compressor_state_->ReallocateLZ77(std::min<uint64>(kBlockSize, size));
  Entropy entropy;
  for (uint64 p = 0; p < size; p += kBlockSize) {
    const char* block = input.data() + p;
    const char* previous = p > 0 ? block - kBlockSize : nullptr;
    char* content;
    unsigned content_size, commands_size;
    unsigned* commands;
    lz77->CompressFragment(block, std::min<uint64>(kBlockSize, size - p),
                           previous, &content, &content_size, &commands,
                           &commands_size);
    op = entropy.Compress(reinterpret_cast<const uint8*>(content),
                          content_size, commands, commands_size, op);
  }
  return op - output;
}

size_t Tessel::CompressStream(strings::ByteSource* source,
                              strings::ByteSink* sink) {
  CHECK_LE(source->Available(), kMaxInputLength)
      << "Tessel streams hold at most 2^31 - 1 bytes";
  size_t total = EncodeLength(source, sink);
  if (compressor_state_ == nullptr) compressor_state_ = new CompressorState;
  BlockReader reader(source, kBlockSize);
  StringPiece block = reader.GetNextBlock();
  LZ77* lz77 = compressor_state_->ReallocateLZ77(block.size());
  Entropy entropy;
  char* scratch = nullptr;
  uint32 scratch_capacity = 0;
  const char* previous = nullptr;
  while (!block.empty()) {
    char* content;
    unsigned content_size, commands_size;
    unsigned* commands;
    lz77->CompressFragment(block.data(), block.size(), previous, &content,
                           &content_size, &commands, &commands_size);
    const uint32 max = Entropy::MaxCompressedSize(content_size, commands_size);
    if (scratch_capacity < max) {
      delete[] scratch;
      scratch_capacity = max + kOutputQuanta - max % kOutputQuanta;
      scratch = new char[scratch_capacity];
    }
    size_t allocated;
    char* buffer = sink->GetAppendBuffer(max, max, scratch, max, &allocated);
    char* end = entropy.Compress(reinterpret_cast<const uint8*>(content),
                                 content_size, commands, commands_size, buffer);
    const size_t k = end - buffer;
    if (k > max) {
      LOG(FATAL) << "Tessel output overruns allocated buffer..." << k << " "
                 << max << " " << content_size << " " << commands_size;
    }
    if (buffer == scratch) {
      // Hand the scratch over instead of copying it.
      NewedMemBlock* handed = new NewedMemBlock(scratch, scratch_capacity);
      handed->set_view(scratch, k);
      sink->AppendMemBlock(handed);
      scratch = nullptr;
      scratch_capacity = 0;
    } else {
      sink->Append(buffer, k);
    }
    total += k;
    previous = block.data();
    block = reader.GetNextBlock();
  }
  delete[] scratch;
  return total;
}

// ---- The stateless handle ------------------------------------------------------

size_t TesselAdaptor::Compress(const StringPiece& input, std::string* output) {
  Tessel tessel;
  return tessel.Compress(input, output);
}

bool TesselAdaptor::Uncompress(const StringPiece& compressed,
                               std::string* output) {
  Tessel tessel;
  return tessel.Uncompress(compressed, output);
}

size_t TesselAdaptor::CompressStream(strings::ByteSource* source,
                                     strings::ByteSink* sink) {
  Tessel tessel;
  return tessel.CompressStream(source, sink);
}

bool TesselAdaptor::UncompressStream(strings::ByteSource* source,
                                     strings::ByteSink* sink) {
  Tessel tessel;
  return tessel.UncompressStream(source, sink);
}

size_t TesselAdaptor::MaxCompressedLength(size_t input_length) {
  Tessel tessel;
  return tessel.MaxCompressedLength(input_length);
}

bool TesselAdaptor::GetUncompressedLength(const StringPiece& compressed,
                                          size_t* result) {
  Tessel tessel;
  return tessel.GetUncompressedLength(compressed, result);
}

bool TesselAdaptor::GetUncompressedLengthStream(strings::ByteSource* compressed,
                                                size_t* result) {
  Tessel tessel;
  return tessel.GetUncompressedLengthStream(compressed, result);
}

}  // namespace tessel

Compressor* TesselCompressor() {
  return Singleton<tessel::TesselAdaptor>::get();
}

tessel::Tessel* NewTesselCompressor() { return new tessel::Tessel; }

}  // namespace compression
}  // namespace util
