// The process clock against the kernel's over a ten-second run: every
// reading, bracketed between two clock_gettime(CLOCK_REALTIME) calls, lies
// within 100 us of the bracket. Readings come in bursts with pauses of up to
// 20 ms, so the sample expires and is refreshed in every kind of moment.
// The bound assumes the kernel's wall clock is steady (slewed no faster
// than time synchronization does); otherwise the test says so and skips.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "base/get_current_time.h"
#include "gtest/gtest.h"
#include "testing/wall_clock_slew.h"

namespace base {
namespace time_internal {
namespace {

TEST(GetCurrentTimeAccuracyTest, WithinHundredMicrosecondsForTenSeconds) {
  const std::string unsteady = testing_clock::WallClockUnsteadyReason();
  if (!unsteady.empty()) GTEST_SKIP() << unsteady;
  const testing_clock::WallClockSlewMeter slew_over_run;
  // Calibrate: a first reading, and another more than 0.5 s later.
  GetCurrentTimeNanos();
  usleep(600000);
  GetCurrentTimeNanos();
  const TimeStats start = system_clock.Stats();
  ASSERT_GE(start.calibrations, 1u);

  constexpr int64 kTolerance = 100000;  // ns
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pause_us(0, 20000);
  int64 reads = 0;
  int64 worst = 0;  // ns outside the bracket
  int64 worst_bracket = 0;
  int64 misses = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 2000; ++i) {
      const int64 before = KernelTimeNanos();
      const int64 t = GetCurrentTimeNanos();
      const int64 after = KernelTimeNanos();
      const int64 outside = std::max<int64>({before - t, t - after, 0});
      if (outside > kTolerance) ++misses;
      worst = std::max(worst, outside);
      worst_bracket = std::max(worst_bracket, after - before);
      ++reads;
    }
    usleep(pause_us(random));
  }
  const TimeStats end = system_clock.Stats();
  const double slew_after = testing_clock::WallClockSlewPpm();
  const double mean_slew = slew_over_run.MeanSlewPpm();
  if (!testing_clock::WallClockIsSteady(slew_after) ||
      !testing_clock::WallClockIsSteady(mean_slew)) {
    GTEST_SKIP() << "the kernel's wall clock was slewed during the run ("
                 << mean_slew << " ppm on average, " << slew_after
                 << " ppm at the end); worst " << worst << " ns outside";
  }
  EXPECT_EQ(misses, 0) << "worst " << worst << " ns outside";
  // Refreshes happened along the way (one per ~2.1 s of reading).
  EXPECT_GE(end.calibrations - start.calibrations, 3u);
  printf(
      "%lld reads, worst %lld ns outside the bracket (widest bracket "
      "%lld ns); %llu calibrations, %llu reinitializations\n",
      static_cast<long long>(reads), static_cast<long long>(worst),
      static_cast<long long>(worst_bracket),
      static_cast<unsigned long long>(end.calibrations - start.calibrations),
      static_cast<unsigned long long>(end.reinitializations -
                                      start.reinitializations));
}

}  // namespace
}  // namespace time_internal
}  // namespace base
