#include "base/get_current_time.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/get_current_time_internal.h"
#include "base/spinlock.h"
#include "base/walltime.h"
#include "gtest/gtest.h"
#include "testing/thread_stress.h"
#include "testing/wall_clock_slew.h"

namespace base {
namespace time_internal {
namespace {

// ---- Arithmetic

TEST(SafeDivideAndScaleTest, Cases) {
  struct Case {
    uint64 a, b, expected;
  };
  const Case kCases[] = {
      {1, 0, 0},                                  // nothing to divide by
      {2097152000, uint64{1} << 30, 2097152000},  // one span at 1 ns/cycle
      {600000000, 600000000, uint64{1} << 30},    // ratio 1, scaled
      {0, 12345, 0},
      // a fits only 23 bits of shift: b loses the other 7.
      {uint64{1} << 40, uint64{1} << 20, uint64{1} << 50},
      // ... and b shifted by 7 is 0.
      {uint64{1} << 40, 100, 0},
      {~uint64{0}, uint64{1} << 30, ~uint64{0}},  // no shift at all
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(SafeDivideAndScale(c.a, c.b), c.expected)
        << "a=" << c.a << " b=" << c.b;
  }
}

TEST(TimeConversionTest, TruncatesTowardZero) {
  EXPECT_EQ(NanosToMillis(1999999999), 1999);
  EXPECT_EQ(NanosToMicros(1999999999), 1999999);
  EXPECT_EQ(NanosToMillis(-1999999999), -1999);
  EXPECT_EQ(NanosToSeconds(1500000000), 1.5);
}

// ---- The algorithm on fake clocks

// A kernel clock and a cycle counter that move only when told to. Each
// kernel read costs read_cost(i) cycles (i counts the reads) and advances
// the kernel clock by kernel_step_ns after reporting it.
struct FakeSources {
  int64 kernel_ns = 0;
  uint64 cycles = 0;
  int64 kernel_step_ns = 0;
  std::vector<uint64> read_costs;  // the last one repeats; none: free
  int kernel_reads = 0;

  uint64 ReadCost(int i) const {
    if (read_costs.empty()) return 0;
    return read_costs[std::min<size_t>(i, read_costs.size() - 1)];
  }
};
FakeSources fake;

int64 FakeKernelNanos() {
  fake.cycles += fake.ReadCost(fake.kernel_reads);
  ++fake.kernel_reads;
  const int64 now = fake.kernel_ns;
  fake.kernel_ns += fake.kernel_step_ns;
  return now;
}
uint64 FakeCycles() { return fake.cycles; }

typedef InterpolatedClock<&FakeKernelNanos, &FakeCycles> FakeClock;

constexpr int64 kT0 = 1700000000000000000;  // a kernel time in 2023
constexpr uint64 kC0 = 1000000000000;       // a cycle-counter reading
constexpr int64 kSpan = static_cast<int64>(kMinInterpolationNs);

bool SameSample(const TimeSample& x, const TimeSample& y) {
  return x.raw_ns == y.raw_ns && x.base_ns == y.base_ns &&
         x.base_cycles == y.base_cycles &&
         x.nsscaled_per_cycle == y.nsscaled_per_cycle &&
         x.min_cycles_per_sample == y.min_cycles_per_sample;
}

// The fake cycle counter runs at 1 GHz unless a test says otherwise, so a
// calibrated clock interpolates one nanosecond per cycle.
class FakeClockTest : public ::testing::Test {
 protected:
  FakeClockTest() {
    fake = FakeSources();
    fake.kernel_ns = kT0;
    fake.cycles = kC0;
  }

  void Advance(int64 ns, int64 cycles) {
    fake.kernel_ns += ns;
    fake.cycles += static_cast<uint64>(cycles);
  }

  // Initializes the clock and calibrates it 0.7 s later; returns the time
  // of the calibration (the sample's base).
  int64 Calibrate() {
    EXPECT_EQ(clock_.Now(), kT0);
    Advance(700000000, 700000000);
    EXPECT_EQ(clock_.Now(), kT0 + 700000000);
    EXPECT_EQ(clock_.Stats().calibrations, 1u);
    return kT0 + 700000000;
  }

  SpinLock lock_;
  FakeClock clock_{&lock_};
};

TEST_F(FakeClockTest, FirstReadsReadTheKernelUntilCalibrated) {
  EXPECT_EQ(clock_.Now(), kT0);
  const TimeSample first = clock_.Sample();
  EXPECT_EQ(first.raw_ns, static_cast<uint64>(kT0));
  EXPECT_EQ(first.base_ns, static_cast<uint64>(kT0));
  EXPECT_EQ(first.base_cycles, kC0);
  EXPECT_EQ(first.nsscaled_per_cycle, 0u);
  EXPECT_EQ(first.min_cycles_per_sample, 0u);
  EXPECT_EQ(clock_.Stats().initializations, 1u);

  // Too soon to measure a rate: each read returns the kernel's time and
  // leaves the sample alone.
  struct Step {
    int64 since_first_ns;
    uint64 since_first_cycles;
  };
  const Step kTooSoon[] = {
      {300000000, 10},  // 0.3 s
      {500000000, 20},  // exactly 0.5 s is not more than 0.5 s
      {600000000, 50},  // 0.6 s, but only 50 cycles (100 needed)
  };
  int reads = fake.kernel_reads;
  for (const Step& step : kTooSoon) {
    fake.kernel_ns = kT0 + step.since_first_ns;
    fake.cycles = kC0 + step.since_first_cycles;
    EXPECT_EQ(clock_.Now(), kT0 + step.since_first_ns);
    EXPECT_EQ(fake.kernel_reads, ++reads);
    EXPECT_TRUE(SameSample(clock_.Sample(), first));
  }
  EXPECT_EQ(clock_.Stats().slow_paths, 3u);

  // 0.7 s and 700000000 cycles after the first: 1 ns per cycle.
  fake.kernel_ns = kT0 + 700000000;
  fake.cycles = kC0 + 700000000;
  EXPECT_EQ(clock_.Now(), kT0 + 700000000);
  const TimeSample calibrated = clock_.Sample();
  EXPECT_EQ(calibrated.nsscaled_per_cycle, uint64{1} << 30);
  EXPECT_EQ(calibrated.min_cycles_per_sample, kMinInterpolationNs);
  EXPECT_EQ(calibrated.base_ns, static_cast<uint64>(kT0 + 700000000));
  EXPECT_EQ(calibrated.base_cycles, kC0 + 700000000);
  const TimeStats stats = clock_.Stats();
  EXPECT_EQ(stats.calibrations, 1u);
  EXPECT_EQ(stats.initializations, 1u);
  EXPECT_EQ(stats.reinitializations, 0u);
}

TEST_F(FakeClockTest, CalibratedReadsInterpolateWithoutTheKernel) {
  const int64 base = Calibrate();
  const int reads = fake.kernel_reads;
  // The kernel clock is off by a second: the fast path does not look.
  Advance(2000000000, 1000000000);
  EXPECT_EQ(clock_.Now(), base + 1000000000);
  Advance(0, kSpan - 1 - 1000000000);  // the last cycle the sample serves
  EXPECT_EQ(clock_.Now(), base + kSpan - 1);
  EXPECT_EQ(fake.kernel_reads, reads);

  Advance(0, 1);  // expired
  clock_.Now();
  EXPECT_EQ(fake.kernel_reads, reads + 1);
}

TEST_F(FakeClockTest, BehindClockCatchesUpFifteenSixteenthsWithoutJumping) {
  const int64 base = Calibrate();
  // Over one span of cycles the kernel clock moved 1 ms more than the
  // clock interpolated: the kernel's rate is (kSpan + 1 ms) / kSpan.
  Advance(kSpan + 1000000, kSpan);
  const int64 at_refresh = clock_.Now();
  // The refresh continues from the interpolated time: 1 ms behind.
  EXPECT_EQ(at_refresh, base + kSpan);
  EXPECT_EQ(fake.kernel_ns - at_refresh, 1000000);
  EXPECT_EQ(clock_.Stats().calibrations, 2u);
  EXPECT_EQ(clock_.Sample().base_ns, static_cast<uint64>(at_refresh));

  // The cycles in which the kernel clock moves one span at its rate.
  const int64 span_cycles = static_cast<int64>(
      static_cast<double>(kSpan) * kSpan / (kSpan + 1000000) + 0.5);
  const int reads = fake.kernel_reads;

  // Halfway the error has shrunk by half of 15/16 of 1 ms...
  Advance(kSpan / 2, span_cycles / 2);
  const int64 halfway = clock_.Now();
  EXPECT_EQ(fake.kernel_reads, reads);  // still interpolating
  EXPECT_GT(halfway, at_refresh);
  EXPECT_NEAR(fake.kernel_ns - halfway, 1000000 - 937500 / 2, 10);

  // ... and after the span a sixteenth of it is left. This read expires the
  // sample and refreshes it, still continuing from the interpolated time.
  Advance(kSpan - kSpan / 2, span_cycles - span_cycles / 2);
  const int64 after_span = clock_.Now();
  EXPECT_GT(after_span, halfway);
  EXPECT_NEAR(fake.kernel_ns - after_span, 62500, 10);
  EXPECT_EQ(clock_.Stats().calibrations, 3u);
  EXPECT_EQ(clock_.Stats().reinitializations, 0u);
}

// A refresh of a calibrated sample (base time B, 1 ns per cycle, one span
// of validity) after the kernel clock and the cycle counter moved.
TEST_F(FakeClockTest, RefreshOutcomes) {
  enum Outcome { kInitialize, kReinitialize, kCalibrate, kKeep };
  struct Case {
    const char* name;
    int64 kernel_advance_ns;
    int64 cycle_advance;
    Outcome outcome;
  };
  const Case kCases[] = {
      {"kernel clock set back", -10000000000, 3000000000, kInitialize},
      {"more than 5 s since the sample", 6000000000, 6000000000, kInitialize},
      {"cycle counter went backwards", 1000000000, -1000000000, kInitialize},
      {"1 ns short of a 0.1 s correction", kSpan + 99999999, kSpan, kCalibrate},
      {"0.1 s behind", kSpan + 100000000, kSpan, kReinitialize},
      {"0.1 s ahead", kSpan - 100000000, kSpan, kReinitialize},
      {"kernel clock moved under 0.5 s", 400000000, kSpan, kKeep},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fake = FakeSources();
    fake.kernel_ns = kT0;
    fake.cycles = kC0;
    SpinLock lock;
    FakeClock clock(&lock);
    clock.Now();
    Advance(700000000, 700000000);
    const int64 base = clock.Now();
    const TimeSample before = clock.Sample();
    const TimeStats stats_before = clock.Stats();
    ASSERT_NE(before.nsscaled_per_cycle, 0u);

    Advance(c.kernel_advance_ns, c.cycle_advance);
    const int64 now = clock.Now();
    const TimeSample after = clock.Sample();
    const TimeStats stats = clock.Stats();
    switch (c.outcome) {
      case kInitialize:
      case kReinitialize:
        // Starts over from the kernel's time, uncalibrated.
        EXPECT_EQ(now, fake.kernel_ns);
        EXPECT_EQ(after.raw_ns, static_cast<uint64>(fake.kernel_ns));
        EXPECT_EQ(after.base_ns, static_cast<uint64>(fake.kernel_ns));
        EXPECT_EQ(after.base_cycles, fake.cycles);
        EXPECT_EQ(after.nsscaled_per_cycle, 0u);
        EXPECT_EQ(after.min_cycles_per_sample, 0u);
        EXPECT_EQ(stats.initializations - stats_before.initializations,
                  c.outcome == kInitialize ? 1u : 0u);
        EXPECT_EQ(stats.reinitializations - stats_before.reinitializations,
                  c.outcome == kReinitialize ? 1u : 0u);
        break;
      case kCalibrate:
        // Continues from the interpolated time.
        EXPECT_EQ(now, base + c.cycle_advance);
        EXPECT_EQ(after.base_ns, static_cast<uint64>(now));
        EXPECT_EQ(after.raw_ns, static_cast<uint64>(fake.kernel_ns));
        EXPECT_NE(after.nsscaled_per_cycle, 0u);
        EXPECT_EQ(stats.calibrations - stats_before.calibrations, 1u);
        break;
      case kKeep:
        EXPECT_EQ(now, fake.kernel_ns);
        EXPECT_TRUE(SameSample(after, before));
        EXPECT_EQ(stats.slow_paths - stats_before.slow_paths, 1u);
        break;
    }
  }
}

// On a slow counter (10 ns per cycle) an enormous cycle gap makes even the
// coarsest product of cycles and rate overflow: the old sample cannot place
// the moment at all, and the clock starts over instead of shifting by a
// negative amount.
TEST_F(FakeClockTest, HugeCycleGapOnSlowCounterStartsOver) {
  clock_.Now();
  Advance(700000000, 70000000);
  clock_.Now();
  ASSERT_GT(clock_.Sample().nsscaled_per_cycle, uint64{9} << 30);
  Advance(1000000000, int64{1} << 62);
  Advance(0, int64{1} << 62);
  EXPECT_EQ(clock_.Now(), fake.kernel_ns);
  EXPECT_EQ(clock_.Sample().nsscaled_per_cycle, 0u);
  EXPECT_EQ(clock_.Stats().reinitializations, 1u);
}

TEST_F(FakeClockTest, KernelReadRetries) {
  struct Case {
    const char* name;
    std::vector<uint64> read_costs;
    bool counter_stuck_at_last_read;  // last_cycles = the counter's value
    int expected_reads;
    int expected_choice;       // index of the reading returned
    uint64 expected_estimate;  // 0: not checked
  };
  std::vector<uint64> never_cheap(100, 5000000);
  never_cheap[37] = 4000000;
  const Case kCases[] = {
      {"a cheap first reading is taken", {100}, false, 1, 0, 10000},
      // clang-format off
      {"readings costing the estimate or more are retried",
       {50000, 10000, 9999}, false, 3, 2, 10000},
      {"twenty slow readings double the estimate",
       {15000}, false, 20, 19, 20002},
      // clang-format on
      {"never cheap enough: the cheapest of a bounded number", never_cheap,
       false, 100, 37, 0},
      {"counter not past the previous read: bounded", {0}, true, 100, 0, 10000},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fake = FakeSources();
    fake.kernel_ns = kT0;
    fake.cycles = kC0;
    fake.kernel_step_ns = 1;  // reading i reports kT0 + i
    fake.read_costs = c.read_costs;
    SpinLock lock;
    FakeClock clock(&lock);
    uint64 cycles = 0;
    const int64 ns = clock.GetCurrentTimeNanosFromKernel(
        c.counter_stuck_at_last_read ? kC0 : 0, &cycles);
    EXPECT_EQ(fake.kernel_reads, c.expected_reads);
    EXPECT_EQ(ns, kT0 + c.expected_choice);
    uint64 cycles_after_choice = kC0;
    for (int i = 0; i <= c.expected_choice; ++i) {
      cycles_after_choice += fake.ReadCost(i);
    }
    EXPECT_EQ(cycles, cycles_after_choice);
    if (c.expected_estimate != 0) {
      EXPECT_EQ(clock.KernelReadCostEstimate(), c.expected_estimate);
    }
  }
}

TEST_F(FakeClockTest, FourFastKernelReadsInARowShrinkTheEstimate) {
  uint64 cycles;
  fake.read_costs = {100};
  for (int i = 0; i < 3; ++i) clock_.GetCurrentTimeNanosFromKernel(0, &cycles);
  // A read above half the estimate breaks the run.
  fake.read_costs = {6000};
  clock_.GetCurrentTimeNanosFromKernel(0, &cycles);
  fake.read_costs = {100};
  for (int i = 0; i < 3; ++i) clock_.GetCurrentTimeNanosFromKernel(0, &cycles);
  EXPECT_EQ(clock_.KernelReadCostEstimate(), 10000u);
  clock_.GetCurrentTimeNanosFromKernel(0, &cycles);
  EXPECT_EQ(clock_.KernelReadCostEstimate(), 10000u - 10000u / 8);
}

// ---- Real clocks, many threads

// The kernel's raw monotonic clock run kSpeedUp times faster from an
// origin, so that the clock on it recalibrates every couple of
// milliseconds. The raw clock rather than the wall clock: these tests are
// about concurrent readers and refreshes, and a wall clock slewed by time
// synchronization, magnified a thousand times, would swamp their bounds.
constexpr int64 kSpeedUp = 1000;
int64 fast_origin_ns;
int64 RawKernelNanos() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC_RAW, &t);
  return int64{t.tv_sec} * 1000000000 + t.tv_nsec;
}
int64 FastKernelNanos() {
  return fast_origin_ns + (RawKernelNanos() - fast_origin_ns) * kSpeedUp;
}
typedef InterpolatedClock<&FastKernelNanos, &CycleClockNow> FastClock;

struct ReaderResult {
  int64 reads = 0;
  int64 worst_ns = 0;  // farthest outside the bracket, or back in time
};

// Reads `now` on several threads for a while, checking each reading against
// reference readings taken just before and after it, and against the
// thread's previous reading.
template <typename Now, typename Reference>
ReaderResult ReadConcurrently(Now now, Reference reference,
                              testing_threads::Placement placement,
                              std::chrono::milliseconds duration) {
  constexpr int kThreads = 4;
  std::vector<ReaderResult> results(kThreads);
  const auto deadline = std::chrono::steady_clock::now() + duration;
  testing_threads::RunThreads(kThreads, placement, [&](int i) {
    ReaderResult& r = results[i];
    int64 previous = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      for (int k = 0; k < 1000; ++k) {
        const int64 before = reference();
        const int64 t = now();
        const int64 after = reference();
        r.worst_ns =
            std::max({r.worst_ns, before - t, t - after, previous - t});
        previous = t;
        ++r.reads;
      }
    }
  });
  ReaderResult total;
  for (const ReaderResult& r : results) {
    total.reads += r.reads;
    total.worst_ns = std::max(total.worst_ns, r.worst_ns);
  }
  return total;
}

}  // namespace

// Changes a clock's sample the way a refresh does, under the lock and inside
// an odd sequence number, but first leaves it torn for a while: base time
// moved by offset_ns without the rest. A reader that used the torn sample
// would be off by offset_ns.
class InterpolatedClockPeer {
 public:
  template <typename Clock>
  static void TornChange(Clock* clock, int64 offset_ns,
                         std::chrono::microseconds hold) {
    SpinLockHolder holder(clock->lock_);
    const int64 odd_seq =
        base::subtle::Barrier_AtomicIncrement(&clock->seq_, int64{1});
    const TimeSample sample = ReadTimeSampleAtomic(&clock->sample_);
    TimeSample torn = sample;
    torn.base_ns += offset_ns;
    WriteTimeSampleAtomic(torn, &clock->sample_);
    const auto until = std::chrono::steady_clock::now() + hold;
    while (std::chrono::steady_clock::now() < until) {
    }
    WriteTimeSampleAtomic(sample, &clock->sample_);
    base::subtle::Release_Store(&clock->seq_, odd_seq + 1);
  }
};

namespace {

class ConcurrentReadersTest
    : public ::testing::TestWithParam<testing_threads::Placement> {};

// Refreshes happen all the time while readers interpolate: a reader that
// combined fields of two samples would be off by up to a whole span
// (2.1 s, here 2.1 ms of real time).
TEST_P(ConcurrentReadersTest, StayWithKernelClockWhileRefreshing) {
  fast_origin_ns = RawKernelNanos();
  SpinLock lock;
  FastClock clock(&lock);
  const ReaderResult r =
      ReadConcurrently([&clock] { return clock.Now(); }, FastKernelNanos,
                       GetParam(), std::chrono::milliseconds(1000));
  const TimeStats stats = clock.Stats();
  // 100 us of real time.
  EXPECT_LE(r.worst_ns, 100000 * kSpeedUp) << r.reads << " reads";
  EXPECT_GE(stats.calibrations, 50u);
  EXPECT_GT(r.reads, 10000);
}

// The same while another thread keeps changing the sample slowly, through a
// torn state 10 s (10 ms of real time) off.
TEST_P(ConcurrentReadersTest, NeverReturnTornSample) {
  fast_origin_ns = RawKernelNanos();
  SpinLock lock;
  FastClock clock(&lock);
  clock.Now();
  std::atomic<bool> done{false};
  std::atomic<int> changes{0};
  std::thread writer([&] {
    while (!done.load()) {
      InterpolatedClockPeer::TornChange(&clock, 10000000000,
                                        std::chrono::microseconds(50));
      changes.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const ReaderResult r =
      ReadConcurrently([&clock] { return clock.Now(); }, FastKernelNanos,
                       GetParam(), std::chrono::milliseconds(1000));
  done.store(true);
  writer.join();
  EXPECT_LE(r.worst_ns, 100000 * kSpeedUp) << r.reads << " reads";
  EXPECT_GT(changes.load(), 100);
}

TEST_P(ConcurrentReadersTest, ProcessClockAgreesWithKernelClock) {
  const std::string unsteady = testing_clock::WallClockUnsteadyReason();
  if (!unsteady.empty()) GTEST_SKIP() << unsteady;
  const ReaderResult r =
      ReadConcurrently(GetCurrentTimeNanos, KernelTimeNanos, GetParam(),
                       std::chrono::milliseconds(500));
  EXPECT_LE(r.worst_ns, 100000) << r.reads << " reads";
}

INSTANTIATE_TEST_SUITE_P(
    Placements, ConcurrentReadersTest,
    ::testing::ValuesIn(testing_threads::kPlacements),
    [](const ::testing::TestParamInfo<testing_threads::Placement>& info) {
      return testing_threads::PlacementName(info.param);
    });

}  // namespace
}  // namespace time_internal
}  // namespace base

// ---- Derived units and wall-time helpers

namespace {

TEST(WallTimeTest, UnitsAgreeWithKernelClock) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64 before_ns = ts.tv_sec * int64{1000000000} + ts.tv_nsec;
  const int64 ms = GetCurrentTimeMillis();
  const int64 us = GetCurrentTimeMicros();
  const double s = WallTime_Now();
  clock_gettime(CLOCK_REALTIME, &ts);
  const int64 after_ns = ts.tv_sec * int64{1000000000} + ts.tv_nsec;
  // 100 us of slack on each side.
  EXPECT_GE(ms, (before_ns - 100000) / 1000000);
  EXPECT_LE(ms, (after_ns + 100000) / 1000000);
  EXPECT_GE(us, (before_ns - 100000) / 1000);
  EXPECT_LE(us, (after_ns + 100000) / 1000);
  EXPECT_GE(s, (before_ns - 100000) / 1e9);
  EXPECT_LE(s, (after_ns + 100000) / 1e9);
}

TEST(WallTimerTest, AccumulatesStartedIntervals) {
  WallTimer timer;
  EXPECT_EQ(timer.GetInMs(), 0);
  timer.Start();
  usleep(30000);
  const int64 running = timer.GetInMs();  // includes the running interval
  EXPECT_GE(running, 30);
  timer.Stop();
  const int64 stopped = timer.GetInMs();
  EXPECT_GE(stopped, running);
  usleep(30000);
  EXPECT_EQ(timer.GetInMs(), stopped);  // nothing accrues while stopped
  timer.Start();
  usleep(30000);
  timer.Stop();
  EXPECT_GE(timer.GetInMs(), stopped + 30);
  EXPECT_LT(timer.GetInMs(), 10000);
  timer.Reset();
  EXPECT_EQ(timer.GetInMs(), 0);
  EXPECT_FALSE(timer.IsRunning());
}

TEST(WallTimeConverterTest, MapsCycleReadingsOntoWallTime) {
  const WallTimeConverter converter = WallTimeConverter::Now();
  EXPECT_DOUBLE_EQ(converter.ToWallTime(converter.cycles()),
                   converter.wall_time());
  const int64 one_second = static_cast<int64>(WallTime_CPS());
  EXPECT_NEAR(converter.ToWallTime(converter.cycles() + one_second),
              converter.wall_time() + 1.0, 1e-6);
  // A later pair agrees with the first one's conversion, as long as the
  // kernel's wall clock runs steadily.
  const std::string unsteady = testing_clock::WallClockUnsteadyReason();
  if (!unsteady.empty()) GTEST_SKIP() << unsteady;
  usleep(200000);
  const WallTimeConverter later = WallTimeConverter::Now();
  EXPECT_NEAR(converter.ToWallTime(later.cycles()), later.wall_time(), 1e-3);
}

}  // namespace
