#include "base/once.h"

#include "base/raw_logging.h"
#include "base/spinlock_wait.h"

namespace {

// Keeps a cooperatively scheduled thread on its processor while it runs a
// once function in kernel-only mode; re-enables on every exit path.
class TavroOnceInitSchedulingHelper {
 public:
  explicit TavroOnceInitSchedulingHelper(base::scheduling::SchedulingMode mode)
      : disabled_(mode == base::scheduling::SCHEDULE_KERNEL_ONLY &&
                  base::scheduling::SchedulingGuard::DisableRescheduling()) {}
  ~TavroOnceInitSchedulingHelper() {
    base::scheduling::SchedulingGuard::EnableRescheduling(disabled_);
  }

 private:
  const bool disabled_;
};

// While waiting: take a free word (and run the function ourselves), mark a
// running word as having a sleeper, stop at a done word.
const base::subtle::SpinLockWaitTransition kOnceTransitions[] = {
    {TAVRO_ONCE_INIT, TAVRO_ONCE_RUNNING, true},
    {TAVRO_ONCE_RUNNING, TAVRO_ONCE_WAITER, false},
    {TAVRO_ONCE_DONE, TAVRO_ONCE_DONE, true},
};

}  // namespace

void TavroOnceInternalInit(Atomic32 *control, void (*fn0)(),
                           void (*fn1)(void *), void *arg,
                           base::scheduling::SchedulingMode mode) {
  int32 s = base::subtle::Acquire_Load(control);
  if (s != TAVRO_ONCE_INIT && s != TAVRO_ONCE_RUNNING &&
      s != TAVRO_ONCE_WAITER && s != TAVRO_ONCE_DONE) {
    RAW_LOG_AT(FATAL, "base/once", 52,
               "Unexpected value for control word: %d. Either the control "
               "word has non-static storage duration (where TavroOnceDynamic "
               "might be appropriate), or there's been a memory corruption.",
               s);
  }
  TavroOnceInitSchedulingHelper scheduling_helper(mode);
  if (base::subtle::Acquire_CompareAndSwap(
          control, TAVRO_ONCE_INIT, TAVRO_ONCE_RUNNING) != TAVRO_ONCE_INIT &&
      base::subtle::SpinLockWait(control, 3, kOnceTransitions, mode) != 0) {
    return;  // another thread ran the function
  }
  if (fn0 != nullptr) {
    fn0();
  } else {
    fn1(arg);
  }
  // The exchange sees a sleeper that marked itself at any moment up to the
  // release, so none is left to its futex timeout.
  int32 old = base::subtle::Release_AtomicExchange(control, TAVRO_ONCE_DONE);
  if (old == TAVRO_ONCE_WAITER) {
    base::subtle::SpinLockWake(control, true);
  }
}
