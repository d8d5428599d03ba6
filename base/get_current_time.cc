// The process-wide interpolating clock, and the wall-time helpers on it.
#include "base/get_current_time.h"

#include <sys/time.h>
#include <time.h>

#include "base/cycleclock.h"
#include "base/get_current_time_internal.h"
#include "base/linker_initialized.h"
#include "base/spinlock.h"
#include "base/walltime.h"

namespace base {
namespace time_internal {

int64 KernelTimeNanos() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

template class InterpolatedClock<&KernelTimeNanos, &CycleClockNow>;

namespace {
// Serializes refreshes of the process-wide clock. Zero storage is a free
// lock, so the clock works during static initialization.
SpinLock time_lock(base::LINKER_INITIALIZED);
}  // namespace

// Constant-initialized (constexpr constructor).
SystemClock system_clock(&time_lock);

}  // namespace time_internal
}  // namespace base

double WallTime_CPS() { return CycleClock::Frequency(); }

double WallTime_SPC() { return 1.0 / CycleClock::Frequency(); }

int64 WallTime_Recalibrations() { return 0; }

void WallTime_Init() {}

namespace {
int64 GetTimeOfDayMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64>(tv.tv_sec) * 1000000 + tv.tv_usec;
}
}  // namespace

void WallTimer::Start() {
  if (running_) return;
  start_us_ = GetTimeOfDayMicros();
  running_ = true;
}

void WallTimer::Stop() {
  if (!running_) return;
  accumulated_us_ += ElapsedMicros();
  running_ = false;
}

void WallTimer::Reset() {
  running_ = false;
  accumulated_us_ = 0;
}

int64 WallTimer::GetInMs() const {
  int64 us = accumulated_us_;
  if (running_) us += ElapsedMicros();
  return us / 1000;
}

// The running interval; 0 when the clock was set back meanwhile, so that the
// total never shrinks.
int64 WallTimer::ElapsedMicros() const {
  const int64 elapsed = GetTimeOfDayMicros() - start_us_;
  return elapsed > 0 ? elapsed : 0;
}

WallTimeConverter WallTimeConverter::Now() {
  const WallTime wall_time = WallTime_Now();
  return WallTimeConverter(wall_time, CycleClock::Now());
}

WallTime WallTimeConverter::ToWallTime(int64 cycles) const {
  return wall_time_ + static_cast<double>(cycles - cycles_) * WallTime_SPC();
}
