#include "base/malloc_hook.h"

#include <errno.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/once.h"
#include "base/raw_logging.h"
#include "base/spinlock.h"
#include "base/stacktrace.h"

// Called once, at the first allocation, mapping or sbrk event of the
// process; the leak checker defines it to start before other constructors.
extern "C" __attribute__((weak)) void
MallocHook_InitAtFirstAllocation_HeapLeakChecker() {}

// Bounds of the code sections that hold allocator and hook entry points.
// The allocator's are defined only when some allocator in the process puts
// its functions into section tavro_malloc.
extern "C" {
extern char __start_tavro_malloc[] __attribute__((weak));
extern char __stop_tavro_malloc[] __attribute__((weak));
extern char __start_malloc_hook[] __attribute__((weak));
extern char __stop_malloc_hook[] __attribute__((weak));
}

namespace base {
namespace internal {

// Serializes every change to every hook list; readers never take it.
static SpinLock hooklist_spinlock(base::LINKER_INITIALIZED);

template <typename T>
bool HookList<T>::Add(T value) {
  if (value == nullptr) return false;
  SpinLockHolder h(&hooklist_spinlock);
  int index = 0;
  while (index < kHookListMaxValues &&
         base::subtle::NoBarrier_Load(&priv_data[index]) != nullptr) {
    index++;
  }
  if (index == kHookListMaxValues) return false;
  // The hook is in place before end covers it.
  base::subtle::Release_Store(&priv_data[index], value);
  AtomicWord end = base::subtle::NoBarrier_Load(&priv_end);
  if (end <= index) base::subtle::Release_Store(&priv_end, index + 1);
  return true;
}

template <typename T>
bool HookList<T>::Remove(T value) {
  if (value == nullptr) return false;
  SpinLockHolder h(&hooklist_spinlock);
  int end = static_cast<int>(base::subtle::NoBarrier_Load(&priv_end));
  int index = 0;
  while (index < end &&
         base::subtle::NoBarrier_Load(&priv_data[index]) != value) {
    index++;
  }
  if (index == end) return false;
  base::subtle::Release_Store(&priv_data[index], static_cast<T>(nullptr));
  if (index + 1 == end) {
    while (end > 0 &&
           base::subtle::NoBarrier_Load(&priv_data[end - 1]) == nullptr) {
      end--;
    }
    base::subtle::Release_Store(&priv_end, static_cast<AtomicWord>(end));
  }
  return true;
}

template <typename T>
int HookList<T>::Traverse(T *output_array, int n) const {
  int end = static_cast<int>(base::subtle::Acquire_Load(&priv_end));
  int count = 0;
  for (int i = 0; i < end && count < n; i++) {
    T hook = base::subtle::Acquire_Load(&priv_data[i]);
    if (hook != nullptr) output_array[count++] = hook;
  }
  return count;
}

template <typename T>
T HookList<T>::GetSingular() const {
  T hook = nullptr;
  Traverse(&hook, 1);
  return hook;
}

// (The munmap hooks have the new hooks' type.)
template struct HookList<MallocHook_NewHook>;
template struct HookList<MallocHook_DeleteHook>;
template struct HookList<MallocHook_PreMmapHook>;
template struct HookList<MallocHook_MmapHook>;
template struct HookList<MallocHook_MmapReplacement>;
template struct HookList<MallocHook_MunmapReplacement>;
template struct HookList<MallocHook_MremapHook>;
template struct HookList<MallocHook_PreSbrkHook>;
template struct HookList<MallocHook_SbrkHook>;

}  // namespace internal
}  // namespace base

namespace {

using base::internal::HookList;
using base::internal::kHookListMaxValues;

// The first allocation, mapping or sbrk event removes the initial hooks and
// starts what must run at that moment; the others wait for it.
void InitialNewHook(const void *ptr, size_t size);
void InitialPreMMapHook(const void *start, size_t size, int protection,
                        int flags, int fd, off_t offset);
void InitialPreSbrkHook(ptrdiff_t increment);

}  // namespace

namespace base {
namespace internal {

// Constant-initialized, so that they hold the initial hooks before any
// constructor runs (mapping calls may come before ours).
HookList<MallocHook_NewHook> new_hooks_ = {1, {&InitialNewHook}};
HookList<MallocHook_DeleteHook> delete_hooks_ = {0, {}};
HookList<MallocHook_PreMmapHook> premmap_hooks_ = {1, {&InitialPreMMapHook}};
HookList<MallocHook_MmapHook> mmap_hooks_ = {0, {}};
HookList<MallocHook_MmapReplacement> mmap_replacement_ = {0, {}};
HookList<MallocHook_MunmapHook> munmap_hooks_ = {0, {}};
HookList<MallocHook_MunmapReplacement> munmap_replacement_ = {0, {}};
HookList<MallocHook_MremapHook> mremap_hooks_ = {0, {}};
HookList<MallocHook_PreSbrkHook> presbrk_hooks_ = {1, {&InitialPreSbrkHook}};
HookList<MallocHook_SbrkHook> sbrk_hooks_ = {0, {}};

}  // namespace internal
}  // namespace base

namespace {

using namespace base::internal;

TavroOnceType first_event_once = TAVRO_ONCE_INIT;

void RemoveInitialHooksAndCallInitializers() {
  if (!MallocHook::RemoveNewHook(&InitialNewHook)) {
    RAW_LOG(FATAL, "Check %s failed: %s",
            "MallocHook::RemoveNewHook(&InitialNewHook)", "");
  }
  if (!MallocHook::RemovePreMmapHook(&InitialPreMMapHook)) {
    RAW_LOG(FATAL, "Check %s failed: %s",
            "MallocHook::RemovePreMmapHook(&InitialPreMMapHook)", "");
  }
  if (!MallocHook::RemovePreSbrkHook(&InitialPreSbrkHook)) {
    RAW_LOG(FATAL, "Check %s failed: %s",
            "MallocHook::RemovePreSbrkHook(&InitialPreSbrkHook)", "");
  }
  MallocHook_InitAtFirstAllocation_HeapLeakChecker();
}

// After the one-time work, the initial hook passes its event to the hooks
// now installed, so that hooks added by that work see the first event.
void InitialNewHook(const void *ptr, size_t size) {
  TavroOnceInit(&first_event_once, &RemoveInitialHooksAndCallInitializers);
  MallocHook::InvokeNewHook(ptr, size);
}

void InitialPreMMapHook(const void *start, size_t size, int protection,
                        int flags, int fd, off_t offset) {
  TavroOnceInit(&first_event_once, &RemoveInitialHooksAndCallInitializers);
  MallocHook::InvokePreMmapHook(start, size, protection, flags, fd, offset);
}

void InitialPreSbrkHook(ptrdiff_t increment) {
  TavroOnceInit(&first_event_once, &RemoveInitialHooksAndCallInitializers);
  MallocHook::InvokePreSbrkHook(increment);
}

template <typename T>
int AddHook(HookList<T> *list, T hook, const char *name) {
  RAW_VLOG(10, "%s(%p)", name, reinterpret_cast<void *>(hook));
  return list->Add(hook) ? 1 : 0;
}

template <typename T>
int RemoveHook(HookList<T> *list, T hook, const char *name) {
  RAW_VLOG(10, "%s(%p)", name, reinterpret_cast<void *>(hook));
  return list->Remove(hook) ? 1 : 0;
}

// Direct system calls: the C library's wrappers would be these very
// functions when the library is linked or preloaded.
inline void *SysMmap(void *start, size_t size, int protection, int flags,
                     int fd, off_t offset) {
  return reinterpret_cast<void *>(
      syscall(SYS_mmap, start, size, protection, flags, fd, offset));
}

inline int SysMunmap(void *start, size_t size) {
  return static_cast<int>(syscall(SYS_munmap, start, size));
}

}  // namespace

// ---- The C interface for adding and removing hooks ----

extern "C" {

int MallocHook_AddNewHook(MallocHook_NewHook hook) {
  return AddHook(&new_hooks_, hook, "AddNewHook");
}
int MallocHook_RemoveNewHook(MallocHook_NewHook hook) {
  return RemoveHook(&new_hooks_, hook, "RemoveNewHook");
}
int MallocHook_AddDeleteHook(MallocHook_DeleteHook hook) {
  return AddHook(&delete_hooks_, hook, "AddDeleteHook");
}
int MallocHook_RemoveDeleteHook(MallocHook_DeleteHook hook) {
  return RemoveHook(&delete_hooks_, hook, "RemoveDeleteHook");
}
int MallocHook_AddPreMmapHook(MallocHook_PreMmapHook hook) {
  return AddHook(&premmap_hooks_, hook, "AddPreMmapHook");
}
int MallocHook_RemovePreMmapHook(MallocHook_PreMmapHook hook) {
  return RemoveHook(&premmap_hooks_, hook, "RemovePreMmapHook");
}
int MallocHook_AddMmapHook(MallocHook_MmapHook hook) {
  return AddHook(&mmap_hooks_, hook, "AddMmapHook");
}
int MallocHook_RemoveMmapHook(MallocHook_MmapHook hook) {
  return RemoveHook(&mmap_hooks_, hook, "RemoveMmapHook");
}
int MallocHook_AddMunmapHook(MallocHook_MunmapHook hook) {
  return AddHook(&munmap_hooks_, hook, "AddMunmapHook");
}
int MallocHook_RemoveMunmapHook(MallocHook_MunmapHook hook) {
  return RemoveHook(&munmap_hooks_, hook, "RemoveMunmapHook");
}
int MallocHook_AddMremapHook(MallocHook_MremapHook hook) {
  return AddHook(&mremap_hooks_, hook, "AddMremapHook");
}
int MallocHook_RemoveMremapHook(MallocHook_MremapHook hook) {
  return RemoveHook(&mremap_hooks_, hook, "RemoveMremapHook");
}
int MallocHook_AddPreSbrkHook(MallocHook_PreSbrkHook hook) {
  return AddHook(&presbrk_hooks_, hook, "AddPreSbrkHook");
}
int MallocHook_RemovePreSbrkHook(MallocHook_PreSbrkHook hook) {
  return RemoveHook(&presbrk_hooks_, hook, "RemovePreSbrkHook");
}
int MallocHook_AddSbrkHook(MallocHook_SbrkHook hook) {
  return AddHook(&sbrk_hooks_, hook, "AddSbrkHook");
}
int MallocHook_RemoveSbrkHook(MallocHook_SbrkHook hook) {
  return RemoveHook(&sbrk_hooks_, hook, "RemoveSbrkHook");
}

int MallocHook_SetMmapReplacement(MallocHook_MmapReplacement hook) {
  RAW_VLOG(10, "SetMmapReplacement(%p)", reinterpret_cast<void *>(hook));
  RAW_CHECK(mmap_replacement_.empty(), "Only one MMapReplacement is allowed.");
  return mmap_replacement_.Add(hook) ? 1 : 0;
}
int MallocHook_RemoveMmapReplacement(MallocHook_MmapReplacement hook) {
  return RemoveHook(&mmap_replacement_, hook, "RemoveMmapReplacement");
}
int MallocHook_SetMunmapReplacement(MallocHook_MunmapReplacement hook) {
  RAW_VLOG(10, "SetMunmapReplacement(%p)", reinterpret_cast<void *>(hook));
  RAW_CHECK(munmap_replacement_.empty(),
            "Only one MunmapReplacement is allowed.");
  return munmap_replacement_.Add(hook) ? 1 : 0;
}
int MallocHook_RemoveMunmapReplacement(MallocHook_MunmapReplacement hook) {
  return RemoveHook(&munmap_replacement_, hook, "RemoveMunmapReplacement");
}

}  // extern "C"

// ---- Running the hooks ----

namespace {

// Runs a snapshot of the list, in slot order. While the list still starts
// with its initial hook, only that runs: it passes the event on to the list
// as it stands after the one-time work, which already includes the others
// (running them here too would report the first event twice).
template <typename T, typename... Args>
inline void RunHooks(const HookList<T> &list, T initial_hook, Args... args) {
  T hooks[kHookListMaxValues];
  int n = list.Traverse(hooks, kHookListMaxValues);
  if (n > 0 && hooks[0] == initial_hook) n = 1;
  for (int i = 0; i < n; i++) (*hooks[i])(args...);
}

}  // namespace

void MallocHook::InvokeNewHookSlow(const void *p, size_t s) {
  RunHooks(new_hooks_, &InitialNewHook, p, s);
}

void MallocHook::InvokeDeleteHookSlow(const void *p) {
  RunHooks(delete_hooks_, MallocHook_DeleteHook{nullptr}, p);
}

void MallocHook::InvokePreMmapHookSlow(const void *start, size_t size,
                                       int protection, int flags, int fd,
                                       off_t offset) {
  RunHooks(premmap_hooks_, &InitialPreMMapHook, start, size, protection, flags,
           fd, offset);
}

void MallocHook::InvokeMmapHookSlow(const void *result, const void *start,
                                    size_t size, int protection, int flags,
                                    int fd, off_t offset) {
  RunHooks(mmap_hooks_, MallocHook_MmapHook{nullptr}, result, start, size,
           protection, flags, fd, offset);
}

bool MallocHook::InvokeMmapReplacementSlow(const void *start, size_t size,
                                           int protection, int flags, int fd,
                                           off_t offset, void **result) {
  MallocHook_MmapReplacement hook = mmap_replacement_.GetSingular();
  return hook != nullptr &&
         (*hook)(start, size, protection, flags, fd, offset, result) != 0;
}

void MallocHook::InvokeMunmapHookSlow(const void *p, size_t size) {
  RunHooks(munmap_hooks_, MallocHook_MunmapHook{nullptr}, p, size);
}

bool MallocHook::InvokeMunmapReplacementSlow(const void *p, size_t size,
                                             int *result) {
  MallocHook_MunmapReplacement hook = munmap_replacement_.GetSingular();
  return hook != nullptr && (*hook)(p, size, result) != 0;
}

void MallocHook::InvokeMremapHookSlow(const void *result, const void *old_addr,
                                      size_t old_size, size_t new_size,
                                      int flags, const void *new_addr) {
  RunHooks(mremap_hooks_, MallocHook_MremapHook{nullptr}, result, old_addr,
           old_size, new_size, flags, new_addr);
}

void MallocHook::InvokePreSbrkHookSlow(ptrdiff_t increment) {
  RunHooks(presbrk_hooks_, &InitialPreSbrkHook, increment);
}

void MallocHook::InvokeSbrkHookSlow(const void *result, ptrdiff_t increment) {
  RunHooks(sbrk_hooks_, MallocHook_SbrkHook{nullptr}, result, increment);
}

void *MallocHook::UnhookedMMap(void *start, size_t size, int protection,
                               int flags, int fd, off_t offset) {
  void *result;
  if (!InvokeMmapReplacement(start, size, protection, flags, fd, offset,
                             &result)) {
    result = SysMmap(start, size, protection, flags, fd, offset);
  }
  return result;
}

int MallocHook::UnhookedMUnmap(void *start, size_t size) {
  int result;
  if (!InvokeMunmapReplacement(start, size, &result)) {
    result = SysMunmap(start, size);
  }
  return result;
}

// ---- The caller's stack ----

namespace {

constexpr int kStackTraceMax = 42;
TavroOnceType section_check_once = TAVRO_ONCE_INIT;

// The address of a linker-defined bound, hidden from the optimizer, which
// may otherwise assume that two distinct symbols never compare equal.
inline const char *Bound(const char *symbol) {
  __asm__("" : "+r"(symbol));
  return symbol;
}

void CheckInHookCaller() {
  if (Bound(__start_tavro_malloc) == Bound(__stop_tavro_malloc)) {
    RAW_LOG(ERROR,
            "tavro_malloc section is missing, "
            "thus InHookCaller is broken!");
  }
  if (Bound(__start_malloc_hook) == Bound(__stop_malloc_hook)) {
    RAW_LOG(ERROR,
            "malloc_hook section is missing, "
            "thus InHookCaller is broken!");
  }
}

// True for an address inside the allocator's or the hooks' code.
bool InHookCaller(const void *caller) {
  const char *pc = static_cast<const char *>(caller);
  return (pc >= Bound(__start_tavro_malloc) &&
          pc < Bound(__stop_tavro_malloc)) ||
         (pc >= Bound(__start_malloc_hook) && pc < Bound(__stop_malloc_hook));
}

}  // namespace

extern "C" __attribute__((noinline)) int MallocHook_GetCallerStackTrace(
    void **result, int max_depth) {
  TavroOnceInit(&section_check_once, &CheckInHookCaller);
  void *stack[kStackTraceMax];
  int depth = GetStackTrace(stack, kStackTraceMax, 1);
  if (depth == 0) return 0;
  // Skip to the outermost of the consecutive hooked frames: an allocator
  // calling itself (operator new calling malloc) leaves several.
  int i = 0;
  while (i < depth && !InHookCaller(stack[i])) i++;
  if (i == depth) {
    RAW_LOG(WARNING, "Hooked allocator frame not found, returning empty trace");
    return 0;
  }
  while (i + 1 < depth && InHookCaller(stack[i + 1])) i++;
  RAW_VLOG(10, "Found hooked allocator at %d: %p <- %p", i, stack[i],
           i + 1 < depth ? stack[i + 1] : nullptr);
  i++;  // the first frame of the caller
  int n = depth - i < max_depth ? depth - i : max_depth;
  for (int j = 0; j < n; j++) result[j] = stack[i + j];
  if (n < max_depth && depth == kStackTraceMax) {
    // The capture was cut short: the rest of the stack follows directly.
    n += GetStackTrace(result + n, max_depth - n, kStackTraceMax + 1);
  }
  return n;
}

// ---- The mapping entry points of the C library ----

extern "C" {

ATTRIBUTE_SECTION(malloc_hook)
void *mmap64(void *start, size_t size, int protection, int flags, int fd,
             off64_t offset) __THROW {
  MallocHook::InvokePreMmapHook(start, size, protection, flags, fd, offset);
  void *result;
  if (!MallocHook::InvokeMmapReplacement(start, size, protection, flags, fd,
                                         offset, &result)) {
    result = SysMmap(start, size, protection, flags, fd, offset);
  }
  MallocHook::InvokeMmapHook(result, start, size, protection, flags, fd,
                             offset);
  return result;
}

ATTRIBUTE_SECTION(malloc_hook)
void *mmap(void *start, size_t size, int protection, int flags, int fd,
           off_t offset) __THROW {
  return mmap64(start, size, protection, flags, fd, offset);
}

ATTRIBUTE_SECTION(malloc_hook)
int munmap(void *start, size_t size) __THROW {
  MallocHook::InvokeMunmapHook(start, size);
  int result;
  if (!MallocHook::InvokeMunmapReplacement(start, size, &result)) {
    result = SysMunmap(start, size);
  }
  return result;
}

ATTRIBUTE_SECTION(malloc_hook)
void *mremap(void *old_addr, size_t old_size, size_t new_size, int flags,
             ...) __THROW {
  // The new address exists only with MREMAP_FIXED; reading a fifth argument
  // that the caller did not pass would be reading garbage.
  void *new_address = nullptr;
  if ((flags & MREMAP_FIXED) != 0) {
    va_list ap;
    va_start(ap, flags);
    new_address = va_arg(ap, void *);
    va_end(ap);
  }
  void *result = reinterpret_cast<void *>(
      syscall(SYS_mremap, old_addr, old_size, new_size, flags, new_address));
  MallocHook::InvokeMremapHook(result, old_addr, old_size, new_size, flags,
                               new_address);
  return result;
}

extern void *__sbrk(intptr_t increment);

ATTRIBUTE_SECTION(malloc_hook)
void *sbrk(intptr_t increment) __THROW {
  MallocHook::InvokePreSbrkHook(increment);
  void *result = __sbrk(increment);
  MallocHook::InvokeSbrkHook(result, increment);
  return result;
}

}  // extern "C"
