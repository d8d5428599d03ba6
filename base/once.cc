#include "base/once.h"

#include <sched.h>

#include "base/logging.h"

void TavroOnceInternalInit(TavroOnceType* once, void (*fn)()) {
  int32 state = TAVRO_ONCE_INIT;
  if (once->compare_exchange_strong(state, TAVRO_ONCE_RUNNING,
                                    std::memory_order_acquire)) {
    fn();
    once->store(TAVRO_ONCE_DONE, std::memory_order_release);
    return;
  }
  while ((state = once->load(std::memory_order_acquire)) ==
         TAVRO_ONCE_RUNNING) {
    sched_yield();
  }
  CHECK_EQ(state, static_cast<int32>(TAVRO_ONCE_DONE))
      << "Unexpected value for control word";
}
