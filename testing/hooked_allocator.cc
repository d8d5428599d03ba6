// A test-only allocator that replaces malloc, free, the rest of the C
// allocation family and every form of operator new and delete in the test
// program that links it (never in the shipped library). It draws memory from
// a LowLevelAlloc arena, runs the new and delete hooks like a production
// allocator, and keeps its entry points in the code section tavro_malloc,
// so that MallocHook_GetCallerStackTrace can cut its frames off. Operator
// new calls malloc, so an allocation made through new has two allocator
// frames on the stack.
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "base/low_level_alloc.h"
#include "base/malloc_hook.h"
#include "base/once.h"
#include "base/raw_logging.h"

namespace {

// Each block starts with this prefix, just below the pointer handed out.
struct Prefix {
  void *block;  // what LowLevelAlloc returned
  size_t size;  // the size asked for
  uint64_t magic;
  uint64_t unused;
};
static_assert(sizeof(Prefix) == 32, "keeps 32-byte alignment");
constexpr uint64_t kLiveMagic = 0x7A3BC0FFEE11D00Dull;
constexpr uint64_t kFreedMagic = 0xDEADF00DDEADF00Dull;

LowLevelAlloc::Arena *arena;
TavroOnceType arena_once = TAVRO_ONCE_INIT;

void CreateArena() {
  // The arena itself runs no hooks: the entry points below run them with
  // the caller's sizes.
  arena = LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena());
}

inline bool IsPowerOfTwo(size_t x) { return x != 0 && (x & (x - 1)) == 0; }

// Allocates size bytes aligned to `alignment` (a power of two), without
// hooks; null (errno ENOMEM) when the size is absurd.
void *AllocateUnhooked(size_t size, size_t alignment) {
  TavroOnceInit(&arena_once, &CreateArena);
  if (alignment < 32) alignment = 32;
  size_t extra = sizeof(Prefix) + (alignment > 32 ? alignment : 0);
  if (size > SIZE_MAX / 2 - extra) {
    errno = ENOMEM;
    return nullptr;
  }
  char *block =
      static_cast<char *>(LowLevelAlloc::AllocWithArena(size + extra, arena));
  uintptr_t user = reinterpret_cast<uintptr_t>(block) + sizeof(Prefix);
  user = (user + alignment - 1) & ~(alignment - 1);
  Prefix *prefix = reinterpret_cast<Prefix *>(user) - 1;
  prefix->block = block;
  prefix->size = size;
  prefix->magic = kLiveMagic;
  return reinterpret_cast<void *>(user);
}

Prefix *PrefixOf(void *p) {
  Prefix *prefix = static_cast<Prefix *>(p) - 1;
  RAW_CHECK(prefix->magic == kLiveMagic, "free of a pointer not from malloc");
  return prefix;
}

void FreeUnhooked(void *p) {
  Prefix *prefix = PrefixOf(p);
  prefix->magic = kFreedMagic;
  LowLevelAlloc::Free(prefix->block);
}

}  // namespace

#define ALLOCATOR_ENTRY extern "C" ATTRIBUTE_SECTION(tavro_malloc)

ALLOCATOR_ENTRY void *malloc(size_t size) noexcept {
  void *p = AllocateUnhooked(size, 32);
  MallocHook::InvokeNewHook(p, size);
  return p;
}

ALLOCATOR_ENTRY void free(void *p) noexcept {
  if (p == nullptr) return;
  MallocHook::InvokeDeleteHook(p);
  FreeUnhooked(p);
}

ALLOCATOR_ENTRY void cfree(void *p) noexcept { free(p); }

ALLOCATOR_ENTRY void *calloc(size_t n, size_t size) noexcept {
  if (size != 0 && n > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = AllocateUnhooked(n * size, 32);
  if (p != nullptr) memset(p, 0, n * size);
  MallocHook::InvokeNewHook(p, n * size);
  return p;
}

ALLOCATOR_ENTRY void *realloc(void *old, size_t size) noexcept {
  if (old == nullptr) return malloc(size);
  if (size == 0) {
    free(old);
    return nullptr;
  }
  void *p = AllocateUnhooked(size, 32);
  if (p == nullptr) return nullptr;  // the old block stays valid
  size_t old_size = PrefixOf(old)->size;
  memcpy(p, old, old_size < size ? old_size : size);
  MallocHook::InvokeNewHook(p, size);
  MallocHook::InvokeDeleteHook(old);
  FreeUnhooked(old);
  return p;
}

ALLOCATOR_ENTRY void *memalign(size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment)) {
    errno = EINVAL;
    return nullptr;
  }
  void *p = AllocateUnhooked(size, alignment);
  MallocHook::InvokeNewHook(p, size);
  return p;
}

ALLOCATOR_ENTRY void *aligned_alloc(size_t alignment, size_t size) noexcept {
  return memalign(alignment, size);
}

ALLOCATOR_ENTRY int posix_memalign(void **result, size_t alignment,
                                   size_t size) noexcept {
  if (!IsPowerOfTwo(alignment) || alignment % sizeof(void *) != 0) {
    return EINVAL;
  }
  void *p = AllocateUnhooked(size, alignment);
  if (p == nullptr) return ENOMEM;
  MallocHook::InvokeNewHook(p, size);
  *result = p;
  return 0;
}

ALLOCATOR_ENTRY void *valloc(size_t size) noexcept {
  return memalign(static_cast<size_t>(getpagesize()), size);
}

ALLOCATOR_ENTRY void *pvalloc(size_t size) noexcept {
  size_t page = static_cast<size_t>(getpagesize());
  if (size > SIZE_MAX - page) {
    errno = ENOMEM;
    return nullptr;
  }
  return memalign(page, (size + page - 1) & ~(page - 1));
}

ALLOCATOR_ENTRY size_t malloc_usable_size(void *p) noexcept {
  return p == nullptr ? 0 : PrefixOf(p)->size;
}

// ---- operator new and delete: through malloc and free ----

namespace {

ATTRIBUTE_SECTION(tavro_malloc) void *NewOrThrow(size_t size) {
  void *p = malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

ATTRIBUTE_SECTION(tavro_malloc)
void *AlignedNewOrThrow(size_t size, std::align_val_t alignment) {
  void *p = memalign(static_cast<size_t>(alignment), size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

ATTRIBUTE_SECTION(tavro_malloc) void *operator new(size_t size) {
  return NewOrThrow(size);
}
ATTRIBUTE_SECTION(tavro_malloc) void *operator new[](size_t size) {
  return NewOrThrow(size);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new(size_t size, const std::nothrow_t &) noexcept {
  return malloc(size);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  return malloc(size);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new(size_t size, std::align_val_t alignment) {
  return AlignedNewOrThrow(size, alignment);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new[](size_t size, std::align_val_t alignment) {
  return AlignedNewOrThrow(size, alignment);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new(size_t size, std::align_val_t alignment,
                   const std::nothrow_t &) noexcept {
  return memalign(static_cast<size_t>(alignment), size);
}
ATTRIBUTE_SECTION(tavro_malloc)
void *operator new[](size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
  return memalign(static_cast<size_t>(alignment), size);
}

ATTRIBUTE_SECTION(tavro_malloc) void operator delete(void *p) noexcept {
  free(p);
}
ATTRIBUTE_SECTION(tavro_malloc) void operator delete[](void *p) noexcept {
  free(p);
}
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete(void *p, size_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete[](void *p, size_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete(void *p, std::align_val_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete(void *p, std::align_val_t,
                     const std::nothrow_t &) noexcept {
  free(p);
}
ATTRIBUTE_SECTION(tavro_malloc)
void operator delete[](void *p, std::align_val_t,
                       const std::nothrow_t &) noexcept {
  free(p);
}
