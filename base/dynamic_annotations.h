// Questions about the tools the process may be running under.
#ifndef BASE_DYNAMIC_ANNOTATIONS_H_
#define BASE_DYNAMIC_ANNOTATIONS_H_

// Nonzero when the environment variable RUNNING_ON_VALGRIND is set to
// anything other than "0". Read once; later calls return the same answer.
extern "C" int RunningOnValgrind(void);

#endif  // BASE_DYNAMIC_ANNOTATIONS_H_
