// A Google Benchmark reporter for benchmarks that compare the time per
// operation of our primitive against peers: it passes everything to the
// usual display reporter, keeps each run's real time per iteration, and
// after the run prints "ours vs peer" ratios for the pairs it was given
// (a ratio above 1 means ours is faster).
#ifndef TESTING_TIME_RATIO_REPORTER_H_
#define TESTING_TIME_RATIO_REPORTER_H_

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "benchmark/benchmark.h"

namespace testing_benchmark {

class TimeRatioReporter : public benchmark::BenchmarkReporter {
 public:
  // Each pair names (ours, peer) by full run name, e.g.
  // {"BM_SpinLock/threads:2", "BM_StdMutex/threads:2"}.
  TimeRatioReporter(benchmark::BenchmarkReporter *display,
                    std::vector<std::pair<std::string, std::string>> pairs)
      : display_(display), pairs_(std::move(pairs)) {}

  bool ReportContext(const Context &context) override {
    return display_->ReportContext(context);
  }

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      time_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    display_->ReportRuns(runs);
  }

  void Finalize() override {
    display_->Finalize();
    printf("\n%-48s %-40s %8s\n", "ours", "peer", "speedup");
    for (const auto &pair : pairs_) {
      auto ours = time_.find(pair.first), peer = time_.find(pair.second);
      if (ours == time_.end() || peer == time_.end()) continue;
      printf("%-48s %-40s %8.3g\n", pair.first.c_str(), pair.second.c_str(),
             peer->second / ours->second);
    }
  }

 private:
  benchmark::BenchmarkReporter *display_;
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::map<std::string, double> time_;
};

}  // namespace testing_benchmark

#endif  // TESTING_TIME_RATIO_REPORTER_H_
