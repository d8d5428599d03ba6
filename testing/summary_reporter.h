// A Google Benchmark reporter for the project's benchmarks that print a
// summary of speed ratios after the run: it passes everything to the usual
// display reporter and keeps the bytes/s of each benchmark.
#ifndef TESTING_SUMMARY_REPORTER_H_
#define TESTING_SUMMARY_REPORTER_H_

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"

namespace testing_benchmark {

class SummaryReporter : public benchmark::BenchmarkReporter {
 public:
  // display is owned by the caller.
  explicit SummaryReporter(benchmark::BenchmarkReporter* display)
      : display_(display) {}

  bool ReportContext(const Context& context) override {
    return display_->ReportContext(context);
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      const std::string& name = run.run_name.function_name;
      const double rate = it->second.value;
      if (run.run_type == Run::RT_Iteration) {
        best_[name] = std::max(best_[name], rate);
      } else if (run.aggregate_name == "median") {
        median_[name] = rate;
      }
    }
    display_->ReportRuns(runs);
  }

  void Finalize() override { display_->Finalize(); }

  // Bytes per second of a benchmark: its fastest repetition, or the median
  // when only aggregates were reported; 0 when it did not run.
  double Rate(const std::string& name) const {
    auto it = best_.find(name);
    if (it != best_.end()) return it->second;
    it = median_.find(name);
    return it != median_.end() ? it->second : 0.0;
  }

 private:
  benchmark::BenchmarkReporter* display_;
  std::map<std::string, double> best_;
  std::map<std::string, double> median_;
};

}  // namespace testing_benchmark

#endif  // TESTING_SUMMARY_REPORTER_H_
