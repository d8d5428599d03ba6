#include "base/cycleclock.h"

#include "base/sysinfo.h"

// Zero until the processor facts are computed (sysinfo.cc), which may raise
// it so that Now() ticks below 2^32 times a second.
int CycleClock::g_cycle_clock_shift = 0;

double CycleClock::Frequency() { return CycleClockFrequency(); }
