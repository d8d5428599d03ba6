// get_current_time_benchmark: the cost of one reading of the current time
// through base::GetCurrentTimeNanos against the kernel clocks it replaces,
// clock_gettime(CLOCK_REALTIME) and clock_gettime(CLOCK_MONOTONIC) (both
// vDSO calls), with the bare cycle-clock read as the floor.
//
// After the Google Benchmark table a summary gives nanoseconds per reading
// and how many times faster GetCurrentTimeNanos is than each kernel clock.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/cycleclock.h"
#include "base/get_current_time.h"
#include "base/walltime.h"
#include "benchmark/benchmark.h"

namespace {

int64 ClockGettimeNanos(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<int64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void BM_GetCurrentTimeNanos(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(base::GetCurrentTimeNanos());
  }
}
BENCHMARK(BM_GetCurrentTimeNanos);

void BM_WallTime_Now(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(WallTime_Now());
  }
}
BENCHMARK(BM_WallTime_Now);

void BM_ClockGettimeRealtime(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ClockGettimeNanos(CLOCK_REALTIME));
  }
}
BENCHMARK(BM_ClockGettimeRealtime);

void BM_ClockGettimeMonotonic(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ClockGettimeNanos(CLOCK_MONOTONIC));
  }
}
BENCHMARK(BM_ClockGettimeMonotonic);

void BM_CycleClockNow(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(CycleClock::Now());
  }
}
BENCHMARK(BM_CycleClockNow);

// Passes everything to the console and keeps the time per iteration of each
// benchmark (its fastest repetition).
class NanosReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.run_name.function_name;
      const double ns = run.GetAdjustedRealTime() /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      auto it = nanos_.find(name);
      if (it == nanos_.end() || ns < it->second) nanos_[name] = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double Nanos(const std::string& name) const {
    auto it = nanos_.find(name);
    return it == nanos_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> nanos_;
};

void PrintSummary(const NanosReporter& reporter) {
  const double ours = reporter.Nanos("BM_GetCurrentTimeNanos");
  const double realtime = reporter.Nanos("BM_ClockGettimeRealtime");
  const double monotonic = reporter.Nanos("BM_ClockGettimeMonotonic");
  printf("\nSummary: ns per reading\n");
  printf("  %-32s %8.2f\n", "GetCurrentTimeNanos", ours);
  printf("  %-32s %8.2f\n", "WallTime_Now", reporter.Nanos("BM_WallTime_Now"));
  printf("  %-32s %8.2f\n", "clock_gettime(CLOCK_REALTIME)", realtime);
  printf("  %-32s %8.2f\n", "clock_gettime(CLOCK_MONOTONIC)", monotonic);
  printf("  %-32s %8.2f\n", "CycleClock::Now",
         reporter.Nanos("BM_CycleClockNow"));
  if (ours > 0 && realtime > 0 && monotonic > 0) {
    printf("  speed-up over CLOCK_REALTIME:  %.2fx\n", realtime / ours);
    printf("  speed-up over CLOCK_MONOTONIC: %.2fx\n", monotonic / ours);
  }
  printf("  (goal: at least 2x over clock_gettime)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Calibrate before timing, so that the fast path is what is measured.
  base::GetCurrentTimeNanos();
  usleep(600000);
  base::GetCurrentTimeNanos();

  NanosReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
