#include "base/malloc_hook.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "base/malloc_extension.h"
#include "base/thread_annotations.h"
#include "gtest/gtest.h"

namespace {

using base::internal::HookList;

// Seven distinct hooks for the list tests.
template <int N>
void NumberedHook(const void *) {}
const MallocHook_DeleteHook kHooks[] = {
    &NumberedHook<0>, &NumberedHook<1>, &NumberedHook<2>, &NumberedHook<3>,
    &NumberedHook<4>, &NumberedHook<5>, &NumberedHook<6>, &NumberedHook<7>};

std::vector<MallocHook_DeleteHook> Contents(
    const HookList<MallocHook_DeleteHook> &list) {
  MallocHook_DeleteHook out[base::internal::kHookListMaxValues];
  int n = list.Traverse(out, base::internal::kHookListMaxValues);
  return std::vector<MallocHook_DeleteHook>(out, out + n);
}

TEST(HookListTest, SevenSlotsReusedInOrder) {
  HookList<MallocHook_DeleteHook> list = {0, {}};
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(list.Add(nullptr));
  for (int i = 0; i < 7; i++) EXPECT_TRUE(list.Add(kHooks[i])) << i;
  EXPECT_FALSE(list.Add(kHooks[7]));  // full
  EXPECT_EQ(list.priv_end, 7);

  EXPECT_TRUE(list.Remove(kHooks[2]));
  EXPECT_FALSE(list.Remove(kHooks[2]));  // no longer there
  EXPECT_FALSE(list.Remove(nullptr));
  EXPECT_EQ(list.priv_end, 7);
  EXPECT_TRUE(list.Add(kHooks[7]));  // takes the freed slot 2
  EXPECT_EQ(list.priv_data[2], kHooks[7]);
  EXPECT_EQ(list.GetSingular(), kHooks[0]);

  // Removing the top hook lowers end past the empty slots below it.
  for (int i : {3, 4, 5}) EXPECT_TRUE(list.Remove(kHooks[i]));
  EXPECT_EQ(list.priv_end, 7);
  EXPECT_TRUE(list.Remove(kHooks[6]));
  EXPECT_EQ(list.priv_end, 3);
  EXPECT_EQ(Contents(list), (std::vector<MallocHook_DeleteHook>{
                                kHooks[0], kHooks[1], kHooks[7]}));
  for (int i : {0, 1, 7}) EXPECT_TRUE(list.Remove(kHooks[i]));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.GetSingular(), nullptr);
}

// Readers run the hooks while writers add and remove them; every call must
// reach a live hook and removal must not lose other hooks.
std::atomic<int> race_calls[4];
template <int N>
void RaceHook(const void *) {
  race_calls[N]++;
}

TEST(HookListTest, ConcurrentInvokeAddAndRemove) {
  const MallocHook_DeleteHook hooks[] = {&RaceHook<0>, &RaceHook<1>,
                                         &RaceHook<2>, &RaceHook<3>};
  ASSERT_TRUE(MallocHook::AddDeleteHook(hooks[0]));  // stays throughout
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < 2; r++) {
    threads.emplace_back([&stop] {
      while (!stop) MallocHook::InvokeDeleteHook(nullptr);
    });
  }
  for (int w = 1; w < 4; w++) {
    threads.emplace_back([&hooks, w] {
      for (int i = 0; i < 2000; i++) {
        ASSERT_TRUE(MallocHook::AddDeleteHook(hooks[w]));
        ASSERT_TRUE(MallocHook::RemoveDeleteHook(hooks[w]));
      }
    });
  }
  for (int i = 2; i < 5; i++) threads[i].join();
  int before = race_calls[0];
  while (race_calls[0] < before + 100) std::this_thread::yield();
  stop = true;
  threads[0].join();
  threads[1].join();
  EXPECT_TRUE(MallocHook::RemoveDeleteHook(hooks[0]));
  EXPECT_TRUE(base::internal::delete_hooks_.empty());
}

// ---- The mapping entry points ----

// What one mapping call returned: success and errno on failure.
struct Outcome {
  bool failed;
  int error;
};

Outcome RunCall(const std::function<long()> &call) {
  errno = 0;
  long result = call();
  return {result == -1, result == -1 ? errno : 0};
}

TEST(MappingOverrideTest, ResultsAndErrnoMatchTheSystemCalls) {
  const long page = sysconf(_SC_PAGESIZE);
  const int prot = PROT_READ | PROT_WRITE;
  const int anon = MAP_PRIVATE | MAP_ANONYMOUS;
  auto as_long = [](void *p) { return reinterpret_cast<long>(p); };
  struct Case {
    const char *name;
    std::function<long()> ours, sys;
  };
  // A mapping each case may unmap or remap without disturbing the others.
  auto fresh = [&] {
    return syscall(SYS_mmap, nullptr, 4 * page, prot, anon, -1, 0);
  };
  const Case cases[] = {
      {"mmap anonymous",
       [&] { return as_long(mmap(nullptr, page, prot, anon, -1, 0)); },
       [&] { return syscall(SYS_mmap, nullptr, page, prot, anon, -1, 0); }},
      {"mmap64 anonymous",
       [&] { return as_long(mmap64(nullptr, page, prot, anon, -1, 0)); },
       [&] { return syscall(SYS_mmap, nullptr, page, prot, anon, -1, 0); }},
      {"mmap length 0",
       [&] { return as_long(mmap(nullptr, 0, prot, anon, -1, 0)); },
       [&] { return syscall(SYS_mmap, nullptr, 0, prot, anon, -1, 0); }},
      {"mmap bad descriptor",
       [&] {
         return as_long(mmap(nullptr, page, prot, MAP_PRIVATE, 12345, 0));
       },
       [&] {
         return syscall(SYS_mmap, nullptr, page, prot, MAP_PRIVATE, 12345, 0);
       }},
      {"mmap unaligned offset",
       [&] { return as_long(mmap(nullptr, page, prot, MAP_PRIVATE, 0, 1)); },
       [&] {
         return syscall(SYS_mmap, nullptr, page, prot, MAP_PRIVATE, 0, 1);
       }},
      {"mmap no sharing type",
       [&] { return as_long(mmap(nullptr, page, prot, MAP_ANONYMOUS, -1, 0)); },
       [&] {
         return syscall(SYS_mmap, nullptr, page, prot, MAP_ANONYMOUS, -1, 0);
       }},
      {"munmap mapped",
       [&] { return long{munmap(reinterpret_cast<void *>(fresh()), page)}; },
       [&] { return syscall(SYS_munmap, fresh(), page); }},
      {"munmap unaligned",
       [&] {
         return long{munmap(reinterpret_cast<void *>(fresh() + 1), page)};
       },
       [&] { return syscall(SYS_munmap, fresh() + 1, page); }},
      {"munmap length 0",
       [&] { return long{munmap(reinterpret_cast<void *>(fresh()), 0)}; },
       [&] { return syscall(SYS_munmap, fresh(), 0); }},
      {"mremap grow may move",
       [&] {
         return as_long(mremap(reinterpret_cast<void *>(fresh()), 4 * page,
                               64 * page, MREMAP_MAYMOVE));
       },
       [&] {
         return syscall(SYS_mremap, fresh(), 4 * page, 64 * page,
                        MREMAP_MAYMOVE, 0);
       }},
      {"mremap shrink",
       [&] {
         return as_long(
             mremap(reinterpret_cast<void *>(fresh()), 4 * page, page, 0));
       },
       [&] { return syscall(SYS_mremap, fresh(), 4 * page, page, 0, 0); }},
      {"mremap bad flags",
       [&] {
         return as_long(mremap(reinterpret_cast<void *>(fresh()), 4 * page,
                               8 * page, 0x80));
       },
       [&] {
         return syscall(SYS_mremap, fresh(), 4 * page, 8 * page, 0x80, 0);
       }},
      {"mremap fixed without may-move",
       [&] {
         return as_long(mremap(reinterpret_cast<void *>(fresh()), page, page,
                               MREMAP_FIXED,
                               reinterpret_cast<void *>(fresh())));
       },
       [&] {
         return syscall(SYS_mremap, fresh(), page, page, MREMAP_FIXED, fresh());
       }},
      {"mremap fixed",
       [&] {
         return as_long(mremap(reinterpret_cast<void *>(fresh()), page, page,
                               MREMAP_FIXED | MREMAP_MAYMOVE,
                               reinterpret_cast<void *>(fresh())));
       },
       [&] {
         return syscall(SYS_mremap, fresh(), page, page,
                        MREMAP_FIXED | MREMAP_MAYMOVE, fresh());
       }},
      {"mremap unaligned",
       [&] {
         return as_long(mremap(reinterpret_cast<void *>(fresh() + 8), page,
                               page, MREMAP_MAYMOVE));
       },
       [&] {
         return syscall(SYS_mremap, fresh() + 8, page, page, MREMAP_MAYMOVE, 0);
       }},
  };
  for (const Case &c : cases) {
    Outcome ours = RunCall(c.ours), sys = RunCall(c.sys);
    EXPECT_EQ(ours.failed, sys.failed) << c.name;
    EXPECT_EQ(ours.error, sys.error) << c.name;
  }
  // sbrk(0) reports the current break, as the kernel does.
  EXPECT_EQ(reinterpret_cast<long>(sbrk(0)), syscall(SYS_brk, 0));
}

// Records the arguments the mapping hooks see.
struct MappingEvents {
  std::vector<std::vector<long>> premmap, mmap, munmap, mremap, presbrk, sbrk;
};
MappingEvents *events;

TEST(MappingOverrideTest, HooksSeeEveryCallWithItsArguments) {
  MappingEvents seen;
  events = &seen;
  auto L = [](const void *p) { return reinterpret_cast<long>(p); };
  MallocHook::PreMmapHook premmap = [](const void *start, size_t size, int prot,
                                       int flags, int fd, off_t offset) {
    events->premmap.push_back({reinterpret_cast<long>(start), long(size), prot,
                               flags, fd, long(offset)});
  };
  MallocHook::MmapHook mmap_hook = [](const void *result, const void *start,
                                      size_t size, int prot, int flags, int fd,
                                      off_t offset) {
    events->mmap.push_back({reinterpret_cast<long>(result),
                            reinterpret_cast<long>(start), long(size), prot,
                            flags, fd, long(offset)});
  };
  MallocHook::MunmapHook munmap_hook = [](const void *p, size_t size) {
    events->munmap.push_back({reinterpret_cast<long>(p), long(size)});
  };
  MallocHook::MremapHook mremap_hook =
      [](const void *result, const void *old_addr, size_t old_size,
         size_t new_size, int flags, const void *new_addr) {
        events->mremap.push_back({reinterpret_cast<long>(result),
                                  reinterpret_cast<long>(old_addr),
                                  long(old_size), long(new_size), flags,
                                  reinterpret_cast<long>(new_addr)});
      };
  MallocHook::PreSbrkHook presbrk = [](ptrdiff_t increment) {
    events->presbrk.push_back({long(increment)});
  };
  MallocHook::SbrkHook sbrk_hook = [](const void *result, ptrdiff_t increment) {
    events->sbrk.push_back({reinterpret_cast<long>(result), long(increment)});
  };
  ASSERT_TRUE(MallocHook::AddPreMmapHook(premmap));
  ASSERT_TRUE(MallocHook::AddMmapHook(mmap_hook));
  ASSERT_TRUE(MallocHook::AddMunmapHook(munmap_hook));
  ASSERT_TRUE(MallocHook::AddMremapHook(mremap_hook));
  ASSERT_TRUE(MallocHook::AddPreSbrkHook(presbrk));
  ASSERT_TRUE(MallocHook::AddSbrkHook(sbrk_hook));

  const int prot = PROT_READ | PROT_WRITE, flags = MAP_PRIVATE | MAP_ANONYMOUS;
  void *p = mmap(nullptr, 8192, prot, flags, -1, 0);
  void *failed = mmap(nullptr, 0, prot, flags, -1, 0);
  void *q = mremap(p, 8192, 16384, MREMAP_MAYMOVE);
  munmap(q, 16384);
  void *brk0 = sbrk(0);  // no hooks for a zero increment
  void *brk1 = sbrk(4096);
  sbrk(-4096);

  EXPECT_EQ(seen.premmap,
            (std::vector<std::vector<long>>{{0, 8192, prot, flags, -1, 0},
                                            {0, 0, prot, flags, -1, 0}}));
  EXPECT_EQ(seen.mmap, (std::vector<std::vector<long>>{
                           {L(p), 0, 8192, prot, flags, -1, 0},
                           {L(failed), 0, 0, prot, flags, -1, 0}}));
  EXPECT_EQ(L(failed), -1);  // hooks see failures too
  EXPECT_EQ(seen.mremap, (std::vector<std::vector<long>>{
                             {L(q), L(p), 8192, 16384, MREMAP_MAYMOVE, 0}}));
  EXPECT_EQ(seen.munmap, (std::vector<std::vector<long>>{{L(q), 16384}}));
  EXPECT_EQ(seen.presbrk, (std::vector<std::vector<long>>{{4096}, {-4096}}));
  EXPECT_EQ(seen.sbrk, (std::vector<std::vector<long>>{
                           {L(brk1), 4096}, {L(brk1) + 4096, -4096}}));
  EXPECT_EQ(brk0, brk1);

  EXPECT_TRUE(MallocHook::RemovePreMmapHook(premmap));
  EXPECT_TRUE(MallocHook::RemoveMmapHook(mmap_hook));
  EXPECT_TRUE(MallocHook::RemoveMunmapHook(munmap_hook));
  EXPECT_TRUE(MallocHook::RemoveMremapHook(mremap_hook));
  EXPECT_TRUE(MallocHook::RemovePreSbrkHook(presbrk));
  EXPECT_TRUE(MallocHook::RemoveSbrkHook(sbrk_hook));
  events = nullptr;
}

// A munmap replacement that claims every call and reports 42.
int ClaimingMunmap(const void *, size_t, int *result) {
  *result = 42;
  return 1;
}
// A replacement that declines, so the system call still happens.
int DecliningMmap(const void *, size_t, int, int, int, off_t, void **) {
  return 0;
}

TEST(MappingOverrideTest, ReplacementsTakeOverOrDecline) {
  ASSERT_TRUE(MallocHook_SetMunmapReplacement(&ClaimingMunmap));
  EXPECT_EQ(munmap(reinterpret_cast<void *>(4096), 4096), 42);
  EXPECT_EQ(MallocHook::UnhookedMUnmap(reinterpret_cast<void *>(4096), 4096),
            42);
  ASSERT_TRUE(MallocHook_RemoveMunmapReplacement(&ClaimingMunmap));

  ASSERT_TRUE(MallocHook_SetMmapReplacement(&DecliningMmap));
  void *p = MallocHook::UnhookedMMap(nullptr, 4096, PROT_READ,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(p, MAP_FAILED);
  EXPECT_EQ(MallocHook::UnhookedMUnmap(p, 4096), 0);
  ASSERT_TRUE(MallocHook_RemoveMmapReplacement(&DecliningMmap));
}

TEST(MappingOverrideDeathTest, OnlyOneReplacementEach) {
  EXPECT_DEATH(
      {
        MallocHook_SetMunmapReplacement(&ClaimingMunmap);
        MallocHook_SetMunmapReplacement(&ClaimingMunmap);
      },
      "RAW: Check munmap_replacement_.empty\\(\\) failed: Only one "
      "MunmapReplacement is allowed\\.");
  EXPECT_DEATH(
      {
        MallocHook_SetMmapReplacement(&DecliningMmap);
        MallocHook_SetMmapReplacement(&DecliningMmap);
      },
      "RAW: Check mmap_replacement_.empty\\(\\) failed: Only one "
      "MMapReplacement is allowed\\.");
}

TEST(CallerStackTraceTest, EmptyWithoutAHookedFrame) {
  void *stack[10];
  testing::internal::CaptureStderr();
  EXPECT_EQ(MallocHook_GetCallerStackTrace(stack, 10), 0);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Hooked allocator frame not found, returning empty "
                     "trace"),
            std::string::npos)
      << log;
}

// The caller seen from inside an mmap hook is the function that called
// mmap: its first frame is a return address inside MapOnePage.
void *caller_frames[8];
int caller_depth = 0;
void RecordCaller(const void *, const void *, size_t, int, int, int, off_t) {
  caller_depth = MallocHook_GetCallerStackTrace(caller_frames, 8);
}
__attribute__((noinline)) void *MapOnePage() {
  void *p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  __asm__ volatile("" ::: "memory");  // keep the call out of tail position
  return p;
}

TEST(CallerStackTraceTest, StartsAtTheCallerOfTheHookedFunction) {
#ifdef TAVRO_TSAN
  GTEST_SKIP() << "ThreadSanitizer's own mmap stands between caller and hook";
#endif
  ASSERT_TRUE(MallocHook::AddMmapHook(&RecordCaller));
  void *p = MapOnePage();
  ASSERT_TRUE(MallocHook::RemoveMmapHook(&RecordCaller));
  munmap(p, 4096);
  ASSERT_GE(caller_depth, 2);
  const char *first = static_cast<const char *>(caller_frames[0]);
  EXPECT_GT(first, reinterpret_cast<const char *>(&MapOnePage));
  // (Sanitizer builds make the function larger.)
  EXPECT_LT(first, reinterpret_cast<const char *>(&MapOnePage) + 1024);
}

TEST(MallocExtensionTest, DefaultInstanceKnowsNothing) {
  EXPECT_EQ(MallocExtension_GetOwnership(&caller_depth), 0);
  EXPECT_EQ(MallocExtension_GetEstimatedAllocatedSize(100), 100u);
  EXPECT_EQ(MallocExtension_VerifyAllMemory(), 1);
  EXPECT_EQ(MallocExtension::instance()->GetMemoryReleaseRate(), -1.0);
  int blocks = 7, histogram[64];
  size_t total = 7;
  histogram[10] = 3;
  EXPECT_TRUE(MallocExtension_MallocMemoryStats(&blocks, &total, histogram));
  EXPECT_EQ(blocks, 0);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(histogram[10], 0);
  size_t value;
  EXPECT_EQ(MallocExtension_GetNumericProperty("generic.heap_size", &value), 0);
  char stats[8] = "garbage";
  MallocExtension_GetStats(stats, sizeof stats);
  EXPECT_STREQ(stats, "");

  struct StringWriter : MallocExtensionWriter {
    void append(const char *data, int n) override { text.append(data, n); }
    std::string text;
  } writer;
  MallocExtension::instance()->GetHeapGrowthStacks(&writer);
  EXPECT_EQ(writer.text.rfind("growthz profiles not supported by this malloc "
                              "implementation.\n",
                              0),
            0u);
}

// An allocator's extension that hands out a two-entry profile.
class ProfilingExtension : public MallocExtension {
 public:
  class Profile : public MallocExtensionProfile {
   public:
    int64 TotalCount() const override { return 3; }
    int64 TotalBytes() const override { return 300; }
    const char *Description() const override { return "heap_v2/524288"; }
    int NumEntries() const override { return 2; }
    Entry GetEntry(int i) const override {
      static void *const stack[] = {reinterpret_cast<void *>(0x1234),
                                    reinterpret_cast<void *>(0x5678)};
      return i == 0 ? Entry{2, 256, 2, stack} : Entry{1, 44, 1, stack + 1};
    }
  };
  MallocExtensionProfile *ReadProfile(ProfileKind kind) override {
    return kind == kHeapProfile ? new Profile : nullptr;
  }
};

TEST(MallocExtensionTest, HeapSampleFormat) {
  ProfilingExtension extension;
  struct StringWriter : MallocExtensionWriter {
    void append(const char *data, int n) override { text.append(data, n); }
    std::string text;
  } writer;
  extension.GetHeapSample(&writer);
  EXPECT_EQ(writer.text.substr(0, writer.text.find("--- Memory map: ---\n")),
            "heap profile:      3:      300 [     3:      300] @ "
            "heap_v2/524288\n"
            "     2:      256 [     2:      256] @ 0x1234 0x5678\n"
            "     1:       44 [     1:       44] @ 0x5678\n");
  // The map lists executable mappings only, this program among them.
  EXPECT_NE(writer.text.find("r-xp"), std::string::npos);
}

}  // namespace

namespace {

int premmap_calls = 0;
void CountPreMmap(const void *, size_t, int, int, int, off_t) {
  premmap_calls++;
}

// In a fresh process the first mapping call removes the initial hooks; a
// hook added before it sees that first call exactly once.
TEST(InitialHooksDeathTest, FirstEventReachesEarlierHooksOnce) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";  // a fresh process
  EXPECT_EXIT(
      {
        // The list starts with the initial hook until the first event.
        bool fresh = base::internal::premmap_hooks_.priv_end == 1 &&
                     base::internal::new_hooks_.priv_end == 1;
        MallocHook::AddPreMmapHook(&CountPreMmap);
        void *p =
            mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        munmap(p, 4096);
        bool initial_gone = base::internal::new_hooks_.empty();
        fprintf(stderr, "fresh=%d calls=%d initial_gone=%d\n", fresh,
                premmap_calls, initial_gone);
        _exit(premmap_calls == 1 && initial_gone ? 0 : 1);
      },
      testing::ExitedWithCode(0), "fresh=1 calls=1 initial_gone=1");
}

}  // namespace
