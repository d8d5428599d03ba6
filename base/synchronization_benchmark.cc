// Mutex and CondVar against the standard peers:
// - uncontended Lock/Unlock and ReaderLock/ReaderUnlock pairs (threads:1)
//   against std::mutex, std::shared_mutex and pthread_rwlock;
// - contended exclusive throughput with 2, 4 and 8 threads, each taking the
//   lock around a short (4 steps) or longer (64 steps) critical section;
// - a read-mostly mix: 95% shared sections, 5% exclusive ones;
// - CondVar ping-pong between two threads against std::condition_variable
//   (and the same hand-off written with LockWhen).
//
// The process creates a thread before measuring, so that every run, also
// with one thread, is in a multi-threaded process. As at process start-up,
// main calls InitMainThreadID, which lets a
// contended Lock spin before it queues; --no_init_main_thread measures the
// state before that call (one extra attempt, then queue).
#include <pthread.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/synchronization.h"
#include "benchmark/benchmark.h"
#include "testing/time_ratio_reporter.h"

namespace {

// The state the critical sections work on; written only under the lock
// being measured.
uint64_t shared_state = 1;

inline void WriteSection(int steps) {
  for (int i = 0; i < steps; i++) {
    shared_state = shared_state * 6364136223846793005u + 1;
  }
  benchmark::DoNotOptimize(shared_state);
}

// Reads the shared state once and works on a local copy: readers of a
// shared lock can run side by side.
inline void ReadSection(int steps) {
  uint64_t x = shared_state;
  for (int i = 0; i < steps; i++) x = x * 6364136223846793005u + 1;
  benchmark::DoNotOptimize(x);
}

struct Ours {
  static Mutex mu;
  static void Lock() { mu.Lock(); }
  static void Unlock() { mu.Unlock(); }
  static void ReaderLock() { mu.ReaderLock(); }
  static void ReaderUnlock() { mu.ReaderUnlock(); }
};
Mutex Ours::mu(base::LINKER_INITIALIZED);

struct StdMutex {
  static std::mutex mu;
  static void Lock() { mu.lock(); }
  static void Unlock() { mu.unlock(); }
  static void ReaderLock() { mu.lock(); }
  static void ReaderUnlock() { mu.unlock(); }
};
std::mutex StdMutex::mu;

struct StdSharedMutex {
  static std::shared_mutex mu;
  static void Lock() { mu.lock(); }
  static void Unlock() { mu.unlock(); }
  static void ReaderLock() { mu.lock_shared(); }
  static void ReaderUnlock() { mu.unlock_shared(); }
};
std::shared_mutex StdSharedMutex::mu;

struct PthreadRwlock {
  static pthread_rwlock_t mu;
  static void Lock() { pthread_rwlock_wrlock(&mu); }
  static void Unlock() { pthread_rwlock_unlock(&mu); }
  static void ReaderLock() { pthread_rwlock_rdlock(&mu); }
  static void ReaderUnlock() { pthread_rwlock_unlock(&mu); }
};
pthread_rwlock_t PthreadRwlock::mu = PTHREAD_RWLOCK_INITIALIZER;

// Exclusive sections of state.range(0) steps; with one thread, the
// uncontended pair.
template <typename L>
void BM_Exclusive(benchmark::State &state) {
  const int steps = static_cast<int>(state.range(0));
  for (auto _ : state) {
    L::Lock();
    WriteSection(steps);
    L::Unlock();
  }
}

// Shared sections only.
template <typename L>
void BM_Shared(benchmark::State &state) {
  const int steps = static_cast<int>(state.range(0));
  for (auto _ : state) {
    L::ReaderLock();
    ReadSection(steps);
    L::ReaderUnlock();
  }
}

// One exclusive section in 20, chosen at random; 16 steps either way.
template <typename L>
void BM_ReadMostly(benchmark::State &state) {
  uint64_t rng = 0x9E3779B97F4A7C15u * (state.thread_index() + 1);
  for (auto _ : state) {
    rng = rng * 6364136223846793005u + 1442695040888963407u;
    if ((rng >> 33) % 20 == 0) {
      L::Lock();
      WriteSection(16);
      L::Unlock();
    } else {
      L::ReaderLock();
      ReadSection(16);
      L::ReaderUnlock();
    }
  }
}

#define EXCLUSIVE_RUNS(L)             \
  BENCHMARK_TEMPLATE(BM_Exclusive, L) \
      ->Arg(4)                        \
      ->Arg(64)                       \
      ->Threads(1)                    \
      ->Threads(2)                    \
      ->Threads(4)                    \
      ->Threads(8)                    \
      ->UseRealTime()
EXCLUSIVE_RUNS(Ours);
EXCLUSIVE_RUNS(StdMutex);
EXCLUSIVE_RUNS(StdSharedMutex);
EXCLUSIVE_RUNS(PthreadRwlock);

#define SHARED_RUNS(L)             \
  BENCHMARK_TEMPLATE(BM_Shared, L) \
      ->Arg(4)                     \
      ->Threads(1)                 \
      ->Threads(2)                 \
      ->UseRealTime()
SHARED_RUNS(Ours);
SHARED_RUNS(StdSharedMutex);
SHARED_RUNS(PthreadRwlock);

#define READ_MOSTLY_RUNS(L)            \
  BENCHMARK_TEMPLATE(BM_ReadMostly, L) \
      ->Threads(2)                     \
      ->Threads(4)                     \
      ->Threads(8)                     \
      ->UseRealTime()
READ_MOSTLY_RUNS(Ours);
READ_MOSTLY_RUNS(StdMutex);
READ_MOSTLY_RUNS(StdSharedMutex);
READ_MOSTLY_RUNS(PthreadRwlock);

// ---- Ping-pong: two threads hand a turn back and forth ---------------------

// Both threads run the same number of iterations, each one hand-off, so the
// turn is back at 0 when a run ends.
int turn = 0;
Mutex ping_mu(base::LINKER_INITIALIZED);
CondVar ping_cv;
std::mutex std_ping_mu;
std::condition_variable std_ping_cv;

void BM_PingPongCondVar(benchmark::State &state) {
  const int me = state.thread_index();
  for (auto _ : state) {
    MutexLock l(&ping_mu);
    while (turn != me) ping_cv.Wait(&ping_mu);
    turn = 1 - me;
    ping_cv.Signal();
  }
}
BENCHMARK(BM_PingPongCondVar)->Threads(2)->UseRealTime();

struct Turn {
  int me;
  static bool Mine(void *arg) { return turn == static_cast<Turn *>(arg)->me; }
};

void BM_PingPongLockWhen(benchmark::State &state) {
  Turn mine{state.thread_index()};
  for (auto _ : state) {
    ping_mu.LockWhen(Condition(&Turn::Mine, &mine));
    turn = 1 - mine.me;
    ping_mu.Unlock();
  }
}
BENCHMARK(BM_PingPongLockWhen)->Threads(2)->UseRealTime();

void BM_PingPongStdConditionVariable(benchmark::State &state) {
  const int me = state.thread_index();
  for (auto _ : state) {
    std::unique_lock<std::mutex> l(std_ping_mu);
    while (turn != me) std_ping_cv.wait(l);
    turn = 1 - me;
    std_ping_cv.notify_one();
  }
}
BENCHMARK(BM_PingPongStdConditionVariable)->Threads(2)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  bool init_main_thread = true;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--no_init_main_thread") == 0) {
      init_main_thread = false;
      memmove(&argv[i], &argv[i + 1], (argc - i) * sizeof(argv[0]));
      argc--;
      i--;
    }
  }
  if (init_main_thread) InitMainThreadID();
  // Locks matter in processes that have threads. (Until a process creates
  // its first thread, the C library takes its own locks without atomic
  // instructions, which would flatter the peers' single-thread runs.)
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter display;
  std::vector<std::pair<std::string, std::string>> pairs;
  const char *const peers[] = {"StdMutex", "StdSharedMutex", "PthreadRwlock"};
  for (const char *steps : {"4", "64"}) {
    for (const char *threads : {"1", "2", "4", "8"}) {
      const std::string suffix =
          std::string(">/") + steps + "/real_time/threads:" + threads;
      for (const char *peer : peers) {
        pairs.push_back({"BM_Exclusive<Ours" + suffix,
                         std::string("BM_Exclusive<") + peer + suffix});
      }
    }
  }
  for (const char *threads : {"1", "2"}) {
    const std::string suffix = std::string(">/4/real_time/threads:") + threads;
    for (const char *peer : {"StdSharedMutex", "PthreadRwlock"}) {
      pairs.push_back({"BM_Shared<Ours" + suffix,
                       std::string("BM_Shared<") + peer + suffix});
    }
  }
  for (const char *threads : {"2", "4", "8"}) {
    const std::string suffix = std::string(">/real_time/threads:") + threads;
    for (const char *peer : peers) {
      pairs.push_back({"BM_ReadMostly<Ours" + suffix,
                       std::string("BM_ReadMostly<") + peer + suffix});
    }
  }
  pairs.push_back({"BM_PingPongCondVar/real_time/threads:2",
                   "BM_PingPongStdConditionVariable/real_time/threads:2"});
  pairs.push_back({"BM_PingPongLockWhen/real_time/threads:2",
                   "BM_PingPongStdConditionVariable/real_time/threads:2"});
  testing_benchmark::TimeRatioReporter reporter(&display, pairs);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
