// codec_benchmark: throughput and ratio of the library's codecs (Sprock,
// Tessel) against their peers (LZ4, zstd, zlib, libdeflate) on the sample
// corpus, with memcpy as the ceiling.
//
// Every codec is one entry of kCodecs: a name and a factory for its
// compress / uncompress / bound functions. Before anything is timed, each
// codec compresses every corpus file and must give it back unchanged.
//
// One benchmark per (codec, direction) named codec/direction/all_files
// works through every corpus file in turn each iteration: that is the
// headline figure. With --per_file there is also one per (codec,
// direction, file), named codec/direction/file (that takes several times
// longer). Both directions count the uncompressed bytes, so the bytes/s of
// compression and decompression compare directly; the counter "ratio" is
// uncompressed size / compressed size.
//
// After the Google Benchmark table, a summary gives the all_files figures
// and the speed ratios against LZ4, zstd -1 and zlib -1; it is also written
// as a Markdown page (with a line naming the machine) and as CSV for the
// chart (tools/plot_benchmark.py). Options of its own:
//   --per_file              also run the per-file benchmarks
//   --markdown_out=PATH     the Markdown page (default: benchmarks.md in
//                           the build folder)
//   --csv_out=PATH          the CSV for the chart (default: benchmarks.csv
//                           in the build folder)
//   --chart_link=LINK       the chart image the page links to (default:
//                           benchmarks.png, beside the page)
// Google Benchmark's flags apply as usual, for example
//   codec_benchmark --benchmark_filter='^(sprock|lz4)/'
//   codec_benchmark --benchmark_repetitions=3
#include <lz4.h>
#include <libdeflate.h>
#include <sched.h>
#include <sys/utsname.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "benchmark/benchmark.h"
#include "testing/summary_reporter.h"
#include "strings/stringpiece.h"
#include "testing/corpus.h"
#include "util/compression/tessel/internal/tessel.h"
#include "util/sprock/sprock.h"

#ifndef TAVRO_BENCHMARK_OUTPUT_DIR
#define TAVRO_BENCHMARK_OUTPUT_DIR "build"
#endif

namespace {

using testing_benchmark::SummaryReporter;

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "codec_benchmark: %s\n", message.c_str());
  fflush(stderr);
  abort();
}

// ---- The codecs under test ---------------------------------------------

// What compress returns when it cannot.
constexpr size_t kCompressFailed = static_cast<size_t>(-1);

// The functions of one instance of a codec. They may share working memory
// (a Tessel object, zstd or libdeflate contexts), so an instance serves
// one thread; each benchmark makes its own before timing starts.
struct CodecFunctions {
  // Room needed for the compressed form of n bytes.
  std::function<size_t(size_t n)> bound;
  // Compresses n bytes into out (bound(n) bytes); returns the size, or
  // kCompressFailed.
  std::function<size_t(const char* in, size_t n, char* out, size_t capacity)>
      compress;
  // Decodes into out, which holds exactly the uncompressed length.
  std::function<bool(const char* in, size_t n, char* out, size_t out_length)>
      uncompress;
};

// Whose codec it is: the chart colours them apart.
enum class Group { kProject, kPeer, kCeiling };

struct Codec {
  const char* id;     // in benchmark names: id/compress/all_files
  const char* label;  // in the summary, the page and the chart
  Group group;
  std::function<CodecFunctions()> make;
};

CodecFunctions MakeSprock() {
  return {
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
}

CodecFunctions MakeTessel() {
  using util::compression::tessel::Tessel;
  auto tessel = std::make_shared<Tessel>();
  return {
      [tessel](size_t n) { return tessel->MaxCompressedLength(n); },
      [tessel](const char* in, size_t n, char* out, size_t capacity) {
        return tessel->RawCompress(StringPiece(in, n), out);
      },
      [tessel](const char* in, size_t n, char* out, size_t out_length) {
        return tessel->RawUncompress(in, n, out, out_length);
      },
  };
}

CodecFunctions MakeLz4() {
  return {
      [](size_t n) {
        return n > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)
                   ? n
                   : static_cast<size_t>(
                         LZ4_compressBound(static_cast<int>(n)));
      },
      [](const char* in, size_t n, char* out, size_t capacity) {
        if (n > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
          return kCompressFailed;
        }
        const int written = LZ4_compress_default(
            in, out, static_cast<int>(n),
            static_cast<int>(std::min<size_t>(capacity, INT32_MAX)));
        return written > 0 ? static_cast<size_t>(written) : kCompressFailed;
      },
      [](const char* in, size_t n, char* out, size_t out_length) {
        return LZ4_decompress_safe(in, out, static_cast<int>(n),
                                   static_cast<int>(out_length)) ==
               static_cast<int>(out_length);
      },
  };
}

// zstd at one level, with a compression and a decompression context reused
// across calls.
CodecFunctions MakeZstd(int level) {
  std::shared_ptr<ZSTD_CCtx> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  std::shared_ptr<ZSTD_DCtx> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (cctx == nullptr || dctx == nullptr) Fail("cannot create zstd contexts");
  return {
      [](size_t n) { return ZSTD_compressBound(n); },
      [cctx, level](const char* in, size_t n, char* out, size_t capacity) {
        const size_t written =
            ZSTD_compressCCtx(cctx.get(), out, capacity, in, n, level);
        return ZSTD_isError(written) ? kCompressFailed : written;
      },
      [dctx](const char* in, size_t n, char* out, size_t out_length) {
        return ZSTD_decompressDCtx(dctx.get(), out, out_length, in, n) ==
               out_length;
      },
  };
}

// zlib's one-shot calls (the zlib format) at one level.
CodecFunctions MakeZlib(int level) {
  return {
      [](size_t n) { return static_cast<size_t>(compressBound(n)); },
      [level](const char* in, size_t n, char* out, size_t capacity) {
        uLongf written = capacity;
        const int status =
            compress2(reinterpret_cast<Bytef*>(out), &written,
                      reinterpret_cast<const Bytef*>(in), n, level);
        return status == Z_OK ? static_cast<size_t>(written)
                              : kCompressFailed;
      },
      [](const char* in, size_t n, char* out, size_t out_length) {
        uLongf written = out_length;
        return uncompress(reinterpret_cast<Bytef*>(out), &written,
                          reinterpret_cast<const Bytef*>(in), n) == Z_OK &&
               written == out_length;
      },
  };
}

// libdeflate's raw DEFLATE at one level, with reused (de)compressors.
CodecFunctions MakeLibdeflate(int level) {
  std::shared_ptr<libdeflate_compressor> compressor(
      libdeflate_alloc_compressor(level), libdeflate_free_compressor);
  std::shared_ptr<libdeflate_decompressor> decompressor(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  if (compressor == nullptr || decompressor == nullptr) {
    Fail("cannot create libdeflate (de)compressors");
  }
  return {
      [compressor](size_t n) {
        return libdeflate_deflate_compress_bound(compressor.get(), n);
      },
      [compressor](const char* in, size_t n, char* out, size_t capacity) {
        const size_t written =
            libdeflate_deflate_compress(compressor.get(), in, n, out, capacity);
        return written > 0 ? written : kCompressFailed;
      },
      [decompressor](const char* in, size_t n, char* out, size_t out_length) {
        // No actual-size pointer: anything but exactly out_length fails.
        return libdeflate_deflate_decompress(decompressor.get(), in, n, out,
                                             out_length, nullptr) ==
               LIBDEFLATE_SUCCESS;
      },
  };
}

// The ceiling: both directions are a plain copy.
CodecFunctions MakeMemcpy() {
  return {
      [](size_t n) { return n; },
      [](const char* in, size_t n, char* out, size_t capacity) {
        memcpy(out, in, n);
        return n;
      },
      [](const char* in, size_t n, char* out, size_t out_length) {
        if (n != out_length) return false;
        memcpy(out, in, n);
        return true;
      },
  };
}

const std::vector<Codec>& Codecs() {
  static const std::vector<Codec>* const codecs = new std::vector<Codec>{
      {"sprock", "Sprock", Group::kProject, MakeSprock},
      {"tessel", "Tessel", Group::kProject, MakeTessel},
      {"lz4", "LZ4", Group::kPeer, MakeLz4},
      {"zstd_fast1", "zstd --fast=1", Group::kPeer, [] { return MakeZstd(-1); }},
      {"zstd_1", "zstd -1", Group::kPeer, [] { return MakeZstd(1); }},
      {"zlib_1", "zlib -1", Group::kPeer, [] { return MakeZlib(1); }},
      {"zlib_6", "zlib -6", Group::kPeer, [] { return MakeZlib(6); }},
      {"libdeflate_1", "libdeflate -1", Group::kPeer,
       [] { return MakeLibdeflate(1); }},
      {"memcpy", "memcpy", Group::kCeiling, MakeMemcpy},
  };
  return *codecs;
}

// The peers every codec's speed is divided by in the summary.
const char* const kReferences[] = {"lz4", "zstd_1", "zlib_1"};

int CodecIndex(const std::string& id) {
  for (size_t c = 0; c < Codecs().size(); c++) {
    if (id == Codecs()[c].id) return static_cast<int>(c);
  }
  Fail("no codec " + id);
}

// ---- The corpus, loaded and compressed once ----------------------------

struct Sample {
  std::string name;
  std::string data;
  std::vector<std::string> compressed;  // indexed like Codecs()
};

// Compresses every sample with every codec and checks that each round trip
// gives back the input, before anything is timed.
void Prepare(std::vector<Sample>* samples) {
  for (const Codec& codec : Codecs()) {
    CodecFunctions f = codec.make();
    for (Sample& sample : *samples) {
      const std::string& data = sample.data;
      std::string compressed(f.bound(data.size()), '\0');
      const size_t n = f.compress(data.data(), data.size(), &compressed[0],
                                  compressed.size());
      if (n == kCompressFailed || n > compressed.size()) {
        Fail(std::string(codec.id) + " failed to compress " + sample.name);
      }
      compressed.resize(n);
      std::string decoded(data.size(), '\0');
      if (!f.uncompress(compressed.data(), compressed.size(), &decoded[0],
                        decoded.size()) ||
          decoded != data) {
        Fail(std::string(codec.id) + " round trip failed on " + sample.name);
      }
      sample.compressed.push_back(std::move(compressed));
    }
  }
}

struct Totals {
  size_t uncompressed = 0;
  std::vector<size_t> compressed = std::vector<size_t>(Codecs().size());
  size_t largest = 0;
};

Totals Sum(const std::vector<const Sample*>& samples) {
  Totals t;
  for (const Sample* s : samples) {
    t.uncompressed += s->data.size();
    t.largest = std::max(t.largest, s->data.size());
    for (size_t c = 0; c < Codecs().size(); c++) {
      t.compressed[c] += s->compressed[c].size();
    }
  }
  return t;
}

// Uncompressed size / compressed size: higher is better.
double Ratio(size_t compressed, size_t uncompressed) {
  return compressed == 0 ? 0.0
                         : static_cast<double>(uncompressed) / compressed;
}

// ---- The benchmarks: each runs over a list of samples --------------------
// A per-file benchmark gets a list of one; all_files gets the whole corpus.

void Finish(benchmark::State& state, const std::vector<const Sample*>& samples,
            int codec) {
  const Totals totals = Sum(samples);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(totals.uncompressed));
  state.counters["ratio"] =
      Ratio(totals.compressed[codec], totals.uncompressed);
}

void BM_Compress(benchmark::State& state, int c,
                 const std::vector<const Sample*>& samples) {
  CodecFunctions f = Codecs()[c].make();
  std::vector<char> out(std::max<size_t>(f.bound(Sum(samples).largest), 1));
  for (auto _ : state) {
    for (const Sample* s : samples) {
      size_t n = f.compress(s->data.data(), s->data.size(), out.data(),
                            out.size());
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  Finish(state, samples, c);
}

void BM_Uncompress(benchmark::State& state, int c,
                   const std::vector<const Sample*>& samples) {
  CodecFunctions f = Codecs()[c].make();
  std::vector<char> out(std::max<size_t>(Sum(samples).largest, 1));
  for (auto _ : state) {
    for (const Sample* s : samples) {
      const std::string& in = s->compressed[c];
      if (!f.uncompress(in.data(), in.size(), out.data(), s->data.size())) {
        state.SkipWithError("decompression failed");
        return;
      }
    }
    benchmark::ClobberMemory();
  }
  Finish(state, samples, c);
}

// Registers both directions of every codec for one list of samples under
// names ending in suffix.
void RegisterAll(const std::string& suffix,
                 const std::vector<const Sample*>& samples,
                 benchmark::TimeUnit unit) {
  for (size_t c = 0; c < Codecs().size(); c++) {
    const std::string codec = Codecs()[c].id;
    const int index = static_cast<int>(c);
    benchmark::RegisterBenchmark((codec + "/compress/" + suffix).c_str(),
                                 BM_Compress, index, samples)
        ->Unit(unit);
    benchmark::RegisterBenchmark((codec + "/uncompress/" + suffix).c_str(),
                                 BM_Uncompress, index, samples)
        ->Unit(unit);
  }
}

// ---- Summary -------------------------------------------------------------

// The all_files figures of one codec; a speed of 0 means it did not run.
struct Row {
  const Codec* codec;
  double compress_mbs;
  double uncompress_mbs;
  double ratio;
};

constexpr double kMB = 1e6;

std::vector<Row> Rows(const SummaryReporter& reporter, const Totals& totals) {
  std::vector<Row> rows;
  for (size_t c = 0; c < Codecs().size(); c++) {
    const std::string id = Codecs()[c].id;
    rows.push_back(
        {&Codecs()[c], reporter.Rate(id + "/compress/all_files") / kMB,
         reporter.Rate(id + "/uncompress/all_files") / kMB,
         Ratio(totals.compressed[c], totals.uncompressed)});
  }
  return rows;
}

std::string Format(double v, const char* format) {
  if (!(v > 0)) return "-";
  char buf[32];
  snprintf(buf, sizeof(buf), format, v);
  return buf;
}

double Quotient(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

// The summary as rows of cells, the header first.
std::vector<std::vector<std::string>> SummaryCells(
    const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> cells;
  std::vector<std::string> header = {"codec", "compress MB/s",
                                     "uncompress MB/s", "ratio"};
  for (const char* ref : kReferences) {
    header.push_back(std::string("vs ") + Codecs()[CodecIndex(ref)].label +
                     " (c / u)");
  }
  cells.push_back(header);
  for (const Row& row : rows) {
    std::vector<std::string> line = {row.codec->label,
                                     Format(row.compress_mbs, "%.1f"),
                                     Format(row.uncompress_mbs, "%.1f"),
                                     Format(row.ratio, "%.3f")};
    for (const char* ref : kReferences) {
      const Row& other = rows[CodecIndex(ref)];
      line.push_back(
          Format(Quotient(row.compress_mbs, other.compress_mbs), "%.2f") +
          " / " +
          Format(Quotient(row.uncompress_mbs, other.uncompress_mbs), "%.2f"));
    }
    cells.push_back(line);
  }
  return cells;
}

const char kNotes[] =
    "Speeds count uncompressed bytes (MB = 10^6 bytes). ratio = uncompressed "
    "size / compressed size, higher is better. \"vs X (c / u)\" = this "
    "codec's speed / X's speed, compressing / uncompressing: above 1 is "
    "faster.";

void PrintSummary(const std::vector<std::vector<std::string>>& cells,
                  const Totals& totals, size_t files) {
  printf("\nSummary: all_files, %zu files, %.1f MB\n", files,
         totals.uncompressed / kMB);
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); i++) {
      width[i] = std::max(width[i], line[i].size());
    }
  }
  for (const auto& line : cells) {
    printf(" ");
    for (size_t i = 0; i < line.size(); i++) {
      printf(i == 0 ? " %-*s" : "  %*s", static_cast<int>(width[i]),
             line[i].c_str());
    }
    printf("\n");
  }
  printf("  %s\n", kNotes);
}

// ---- The machine ---------------------------------------------------------

std::string Trim(const std::string& s) {
  const size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  const size_t end = s.find_last_not_of(" \t\r\n");
  return s.substr(begin, end - begin + 1);
}

// CPU model and logical core count from /proc/cpuinfo, the cores this
// process may run on, the compiler, the kernel and the date.
std::string MachineLine() {
  std::string model = "unknown CPU";
  int cores = 0;
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, colon));
    if (key == "processor") cores++;
    if (key == "model name" && cores <= 1) {
      model = Trim(line.substr(colon + 1));
    }
  }
  if (cores == 0) cores = static_cast<int>(std::thread::hardware_concurrency());

  std::ostringstream out;
  out << model << ", " << cores << (cores == 1 ? " core" : " cores");

  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 &&
      CPU_COUNT(&set) < cores) {
    std::string list;
    for (int i = 0; i < CPU_SETSIZE; i++) {
      if (!CPU_ISSET(i, &set)) continue;
      list += (list.empty() ? "" : ",") + std::to_string(i);
    }
    out << " (pinned to CPU " << list << ")";
  }

#if defined(__clang__)
  out << ", clang " << __clang_major__ << "." << __clang_minor__ << "."
      << __clang_patchlevel__;
#elif defined(__GNUC__)
  out << ", g++ " << __VERSION__;
#endif
#ifdef __OPTIMIZE__
  out << " (optimized)";
#endif

  struct utsname uts;
  if (uname(&uts) == 0) out << ", " << uts.sysname << " " << uts.release;

  const time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  char date[32];
  strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", &utc);
  out << ", " << date;
  return out.str();
}

std::string PeerVersions() {
  return std::string("LZ4 ") + LZ4_versionString() + ", zstd " +
         ZSTD_versionString() + ", zlib " + zlibVersion() + ", libdeflate " +
         LIBDEFLATE_VERSION_STRING;
}

// ---- Output files --------------------------------------------------------

bool WriteFile(const std::string& path, const std::string& contents) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    fprintf(stderr, "codec_benchmark: cannot write %s: %s\n", path.c_str(),
            strerror(errno));
    return false;
  }
  const bool ok = fwrite(contents.data(), 1, contents.size(), f) ==
                  contents.size();
  return fclose(f) == 0 && ok;
}

std::string Markdown(const std::vector<std::vector<std::string>>& cells,
                     const std::vector<Row>& rows,
                     const std::string& machine, const Totals& totals,
                     size_t files, const std::string& chart_link) {
  std::ostringstream md;
  md << "# Codec benchmarks\n\n"
     << "Written by `tools/benchmark.sh` (the `codec_benchmark` binary); "
        "run it again to refresh this page rather than editing it.\n\n"
     << "**Machine:** " << machine << ".\n\n"
     << "**Data:** the sample corpus, " << files << " files, "
     << Format(totals.uncompressed / kMB, "%.1f")
     << " MB. Each figure is an all_files benchmark: one codec compressing "
        "(or uncompressing) every file in turn, single-threaded; the fastest "
        "repetition counts. Every round trip is checked before timing.\n\n"
     << "**Peers:** " << PeerVersions() << ".\n\n";
  for (size_t r = 0; r < cells.size(); r++) {
    md << "|";
    for (size_t i = 0; i < cells[r].size(); i++) {
      // The library's own codecs in bold.
      const bool bold =
          r > 0 && i == 0 && rows[r - 1].codec->group == Group::kProject;
      md << " " << (bold ? "**" + cells[r][i] + "**" : cells[r][i]) << " |";
    }
    md << "\n";
    if (r == 0) {
      md << "|---|";
      for (size_t i = 1; i < cells[r].size(); i++) md << "---:|";
      md << "\n";
    }
  }
  md << "\n" << kNotes << "\n\n"
     << "![Compression speed, decompression speed and ratio per codec]("
     << chart_link << ")\n";
  return md.str();
}

std::string Csv(const std::vector<Row>& rows, const std::string& machine) {
  std::ostringstream csv;
  csv << "# " << machine << "\n"
      << "codec,label,group,compress_mb_s,uncompress_mb_s,ratio\n";
  for (const Row& row : rows) {
    const char* group = row.codec->group == Group::kProject ? "project"
                        : row.codec->group == Group::kPeer  ? "peer"
                                                            : "ceiling";
    char line[256];
    snprintf(line, sizeof(line), "%s,%s,%s,%.3f,%.3f,%.5f\n", row.codec->id,
             row.codec->label, group, row.compress_mbs, row.uncompress_mbs,
             row.ratio);
    csv << line;
  }
  return csv.str();
}

// ---- Options of this binary (the rest go to Google Benchmark) -------------

struct Options {
  bool per_file = false;
  std::string markdown_out =
      std::string(TAVRO_BENCHMARK_OUTPUT_DIR) + "/benchmarks.md";
  std::string csv_out =
      std::string(TAVRO_BENCHMARK_OUTPUT_DIR) + "/benchmarks.csv";
  std::string chart_link = "benchmarks.png";
};

// Takes this binary's options out of argv.
Options ParseOptions(int* argc, char** argv) {
  Options options;
  int kept = 1;
  for (int i = 1; i < *argc; i++) {
    const std::string arg = argv[i];
    auto value = [&](const char* prefix, std::string* out) {
      const size_t n = strlen(prefix);
      if (arg.compare(0, n, prefix) != 0) return false;
      *out = arg.substr(n);
      return true;
    };
    if (arg == "--per_file") {
      options.per_file = true;
    } else if (value("--markdown_out=", &options.markdown_out) ||
               value("--csv_out=", &options.csv_out) ||
               value("--chart_link=", &options.chart_link)) {
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(&argc, argv);
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
    all.push_back(&samples[i]);
  }
  Prepare(&samples);

  // The aggregates first: they are the headline and finish early.
  RegisterAll("all_files", all, benchmark::kMillisecond);
  if (options.per_file) {
    for (const Sample* s : all) {
      RegisterAll(s->name, {s}, benchmark::kMicrosecond);
    }
  }

  SummaryReporter reporter(benchmark::CreateDefaultDisplayReporter());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const Totals totals = Sum(all);
  const std::vector<Row> rows = Rows(reporter, totals);
  const auto cells = SummaryCells(rows);
  PrintSummary(cells, totals, all.size());

  const std::string machine = MachineLine();
  printf("  Machine: %s\n", machine.c_str());
  bool ok = WriteFile(options.markdown_out,
                      Markdown(cells, rows, machine, totals, all.size(),
                               options.chart_link)) &&
            WriteFile(options.csv_out, Csv(rows, machine));
  if (ok) {
    printf("  Wrote %s and %s\n", options.markdown_out.c_str(),
           options.csv_out.c_str());
  }
  return ok ? 0 : 1;
}
