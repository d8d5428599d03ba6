// LowLevelAlloc against malloc/free: random replacement of live blocks.
// Each benchmark keeps N blocks live (1k or 100k); every iteration frees a
// random one and allocates a block of a random size (1..512 bytes) in its
// place. An arena without hooks and a signal-safe arena (which blocks all
// signals around every operation: two extra system calls each) are both
// measured against malloc.
#include <stdlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/low_level_alloc.h"
#include "benchmark/benchmark.h"
#include "testing/time_ratio_reporter.h"

namespace {

// Precomputed random slots and sizes, so that the loop measures the
// allocator and not the generator.
struct Script {
  explicit Script(size_t live) {
    std::mt19937 rng(12345);
    for (size_t i = 0; i < kSteps; i++) {
      slot.push_back(static_cast<uint32_t>(rng() % live));
      size.push_back(1 + rng() % 512);
    }
  }
  static constexpr size_t kSteps = 1 << 16;
  std::vector<uint32_t> slot;
  std::vector<size_t> size;
};

struct Malloc {
  void* Alloc(size_t n) { return malloc(n); }
  void Free(void* p) { free(p); }
};

template <int kFlags>
struct ArenaAllocator {
  ArenaAllocator()
      : arena(LowLevelAlloc::NewArena(kFlags, LowLevelAlloc::DefaultArena())) {}
  ~ArenaAllocator() { LowLevelAlloc::DeleteArena(arena); }
  void* Alloc(size_t n) { return LowLevelAlloc::AllocWithArena(n, arena); }
  void Free(void* p) { LowLevelAlloc::Free(p); }
  LowLevelAlloc::Arena* arena;
};
using UnhookedArena = ArenaAllocator<0>;
using SignalSafeArena = ArenaAllocator<LowLevelAlloc::kArenaSignalSafe>;

template <typename Allocator>
void BM_RandomReplace(benchmark::State& state) {
  const size_t live = static_cast<size_t>(state.range(0));
  Script script(live);
  Allocator allocator;
  std::vector<void*> blocks(live);
  std::mt19937 rng(1);
  for (void*& p : blocks) p = allocator.Alloc(1 + rng() % 512);
  size_t step = 0;
  for (auto _ : state) {
    uint32_t slot = script.slot[step];
    allocator.Free(blocks[slot]);
    void* p = allocator.Alloc(script.size[step]);
    *static_cast<char*>(p) = 1;  // touch it, as a user would
    blocks[slot] = p;
    step = (step + 1) & (Script::kSteps - 1);
  }
  for (void* p : blocks) allocator.Free(p);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(BM_RandomReplace, UnhookedArena)->Arg(1000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_RandomReplace, SignalSafeArena)->Arg(1000)->Arg(100000);
BENCHMARK_TEMPLATE(BM_RandomReplace, Malloc)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::ConsoleReporter display;
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char* live : {"1000", "100000"}) {
    std::string peer = std::string("BM_RandomReplace<Malloc>/") + live;
    pairs.push_back({std::string("BM_RandomReplace<UnhookedArena>/") + live,
                     peer});
    pairs.push_back({std::string("BM_RandomReplace<SignalSafeArena>/") + live,
                     peer});
  }
  testing_benchmark::TimeRatioReporter reporter(&display, pairs);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
