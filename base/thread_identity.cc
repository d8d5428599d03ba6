#include "base/thread_identity.h"

#include <pthread.h>
#include <string.h>
#include <sys/mman.h>

#include <new>

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
ThreadIdentity* freelist = nullptr;

// Fresh records are carved from anonymous mappings: the general heap may not
// be used here (its hooks may lock), and records are never returned.
SpinLock arena_lock(base::LINKER_INITIALIZED);
char* arena_next = nullptr;
char* arena_end = nullptr;
constexpr size_t kArenaChunk = 64 * 1024;

void* AllocateRecordMemory() {
  SpinLockHolder h(&arena_lock);
  if (arena_next == arena_end) {
    void* chunk = mmap(nullptr, kArenaChunk, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    RAW_CHECK(chunk != MAP_FAILED, "out of memory for thread identities");
    arena_next = static_cast<char*>(chunk);
    arena_end = arena_next + kArenaChunk;
  }
  void* record = arena_next;
  arena_next += sizeof(ThreadIdentity);
  return record;
}

}  // namespace

ThreadIdentity* GetCurrentThreadIdentity() {
  if (Acquire_Load(&identity_key_exists) == 0) return nullptr;
  return static_cast<ThreadIdentity*>(pthread_getspecific(identity_key));
}

namespace internal {

void AllocateThreadIdentityKey() {
  pthread_key_create(&identity_key, ReclaimThreadIdentity);
  Release_Store(&identity_key_exists, 1);
}

ThreadIdentity* NewThreadIdentity() {
  ThreadIdentity* identity = nullptr;
  {
    SpinLockHolder h(&freelist_lock);
    if (freelist != nullptr) {
      identity = freelist;
      freelist = identity->next;
    }
  }
  if (identity == nullptr) {
    identity = static_cast<ThreadIdentity*>(AllocateRecordMemory());
  }
  memset(static_cast<void*>(identity), 0, sizeof *identity);
  TavroOnceInit(&identity_key_once, AllocateThreadIdentityKey);
  pthread_setspecific(identity_key, identity);
  return identity;
}

void AssociateThreadIdentityWithCurrent(ThreadIdentity* identity) {
  RAW_CHECK_AT(GetCurrentThreadIdentity() == identity,
               "base/thread-identity", 143, "identity already present");
}

ThreadIdentity* GenerateThreadIdentity() {
  ThreadIdentity* identity = NewThreadIdentity();
  base::internal::PerThreadSem::Init(identity);
  new (&identity->scheduler_state.association_lock_)
      SpinLock(base::scheduling::SCHEDULE_KERNEL_ONLY);
  AssociateThreadIdentityWithCurrent(identity);
  return identity;
}

void ReclaimThreadIdentity(void* v) {
  ThreadIdentity* identity = static_cast<ThreadIdentity*>(v);
  // The key's value is already cleared when its destructor runs.
  AssociateThreadIdentityWithCurrent(nullptr);
  SpinLockHolder h(&freelist_lock);
  identity->next = freelist;
  freelist = identity;
}

}  // namespace internal
}  // namespace subtle
}  // namespace base
