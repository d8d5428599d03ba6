#include "util/hash/adler32_init.h"

#include <zlib.h>

#include <algorithm>

#include "base/cpu_features.h"
#include "util/hash/adler32_lib.h"

namespace {

// zlib's adler32 takes a 32-bit length, so longer inputs go through in
// pieces of at most 2^31 bytes, the checksum carried from one to the next.
// A null pointer gives 1, as from adler32_sse2 (zlib would read the byte
// when the length is 1).
uint32 ZlibAdler(uint32 adler, const uint8* data, size_t length) {
  if (data == nullptr) return 1;
  constexpr size_t kMaxPiece = size_t{1} << 31;
  while (length > 0) {
    const size_t piece = std::min(length, kMaxPiece);
    adler = static_cast<uint32>(adler32(adler, data, static_cast<uInt>(piece)));
    data += piece;
    length -= piece;
  }
  return adler;
}

}  // namespace

// Constant-initialized, so it is usable before any constructor has run.
Adler32Function FastAdler32Func = ZlibAdler;

void FastAdler32Init() {
  if (TestCPUFeature(kCPUFeatureSSE2)) {
    FastAdler32Func = adler32_sse2;
  }
}

// The "adler32" module initializer registers FastAdler32Init here once the
// module-initializer registry exists; until then start-up code and tests
// call it directly.
