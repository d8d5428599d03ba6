// Raw log records: one line written to standard error with a single write,
// without locks and without allocating, so they may be used inside lock slow
// paths, allocation hooks and signal handlers. A FATAL raw record, and a
// failed RAW_CHECK, end the process.
//
//   RAW_LOG(WARNING, "mmap failed: %d", errno);
//   RAW_CHECK(fd >= 0, "cannot open maps file");
//   RAW_LOG_AT(FATAL, "base/once", 52, "...");   // fixed file and line
//
// The line reads "W1211 10:31:02.000000    4242 file.cc:12] RAW: text".
#ifndef BASE_RAW_LOGGING_H_
#define BASE_RAW_LOGGING_H_

#include <cstddef>

#include "base/logging.h"

namespace base_raw_logging {

// Formats and writes one raw record; at FATAL it then aborts the process.
void RawLog(int severity, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The write system call on descriptor 2, issued directly.
void SafeWriteToStderr(const char *s, size_t len);

}  // namespace base_raw_logging

struct tm;
// Remembers the time of the last regular record, which raw records show
// (they cannot read the clock safely themselves).
void RawLog__SetLastTime(const struct tm &t, int usecs);

#define RAW_LOG_AT(severity, file, line, ...) \
  ::base_raw_logging::RawLog(::base_logging::severity, file, line, __VA_ARGS__)
#define RAW_LOG(severity, ...) \
  RAW_LOG_AT(severity, __FILE__, __LINE__, __VA_ARGS__)

// Raw check with an explicit source position, as some messages carry fixed
// positions: writes "Check <condition> failed: <message>" and aborts.
#define RAW_CHECK_AT(condition, file, line, message)                   \
  do {                                                                 \
    if (PREDICT_FALSE(!(condition))) {                                 \
      RAW_LOG_AT(FATAL, file, line, "Check %s failed: %s", #condition, \
                 message);                                             \
    }                                                                  \
  } while (0)
#define RAW_CHECK(condition, message) \
  RAW_CHECK_AT(condition, __FILE__, __LINE__, message)

// A raw INFO record written only when verbose logging is on at `level` for
// the calling module. Verbose levels are not configurable yet: these records
// are off.
namespace base_raw_logging {
inline bool RawVLogIsOn(int level) { return level <= 0; }
}  // namespace base_raw_logging
#define RAW_VLOG(level, ...)                      \
  do {                                            \
    if (::base_raw_logging::RawVLogIsOn(level)) { \
      RAW_LOG(INFO, __VA_ARGS__);                 \
    }                                             \
  } while (0)

#ifndef NDEBUG
#define RAW_DCHECK(condition, message) RAW_CHECK(condition, message)
#else
#define RAW_DCHECK(condition, message) \
  while (false) RAW_CHECK(condition, message)
#endif

#endif  // BASE_RAW_LOGGING_H_
