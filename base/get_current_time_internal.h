// The slow path of the interpolating clock of get_current_time.h: kernel
// reads, and the replacement and recalibration of the sample. Included by
// get_current_time.cc, which instantiates the process-wide clock, and by
// tests that instantiate clocks on fake sources.
#ifndef BASE_GET_CURRENT_TIME_INTERNAL_H_
#define BASE_GET_CURRENT_TIME_INTERNAL_H_

#include "base/atomicops.h"
#include "base/get_current_time.h"
#include "base/integral_types.h"
#include "base/spinlock.h"

namespace base {

// Reads a sample field by field; only the lock holder, which is the only
// writer, relies on the result being consistent.
inline TimeSample ReadTimeSampleAtomic(const TimeSampleAtomic* atomic) {
  using base::subtle::NoBarrier_Load;
  TimeSample sample;
  sample.base_ns = NoBarrier_Load(&atomic->base_ns);
  sample.base_cycles = NoBarrier_Load(&atomic->base_cycles);
  sample.nsscaled_per_cycle = NoBarrier_Load(&atomic->nsscaled_per_cycle);
  sample.min_cycles_per_sample = NoBarrier_Load(&atomic->min_cycles_per_sample);
  sample.raw_ns = NoBarrier_Load(&atomic->raw_ns);
  return sample;
}

// Stores every field with release order, so that a reader whose acquire load
// sees one of the new values also sees the odd sequence number stored before
// it (see UpdateLastSample).
inline void WriteTimeSampleAtomic(const TimeSample& sample,
                                  TimeSampleAtomic* atomic) {
  using base::subtle::Release_Store;
  Release_Store(&atomic->raw_ns, sample.raw_ns);
  Release_Store(&atomic->base_ns, sample.base_ns);
  Release_Store(&atomic->base_cycles, sample.base_cycles);
  Release_Store(&atomic->nsscaled_per_cycle, sample.nsscaled_per_cycle);
  Release_Store(&atomic->min_cycles_per_sample, sample.min_cycles_per_sample);
}

namespace time_internal {

template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
TimeSample InterpolatedClock<KernelNanos, Cycles>::Sample() const {
  return ReadTimeSampleAtomic(&sample_);
}

template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
TimeStats InterpolatedClock<KernelNanos, Cycles>::Stats() const {
  using base::subtle::NoBarrier_Load;
  TimeStats stats;
  stats.initializations = NoBarrier_Load(&stats_.initializations);
  stats.reinitializations = NoBarrier_Load(&stats_.reinitializations);
  stats.calibrations = NoBarrier_Load(&stats_.calibrations);
  stats.slow_paths = NoBarrier_Load(&stats_.slow_paths);
  stats.fast_slow_paths = NoBarrier_Load(&stats_.fast_slow_paths);
  return stats;
}

template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
int64 InterpolatedClock<KernelNanos, Cycles>::GetCurrentTimeNanosSlowPath() {
  SpinLockHolder holder(lock_);
  uint64 now_cycles;
  const uint64 now_ns = static_cast<uint64>(
      GetCurrentTimeNanosFromKernel(last_now_cycles_, &now_cycles));
  last_now_cycles_ = now_cycles;

  const TimeSample sample = ReadTimeSampleAtomic(&sample_);
  const uint64 delta = now_cycles - sample.base_cycles;
  uint64 result;
  if (delta < sample.min_cycles_per_sample) {
    // Another thread refreshed the sample while this one waited.
    result =
        sample.base_ns + ((delta * sample.nsscaled_per_cycle) >> kScaleShift);
    Increment(&stats_.fast_slow_paths);
  } else {
    result = UpdateLastSample(now_cycles, now_ns, delta, sample);
  }
  return static_cast<int64>(result);
}

template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
int64 InterpolatedClock<KernelNanos, Cycles>::GetCurrentTimeNanosFromKernel(
    uint64 last_cycles, uint64* cycles) {
  using base::subtle::NoBarrier_Load;
  using base::subtle::NoBarrier_Store;
  uint64 approx = NoBarrier_Load(&approx_syscall_time_in_cycles_);
  int slow_reads = 0;
  // The cheapest reading so far, taken when no reading qualifies in time.
  uint64 best_elapsed = ~uint64{0};
  uint64 best_after = 0;
  int64 best_ns = 0;

  int64 now_ns;
  uint64 after;
  uint64 elapsed;
  for (int round = 1;; ++round) {
    const uint64 before = Cycles();
    now_ns = KernelNanos();
    after = Cycles();
    elapsed = after - before;
    if (elapsed >= approx && ++slow_reads == kSlowReadsToGrow) {
      // Reads keep taking longer than estimated: the estimate is too low.
      slow_reads = 0;
      if (approx < kMaxGrownKernelReadCycles) {
        approx = (approx + 1) * 2;
      }
      NoBarrier_Store(&approx_syscall_time_in_cycles_, approx);
    }
    if (elapsed < approx && last_cycles - after >= kMinCyclesAfterLastRead) {
      break;
    }
    if (elapsed < best_elapsed) {
      best_elapsed = elapsed;
      best_after = after;
      best_ns = now_ns;
    }
    if (round == kMaxKernelReadRounds) {
      // Every read was slow, or the cycle counter did not move on (a
      // hypervisor, an emulator, a counter that stalls): waiting longer
      // might never end, so take the tightest pairing seen.
      elapsed = best_elapsed;
      after = best_after;
      now_ns = best_ns;
      break;
    }
  }

  if (elapsed > approx / 2) {
    seen_smaller_ = 0;
  } else if (++seen_smaller_ >= kFastReadsToShrink) {
    // Reads keep taking well under the estimate: bring it down by 1/8.
    NoBarrier_Store(&approx_syscall_time_in_cycles_, approx - approx / 8);
    seen_smaller_ = 0;
  }
  *cycles = after;
  return now_ns;
}

template <int64 (*KernelNanos)(), uint64 (*Cycles)()>
uint64 InterpolatedClock<KernelNanos, Cycles>::UpdateLastSample(
    uint64 now_cycles, uint64 now_ns, uint64 delta_cycles,
    const TimeSample& sample) {
  // Readers that see an odd number, or a change of it, take the slow path
  // and wait for the lock. The sample's stores are releases, so a reader
  // that loads any new field value also sees this odd number afterwards.
  const int64 odd_seq = base::subtle::Barrier_AtomicIncrement(&seq_, int64{1});

  uint64 estimate = now_ns;
  if (sample.raw_ns == 0 || sample.raw_ns + kReinitializeNs < now_ns ||
      now_ns < sample.raw_ns || now_cycles < sample.base_cycles) {
    // No sample yet, an old one, or one of the clocks went backwards: start
    // over from the kernel's time, uncalibrated.
    WriteTimeSampleAtomic({now_ns, now_ns, now_cycles, 0, 0}, &sample_);
    Increment(&stats_.initializations);
  } else if (sample.raw_ns + kMinRefreshNs < now_ns &&
             sample.base_cycles + kMinRefreshCycles < now_cycles) {
    // Far enough apart for a good measurement. Continue from where the old
    // sample puts this moment, so that the clock does not jump.
    bool estimate_known = true;
    const uint64 rate = sample.nsscaled_per_cycle;
    if (rate != 0) {
      // Drop low bits of the cycle count until the product fits in 64 bits.
      int shift = 0;
      uint64 product;
      while (__builtin_mul_overflow(delta_cycles >> shift, rate, &product)) {
        ++shift;
      }
      if (shift <= kScaleShift) {
        estimate = sample.base_ns + (product >> (kScaleShift - shift));
      } else {
        // Even the coarsest product overflows: the old sample would put
        // this moment more than 2^64 ns away. Nothing to converge on.
        estimate_known = false;
      }
    }
    // The rate observed since the old sample, and the cycles it expects in
    // one interpolation span.
    const uint64 measured =
        SafeDivideAndScale(now_ns - sample.raw_ns, delta_cycles);
    const uint64 next_span = SafeDivideAndScale(kMinInterpolationNs, measured);
    // Over the next span, make up all but a sixteenth of the error.
    const int64 diff = static_cast<int64>(now_ns - estimate);
    uint64 new_rate = 0;
    if (estimate_known && -kMaxCorrectionNs < diff && diff < kMaxCorrectionNs) {
      const int64 target =
          static_cast<int64>(kMinInterpolationNs) + diff - diff / 16;
      new_rate = SafeDivideAndScale(static_cast<uint64>(target), next_span);
    }
    TimeSample next;
    if (new_rate != 0) {
      next.nsscaled_per_cycle = new_rate;
      next.min_cycles_per_sample =
          SafeDivideAndScale(kMinInterpolationNs, new_rate);
      Increment(&stats_.calibrations);
    } else {
      // Too large a correction, or no usable rate: start over from the
      // kernel's time and calibrate at the next refresh.
      next.nsscaled_per_cycle = 0;
      next.min_cycles_per_sample = 0;
      estimate = now_ns;
      Increment(&stats_.reinitializations);
    }
    next.raw_ns = now_ns;
    next.base_ns = estimate;
    next.base_cycles = now_cycles;
    WriteTimeSampleAtomic(next, &sample_);
  } else {
    // Too soon after the sample to measure the rate: keep it.
    Increment(&stats_.slow_paths);
  }

  base::subtle::Release_Store(&seq_, odd_seq + 1);
  return estimate;
}

}  // namespace time_internal
}  // namespace base

#endif  // BASE_GET_CURRENT_TIME_INTERNAL_H_
