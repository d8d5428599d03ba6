// Helpers for stress tests of the synchronization primitives: run a body on
// more threads than there are processors, optionally all pinned to one
// processor, so that holders are preempted inside critical sections and
// every sleep/wake path is taken.
#ifndef TESTING_THREAD_STRESS_H_
#define TESTING_THREAD_STRESS_H_

#include <functional>
#include <ostream>

namespace testing_threads {

enum class Placement {
  kAnyCpu,  // threads run where the scheduler puts them
  kOneCpu,  // every thread is pinned to the same processor
};

// Runs body(i) for i in [0, threads) on that many threads and joins them.
void RunThreads(int threads, Placement placement,
                const std::function<void(int)> &body);

// Both placements, for parameterized tests.
constexpr Placement kPlacements[] = {Placement::kAnyCpu, Placement::kOneCpu};

const char *PlacementName(Placement placement);

// Names the placement in test names and failure messages.
inline void PrintTo(Placement placement, std::ostream *os) {
  *os << PlacementName(placement);
}

}  // namespace testing_threads

#endif  // TESTING_THREAD_STRESS_H_
