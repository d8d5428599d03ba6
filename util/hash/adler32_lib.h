// Adler-32 (modulus 65521): the SSE2 routine, and closed-form arithmetic on
// checksums.
//
// A checksum is an unsigned 32-bit value whose low 16 bits hold
// A = 1 + the sum of all bytes and whose high 16 bits hold B = the sum of
// the successive values of A, both modulo 65521. The checksum of empty data
// is 1. Every routine takes a running checksum and continues it, so data
// can be checksummed piece by piece.
//
// Most callers want FastAdler32Func (util/hash/adler32_init.h), which holds
// the best routine for the processor.
#ifndef UTIL_HASH_ADLER32_LIB_H_
#define UTIL_HASH_ADLER32_LIB_H_

#include <cstddef>

#include "base/integral_types.h"

extern "C" {

// Continues `adler` over data[0, length) with SSE2 vector instructions for
// inputs of 64 bytes or more and scalar code below that. Any length and
// alignment. A null `data` gives 1, the checksum of nothing, whatever the
// length. Needs SSE2: select it through FastAdler32Func.
uint32 adler32_sse2(uint32 adler, const uint8* data, size_t length);

// Stores the smallest (0) and largest (0xFFF0FFF0: 65520 in both halves)
// values a checksum can take.
void adler32_range(uint64* min, uint64* max);

}  // extern "C"

// The checksum `adler` continued over `count` copies of `byte`, in constant
// time.
uint32 Adler32Bytes(uint32 adler, uint8 byte, size_t count);

// The checksum of the concatenation of two pieces, given the checksum of
// the first (continued from whatever value it started at), the checksum of
// the second started from 1, and the second's length. Both checksums must
// have halves below 65521; anything else is a fatal check failure.
uint32 CombineAdlerChecksums(uint32 first, uint32 second, int64 second_length);

#endif  // UTIL_HASH_ADLER32_LIB_H_
