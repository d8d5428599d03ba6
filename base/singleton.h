// Singleton<T>::get() returns the one T of the process, built on first use
// (thread-safe, through once-initialization) and never destroyed, so it can
// be used from any thread at any time, also during exit.
#ifndef BASE_SINGLETON_H_
#define BASE_SINGLETON_H_

#include "base/once.h"

template <typename T>
class Singleton {
 public:
  static T* get() {
    TavroOnceInit(&once_, &Singleton<T>::Init);
    return instance_;
  }

 private:
  static void Init() { instance_ = CreateInstance(); }
  static T* CreateInstance() { return new T; }

  static TavroOnceType once_;
  static T* instance_;
};

template <typename T>
TavroOnceType Singleton<T>::once_{TAVRO_ONCE_INIT};
template <typename T>
T* Singleton<T>::instance_ = nullptr;

#endif  // BASE_SINGLETON_H_
