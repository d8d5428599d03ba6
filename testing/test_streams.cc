#include "testing/test_streams.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace testing_streams {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

std::string Text(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"block ", "copy ", "literal ", "the ",
                                       "offset ", "window ", "\n", "tag "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += kWords[rng() % 8];
    const uint32_t r = rng() % 16;
    if (r == 0) s += std::to_string(rng() % 1000);
    if (r == 1) s.push_back(static_cast<char>(rng()));
  }
  s.resize(n);
  return s;
}

std::vector<std::string> BoundaryInputs(size_t n) {
  return {Text(n, n), RandomBytes(n, n), Text(n / 2, n) + Text(n - n / 2, n)};
}

std::unique_ptr<char[]> ExactCopy(const std::string& s) {
  std::unique_ptr<char[]> copy(new char[s.size()]);
  memcpy(copy.get(), s.data(), s.size());
  return copy;
}

StringPiece FragmentingSource::Peek() {
  const size_t n = std::min(sizes_[next_ % sizes_.size()], Available());
  return StringPiece(data_.data() + pos_, n);
}

void FragmentingSource::Skip(size_t n) {
  pos_ += n;
  if (n > 0) next_++;
}

void RecordingSink::Append(const char* bytes, size_t n) {
  appends++;
  data.append(bytes, n);
}

void RecordingSink::AppendMemBlock(MemBlock* block) {
  block_sizes.push_back(block->length());
  data.append(block->data(), block->length());
  delete block;
}

char* RecordingSink::GetAppendBuffer(size_t min_capacity,
                                     size_t desired_capacity_hint,
                                     char* scratch, size_t scratch_capacity,
                                     size_t* allocated_capacity) {
  if (!lend_) {
    return ByteSink::GetAppendBuffer(min_capacity, desired_capacity_hint,
                                     scratch, scratch_capacity,
                                     allocated_capacity);
  }
  lent_.assign(std::max(min_capacity, desired_capacity_hint), '\0');
  *allocated_capacity = lent_.size();
  return &lent_[0];
}

}  // namespace testing_streams
