// Facts about the machine and the process: the processor count, the rate of
// the processor's time-stamp counter (and with it the cycle clock's rate),
// the kernel thread id, and an iterator over the process's memory mappings
// as listed in /proc/<pid>/maps.
//
// The processor facts are computed once, on the first call of NumCPUs,
// NominalCPUFrequency or CycleClockFrequency, from
//   /sys/devices/system/cpu/cpu0/tsc_freq_khz,
//   /sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq and
//   /proc/cpuinfo,
// falling back to a one-second measurement when none of them gives a rate.
// That first call also sets the cycle clock's shift (cycleclock.h).
#ifndef BASE_SYSINFO_H_
#define BASE_SYSINFO_H_

#include <sys/types.h>

#include <cstddef>

#include "base/commandlineflags.h"
#include "base/integral_types.h"

DECLARE_string(procfs_prefix);
DECLARE_int32(procfile_cache_size);

// Number of processors listed in /proc/cpuinfo (1 when it lists none).
int NumCPUs();

// Ticks of the time-stamp counter per second. Always positive and finite.
double NominalCPUFrequency();

// Ticks of CycleClock::Now() per second: NominalCPUFrequency() halved once
// per bit of the cycle clock's shift, so below 2^32. Always positive.
double CycleClockFrequency();

// Measures the cycle clock over a sleep of estimate_time_ms milliseconds
// (which must be positive) and returns the ticks per second.
int64 EstimateCyclesPerSecond(int estimate_time_ms);

// Reads a decimal integer that makes up the whole file, optionally followed
// by a newline (as sysfs presents values). False, with *value untouched,
// when the file cannot be read, holds anything else, or the number does not
// fit in an int.
bool ReadIntFromFile(const char* file, int* value);

// The kernel thread id of the caller (a system call each time).
pid_t GetTID();

// GetTID(), remembered per thread after the first call. Does not allocate;
// safe in a forked child, where the child's own id is reported.
pid_t GetCachedTID();

// Writes the path `format` formatted with (pid, pid) into buf; pid 0 means
// the calling process. When FLAGS_procfs_prefix is set and format starts with
// "/proc", the prefix is put in front (taken literally, not as a format).
// A result that does not fit in buf_size bytes is a fatal error. Does not
// allocate.
void ConstructFilename(const char* format, int pid, char* buf, int buf_size);

// Iterates over the mappings listed in a process's maps file:
//
//   ProcMapsIterator::Buffer buffer;           // or let the iterator allocate
//   ProcMapsIterator it(0, &buffer);           // 0: this process
//   uint64 start, end, offset;
//   int64 inode;
//   char *flags, *name;
//   while (it.Next(&start, &end, &flags, &offset, &inode, &name)) { ... }
//
// With a caller's buffer the iterator allocates nothing and uses only open,
// read and close, so it may run inside allocation hooks and signal handlers.
// Lines that do not look like mapping lines are skipped. One thread uses an
// iterator; the file is read once, from start to end.
class ProcMapsIterator {
 public:
  struct Buffer {
    static constexpr size_t kBufSize = 5120;
    char buf_[kBufSize];
  };

  // The maps file of process `pid` (0: the calling process).
  explicit ProcMapsIterator(pid_t pid);
  ProcMapsIterator(pid_t pid, Buffer* buffer);
  // With use_maps_backing the file is /proc/<pid>/maps_backing, whose lines
  // end in "(F <file mapping> <file pages>) (A <anon mapping> <anon pages>)".
  ProcMapsIterator(pid_t pid, Buffer* buffer, bool use_maps_backing);
  ~ProcMapsIterator();

  ProcMapsIterator(const ProcMapsIterator&) = delete;
  ProcMapsIterator& operator=(const ProcMapsIterator&) = delete;

  // The maps file is open.
  bool Valid() const { return fd_ != -1; }

  // Reads the next mapping; false at the end of the file (or when the file
  // could not be opened). Every output may be null. *flags and *filename
  // point into the iterator and stay valid until the next call; a mapping
  // without a file has an empty name.
  bool Next(uint64* start, uint64* end, char** flags, uint64* offset,
            int64* inode, char** filename);

  // Next, plus the backing counts (set only in maps_backing mode, and only
  // for lines that carry them) and the device as a dev_t.
  bool NextExt(uint64* start, uint64* end, char** flags, uint64* offset,
               int64* inode, char** filename, uint64* file_mapping,
               int64* file_pages, uint64* anon_mapping, int64* anon_pages,
               dev_t* dev);

  // Writes one maps line for the given fields into buffer (size bytes) and
  // returns its length, or 0 when it does not fit. flags and filename may be
  // null (read as "").
  static int FormatLine(char* buffer, int size, uint64 start, uint64 end,
                        const char* flags, uint64 offset, int64 inode,
                        const char* filename, dev_t dev);

 private:
  void Init(pid_t pid, Buffer* buffer, bool use_maps_backing);

  char* ibuf_;      // buffer start
  char* stext_;     // start of the current line
  char* etext_;     // end of the data read so far
  char* nextline_;  // start of the following line
  char* ebuf_;      // buffer start + kBufSize - 1: one byte for a sentinel
  int fd_;          // the maps file, or -1
  pid_t pid_;
  char flags_[5];           // permissions of the current line
  Buffer* dynamic_buffer_;  // allocated here, or null for a caller's buffer
  bool using_maps_backing_;
};

// Exposed for tests: the processor facts computed from given files.
namespace sysinfo_internal {

struct CpuInfoFiles {
  const char* tsc_freq_khz;      // kHz
  const char* cpuinfo_max_freq;  // kHz
  const char* cpuinfo;           // /proc/cpuinfo format
};

struct CpuInfo {
  double cycles_per_second = 1.0;
  int num_cpus = 1;
  double time_base_frequency = 1.0;  // after the shift
  int cycle_clock_shift = 0;
};

// Computes the processor facts from `files`. `estimate` measures the rate
// over the given milliseconds; it is used under Valgrind and when no file
// gives a rate. Messages about the processor list go to standard error.
CpuInfo ComputeCpuInfo(const CpuInfoFiles& files, bool on_valgrind,
                       int64 (*estimate)(int estimate_time_ms));

}  // namespace sysinfo_internal

#endif  // BASE_SYSINFO_H_
