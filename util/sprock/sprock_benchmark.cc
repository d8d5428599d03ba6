// sprock_benchmark: throughput of Sprock against LZ4 on the sample corpus,
// with memcpy as the ceiling.
//
// One benchmark per (codec, direction, file), named codec/direction/file,
// plus one per (codec, direction) named codec/direction/all_files that
// works through every corpus file in turn each iteration: that one is the
// headline figure. Both directions count the uncompressed bytes, so the
// bytes/s of compression and decompression compare directly; the counter
// "ratio" is compressed size / uncompressed size.
//
// After the Google Benchmark table, a summary gives the all_files figures
// and the Sprock/LZ4 ratios. Usual flags apply, for example
//   sprock_benchmark --benchmark_filter=all_files
//   sprock_benchmark --benchmark_repetitions=5
#include <lz4.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "testing/corpus.h"
#include "util/sprock/sprock.h"

namespace {

// ---- The codecs under test ---------------------------------------------

struct Codec {
  const char* name;
  // Room needed for the compressed form of n bytes.
  size_t (*bound)(size_t n);
  // Compresses n bytes into out (bound(n) bytes); returns the size.
  size_t (*compress)(const char* in, size_t n, char* out, size_t capacity);
  // Decodes into out, which holds exactly the uncompressed length.
  bool (*uncompress)(const char* in, size_t n, char* out, size_t out_length);
};

const Codec kSprock = {
    "sprock",
    [](size_t n) { return quern::MaxCompressedLength(n); },
    [](const char* in, size_t n, char* out, size_t capacity) {
      size_t written = 0;
      quern::RawCompress(in, n, out, &written);
      return written;
    },
    [](const char* in, size_t n, char* out, size_t out_length) {
      return quern::RawUncompress(in, n, out);
    },
};

const Codec kLz4 = {
    "lz4",
    [](size_t n) {
      return static_cast<size_t>(LZ4_compressBound(static_cast<int>(n)));
    },
    [](const char* in, size_t n, char* out, size_t capacity) {
      int written = LZ4_compress_default(in, out, static_cast<int>(n),
                                         static_cast<int>(capacity));
      return static_cast<size_t>(written > 0 ? written : 0);
    },
    [](const char* in, size_t n, char* out, size_t out_length) {
      return LZ4_decompress_safe(in, out, static_cast<int>(n),
                                 static_cast<int>(out_length)) ==
             static_cast<int>(out_length);
    },
};

const Codec* const kCodecs[] = {&kSprock, &kLz4};
constexpr int kNumCodecs = 2;

// ---- The corpus, loaded and compressed once ----------------------------

struct Sample {
  std::string name;
  std::string data;
  std::string compressed[kNumCodecs];  // indexed like kCodecs
};

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "sprock_benchmark: %s\n", message.c_str());
  fflush(stderr);
  abort();
}

// Compresses with every codec and checks that each round trip gives back
// the input, before anything is timed.
void Prepare(Sample* sample) {
  const std::string& data = sample->data;
  if (data.size() > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
    Fail(sample->name + " is too large for LZ4");
  }
  for (int c = 0; c < kNumCodecs; c++) {
    const Codec& codec = *kCodecs[c];
    std::string compressed(codec.bound(data.size()), '\0');
    size_t n = codec.compress(data.data(), data.size(), &compressed[0],
                              compressed.size());
    if (n == 0 || n > compressed.size()) {
      Fail(std::string(codec.name) + " failed to compress " + sample->name);
    }
    compressed.resize(n);
    std::string decoded(data.size(), '\0');
    if (!codec.uncompress(compressed.data(), compressed.size(), &decoded[0],
                          decoded.size()) ||
        decoded != data) {
      Fail(std::string(codec.name) + " round trip failed on " + sample->name);
    }
    sample->compressed[c] = std::move(compressed);
  }
}

struct Totals {
  size_t uncompressed = 0;
  size_t compressed[kNumCodecs] = {};
  size_t largest = 0;
};

Totals Sum(const std::vector<const Sample*>& samples) {
  Totals t;
  for (const Sample* s : samples) {
    t.uncompressed += s->data.size();
    t.largest = std::max(t.largest, s->data.size());
    for (int c = 0; c < kNumCodecs; c++) {
      t.compressed[c] += s->compressed[c].size();
    }
  }
  return t;
}

double Ratio(size_t compressed, size_t uncompressed) {
  return uncompressed == 0 ? 0.0
                           : static_cast<double>(compressed) / uncompressed;
}

// ---- The benchmarks: each runs over a list of samples --------------------
// A per-file benchmark gets a list of one; all_files gets the whole corpus.

void Finish(benchmark::State& state, const std::vector<const Sample*>& samples,
            int codec) {
  const Totals totals = Sum(samples);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(totals.uncompressed));
  if (codec >= 0) {
    state.counters["ratio"] =
        Ratio(totals.compressed[codec], totals.uncompressed);
  }
}

void BM_Compress(benchmark::State& state, int c,
                 const std::vector<const Sample*>& samples) {
  const Codec& codec = *kCodecs[c];
  std::vector<char> out(codec.bound(Sum(samples).largest));
  for (auto _ : state) {
    for (const Sample* s : samples) {
      size_t n = codec.compress(s->data.data(), s->data.size(), out.data(),
                                out.size());
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  Finish(state, samples, c);
}

void BM_Uncompress(benchmark::State& state, int c,
                   const std::vector<const Sample*>& samples) {
  const Codec& codec = *kCodecs[c];
  std::vector<char> out(std::max<size_t>(Sum(samples).largest, 1));
  for (auto _ : state) {
    for (const Sample* s : samples) {
      const std::string& in = s->compressed[c];
      if (!codec.uncompress(in.data(), in.size(), out.data(),
                            s->data.size())) {
        state.SkipWithError("decompression failed");
        return;
      }
    }
    benchmark::ClobberMemory();
  }
  Finish(state, samples, c);
}

void BM_Memcpy(benchmark::State& state,
               const std::vector<const Sample*>& samples) {
  std::vector<char> out(std::max<size_t>(Sum(samples).largest, 1));
  for (auto _ : state) {
    for (const Sample* s : samples) {
      memcpy(out.data(), s->data.data(), s->data.size());
      benchmark::DoNotOptimize(out.data());
    }
    benchmark::ClobberMemory();
  }
  Finish(state, samples, -1);
}

// Registers the three kinds for one list of samples under names ending
// in suffix.
void RegisterAll(const std::string& suffix,
                 const std::vector<const Sample*>& samples,
                 benchmark::TimeUnit unit) {
  for (int c = 0; c < kNumCodecs; c++) {
    const std::string codec = kCodecs[c]->name;
    benchmark::RegisterBenchmark((codec + "/compress/" + suffix).c_str(),
                                 BM_Compress, c, samples)
        ->Unit(unit);
    benchmark::RegisterBenchmark((codec + "/uncompress/" + suffix).c_str(),
                                 BM_Uncompress, c, samples)
        ->Unit(unit);
  }
  benchmark::RegisterBenchmark(("memcpy/copy/" + suffix).c_str(), BM_Memcpy,
                               samples)
      ->Unit(unit);
}

// ---- Summary -------------------------------------------------------------

// Passes everything to the usual display reporter and keeps the bytes/s of
// each benchmark: the fastest repetition, or the median when only
// aggregates of repetitions are reported.
class SummaryReporter : public benchmark::BenchmarkReporter {
 public:
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

  // Bytes per second of a benchmark, or 0 when it did not run.
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

void PrintSummary(const SummaryReporter& reporter, const Totals& totals,
                  size_t files) {
  constexpr double kMiB = 1024.0 * 1024.0;
  auto speed = [&](const std::string& name) {
    return reporter.Rate(name + "/all_files") / kMiB;
  };
  auto cell = [](double v, const char* format) {
    char buf[32];
    if (v > 0) {
      snprintf(buf, sizeof(buf), format, v);
    } else {
      snprintf(buf, sizeof(buf), "-");
    }
    return std::string(buf);
  };
  auto quotient = [](double a, double b) { return b > 0 ? a / b : 0.0; };

  const double sc = speed("sprock/compress"), su = speed("sprock/uncompress");
  const double lc = speed("lz4/compress"), lu = speed("lz4/uncompress");
  const double mc = speed("memcpy/copy");
  const double sr = Ratio(totals.compressed[0], totals.uncompressed);
  const double lr = Ratio(totals.compressed[1], totals.uncompressed);

  printf("\nSummary: all_files, %zu files, %.1f MiB; speeds in MiB/s of "
         "uncompressed data\n",
         files, totals.uncompressed / kMiB);
  printf("  %-12s %12s %12s %12s\n", "", "compress", "uncompress",
         "size ratio");
  printf("  %-12s %12s %12s %12s\n", "sprock", cell(sc, "%.1f").c_str(),
         cell(su, "%.1f").c_str(), cell(sr, "%.4f").c_str());
  printf("  %-12s %12s %12s %12s\n", "lz4", cell(lc, "%.1f").c_str(),
         cell(lu, "%.1f").c_str(), cell(lr, "%.4f").c_str());
  printf("  %-12s %12s %12s %12s\n", "sprock/lz4",
         cell(quotient(sc, lc), "%.3f").c_str(),
         cell(quotient(su, lu), "%.3f").c_str(),
         cell(quotient(sr, lr), "%.3f").c_str());
  printf("  %-12s %12s\n", "memcpy", cell(mc, "%.1f").c_str());
  printf("  (sprock/lz4 above 1 means Sprock is faster, or its output "
         "larger; size ratio = compressed / uncompressed)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::vector<std::string> paths = testing_corpus::CorpusFiles();
  if (paths.empty()) {
    printf("%s\n", testing_corpus::MissingCorpusMessage().c_str());
    return 0;
  }

  // Samples live until exit: the registered benchmarks point into them.
  static std::vector<Sample> samples(paths.size());
  std::vector<const Sample*> all;
  for (size_t i = 0; i < paths.size(); i++) {
    samples[i].name = testing_corpus::ShortName(paths[i]);
    samples[i].data = testing_corpus::ReadFile(paths[i]);
    Prepare(&samples[i]);
    all.push_back(&samples[i]);
  }

  // The aggregates first: they are the headline and finish early.
  RegisterAll("all_files", all, benchmark::kMillisecond);
  for (const Sample* s : all) {
    RegisterAll(s->name, {s}, benchmark::kMicrosecond);
  }

  SummaryReporter reporter(benchmark::CreateDefaultDisplayReporter());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter, Sum(all), all.size());
  benchmark::Shutdown();
  return 0;
}
