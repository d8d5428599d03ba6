#include "strings/memblock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "base/logging.h"

MemBlock::~MemBlock() { MUnlock(); }

bool MemBlock::MLockGeneral() {
  if (locked_) return true;
  if (orig_length_ == 0) return true;
  locked_ = mlock(orig_data_, orig_length_) == 0;
  return locked_;
}

void MemBlock::MUnlock() {
  if (!locked_) return;
  munlock(orig_data_, orig_length_);
  locked_ = false;
}

void MemBlock::GetDataIntoMemory() {
  static const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  volatile char sink = 0;
  for (size_t i = 0; i < length_; i += kPage) sink = sink + data_[i];
  (void)sink;
}

void MemBlock::GetStats(std::string* out) const {
  char line[128];
  snprintf(line, sizeof line, "MemBlock %p: %zu of %zu bytes%s\n",
           static_cast<const void*>(orig_data_), length_, orig_length_,
           locked_ ? ", locked" : "");
  out->append(line);
}

void MemBlock::set_view(char* data, size_t length) {
  CHECK(data >= orig_data_ && data + length <= orig_data_ + orig_length_);
  data_ = data;
  length_ = length;
}

NewedMemBlock::~NewedMemBlock() { delete[] orig_data(); }
