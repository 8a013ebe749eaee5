// Inflate: the decoder for raw Deflate streams (RFC 1951).
//
// Decoding is table driven. For each block the literal/length and distance
// code lengths are turned into lookup tables indexed by the next bits of the
// stream (Huffman codes are packed starting with their most significant bit,
// so a table index is the code bit-reversed). One entry of the primary table
// resolves every code up to kLitBits (11) or kDistBits (8) bits at once: it
// gives the code's length, the kind of symbol, and for length and distance
// symbols directly the base value and the number of extra bits, so the hot
// loop never consults the RFC's base tables. Longer codes, which are rare
// since they belong to rare symbols, go through a second-level subtable that
// the primary entry points to. Larger primary tables catch more codes at the
// first lookup but cost more to fill for every block and more cache; 11 bits
// holds nearly every literal/length code of real data in a 2048-entry table
// that is built in well under a microsecond.
//
// The bits live in a 64-bit buffer. The fast loop refills it without a
// branch: it reads 8 bytes at once, shifts them in above the bits already
// held, and advances the input by the number of whole bytes that fitted. That
// leaves at least 56 bits, enough for the longest length/distance pair (15 +
// 5 + 15 + 13 = 48 bits), so one refill per symbol suffices. The fast loop
// runs only while at least kFastInput bytes of input and kFastOutput bytes of
// output room remain: then the 8-byte reads cannot pass the end of the input,
// and a match can be copied in 8- or 16-byte words that may write up to 15
// bytes past its end. The loop is bound less by instruction count than by the
// chain of dependent steps from one symbol to the next (table load, then the
// shift by the code's length, then the next table load) and by mispredicted
// literal/match branches, so it looks up the next symbol before it refills
// the buffer and before it copies a match. Near either end the careful loop takes over: it pulls
// input a byte at a time, only when the next field needs more bits than are held, and copies byte
// by byte with an exact bound. Because it never pulls a byte it does not need, the count of input
// consumed is exact when the final block ends, so the caller can find data that follows the stream;
// the fast loop hands its over-read whole bytes back before the careful loop resumes.
//
// The careful loop also makes streaming possible: it decodes a whole unit (a
// literal, a length/distance pair, a block header field, one code length)
// only once all its bits are in the buffer, and otherwise returns for more
// input, keeping the bits it has (at most 7 bytes) in the buffer. So a stream
// can be fed in pieces of any size down to single bytes, and a dynamic header
// never has to be buffered whole.
//
// The streaming Inflater decodes into its own buffer: the 32 KiB window that
// matches may refer to, followed by an output area. When the area fills, the
// new bytes go to the sink and the last 32 KiB slide to the front. A bigger
// area means fewer slides and sink calls but more memory; at 128 KiB a slide
// moves 32 KiB per 128 KiB of output, cheap beside decoding it. InflateBuffer decodes
// straight into the caller's buffer, which is then both window and output.
//
// Safety: every table entry that no code reaches is marked invalid, every
// distance is checked against the bytes produced, and every write against
// the output bound, whatever the input; each malformed input has its own
// result. Code sets: an over-subscribed set is always an error; an incomplete
// one is an error too, except for the distance code, which may be empty (a
// block of literals only) or hold a single code of length 1, as RFC 1951
// allows. A literal/length code must also give the end-of-block symbol a
// length, since such a block could never end. HLIT above 286 is rejected
// (outside the RFC's range); HDIST up to 32 is accepted, and a distance code
// 30 or 31, or a literal/length code 286 or 287, is rejected when it occurs.

#include "zip/inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "zip/deflate_constants.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZB_INFLATE_X86 1
#endif

namespace zb::zip {
namespace {

namespace df = deflate;

// ---- Table entries -------------------------------------------------------
//
//   bits 0-4    bits to drop once the entry is used: the code and the extra
//               bits after it (a subtable pointer: the primary table bits)
//   bit 7       with kInvalid: a distance symbol 30/31 rather than no code
//   bits 8-11   the code's own length (a pointer: the subtable's index bits)
//   bits 12-15  kind
//   bits 16-31  literal byte, length or distance base, precode symbol, or the
//               subtable's offset
//
// Keeping code plus extra bits in one field lets the fast loop drop a whole
// length or distance with one shift, which sits on the chain of dependent
// operations from one symbol to the next.
//
// Entries that resolve two literals at once were tried: Deflate streams of
// ordinary data rarely have literal codes short enough to pair within the
// primary bits, and the extra work per literal made text and binaries about
// 5% slower.

constexpr uint32_t kDropMask = 0x1F;
constexpr uint32_t kLiteral = 1u << 12;
constexpr uint32_t kEndBlock = 1u << 13;
constexpr uint32_t kSubtable = 1u << 14;
constexpr uint32_t kInvalid = 1u << 15;
constexpr uint32_t kBadDistSymbol = kInvalid | (1u << 7);

constexpr uint32_t Entry(uint32_t value, uint32_t kind, uint32_t extra, uint32_t code_len) {
  return (value << 16) | kind | (code_len << 8) | (code_len + extra);
}
[[gnu::always_inline]] inline uint32_t DropBits(uint32_t e) { return e & kDropMask; }
[[gnu::always_inline]] inline uint32_t CodeLen(uint32_t e) { return (e >> 8) & 0xF; }
[[gnu::always_inline]] inline uint32_t Extra(uint32_t e) { return DropBits(e) - CodeLen(e); }
[[gnu::always_inline]] inline uint32_t SubBits(uint32_t e) { return (e >> 8) & 0xF; }
[[gnu::always_inline]] inline uint32_t Value(uint32_t e) { return e >> 16; }

constexpr int kLitBits = 11;
constexpr int kDistBits = 8;
constexpr int kPrecodeBits = df::kMaxPrecodeLength;

// Each subtable belongs to at least one code longer than the primary bits and
// has at most 2^(15 - primary bits) entries.
constexpr size_t kLitTableSize = (1u << kLitBits) + df::kNumLitLenSymbols * (1u << (15 - kLitBits));
constexpr size_t kDistTableSize =
    (1u << kDistBits) + df::kNumDistSymbols * (1u << (15 - kDistBits));
constexpr size_t kPrecodeTableSize = 1u << kPrecodeBits;

enum class CodeKind { kLitLen, kDist, kPrecode };

inline uint32_t SymbolEntry(CodeKind kind, int sym, uint32_t code_len) {
  switch (kind) {
    case CodeKind::kLitLen:
      if (sym < 256) return Entry(static_cast<uint32_t>(sym), kLiteral, 0, code_len);
      if (sym == df::kEndOfBlock) return Entry(0, kEndBlock, 0, code_len);
      if (sym < df::kNumUsedLitLen) {
        return Entry(df::kLengthBase[sym - 257], 0, df::kLengthExtra[sym - 257], code_len);
      }
      return Entry(0, kInvalid, 0, code_len);
    case CodeKind::kDist:
      if (sym < df::kNumUsedDist)
        return Entry(df::kDistBase[sym], 0, df::kDistExtra[sym], code_len);
      return kBadDistSymbol | (code_len << 8) | code_len;
    case CodeKind::kPrecode:
      return Entry(static_cast<uint32_t>(sym), 0, 0, code_len);
  }
  return kInvalid;
}

// Bit reversal of a code up to 15 bits long, a byte at a time through a
// 256-entry table: table building reverses every code of every block.
constexpr std::array<uint8_t, 256> kReversedBytes = [] {
  std::array<uint8_t, 256> t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = 0;
    for (int i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
    t[b] = static_cast<uint8_t>(r);
  }
  return t;
}();

inline uint32_t ReverseBits(uint32_t code, int len) {
  const uint32_t r16 =
      (uint32_t{kReversedBytes[code & 0xFF]} << 8) | kReversedBytes[(code >> 8) & 0xFF];
  return r16 >> (16 - len);
}

// Builds the decoding table for `n` code lengths. Returns false for a code
// set that is over-subscribed, or incomplete where that is not allowed.
bool BuildTable(const uint8_t* lens, int n, CodeKind kind, int primary_bits, uint32_t* table,
                size_t capacity) {
  int count[df::kMaxCodeLength + 1] = {};
  for (int i = 0; i < n; ++i) ++count[lens[i]];
  count[0] = 0;
  int left = 1;
  for (int len = 1; len <= df::kMaxCodeLength; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) return false;  // over-subscribed
  }
  // Unreached entries are invalid. They claim all the bits their index
  // covers, so the careful loop judges them only once those bits are there;
  // in the two incomplete distance codes allowed, fewer bits decide: none
  // when there is no code at all, one when the single code is one bit long.
  uint32_t unreached_len = static_cast<uint32_t>(primary_bits);
  if (left > 0) {
    int used = 0;
    for (int i = 0; i < n; ++i) used += lens[i] != 0;
    const bool allowed = kind == CodeKind::kDist && (used == 0 || (used == 1 && count[1] == 1));
    if (!allowed) return false;
    unreached_len = used == 0 ? 0 : 1;
  }

  int next_code[df::kMaxCodeLength + 2] = {};
  for (int len = 1, code = 0; len <= df::kMaxCodeLength; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }

  const size_t primary_size = size_t{1} << primary_bits;
  const uint32_t primary_mask = static_cast<uint32_t>(primary_size - 1);

  // Subtables: one per primary index shared by codes longer than the primary
  // bits, sized for the longest of them.
  // The primary indexes that get one are listed as they are first met, so
  // laying the subtables out does not scan the whole primary table.
  uint8_t sub_bits[1u << kLitBits] = {};
  uint16_t sub_index[1u << kLitBits];
  size_t num_sub = 0;
  uint32_t codes[df::kNumLitLenSymbols];
  // Symbols with codes that fit the primary table, grouped by code length.
  uint16_t short_syms[df::kNumLitLenSymbols];
  int group_start[df::kMaxCodeLength + 2] = {};
  for (int len = 1; len <= primary_bits; ++len)
    group_start[len + 1] = group_start[len] + count[len];
  int group_next[df::kMaxCodeLength + 2];
  std::copy(std::begin(group_start), std::end(group_start), std::begin(group_next));
  for (int sym = 0; sym < n; ++sym) {
    const int len = lens[sym];
    if (len == 0) continue;
    codes[sym] = ReverseBits(static_cast<uint32_t>(next_code[len]++), len);
    if (len <= primary_bits) {
      short_syms[group_next[len]++] = static_cast<uint16_t>(sym);
    } else {
      const uint32_t idx = codes[sym] & primary_mask;
      uint8_t& b = sub_bits[idx];
      if (b == 0) sub_index[num_sub++] = static_cast<uint16_t>(idx);
      b = std::max<uint8_t>(b, static_cast<uint8_t>(len - primary_bits));
    }
  }

  // The primary table for the codes up to L bits long repeats with period
  // 2^L, since an index's bits above L do not matter to them. So it is built
  // at that size and doubled for each next length: a few block copies instead
  // of a store loop for every symbol.
  table[0] = Entry(0, kInvalid, 0, unreached_len);
  for (int len = 1; len <= primary_bits; ++len) {
    const size_t period = size_t{1} << (len - 1);
    std::memcpy(table + period, table, period * sizeof(uint32_t));
    for (int k = group_start[len]; k < group_start[len + 1]; ++k) {
      const int sym = short_syms[k];
      table[codes[sym]] = SymbolEntry(kind, sym, static_cast<uint32_t>(len));
    }
  }

  size_t next_free = primary_size;
  for (size_t k = 0; k < num_sub; ++k) {
    const size_t idx = sub_index[k];
    const size_t size = size_t{1} << sub_bits[idx];
    if (next_free + size > capacity) return false;  // cannot happen; see the size bounds
    table[idx] = (static_cast<uint32_t>(next_free) << 16) | kSubtable |
                 (static_cast<uint32_t>(sub_bits[idx]) << 8) | static_cast<uint32_t>(primary_bits);
    std::fill(table + next_free, table + next_free + size, Entry(0, kInvalid, 0, sub_bits[idx]));
    next_free += size;
  }

  for (int sym = 0; sym < n && num_sub > 0; ++sym) {
    const int len = lens[sym];
    if (len > primary_bits) {
      const uint32_t code = codes[sym];
      const uint32_t ptr = table[code & primary_mask];
      const int rest = len - primary_bits;
      const size_t sub_size = size_t{1} << SubBits(ptr);
      uint32_t* sub = table + Value(ptr);
      const uint32_t e = SymbolEntry(kind, sym, static_cast<uint32_t>(rest));
      for (size_t i = code >> primary_bits; i < sub_size; i += size_t{1} << rest) sub[i] = e;
    }
  }
  return true;
}

struct FixedTables {
  std::array<uint32_t, kLitTableSize> lit;
  std::array<uint32_t, kDistTableSize> dist;
  FixedTables() {
    uint8_t lens[df::kNumLitLenSymbols];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    BuildTable(lens, df::kNumLitLenSymbols, CodeKind::kLitLen, kLitBits, lit.data(), lit.size());
    std::fill(lens, lens + df::kNumDistSymbols, 5);
    BuildTable(lens, df::kNumDistSymbols, CodeKind::kDist, kDistBits, dist.data(), dist.size());
  }
};

const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

[[gnu::always_inline]] inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

[[gnu::always_inline]] inline uint64_t LowBits(uint64_t v, uint32_t n) {
  return v & ((uint64_t{1} << n) - 1);
}

// Fast-loop margins: a refill reads 8 bytes and advances at most 7, and a
// pair needs one refill; a match writes at most 258 bytes plus 15 of overrun.
constexpr ptrdiff_t kFastInput = 16;
constexpr ptrdiff_t kFastOutput = df::kMaxMatch + 16;

enum class Mode {
  kBlockHeader,
  kStoredLengths,
  kStoredCopy,
  kDynamicCounts,
  kPrecodeLengths,
  kCodeLengths,
  kHuffmanData,
  kDone,
};

// How a decoding run ended.
enum class Status { kDone, kNeedInput, kOutputFull, kFailed };

// The decoder's whole state between calls, shared by both front ends.
struct DecoderCore {
  Mode mode = Mode::kBlockHeader;
  bool final_block = false;
  uint64_t bitbuf = 0;  // bits above bitcount are zero between calls
  uint32_t bitcount = 0;
  uint32_t stored_left = 0;
  int hlit = 0, hdist = 0, hclen = 0, index = 0;
  InflateResult error = InflateResult::kDone;
  uint8_t lens[df::kNumLitLenSymbols + df::kNumDistSymbols];
  uint8_t precode_lens[df::kNumPrecodeSymbols];
  const uint32_t* lit = nullptr;
  const uint32_t* dist = nullptr;
  std::array<uint32_t, kLitTableSize> lit_table;
  std::array<uint32_t, kDistTableSize> dist_table;
  std::array<uint32_t, kPrecodeTableSize> precode_table;

  void Reset() {
    mode = Mode::kBlockHeader;
    final_block = false;
    bitbuf = 0;
    bitcount = 0;
    error = InflateResult::kDone;
  }

  // Decodes from [in, in_end) into [out, out_end); bytes from out_base up to
  // out are history that matches may refer to. `hard_end`: out_end is the
  // output limit (more output is kOutputLimit) rather than a full buffer to
  // be emptied (kOutputFull, at a unit boundary). `last`: no more input
  // follows, so running out of it is kTruncated.
  Status Run(const uint8_t*& in, const uint8_t* in_end, bool last, uint8_t* out_base, uint8_t*& out,
             uint8_t* out_end, bool hard_end);

 private:
  Status Fail(InflateResult r) {
    error = r;
    return Status::kFailed;
  }
  Status OutOfInput(bool last) {
    return last ? Fail(InflateResult::kTruncated) : Status::kNeedInput;
  }
  Status NoRoom(bool hard_end) {
    return hard_end ? Fail(InflateResult::kOutputLimit) : Status::kOutputFull;
  }
  bool Pull(const uint8_t*& in, const uint8_t* in_end, uint32_t n) {
    while (bitcount < n) {
      if (in == in_end) return false;
      bitbuf |= uint64_t{*in++} << bitcount;
      bitcount += 8;
    }
    return true;
  }
  void Drop(uint32_t n) {
    bitbuf >>= n;
    bitcount -= n;
  }
  // Looks up the code at bit offset `skip` of the buffer. Returns the entry
  // (with a subtable resolved) and sets *need to the bits from the buffer's
  // start that decide it, which may be more than are held.
  uint32_t Peek(const uint32_t* table, int primary_bits, uint32_t skip, uint32_t* need) const {
    const uint64_t bits = bitbuf >> skip;
    uint32_t e = table[LowBits(bits, static_cast<uint32_t>(primary_bits))];
    if (e & kSubtable) {
      if (bitcount < skip + static_cast<uint32_t>(primary_bits)) {
        *need = skip + static_cast<uint32_t>(primary_bits);
        return e;
      }
      const uint32_t sub = table[Value(e) + LowBits(bits >> primary_bits, SubBits(e))];
      *need = skip + static_cast<uint32_t>(primary_bits) + CodeLen(sub);
      return sub | kSubtable;  // the flag tells the caller to add primary_bits
    }
    *need = skip + CodeLen(e);
    return e;
  }
  // The fast loop is compiled twice: for any x86-64 CPU and for one with
  // BMI2, whose three-operand shifts and bit-field extract shorten the bit
  // buffer arithmetic by about a sixth. The variant is chosen once.
  [[gnu::always_inline]] inline Status FastLoop(const uint8_t*& in, const uint8_t* in_end,
                                                uint8_t* out_base, uint8_t*& out, uint8_t* out_end,
                                                bool* block_ended);
  Status FastLoopPlain(const uint8_t*& in, const uint8_t* in_end, uint8_t* out_base, uint8_t*& out,
                       uint8_t* out_end, bool* block_ended);
#ifdef ZB_INFLATE_X86
  __attribute__((target("bmi,bmi2"))) Status FastLoopBmi2(const uint8_t*& in, const uint8_t* in_end,
                                                          uint8_t* out_base, uint8_t*& out,
                                                          uint8_t* out_end, bool* block_ended);
#endif
  Status FastLoopBest(const uint8_t*& in, const uint8_t* in_end, uint8_t* out_base, uint8_t*& out,
                      uint8_t* out_end, bool* block_ended);
  Status ReadCodeLengths(const uint8_t*& in, const uint8_t* in_end, bool last);

  const uint8_t* call_in_begin_ = nullptr;
};

// Copies a match in whole words. Each word read lies wholly before the word
// written, so overlapping is safe, and the last word may run up to 15 bytes
// past the match, which the fast loop's output margin allows. A distance
// under 8 is first spread byte by byte over 8 bytes; from there on the data
// repeats with a period that is a multiple of the distance and at least 8.
[[gnu::always_inline]] inline void CopyMatch(uint8_t* dst, uint32_t dist, uint32_t len) {
  uint8_t* const end = dst + len;
  if (dist >= 16) {
    const uint8_t* src = dst - dist;
    do {
      std::memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < end);
    return;
  }
  if (dist < 8) {
    const uint8_t* src = dst - dist;
    for (int i = 0; i < 8; ++i) dst[i] = src[i];
    dst += 8;
    dist = dist * (8 / dist + (8 % dist != 0));
  }
  const uint8_t* src = dst - dist;
  while (dst < end) {
    std::memcpy(dst, src, 8);
    dst += 8;
    src += 8;
  }
}

inline Status DecoderCore::FastLoop(const uint8_t*& in_ref, const uint8_t* in_end,
                                    uint8_t* out_base, uint8_t*& out_ref, uint8_t* out_end,
                                    bool* block_ended) {
  const uint8_t* in = in_ref;
  const uint8_t* const in_begin = in;
  uint8_t* out = out_ref;
  uint64_t bb = bitbuf;
  uint32_t bc = bitcount;
  const uint32_t* const lt = lit;
  const uint32_t* const dt = dist;
  const uint32_t lit_mask = (1u << kLitBits) - 1;
  const uint32_t dist_mask = (1u << kDistBits) - 1;
  Status status = Status::kNeedInput;  // "left the fast loop", not an error
  *block_ended = false;

  // Each iteration starts with the buffer refilled and the next entry looked
  // up: the lookup for the following symbol is issued before a match is
  // copied, so its latency hides behind the copy.
  bb |= Load64(in) << bc;
  in += (63 - bc) >> 3;
  bc |= 56;
  uint32_t e = lt[bb & lit_mask];
  const uint8_t* const in_fast_end = in_end - kFastInput;
  const uint8_t* const out_fast_end = out_end - kFastOutput;
  while (in <= in_fast_end && out <= out_fast_end) {
    // Literals are tested first: a primary entry that points to a subtable
    // is never a literal, and binaries are mostly literals, so the common
    // case pays for one test rather than two.
    if (!(e & kLiteral)) [[unlikely]] {
      if (e & kSubtable) {
        bb >>= kLitBits;
        bc -= kLitBits;
        e = lt[Value(e) + LowBits(bb, SubBits(e))];
      }
    }
    if (e & kLiteral) [[likely]] {
      *out++ = static_cast<uint8_t>(Value(e));
      bb >>= DropBits(e);
      bc -= DropBits(e);
      // At least 41 bits are left, so the next lookup need not wait for the
      // refill: this keeps the refill off the chain from one literal to the
      // next.
      e = lt[bb & lit_mask];
      bb |= Load64(in) << bc;
      in += (63 - bc) >> 3;
      bc |= 56;
      continue;
    }
    if (e & (kEndBlock | kInvalid)) {
      if (e & kInvalid) {
        status = Fail(InflateResult::kBadSymbol);
        break;
      }
      bb >>= DropBits(e);
      bc -= DropBits(e);
      *block_ended = true;
      break;
    }
    const uint32_t len = Value(e) + static_cast<uint32_t>(LowBits(bb, DropBits(e)) >> CodeLen(e));
    bb >>= DropBits(e);
    bc -= DropBits(e);

    uint32_t d = dt[bb & dist_mask];
    if (d & kSubtable) {
      bb >>= kDistBits;
      bc -= kDistBits;
      d = dt[Value(d) + LowBits(bb, SubBits(d))];
    }
    if (d & kInvalid) {
      status = Fail((d & kBadDistSymbol) == kBadDistSymbol ? InflateResult::kBadDistance
                                                           : InflateResult::kBadSymbol);
      break;
    }
    const uint32_t distance =
        Value(d) + static_cast<uint32_t>(LowBits(bb, DropBits(d)) >> CodeLen(d));
    bb >>= DropBits(d);
    bc -= DropBits(d);
    if (distance > static_cast<size_t>(out - out_base)) {
      status = Fail(InflateResult::kBadDistance);
      break;
    }
    // Likewise, unless the pair took nearly all the bits.
    const bool enough = bc >= kLitBits;
    e = lt[bb & lit_mask];
    bb |= Load64(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
    if (!enough) e = lt[bb & lit_mask];
    CopyMatch(out, distance, len);
    out += len;
  }

  // Hand back the whole bytes read ahead, as far as they came from this call's
  // input; the careful loop expects nothing above bitcount.
  const uint32_t back = std::min<uint32_t>(bc >> 3, static_cast<uint32_t>(in - in_begin));
  in -= back;
  bc -= back * 8;
  bb = LowBits(bb, bc);
  bitbuf = bb;
  bitcount = bc;
  in_ref = in;
  out_ref = out;
  return status;
}

Status DecoderCore::FastLoopPlain(const uint8_t*& in, const uint8_t* in_end, uint8_t* out_base,
                                  uint8_t*& out, uint8_t* out_end, bool* block_ended) {
  return FastLoop(in, in_end, out_base, out, out_end, block_ended);
}

#ifdef ZB_INFLATE_X86
Status DecoderCore::FastLoopBmi2(const uint8_t*& in, const uint8_t* in_end, uint8_t* out_base,
                                 uint8_t*& out, uint8_t* out_end, bool* block_ended) {
  return FastLoop(in, in_end, out_base, out, out_end, block_ended);
}
#endif

Status DecoderCore::FastLoopBest(const uint8_t*& in, const uint8_t* in_end, uint8_t* out_base,
                                 uint8_t*& out, uint8_t* out_end, bool* block_ended) {
#ifdef ZB_INFLATE_X86
  static const bool bmi2 = __builtin_cpu_supports("bmi2");
  if (bmi2) return FastLoopBmi2(in, in_end, out_base, out, out_end, block_ended);
#endif
  return FastLoopPlain(in, in_end, out_base, out, out_end, block_ended);
}

Status DecoderCore::ReadCodeLengths(const uint8_t*& in, const uint8_t* in_end, bool last) {
  const int total = hlit + hdist;
  while (index < total) {
    uint32_t need;
    uint32_t e;
    for (;;) {
      e = Peek(precode_table.data(), kPrecodeBits, 0, &need);
      if (need <= bitcount) break;
      if (!Pull(in, in_end, need)) return OutOfInput(last);
    }
    if (e & kInvalid) return Fail(InflateResult::kBadCodeLengths);
    const uint32_t sym = Value(e);
    if (sym < 16) {
      Drop(CodeLen(e));
      lens[index++] = static_cast<uint8_t>(sym);
      continue;
    }
    // 16: repeat the previous length 3-6 times (2 extra bits); 17: 3-10
    // zeros (3 bits); 18: 11-138 zeros (7 bits).
    const uint32_t extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
    if (!Pull(in, in_end, CodeLen(e) + extra)) return OutOfInput(last);
    const uint32_t base = sym == 16 ? 3 : sym == 17 ? 3 : 11;
    const uint32_t count = base + static_cast<uint32_t>(LowBits(bitbuf >> CodeLen(e), extra));
    if (sym == 16 && index == 0) return Fail(InflateResult::kBadCodeLengths);
    if (index + static_cast<int>(count) > total) return Fail(InflateResult::kBadCodeLengths);
    const uint8_t value = sym == 16 ? lens[index - 1] : 0;
    Drop(CodeLen(e) + extra);
    std::fill(lens + index, lens + index + count, value);
    index += static_cast<int>(count);
  }
  if (lens[df::kEndOfBlock] == 0) return Fail(InflateResult::kBadCodeLengths);
  if (!BuildTable(lens, hlit, CodeKind::kLitLen, kLitBits, lit_table.data(), lit_table.size()) ||
      !BuildTable(lens + hlit, hdist, CodeKind::kDist, kDistBits, dist_table.data(),
                  dist_table.size())) {
    return Fail(InflateResult::kBadCodeLengths);
  }
  lit = lit_table.data();
  dist = dist_table.data();
  mode = Mode::kHuffmanData;
  return Status::kDone;
}

Status DecoderCore::Run(const uint8_t*& in, const uint8_t* in_end, bool last, uint8_t* out_base,
                        uint8_t*& out, uint8_t* out_end, bool hard_end) {
  call_in_begin_ = in;
  for (;;) {
    switch (mode) {
      case Mode::kBlockHeader: {
        if (!Pull(in, in_end, 3)) return OutOfInput(last);
        final_block = bitbuf & 1;
        const auto type = static_cast<int>((bitbuf >> 1) & 3);
        Drop(3);
        if (type == df::kStored) {
          mode = Mode::kStoredLengths;
        } else if (type == df::kFixed) {
          lit = Fixed().lit.data();
          dist = Fixed().dist.data();
          mode = Mode::kHuffmanData;
        } else if (type == df::kDynamic) {
          mode = Mode::kDynamicCounts;
        } else {
          return Fail(InflateResult::kBadBlockType);
        }
        break;
      }

      case Mode::kStoredLengths: {
        // The block's data start at the next byte boundary.
        Drop(bitcount & 7);
        if (!Pull(in, in_end, 32)) return OutOfInput(last);
        const auto len = static_cast<uint32_t>(bitbuf & 0xFFFF);
        const auto nlen = static_cast<uint32_t>((bitbuf >> 16) & 0xFFFF);
        if (len != (~nlen & 0xFFFF)) return Fail(InflateResult::kBadStoredLength);
        Drop(32);
        stored_left = len;
        mode = Mode::kStoredCopy;
        break;
      }

      case Mode::kStoredCopy: {
        // Whole bytes still in the bit buffer come first.
        while (stored_left > 0 && bitcount >= 8) {
          if (out == out_end) return NoRoom(hard_end);
          *out++ = static_cast<uint8_t>(bitbuf);
          Drop(8);
          --stored_left;
        }
        while (stored_left > 0) {
          if (out == out_end) return NoRoom(hard_end);
          if (in == in_end) return OutOfInput(last);
          const size_t n = std::min<size_t>(
              {stored_left, static_cast<size_t>(out_end - out), static_cast<size_t>(in_end - in)});
          std::memcpy(out, in, n);
          out += n;
          in += n;
          stored_left -= static_cast<uint32_t>(n);
        }
        mode = final_block ? Mode::kDone : Mode::kBlockHeader;
        break;
      }

      case Mode::kDynamicCounts: {
        if (!Pull(in, in_end, 14)) return OutOfInput(last);
        hlit = static_cast<int>(bitbuf & 0x1F) + 257;
        hdist = static_cast<int>((bitbuf >> 5) & 0x1F) + 1;
        hclen = static_cast<int>((bitbuf >> 10) & 0xF) + 4;
        if (hlit > df::kNumUsedLitLen) return Fail(InflateResult::kBadCodeLengths);
        Drop(14);
        std::fill(std::begin(precode_lens), std::end(precode_lens), 0);
        index = 0;
        mode = Mode::kPrecodeLengths;
        break;
      }

      case Mode::kPrecodeLengths: {
        while (index < hclen) {
          if (!Pull(in, in_end, 3)) return OutOfInput(last);
          precode_lens[df::kPrecodeOrder[index++]] = static_cast<uint8_t>(bitbuf & 7);
          Drop(3);
        }
        if (!BuildTable(precode_lens, df::kNumPrecodeSymbols, CodeKind::kPrecode, kPrecodeBits,
                        precode_table.data(), precode_table.size())) {
          return Fail(InflateResult::kBadCodeLengths);
        }
        index = 0;
        mode = Mode::kCodeLengths;
        break;
      }

      case Mode::kCodeLengths: {
        const Status s = ReadCodeLengths(in, in_end, last);
        if (s != Status::kDone) return s;
        break;
      }

      case Mode::kHuffmanData: {
        if (in_end - in >= kFastInput && out_end - out >= kFastOutput) {
          bool block_ended;
          if (FastLoopBest(in, in_end, out_base, out, out_end, &block_ended) == Status::kFailed) {
            return Status::kFailed;
          }
          if (block_ended) {
            mode = final_block ? Mode::kDone : Mode::kBlockHeader;
            break;
          }
        }
        // One unit with the careful loop; then back to the top, which may
        // enter the fast loop again.
        uint32_t need;
        uint32_t e;
        for (;;) {
          e = Peek(lit, kLitBits, 0, &need);
          if (need <= bitcount) break;
          if (!Pull(in, in_end, need)) return OutOfInput(last);
        }
        uint32_t used = (e & kSubtable ? kLitBits : 0) + CodeLen(e);
        if (e & kInvalid) return Fail(InflateResult::kBadSymbol);
        if (e & kLiteral) {
          if (out == out_end) return NoRoom(hard_end);
          *out++ = static_cast<uint8_t>(Value(e));
          Drop(used);
          break;
        }
        if (e & kEndBlock) {
          Drop(used);
          mode = final_block ? Mode::kDone : Mode::kBlockHeader;
          break;
        }
        if (!Pull(in, in_end, used + Extra(e))) return OutOfInput(last);
        const uint32_t len = Value(e) + static_cast<uint32_t>(LowBits(bitbuf >> used, Extra(e)));
        used += Extra(e);
        uint32_t d;
        for (;;) {
          d = Peek(dist, kDistBits, used, &need);
          if (need <= bitcount) break;
          if (!Pull(in, in_end, need)) return OutOfInput(last);
        }
        if (d & kInvalid) {
          return Fail((d & kBadDistSymbol) == kBadDistSymbol ? InflateResult::kBadDistance
                                                             : InflateResult::kBadSymbol);
        }
        used += (d & kSubtable ? kDistBits : 0) + CodeLen(d);
        if (!Pull(in, in_end, used + Extra(d))) return OutOfInput(last);
        const uint32_t distance =
            Value(d) + static_cast<uint32_t>(LowBits(bitbuf >> used, Extra(d)));
        used += Extra(d);
        if (distance > static_cast<size_t>(out - out_base)) {
          return Fail(InflateResult::kBadDistance);
        }
        if (len > static_cast<size_t>(out_end - out)) return NoRoom(hard_end);
        Drop(used);
        const uint8_t* src = out - distance;
        for (uint32_t i = 0; i < len; ++i) out[i] = src[i];
        out += len;
        break;
      }

      case Mode::kDone: {
        // Whole bytes after the final block are not the stream's.
        // The careful loop never pulls a byte it does not need, so only bytes
        // the fast loop read ahead can be here, and it reads this call's input.
        const uint32_t back =
            std::min<uint32_t>(bitcount >> 3, static_cast<uint32_t>(in - call_in_begin_));
        in -= back;
        bitcount = 0;
        bitbuf = 0;
        return Status::kDone;
      }
    }
  }
}

}  // namespace

// ---- Streaming front end -------------------------------------------------

namespace {
constexpr size_t kWindow = df::kWindowSize;
constexpr size_t kOutputArea = 128 * 1024;
}  // namespace

struct Inflater::State {
  Sink sink;
  DecoderCore core;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kWindow + kOutputArea);
  size_t pos = 0;      // end of decoded data in buf
  size_t flushed = 0;  // buf[flushed, pos) not yet given to the sink
  uint64_t total_out = 0;
  uint64_t total_in = 0;
  uint64_t limit = UINT64_MAX;
  InflateResult sticky = InflateResult::kNeedInput;  // a final result, once reached

  bool Flush() {
    if (pos == flushed) return true;
    const std::span<const std::byte> piece(reinterpret_cast<const std::byte*>(buf.data() + flushed),
                                           pos - flushed);
    flushed = pos;
    return sink(piece);
  }
  void Slide() {
    const size_t keep = std::min(pos, kWindow);
    std::memmove(buf.data(), buf.data() + pos - keep, keep);
    pos = flushed = keep;
  }
};

Inflater::Inflater(Sink sink) : s_(std::make_unique<State>()) {
  s_->sink = std::move(sink);
  Reset();
}

Inflater::~Inflater() = default;

void Inflater::Reset() {
  s_->core.Reset();
  s_->pos = s_->flushed = 0;
  s_->total_out = s_->total_in = 0;
  s_->sticky = InflateResult::kNeedInput;
}

void Inflater::SetOutputLimit(uint64_t limit) { s_->limit = limit; }

uint64_t Inflater::TotalOut() const { return s_->total_out; }
uint64_t Inflater::TotalIn() const { return s_->total_in; }

InflateResult Inflater::Inflate(std::span<const std::byte> input, bool last, size_t* consumed) {
  State& s = *s_;
  *consumed = 0;
  if (s.sticky != InflateResult::kNeedInput) return s.sticky;

  const auto* const begin = reinterpret_cast<const uint8_t*>(input.data());
  const uint8_t* in = begin;
  const uint8_t* const in_end = begin + input.size();
  InflateResult result = InflateResult::kNeedInput;
  for (;;) {
    if (s.buf.size() - s.pos < static_cast<size_t>(kFastOutput)) {
      if (!s.Flush()) {
        result = InflateResult::kSinkStopped;
        break;
      }
      s.Slide();
    }
    uint8_t* const base = s.buf.data();
    uint8_t* out = base + s.pos;
    uint8_t* out_end = base + s.buf.size();
    bool hard_end = false;
    const uint64_t room = s.limit - std::min(s.limit, s.total_out);
    if (room < static_cast<uint64_t>(out_end - out)) {
      out_end = out + room;
      hard_end = true;
    }
    const Status st = s.core.Run(in, in_end, last, base, out, out_end, hard_end);
    s.total_out += static_cast<uint64_t>(out - (base + s.pos));
    s.pos = static_cast<size_t>(out - base);
    if (st == Status::kOutputFull) {
      if (!s.Flush()) {
        result = InflateResult::kSinkStopped;
        break;
      }
      s.Slide();
      continue;
    }
    result = st == Status::kDone        ? InflateResult::kDone
             : st == Status::kNeedInput ? InflateResult::kNeedInput
                                        : s.core.error;
    if (!s.Flush()) result = InflateResult::kSinkStopped;
    break;
  }
  *consumed = static_cast<size_t>(in - begin);
  s.total_in += *consumed;
  if (result != InflateResult::kNeedInput) s.sticky = result;
  // A later call after kDone reports kDone with nothing consumed.
  return result;
}

// ---- One-shot front end --------------------------------------------------

InflateResult InflateBuffer(std::span<const std::byte> in, std::span<std::byte> out,
                            size_t* in_used, size_t* out_size) {
  auto core = std::make_unique<DecoderCore>();
  const auto* const in_begin = reinterpret_cast<const uint8_t*>(in.data());
  const uint8_t* ip = in_begin;
  auto* const out_begin = reinterpret_cast<uint8_t*>(out.data());
  uint8_t* op = out_begin;
  const Status st =
      core->Run(ip, in_begin + in.size(), true, out_begin, op, out_begin + out.size(), true);
  *in_used = static_cast<size_t>(ip - in_begin);
  *out_size = static_cast<size_t>(op - out_begin);
  return st == Status::kDone ? InflateResult::kDone : core->error;
}

const char* InflateResultText(InflateResult r) {
  switch (r) {
    case InflateResult::kDone:
      return "stream complete";
    case InflateResult::kNeedInput:
      return "more input needed";
    case InflateResult::kTruncated:
      return "compressed data end early";
    case InflateResult::kBadBlockType:
      return "invalid block type";
    case InflateResult::kBadStoredLength:
      return "stored block length check failed";
    case InflateResult::kBadCodeLengths:
      return "invalid Huffman code lengths";
    case InflateResult::kBadSymbol:
      return "invalid Huffman code";
    case InflateResult::kBadDistance:
      return "invalid match distance";
    case InflateResult::kOutputLimit:
      return "output larger than expected";
    case InflateResult::kSinkStopped:
      return "output stopped";
  }
  return "unknown result";
}

}  // namespace zb::zip
