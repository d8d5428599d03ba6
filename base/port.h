// Byte order, unaligned memory access and bit scans: the one place where the
// runtime touches memory at sizes and alignments the language does not promise.
// Everything here compiles to single instructions on x86-64.
#ifndef BASE_PORT_H_
#define BASE_PORT_H_

#include <cstddef>
#include <cstring>

#include "base/integral_types.h"

#if defined(__GNUC__)
#define PREDICT_TRUE(x) (__builtin_expect(!!(x), 1))
#define PREDICT_FALSE(x) (__builtin_expect(!!(x), 0))
#define ATTRIBUTE_ALWAYS_INLINE __attribute__((always_inline))
#define ATTRIBUTE_NOINLINE __attribute__((noinline))
#else
#define PREDICT_TRUE(x) (x)
#define PREDICT_FALSE(x) (x)
#define ATTRIBUTE_ALWAYS_INLINE
#define ATTRIBUTE_NOINLINE
#endif

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "this runtime is written for little-endian machines"
#endif

// Unaligned loads and stores. memcpy of a constant size is the portable
// spelling of a plain mov; it also keeps the sanitizers and the optimizer
// honest about aliasing.
inline uint16 UNALIGNED_LOAD16(const void* p) {
  uint16 v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline uint32 UNALIGNED_LOAD32(const void* p) {
  uint32 v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline uint64 UNALIGNED_LOAD64(const void* p) {
  uint64 v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline void UNALIGNED_STORE16(void* p, uint16 v) { memcpy(p, &v, sizeof v); }
inline void UNALIGNED_STORE32(void* p, uint32 v) { memcpy(p, &v, sizeof v); }
inline void UNALIGNED_STORE64(void* p, uint64 v) { memcpy(p, &v, sizeof v); }

// Copies 8 bytes; source and destination may overlap only as a memmove of
// one word would allow (the load completes before the store).
inline void UnalignedCopy64(const void* src, void* dst) {
  UNALIGNED_STORE64(dst, UNALIGNED_LOAD64(src));
}

// Copies 16 bytes (one vector move on x86-64), with the same overlap rule.
inline void UnalignedCopy128(const void* src, void* dst) {
  char tmp[16];
  memcpy(tmp, src, 16);
  memcpy(dst, tmp, 16);
}

// Little-endian loads: on this machine the same as the native ones, named so
// that format code says which byte order it relies on.
inline uint32 LittleEndianLoad32(const void* p) { return UNALIGNED_LOAD32(p); }
inline uint64 LittleEndianLoad64(const void* p) { return UNALIGNED_LOAD64(p); }
inline void LittleEndianStore16(void* p, uint16 v) { UNALIGNED_STORE16(p, v); }
inline void LittleEndianStore32(void* p, uint32 v) { UNALIGNED_STORE32(p, v); }
inline void LittleEndianStore64(void* p, uint64 v) { UNALIGNED_STORE64(p, v); }

// Big-endian 32-bit values, for formats that put the most significant byte
// first.
inline uint32 BigEndianLoad32(const void* p) {
  return __builtin_bswap32(UNALIGNED_LOAD32(p));
}
inline void BigEndianStore32(void* p, uint32 v) {
  UNALIGNED_STORE32(p, __builtin_bswap32(v));
}

namespace bits {

// Index of the lowest set bit; n must not be zero.
inline int FindLSBSetNonZero64(uint64 n) { return __builtin_ctzll(n); }
inline int FindLSBSetNonZero(uint32 n) { return __builtin_ctz(n); }

// Floor of log2(n); n must not be zero.
inline int Log2FloorNonZero(uint32 n) { return 31 - __builtin_clz(n); }

}  // namespace bits

#endif  // BASE_PORT_H_
