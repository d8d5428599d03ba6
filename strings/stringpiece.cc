#include "strings/stringpiece.h"

#include <algorithm>
#include <ostream>

int StringPiece::compare(StringPiece x) const {
  size_type n = std::min(length_, x.length_);
  int r = n == 0 ? 0 : memcmp(ptr_, x.ptr_, n);
  if (r != 0) return r;
  if (length_ < x.length_) return -1;
  if (length_ > x.length_) return 1;
  return 0;
}

std::ostream& operator<<(std::ostream& o, StringPiece piece) {
  o.write(piece.data(), piece.size());
  return o;
}
