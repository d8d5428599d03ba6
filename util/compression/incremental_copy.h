// The overlapping forward copy both LZ decoders use for copies of earlier
// output: when the source is fewer bytes behind the destination than the
// copy is long, the copy repeats the pattern between them.
#ifndef UTIL_COMPRESSION_INCREMENTAL_COPY_H_
#define UTIL_COMPRESSION_INCREMENTAL_COPY_H_

#include <cstddef>

#include "base/logging.h"
#include "base/port.h"

namespace util {
namespace compression {

// IncrementalCopyFastPath may write up to this many bytes past the copy.
constexpr size_t kMaxIncrementCopyOverflow = 10;

// Copies len bytes forwards one at a time.
inline void IncrementalCopy(const char* src, char* op, ptrdiff_t len) {
  DCHECK(len > 0);
  do {
    *op++ = *src++;
  } while (--len > 0);
}

// Same result as IncrementalCopy with 8-byte moves; may write up to
// kMaxIncrementCopyOverflow bytes past op + len. While the gap between src
// and op is under 8 bytes, each move doubles it. The count is signed: the
// doubling steps may take it below zero.
inline void IncrementalCopyFastPath(const char* src, char* op, ptrdiff_t len) {
  while (PREDICT_FALSE(op - src < 8)) {
    UnalignedCopy64(src, op);
    len -= op - src;
    op += op - src;
  }
  while (len > 0) {
    UnalignedCopy64(src, op);
    src += 8;
    op += 8;
    len -= 8;
  }
}

// Copies len (at most 64) bytes as four 16-byte moves, whatever len is:
// copy lengths vary unpredictably, and a branch on them would often miss.
// Writes 64 bytes. The source must be at least 16 bytes behind dst when
// they overlap, so that every move reads bytes an earlier move already
// made final.
inline void CopyUpTo64(const char* src, char* dst, size_t len) {
  DCHECK(len <= 64);
  UnalignedCopy128(src, dst);
  UnalignedCopy128(src + 16, dst + 16);
  UnalignedCopy128(src + 32, dst + 32);
  UnalignedCopy128(src + 48, dst + 48);
}

// Appends a copy of len bytes from offset bytes back to a flat output whose
// produced bytes are [start, *op) and whose end is end. Fails on offset 0,
// on offsets reaching before start, and when the copy does not fit.
inline bool AppendCopyToFlatOutput(const char* start, char** op_p,
                                   const char* end, size_t offset,
                                   size_t len) {
  char* op = *op_p;
  const size_t space = end - op;
  // Unsigned: rejects offset 0 and offsets beyond what was produced.
  if (static_cast<size_t>(op - start) <= offset - 1u) return false;
  if (offset >= 16 && len <= 64 && space >= 64) {
    CopyUpTo64(op - offset, op, len);
  } else if (len <= 16 && offset >= 8 && space >= 16) {
    // The second move may read what the first wrote (offsets 8..15), which
    // is exactly the overlap a copy requires.
    UnalignedCopy64(op - offset, op);
    UnalignedCopy64(op - offset + 8, op + 8);
  } else if (space >= len + kMaxIncrementCopyOverflow) {
    IncrementalCopyFastPath(op - offset, op, len);
  } else {
    if (space < len) return false;
    IncrementalCopy(op - offset, op, len);
  }
  *op_p = op + len;
  return true;
}

}  // namespace compression
}  // namespace util

#endif  // UTIL_COMPRESSION_INCREMENTAL_COPY_H_
