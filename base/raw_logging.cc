#include "base/raw_logging.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace base_raw_logging {
namespace {

constexpr int kLogBufSize = 3000;
const char kTruncated[] = " ... (message truncated)\n";

// The broken-down time of the last regular record, shown by raw records
// (which may not call the time functions themselves). All zero until a
// regular record sets it.
struct tm last_tm;
int last_usecs;

// Appends formatted text at *buf, advancing it and shrinking *size; false
// when the text does not fit.
bool VADoRawLog(char **buf, int *size, const char *format, va_list ap) {
  int n = vsnprintf(*buf, *size, format, ap);
  if (n < 0 || n >= *size) return false;
  *size -= n;
  *buf += n;
  return true;
}

bool DoRawLog(char **buf, int *size, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  bool ok = VADoRawLog(buf, size, format, ap);
  va_end(ap);
  return ok;
}

}  // namespace

void SafeWriteToStderr(const char *s, size_t len) {
  while (len > 0) {
    long n = syscall(SYS_write, STDERR_FILENO, s, len);
    if (n <= 0) return;
    s += n;
    len -= static_cast<size_t>(n);
  }
}

void RawLog(int severity, const char *file, int line, const char *format, ...) {
  if (severity < 0 || severity > base_logging::FATAL) {
    severity = base_logging::ERROR;
  }
  char buffer[kLogBufSize];
  char *buf = buffer;
  int size = sizeof buffer;
  DoRawLog(&buf, &size, "%c%02d%02d %02d:%02d:%02d.%06d %7u %s:%d] RAW: ",
           base_logging::kSeverityLetter[severity], last_tm.tm_mon + 1,
           last_tm.tm_mday, last_tm.tm_hour, last_tm.tm_min, last_tm.tm_sec,
           last_usecs, static_cast<unsigned>(syscall(SYS_gettid)),
           base_logging::BaseName(file), line);
  va_list ap;
  va_start(ap, format);
  bool fits = VADoRawLog(&buf, &size, format, ap);
  va_end(ap);
  if (!fits) {
    // Keep what leaves room for the note; vsnprintf wrote as much as fit.
    constexpr int kNote = sizeof kTruncated;  // with its NUL
    int keep = size > kNote ? size - kNote : 0;
    buf += keep;
    size -= keep;
    memcpy(buf, kTruncated, kNote);
  } else {
    DoRawLog(&buf, &size, "\n");
  }
  SafeWriteToStderr(buffer, strlen(buffer));
  if (severity == base_logging::FATAL) abort();
}

}  // namespace base_raw_logging

void RawLog__SetLastTime(const struct tm &t, int usecs) {
  base_raw_logging::last_tm = t;
  base_raw_logging::last_usecs = usecs;
}
