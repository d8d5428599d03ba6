#include "base/per_thread.h"

#include <pthread.h>
#include <string.h>

#include "base/raw_logging.h"
#include "base/spinlock.h"

namespace {

// Slots 0..63 of the calling thread; a key is a byte offset into it.
thread_local void *thread_slots[PerThread::kPerThreadSlots];

pthread_key_t per_thread_key;  // its value is the array, for clean-up
SpinLock table_lock(base::LINKER_INITIALIZED);
void (*destructors[PerThread::kPerThreadSlots])(void *);
int next_free_key = 1;

inline int SlotIndex(int key) { return key / static_cast<int>(sizeof(void *)); }

}  // namespace

struct PerThreadKeyInit {
  PerThreadKeyInit() {
    int created = pthread_key_create(&per_thread_key, PerThread::KeyDest);
    // Key 0 would read as "no key"; take another.
    if (created == 0 && per_thread_key == 0) {
      created = pthread_key_create(&per_thread_key, PerThread::KeyDest);
    }
    if (created != 0) {
      RAW_LOG_AT(FATAL, "base/per_thread", 128, "Check %s failed: %s",
                 "pthread_key_create(&per_thread_key, PerThread::KeyDest) == 0",
                 "");
    }
  }
};
static PerThreadKeyInit per_thread_key_init;

void PerThread::Allocate(int *key, void (*destructor)(void *)) {
  if (__atomic_load_n(key, __ATOMIC_ACQUIRE) != kInvalid) return;
  SpinLockHolder h(&table_lock);
  if (*key != kInvalid) return;
  RAW_CHECK_AT(next_free_key < kPerThreadSlots, "base/per_thread", 114,
               "too many PerThread keys in use");
  destructors[next_free_key] = destructor;
  __atomic_store_n(key, next_free_key * static_cast<int>(sizeof(void *)),
                   __ATOMIC_RELEASE);
  next_free_key++;
}

void **PerThread::Data(int data_key) {
  RAW_CHECK_AT(data_key != kInvalid, "base/per_thread", 147,
               "Allocate() must be called before Data()");
  void **slots = thread_slots;
  if (slots[0] == nullptr) {
    slots[0] = slots;
    pthread_setspecific(per_thread_key, slots);
  }
  return &slots[SlotIndex(data_key)];
}

void *PerThread::GetData(int key) { return thread_slots[SlotIndex(key)]; }

void PerThread::KeyDest(void *array) {
  void **slots = static_cast<void **>(array);
  void (*dtors[kPerThreadSlots])(void *);
  {
    SpinLockHolder h(&table_lock);
    memcpy(dtors, destructors, sizeof dtors);
  }
  // Destructors may use their own slots (and set them again).
  pthread_setspecific(per_thread_key, slots);
  for (int pass = 0; pass < 4; pass++) {
    bool ran = false;
    for (int i = 0; i < kPerThreadSlots; i++) {
      if (dtors[i] != nullptr && slots[i] != nullptr) {
        void *value = slots[i];
        slots[i] = nullptr;
        dtors[i](value);
        ran = true;
      }
    }
    if (!ran) break;
  }
  pthread_setspecific(per_thread_key, nullptr);
  slots[0] = nullptr;
}
