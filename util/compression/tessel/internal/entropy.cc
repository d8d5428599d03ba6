// The Tessel entropy coder. Sections, top to bottom: constant tables; the
// bit writer; command codes; the content decision; the code mask; blocks.
#include "util/compression/tessel/internal/entropy.h"

#include <algorithm>
#include <cstring>

#include "base/logging.h"
#include "base/port.h"
#include "util/compression/tessel/internal/entropy_code_builder.h"
#include "util/compression/tessel/internal/lz77.h"

namespace util {
namespace compression {
namespace tessel {

// ===========================================================================
// Constant tables
// ===========================================================================

// The class (0: rarely seen, to 15: seen at every kind of sample position)
// of a byte value from the mask of sample bits it was seen with.
const uint8 g_order[32] = {
    0, 3, 2, 7,  2, 7,  5, 11, 2, 7,  5, 11, 5, 11, 9,  14,  //
    1, 6, 4, 10, 4, 10, 8, 13, 4, 10, 8, 13, 8, 13, 12, 15};

// Estimated occurrences, per 43000 content bytes, of one byte value of each
// class. The last entry is replaced per block by what the others leave over.
const int32 kSampleClassWeight[16] = {33,  81,  86,  93,  145, 157, 161, 177,
                                      239, 266, 270, 312, 387, 492, 717, 1000};

// Copy codes, indexed by (floor(log2 length) - 2) * 16 +
// floor(log2((offset - 1) | 1)): the 3-bit type, the bits after it (length
// and offset fields), and the bits of the offset field.
//   idx  0-9   type 2: length 4-7,  offset up to 1024       12, 10
//   idx 10-12  type 3: length 4-7,  offset up to 8192       15, 13
//   idx 13-15  type 4: length 4-7,  offset up to 65536      18, 16
//   idx 16-25  type 5: length 8-15, offset up to 1024       13, 10
//   idx 26-31  type 6: length 8-15, offset up to 65536      19, 16
//   idx 32-79  type 7: length 16-67                         22, 16
const uint8 kBitsType[80] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 4, 4, 4,  //
                             5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6,  //
                             7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,  //
                             7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,  //
                             7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
const uint8 kLengthBits[80] = {
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 15, 15, 15, 18, 18, 18,  //
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 19, 19, 19, 19, 19, 19,  //
    22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22,  //
    22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22,  //
    22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22, 22};
const uint8 kOffsetBits[80] = {
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 13, 13, 13, 16, 16, 16,  //
    10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 16, 16, 16, 16, 16, 16,  //
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,  //
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,  //
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16};
// What the length field holds is length - kLengthPlus[floor(log2 length)].
const uint8 kLengthPlus[8] = {4, 4, 4, 8, 4, 4, 4, 4};

static_assert(Entropy::kMaxCommandSize ==
                  std::max(Entropy::kMaxLitSize, Entropy::kMaxCopySize),
              "the longest command code is a literal or a copy code");
static_assert(3 + Entropy::kLengthLog + Entropy::kBlockLog ==
                  Entropy::kMaxCopySize,
              "the longest copy code is type 7 with its full fields");

namespace testing {
uint8 ExposeOrder(int i) { return g_order[i]; }
uint8 ExposeKLengthBits(int i) { return kLengthBits[i]; }
uint8 ExposeKOffsetBits(int i) { return kOffsetBits[i]; }
uint8 ExposeKBitsType(int i) { return kBitsType[i]; }
}  // namespace testing

// ===========================================================================
// The bit writer (WriteBits and FlushBits are inline in the header)
// ===========================================================================

void Entropy::StartWriteBits(unsigned* pending, uint64* accumulator,
                             char* output) {
  start_ = out_ = output;
  *pending = 0;
  *accumulator = 0;
}

// ===========================================================================
// Command codes. Every code starts with a 3-bit type. Literal runs (types 0
// and 1) of v + 1 bytes: v itself in 8 bits for v <= 52, otherwise the 8-bit
// prefix 47 + b followed by the b significant bits of v. Copies (types 2 to
// 7): type, length field, offset - 1, laid out by the tables above.
// ===========================================================================

void Entropy::CompressCommands(const unsigned* commands, unsigned commands_size,
                               char* output) {
  CHECK(commands_size >= 1);
  unsigned pending;
  uint64 accumulator;
  StartWriteBits(&pending, &accumulator, output);
  for (unsigned i = 0; i < commands_size; ++i) {
    const unsigned c = commands[i];
    if (!CommandIsCopy(c)) {
      const unsigned v = c - 1;
      // A literal word is a run length of 1 to 65536 and nothing else.
      CHECK_LT(v, 1u << kBlockLog);
      if (v <= 52) {
        WriteBits(8, v, &pending, &accumulator);
      } else {
        const int b = bits::Log2FloorNonZero(v) + 1;
        WriteBits(8 + b, ((uint64{47} + b) << b) | v, &pending, &accumulator);
      }
    } else {
      const unsigned length = CommandCopyLength(c);
      const unsigned offset = CommandCopyOffset(c) - 1;
      CHECK(length - 4 < 1 << 6);
      CHECK(offset < 1 << 16);
      const int length_log = bits::Log2FloorNonZero(length);
      const int idx =
          (length_log - 2) * 16 + bits::Log2FloorNonZero(offset | 1);
      const int length_bits = kLengthBits[idx];
      const uint64 code =
          (uint64{kBitsType[idx]} << length_bits) |
          (uint64{length - kLengthPlus[length_log]} << kOffsetBits[idx]) |
          offset;
      WriteBits(length_bits + 3, code, &pending, &accumulator);
    }
  }
  FlushBits(pending, &accumulator);
}

// ===========================================================================
// The content decision. Ten fixed positions of every 43-byte period are
// sampled; each byte value collects the bits of the positions it was seen
// at, and the resulting mask ranks it in one of 16 classes. From the classes
// the coder estimates how often the 32 most and the 160 least frequent
// values occur (top32, bottom160, per 43000 bytes), and codes the content
// when the short codes of the first are expected to win more than the
// escapes of the second lose: 6 * top32 + 352 > 10 * bottom160.
// ===========================================================================

void Entropy::SampleContent(const uint8* content, unsigned size,
                            uint8* samples) {
  memset(samples, 0, 256);
  const uint8* const end = content + size / kSamplePeriod * kSamplePeriod;
  for (const uint8* p = content; p < end; p += kSamplePeriod) {
    samples[p[0]] |= 1;
    samples[p[2]] |= 2;
    samples[p[7]] |= 4;
    samples[p[13]] |= 8;
    samples[p[16]] |= 16;
    samples[p[23]] |= 1;
    samples[p[25]] |= 2;
    samples[p[30]] |= 4;
    samples[p[36]] |= 8;
    samples[p[39]] |= 1;
  }
}

bool Entropy::CountSamples(const uint8* samples) {
  // Values per class. 8-bit counters: 256 values of one class would wrap, so
  // value 0 is left out when its class already holds 255.
  uint8 count[16] = {};
  for (int v = 255; v >= 1; --v) ++count[g_order[samples[v] & 31]];
  const int class0 = g_order[samples[0] & 31];
  if (count[class0] < 255) ++count[class0];

  int32 weight[16];
  memcpy(weight, kSampleClassWeight, sizeof(weight));
  int32 rest = 43000;
  for (int c = 0; c < 15; ++c) rest -= weight[c] * count[c];
  if (count[15] > 0) weight[15] = std::max<int32>(rest / count[15], 1000);

  // Each walk adds whole classes until its budget of values is used up,
  // then takes back the values of the last class beyond the budget.
  int32 top32 = 0;
  int budget = 32;
  int c = 15;
  for (;; --c) {
    top32 += weight[c] * count[c];
    budget -= count[c];
    if (budget <= 0) break;
  }
  top32 += weight[c] * budget;

  int32 bottom160 = 0;
  budget = 160;
  c = 0;
  for (;; ++c) {
    bottom160 += weight[c] * count[c];
    budget -= count[c];
    if (budget <= 0) break;
  }
  bottom160 += weight[c] * budget;

  return static_cast<uint32>(6 * top32 + 352) >
         static_cast<uint32>(10 * bottom160);
}

// ===========================================================================
// The code mask: which values have 6- or 8-bit codes, and which of the two.
//   group map    4 bytes: bit 31 - g (big-endian) marks group g, the values
//                8g to 8g + 7, as holding such a value;
//   group bytes  one per marked group: bit 7 - l marks value 8g + l;
//   length bits  12 bytes: one bit per marked value in increasing order,
//                most significant first, 1 for a 6-bit code.
// ===========================================================================

int Entropy::BuildEntropyCodeBitmask(const int* assign_length, uint8* mask) {
  constexpr int kCodedValues = 96;
  uint32 group_map = 0;
  uint8* p = mask + 4;
  for (int g = 0; g < 32; ++g) {
    uint8 group = 0;
    for (int l = 0; l < 8; ++l) {
      if (assign_length[8 * g + l] != 10) group |= 0x80 >> l;
    }
    if (group != 0) {
      group_map |= 1u << (31 - g);
      *p++ = group;
    }
  }
  BigEndianStore32(mask, group_map);
  uint8* const length_bits = p;
  memset(length_bits, 0, kCodedValues / 8);
  int k = 0;
  for (int v = 0; v < 256; ++v) {
    if (assign_length[v] == 10) continue;
    // More than 96 short codes would run past the 48 bytes.
    CHECK_LT(k, kCodedValues);
    if (assign_length[v] == 6) length_bits[k >> 3] |= 0x80 >> (k & 7);
    ++k;
  }
  return static_cast<int>(length_bits + kCodedValues / 8 - mask);
}

// ===========================================================================
// Blocks
// ===========================================================================

char* Entropy::Compress(const uint8* content, unsigned content_size,
                        const unsigned* commands, unsigned commands_size,
                        char* output) {
  CHECK_LE(commands_size, 0xFFFFu);
  LittleEndianStore16(output, static_cast<uint16>(commands_size));
  CompressCommands(commands, commands_size, output + kCommandsLenSize);
  char* op = output + kCommandsLenSize + 8 * GetWriteBitsOutputSize();

  if (content_size > kMaxRawOnlyContent) {
    uint8 samples[256];
    SampleContent(content, content_size, samples);
    if (CountSamples(samples)) {
      return CompressCodedContent(content, content_size, samples, op);
    }
  }
  memset(op, 0, 4);
  memcpy(op + 4, content, content_size);
  return op + 4 + content_size;
}

char* Entropy::CompressCodedContent(const uint8* content, unsigned content_size,
                                    const uint8* samples, char* op) {
  uint8 classes[256];
  for (int v = 0; v < 256; ++v) classes[v] = g_order[samples[v] & 31];
  int assign_value[256];
  int assign_length[256];
  EntropyCodeBuilder builder;
  builder.FindLimits(classes);
  builder.ProduceSymbolOrder(classes, assign_value, assign_length);
  uint8 mask[kMaxLitLenTableSize];
  const int mask_length = BuildEntropyCodeBitmask(assign_length, mask);
  CHECK(mask_length <= 48);
  memcpy(op, mask, mask_length);
  op += mask_length;

  // Value and length of each code in one word: bits 4 and up the code,
  // bits 0-3 its length.
  uint32 code[256];
  for (int v = 0; v < 256; ++v) {
    code[v] = (static_cast<uint32>(assign_value[v]) << 4) |
              static_cast<uint32>(assign_length[v]);
  }
  unsigned pending;
  uint64 accumulator;
  StartWriteBits(&pending, &accumulator, op);
  // Six codes of at most 10 bits fill at most 60 bits: one write each.
  const uint8* p = content;
  const uint8* const end6 = content + content_size / 6 * 6;
  for (; p < end6; p += 6) {
    uint64 six = 0;
    int n = 0;
    for (int k = 0; k < 6; ++k) {
      const uint32 c = code[p[k]];
      six = (six << (c & 15)) | (c >> 4);
      n += c & 15;
    }
    WriteBits(n, six, &pending, &accumulator);
  }
  for (const uint8* const end = content + content_size; p < end; ++p) {
    const uint32 c = code[*p];
    WriteBits(c & 15, c >> 4, &pending, &accumulator);
  }
  FlushBits(pending, &accumulator);
  return op + 8 * GetWriteBitsOutputSize();
}

}  // namespace tessel
}  // namespace compression
}  // namespace util
