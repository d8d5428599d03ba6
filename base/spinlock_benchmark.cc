// SpinLock and once-initialization against the standard peers: uncontended
// lock/unlock pairs, contended throughput with 2 and 4 threads (each thread
// takes the lock, does a little work, releases it), and the fast path of a
// once that has already run.
#include <pthread.h>

#include <mutex>

#include "base/once.h"
#include "base/spinlock.h"
#include "benchmark/benchmark.h"
#include "testing/time_ratio_reporter.h"

namespace {

// A few dependent operations inside the critical section, so that the
// contended runs measure hand-offs rather than an empty section.
uint64_t shared_state = 1;
inline void CriticalSection() {
  for (int i = 0; i < 4; i++)
    shared_state = shared_state * 6364136223846793005u + 1;
  benchmark::DoNotOptimize(shared_state);
}

SpinLock spin_lock(base::LINKER_INITIALIZED);
std::mutex std_mutex;
pthread_spinlock_t pthread_spin;

void BM_SpinLock(benchmark::State &state) {
  for (auto _ : state) {
    spin_lock.Lock();
    CriticalSection();
    spin_lock.Unlock();
  }
}
BENCHMARK(BM_SpinLock)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_StdMutex(benchmark::State &state) {
  for (auto _ : state) {
    std_mutex.lock();
    CriticalSection();
    std_mutex.unlock();
  }
}
BENCHMARK(BM_StdMutex)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_PthreadSpinLock(benchmark::State &state) {
  for (auto _ : state) {
    pthread_spin_lock(&pthread_spin);
    CriticalSection();
    pthread_spin_unlock(&pthread_spin);
  }
}
BENCHMARK(BM_PthreadSpinLock)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseRealTime();

TavroOnceType tavro_once = TAVRO_ONCE_INIT;
std::once_flag std_once;
void Nothing() {}

void BM_TavroOnceDone(benchmark::State &state) {
  TavroOnceInit(&tavro_once, Nothing);
  for (auto _ : state) {
    TavroOnceInit(&tavro_once, Nothing);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_TavroOnceDone);

void BM_StdCallOnceDone(benchmark::State &state) {
  std::call_once(std_once, Nothing);
  for (auto _ : state) {
    std::call_once(std_once, Nothing);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdCallOnceDone);

}  // namespace

int main(int argc, char **argv) {
  pthread_spin_init(&pthread_spin, PTHREAD_PROCESS_PRIVATE);
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter display;
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const char *threads : {"threads:1", "threads:2", "threads:4"}) {
    std::string suffix = std::string("/real_time/") + threads;
    pairs.push_back({"BM_SpinLock" + suffix, "BM_StdMutex" + suffix});
    pairs.push_back({"BM_SpinLock" + suffix, "BM_PthreadSpinLock" + suffix});
  }
  pairs.push_back({"BM_TavroOnceDone", "BM_StdCallOnceDone"});
  testing_benchmark::TimeRatioReporter reporter(&display, pairs);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
