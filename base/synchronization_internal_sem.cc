#include "base/synchronization_internal_sem.h"

#include "base/per_thread.h"
#include "base/per_thread_sem.h"

namespace {

// The calling thread's blocked-wait counter for these semaphores.
int blocked_counter_key = PerThread::kInvalid;

void **BlockedCounterSlot() {
  PerThread::Allocate(&blocked_counter_key, nullptr);
  return PerThread::Data(blocked_counter_key);
}

volatile Atomic32 *ThreadBlockedCounter() {
  return static_cast<volatile Atomic32 *>(*BlockedCounterSlot());
}

}  // namespace

void SynchronizationInternalSem::Init() {
  base::internal::sem_internal::InitState(&state_);
  state_.blocked_count_ptr = nullptr;
}

bool SynchronizationInternalSem::Wait(const struct timespec *deadline) {
  return base::internal::sem_internal::WaitOnState(
      &state_, ThreadBlockedCounter(), deadline,
      "base/synchronization-internal-sem", 215);
}

void SynchronizationInternalSem::Post() {
  base::internal::sem_internal::PostToState(
      &state_, "base/synchronization-internal-sem", 215);
}

void SynchronizationInternalSem::Tick() {
  base::internal::sem_internal::TickState(&state_);
}

void SynchronizationInternalSem::SetThreadBlockedCounter(
    volatile Atomic32 *counter) {
  *BlockedCounterSlot() = const_cast<Atomic32 *>(counter);
  base::internal::PerThreadSem::SetThreadBlockedCounter(counter);
}

volatile Atomic32 *SynchronizationInternalSem::GetThreadBlockedCounter() {
  return ThreadBlockedCounter();
}
