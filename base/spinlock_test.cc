#include "base/spinlock.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/auxiliary/atomicops-internals-x86.h"
#include "base/once.h"
#include "base/spinlock_wait.h"
#include "gtest/gtest.h"
#include "testing/thread_stress.h"

namespace {

using base::scheduling::SCHEDULE_COOPERATIVE_AND_KERNEL;
using base::scheduling::SCHEDULE_KERNEL_ONLY;
using testing_threads::Placement;
using testing_threads::RunThreads;

// The lock word, read the way the lock itself reads it.
uint32_t LockWord(const SpinLock &lock) {
  static_assert(sizeof(SpinLock) == sizeof(int32_t), "one word");
  return static_cast<uint32_t>(__atomic_load_n(
      reinterpret_cast<const int32_t *>(&lock), __ATOMIC_RELAXED));
}

// A lock used by a static initializer that runs before the lock's own
// (empty) constructor: zero storage must already be a free lock.
extern SpinLock early_lock;
int early_value = 0;
struct EarlyUser {
  EarlyUser() {
    SpinLockHolder h(&early_lock);
    early_value = 1;
  }
} early_user;
SpinLock early_lock(base::LINKER_INITIALIZED);

TEST(SpinLockTest, LinkerInitializedLockWorksBeforeItsConstructor) {
  EXPECT_EQ(early_value, 1);
  EXPECT_FALSE(early_lock.IsHeld());
  EXPECT_EQ(LockWord(early_lock), 0u);
}

TEST(SpinLockTest, ConstructorsSetTheCooperativeBit) {
  SpinLock cooperative;
  SpinLock kernel_only(SCHEDULE_KERNEL_ONLY);
  SpinLock explicit_cooperative(SCHEDULE_COOPERATIVE_AND_KERNEL);
  EXPECT_EQ(LockWord(cooperative), SpinLock::kCooperative);
  EXPECT_EQ(LockWord(kernel_only), 0u);
  EXPECT_EQ(LockWord(explicit_cooperative), SpinLock::kCooperative);

  static SpinLock static_cooperative(base::LINKER_INITIALIZED,
                                     SCHEDULE_COOPERATIVE_AND_KERNEL);
  EXPECT_EQ(LockWord(static_cooperative), SpinLock::kCooperative);
}

TEST(SpinLockTest, UnlockKeepsOnlyTheCooperativeBit) {
  for (auto mode : {SCHEDULE_KERNEL_ONLY, SCHEDULE_COOPERATIVE_AND_KERNEL}) {
    SpinLock lock(mode);
    uint32_t free_word = LockWord(lock);
    lock.Lock();
    EXPECT_TRUE(lock.IsHeld());
    EXPECT_EQ(LockWord(lock), free_word | SpinLock::kHeld);
    EXPECT_FALSE(lock.TryLock());
    lock.Unlock();
    EXPECT_FALSE(lock.IsHeld());
    EXPECT_EQ(LockWord(lock), free_word);
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
  }
}

TEST(SpinLockTest, WaitTimeEncoding) {
  struct Case {
    int64_t start, end;
    uint32_t field;
  };
  const Case cases[] = {
      {0, 0, 0},
      {0, 127, 0},  // under 128 ticks: no wait recorded, no wake at unlock
      {0, 128, 8},
      {1000, 1000 + 129 * 128, 129 << 3},
      {0, int64_t{0x1FFFFFFF} * 128, 0xFFFFFFF8u},
      {0, int64_t{1} << 62, 0xFFFFFFF8u},  // saturates
      {500, 100, 0},  // a clock read behind the start is no wait
  };
  for (const Case &c : cases) {
    EXPECT_EQ(SpinLock::EncodeWaitCycles(c.start, c.end), c.field)
        << c.start << ".." << c.end;
  }
  EXPECT_EQ(SpinLock::DecodeWaitCycles(0xFFFFFFF8u | SpinLock::kHeld),
            int64_t{0xFFFFFFF8} * 16);
  EXPECT_GT(SpinLock::DecodeWaitCycles(0xFFFFFFF8u), 0);
  EXPECT_EQ(SpinLock::DecodeWaitCycles(129 << 3), 129 * 128);
}

TEST(SpinLockDelayTest, DelaysStayInTheirRanges) {
  struct Case {
    int loop;
    int bits;  // delays are below 2^bits units of 16 ns
  };
  const Case cases[] = {{1, 20},  {7, 20},    {8, 21},  {15, 21},
                        {16, 22}, {23, 22},   {24, 23}, {31, 23},
                        {32, 24}, {1000, 24}, {-1, 24}};
  for (const Case &c : cases) {
    int largest = 0;
    for (int i = 0; i < 2000; i++) {
      int d = base::subtle::SuggestedDelayNS(c.loop);
      ASSERT_GE(d, 0);
      ASSERT_LT(d, 1 << c.bits) << "loop " << c.loop;
      largest = std::max(largest, d);
    }
    // Spread over the whole range, not stuck near zero.
    EXPECT_GT(largest, 1 << (c.bits - 1)) << "loop " << c.loop;
  }
}

TEST(SpinLockDelayTest, ReturnsAtOnceAndKeepsErrno) {
  Atomic32 word = 5;
  auto start = std::chrono::steady_clock::now();
  // Loop 0 never sleeps, even when the word still holds the value.
  for (int i = 0; i < 1000; i++) {
    base::subtle::SpinLockDelay(&word, 5, 0, SCHEDULE_KERNEL_ONLY);
  }
  // A changed word makes the futex return at once.
  errno = 1234;
  base::subtle::SpinLockDelay(&word, 6, 32, SCHEDULE_KERNEL_ONLY);
  EXPECT_EQ(errno, 1234);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(SpinLockWaitTest, RunsTheTableUntilADoneRow) {
  const base::subtle::SpinLockWaitTransition table[] = {
      {1, 2, false},
      {2, 3, false},
      {3, 3, true},
  };
  Atomic32 word = 1;
  EXPECT_EQ(base::subtle::SpinLockWait(&word, 3, table, SCHEDULE_KERNEL_ONLY),
            3);
  EXPECT_EQ(word, 3);

  // No row matches 9: the waiter sleeps until another thread moves it on.
  word = 9;
  std::thread mover([&word] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    __atomic_store_n(&word, 1, __ATOMIC_RELEASE);
    base::subtle::SpinLockWake(&word, true);
  });
  EXPECT_EQ(base::subtle::SpinLockWait(&word, 3, table, SCHEDULE_KERNEL_ONLY),
            3);
  mover.join();
}

TEST(SpinLockTest, ContendedWaiterRecordsItsWaitAndIsWoken) {
  SpinLock lock(SCHEDULE_KERNEL_ONLY);
  lock.Lock();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Lock();
    acquired = true;
    // It waited far more than 128 ticks: its wait is in the word, so its
    // own unlock will wake any later sleeper.
    EXPECT_GT(LockWord(lock) & SpinLock::kWaitMask, 0u);
    lock.Unlock();
  });
  // Wait until the waiter has marked itself as sleeping.
  while ((LockWord(lock) & SpinLock::kWaitMask) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(LockWord(lock) & SpinLock::kWaitMask, SpinLock::kSleeper);
  lock.Unlock();
  waiter.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(LockWord(lock), 0u);
}

class SpinLockStressTest : public testing::TestWithParam<Placement> {};

TEST_P(SpinLockStressTest, CounterUnderTheLock) {
  for (auto mode : {SCHEDULE_KERNEL_ONLY, SCHEDULE_COOPERATIVE_AND_KERNEL}) {
    SpinLock lock(mode);
    // Two words that must always agree while the lock is free.
    int64_t a = 0, b = 0;
    constexpr int kThreads = 8, kIterations = 100000;
    RunThreads(kThreads, GetParam(), [&](int i) {
      for (int n = 0; n < kIterations; n++) {
        if (n % 4 == 0 && lock.TryLock()) {
          ASSERT_EQ(a, b);
          a++;
          b++;
          lock.Unlock();
          continue;
        }
        SpinLockHolder h(&lock);
        ASSERT_EQ(a, b);
        a++;
        b++;
      }
    });
    EXPECT_EQ(a, kThreads * kIterations);
    EXPECT_EQ(b, a);
    EXPECT_EQ(LockWord(lock) & ~SpinLock::kCooperative, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, SpinLockStressTest,
                         testing::ValuesIn(testing_threads::kPlacements),
                         [](const testing::TestParamInfo<Placement> &info) {
                           return testing_threads::PlacementName(info.param);
                         });

// ---- Once ----

class OnceStressTest : public testing::TestWithParam<Placement> {};

std::atomic<int> once_runs{0};
std::atomic<bool> once_finished{false};

void SlowOnceFunction() {
  once_runs++;
  // Long enough that the other callers find it running and sleep.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  once_finished = true;
}

TEST_P(OnceStressTest, EveryCallerReturnsAfterTheOneRun) {
  for (auto mode : {SCHEDULE_KERNEL_ONLY, SCHEDULE_COOPERATIVE_AND_KERNEL}) {
    static TavroOnceType once;
    once = TAVRO_ONCE_INIT;
    once_runs = 0;
    once_finished = false;
    RunThreads(12, GetParam(), [mode](int) {
      TavroOnceInitLowLevel(&once, SlowOnceFunction, mode);
      EXPECT_TRUE(once_finished);
    });
    EXPECT_EQ(once_runs, 1);
    EXPECT_EQ(once, TAVRO_ONCE_DONE);
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, OnceStressTest,
                         testing::ValuesIn(testing_threads::kPlacements),
                         [](const testing::TestParamInfo<Placement> &info) {
                           return testing_threads::PlacementName(info.param);
                         });

TEST(OnceTest, ControlWordValues) {
  EXPECT_EQ(TAVRO_ONCE_INIT, 0);
  EXPECT_EQ(TAVRO_ONCE_RUNNING, 0x65C2937B);
  EXPECT_EQ(TAVRO_ONCE_WAITER, 0x05A308D2);
  EXPECT_EQ(TAVRO_ONCE_DONE, 0x3F2D8AB0);

  static TavroOnceType once = TAVRO_ONCE_INIT;
  static int runs = 0;
  for (int i = 0; i < 3; i++) TavroOnceInit(&once, [] { runs++; });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(once, TAVRO_ONCE_DONE);
}

TEST(OnceTest, FunctionWithArgument) {
  static TavroOnceType once = TAVRO_ONCE_INIT;
  int value = 0;
  auto add = [](void *arg) { ++*static_cast<int *>(arg); };
  for (int i = 0; i < 2; i++) {
    TavroOnceInternalInit(&once, nullptr, add, &value, SCHEDULE_KERNEL_ONLY);
  }
  EXPECT_EQ(value, 1);
}

TEST(OnceDeathTest, GarbageControlWordAborts) {
  EXPECT_DEATH(
      {
        TavroOnceType once = 12345;
        TavroOnceInit(&once, [] {});
      },
      "once:52\\] RAW: Unexpected value for control word: 12345\\. Either the "
      "control word has non-static storage duration \\(where "
      "TavroOnceDynamic might be appropriate\\), or there's been a memory "
      "corruption\\.");
}

TEST(AtomicOpsTest, AmdLockBarrierDefectDetection) {
  auto eax = [](unsigned family, unsigned model, unsigned ext_family,
                unsigned ext_model) {
    return (family << 8) | (model << 4) | (ext_family << 20) |
           (ext_model << 16);
  };
  struct Case {
    const char *vendor;
    unsigned eax;
    bool bug;
  };
  const Case cases[] = {
      {"AuthenticAMD", eax(15, 0, 0, 2), true},    // model 32
      {"AuthenticAMD", eax(15, 15, 0, 3), true},   // model 63
      {"AuthenticAMD", eax(15, 15, 0, 1), false},  // model 31
      {"AuthenticAMD", eax(15, 0, 0, 4), false},   // model 64
      {"AuthenticAMD", eax(15, 0, 1, 2), false},   // family 16
      {"AuthenticAMD", eax(6, 0, 0, 2), false},    // extended model ignored
      {"GenuineIntel", eax(15, 0, 0, 2), false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(base::internal::HasAmdLockMbBug(c.vendor, c.eax), c.bug)
        << c.vendor << " " << std::hex << c.eax;
  }
  AtomicOps_Internalx86CPUFeaturesInit();
  EXPECT_TRUE(AtomicOps_Internalx86CPUFeatures.has_sse2);
}

}  // namespace
