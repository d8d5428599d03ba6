#include "base/spinlock_wait.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "base/commandlineflags.h"

DEFINE_int32(spinlock_delay_cooperative_wait_loops, 8,
             "A cooperatively scheduled thread that has slept this many "
             "times on a contended spin lock tells its scheduler that it may "
             "block in the kernel.");

namespace base {
namespace subtle {
namespace {

// FUTEX_PRIVATE_FLAG while the kernel accepts private futexes. A static
// initializer probes it once; all spin-lock futex calls use it.
int futex_private_flag = FUTEX_PRIVATE_FLAG;

struct FutexProbe {
  FutexProbe() {
    int word = 0;
    if (syscall(SYS_futex, &word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr,
                nullptr, 0) < 0) {
      futex_private_flag = 0;
    }
  }
};
FutexProbe futex_probe;

// State of the delay generator; races between threads only mix it more.
uint64 delay_rand;

}  // namespace

int SuggestedDelayNS(int loop) {
  uint64 r = __atomic_load_n(&delay_rand, __ATOMIC_RELAXED);
  r = r * 0x5DEECE66DULL + 0xB;
  __atomic_store_n(&delay_rand, r, __ATOMIC_RELAXED);
  r <<= 16;  // 48-bit generator: its top bits are the good ones
  if (loop < 0 || loop > 32) loop = 32;
  return static_cast<int>(r >> (44 - loop / 8));
}

void SpinLockDelay(volatile Atomic32 *word, int32 value, int loop,
                   base::scheduling::SchedulingMode mode) {
  if (loop == 0) return;
  int saved_errno = errno;
  struct timespec timeout;
  timeout.tv_sec = 0;
  timeout.tv_nsec = static_cast<long>(SuggestedDelayNS(loop)) * 16;
  bool blocking_region =
      mode == base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL &&
      loop > FLAGS_spinlock_delay_cooperative_wait_loops;
  if (blocking_region) base::scheduling::Downcalls::StartBlockingRegion();
  syscall(SYS_futex, word, FUTEX_WAIT | futex_private_flag, value, &timeout,
          nullptr, 0);
  if (blocking_region) base::scheduling::Downcalls::FinishBlockingRegion();
  errno = saved_errno;
}

void SpinLockWake(volatile Atomic32 *word, bool all) {
  syscall(SYS_futex, word, FUTEX_WAKE | futex_private_flag,
          all ? 2147483647 : 1, nullptr, nullptr, 0);
}

int32 SpinLockWait(volatile Atomic32 *word, int n,
                   const SpinLockWaitTransition trans[],
                   base::scheduling::SchedulingMode mode) {
  for (int loop = 0;; loop++) {
    int32 v = Acquire_Load(word);
    int i = 0;
    while (i < n && trans[i].from != v) i++;
    if (i == n) {
      SpinLockDelay(word, v, loop, mode);  // no matching transition
    } else if (trans[i].to == v ||
               Acquire_CompareAndSwap(word, v, trans[i].to) == v) {
      if (trans[i].done) return v;
    }
  }
}

}  // namespace subtle
}  // namespace base
