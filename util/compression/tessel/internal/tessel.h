// Tessel: the library's LZ77 codec with entropy-coded literals, trading some
// speed for a better ratio than Sprock.
//
// Format: a length header (one byte n, then the uncompressed length in n
// little-endian bytes, n from 0 to 8), then one block per 64 KiB of input.
// A block is a 16-bit command count, the commands as a bit stream of whole
// 64-bit words, then either four zero bytes and the raw literal bytes, or a
// code mask and the literal bytes as a prefix-coded bit stream. Bits are
// packed most significant first into words stored little-endian. Copies may
// reach back into the previous block, at most 64 KiB.
//
// A Tessel object keeps working memory between calls and serves one thread
// at a time; the process-wide handle (TesselCompressor) is a stateless
// adaptor that builds a fresh Tessel for each call.
#ifndef UTIL_COMPRESSION_TESSEL_INTERNAL_TESSEL_H_
#define UTIL_COMPRESSION_TESSEL_INTERNAL_TESSEL_H_

#include <cstddef>
#include <string>

#include "base/integral_types.h"
#include "strings/bytestream.h"
#include "strings/stringpiece.h"
#include "util/compression/interface/compression.h"

namespace util {
namespace compression {
namespace tessel {

class Tessel : public Compressor {
 public:
  static constexpr size_t kBlockSize = 1 << 16;

  Tessel();
  ~Tessel() override;

  size_t Compress(const StringPiece& input, std::string* output) override;
  bool Uncompress(const StringPiece& compressed, std::string* output) override;
  size_t CompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override;
  bool UncompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override;
  size_t MaxCompressedLength(size_t input_length) override;
  bool GetUncompressedLength(const StringPiece& compressed,
                             size_t* result) override;
  bool GetUncompressedLengthStream(strings::ByteSource* compressed,
                                   size_t* result) override;

  // Writes the whole compressed stream into output, which must hold
  // MaxCompressedLength(input.size()) bytes; returns the bytes written.
  size_t RawCompress(const StringPiece& input, char* output);

  // Decodes a stream whose header GetUncompressedLength accepted into
  // output, which holds exactly the announced output_length bytes.
  bool RawUncompress(const char* compressed, size_t compressed_length,
                     char* output, size_t output_length);

  // Decodes the blocks that follow the header.
  bool InternalRawUncompress(const char* blocks, size_t length, char* output,
                             size_t output_length);
  bool InternalRawUncompressStream(strings::ByteSource* source,
                                   strings::ByteSink* sink, size_t length);

  class CompressorState;
  class DecompressorState;

 private:
  CompressorState* compressor_state_ = nullptr;
  DecompressorState* decompressor_state_ = nullptr;
};

// The process-wide handle's object: forwards every operation to a fresh
// Tessel, so it keeps nothing between calls.
class TesselAdaptor : public Compressor {
 public:
  size_t Compress(const StringPiece& input, std::string* output) override;
  bool Uncompress(const StringPiece& compressed, std::string* output) override;
  size_t CompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override;
  bool UncompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override;
  size_t MaxCompressedLength(size_t input_length) override;
  bool GetUncompressedLength(const StringPiece& compressed,
                             size_t* result) override;
  bool GetUncompressedLengthStream(strings::ByteSource* compressed,
                                   size_t* result) override;
};

// Appends the length header for the source's Available() bytes to the sink
// (nothing is consumed); returns its size.
size_t EncodeLength(strings::ByteSource* source, strings::ByteSink* sink);

// Cuts a byte source into blocks. A source that holds all its bytes in one
// fragment is handed out in place; otherwise each block is copied into one
// of two rotating buffers, and the first bytes of each block are also put
// right after the previous block, so that a reader running a few bytes past
// the previous block sees what logically follows it.
class BlockReader {
 public:
  // Bytes kept readable after the end of a block.
  static constexpr uint64 kBlockTail = 8;

  BlockReader(strings::ByteSource* source, uint64 block_size);
  // Consumes the source's bytes (when read in place) and frees the buffers.
  virtual ~BlockReader();
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The next block, or an empty piece at the end.
  StringPiece GetNextBlock();

 private:
  strings::ByteSource* const source_;
  const uint64 block_size_;
  char* current_ = nullptr;   // block_size + kBlockTail bytes each
  char* previous_ = nullptr;
  uint64 skip_at_end_ = 0;
  uint64 remaining_ = 0;      // input bytes not yet handed out
  const char* flat_data_ = nullptr;
};

}  // namespace tessel

// The process-wide, stateless Tessel handle; never destroyed.
Compressor* TesselCompressor();

// A new Tessel object owned by the caller.
tessel::Tessel* NewTesselCompressor();

}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_TESSEL_INTERNAL_TESSEL_H_
