// Log records and checks.
//
// LOG(severity) << ... writes one line to standard error; a FATAL record and
// every failed CHECK write "Check failed: <condition> " (comparison checks
// add "(a vs. b)") and abort the process. This is the minimal front end: log
// files, sinks, verbose levels and the crash report are added behind the same
// macros, so callers never change.
#ifndef BASE_LOGGING_H_
#define BASE_LOGGING_H_

#include <sstream>
#include <string>

#include "base/port.h"

namespace base_logging {

enum LogSeverity { INFO = 0, WARNING = 1, ERROR = 2, FATAL = 3 };
constexpr int NUM_SEVERITIES = 4;

// The letter that starts a record of each severity ("IWEF").
extern const char kSeverityLetter[NUM_SEVERITIES + 1];

// The file name without its directories, as records show it.
const char* BaseName(const char* path);

// One log record. The text is gathered with operator<< and written, with the
// line prefix, when the record is destroyed.
class LogMessage {
 public:
  LogMessage(const char* file, int line, int severity);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& stream() { return stream_; }

 protected:
  // Writes the record to standard error; a FATAL record then aborts.
  void Flush();

 private:
  const char* file_;
  int line_;
  int severity_;
  bool flushed_ = false;
  std::ostringstream stream_;
};

// Holds the message of a failed comparison check; never freed, since the
// process is about to end.
struct CheckOpString {
  explicit CheckOpString(std::string* str) : str_(str) {}
  explicit operator bool() const { return PREDICT_FALSE(str_ != nullptr); }
  std::string* str_;
};

// A FATAL record; its destructor never returns.
class LogMessageFatal : public LogMessage {
 public:
  LogMessageFatal(const char* file, int line);
  LogMessageFatal(const char* file, int line, const CheckOpString& result);
  [[noreturn]] ~LogMessageFatal();
};

// Turns any stream expression into void, so that the check macros can sit
// on either side of a conditional operator.
struct LogMessageVoidify {
  void operator&(std::ostream&) {}
};

}  // namespace base_logging

namespace base {

// Builds "<expr> (<v1> vs. <v2>)" for a failed comparison check.
class CheckOpMessageBuilder {
 public:
  explicit CheckOpMessageBuilder(const char* exprtext);
  ~CheckOpMessageBuilder();
  std::ostream* ForVar1() { return stream_; }
  std::ostream* ForVar2();
  std::string* NewString();

 private:
  std::ostringstream* stream_;
};

template <typename T1, typename T2>
std::string* MakeCheckOpString(const T1& v1, const T2& v2,
                               const char* exprtext) {
  CheckOpMessageBuilder builder(exprtext);
  *builder.ForVar1() << v1;
  *builder.ForVar2() << v2;
  return builder.NewString();
}

// Characters are printed as numbers: a check on bytes should show values.
inline std::string* MakeCheckOpString(const char& v1, const char& v2,
                                      const char* exprtext) {
  return MakeCheckOpString(static_cast<int>(v1), static_cast<int>(v2),
                           exprtext);
}

#define TAVRO_DEFINE_CHECK_OP_IMPL(name, op)                                 \
  template <typename T1, typename T2>                                        \
  inline std::string* name##Impl(const T1& v1, const T2& v2,                 \
                                 const char* exprtext) {                     \
    if (PREDICT_TRUE(v1 op v2)) return nullptr;                              \
    return MakeCheckOpString(v1, v2, exprtext);                              \
  }                                                                          \
  inline std::string* name##Impl(int v1, int v2, const char* exprtext) {     \
    return name##Impl<int, int>(v1, v2, exprtext);                           \
  }

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#elif defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wsign-compare"
#endif
TAVRO_DEFINE_CHECK_OP_IMPL(Check_EQ, ==)
TAVRO_DEFINE_CHECK_OP_IMPL(Check_NE, !=)
TAVRO_DEFINE_CHECK_OP_IMPL(Check_LE, <=)
TAVRO_DEFINE_CHECK_OP_IMPL(Check_LT, <)
TAVRO_DEFINE_CHECK_OP_IMPL(Check_GE, >=)
TAVRO_DEFINE_CHECK_OP_IMPL(Check_GT, >)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(__clang__)
#pragma clang diagnostic pop
#endif
#undef TAVRO_DEFINE_CHECK_OP_IMPL

}  // namespace base

#define LOG_INFO base_logging::LogMessage(__FILE__, __LINE__, base_logging::INFO)
#define LOG_WARNING \
  base_logging::LogMessage(__FILE__, __LINE__, base_logging::WARNING)
#define LOG_ERROR \
  base_logging::LogMessage(__FILE__, __LINE__, base_logging::ERROR)
#define LOG_FATAL base_logging::LogMessageFatal(__FILE__, __LINE__)
#define LOG(severity) LOG_##severity.stream()

#define CHECK(condition)                                                    \
  PREDICT_TRUE(condition)                                                   \
  ? (void)0                                                                 \
  : base_logging::LogMessageVoidify() &                                     \
        base_logging::LogMessageFatal(__FILE__, __LINE__).stream()          \
            << "Check failed: " #condition " "

#define TAVRO_CHECK_OP(name, op, val1, val2)                                \
  while (base_logging::CheckOpString _result{                               \
      base::Check_##name##Impl((val1), (val2), #val1 " " #op " " #val2)})   \
  base_logging::LogMessageFatal(__FILE__, __LINE__, _result).stream()

#define CHECK_EQ(val1, val2) TAVRO_CHECK_OP(EQ, ==, val1, val2)
#define CHECK_NE(val1, val2) TAVRO_CHECK_OP(NE, !=, val1, val2)
#define CHECK_LE(val1, val2) TAVRO_CHECK_OP(LE, <=, val1, val2)
#define CHECK_LT(val1, val2) TAVRO_CHECK_OP(LT, <, val1, val2)
#define CHECK_GE(val1, val2) TAVRO_CHECK_OP(GE, >=, val1, val2)
#define CHECK_GT(val1, val2) TAVRO_CHECK_OP(GT, >, val1, val2)

// Debug-only checks: compiled (so they stay valid code) but never evaluated
// in optimized builds.
#ifdef NDEBUG
#define DCHECK(condition) \
  while (false) CHECK(condition)
#define DCHECK_EQ(a, b) \
  while (false) CHECK_EQ(a, b)
#define DCHECK_NE(a, b) \
  while (false) CHECK_NE(a, b)
#define DCHECK_LE(a, b) \
  while (false) CHECK_LE(a, b)
#define DCHECK_LT(a, b) \
  while (false) CHECK_LT(a, b)
#define DCHECK_GE(a, b) \
  while (false) CHECK_GE(a, b)
#define DCHECK_GT(a, b) \
  while (false) CHECK_GT(a, b)
#else
#define DCHECK(condition) CHECK(condition)
#define DCHECK_EQ(a, b) CHECK_EQ(a, b)
#define DCHECK_NE(a, b) CHECK_NE(a, b)
#define DCHECK_LE(a, b) CHECK_LE(a, b)
#define DCHECK_LT(a, b) CHECK_LT(a, b)
#define DCHECK_GE(a, b) CHECK_GE(a, b)
#define DCHECK_GT(a, b) CHECK_GT(a, b)
#endif

#endif  // BASE_LOGGING_H_
