// The process's Adler-32 routine, chosen once at start-up for the processor
// it runs on:
//
//   uint32 sum = FastAdler32Func(1, data, length);       // a new checksum
//   sum = FastAdler32Func(sum, more, more_length);       // continued
//
// Until FastAdler32Init has run, FastAdler32Func holds zlib's adler32 (fed
// in pieces, so any size_t length works); afterwards it holds adler32_sse2
// when the processor has SSE2 and CPU_FEATURE_MASK does not hide it (see
// base/cpu_features.h). Both give the same checksums. A null data pointer
// gives 1 with either.
#ifndef UTIL_HASH_ADLER32_INIT_H_
#define UTIL_HASH_ADLER32_INIT_H_

#include <cstddef>

#include "base/integral_types.h"

extern "C" {

// Continues the checksum `adler` over data[0, length).
typedef uint32 (*Adler32Function)(uint32 adler, const uint8* data,
                                  size_t length);

// The selected routine. Written only by FastAdler32Init, during start-up
// and before any caller reads it; read-only afterwards.
extern Adler32Function FastAdler32Func;

}  // extern "C"

// Stores the fastest routine the processor supports into FastAdler32Func.
// Run by the "adler32" module initializer; safe to call again (it stores the
// same value).
void FastAdler32Init();

#endif  // UTIL_HASH_ADLER32_INIT_H_
