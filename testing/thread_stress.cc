#include "testing/thread_stress.h"

#include <pthread.h>
#include <sched.h>

#include <thread>
#include <vector>

namespace testing_threads {
namespace {

// The first processor the process may run on.
int FirstAllowedCpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
    if (CPU_ISSET(cpu, &set)) return cpu;
  }
  return 0;
}

void PinCurrentThread(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

}  // namespace

void RunThreads(int threads, Placement placement,
                const std::function<void(int)> &body) {
  const int cpu = FirstAllowedCpu();
  std::vector<std::thread> workers;
  workers.reserve(threads);
  for (int i = 0; i < threads; i++) {
    workers.emplace_back([&body, i, placement, cpu] {
      if (placement == Placement::kOneCpu) PinCurrentThread(cpu);
      body(i);
    });
  }
  for (auto &t : workers) t.join();
}

const char *PlacementName(Placement placement) {
  return placement == Placement::kOneCpu ? "OneCpu" : "AnyCpu";
}

}  // namespace testing_threads
