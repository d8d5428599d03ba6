#include "base/malloc_extension.h"

#include <pthread.h>

#include <new>

#include "base/atomicops.h"

namespace {

MallocExtension* volatile current_instance = nullptr;
pthread_once_t default_instance_once = PTHREAD_ONCE_INIT;

// Never destroyed, so that calls during exit still find it.
alignas(MallocExtension) char default_instance_storage[sizeof(MallocExtension)];

void InitDefaultInstance() {
  MallocExtension* instance = new (default_instance_storage) MallocExtension;
  if (base::subtle::Acquire_Load(&current_instance) == nullptr) {
    base::subtle::Release_Store(&current_instance, instance);
  }
}

}  // namespace

MallocExtension::~MallocExtension() = default;
void MallocExtension::MarkThreadIdle() {}
void MallocExtension::MarkThreadBusy() {}

MallocExtension* MallocExtension::instance() {
  pthread_once(&default_instance_once, InitDefaultInstance);
  return base::subtle::Acquire_Load(&current_instance);
}

void MallocExtension::Register(MallocExtension* extension) {
  pthread_once(&default_instance_once, InitDefaultInstance);
  base::subtle::Release_Store(&current_instance, extension);
}

extern "C" void MallocExtension_MarkThreadIdle() {
  MallocExtension::instance()->MarkThreadIdle();
}
extern "C" void MallocExtension_MarkThreadBusy() {
  MallocExtension::instance()->MarkThreadBusy();
}
