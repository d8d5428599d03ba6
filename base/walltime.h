// Wall-clock time in seconds, as a double, and two small helpers on it.
//
//   WallTime t = WallTime_Now();        // seconds since the Unix epoch
//   WallTimer timer; timer.Start(); ...; int64 ms = timer.GetInMs();
#ifndef BASE_WALLTIME_H_
#define BASE_WALLTIME_H_

#include "base/get_current_time.h"
#include "base/integral_types.h"

// Seconds since the Unix epoch.
typedef double WallTime;

// The current time in seconds, from base::GetCurrentTimeNanos().
inline WallTime WallTime_Now() {
  return base::NanosToSeconds(base::GetCurrentTimeNanos());
}

// Cycle-clock ticks per second, and seconds per tick.
double WallTime_CPS();
double WallTime_SPC();

// The clock recalibrates itself continuously; there are no separate
// recalibration events to count, so this is always 0.
int64 WallTime_Recalibrations();

// Nothing to set up: the clock initializes itself on first use.
void WallTime_Init();

// A stopwatch on gettimeofday. Time accumulates over Start/Stop intervals;
// GetInMs includes the running interval while started.
class WallTimer {
 public:
  WallTimer() = default;

  // Starts an interval; does nothing when already running.
  void Start();
  // Ends the running interval, adding it to the total.
  void Stop();
  // Stops and clears the total.
  void Reset();
  bool IsRunning() const { return running_; }

  // Milliseconds accumulated so far, with the running interval.
  int64 GetInMs() const;

  // The current wall time in seconds (WallTime_Now()).
  static WallTime Now() { return WallTime_Now(); }

 private:
  int64 ElapsedMicros() const;

  bool running_ = false;
  int64 start_us_ = 0;        // gettimeofday at Start, in microseconds
  int64 accumulated_us_ = 0;  // finished intervals
};

// A wall time together with the cycle-clock reading of the same moment,
// for turning other cycle-clock readings into wall times.
class WallTimeConverter {
 public:
  // Reads both clocks now.
  static WallTimeConverter Now();

  WallTime wall_time() const { return wall_time_; }
  int64 cycles() const { return cycles_; }

  // The wall time of another cycle-clock reading, by the clock's rate.
  WallTime ToWallTime(int64 cycles) const;

 private:
  WallTimeConverter(WallTime wall_time, int64 cycles)
      : wall_time_(wall_time), cycles_(cycles) {}

  WallTime wall_time_;
  int64 cycles_;
};

#endif  // BASE_WALLTIME_H_
