#include "base/thread_identity.h"

#include <pthread.h>
#include <string.h>

#include <new>

#include "base/low_level_alloc.h"
#include "base/once.h"
#include "base/per_thread_sem.h"
#include "base/raw_logging.h"

namespace base {
namespace subtle {
namespace {

pthread_key_t identity_key;
volatile Atomic32 identity_key_exists;  // release-stored once the key exists
TavroOnceType identity_key_once = TAVRO_ONCE_INIT;

// Records of exited threads, waiting for new threads.
SpinLock freelist_lock(base::LINKER_INITIALIZED);
ThreadIdentity *freelist = nullptr;

}  // namespace

ThreadIdentity *GetCurrentThreadIdentity() {
  if (Acquire_Load(&identity_key_exists) == 0) return nullptr;
  return static_cast<ThreadIdentity *>(pthread_getspecific(identity_key));
}

namespace internal {

void AllocateThreadIdentityKey() {
  pthread_key_create(&identity_key, ReclaimThreadIdentity);
  Release_Store(&identity_key_exists, 1);
}

ThreadIdentity *NewThreadIdentity() {
  ThreadIdentity *identity = nullptr;
  {
    SpinLockHolder h(&freelist_lock);
    if (freelist != nullptr) {
      identity = freelist;
      freelist = identity->next;
    }
  }
  if (identity == nullptr) {
    // Never freed: a record outlives its thread on the free list.
    identity = static_cast<ThreadIdentity *>(
        LowLevelAlloc::Alloc(sizeof(ThreadIdentity)));
  }
  memset(static_cast<void *>(identity), 0, sizeof *identity);
  TavroOnceInit(&identity_key_once, AllocateThreadIdentityKey);
  pthread_setspecific(identity_key, identity);
  return identity;
}

void AssociateThreadIdentityWithCurrent(ThreadIdentity *identity) {
  RAW_CHECK_AT(GetCurrentThreadIdentity() == identity, "base/thread-identity",
               143, "identity already present");
}

ThreadIdentity *GenerateThreadIdentity() {
  ThreadIdentity *identity = NewThreadIdentity();
  base::internal::PerThreadSem::Init(identity);
  new (&identity->scheduler_state.association_lock_)
      SpinLock(base::scheduling::SCHEDULE_KERNEL_ONLY);
  AssociateThreadIdentityWithCurrent(identity);
  return identity;
}

void ReclaimThreadIdentity(void *v) {
  ThreadIdentity *identity = static_cast<ThreadIdentity *>(v);
  // The key's value is already cleared when its destructor runs.
  AssociateThreadIdentityWithCurrent(nullptr);
  SpinLockHolder h(&freelist_lock);
  identity->next = freelist;
  freelist = identity;
}

}  // namespace internal
}  // namespace subtle
}  // namespace base
