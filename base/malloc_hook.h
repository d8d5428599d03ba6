// Allocation and mapping hooks: instrumentation (heap profiler, leak
// checker, memory-region map) observes every allocation event and every
// change to the address space through short lists of callbacks, without
// owning the allocator.
//
// - An allocator calls MallocHook::InvokeNewHook after each allocation and
//   InvokeDeleteHook before each free. With no hook installed either costs
//   one load and a compare.
// - The library defines mmap, mmap64, munmap, mremap and sbrk, which run the
//   mapping hooks around the real system calls. A program that links the
//   library (or preloads it) routes its mapping calls through them; a JVM,
//   which loads it locally, does not.
// - MallocHook_GetCallerStackTrace, called from inside a hook, returns the
//   stack of the code that called the allocator, with the allocator's and
//   the hooks' own frames cut off.
//
// Each list holds at most 7 hooks. Hooks run on the allocating thread,
// possibly inside the allocator: they must not allocate from the hooked
// allocator (use LowLevelAlloc) and must stay valid for the life of the
// process, since a thread may call a hook just after its removal.
#ifndef BASE_MALLOC_HOOK_H_
#define BASE_MALLOC_HOOK_H_

#include <stddef.h>
#include <sys/types.h>

#include "base/atomicops.h"
#include "base/port.h"

// Places a function in a named code section, so that stack traces can tell
// which frames belong to the allocator or to the hooks.
#define ATTRIBUTE_SECTION(name) __attribute__((section(#name), noinline))

extern "C" {

typedef void (*MallocHook_NewHook)(const void *ptr, size_t size);
typedef void (*MallocHook_DeleteHook)(const void *ptr);
typedef void (*MallocHook_PreMmapHook)(const void *start, size_t size,
                                       int protection, int flags, int fd,
                                       off_t offset);
typedef void (*MallocHook_MmapHook)(const void *result, const void *start,
                                    size_t size, int protection, int flags,
                                    int fd, off_t offset);
// Returns non-zero when it performed the mapping (storing it in *result).
typedef int (*MallocHook_MmapReplacement)(const void *start, size_t size,
                                          int protection, int flags, int fd,
                                          off_t offset, void **result);
typedef void (*MallocHook_MunmapHook)(const void *ptr, size_t size);
// Returns non-zero when it performed the unmapping (storing it in *result).
typedef int (*MallocHook_MunmapReplacement)(const void *ptr, size_t size,
                                            int *result);
typedef void (*MallocHook_MremapHook)(const void *result, const void *old_addr,
                                      size_t old_size, size_t new_size,
                                      int flags, const void *new_addr);
typedef void (*MallocHook_PreSbrkHook)(ptrdiff_t increment);
typedef void (*MallocHook_SbrkHook)(const void *result, ptrdiff_t increment);

// Each returns 1 on success, 0 on failure (null hook, list full, hook not
// present).
int MallocHook_AddNewHook(MallocHook_NewHook hook);
int MallocHook_RemoveNewHook(MallocHook_NewHook hook);
int MallocHook_AddDeleteHook(MallocHook_DeleteHook hook);
int MallocHook_RemoveDeleteHook(MallocHook_DeleteHook hook);
int MallocHook_AddPreMmapHook(MallocHook_PreMmapHook hook);
int MallocHook_RemovePreMmapHook(MallocHook_PreMmapHook hook);
int MallocHook_AddMmapHook(MallocHook_MmapHook hook);
int MallocHook_RemoveMmapHook(MallocHook_MmapHook hook);
int MallocHook_AddMunmapHook(MallocHook_MunmapHook hook);
int MallocHook_RemoveMunmapHook(MallocHook_MunmapHook hook);
int MallocHook_AddMremapHook(MallocHook_MremapHook hook);
int MallocHook_RemoveMremapHook(MallocHook_MremapHook hook);
int MallocHook_AddPreSbrkHook(MallocHook_PreSbrkHook hook);
int MallocHook_RemovePreSbrkHook(MallocHook_PreSbrkHook hook);
int MallocHook_AddSbrkHook(MallocHook_SbrkHook hook);
int MallocHook_RemoveSbrkHook(MallocHook_SbrkHook hook);
// At most one replacement each; a second is a fatal error.
int MallocHook_SetMmapReplacement(MallocHook_MmapReplacement hook);
int MallocHook_RemoveMmapReplacement(MallocHook_MmapReplacement hook);
int MallocHook_SetMunmapReplacement(MallocHook_MunmapReplacement hook);
int MallocHook_RemoveMunmapReplacement(MallocHook_MunmapReplacement hook);

// The return addresses of the caller of the hooked allocation or mapping
// function (at most max_depth); 0 when no hooked frame is on the stack.
int MallocHook_GetCallerStackTrace(void **result, int max_depth);

}  // extern "C"

namespace base {
namespace internal {

constexpr int kHookListMaxValues = 7;

// A fixed list of hooks, read without locks. Writers (serialized by one
// lock) store a hook into its slot before raising end, so a reader that
// sees end also sees the hooks below it.
template <typename T>
struct HookList {
  // Adds to the first empty slot; false for null or a full list.
  bool Add(T value);
  // False for null or a hook not in the list.
  bool Remove(T value);
  // Copies up to n hooks into output, in slot order; returns the count.
  int Traverse(T *output_array, int n) const;

  bool empty() const { return base::subtle::Acquire_Load(&priv_end) == 0; }
  // The first hook, or null.
  T GetSingular() const;

  // Public for constant initialization; use the methods.
  AtomicWord priv_end;
  T priv_data[kHookListMaxValues];
};

extern HookList<MallocHook_NewHook> new_hooks_;
extern HookList<MallocHook_DeleteHook> delete_hooks_;
extern HookList<MallocHook_PreMmapHook> premmap_hooks_;
extern HookList<MallocHook_MmapHook> mmap_hooks_;
extern HookList<MallocHook_MmapReplacement> mmap_replacement_;
extern HookList<MallocHook_MunmapHook> munmap_hooks_;
extern HookList<MallocHook_MunmapReplacement> munmap_replacement_;
extern HookList<MallocHook_MremapHook> mremap_hooks_;
extern HookList<MallocHook_PreSbrkHook> presbrk_hooks_;
extern HookList<MallocHook_SbrkHook> sbrk_hooks_;

}  // namespace internal
}  // namespace base

class MallocHook {
 public:
  typedef MallocHook_NewHook NewHook;
  typedef MallocHook_DeleteHook DeleteHook;
  typedef MallocHook_PreMmapHook PreMmapHook;
  typedef MallocHook_MmapHook MmapHook;
  typedef MallocHook_MmapReplacement MmapReplacement;
  typedef MallocHook_MunmapHook MunmapHook;
  typedef MallocHook_MunmapReplacement MunmapReplacement;
  typedef MallocHook_MremapHook MremapHook;
  typedef MallocHook_PreSbrkHook PreSbrkHook;
  typedef MallocHook_SbrkHook SbrkHook;

  static bool AddNewHook(NewHook hook) { return MallocHook_AddNewHook(hook); }
  static bool RemoveNewHook(NewHook hook) {
    return MallocHook_RemoveNewHook(hook);
  }
  static bool AddDeleteHook(DeleteHook hook) {
    return MallocHook_AddDeleteHook(hook);
  }
  static bool RemoveDeleteHook(DeleteHook hook) {
    return MallocHook_RemoveDeleteHook(hook);
  }
  static bool AddPreMmapHook(PreMmapHook hook) {
    return MallocHook_AddPreMmapHook(hook);
  }
  static bool RemovePreMmapHook(PreMmapHook hook) {
    return MallocHook_RemovePreMmapHook(hook);
  }
  static bool AddMmapHook(MmapHook hook) {
    return MallocHook_AddMmapHook(hook);
  }
  static bool RemoveMmapHook(MmapHook hook) {
    return MallocHook_RemoveMmapHook(hook);
  }
  static bool AddMunmapHook(MunmapHook hook) {
    return MallocHook_AddMunmapHook(hook);
  }
  static bool RemoveMunmapHook(MunmapHook hook) {
    return MallocHook_RemoveMunmapHook(hook);
  }
  static bool AddMremapHook(MremapHook hook) {
    return MallocHook_AddMremapHook(hook);
  }
  static bool RemoveMremapHook(MremapHook hook) {
    return MallocHook_RemoveMremapHook(hook);
  }
  static bool AddPreSbrkHook(PreSbrkHook hook) {
    return MallocHook_AddPreSbrkHook(hook);
  }
  static bool RemovePreSbrkHook(PreSbrkHook hook) {
    return MallocHook_RemovePreSbrkHook(hook);
  }
  static bool AddSbrkHook(SbrkHook hook) {
    return MallocHook_AddSbrkHook(hook);
  }
  static bool RemoveSbrkHook(SbrkHook hook) {
    return MallocHook_RemoveSbrkHook(hook);
  }

  // The Invoke functions test the list inline and run the hooks out of line
  // only when there are some.
  static inline void InvokeNewHook(const void *p, size_t s) {
    if (PREDICT_FALSE(!base::internal::new_hooks_.empty())) {
      InvokeNewHookSlow(p, s);
    }
  }
  static inline void InvokeDeleteHook(const void *p) {
    if (PREDICT_FALSE(!base::internal::delete_hooks_.empty())) {
      InvokeDeleteHookSlow(p);
    }
  }
  static inline void InvokePreMmapHook(const void *start, size_t size,
                                       int protection, int flags, int fd,
                                       off_t offset) {
    if (!base::internal::premmap_hooks_.empty()) {
      InvokePreMmapHookSlow(start, size, protection, flags, fd, offset);
    }
  }
  static inline void InvokeMmapHook(const void *result, const void *start,
                                    size_t size, int protection, int flags,
                                    int fd, off_t offset) {
    if (!base::internal::mmap_hooks_.empty()) {
      InvokeMmapHookSlow(result, start, size, protection, flags, fd, offset);
    }
  }
  // True when a replacement performed the mapping (*result holds it).
  static inline bool InvokeMmapReplacement(const void *start, size_t size,
                                           int protection, int flags, int fd,
                                           off_t offset, void **result) {
    if (!base::internal::mmap_replacement_.empty()) {
      return InvokeMmapReplacementSlow(start, size, protection, flags, fd,
                                       offset, result);
    }
    return false;
  }
  static inline void InvokeMunmapHook(const void *p, size_t size) {
    if (!base::internal::munmap_hooks_.empty()) InvokeMunmapHookSlow(p, size);
  }
  static inline bool InvokeMunmapReplacement(const void *p, size_t size,
                                             int *result) {
    if (!base::internal::munmap_replacement_.empty()) {
      return InvokeMunmapReplacementSlow(p, size, result);
    }
    return false;
  }
  static inline void InvokeMremapHook(const void *result, const void *old_addr,
                                      size_t old_size, size_t new_size,
                                      int flags, const void *new_addr) {
    if (!base::internal::mremap_hooks_.empty()) {
      InvokeMremapHookSlow(result, old_addr, old_size, new_size, flags,
                           new_addr);
    }
  }
  static inline void InvokePreSbrkHook(ptrdiff_t increment) {
    if (!base::internal::presbrk_hooks_.empty() && increment != 0) {
      InvokePreSbrkHookSlow(increment);
    }
  }
  static inline void InvokeSbrkHook(const void *result, ptrdiff_t increment) {
    if (!base::internal::sbrk_hooks_.empty() && increment != 0) {
      InvokeSbrkHookSlow(result, increment);
    }
  }

  // MallocHook_GetCallerStackTrace; skip_count is not used.
  static int GetCallerStackTrace(void **result, int max_depth, int skip_count) {
    return MallocHook_GetCallerStackTrace(result, max_depth);
  }

  // Map and unmap without running any hook (a replacement, when installed,
  // still performs the call). For allocators that must not recurse into
  // instrumentation, such as signal-safe arenas.
  static void *UnhookedMMap(void *start, size_t size, int protection, int flags,
                            int fd, off_t offset);
  static int UnhookedMUnmap(void *start, size_t size);

  static void InvokeNewHookSlow(const void *p, size_t s);
  static void InvokeDeleteHookSlow(const void *p);
  static void InvokePreMmapHookSlow(const void *start, size_t size,
                                    int protection, int flags, int fd,
                                    off_t offset);
  static void InvokeMmapHookSlow(const void *result, const void *start,
                                 size_t size, int protection, int flags, int fd,
                                 off_t offset);
  static bool InvokeMmapReplacementSlow(const void *start, size_t size,
                                        int protection, int flags, int fd,
                                        off_t offset, void **result);
  static void InvokeMunmapHookSlow(const void *p, size_t size);
  static bool InvokeMunmapReplacementSlow(const void *p, size_t size,
                                          int *result);
  static void InvokeMremapHookSlow(const void *result, const void *old_addr,
                                   size_t old_size, size_t new_size, int flags,
                                   const void *new_addr);
  static void InvokePreSbrkHookSlow(ptrdiff_t increment);
  static void InvokeSbrkHookSlow(const void *result, ptrdiff_t increment);
};

#endif  // BASE_MALLOC_HOOK_H_
