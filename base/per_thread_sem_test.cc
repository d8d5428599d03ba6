#include "base/per_thread_sem.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/malloc_extension.h"
#include "base/per_thread.h"
#include "base/synchronization_internal_sem.h"
#include "base/thread_identity.h"
#include "gtest/gtest.h"
#include "testing/thread_stress.h"

namespace {

using base::internal::PerThreadSem;
using base::subtle::CurrentThreadIdentity;
using base::subtle::GetCurrentThreadIdentity;
using base::subtle::ThreadIdentity;
using testing_threads::Placement;
using testing_threads::RunThreads;

// An absolute CLOCK_REALTIME deadline `ms` from now (negative: past).
struct timespec DeadlineIn(int ms) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  int64_t ns = (now.tv_sec * 1000000LL + now.tv_usec) * 1000 + ms * 1000000LL;
  struct timespec t;
  t.tv_sec = ns / 1000000000;
  t.tv_nsec = ns % 1000000000;
  return t;
}

TEST(ThreadIdentityTest, CreatedOnRequestAndReusedAfterThreadExit) {
  ThreadIdentity *first = nullptr;
  std::thread([&first] {
    EXPECT_EQ(GetCurrentThreadIdentity(), nullptr);
    first = CurrentThreadIdentity(true);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CurrentThreadIdentity(false), first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % alignof(ThreadIdentity), 0u);
  }).join();
  // The exited thread's record is handed to the next thread, zeroed.
  std::thread([first] {
    ThreadIdentity *second = CurrentThreadIdentity(true);
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->per_thread_sem.count, 0);
    EXPECT_EQ(second->scheduler_state.association, nullptr);
  }).join();
}

TEST(PerThreadSemTest, PostsAreCountedAndDeadlinesHonoured) {
  std::thread([] {
    ThreadIdentity *self = CurrentThreadIdentity(true);
    struct timespec past = DeadlineIn(-1000);
    // A past deadline with nothing posted gives up without sleeping.
    EXPECT_FALSE(PerThreadSem::Wait(&past));
    // Posts made before the waits are remembered, even with a past
    // deadline.
    PerThreadSem::Post(self);
    PerThreadSem::Post(self);
    EXPECT_TRUE(PerThreadSem::Wait(&past));
    EXPECT_TRUE(PerThreadSem::Wait(nullptr));
    EXPECT_FALSE(PerThreadSem::Wait(&past));
    // A near deadline expires.
    struct timespec soon = DeadlineIn(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PerThreadSem::Wait(&soon));
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(25));
    EXPECT_EQ(self->per_thread_sem.count, 0);
    EXPECT_EQ(self->per_thread_sem.wait_start, 0);
  }).join();
}

TEST(PerThreadSemTest, BlockedCounterCountsSleepingWaiters) {
  volatile Atomic32 blocked = 0;
  std::atomic<ThreadIdentity *> waiter_identity{nullptr};
  std::thread waiter([&] {
    PerThreadSem::SetThreadBlockedCounter(&blocked);
    EXPECT_EQ(PerThreadSem::GetThreadBlockedCounter(), &blocked);
    waiter_identity = CurrentThreadIdentity(true);
    EXPECT_TRUE(PerThreadSem::Wait(nullptr));
  });
  while (__atomic_load_n(&blocked, __ATOMIC_ACQUIRE) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PerThreadSem::Post(waiter_identity);
  waiter.join();
  EXPECT_EQ(blocked, 0);
}

// Counts the idleness notices the semaphore sends to the allocator.
class CountingMallocExtension : public MallocExtension {
 public:
  void MarkThreadIdle() override { idle++; }
  void MarkThreadBusy() override { busy++; }
  std::atomic<int> idle{0}, busy{0};
};

TEST(PerThreadSemTest, ThreadBlockedPastSixtyTicksIsIdleOnce) {
  MallocExtension *previous = MallocExtension::instance();
  static CountingMallocExtension counting;
  MallocExtension::Register(&counting);

  std::atomic<ThreadIdentity *> waiter_identity{nullptr};
  std::thread waiter([&] {
    waiter_identity = CurrentThreadIdentity(true);
    EXPECT_TRUE(PerThreadSem::Wait(nullptr));
  });
  while (waiter_identity == nullptr ||
         __atomic_load_n(&waiter_identity.load()->per_thread_sem.wait_start,
                         __ATOMIC_ACQUIRE) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ThreadIdentity *identity = waiter_identity;
  for (int i = 0; i < 200; i++) {
    PerThreadSem::Tick(identity);
    if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The waiter marks itself idle once it sees more than 60 ticks.
  while (__atomic_load_n(&identity->per_thread_sem.is_idle, __ATOMIC_ACQUIRE) ==
         0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PerThreadSem::Post(identity);
  waiter.join();
  EXPECT_EQ(counting.idle, 1);
  EXPECT_EQ(counting.busy, 1);
  MallocExtension::Register(previous);
}

class PerThreadSemStressTest : public testing::TestWithParam<Placement> {};

// Threads pass a token around a ring; every hand-off is a post to the next
// thread's semaphore. A lost wake-up stalls the ring (and the test's
// timeout fails it).
TEST_P(PerThreadSemStressTest, TokenRing) {
  constexpr int kThreads = 6, kRounds = 3000;
  std::vector<std::atomic<ThreadIdentity *>> identities(kThreads);
  std::atomic<int> ready{0};
  std::atomic<int> token{0};
  RunThreads(kThreads, GetParam(), [&](int i) {
    identities[i] = CurrentThreadIdentity(true);
    ready++;
    while (ready < kThreads) std::this_thread::yield();
    for (int round = 0; round < kRounds; round++) {
      if (i != 0 || round != 0) {
        ASSERT_TRUE(PerThreadSem::Wait(nullptr));
      }
      ASSERT_EQ(token.load() % kThreads, i);
      token++;
      if (!(i == kThreads - 1 && round == kRounds - 1)) {
        PerThreadSem::Post(identities[(i + 1) % kThreads]);
      }
    }
  });
  EXPECT_EQ(token, kThreads * kRounds);
}

INSTANTIATE_TEST_SUITE_P(Placements, PerThreadSemStressTest,
                         testing::ValuesIn(testing_threads::kPlacements),
                         [](const testing::TestParamInfo<Placement> &info) {
                           return testing_threads::PlacementName(info.param);
                         });

TEST(SynchronizationInternalSemTest, PostWaitAndDeadline) {
  SynchronizationInternalSem sem;
  struct timespec past = DeadlineIn(-10);
  EXPECT_FALSE(sem.Wait(&past));
  sem.Post();
  EXPECT_TRUE(sem.Wait(&past));
  std::thread poster([&sem] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sem.Post();
  });
  struct timespec later = DeadlineIn(10000);
  EXPECT_TRUE(sem.Wait(&later));
  poster.join();

  volatile Atomic32 counter = 0;
  SynchronizationInternalSem::SetThreadBlockedCounter(&counter);
  EXPECT_EQ(SynchronizationInternalSem::GetThreadBlockedCounter(), &counter);
  EXPECT_EQ(PerThreadSem::GetThreadBlockedCounter(), &counter);
  SynchronizationInternalSem::SetThreadBlockedCounter(nullptr);
  PerThreadSem::SetThreadBlockedCounter(nullptr);
}

// ---- PerThread slots ----

std::atomic<int> destroyed_sum{0};
void AddToDestroyedSum(void *value) {
  destroyed_sum += static_cast<int>(reinterpret_cast<intptr_t>(value));
}

TEST(PerThreadTest, SlotsArePerThreadAndDestroyedAtExit) {
  static int key = PerThread::kInvalid;
  PerThread::Allocate(&key, AddToDestroyedSum);
  int first_key = key;
  EXPECT_GT(key, 0);
  EXPECT_EQ(key % 8, 0);
  PerThread::Allocate(&key, AddToDestroyedSum);  // already allocated
  EXPECT_EQ(key, first_key);

  destroyed_sum = 0;
  RunThreads(4, Placement::kAnyCpu, [](int i) {
    EXPECT_EQ(PerThread::GetData(key), nullptr);
    *PerThread::Data(key) = reinterpret_cast<void *>(intptr_t{i + 1});
    EXPECT_EQ(PerThread::GetData(key),
              reinterpret_cast<void *>(intptr_t{i + 1}));
  });
  EXPECT_EQ(destroyed_sum, 1 + 2 + 3 + 4);
}

TEST(PerThreadDeathTest, DataBeforeAllocateAborts) {
  EXPECT_DEATH(PerThread::Data(PerThread::kInvalid),
               "per_thread:147\\] RAW: Check data_key != kInvalid failed: "
               "Allocate\\(\\) must be called before Data\\(\\)");
}

TEST(PerThreadDeathTest, SixtyThreeKeysFitTheSixtyFourthAborts) {
  EXPECT_DEATH(
      {
        static int keys[64];
        int allocated = 0;
        // Some keys may already be taken by the runtime itself.
        for (int i = 0; i < 64; i++) {
          PerThread::Allocate(&keys[i], nullptr);
          allocated++;
          if (keys[i] == 63 * 8) {
            fprintf(stderr, "last slot reached\n");
          }
        }
      },
      "last slot reached\n.*per_thread:114\\] RAW: Check next_free_key < "
      "kPerThreadSlots failed: too many PerThread keys in use");
}

}  // namespace
