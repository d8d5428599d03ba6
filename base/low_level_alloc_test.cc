#include "base/low_level_alloc.h"

#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/malloc_hook.h"
#include "gtest/gtest.h"

namespace {

using Arena = LowLevelAlloc::Arena;
using FreeBlock = LowLevelAlloc::FreeBlock;

constexpr uintptr_t kMagicAllocated = 0x4C833E95;
constexpr uintptr_t kMagicUnallocated = 0xFFFFFFFFB37CC16A;

size_t PageSize() { return static_cast<size_t>(getpagesize()); }

// The 32-byte header in front of every block.
struct Header {
  uintptr_t size;
  uintptr_t magic;
  Arena* arena;
  void* filler;
};
Header* HeaderOf(void* p) {
  return reinterpret_cast<Header*>(static_cast<char*>(p) - sizeof(Header));
}
uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// The arena's free blocks in address order (the walk also runs the
// allocator's consistency checks on every level).
std::vector<FreeBlock> FreeList(Arena* arena) {
  std::vector<FreeBlock> blocks(16);
  for (;;) {
    int n = LowLevelAlloc::SnapshotFreeList(arena, blocks.data(),
                                            static_cast<int>(blocks.size()));
    if (static_cast<size_t>(n) <= blocks.size()) {
      blocks.resize(n);
      return blocks;
    }
    blocks.resize(2 * n);
  }
}

// Runs body on its own thread and aborts the test binary if it has not
// finished within the deadline: a self-deadlock in the allocator shows up
// as a failure with a message instead of a silent hang.
void RunWithDeadline(const char* what, int seconds,
                     const std::function<void()>& body) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    body();
    done.store(true);
  });
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!done.load()) {
    fprintf(stderr, "%s: not finished after %d s (deadlock?)\n", what,
            seconds);
    std::abort();
  }
  t.join();
}

// Escapes a literal message for use as a death-test regular expression.
std::string Literal(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (strchr("\\^$.|?*+()[]{}", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// A fresh arena per test, deleted at the end (which must succeed: the test
// freed everything it allocated).
class FreshArenaTest : public testing::Test {
 protected:
  void SetUp() override {
    arena_ = LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena());
  }
  void TearDown() override {
    if (arena_ != nullptr) {
      EXPECT_TRUE(LowLevelAlloc::DeleteArena(arena_));
    }
  }
  void* Alloc(size_t n) { return LowLevelAlloc::AllocWithArena(n, arena_); }

  Arena* arena_ = nullptr;
};

// ---- Block layout ------------------------------------------------------------

struct BlockSizeCase {
  size_t request;
  size_t block_size;
};

void PrintTo(const BlockSizeCase& c, std::ostream* os) {
  *os << "request " << c.request;
}

class BlockSizeTest : public FreshArenaTest,
                      public testing::WithParamInterface<BlockSizeCase> {};

// Requests become header + request rounded up to 32 bytes; the header holds
// the size, the address-bound allocated magic and the arena.
TEST_P(BlockSizeTest, HeaderDescribesBlock) {
  void* p = Alloc(GetParam().request);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(Addr(p) % 32, 0u);
  Header* h = HeaderOf(p);
  EXPECT_EQ(h->size, GetParam().block_size);
  EXPECT_EQ(h->magic, Addr(h) ^ kMagicAllocated);
  EXPECT_EQ(h->arena, arena_);
  LowLevelAlloc::Free(p);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSizeTest,
                         testing::Values(BlockSizeCase{1, 64},
                                         BlockSizeCase{32, 64},
                                         BlockSizeCase{33, 96},
                                         BlockSizeCase{64, 96},
                                         BlockSizeCase{100, 160},
                                         BlockSizeCase{4000, 4032}));

TEST_F(FreshArenaTest, ZeroBytesGivesNull) {
  EXPECT_EQ(Alloc(0), nullptr);
  EXPECT_EQ(LowLevelAlloc::Alloc(0), nullptr);
  LowLevelAlloc::Free(nullptr);  // does nothing
  EXPECT_TRUE(FreeList(arena_).empty());
}

// The free block left behind carries the free magic for its own address.
TEST_F(FreshArenaTest, FreeBlockHeader) {
  void* p = Alloc(1);
  std::vector<FreeBlock> free_list = FreeList(arena_);
  ASSERT_EQ(free_list.size(), 1u);
  const Header* h = static_cast<const Header*>(free_list[0].start);
  EXPECT_EQ(h->magic, Addr(h) ^ kMagicUnallocated);
  EXPECT_EQ(h->arena, arena_);
  EXPECT_EQ(h->size, free_list[0].size);
  LowLevelAlloc::Free(p);
}

// A fresh arena maps 16 pages (or the block rounded up to 16 pages) and
// splits off the tail only when it makes a block of at least 64 bytes.
// Sizes are given as functions of the size of 16 pages.
struct MappingCase {
  const char* name;
  size_t (*request)(size_t sixteen_pages);
  size_t (*block_size)(size_t sixteen_pages);
  size_t mapping_pages;
};

void PrintTo(const MappingCase& c, std::ostream* os) { *os << c.name; }

class FirstMappingTest : public FreshArenaTest,
                         public testing::WithParamInterface<MappingCase> {};

TEST_P(FirstMappingTest, SixteenPageMultiples) {
  const MappingCase& c = GetParam();
  const size_t sixteen = 16 * PageSize();
  void* p = Alloc(c.request(sixteen));
  Header* h = HeaderOf(p);
  EXPECT_EQ(Addr(h) % PageSize(), 0u) << "the first block starts the mapping";
  EXPECT_EQ(h->size, c.block_size(sixteen));
  // The mapping is the block plus the free tail split off it, if any.
  std::vector<FreeBlock> free_list = FreeList(arena_);
  size_t mapped = h->size;
  if (!free_list.empty()) {
    ASSERT_EQ(free_list.size(), 1u);
    EXPECT_EQ(Addr(free_list[0].start), Addr(h) + h->size);
    mapped += free_list[0].size;
  }
  EXPECT_EQ(mapped, c.mapping_pages * PageSize());
  LowLevelAlloc::Free(p);
  free_list = FreeList(arena_);
  ASSERT_EQ(free_list.size(), 1u);
  EXPECT_EQ(free_list[0].start, h);
  EXPECT_EQ(free_list[0].size, c.mapping_pages * PageSize());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FirstMappingTest,
    testing::Values(
        MappingCase{"OneByte", [](size_t) -> size_t { return 1; },
                    [](size_t) -> size_t { return 64; }, 16},
        // The tail would be 64 bytes: split.
        MappingCase{"TailOfMinBlock", [](size_t s) { return s - 96; },
                    [](size_t s) { return s - 64; }, 16},
        // The tail would be 32 bytes: the block keeps it.
        MappingCase{"TailTooSmall", [](size_t s) { return s - 64; },
                    [](size_t s) { return s; }, 16},
        MappingCase{"ExactlySixteenPages", [](size_t s) { return s - 32; },
                    [](size_t s) { return s; }, 16},
        MappingCase{"OverSixteenPages", [](size_t s) { return s - 31; },
                    [](size_t s) { return s + 32; }, 32}),
    [](const testing::TestParamInfo<MappingCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(FreshArenaTest, DeleteRefusedWhileABlockIsAllocated) {
  char* p = static_cast<char*>(Alloc(100));
  memset(p, 0x5A, 100);
  EXPECT_FALSE(LowLevelAlloc::DeleteArena(arena_));
  // The refusal changed nothing: the block and the arena still work.
  EXPECT_EQ(std::count(p, p + 100, 0x5A), 100);
  void* q = Alloc(100);
  EXPECT_NE(q, nullptr);
  LowLevelAlloc::Free(q);
  EXPECT_FALSE(LowLevelAlloc::DeleteArena(arena_));
  LowLevelAlloc::Free(p);
  EXPECT_TRUE(LowLevelAlloc::DeleteArena(arena_));
  arena_ = nullptr;
}

// ---- Merging and first fit --------------------------------------------------

// Three adjacent blocks freed in every order: after each free the free list
// must equal the freed ranges (plus the mapping's tail) with every pair of
// touching ranges merged, ending in one block covering the whole mapping.
class MergeOrderTest : public FreshArenaTest,
                       public testing::WithParamInterface<std::vector<int>> {
};

TEST_P(MergeOrderTest, AdjacentFreeBlocksBecomeOne) {
  void* blocks[3] = {Alloc(100), Alloc(200), Alloc(50)};
  std::map<uintptr_t, uintptr_t> expected;  // start -> end
  {
    std::vector<FreeBlock> tail = FreeList(arena_);
    ASSERT_EQ(tail.size(), 1u);
    expected[Addr(tail[0].start)] = Addr(tail[0].start) + tail[0].size;
  }
  for (int i : GetParam()) {
    Header* h = HeaderOf(blocks[i]);
    uintptr_t start = Addr(h), end = start + h->size;
    LowLevelAlloc::Free(blocks[i]);
    expected[start] = end;
    // Merge touching ranges of the model.
    for (auto it = expected.begin(); std::next(it) != expected.end();) {
      auto next = std::next(it);
      if (it->second == next->first) {
        it->second = next->second;
        expected.erase(next);
      } else {
        ++it;
      }
    }
    std::vector<FreeBlock> free_list = FreeList(arena_);
    ASSERT_EQ(free_list.size(), expected.size()) << "after freeing " << i;
    size_t k = 0;
    for (const auto& range : expected) {
      EXPECT_EQ(Addr(free_list[k].start), range.first);
      EXPECT_EQ(Addr(free_list[k].start) + free_list[k].size, range.second);
      k++;
    }
  }
  ASSERT_EQ(expected.size(), 1u);
  EXPECT_EQ(expected.begin()->first, Addr(HeaderOf(blocks[0])));
  EXPECT_EQ(expected.begin()->second - expected.begin()->first,
            16 * PageSize());
}

INSTANTIATE_TEST_SUITE_P(Orders, MergeOrderTest,
                         testing::Values(std::vector<int>{0, 1, 2},
                                         std::vector<int>{0, 2, 1},
                                         std::vector<int>{1, 0, 2},
                                         std::vector<int>{1, 2, 0},
                                         std::vector<int>{2, 0, 1},
                                         std::vector<int>{2, 1, 0}));

// A request takes the lowest-addressed free block that fits, skipping
// smaller ones before it.
TEST_F(FreshArenaTest, FirstFitByAddress) {
  void* small = Alloc(1);
  void* sep1 = Alloc(1);
  void* large = Alloc(1000);
  void* sep2 = Alloc(1);
  LowLevelAlloc::Free(large);
  LowLevelAlloc::Free(small);
  void* mid = Alloc(500);
  EXPECT_EQ(mid, large) << "the small hole is skipped";
  void* tiny = Alloc(10);
  EXPECT_EQ(tiny, small) << "the lowest hole that fits";
  // What the 544-byte split left of the large hole.
  void* rest = Alloc(400);
  EXPECT_EQ(Addr(HeaderOf(rest)), Addr(HeaderOf(large)) + 544);
  for (void* p : {mid, tiny, rest, sep1, sep2}) LowLevelAlloc::Free(p);
}

// ---- Model-based random test ------------------------------------------------

// 100k random allocations and frees of random sizes across several arenas,
// checked against a map of the live blocks: alignment, no overlap between
// live blocks or between live and free blocks, contents kept, and at the
// end every arena merged back into whole mappings and deletable.
TEST(LowLevelAllocModelTest, RandomOperationsAgainstModel) {
  constexpr int kOperations = 100000;
  const unsigned seed = 20240611;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);

  Arena* meta = LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena());
  std::vector<Arena*> arenas = {
      LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena()),
      LowLevelAlloc::NewArena(LowLevelAlloc::kArenaCallsHooks,
                              LowLevelAlloc::DefaultArena()),
      LowLevelAlloc::NewArena(LowLevelAlloc::kArenaSignalSafe,
                              LowLevelAlloc::DefaultArena()),
      LowLevelAlloc::NewArena(0, meta),  // record in a non-default arena
  };

  struct Live {
    size_t n;
    Arena* arena;
    uint32_t pattern;
  };
  std::map<uintptr_t, Live> live;  // user pointer -> block
  std::vector<uintptr_t> order;    // live pointers, for random picks
  auto byte_at = [](uint32_t pattern, size_t i) {
    return static_cast<unsigned char>((pattern >> ((i & 3) * 8)) + i / 4);
  };
  auto extent_start = [](uintptr_t p) { return p - sizeof(Header); };

  auto random_size = [&rng]() -> size_t {
    uint32_t kind = rng() % 100;
    if (kind < 70) return 1 + rng() % 256;
    if (kind < 98) return 257 + rng() % 8000;
    return 8193 + rng() % 200000;
  };

  auto free_one = [&](size_t index) {
    uintptr_t p = order[index];
    const Live& b = live.at(p);
    const unsigned char* c = reinterpret_cast<const unsigned char*>(p);
    for (size_t i = 0; i < b.n; i++) {
      if (c[i] != byte_at(b.pattern, i)) {
        ADD_FAILURE() << "block " << p << " of " << b.n
                      << " bytes changed at offset " << i;
        break;
      }
    }
    LowLevelAlloc::Free(reinterpret_cast<void*>(p));
    live.erase(p);
    order[index] = order.back();
    order.pop_back();
  };

  // Free blocks must lie outside every live block.
  auto check_free_lists = [&]() {
    for (Arena* arena : arenas) {
      for (const FreeBlock& f : FreeList(arena)) {
        uintptr_t start = Addr(f.start), end = start + f.size;
        auto it = live.lower_bound(start);
        if (it != live.end()) {
          ASSERT_GE(extent_start(it->first), end)
              << "free block overlaps a live block";
        }
        if (it != live.begin()) {
          --it;
          ASSERT_LE(it->first + it->second.n, start)
              << "free block overlaps a live block";
        }
      }
    }
  };

  for (int op = 0; op < kOperations; op++) {
    bool alloc = order.empty() || rng() % 100 < (order.size() < 2000 ? 60 : 40);
    if (!alloc) {
      free_one(rng() % order.size());
    } else {
      size_t n = random_size();
      Arena* arena = arenas[rng() % arenas.size()];
      void* v = LowLevelAlloc::AllocWithArena(n, arena);
      ASSERT_NE(v, nullptr);
      uintptr_t p = Addr(v);
      ASSERT_EQ(p % 32, 0u);
      ASSERT_EQ(HeaderOf(v)->arena, arena);
      ASSERT_GE(HeaderOf(v)->size, n + sizeof(Header));
      auto next = live.lower_bound(p);
      if (next != live.end()) {
        ASSERT_LE(p + n, extent_start(next->first)) << "overlaps next block";
      }
      if (next != live.begin()) {
        auto prev = std::prev(next);
        ASSERT_LE(prev->first + prev->second.n, extent_start(p))
            << "overlaps previous block";
      }
      uint32_t pattern = rng();
      unsigned char* c = static_cast<unsigned char*>(v);
      for (size_t i = 0; i < n; i++) c[i] = byte_at(pattern, i);
      live[p] = Live{n, arena, pattern};
      order.push_back(p);
    }
    if (op % 1000 == 999) check_free_lists();
  }

  while (!order.empty()) free_one(rng() % order.size());

  for (Arena* arena : arenas) {
    for (const FreeBlock& f : FreeList(arena)) {
      EXPECT_EQ(Addr(f.start) % PageSize(), 0u);
      EXPECT_EQ(f.size % (16 * PageSize()), 0u) << "not whole mappings";
    }
    EXPECT_TRUE(LowLevelAlloc::DeleteArena(arena));
  }
  EXPECT_TRUE(LowLevelAlloc::DeleteArena(meta));
}

// ---- Hooks -------------------------------------------------------------------

struct HookEvent {
  bool is_new;
  const void* ptr;
  size_t size;
};
HookEvent hook_events[64];
int hook_event_count = 0;
// While set, each hook also allocates and frees in this arena: that
// deadlocks if a hook ever runs under the arena's lock.
Arena* reenter_arena = nullptr;
bool in_hook = false;

void Reenter() {
  if (reenter_arena == nullptr || in_hook) return;
  in_hook = true;
  LowLevelAlloc::Free(LowLevelAlloc::AllocWithArena(8, reenter_arena));
  in_hook = false;
}
void RecordNew(const void* p, size_t n) {
  if (in_hook) return;
  if (hook_event_count < 64) hook_events[hook_event_count++] = {true, p, n};
  Reenter();
}
void RecordDelete(const void* p) {
  if (in_hook) return;
  if (hook_event_count < 64) hook_events[hook_event_count++] = {false, p, 0};
  Reenter();
}

class HookTest : public testing::Test {
 protected:
  void SetUp() override {
    // The process's first allocation event runs the one-time initial hook,
    // which also passes that event to hooks already installed; let it
    // happen before ours are.
    LowLevelAlloc::Free(LowLevelAlloc::Alloc(1));
    hook_event_count = 0;
    reenter_arena = nullptr;
    ASSERT_TRUE(MallocHook::AddNewHook(&RecordNew));
    ASSERT_TRUE(MallocHook::AddDeleteHook(&RecordDelete));
  }
  void TearDown() override {
    reenter_arena = nullptr;
    EXPECT_TRUE(MallocHook::RemoveNewHook(&RecordNew));
    EXPECT_TRUE(MallocHook::RemoveDeleteHook(&RecordDelete));
  }
  void ExpectEvents(std::vector<HookEvent> expected) {
    ASSERT_EQ(hook_event_count, static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); i++) {
      EXPECT_EQ(hook_events[i].is_new, expected[i].is_new) << i;
      EXPECT_EQ(hook_events[i].ptr, expected[i].ptr) << i;
      EXPECT_EQ(hook_events[i].size, expected[i].size) << i;
    }
    hook_event_count = 0;
  }
};

TEST_F(HookTest, DefaultArenaCallsHooksOutsideItsLock) {
  RunWithDeadline("hooks on the default arena", 60, [&] {
    reenter_arena = LowLevelAlloc::DefaultArena();
    void* p = LowLevelAlloc::Alloc(123);
    ExpectEvents({{true, p, 123}});
    LowLevelAlloc::Free(p);
    ExpectEvents({{false, p, 0}});
    void* q = LowLevelAlloc::AllocWithArena(7, LowLevelAlloc::DefaultArena());
    ExpectEvents({{true, q, 7}});
    LowLevelAlloc::Free(q);
    ExpectEvents({{false, q, 0}});
    // Nothing is allocated by a zero request, so no hook runs.
    EXPECT_EQ(LowLevelAlloc::Alloc(0), nullptr);
    LowLevelAlloc::Free(nullptr);
    ExpectEvents({});
  });
}

// An arena made in the default arena: its record is allocated from the
// default (hooked) arena only for kArenaCallsHooks alone; its blocks run the
// hooks exactly when it has kArenaCallsHooks.
struct HookCase {
  const char* name;
  int flags;
  bool record_hooked;
  bool blocks_hooked;
};

void PrintTo(const HookCase& c, std::ostream* os) { *os << c.name; }

class ArenaHookTest : public HookTest,
                      public testing::WithParamInterface<HookCase> {};

TEST_P(ArenaHookTest, HooksFollowFlags) {
  const HookCase& c = GetParam();
  RunWithDeadline(c.name, 60, [&] {
    Arena* arena =
        LowLevelAlloc::NewArena(c.flags, LowLevelAlloc::DefaultArena());
    std::vector<HookEvent> record_new, record_delete;
    if (c.record_hooked) {
      ASSERT_EQ(hook_event_count, 1);
      EXPECT_TRUE(hook_events[0].is_new);
      EXPECT_EQ(hook_events[0].ptr, static_cast<const void*>(arena));
      hook_event_count = 0;
    }
    ExpectEvents({});
    reenter_arena = arena;
    void* p = LowLevelAlloc::AllocWithArena(40, arena);
    if (c.blocks_hooked) {
      ExpectEvents({{true, p, 40}});
    } else {
      ExpectEvents({});
    }
    LowLevelAlloc::Free(p);
    if (c.blocks_hooked) {
      ExpectEvents({{false, p, 0}});
    } else {
      ExpectEvents({});
    }
    reenter_arena = nullptr;
    EXPECT_TRUE(LowLevelAlloc::DeleteArena(arena));
    if (c.record_hooked) {
      ExpectEvents({{false, arena, 0}});
    } else {
      ExpectEvents({});
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Flags, ArenaHookTest,
    testing::Values(
        HookCase{"Unhooked", 0, false, false},
        HookCase{"CallsHooks", LowLevelAlloc::kArenaCallsHooks, true, true},
        HookCase{"SignalSafe", LowLevelAlloc::kArenaSignalSafe, false, false},
        HookCase{"SignalSafeCallsHooks",
                 LowLevelAlloc::kArenaSignalSafe |
                     LowLevelAlloc::kArenaCallsHooks,
                 false, true}),
    [](const testing::TestParamInfo<HookCase>& info) {
      return std::string(info.param.name);
    });

// ---- Allocation from signal handlers ----------------------------------------

Arena* signal_arena = nullptr;
std::atomic<int> handler_runs{0};
std::atomic<int> handler_errors{0};

// Allocates, fills, checks and frees a few blocks of the signal-safe arena.
void AllocatingHandler(int) {
  int saved_errno = errno;
  uint32_t r = static_cast<uint32_t>(handler_runs.load()) * 2654435761u + 1;
  void* blocks[4];
  size_t sizes[4];
  for (int i = 0; i < 4; i++) {
    r = r * 1103515245u + 12345u;
    sizes[i] = 1 + (r >> 16) % 512;
    blocks[i] = LowLevelAlloc::AllocWithArena(sizes[i], signal_arena);
    memset(blocks[i], 0xA0 + i, sizes[i]);
  }
  for (int i = 0; i < 4; i++) {
    const unsigned char* c = static_cast<const unsigned char*>(blocks[i]);
    for (size_t k = 0; k < sizes[i]; k++) {
      if (c[k] != 0xA0 + i) {
        handler_errors.fetch_add(1);
        break;
      }
    }
    LowLevelAlloc::Free(blocks[i]);
  }
  handler_runs.fetch_add(1);
  errno = saved_errno;
}

// Two threads allocate and free in a signal-safe arena while a third keeps
// sending them signals whose handler allocates from the same arena. Without
// signals blocked under the lock, a handler that interrupts its own thread
// inside the allocator deadlocks at once.
TEST(LowLevelAllocSignalTest, HandlersAllocateWhileThreadsAllocate) {
  constexpr int kIterations = 100000;
  constexpr int kMinHandlerRuns = 2000;
  signal_arena = LowLevelAlloc::NewArena(LowLevelAlloc::kArenaSignalSafe,
                                         LowLevelAlloc::DefaultArena());
  handler_runs = 0;
  handler_errors = 0;
  struct sigaction action = {}, old_action;
  action.sa_handler = AllocatingHandler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);

  std::atomic<int> worker_errors{0};
  RunWithDeadline("allocation from signal handlers", 90, [&] {
    std::atomic<int> workers_done{0};
    pthread_t worker_ids[2];
    std::atomic<int> started{0};
    auto worker = [&](int index) {
      worker_ids[index] = pthread_self();
      started.fetch_add(1);
      std::mt19937 rng(index + 1);
      constexpr int kRing = 64;
      void* ring[kRing] = {};
      size_t ring_sizes[kRing] = {};
      for (int i = 0;
           i < kIterations || handler_runs.load() < kMinHandlerRuns; i++) {
        int slot = static_cast<int>(rng() % kRing);
        if (ring[slot] != nullptr) {
          const unsigned char* c = static_cast<unsigned char*>(ring[slot]);
          for (size_t k = 0; k < ring_sizes[slot]; k++) {
            if (c[k] != static_cast<unsigned char>(slot)) {
              worker_errors.fetch_add(1);
              break;
            }
          }
          LowLevelAlloc::Free(ring[slot]);
        }
        ring_sizes[slot] = 1 + rng() % 1024;
        ring[slot] = LowLevelAlloc::AllocWithArena(ring_sizes[slot],
                                                   signal_arena);
        memset(ring[slot], slot, ring_sizes[slot]);
      }
      for (void* p : ring) LowLevelAlloc::Free(p);
      workers_done.fetch_add(1);
    };
    std::thread w0(worker, 0), w1(worker, 1);
    while (started.load() < 2) std::this_thread::yield();
    std::thread sender([&] {
      for (unsigned i = 0; workers_done.load() < 2; i++) {
        pthread_kill(worker_ids[i % 2], SIGUSR1);
        if (i % 16 == 15) std::this_thread::yield();
      }
    });
    sender.join();
    w0.join();
    w1.join();
  });

  ASSERT_EQ(sigaction(SIGUSR1, &old_action, nullptr), 0);
  EXPECT_GE(handler_runs.load(), kMinHandlerRuns);
  EXPECT_EQ(handler_errors.load(), 0);
  EXPECT_EQ(worker_errors.load(), 0);
  EXPECT_TRUE(LowLevelAlloc::DeleteArena(signal_arena));
}

// ---- Fatal checks ------------------------------------------------------------

struct DeathCase {
  const char* name;
  std::function<void()> action;
  const char* message;  // the exact record text after "RAW: "
};
void PrintTo(const DeathCase& c, std::ostream* os) { *os << c.name; }
std::string DeathCaseName(const testing::TestParamInfo<DeathCase>& info) {
  return info.param.name;
}

class LowLevelAllocDeathTest : public testing::TestWithParam<DeathCase> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(LowLevelAllocDeathTest, Dies) {
  EXPECT_DEATH(GetParam().action(), Literal(GetParam().message));
}

constexpr char kBadMagicInFree[] =
    "Check f->header.magic == Magic(kMagicAllocated, &f->header) failed: "
    "bad magic number in Free()";
constexpr char kOverflow[] =
    "Check sum >= a failed: LowLevelAlloc arithmetic overflow";
constexpr char kNoDelete[] =
    "Check arena != 0 && arena != &default_arena && arena != &unhooked_arena "
    "failed: may not delete default arena";

Arena* NewUnhookedArena() {
  return LowLevelAlloc::NewArena(0, LowLevelAlloc::DefaultArena());
}

// Damaged or misused blocks handed to Free.
INSTANTIATE_TEST_SUITE_P(
    Free, LowLevelAllocDeathTest,
    testing::Values(
        DeathCase{"OverwrittenMagic",
                  [] {
                    void* p = LowLevelAlloc::Alloc(16);
                    HeaderOf(p)->magic ^= 1;
                    LowLevelAlloc::Free(p);
                  },
                  kBadMagicInFree},
        DeathCase{"HeaderCopiedFromAnotherBlock",
                  [] {
                    void* p = LowLevelAlloc::Alloc(16);
                    void* q = LowLevelAlloc::Alloc(16);
                    *HeaderOf(q) = *HeaderOf(p);
                    LowLevelAlloc::Free(q);
                  },
                  kBadMagicInFree},
        DeathCase{"DoubleFree",
                  [] {
                    void* p = LowLevelAlloc::Alloc(16);
                    LowLevelAlloc::Free(p);
                    LowLevelAlloc::Free(p);
                  },
                  kBadMagicInFree},
        DeathCase{"InteriorPointer",
                  [] {
                    char* p = static_cast<char*>(LowLevelAlloc::Alloc(256));
                    memset(p, 0, 256);
                    LowLevelAlloc::Free(p + 64);
                  },
                  kBadMagicInFree},
        DeathCase{"ArenaPointerToAnEmptyArena",
                  [] {
                    Arena* empty = NewUnhookedArena();
                    void* p = LowLevelAlloc::Alloc(16);
                    HeaderOf(p)->arena = empty;
                    LowLevelAlloc::Free(p);
                  },
                  "Check arena->allocation_count > 0 failed: "
                  "nothing in arena to free"}),
    DeathCaseName);

// Requests whose size arithmetic would wrap: n + 32, its rounding to 32
// bytes, and the rounding of the mapping to 16 pages.
INSTANTIATE_TEST_SUITE_P(
    Overflow, LowLevelAllocDeathTest,
    testing::Values(
        DeathCase{"Max", [] { LowLevelAlloc::Alloc(SIZE_MAX); }, kOverflow},
        DeathCase{"HeaderAddition",
                  [] { LowLevelAlloc::Alloc(SIZE_MAX - 31); }, kOverflow},
        DeathCase{"RoundingToBlock",
                  [] { LowLevelAlloc::Alloc(SIZE_MAX - 40); }, kOverflow},
        DeathCase{"RoundingToMapping",
                  [] {
                    LowLevelAlloc::AllocWithArena(SIZE_MAX - 100,
                                                  NewUnhookedArena());
                  },
                  kOverflow}),
    DeathCaseName);

INSTANTIATE_TEST_SUITE_P(
    Arguments, LowLevelAllocDeathTest,
    testing::Values(
        DeathCase{"AllocWithNullArena",
                  [] { LowLevelAlloc::AllocWithArena(1, nullptr); },
                  "Check arena != 0 failed: must pass a valid arena"},
        DeathCase{"NewArenaWithNullMetadataArena",
                  [] { LowLevelAlloc::NewArena(0, nullptr); },
                  "Check meta_data_arena != 0 failed: must pass a valid arena"},
        DeathCase{"DeleteNullArena",
                  [] { LowLevelAlloc::DeleteArena(nullptr); }, kNoDelete},
        DeathCase{"DeleteDefaultArena",
                  [] {
                    LowLevelAlloc::DeleteArena(LowLevelAlloc::DefaultArena());
                  },
                  kNoDelete}),
    DeathCaseName);

// A free block scribbled on after it was freed: the next walk over it stops
// the process. Blocks a, b, c are adjacent; b is the lowest free block.
Header* FreedMiddleBlock(Arena* arena) {
  LowLevelAlloc::AllocWithArena(1, arena);
  void* b = LowLevelAlloc::AllocWithArena(1, arena);
  LowLevelAlloc::AllocWithArena(1, arena);
  LowLevelAlloc::Free(b);
  return HeaderOf(b);
}

INSTANTIATE_TEST_SUITE_P(
    Freelist, LowLevelAllocDeathTest,
    testing::Values(
        DeathCase{"FreeBlockMagic",
                  [] {
                    Arena* arena = NewUnhookedArena();
                    FreedMiddleBlock(arena)->magic = 0;
                    LowLevelAlloc::AllocWithArena(1, arena);
                  },
                  "Check next->header.magic == Magic(kMagicUnallocated, "
                  "&next->header) failed: bad magic number in Next()"},
        DeathCase{"FreeBlockArena",
                  [] {
                    Arena* arena = NewUnhookedArena();
                    FreedMiddleBlock(arena)->arena =
                        LowLevelAlloc::DefaultArena();
                    LowLevelAlloc::AllocWithArena(1, arena);
                  },
                  "Check next->header.arena == arena failed: "
                  "bad arena pointer in Next()"},
        DeathCase{"FreeBlockSize",
                  [] {
                    Arena* arena = NewUnhookedArena();
                    FreedMiddleBlock(arena)->size = 16 * PageSize();
                    LowLevelAlloc::SnapshotFreeList(arena, nullptr, 0);
                  },
                  "Check reinterpret_cast<char *>(prev) + prev->header.size "
                  "< reinterpret_cast<char *>(next) failed: malformed "
                  "freelist"},
        DeathCase{"EmptyArenaBlockMagic",
                  [] {
                    Arena* arena = NewUnhookedArena();
                    void* p = LowLevelAlloc::AllocWithArena(1, arena);
                    LowLevelAlloc::Free(p);
                    HeaderOf(p)->magic = 0;
                    LowLevelAlloc::DeleteArena(arena);
                  },
                  "Check region->header.magic == Magic(kMagicUnallocated, "
                  "&region->header) failed: bad magic number in "
                  "DeleteArena()"}),
    DeathCaseName);

}  // namespace
