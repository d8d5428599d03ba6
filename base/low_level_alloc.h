// LowLevelAlloc: a small allocator for code that cannot use malloc. It
// takes its pages straight from anonymous mmap, never calls malloc, and an
// arena created with kArenaSignalSafe may be used from signal handlers.
// The synchronization layer, the allocation-hook instrumentation and the
// symbolizer allocate from it, since they run inside allocation hooks or
// signal handlers where the regular allocator may be inconsistent.
//
//   LowLevelAlloc::Arena* arena =
//       LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena());
//   void* p = LowLevelAlloc::AllocWithArena(100, arena);
//   ...
//   LowLevelAlloc::Free(p);
//   LowLevelAlloc::DeleteArena(arena);
//
// Every block, free or allocated, starts with a 32-byte header, so user
// pointers are 32-byte aligned. Each arena keeps its free blocks in an
// address-ordered skip list, allocates first fit, splits on allocation and
// merges both neighbours on free. Pages go back to the system only when an
// arena is deleted. Consistency violations (bad magic, wrong arena, broken
// list, arithmetic overflow, failed mmap) end the process with a raw log
// record; there is no out-of-memory return.
#ifndef BASE_LOW_LEVEL_ALLOC_H_
#define BASE_LOW_LEVEL_ALLOC_H_

#include <stddef.h>

#include "base/integral_types.h"
#include "base/malloc_hook.h"

class LowLevelAlloc {
 public:
  struct Arena;  // an arena from which memory may be allocated

  // Arena flags, given to NewArena.
  enum {
    // Allocations and frees run the new and delete hooks of MallocHook.
    kArenaCallsHooks = 0x0001,
    // All signals are blocked while the arena's lock is held, so a signal
    // handler may allocate from it even if it interrupted the same thread
    // inside the allocator; pages are mapped without running mapping hooks.
    kArenaSignalSafe = 0x0002,
  };

  // Allocates from the default arena. Returns null for size 0.
  static void* Alloc(size_t request) ATTRIBUTE_SECTION(malloc_hook);
  // Allocates from the given arena (which must not be null).
  static void* AllocWithArena(size_t request, Arena* arena)
      ATTRIBUTE_SECTION(malloc_hook);
  // Returns a block to the arena it came from. Null does nothing.
  static void Free(void* s) ATTRIBUTE_SECTION(malloc_hook);

  // Creates an arena with the given flags; its own record is allocated in
  // meta_data_arena (which must not be null). When meta_data_arena is the
  // default arena, the record comes instead from an internal arena that
  // matches the flags: a signal-safe one for kArenaSignalSafe, an unhooked
  // one when kArenaCallsHooks is absent, else the default arena itself.
  static Arena* NewArena(int flags, Arena* meta_data_arena);

  // Returns false, doing nothing, while blocks of the arena are allocated.
  // Otherwise unmaps all its pages, frees its record and returns true.
  // Deleting null or the default arena is a fatal error.
  static bool DeleteArena(Arena* arena);

  // The default arena (flags kArenaCallsHooks).
  static Arena* DefaultArena();

  // For tests and diagnostics: one free block of an arena's free list.
  struct FreeBlock {
    const void* start;  // the block's header
    size_t size;        // the whole block, header included
  };
  // Walks the arena's free list at every level under its lock, applying the
  // allocator's own consistency checks to every link (order, magic, arena,
  // no two adjacent free blocks), and copies the first max_blocks free
  // blocks, in address order, into blocks. Returns the number of free
  // blocks. Allocates nothing.
  static int SnapshotFreeList(Arena* arena, FreeBlock* blocks, int max_blocks);

 private:
  LowLevelAlloc();  // no instances
};

#endif  // BASE_LOW_LEVEL_ALLOC_H_
