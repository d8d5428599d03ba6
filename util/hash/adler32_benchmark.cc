// adler32_benchmark: Adler-32 throughput of this library's routine
// (FastAdler32Func after FastAdler32Init, called as users call it) against
// zlib's adler32 and libdeflate's libdeflate_adler32.
//
// One benchmark per (routine, size), named routine/size, over random bytes
// that start one byte past a 64-byte boundary, as unaligned as a caller's
// buffer may be. Each iteration checksums the buffer once from 1.
//
// After the Google Benchmark table, a summary gives MB/s (10^6 bytes) per
// size and the speed ratios against zlib. Usual flags apply, e.g.
//   taskset -c 1 adler32_benchmark --benchmark_repetitions=3
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "testing/summary_reporter.h"
#include "util/hash/adler32_init.h"

namespace {

using testing_benchmark::SummaryReporter;

typedef uint32 (*Checksum)(uint32 adler, const uint8* data, size_t length);

uint32 Ours(uint32 adler, const uint8* data, size_t length) {
  return FastAdler32Func(adler, data, length);
}
uint32 Zlib(uint32 adler, const uint8* data, size_t length) {
  return static_cast<uint32>(adler32(adler, data, static_cast<uInt>(length)));
}
uint32 Libdeflate(uint32 adler, const uint8* data, size_t length) {
  return libdeflate_adler32(adler, data, length);
}

// Times one routine at one size. The routine is a template argument, so
// the timed loop calls it directly, as a caller of that library would.
template <Checksum F>
void BM_Checksum(benchmark::State& state, const uint8* data, size_t size) {
  for (auto _ : state) {
    uint32 sum = F(1, data, size);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(size));
}

struct Routine {
  const char* name;
  Checksum checksum;
  void (*benchmark)(benchmark::State&, const uint8*, size_t);
};

const Routine kRoutines[] = {
    {"ours", Ours, BM_Checksum<Ours>},
    {"zlib", Zlib, BM_Checksum<Zlib>},
    {"libdeflate", Libdeflate, BM_Checksum<Libdeflate>},
};

const size_t kSizes[] = {1, 16, 32, 64, 1 << 10, 64 << 10, 1 << 20};
constexpr size_t kOffset = 1;  // from a 64-byte boundary

std::string SizeName(size_t n) {
  char buf[32];
  if (n >= (1 << 20)) {
    snprintf(buf, sizeof buf, "%zuMiB", n >> 20);
  } else if (n >= (1 << 10)) {
    snprintf(buf, sizeof buf, "%zuKiB", n >> 10);
  } else {
    snprintf(buf, sizeof buf, "%zuB", n);
  }
  return buf;
}

// Random bytes, 64-byte aligned, with room for the offset.
const uint8* Buffer() {
  static const uint8* buffer = [] {
    const size_t size = kSizes[sizeof kSizes / sizeof kSizes[0] - 1] + 64;
    uint8* b = static_cast<uint8*>(aligned_alloc(64, size));
    std::mt19937 rng(1);
    for (size_t i = 0; i < size; i++) b[i] = static_cast<uint8>(rng());
    return b;
  }();
  return buffer;
}

// Every routine must give zlib's checksum before anything is timed.
void CheckAgreement() {
  for (size_t size : kSizes) {
    const uint8* data = Buffer() + kOffset;
    const uint32 want = Zlib(1, data, size);
    for (const Routine& r : kRoutines) {
      if (r.checksum(1, data, size) != want) {
        fprintf(stderr, "adler32_benchmark: %s disagrees with zlib at %zu\n",
                r.name, size);
        abort();
      }
    }
  }
}

void PrintSummary(const SummaryReporter& reporter) {
  auto cell = [](double v, const char* format) {
    char buf[32];
    if (v > 0) {
      snprintf(buf, sizeof buf, format, v);
    } else {
      snprintf(buf, sizeof buf, "-");
    }
    return std::string(buf);
  };
  printf(
      "\nSummary: MB/s (10^6 bytes), input offset %zu from a 64-byte "
      "boundary; ratios against zlib\n",
      kOffset);
  printf("  %-8s %11s %11s %11s %11s %11s\n", "size", "ours", "zlib",
         "libdeflate", "ours/zlib", "ldefl/zlib");
  for (size_t size : kSizes) {
    const std::string suffix = "/" + SizeName(size);
    const double ours = reporter.Rate("ours" + suffix) / 1e6;
    const double zlib = reporter.Rate("zlib" + suffix) / 1e6;
    const double ldefl = reporter.Rate("libdeflate" + suffix) / 1e6;
    printf("  %-8s %11s %11s %11s %11s %11s\n", SizeName(size).c_str(),
           cell(ours, "%.0f").c_str(), cell(zlib, "%.0f").c_str(),
           cell(ldefl, "%.0f").c_str(),
           cell(zlib > 0 ? ours / zlib : 0, "%.2f").c_str(),
           cell(zlib > 0 ? ldefl / zlib : 0, "%.2f").c_str());
  }
  printf("  (goal: ours/zlib >= 4 from 1 KiB up, >= 1 below 64 bytes)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  FastAdler32Init();
  CheckAgreement();
  for (size_t size : kSizes) {
    for (const Routine& r : kRoutines) {
      benchmark::RegisterBenchmark(
          (std::string(r.name) + "/" + SizeName(size)).c_str(), r.benchmark,
          Buffer() + kOffset, size);
    }
  }

  SummaryReporter reporter(benchmark::CreateDefaultDisplayReporter());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
