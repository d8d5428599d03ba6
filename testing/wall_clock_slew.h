// How fast the kernel's wall clock (CLOCK_REALTIME) runs against its raw
// monotonic clock, for tests that hold the process clock to the kernel's
// wall clock. Time synchronization slews the wall clock by at most 500
// parts per million; some virtual machines slew it much faster while they
// catch up after a pause, and no interpolating clock can then stay within
// microseconds of it. Such tests measure the slew and skip, saying so.
#ifndef TESTING_WALL_CLOCK_SLEW_H_
#define TESTING_WALL_CLOCK_SLEW_H_

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <string>

namespace testing_clock {

// The steepest slew time synchronization applies.
constexpr double kMaxSteadySlewPpm = 500;

inline double SecondsOn(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The wall clock's rate over the raw clock's, minus one, in parts per
// million, measured over about 50 ms.
inline double WallClockSlewPpm() {
  const double wall0 = SecondsOn(CLOCK_REALTIME);
  const double raw0 = SecondsOn(CLOCK_MONOTONIC_RAW);
  usleep(50000);
  const double wall1 = SecondsOn(CLOCK_REALTIME);
  const double raw1 = SecondsOn(CLOCK_MONOTONIC_RAW);
  return ((wall1 - wall0) / (raw1 - raw0) - 1) * 1e6;
}

// The wall clock's mean slew since construction, for a test that wants to
// know whether the clock was steady over its whole run.
class WallClockSlewMeter {
 public:
  WallClockSlewMeter()
      : wall_(SecondsOn(CLOCK_REALTIME)),
        raw_(SecondsOn(CLOCK_MONOTONIC_RAW)) {}
  double MeanSlewPpm() const {
    const double wall = SecondsOn(CLOCK_REALTIME) - wall_;
    const double raw = SecondsOn(CLOCK_MONOTONIC_RAW) - raw_;
    return (wall / raw - 1) * 1e6;
  }

 private:
  double wall_, raw_;
};

inline bool WallClockIsSteady(double slew_ppm) {
  return std::fabs(slew_ppm) <= kMaxSteadySlewPpm;
}

// Empty while the wall clock runs steadily; otherwise why a test held to it
// skips, for GTEST_SKIP.
inline std::string WallClockUnsteadyReason() {
  const double slew = WallClockSlewPpm();
  if (WallClockIsSteady(slew)) return std::string();
  return "the kernel's wall clock is being slewed at " + std::to_string(slew) +
         " ppm against its raw clock";
}

}  // namespace testing_clock

#endif  // TESTING_WALL_CLOCK_SLEW_H_
