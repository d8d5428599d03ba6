// StringPiece: a non-owning view of bytes (pointer and signed length).
// The bytes must outlive the view. A negative length is a fatal error.
#ifndef STRINGS_STRINGPIECE_H_
#define STRINGS_STRINGPIECE_H_

#include <cstddef>
#include <cstring>
#include <iosfwd>
#include <string>

#include "base/integral_types.h"
#include "base/logging.h"

class StringPiece {
 public:
  typedef int64 size_type;
  typedef const char* const_iterator;

  StringPiece() : ptr_(nullptr), length_(0) {}
  StringPiece(const char* str)  // NOLINT: implicit like std::string's
      : ptr_(str), length_(str == nullptr ? 0 : strlen(str)) {}
  StringPiece(const std::string& str)  // NOLINT
      : ptr_(str.data()), length_(static_cast<size_type>(str.size())) {}
  StringPiece(const char* offset, size_type len) : ptr_(offset), length_(len) {
    CHECK(len >= 0);
  }

  const char* data() const { return ptr_; }
  size_type size() const { return length_; }
  size_type length() const { return length_; }
  bool empty() const { return length_ == 0; }
  const_iterator begin() const { return ptr_; }
  const_iterator end() const { return ptr_ + length_; }

  char operator[](size_type i) const { return ptr_[i]; }

  void clear() {
    ptr_ = nullptr;
    length_ = 0;
  }
  void set(const char* data, size_type len) {
    CHECK(len >= 0);
    ptr_ = data;
    length_ = len;
  }
  void remove_prefix(size_type n) {
    ptr_ += n;
    length_ -= n;
  }
  void remove_suffix(size_type n) { length_ -= n; }

  std::string as_string() const { return ToString(); }
  std::string ToString() const {
    return empty() ? std::string() : std::string(ptr_, length_);
  }
  void CopyToString(std::string* target) const {
    target->assign(ptr_ == nullptr ? "" : ptr_, length_);
  }

  int compare(StringPiece x) const;
  bool starts_with(StringPiece x) const {
    return length_ >= x.length_ && memcmp(ptr_, x.ptr_, x.length_) == 0;
  }

 private:
  const char* ptr_;
  size_type length_;
};

inline bool operator==(StringPiece x, StringPiece y) {
  return x.size() == y.size() &&
         (x.size() == 0 || memcmp(x.data(), y.data(), x.size()) == 0);
}
inline bool operator!=(StringPiece x, StringPiece y) { return !(x == y); }
inline bool operator<(StringPiece x, StringPiece y) { return x.compare(y) < 0; }

std::ostream& operator<<(std::ostream& o, StringPiece piece);

#endif  // STRINGS_STRINGPIECE_H_
