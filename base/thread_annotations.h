// Annotations that tell the tools about locks:
// - clang's thread-safety analysis (-Wthread-safety) reads the attributes
//   LOCKABLE, EXCLUSIVE_LOCK_FUNCTION, GUARDED_BY, ...;
// - ThreadSanitizer, when the build uses it, learns of each acquire and
//   release through the TAVRO_TSAN_MUTEX_* calls, so that it reports races
//   and lock-order problems in terms of the runtime's own locks.
// Outside those tools all of these compile to nothing.
#ifndef BASE_THREAD_ANNOTATIONS_H_
#define BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TAVRO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TAVRO_THREAD_ANNOTATION(x)
#endif

#define LOCKABLE TAVRO_THREAD_ANNOTATION(lockable)
#define SCOPED_LOCKABLE TAVRO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TAVRO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TAVRO_THREAD_ANNOTATION(pt_guarded_by(x))
#define EXCLUSIVE_LOCKS_REQUIRED(...) \
  TAVRO_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define SHARED_LOCKS_REQUIRED(...) \
  TAVRO_THREAD_ANNOTATION(shared_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) TAVRO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define EXCLUSIVE_LOCK_FUNCTION(...) \
  TAVRO_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#define SHARED_LOCK_FUNCTION(...) \
  TAVRO_THREAD_ANNOTATION(shared_lock_function(__VA_ARGS__))
#define EXCLUSIVE_TRYLOCK_FUNCTION(...) \
  TAVRO_THREAD_ANNOTATION(exclusive_trylock_function(__VA_ARGS__))
#define SHARED_TRYLOCK_FUNCTION(...) \
  TAVRO_THREAD_ANNOTATION(shared_trylock_function(__VA_ARGS__))
#define UNLOCK_FUNCTION(...) TAVRO_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS \
  TAVRO_THREAD_ANNOTATION(no_thread_safety_analysis)

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVRO_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TAVRO_TSAN 1
#endif

#ifdef TAVRO_TSAN
#include <sanitizer/tsan_interface.h>
// A lock word that is usable while still all zero; no create call needed.
#define TAVRO_TSAN_MUTEX_LOCKED(m)                                \
  do {                                                            \
    __tsan_mutex_pre_lock((m), __tsan_mutex_linker_init);         \
    __tsan_mutex_post_lock((m), __tsan_mutex_linker_init, 0);     \
  } while (0)
#define TAVRO_TSAN_MUTEX_READER_LOCKED(m)                              \
  do {                                                                 \
    __tsan_mutex_pre_lock((m), __tsan_mutex_linker_init |              \
                                   __tsan_mutex_read_lock);            \
    __tsan_mutex_post_lock((m), __tsan_mutex_linker_init |             \
                                    __tsan_mutex_read_lock, 0);        \
  } while (0)
#define TAVRO_TSAN_MUTEX_UNLOCKING(m)    \
  do {                                   \
    __tsan_mutex_pre_unlock((m), 0);     \
    __tsan_mutex_post_unlock((m), 0);    \
  } while (0)
#define TAVRO_TSAN_MUTEX_READER_UNLOCKING(m)                   \
  do {                                                         \
    __tsan_mutex_pre_unlock((m), __tsan_mutex_read_lock);      \
    __tsan_mutex_post_unlock((m), __tsan_mutex_read_lock);     \
  } while (0)
#else
#define TAVRO_TSAN_MUTEX_LOCKED(m) ((void)0)
#define TAVRO_TSAN_MUTEX_READER_LOCKED(m) ((void)0)
#define TAVRO_TSAN_MUTEX_UNLOCKING(m) ((void)0)
#define TAVRO_TSAN_MUTEX_READER_UNLOCKING(m) ((void)0)
#endif

#endif  // BASE_THREAD_ANNOTATIONS_H_
