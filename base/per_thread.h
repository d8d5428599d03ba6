// PerThread: a small table of per-thread pointer slots with destructors run
// at thread exit. A module allocates a key once and then reaches the calling
// thread's slot through it:
//
//   static int key;            // 0: not allocated
//   PerThread::Allocate(&key, &FreeMyState);
//   void** slot = PerThread::Data(key);
//
// There are 64 slots per thread; slot 0 is never handed out (it marks the
// thread's array as registered for clean-up), so 63 keys can exist.
#ifndef BASE_PER_THREAD_H_
#define BASE_PER_THREAD_H_

class PerThread {
 public:
  static constexpr int kPerThreadSlots = 64;
  static constexpr int kInvalid = 0;

  // Gives *key the next free slot, whose non-null values are passed to
  // `destructor` when a thread exits. Does nothing when *key is non-zero.
  static void Allocate(int *key, void (*destructor)(void *));
  // The calling thread's slot for key, registering the thread's array for
  // clean-up on first use.
  static void **Data(int key);
  // The value of the calling thread's slot, without registering.
  static void *GetData(int key);

 private:
  static void KeyDest(void *array);
  friend struct PerThreadKeyInit;
};

#endif  // BASE_PER_THREAD_H_
