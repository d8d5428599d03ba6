#include "base/scheduling.h"

#include "base/thread_identity.h"

namespace base {
namespace scheduling {

using base::subtle::GetCurrentThreadIdentity;
using base::subtle::ThreadIdentity;

bool SchedulingGuard::DisableRescheduling() {
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  if (identity == nullptr) return false;
  // Only the thread itself changes its depth.
  identity->scheduler_state.rescheduling_disabled_depth++;
  return true;
}

void SchedulingGuard::EnableRescheduling(bool disabled) {
  if (!disabled) return;
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  identity->scheduler_state.rescheduling_disabled_depth--;
}

bool Downcalls::CurrentThreadIsCooperative() {
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  return identity != nullptr &&
         identity->scheduler_state.association != nullptr &&
         identity->scheduler_state.rescheduling_disabled_depth == 0;
}

bool Downcalls::Wait(const struct timespec *deadline) {
  return GetCurrentThreadIdentity()->scheduler_state.association->Wait(
      deadline);
}

void Downcalls::Post(Schedulable *schedulable) { schedulable->Post(); }

void Downcalls::StartBlockingRegion() {
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  if (identity != nullptr && identity->scheduler_state.association != nullptr) {
    identity->scheduler_state.association->StartBlockingRegion();
  }
}

void Downcalls::FinishBlockingRegion() {
  ThreadIdentity *identity = GetCurrentThreadIdentity();
  if (identity != nullptr && identity->scheduler_state.association != nullptr) {
    identity->scheduler_state.association->FinishBlockingRegion();
  }
}

}  // namespace scheduling
}  // namespace base
