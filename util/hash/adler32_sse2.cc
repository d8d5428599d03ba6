// Adler-32 with SSE2. This file is compiled for SSE2 and nothing wider, so
// that the CPUID test that selects it covers every instruction in it.
//
// Inputs of 64 bytes or more are summed 16 bytes (a chunk) at a time in
// vector lanes. For a run of N bytes starting with sums A0 and B0, byte i
// (from 0) contributes b[i] to A and (N - i) * b[i] to B:
//
//   A = A0 + sum b[i]
//   B = B0 + N * A0 + sum (N - i) * b[i]
//
// With i = 16c + k (chunk c, position k in it), N - i = 16 * (chunks after
// c) + (16 - k). So the weighted sum is 16 times the sum, over chunks, of
// the bytes seen before that chunk (a running total added up once per
// chunk), plus the sum of (16 - k) * b over every chunk, for which 16-bit
// per-position column totals suffice: they are multiplied by the weights
// 16..1 and emptied every 8 chunks, before they can overflow.
//
// Long inputs go through in 128-byte blocks, in groups of 43 blocks whose
// sums stay in 32-bit lanes and are reduced modulo 65521 only at the end of
// the group. The whole chunks after the last block go through the same
// vector code, the last few bytes singly, and the result is reduced once.
#include <emmintrin.h>

#include <cstdint>

#include "base/port.h"
#include "util/hash/adler32_lib.h"

#if defined(__SSE3__) || defined(__AVX__)
#error "adler32_sse2.cc must be compiled for SSE2 only"
#endif

namespace {

constexpr uint32 kBase = 65521;
constexpr size_t kChunkSize = 16;
constexpr size_t kBlockSize = 128;
constexpr size_t kChunksPerBlock = kBlockSize / kChunkSize;
// Even with every byte 255 and A0 and B0 a little above 2^16 (as after the
// alignment bytes), B after 43 * 128 = 5504 bytes is below 2^32, so no
// 32-bit lane, each holding a part of it, can overflow within a group.
constexpr size_t kBlocksPerGroup = 43;
// Inputs at least this long are prefetched this far ahead of the block
// being summed; shorter ones at the block itself.
constexpr size_t kPrefetchMinLength = 32768;
constexpr size_t kPrefetchDistance = 1024;
// Below this the vector code does not pay for its setup.
constexpr size_t kMinVectorLength = 64;
// Above this there is always a whole block left after aligning to 8 bytes.
constexpr size_t kMinBlocksLength = kBlockSize + 7;

// Fetches the cache line at p + ahead; the address may lie past the end of
// the input (a prefetch never faults), so it is formed as an integer.
inline void Prefetch(const uint8* p, size_t ahead) {
  _mm_prefetch(
      reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(p) + ahead),
      _MM_HINT_T0);
}

inline uint64 SumLanes32(__m128i v) {
  alignas(16) uint32 lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
  return uint64{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

// Vector sums over a run of whole chunks, relative to the start of the run.
struct ChunkSums {
  __m128i bytes = _mm_setzero_si128();     // the bytes (lanes 0 and 2)
  __m128i before = _mm_setzero_si128();    // per chunk, `bytes` before it
  __m128i weighted = _mm_setzero_si128();  // (16 - k) * b over the chunks
};

// Adds `chunks` chunks (at most 8) from p to *s.
ATTRIBUTE_ALWAYS_INLINE inline void SumChunks(const uint8* p, size_t chunks,
                                              ChunkSums* s) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low_bytes = _mm_set1_epi16(0x00ff);
  // Weights 16 - k of the even and the odd positions k of a chunk.
  const __m128i even_weights = _mm_setr_epi16(16, 14, 12, 10, 8, 6, 4, 2);
  const __m128i odd_weights = _mm_setr_epi16(15, 13, 11, 9, 7, 5, 3, 1);
  // Column totals of the even and the odd positions: at most 8 * 255.
  __m128i even_columns = zero;
  __m128i odd_columns = zero;
  __m128i bytes = s->bytes;
  __m128i before = s->before;
#pragma GCC unroll 8
  for (size_t c = 0; c < chunks; c++) {
    const __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + c * kChunkSize));
    before = _mm_add_epi32(before, bytes);
    bytes = _mm_add_epi32(bytes, _mm_sad_epu8(v, zero));
    even_columns = _mm_add_epi16(even_columns, _mm_and_si128(v, low_bytes));
    odd_columns = _mm_add_epi16(odd_columns, _mm_srli_epi16(v, 8));
  }
  s->bytes = bytes;
  s->before = before;
  s->weighted = _mm_add_epi32(
      s->weighted, _mm_add_epi32(_mm_madd_epi16(even_columns, even_weights),
                                 _mm_madd_epi16(odd_columns, odd_weights)));
}

// Joins the sums of a run of `length` bytes onto *a and *b (no reduction).
inline void Join(const ChunkSums& s, uint64 length, uint64* a, uint64* b) {
  *b +=
      length * *a + kChunkSize * SumLanes32(s.before) + SumLanes32(s.weighted);
  *a += SumLanes32(s.bytes);
}

// Adds 16 bytes to the running sums, as two chains of 8 that run side by
// side: the second half is summed from zero and joined on after, each of
// its bytes adding A-after-the-first-half to B once more. Written out in
// full, since loop overhead would cost as much as the additions.
inline void Add16(const uint8* p, uint32* a, uint32* b) {
  uint32 sa = *a, sb = *b;
  uint32 sa2 = 0, sb2 = 0;
#pragma GCC unroll 8
  for (int i = 0; i < 8; i++) {
    sa += p[i];
    sb += sa;
    sa2 += p[8 + i];
    sb2 += sa2;
  }
  *b = sb + sb2 + 8 * sa;
  *a = sa + sa2;
}

// length >= kMinVectorLength.
uint32 LongAdler(uint32 a32, uint32 b32, const uint8* p, size_t length) {
  size_t n = length;
  if (length > kMinBlocksLength) {
    while (reinterpret_cast<uintptr_t>(p) & 7) {
      a32 += *p++;
      b32 += a32;
      n--;
    }
    const size_t ahead = length >= kPrefetchMinLength ? kPrefetchDistance : 0;
    size_t blocks = n / kBlockSize;
    while (blocks > 0) {
      const size_t group = blocks < kBlocksPerGroup ? blocks : kBlocksPerGroup;
      ChunkSums sums;
      for (size_t i = 0; i < group; i++) {
        Prefetch(p, ahead);
        Prefetch(p, ahead + 64);
        SumChunks(p, kChunksPerBlock, &sums);
        p += kBlockSize;
      }
      uint64 a = a32, b = b32;
      Join(sums, group * kBlockSize, &a, &b);
      a32 = static_cast<uint32>(a % kBase);
      b32 = static_cast<uint32>(b % kBase);
      n -= group * kBlockSize;
      blocks -= group;
    }
  }

  // The rest: fewer than 136 bytes, so fewer than 9 chunks, and sums far
  // below 2^32 without reduction (A < 2^17, B < 2^24).
  const size_t chunks = n / kChunkSize;
  if (chunks > 0) {
    ChunkSums sums;
    SumChunks(p, chunks, &sums);
    uint64 a = a32, b = b32;
    Join(sums, chunks * kChunkSize, &a, &b);
    a32 = static_cast<uint32>(a);
    b32 = static_cast<uint32>(b);
    p += chunks * kChunkSize;
    n -= chunks * kChunkSize;
  }
  while (n > 0) {
    a32 += *p++;
    b32 += a32;
    n--;
  }
  return (b32 % kBase) << 16 | (a32 % kBase);
}

}  // namespace

uint32 adler32_sse2(uint32 adler, const uint8* data, size_t length) {
  if (PREDICT_FALSE(data == nullptr)) return 1;
  uint32 a = adler & 0xffff;
  uint32 b = adler >> 16;

  if (length == 1) {
    a += data[0];
    if (a >= kBase) a -= kBase;
    b += a;
    if (b >= kBase) b -= kBase;
    return b << 16 | a;
  }
  if (length >= kMinVectorLength) return LongAdler(a, b, data, length);

  // Fewer than 64 bytes: A grows by at most 63 * 255, so one subtraction
  // reduces it.
  while (length >= 16) {
    Add16(data, &a, &b);
    data += 16;
    length -= 16;
  }
  while (length > 0) {
    a += *data++;
    b += a;
    length--;
  }
  if (a >= kBase) a -= kBase;
  return (b % kBase) << 16 | a;
}
