#include "base/dynamic_annotations.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

// -1 until first asked; then 0 or 1. Racing first callers compute the same
// value, so a plain store suffices.
std::atomic<int> running_on_valgrind{-1};

int GetRunningOnValgrind() {
  const char* env = getenv("RUNNING_ON_VALGRIND");
  return env != nullptr && strcmp(env, "0") != 0 ? 1 : 0;
}

}  // namespace

extern "C" int RunningOnValgrind(void) {
  int value = running_on_valgrind.load(std::memory_order_relaxed);
  if (value < 0) {
    value = GetRunningOnValgrind();
    running_on_valgrind.store(value, std::memory_order_relaxed);
  }
  return value;
}
