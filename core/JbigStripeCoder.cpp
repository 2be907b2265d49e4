// The coder of the printer's JBIG stripes: the context model of the three-line template,
// typical prediction of the lowest layer, and the adaptive binary arithmetic coder with its
// probability estimation, byte stuffing and the flush at the end of every stripe.
//
// Where the time goes on a page of print, and what is done about it:
// - lines equal to the line above (margins, the space between lines of type) cost one
//   symbol of the typical-prediction context and nothing else;
// - a pixel whose context is 0 and which is white is nearly always the more probable symbol
//   of context 0, and between two renormalisations such symbols only shrink the interval
//   by the same amount: a white stretch is coded one renormalisation at a time;
// - the blocks of 48 pixels that hold any other pixel are found from machine words of the
//   three lines and coded pixel by pixel, whole: the same words give the pixels' keys (the
//   context and the pixel), four at a time, through small tables, so that no key waits for
//   the one before it;
// - a line is coded in two passes over stretches of it, one that finds what needs coding
//   and one that codes it, so that the coder's registers and state stay in the machine's
//   registers while it codes; only the output of bytes goes through memory;
// - a pixel that is its context's more probable symbol and needs no renormalisation (most
//   of them) costs one load and one test; the others, whose course no branch predictor
//   foresees, go without branches but the one that notes bytes, four at a time.

#include "JbigStripeCoder.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "BitmapTurn.h"

namespace {

// The probability estimation of the arithmetic coder, one row per state: the size of the
// less probable symbol's share of the interval, the state after a less probable symbol,
// the state after a more probable one that renormalises, and whether a less probable
// symbol in this state makes it the more probable one from then on.
struct Estimate {
  uint16_t lpsSize;
  uint8_t afterLps;
  uint8_t afterMps;
  bool swaps;
};

constexpr Estimate kEstimates[] = {
    {0x5a1d, 1, 1, true},      {0x2586, 14, 2, false},    {0x1114, 16, 3, false},
    {0x080b, 18, 4, false},    {0x03d8, 20, 5, false},    {0x01da, 23, 6, false},
    {0x00e5, 25, 7, false},    {0x006f, 28, 8, false},    {0x0036, 30, 9, false},
    {0x001a, 33, 10, false},   {0x000d, 35, 11, false},   {0x0006, 9, 12, false},
    {0x0003, 10, 13, false},   {0x0001, 12, 13, false},   {0x5a7f, 15, 15, true},
    {0x3f25, 36, 16, false},   {0x2cf2, 38, 17, false},   {0x207c, 39, 18, false},
    {0x17b9, 40, 19, false},   {0x1182, 42, 20, false},   {0x0cef, 43, 21, false},
    {0x09a1, 45, 22, false},   {0x072f, 46, 23, false},   {0x055c, 48, 24, false},
    {0x0406, 49, 25, false},   {0x0303, 51, 26, false},   {0x0240, 52, 27, false},
    {0x01b1, 54, 28, false},   {0x0144, 56, 29, false},   {0x00f5, 57, 30, false},
    {0x00b7, 59, 31, false},   {0x008a, 60, 32, false},   {0x0068, 62, 33, false},
    {0x004e, 63, 34, false},   {0x003b, 32, 35, false},   {0x002c, 33, 9, false},
    {0x5ae1, 37, 37, true},    {0x484c, 64, 38, false},   {0x3a0d, 65, 39, false},
    {0x2ef1, 67, 40, false},   {0x261f, 68, 41, false},   {0x1f33, 69, 42, false},
    {0x19a8, 70, 43, false},   {0x1518, 72, 44, false},   {0x1177, 73, 45, false},
    {0x0e74, 74, 46, false},   {0x0bfb, 75, 47, false},   {0x09f8, 77, 48, false},
    {0x0861, 78, 49, false},   {0x0706, 79, 50, false},   {0x05cd, 48, 51, false},
    {0x04de, 50, 52, false},   {0x040f, 50, 53, false},   {0x0363, 51, 54, false},
    {0x02d4, 52, 55, false},   {0x025c, 53, 56, false},   {0x01f8, 54, 57, false},
    {0x01a4, 55, 58, false},   {0x0160, 56, 59, false},   {0x0125, 57, 60, false},
    {0x00f6, 58, 61, false},   {0x00cb, 59, 62, false},   {0x00ab, 61, 63, false},
    {0x008f, 61, 32, false},   {0x5b12, 65, 65, true},    {0x4d04, 80, 66, false},
    {0x412c, 81, 67, false},   {0x37d8, 82, 68, false},   {0x2fe8, 83, 69, false},
    {0x293c, 84, 70, false},   {0x2379, 86, 71, false},   {0x1edf, 87, 72, false},
    {0x1aa9, 87, 73, false},   {0x174e, 72, 74, false},   {0x1424, 72, 75, false},
    {0x119c, 74, 76, false},   {0x0f6b, 74, 77, false},   {0x0d51, 75, 78, false},
    {0x0bb6, 77, 79, false},   {0x0a40, 77, 48, false},   {0x5832, 80, 81, true},
    {0x4d1c, 88, 82, false},   {0x438e, 89, 83, false},   {0x3bdd, 90, 84, false},
    {0x34ee, 91, 85, false},   {0x2eae, 92, 86, false},   {0x299a, 93, 87, false},
    {0x2516, 86, 71, false},   {0x5570, 88, 89, true},    {0x4ca9, 95, 90, false},
    {0x44d9, 96, 91, false},   {0x3e22, 97, 92, false},   {0x3824, 99, 93, false},
    {0x32b4, 99, 94, false},   {0x2e17, 93, 86, false},   {0x56a8, 95, 96, true},
    {0x4f46, 101, 97, false},  {0x47e5, 102, 98, false},  {0x41cf, 103, 99, false},
    {0x3c3d, 104, 100, false}, {0x375e, 99, 93, false},   {0x5231, 105, 102, false},
    {0x4c0f, 106, 103, false}, {0x4639, 107, 104, false}, {0x415e, 103, 99, false},
    {0x5627, 105, 106, true},  {0x50e7, 108, 107, false}, {0x4b85, 109, 103, false},
    {0x5597, 110, 109, false}, {0x504f, 111, 107, false}, {0x5a10, 110, 111, true},
    {0x5522, 112, 109, false}, {0x59eb, 112, 111, true},
};
constexpr int kEstimateStates = sizeof kEstimates / sizeof kEstimates[0];
static_assert(kEstimateStates == 113);

// A context's state is one byte: the more probable symbol in bit 7, the estimate below it.
constexpr unsigned kMpsBit = 0x80;

// The estimation table by state byte, so that a step of the coder is one load per table.
struct StateTables {
  uint16_t lpsSize[256];
  uint8_t afterMps[256];
  uint8_t afterLps[256];
};

constexpr StateTables MakeStateTables() {
  StateTables tables{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const unsigned mps = byte & kMpsBit;
    const unsigned estimate = byte & ~kMpsBit;
    if (estimate >= kEstimateStates) continue;  // never reached
    const Estimate &row = kEstimates[estimate];
    tables.lpsSize[byte] = row.lpsSize;
    tables.afterMps[byte] = static_cast<uint8_t>(mps | row.afterMps);
    tables.afterLps[byte] = static_cast<uint8_t>((row.swaps ? mps ^ kMpsBit : mps) | row.afterLps);
  }
  return tables;
}

constexpr StateTables kStates = MakeStateTables();

// The interval register A holds 16 bits and is kept at 0x8000 or more. The code register C
// holds, from bit 0 up: the 16 bits beside A, 3 spacer bits, the 8 bits of the next byte,
// and a carry into the bytes before it. While coding, C is wider and lets four bytes
// gather above the spacer before they are noted together: a test for them every four bytes
// rather than every byte, a test whose outcome no predictor foresees.
constexpr uint32_t kHalfInterval = 0x8000;
constexpr uint32_t kWholeInterval = 0x10000;
constexpr int kByteShift = 19;
constexpr uint32_t kBelowByte = (1u << kByteShift) - 1;
constexpr uint32_t kCarryBit = 1u << (kByteShift + 8);
constexpr int kBitsBeforeFirstByte = 11;
constexpr int kBitsPerByte = 8;
constexpr int kGatheredBytes = 4;
constexpr int kGatheredBits = kGatheredBytes * kBitsPerByte;

constexpr unsigned char kEscape = 0xff;
constexpr unsigned char kStuffing = 0x00;
constexpr unsigned char kStripeResetMarker = 0x03;

// Order 0, and the options byte with typical prediction of the lowest layer alone.
constexpr unsigned char kOrderByte = 0x00;
constexpr unsigned char kOptionsByte = 0x08;

constexpr size_t kFirstOutputBlock = 64 * 1024;

// The coded bytes, and the ones held back: a byte stays held while a carry out of the code
// register may still raise it, and so do the 0xFF bytes behind it, which a carry turns to
// 0x00. Every 0xFF written is followed by a stuffing 0x00, so that it is not read as the
// start of a marker.
struct Output {
  JbigBytes *out;
  uint64_t limit;
  unsigned char *next;
  unsigned char *end;
  int held;           // -1: none yet in this stripe
  uint64_t heldOnes;  // 0xFF bytes behind it
  JbigCodeResult result;
  // The bytes that left the code register (with the carry above them) and have not been
  // written yet: the coder only notes them, so that its loop calls nothing.
  uint16_t *noted;
  int notedCount;
};

// Room for the bytes noted while a stretch of a line is coded (each pixel doubles A at most
// 15 times; a long white stretch writes its own).
constexpr int kNotedBytes = 8192;

bool Grow(Output &o, uint64_t bytes) {
  JbigBytes &out = *o.out;
  const uint64_t size = static_cast<uint64_t>(o.next - out.data);
  if (bytes > o.limit - size) {
    o.result = JbigCodeResult::PastLimit;
    o.end = o.next;  // nothing more is written
    return false;
  }
  uint64_t capacity = out.capacity < kFirstOutputBlock ? kFirstOutputBlock : out.capacity;
  while (capacity < size + bytes) capacity *= 2;
  if (capacity > o.limit) capacity = o.limit;
  unsigned char *grown = static_cast<unsigned char *>(realloc(out.data, capacity));
  if (grown == nullptr) {
    o.result = JbigCodeResult::NoMemory;
    o.end = o.next;
    return false;
  }
  out.data = grown;
  out.capacity = static_cast<size_t>(capacity);
  o.next = grown + size;
  o.end = grown + capacity;
  return true;
}

// Room for `bytes` more; false once the output has failed.
inline bool MakeRoom(Output &o, uint64_t bytes) {
  if (o.result != JbigCodeResult::Ok) return false;
  return static_cast<uint64_t>(o.end - o.next) >= bytes || Grow(o, bytes);
}

// Writes the held byte, raised by one on a carry, and the 0xFF bytes behind it (0x00 after
// a carry).
void ReleaseHeld(Output &o, bool carry) {
  const int held = o.held < 0 ? -1 : o.held + (carry ? 1 : 0);
  const uint64_t ones = o.heldOnes;
  const uint64_t bytes = (held < 0 ? 0 : held == kEscape ? 2 : 1) + (carry ? ones : 2 * ones);
  o.heldOnes = 0;
  if (!MakeRoom(o, bytes)) return;
  unsigned char *p = o.next;
  if (held >= 0) {
    *p++ = static_cast<unsigned char>(held);
    if (held == kEscape) *p++ = kStuffing;
  }
  if (carry) {
    memset(p, 0, ones);
    p += ones;
  } else {
    for (uint64_t i = 0; i < ones; ++i) {
      *p++ = kEscape;
      *p++ = kStuffing;
    }
  }
  o.next = p;
}

// A byte that left the code register, with the carry above it: held, as every byte is until
// the next one shows that no carry can reach it.
void WriteByte(Output &o, uint32_t byte) {
  // Most bytes: the held one goes out as it is, and this one is held.
  if (byte < kEscape && o.heldOnes == 0 && o.held >= 0 && o.held != kEscape && o.next < o.end) {
    *o.next++ = static_cast<unsigned char>(o.held);
    o.held = static_cast<int>(byte);
    return;
  }
  if (byte == kEscape) {
    ++o.heldOnes;
  } else {
    ReleaseHeld(o, byte > kEscape);
    o.held = static_cast<int>(byte & 0xff);
  }
}

// Writes the bytes noted so far.
void WriteNotedBytes(Output &o) {
  for (int i = 0; i < o.notedCount; ++i) WriteByte(o, o.noted[i]);
  o.notedCount = 0;
}

void PutRaw(Output &o, const unsigned char *bytes, size_t count) {
  if (!MakeRoom(o, count)) return;
  memcpy(o.next, bytes, count);
  o.next += count;
}

struct Registers {
  uint32_t a;
  uint64_t c;
  int ct;  // shifts until the gathered bytes leave C
};

#define ALWAYS_INLINE inline __attribute__((always_inline))

// The bytes that have left the code register's interval bits, noted for WriteByte (the
// first with the carry above it): the coding loops call nothing, so that their state stays
// in the machine's registers. A carry into the later ones has already gone into the
// earlier ones in C itself.
ALWAYS_INLINE void NoteBytes(Registers &r, Output &o) {
  const uint64_t bytes = r.c >> kByteShift;
  uint16_t *noted = o.noted + o.notedCount;
  noted[0] = static_cast<uint16_t>(bytes >> 24);
  noted[1] = static_cast<uint16_t>(bytes >> 16 & 0xff);
  noted[2] = static_cast<uint16_t>(bytes >> 8 & 0xff);
  noted[3] = static_cast<uint16_t>(bytes & 0xff);
  o.notedCount += kGatheredBytes;
  r.c &= kBelowByte;
  r.ct = kGatheredBits;
}

// Notes the whole bytes still gathering in C, as coding a byte at a time would have, and
// leaves C and the count as that coding has them: before the end of a stripe.
void NoteGatheringBytes(Registers &r, Output &o) {
  if (r.ct > kGatheredBits - kBitsPerByte) {
    r.ct -= kGatheredBits - kBitsPerByte;  // no whole byte yet
    return;
  }
  const int shifts = kGatheredBits - r.ct;
  const int bytes = shifts / kBitsPerByte;
  const int above = kByteShift + shifts % kBitsPerByte;
  for (int i = bytes - 1; i >= 0; --i) {
    const uint64_t byte = r.c >> (above + kBitsPerByte * i);
    o.noted[o.notedCount++] = static_cast<uint16_t>(i == bytes - 1 ? byte : byte & 0xff);
  }
  r.c &= (uint64_t{1} << above) - 1;
  r.ct = kBitsPerByte - shifts % kBitsPerByte;
}

ALWAYS_INLINE void ShiftOnce(Registers &r, Output &o) {
  r.a <<= 1;
  r.c <<= 1;
  if (--r.ct == 0) NoteBytes(r, o);
}

// Doubles A until it is back at 0x8000 or more, and C with it, noting every byte that
// leaves C on the way.
ALWAYS_INLINE void Renormalise(Registers &r, Output &o) {
  int shift = __builtin_clz(r.a) - 16;
  r.a <<= shift;
  while (shift >= r.ct) {
    r.c <<= r.ct;
    shift -= r.ct;
    NoteBytes(r, o);
  }
  r.c <<= shift;
  r.ct -= shift;
}

// The ten pixels of the three-line template make 1024 contexts; the symbol that says whether
// a line differs from the line above has a context of its own number, whose state it shares
// with the pixels of that context.
constexpr int kContexts = 1024;
constexpr unsigned kTypicalLineContext = 0x0e5;

// A symbol is coded by its key: its context, shifted left by one, with the symbol (1 black)
// in bit 0.
ALWAYS_INLINE unsigned Key(unsigned context, unsigned symbol) { return context << 1 | symbol; }

// The coder's model: each context's state, and by key the share of the interval that the
// less probable symbol takes in that state, raised by kLessProbable when the key's symbol is
// the less probable one. A symbol whose raised share leaves A at 0x8000 or more is the more
// probable one and needs no renormalisation: one load and one test for the common case.
constexpr int kLessProbableShift = 17;
constexpr uint32_t kLessProbable = 1u << kLessProbableShift;
constexpr uint32_t kShareBits = 0xffff;

// A key past the contexts' whose share is 0: it codes nothing, and fills the last block
// of a line up to a whole group of pixels.
constexpr unsigned kNothing = 2 * kContexts;

struct Model {
  uint8_t state[kContexts];
  uint32_t share[2 * kContexts + 1];
};

// The two raised shares of every state byte, the white symbol's first.
struct ShareTable {
  uint32_t bySymbol[256][2];
};

constexpr ShareTable MakeShareTable() {
  ShareTable table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    const unsigned estimate = byte & ~kMpsBit;
    if (estimate >= kEstimateStates) continue;  // never reached
    const uint32_t lpsSize = kEstimates[estimate].lpsSize;
    const bool blackMore = (byte & kMpsBit) != 0;
    table.bySymbol[byte][0] = lpsSize + (blackMore ? kLessProbable : 0);
    table.bySymbol[byte][1] = lpsSize + (blackMore ? 0 : kLessProbable);
  }
  return table;
}

constexpr ShareTable kShares = MakeShareTable();

// What a symbol that renormalises leaves, by state byte and symbol: the next state byte and
// its raised shares, in one row so that a context's next shares wait for one load only.
struct Transition {
  uint32_t share[2];
  uint32_t state;
};

struct TransitionTable {
  Transition bySymbol[256][2];
};

constexpr TransitionTable MakeTransitionTable() {
  TransitionTable table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    for (unsigned symbol = 0; symbol < 2; ++symbol) {
      const bool more = (byte >> 7) == symbol;
      const unsigned next = more ? kStates.afterMps[byte] : kStates.afterLps[byte];
      table.bySymbol[byte][symbol] = {{kShares.bySymbol[next][0], kShares.bySymbol[next][1]}, next};
    }
  }
  return table;
}

constexpr TransitionTable kTransitions = MakeTransitionTable();

ALWAYS_INLINE void SetState(Model &m, unsigned context, const Transition &to) {
  m.state[context] = static_cast<uint8_t>(to.state);
  m.share[2 * context] = to.share[0];
  m.share[2 * context + 1] = to.share[1];
}

ALWAYS_INLINE void SetState(Model &m, unsigned context, unsigned state) {
  SetState(m, context, Transition{{kShares.bySymbol[state][0], kShares.bySymbol[state][1]}, state});
}

void ResetModel(Model &m) {
  for (unsigned context = 0; context < kContexts; ++context) SetState(m, context, 0u);
  m.share[kNothing] = 0;
}

// A symbol that renormalises: the more probable symbol takes the lower part of the
// interval, the less probable one the upper part, unless the lower part has become the
// smaller: then they change places, so that the more probable symbol always has the larger
// share.
ALWAYS_INLINE void CodeRenormalising(Model &m, unsigned key, uint32_t share, Registers &r,
                                     Output &o) {
  const unsigned context = key >> 1;
  const uint32_t lpsSize = share & kShareBits;
  const uint32_t rest = r.a - lpsSize;
  // All ones where the symbol takes the upper part: the less probable symbol unless the
  // lower part has become the smaller, and then the more probable one. Masks, not
  // branches: which of the two a renormalising symbol is cannot be foretold.
  const uint32_t lps = 0u - (share >> kLessProbableShift);
  const uint32_t upper = static_cast<uint32_t>(static_cast<int32_t>(rest - lpsSize) >> 31) ^ lps;
  r.c += rest & upper;
  r.a = rest ^ ((rest ^ lpsSize) & upper);
  SetState(m, context, kTransitions.bySymbol[m.state[context]][key & 1]);
  Renormalise(r, o);
}

ALWAYS_INLINE void Code(Model &m, unsigned key, Registers &r, Output &o) {
  const uint32_t share = m.share[key];
  if (__builtin_expect(static_cast<int32_t>(r.a - share) >= static_cast<int32_t>(kHalfInterval),
                       1)) {
    r.a -= share;
    return;
  }
  CodeRenormalising(m, key, share, r, o);
}

// `count` white pixels in context 0, one after the other. While white is the more probable
// symbol there, each of them takes the estimate's share off A and nothing else, until A
// falls below 0x8000: how many pixels that takes is computed, not counted. Out of line, and
// the registers go in and out by value, so that the caller's stay in registers.
__attribute__((noinline)) Registers CodeWhiteStretch(Model &m, uint64_t count, Registers r,
                                                     Output &o) {
  while (count > 0 && m.share[0] > kShareBits) {
    Code(m, 0, r, o);
    --count;
    if (o.notedCount > kNotedBytes - 2 * kGatheredBytes) WriteNotedBytes(o);
  }
  unsigned state = m.state[0];
  while (count > 0) {
    const uint32_t lpsSize = kStates.lpsSize[state];
    const uint32_t room = r.a - kHalfInterval;
    if (count * lpsSize <= room) {
      r.a -= static_cast<uint32_t>(count) * lpsSize;
      break;
    }
    const uint32_t upToRenormalisation = room / lpsSize + 1;
    r.a -= upToRenormalisation * lpsSize;
    count -= upToRenormalisation;
    if (r.a < lpsSize) {
      r.c += r.a;
      r.a = lpsSize;
    }
    state = kStates.afterMps[state];
    ShiftOnce(r, o);
    if (o.notedCount > kNotedBytes - 2 * kGatheredBytes) WriteNotedBytes(o);
  }
  SetState(m, 0, state);
  WriteNotedBytes(o);
  return r;
}

// The same, with the common case inline: white is the more probable symbol in context 0 and
// the stretch ends before A needs renormalising.
ALWAYS_INLINE void CodeWhiteRun(Model &m, uint64_t count, Registers &r, Output &o) {
  const uint64_t shrink = count * m.share[0];
  if (shrink <= r.a - kHalfInterval) {
    r.a -= static_cast<uint32_t>(shrink);
    return;
  }
  r = CodeWhiteStretch(m, count, r, o);
}

struct Geometry {
  int64_t width;
  int64_t stride;
  unsigned lastByteMask;  // the pixels of the last byte of a row, without its padding
};

uint64_t EdgeWindow(const unsigned char *row, const Geometry &g, int64_t first) {
  uint64_t window = 0;
  for (int64_t at = first; at < first + 8; ++at) {
    unsigned byte = 0;
    if (at >= 0 && at < g.stride) byte = row[at] & (at == g.stride - 1 ? g.lastByteMask : 0xffu);
    window = window << 8 | byte;
  }
  return window;
}

// Bytes first to first + 7 of a row, the leftmost pixel in bit 63. Bytes outside the row,
// padding bits and the rows above the top of a stripe (null) are white.
ALWAYS_INLINE uint64_t Window(const unsigned char *row, const Geometry &g, int64_t first) {
  if (row == nullptr) return 0;
  if (first < 0 || first + 8 >= g.stride) return EdgeWindow(row, g, first);
  uint64_t window;
  memcpy(&window, row + first, sizeof window);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  window = __builtin_bswap64(window);
#endif
  return window;
}

// Whether the row's pixels equal those of the row above (null: white).
bool SameAsAbove(const unsigned char *row, const unsigned char *above, const Geometry &g) {
  const size_t whole = static_cast<size_t>(g.stride - 1);
  if (above == nullptr) {
    if ((row[whole] & g.lastByteMask) != 0) return false;
    for (size_t i = 0; i < whole; ++i) {
      if (row[i] != 0) return false;
    }
    return true;
  }
  return ((row[whole] ^ above[whole]) & g.lastByteMask) == 0 && memcmp(row, above, whole) == 0;
}

// The context of a pixel holds its template's ten pixels, from bit 9 down: line y - 2 at
// x - 1, x, x + 1; line y - 1 at x - 2 to x + 2; line y at x - 2, x - 1. The keys of four
// pixels side by side come at once, in four 16-bit lanes (the first pixel's at the lowest
// address), from three tables: one per line, indexed by the pixels of that line that the
// four templates and the pixels cover.
constexpr int kLanePixels = 4;

constexpr int LaneShift(int lane) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return 16 * lane;
#else
  return 16 * (kLanePixels - 1 - lane);
#endif
}

struct ContextTables {
  uint64_t above2[64];  // line y - 2 at x - 1 to x + 4, x the first of the four pixels
  uint64_t above[256];  // line y - 1 at x - 2 to x + 5
  uint64_t line[64];    // line y at x - 2 to x + 3
};

constexpr ContextTables MakeContextTables() {
  ContextTables tables{};
  for (unsigned v = 0; v < 256; ++v) {
    for (int k = 0; k < kLanePixels; ++k) {
      const int at = LaneShift(k);
      if (v < 64) tables.above2[v] |= static_cast<uint64_t>(((v >> (3 - k)) & 7) << 8) << at;
      tables.above[v] |= static_cast<uint64_t>(((v >> (3 - k)) & 31) << 3) << at;
      if (v < 64) tables.line[v] |= static_cast<uint64_t>((v >> (3 - k)) & 7) << at;
    }
  }
  return tables;
}

constexpr ContextTables kContextTables = MakeContextTables();

// Pixels per block: one window of each line serves 48 pixels and their templates.
constexpr int kBlockPixels = 48;

// The second pass codes four pixels a step: a test for the end of a run every four pixels.
constexpr int kGroupPixels = 4;
static_assert(kBlockPixels % kGroupPixels == 0);

// A line is coded a stretch of pixels at a time, in two passes: the first finds, with
// word operations, the pixels that need coding one by one and lays out what the second
// needs for each of them; the second codes.
constexpr int kStretchBlocks = 85;
constexpr int kStretchPixels = kStretchBlocks * kBlockPixels;

// What the first pass finds, for the second.
struct Stretch {
  uint16_t keys[kStretchPixels];
  // Runs of pixels coded one by one, from start to end (exclusive), in pixels from the
  // start of the stretch; between them white pixels in context 0.
  uint16_t start[kStretchBlocks];
  uint16_t end[kStretchBlocks];
  int runs;
  uint16_t noted[kNotedBytes];
  Model model;  // the coder's, afresh for every stripe: in the heap with the rest, not the stack
};

static_assert(kStretchPixels * 15 / 8 + 16 < kNotedBytes);

// First pass over pixels x to x + count - 1 of a line, in blocks of 48; for pixel i of a
// block the windows hold the pixel in bit 55 - i, with its neighbours beside it.
void FindBusyPixels(const unsigned char *row, const unsigned char *above,
                    const unsigned char *above2, const Geometry &g, int64_t x, int count,
                    Stretch &s) {
  s.runs = 0;
  for (int b = 0; b < count; b += kBlockPixels) {
    const int64_t first = (x + b) / 8 - 1;
    const uint64_t w2 = Window(above2, g, first);
    const uint64_t w1 = Window(above, g, first);
    const uint64_t w0 = Window(row, g, first);
    // A block is coded pixel by pixel if any pixel of it or of its template is black;
    // otherwise its pixels have context 0 and join a white stretch. Pixel by pixel, the
    // white ones in context 0 go with the rest (their coding is the same either way): a
    // switch between the two ways of coding costs a mispredicted branch at the end of
    // every run, more than white pixels coded on their own.
    const uint64_t near = w2 | w2 >> 1 | w2 << 1 | w1 | w1 >> 1 | w1 >> 2 | w1 << 1 | w1 << 2 | w0 |
                          w0 >> 1 | w0 >> 2;
    const int pixels = count - b < kBlockPixels ? count - b : kBlockPixels;
    if (((near << 8) & ~0ull << (64 - pixels)) == 0) continue;  // pixel i in bit 63 - i
    // For pixel i, the window bits 56 - i (x - 1) down to 51 - i (x + 4) of line y - 2, and
    // so on.
    for (int shift = 0; shift < kBlockPixels; shift += kLanePixels) {
      const uint64_t four = kContextTables.above2[(w2 >> (51 - shift)) & 63] |
                            kContextTables.above[(w1 >> (50 - shift)) & 255] |
                            kContextTables.line[(w0 >> (52 - shift)) & 63];
      memcpy(s.keys + b + shift, &four, sizeof four);
    }
    for (int i = pixels; i % kGroupPixels != 0; ++i) s.keys[b + i] = kNothing;
    if (s.runs > 0 && s.end[s.runs - 1] == b) {
      s.end[s.runs - 1] = static_cast<uint16_t>(b + pixels);
    } else {
      s.start[s.runs] = static_cast<uint16_t>(b);
      s.end[s.runs] = static_cast<uint16_t>(b + pixels);
      ++s.runs;
    }
  }
}

// Where the coding of a line stands between two stretches.
struct LineState {
  Registers r;
  uint64_t white;  // white pixels in context 0 not coded yet
};

// Second pass over a stretch of `count` pixels. Out of line, with the coder's registers in
// and out by value, so that its loop has the machine's registers to itself.
__attribute__((noinline)) LineState CodeStretch(Model &m, const Stretch &s, int count,
                                                LineState line, Output &o) {
  Registers r = line.r;
  uint64_t white = line.white;
  int next = 0;
  for (int run = 0; run < s.runs; ++run) {
    const int start = s.start[run];
    white += static_cast<uint64_t>(start - next);
    if (white != 0) {
      CodeWhiteRun(m, white, r, o);
      white = 0;
    }
    const int end = s.end[run];
    for (int i = start; i < end; i += kGroupPixels) {
      Code(m, s.keys[i], r, o);
      Code(m, s.keys[i + 1], r, o);
      Code(m, s.keys[i + 2], r, o);
      Code(m, s.keys[i + 3], r, o);
    }
    next = end;
  }
  white += static_cast<uint64_t>(count - next);
  return {r, white};
}

// The pixels of a line that differs from the line above.
void CodeLine(const unsigned char *row, const unsigned char *above, const unsigned char *above2,
              const Geometry &g, Model &m, Registers &r, Output &o, Stretch &s) {
  LineState line{r, 0};
  for (int64_t x = 0; x < g.width; x += kStretchPixels) {
    const int count = g.width - x < kStretchPixels ? static_cast<int>(g.width - x) : kStretchPixels;
    FindBusyPixels(row, above, above2, g, x, count, s);
    line = CodeStretch(m, s, count, line, o);
    WriteNotedBytes(o);
  }
  r = line.r;
  if (line.white != 0) CodeWhiteRun(m, line.white, r, o);
}

// The end of a stripe: C is set to the value of the final interval with the most trailing
// zero bits, and the rest of it goes out behind the bytes still held. Zero bytes at the end
// of the stripe's data are then left out, as far back as they go (but never the stuffing
// after a 0xFF): the decoder reads zeros past the data anyway.
void FinishStripe(Registers &r, Output &o, size_t stripeStart) {
  WriteNotedBytes(o);
  NoteGatheringBytes(r, o);
  WriteNotedBytes(o);
  const uint32_t code = static_cast<uint32_t>(r.c);
  const uint32_t rounded = (code + r.a - 1) & 0xffff0000u;
  uint32_t c = rounded < code ? rounded + kHalfInterval : rounded;
  c <<= r.ct;
  ReleaseHeld(o, (c & kCarryBit) != 0);
  unsigned char last[4];
  size_t count = 0;
  for (const int shift : {kByteShift, kByteShift - kBitsPerByte}) {
    last[count++] = static_cast<unsigned char>(c >> shift);
    if (last[count - 1] == kEscape) last[count++] = kStuffing;
  }
  PutRaw(o, last, count);
  if (o.result != JbigCodeResult::Ok) return;
  const unsigned char *start = o.out->data + stripeStart;
  while (o.next > start && o.next[-1] == 0 && !(o.next - 1 > start && o.next[-2] == kEscape)) {
    --o.next;
  }
}

void CodeStripe(const unsigned char *top, int32_t lines, const Geometry &g, Output &o,
                Stretch &stretch) {
  Model &m = stretch.model;
  ResetModel(m);
  Registers r{kWholeInterval, 0, kBitsBeforeFirstByte + kGatheredBits - kBitsPerByte};
  o.held = -1;
  o.heldOnes = 0;
  // The line above the stripe counts as one that differed from its own line above.
  bool aboveDiffered = true;
  const unsigned char *above = nullptr;
  const unsigned char *above2 = nullptr;
  const size_t stripeStart = static_cast<size_t>(o.next - o.out->data);
  for (int32_t y = 0; y < lines && o.result == JbigCodeResult::Ok; ++y) {
    const unsigned char *row = top + y * g.stride;
    const bool differs = !SameAsAbove(row, above, g);
    Code(m, Key(kTypicalLineContext, differs == aboveDiffered ? 1 : 0), r, o);
    aboveDiffered = differs;
    if (differs) CodeLine(row, above, above2, g, m, r, o, stretch);
    WriteNotedBytes(o);
    above2 = above;
    above = row;
  }
  FinishStripe(r, o, stripeStart);
  const unsigned char marker[] = {kEscape, kStripeResetMarker};
  PutRaw(o, marker, sizeof marker);
}

Output StartOutput(JbigBytes *out, uint64_t limit) {
  Output o{};
  o.out = out;
  o.limit = limit;
  o.next = out->data + out->size;
  o.end = out->data + out->capacity;
  o.held = -1;
  o.result = JbigCodeResult::Ok;
  return o;
}

void PutBigEndian32(unsigned char *at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

}  // namespace

JbigCodeResult AppendJbigImageHeader(int32_t width, int32_t height, JbigBytes *out,
                                     uint64_t limit) {
  // No differential layers, one plane, the page's size, the stripe height, no moves of the
  // adaptive pixel in either direction.
  unsigned char header[JBIG_IMAGE_HEADER_BYTES] = {0, 0, 1, 0};
  PutBigEndian32(header + 4, static_cast<uint32_t>(width));
  PutBigEndian32(header + 8, static_cast<uint32_t>(height));
  PutBigEndian32(header + 12, static_cast<uint32_t>(JBIG_STRIPE_LINES));
  header[18] = kOrderByte;
  header[19] = kOptionsByte;
  Output o = StartOutput(out, limit);
  PutRaw(o, header, sizeof header);
  out->size = static_cast<size_t>(o.next - out->data);
  return o.result;
}

JbigCodeResult AppendJbigStripes(const unsigned char *bits, int32_t width, int32_t rows,
                                 JbigBytes *out, uint64_t limit) {
  Geometry g;
  g.width = width;
  g.stride = PbmStride(width);
  g.lastByteMask = (0xffu << (g.stride * 8 - width)) & 0xffu;
  Stretch *stretch = static_cast<Stretch *>(malloc(sizeof(Stretch)));
  if (stretch == nullptr) return JbigCodeResult::NoMemory;
  Output o = StartOutput(out, limit);
  o.noted = stretch->noted;
  for (int32_t top = 0; top < rows && o.result == JbigCodeResult::Ok; top += JBIG_STRIPE_LINES) {
    const int32_t lines = rows - top < JBIG_STRIPE_LINES ? rows - top : JBIG_STRIPE_LINES;
    CodeStripe(bits + static_cast<int64_t>(top) * g.stride, lines, g, o, *stretch);
  }
  free(stretch);
  out->size = static_cast<size_t>(o.next - out->data);
  return o.result;
}
