// The raw native methods of com.tavro.common.compression.NativeCompressor.
//
// A handle is the address of a util::compression::Compressor; every method
// drives the codec only through that interface. Byte arrays are read through
// a JavaByteSource window and written through a JavaByteSink; direct buffers
// through the plain array streams. Failures become Java exceptions together
// with a negative result (or null).
//
// Offsets and lengths are checked before the arrays or buffers are touched,
// so a bad range is an ArrayIndexOutOfBoundsException and never an access
// outside a buffer. A Java exception raised by a region call stops the
// method, which then returns its failure value without throwing again.
#include "java/com/tavro/common/compression/native_compressor.h"

#include <jni.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/logging.h"
#include "util/compression/interface/compression.h"

namespace {

constexpr char kOutOfMemoryError[] = "java/lang/OutOfMemoryError";
constexpr char kIndexError[] = "java/lang/ArrayIndexOutOfBoundsException";
constexpr char kRuntimeException[] = "java/lang/RuntimeException";
constexpr char kIllegalArgument[] = "java/lang/IllegalArgumentException";
constexpr char kNullPointer[] = "java/lang/NullPointerException";
constexpr char kCompressionException[] =
    "com/tavro/common/compression/CompressionException";

constexpr char kMallocFailed[] = "malloc() failed";
constexpr char kOverflowed[] = "output buffer overflowed";
constexpr char kCodecFailed[] = "native code returns failure";

// Raises an exception of the named class. When the class cannot be found,
// the failed lookup has left its own exception pending.
void Throw(JNIEnv* env, const char* class_name, const char* message) {
  jclass cls = env->FindClass(class_name);
  if (cls != nullptr) {
    env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
  }
}

util::compression::Compressor* Codec(jlong handle) {
  return reinterpret_cast<util::compression::Compressor*>(handle);
}

// Checks that [offset, offset + length) lies inside [0, capacity), in 64-bit
// arithmetic; throws ArrayIndexOutOfBoundsException otherwise.
bool CheckRange(JNIEnv* env, const char* what, jlong offset, jlong length,
                jlong capacity) {
  if (offset >= 0 && length >= 0 && offset + length <= capacity) return true;
  char message[160];
  snprintf(message, sizeof message,
           "%s range [%lld, %lld + %lld) out of bounds for length %lld", what,
           static_cast<long long>(offset), static_cast<long long>(offset),
           static_cast<long long>(length), static_cast<long long>(capacity));
  Throw(env, kIndexError, message);
  return false;
}

// Throws OutOfMemoryError when the source could not get its window.
bool WindowAllocated(JNIEnv* env, const JavaByteSource& source) {
  if (source.IsBufferAllocated()) return true;
  Throw(env, kOutOfMemoryError, kMallocFailed);
  return false;
}

bool CheckArrayRange(JNIEnv* env, const char* what, jbyteArray array,
                     jint offset, jint length) {
  if (array == nullptr) {
    Throw(env, kNullPointer, what);
    return false;
  }
  return CheckRange(env, what, offset, length, env->GetArrayLength(array));
}

}  // namespace

// ---- JavaByteSource ---------------------------------------------------------

JavaByteSource::JavaByteSource(JNIEnv* env, jbyteArray array, jint offset,
                               jint length)
    : env_(env),
      array_(array),
      offset_(offset),
      length_(length),
      // A negative length widens to a huge unsigned value, hence 8192.
      window_capacity_(std::min(static_cast<size_t>(static_cast<int64_t>(length)),
                                kWindowSize)),
      // An empty region still gets a (one-byte) window.
      window_(static_cast<char*>(malloc(std::max<size_t>(window_capacity_, 1)))) {}

JavaByteSource::~JavaByteSource() { free(window_); }

size_t JavaByteSource::GetChunkSize() const {
  return std::min(window_capacity_,
                  static_cast<size_t>(static_cast<int64_t>(length_)) -
                      window_start_);
}

size_t JavaByteSource::Available() const {
  CHECK(IsBufferAllocated());
  return static_cast<size_t>(static_cast<int64_t>(length_)) - window_start_ -
         window_position_;
}

void JavaByteSource::PrepareChunk() {
  if (window_loaded_) return;
  const size_t n = GetChunkSize();
  if (n != 0) {
    // No JNI call may be made while an exception is pending.
    if (!failed_) failed_ = env_->ExceptionCheck();
    if (!failed_) {
      env_->GetByteArrayRegion(array_,
                               offset_ + static_cast<jint>(window_start_),
                               static_cast<jint>(n),
                               reinterpret_cast<jbyte*>(window_));
      failed_ = env_->ExceptionCheck();
    }
    if (failed_) memset(window_, 0, n);
  }
  window_position_ = 0;
  window_loaded_ = true;
}

StringPiece JavaByteSource::Peek() {
  CHECK(IsBufferAllocated());
  PrepareChunk();
  return StringPiece(window_ + window_position_,
                     GetChunkSize() - window_position_);
}

void JavaByteSource::Skip(size_t n) {
  CHECK(IsBufferAllocated());
  CHECK_LE(n, Available());
  if (n == 0) return;
  window_position_ += n;
  if (window_position_ >= GetChunkSize()) {
    // The next Peek loads the window that starts here; a skip may jump
    // past the end of the current window.
    window_start_ += window_position_;
    window_position_ = 0;
    window_loaded_ = false;
  }
}

void JavaByteSource::Reset() {
  // A window that begins at 0 is still the right one.
  if (window_start_ != 0) window_loaded_ = false;
  window_start_ = 0;
  window_position_ = 0;
}

// ---- JavaByteSink -----------------------------------------------------------

JavaByteSink::~JavaByteSink() {}

void JavaByteSink::Append(const char* bytes, size_t n) {
  if (overflowed_) return;
  const size_t room =
      static_cast<size_t>(static_cast<int64_t>(limit_)) - bytes_written_;
  if (n > room) {
    overflowed_ = true;
    n = room;
  }
  if (n == 0) return;
  // No JNI call may be made while an exception is pending.
  if (env_->ExceptionCheck()) {
    overflowed_ = true;
    return;
  }
  env_->SetByteArrayRegion(array_, offset_ + static_cast<jint>(bytes_written_),
                           static_cast<jint>(n),
                           reinterpret_cast<const jbyte*>(bytes));
  if (env_->ExceptionCheck()) {
    overflowed_ = true;  // write nothing more; the caller sees the exception
    return;
  }
  bytes_written_ += n;
}

char* JavaByteSink::GetAppendBuffer(size_t /*min_capacity*/,
                                    size_t /*desired_capacity_hint*/,
                                    char* scratch, size_t scratch_capacity,
                                    size_t* allocated_capacity) {
  *allocated_capacity = scratch_capacity;
  return scratch;
}

void JavaByteSink::Flush() {}

// ---- The raw methods ----------------------------------------------------------

extern "C" {

JNIEXPORT jint JNICALL Java_com_tavro_common_compression_NativeCompressor_rawCompress(
    JNIEnv* env, jclass, jlong handle, jbyteArray in, jint inOffset,
    jint inLength, jbyteArray out, jint outOffset, jint outLength) {
  if (!CheckArrayRange(env, "input", in, inOffset, inLength) ||
      !CheckArrayRange(env, "output", out, outOffset, outLength)) {
    return -1;
  }
  JavaByteSource source(env, in, inOffset, inLength);
  if (!WindowAllocated(env, source)) return -1;
  JavaByteSink sink(env, out, outOffset, outLength);
  Codec(handle)->CompressStream(&source, &sink);
  if (env->ExceptionCheck()) return -1;
  if (sink.overflowed()) {
    Throw(env, kIndexError, kOverflowed);
    return -1;
  }
  return static_cast<jint>(sink.bytes_written());
}

JNIEXPORT jint JNICALL
Java_com_tavro_common_compression_NativeCompressor_rawCompressDirect(
    JNIEnv* env, jclass, jlong handle, jobject inBuf, jint inOffset,
    jint inLength, jobject outBuf, jint outOffset, jint outLength) {
  char* input = inBuf == nullptr
                    ? nullptr
                    : static_cast<char*>(env->GetDirectBufferAddress(inBuf));
  if (input == nullptr) {
    Throw(env, kRuntimeException, "cannot access input buffer");
    return -1;
  }
  char* output = outBuf == nullptr
                     ? nullptr
                     : static_cast<char*>(env->GetDirectBufferAddress(outBuf));
  if (output == nullptr) {
    Throw(env, kRuntimeException, "cannot access output buffer");
    return -1;
  }
  if (!CheckRange(env, "input", inOffset, inLength,
                  env->GetDirectBufferCapacity(inBuf)) ||
      !CheckRange(env, "output", outOffset, outLength,
                  env->GetDirectBufferCapacity(outBuf))) {
    return -1;
  }
  strings::ArrayByteSource source(StringPiece(input + inOffset, inLength));
  strings::CheckedArrayByteSink sink(output + outOffset,
                                     static_cast<size_t>(outLength));
  Codec(handle)->CompressStream(&source, &sink);
  if (sink.Overflowed()) {
    Throw(env, kIndexError, kOverflowed);
    return -1;
  }
  const jint written = static_cast<jint>(sink.NumberOfBytesWritten());
  sink.Flush();
  return written;
}

JNIEXPORT jlong JNICALL
Java_com_tavro_common_compression_NativeCompressor_rawMaxCompressedLength(
    JNIEnv* env, jclass, jlong handle, jint length) {
  if (length < 0) {
    Throw(env, kIllegalArgument, "negative length");
    return -1;
  }
  return static_cast<jlong>(
      Codec(handle)->MaxCompressedLength(static_cast<size_t>(length)));
}

JNIEXPORT jint JNICALL
Java_com_tavro_common_compression_NativeCompressor_rawUncompress(
    JNIEnv* env, jclass, jlong handle, jbyteArray in, jint inOffset,
    jint inLength, jbyteArray out, jint outOffset, jint outLength) {
  if (!CheckArrayRange(env, "input", in, inOffset, inLength) ||
      !CheckArrayRange(env, "output", out, outOffset, outLength)) {
    return -1;
  }
  JavaByteSource source(env, in, inOffset, inLength);
  if (!WindowAllocated(env, source)) return -1;
  JavaByteSink sink(env, out, outOffset, outLength);
  const bool ok = Codec(handle)->UncompressStream(&source, &sink);
  if (env->ExceptionCheck()) return -1;
  // An output that did not fit is reported as such, whatever the codec said.
  if (sink.overflowed()) {
    Throw(env, kIndexError, kOverflowed);
    return -1;
  }
  if (ok) return static_cast<jint>(sink.bytes_written());
  Throw(env, kCompressionException, kCodecFailed);
  return -2;
}

JNIEXPORT jbyteArray JNICALL
Java_com_tavro_common_compression_NativeCompressor_rawUncompressNewBuffer(
    JNIEnv* env, jclass, jlong handle, jbyteArray in, jint inOffset,
    jint inLength) {
  if (!CheckArrayRange(env, "input", in, inOffset, inLength)) return nullptr;
  JavaByteSource source(env, in, inOffset, inLength);
  if (!WindowAllocated(env, source)) return nullptr;
  size_t announced = 0;
  const bool has_length =
      Codec(handle)->GetUncompressedLengthStream(&source, &announced);
  if (env->ExceptionCheck()) return nullptr;
  if (!has_length) {
    Throw(env, kCompressionException, kCodecFailed);
    return nullptr;
  }
  const jint length = static_cast<jint>(static_cast<uint32_t>(announced));
  if (length < 0) return nullptr;  // more than a Java array can hold
  source.Reset();

  jbyteArray result = env->NewByteArray(length);
  if (result == nullptr) {
    // The virtual machine may have raised its own OutOfMemoryError.
    if (!env->ExceptionCheck()) {
      Throw(env, kOutOfMemoryError, "NewByteArray() failed");
    }
    return nullptr;
  }
  JavaByteSink sink(env, result, 0, length);
  const bool ok = Codec(handle)->UncompressStream(&source, &sink);
  if (env->ExceptionCheck()) return nullptr;
  if (sink.overflowed()) {
    Throw(env, kIndexError, kOverflowed);
    return nullptr;
  }
  // The input array may have changed between the two passes: a result of
  // another length than announced is a failure, not a broken invariant.
  if (!ok || sink.bytes_written() != static_cast<size_t>(length)) {
    Throw(env, kCompressionException, kCodecFailed);
    return nullptr;
  }
  return result;
}

JNIEXPORT jint JNICALL
Java_com_tavro_common_compression_NativeCompressor_rawGetUncompressedLength(
    JNIEnv* env, jclass, jlong handle, jbyteArray in, jint inOffset,
    jint inLength) {
  if (!CheckArrayRange(env, "input", in, inOffset, inLength)) return -1;
  JavaByteSource source(env, in, inOffset, inLength);
  if (!WindowAllocated(env, source)) return -1;
  size_t length = 0;
  const bool ok = Codec(handle)->GetUncompressedLengthStream(&source, &length);
  if (env->ExceptionCheck()) return -1;
  if (ok) return static_cast<jint>(static_cast<uint32_t>(length));
  Throw(env, kCompressionException, kCodecFailed);
  return -1;
}

}  // extern "C"
