// Calls each mapping entry point once between two marker writes, with hooks
// installed, for testing/syscalls_between_markers.sh to show that each makes
// exactly one system call (mmap, mremap, munmap, and brk for each non-zero
// sbrk): five in all.
#include <sys/mman.h>
#include <unistd.h>

#include "base/malloc_hook.h"

namespace {
int events = 0;
void CountMmap(const void *, const void *, size_t, int, int, int, off_t) {
  events++;
}
void CountMunmap(const void *, size_t) { events++; }
void CountSbrk(const void *, ptrdiff_t) { events++; }
}  // namespace

int main() {
  MallocHook::AddMmapHook(&CountMmap);
  MallocHook::AddMunmapHook(&CountMunmap);
  MallocHook::AddSbrkHook(&CountSbrk);
  sbrk(0);  // the C library learns the break here, outside the markers
  const char begin[] = "begin marked region\n", end[] = "end marked region\n";
  if (write(1, begin, sizeof begin - 1) < 0) return 1;
  void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void *q = mremap(p, 4096, 8192, MREMAP_MAYMOVE);
  munmap(q, 8192);
  sbrk(4096);
  sbrk(-4096);
  if (write(1, end, sizeof end - 1) < 0) return 1;
  return events == 4 ? 0 : 2;
}
