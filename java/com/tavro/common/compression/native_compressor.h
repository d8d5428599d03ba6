// The byte streams through which the JNI entry points hand Java byte arrays
// to a codec, without pinning or copying the whole array:
//   JavaByteSource reads a region of a byte[] through a native window of at
//     most 8192 bytes, refilled with GetByteArrayRegion;
//   JavaByteSink writes straight into a region of a byte[] with
//     SetByteArrayRegion, keeping what fits and flagging an overflow.
// Both live on the stack of one native call.
#ifndef JAVA_COM_TAVRO_COMMON_COMPRESSION_NATIVE_COMPRESSOR_H_
#define JAVA_COM_TAVRO_COMMON_COMPRESSION_NATIVE_COMPRESSOR_H_

#include <jni.h>

#include <cstddef>

#include "strings/bytestream.h"

class JavaByteSource : public strings::ByteSource {
 public:
  static constexpr size_t kWindowSize = 8192;

  // Allocates the window; IsBufferAllocated() tells whether that worked.
  JavaByteSource(JNIEnv* env, jbyteArray array, jint offset, jint length);
  ~JavaByteSource() override;

  bool IsBufferAllocated() const { return window_ != nullptr; }

  size_t Available() const override;
  StringPiece Peek() override;
  void Skip(size_t n) override;

  // Starts reading the region again from its first byte.
  void Reset();

  // True when a region call raised a Java exception. From then on the array
  // is not touched again and the rest of the region reads as zero bytes, so
  // that any codec runs to its end; the caller reports the failure.
  bool failed() const { return failed_; }

 private:
  size_t GetChunkSize() const;
  void PrepareChunk();

  JNIEnv* const env_;
  const jbyteArray array_;
  const jint offset_;
  const jint length_;
  const size_t window_capacity_;
  char* const window_;
  size_t window_start_ = 0;     // region offset of the window's first byte
  size_t window_position_ = 0;  // bytes of the window already consumed
  bool window_loaded_ = false;
  bool failed_ = false;
};

class JavaByteSink : public strings::ByteSink {
 public:
  JavaByteSink(JNIEnv* env, jbyteArray array, jint offset, jint limit)
      : env_(env), array_(array), offset_(offset), limit_(limit) {}
  ~JavaByteSink() override;

  // Writes what fits; once anything did not fit, drops everything after.
  void Append(const char* bytes, size_t n) override;
  // Always the caller's scratch: a Java array cannot be lent.
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                        char* scratch, size_t scratch_capacity,
                        size_t* allocated_capacity) override;
  void Flush() override;

  size_t bytes_written() const { return bytes_written_; }
  bool overflowed() const { return overflowed_; }

 private:
  JNIEnv* const env_;
  const jbyteArray array_;
  const jint offset_;
  const jint limit_;
  size_t bytes_written_ = 0;
  bool overflowed_ = false;
};

#endif  // JAVA_COM_TAVRO_COMMON_COMPRESSION_NATIVE_COMPRESSOR_H_
