// Sprock: the library's fast byte-oriented LZ codec.
//
// Format: the uncompressed length as a little-endian base-128 varint of 1 to
// 5 bytes, then elements up to the end of the stream. An element is a tag
// byte whose two low bits give its kind, then its trailing bytes:
//   00  literal: tag bits 2..7 hold length - 1 (0..59), or 60..63 meaning
//       1..4 little-endian bytes of length - 1 follow; then the bytes.
//   01  copy, length 4..11 (bits 2..4), offset < 2048 (bits 5..7 and one
//       trailing byte).
//   10  copy, length 1..64 (bits 2..7), 2-byte little-endian offset.
//   11  copy, length 1..64 (bits 2..7), 4-byte little-endian offset.
// A copy repeats output from offset bytes back and may overlap itself.
// The compressor works on independent 64 KiB blocks with one hash probe per
// position, and never writes the 4-byte-offset form.
//
// The quern:: functions are the codec core over quern::Source/Sink; the
// static class Sprock offers it over strings::ByteSource/ByteSink,
// StringPiece and std::string.
#ifndef UTIL_SPROCK_SPROCK_H_
#define UTIL_SPROCK_SPROCK_H_

#include <sys/uio.h>

#include <cstddef>
#include <string>

#include "base/integral_types.h"
#include "strings/bytestream.h"
#include "strings/memblock.h"
#include "strings/stringpiece.h"
#include "util/compression/interface/compression.h"
#include "util/sprock/sprock-sinksource.h"

namespace quern {

static constexpr int kBlockSize = 1 << 16;

// ---- Compression -------------------------------------------------------

// An upper bound on the compressed size of n input bytes: 32 + n + n/6.
size_t MaxCompressedLength(size_t n);

// Compresses all Available() bytes of the reader; returns the bytes
// appended to the writer, preamble included. Inputs of 2^32 bytes or more
// cannot be described by the format and are a fatal error.
size_t Compress(Source* reader, Sink* writer);

// Compresses into a buffer of at least MaxCompressedLength(input_length)
// bytes; stores the compressed size.
void RawCompress(const char* input, size_t input_length, char* compressed,
                 size_t* compressed_length);

// Replaces *compressed with the compressed form; returns its length.
size_t Compress(const char* input, size_t input_length,
                std::string* compressed);

// ---- Decompression -----------------------------------------------------

// Reads the announced uncompressed length from a flat buffer.
bool GetUncompressedLength(const char* compressed, size_t n, size_t* result);
// Reads (and consumes) the announced length from a source.
bool GetUncompressedLength(Source* source, uint32* result);

// Decodes into an array that holds at least the announced length.
bool RawUncompress(const char* compressed, size_t n, char* uncompressed);
bool RawUncompress(Source* compressed, char* uncompressed);

// Decodes into a string, resized to the announced length. Streams whose
// announced length is more than their size could possibly encode are
// refused before anything is allocated.
bool Uncompress(const char* compressed, size_t n, std::string* uncompressed);

// Decodes into a sink: in place when the sink lends a buffer of the whole
// announced length, otherwise in blocks of up to 64 KiB handed over without
// copying.
bool Uncompress(Source* compressed, Sink* uncompressed);

// Decodes the whole stream without writing anything: true exactly when
// RawUncompress would succeed.
bool IsValidCompressedBuffer(const char* compressed, size_t n);

// Decodes into the iovec entries in order, each filled up to its length.
bool RawUncompressToIOVec(const char* compressed, size_t n, const iovec* iov,
                          size_t iov_count);
bool RawUncompressToIOVec(Source* compressed, const iovec* iov,
                          size_t iov_count);

// Builds the tag table from its rules and compares it with the compiled-in
// one; prints it when sprock_dump_decompression_table is set. Aborts the
// process when they differ.
void ComputeTable();

// ---- Adaptors to the general byte streams ------------------------------

// Presents a strings::ByteSource as a quern::Source.
class ByteSourceAdaptor : public Source {
 public:
  explicit ByteSourceAdaptor(strings::ByteSource* source) : source_(source) {}
  ~ByteSourceAdaptor() override;

  size_t Available() const override;
  const char* Peek(size_t* len) override;
  void Skip(size_t n) override;

 private:
  strings::ByteSource* source_;
};

// Presents a strings::ByteSink as a quern::Sink.
class ByteSinkAdaptor : public Sink {
 public:
  explicit ByteSinkAdaptor(strings::ByteSink* sink) : sink_(sink) {}
  ~ByteSinkAdaptor() override;

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t length, char* scratch) override;
  void AppendAndTakeOwnership(char* bytes, size_t n, Deleter deleter,
                              void* deleter_arg) override;
  char* GetAppendBufferVariable(size_t min_size, size_t desired_size_hint,
                                char* scratch, size_t scratch_size,
                                size_t* allocated_size) override;

 private:
  strings::ByteSink* sink_;
};

// A memory block whose bytes are released by a caller's deleter, exactly
// once, when the block is deleted. Carries an ownership-transferring append
// through a strings::ByteSink.
class MemBlockWithDeleter : public MemBlock {
 public:
  MemBlockWithDeleter(char* data, size_t n, Sink::Deleter deleter,
                      void* deleter_arg);
  ~MemBlockWithDeleter() override;

 private:
  Sink::Deleter deleter_;
  void* deleter_arg_;
};

}  // namespace quern

// Static entry points of the Sprock codec over the general streams.
class Sprock {
 public:
  static const int32 kBlockSize = quern::kBlockSize;

  static size_t Compress(strings::ByteSource* source, strings::ByteSink* sink);
  static bool Uncompress(strings::ByteSource* source, strings::ByteSink* sink);
  static bool GetUncompressedLength(strings::ByteSource* source,
                                    uint32* result);
  static bool RawUncompress(strings::ByteSource* source, char* output);

  static size_t Compress(const StringPiece& input, std::string* output);
  static bool Uncompress(const StringPiece& input, std::string* output);
  static bool GetUncompressedLength(const StringPiece& input, size_t* result);
  static size_t MaxCompressedLength(size_t n);
};

// The process-wide Sprock codec handle: stateless, never destroyed.
util::compression::Compressor* SprockCompressor();

#endif  // UTIL_SPROCK_SPROCK_H_
