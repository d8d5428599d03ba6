#include "base/sysinfo.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/cycleclock.h"
#include "base/dynamic_annotations.h"
#include "base/logging.h"
#include "base/port.h"
#include "base/raw_logging.h"

DEFINE_string(procfs_prefix, "",
              "string to prepend to /proc filenames opened via OpenProcFile");
DEFINE_int32(procfile_cache_size, 0, "number of /proc filehandles to cache");

namespace {

// ---- Small parsers ----------------------------------------------------------
// Written out rather than taken from the C library: the maps parser runs in
// signal handlers and allocation hooks, where stdio is off limits, and the
// number parser must not depend on the process's locale (a host such as a
// JVM may have set LC_NUMERIC to one with a decimal comma, and the kernel
// always writes a decimal point).

inline bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline const char* SkipSpace(const char* p) {
  while (IsSpace(*p)) ++p;
  return p;
}

inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

// Reads a hexadecimal number after optional white space and an optional
// "0x". Fails when there is no digit or the value does not fit in 64 bits.
bool ParseHex(const char** text, uint64* value) {
  const char* p = SkipSpace(*text);
  if (p[0] == '0' && (p[1] | 0x20) == 'x' && HexDigitValue(p[2]) >= 0) p += 2;
  int digit = HexDigitValue(*p);
  if (digit < 0) return false;
  uint64 v = 0;
  do {
    if (v >> 60) return false;
    v = (v << 4) | static_cast<uint64>(digit);
    digit = HexDigitValue(*++p);
  } while (digit >= 0);
  *value = v;
  *text = p;
  return true;
}

// Reads an optionally signed decimal number after optional white space.
// Fails when there is no digit or the value does not fit in 64 bits.
bool ParseDecimalInt(const char** text, int64* value) {
  const char* p = SkipSpace(*text);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  uint64 v = 0;
  const uint64 limit = negative ? uint64{1} << 63 : (uint64{1} << 63) - 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64 digit = static_cast<uint64>(*p - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = negative ? static_cast<int64>(~v + 1) : static_cast<int64>(v);
  *text = p;
  return true;
}

// Reads a decimal floating-point number ("2096.020", "-1.5e3") after
// optional white space, in the manner of strtod in the "C" locale. *end is
// set after the number, or to text when there is none.
double ParseDouble(const char* text, const char** end) {
  static const double kPow10[] = {
      1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* p = SkipSpace(text);
  *end = text;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  double mantissa = 0;
  int digits = 0;
  int exponent = 0;  // power of ten the mantissa is to be scaled by
  for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
    mantissa = mantissa * 10 + (*p - '0');
  }
  if (*p == '.') {
    for (++p; *p >= '0' && *p <= '9'; ++p, ++digits) {
      mantissa = mantissa * 10 + (*p - '0');
      if (exponent > -10000) --exponent;
    }
  }
  if (digits == 0) return 0;
  if (*p == 'e' || *p == 'E') {
    const char* q = p + 1;
    bool exp_negative = false;
    if (*q == '+' || *q == '-') exp_negative = *q++ == '-';
    if (*q >= '0' && *q <= '9') {
      int e = 0;
      for (; *q >= '0' && *q <= '9'; ++q) {
        if (e < 10000) e = e * 10 + (*q - '0');
      }
      exponent += exp_negative ? -e : e;
      p = q;
    }
  }
  *end = p;
  // Dividing by an exact power of ten rounds correctly, where multiplying
  // by an inexact 0.001 might not.
  double value = mantissa;
  while (exponent > 0) {
    const int step = exponent > 22 ? 22 : exponent;
    value *= kPow10[step];
    exponent -= step;
  }
  while (exponent < 0 && value != 0) {
    const int step = -exponent > 22 ? 22 : -exponent;
    value /= kPow10[step];
    exponent += step;
  }
  return negative ? -value : value;
}

// A rate is usable when positive, finite and below 2^64: then the cycle
// clock's shift stays at most 32, and nothing ever divides by zero.
inline bool UsableFrequency(double hz) {
  return hz > 0 && hz < 18446744073709551616.0;
}

// The text after a "name : value" line's colon holds just a number: the
// number times `scale` when that is a usable rate.
bool ParseFrequency(const char* line, double scale, double* hz) {
  const char* colon = strchr(line, ':');
  if (colon == nullptr || colon[1] == '\0') return false;
  const char* end;
  const double value = ParseDouble(colon + 1, &end) * scale;
  if (end == colon + 1 || *end != '\0' || !UsableFrequency(value)) {
    return false;
  }
  *hz = value;
  return true;
}

void WriteMessage(const char* message) {
  base_raw_logging::SafeWriteToStderr(message, strlen(message));
}

// ---- /proc/cpuinfo ----------------------------------------------------------

// What one pass over /proc/cpuinfo found, besides a rate.
struct CpuinfoScan {
  double bogo_clock = 0;
  bool saw_bogo = false;
  int num_cpus = 0;  // "processor" lines
  long max_cpu_id = 0;
  double time_base = 0;
  bool saw_time_base = false;
};

void ScanCpuinfoLine(const char* line, bool* saw_mhz, double* cycles,
                     CpuinfoScan* scan) {
  double hz;
  if (strncasecmp(line, "cpu MHz", 7) == 0) {
    if (!*saw_mhz && ParseFrequency(line, 1000000.0, &hz)) {
      *cycles = hz;
      *saw_mhz = true;
    }
  } else if (strncmp(line, "clock", 5) == 0) {
    // "clock : 1500.000000MHz": the unit must follow the number directly.
    const char* colon = strchr(line, ':');
    if (!*saw_mhz && colon != nullptr && colon[1] != '\0') {
      const char* end;
      hz = ParseDouble(colon + 1, &end) * 1000000.0;
      if (end != colon + 1 && strcmp(end, "MHz") == 0 && UsableFrequency(hz)) {
        *cycles = hz;
        *saw_mhz = true;
      }
    }
  } else if (strncasecmp(line, "bogomips", 8) == 0) {
    // Every processor has one; the last usable one counts.
    if (ParseFrequency(line, 1000000.0, &hz)) {
      scan->bogo_clock = hz;
      scan->saw_bogo = true;
    }
  } else if (strncasecmp(line, "processor", 9) == 0) {
    scan->num_cpus++;
    const char* colon = strchr(line, ':');
    if (colon != nullptr && colon[1] != '\0') {
      char* end;
      const long id = strtol(colon + 1, &end, 10);
      if (end != colon + 1 && *end == '\0' && id > scan->max_cpu_id) {
        scan->max_cpu_id = id;
      }
    }
  } else if (strncmp(line, "timebase", 8) == 0) {
    if (ParseFrequency(line, 1.0, &hz)) {
      scan->time_base = hz;
      scan->saw_time_base = true;
    }
  }
}

// Reads the file line by line through a 1024-byte buffer; a longer line is
// seen as several lines of at most 1023 characters.
void ScanCpuinfo(const char* path, bool* saw_mhz, double* cycles,
                 CpuinfoScan* scan) {
  const int fd = open(path, O_RDONLY);
  if (fd == -1) {
    perror(path);
    return;
  }
  char line[1024];
  size_t held = 0;  // bytes of the file in line[], from line[0]
  bool at_end = false;
  for (;;) {
    char* newline = static_cast<char*>(memchr(line, '\n', held));
    // Read until the buffer holds a whole line, is full, or the file ends.
    while (newline == nullptr && !at_end && held < sizeof(line) - 1) {
      const ssize_t n = read(fd, line + held, sizeof(line) - 1 - held);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        at_end = true;
        break;
      }
      newline = static_cast<char*>(memchr(line + held, '\n', n));
      held += static_cast<size_t>(n);
    }
    if (held == 0) break;
    const size_t length = newline != nullptr ? newline - line : held;
    line[length] = '\0';
    ScanCpuinfoLine(line, saw_mhz, cycles, scan);
    const size_t consumed = newline != nullptr ? length + 1 : length;
    memmove(line, line + consumed, held - consumed);
    held -= consumed;
  }
  close(fd);
}

// ---- Module state -----------------------------------------------------------

pthread_once_t cpuinfo_init = PTHREAD_ONCE_INIT;
double cpuinfo_cycles_per_second = 1.0;
int cpuinfo_num_cpus = 1;
double cpuinfo_time_base_frequency = 1.0;

void InitializeSystemInfo() {
  const sysinfo_internal::CpuInfoFiles files = {
      "/sys/devices/system/cpu/cpu0/tsc_freq_khz",
      "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
      "/proc/cpuinfo",
  };
  const sysinfo_internal::CpuInfo info = sysinfo_internal::ComputeCpuInfo(
      files, RunningOnValgrind() != 0, &EstimateCyclesPerSecond);
  cpuinfo_cycles_per_second = info.cycles_per_second;
  cpuinfo_num_cpus = info.num_cpus;
  cpuinfo_time_base_frequency = info.time_base_frequency;
  CycleClock::g_cycle_clock_shift = info.cycle_clock_shift;
}

void SleepForMilliseconds(int ms) {
  struct timespec remaining = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// ---- Thread ids -------------------------------------------------------------

// 0 until the thread first asks. Initial-exec TLS is a fixed offset from the
// thread pointer: reading it never goes through __tls_get_addr, which may
// allocate the first time a thread touches a dlopen()ed library's TLS.
thread_local pid_t cached_tid __attribute__((tls_model("initial-exec"))) = 0;

// A forked child inherits the forking thread's cached id, which is the
// parent's; forget it so the child looks up its own.
void ForgetCachedTIDInChild() { cached_tid = 0; }

// Registered at load time: registration may allocate, so it must not wait
// for the first GetCachedTID, which runs in allocation-free contexts.
__attribute__((constructor)) void RegisterCachedTIDForkHandler() {
  pthread_atfork(nullptr, nullptr, &ForgetCachedTIDInChild);
}

}  // namespace

namespace sysinfo_internal {

CpuInfo ComputeCpuInfo(const CpuInfoFiles& files, bool on_valgrind,
                       int64 (*estimate)(int estimate_time_ms)) {
  CpuInfo info;
  double cycles = info.cycles_per_second;
  bool saw_mhz = false;
  // Valgrind's time-stamp counter is its own; only a measurement tells.
  if (on_valgrind) {
    const double hz = static_cast<double>(estimate(100));
    if (UsableFrequency(hz)) {
      cycles = hz;
      saw_mhz = true;
    }
  }
  // The sysfs files hold kHz. A zero or negative value is no rate.
  int khz;
  if (!saw_mhz && ReadIntFromFile(files.tsc_freq_khz, &khz) && khz > 0) {
    cycles = khz * 1000.0;
    saw_mhz = true;
  }
  if (!saw_mhz && ReadIntFromFile(files.cpuinfo_max_freq, &khz) && khz > 0) {
    cycles = khz * 1000.0;
    saw_mhz = true;
  }

  CpuinfoScan scan;
  ScanCpuinfo(files.cpuinfo, &saw_mhz, &cycles, &scan);

  if (!saw_mhz) {
    if (scan.saw_bogo) {
      cycles = scan.bogo_clock;
    } else {
      const double hz = static_cast<double>(estimate(1000));
      if (UsableFrequency(hz)) cycles = hz;  // else keep the positive default
    }
  }
  info.cycles_per_second = cycles;

  if (scan.num_cpus > 0) {
    if (scan.max_cpu_id != scan.num_cpus - 1L) {
      WriteMessage(
          "CPU ID assignments in /proc/cpuinfo seems messed up."
          " This is usually caused by a bad BIOS.\n");
    }
    info.num_cpus = scan.num_cpus;
  } else {
    WriteMessage("Failed to read num. CPUs correctly from /proc/cpuinfo\n");
  }

  // The cycle clock ticks below 2^32 times a second: shift the counter right
  // until its rate does.
  double time_base = scan.saw_time_base ? scan.time_base : cycles;
  int shift = 0;
  while (time_base >= 4294967296.0) {
    time_base /= 2;
    shift++;
  }
  info.time_base_frequency = time_base;
  info.cycle_clock_shift = shift;
  return info;
}

}  // namespace sysinfo_internal

int NumCPUs() {
  pthread_once(&cpuinfo_init, &InitializeSystemInfo);
  return cpuinfo_num_cpus;
}

double NominalCPUFrequency() {
  pthread_once(&cpuinfo_init, &InitializeSystemInfo);
  return cpuinfo_cycles_per_second;
}

double CycleClockFrequency() {
  pthread_once(&cpuinfo_init, &InitializeSystemInfo);
  return cpuinfo_time_base_frequency;
}

int64 EstimateCyclesPerSecond(const int estimate_time_ms) {
  CHECK(estimate_time_ms > 0);
  const int64 start = CycleClock::Now();
  SleepForMilliseconds(estimate_time_ms);
  const int64 end = CycleClock::Now();
  return static_cast<int64>((1000.0 / estimate_time_ms) * (end - start));
}

bool ReadIntFromFile(const char* file, int* value) {
  const int fd = open(file, O_RDONLY);
  if (fd == -1) return false;
  char text[1024] = {};
  ssize_t n;
  do {
    n = read(fd, text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return false;
  char* end;
  errno = 0;
  const long number = strtol(text, &end, 10);
  if (end == text || (*end != '\n' && *end != '\0') || errno == ERANGE ||
      number < INT_MIN || number > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

pid_t GetTID() {
  const long tid = syscall(SYS_gettid);
  if (tid == -1) return getpid();
  return static_cast<pid_t>(tid);
}

pid_t GetCachedTID() {
  pid_t tid = cached_tid;
  if (PREDICT_FALSE(tid == 0)) {
    tid = GetTID();
    cached_tid = tid;
  }
  return tid;
}

void ConstructFilename(const char* format, int pid, char* buf, int buf_size) {
  RAW_CHECK(buf_size > 0, "the buffer size must be positive");
  if (pid == 0) pid = getpid();
  const std::string& prefix = FLAGS_procfs_prefix;
  if (prefix.empty() || strncmp(format, "/proc", 5) != 0) {
    const int n = snprintf(buf, buf_size, format, pid, pid);
    RAW_CHECK(n >= 0 && n < buf_size,
              "snprintf(buf, buf_size, format, pid, pid) < buf_size");
    return;
  }
  // The prefix is copied, not used as part of the format: a '%' in it is an
  // ordinary character. Building it here also keeps this free of allocation.
  const size_t prefix_size = prefix.size();
  const bool prefix_fits = prefix_size < static_cast<size_t>(buf_size);
  int n = -1;
  if (prefix_fits) {
    memcpy(buf, prefix.data(), prefix_size);
    n = snprintf(buf + prefix_size, buf_size - prefix_size, format, pid, pid);
  }
  RAW_CHECK(
      prefix_fits && n >= 0 &&
          prefix_size + static_cast<size_t>(n) < static_cast<size_t>(buf_size),
      "FLAGS_procfs_prefix.size() + snprintf(..., format, pid, pid) < "
      "buf_size");
}

// ---- ProcMapsIterator -------------------------------------------------------

ProcMapsIterator::ProcMapsIterator(pid_t pid) { Init(pid, nullptr, false); }

ProcMapsIterator::ProcMapsIterator(pid_t pid, Buffer* buffer) {
  Init(pid, buffer, false);
}

ProcMapsIterator::ProcMapsIterator(pid_t pid, Buffer* buffer,
                                   bool use_maps_backing) {
  Init(pid, buffer, use_maps_backing);
}

void ProcMapsIterator::Init(pid_t pid, Buffer* buffer, bool use_maps_backing) {
  pid_ = pid;
  using_maps_backing_ = use_maps_backing;
  dynamic_buffer_ = nullptr;
  if (buffer == nullptr) {
    buffer = dynamic_buffer_ = new Buffer;
  }
  ibuf_ = buffer->buf_;
  stext_ = etext_ = nextline_ = ibuf_;
  ebuf_ = ibuf_ + Buffer::kBufSize - 1;
  flags_[0] = '\0';
  // The path is built in the buffer, which the file's text then overwrites.
  if (use_maps_backing) {
    ConstructFilename("/proc/%d/maps_backing", pid, ibuf_, Buffer::kBufSize);
  } else if (pid != 0) {
    ConstructFilename("/proc/%d/maps", pid, ibuf_, Buffer::kBufSize);
  } else {
    ConstructFilename("/proc/self/maps", pid, ibuf_, Buffer::kBufSize);
  }
  do {
    fd_ = open(ibuf_, O_RDONLY);
  } while (fd_ < 0 && errno == EINTR);
}

ProcMapsIterator::~ProcMapsIterator() {
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close reports EINTR; a second
    // close could hit a descriptor another thread has just been given.
    close(fd_);
  }
  delete dynamic_buffer_;
}

bool ProcMapsIterator::Next(uint64* start, uint64* end, char** flags,
                            uint64* offset, int64* inode, char** filename) {
  return NextExt(start, end, flags, offset, inode, filename, nullptr, nullptr,
                 nullptr, nullptr, nullptr);
}

namespace {

// One maps line: "start-end flags offset major:minor inode   name", with
// white space as the kernel writes it (any amount is accepted). flags gets
// up to four characters and a NUL; *name points at the text after the inode
// and its white space (empty for an anonymous mapping).
bool ParseMapsLine(const char* line, uint64* start, uint64* end, char* flags,
                   uint64* offset, uint64* dev_major, uint64* dev_minor,
                   int64* inode, const char** name) {
  const char* p = line;
  if (!ParseHex(&p, start) || *p++ != '-' || !ParseHex(&p, end)) return false;
  p = SkipSpace(p);
  int n = 0;
  while (n < 4 && *p != '\0' && !IsSpace(*p)) flags[n++] = *p++;
  flags[n] = '\0';
  if (n == 0) return false;
  if (!ParseHex(&p, offset) || !ParseHex(&p, dev_major) || *p++ != ':' ||
      !ParseHex(&p, dev_minor) || !ParseDecimalInt(&p, inode)) {
    return false;
  }
  if (*dev_major > 0xffffffffu || *dev_minor > 0xffffffffu) return false;
  *name = SkipSpace(p);
  return true;
}

// The maps_backing suffix after its "(": "F <hex> <dec>) (A <hex> <dec>)".
bool ParseBackingSuffix(const char* p, uint64* file_mapping, int64* file_pages,
                        uint64* anon_mapping, int64* anon_pages) {
  if (*p++ != 'F' || !ParseHex(&p, file_mapping) ||
      !ParseDecimalInt(&p, file_pages) || *p++ != ')') {
    return false;
  }
  p = SkipSpace(p);
  return *p++ == '(' && *p++ == 'A' && ParseHex(&p, anon_mapping) &&
         ParseDecimalInt(&p, anon_pages) && *p == ')';
}

}  // namespace

bool ProcMapsIterator::NextExt(uint64* start, uint64* end, char** flags,
                               uint64* offset, int64* inode, char** filename,
                               uint64* file_mapping, int64* file_pages,
                               uint64* anon_mapping, int64* anon_pages,
                               dev_t* dev) {
  do {
    // Advance to the next line; when the buffer holds no whole line, move
    // the partial one to the front and fill the rest from the file.
    stext_ = nextline_;
    nextline_ = static_cast<char*>(memchr(stext_, '\n', etext_ - stext_));
    if (nextline_ == nullptr) {
      const size_t count = etext_ - stext_;
      memmove(ibuf_, stext_, count);
      stext_ = ibuf_;
      etext_ = ibuf_ + count;
      ssize_t nread = 0;
      while (etext_ < ebuf_) {
        nread = read(fd_, etext_, ebuf_ - etext_);
        if (nread > 0) {
          etext_ += nread;
        } else if (nread < 0 && errno == EINTR) {
          continue;
        } else {
          break;
        }
      }
      if (etext_ != ebuf_ && nread == 0) memset(etext_, 0, ebuf_ - etext_);
      // A sentinel newline (ebuf_ leaves room for it) ends the last line.
      *etext_ = '\n';
      nextline_ = static_cast<char*>(memchr(stext_, '\n', etext_ + 1 - stext_));
    }
    *nextline_ = '\0';
    if (nextline_ < etext_) ++nextline_;

    uint64 tmp_start, tmp_end, tmp_offset, dev_major, dev_minor;
    int64 tmp_inode;
    const char* name;
    if (ParseMapsLine(stext_, &tmp_start, &tmp_end, flags_, &tmp_offset,
                      &dev_major, &dev_minor, &tmp_inode, &name)) {
      char* name_text = stext_ + (name - stext_);
      if (start) *start = tmp_start;
      if (end) *end = tmp_end;
      if (flags) *flags = flags_;
      if (offset) *offset = tmp_offset;
      if (inode) *inode = tmp_inode;
      if (dev) {
        *dev = makedev(static_cast<unsigned>(dev_major),
                       static_cast<unsigned>(dev_minor));
      }
      if (using_maps_backing_) {
        // The suffix starts at the second '(' from the end of the line.
        char* p = name_text + strlen(name_text);
        int parens = 0;
        while (p > stext_) {
          --p;
          if (*p == '(' && ++parens == 2) break;
        }
        if (parens == 2) {
          uint64 fm, am;
          int64 fp, ap;
          if (ParseBackingSuffix(p + 1, &fm, &fp, &am, &ap)) {
            if (file_mapping) *file_mapping = fm;
            if (file_pages) *file_pages = fp;
            if (anon_mapping) *anon_mapping = am;
            if (anon_pages) *anon_pages = ap;
          }
          // The name ends at the blank before the suffix; a suffix with no
          // name in front leaves the name empty.
          if (p > name_text) {
            p[-1] = '\0';
          } else if (p == name_text) {
            *p = '\0';
          }
        }
      }
      if (filename) *filename = name_text;
      return true;
    }
  } while (etext_ > ibuf_);
  return false;
}

int ProcMapsIterator::FormatLine(char* buffer, int size, uint64 start,
                                 uint64 end, const char* flags, uint64 offset,
                                 int64 inode, const char* filename, dev_t dev) {
  if (buffer == nullptr || size <= 0) return 0;
  const size_t n = flags != nullptr ? strnlen(flags, 4) : 0;
  const char r = n > 0 && flags[0] == 'r' ? 'r' : '-';
  const char w = n > 1 && flags[1] == 'w' ? 'w' : '-';
  const char x = n > 2 && flags[2] == 'x' ? 'x' : '-';
  // Private mappings show 'p'; anything else in the fourth place shows '-'.
  const char p = n > 3 && flags[3] != 'p' ? '-' : 'p';
  const int rc = snprintf(
      buffer, size, "%08llx-%08llx %c%c%c%c %08llx %02x:%02x %-11lld %s\n",
      static_cast<unsigned long long>(start),
      static_cast<unsigned long long>(end), r, w, x, p,
      static_cast<unsigned long long>(offset), major(dev), minor(dev),
      static_cast<long long>(inode), filename != nullptr ? filename : "");
  if (rc < 0 || rc >= size) return 0;
  return rc;
}
