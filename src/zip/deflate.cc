#include "zip/deflate.h"

// The compressor in one page.
//
// Input is copied into a 256 KiB buffer. Only a full buffer (or Finish) is
// compressed, and only up to a fixed look-ahead before its end, so every
// decision depends on the bytes alone and never on how the caller split them
// into Write() calls: the same input and level always give the same stream.
// When the buffer is full, the older part is dropped by moving the last
// 32..64 KiB (the window) to the front, in multiples of the window size, so
// the chain ring indexed by position modulo 32 KiB keeps its slots.
//
// Matches are found with hash chains over four-byte hashes: a head table maps
// the hash to the most recent position, and a 32 K-entry ring of 16-bit
// distances links each position to the previous one with the same hash.
// Four-byte hashes keep the chains free of most false candidates, so a level
// can follow far fewer links than with three-byte hashes for the same ratio.
// The three-byte matches they miss come from a second small table holding
// the latest position per three-byte hash; such a match is taken only when
// the last block's codes say it is cheaper than its three literals, so
// distant short matches are not wasted on text but kept on binaries.
//
// Level 1 keeps one candidate per hash and no chains. Levels 2-3 take the
// longest match at each position (greedy); levels 4-9 defer each match by one
// byte and keep the later one if it is longer (lazy evaluation). The levels
// differ in how many links are followed and when a match is long enough to
// stop looking.
//
// Matches and literals are recorded as 32-bit symbols together with their
// frequencies. Every few thousand symbols the statistics of the latest chunk
// are compared with those of the block so far (an entropy estimate); when
// coding them apart is clearly cheaper than together, the block ends at the
// chunk boundary, so each block gets codes fitted to its own data. A block
// is then sent in whichever form is smallest, computed exactly: dynamic
// Huffman codes (lengths limited to 15 bits, code-length code to 7), the
// fixed codes, or stored bytes.
//
// Data that does not compress is noticed cheaply: match finding runs on a
// probe of a few kilobytes, and when the probe finds almost no matches the
// next stretch is recorded as literals without hashing at all. Such blocks
// come out stored. Probes and stretches are positions in the data, so this
// is deterministic too.
//
// Memory per stream: 256 KiB buffer + 128 KiB head table + 64 KiB chain ring
// + 64 KiB three-byte table + 128 KiB symbols + 64 KiB output, about 0.7 MiB.

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "zip/deflate_bit_writer.h"
#include "zip/deflate_constants.h"
#include "zip/deflate_huffman.h"

namespace zb::zip {

using namespace deflate;

namespace {

// Buffer of input: larger means fewer slides (each moves up to 64 KiB and
// rebases the 48 K head-table entries) and fewer forced block ends, but more
// memory.
constexpr uint32_t kBufferSize = 256 * 1024;
// Slack after the buffer for the 8-byte loads of the match comparison.
constexpr uint32_t kBufferPad = 16;
constexpr uint32_t kWindowMask = kWindowSize - 1;
// Bytes that must follow a position before it is coded while more input may
// come: a whole longest match plus the lazy step plus the hash bytes.
constexpr uint32_t kLookahead = kMaxMatch + kMinMatch + 1;

// Head table of the four-byte hash chains: 2^15 entries keeps collisions
// low for a 32 KiB window while the table (128 KiB) fits the second-level
// cache; more bits measured no better.
constexpr int kHashBits = 15;
constexpr uint32_t kHashSize = 1u << kHashBits;
// Latest position per three-byte hash, beside the four-byte chains. 2^14
// entries (64 KiB) recover nearly all the short matches a three-byte chain
// finds in binary data; 2^12 lost 0.1 % of ratio there, 2^16 gained 0.03 %.
constexpr int kHash3Bits = 14;
constexpr uint32_t kHash3Size = 1u << kHash3Bits;

// Symbols per block at most: more amortises the block header over more data
// but adapts codes less often; blocks also end earlier when statistics change.
constexpr uint32_t kMaxSymbols = 32768;

// Block splitting: statistics are compared every kSplitInterval symbols.
// Smaller intervals follow changes more closely but cost more estimates and
// risk splitting on noise.
constexpr uint32_t kSplitInterval = 4096;
// A block never ends on a statistics change before it covers this many input
// bytes; it bounds the number of blocks (see DeflateBound).
constexpr uint32_t kMinSplitBytes = 16384;
// Bits a split must save by the entropy estimate: roughly the size of a
// second dynamic block header, so splits pay for themselves.
constexpr double kSplitPenaltyBits = 800.0;

// Incompressible-data detection. A probe of kProbeBytes searched positions
// that finds matches for fewer than 1/kProbeRatio of its bytes starts a
// stretch of kSkipBytes literals without search. Random data then costs a
// fifth of the search work; longer stretches would save more but lose the
// compressible data that follows a compressed member of a library or tar for
// that long (doubling the stretch up to 256 KiB cost 0.6 % on binaries).
constexpr uint32_t kProbeBytes = 4096;
constexpr uint32_t kProbeRatio = 32;
constexpr uint32_t kSkipBytes = 16 * 1024;

// Output collects in a buffer handed to the sink when nearly full: larger
// means fewer sink calls (each may be a file write), smaller less memory.
constexpr uint32_t kOutSize = 64 * 1024;
constexpr uint32_t kOutSlack = 1024;

struct LevelParams {
  bool lazy;
  uint32_t chain;       // chain links followed at most (1: no chains at all)
  uint32_t nice;        // a match this long ends the search
  uint32_t lazy_limit;  // lazy: no search after a match this long
                        // greedy: longest match whose positions are all hashed
  uint32_t good;        // lazy: a previous match this long quarters the search
};

// Per level: the chain depth buys ratio with time roughly linearly; nice and
// the lazy limit stop searches early on long matches, where a longer one
// gains little. Level 1 keeps one candidate per hash and no chains; level 6
// follows 48 links, well under half of what a three-byte-hash design needs
// for the same ratio, because four-byte hashes leave out most false
// candidates (64 links gained 0.13 % on text for 10 % more time); level 9
// searches exhaustively.
constexpr LevelParams kLevels[10] = {
    {false, 0, 0, 0, 0},         // unused
    {false, 1, 16, 16, 0},       // 1
    {false, 4, 16, 16, 0},       // 2
    {false, 12, 32, 32, 0},      // 3
    {true, 12, 32, 8, 4},        // 4
    {true, 24, 64, 16, 8},       // 5
    {true, 48, 128, 16, 8},      // 6
    {true, 128, 192, 32, 16},    // 7
    {true, 1024, 258, 128, 32},  // 8
    {true, 4096, 258, 258, 32},  // 9
};

// Length (minus 3) to length symbol index 0..28.
constexpr auto kLengthSymbol = [] {
  std::array<uint8_t, 256> t{};
  for (int s = 0; s < 29; ++s) {
    const int base = kLengthBase[s] - 3;
    const int span = s == 28 ? 1 : (1 << kLengthExtra[s]);
    for (int i = 0; i < span && base + i < 256; ++i) t[base + i] = static_cast<uint8_t>(s);
  }
  t[255] = 28;  // length 258 has its own symbol, not 227 + 31
  return t;
}();

// Distance - 1 to distance code: direct below 256, then by (d - 1) >> 7
// (every code from 16 up starts at a multiple of 128).
constexpr auto kDistCode = [] {
  std::array<uint8_t, 512> t{};
  for (int c = 0; c < 30; ++c) {
    const int base = kDistBase[c] - 1;
    const int span = 1 << kDistExtra[c];
    for (int i = 0; i < span; ++i) {
      const int d = base + i;
      if (d < 256)
        t[d] = static_cast<uint8_t>(c);
      else
        t[256 + (d >> 7)] = static_cast<uint8_t>(c);
    }
  }
  return t;
}();

inline uint32_t DistCode(uint32_t dist) {
  const uint32_t d = dist - 1;
  return d < 256 ? kDistCode[d] : kDistCode[256 + (d >> 7)];
}

constexpr auto kFixedLitLenLengths = [] {
  std::array<uint8_t, kNumLitLenSymbols> t{};
  for (int i = 0; i < 144; ++i) t[i] = 8;
  for (int i = 144; i < 256; ++i) t[i] = 9;
  for (int i = 256; i < 280; ++i) t[i] = 7;
  for (int i = 280; i < 288; ++i) t[i] = 8;
  return t;
}();

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) {
    v = (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
  }
  return v;
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Multiplicative hashing: the top bits of the product depend on all the
// hashed bytes.
inline uint32_t Hash4(uint32_t word) { return (word * 0x9E3779B1u) >> (32 - kHashBits); }
inline uint32_t Hash3(uint32_t word) {
  return ((word & 0xFFFFFF) * 0x9E3779B1u) >> (32 - kHash3Bits);
}

// Length of the common prefix of a and b, at most `max`. Reads up to 7 bytes
// beyond a + max (the buffer has slack for that).
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t max) {
  uint32_t len = 0;
  while (len < max) {
    const uint64_t x = Load64(a + len) ^ Load64(b + len);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        len += static_cast<uint32_t>(std::countr_zero(x)) >> 3;
      } else {
        len += static_cast<uint32_t>(std::countl_zero(x)) >> 3;
      }
      return std::min(len, max);
    }
    len += 8;
  }
  return max;
}

// Bits needed by an entropy coder for the given counts: T log2 T - sum f log2 f.
double EntropyBits(const uint32_t* freq, int n) {
  double total = 0;
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    if (freq[i] != 0) {
      const double f = freq[i];
      total += f;
      sum += f * std::log2(f);
    }
  }
  return total > 0 ? total * std::log2(total) - sum : 0;
}

struct Histogram {
  std::array<uint32_t, kNumLitLenSymbols> litlen{};
  std::array<uint32_t, kNumDistSymbols> dist{};

  [[nodiscard]] double Bits() const {
    return EntropyBits(litlen.data(), kNumUsedLitLen) + EntropyBits(dist.data(), kNumUsedDist);
  }
};

}  // namespace

struct Deflater::State {
  Sink sink;
  LevelParams params{};
  bool finished = false;

  // Input buffer and match finder.
  std::unique_ptr<uint8_t[]> buf{new uint8_t[kBufferSize + kBufferPad]()};
  std::unique_ptr<uint32_t[]> head{new uint32_t[kHashSize]};
  // Distance to the previous position with the same hash (0: none), so the
  // ring needs no rebasing when the buffer slides.
  std::unique_ptr<uint16_t[]> prev{new uint16_t[kWindowSize]};
  std::unique_ptr<uint32_t[]> head3{new uint32_t[kHash3Size]};
  uint32_t cand3 = 0;
  // Estimated bits per symbol (from the last block) for short-match choices.
  std::array<uint8_t, kNumLitLenSymbols> cost_ll{};
  std::array<uint8_t, kNumDistSymbols> cost_d{};
  uint32_t filled = 0;  // bytes of buf holding input
  uint32_t pos = 0;     // next position to code

  // Lazy matching carried between calls: a position awaiting its decision.
  bool pending = false;
  uint32_t prev_len = 0;
  uint32_t prev_dist = 0;

  // Incompressible-data probe (positions in buf).
  uint32_t probe_start = 0;
  uint32_t probe_end = kProbeBytes;
  uint32_t probe_matched = 0;
  uint32_t skip_end = 0;

  // Symbols of the open block: literal byte, or (distance << 8) | (length - 3).
  std::unique_ptr<uint32_t[]> syms{new uint32_t[kMaxSymbols]};
  uint32_t num_syms = 0;
  Histogram freq;
  uint32_t block_start = 0;  // buf position of the block's first byte
  uint32_t coded_end = 0;    // buf position after the last recorded symbol
  // Split point candidate: the state at the last statistics check.
  Histogram freq_at_check;
  uint32_t syms_at_check = 0;
  uint32_t pos_at_check = 0;
  uint32_t next_check = kSplitInterval;

  // Output.
  std::unique_ptr<uint8_t[]> out{new uint8_t[kOutSize + kOutSlack]};
  BitWriter bits;
  uint64_t total_in = 0;
  uint64_t total_out = 0;

  // Byte classes for IsText.
  uint64_t black_bytes = 0;
  uint64_t text_bytes = 0;

  explicit State(Sink s) : sink(std::move(s)) {}

  void Reset(int level) {
    if (level < 1 || level > 9) throw std::invalid_argument("Deflate level must be 1..9");
    params = kLevels[level];
    finished = false;
    std::fill_n(head.get(), kHashSize, 0u);
    std::fill_n(prev.get(), kWindowSize, uint16_t{0});
    std::fill_n(head3.get(), kHash3Size, 0u);
    SetFixedCosts();
    filled = pos = 0;
    pending = false;
    prev_len = prev_dist = 0;
    probe_start = 0;
    probe_end = kProbeBytes;
    probe_matched = 0;
    skip_end = 0;
    num_syms = 0;
    freq = Histogram{};
    block_start = coded_end = 0;
    freq_at_check = Histogram{};
    syms_at_check = pos_at_check = 0;
    next_check = kSplitInterval;
    bits.Attach(out.get());
    bits.Clear();
    total_in = total_out = 0;
    black_bytes = text_bytes = 0;
  }

  // ---- Input ---------------------------------------------------------

  void Write(std::span<const std::byte> input) {
    if (finished) throw std::logic_error("Deflater::Write after Finish");
    CountByteClasses(input);
    total_in += input.size();
    const auto* p = reinterpret_cast<const uint8_t*>(input.data());
    size_t left = input.size();
    while (left > 0) {
      const size_t n = std::min<size_t>(left, kBufferSize - filled);
      std::memcpy(buf.get() + filled, p, n);
      filled += static_cast<uint32_t>(n);
      p += n;
      left -= n;
      if (filled == kBufferSize) {
        Compress(false);
        Slide();
      }
    }
  }

  // Every byte is either "black" (0..6, 128..255) or text (7..127), so only
  // the black ones are counted, eight at a time: the high bit marks 128..255,
  // and for the other bytes (b | 0x80) - 7 keeps its high bit only if b >= 7.
  void CountByteClasses(std::span<const std::byte> input) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    constexpr uint64_t kSeven = 0x0707070707070707ull;
    const auto* p = reinterpret_cast<const uint8_t*>(input.data());
    const size_t n = input.size();
    uint64_t black = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t x;
      std::memcpy(&x, p + i, 8);
      const uint64_t marks = (x & kHigh) | (~((x | kHigh) - kSeven) & ~x & kHigh);
      // One 0/1 per byte; the multiply sums them into the top byte.
      black += ((marks >> 7) * 0x0101010101010101ull) >> 56;
    }
    for (; i < n; ++i) black += (p[i] < 7) | (p[i] >= 128);
    black_bytes += black;
    text_bytes += n - black;
  }

  void Finish() {
    if (finished) return;
    Compress(true);
    FlushBlock(num_syms, freq, coded_end, true);
    bits.AlignToByte();
    SendOutput();
    finished = true;
  }

  // Drops input older than the window. The amount is a multiple of the
  // window size so positions keep their slot in the chain ring.
  void Slide() {
    assert(pos >= kWindowSize);
    const uint32_t start = (pos - kWindowSize) & ~kWindowMask;
    if (block_start < start) {
      // The open block must stay in the buffer in case it is sent stored.
      FlushBlock(num_syms, freq, coded_end, false);
    }
    std::memmove(buf.get(), buf.get() + start, filled - start);
    filled -= start;
    pos -= start;
    block_start -= start;
    coded_end -= start;
    pos_at_check = pos_at_check >= start ? pos_at_check - start : block_start;
    probe_start = probe_start >= start ? probe_start - start : 0;
    probe_end = probe_end >= start ? probe_end - start : 0;
    skip_end = skip_end >= start ? skip_end - start : 0;
    for (uint32_t i = 0; i < kHashSize; ++i) head[i] = head[i] >= start ? head[i] - start : 0;
    for (uint32_t i = 0; i < kHash3Size; ++i) head3[i] = head3[i] >= start ? head3[i] - start : 0;
  }

  // ---- Match finding ---------------------------------------------------

  void Compress(bool finishing) {
    uint32_t end;
    if (finishing) {
      end = filled;
    } else {
      if (filled < kLookahead) return;
      end = filled - kLookahead;
    }
    if (params.chain == 1) {
      CompressFast(end);
    } else if (params.lazy) {
      CompressLazy(end);
    } else {
      CompressGreedy(end);
    }
  }

  // Links position p into the chains; returns the previous head of its
  // four-byte chain and leaves the three-byte candidate in cand3.
  uint32_t Insert(uint32_t p) {
    const uint32_t word = Load32(buf.get() + p);
    const uint32_t h = Hash4(word);
    const uint32_t cand = head[h];
    head[h] = p;
    const uint32_t delta = p - cand;
    prev[p & kWindowMask] = static_cast<uint16_t>(delta <= kWindowSize ? delta : 0);
    const uint32_t h3 = Hash3(word);
    cand3 = head3[h3];
    head3[h3] = p;
    return cand;
  }

  // With four-byte chains, the most recent position with the same three
  // bytes still gives the short matches, which matter in binary data.
  uint32_t FindShortMatch(uint32_t p, uint32_t max_len, uint32_t* best_dist) const {
    const uint32_t c = cand3;
    if (c >= p || p - c > kWindowSize || max_len < kMinMatch) return kMinMatch - 1;
    const uint8_t* b = buf.get();
    if (((Load32(b + c) ^ Load32(b + p)) & 0xFFFFFF) != 0) return kMinMatch - 1;
    *best_dist = p - c;
    return MatchLength(b + p, b + c, max_len);
  }

  // Longest match at `p` among the chain from `cand` that is longer than
  // `best`; returns `best` when there is none.
  uint32_t FindMatch(uint32_t p, uint32_t cand, uint32_t max_len, uint32_t chain, uint32_t best,
                     uint32_t* best_dist) const {
    const uint8_t* b = buf.get();
    const uint8_t* cur = b + p;
    const uint32_t nice = std::min(params.nice, max_len);
    if (best >= nice) return best;
    const uint32_t limit = p > kWindowSize ? p - kWindowSize : 0;
    while (cand >= limit && cand < p) {
      const uint8_t* m = b + cand;
      // The two bytes ending at the length to beat, then the start: most
      // candidates fail one of these cheaply.
      if (Load16(m + best - 1) == Load16(cur + best - 1) && Load16(m) == Load16(cur)) {
        const uint32_t len = MatchLength(cur, m, max_len);
        if (len > best) {
          best = len;
          *best_dist = p - cand;
          if (len >= nice) break;
        }
      }
      if (--chain == 0) break;
      const uint32_t delta = prev[cand & kWindowMask];
      if (delta == 0 || delta > cand) break;
      cand -= delta;
    }
    return best;
  }

  // A three-byte match is worth less than its literals when the distance is
  // large or the literals are frequent; judged with the last block's codes.
  bool ShortMatchPays(uint32_t p, uint32_t dist) const {
    const uint8_t* b = buf.get() + p;
    const uint32_t dc = DistCode(dist);
    const uint32_t match_bits = cost_ll[kEndOfBlock + 1] + cost_d[dc] + kDistExtra[dc];
    return match_bits < uint32_t{cost_ll[b[0]]} + cost_ll[b[1]] + cost_ll[b[2]];
  }

  void SetFixedCosts() {
    std::array<uint8_t, kNumDistSymbols> d{};
    d.fill(5);
    SetCosts(kFixedLitLenLengths.data(), d.data());
  }

  void SetCosts(const uint8_t* ll_len, const uint8_t* d_len) {
    // A symbol without a code in the last block is assumed rare.
    for (int i = 0; i < kNumLitLenSymbols; ++i) cost_ll[i] = ll_len[i] ? ll_len[i] : 13;
    for (int i = 0; i < kNumDistSymbols; ++i) cost_d[i] = d_len[i] ? d_len[i] : 13;
  }

  // Decides whether to skip match finding at `p`: called at probe ends.
  void EndProbe(uint32_t p) {
    const uint32_t probed = p - probe_start;
    if (probe_matched * kProbeRatio < probed) {
      skip_end = p + kSkipBytes;
      probe_start = skip_end;
    } else {
      probe_start = p;
    }
    probe_end = probe_start + kProbeBytes;
    probe_matched = 0;
  }

  // Literals without search up to the end of the skip stretch or `end`.
  void SkipLiterals(uint32_t end) {
    const uint32_t stop = std::min(skip_end, end);
    const uint8_t* b = buf.get();
    while (pos < stop) {
      RecordLiteral(b[pos]);
      ++pos;
    }
  }

  // Level 1: one candidate per hash, no chains, and long matches hash only
  // their ends. Misses more matches than a chain but touches one table.
  void CompressFast(uint32_t end) {
    const uint8_t* b = buf.get();
    uint32_t* hd = head.get();
    while (pos < end) {
      if (pos >= probe_end) EndProbe(pos);
      if (pos < skip_end) {
        SkipLiterals(end);
        continue;
      }
      const uint32_t avail = filled - pos;
      if (avail < 4) {
        RecordLiteral(b[pos]);
        ++pos;
        continue;
      }
      const uint32_t word = Load32(b + pos);
      const uint32_t h = Hash4(word);
      const uint32_t cand = hd[h];
      hd[h] = pos;
      if (cand < pos && pos - cand <= kWindowSize && Load32(b + cand) == word) {
        const uint32_t max_len = std::min<uint32_t>(avail, kMaxMatch);
        const uint32_t len = 4 + MatchLength(b + pos + 4, b + cand + 4, max_len - 4);
        RecordMatch(len, pos - cand);
        probe_matched += len;
        const uint32_t stop = pos + len;
        const uint32_t last = std::min(stop, filled - 3);
        if (len <= params.lazy_limit) {
          for (uint32_t q = pos + 1; q < last; ++q) {
            hd[Hash4(Load32(b + q))] = q;
          }
        } else {
          for (uint32_t q = last - 2; q < last; ++q) {
            hd[Hash4(Load32(b + q))] = q;
          }
        }
        pos = stop;
        continue;
      }
      // No four-byte match: a three-byte one from the small table, which
      // binaries need to reach the ratio of a chained three-byte search.
      const uint32_t h3 = Hash3(word);
      const uint32_t c3 = head3[h3];
      head3[h3] = pos;
      if (c3 < pos && pos - c3 <= kWindowSize && ((Load32(b + c3) ^ word) & 0xFFFFFF) == 0 &&
          ShortMatchPays(pos, pos - c3)) {
        const uint32_t max_len = std::min<uint32_t>(avail, kMaxMatch);
        const uint32_t len = 3 + MatchLength(b + pos + 3, b + c3 + 3, max_len - 3);
        RecordMatch(len, pos - c3);
        probe_matched += len;
        const uint32_t last = std::min(pos + len, filled - 3);
        for (uint32_t q = pos + 1; q < last; ++q) hd[Hash4(Load32(b + q))] = q;
        pos += len;
        continue;
      }
      RecordLiteral(b[pos]);
      ++pos;
    }
  }

  void CompressGreedy(uint32_t end) {
    const uint8_t* b = buf.get();
    while (pos < end) {
      if (pos >= probe_end) EndProbe(pos);
      if (pos < skip_end) {
        SkipLiterals(end);
        continue;
      }
      const uint32_t avail = filled - pos;
      if (avail < 4) {
        RecordLiteral(b[pos]);
        ++pos;
        continue;
      }
      const uint32_t cand = Insert(pos);
      uint32_t dist = 0;
      const uint32_t max_len = std::min<uint32_t>(avail, kMaxMatch);
      const uint32_t floor = FindShortMatch(pos, max_len, &dist);
      const uint32_t len = FindMatch(pos, cand, max_len, params.chain, floor, &dist);
      if (len > kMinMatch || (len == kMinMatch && ShortMatchPays(pos, dist))) {
        RecordMatch(len, dist);
        probe_matched += len;
        const uint32_t stop = pos + len;
        if (len <= params.lazy_limit) {
          const uint32_t last = std::min(stop, filled - 3);
          for (uint32_t q = pos + 1; q < last; ++q) Insert(q);
        }
        pos = stop;
      } else {
        RecordLiteral(b[pos]);
        ++pos;
      }
    }
  }

  void CompressLazy(uint32_t end) {
    const uint8_t* b = buf.get();
    while (pos < end) {
      if (prev_len < kMinMatch) {
        // Probes end only where no match is waiting for its lazy decision.
        if (pos >= probe_end) EndProbe(pos);
        if (pos < skip_end) {
          if (pending) RecordLiteral(b[pos - 1]);
          pending = false;
          SkipLiterals(end);
          continue;
        }
      }
      const uint32_t avail = filled - pos;
      uint32_t cur_len = 0;
      uint32_t cur_dist = 0;
      if (avail >= 4) {
        const uint32_t cand = Insert(pos);
        if (prev_len < params.lazy_limit) {
          const uint32_t chain = prev_len >= params.good ? (params.chain >> 2) + 1 : params.chain;
          const uint32_t floor = std::max<uint32_t>(prev_len, kMinMatch - 1);
          const uint32_t max_len = std::min<uint32_t>(avail, kMaxMatch);
          const uint32_t start = std::max(floor, FindShortMatch(pos, max_len, &cur_dist));
          cur_len = FindMatch(pos, cand, max_len, chain, start, &cur_dist);
          if (cur_len == floor || (cur_len == kMinMatch && !ShortMatchPays(pos, cur_dist))) {
            cur_len = 0;
          }
        }
      }
      if (prev_len >= kMinMatch && cur_len <= prev_len) {
        // The match found one byte back is at least as good: take it.
        RecordMatch(prev_len, prev_dist);
        probe_matched += prev_len;
        const uint32_t stop = pos - 1 + prev_len;
        const uint32_t last = std::min(stop, filled - 3);
        for (uint32_t q = pos + 1; q < last; ++q) Insert(q);
        pos = stop;
        pending = false;
        prev_len = 0;
      } else {
        if (pending) RecordLiteral(b[pos - 1]);
        pending = true;
        prev_len = cur_len;
        prev_dist = cur_dist;
        ++pos;
      }
    }
    if (pos == filled && pending) {
      // End of input: the last byte had no match to defer to.
      RecordLiteral(b[pos - 1]);
      pending = false;
      prev_len = 0;
    }
  }

  // ---- Symbols and blocks ------------------------------------------------

  void RecordLiteral(uint8_t c) {
    syms[num_syms++] = c;
    ++freq.litlen[c];
    ++coded_end;
    if (num_syms == next_check) CheckBlock();
  }

  void RecordMatch(uint32_t len, uint32_t dist) {
    syms[num_syms++] = (dist << 8) | (len - kMinMatch);
    ++freq.litlen[kEndOfBlock + 1 + kLengthSymbol[len - kMinMatch]];
    ++freq.dist[DistCode(dist)];
    coded_end += len;
    if (num_syms == next_check) CheckBlock();
  }

  // At every split interval: end the block at the previous check point when
  // the newest chunk is better coded on its own; at the symbol limit, end it
  // regardless.
  void CheckBlock() {
    bool split = false;
    if (syms_at_check > 0 && pos_at_check - block_start >= kMinSplitBytes) {
      Histogram chunk;
      for (int i = 0; i < kNumLitLenSymbols; ++i) {
        chunk.litlen[i] = freq.litlen[i] - freq_at_check.litlen[i];
      }
      for (int i = 0; i < kNumDistSymbols; ++i)
        chunk.dist[i] = freq.dist[i] - freq_at_check.dist[i];
      const double apart = freq_at_check.Bits() + chunk.Bits() + kSplitPenaltyBits;
      split = apart < freq.Bits();
      if (split) {
        // FlushBlock starts an empty block; the chunk's symbols then move
        // to the front of the new one.
        const uint32_t first = syms_at_check;
        const uint32_t rest = num_syms - first;
        FlushBlock(first, freq_at_check, pos_at_check, false);
        std::memmove(syms.get(), syms.get() + first, rest * sizeof(uint32_t));
        num_syms = rest;
        freq = chunk;
      }
    }
    if (!split && num_syms == kMaxSymbols) {
      FlushBlock(num_syms, freq, coded_end, false);
    }
    freq_at_check = freq;
    syms_at_check = num_syms;
    pos_at_check = coded_end;
    next_check = std::min(num_syms + kSplitInterval, kMaxSymbols);
  }

  // Sends the first `count` symbols (input bytes block_start..raw_end) as one
  // block in its cheapest form, then starts a new block after them. The
  // caller rearranges any symbols beyond `count`.
  void FlushBlock(uint32_t count, const Histogram& hist, uint32_t raw_end, bool final) {
    Histogram h = hist;
    h.litlen[kEndOfBlock] = 1;

    // Dynamic code.
    std::array<uint8_t, kNumLitLenSymbols> ll_len{};
    std::array<uint8_t, kNumDistSymbols> d_len{};
    BuildCodeLengths(std::span(h.litlen.data(), kNumUsedLitLen), kMaxCodeLength,
                     std::span(ll_len.data(), kNumUsedLitLen));
    BuildCodeLengths(std::span(h.dist.data(), kNumUsedDist), kMaxCodeLength,
                     std::span(d_len.data(), kNumUsedDist));
    int hlit = kNumUsedLitLen;
    while (hlit > 257 && ll_len[hlit - 1] == 0) --hlit;
    int hdist = kNumUsedDist;
    while (hdist > 1 && d_len[hdist - 1] == 0) --hdist;

    // Code lengths as code-length-code items: symbol | (extra << 5).
    std::array<uint8_t, kNumLitLenSymbols + kNumDistSymbols> all{};
    std::copy_n(ll_len.begin(), hlit, all.begin());
    std::copy_n(d_len.begin(), hdist, all.begin() + hlit);
    const int num_lens = hlit + hdist;
    std::array<uint16_t, kNumLitLenSymbols + kNumDistSymbols> items;
    int num_items = 0;
    std::array<uint32_t, kNumPrecodeSymbols> pre_freq{};
    for (int i = 0; i < num_lens;) {
      const uint8_t v = all[i];
      int run = 1;
      while (i + run < num_lens && all[i + run] == v) ++run;
      i += run;
      if (v == 0) {
        while (run >= 11) {
          const int n = std::min(run, 138);
          items[num_items++] = static_cast<uint16_t>(18 | ((n - 11) << 5));
          ++pre_freq[18];
          run -= n;
        }
        if (run >= 3) {
          items[num_items++] = static_cast<uint16_t>(17 | ((run - 3) << 5));
          ++pre_freq[17];
          run = 0;
        }
      } else {
        items[num_items++] = v;
        ++pre_freq[v];
        --run;
        while (run >= 3) {
          const int n = std::min(run, 6);
          items[num_items++] = static_cast<uint16_t>(16 | ((n - 3) << 5));
          ++pre_freq[16];
          run -= n;
        }
      }
      while (run-- > 0) {
        items[num_items++] = v;
        ++pre_freq[v];
      }
    }
    std::array<uint8_t, kNumPrecodeSymbols> pre_len{};
    BuildCodeLengths(pre_freq, kMaxPrecodeLength, pre_len);
    int hclen = kNumPrecodeSymbols;
    while (hclen > 4 && pre_len[kPrecodeOrder[hclen - 1]] == 0) --hclen;

    // Exact sizes of the three forms.
    uint64_t extra_bits = 0;
    for (int s = 0; s < 29; ++s) extra_bits += uint64_t{h.litlen[257 + s]} * kLengthExtra[s];
    for (int s = 0; s < 30; ++s) extra_bits += uint64_t{h.dist[s]} * kDistExtra[s];
    uint64_t dyn_bits = 3 + 5 + 5 + 4 + 3 * uint64_t(hclen) + extra_bits;
    static constexpr uint8_t kItemExtra[3] = {2, 3, 7};
    for (int i = 0; i < num_items; ++i) {
      const int s = items[i] & 31;
      dyn_bits += pre_len[s] + (s >= 16 ? kItemExtra[s - 16] : 0);
    }
    uint64_t fixed_bits = 3 + extra_bits;
    for (int s = 0; s < kNumUsedLitLen; ++s) {
      dyn_bits += uint64_t{h.litlen[s]} * ll_len[s];
      fixed_bits += uint64_t{h.litlen[s]} * kFixedLitLenLengths[s];
    }
    for (int s = 0; s < kNumUsedDist; ++s) {
      dyn_bits += uint64_t{h.dist[s]} * d_len[s];
      fixed_bits += uint64_t{h.dist[s]} * 5;
    }
    const uint32_t raw_len = raw_end - block_start;
    uint64_t stored_bits = ~uint64_t{0};
    if (raw_len > 0) {
      const uint64_t chunks = (raw_len + kMaxStoredBlock - 1) / kMaxStoredBlock;
      // The first header pads to a byte from wherever the last block ended;
      // later ones always pad 5 bits.
      const int first_pad = (8 - (bits.pending_bits() + 3) % 8) % 8;
      stored_bits = 8 * uint64_t{raw_len} + chunks * (3 + 32) + first_pad + (chunks - 1) * 5;
    }

    if (stored_bits <= dyn_bits && stored_bits <= fixed_bits) {
      SetFixedCosts();
      WriteStored(raw_len, final);
    } else if (fixed_bits <= dyn_bits) {
      std::array<uint16_t, kNumLitLenSymbols> ll_code{};
      std::array<uint16_t, kNumDistSymbols> d_code{};
      std::array<uint8_t, kNumDistSymbols> fixed_d_len;
      fixed_d_len.fill(5);
      BuildCanonicalCodes(kFixedLitLenLengths, ll_code);
      BuildCanonicalCodes(fixed_d_len, d_code);
      SetFixedCosts();
      bits.Add((final ? 1 : 0) | (kFixed << 1), 3);
      WriteSymbols(count, kFixedLitLenLengths.data(), ll_code.data(), fixed_d_len.data(),
                   d_code.data());
    } else {
      std::array<uint16_t, kNumLitLenSymbols> ll_code{};
      std::array<uint16_t, kNumDistSymbols> d_code{};
      std::array<uint16_t, kNumPrecodeSymbols> pre_code{};
      BuildCanonicalCodes(ll_len, ll_code);
      BuildCanonicalCodes(d_len, d_code);
      BuildCanonicalCodes(pre_len, pre_code);
      SetCosts(ll_len.data(), d_len.data());
      bits.Add((final ? 1 : 0) | (kDynamic << 1), 3);
      bits.Add(hlit - 257, 5);
      bits.Add(hdist - 1, 5);
      bits.Add(hclen - 4, 4);
      bits.Flush();
      for (int i = 0; i < hclen; ++i) {
        bits.Add(pre_len[kPrecodeOrder[i]], 3);
        bits.Flush();
      }
      for (int i = 0; i < num_items; ++i) {
        const int s = items[i] & 31;
        bits.Add(pre_code[s], pre_len[s]);
        if (s >= 16) bits.Add(items[i] >> 5, kItemExtra[s - 16]);
        bits.Flush();
        MaybeSendOutput();
      }
      WriteSymbols(count, ll_len.data(), ll_code.data(), d_len.data(), d_code.data());
    }

    num_syms = 0;
    freq = Histogram{};
    block_start = raw_end;
    freq_at_check = Histogram{};
    syms_at_check = 0;
    pos_at_check = raw_end;
    next_check = kSplitInterval;
  }

  void WriteSymbols(uint32_t count, const uint8_t* ll_len, const uint16_t* ll_code,
                    const uint8_t* d_len, const uint16_t* d_code) {
    // Length code and extra bits joined per length, so a match takes two
    // additions to the bit buffer instead of four.
    std::array<uint32_t, 256> len_code;
    std::array<uint8_t, 256> len_bits;
    for (uint32_t lm = 0; lm < 256; ++lm) {
      const uint32_t ls = kLengthSymbol[lm];
      const uint32_t lsym = kEndOfBlock + 1 + ls;
      len_code[lm] = ll_code[lsym] | ((lm + kMinMatch - kLengthBase[ls]) << ll_len[lsym]);
      len_bits[lm] = static_cast<uint8_t>(ll_len[lsym] + kLengthExtra[ls]);
    }
    const uint32_t* s = syms.get();
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t sym = s[i];
      if (sym < 256) {
        bits.Add(ll_code[sym], ll_len[sym]);
      } else {
        const uint32_t lm = sym & 0xFF;
        const uint32_t dist = sym >> 8;
        bits.Add(len_code[lm], len_bits[lm]);
        const uint32_t dc = DistCode(dist);
        bits.Add(d_code[dc] | ((dist - kDistBase[dc]) << d_len[dc]), d_len[dc] + kDistExtra[dc]);
      }
      bits.Flush();
      if ((i & 63) == 63) MaybeSendOutput();
    }
    bits.Add(ll_code[kEndOfBlock], ll_len[kEndOfBlock]);
    bits.Flush();
    MaybeSendOutput();
  }

  void WriteStored(uint32_t raw_len, bool final) {
    const uint8_t* p = buf.get() + block_start;
    do {
      const uint32_t n = std::min<uint32_t>(raw_len, kMaxStoredBlock);
      raw_len -= n;
      const bool last = raw_len == 0;
      bits.Add((final && last ? 1 : 0) | (kStored << 1), 3);
      bits.AlignToByte();
      bits.Add(n, 16);
      bits.Add(n ^ 0xFFFF, 16);
      bits.Flush();
      SendOutput();
      Emit(p, n);
      p += n;
    } while (raw_len > 0);
  }

  // ---- Output ----------------------------------------------------------

  void MaybeSendOutput() {
    if (bits.position() - out.get() >= static_cast<ptrdiff_t>(kOutSize)) SendOutput();
  }

  // Hands the complete bytes to the sink; pending bits stay in the writer.
  void SendOutput() {
    const size_t n = static_cast<size_t>(bits.position() - out.get());
    if (n > 0) Emit(out.get(), n);
    bits.Rewind(out.get());
  }

  void Emit(const uint8_t* p, size_t n) {
    if (n == 0) return;
    sink(std::span(reinterpret_cast<const std::byte*>(p), n));
    total_out += n;
  }
};

Deflater::Deflater(int level, Sink sink) : s_(std::make_unique<State>(std::move(sink))) {
  s_->Reset(level);
}

Deflater::~Deflater() = default;

void Deflater::Reset(int level) { s_->Reset(level); }

void Deflater::Write(std::span<const std::byte> input) { s_->Write(input); }

void Deflater::Finish() { s_->Finish(); }

uint64_t Deflater::TotalIn() const { return s_->total_in; }

uint64_t Deflater::TotalOut() const { return s_->total_out; }

bool Deflater::IsText() const { return s_->black_bytes * 4 <= s_->text_bytes; }

uint64_t DeflateBound(uint64_t n) {
  // No block is larger than its bytes stored: per stored piece of up to 65535
  // bytes, 3 header bits, at most 7 bits of padding and 32 bits of lengths.
  // A block that ends before the input does covers at least kMinSplitBytes,
  // so blocks add at most one short piece each beyond the full pieces. Then
  // an empty final block (10 bits) and the last partial byte.
  const uint64_t pieces = n / kMaxStoredBlock + n / kMinSplitBytes + 1;
  return n + (pieces * 42 + 10 + 7 + 7) / 8;
}

std::vector<std::byte> DeflateBuffer(std::span<const std::byte> in, int level) {
  std::vector<std::byte> out;
  out.reserve(in.size() / 2 + 64);
  Deflater d(level, [&out](std::span<const std::byte> piece) {
    out.insert(out.end(), piece.begin(), piece.end());
  });
  d.Write(in);
  d.Finish();
  return out;
}

}  // namespace zb::zip
