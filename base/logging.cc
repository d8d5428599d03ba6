#include "base/logging.h"

#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/raw_logging.h"

namespace base_logging {

const char kSeverityLetter[NUM_SEVERITIES + 1] = "IWEF";

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

LogMessage::LogMessage(const char* file, int line, int severity)
    : file_(file), line_(line), severity_(severity) {}

LogMessage::~LogMessage() { Flush(); }

void LogMessage::Flush() {
  if (flushed_) return;
  flushed_ = true;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  char prefix[128];
  int severity = severity_ < 0 || severity_ >= NUM_SEVERITIES ? ERROR
                                                              : severity_;
  snprintf(prefix, sizeof prefix, "%c%02d%02d %02d:%02d:%02d.%06d %7u %s:%d] ",
           kSeverityLetter[severity], tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec),
           static_cast<unsigned>(syscall(SYS_gettid)), BaseName(file_), line_);
  std::string line = prefix;
  line += stream_.str();
  if (line.empty() || line.back() != '\n') line += '\n';
  base_raw_logging::SafeWriteToStderr(line.data(), line.size());
  if (severity_ == FATAL) abort();
}

LogMessageFatal::LogMessageFatal(const char* file, int line)
    : LogMessage(file, line, FATAL) {}

LogMessageFatal::LogMessageFatal(const char* file, int line,
                                 const CheckOpString& result)
    : LogMessage(file, line, FATAL) {
  stream() << "Check failed: " << *result.str_ << " ";
}

LogMessageFatal::~LogMessageFatal() {
  Flush();
  abort();  // Flush already aborted; this tells the compiler so.
}

}  // namespace base_logging

namespace base {

CheckOpMessageBuilder::CheckOpMessageBuilder(const char* exprtext)
    : stream_(new std::ostringstream) {
  *stream_ << exprtext << " (";
}

CheckOpMessageBuilder::~CheckOpMessageBuilder() { delete stream_; }

std::ostream* CheckOpMessageBuilder::ForVar2() {
  *stream_ << " vs. ";
  return stream_;
}

std::string* CheckOpMessageBuilder::NewString() {
  *stream_ << ")";
  return new std::string(stream_->str());
}

}  // namespace base
