// Once-initialization: TavroOnceInit(&once, fn) runs fn exactly once per
// control word; callers that arrive while it runs sleep until it has
// finished. A control word is a plain integer with static storage, so it
// works before any constructor has run:
//
//   static TavroOnceType once = TAVRO_ONCE_INIT;
//   TavroOnceInit(&once, &InitTables);
//
// The word moves only forward: not started -> running -> (running with a
// sleeping waiter) -> done. Any other value means the word was not in static
// storage or was overwritten, and aborts the process.
#ifndef BASE_ONCE_H_
#define BASE_ONCE_H_

#include "base/atomicops.h"
#include "base/integral_types.h"
#include "base/port.h"
#include "base/scheduling.h"

typedef Atomic32 TavroOnceType;

// Control word states.
enum {
  TAVRO_ONCE_INIT = 0,
  TAVRO_ONCE_RUNNING = 0x65C2937B,
  TAVRO_ONCE_WAITER = 0x05A308D2,
  TAVRO_ONCE_DONE = 0x3F2D8AB0,
};

// Slow path: claims the word and runs fn0 (or fn1(arg) when fn0 is null), or
// waits for the thread that claimed it.
void TavroOnceInternalInit(Atomic32 *control, void (*fn0)(),
                           void (*fn1)(void *), void *arg,
                           base::scheduling::SchedulingMode mode);

inline void TavroOnceInitLowLevel(TavroOnceType *once, void (*fn)(),
                                  base::scheduling::SchedulingMode mode) {
  if (PREDICT_FALSE(base::subtle::Acquire_Load(once) != TAVRO_ONCE_DONE)) {
    TavroOnceInternalInit(once, fn, nullptr, nullptr, mode);
  }
}

inline void TavroOnceInit(TavroOnceType *once, void (*fn)()) {
  TavroOnceInitLowLevel(once, fn,
                        base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL);
}

#endif  // BASE_ONCE_H_
