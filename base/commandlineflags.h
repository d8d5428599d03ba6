// Command-line flags.
//
// DEFINE_<type>(name, default, help) defines the global FLAGS_<name> in the
// namespace of its type and makes it visible unqualified; DECLARE_<type>
// makes a flag defined elsewhere usable. For now a flag is a plain global
// that keeps its default unless code assigns it; the registry that looks
// flags up by name and sets them from text hooks in here.
#ifndef BASE_COMMANDLINEFLAGS_H_
#define BASE_COMMANDLINEFLAGS_H_

#include <string>

#include "base/integral_types.h"

#define TAVRO_DEFINE_FLAG(type, shorttype, name, value, help) \
  namespace fL##shorttype {                                   \
  type FLAGS_##name = value;                                  \
  }                                                           \
  using fL##shorttype::FLAGS_##name

#define TAVRO_DECLARE_FLAG(type, shorttype, name) \
  namespace fL##shorttype {                       \
  extern type FLAGS_##name;                       \
  }                                               \
  using fL##shorttype::FLAGS_##name

#define DEFINE_bool(name, value, help) \
  TAVRO_DEFINE_FLAG(bool, B, name, value, help)
#define DEFINE_int32(name, value, help) \
  TAVRO_DEFINE_FLAG(int32, I, name, value, help)
#define DEFINE_int64(name, value, help) \
  TAVRO_DEFINE_FLAG(int64, I64, name, value, help)
#define DEFINE_uint64(name, value, help) \
  TAVRO_DEFINE_FLAG(uint64, U64, name, value, help)
#define DEFINE_double(name, value, help) \
  TAVRO_DEFINE_FLAG(double, D, name, value, help)
#define DEFINE_string(name, value, help) \
  TAVRO_DEFINE_FLAG(std::string, S, name, value, help)

#define DECLARE_bool(name) TAVRO_DECLARE_FLAG(bool, B, name)
#define DECLARE_int32(name) TAVRO_DECLARE_FLAG(int32, I, name)
#define DECLARE_int64(name) TAVRO_DECLARE_FLAG(int64, I64, name)
#define DECLARE_uint64(name) TAVRO_DECLARE_FLAG(uint64, U64, name)
#define DECLARE_double(name) TAVRO_DECLARE_FLAG(double, D, name)
#define DECLARE_string(name) TAVRO_DECLARE_FLAG(std::string, S, name)

#endif  // BASE_COMMANDLINEFLAGS_H_
