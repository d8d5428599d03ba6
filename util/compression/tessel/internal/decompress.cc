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

// Per command type (the first 3 bits of a copy code): the bits of its
// length field, the value added to it, and the bits of its offset field.
const uint16 length_length[8] = {0, 0, 2, 2, 2, 3, 3, 6};
const uint16 length_change[8] = {0, 0, 4, 4, 4, 8, 8, 4};
const uint16 offset_length[8] = {0, 0, 10, 13, 16, 10, 16, 16};

// The most output one compressed byte can stand for: a 25-bit copy code
// yields at most 67 bytes.
constexpr uint64 kMaxExpansion = 22;

// Decodes one command word. Any bits decode to some word; whether it can be
// executed is checked when it is.
template <class BitReader>
inline unsigned DecodeCommand(BitReader* bits) {
  const uint32 type = bits->Read(3);
  if (type <= 1) {
    // Literals: an 8-bit code for lengths up to 53, else a prefix saying
    // how many bits of length - 1 follow.
    const uint32 code = type * 32 + bits->Read(5);
    if (code <= 52) return code + 1;
    return bits->Read(code - 47) + 1;
  }
  const uint32 length = bits->Read(length_length[type]) + length_change[type];
  const uint32 offset = bits->Read(offset_length[type]) + 1;
  return CommandCopy(length, offset);
}

// Decodes one literal byte: 6 bits for the 32 best values, 8 for the next
// 64, 10 (an escape and the value itself) for the rest.
template <class BitReader>
inline uint8 DecodeLiteral(BitReader* bits, const uint8* best,
                           const uint8* next_best) {
  const uint32 x = bits->Read(6);
  if (x < 32) return best[x];
  if (x < 48) return next_best[(x - 32) * 4 + bits->Read(2)];
  return static_cast<uint8>((x - 48) * 16 + bits->Read(4));
}

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
  void Decode(ReadBits* bits, char* op, uint32 n) const {
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

// ---- Bit readers -------------------------------------------------------------

BitStreamReader::BitStreamReader(Reader* reader) : reader_(reader) {
  error_ = !reader_->Read64(&word_);
  bits_left_ = error_ ? 0 : 64;
}

uint32 BitStreamReader::ReadSlow(int n) {
  const int high_bits = bits_left_;
  const uint64 high = high_bits == 0 ? 0 : word_ >> (64 - high_bits);
  uint64 word;
  if (error_ || !reader_->Read64(&word)) {
    error_ = true;
    bits_left_ = 0;
    word_ = 0;
    return 0;
  }
  const int low_bits = n - high_bits;
  word_ = word << low_bits;
  bits_left_ = 64 - low_bits;
  return static_cast<uint32>((high << low_bits) | (word >> (64 - low_bits)));
}

// ---- Command and mask decoding ---------------------------------------------

// The section is whole 64-bit words, each read from its top bit down.
// While two words remain, commands are decoded two at a time from a 64-bit
// window at an absolute bit position: no branch on word boundaries, and
// the second command's look is a shift of the same window (two codes take
// at most 50 bits). The last words go through ReadBits.
const char* DecompressCommands(const char* input, const char* end,
                               unsigned commands_size, unsigned* commands) {
  const size_t words = static_cast<size_t>(end - input) / 8;
  uint64 pos = 0;  // bits consumed
  unsigned i = 0;
  for (; i + 2 <= commands_size && (pos >> 6) + 2 <= words; i += 2) {
    const char* w = input + 8 * (pos >> 6);
    const unsigned shift = pos & 63;
    const uint64 window = (LittleEndianLoad64(w) << shift) |
                          ((LittleEndianLoad64(w + 8) >> 1) >> (63 - shift));
    uint32 bits1, bits2;
    commands[i] = DecodeCommandLook(static_cast<uint32>(window >> 32), &bits1);
    commands[i + 1] = DecodeCommandLook(
        static_cast<uint32>((window << bits1) >> 32), &bits2);
    pos += bits1 + bits2;
  }
  if (i == commands_size) {
    // Where a reader that consumed pos bits would stop: after the word
    // holding the next unread bit, or after the last word finished.
    return input + 8 * (pos == 0 ? 1 : (pos + 63) / 64);
  }
  ReadBits bits;
  bits.Start(input + 8 * (pos >> 6), end);
  const unsigned shift = pos & 63;
  bits.Consume(shift / 2);
  bits.Consume(shift - shift / 2);
  for (; i < commands_size; ++i) {
    commands[i] = DecodeCommand(&bits);
  }
  return bits.Stop();
}

bool DecompressCommandsStream(Reader* reader, unsigned commands_size,
                              unsigned* commands) {
  BitStreamReader bits(reader);
  for (unsigned i = 0; i < commands_size; ++i) {
    commands[i] = DecodeCommand(&bits);
  }
  return !bits.error();
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

bool Tessel::InternalRawUncompress(const char* ip, size_t length,
                                   char* output, size_t output_length) {
  if (decompressor_state_ == nullptr) {
    decompressor_state_ = new DecompressorState;
  }
  const char* const end = ip + length;
  char* op = output;
  char* const op_end = output + output_length;
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

    if (marker == 0) {
      // Raw content: literal bytes straight from the input.
      for (unsigned i = 0; i < count; ++i) {
        const unsigned c = commands[i];
        if (CommandIsCopy(c)) {
          if (!AppendCopyToFlatOutput(output, &op, op_end,
                                      CommandCopyOffset(c),
                                      CommandCopyLength(c))) {
            return false;
          }
        } else {
          const size_t room = op_end - op, left = end - ip;
          if (c > room || c > left) return false;
          if (c <= 64 && room >= 64 && left >= 64) {
            CopyUpTo64(ip, op, c);  // short runs: fixed moves, no call
          } else if (c <= 16 && room >= 16 && left >= 16) {
            UnalignedCopy128(ip, op);
          } else {
            memcpy(op, ip, c);
          }
          op += c;
          ip += c;
        }
      }
      continue;
    }

    // Coded content: the mask, then the literal bytes as a bit stream.
    if (static_cast<size_t>(end - ip) < __builtin_popcount(marker) + 12u) {
      return false;
    }
    uint8 best[32], next_best[64];
    ip = DecompressMask(marker, ip, best, next_best);
    if (ip == nullptr || end - ip < 8) return false;
    const LiteralTable literals(best, next_best);
    ReadBits bits;
    bits.Start(ip, end);
    for (unsigned i = 0; i < count; ++i) {
      const unsigned c = commands[i];
      if (CommandIsCopy(c)) {
        if (!AppendCopyToFlatOutput(output, &op, op_end, CommandCopyOffset(c),
                                    CommandCopyLength(c))) {
          return false;
        }
      } else {
        if (c > static_cast<size_t>(op_end - op)) return false;
        literals.Decode(&bits, op, c);
        op += c;
      }
    }
    ip = bits.Stop();
    if (ip == nullptr) return false;
  }
  return ip == end && op == op_end;
}

// ---- Stream decompression ----------------------------------------------------

Reader::Reader(strings::ByteSource* source) : source_(source) {
  const StringPiece fragment = source_->Peek();
  ip_ = fragment.data();
  limit_ = ip_ + fragment.size();
  fragment_size_ = fragment.size();
}

Reader::~Reader() {
  source_->Skip(fragment_size_ - (limit_ - ip_));
}

void Reader::Reload() {
  source_->Skip(fragment_size_);
  const StringPiece fragment = source_->Peek();
  ip_ = fragment.data();
  limit_ = ip_ + fragment.size();
  fragment_size_ = fragment.size();
}

const char* Reader::ReadSlow(char* scratch, size_t n) {
  size_t copied = 0;
  for (;;) {
    const size_t k = std::min(n - copied, static_cast<size_t>(limit_ - ip_));
    if (k > 0) memcpy(scratch + copied, ip_, k);
    ip_ += k;
    copied += k;
    if (copied == n) return scratch;
    Reload();
    if (fragment_size_ == 0) return nullptr;
  }
}

bool Reader::Read16(unsigned* value) {
  const char* p = Read(scratch_, 2);
  if (p == nullptr) return false;
  *value = LittleEndianLoad16(p);
  return true;
}

bool Reader::Read64(uint64* value) {
  const char* p = Read(scratch_, 8);
  if (p == nullptr) return false;
  *value = LittleEndianLoad64(p);
  return true;
}

bool Reader::Eof() const {
  return ip_ == limit_ && source_->Available() == fragment_size_;
}

bool Reader::AppendTo(Writer* writer, size_t n) {
  while (n > 0) {
    size_t available = limit_ - ip_;
    if (available == 0) {
      Reload();
      if (fragment_size_ == 0) return false;
      available = fragment_size_;
    }
    const size_t k = std::min(n, available);
    writer->Append(ip_, available, k);
    ip_ += k;
    n -= k;
  }
  return true;
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
  char scratch[8];
  const char* count = reader.Read(scratch, 1);
  if (count == nullptr) return false;
  const unsigned n = static_cast<uint8>(*count);
  if (n > 4) return false;
  char header[5];
  header[0] = static_cast<char>(n);
  if (n > 0) {
    const char* bytes = reader.Read(scratch, n);
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
  char scratch[48];
  for (;;) {
    if (reader.Eof()) {
      writer.Flush();
      return writer.CheckLength();
    }
    unsigned count;
    if (!reader.Read16(&count)) return writer.OnError();
    unsigned* commands = decompressor_state_->ReallocateCommands(count);
    if (!DecompressCommandsStream(&reader, count, commands)) {
      return writer.OnError();
    }
    const char* marker_bytes = reader.Read(scratch, 4);
    if (marker_bytes == nullptr) return writer.OnError();
    const uint32 marker = BigEndianLoad32(marker_bytes);
    if (count != 0) writer.MaybeFinishBlock();

    if (marker == 0) {
      for (unsigned i = 0; i < count; ++i) {
        const unsigned c = commands[i];
        if (CommandIsCopy(c)) {
          if (!writer.AppendFromSelf(CommandCopyOffset(c),
                                     CommandCopyLength(c))) {
            return writer.OnError();
          }
        } else if (!writer.CheckAvailable(c) || !reader.AppendTo(&writer, c)) {
          return writer.OnError();
        }
      }
      continue;
    }

    const char* mask =
        reader.Read(scratch, __builtin_popcount(marker) + 12);
    if (mask == nullptr) return writer.OnError();
    uint8 best[32], next_best[64];
    if (DecompressMask(marker, mask, best, next_best) == nullptr) {
      return writer.OnError();
    }
    BitStreamReader bits(&reader);
    for (unsigned i = 0; i < count; ++i) {
      const unsigned c = commands[i];
      if (CommandIsCopy(c)) {
        if (!writer.AppendFromSelf(CommandCopyOffset(c),
                                   CommandCopyLength(c))) {
          return writer.OnError();
        }
      } else {
        if (!writer.CheckAvailable(c)) return writer.OnError();
        for (unsigned k = 0; k < c; ++k) {
          writer.AppendByte(
              static_cast<char>(DecodeLiteral(&bits, best, next_best)));
        }
      }
    }
    if (bits.error()) return writer.OnError();
  }
}

}  // namespace tessel
}  // namespace compression
}  // namespace util
