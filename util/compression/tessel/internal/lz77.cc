// The Tessel command generator. Sections, top to bottom: hashing; buffers
// and the hash table; emitting commands; the parser.
#include "util/compression/tessel/internal/lz77.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"
#include "base/port.h"

namespace util {
namespace compression {
namespace tessel {

// ===========================================================================
// Hashing: a multiplicative hash of 4 little-endian bytes, keeping the top
// bits of the product (shift = 32 - table bits).
// ===========================================================================

namespace {

inline uint32 HashBytes(uint32 bytes, int shift) {
  constexpr uint32 kMul = 0x1E35A7BD;
  return (bytes * kMul) >> shift;
}

inline uint32 Hash(const char* p, int shift) {
  return HashBytes(LittleEndianLoad32(p), shift);
}

// The 4 bytes that start offset bytes into the 8 bytes v was loaded from.
inline uint32 GetUint32AtOffset(uint64 v, int offset) {
  DCHECK(0 <= offset && offset <= 4) << offset;
  return static_cast<uint32>(v >> (8 * offset));
}

inline const uint8* Bytes(const char* p) {
  return reinterpret_cast<const uint8*>(p);
}

// Where the bytes a hash table entry q names lie, seen from position pos of
// the block at input. A position behind pos is in this block. One at or past
// pos cannot have been stored by this block yet, so the previous block left
// it and it is read there. Without a previous block such an entry (from a
// table nobody reset) names nothing and the probe misses. Every candidate is
// verified by comparing bytes, so a wrong guess costs only the compare.
inline bool FindCandidate(uint32 q, uint32 pos, const char* input,
                          const char* prev_block, const char** candidate,
                          bool* in_prev) {
  if (PREDICT_TRUE(q < pos)) {
    *candidate = input + q;
    *in_prev = false;
    return true;
  }
  if (prev_block == nullptr) return false;
  *candidate = prev_block + q;
  *in_prev = true;
  return true;
}

}  // namespace

// ===========================================================================
// Buffers and the hash table
// ===========================================================================

LZ77::LZ77(int n)
    : content_(new char[MaxCompressedContentSize(std::max(n, 0))]),
      commands_(new unsigned[MaxCompressedCommandsSize(std::max(n, 0))]),
      hash_table_(new uint16[size_t{1} << HashTableBits(n)]()),
      bits_(HashTableBits(n)),
      capacity_(std::max(n, 0)) {
  CHECK_GE(n, 0);
}

LZ77::~LZ77() {
  delete[] content_;
  delete[] commands_;
  delete[] hash_table_;
}

int LZ77::HashTableBits(int n) {
  return std::min(15, bits::Log2FloorNonZero(static_cast<uint32>(n) | 256));
}

void LZ77::ResetHashTable(int n) {
  // A larger block would need a larger table than the one allocated.
  CHECK_LE(static_cast<size_t>(n), capacity_);
  bits_ = HashTableBits(n);
  memset(hash_table_, 0, sizeof(*hash_table_) << bits_);
}

// ===========================================================================
// Emitting commands
// ===========================================================================

// Both emitters are inline: they run once per command of the parser's hot
// loop.
inline char* LZ77::EmitLiteral(const char* literal, int len,
                               bool allow_fast_path, char* content,
                               unsigned* command) {
  CHECK_GE(len, 1);
  CHECK_LE(len, kBlockSize);
  *command = static_cast<unsigned>(len);
  if (allow_fast_path && len <= 64) {
    // 16-byte moves; bytes past len are overwritten by the next run, or lie
    // unused. The caller guarantees 15 readable bytes past the literal.
    UnalignedCopy128(literal, content);
    for (int i = 16; i < len; i += 16) {
      UnalignedCopy128(literal + i, content + i);
    }
  } else {
    memcpy(content, literal, len);
  }
  return content + len;
}

inline void LZ77::EmitCopy(unsigned offset, unsigned length,
                           unsigned** commands) {
  CHECK_LE(offset, 1u << 16);
  DCHECK_GE(length, 4u);
  const unsigned word = CommandCopy(0, offset);
  unsigned* cp = *commands;
  // 64-byte pieces while more than 67 bytes remain, so that the last piece
  // keeps at least 4 (68 = 64 + 4, 131 = 64 + 67).
  while (PREDICT_FALSE(length > kMaxCopyLength)) {
    *cp++ = word | (64u << 24);
    length -= 64;
  }
  *cp++ = word | (length << 24);
  *commands = cp;
}

void LZ77::EmitCopyForTesting(unsigned offset, unsigned length,
                              unsigned* commands, unsigned* count) {
  unsigned* cp = commands + *count;
  EmitCopy(offset, length, &cp);
  *count = static_cast<unsigned>(cp - commands);
}

// ===========================================================================
// The parser
// ===========================================================================

void LZ77::CompressFragment(const char* input, size_t input_size,
                            const char* prev_block, char** content,
                            unsigned* content_size, unsigned** commands,
                            unsigned* commands_size) {
  CHECK_LE(input_size, kBlockSize);
  CHECK_LE(input_size, capacity_);
  const int shift = 32 - bits_;
  uint16* const table = hash_table_;
  const char* ip = input;
  const char* const ip_end = input + input_size;
  const char* next_emit = input;
  char* op = content_;
  unsigned* cp = commands_;
  // A match into a previous block that lies right before this one runs on
  // into this block in memory; one in a separate buffer switches over.
  const bool prev_is_adjacent =
      prev_block != nullptr && prev_block + kBlockSize == input;

  if (PREDICT_TRUE(input_size >= kInputMarginBytes)) {
    const char* const ip_limit = ip_end - kInputMarginBytes;
    uint32 next_hash = Hash(++ip, shift);
    for (;;) {
      DCHECK(next_emit < ip);
      // Look for a 4-byte match, one probe per position visited. The
      // stride grows by one byte every 32 misses, so incompressible data
      // is crossed quickly.
      uint32 skip = 32;
      const char* next_ip = ip;
      const char* candidate;
      bool in_prev;
      for (;;) {
        ip = next_ip;
        const uint32 hash = next_hash;
        DCHECK(hash == Hash(ip, shift));
        next_ip = ip + (skip++ >> 5);
        if (PREDICT_FALSE(next_ip > ip_limit)) goto emit_remainder;
        next_hash = Hash(next_ip, shift);
        const uint32 pos = static_cast<uint32>(ip - input);
        const uint32 q = table[hash];
        table[hash] = static_cast<uint16>(pos);
        if (FindCandidate(q, pos, input, prev_block, &candidate, &in_prev) &&
            UNALIGNED_LOAD32(candidate) == UNALIGNED_LOAD32(ip)) {
          break;
        }
      }

      DCHECK(next_emit + 16 <= ip_end);
      op = EmitLiteral(next_emit, static_cast<int>(ip - next_emit), true, op,
                       cp++);

      // Emit copies as long as the position after one matches at once.
      for (;;) {
        const char* const base = ip;
        int matched;
        unsigned offset;
        if (!in_prev) {
          // ip <= ip_limit, so the 8 bytes after the 4 known to match can
          // be compared without a bound check; most matches end in them.
          const uint64 difference =
              UNALIGNED_LOAD64(ip + 4) ^ UNALIGNED_LOAD64(candidate + 4);
          matched = PREDICT_TRUE(difference != 0)
                        ? 4 + (bits::FindLSBSetNonZero64(difference) >> 3)
                        : 12 + FindMatchLength(Bytes(candidate + 12),
                                               Bytes(ip + 12), Bytes(ip_end));
          offset = static_cast<unsigned>(base - candidate);
          DCHECK(0 == memcmp(base, candidate, matched));
        } else {
          if (prev_is_adjacent) {
            matched = 4 + FindMatchLength(Bytes(candidate + 4), Bytes(ip + 4),
                                          Bytes(ip_end));
          } else {
            matched =
                4 + MultiBlockFindMatchLength(
                        Bytes(candidate + 4), Bytes(prev_block + kBlockSize),
                        Bytes(input), Bytes(ip + 4), Bytes(ip_end));
          }
          offset = static_cast<unsigned>((base - input) + kBlockSize -
                                         (candidate - prev_block));
        }
        DCHECK(offset <= kBlockSize);
        ip += matched;
        EmitCopy(offset, static_cast<unsigned>(matched), &cp);
        next_emit = ip;
        if (PREDICT_FALSE(ip >= ip_limit)) goto emit_remainder;

        // One 8-byte load serves the positions ip - 3 to ip - 1, which
        // the copy jumped over, and the probe at ip.
        const uint64 v = LittleEndianLoad64(ip - 3);
        const uint32 pos = static_cast<uint32>(ip - input);
        table[HashBytes(GetUint32AtOffset(v, 0), shift)] =
            static_cast<uint16>(pos - 3);
        table[HashBytes(GetUint32AtOffset(v, 1), shift)] =
            static_cast<uint16>(pos - 2);
        table[HashBytes(GetUint32AtOffset(v, 2), shift)] =
            static_cast<uint16>(pos - 1);
        const uint32 bytes = GetUint32AtOffset(v, 3);
        const uint32 hash = HashBytes(bytes, shift);
        const uint32 q = table[hash];
        table[hash] = static_cast<uint16>(pos);
        if (!FindCandidate(q, pos, input, prev_block, &candidate, &in_prev) ||
            UNALIGNED_LOAD32(candidate) != bytes) {
          next_hash = HashBytes(GetUint32AtOffset(v, 4), shift);
          ++ip;
          break;
        }
      }
    }
  }

emit_remainder:
  if (next_emit < ip_end) {
    op = EmitLiteral(next_emit, static_cast<int>(ip_end - next_emit), false, op,
                     cp++);
  }
  *content = content_;
  *content_size = static_cast<unsigned>(op - content_);
  *commands = commands_;
  *commands_size = static_cast<unsigned>(cp - commands_);
}

}  // namespace tessel
}  // namespace compression
}  // namespace util
