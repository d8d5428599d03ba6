// The arena allocator. Each arena keeps its free blocks in a skip list
// ordered by address. A free block is linked into a number of levels chosen
// when it is inserted: about log2 of its size in units of the smallest
// block, plus a geometric random count. Allocation searches at the level of
// the requested size, where every block large enough is certain to appear,
// so the first block found there is the lowest-addressed one that fits.

#include "base/low_level_alloc.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

#include "base/linker_initialized.h"
#include "base/malloc_hook.h"
#include "base/raw_logging.h"
#include "base/scheduling.h"
#include "base/spinlock.h"

// Fatal records of this allocator carry the file name "base/low_level_alloc"
// and print the condition text as written.
#define LLA_CHECK(condition, message) \
  RAW_CHECK_AT(condition, "base/low_level_alloc", __LINE__, message)
#define LLA_FATAL(...) \
  RAW_LOG_AT(FATAL, "base/low_level_alloc", __LINE__, __VA_ARGS__)

namespace {

// One more than the most levels a free block may be linked into.
constexpr int kMaxLevel = 30;

// At the start of every block, allocated or free: 32 bytes, so that the
// user area that follows is 32-byte aligned.
struct BlockHeader {
  uintptr_t size;  // the whole block, header included
  // The header's address xor kMagicAllocated or kMagicUnallocated; 0 once
  // the block has been merged into its predecessor.
  uintptr_t magic;
  LowLevelAlloc::Arena* arena;
  void* dummy_for_alignment;
};
static_assert(sizeof(BlockHeader) == 32, "the header is 32 bytes");

// A free block. Only the first `levels` entries of next exist: a small block
// holds as many as fit in it ((size - 40) / 8).
struct AllocList {
  BlockHeader header;
  int levels;
  AllocList* next[kMaxLevel];
};
static_assert(offsetof(AllocList, next) == 40, "next pointers start at 40");

constexpr uintptr_t kMagicAllocated = 0x4C833E95;
constexpr uintptr_t kMagicUnallocated = ~kMagicAllocated;
static_assert(kMagicUnallocated == 0xFFFFFFFFB37CC16Au, "64-bit complement");

// Binding the magic to the header's address catches a header copied or
// written to the wrong place as well as a scribbled one.
inline uintptr_t Magic(uintptr_t magic, BlockHeader* ptr) {
  return magic ^ reinterpret_cast<uintptr_t>(ptr);
}

}  // namespace

struct LowLevelAlloc::Arena {
  // The static arenas: zero in static storage, initialized on first use.
  explicit Arena(base::LinkerInitialized) : mu(base::LINKER_INITIALIZED) {}
  // Arenas made by NewArena.
  explicit Arena(base::scheduling::SchedulingMode mode)
      : mu(mode), flags(0), pagesize(0), random(0) {}

  SpinLock mu;  // guards everything below
  // Head of the skip list: size 0, free magic, this arena; its levels is the
  // current height of the list.
  AllocList freelist;
  int32 allocation_count;  // blocks currently allocated
  int32 flags;             // kArenaCallsHooks, kArenaSignalSafe
  size_t pagesize;         // 0 until the arena is initialized
  size_t round_up;         // every block size is a multiple of this
  size_t min_block_size;   // smallest block split off or left over
  uint32 random;           // state of the level generator
};

namespace {

using Arena = LowLevelAlloc::Arena;

// The static arenas, usable before any constructor has run: their
// constructors write nothing and a zero arena is initialized on first use.
Arena default_arena(base::LINKER_INITIALIZED);
// Holds the records of arenas without hooks made in the default arena.
Arena unhooked_arena(base::LINKER_INITIALIZED);
// Holds the records of signal-safe arenas made in the default arena.
Arena unhooked_async_sig_safe_arena(base::LINKER_INITIALIZED);

// ---- Arithmetic --------------------------------------------------------------

inline size_t CheckedAdd(size_t a, size_t b) {
  size_t sum = a + b;
  LLA_CHECK(sum >= a, "LowLevelAlloc arithmetic overflow");
  return sum;
}

// addend rounded up to a multiple of align (a power of two).
inline size_t RoundUp(size_t addend, size_t align) {
  return CheckedAdd(addend, align - 1) & ~(align - 1);
}

// ---- Skip list ---------------------------------------------------------------

// The number of times size can be halved while staying above base.
inline int IntLog2(size_t size, size_t base) {
  int result = 0;
  for (size_t i = size; i > base; i >>= 1) result++;
  return result;
}

// A geometric count, at least 1: the number of draws of a 32-bit linear
// congruential generator until one has bit 30 set.
inline int Random(uint32* state) {
  uint32 r = *state;
  int result = 1;
  while ((((r = r * 1103515245u + 12345u) >> 30) & 1) == 0) result++;
  *state = r;
  return result;
}

// The number of levels for a block of the given size: its log plus a random
// count (or plus 1 when random is null, which gives the level at which a
// block of that size is certain to appear), capped by the next pointers
// that fit in the block and by kMaxLevel - 1.
int LLA_SkiplistLevels(size_t size, size_t base, uint32* random) {
  size_t max_fit = (size - offsetof(AllocList, next)) / sizeof(AllocList*);
  int level = IntLog2(size, base) + (random != nullptr ? Random(random) : 1);
  if (static_cast<size_t>(level) > max_fit) level = static_cast<int>(max_fit);
  if (level > kMaxLevel - 1) level = kMaxLevel - 1;
  LLA_CHECK(level >= 1, "block not big enough for even one level");
  return level;
}

// Stores in prev[i], for every level of the list, the last element before
// e at that level. Returns the element after prev[0] at level 0 (e itself
// when e is in the list), or null for an empty list.
AllocList* LLA_SkiplistSearch(AllocList* head, AllocList* e,
                              AllocList** prev) {
  AllocList* p = head;
  for (int level = head->levels - 1; level >= 0; level--) {
    for (AllocList* n; (n = p->next[level]) != nullptr && n < e; p = n) {
    }
    prev[level] = p;
  }
  return head->levels == 0 ? nullptr : prev[0]->next[0];
}

// Links e into every one of its levels; raises the list's height if e is
// taller. prev receives the elements before e.
void LLA_SkiplistInsert(AllocList* head, AllocList* e, AllocList** prev) {
  LLA_SkiplistSearch(head, e, prev);
  for (; head->levels < e->levels; head->levels++) {
    prev[head->levels] = head;
  }
  for (int i = 0; i != e->levels; i++) {
    e->next[i] = prev[i]->next[i];
    prev[i]->next[i] = e;
  }
}

// Unlinks e, which must be in the list, and lowers the list's height past
// empty top levels. prev receives the elements before e.
void LLA_SkiplistDelete(AllocList* head, AllocList* e, AllocList** prev) {
  AllocList* found = LLA_SkiplistSearch(head, e, prev);
  LLA_CHECK(e == found, "element not in freelist");
  for (int i = 0; i != e->levels && prev[i]->next[i] == e; i++) {
    prev[i]->next[i] = e->next[i];
  }
  while (head->levels > 0 && head->next[head->levels - 1] == nullptr) {
    head->levels--;
  }
}

// The element after prev at level i, checked before it is used.
AllocList* Next(int i, AllocList* prev, Arena* arena) {
  LLA_CHECK(i < prev->levels, "too few levels in Next()");
  AllocList* next = prev->next[i];
  if (next != nullptr) {
    LLA_CHECK(next->header.magic == Magic(kMagicUnallocated, &next->header),
              "bad magic number in Next()");
    LLA_CHECK(next->header.arena == arena, "bad arena pointer in Next()");
    if (prev != &arena->freelist) {
      LLA_CHECK(prev < next, "unordered freelist");
      LLA_CHECK(reinterpret_cast<char *>(prev) + prev->header.size <
                    reinterpret_cast<char *>(next),
                "malformed freelist");
    }
  }
  return next;
}

// ---- Arena state -------------------------------------------------------------

// Sets up an arena on first use; the caller holds its lock.
void ArenaInit(Arena* arena) {
  if (arena->pagesize != 0) return;
  arena->pagesize = static_cast<size_t>(getpagesize());
  arena->round_up = sizeof(BlockHeader);
  arena->min_block_size = 2 * arena->round_up;
  arena->freelist.header.size = 0;
  arena->freelist.header.magic =
      Magic(kMagicUnallocated, &arena->freelist.header);
  arena->freelist.header.arena = arena;
  arena->freelist.levels = 0;
  memset(arena->freelist.next, 0, sizeof(arena->freelist.next));
  arena->allocation_count = 0;
  int32 flags = 0;
  if (arena == &default_arena) {
    flags = LowLevelAlloc::kArenaCallsHooks;
  } else if (arena == &unhooked_async_sig_safe_arena) {
    flags = LowLevelAlloc::kArenaSignalSafe;
  }
  // Read without the lock by ArenaLock (which only needs the signal-safe
  // bit, fixed for the static arenas).
  __atomic_store_n(&arena->flags, flags, __ATOMIC_RELAXED);
}

// Holds an arena's lock; for a signal-safe arena also blocks every signal
// of the calling thread while the lock is held, so that a handler on this
// thread never finds the lock taken by the code it interrupted.
class ArenaLock {
 public:
  explicit ArenaLock(Arena* arena) : arena_(arena) {
    // The static signal-safe arena has no flags before its first use.
    if (arena == &unhooked_async_sig_safe_arena ||
        (__atomic_load_n(&arena->flags, __ATOMIC_RELAXED) &
         LowLevelAlloc::kArenaSignalSafe) != 0) {
      sigset_t all;
      sigfillset(&all);
      // If blocking fails, mask_ holds nothing worth restoring.
      mask_valid_ = pthread_sigmask(SIG_BLOCK, &all, &mask_) == 0;
    }
    arena_->mu.Lock();
  }
  ~ArenaLock() {
    if (!left_) Leave();
  }
  ArenaLock(const ArenaLock&) = delete;
  ArenaLock& operator=(const ArenaLock&) = delete;

  // Releases the lock, then restores the signal mask.
  void Leave() {
    arena_->mu.Unlock();
    if (mask_valid_) {
      int err = pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
      LLA_CHECK(err == 0, "pthread_sigmask failed");
    }
    left_ = true;
  }

 private:
  Arena* arena_;
  bool mask_valid_ = false;
  bool left_ = false;
  sigset_t mask_;
};

// If a's level-0 successor starts where a ends, takes it into a. The caller
// holds the lock.
void Coalesce(AllocList* a) {
  AllocList* n = a->next[0];
  if (n != nullptr && reinterpret_cast<char*>(a) + a->header.size ==
                          reinterpret_cast<char*>(n)) {
    Arena* arena = a->header.arena;
    a->header.size += n->header.size;
    n->header.magic = 0;
    n->header.arena = nullptr;
    AllocList* prev[kMaxLevel];
    LLA_SkiplistDelete(&arena->freelist, n, prev);
    LLA_SkiplistDelete(&arena->freelist, a, prev);
    // The larger block deserves its own level count.
    a->levels = LLA_SkiplistLevels(a->header.size, arena->min_block_size,
                                   &arena->random);
    LLA_SkiplistInsert(&arena->freelist, a, prev);
  }
}

// Adds the block whose user area is v to the free list and merges it with
// both neighbours. The caller holds the lock.
void AddToFreelist(void* v, Arena* arena) {
  AllocList* f = reinterpret_cast<AllocList*>(reinterpret_cast<char*>(v) -
                                              sizeof(BlockHeader));
  LLA_CHECK(f->header.magic == Magic(kMagicAllocated, &f->header),
            "bad magic number in AddToFreelist()");
  LLA_CHECK(f->header.arena == arena, "bad arena pointer in AddToFreelist()");
  f->levels = LLA_SkiplistLevels(f->header.size, arena->min_block_size,
                                 &arena->random);
  AllocList* prev[kMaxLevel];
  LLA_SkiplistInsert(&arena->freelist, f, prev);
  f->header.magic = Magic(kMagicUnallocated, &f->header);
  Coalesce(f);        // with the successor
  Coalesce(prev[0]);  // with the predecessor (a no-op for the list head)
}

// Allocation without the hooks.
void* DoAllocWithArena(size_t request, Arena* arena) {
  if (request == 0) return nullptr;
  AllocList* s;
  ArenaLock section(arena);
  ArenaInit(arena);
  size_t req_rnd = RoundUp(CheckedAdd(request, sizeof(BlockHeader)),
                           arena->round_up);
  for (;;) {
    // Every free block of at least req_rnd bytes is linked at level i.
    int i = LLA_SkiplistLevels(req_rnd, arena->min_block_size, nullptr) - 1;
    if (i < arena->freelist.levels) {
      AllocList* before = &arena->freelist;
      while ((s = Next(i, before, arena)) != nullptr &&
             s->header.size < req_rnd) {
        before = s;
      }
      if (s != nullptr) break;
    }
    // Nothing fits: map more pages, without holding the lock (the mapping
    // hooks may allocate from other arenas). Signals stay blocked.
    arena->mu.Unlock();
    size_t new_pages_size = RoundUp(req_rnd, arena->pagesize * 16);
    void* new_pages;
    if ((arena->flags & LowLevelAlloc::kArenaSignalSafe) != 0) {
      new_pages = MallocHook::UnhookedMMap(nullptr, new_pages_size,
                                           PROT_WRITE | PROT_READ,
                                           MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    } else {
      new_pages = mmap(nullptr, new_pages_size, PROT_WRITE | PROT_READ,
                       MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
    }
    if (new_pages == MAP_FAILED) {
      LLA_FATAL("mmap error: %d", errno);
    }
    arena->mu.Lock();
    s = reinterpret_cast<AllocList*>(new_pages);
    s->header.size = new_pages_size;
    s->header.magic = Magic(kMagicAllocated, &s->header);
    s->header.arena = arena;
    AddToFreelist(&s->levels, arena);
  }
  AllocList* prev[kMaxLevel];
  LLA_SkiplistDelete(&arena->freelist, s, prev);
  // Split off the tail when it makes a block of its own.
  if (CheckedAdd(req_rnd, arena->min_block_size) <= s->header.size) {
    AllocList* n =
        reinterpret_cast<AllocList*>(req_rnd + reinterpret_cast<char*>(s));
    n->header.size = s->header.size - req_rnd;
    n->header.magic = Magic(kMagicAllocated, &n->header);
    n->header.arena = arena;
    s->header.size = req_rnd;
    AddToFreelist(&n->levels, arena);
  }
  s->header.magic = Magic(kMagicAllocated, &s->header);
  LLA_CHECK(s->header.arena == arena, "bad arena pointer in AllocWithArena()");
  arena->allocation_count++;
  section.Leave();
  return &s->levels;
}

}  // namespace

void* LowLevelAlloc::Alloc(size_t request) {
  void* result = DoAllocWithArena(request, &default_arena);
  // A zero request allocates nothing, so no hook sees it.
  if (result != nullptr &&
      (default_arena.flags & kArenaCallsHooks) != 0) {
    MallocHook::InvokeNewHook(result, request);
  }
  return result;
}

void* LowLevelAlloc::AllocWithArena(size_t request, Arena* arena) {
  LLA_CHECK(arena != 0, "must pass a valid arena");
  void* result = DoAllocWithArena(request, arena);
  if (result != nullptr && (arena->flags & kArenaCallsHooks) != 0) {
    MallocHook::InvokeNewHook(result, request);
  }
  return result;
}

void LowLevelAlloc::Free(void* v) {
  if (v == nullptr) return;
  AllocList* f = reinterpret_cast<AllocList*>(reinterpret_cast<char*>(v) -
                                              sizeof(BlockHeader));
  LLA_CHECK(f->header.magic == Magic(kMagicAllocated, &f->header),
            "bad magic number in Free()");
  Arena* arena = f->header.arena;
  // Delete hooks run before the lock is taken, while the block is intact.
  if ((arena->flags & kArenaCallsHooks) != 0) {
    MallocHook::InvokeDeleteHook(v);
  }
  ArenaLock section(arena);
  AddToFreelist(v, arena);
  LLA_CHECK(arena->allocation_count > 0, "nothing in arena to free");
  arena->allocation_count--;
  section.Leave();
}

LowLevelAlloc::Arena* LowLevelAlloc::NewArena(int flags,
                                              Arena* meta_data_arena) {
  LLA_CHECK(meta_data_arena != 0, "must pass a valid arena");
  if (meta_data_arena == &default_arena) {
    if ((flags & kArenaSignalSafe) != 0) {
      meta_data_arena = &unhooked_async_sig_safe_arena;
    } else if ((flags & kArenaCallsHooks) == 0) {
      meta_data_arena = &unhooked_arena;
    }
  }
  Arena* result = new (AllocWithArena(sizeof(*result), meta_data_arena))
      Arena(base::scheduling::SCHEDULE_KERNEL_ONLY);
  {
    ArenaLock section(result);
    ArenaInit(result);
  }
  result->flags = flags;
  return result;
}

bool LowLevelAlloc::DeleteArena(Arena* arena) {
  LLA_CHECK(arena != 0 && arena != &default_arena && arena != &unhooked_arena,
            "may not delete default arena");
  ArenaLock section(arena);
  if (arena->allocation_count != 0) {
    section.Leave();
    return false;
  }
  // With nothing allocated, every mapping has merged back into whole free
  // blocks, each one or more complete mappings.
  while (arena->freelist.next[0] != nullptr) {
    AllocList* region = arena->freelist.next[0];
    size_t size = region->header.size;
    LLA_CHECK(region->header.magic == Magic(kMagicUnallocated, &region->header),
              "bad magic number in DeleteArena()");
    LLA_CHECK(region->header.arena == arena,
              "bad arena pointer in DeleteArena()");
    LLA_CHECK(size % arena->pagesize == 0,
              "empty arena has non-page-aligned block size");
    LLA_CHECK(reinterpret_cast<uintptr_t>(region) % arena->pagesize == 0,
              "empty arena has non-page-aligned block");
    // Unlink the region at every level before its pages go away.
    AllocList* prev[kMaxLevel];
    LLA_SkiplistDelete(&arena->freelist, region, prev);
    int munmap_result;
    if ((arena->flags & kArenaSignalSafe) == 0) {
      munmap_result = munmap(region, size);
    } else {
      munmap_result = MallocHook::UnhookedMUnmap(region, size);
    }
    if (munmap_result != 0) {
      LLA_FATAL("LowLevelAlloc::DeleteArena: munmap failed: %d", errno);
    }
  }
  section.Leave();
  // The lock lives in the record: it must be released first.
  Free(arena);
  return true;
}

LowLevelAlloc::Arena* LowLevelAlloc::DefaultArena() { return &default_arena; }

int LowLevelAlloc::SnapshotFreeList(Arena* arena, FreeBlock* blocks,
                                    int max_blocks) {
  LLA_CHECK(arena != 0, "must pass a valid arena");
  ArenaLock section(arena);
  ArenaInit(arena);
  int count = 0;
  AllocList* head = &arena->freelist;
  for (int level = head->levels - 1; level >= 0; level--) {
    for (AllocList* p = head; (p = Next(level, p, arena)) != nullptr;) {
      if (level == 0) {
        if (count < max_blocks) {
          blocks[count].start = p;
          blocks[count].size = p->header.size;
        }
        count++;
      }
    }
  }
  section.Leave();
  return count;
}
