// The cost of the hooks when none is installed: a malloc/free pair through
// the hooked test allocator against the C library's own malloc, the bare
// inline test of an empty hook list, and an mmap/munmap pair through the
// library's entry points against the raw system calls.
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/malloc_hook.h"
#include "benchmark/benchmark.h"
#include "testing/time_ratio_reporter.h"

extern "C" void *__libc_malloc(size_t size);
extern "C" void __libc_free(void *p);

namespace {

void BM_HookedMallocFree(benchmark::State &state) {
  const size_t size = state.range(0);
  for (auto _ : state) {
    void *p = malloc(size);
    benchmark::DoNotOptimize(p);
    free(p);
  }
}
BENCHMARK(BM_HookedMallocFree)->Arg(64)->Arg(4096);

void BM_LibcMallocFree(benchmark::State &state) {
  const size_t size = state.range(0);
  for (auto _ : state) {
    void *p = __libc_malloc(size);
    benchmark::DoNotOptimize(p);
    __libc_free(p);
  }
}
BENCHMARK(BM_LibcMallocFree)->Arg(64)->Arg(4096);

// What every allocation pays for the hooks when none is installed.
void BM_EmptyHookListTest(benchmark::State &state) {
  int x = 0;
  for (auto _ : state) {
    MallocHook::InvokeNewHook(&x, 8);
    MallocHook::InvokeDeleteHook(&x);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EmptyHookListTest);

void BM_NoHookCall(benchmark::State &state) {
  for (auto _ : state) benchmark::ClobberMemory();
}
BENCHMARK(BM_NoHookCall);

void BM_MmapMunmapOverride(benchmark::State &state) {
  for (auto _ : state) {
    void *p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(p, 4096);
  }
}
BENCHMARK(BM_MmapMunmapOverride);

void BM_MmapMunmapSyscall(benchmark::State &state) {
  for (auto _ : state) {
    long p = syscall(SYS_mmap, nullptr, 4096, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    syscall(SYS_munmap, p, 4096);
  }
}
BENCHMARK(BM_MmapMunmapSyscall);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter display;
  testing_benchmark::TimeRatioReporter reporter(
      &display, {{"BM_HookedMallocFree/64", "BM_LibcMallocFree/64"},
                 {"BM_HookedMallocFree/4096", "BM_LibcMallocFree/4096"},
                 {"BM_EmptyHookListTest", "BM_NoHookCall"},
                 {"BM_MmapMunmapOverride", "BM_MmapMunmapSyscall"}});
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
