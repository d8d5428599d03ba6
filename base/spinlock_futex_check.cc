// Takes and releases uncontended spin locks a million times between two
// marker writes, for testing/syscalls_between_markers.sh to show that the
// uncontended paths make no futex call.
#include <unistd.h>

#include "base/once.h"
#include "base/spinlock.h"

namespace {
SpinLock kernel_only_lock(base::LINKER_INITIALIZED);
TavroOnceType once = TAVRO_ONCE_INIT;
void Nothing() {}
}  // namespace

int main() {
  SpinLock cooperative_lock;
  TavroOnceInit(&once, Nothing);
  const char begin[] = "begin marked region\n", end[] = "end marked region\n";
  if (write(1, begin, sizeof begin - 1) < 0) return 1;
  for (int i = 0; i < 1000000; i++) {
    kernel_only_lock.Lock();
    kernel_only_lock.Unlock();
    SpinLockHolder h(&cooperative_lock);
    TavroOnceInit(&once, Nothing);
  }
  if (write(1, end, sizeof end - 1) < 0) return 1;
  return 0;
}
