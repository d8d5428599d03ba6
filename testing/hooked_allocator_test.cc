// The test allocator runs the hooks like a production allocator, and the
// caller stacks seen from its hooks start at the code that allocated.
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/malloc_hook.h"
#include "gtest/gtest.h"

namespace {

// What the hooks saw while a test was recording.
struct Recorded {
  std::vector<std::pair<const void *, size_t>> news;
  std::vector<const void *> deletes;
};
thread_local Recorded *recording = nullptr;

void RecordNew(const void *p, size_t size) {
  if (recording != nullptr) recording->news.push_back({p, size});
}
void RecordDelete(const void *p) {
  if (recording != nullptr) recording->deletes.push_back(p);
}

class HookedAllocatorTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MallocHook::AddNewHook(&RecordNew));
    ASSERT_TRUE(MallocHook::AddDeleteHook(&RecordDelete));
  }
  void TearDown() override {
    recording = nullptr;
    EXPECT_TRUE(MallocHook::RemoveNewHook(&RecordNew));
    EXPECT_TRUE(MallocHook::RemoveDeleteHook(&RecordDelete));
  }
  // Runs allocate() and release(p) with recording on; the vectors the
  // recording itself grows are reserved first, so they never reallocate.
  Recorded Record(const std::function<void *()> &allocate,
                  const std::function<void(void *)> &release, void **out) {
    Recorded r;
    r.news.reserve(16);
    r.deletes.reserve(16);
    recording = &r;
    void *p = allocate();
    release(p);
    recording = nullptr;
    *out = p;
    return r;
  }
};

TEST_F(HookedAllocatorTest, EveryEntryPointRunsTheHooks) {
  struct Case {
    const char *name;
    std::function<void *()> allocate;
    std::function<void(void *)> release;
    size_t size;       // what the new hook must report
    size_t alignment;  // of the pointer
  };
  const Case cases[] = {
      {"malloc", [] { return malloc(100); }, [](void *p) { free(p); }, 100, 32},
      {"calloc", [] { return calloc(10, 12); }, [](void *p) { free(p); }, 120,
       32},
      {"memalign", [] { return memalign(256, 40); }, [](void *p) { free(p); },
       40, 256},
      {"aligned_alloc", [] { return aligned_alloc(64, 128); },
       [](void *p) { free(p); }, 128, 64},
      {"posix_memalign",
       [] {
         void *p = nullptr;
         EXPECT_EQ(posix_memalign(&p, 4096, 10), 0);
         return p;
       },
       [](void *p) { free(p); }, 10, 4096},
      {"valloc", [] { return valloc(1); }, [](void *p) { free(p); }, 1, 4096},
      {"new", [] { return static_cast<void *>(new char[7]); },
       [](void *p) { delete[] static_cast<char *>(p); }, 7, 32},
      {"new nothrow", [] { return operator new(9, std::nothrow); },
       [](void *p) { operator delete(p, std::nothrow); }, 9, 32},
      {"aligned new", [] { return operator new (24, std::align_val_t{512}); },
       [](void *p) { operator delete (p, 24, std::align_val_t{512}); }, 24,
       512},
      {"sized delete", [] { return operator new(33); },
       [](void *p) { operator delete(p, 33); }, 33, 32},
  };
  for (const Case &c : cases) {
    void *p;
    Recorded r = Record(c.allocate, c.release, &p);
    ASSERT_EQ(r.news.size(), 1u) << c.name;
    EXPECT_EQ(r.news[0].first, p) << c.name;
    EXPECT_EQ(r.news[0].second, c.size) << c.name;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u) << c.name;
    EXPECT_EQ(r.deletes, std::vector<const void *>{p}) << c.name;
  }
}

TEST_F(HookedAllocatorTest, ReallocKeepsContentsAndReportsBothEvents) {
  char *p = static_cast<char *>(malloc(10));
  memcpy(p, "0123456789", 10);
  const uintptr_t old_address = reinterpret_cast<uintptr_t>(p);
  void *q;
  // (Through std::function: the compiler may not move the recording switch
  // across a call it knows to be realloc.)
  Recorded r = Record([p] { return realloc(p, 1000); }, [](void *) {}, &q);
  EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
  EXPECT_EQ(malloc_usable_size(q), 1000u);
  ASSERT_EQ(r.news.size(), 1u);
  EXPECT_EQ(r.news[0], (std::pair<const void *, size_t>{q, 1000}));
  ASSERT_EQ(r.deletes.size(), 1u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(r.deletes[0]), old_address);
  free(q);
}

TEST(HookedAllocatorLimitsTest, RefusesAbsurdRequests) {
  volatile size_t huge = SIZE_MAX - 8;  // (hidden from compile-time checks)
  errno = 0;
  EXPECT_EQ(malloc(huge), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(calloc(huge / 2, 4), nullptr);
  EXPECT_EQ(memalign(48, 16), nullptr);  // not a power of two
  void *p;
  EXPECT_EQ(posix_memalign(&p, 4, 16), EINVAL);
  EXPECT_THROW(static_cast<void>(operator new(huge)), std::bad_alloc);
}

TEST(HookedAllocatorThreadsTest, ThreadsAllocateAndFreeConcurrently) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([t] {
      std::vector<std::string> strings;
      for (int i = 0; i < 20000; i++) {
        strings.push_back(std::string(16 + (i * 7 + t) % 300, 'a' + t));
        if (strings.size() > 100) strings.erase(strings.begin());
      }
      for (const std::string &s : strings) {
        ASSERT_EQ(s.find_first_not_of(static_cast<char>('a' + t)),
                  std::string::npos);
      }
    });
  }
  for (auto &t : threads) t.join();
}

// ---- Caller stacks seen from a new hook ----

void *caller_stack[8];
int caller_depth = -1;
void CaptureCaller(const void *, size_t) {
  if (caller_depth < 0) {
    caller_depth = MallocHook_GetCallerStackTrace(caller_stack, 8);
  }
}

__attribute__((noinline)) void *NewFromHere() {
  void *p = operator new(48);
  __asm__ volatile("" ::: "memory");
  return p;
}
__attribute__((noinline)) void *MallocFromHere() {
  void *p = malloc(48);
  __asm__ volatile("" ::: "memory");
  return p;
}

TEST(CallerStackTest, StartsAtTheCodeThatAllocated) {
  struct Case {
    const char *name;
    void *(*allocate)();
  };
  // Operator new calls malloc: all the allocator's frames are cut, not
  // just the first.
  const Case cases[] = {{"malloc", &MallocFromHere}, {"new", &NewFromHere}};
  for (const Case &c : cases) {
    caller_depth = -1;
    ASSERT_TRUE(MallocHook::AddNewHook(&CaptureCaller));
    void *p = c.allocate();
    ASSERT_TRUE(MallocHook::RemoveNewHook(&CaptureCaller));
    free(p);
    ASSERT_GE(caller_depth, 2) << c.name;
    const char *first = static_cast<const char *>(caller_stack[0]);
    const char *function = reinterpret_cast<const char *>(c.allocate);
    EXPECT_GT(first, function) << c.name;
    EXPECT_LT(first, function + 1024) << c.name;
  }
}

}  // namespace
