#include "base/per_thread_sem.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/malloc_extension.h"
#include "base/raw_logging.h"

namespace base {
namespace internal {
namespace sem_internal {
namespace {

// A blocked thread that has seen more ticks than this is idle.
constexpr int32 kIdleTicks = 60;

using base::subtle::Acquire_CompareAndSwap;
using base::subtle::NoBarrier_AtomicIncrement;
using base::subtle::NoBarrier_Load;
using base::subtle::NoBarrier_Store;

void MaybeBecomeIdle(PerThreadSemPrivateData *s) {
  if (NoBarrier_Load(&s->is_idle) != 0) return;
  if (NoBarrier_Load(&s->ticker) - NoBarrier_Load(&s->wait_start) >
      kIdleTicks) {
    NoBarrier_Store(&s->is_idle, 1);
    MallocExtension::instance()->MarkThreadIdle();
  }
}

}  // namespace

void InitState(PerThreadSemPrivateData *s) {
  NoBarrier_Store(&s->count, 0);
  NoBarrier_Store(&s->ticker, 0);
  NoBarrier_Store(&s->wait_start, 0);
  NoBarrier_Store(&s->is_idle, 0);
  NoBarrier_Store(&s->sleepers, 0);
  s->reserved = 0;
}

bool Expired(const struct timespec *deadline, struct timespec *relative) {
  if (deadline == nullptr) return false;
  struct timeval now;
  gettimeofday(&now, nullptr);
  if (deadline->tv_nsec < now.tv_usec * 1000) {
    now.tv_sec += 1;
    now.tv_usec -= 1000000;
  }
  relative->tv_sec = deadline->tv_sec - now.tv_sec;
  relative->tv_nsec = deadline->tv_nsec - now.tv_usec * 1000;
  return relative->tv_sec < 0;
}

bool WaitOnState(PerThreadSemPrivateData *s, volatile Atomic32 *blocked_count,
                 const struct timespec *deadline, const char *file, int line) {
  int32 ticker = NoBarrier_Load(&s->ticker);
  NoBarrier_Store(&s->wait_start, ticker == 0 ? 1 : ticker);
  NoBarrier_Store(&s->is_idle, 0);
  if (blocked_count != nullptr) NoBarrier_AtomicIncrement(blocked_count, 1);

  bool timed_out = false;
  for (;;) {
    int32 x = NoBarrier_Load(&s->count);
    if (x == 0) {
      struct timespec relative;
      timed_out = Expired(deadline, &relative);
      if (!timed_out) {
        // Announce the sleep before the last look at the count; a poster
        // increments the count before it looks for sleepers (both are full
        // barriers), so one of the two sees the other.
        base::subtle::Barrier_AtomicIncrement(&s->sleepers, 1);
        long err = 0;
        if (base::subtle::Acquire_Load(&s->count) == 0) {
          err = syscall(SYS_futex, &s->count, FUTEX_WAIT | FUTEX_PRIVATE_FLAG,
                        0, deadline != nullptr ? &relative : nullptr, nullptr,
                        0);
        }
        base::subtle::NoBarrier_AtomicIncrement(&s->sleepers, -1);
        if (err != 0 && errno != EINTR && errno != EAGAIN &&
            errno != ETIMEDOUT) {
          RAW_LOG_AT(FATAL, file, line,
                     "sys_futex(FUTEX_WAIT) failed with errno %d\n", errno);
        }
        MaybeBecomeIdle(s);
      }
    }
    if (timed_out) break;
    if (x != 0 && Acquire_CompareAndSwap(&s->count, x, x - 1) == x) break;
  }

  if (blocked_count != nullptr) NoBarrier_AtomicIncrement(blocked_count, -1);
  if (NoBarrier_Load(&s->is_idle) != 0) {
    MallocExtension::instance()->MarkThreadBusy();
  }
  NoBarrier_Store(&s->is_idle, 0);
  NoBarrier_Store(&s->wait_start, 0);
  return !timed_out;
}

void PostToState(PerThreadSemPrivateData *s, const char *file, int line) {
  // The increment is a full barrier (see WaitOnState): a waiter that has
  // not announced its sleep yet will see the new count and not sleep.
  base::subtle::Barrier_AtomicIncrement(&s->count, 1);
  // Only a waiter inside (or entering) the futex wait needs the system
  // call; one that is still running finds the post by itself.
  if (base::subtle::Acquire_Load(&s->sleepers) == 0) return;
  for (;;) {
    long err = syscall(SYS_futex, &s->count, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1,
                       nullptr, nullptr, 0);
    if (err >= 0) break;
    if (errno != EINTR) {
      RAW_LOG_AT(FATAL, file, line,
                 "sys_futex(FUTEX_WAKE) failed with errno %d\n", errno);
    }
  }
}

void TickState(PerThreadSemPrivateData *s) {
  int32 ticker = NoBarrier_AtomicIncrement(&s->ticker, 1);
  int32 wait_start = NoBarrier_Load(&s->wait_start);
  if (wait_start != 0 && ticker - wait_start > kIdleTicks &&
      NoBarrier_Load(&s->is_idle) == 0) {
    // The waiter wakes, finds no post, marks itself idle and sleeps again.
    syscall(SYS_futex, &s->count, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr,
            nullptr, 0);
  }
}

}  // namespace sem_internal

using base::subtle::ThreadIdentity;

void PerThreadSem::Init(ThreadIdentity *identity) {
  sem_internal::InitState(&identity->per_thread_sem);
}

bool PerThreadSem::Wait(const struct timespec *deadline) {
  ThreadIdentity *identity = base::subtle::CurrentThreadIdentity(true);
  PerThreadSemPrivateData *s = &identity->per_thread_sem;
  base::scheduling::Schedulable *association =
      base::subtle::Acquire_Load(&identity->scheduler_state.association);
  if (association == nullptr) {
    return sem_internal::WaitOnState(s, s->blocked_count_ptr, deadline,
                                     "base/per-thread-sem", 202);
  }
  // A cooperatively scheduled thread blocks through its scheduler.
  if (s->blocked_count_ptr != nullptr) {
    base::subtle::NoBarrier_AtomicIncrement(s->blocked_count_ptr, 1);
  }
  bool posted = base::scheduling::Downcalls::Wait(deadline);
  if (s->blocked_count_ptr != nullptr) {
    base::subtle::NoBarrier_AtomicIncrement(s->blocked_count_ptr, -1);
  }
  return posted;
}

void PerThreadSem::Post(ThreadIdentity *identity) {
  ThreadIdentity::SchedulerState *state = &identity->scheduler_state;
  if (base::subtle::Acquire_Load(&state->association) != nullptr) {
    SpinLockHolder h(state->association_lock());
    if (state->association != nullptr) {
      base::scheduling::Downcalls::Post(state->association);
      return;
    }
  }
  sem_internal::PostToState(&identity->per_thread_sem, "base/per-thread-sem",
                            305);
}

void PerThreadSem::Tick(ThreadIdentity *identity) {
  sem_internal::TickState(&identity->per_thread_sem);
}

void PerThreadSem::SetThreadBlockedCounter(volatile Atomic32 *counter) {
  base::subtle::CurrentThreadIdentity(true)->per_thread_sem.blocked_count_ptr =
      counter;
}

volatile Atomic32 *PerThreadSem::GetThreadBlockedCounter() {
  return base::subtle::CurrentThreadIdentity(true)
      ->per_thread_sem.blocked_count_ptr;
}

}  // namespace internal
}  // namespace base
