// Once-initialization: TavroOnceInit(&once, fn) runs fn exactly once per
// control word; callers that arrive while it runs wait until it has finished.
// A control word is a plain integer with static storage, so it works before
// any constructor has run:
//
//   static TavroOnceType once = TAVRO_ONCE_INIT;
//   TavroOnceInit(&once, &InitTables);
//
// The waiting here is a yield loop; the spin-lock layer replaces it with
// futex sleeping behind the same interface.
#ifndef BASE_ONCE_H_
#define BASE_ONCE_H_

#include <atomic>

#include "base/integral_types.h"

typedef std::atomic<int32> TavroOnceType;

// Control word states.
enum {
  TAVRO_ONCE_INIT = 0,
  TAVRO_ONCE_RUNNING = 0x65C2937B,
  TAVRO_ONCE_DONE = 221,
};

// Slow path: claims the word or waits for the thread that did.
void TavroOnceInternalInit(TavroOnceType* once, void (*fn)());

inline void TavroOnceInit(TavroOnceType* once, void (*fn)()) {
  if (once->load(std::memory_order_acquire) != TAVRO_ONCE_DONE) {
    TavroOnceInternalInit(once, fn);
  }
}

#endif  // BASE_ONCE_H_
