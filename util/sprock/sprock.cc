// The Sprock codec: compressor, tag table, decoding loop and its writers,
// and the entry points over the general streams. Sections, top to bottom:
//   varint preamble; compression; the tag table; the decompressor; the four
//   output writers; decoding entry points; adaptors; Sprock; the handle.
#include "util/sprock/sprock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/commandlineflags.h"
#include "base/logging.h"
#include "base/port.h"
#include "base/singleton.h"
#include "util/compression/incremental_copy.h"
#include "util/sprock/sprock-internal.h"

DEFINE_bool(sprock_dump_decompression_table, false,
            "If true, we print the decompression table at startup.");

namespace quern {

// ===========================================================================
// The length preamble: a little-endian base-128 varint of 1 to 5 bytes.
// ===========================================================================

namespace {

constexpr int kMaxPreambleBytes = 5;

char* EncodePreamble(char* dst, uint32 v) {
  unsigned char* p = reinterpret_cast<unsigned char*>(dst);
  while (v >= 0x80) {
    *p++ = static_cast<unsigned char>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<unsigned char>(v);
  return reinterpret_cast<char*>(p);
}

// Parses a preamble from [p, limit); returns the first byte after it, or
// null when it is cut short or longer than 5 bytes. Of a fifth byte only the
// low 4 bits fit in 32 bits; the three above them are dropped.
const char* ParsePreamble(const char* p, const char* limit, uint32* value) {
  uint32 result = 0;
  for (int shift = 0; shift < 32; shift += 7) {
    if (p >= limit) return nullptr;
    const uint8 c = static_cast<uint8>(*p++);
    result |= static_cast<uint32>(c & 0x7f) << shift;
    if (c < 128) {
      *value = result;
      return p;
    }
  }
  return nullptr;
}

// The densest element, a copy of 64 bytes with a 2-byte offset, turns 3
// compressed bytes into 64 output bytes. A stream whose preamble announces
// more than its elements could ever produce is corrupt; checking this first
// keeps a few hostile bytes from making a caller allocate gigabytes.
bool LengthIsPlausible(size_t uncompressed_length, size_t element_bytes) {
  if (element_bytes >= (uint64{1} << 40)) return true;
  return uncompressed_length <= static_cast<uint64>(element_bytes) * 64 / 3;
}

}  // namespace

// ===========================================================================
// Compression
// ===========================================================================

size_t MaxCompressedLength(size_t n) { return 32 + n + n / 6; }

namespace internal {

uint16* WorkingMemory::GetHashTable(size_t input_size, int* table_size) {
  // The smallest power of two from 256 up that covers the block, capped.
  int htsize = 256;
  while (htsize < kMaxTableSize && static_cast<size_t>(htsize) < input_size) {
    htsize <<= 1;
  }
  uint16* table;
  if (htsize <= kSmallTableSize) {
    table = small_table_;
  } else {
    if (large_table_ == nullptr) large_table_ = new uint16[kMaxTableSize];
    table = large_table_;
  }
  *table_size = htsize;
  memset(table, 0, htsize * sizeof(*table));
  return table;
}

namespace {

enum ElementKind { LITERAL = 0, COPY_1_BYTE_OFFSET = 1, COPY_2_BYTE_OFFSET = 2 };

inline uint32 HashBytes(uint32 bytes, int shift) {
  constexpr uint32 kMul = 0x1e35a7bd;
  return (bytes * kMul) >> shift;
}

// Writes a literal element. With allow_fast_path, a literal of up to 60
// bytes is copied in 16-byte moves rather than through memcpy: the caller
// guarantees 15 readable input bytes past the literal, and
// MaxCompressedLength leaves room for the overshoot.
inline char* EmitLiteral(char* op, const char* literal, int len,
                         bool allow_fast_path) {
  int n = len - 1;
  if (n < 60) {
    *op++ = static_cast<char>(LITERAL | (n << 2));
    if (allow_fast_path) {
      UnalignedCopy128(literal, op);
      for (int i = 16; i < len; i += 16) {
        UnalignedCopy128(literal + i, op + i);
      }
      return op + len;
    }
  } else {
    char* tag = op++;
    int count = 0;
    while (n > 0) {
      *op++ = static_cast<char>(n & 0xff);
      n >>= 8;
      count++;
    }
    DCHECK(count >= 1);
    DCHECK(count <= 4);
    *tag = static_cast<char>(LITERAL | ((59 + count) << 2));
  }
  memcpy(op, literal, len);
  return op + len;
}

// Writes one copy element of 4 to 64 bytes. Both encodings are computed
// and one kept without a branch (which form fits depends on the data, so a
// branch would often miss); four bytes are stored either way, and the
// caller's output has room for the one past a 3-byte element.
inline char* EmitCopyAtMost64(char* op, size_t offset, int len) {
  DCHECK(len <= 64);
  DCHECK(len >= 4);
  DCHECK(offset < 65536);
  const uint32 one_byte_offset = COPY_1_BYTE_OFFSET | ((len - 4) << 2) |
                                 ((offset >> 8) << 5) | ((offset & 0xff) << 8);
  const uint32 two_byte_offset =
      COPY_2_BYTE_OFFSET | ((len - 1) << 2) | (offset << 8);
  // All ones when the 2-byte form fits; & rather than && keeps it a flag
  // computation instead of two jumps.
  const uint32 short_form =
      0u - static_cast<uint32>((len < 12) & (offset < 2048));
  LittleEndianStore32(
      op, two_byte_offset ^ ((one_byte_offset ^ two_byte_offset) & short_form));
  return op + 3 + static_cast<int32>(short_form);
}

inline char* EmitCopy(char* op, size_t offset, int len) {
  while (PREDICT_FALSE(len >= 68)) {
    op = EmitCopyAtMost64(op, offset, 64);
    len -= 64;
  }
  // 65 to 67 bytes: a 60-byte piece keeps the last one at 4 bytes or more.
  if (len > 64) {
    op = EmitCopyAtMost64(op, offset, 60);
    len -= 60;
  }
  return EmitCopyAtMost64(op, offset, len);
}

}  // namespace

char* CompressFragment(const char* input, size_t input_size, char* op,
                       uint16* table, const int table_size) {
  DCHECK(input_size <= static_cast<size_t>(kBlockSize));
  DCHECK((table_size & (table_size - 1)) == 0);
  const int shift = 32 - bits::Log2FloorNonZero(table_size);
  const char* ip = input;
  const char* const ip_end = input + input_size;
  const char* const base_ip = input;
  const char* next_emit = input;

  // Every 4- and 8-byte load and the 16-byte literal copy stay inside the
  // block as long as ip stays at or below ip_limit.
  constexpr size_t kInputMarginBytes = 15;
  if (PREDICT_TRUE(input_size >= kInputMarginBytes)) {
    const char* const ip_limit = ip_end - kInputMarginBytes;
    // The 4 bytes at the next probe, loaded once for its hash and its
    // compare.
    uint32 next_bytes = LittleEndianLoad32(++ip);
    uint32 next_hash = HashBytes(next_bytes, shift);
    for (;;) {
      // Look for a 4-byte match, probing with a stride that grows by one
      // every 32 misses, so incompressible data is skipped quickly.
      uint32 skip = 32;
      const char* next_ip = ip;
      const char* candidate;
      uint32 bytes;
      do {
        ip = next_ip;
        bytes = next_bytes;
        const uint32 hash = next_hash;
        const uint32 stride = skip++ >> 5;
        next_ip = ip + stride;
        if (PREDICT_FALSE(next_ip > ip_limit)) goto emit_remainder;
        next_bytes = LittleEndianLoad32(next_ip);
        next_hash = HashBytes(next_bytes, shift);
        candidate = base_ip + table[hash];
        DCHECK(candidate < ip);
        table[hash] = static_cast<uint16>(ip - base_ip);
      } while (PREDICT_TRUE(bytes != UNALIGNED_LOAD32(candidate)));

      op = EmitLiteral(op, next_emit, static_cast<int>(ip - next_emit), true);

      // Emit copies as long as the position after one matches at once.
      uint64 input_bytes;
      uint32 candidate_bytes;
      do {
        const char* const base = ip;
        // ip <= ip_limit, so the 8 bytes after the 4 known to match can be
        // compared without a bound check; most matches end inside them.
        const uint64 difference =
            UNALIGNED_LOAD64(ip + 4) ^ UNALIGNED_LOAD64(candidate + 4);
        const int matched =
            PREDICT_TRUE(difference != 0)
                ? 4 + (bits::FindLSBSetNonZero64(difference) >> 3)
                : 12 + static_cast<int>(
                           FindMatchLength(candidate + 12, ip + 12, ip_end));
        const size_t offset = base - candidate;
        DCHECK(0 == memcmp(base, candidate, matched));
        ip += matched;
        op = EmitCopy(op, offset, matched);
        next_emit = ip;
        if (PREDICT_FALSE(ip >= ip_limit)) goto emit_remainder;
        // One 8-byte load serves three hashes: ip - 1, ip and ip + 1.
        input_bytes = LittleEndianLoad64(ip - 1);
        const uint32 prev_hash =
            HashBytes(static_cast<uint32>(input_bytes), shift);
        table[prev_hash] = static_cast<uint16>(ip - base_ip - 1);
        const uint32 cur_hash =
            HashBytes(static_cast<uint32>(input_bytes >> 8), shift);
        candidate = base_ip + table[cur_hash];
        candidate_bytes = UNALIGNED_LOAD32(candidate);
        table[cur_hash] = static_cast<uint16>(ip - base_ip);
      } while (static_cast<uint32>(input_bytes >> 8) == candidate_bytes);

      next_bytes = static_cast<uint32>(input_bytes >> 16);
      next_hash = HashBytes(next_bytes, shift);
      ++ip;
    }
  }

emit_remainder:
  if (next_emit < ip_end) {
    op = EmitLiteral(op, next_emit, static_cast<int>(ip_end - next_emit),
                     false);
  }
  return op;
}

}  // namespace internal

size_t Compress(Source* reader, Sink* writer) {
  size_t N = reader->Available();
  CHECK(N <= 0xffffffffu) << "Sprock cannot encode an input of " << N
                          << " bytes: the length preamble holds 32 bits";
  char preamble[kMaxPreambleBytes];
  char* p = EncodePreamble(preamble, static_cast<uint32>(N));
  writer->Append(preamble, p - preamble);
  size_t written = p - preamble;

  internal::WorkingMemory wmem;
  char* scratch = nullptr;
  char* scratch_output = nullptr;

  while (N > 0) {
    size_t fragment_size;
    const char* fragment = reader->Peek(&fragment_size);
    // Without this a reader that runs dry would make us spin forever.
    CHECK(fragment_size != 0);
    const size_t num_to_read = std::min<size_t>(N, kBlockSize);
    size_t pending_advance = 0;
    if (fragment_size >= num_to_read) {
      // The fragment holds the whole block: compress it in place.
      pending_advance = num_to_read;
    } else {
      // Gather the block. Only the last block is shorter than the first
      // one gathered, so one scratch of that size serves all of them.
      if (scratch == nullptr) scratch = new char[num_to_read];
      memcpy(scratch, fragment, fragment_size);
      reader->Skip(fragment_size);
      size_t bytes_read = fragment_size;
      while (bytes_read < num_to_read) {
        fragment = reader->Peek(&fragment_size);
        CHECK(fragment_size != 0);
        const size_t n = std::min(fragment_size, num_to_read - bytes_read);
        memcpy(scratch + bytes_read, fragment, n);
        bytes_read += n;
        reader->Skip(n);
      }
      DCHECK(bytes_read == num_to_read);
      fragment = scratch;
    }

    int table_size;
    uint16* table = wmem.GetHashTable(num_to_read, &table_size);
    const size_t max_output = MaxCompressedLength(num_to_read);
    if (scratch_output == nullptr) scratch_output = new char[max_output];
    char* dest = writer->GetAppendBuffer(max_output, scratch_output);
    char* end = internal::CompressFragment(fragment, num_to_read, dest, table,
                                           table_size);
    writer->Append(dest, end - dest);
    written += end - dest;

    N -= num_to_read;
    reader->Skip(pending_advance);
  }

  delete[] scratch;
  delete[] scratch_output;
  return written;
}

void RawCompress(const char* input, size_t input_length, char* compressed,
                 size_t* compressed_length) {
  ByteArraySource reader(input, input_length);
  UncheckedByteArraySink writer(compressed);
  Compress(&reader, &writer);
  *compressed_length = writer.CurrentDestination() - compressed;
}

size_t Compress(const char* input, size_t input_length,
                std::string* compressed) {
  compressed->resize(MaxCompressedLength(input_length));
  size_t compressed_length;
  RawCompress(input, input_length, &(*compressed)[0], &compressed_length);
  compressed->resize(compressed_length);
  return compressed_length;
}

// ===========================================================================
// The tag table. One 16-bit entry per tag byte: bits 0..7 the element's
// length (1 for a long literal, whose length bytes follow), bits 8..10 the
// high offset bits of a 1-byte-offset copy, bits 11..13 the number of bytes
// after the tag. One load decodes a tag.
// ===========================================================================

static const uint16 char_table[256] = {
    0x0001, 0x0804, 0x1001, 0x2001, 0x0002, 0x0805, 0x1002, 0x2002,
    0x0003, 0x0806, 0x1003, 0x2003, 0x0004, 0x0807, 0x1004, 0x2004,
    0x0005, 0x0808, 0x1005, 0x2005, 0x0006, 0x0809, 0x1006, 0x2006,
    0x0007, 0x080a, 0x1007, 0x2007, 0x0008, 0x080b, 0x1008, 0x2008,
    0x0009, 0x0904, 0x1009, 0x2009, 0x000a, 0x0905, 0x100a, 0x200a,
    0x000b, 0x0906, 0x100b, 0x200b, 0x000c, 0x0907, 0x100c, 0x200c,
    0x000d, 0x0908, 0x100d, 0x200d, 0x000e, 0x0909, 0x100e, 0x200e,
    0x000f, 0x090a, 0x100f, 0x200f, 0x0010, 0x090b, 0x1010, 0x2010,
    0x0011, 0x0a04, 0x1011, 0x2011, 0x0012, 0x0a05, 0x1012, 0x2012,
    0x0013, 0x0a06, 0x1013, 0x2013, 0x0014, 0x0a07, 0x1014, 0x2014,
    0x0015, 0x0a08, 0x1015, 0x2015, 0x0016, 0x0a09, 0x1016, 0x2016,
    0x0017, 0x0a0a, 0x1017, 0x2017, 0x0018, 0x0a0b, 0x1018, 0x2018,
    0x0019, 0x0b04, 0x1019, 0x2019, 0x001a, 0x0b05, 0x101a, 0x201a,
    0x001b, 0x0b06, 0x101b, 0x201b, 0x001c, 0x0b07, 0x101c, 0x201c,
    0x001d, 0x0b08, 0x101d, 0x201d, 0x001e, 0x0b09, 0x101e, 0x201e,
    0x001f, 0x0b0a, 0x101f, 0x201f, 0x0020, 0x0b0b, 0x1020, 0x2020,
    0x0021, 0x0c04, 0x1021, 0x2021, 0x0022, 0x0c05, 0x1022, 0x2022,
    0x0023, 0x0c06, 0x1023, 0x2023, 0x0024, 0x0c07, 0x1024, 0x2024,
    0x0025, 0x0c08, 0x1025, 0x2025, 0x0026, 0x0c09, 0x1026, 0x2026,
    0x0027, 0x0c0a, 0x1027, 0x2027, 0x0028, 0x0c0b, 0x1028, 0x2028,
    0x0029, 0x0d04, 0x1029, 0x2029, 0x002a, 0x0d05, 0x102a, 0x202a,
    0x002b, 0x0d06, 0x102b, 0x202b, 0x002c, 0x0d07, 0x102c, 0x202c,
    0x002d, 0x0d08, 0x102d, 0x202d, 0x002e, 0x0d09, 0x102e, 0x202e,
    0x002f, 0x0d0a, 0x102f, 0x202f, 0x0030, 0x0d0b, 0x1030, 0x2030,
    0x0031, 0x0e04, 0x1031, 0x2031, 0x0032, 0x0e05, 0x1032, 0x2032,
    0x0033, 0x0e06, 0x1033, 0x2033, 0x0034, 0x0e07, 0x1034, 0x2034,
    0x0035, 0x0e08, 0x1035, 0x2035, 0x0036, 0x0e09, 0x1036, 0x2036,
    0x0037, 0x0e0a, 0x1037, 0x2037, 0x0038, 0x0e0b, 0x1038, 0x2038,
    0x0039, 0x0f04, 0x1039, 0x2039, 0x003a, 0x0f05, 0x103a, 0x203a,
    0x003b, 0x0f06, 0x103b, 0x203b, 0x003c, 0x0f07, 0x103c, 0x203c,
    0x0801, 0x0f08, 0x103d, 0x203d, 0x1001, 0x0f09, 0x103e, 0x203e,
    0x1801, 0x0f0a, 0x103f, 0x203f, 0x2001, 0x0f0b, 0x1040, 0x2040,
};

// Masks keeping the low 0 to 4 bytes of a 32-bit load.
static const uint32 wordmask[] = {0u, 0xffu, 0xffffu, 0xffffffu, 0xffffffffu};

namespace {

uint16 MakeEntry(unsigned int extra, unsigned int len,
                 unsigned int copy_offset) {
  // Each field must fit its bits, or the packed entry would be ambiguous.
  DCHECK(extra == (extra & 0x7));
  DCHECK(copy_offset == (copy_offset & 0x7));
  DCHECK(len == (len & 0x7f));
  return static_cast<uint16>(len | (copy_offset << 8) | (extra << 11));
}

[[noreturn]] void TableFailure() { abort(); }

}  // namespace

void ComputeTable() {
  uint16 dst[256];
  for (int i = 0; i < 256; ++i) dst[i] = 0xffff;
  int assigned = 0;

  // Short literals, then the four long-literal tags.
  for (unsigned len = 1; len <= 60; ++len) {
    dst[(len - 1) << 2] = MakeEntry(0, len, 0);
    assigned++;
  }
  for (unsigned extra_bytes = 1; extra_bytes <= 4; ++extra_bytes) {
    dst[(extra_bytes + 59) << 2] = MakeEntry(extra_bytes, 1, 0);
    assigned++;
  }
  // Copies with a 1-byte offset: length 4..11, three high offset bits.
  for (unsigned len = 4; len < 12; ++len) {
    for (unsigned offset = 0; offset < 2048; offset += 256) {
      dst[1 | ((len - 4) << 2) | ((offset >> 8) << 5)] =
          MakeEntry(1, len, offset >> 8);
      assigned++;
    }
  }
  // Copies with 2- and 4-byte offsets: length 1..64.
  for (unsigned len = 1; len <= 64; ++len) {
    dst[2 | ((len - 1) << 2)] = MakeEntry(2, len, 0);
    assigned++;
  }
  for (unsigned len = 1; len <= 64; ++len) {
    dst[3 | ((len - 1) << 2)] = MakeEntry(4, len, 0);
    assigned++;
  }

  if (assigned != 256) {
    fprintf(stderr, "ComputeTable: assigned only %d of 256\n", assigned);
    TableFailure();
  }
  for (int i = 0; i < 256; ++i) {
    if (dst[i] == 0xffff) {
      fprintf(stderr, "ComputeTable: did not assign byte %d\n", i);
      TableFailure();
    }
  }

  if (FLAGS_sprock_dump_decompression_table) {
    printf("static const uint16 char_table[256] = {\n  ");
    for (int i = 0; i < 256; ++i) {
      printf("0x%04x%s", dst[i],
             (i == 255) ? "\n" : (((i & 7) == 7) ? ",\n  " : ", "));
    }
    printf("};\n");
    fflush(stdout);
  }

  for (int i = 0; i < 256; ++i) {
    if (dst[i] != char_table[i]) {
      fprintf(stderr, "ComputeTable: byte %d: computed (%x), expect (%x)\n", i,
              dst[i], char_table[i]);
      TableFailure();
    }
  }
}

// ===========================================================================
// The decompressor: one decoding loop over a source that may hand out its
// bytes in fragments of any size, templated over the writer that decides
// where the output goes.
// ===========================================================================

namespace {

// The longest element header: a tag and 4 trailing bytes. After a refill at
// least this many bytes can be loaded from ip_.
constexpr int kMaximumTagLength = 5;

using util::compression::IncrementalCopy;
using util::compression::IncrementalCopyFastPath;
using util::compression::kMaxIncrementCopyOverflow;

// The fast decoding loop's view of a tag, one small table per field so
// that each is a single load (or a load folded into an add). A short
// literal counts as offset 16 and a long literal as 2^31 + 16, so that one
// unsigned compare of offset - 16 sends long literals, invalid copies and
// copies of offsets under 16 to the careful path (see DecodeFastRun).
struct FastTagTables {
  uint64 offset_minus_16[256];  // the tag's part of the offset, minus 16
  uint64 advance[256];          // bytes from this tag to the next
  uint32 trailer_mask[256];     // the offset bytes after the tag
  uint8 length[256];            // output bytes
};

constexpr FastTagTables MakeFastTagTables() {
  FastTagTables t{};
  for (int c = 0; c < 256; ++c) {
    uint64 advance = 0, len = 0, offset = 0;
    uint32 mask = 0;
    switch (c & 3) {
      case 0:
        len = (c >> 2) + 1;
        if (len <= 60) {
          advance = 1 + len;
          offset = 16;
        } else {
          advance = 1;
          len = 0;
          offset = (uint64{1} << 31) + 16;
        }
        break;
      case 1:
        advance = 2, len = ((c >> 2) & 7) + 4, offset = (c >> 5) << 8;
        mask = 0xff;
        break;
      case 2:
        advance = 3, len = (c >> 2) + 1, mask = 0xffff;
        break;
      default:
        advance = 5, len = (c >> 2) + 1, mask = 0xffffffff;
    }
    t.offset_minus_16[c] = offset - 16;  // wraps for the copies
    t.advance[c] = advance;
    t.trailer_mask[c] = mask;
    t.length[c] = static_cast<uint8>(len);
  }
  return t;
}

constexpr FastTagTables kFastTags = MakeFastTagTables();

// Slack that lets DecodeFastRun skip every per-element bound check: it
// reads at most 65 bytes at ip and writes at most 64 bytes (74 for an
// overlapping copy) at op.
constexpr ptrdiff_t kFastInputSlop = 72;
constexpr ptrdiff_t kFastOutputSlop = 80;

// Copies 64 bytes in 16-byte moves, in order. When the ranges overlap the
// source must be at least 16 bytes behind dst, so that every move reads
// bytes an earlier move already made final.
inline void Copy64(char* dst, const char* src) {
  UnalignedCopy128(src, dst);
  UnalignedCopy128(src + 16, dst + 16);
  UnalignedCopy128(src + 32, dst + 32);
  UnalignedCopy128(src + 48, dst + 48);
}

// Returns is_literal ? literal : copy, as a conditional move: literals and
// copies alternate unpredictably, so a branch here would often miss.
template <typename T>
inline T SelectByKind(uint8 tag, T literal, T copy) {
  static_assert(sizeof(T) == 8, "one 64-bit register");
#if defined(__x86_64__)
  __asm__("testb $3, %b[tag]\n\tcmovzq %[literal], %[copy]"
          : [copy] "+r"(copy)
          : [tag] "q"(tag), [literal] "r"(literal)
          : "cc");
  return copy;
#else
  return (tag & 3) == 0 ? literal : copy;
#endif
}

// The tag after the element whose tag is `c` and whose first 8 bytes are
// `word`. The decoding loop is bound by this chain from one tag to the
// next, so it avoids the tag table: a copy's header is 2, 3 or 5 bytes, so
// its successor is a byte of `word`, picked by a shift computed from the
// tag's low bits; a short literal's successor is loaded from ip + len + 1,
// its length taken straight from the tag. Both are computed and one is
// kept, without a branch.
inline uint32 NextTag(uint32 c, uint64 word, const char* ip) {
  // Header bits for copy kinds 1, 2 and 3 (16, 24 and 40) are bytes 1..3 of
  // the constant; a 32-bit shift counts modulo 32, which drops the kind
  // bits above the low two at no cost.
  uint32 copy_shift = 0x28181000u;
#if defined(__x86_64__)
  __asm__("shrl %%cl, %[v]" : [v] "+r"(copy_shift) : "c"(c << 3) : "cc");
#else
  copy_shift >>= (c & 3) * 8;
#endif
  const uint64 after_copy = (word >> (copy_shift & 63)) & 0xff;
  const uint64 after_literal = static_cast<uint8>(ip[size_t{c >> 2} + 2]);
  return static_cast<uint32>(
      SelectByKind(static_cast<uint8>(c), after_literal, after_copy));
}

// Decodes elements from a flat input buffer into flat output while both are
// far from their ends. Every element is one fixed 64-byte move from either
// the input (a literal) or earlier output (a copy); the bytes written past
// the element's end are overwritten by the next ones. Stops before the
// first element it cannot decode that way (a long literal, or a copy
// reaching before `base`); the caller's general loop decodes or refuses that
// one. *ip and *op are advanced past what was decoded.
inline void DecodeFastRun(const char** ip_p, const char* ip_limit,
                          const char* base, char** op_p, char* op_limit) {
  const char* ip = *ip_p;
  char* op = *op_p;
  if (ip_limit - ip < kFastInputSlop || op_limit - op < kFastOutputSlop ||
      op - base < 16) {
    return;
  }
  const char* const ip_end = ip_limit - kFastInputSlop;
  char* const op_end = op_limit - kFastOutputSlop;
  const char* const base_plus_16 = base + 16;
  uint64 word = LittleEndianLoad64(ip);
  uint32 c = static_cast<uint8>(word);
  // Runs of elements that cannot pass either end: an element moves ip and
  // op by at most 64 bytes, so the ends are checked once per run.
  for (;;) {
    const ptrdiff_t room = std::min(ip_end - ip, op_end - op);
    if (room <= 0) break;
    for (size_t n = (room - 1) / 64 + 1; n > 0; --n) {
      // offset - 16, wrapping below zero for offsets under 16.
      const size_t offset_minus_16 =
          kFastTags.offset_minus_16[c] +
          (LittleEndianLoad32(ip + 1) & kFastTags.trailer_mask[c]);
      // One unsigned compare passes exactly short literals and copies with
      // 16 <= offset <= op - base.
      if (PREDICT_FALSE(offset_minus_16 >
                        static_cast<size_t>(op - base_plus_16))) {
        const size_t offset = offset_minus_16 + 16;
        if ((c & 0x3) == 0 || offset - 1 >= static_cast<size_t>(op - base)) {
          goto done;
        }
        // A copy of a short pattern: widen it with overlapping 8-byte moves.
        IncrementalCopyFastPath(op - offset, op, kFastTags.length[c]);
      } else {
        // The source less one, so that a literal's is ip itself.
        const char* copy_source = op - 17 - offset_minus_16;
        Copy64(op, SelectByKind(static_cast<uint8>(c), ip, copy_source) + 1);
      }
      const uint32 next = NextTag(c, word, ip);
      op += kFastTags.length[c];
      ip += kFastTags.advance[c];
      word = LittleEndianLoad64(ip);
      c = next;
    }
  }
done:
  *ip_p = ip;
  *op_p = op;
}

class SprockDecompressor {
 public:
  explicit SprockDecompressor(Source* reader) : reader_(reader) {}

  // Leaves the reader positioned after everything consumed.
  ~SprockDecompressor() { reader_->Skip(peeked_); }

  SprockDecompressor(const SprockDecompressor&) = delete;
  SprockDecompressor& operator=(const SprockDecompressor&) = delete;

  // True when decoding stopped because the input ended at an element
  // boundary.
  bool eof() const { return eof_; }

  // Reads the preamble; must come before anything else.
  bool ReadUncompressedLength(uint32* result) {
    DCHECK(ip_ == nullptr);
    *result = 0;
    for (uint32 shift = 0;; shift += 7) {
      if (shift >= 32) return false;
      size_t n;
      const char* ip = reader_->Peek(&n);
      if (n == 0) return false;
      const uint8 c = static_cast<uint8>(*ip);
      reader_->Skip(1);
      *result |= static_cast<uint32>(c & 0x7f) << shift;
      if (c < 128) return true;
    }
  }

  // Decodes elements until the input ends or the writer refuses one.
  template <class Writer>
  void DecompressAllTags(Writer* writer);

 private:
  // Makes the next whole element header contiguous at ip_, stitching it
  // into scratch_ when it straddles fragments. False at the end of input
  // (eof_ set) or when the input ends inside a header.
  bool RefillTag();

  Source* const reader_;
  const char* ip_ = nullptr;         // next unread byte
  const char* ip_limit_ = nullptr;   // end of the current buffer
  size_t peeked_ = 0;                // bytes peeked and not yet skipped
  bool eof_ = false;
  char scratch_[kMaximumTagLength];  // a header stitched across fragments
};

bool SprockDecompressor::RefillTag() {
  const char* ip = ip_;
  if (ip == ip_limit_) {
    reader_->Skip(peeked_);
    size_t n;
    ip = reader_->Peek(&n);
    peeked_ = n;
    if (n == 0) {
      eof_ = true;
      return false;
    }
    ip_limit_ = ip + n;
  }

  DCHECK(ip < ip_limit_);
  const size_t needed = (char_table[static_cast<uint8>(*ip)] >> 11) + 1;
  DCHECK(needed <= sizeof(scratch_));

  size_t nbuf = ip_limit_ - ip;
  if (nbuf < needed) {
    // The header straddles fragments: gather it into scratch_. The bytes
    // may already lie in scratch_, hence memmove.
    memmove(scratch_, ip, nbuf);
    reader_->Skip(peeked_);
    peeked_ = 0;
    while (nbuf < needed) {
      size_t length;
      const char* src = reader_->Peek(&length);
      if (length == 0) return false;  // input ends inside an element
      const size_t to_add = std::min(needed - nbuf, length);
      memcpy(scratch_ + nbuf, src, to_add);
      nbuf += to_add;
      reader_->Skip(to_add);
    }
    ip_ = scratch_;
    ip_limit_ = scratch_ + needed;
  } else if (nbuf < static_cast<size_t>(kMaximumTagLength)) {
    // Enough for this header, but a 4-byte load after the tag would run
    // off the fragment: move the tail into scratch_.
    memmove(scratch_, ip, nbuf);
    reader_->Skip(peeked_);
    peeked_ = 0;
    ip_ = scratch_;
    ip_limit_ = scratch_ + nbuf;
  } else {
    ip_ = ip;
  }
  return true;
}

template <class Writer>
void SprockDecompressor::DecompressAllTags(Writer* writer) {
  const char* ip = ip_;

  // After this, at least kMaximumTagLength bytes are readable at ip, so a
  // tag and its 4-byte trailer load stay in bounds.
#define MAYBE_REFILL()                                      \
  if (ip_limit_ - ip < kMaximumTagLength) {                 \
    ip_ = ip;                                               \
    if (PREDICT_FALSE(!RefillTag())) return;                \
    ip = ip_;                                               \
  }

  MAYBE_REFILL();
  for (;;) {
    // Most elements are decoded here, without bound checks, while the
    // writer's output and the current input buffer have room to spare.
    writer->DecodeFastRun(&ip, ip_limit_);

    const uint8 c = static_cast<uint8>(*ip++);

    if ((c & 0x3) == 0) {
      size_t literal_length = (c >> 2) + 1;
      if (writer->TryFastAppend(ip, ip_limit_ - ip, literal_length)) {
        DCHECK(literal_length < 61);
        ip += literal_length;
        // The fast path needs 21 readable bytes, so 5 remain: no refill.
        continue;
      }
      if (PREDICT_FALSE(literal_length >= 61)) {
        // 1 to 4 length bytes follow; the length is computed in 64 bits so
        // that 0xffffffff + 1 does not wrap.
        const size_t length_bytes = literal_length - 60;
        literal_length =
            static_cast<size_t>(LittleEndianLoad32(ip) & wordmask[length_bytes]) +
            1;
        ip += length_bytes;
      }

      size_t avail = ip_limit_ - ip;
      while (avail < literal_length) {
        // The literal runs past this fragment: append what is here and
        // continue from the next one.
        if (avail > 0) {
          if (!writer->Append(ip, avail)) return;
          literal_length -= avail;
        }
        reader_->Skip(peeked_);
        size_t n;
        ip = reader_->Peek(&n);
        avail = n;
        peeked_ = n;
        if (avail == 0) return;  // truncated input
        ip_limit_ = ip + avail;
      }
      if (!writer->Append(ip, literal_length)) return;
      ip += literal_length;
      MAYBE_REFILL();
    } else {
      const uint32 entry = char_table[c];
      const uint32 trailer = LittleEndianLoad32(ip) & wordmask[entry >> 11];
      const uint32 length = entry & 0xff;
      ip += entry >> 11;
      // bits 8..10 of the offset come from the tag; the rest from trailer.
      const size_t offset = static_cast<size_t>(entry & 0x700) + trailer;
      if (!writer->AppendFromSelf(offset, length)) return;
      MAYBE_REFILL();
    }
  }
#undef MAYBE_REFILL
}

// ===========================================================================
// Writers. Each enforces the announced length and the validity of copies.
// ===========================================================================

// Writes into one caller array of the announced length.
class SprockArrayWriter {
 public:
  explicit SprockArrayWriter(char* dst)
      : base_(dst), op_(dst), op_limit_(dst) {}

  void SetExpectedLength(size_t len) { op_limit_ = op_ + len; }
  bool CheckLength() const { return op_ == op_limit_; }
  size_t Produced() const { return op_ - base_; }

  inline bool Append(const char* ip, size_t len) {
    char* op = op_;
    if (static_cast<size_t>(op_limit_ - op) < len) return false;
    memcpy(op, ip, len);
    op_ = op + len;
    return true;
  }

  inline bool TryFastAppend(const char* ip, size_t available, size_t len) {
    char* op = op_;
    const size_t space_left = op_limit_ - op;
    if (len <= 16 && available >= 16 + kMaximumTagLength && space_left >= 16) {
      UnalignedCopy64(ip, op);
      UnalignedCopy64(ip + 8, op + 8);
      op_ = op + len;
      return true;
    }
    return false;
  }

  inline void DecodeFastRun(const char** ip, const char* ip_limit) {
    quern::DecodeFastRun(ip, ip_limit, base_, &op_, op_limit_);
  }

  inline bool AppendFromSelf(size_t offset, size_t len) {
    return util::compression::AppendCopyToFlatOutput(base_, &op_, op_limit_,
                                                     offset, len);
  }

  void Flush() {}

 private:
  char* base_;
  char* op_;
  char* op_limit_;
};

// Writes nothing; counts and checks only.
class SprockDecompressionValidator {
 public:
  void SetExpectedLength(size_t len) { expected_ = len; }
  bool CheckLength() const { return expected_ == produced_; }
  void DecodeFastRun(const char**, const char*) {}
  bool TryFastAppend(const char*, size_t, size_t) { return false; }
  bool Append(const char*, size_t len) {
    produced_ += len;
    return produced_ <= expected_;
  }
  bool AppendFromSelf(size_t offset, size_t len) {
    if (produced_ <= offset - 1u) return false;
    produced_ += len;
    return produced_ <= expected_;
  }
  void Flush() {}

 private:
  size_t expected_ = 0;
  size_t produced_ = 0;
};

// Writes into a caller array of iovec entries, each filled to its length
// before the next is started.
class SprockIOVecWriter {
 public:
  SprockIOVecWriter(const iovec* iov, size_t iov_count)
      : output_iov_(iov), output_iov_count_(iov_count) {}

  void SetExpectedLength(size_t len) { output_limit_ = len; }
  bool CheckLength() const { return total_written_ == output_limit_; }

  bool Append(const char* ip, size_t len) {
    if (len > output_limit_ - total_written_) return false;
    // With no entries there is no room at all.
    if (output_iov_count_ == 0) return len == 0;
    while (len > 0) {
      DCHECK(curr_iov_written_ <= output_iov_[curr_iov_index_].iov_len);
      if (curr_iov_written_ >= output_iov_[curr_iov_index_].iov_len) {
        if (!NextEntry()) return false;
        continue;
      }
      const size_t to_write = std::min(
          len, output_iov_[curr_iov_index_].iov_len - curr_iov_written_);
      memcpy(Pointer(curr_iov_index_, curr_iov_written_), ip, to_write);
      curr_iov_written_ += to_write;
      total_written_ += to_write;
      ip += to_write;
      len -= to_write;
    }
    return true;
  }

  void DecodeFastRun(const char**, const char*) {}

  bool TryFastAppend(const char* ip, size_t available, size_t len) {
    if (output_iov_count_ == 0) return false;
    const size_t space_left = output_limit_ - total_written_;
    if (len <= 16 && available >= 16 + kMaximumTagLength &&
        space_left >= 16 &&
        output_iov_[curr_iov_index_].iov_len - curr_iov_written_ >= 16) {
      char* op = Pointer(curr_iov_index_, curr_iov_written_);
      UnalignedCopy64(ip, op);
      UnalignedCopy64(ip + 8, op + 8);
      curr_iov_written_ += len;
      total_written_ += len;
      return true;
    }
    return false;
  }

  bool AppendFromSelf(size_t offset, size_t len) {
    if (offset == 0 || offset > total_written_ ||
        len > output_limit_ - total_written_) {
      return false;
    }
    // Walk back to the entry holding the first source byte.
    int from_iov_index = curr_iov_index_;
    size_t from_iov_offset = curr_iov_written_;
    while (offset > from_iov_offset) {
      offset -= from_iov_offset;
      --from_iov_index;
      DCHECK(from_iov_index >= 0);
      from_iov_offset = output_iov_[from_iov_index].iov_len;
    }
    from_iov_offset -= offset;

    while (len > 0) {
      DCHECK(from_iov_index <= curr_iov_index_);
      if (from_iov_index != curr_iov_index_) {
        // Source in an earlier entry: a plain append, no overlap.
        const size_t to_copy = std::min(
            output_iov_[from_iov_index].iov_len - from_iov_offset, len);
        if (to_copy > 0 &&
            !Append(Pointer(from_iov_index, from_iov_offset), to_copy)) {
          return false;
        }
        len -= to_copy;
        if (len > 0) {
          ++from_iov_index;
          from_iov_offset = 0;
        }
      } else {
        // Source in the current entry: may overlap the destination.
        size_t to_copy =
            output_iov_[curr_iov_index_].iov_len - curr_iov_written_;
        if (to_copy == 0) {
          if (!NextEntry()) return false;
          continue;
        }
        if (to_copy > len) to_copy = len;
        IncrementalCopy(Pointer(from_iov_index, from_iov_offset),
                        Pointer(curr_iov_index_, curr_iov_written_), to_copy);
        curr_iov_written_ += to_copy;
        from_iov_offset += to_copy;
        total_written_ += to_copy;
        len -= to_copy;
      }
    }
    return true;
  }

  void Flush() {}

 private:
  char* Pointer(int index, size_t offset) const {
    return static_cast<char*>(output_iov_[index].iov_base) + offset;
  }

  // Moves to the next entry; false when there is none.
  bool NextEntry() {
    if (static_cast<size_t>(curr_iov_index_) + 1 >= output_iov_count_) {
      return false;
    }
    ++curr_iov_index_;
    curr_iov_written_ = 0;
    return true;
  }

  const iovec* const output_iov_;
  const size_t output_iov_count_;
  int curr_iov_index_ = 0;
  size_t curr_iov_written_ = 0;
  size_t total_written_ = 0;
  size_t output_limit_ = static_cast<size_t>(-1);
};

// Allocates the scattered writer's blocks and hands them to a sink, without
// copying, when decoding ends.
class SprockSinkAllocator {
 public:
  explicit SprockSinkAllocator(Sink* dest) : dest_(dest) {}

  char* Allocate(int size) {
    Datablock block(new char[size], size);
    blocks_.push_back(block);
    return block.data;
  }

  // Hands over the first size bytes of the blocks, in order, and forgets
  // them; the sink frees each block through Deleter.
  void Flush(size_t size) {
    size_t size_written = 0;
    for (const Datablock& block : blocks_) {
      const size_t block_size = std::min(block.size, size - size_written);
      dest_->AppendAndTakeOwnership(block.data, block_size,
                                    &SprockSinkAllocator::Deleter, nullptr);
      size_written += block_size;
    }
    blocks_.clear();
  }

 private:
  struct Datablock {
    Datablock(char* p, size_t s) : data(p), size(s) {}
    char* data;
    size_t size;
  };

  static void Deleter(void* /*arg*/, const char* bytes, size_t /*size*/) {
    delete[] bytes;
  }

  Sink* dest_;
  std::vector<Datablock> blocks_;
};

// Writes into blocks of at most 64 KiB, allocated as output is produced:
// block i holds output bytes i * 64 KiB up to (i + 1) * 64 KiB - 1.
template <typename Allocator>
class SprockScatteredWriter {
 public:
  explicit SprockScatteredWriter(const Allocator& allocator)
      : allocator_(allocator) {}

  void SetExpectedLength(size_t len) {
    DCHECK(blocks_.empty());
    expected_ = len;
  }
  bool CheckLength() const { return Size() == expected_; }
  size_t Produced() const { return Size(); }

  inline bool Append(const char* ip, size_t len) {
    const size_t avail = op_limit_ - op_ptr_;
    if (len <= avail) {
      if (len > 0) memcpy(op_ptr_, ip, len);
      op_ptr_ += len;
      return true;
    }
    return SlowAppend(ip, len);
  }

  // Within the current block; copies reaching into earlier blocks stop it.
  inline void DecodeFastRun(const char** ip, const char* ip_limit) {
    quern::DecodeFastRun(ip, ip_limit, op_base_, &op_ptr_, op_limit_);
  }

  inline bool TryFastAppend(const char* ip, size_t available, size_t length) {
    char* op = op_ptr_;
    const int space_left = static_cast<int>(op_limit_ - op);
    if (length <= 16 && available >= 16 + kMaximumTagLength &&
        space_left >= 16) {
      UnalignedCopy64(ip, op);
      UnalignedCopy64(ip + 8, op + 8);
      op_ptr_ = op + length;
      return true;
    }
    return false;
  }

  inline bool AppendFromSelf(size_t offset, size_t len) {
    // Source and destination both in the current block, with slack for
    // the fast copy's overshoot.
    if (offset - 1u < static_cast<size_t>(op_ptr_ - op_base_) &&
        static_cast<size_t>(op_limit_ - op_ptr_) >=
            len + kMaxIncrementCopyOverflow) {
      IncrementalCopyFastPath(op_ptr_ - offset, op_ptr_, len);
      op_ptr_ += len;
      return true;
    }
    return SlowAppendFromSelf(offset, len);
  }

  // Hands the blocks to the allocator's sink.
  void Flush() { allocator_.Flush(Produced()); }

 private:
  static constexpr int kBlockLog = 16;

  size_t Size() const { return full_size_ + (op_ptr_ - op_base_); }

  bool SlowAppend(const char* ip, size_t len) {
    size_t avail = op_limit_ - op_ptr_;
    while (len > avail) {
      // Fill the current block completely, then start the next one.
      if (avail > 0) memcpy(op_ptr_, ip, avail);
      op_ptr_ += avail;
      DCHECK(op_limit_ - op_ptr_ == 0);
      full_size_ += op_ptr_ - op_base_;
      len -= avail;
      ip += avail;

      if (full_size_ + len > expected_) return false;

      const size_t bsize =
          std::min<size_t>(kBlockSize, expected_ - full_size_);
      op_base_ = allocator_.Allocate(static_cast<int>(bsize));
      op_ptr_ = op_base_;
      op_limit_ = op_base_ + bsize;
      blocks_.push_back(op_base_);
      avail = bsize;
    }
    memcpy(op_ptr_, ip, len);
    op_ptr_ += len;
    return true;
  }

  bool SlowAppendFromSelf(size_t offset, size_t len) {
    const size_t cur = Size();
    if (offset - 1u >= cur) return false;
    if (expected_ - cur < len) return false;
    // The source may span blocks. Copy it in pieces that stay inside one
    // source block and are at most offset bytes long, so that each piece
    // lies wholly in output already produced and never overlaps the bytes
    // it is appended to.
    size_t src = cur - offset;
    while (len > 0) {
      const size_t in_block = src & (kBlockSize - 1);
      const size_t n =
          std::min({len, offset, static_cast<size_t>(kBlockSize) - in_block});
      Append(blocks_[src >> kBlockLog] + in_block, n);
      src += n;
      len -= n;
    }
    return true;
  }

  Allocator allocator_;
  std::vector<char*> blocks_;
  size_t expected_ = 0;
  size_t full_size_ = 0;            // bytes in the blocks before the current
  char* op_base_ = nullptr;         // start of the current block
  char* op_ptr_ = nullptr;          // next byte to write
  char* op_limit_ = nullptr;        // end of the current block
};

}  // namespace

// ===========================================================================
// Decoding entry points
// ===========================================================================

namespace {

template <typename Writer>
bool InternalUncompressAllTags(SprockDecompressor* decompressor,
                               Writer* writer, uint32 uncompressed_len) {
  writer->SetExpectedLength(uncompressed_len);
  decompressor->DecompressAllTags(writer);
  writer->Flush();
  return decompressor->eof() && writer->CheckLength();
}

template <typename Writer>
bool InternalUncompress(Source* reader, Writer* writer) {
  SprockDecompressor decompressor(reader);
  uint32 uncompressed_len = 0;
  if (!decompressor.ReadUncompressedLength(&uncompressed_len)) return false;
  return InternalUncompressAllTags(&decompressor, writer, uncompressed_len);
}

}  // namespace

bool GetUncompressedLength(const char* compressed, size_t n, size_t* result) {
  uint32 v = 0;
  if (ParsePreamble(compressed, compressed + n, &v) == nullptr) return false;
  *result = v;
  return true;
}

bool GetUncompressedLength(Source* source, uint32* result) {
  SprockDecompressor decompressor(source);
  return decompressor.ReadUncompressedLength(result);
}

bool RawUncompress(const char* compressed, size_t n, char* uncompressed) {
  ByteArraySource reader(compressed, n);
  return RawUncompress(&reader, uncompressed);
}

bool RawUncompress(Source* compressed, char* uncompressed) {
  SprockArrayWriter output(uncompressed);
  return InternalUncompress(compressed, &output);
}

bool Uncompress(const char* compressed, size_t n, std::string* uncompressed) {
  uint32 ulength;
  const char* elements = ParsePreamble(compressed, compressed + n, &ulength);
  if (elements == nullptr) return false;
  if (ulength > uncompressed->max_size()) return false;
  if (!LengthIsPlausible(ulength, compressed + n - elements)) return false;
  uncompressed->resize(ulength);
  return RawUncompress(compressed, n, &(*uncompressed)[0]);
}

bool Uncompress(Source* compressed, Sink* uncompressed) {
  SprockDecompressor decompressor(compressed);
  uint32 uncompressed_len = 0;
  if (!decompressor.ReadUncompressedLength(&uncompressed_len)) return false;

  // Ask the sink for the whole output only when the input could produce
  // it; otherwise the scattered writer allocates only as output appears.
  if (LengthIsPlausible(uncompressed_len, compressed->Available())) {
    char c;
    size_t allocated_size;
    char* buf = uncompressed->GetAppendBufferVariable(1, uncompressed_len, &c,
                                                      1, &allocated_size);
    if (allocated_size >= uncompressed_len) {
      SprockArrayWriter writer(buf);
      const bool result =
          InternalUncompressAllTags(&decompressor, &writer, uncompressed_len);
      uncompressed->Append(buf, writer.Produced());
      return result;
    }
  }
  SprockSinkAllocator allocator(uncompressed);
  SprockScatteredWriter<SprockSinkAllocator> writer(allocator);
  return InternalUncompressAllTags(&decompressor, &writer, uncompressed_len);
}

bool IsValidCompressedBuffer(const char* compressed, size_t n) {
  ByteArraySource reader(compressed, n);
  SprockDecompressionValidator writer;
  return InternalUncompress(&reader, &writer);
}

bool RawUncompressToIOVec(const char* compressed, size_t n, const iovec* iov,
                          size_t iov_count) {
  ByteArraySource reader(compressed, n);
  return RawUncompressToIOVec(&reader, iov, iov_count);
}

bool RawUncompressToIOVec(Source* compressed, const iovec* iov,
                          size_t iov_count) {
  SprockIOVecWriter output(iov, iov_count);
  return InternalUncompress(compressed, &output);
}

// ===========================================================================
// Adaptors to the general byte streams
// ===========================================================================

ByteSourceAdaptor::~ByteSourceAdaptor() {}

size_t ByteSourceAdaptor::Available() const { return source_->Available(); }

const char* ByteSourceAdaptor::Peek(size_t* len) {
  StringPiece fragment = source_->Peek();
  *len = fragment.size();
  return fragment.data();
}

void ByteSourceAdaptor::Skip(size_t n) { source_->Skip(n); }

ByteSinkAdaptor::~ByteSinkAdaptor() {}

void ByteSinkAdaptor::Append(const char* bytes, size_t n) {
  sink_->Append(bytes, n);
}

char* ByteSinkAdaptor::GetAppendBuffer(size_t length, char* scratch) {
  size_t allocated;
  return sink_->GetAppendBuffer(length, length, scratch, length, &allocated);
}

void ByteSinkAdaptor::AppendAndTakeOwnership(char* bytes, size_t n,
                                             Deleter deleter,
                                             void* deleter_arg) {
  sink_->AppendMemBlock(new MemBlockWithDeleter(bytes, n, deleter,
                                                deleter_arg));
}

char* ByteSinkAdaptor::GetAppendBufferVariable(size_t min_size,
                                               size_t desired_size_hint,
                                               char* scratch,
                                               size_t scratch_size,
                                               size_t* allocated_size) {
  return sink_->GetAppendBuffer(min_size, desired_size_hint, scratch,
                                scratch_size, allocated_size);
}

MemBlockWithDeleter::MemBlockWithDeleter(char* data, size_t n,
                                         Sink::Deleter deleter,
                                         void* deleter_arg)
    : MemBlock(data, n), deleter_(deleter), deleter_arg_(deleter_arg) {
  DCHECK(orig_data() != nullptr);
}

MemBlockWithDeleter::~MemBlockWithDeleter() {
  MUnlock();
  (*deleter_)(deleter_arg_, orig_data(), orig_length());
}

}  // namespace quern

// ===========================================================================
// Sprock: the codec over strings::ByteSource / ByteSink and flat memory
// ===========================================================================

size_t Sprock::Compress(strings::ByteSource* source, strings::ByteSink* sink) {
  quern::ByteSourceAdaptor reader(source);
  quern::ByteSinkAdaptor writer(sink);
  return quern::Compress(&reader, &writer);
}

bool Sprock::Uncompress(strings::ByteSource* source, strings::ByteSink* sink) {
  quern::ByteSourceAdaptor reader(source);
  quern::ByteSinkAdaptor writer(sink);
  return quern::Uncompress(&reader, &writer);
}

bool Sprock::GetUncompressedLength(strings::ByteSource* source,
                                   uint32* result) {
  quern::ByteSourceAdaptor reader(source);
  return quern::GetUncompressedLength(&reader, result);
}

bool Sprock::RawUncompress(strings::ByteSource* source, char* output) {
  quern::ByteSourceAdaptor reader(source);
  return quern::RawUncompress(&reader, output);
}

size_t Sprock::Compress(const StringPiece& input, std::string* output) {
  return quern::Compress(input.data(), input.size(), output);
}

bool Sprock::Uncompress(const StringPiece& input, std::string* output) {
  return quern::Uncompress(input.data(), input.size(), output);
}

bool Sprock::GetUncompressedLength(const StringPiece& input, size_t* result) {
  return quern::GetUncompressedLength(input.data(), input.size(), result);
}

size_t Sprock::MaxCompressedLength(size_t n) {
  return quern::MaxCompressedLength(n);
}

// ===========================================================================
// The process-wide codec handle
// ===========================================================================

namespace {

// Forwards every operation to Sprock; holds no state, so one instance serves
// all threads.
class SprockCompressorAdaptor : public util::compression::Compressor {
 public:
  size_t Compress(const StringPiece& input, std::string* output) override {
    return Sprock::Compress(input, output);
  }
  bool Uncompress(const StringPiece& compressed,
                  std::string* output) override {
    return Sprock::Uncompress(compressed, output);
  }
  size_t CompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override {
    return Sprock::Compress(source, sink);
  }
  bool UncompressStream(strings::ByteSource* source,
                        strings::ByteSink* sink) override {
    return Sprock::Uncompress(source, sink);
  }
  size_t MaxCompressedLength(size_t input_length) override {
    return Sprock::MaxCompressedLength(input_length);
  }
  bool GetUncompressedLength(const StringPiece& compressed,
                             size_t* result) override {
    return Sprock::GetUncompressedLength(compressed, result);
  }
  bool GetUncompressedLengthStream(strings::ByteSource* compressed,
                                   size_t* result) override {
    uint32 length = 0;
    const bool ok = Sprock::GetUncompressedLength(compressed, &length);
    *result = length;
    return ok;
  }
};

}  // namespace

util::compression::Compressor* SprockCompressor() {
  return Singleton<SprockCompressorAdaptor>::get();
}
