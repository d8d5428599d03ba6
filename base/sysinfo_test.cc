#include "base/sysinfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/cycleclock.h"
#include "gtest/gtest.h"

// ---- Allocation counter -----------------------------------------------------
// Outside the sanitizer builds (whose runtimes own malloc) the test binary
// puts itself in front of the C library's allocator and counts calls, so the
// allocation-free paths can be checked.
#if defined(__SANITIZE_ADDRESS__)
#define SYSINFO_TEST_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SYSINFO_TEST_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef SYSINFO_TEST_COUNTS_ALLOCATIONS
#define SYSINFO_TEST_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> allocations{0};
}  // namespace

#if SYSINFO_TEST_COUNTS_ALLOCATIONS
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);

void* malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
void* realloc(void* ptr, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(ptr, size);
}
}  // extern "C"
#endif

namespace {

namespace fs = std::filesystem;
using sysinfo_internal::ComputeCpuInfo;
using sysinfo_internal::CpuInfo;
using sysinfo_internal::CpuInfoFiles;

void WriteFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  ASSERT_TRUE(out.good()) << path;
}

// A fresh directory under the test temp dir, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "sysinfo_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Collects what is written to descriptor 2 (raw writes and stdio alike).
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/sysinfo_stderr_XXXXXX";
    fd_ = mkstemp(path);
    unlink(path);
    saved_ = dup(STDERR_FILENO);
    dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() { Stop(); }

  std::string Stop() {
    if (fd_ >= 0) {
      fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      off_t size = lseek(fd_, 0, SEEK_END);
      text_.resize(size);
      if (size > 0) {
        EXPECT_EQ(pread(fd_, text_.data(), size, 0), size);
      }
      close(fd_);
      fd_ = -1;
    }
    return text_;
  }

 private:
  int fd_;
  int saved_;
  std::string text_;
};

// ---- Processor facts from given files ---------------------------------------

constexpr int64 kEstimatedHz = 1234000000;
int64 estimate_result = kEstimatedHz;
int last_estimate_ms = 0;

int64 FakeEstimate(int ms) {
  last_estimate_ms = ms;
  return estimate_result;
}

const char kMessedUpIds[] =
    "CPU ID assignments in /proc/cpuinfo seems messed up. This is usually "
    "caused by a bad BIOS.\n";
const char kNoCpus[] =
    "Failed to read num. CPUs correctly from /proc/cpuinfo\n";

struct CpuInfoCase {
  const char* name;
  const char* tsc_khz;   // contents; null: no such file
  const char* max_freq;  // contents; null: no such file
  std::string cpuinfo;
  bool on_valgrind;
  int64 estimate;  // what the rate measurement returns
  // Expected:
  double cycles;
  int num_cpus;
  double time_base;
  int shift;
  int estimate_ms;  // the measurement asked for, 0 for none
  const char* message;
};

std::vector<CpuInfoCase> CpuInfoCases() {
  const std::string cpu0 = "processor\t: 0\n";
  const std::string bogo = "bogomips\t: 4192.04\n";
  const double kBogoHz = 4192.04e6;
  // A realistic listing of 64 processors, far longer than the line buffer.
  std::string big;
  for (int i = 0; i < 64; i++) {
    big += "processor\t: " + std::to_string(i) +
           "\nvendor_id\t: AuthenticAMD\ncpu family\t: 23\nmodel name\t: AMD "
           "EPYC\ncpu MHz\t\t: " +
           (i == 0 ? "2096.020" : "1500.000") +
           "\ncache size\t: 512 KB\nflags\t\t: fpu vme de pse tsc msr pae mce "
           "cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr sse "
           "sse2 ht syscall nx mmxext fxsr_opt pdpe1gb rdtscp lm\n" +
           bogo + "\n";
  }
  return {
      // The sysfs files come first and take kHz.
      {"tsc_khz", "2600000\n", "3000000\n", cpu0 + "cpu MHz : 1000\n", false,
       kEstimatedHz, 2.6e9, 1, 2.6e9, 0, 0, ""},
      {"tsc_khz_above_2_to_the_32_shifts_once", "5000000\n", nullptr, cpu0,
       false, kEstimatedHz, 5e9, 1, 2.5e9, 1, 0, ""},
      {"tsc_khz_with_unit_is_rejected", "2600000 kHz", "3000000\n", cpu0, false,
       kEstimatedHz, 3e9, 1, 3e9, 0, 0, ""},
      {"tsc_khz_zero_falls_through", "0\n", "3000000\n", cpu0, false,
       kEstimatedHz, 3e9, 1, 3e9, 0, 0, ""},
      {"tsc_khz_negative_falls_through", "-2600000\n", nullptr,
       cpu0 + "cpu MHz\t\t: 2096.020\n", false, kEstimatedHz, 2096.02e6, 1,
       2096.02e6, 0, 0, ""},
      {"tsc_khz_without_digits_falls_through", "\n", "3000000\n", cpu0, false,
       kEstimatedHz, 3e9, 1, 3e9, 0, 0, ""},
      {"max_freq_zero_falls_through", nullptr, "0\n",
       cpu0 + "cpu MHz\t\t: 2096.020\n", false, kEstimatedHz, 2096.02e6, 1,
       2096.02e6, 0, 0, ""},
      // /proc/cpuinfo: "cpu MHz", then "clock", then bogomips, then a
      // measurement.
      {"cpu_mhz_any_case", nullptr, nullptr, cpu0 + "CPU MHZ : 1000\n", false,
       kEstimatedHz, 1e9, 1, 1e9, 0, 0, ""},
      {"first_cpu_mhz_counts", nullptr, nullptr,
       cpu0 + "cpu MHz : 1000\ncpu MHz : 2000\n", false, kEstimatedHz, 1e9, 1,
       1e9, 0, 0, ""},
      {"cpu_mhz_not_a_number_then_bogomips", nullptr, nullptr,
       cpu0 + "cpu MHz : abc\n" + bogo, false, kEstimatedHz, kBogoHz, 1,
       kBogoHz, 0, 0, ""},
      {"cpu_mhz_not_a_number_then_estimate", nullptr, nullptr,
       cpu0 + "cpu MHz : abc\n", false, kEstimatedHz, 1.234e9, 1, 1.234e9, 0,
       1000, ""},
      {"cpu_mhz_zero", nullptr, nullptr, cpu0 + "cpu MHz : 0\n" + bogo, false,
       kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"cpu_mhz_negative", nullptr, nullptr, cpu0 + "cpu MHz : -5\n" + bogo,
       false, kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"cpu_mhz_inf", nullptr, nullptr, cpu0 + "cpu MHz : inf\n" + bogo, false,
       kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"cpu_mhz_nan", nullptr, nullptr, cpu0 + "cpu MHz : nan\n" + bogo, false,
       kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"cpu_mhz_absurdly_large", nullptr, nullptr,
       cpu0 + "cpu MHz : 1e300\n" + bogo, false, kEstimatedHz, kBogoHz, 1,
       kBogoHz, 0, 0, ""},
      {"cpu_mhz_with_trailing_text", nullptr, nullptr,
       cpu0 + "cpu MHz : 2000 MHz\n" + bogo, false, kEstimatedHz, kBogoHz, 1,
       kBogoHz, 0, 0, ""},
      {"cpu_mhz_empty", nullptr, nullptr, cpu0 + "cpu MHz :\n" + bogo, false,
       kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"clock_in_mhz", nullptr, nullptr, cpu0 + "clock\t\t: 1500.000000MHz\n",
       false, kEstimatedHz, 1.5e9, 1, 1.5e9, 0, 0, ""},
      {"clock_without_unit", nullptr, nullptr, cpu0 + "clock : 1500\n" + bogo,
       false, kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"clock_is_case_sensitive", nullptr, nullptr,
       cpu0 + "Clock : 1500MHz\n" + bogo, false, kEstimatedHz, kBogoHz, 1,
       kBogoHz, 0, 0, ""},
      {"clock_zero", nullptr, nullptr, cpu0 + "clock : 0MHz\n" + bogo, false,
       kEstimatedHz, kBogoHz, 1, kBogoHz, 0, 0, ""},
      {"bad_bogomips_after_good_one", nullptr, nullptr,
       cpu0 + bogo + "processor : 1\nbogomips : 0\n", false, kEstimatedHz,
       kBogoHz, 2, kBogoHz, 0, 0, ""},
      {"bogomips_inf_then_estimate", nullptr, nullptr,
       cpu0 + "bogomips : inf\n", false, kEstimatedHz, 1.234e9, 1, 1.234e9, 0,
       1000, ""},
      {"unusable_estimate_keeps_positive_default", nullptr, nullptr, cpu0,
       false, 0, 1.0, 1, 1.0, 0, 1000, ""},
      {"valgrind_measures_briefly", "2600000\n", nullptr, cpu0, true,
       kEstimatedHz, 1.234e9, 1, 1.234e9, 0, 100, ""},
      // "timebase" gives the cycle clock's own rate.
      {"timebase", nullptr, nullptr,
       cpu0 + "cpu MHz : 3000\ntimebase : 512000000\n", false, kEstimatedHz,
       3e9, 1, 512e6, 0, 0, ""},
      {"timebase_of_2_to_the_33_shifts_twice", nullptr, nullptr,
       cpu0 + "cpu MHz : 3000\ntimebase : 8589934592\n", false, kEstimatedHz,
       3e9, 1, 2147483648.0, 2, 0, ""},
      {"timebase_inf_ignored", nullptr, nullptr,
       cpu0 + "cpu MHz : 3000\ntimebase : inf\n", false, kEstimatedHz, 3e9, 1,
       3e9, 0, 0, ""},
      {"timebase_not_a_number_ignored", nullptr, nullptr,
       cpu0 + "cpu MHz : 3000\ntimebase : fast\n", false, kEstimatedHz, 3e9, 1,
       3e9, 0, 0, ""},
      // Processor lines.
      {"processors_0_1_3", nullptr, nullptr,
       "processor : 0\nprocessor : 1\nprocessor : 3\ncpu MHz : 1000\n", false,
       kEstimatedHz, 1e9, 3, 1e9, 0, 0, kMessedUpIds},
      {"no_processor_lines", nullptr, nullptr, "cpu MHz : 1000\n", false,
       kEstimatedHz, 1e9, 1, 1e9, 0, 0, kNoCpus},
      {"processor_names_are_counted", nullptr, nullptr,
       "Processor : ARMv7 rev 4\nprocessor : 0\nprocessor : 1\n"
       "cpu MHz : 1000\n",
       false, kEstimatedHz, 1e9, 3, 1e9, 0, 0, kMessedUpIds},
      {"last_line_without_newline", nullptr, nullptr,
       "cpu MHz : 1000\nprocessor : 0\nprocessor : 1", false, kEstimatedHz, 1e9,
       2, 1e9, 0, 0, ""},
      // Lines longer than the line buffer are cut into pieces; the lines
      // after them are still read.
      {"line_longer_than_buffer", nullptr, nullptr,
       std::string(3000, 'x') + "\n" + cpu0 + "cpu MHz : 1000\n", false,
       kEstimatedHz, 1e9, 1, 1e9, 0, 0, ""},
      {"line_filling_buffer", nullptr, nullptr,
       std::string(1023, 'x') + "\n" + cpu0 + "cpu MHz : 1000\n", false,
       kEstimatedHz, 1e9, 1, 1e9, 0, 0, ""},
      {"sixty_four_processors", nullptr, nullptr, big, false, kEstimatedHz,
       2096.02e6, 64, 2096.02e6, 0, 0, ""},
  };
}

class CpuInfoTest : public TempDirTest {
 protected:
  CpuInfo Compute(const char* tsc_khz, const char* max_freq,
                  const std::string* cpuinfo, bool on_valgrind, int64 estimate,
                  std::string* messages) {
    const std::string tsc_path = Path("tsc_freq_khz");
    const std::string max_path = Path("cpuinfo_max_freq");
    cpuinfo_path_ = Path("cpuinfo");
    if (tsc_khz) WriteFile(tsc_path, tsc_khz);
    if (max_freq) WriteFile(max_path, max_freq);
    if (cpuinfo) WriteFile(cpuinfo_path_, *cpuinfo);
    const CpuInfoFiles files = {tsc_path.c_str(), max_path.c_str(),
                                cpuinfo_path_.c_str()};
    estimate_result = estimate;
    last_estimate_ms = 0;
    StderrCapture capture;
    const CpuInfo info = ComputeCpuInfo(files, on_valgrind, &FakeEstimate);
    *messages = capture.Stop();
    return info;
  }

  std::string cpuinfo_path_;
};

TEST_F(CpuInfoTest, Cases) {
  for (const CpuInfoCase& c : CpuInfoCases()) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::string messages;
    const CpuInfo info = Compute(c.tsc_khz, c.max_freq, &c.cpuinfo,
                                 c.on_valgrind, c.estimate, &messages);
    EXPECT_DOUBLE_EQ(info.cycles_per_second, c.cycles);
    EXPECT_EQ(info.num_cpus, c.num_cpus);
    EXPECT_DOUBLE_EQ(info.time_base_frequency, c.time_base);
    EXPECT_EQ(info.cycle_clock_shift, c.shift);
    EXPECT_EQ(last_estimate_ms, c.estimate_ms);
    EXPECT_EQ(messages, c.message);
  }
}

TEST_F(CpuInfoTest, UnreadableCpuinfoIsReportedAndMeasured) {
  std::string messages;
  const CpuInfo info =
      Compute(nullptr, nullptr, nullptr, false, kEstimatedHz, &messages);
  EXPECT_EQ(info.cycles_per_second, 1.234e9);
  EXPECT_EQ(info.num_cpus, 1);
  EXPECT_EQ(last_estimate_ms, 1000);
  EXPECT_EQ(messages,
            cpuinfo_path_ + ": No such file or directory\n" + kNoCpus);
}

// A line that arrives in pieces (short reads, as from a pipe) is still read
// as one line: "cpu MHz : 20" must not be taken for 20 MHz.
TEST_F(CpuInfoTest, LineSplitAcrossReads) {
  const std::string fifo = Path("cpuinfo_fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&fifo] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "processor : 0\ncpu MHz : 20", 26), 26);
    usleep(50000);
    ASSERT_EQ(write(fd, "96.020\n", 7), 7);
    close(fd);
  });
  const std::string missing = Path("missing");
  const CpuInfoFiles files = {missing.c_str(), missing.c_str(), fifo.c_str()};
  const CpuInfo info = ComputeCpuInfo(files, false, &FakeEstimate);
  writer.join();
  EXPECT_DOUBLE_EQ(info.cycles_per_second, 2096.02e6);
}

// ---- The machine's own facts ------------------------------------------------

TEST(SystemInfoTest, ProcessorCountMatchesNproc) {
  FILE* nproc = popen("nproc --all", "r");
  ASSERT_NE(nproc, nullptr);
  int count = 0;
  ASSERT_EQ(fscanf(nproc, "%d", &count), 1);
  ASSERT_EQ(pclose(nproc), 0);
  EXPECT_EQ(NumCPUs(), count);
  EXPECT_EQ(NumCPUs(), sysconf(_SC_NPROCESSORS_CONF));
}

// One reading of the time-stamp counter and CLOCK_MONOTONIC_RAW: the clock
// read on either side of the counter, the tightest of a few tries.
struct ClockPair {
  uint64 tsc;
  double ns;
};

double MonotonicRawNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

ClockPair ReadClocks() {
  ClockPair best = {0, 0};
  double best_window = 1e18;
  for (int i = 0; i < 20; i++) {
    const double before = MonotonicRawNs();
    const uint64 tsc = CycleClock::UnscaledClock();
    const double after = MonotonicRawNs();
    if (after - before < best_window) {
      best_window = after - before;
      best = {tsc, (before + after) / 2};
    }
  }
  return best;
}

TEST(SystemInfoTest, CycleRateMatchesMonotonicClock) {
  const double nominal = NominalCPUFrequency();
  const ClockPair first = ReadClocks();
  struct timespec one_second = {1, 0};
  while (nanosleep(&one_second, &one_second) != 0) {
  }
  const ClockPair second = ReadClocks();
  const double measured =
      (second.tsc - first.tsc) * 1e9 / (second.ns - first.ns);
  EXPECT_NEAR(nominal, measured, measured * 0.001)
      << "nominal " << nominal << " Hz, measured " << measured << " Hz";

  // The cycle clock is the counter scaled below 2^32 ticks per second.
  const int shift = CycleClock::g_cycle_clock_shift;
  EXPECT_EQ(CycleClockFrequency(), std::ldexp(nominal, -shift));
  EXPECT_LT(CycleClockFrequency(), 4294967296.0);
  EXPECT_EQ(CycleClock::Frequency(), CycleClockFrequency());
}

TEST(SystemInfoTest, EstimateCyclesPerSecond) {
  const double rate = CycleClockFrequency();
  const double estimate = static_cast<double>(EstimateCyclesPerSecond(200));
  // The sleep may overrun on a busy machine, never fall short.
  EXPECT_GT(estimate, rate * 0.99);
  EXPECT_LT(estimate, rate * 1.25);
  EXPECT_DEATH(EstimateCyclesPerSecond(0), "estimate_time_ms > 0");
}

// ---- ReadIntFromFile --------------------------------------------------------

class ReadIntFromFileTest : public TempDirTest {};

TEST_F(ReadIntFromFileTest, Cases) {
  const struct {
    const char* contents;
    bool ok;
    int value;
  } cases[] = {
      {"42\n", true, 42},
      {"42", true, 42},
      {"-7\n", true, -7},
      {"2147483647\n", true, INT_MAX},
      {"2147483648\n", false, 0},
      {"-2147483649\n", false, 0},
      {"2600000 kHz", false, 0},
      {"42x\n", false, 0},
      {"abc\n", false, 0},
      {"\n", false, 0},
      {"", false, 0},
  };
  const std::string path = Path("value");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.contents)));
    WriteFile(path, c.contents);
    int value = -12345;
    EXPECT_EQ(ReadIntFromFile(path.c_str(), &value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : -12345);
  }
  int value = -12345;
  EXPECT_FALSE(ReadIntFromFile(Path("missing").c_str(), &value));
  EXPECT_EQ(value, -12345);
}

// ---- Thread ids -------------------------------------------------------------

pid_t KernelTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

TEST(ThreadIdTest, EachThreadGetsItsOwnId) {
  constexpr int kThreads = 4;
  std::vector<pid_t> tids(kThreads + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++) {
    threads.emplace_back([&tids, i] {
      EXPECT_EQ(GetTID(), KernelTid());
      EXPECT_EQ(GetCachedTID(), KernelTid());
      EXPECT_EQ(GetCachedTID(), KernelTid());
      tids[i] = GetCachedTID();
    });
  }
  for (auto& t : threads) t.join();
  tids[kThreads] = GetCachedTID();
  EXPECT_EQ(tids[kThreads], KernelTid());
  EXPECT_EQ(std::set<pid_t>(tids.begin(), tids.end()).size(), tids.size());
}

TEST(ThreadIdTest, ForkedChildSeesItsOwnId) {
  const pid_t parent_tid = GetCachedTID();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const pid_t tid = GetCachedTID();
    _exit(tid == KernelTid() && tid != parent_tid ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(GetCachedTID(), parent_tid);
}

// ---- ConstructFilename and a fake /proc -------------------------------------

// Points FLAGS_procfs_prefix at a fresh directory for the test's duration.
class FakeProcTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    FLAGS_procfs_prefix = dir_;
  }
  void TearDown() override {
    FLAGS_procfs_prefix.clear();
    TempDirTest::TearDown();
  }
  void WriteProcFile(const std::string& name, const std::string& contents) {
    WriteFile(dir_ + "/proc/" + name, contents);
  }
};

TEST(ConstructFilenameTest, Cases) {
  const std::string self = std::to_string(getpid());
  const struct {
    const char* prefix;
    const char* format;
    int pid;
    std::string expected;
  } cases[] = {
      {"", "/proc/%d/maps", 123, "/proc/123/maps"},
      {"", "/proc/%d/task/%d/stat", 7, "/proc/7/task/7/stat"},
      {"", "/proc/%d/maps", 0, "/proc/" + self + "/maps"},
      {"/fake", "/proc/%d/maps", 123, "/fake/proc/123/maps"},
      {"/fake", "/proc/%d/maps", 0, "/fake/proc/" + self + "/maps"},
      {"/fake", "/sys/%d", 5, "/sys/5"},  // only /proc paths take the prefix
      {"/odd%s%n", "/proc/%d/maps", 9, "/odd%s%n/proc/9/maps"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " " + c.format);
    FLAGS_procfs_prefix = c.prefix;
    char buf[64];
    memset(buf, 'z', sizeof(buf));
    ConstructFilename(c.format, c.pid, buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), c.expected);
    // An exact fit is fine.
    ConstructFilename(c.format, c.pid, buf, c.expected.size() + 1);
    EXPECT_EQ(std::string(buf), c.expected);
  }
  FLAGS_procfs_prefix.clear();
}

TEST(ConstructFilenameDeathTest, ResultThatDoesNotFitIsFatal) {
  char buf[64];
  EXPECT_DEATH(ConstructFilename("/proc/%d/maps", 123, buf, 14),
               "snprintf\\(buf, buf_size, format, pid, pid\\) < buf_size");
  EXPECT_DEATH(
      {
        FLAGS_procfs_prefix = "/fake";
        ConstructFilename("/proc/%d/maps", 123, buf, 19);
      },
      "FLAGS_procfs_prefix.size\\(\\) \\+ snprintf");
  EXPECT_DEATH(
      {
        FLAGS_procfs_prefix = std::string(100, 'p');
        ConstructFilename("/proc/%d/maps", 123, buf, sizeof(buf));
      },
      "FLAGS_procfs_prefix.size\\(\\) \\+ snprintf");
}

// ---- ProcMapsIterator on given files ----------------------------------------

struct Mapping {
  uint64 start, end;
  std::string flags;
  uint64 offset;
  int64 inode;
  std::string name;
  dev_t dev;
};

std::vector<Mapping> ReadAll(ProcMapsIterator* it) {
  std::vector<Mapping> out;
  uint64 start, end, offset, file_mapping;
  int64 inode, file_pages;
  char *flags, *name;
  dev_t dev;
  while (it->NextExt(&start, &end, &flags, &offset, &inode, &name,
                     &file_mapping, &file_pages, nullptr, nullptr, &dev)) {
    out.push_back({start, end, flags, offset, inode, name, dev});
  }
  return out;
}

void ExpectMappingsEqual(const std::vector<Mapping>& actual,
                         const std::vector<Mapping>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actual[i].start, expected[i].start);
    EXPECT_EQ(actual[i].end, expected[i].end);
    EXPECT_EQ(actual[i].flags, expected[i].flags);
    EXPECT_EQ(actual[i].offset, expected[i].offset);
    EXPECT_EQ(actual[i].inode, expected[i].inode);
    EXPECT_EQ(actual[i].name, expected[i].name);
    EXPECT_EQ(actual[i].dev, expected[i].dev);
  }
}

TEST_F(FakeProcTest, ParsesLinesSkipsOthersAndEnds) {
  WriteProcFile(
      "4242/maps",
      "00400000-00452000 r-xp 00000000 08:02 173521      /usr/bin/daemon\n"
      "this line is not a mapping\n"
      "00651000-00652000 rw-p 00051000 08:02 173521      /usr/bin/daemon\n"
      "\n"
      "00e03000-00e24000 rw-p 00000000 00:00 0                  [heap]\n"
      "7fff1000-7fff2000 rw-p 00000000 00:00 0 \n"
      "7fff3000-7fff4000 ---p 00000000 00:00 0\n"
      "7fff5000-7fff6000 rw-s 00000000 00:1a3 77 /memfd:x (deleted)\n"
      "ffffffffff600000-ffffffffff601000 --xp 00000010 103:1f 42 /dev/zero");
  ProcMapsIterator it(4242);
  ASSERT_TRUE(it.Valid());
  ExpectMappingsEqual(
      ReadAll(&it),
      {
          {0x400000, 0x452000, "r-xp", 0, 173521, "/usr/bin/daemon",
           makedev(8, 2)},
          {0x651000, 0x652000, "rw-p", 0x51000, 173521, "/usr/bin/daemon",
           makedev(8, 2)},
          {0xe03000, 0xe24000, "rw-p", 0, 0, "[heap]", makedev(0, 0)},
          {0x7fff1000, 0x7fff2000, "rw-p", 0, 0, "", makedev(0, 0)},
          {0x7fff3000, 0x7fff4000, "---p", 0, 0, "", makedev(0, 0)},
          {0x7fff5000, 0x7fff6000, "rw-s", 0, 77, "/memfd:x (deleted)",
           makedev(0, 0x1a3)},
          {0xffffffffff600000, 0xffffffffff601000, "--xp", 0x10, 42,
           "/dev/zero", makedev(0x103, 0x1f)},
      });
  // Past the end it stays at the end.
  EXPECT_FALSE(it.Next(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(FakeProcTest, ChoosesFileByPidAndMode) {
  const std::string self = std::to_string(getpid());
  WriteProcFile("self/maps", "00001000-00002000 r--p 00000000 00:00 0 self\n");
  WriteProcFile("4242/maps", "00001000-00002000 r--p 00000000 00:00 0 pid\n");
  WriteProcFile("4242/maps_backing",
                "00001000-00002000 r--p 00000000 00:00 0 backing\n");
  WriteProcFile(self + "/maps_backing",
                "00001000-00002000 r--p 00000000 00:00 0 own backing\n");
  const struct {
    pid_t pid;
    bool backing;
    const char* name;
  } cases[] = {
      {0, false, "self"},
      {4242, false, "pid"},
      {4242, true, "backing"},
      {0, true, "own backing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcMapsIterator::Buffer buffer;
    ProcMapsIterator it(c.pid, &buffer, c.backing);
    ASSERT_TRUE(it.Valid());
    char* name = nullptr;
    ASSERT_TRUE(it.Next(nullptr, nullptr, nullptr, nullptr, nullptr, &name));
    EXPECT_STREQ(name, c.name);
  }
  ProcMapsIterator missing(777);
  EXPECT_FALSE(missing.Valid());
  EXPECT_FALSE(
      missing.Next(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

// Many lines, some long, so the buffer is refilled often and lines straddle
// its end.
TEST_F(FakeProcTest, LongFileCrossesBufferRefills) {
  std::string text;
  std::vector<Mapping> expected;
  for (int i = 0; i < 2000; i++) {
    const uint64 start = 0x10000000ull + i * 0x1000ull;
    std::string name =
        "/lib/" + std::string(i % 97, static_cast<char>('a' + i % 26)) + ".so";
    if (i == 1000) name = "/" + std::string(4090, 'n');  // near PATH_MAX
    char line[128];
    snprintf(line, sizeof(line), "%llx-%llx r-xp %08x fd:01 %d   ",
             static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(start + 0x1000), i * 16, i);
    text += line + name + "\n";
    expected.push_back({start, start + 0x1000, "r-xp",
                        static_cast<uint64>(i * 16), i, name,
                        makedev(0xfd, 1)});
  }
  WriteProcFile("4242/maps", text);
  ProcMapsIterator it(4242);
  ExpectMappingsEqual(ReadAll(&it), expected);
}

TEST_F(FakeProcTest, BackingSuffix) {
  WriteProcFile(
      "4242/maps_backing",
      "00400000-00452000 r-xp 00000000 08:02 173521 /usr/bin/x (F 400000 82) "
      "(A 0 0)\n"
      "00651000-00652000 rw-p 00051000 08:02 173521 /usr/bin/x (F 651000 1) "
      "(A 651000 -1)\n"
      "00e03000-00e24000 rw-p 00000000 00:00 0 (F 0 0) (A e03000 33)\n"
      "7fff1000-7fff2000 rw-p 00000000 00:00 0 /no/suffix\n"
      "7fff3000-7fff4000 rw-p 00000000 00:00 0 /odd (x) (y)\n");
  const uint64 kUnset = 0xdeadbeef;
  const struct {
    const char* name;
    uint64 file_mapping;
    int64 file_pages;
    uint64 anon_mapping;
    int64 anon_pages;
  } expected[] = {
      {"/usr/bin/x", 0x400000, 82, 0, 0},
      {"/usr/bin/x", 0x651000, 1, 0x651000, -1},
      {"", 0, 0, 0xe03000, 33},
      {"/no/suffix", kUnset, kUnset, kUnset, kUnset},
      {"/odd", kUnset, kUnset, kUnset, kUnset},  // suffix does not parse
  };
  ProcMapsIterator::Buffer buffer;
  ProcMapsIterator it(4242, &buffer, true);
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    uint64 file_mapping = kUnset, anon_mapping = kUnset;
    int64 file_pages = kUnset, anon_pages = kUnset;
    char* name;
    ASSERT_TRUE(it.NextExt(nullptr, nullptr, nullptr, nullptr, nullptr, &name,
                           &file_mapping, &file_pages, &anon_mapping,
                           &anon_pages, nullptr));
    EXPECT_STREQ(name, e.name);
    EXPECT_EQ(file_mapping, e.file_mapping);
    EXPECT_EQ(file_pages, e.file_pages);
    EXPECT_EQ(anon_mapping, e.anon_mapping);
    EXPECT_EQ(anon_pages, e.anon_pages);
  }
  EXPECT_FALSE(it.Next(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(FakeProcTest, CallerBufferIteratorAndCachedTidDoNotAllocate) {
  if (!SYSINFO_TEST_COUNTS_ALLOCATIONS) {
    GTEST_SKIP() << "the sanitizer runtime owns malloc";
  }
  std::string text;
  for (int i = 0; i < 200; i++) {
    text += "00400000-00452000 r-xp 00000000 08:02 173521  /usr/bin/daemon\n";
  }
  WriteProcFile("4242/maps", text);
  WriteProcFile("4242/maps_backing",
                "00400000-00452000 r-xp 00000000 08:02 1 /x (F 1 2) (A 3 4)\n");
  ProcMapsIterator::Buffer buffer;
  uint64 start, end, offset, file_mapping, anon_mapping;
  int64 inode, file_pages, anon_pages;
  char *flags, *name;
  dev_t dev;
  int lines = 0;
  const long before = allocations.load();
  {
    ProcMapsIterator it(4242, &buffer);
    while (it.NextExt(&start, &end, &flags, &offset, &inode, &name,
                      &file_mapping, &file_pages, &anon_mapping, &anon_pages,
                      &dev)) {
      lines++;
    }
  }
  {
    ProcMapsIterator it(4242, &buffer, true);
    while (it.NextExt(&start, &end, &flags, &offset, &inode, &name,
                      &file_mapping, &file_pages, &anon_mapping, &anon_pages,
                      &dev)) {
      lines++;
    }
  }
  FLAGS_procfs_prefix.clear();  // short string: no allocation
  {
    ProcMapsIterator it(0, &buffer);
    while (it.Next(&start, &end, &flags, &offset, &inode, &name)) lines++;
  }
  const long after = allocations.load();
  EXPECT_EQ(after, before);
  EXPECT_GT(lines, 201);

  // The first GetCachedTID of a thread, and later ones.
  long in_thread = -1;
  std::thread t([&in_thread] {
    const long start_count = allocations.load();
    GetCachedTID();
    GetCachedTID();
    in_thread = allocations.load() - start_count;
  });
  t.join();
  EXPECT_EQ(in_thread, 0);
}

// ---- ProcMapsIterator on this process ---------------------------------------

// The iterator agrees, field by field, with a plain parse of the same text.
// Everything is allocated up front, and the iterator allocates nothing, so
// the mappings do not change between the two reads.
TEST(ProcMapsIteratorTest, AgreesWithIndependentParseOfSelfMaps) {
  std::vector<char> raw(8 << 20);
  std::vector<char> names(8 << 20);
  struct Record {
    uint64 start, end, offset;
    int64 inode;
    dev_t dev;
    char flags[5];
    size_t name_at, name_size;
  };
  std::vector<Record> records;
  records.reserve(100000);
  ProcMapsIterator::Buffer buffer;

  size_t raw_size = 0;
  const int fd = open("/proc/self/maps", O_RDONLY);
  ASSERT_GE(fd, 0);
  for (ssize_t n;
       (n = read(fd, raw.data() + raw_size, raw.size() - raw_size)) > 0;) {
    raw_size += n;
  }
  close(fd);
  // No gtest assertions in here: only plain stores into reserved space.
  size_t names_size = 0;
  bool overflow = false;
  {
    ProcMapsIterator it(0, &buffer);
    uint64 start, end, offset;
    int64 inode;
    char *flags, *name;
    dev_t dev;
    while (it.NextExt(&start, &end, &flags, &offset, &inode, &name, nullptr,
                      nullptr, nullptr, nullptr, &dev)) {
      Record r = {start, end, offset, inode, dev, {}, names_size, strlen(name)};
      strncpy(r.flags, flags, 4);
      if (names_size + r.name_size > names.size() ||
          records.size() == records.capacity()) {
        overflow = true;
        break;
      }
      memcpy(names.data() + names_size, name, r.name_size);
      names_size += r.name_size;
      records.push_back(r);
    }
  }
  ASSERT_FALSE(overflow);

  std::istringstream text(std::string(raw.data(), raw_size));
  std::string line;
  size_t i = 0;
  while (std::getline(text, line)) {
    SCOPED_TRACE(line);
    std::istringstream in(line);
    uint64 start, end, offset;
    unsigned dev_major, dev_minor;
    int64 inode;
    char dash, colon;
    std::string flags, name;
    in >> std::hex >> start >> dash >> end >> flags >> offset >> dev_major >>
        colon >> dev_minor >> std::dec >> inode;
    ASSERT_TRUE(in) << "unexpected maps line";
    std::getline(in, name);
    const size_t name_start = name.find_first_not_of(' ');
    name = name_start == std::string::npos ? "" : name.substr(name_start);

    ASSERT_LT(i, records.size());
    const Record& r = records[i++];
    EXPECT_EQ(r.start, start);
    EXPECT_EQ(r.end, end);
    EXPECT_EQ(std::string(r.flags), flags);
    EXPECT_EQ(r.offset, offset);
    EXPECT_EQ(r.dev, makedev(dev_major, dev_minor));
    EXPECT_EQ(r.inode, inode);
    EXPECT_EQ(std::string(names.data() + r.name_at, r.name_size), name);
  }
  EXPECT_EQ(i, records.size());
  EXPECT_GT(i, 5u);
}

// ---- FormatLine -------------------------------------------------------------

TEST(FormatLineTest, Vector) {
  char buf[128];
  const char kLine[] =
      "00400000-00401000 r-xp 00000000 08:01 1234        /bin/x\n";
  const int size = static_cast<int>(sizeof(kLine)) - 1;
  EXPECT_EQ(ProcMapsIterator::FormatLine(buf, sizeof(buf), 0x400000, 0x401000,
                                         "r-xp", 0, 1234, "/bin/x", 0x0801),
            size);
  EXPECT_STREQ(buf, kLine);
  // It needs room for the NUL as well.
  EXPECT_EQ(ProcMapsIterator::FormatLine(buf, size + 1, 0x400000, 0x401000,
                                         "r-xp", 0, 1234, "/bin/x", 0x0801),
            size);
  EXPECT_EQ(ProcMapsIterator::FormatLine(buf, size, 0x400000, 0x401000, "r-xp",
                                         0, 1234, "/bin/x", 0x0801),
            0);
  EXPECT_EQ(ProcMapsIterator::FormatLine(buf, 0, 0x400000, 0x401000, "r-xp", 0,
                                         1234, "/bin/x", 0x0801),
            0);
}

TEST(FormatLineTest, PermissionLetters) {
  const struct {
    const char* flags;
    const char* shown;
  } cases[] = {
      {"r-xp", "r-xp"}, {"rw-p", "rw-p"}, {"rwxs", "rwx-"}, {"---p", "---p"},
      {"xwr-", "-w--"}, {"r", "r--p"},    {"", "---p"},     {nullptr, "---p"},
  };
  for (const auto& c : cases) {
    char buf[128];
    ASSERT_GT(ProcMapsIterator::FormatLine(buf, sizeof(buf), 0, 0x1000, c.flags,
                                           0, 0, nullptr, 0),
              0);
    EXPECT_EQ(std::string(buf + 18, 4), c.shown)
        << (c.flags ? c.flags : "(null)");
  }
}

// What FormatLine writes, the iterator reads back, large device numbers
// included.
TEST_F(FakeProcTest, FormatLineRoundTrip) {
  const std::vector<Mapping> mappings = {
      {0x400000, 0x401000, "r-xp", 0, 1234, "/bin/x", makedev(8, 1)},
      {0x7f0000000000, 0x7f0000021000, "rw-p", 0x1000, 0, "", 0},
      {0x10000, 0x20000, "r--p", 0x123456789, 9876543210, "/a b/c (deleted)",
       makedev(259, 0x12345)},
  };
  std::string text;
  for (const Mapping& m : mappings) {
    char line[256];
    ASSERT_GT(ProcMapsIterator::FormatLine(line, sizeof(line), m.start, m.end,
                                           m.flags.c_str(), m.offset, m.inode,
                                           m.name.c_str(), m.dev),
              0);
    text += line;
  }
  WriteProcFile("4242/maps", text);
  ProcMapsIterator it(4242);
  ExpectMappingsEqual(ReadAll(&it), mappings);
}

}  // namespace
