#include "base/synchronization.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/spinlock.h"
#include "base/synchronization_internal.h"
#include "base/thread_identity.h"
#include "gtest/gtest.h"
#include "testing/thread_stress.h"

#ifdef TAVRO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace {

using namespace synchronization_internal;
using testing_threads::Placement;
using testing_threads::RunThreads;

// ---- Helpers ----

// The lock words, read the way the code reads them.
intptr_t Word(const Mutex &mu) {
  static_assert(sizeof(Mutex) == sizeof(intptr_t), "one word");
  return __atomic_load_n(reinterpret_cast<const intptr_t *>(&mu),
                         __ATOMIC_ACQUIRE);
}
intptr_t Word(const CondVar &cv) {
  static_assert(sizeof(CondVar) == sizeof(intptr_t), "one word");
  return __atomic_load_n(reinterpret_cast<const intptr_t *>(&cv),
                         __ATOMIC_ACQUIRE);
}
void SetWord(Mutex *mu, intptr_t v) {
  __atomic_store_n(reinterpret_cast<intptr_t *>(mu), v, __ATOMIC_RELEASE);
}

// Counts the records of a queue whose word is *word by taking its spin-lock
// bit, as the lock code does, and walking the ring from the tail. (The race
// detector is told to look away: the lock code edits records where it does
// not look either.)
int RingLengthLocked(Mutex *mu_or_cv_word_owner, intptr_t lock_bit,
                     intptr_t nonempty_bit, intptr_t low_mask) {
  intptr_t *word = reinterpret_cast<intptr_t *>(mu_or_cv_word_owner);
  for (;;) {
    intptr_t v = __atomic_load_n(word, __ATOMIC_RELAXED);
    if ((v & nonempty_bit) == 0) return 0;
    if ((v & lock_bit) != 0) {
      sched_yield();
      continue;
    }
    if (!__atomic_compare_exchange_n(word, &v, v | lock_bit, false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      continue;
    }
    PerThreadSynch *tail = reinterpret_cast<PerThreadSynch *>(v & ~low_mask);
    int n = 0;
    if (tail != nullptr) {
      PerThreadSynch *p = tail;
      do {
        n++;
        p = p->next;
      } while (p != tail);
    }
    // Others may change the other bits meanwhile (a writer barging).
    intptr_t now = __atomic_load_n(word, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(word, &now, now & ~lock_bit, false,
                                        __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
    }
    return n;
  }
}
int RingLength(Mutex *mu_or_cv_word_owner, intptr_t lock_bit,
               intptr_t nonempty_bit, intptr_t low_mask) {
#ifdef TAVRO_TSAN
  __tsan_mutex_pre_signal(mu_or_cv_word_owner, 0);
#endif
  const int n =
      RingLengthLocked(mu_or_cv_word_owner, lock_bit, nonempty_bit, low_mask);
#ifdef TAVRO_TSAN
  __tsan_mutex_post_signal(mu_or_cv_word_owner, 0);
#endif
  return n;
}
int QueueLength(Mutex *mu) {
  return RingLength(mu, kMuQueueLock, kMuWait, kMuLow);
}
int QueueLength(CondVar *cv) {
  return RingLength(reinterpret_cast<Mutex *>(cv), kCvQueueLock, ~kCvLow,
                    kCvLow);
}

// Polls until pred() holds; fails the test after 20 s.
bool WaitFor(const std::function<bool()> &pred) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "condition not reached in 20 s";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool IsTrue(void *arg) { return *static_cast<bool *>(arg); }
bool IsPositive(void *arg) { return *static_cast<int *>(arg) > 0; }
bool IsZero(void *arg) { return *static_cast<int *>(arg) == 0; }
bool Never(void *) { return false; }

// A flag whose evaluations are counted.
struct CountedFlag {
  bool value = false;
  std::atomic<int> evaluations{0};
  static bool Eval(void *arg) {
    CountedFlag *f = static_cast<CountedFlag *>(arg);
    f->evaluations++;
    return f->value;
  }
  Condition condition() { return Condition(&CountedFlag::Eval, this); }
};

std::string PlacementTestName(const testing::TestParamInfo<Placement> &info) {
  return testing_threads::PlacementName(info.param);
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - start)
      .count();
}

// ---- The lock word ----

// A mutex used by a static initializer that runs before the mutex's own
// (empty) constructor: zero storage must already be a free mutex.
extern Mutex early_mu;
int early_value = 0;
struct EarlyUser {
  EarlyUser() {
    MutexLock l(&early_mu);
    early_value = 1;
  }
} early_user;
Mutex early_mu(base::LINKER_INITIALIZED);

TEST(MutexTest, LinkerInitializedMutexWorksBeforeItsConstructor) {
  EXPECT_EQ(early_value, 1);
  EXPECT_EQ(Word(early_mu), 0);
  early_mu.Lock();
  early_mu.Unlock();
}

TEST(MutexTest, WordTracksHoldersInBothModes) {
  Mutex mu;
  EXPECT_EQ(Word(mu), 0);
  {
    MutexLock l(&mu);
    EXPECT_EQ(Word(mu), kMuWriter);
    EXPECT_FALSE(mu.TryLock());
    EXPECT_FALSE(mu.ReaderTryLock());
    mu.AssertHeld();
    mu.AssertReaderHeld();
  }
  EXPECT_EQ(Word(mu), 0);
  {
    ReaderMutexLock r1(&mu);
    ReaderMutexLock r2(&mu);
    EXPECT_TRUE(mu.ReaderTryLock());
    EXPECT_EQ(Word(mu), kMuReader | 3 * kMuReaderUnit);
    EXPECT_FALSE(mu.TryLock());
    mu.AssertReaderHeld();
    mu.ReaderUnlock();
  }
  EXPECT_EQ(Word(mu), 0);
  EXPECT_TRUE(mu.TryLock());
  mu.Unlock();
  {
    WriterMutexLock l(&mu);
    EXPECT_EQ(Word(mu), kMuWriter);
  }
  EXPECT_EQ(Word(mu), 0);
}

TEST(MutexTest, WaiterRecordsAreAlignedAndReused) {
  PerThreadSynch *first = nullptr;
  std::thread([&first] {
    first = Synch_GetPerThread();
    EXPECT_EQ(Synch_GetPerThread(), first);
    // The low byte of the mutex word holds flags.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % kPerThreadSynchAlignment,
              0u);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(first->waitp, nullptr);
    // The idleness clock of the thread's semaphore.
    const int ticks = first->thread_identity->per_thread_sem.ticker;
    Synch_PerThreadTick(first);
    EXPECT_EQ(first->thread_identity->per_thread_sem.ticker, ticks + 1);
  }).join();
  std::thread([first] {
    // The exited thread's record is handed on, reset.
    PerThreadSynch *second = Synch_GetPerThread();
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->next, nullptr);
    EXPECT_EQ(second->reentrant_locks, nullptr);
  }).join();
}

// ---- Condition ----

// A repeatable callback, as the condition constructor expects one.
struct Callback {
  explicit Callback(bool v) : value(v) {}
  virtual ~Callback() = default;
  virtual bool Run() { return value; }
  void CheckIsRepeatable() const { checked++; }
  bool value;
  mutable int checked = 0;
};

TEST(ConditionTest, EvaluatesEachKind) {
  bool flag = false;
  int count = 0;
  Callback callback(true);
  const Condition from_bool(&flag);
  const Condition from_function(IsPositive, &count);
  const Condition from_callback(&callback);
  EXPECT_EQ(callback.checked, 1);
  EXPECT_TRUE(Condition().Eval());
  EXPECT_TRUE(Condition::kTrue.Eval());
  EXPECT_TRUE(Condition(nullptr, &count).Eval());
  EXPECT_FALSE(from_bool.Eval());
  EXPECT_FALSE(from_function.Eval());
  EXPECT_TRUE(from_callback.Eval());
  flag = true;
  count = 1;
  callback.value = false;
  EXPECT_TRUE(from_bool.Eval());
  EXPECT_TRUE(from_function.Eval());
  EXPECT_FALSE(from_callback.Eval());
}

TEST(ConditionTest, GuaranteedEqual) {
  bool flag = false, other_flag = false;
  int count = 0;
  Callback callback(true), other_callback(true);
  const Condition always;
  const Condition f_count(IsPositive, &count);
  const Condition f_count_again(IsPositive, &count);
  const Condition f_flag(IsTrue, &flag);
  const Condition never(Never, &count);
  const Condition null_function(nullptr, &count);
  const Condition b_flag(&flag), b_flag_again(&flag), b_other(&other_flag);
  const Condition c1(&callback), c1_again(&callback), c2(&other_callback);
  struct Case {
    const char *name;
    const Condition *a, *b;
    bool equal;
  };
  const Case cases[] = {
      {"null and null", nullptr, nullptr, true},
      {"null and always", nullptr, &always, true},
      {"always and kTrue", &always, &Condition::kTrue, true},
      {"null function is always", &null_function, nullptr, true},
      {"always and a function", &always, &f_count, false},
      {"a function and null", &f_count, nullptr, false},
      {"same function and argument", &f_count, &f_count_again, true},
      {"same argument, other function", &f_count, &never, false},
      {"same function, other argument", &f_flag, &f_count, false},
      {"same bool", &b_flag, &b_flag_again, true},
      {"other bool", &b_flag, &b_other, false},
      {"same callback", &c1, &c1_again, true},
      {"other callback", &c1, &c2, false},
      {"callback and function", &c1, &f_count, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Condition::GuaranteedEqual(c.a, c.b), c.equal) << c.name;
    EXPECT_EQ(Condition::GuaranteedEqual(c.b, c.a), c.equal) << c.name;
  }
}

// ---- Queue policy ----

TEST(MutexPolicyTest, WriterBargesPastAQueuedWaiter) {
  // A thread queued in Lock does not stop another Lock from taking the
  // mutex as soon as it is released. The woken waiter usually needs longer
  // to run than the releaser needs to lock again; a few tries suffice.
  bool barged = false;
  for (int attempt = 0; attempt < 50 && !barged; attempt++) {
    Mutex mu;
    std::atomic<bool> waiter_acquired{false};
    mu.Lock();
    std::thread waiter([&] {
      mu.Lock();
      waiter_acquired = true;
      mu.Unlock();
    });
    WaitFor([&] { return QueueLength(&mu) == 1; });
    mu.Unlock();
    ASSERT_TRUE(mu.TryLock() || (mu.Lock(), true));
    barged = !waiter_acquired;
    mu.Unlock();
    waiter.join();
    EXPECT_TRUE(waiter_acquired);
  }
  EXPECT_TRUE(barged);
}

TEST(MutexPolicyTest, ReadersQueueBehindAWaitingWriter) {
  Mutex mu;
  std::vector<std::string> order;  // guarded by order_mu
  Mutex order_mu;
  auto record = [&](const char *what) {
    MutexLock l(&order_mu);
    order.push_back(what);
  };
  mu.ReaderLock();  // two readers hold
  mu.ReaderLock();
  std::thread writer([&] {
    mu.Lock();
    record("writer");
    mu.Unlock();
  });
  WaitFor([&] { return QueueLength(&mu) == 1; });
  EXPECT_EQ(Word(mu) & (kMuWrWait | kMuWait | kMuReader),
            kMuWrWait | kMuWait | kMuReader);
  std::thread reader([&] {
    mu.ReaderLock();  // must queue behind the writer, not join the readers
    record("reader");
    mu.ReaderUnlock();
  });
  WaitFor([&] { return QueueLength(&mu) == 2; });
  mu.ReaderUnlock();
  EXPECT_EQ(QueueLength(&mu), 2);  // one reader still holds: nobody woken
  mu.ReaderUnlock();
  writer.join();
  reader.join();
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], "writer");
  EXPECT_EQ(order[1], "reader");
  EXPECT_EQ(Word(mu), 0);
}

TEST(MutexPolicyTest, HigherPriorityWaiterQueuesFirst) {
  Mutex mu;
  std::vector<std::string> order;  // guarded by mu
  mu.Lock();
  std::vector<std::thread> waiters;
  for (const char *name : {"low1", "low2"}) {
    waiters.emplace_back([&mu, &order, name] {
      mu.Lock();
      order.push_back(name);
      mu.Unlock();
    });
    const int queued = static_cast<int>(waiters.size());
    WaitFor([&] { return QueueLength(&mu) == queued; });
  }
  std::atomic<int> raised{-1};
  waiters.emplace_back([&] {
    struct sched_param param = {};
    param.sched_priority = 1;
    raised = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    if (!raised) return;
    mu.Lock();
    order.push_back("high");
    mu.Unlock();
  });
  WaitFor([&] { return raised.load() == 0 || QueueLength(&mu) == 3; });
  mu.Unlock();
  for (std::thread &t : waiters) t.join();
  if (!raised) GTEST_SKIP() << "real-time priorities are not permitted here";
  const std::vector<std::string> expected = {"high", "low1", "low2"};
  EXPECT_EQ(order, expected);
}

// Waiters queued behind a held mutex on conditions that are all false: the
// releaser evaluates one condition per run of equal conditions, and not a
// condition it already found false.
struct SkipGroup {
  int flag;  // the flag the group's waiters wait for
  bool readers;
  int size;
};
struct SkipCase {
  const char *name;
  std::vector<SkipGroup> groups;  // queued in this order
  int evaluations;  // by one release that finds every condition false
};
void PrintTo(const SkipCase &c, std::ostream *os) { *os << c.name; }

class MutexSkipTest : public testing::TestWithParam<SkipCase> {};

TEST_P(MutexSkipTest, OneEvaluationPerRunOfEqualConditions) {
  const SkipCase &c = GetParam();
  Mutex mu;
  CountedFlag flags[8];
  std::vector<std::thread> waiters;
  mu.Lock();
  for (const SkipGroup &group : c.groups) {
    for (int i = 0; i < group.size; i++) {
      waiters.emplace_back(
          [&mu, &flags, flag = group.flag, readers = group.readers] {
            if (readers) {
              mu.ReaderLockWhen(flags[flag].condition());
              mu.ReaderUnlock();
            } else {
              mu.LockWhen(flags[flag].condition());
              mu.Unlock();
            }
          });
      // One at a time, so that the queue has the order of the table.
      const int queued = static_cast<int>(waiters.size());
      WaitFor([&] { return QueueLength(&mu) == queued; });
    }
  }
  int evaluations = 0;
  for (CountedFlag &f : flags) evaluations += f.evaluations;
  EXPECT_EQ(evaluations, 0);  // they queued without evaluating
  mu.Unlock();
  evaluations = 0;
  for (CountedFlag &f : flags) evaluations += f.evaluations;
  EXPECT_EQ(evaluations, c.evaluations);
  EXPECT_EQ(QueueLength(&mu), static_cast<int>(waiters.size()));

  mu.Lock();
  for (CountedFlag &f : flags) f.value = true;
  mu.Unlock();
  for (std::thread &t : waiters) t.join();
  EXPECT_EQ(Word(mu), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, MutexSkipTest,
    testing::Values(SkipCase{"EqualWriters", {{0, false, 8}}, 1},
                    SkipCase{"EqualReaders", {{0, true, 8}}, 1},
                    SkipCase{"TwoRuns", {{0, false, 4}, {1, false, 4}}, 2},
                    // Different modes make two runs; the second run's condition
                    // is the one just found false.
                    SkipCase{"ReadersThenWritersOnOneCondition",
                             {{0, true, 4}, {0, false, 4}},
                             1},
                    SkipCase{"DistinctConditions",
                             {{0, false, 1},
                              {1, false, 1},
                              {2, false, 1},
                              {3, false, 1},
                              {4, true, 1},
                              {5, true, 1},
                              {6, false, 1},
                              {7, false, 1}},
                             8}),
    [](const testing::TestParamInfo<SkipCase> &info) {
      return std::string(info.param.name);
    });

// ---- Timeouts ----

struct TimeoutCase {
  const char *name;
  int64_t timeout_ms;
  bool readers;
  bool held_by_other;  // another thread holds the mutex past the deadline
};
void PrintTo(const TimeoutCase &c, std::ostream *os) { *os << c.name; }

class MutexTimeoutTest : public testing::TestWithParam<TimeoutCase> {};

TEST_P(MutexTimeoutTest, ExpiresHoldingTheMutex) {
  const TimeoutCase &c = GetParam();
  Mutex mu;
  bool flag = false;
  std::atomic<bool> held{false}, release{false};
  std::thread holder;
  if (c.held_by_other) {
    holder = std::thread([&] {
      mu.Lock();
      held = true;
      WaitFor([&] { return release.load(); });
      mu.Unlock();
    });
    WaitFor([&] { return held.load(); });
  }
  std::thread waiter([&] {
    const auto start = std::chrono::steady_clock::now();
    if (c.readers) {
      EXPECT_FALSE(
          mu.ReaderLockWhenWithTimeout(Condition(&flag), c.timeout_ms));
      EXPECT_EQ(Word(mu) & (kMuReader | kMuWriter), kMuReader);
      mu.ReaderUnlock();
    } else {
      EXPECT_FALSE(mu.LockWhenWithTimeout(Condition(&flag), c.timeout_ms));
      mu.AssertHeld();
      mu.Unlock();
    }
    EXPECT_GE(MillisecondsSince(start), std::max<int64_t>(c.timeout_ms, 0) - 1);
  });
  if (c.held_by_other) {
    // Past the deadline the waiter must still wait for the mutex itself.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::max<int64_t>(c.timeout_ms, 0) + 50));
    release = true;
    holder.join();
  }
  waiter.join();
  EXPECT_EQ(Word(mu), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MutexTimeoutTest,
    testing::Values(TimeoutCase{"Writer30ms", 30, false, false},
                    TimeoutCase{"Reader30ms", 30, true, false},
                    TimeoutCase{"NegativeIsZero", -5, false, false},
                    TimeoutCase{"ReaderNegativeIsZero", -5, true, false},
                    TimeoutCase{"WriterWhileHeld", 20, false, true},
                    TimeoutCase{"ReaderWhileHeld", 20, true, true}),
    [](const testing::TestParamInfo<TimeoutCase> &info) {
      return std::string(info.param.name);
    });

TEST(MutexTimeoutTest, SatisfiedBeforeTheDeadline) {
  Mutex mu;
  bool flag = false;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MutexLock l(&mu);
    flag = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(mu.LockWhenWithTimeout(Condition(&flag), 60000));
  EXPECT_TRUE(flag);
  EXPECT_LT(MillisecondsSince(start), 30000);
  flag = false;
  // Await releases while it waits, so the setter can get in again.
  std::thread setter2([&] {
    MutexLock l(&mu);
    flag = true;
  });
  EXPECT_TRUE(mu.AwaitWithTimeout(Condition(&flag), 60000));
  mu.Unlock();
  setter.join();
  setter2.join();
}

TEST(MutexTimeoutTest, AwaitWithTimeoutOfATrueConditionKeepsTheMutex) {
  Mutex mu;
  bool flag = true;
  mu.Lock();
  std::atomic<bool> other_acquired{false};
  std::thread other([&] {
    mu.Lock();
    other_acquired = true;
    mu.Unlock();
  });
  WaitFor([&] { return QueueLength(&mu) == 1; });
  EXPECT_TRUE(mu.AwaitWithTimeout(Condition(&flag), 0));
  // Not released: the queued thread was neither woken nor let in.
  EXPECT_EQ(QueueLength(&mu), 1);
  EXPECT_EQ(Word(mu) & (kMuWriter | kMuDesigWaker), kMuWriter);
  EXPECT_FALSE(other_acquired);
  flag = false;
  EXPECT_FALSE(mu.AwaitWithTimeout(Condition(&flag), 20));
  mu.AssertHeld();
  mu.Unlock();
  other.join();
  EXPECT_TRUE(other_acquired);
}

// ---- Re-entrant reader locks ----

TEST(MutexReentryTest, SecondReaderLockCountsInsteadOfLocking) {
  Mutex mu;
  mu.EnableReaderReentry();
  EXPECT_EQ(Word(mu), kMuReadReentry);
  mu.ReaderLock();
  mu.ReaderLock();
  EXPECT_TRUE(mu.ReaderTryLock());
  // One hold in the word; the thread's list counts the rest.
  EXPECT_EQ(Word(mu), kMuReadReentry | kMuReader | kMuReaderUnit);
  mu.ReaderUnlock();
  mu.ReaderUnlock();
  EXPECT_EQ(Word(mu), kMuReadReentry | kMuReader | kMuReaderUnit);
  bool flag = true;
  mu.ReaderLockWhen(Condition(&flag));
  EXPECT_TRUE(mu.ReaderLockWhenWithTimeout(Condition(&flag), 0));
  mu.ReaderUnlock();
  mu.ReaderUnlock();
  std::thread([&mu] { EXPECT_FALSE(mu.TryLock()); }).join();
  mu.ReaderUnlock();  // the outermost hold
  EXPECT_EQ(Word(mu), kMuReadReentry);
  std::thread([&mu] {
    EXPECT_TRUE(mu.TryLock());
    mu.Unlock();
  }).join();
}

TEST(MutexReentryTest, FailedReaderTryLockLeavesNoHold) {
  Mutex mu;
  mu.EnableReaderReentry();
  mu.Lock();
  std::atomic<bool> tried{false};
  std::thread reader([&] {
    EXPECT_FALSE(mu.ReaderTryLock());
    tried = true;
    // Had the failure left an entry, this would return without locking.
    mu.ReaderLock();
    EXPECT_EQ(Word(mu) & (kMuReader | kMuWriter), kMuReader);
    mu.ReaderUnlock();
  });
  WaitFor([&] { return tried.load(); });
  mu.Unlock();
  reader.join();
  EXPECT_EQ(Word(mu), kMuReadReentry);
}

TEST(MutexReentryTest, DestroyingAReaderHeldMutexForgetsTheHold) {
  alignas(Mutex) unsigned char storage[sizeof(Mutex)];
  Mutex *mu = new (storage) Mutex;
  mu->EnableReaderReentry();
  mu->ReaderLock();
  mu->~Mutex();
  // A new mutex in the same place is not held by this thread.
  mu = new (storage) Mutex;
  mu->EnableReaderReentry();
  mu->ReaderLock();
  EXPECT_EQ(Word(*mu), kMuReadReentry | kMuReader | kMuReaderUnit);
  mu->ReaderUnlock();
  EXPECT_EQ(Word(*mu), kMuReadReentry);
  mu->~Mutex();
}

// ---- Debug logging and invariants ----

TEST(MutexDebugTest, LogsEveryOperationWithTheName) {
  Mutex mu(true, "logged_mu");
  EXPECT_EQ(Word(mu), kMuHasEvent);
  testing::internal::CaptureStderr();
  mu.Lock();
  EXPECT_FALSE(mu.TryLock());
  mu.Unlock();
  EXPECT_TRUE(mu.TryLock());
  mu.Unlock();
  mu.ReaderLock();
  EXPECT_TRUE(mu.ReaderTryLock());
  mu.ReaderUnlock();
  mu.ReaderUnlock();
  const std::string log = testing::internal::GetCapturedStderr();
  const char *const lines[] = {
      "Lock blocking 0x",        "Lock returning 0x",
      "TryLock failed 0x",       "Unlock 0x",
      "TryLock suceeded 0x",     "ReaderLock blocking 0x",
      "ReaderLock returning 0x", "ReaderTryLock suceeded 0x",
      "ReaderUnlock 0x",
  };
  for (const char *line : lines) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(log.find(" logged_mu  @ 0x"), std::string::npos) << log;
  // "Lock blocking" comes before "Lock returning".
  EXPECT_LT(log.find("Lock blocking"), log.find("Lock returning"));

  CondVar cv(true, "logged_cv");
  testing::internal::CaptureStderr();
  cv.Signal();
  cv.SignalAll();
  mu.Lock();
  EXPECT_TRUE(cv.WaitWithTimeout(&mu, 0));
  mu.Unlock();
  const std::string cv_log = testing::internal::GetCapturedStderr();
  for (const char *line :
       {"Signal on 0x", "SignalAll on 0x", "Wait on 0x", "Wait unblocked 0x"}) {
    EXPECT_NE(cv_log.find(line), std::string::npos) << line << "\n" << cv_log;
  }
  EXPECT_NE(cv_log.find(" logged_cv  @ 0x"), std::string::npos) << cv_log;
}

struct Guarded {
  Mutex mu;
  int a = 0, b = 0;  // equal whenever mu is free
  std::atomic<int> checks{0};
  static void Invariant(void *arg) {
    Guarded *g = static_cast<Guarded *>(arg);
    g->checks++;
    EXPECT_EQ(g->a, g->b);
  }
};

TEST(MutexDebugTest, InvariantRunsWhileTheLockIsHeld) {
  Guarded off;
  off.mu.EnableInvariantDebugging(&Guarded::Invariant, &off);
  EXPECT_EQ(Word(off.mu), 0);  // only with --synch_check_invariants

  FLAGS_synch_check_invariants = true;
  Guarded g;
  g.mu.EnableInvariantDebugging(&Guarded::Invariant, &g);
  FLAGS_synch_check_invariants = false;
  EXPECT_EQ(Word(g.mu), kMuHasEvent);
  g.mu.Lock();  // after "Lock returning"
  g.a++;
  g.b++;
  g.mu.Unlock();  // before the release
  EXPECT_EQ(g.checks, 2);
  EXPECT_TRUE(g.mu.TryLock());   // after a successful TryLock
  EXPECT_FALSE(g.mu.TryLock());  // not after a failed one
  g.mu.Unlock();
  EXPECT_EQ(g.checks, 4);
}

// ---- CondVar ----

struct CondVarCase {
  const char *name;
  bool readers;
  bool signalled;
};
void PrintTo(const CondVarCase &c, std::ostream *os) { *os << c.name; }

class CondVarTimeoutTest : public testing::TestWithParam<CondVarCase> {};

TEST_P(CondVarTimeoutTest, ReportsTimeoutAndReacquiresInTheSameMode) {
  const CondVarCase &c = GetParam();
  Mutex mu;
  CondVar cv;
  std::thread signaller;
  if (c.signalled) {
    signaller = std::thread([&] {
      WaitFor([&] { return QueueLength(&cv) == 1; });
      cv.Signal();
    });
  }
  const auto start = std::chrono::steady_clock::now();
  const int64_t timeout_ms = c.signalled ? 60000 : 30;
  if (c.readers)
    mu.ReaderLock();
  else
    mu.Lock();
  const bool timed_out = cv.WaitWithTimeout(&mu, timeout_ms);
  EXPECT_EQ(Word(mu) & (kMuReader | kMuWriter),
            c.readers ? kMuReader : kMuWriter);
  if (c.readers)
    mu.ReaderUnlock();
  else
    mu.Unlock();
  EXPECT_EQ(timed_out, !c.signalled);
  if (c.signalled) {
    signaller.join();
    EXPECT_LT(MillisecondsSince(start), 30000);
  } else {
    EXPECT_GE(MillisecondsSince(start), timeout_ms - 1);
  }
  EXPECT_EQ(Word(mu), 0);
  EXPECT_EQ(Word(cv), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CondVarTimeoutTest,
    testing::Values(CondVarCase{"WriterTimesOut", false, false},
                    CondVarCase{"WriterSignalled", false, true},
                    CondVarCase{"ReaderTimesOut", true, false},
                    CondVarCase{"ReaderSignalled", true, true}),
    [](const testing::TestParamInfo<CondVarCase> &info) {
      return std::string(info.param.name);
    });

TEST(CondVarTest, SignalMovesTheOldestWaiterOntoTheHeldMutex) {
  Mutex mu;
  CondVar cv;
  std::atomic<int> woken{-1};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; i++) {
    waiters.emplace_back([&, i] {
      MutexLock l(&mu);
      cv.Wait(&mu);
      woken = i;
    });
    WaitFor([&] { return QueueLength(&cv) == i + 1; });
  }
  mu.Lock();
  cv.Signal();
  // Transferred, not woken: it waits in the mutex's queue.
  EXPECT_EQ(QueueLength(&cv), 1);
  EXPECT_EQ(QueueLength(&mu), 1);
  EXPECT_EQ(woken, -1);
  mu.Unlock();
  WaitFor([&] { return woken.load() != -1; });
  EXPECT_EQ(woken, 0);  // the longest waiting
  cv.Signal();          // mutex free: woken directly
  waiters[0].join();
  waiters[1].join();
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(Word(cv), 0);
}

TEST(CondVarTest, SignalAllWithManyWaiters) {
  for (bool hold_mutex : {true, false}) {
    Mutex mu;
    CondVar cv;
    constexpr int kWaiters = 24;
    int generation = 0;  // guarded by mu
    std::atomic<int> done{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; i++) {
      waiters.emplace_back([&] {
        MutexLock l(&mu);
        while (generation == 0) cv.Wait(&mu);
        done++;
      });
    }
    WaitFor([&] { return QueueLength(&cv) == kWaiters; });
    mu.Lock();
    generation = 1;
    if (hold_mutex) {
      cv.SignalAll();
      EXPECT_EQ(Word(cv), 0);
      EXPECT_EQ(QueueLength(&mu), kWaiters);  // all moved, none woken
      mu.Unlock();
    } else {
      mu.Unlock();
      cv.SignalAll();
    }
    for (std::thread &t : waiters) t.join();
    EXPECT_EQ(done, kWaiters);
    EXPECT_EQ(Word(mu), 0);
  }
}

TEST(CondVarTest, WaitGenericWithOtherLocks) {
  SpinLock lock(base::scheduling::SCHEDULE_KERNEL_ONLY);
  CondVar cv;
  bool ready = false;  // guarded by lock
  auto lock_fn = [](void *arg) { static_cast<SpinLock *>(arg)->Lock(); };
  auto unlock_fn = [](void *arg) { static_cast<SpinLock *>(arg)->Unlock(); };
  std::thread waiter([&] {
    lock.Lock();
    while (!ready) {
      EXPECT_FALSE(cv.WaitGeneric(&lock, nullptr, lock_fn, unlock_fn));
    }
    EXPECT_TRUE(lock.IsHeld());
    lock.Unlock();
  });
  WaitFor([&] { return QueueLength(&cv) == 1; });
  lock.Lock();
  ready = true;
  lock.Unlock();
  cv.Signal();
  waiter.join();

  // A deadline in the past times out at once, holding the lock again.
  struct timespec past = {0, 0};
  lock.Lock();
  EXPECT_TRUE(cv.WaitGeneric(&lock, &past, lock_fn, unlock_fn));
  EXPECT_TRUE(lock.IsHeld());
  lock.Unlock();
  EXPECT_EQ(Word(cv), 0);
}

// ---- Barrier and BlockingCounter ----

TEST(BlockingCounterTest, SecondDecrementReleasesTheWaiter) {
  BlockingCounter counter(2);
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    counter.Wait();
    released = true;
  });
  EXPECT_FALSE(counter.DecrementCount());
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(released);
  EXPECT_TRUE(counter.DecrementCount());
  waiter.join();
  EXPECT_TRUE(released);
}

// ---- Stress ----

class SynchStressTest : public testing::TestWithParam<Placement> {};

TEST_P(SynchStressTest, ExclusiveCounterWithTryLock) {
  Mutex mu;
  int64_t a = 0, b = 0;  // equal whenever mu is free
  constexpr int kThreads = 8, kIterations = 100000;
  RunThreads(kThreads, GetParam(), [&](int) {
    for (int n = 0; n < kIterations; n++) {
      if (n % 4 == 0 && mu.TryLock()) {
        ASSERT_EQ(a, b);
        a++;
        b++;
        mu.Unlock();
        continue;
      }
      MutexLock l(&mu);
      ASSERT_EQ(a, b);
      a++;
      b++;
    }
  });
  EXPECT_EQ(a, int64_t{kThreads} * kIterations);
  EXPECT_EQ(Word(mu), 0);
}

TEST_P(SynchStressTest, ReadersNeverSeeAWriterHalfway) {
  for (bool reentry : {false, true}) {
    Mutex mu;
    if (reentry) mu.EnableReaderReentry();
    int64_t a = 0, b = 0, c = 0;  // all equal whenever no writer holds mu
    std::atomic<int64_t> reads{0};
    constexpr int kWriters = 2, kReaders = 6, kIterations = 30000;
    RunThreads(kWriters + kReaders, GetParam(), [&](int i) {
      for (int n = 0; n < kIterations; n++) {
        if (i < kWriters) {
          MutexLock l(&mu);
          a++;
          if (n % 64 == 0) sched_yield();  // be preempted halfway
          b++;
          c = a;
        } else if (n % 3 == 0) {
          if (!mu.ReaderTryLock()) continue;
          ASSERT_TRUE(a == b && b == c);
          reads++;
          mu.ReaderUnlock();
        } else {
          ReaderMutexLock l(&mu);
          ASSERT_TRUE(a == b && b == c);
          if (reentry) {
            ReaderMutexLock again(&mu);  // nested in the same thread
            ASSERT_TRUE(a == b && b == c);
          }
          reads++;
        }
      }
    });
    EXPECT_EQ(a, int64_t{kWriters} * kIterations);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(Word(mu), reentry ? kMuReadReentry : 0);
  }
}

TEST_P(SynchStressTest, LockWhenOnDistinctConditionsTakesTurns) {
  // Each thread waits for its own turn: a distinct condition per waiter,
  // half through LockWhen and half through Lock then Await.
  struct Turn {
    int *turn;
    int me;
    static bool Mine(void *arg) {
      Turn *t = static_cast<Turn *>(arg);
      return *t->turn == t->me;
    }
  };
  Mutex mu;
  int turn = 0;  // guarded by mu
  constexpr int kThreads = 6, kRounds = 2000;
  RunThreads(kThreads, GetParam(), [&](int i) {
    Turn mine{&turn, i};
    for (int r = 0; r < kRounds; r++) {
      if (i % 2 == 0) {
        mu.LockWhen(Condition(&Turn::Mine, &mine));
      } else {
        mu.Lock();
        mu.Await(Condition(&Turn::Mine, &mine));
      }
      ASSERT_EQ(turn, i);
      turn = (turn + 1) % kThreads;
      mu.Unlock();
    }
  });
  EXPECT_EQ(turn, 0);
  EXPECT_EQ(Word(mu), 0);
}

TEST_P(SynchStressTest, LockWhenOnEqualConditionsConsumesTokens) {
  // Consumers all wait on one condition (tokens > 0), producers on another
  // (tokens == 0), so the queue holds long runs of equal conditions.
  Mutex mu;
  int tokens = 0;  // guarded by mu
  int consumed = 0;
  constexpr int kConsumers = 6, kProducers = 2, kPerConsumer = 5000;
  constexpr int kBatch = 3;
  constexpr int kBatchesPerProducer =
      kConsumers * kPerConsumer / (kProducers * kBatch);
  static_assert(
      kBatchesPerProducer * kProducers * kBatch == kConsumers * kPerConsumer,
      "every token is consumed");
  RunThreads(kConsumers + kProducers, GetParam(), [&](int i) {
    if (i < kProducers) {
      for (int n = 0; n < kBatchesPerProducer; n++) {
        mu.LockWhen(Condition(IsZero, &tokens));
        tokens = kBatch;
        mu.Unlock();
      }
      return;
    }
    for (int n = 0; n < kPerConsumer; n++) {
      mu.LockWhen(Condition(IsPositive, &tokens));
      ASSERT_GT(tokens, 0);
      tokens--;
      consumed++;
      mu.Unlock();
    }
  });
  EXPECT_EQ(tokens, 0);
  EXPECT_EQ(consumed, kConsumers * kPerConsumer);
  EXPECT_EQ(Word(mu), 0);
}

TEST_P(SynchStressTest, TimedWaitsExpireOrSucceedConsistently) {
  Mutex mu;
  int tokens = 0;  // guarded by mu
  std::atomic<int> produced{0}, consumed{0}, expired{0};
  std::atomic<bool> stop{false};
  constexpr int kWaiters = 6, kIterations = 300;
  RunThreads(kWaiters + 1, GetParam(), [&](int i) {
    if (i == kWaiters) {  // the producer
      while (!stop) {
        {
          MutexLock l(&mu);
          if (tokens < 2) {
            tokens++;
            produced++;
          }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      return;
    }
    for (int n = 0; n < kIterations; n++) {
      const int64_t timeout_ms = n % 4;  // 0..3 ms, often expiring
      bool got;
      switch (n % 4) {
        case 0:
          got = mu.LockWhenWithTimeout(Condition(IsPositive, &tokens),
                                       timeout_ms);
          break;
        case 1:
          mu.Lock();
          got = mu.AwaitWithTimeout(Condition(IsPositive, &tokens), timeout_ms);
          break;
        case 2:
          // A shared Await, often while other readers hold.
          mu.ReaderLock();
          got = mu.AwaitWithTimeout(Condition(IsPositive, &tokens), timeout_ms);
          ASSERT_EQ(got, tokens > 0);
          mu.ReaderUnlock();
          continue;
        default: {
          got = mu.ReaderLockWhenWithTimeout(Condition(IsPositive, &tokens),
                                             timeout_ms);
          // The result is the condition's value on return.
          ASSERT_EQ(got, tokens > 0);
          mu.ReaderUnlock();
          continue;
        }
      }
      ASSERT_EQ(got, tokens > 0);
      if (got) {
        tokens--;
        consumed++;
      } else {
        expired++;
      }
      mu.Unlock();
    }
    if (i == 0) stop = true;
  });
  // (stop is also set when waiter 0 finishes first; the rest still end.)
  EXPECT_EQ(produced - consumed, tokens);
  EXPECT_GT(consumed, 0);
  EXPECT_GT(expired, 0);
  EXPECT_EQ(Word(mu), 0);
}

TEST_P(SynchStressTest, CondVarBoundedBuffer) {
  Mutex mu;
  CondVar not_full, not_empty;
  constexpr int kCapacity = 4;
  std::vector<int> buffer;  // guarded by mu
  int64_t sum = 0;
  constexpr int kProducers = 3, kConsumers = 3, kItems = 20000;
  RunThreads(kProducers + kConsumers, GetParam(), [&](int i) {
    if (i < kProducers) {
      for (int n = 1; n <= kItems; n++) {
        MutexLock l(&mu);
        while (buffer.size() == kCapacity) not_full.Wait(&mu);
        buffer.push_back(n);
        not_empty.Signal();
      }
    } else {
      for (int n = 0; n < kItems; n++) {
        MutexLock l(&mu);
        while (buffer.empty()) {
          // Timed waits that may expire, mixed with plain ones.
          if (n % 2 == 0) {
            not_empty.WaitWithTimeout(&mu, 1);
          } else {
            not_empty.Wait(&mu);
          }
        }
        sum += buffer.back();
        buffer.pop_back();
        not_full.Signal();
      }
    }
  });
  EXPECT_EQ(sum, int64_t{kProducers} * kItems * (kItems + 1) / 2);
  EXPECT_EQ(Word(mu), 0);
  EXPECT_EQ(Word(not_full), 0);
  EXPECT_EQ(Word(not_empty), 0);
}

TEST_P(SynchStressTest, CondVarSignalAllRounds) {
  Mutex mu;
  CondVar changed, acknowledged;
  int generation = 0;  // guarded by mu
  int acks = 0;
  constexpr int kWaiters = 6, kRounds = 1000;
  RunThreads(kWaiters + 1, GetParam(), [&](int i) {
    if (i == kWaiters) {
      for (int r = 1; r <= kRounds; r++) {
        MutexLock l(&mu);
        generation = r;
        acks = 0;
        changed.SignalAll();
        while (acks < kWaiters) acknowledged.Wait(&mu);
      }
      return;
    }
    for (int r = 1; r <= kRounds; r++) {
      MutexLock l(&mu);
      while (generation < r) changed.Wait(&mu);
      ASSERT_EQ(generation, r);  // the round waits for every acknowledgement
      acks++;
      if (acks == kWaiters) acknowledged.Signal();
    }
  });
  EXPECT_EQ(generation, kRounds);
  EXPECT_EQ(Word(mu), 0);
}

TEST_P(SynchStressTest, BarrierReturnsTrueToExactlyOneCaller) {
  constexpr int kThreads = 6, kRounds = 2000;
  std::vector<std::atomic<int>> trues(kRounds);
  // Each round's barrier is deleted by the caller told it was last, as the
  // interface allows; reading it afterwards would be a use after free.
  std::vector<std::atomic<Barrier *>> barriers(kRounds);
  for (auto &b : barriers) b = new Barrier(kThreads);
  RunThreads(kThreads, GetParam(), [&](int) {
    for (int r = 0; r < kRounds; r++) {
      Barrier *barrier = barriers[r];
      if (barrier->Block()) {
        trues[r]++;
        delete barrier;
      }
    }
  });
  for (int r = 0; r < kRounds; r++) EXPECT_EQ(trues[r], 1) << "round " << r;
}

TEST_P(SynchStressTest, BlockingCounterRounds) {
  constexpr int kThreads = 6, kRounds = 200;
  for (int r = 0; r < kRounds; r++) {
    BlockingCounter counter(kThreads);
    std::atomic<int> last{0}, done{0};
    RunThreads(kThreads + 1, GetParam(), [&](int i) {
      if (i == kThreads) {
        counter.Wait();
        EXPECT_EQ(done, kThreads);
        return;
      }
      done++;
      if (counter.DecrementCount()) last++;
    });
    ASSERT_EQ(last, 1) << "round " << r;
  }
}

INSTANTIATE_TEST_SUITE_P(Placements, SynchStressTest,
                         testing::ValuesIn(testing_threads::kPlacements),
                         PlacementTestName);

// ---- Start-up state ----

TEST(MutexStartupTest, MainThreadIsRecorded) {
  // In a fresh process: the module state is global.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = is_default_thread();
        std::thread([&ok] { ok = ok && is_default_thread(); }).join();
        InitMainThreadID();
        ok = ok && is_default_thread();
        std::thread([&ok] { ok = ok && !is_default_thread(); }).join();
        // Contended locking still works with spinning enabled.
        Mutex mu;
        int count = 0;
        RunThreads(4, Placement::kAnyCpu, [&](int) {
          for (int i = 0; i < 10000; i++) {
            MutexLock l(&mu);
            count++;
          }
        });
        ok = ok && count == 40000;
        _exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// ---- Fatal checks ----

struct DeathCase {
  const char *name;
  std::function<void()> action;
  const char *message;  // a regular expression
};
void PrintTo(const DeathCase &c, std::ostream *os) { *os << c.name; }

class SynchDeathTest : public testing::TestWithParam<DeathCase> {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(SynchDeathTest, Dies) {
  EXPECT_DEATH(GetParam().action(), GetParam().message);
}

// Holds a re-entrant reader lock twice, for the misuse cases below.
Mutex *ReentrantReaderHeld() {
  Mutex *mu = new Mutex;
  mu->EnableReaderReentry();
  mu->ReaderLock();
  mu->ReaderLock();
  return mu;
}

INSTANTIATE_TEST_SUITE_P(
    Misuse, SynchDeathTest,
    testing::Values(
        DeathCase{"UnlockOfAFreeMutex", [] { Mutex().Unlock(); },
                  "synchronization:[0-9]+\\] RAW: Mutex unlocked when "
                  "destroyed or not locked: v=0x0\n"},
        DeathCase{"UnlockOfAReaderHeldMutex",
                  [] {
                    Mutex mu;
                    mu.ReaderLock();
                    mu.Unlock();
                  },
                  "RAW: Mutex unlocked when destroyed or not locked: "
                  "v=0x180\n"},
        DeathCase{"ReaderUnlockOfAWriterHeldMutex",
                  [] {
                    Mutex mu;
                    mu.Lock();
                    mu.ReaderUnlock();
                  },
                  "RAW: Check \\(v & \\(kMuWriter\\|kMuReader\\)\\) == "
                  "kMuReader failed"},
        DeathCase{"AssertHeldOfAReaderHeldMutex",
                  [] {
                    Mutex mu(true, "named_mu");
                    mu.ReaderLock();
                    mu.AssertHeld();
                  },
                  "RAW: thread should hold write lock on Mutex 0x[0-9a-f]+ "
                  "named_mu\n"},
        DeathCase{"AssertReaderHeldOfAFreeMutex",
                  [] { Mutex().AssertReaderHeld(); },
                  "RAW: thread should hold at least a read lock on Mutex "
                  "0x[0-9a-f]+ \n"},
        DeathCase{"AwaitOnAReentrantReaderLock",
                  [] {
                    bool never = false;
                    ReentrantReaderHeld()->Await(Condition(&never));
                  },
                  "RAW: Check how == kExclusive \\|\\| "
                  "\\(base::subtle::NoBarrier_Load\\(&this->mu_\\) & "
                  "kMuReadReentry\\) == 0 failed: Can't Await\\(\\) with a "
                  "re-entrant reader lock\\.  Await\\(\\) could unlock lock "
                  "held by a re-entered reader who is expecting lock to be "
                  "held throughout\\."},
        DeathCase{"CondVarWaitOnAReentrantReaderLock",
                  [] {
                    CondVar cv;
                    cv.Wait(ReentrantReaderHeld());
                  },
                  "RAW: Check \\(mutex_v & \\(kMuReader\\|kMuReadReentry\\)\\)"
                  " != \\(kMuReader\\|kMuReadReentry\\) failed: Can't "
                  "Wait\\(\\) with a re-entrant reader lock\\.  Wait\\(\\) "
                  "could unlock lock held by a re-entered reader who is "
                  "expecting lock to be held throughout\\."},
        DeathCase{"ReaderLockWhenReenteredWithAFalseCondition",
                  [] {
                    bool never = false;
                    ReentrantReaderHeld()->ReaderLockWhen(Condition(&never));
                  },
                  "RAW: Check cond.Eval\\(\\) failed: Deadlock re-entering "
                  "reader lock conditionally with a condition that is "
                  "currently false; the condition will never become true "
                  "since the reader lock is held\\."},
        DeathCase{"ReaderLockWhenWithTimeoutReenteredWithAFalseCondition",
                  [] {
                    bool never = false;
                    ReentrantReaderHeld()->ReaderLockWhenWithTimeout(
                        Condition(&never), 10);
                  },
                  "RAW: Check failed: cond.Eval\\(\\) \n"},
        DeathCase{"CorruptWordBothHolders",
                  [] {
                    Mutex mu;
                    SetWord(&mu, kMuWriter | kMuReader);
                    mu.Lock();
                  },
                  "RAW: Check \\(v & \\(kMuWriter \\| kMuReader\\)\\) != "
                  "\\(kMuWriter \\| kMuReader\\) failed: Lock: Mutex "
                  "corrupt: both reader and writer lock held: 0x88\n"},
        DeathCase{"CorruptWordWaitingWriterWithoutWaiters",
                  [] {
                    Mutex mu;
                    SetWord(&mu, kMuWriter | kMuWrWait);
                    mu.Lock();
                  },
                  "RAW: Check \\(v & \\(kMuWait \\| kMuWrWait\\)\\) != "
                  "kMuWrWait failed: Lock: Mutex corrupt: waiting writer "
                  "with no waiters: 0x28\n"},
        DeathCase{"CorruptWordOnRelease",
                  [] {
                    Mutex mu;
                    bool never = false;
                    mu.Lock();
                    SetWord(&mu, kMuWriter | kMuReader);
                    mu.Await(Condition(&never));
                  },
                  "RAW: Check \\(v & \\(kMuWriter \\| kMuReader\\)\\) != "
                  "\\(kMuWriter \\| kMuReader\\) failed: Unlock: Mutex "
                  "corrupt: both reader and writer lock held: 0x88\n"},
        DeathCase{"BlockingCounterDecrementedTooOften",
                  [] {
                    BlockingCounter counter(2);
                    counter.DecrementCount();
                    counter.DecrementCount();
                    counter.DecrementCount();
                  },
                  "Check failed: count_ >= 0 BlockingCounter::"
                  "DecrementCount\\(\\) called too many times\\.  count=-1"},
        DeathCase{"BarrierBlockedTooOften",
                  [] {
                    Barrier *barrier = new Barrier(1);
                    barrier->Block();
                    barrier->Block();
                  },
                  "Check failed: this->num_to_block_ >= 0 Block\\(\\) called "
                  "too many times\\.  num_to_block_=-1 out of total="}),
    [](const testing::TestParamInfo<DeathCase> &info) {
      return std::string(info.param.name);
    });

// A thread that is waiting in the Mutex code and enters it again (from a
// signal handler) is stopped.
Mutex recursion_outer(base::LINKER_INITIALIZED);
Mutex recursion_inner(base::LINKER_INITIALIZED);
void LockInnerFromHandler(int) { recursion_inner.Lock(); }

TEST(SynchRecursionDeathTest, ReenteringWhileWaitingDies) {
#ifdef TAVRO_TSAN
  GTEST_SKIP() << "the race detector delivers signals only outside blocking "
                  "system calls";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        recursion_outer.Lock();
        recursion_inner.Lock();
        struct sigaction action = {};
        action.sa_handler = LockInnerFromHandler;
        sigaction(SIGUSR1, &action, nullptr);
        std::thread *waiter = new std::thread([] { recursion_outer.Lock(); });
        while (QueueLength(&recursion_outer) != 1) sched_yield();
        pthread_kill(waiter->native_handle(), SIGUSR1);
        sleep(60);
      },
      "RAW: Check waitp->thread->waitp == 0 \\|\\| "
      "waitp->thread->suppress_fatal_errors failed: detected illegal "
      "recursion into Mutex code");
}

}  // namespace
