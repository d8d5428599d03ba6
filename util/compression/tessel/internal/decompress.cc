// Tessel decompression from flat buffers and from byte sources.
#include "util/compression/tessel/internal/decompress.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/logging.h"
#include "base/port.h"
#include "util/compression/incremental_copy.h"
#include "util/compression/tessel/internal/lz77.h"

namespace util {
namespace compression {
namespace tessel {

namespace {

// The most output one compressed byte can stand for: a 25-bit copy code
// yields at most 67 bytes.
constexpr uint64 kMaxExpansion = 22;

// The longest literal code (an escape and the byte itself).
constexpr unsigned kMaxLiteralBits = 10;

// How to read a command from a 32-bit look at the stream, by the look's
// top 8 bits (a literal's whole 8-bit code, or a copy's 3-bit type): two
// bit fields, each taken as (look << shift) >> (32 - width) and kept only
// under its mask, then word = ((field1 + add1) << shift1) | (field2 + add2).
// Decoding without a branch on the command kind matters: literals and
// copies alternate unpredictably.
struct CommandCode {
  uint8 bits;  // length of the whole code
  uint8 shift1, width1, shift2, width2, word_shift1;
  uint32 mask1, mask2;
  uint32 add1, add2;
};

struct CommandCodeTable {
  CommandCode code[256];
};

constexpr CommandCodeTable MakeCommandCodeTable() {
  CommandCodeTable t{};
  for (int top = 0; top < 256; ++top) {
    CommandCode c{};
    c.width1 = c.width2 = 1;  // a shift by 32 - 0 would be undefined
    const int type = top >> 5;
    if (type <= 1) {
      if (top <= 52) {
        c.bits = 8;
        c.add1 = top + 1;
      } else {
        const int n = top - 47;  // bits of length - 1 after the prefix
        c.bits = 8 + n;
        c.shift1 = 8, c.width1 = n, c.mask1 = ~0u, c.add1 = 1;
      }
    } else {
      const int length_bits = type <= 4 ? 2 : type <= 6 ? 3 : 6;
      const int offset_bits = type == 2 || type == 5 ? 10 : type == 3 ? 13 : 16;
      c.bits = 3 + length_bits + offset_bits;
      c.shift1 = 3, c.width1 = length_bits, c.mask1 = ~0u;
      c.add1 = type >= 5 && type <= 6 ? 8 : 4;
      c.word_shift1 = 24;
      c.shift2 = 3 + length_bits, c.width2 = offset_bits, c.mask2 = ~0u;
      c.add2 = 0x800000 + 1;  // the copy flag, and offset = field + 1
    }
    t.code[top] = c;
  }
  return t;
}

constexpr CommandCodeTable kCommandCodes = MakeCommandCodeTable();

// The code lengths alone, by top byte: the next command's position waits
// only on this small table, not on the wider entries.
struct CommandBitsTable {
  uint8 bits[256];
};

constexpr CommandBitsTable MakeCommandBitsTable() {
  CommandBitsTable t{};
  for (int top = 0; top < 256; ++top) t.bits[top] = kCommandCodes.code[top].bits;
  return t;
}

constexpr CommandBitsTable kCommandBits = MakeCommandBitsTable();

// Decodes the command at the top of a 32-bit look at the stream (every
// code is at most 25 bits) and stores the length of its code in *code_bits.
inline unsigned DecodeCommandLook(uint32 look, uint32* code_bits) {
  const CommandCode& c = kCommandCodes.code[look >> 24];
  const uint32 field1 = ((look << c.shift1) >> (32 - c.width1)) & c.mask1;
  const uint32 field2 = ((look << c.shift2) >> (32 - c.width2)) & c.mask2;
  *code_bits = kCommandBits.bits[look >> 24];
  return ((field1 + c.add1) << c.word_shift1) | (field2 + c.add2);
}

// Decodes one command from a flat stream.
inline unsigned DecodeCommand(ReadBits* bits) {
  uint32 code_bits;
  const unsigned command = DecodeCommandLook(bits->Peek32(), &code_bits);
  bits->Consume(code_bits);
  return command;
}

// The entries of the 10-bit literal codes, which name their byte directly
// and so are the same in every literal table.
struct TenBitEntries {
  uint16 entry[256];
};

constexpr TenBitEntries MakeTenBitEntries() {
  TenBitEntries t{};
  for (int i = 0; i < 256; ++i) t.entry[i] = static_cast<uint16>(i | 10 << 8);
  return t;
}

constexpr TenBitEntries kTenBitEntries = MakeTenBitEntries();

// A literal code's byte and length (6, 8 or 10 bits), indexed by the next
// 10 bits of the stream: byte | length << 8.
class LiteralTable {
 public:
  // Built once per coded block, so it is filled in runs: each 6-bit code
  // owns 16 entries and each 8-bit code 4.
  LiteralTable(const uint8* best, const uint8* next_best) {
    for (uint32 x = 0; x < 32; ++x) {
      Fill(&entry_[x * 16], 16, best[x] | 6 << 8);
    }
    for (uint32 k = 0; k < 64; ++k) {
      Fill(&entry_[512 + k * 4], 4, next_best[k] | 8 << 8);
    }
    memcpy(&entry_[768], kTenBitEntries.entry, sizeof(kTenBitEntries.entry));
  }

  // Decodes n literal bytes to op: three codes (at most 30 bits) per look
  // at the stream, then a last pair or single.
  ATTRIBUTE_ALWAYS_INLINE void Decode(ReadBits* bits, char* op,
                                      uint32 n) const {
    for (; n >= 3; n -= 3) {
      const uint32 look = bits->Peek32();
      const uint32 pair_bits = DecodePair(look, op);
      const uint32 c = entry_[(look << pair_bits) >> 22];
      op[2] = static_cast<char>(c);
      op += 3;
      bits->Consume(pair_bits + (c >> 8));
    }
    if (n == 2) {
      bits->Consume(DecodePair(bits->Peek32(), op));
    } else if (n == 1) {
      const uint32 a = entry_[bits->Peek32() >> 22];
      *op = static_cast<char>(a);
      bits->Consume(a >> 8);
    }
  }

 private:
  // Decodes the two codes at the top of a 32-bit look at the stream and
  // returns their length. The second code starts 6, 8 or 10 bits after the
  // first: all three places are looked up while the first is decoded.
  uint32 DecodePair(uint32 look, char* op) const {
    const uint32 a = entry_[look >> 22];
    const uint32 b6 = entry_[(look >> 16) & 1023];
    const uint32 b8 = entry_[(look >> 14) & 1023];
    const uint32 b10 = entry_[(look >> 12) & 1023];
    const uint32 a_bits = a >> 8;
    const uint32 b = a_bits == 6 ? b6 : a_bits == 8 ? b8 : b10;
    op[0] = static_cast<char>(a);
    op[1] = static_cast<char>(b);
    return a_bits + (b >> 8);
  }

  static void Fill(uint16* p, int n, uint32 value) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint16>(value);
  }

  uint16 entry_[1024];
};

inline uint32 BigEndianLoad32(const char* p) {
  return __builtin_bswap32(UNALIGNED_LOAD32(p));
}

inline unsigned LittleEndianLoad16(const char* p) {
  return UNALIGNED_LOAD16(p);
}

// Parses the length header; returns the bytes it takes, or 0 when it is
// malformed. The header holds at most 4 length bytes and a length below
// 2^31.
size_t ParseHeader(const char* p, size_t n, size_t* length) {
  if (n == 0) return 0;
  const unsigned count = static_cast<uint8>(p[0]);
  if (count > 4 || n < count + 1) return 0;
  uint64 value = 0;
  for (unsigned i = 0; i < count; ++i) {
    value |= static_cast<uint64>(static_cast<uint8>(p[1 + i])) << (8 * i);
  }
  if (value >= (uint64{1} << 31)) return 0;
  *length = value;
  return count + 1;
}

// ---- Command decoding kernels -----------------------------------------------

// Bytes that hold the word being read and the one after it.
constexpr size_t kTwoWords = 16;

// The 64 bits from bit pos on of the word stream at input; the word holding
// pos and the one after it must be readable.
inline uint64 WindowAt(const char* input, uint64 pos) {
  const char* w = input + 8 * (pos >> 6);
  const unsigned shift = pos & 63;
  return (LittleEndianLoad64(w) << shift) |
         ((LittleEndianLoad64(w + 8) >> 1) >> (63 - shift));
}

// Decodes commands [i, n) of the word stream at input, of which `words`
// words are readable, from bit *pos on, while the word holding the position
// and the one after it are both readable: two commands per step from one
// 64-bit window (two codes take at most 50 bits), so no branch on word
// boundaries, then a last odd one. Returns the index of the first command
// left undecoded; *pos is advanced past the decoded ones.
inline unsigned DecodeCommandWindows(const char* input, size_t words,
                                     uint64* pos, unsigned* commands,
                                     unsigned i, unsigned n) {
  uint64 p = *pos;
  if (i + 2 <= n && (p >> 6) + 3 <= words) {
    // While three words remain the window is carried from pair to pair:
    // shifted by the bits the pair used and refilled from the 64 bits that
    // follow it, which are loaded while the pair decodes. The chain from
    // one pair to the next is then the two code-length lookups and a
    // shift, not a load at the new position.
    uint64 window = WindowAt(input, p);
    do {
      const uint64 following = WindowAt(input, p + 64);
      uint32 bits1, bits2;
      commands[i] =
          DecodeCommandLook(static_cast<uint32>(window >> 32), &bits1);
      commands[i + 1] = DecodeCommandLook(
          static_cast<uint32>((window << bits1) >> 32), &bits2);
      // Every code is at least 8 bits, so 16 <= used <= 50.
      const uint32 used = bits1 + bits2;
      window = (window << used) | (following >> (64 - used));
      p += used;
      i += 2;
    } while (i + 2 <= n && (p >> 6) + 3 <= words);
  }
  for (; i + 2 <= n && (p >> 6) + 2 <= words; i += 2) {
    const uint64 window = WindowAt(input, p);
    uint32 bits1, bits2;
    commands[i] = DecodeCommandLook(static_cast<uint32>(window >> 32), &bits1);
    commands[i + 1] =
        DecodeCommandLook(static_cast<uint32>((window << bits1) >> 32), &bits2);
    p += bits1 + bits2;
  }
  if (i + 1 == n && (p >> 6) + 2 <= words) {
    uint32 bits1;
    commands[i++] = DecodeCommandLook(
        static_cast<uint32>(WindowAt(input, p) >> 32), &bits1);
    p += bits1;
  }
  *pos = p;
  return i;
}

// Decodes n commands from `used` bits into the (whole) word at `word` on,
// through ReadBits, which reads zeros past end and fails when it consumes
// them. Returns where the stream ends, or null.
const char* DecodeCommandsToEnd(const char* word, int used, const char* end,
                                unsigned* commands, unsigned n) {
  ReadBits bits;
  bits.StartAt(word, used, end);
  for (unsigned i = 0; i < n; ++i) {
    commands[i] = DecodeCommand(&bits);
  }
  return bits.Stop();
}

// ---- Command execution, shared by the flat and the stream decoder -----------

// Output written in place: [start, op) is produced, limit is the end.
struct FlatOutput {
  size_t Room() const { return limit - op; }
  bool AppendCopy(size_t offset, size_t length) {
    return AppendCopyToFlatOutput(start, &op, limit, offset, length);
  }

  char* start;
  char* op;
  char* limit;
};

// A copy from the previous block that the one-move path leaves (one that
// straddles both blocks, is longer than 64 bytes, starts fewer than 64
// bytes before this block or comes near its end), or an invalid one. Takes
// and returns the position (null when the copy fails), so that the caller's
// copy of it never has its address taken.
ATTRIBUTE_NOINLINE char* AppendCopyThroughWriter(Writer* writer, char* op,
                                                 size_t offset, size_t length) {
  writer->set_position(op);
  if (!writer->AppendFromSelf(offset, length)) return nullptr;
  return writer->position();
}

// The writer's current block, written in place like a flat output. Copies
// reaching back before it read from the previous block, which lies apart.
struct WriterOutput : FlatOutput {
  explicit WriterOutput(Writer* w)
      : FlatOutput{w->start(), w->position(), w->limit()}, writer(w) {
    if (const MemBlock* previous = w->previous()) {
      const size_t length = previous->length();
      previous_shift = reinterpret_cast<uintptr_t>(previous->data() + length) -
                       reinterpret_cast<uintptr_t>(start);
      previous_span = length >= 64 ? length - 63 : 0;
    }
  }

  bool AppendCopy(size_t offset, size_t length) {
    // Copies from far enough back take one 64-byte move, from this block
    // or the previous one. The source is chosen without a branch: the two
    // mix unpredictably near the start of a block.
    const size_t written = op - start;
    const size_t back = offset - written;  // bytes before this block
    const bool in_block = offset - 1 < written;
    const uintptr_t source = reinterpret_cast<uintptr_t>(op) - offset +
                             (previous_shift & (uintptr_t{0} - !in_block));
    // 16 bytes back in this block (as in AppendCopyToFlatOutput), or 64 to
    // the previous block's length back from its end.
    const bool far =
        (in_block & (offset >= 16)) | (!in_block & (back - 64 < previous_span));
    if (PREDICT_TRUE(far & (length <= 64) & (Room() >= 64))) {
      CopyUpTo64(reinterpret_cast<const char*>(source), op, length);
      op += length;
      return true;
    }
    if (FlatOutput::AppendCopy(offset, length)) return true;
    char* const after = AppendCopyThroughWriter(writer, op, offset, length);
    if (after == nullptr) return false;
    op = after;
    return true;
  }

  Writer* writer;
  // The previous block's end less start; and its length less 63, so that
  // back - 64 < previous_span means 64 <= back <= its length (0: none).
  uintptr_t previous_shift = 0;
  size_t previous_span = 0;
};

// The state of a raw literal run being copied: from [ip, limit) to op.
struct RawCursor {
  const char* ip;
  const char* limit;
  char* op;
};

// Where literal runs go on when they reach past the input at hand: a flat
// input has nothing more. A raw run past its end fails; a bit stream reads
// zeros past it, which its check when it stops refuses.
struct FlatInput {
  bool Covers(const ReadBits&, unsigned) const { return true; }
  void DecodeAcross(const LiteralTable&, ReadBits*, char*, unsigned) const {}
  bool AppendAcross(unsigned, RawCursor*) const { return false; }
};

// Literal bytes stored raw, copied from the input at hand.
template <class Input>
class RawLiterals {
 public:
  RawLiterals(const char* ip, const char* limit, Input input)
      : ip_(ip), limit_(limit), input_(input) {}
  const char* ip() const { return ip_; }

  template <class Output>
  bool Append(unsigned n, Output* out) {
    const size_t room = out->Room(), left = limit_ - ip_;
    if (n > room) return false;
    if (PREDICT_FALSE(n > left)) {
      RawCursor cursor{ip_, limit_, out->op};  // see ExecuteCommands
      const bool ok = input_.AppendAcross(n, &cursor);
      ip_ = cursor.ip;
      limit_ = cursor.limit;
      out->op = cursor.op;
      return ok;
    }
    if (n <= 64 && room >= 64 && left >= 64) {
      CopyUpTo64(ip_, out->op, n);  // short runs: fixed moves, no call
    } else if (n <= 16 && room >= 16 && left >= 16) {
      UnalignedCopy128(ip_, out->op);
    } else {
      memcpy(out->op, ip_, n);
    }
    out->op += n;
    ip_ += n;
    return true;
  }

 private:
  const char* ip_;
  const char* limit_;
  Input input_;
};

// Literal bytes coded with the block's prefix code, read from a bit stream
// that the caller starts and stops.
template <class Input>
class CodedLiterals {
 public:
  CodedLiterals(const LiteralTable* table, Input input)
      : table_(table), input_(input) {}
  ReadBits* bits() { return &bits_; }

  template <class Output>
  bool Append(unsigned n, Output* out) {
    if (n > out->Room()) return false;
    if (PREDICT_TRUE(input_.Covers(bits_, n))) {
      table_->Decode(&bits_, out->op, n);
    } else {
      // The slow path gets a copy: see ExecuteCommands.
      ReadBits bits = bits_;
      input_.DecodeAcross(*table_, &bits, out->op, n);
      bits_ = bits;
    }
    out->op += n;
    return true;
  }

 private:
  const LiteralTable* table_;
  ReadBits bits_;
  Input input_;
};

// Runs one block's commands: copies of earlier output and literal runs.
// False at the first one the output or the input cannot hold. The loop
// works on local copies of the output and literal state, whose addresses
// never leave it (the slow paths out of line get copies in turn): the
// bytes it stores through char pointers then cannot alias them, and they
// stay in registers.
template <class Output, class Literals>
ATTRIBUTE_ALWAYS_INLINE inline bool ExecuteCommands(const unsigned* commands,
                                                    unsigned count,
                                                    Output* output,
                                                    Literals* literals) {
  Output out = *output;
  Literals in = *literals;
  bool ok = true;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned c = commands[i];
    if (CommandIsCopy(c)) {
      ok = out.AppendCopy(CommandCopyOffset(c), CommandCopyLength(c));
    } else {
      ok = in.Append(c, &out);
    }
    if (PREDICT_FALSE(!ok)) break;
  }
  *output = out;
  *literals = in;
  return ok;
}

}  // namespace

// ---- Command buffer -------------------------------------------------------

unsigned* Tessel::DecompressorState::ReallocateCommands(int n) {
  if (commands_ == nullptr || capacity_ < n) {
    delete[] commands_;
    capacity_ = std::max(n, 1);
    commands_ = new unsigned[capacity_];
  }
  return commands_;
}

// ---- Command and mask decoding ---------------------------------------------

// The section is whole 64-bit words, each read from its top bit down. While
// two words remain, commands are decoded two at a time from 64-bit windows;
// the last words go through ReadBits.
const char* DecompressCommands(const char* input, const char* end,
                               unsigned commands_size, unsigned* commands) {
  const size_t words = static_cast<size_t>(end - input) / 8;
  uint64 pos = 0;  // bits consumed
  const unsigned i =
      DecodeCommandWindows(input, words, &pos, commands, 0, commands_size);
  if (i == commands_size) {
    // Where a reader that consumed pos bits would stop: after the word
    // holding the next unread bit, or after the last word finished.
    return input + 8 * (pos == 0 ? 1 : (pos + 63) / 64);
  }
  return DecodeCommandsToEnd(input + 8 * (pos >> 6), pos & 63, end,
                             commands + i, commands_size - i);
}

// The windows run on the bytes at hand; when fewer than two words are left
// there, the reader stitches the word being read to the bytes after it.
// Only where the source ends within two words does ReadBits take over.
bool DecompressCommandsStream(Reader* reader, unsigned commands_size,
                              unsigned* commands) {
  // The first word is there even when there are no commands.
  if (!reader->Ensure(8)) return false;
  if (commands_size == 0) {
    reader->set_ip(reader->ip() + 8);
    return true;
  }
  unsigned i = 0;
  uint64 pos = 0;  // bits consumed of the (whole) word at reader->ip()
  for (;;) {
    const char* word = reader->ip();
    const size_t words = static_cast<size_t>(reader->limit() - word) / 8;
    i = DecodeCommandWindows(word, words, &pos, commands, i, commands_size);
    reader->set_ip(word + 8 * (pos >> 6));
    pos &= 63;
    if (i == commands_size) break;
    if (!reader->Ensure(kTwoWords)) {
      const char* end = DecodeCommandsToEnd(reader->ip(), pos, reader->limit(),
                                            commands + i, commands_size - i);
      if (end == nullptr) return false;
      reader->set_ip(end);
      return true;
    }
  }
  // The stream ends after the word holding its last bit.
  if (pos > 0) reader->set_ip(reader->ip() + 8);
  return true;
}

const char* DecompressMask(uint32 mask_word, const char* input, uint8* best,
                           uint8* next_best) {
  // The values with 6- or 8-bit codes, in increasing order: exactly 96.
  uint8 listed[96];
  int count = 0;
  for (int group = 0; group < 32; ++group) {
    if ((mask_word & (uint32{1} << (31 - group))) == 0) continue;
    const uint8 members = static_cast<uint8>(*input++);
    for (int l = 0; l < 8; ++l) {
      if ((members & (0x80 >> l)) == 0) continue;
      if (count == 96) return nullptr;
      listed[count++] = static_cast<uint8>(group * 8 + l);
    }
  }
  if (count != 96) return nullptr;
  // One bit per listed value: 1 for a 6-bit code, 0 for an 8-bit code.
  int best_count = 0, next_best_count = 0;
  for (int k = 0; k < 96; ++k) {
    const bool six_bits = (static_cast<uint8>(input[k / 8]) & (0x80 >> (k % 8))) != 0;
    if (six_bits) {
      if (best_count == 32) return nullptr;
      best[best_count++] = listed[k];
    } else {
      if (next_best_count == 64) return nullptr;
      next_best[next_best_count++] = listed[k];
    }
  }
  // 96 values split with at most 32 and 64: exactly 32 and 64.
  return input + 12;
}

void IncrementalCopy(const char* source, char* destination, int length) {
  CHECK(length > 0);
  util::compression::IncrementalCopy(source, destination, length);
}

void IncrementalCopyFastPath(const char* source, char* destination,
                             int length) {
  util::compression::IncrementalCopyFastPath(source, destination, length);
}

// ---- Flat decompression ------------------------------------------------------

bool Tessel::GetUncompressedLength(const StringPiece& compressed,
                                   size_t* result) {
  return ParseHeader(compressed.data(), compressed.size(), result) != 0;
}

bool Tessel::Uncompress(const StringPiece& compressed, std::string* output) {
  size_t length;
  if (!GetUncompressedLength(compressed, &length)) return false;
  if (length > output->max_size()) return false;
  // Refuse before allocating: no stream can expand more than this.
  if (length > static_cast<uint64>(compressed.size()) * kMaxExpansion) {
    return false;
  }
  output->resize(length);
  return RawUncompress(compressed.data(), compressed.size(), &(*output)[0],
                       length);
}

bool Tessel::RawUncompress(const char* compressed, size_t compressed_length,
                           char* output, size_t output_length) {
  size_t length;
  const size_t header = ParseHeader(compressed, compressed_length, &length);
  if (header == 0 || length != output_length) return false;
  return InternalRawUncompress(compressed + header, compressed_length - header,
                               output, output_length);
}

namespace {

// Raw content: literal bytes straight from the input. Returns the position
// after them, or null.
const char* ExecuteRawFlat(const unsigned* commands, unsigned count,
                           const char* ip, const char* end, FlatOutput* out) {
  RawLiterals<FlatInput> literals(ip, end, FlatInput());
  if (!ExecuteCommands(commands, count, out, &literals)) return nullptr;
  return literals.ip();
}

// Coded content: the mask, then the literal bytes as a bit stream. Returns
// the position after the stream, or null.
const char* ExecuteCodedFlat(uint32 marker, const unsigned* commands,
                             unsigned count, const char* ip, const char* end,
                             FlatOutput* out) {
  if (static_cast<size_t>(end - ip) < __builtin_popcount(marker) + 12u) {
    return nullptr;
  }
  uint8 best[32], next_best[64];
  ip = DecompressMask(marker, ip, best, next_best);
  if (ip == nullptr || end - ip < 8) return nullptr;
  const LiteralTable table(best, next_best);
  CodedLiterals<FlatInput> literals(&table, FlatInput());
  literals.bits()->Start(ip, end);
  if (!ExecuteCommands(commands, count, out, &literals)) return nullptr;
  return literals.bits()->Stop();
}

}  // namespace

bool Tessel::InternalRawUncompress(const char* ip, size_t length,
                                   char* output, size_t output_length) {
  if (decompressor_state_ == nullptr) {
    decompressor_state_ = new DecompressorState;
  }
  const char* const end = ip + length;
  FlatOutput out{output, output, output + output_length};
  while (ip < end) {
    // A count and at least one word of commands.
    if (end - ip < 10) return false;
    const unsigned count = LittleEndianLoad16(ip);
    ip += 2;
    unsigned* commands = decompressor_state_->ReallocateCommands(count);
    ip = DecompressCommands(ip, end, count, commands);
    if (ip == nullptr || end - ip < 4) return false;
    const uint32 marker = BigEndianLoad32(ip);
    ip += 4;
    ip = marker == 0 ? ExecuteRawFlat(commands, count, ip, end, &out)
                     : ExecuteCodedFlat(marker, commands, count, ip, end, &out);
    if (ip == nullptr) return false;
  }
  return ip == end && out.op == out.limit;
}

// ---- Stream decompression ----------------------------------------------------

Reader::Reader(strings::ByteSource* source) : source_(source) {
  const StringPiece fragment = source_->Peek();
  fragment_ = fragment.data();
  fragment_size_ = fragment.size();
  ip_ = fragment_;
  limit_ = fragment_ + fragment_size_;
  limit_offset_ = fragment_size_;
}

Reader::~Reader() {
  // Of the bytes at hand, those before ip_ that are the fragment's are read.
  const size_t unread = limit_ - ip_;
  source_->Skip(unread < limit_offset_ ? limit_offset_ - unread : 0);
}

size_t Reader::NextFragment() {
  source_->Skip(fragment_size_);
  const StringPiece fragment = source_->Peek();
  fragment_ = fragment.data();
  fragment_size_ = fragment.size();
  return fragment_size_;
}

bool Reader::EnsureSlow(size_t n) {
  DCHECK(n <= kStitchSize);
  size_t have = limit_ - ip_;
  if (have <= limit_offset_) {
    // What is at hand lies in the fragment: go on reading it in place.
    ip_ = fragment_ + (limit_offset_ - have);
    limit_ = fragment_ + fragment_size_;
    limit_offset_ = fragment_size_;
    have = limit_ - ip_;
    if (have >= n) return true;
  }
  // Stitch what is at hand to the bytes after it. Whole fragments copied
  // are consumed; the last one stays, its first bytes ending the buffer.
  if (have > 0) memmove(stitch_, ip_, have);
  size_t offset = limit_offset_;  // the fragment's next byte to copy
  while (have < n) {
    if (offset == fragment_size_) {
      offset = 0;
      if (NextFragment() == 0) break;
    }
    const size_t k = std::min(n - have, fragment_size_ - offset);
    memcpy(stitch_ + have, fragment_ + offset, k);
    have += k;
    offset += k;
  }
  ip_ = stitch_;
  limit_ = stitch_ + have;
  limit_offset_ = offset;
  return have >= n;
}

bool Reader::NextBytes() {
  DCHECK(ip_ == limit_);
  size_t offset = limit_offset_;
  if (offset == fragment_size_) {
    offset = 0;
    NextFragment();
  }
  ip_ = fragment_ + offset;
  limit_ = fragment_ + fragment_size_;
  limit_offset_ = fragment_size_;
  return ip_ != limit_;
}

bool Reader::Eof() const {
  // Unread: the fragment's bytes after limit_offset_, and later fragments.
  return ip_ == limit_ && source_->Available() == limit_offset_;
}

Writer::~Writer() {
  delete current_;
  delete previous_;
}

void Writer::Initialize(strings::ByteSink* sink, char* buffer, size_t length) {
  sink_ = sink;
  remaining_ = length;
  if (buffer != nullptr) {
    flat_ = true;
    start_ = position_ = buffer;
    limit_ = buffer + length;
  } else {
    AllocateBlock();
  }
}

void Writer::AllocateBlock() {
  remaining_ -= Written();
  if (previous_ != nullptr) sink_->AppendMemBlock(previous_);
  previous_ = current_;
  const size_t size = std::min<uint64>(Tessel::kBlockSize, remaining_);
  current_ = new NewedMemBlock(size);
  start_ = position_ = current_->data();
  limit_ = start_ + size;
}

void Writer::MaybeFinishBlock() {
  if (!flat_ && position_ == limit_) AllocateBlock();
}

void Writer::Append(const char* source, size_t source_available, size_t n) {
  if (n <= 16 && source_available >= 16 && limit_ - position_ >= 16) {
    UnalignedCopy128(source, position_);
  } else {
    memcpy(position_, source, n);
  }
  position_ += n;
}

bool Writer::AppendFromSelf(size_t offset, size_t length) {
  if (offset == 0) return false;
  const size_t written = Written();
  if (offset <= written) {
    return AppendFromSameBlock(offset, length, limit_ - position_);
  }
  // The copy starts in the previous block (a full 64 KiB block in any
  // valid stream; its real length is what bounds the reach).
  const size_t from_previous = offset - written;
  if (previous_ == nullptr || from_previous > previous_->length() ||
      length > static_cast<size_t>(limit_ - position_)) {
    return false;
  }
  const char* source = previous_->data() + previous_->length() - from_previous;
  if (length <= from_previous) {
    Append(source, from_previous, length);
    return true;
  }
  Append(source, from_previous, from_previous);
  // The rest continues from the start of this block.
  return AppendFromSameBlock(offset, length - from_previous,
                             limit_ - position_);
}

bool Writer::AppendFromSameBlock(size_t offset, size_t length, size_t space) {
  DCHECK(space == static_cast<size_t>(limit_ - position_));
  (void)space;
  return AppendCopyToFlatOutput(start_, &position_, limit_, offset, length);
}

void Writer::Flush() {
  remaining_ -= Written();
  if (flat_) {
    sink_->Append(start_, Written());
    start_ = position_;
    return;
  }
  if (previous_ != nullptr) sink_->AppendMemBlock(previous_);
  previous_ = nullptr;
  if (current_ != nullptr) {
    current_->set_view(current_->data(), Written());
    sink_->AppendMemBlock(current_);
    current_ = nullptr;
  }
  start_ = position_ = limit_ = nullptr;
}

bool Writer::OnError() {
  Flush();
  return false;
}

bool Tessel::GetUncompressedLengthStream(strings::ByteSource* compressed,
                                         size_t* result) {
  Reader reader(compressed);
  const char* count = reader.Read(1);
  if (count == nullptr) return false;
  const unsigned n = static_cast<uint8>(*count);
  if (n > 4) return false;
  char header[5];
  header[0] = static_cast<char>(n);
  if (n > 0) {
    const char* bytes = reader.Read(n);
    if (bytes == nullptr) return false;
    memcpy(header + 1, bytes, n);
  }
  return ParseHeader(header, n + 1, result) != 0;
}

bool Tessel::UncompressStream(strings::ByteSource* source,
                              strings::ByteSink* sink) {
  size_t length;
  if (!GetUncompressedLengthStream(source, &length)) return false;
  return InternalRawUncompressStream(source, sink, length);
}

namespace {

// Decodes n literal codes that may reach past the bits at hand: as many as
// surely lie in them, then on from the word being read, stitched to the
// bytes after it. Where the source ends within two words, the rest reads
// zeros past its end and sets the error, as the flat decoder's do.
ATTRIBUTE_NOINLINE void DecodeLiteralsAcross(Reader* reader,
                                             const LiteralTable& table,
                                             ReadBits* bits, char* op,
                                             unsigned n) {
  while (n > 0) {
    const uint64 sure = bits->BitsLeft() / kMaxLiteralBits;
    if (sure > 0 || bits->error()) {
      const unsigned k =
          bits->error() ? n : static_cast<unsigned>(std::min<uint64>(n, sure));
      table.Decode(bits, op, k);
      op += k;
      n -= k;
      continue;
    }
    const int used = bits->used();
    reader->set_ip(bits->word());
    const bool more = reader->Ensure(kTwoWords);
    bits->StartAt(reader->ip(), used, reader->limit());
    if (!more) {
      table.Decode(bits, op, n);
      return;
    }
  }
}

// Copies a raw run of n bytes that goes past the bytes at hand on from the
// following fragments. False when the source ends first, with what it had
// copied.
ATTRIBUTE_NOINLINE bool AppendRawAcross(Reader* reader, unsigned n,
                                        RawCursor* cursor) {
  for (;;) {
    const size_t k = std::min<size_t>(n, cursor->limit - cursor->ip);
    if (k > 0) {
      memcpy(cursor->op, cursor->ip, k);
      cursor->op += k;
      cursor->ip += k;
      n -= k;
    }
    if (n == 0) return true;
    reader->set_ip(cursor->ip);
    if (!reader->NextBytes()) return false;
    cursor->ip = reader->ip();
    cursor->limit = reader->limit();
  }
}

// Where literal runs go on when they reach past the bytes at hand: into the
// source's next fragments. The slow paths get the reader, not this object,
// so that the literal state holding it never has its address taken.
class FragmentInput {
 public:
  explicit FragmentInput(Reader* reader) : reader_(reader) {}
  // Whether n codes surely lie in the bits at hand.
  bool Covers(const ReadBits& bits, unsigned n) const {
    return uint64{kMaxLiteralBits} * n <= bits.BitsLeft();
  }
  void DecodeAcross(const LiteralTable& table, ReadBits* bits, char* op,
                    unsigned n) const {
    DecodeLiteralsAcross(reader_, table, bits, op, n);
  }
  bool AppendAcross(unsigned n, RawCursor* cursor) const {
    return AppendRawAcross(reader_, n, cursor);
  }

 private:
  Reader* reader_;
};

// Runs one block's commands into the writer's current block.
template <class Literals>
bool ExecuteOnWriter(const unsigned* commands, unsigned count,
                     Literals* literals, Writer* writer) {
  WriterOutput out(writer);
  const bool ok = ExecuteCommands(commands, count, &out, literals);
  writer->set_position(out.op);
  return ok;
}

// Raw content: literal bytes copied from the fragments in place.
bool ExecuteRawStream(const unsigned* commands, unsigned count, Reader* reader,
                      Writer* writer) {
  RawLiterals<FragmentInput> literals(reader->ip(), reader->limit(),
                                      FragmentInput(reader));
  const bool ok = ExecuteOnWriter(commands, count, &literals, writer);
  reader->set_ip(literals.ip());
  return ok;
}

// Coded content: the mask, then the literal bytes as a bit stream of at
// least one word.
bool ExecuteCodedStream(uint32 marker, const unsigned* commands, unsigned count,
                        Reader* reader, Writer* writer) {
  const char* mask = reader->Read(__builtin_popcount(marker) + 12);
  if (mask == nullptr) return false;
  uint8 best[32], next_best[64];
  if (DecompressMask(marker, mask, best, next_best) == nullptr) return false;
  const LiteralTable table(best, next_best);
  CodedLiterals<FragmentInput> literals(&table, FragmentInput(reader));
  if (reader->Ensure(8)) {
    literals.bits()->Start(reader->ip(), reader->limit());
  } else {
    literals.bits()->StartPastEnd();  // decoded to the end, then refused
  }
  if (!ExecuteOnWriter(commands, count, &literals, writer)) return false;
  const char* end = literals.bits()->Stop();
  if (end == nullptr) return false;
  reader->set_ip(end);
  return true;
}

}  // namespace

bool Tessel::InternalRawUncompressStream(strings::ByteSource* source,
                                         strings::ByteSink* sink,
                                         size_t length) {
  // One buffer of the whole length when the sink lends it; blocks
  // otherwise.
  char one_byte;
  size_t allocated = 0;
  char* buffer = sink->GetAppendBuffer(1, std::max<size_t>(length, 1),
                                       &one_byte, 1, &allocated);
  Writer writer;
  writer.Initialize(sink, allocated >= length ? buffer : nullptr, length);

  Reader reader(source);
  if (decompressor_state_ == nullptr) {
    decompressor_state_ = new DecompressorState;
  }
  for (;;) {
    if (reader.Eof()) {
      writer.Flush();
      return writer.CheckLength();
    }
    const char* count_bytes = reader.Read(2);
    if (count_bytes == nullptr) return writer.OnError();
    const unsigned count = LittleEndianLoad16(count_bytes);
    unsigned* commands = decompressor_state_->ReallocateCommands(count);
    if (!DecompressCommandsStream(&reader, count, commands)) {
      return writer.OnError();
    }
    const char* marker_bytes = reader.Read(4);
    if (marker_bytes == nullptr) return writer.OnError();
    const uint32 marker = BigEndianLoad32(marker_bytes);
    if (count != 0) writer.MaybeFinishBlock();
    const bool ok =
        marker == 0
            ? ExecuteRawStream(commands, count, &reader, &writer)
            : ExecuteCodedStream(marker, commands, count, &reader, &writer);
    if (!ok) return writer.OnError();
  }
}

}  // namespace tessel
}  // namespace compression
}  // namespace util
