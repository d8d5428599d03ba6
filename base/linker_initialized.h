// base::LinkerInitialized tags a constructor that writes nothing: the object
// lives in static storage, where all-zero bytes already are its initial
// state, so it works even when used before its constructor has run (during
// other modules' static initialization).
#ifndef BASE_LINKER_INITIALIZED_H_
#define BASE_LINKER_INITIALIZED_H_

namespace base {
enum LinkerInitialized { LINKER_INITIALIZED };
}  // namespace base

#endif  // BASE_LINKER_INITIALIZED_H_
