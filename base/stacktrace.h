// Stack traces of the calling thread: the return addresses of the active
// frames, found by following the saved frame pointers (every frame of the
// runtime keeps one). Nothing here allocates or locks, so it may run inside
// allocation hooks and signal handlers.
#ifndef BASE_STACKTRACE_H_
#define BASE_STACKTRACE_H_

// Stores up to max_depth return addresses in result and returns how many.
// With skip_count 0 the first is the return address into the function that
// called GetStackTrace; each unit of skip_count drops one more frame. The
// walk stops where the saved frame pointer becomes 0 or implausible (not
// above the previous one, too far from it, or misaligned).
int GetStackTrace(void **result, int max_depth, int skip_count);

#endif  // BASE_STACKTRACE_H_
