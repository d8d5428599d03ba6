#include "strings/bytestream.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"

namespace strings {

namespace {

// What every GetAppendBuffer requires of its caller: a non-empty request,
// and a scratch buffer that could hold it.
void CheckAppendBufferArguments(size_t min_capacity, size_t scratch_capacity) {
  CHECK_GE(min_capacity, 1);
  CHECK_GE(scratch_capacity, min_capacity);
}

}  // namespace

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
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
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
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  size_t room = capacity_ - size_;
  if (room >= min_capacity) {
    *allocated_capacity = room;
    return outbuf_ + size_;
  }
  *allocated_capacity = scratch_capacity;
  return scratch;
}

LimitByteSource::~LimitByteSource() {}

size_t LimitByteSource::Available() const {
  return std::min(limit_, source_->Available());
}

StringPiece LimitByteSource::Peek() {
  StringPiece piece = source_->Peek();
  if (static_cast<size_t>(piece.size()) > limit_) {
    piece.set(piece.data(), static_cast<StringPiece::size_type>(limit_));
  }
  return piece;
}

void LimitByteSource::Skip(size_t n) {
  CHECK_LE(n, limit_);
  source_->Skip(n);
  limit_ -= n;
}

void LimitByteSource::CopyTo(ByteSink* sink, size_t n) {
  CHECK_LE(n, limit_);
  source_->CopyTo(sink, n);
  limit_ -= n;
}

UncheckedArrayByteSink::~UncheckedArrayByteSink() {}

void UncheckedArrayByteSink::Append(const char* data, size_t n) {
  if (data != dest_) {
    // Append() data[] must not lie in the region it is copied to.
    CHECK(!(dest_ <= data && data < (dest_ + n)))
        << "Append() data[] overlaps with dest_[]";
    if (n > 0) memcpy(dest_, data, n);
  }
  dest_ += n;
}

char* UncheckedArrayByteSink::GetAppendBuffer(size_t min_capacity,
                                              size_t desired_capacity_hint,
                                              char* /*scratch*/,
                                              size_t scratch_capacity,
                                              size_t* allocated_capacity) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  *allocated_capacity = std::max(min_capacity, desired_capacity_hint);
  return dest_;
}

GrowingArrayByteSink::GrowingArrayByteSink(size_t estimated_size)
    : capacity_(estimated_size), buf_(new char[estimated_size]) {}

GrowingArrayByteSink::~GrowingArrayByteSink() { delete[] buf_; }

void GrowingArrayByteSink::Append(const char* bytes, size_t n) {
  const bool in_place = bytes == buf_ + size_;
  if (!in_place) {
    CHECK(!(buf_ <= bytes && bytes < (buf_ + capacity_)))
        << "Append() bytes[] overlaps with buf_[]";
  }
  const size_t room = capacity_ - size_;
  if (n > room) Expand(n - room);
  if (n > 0 && !in_place) memcpy(buf_ + size_, bytes, n);
  size_ += n;
}

char* GrowingArrayByteSink::GetAppendBuffer(size_t min_capacity,
                                            size_t desired_capacity_hint,
                                            char* /*scratch*/,
                                            size_t scratch_capacity,
                                            size_t* allocated_capacity) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  const size_t room = capacity_ - size_;
  if (room < min_capacity) {
    Expand(std::max(min_capacity, desired_capacity_hint) - room);
  }
  *allocated_capacity = capacity_ - size_;
  return buf_ + size_;
}

char* GrowingArrayByteSink::GetBuffer(size_t* nbytes) {
  ShrinkToFit();
  char* buffer = buf_;
  *nbytes = size_;
  buf_ = nullptr;
  capacity_ = 0;
  size_ = 0;
  return buffer;
}

void GrowingArrayByteSink::ShrinkToFit() {
  if (capacity_ > 256 && size_ < capacity_ * 3 / 4) Reallocate(size_);
}

void GrowingArrayByteSink::Expand(size_t amount) {
  Reallocate(std::max(capacity_ + amount, capacity_ * 3 / 2));
}

void GrowingArrayByteSink::Reallocate(size_t new_capacity) {
  char* bigger = new char[new_capacity];
  if (size_ > 0) memcpy(bigger, buf_, size_);
  delete[] buf_;
  buf_ = bigger;
  capacity_ = new_capacity;
}

StringByteSink::~StringByteSink() {}

void StringByteSink::Append(const char* data, size_t n) {
  if (lent_) {
    // The string was grown over the lent region: keep what was written in
    // place, drop the rest.
    lent_ = false;
    const char* lent = &(*dest_)[0] + lent_offset_;
    if (data == lent) {
      CHECK_LE(n, dest_->size() - lent_offset_);
      dest_->resize(lent_offset_ + n);
      return;
    }
    CHECK(!(lent <= data && data < &(*dest_)[0] + dest_->size()))
        << "Append() data[] overlaps with the lent buffer";
    dest_->resize(lent_offset_);
  }
  dest_->append(data, n);
}

char* StringByteSink::GetAppendBuffer(size_t min_capacity,
                                      size_t desired_capacity_hint,
                                      char* /*scratch*/,
                                      size_t /*scratch_capacity*/,
                                      size_t* allocated_capacity) {
  if (lent_) dest_->resize(lent_offset_);  // an earlier loan never used
  const size_t len = std::max(min_capacity, desired_capacity_hint);
  lent_ = true;
  lent_offset_ = dest_->size();
  // Growing the string (rather than writing into reserved space past its
  // end) keeps every byte the caller writes inside the string.
  dest_->resize(lent_offset_ + len);
  *allocated_capacity = len;
  return &(*dest_)[0] + lent_offset_;
}

}  // namespace strings
