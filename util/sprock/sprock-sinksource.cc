#include "util/sprock/sprock-sinksource.h"

#include <cstring>

namespace quern {

Source::~Source() {}

Sink::~Sink() {}

char* Sink::GetAppendBuffer(size_t /*length*/, char* scratch) {
  return scratch;
}

void Sink::AppendAndTakeOwnership(char* bytes, size_t n, Deleter deleter,
                                  void* deleter_arg) {
  Append(bytes, n);
  (*deleter)(deleter_arg, bytes, n);
}

char* Sink::GetAppendBufferVariable(size_t /*min_size*/,
                                    size_t /*desired_size_hint*/,
                                    char* scratch, size_t scratch_size,
                                    size_t* allocated_size) {
  *allocated_size = scratch_size;
  return scratch;
}

ByteArraySource::~ByteArraySource() {}

UncheckedByteArraySink::~UncheckedByteArraySink() {}

void UncheckedByteArraySink::Append(const char* bytes, size_t n) {
  // A pointer equal to the destination means the caller wrote in place.
  if (bytes != dest_ && n > 0) memcpy(dest_, bytes, n);
  dest_ += n;
}

char* UncheckedByteArraySink::GetAppendBuffer(size_t /*length*/,
                                              char* /*scratch*/) {
  return dest_;
}

void UncheckedByteArraySink::AppendAndTakeOwnership(char* bytes, size_t n,
                                                    Deleter deleter,
                                                    void* deleter_arg) {
  if (bytes != dest_) {
    if (n > 0) memcpy(dest_, bytes, n);
    (*deleter)(deleter_arg, bytes, n);
  }
  dest_ += n;
}

char* UncheckedByteArraySink::GetAppendBufferVariable(
    size_t /*min_size*/, size_t desired_size_hint, char* /*scratch*/,
    size_t /*scratch_size*/, size_t* allocated_size) {
  *allocated_size = desired_size_hint;
  return dest_;
}

}  // namespace quern
