// The codec interface. Every codec in the library (Sprock, Tessel) is driven
// through util::compression::Compressor; the process-wide codec handles the
// Java bridge hands out are pointers to it.
//
// A false result means the compressed data is malformed, truncated or does
// not fit the sink; codecs never throw. Implementations keep no per-call
// state in the object unless they say so, so one handle serves any number
// of threads at once.
#ifndef UTIL_COMPRESSION_INTERFACE_COMPRESSION_H_
#define UTIL_COMPRESSION_INTERFACE_COMPRESSION_H_

#include <cstddef>
#include <string>

#include "strings/bytestream.h"
#include "strings/stringpiece.h"

namespace util {
namespace compression {

class Compressor {
 public:
  Compressor() = default;
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
  virtual ~Compressor();

  // Replaces *output with the compressed form; returns its length.
  virtual size_t Compress(const StringPiece& input, std::string* output) = 0;
  virtual bool Uncompress(const StringPiece& compressed,
                          std::string* output) = 0;
  // Appends the compressed form to the sink; returns the bytes appended.
  virtual size_t CompressStream(strings::ByteSource* source,
                                strings::ByteSink* sink) = 0;
  virtual bool UncompressStream(strings::ByteSource* source,
                                strings::ByteSink* sink) = 0;
  // An upper bound on the compressed size of any input of this length.
  virtual size_t MaxCompressedLength(size_t input_length) = 0;
  virtual bool GetUncompressedLength(const StringPiece& compressed,
                                     size_t* result) = 0;
  virtual bool GetUncompressedLengthStream(strings::ByteSource* compressed,
                                           size_t* result) = 0;
};

}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_INTERFACE_COMPRESSION_H_
