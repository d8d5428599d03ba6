// The seam between the runtime's waiting primitives and a cooperative
// user-space scheduler. Such a scheduler associates a Schedulable with each
// thread it runs; a thread with an association blocks and wakes through it
// instead of through the kernel. No scheduler ships with this library, so no
// thread ever has an association and those paths stay idle, but locks still
// record whether they belong to cooperative mode.
#ifndef BASE_SCHEDULING_H_
#define BASE_SCHEDULING_H_

#include <time.h>

namespace base {
namespace scheduling {

enum SchedulingMode {
  SCHEDULE_KERNEL_ONLY = 0,             // waits always block in the kernel
  SCHEDULE_COOPERATIVE_AND_KERNEL = 1,  // waits may yield to the scheduler
};

// A thread as a cooperative scheduler sees it.
class Schedulable {
 public:
  virtual ~Schedulable() = default;
  // Blocks the thread until Post() or the absolute deadline (null: none);
  // false on deadline.
  virtual bool Wait(const struct timespec *deadline) = 0;
  // Wakes the thread from Wait, or makes its next Wait return at once.
  virtual void Post() = 0;
  // Bracket a region in which the thread may block in the kernel.
  virtual void StartBlockingRegion() {}
  virtual void FinishBlockingRegion() {}
};

// Keeps the calling cooperatively scheduled thread from being switched out
// while it holds a kernel-only lock.
class SchedulingGuard {
 public:
  // Raises the calling thread's rescheduling-disabled depth when the thread
  // has an identity (none is created here); returns whether it did.
  static bool DisableRescheduling();
  // Undoes DisableRescheduling when `disabled` is what it returned.
  static void EnableRescheduling(bool disabled);
};

// Calls from the runtime into the scheduler of the calling thread.
class Downcalls {
 public:
  // The thread has an association and rescheduling is not disabled.
  static bool CurrentThreadIsCooperative();
  // Waits through the calling thread's association; false on deadline.
  static bool Wait(const struct timespec *deadline);
  // Wakes a thread through its association.
  static void Post(Schedulable *schedulable);
  // Bracket a potentially blocking region of the calling thread.
  static void StartBlockingRegion();
  static void FinishBlockingRegion();
};

}  // namespace scheduling
}  // namespace base

#endif  // BASE_SCHEDULING_H_
