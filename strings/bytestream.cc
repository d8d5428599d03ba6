#include "strings/bytestream.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"

namespace strings {

ByteSource::~ByteSource() {}

void ByteSource::CopyTo(ByteSink* sink, size_t n) {
  while (n > 0) {
    StringPiece fragment = Peek();
    if (fragment.empty()) {
      LOG(FATAL) << "ByteSource::CopyTo() overran input.";
    }
    size_t k = std::min(n, static_cast<size_t>(fragment.size()));
    sink->Append(fragment.data(), k);
    Skip(k);
    n -= k;
  }
}

ByteSink::~ByteSink() {}

void ByteSink::AppendMemBlock(MemBlock* block) {
  if (block == nullptr) return;
  Append(block->data(), block->length());
  delete block;
}

size_t ByteSink::MinAppendMemBlockLength() const { return 512; }

char* ByteSink::GetAppendBuffer(size_t min_capacity,
                                size_t /*desired_capacity_hint*/,
                                char* scratch, size_t scratch_capacity,
                                size_t* allocated_capacity) {
  CHECK_GE(min_capacity, 1);
  CHECK_GE(scratch_capacity, min_capacity);
  *allocated_capacity = scratch_capacity;
  return scratch;
}

void ByteSink::Flush() {}

ArrayByteSource::~ArrayByteSource() {}

void ArrayByteSource::Skip(size_t n) {
  CHECK_LE(n, input_.size());
  input_.remove_prefix(n);
}

CheckedArrayByteSink::~CheckedArrayByteSink() {}

void CheckedArrayByteSink::Append(const char* bytes, size_t n) {
  size_t room = capacity_ - size_;
  if (n > room) {
    n = room;
    overflowed_ = true;
  }
  if (n > 0 && bytes != outbuf_ + size_) {
    CHECK(!(outbuf_ <= bytes && bytes < (outbuf_ + capacity_)))
        << "Append() bytes[] overlaps with outbuf_[]";
    memcpy(outbuf_ + size_, bytes, n);
  }
  size_ += n;
}

char* CheckedArrayByteSink::GetAppendBuffer(size_t min_capacity,
                                            size_t /*desired_capacity_hint*/,
                                            char* scratch,
                                            size_t scratch_capacity,
                                            size_t* allocated_capacity) {
  CHECK_GE(min_capacity, 1);
  CHECK_GE(scratch_capacity, min_capacity);
  size_t room = capacity_ - size_;
  if (room >= min_capacity) {
    *allocated_capacity = room;
    return outbuf_ + size_;
  }
  *allocated_capacity = scratch_capacity;
  return scratch;
}

}  // namespace strings
