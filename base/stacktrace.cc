#include "base/stacktrace.h"

#include <stdint.h>

namespace {

// Frames are larger than this only for code with huge stack arrays; a
// larger step means the chain left the frame-pointer discipline.
constexpr uintptr_t kMaxFrameSize = 1 << 20;

// The caller's frame, if `fp`'s saved link is plausible.
inline void **NextFrame(void **fp) {
  void **next = static_cast<void **>(fp[0]);
  uintptr_t here = reinterpret_cast<uintptr_t>(fp);
  uintptr_t there = reinterpret_cast<uintptr_t>(next);
  if (there <= here || there - here > kMaxFrameSize ||
      there % sizeof(void *) != 0) {
    return nullptr;
  }
  return next;
}

}  // namespace

__attribute__((noinline, no_sanitize_address)) int GetStackTrace(
    void **result, int max_depth, int skip_count) {
  void **fp = static_cast<void **>(__builtin_frame_address(0));
  int depth = 0;
  while (fp != nullptr && depth < max_depth) {
    void *return_address = fp[1];
    if (return_address == nullptr) break;
    if (skip_count > 0) {
      skip_count--;
    } else {
      result[depth++] = return_address;
    }
    fp = NextFrame(fp);
  }
  return depth;
}
