// Unreduce: methods 2..5 of the APPNOTE ("Reduce" with compression factors
// 1..4), two stages undone in one pass.
//
// Stage 1, follower sets: the stream opens with, for every byte value X from
// 255 down to 0, a 6-bit count N(X) and N(X) bytes that often follow X. Then
// each byte is coded relative to the byte before it (Last-Character, starting
// at 0): with an empty follower set it is 8 plain bits; otherwise a 1 bit
// announces 8 plain bits and a 0 bit an index of B(N) bits into the set,
// where B(N) is the bits needed for N-1 but at least 1.
//
// Stage 2, the probabilistic expander, turns that byte stream into output.
// DLE (144) escapes: DLE 0 is a literal DLE; DLE V [E] D is a match whose
// length is the low 8-factor bits of V plus 3 (when those bits are all ones,
// the extra byte E adds to it) and whose distance is the high factor bits of
// V times 256 plus D plus 1. Factor 4 reaches back 4096 bytes, the output
// window (zero-filled, see legacy_io.h) covers that.
//
// Safety: an index beyond its follower set is corrupt; every other bit
// pattern has a meaning, so garbage decodes to garbage of the stated size or
// ends as truncated.

#include <array>
#include <cstdint>

#include "zip/legacy_decoders.h"
#include "zip/legacy_io.h"

namespace zb::zip {

namespace {

constexpr uint8_t kDle = 144;

// Bits needed for an index into a follower set of n entries (n >= 1).
int IndexBits(uint32_t n) {
  int bits = 1;
  while ((uint32_t{1} << bits) < n) ++bits;
  return bits;
}

struct FollowerSets {
  std::array<std::array<uint8_t, 64>, 256> sets{};
  std::array<uint8_t, 256> count{};
  std::array<uint8_t, 256> index_bits{};
};

enum class ExpandState { kLiteral, kAfterDle, kExtraLength, kDistance };

}  // namespace

LegacyResult Unreduce(int factor, const LegacySource& in, const LegacySink& out,
                      uint64_t uncompressed_size) {
  legacy::OutWindow window(out, uncompressed_size);
  if (factor < 1 || factor > 4) return window.Finish(LegacyResult::kCorrupt);
  if (window.Done()) return window.Finish(LegacyResult::kOk);
  legacy::BitReader bits(in);

  FollowerSets f;
  for (int x = 255; x >= 0; --x) {
    uint32_t n;
    if (!bits.Read(6, &n)) return window.Finish(LegacyResult::kTruncated);
    f.count[x] = static_cast<uint8_t>(n);
    f.index_bits[x] = static_cast<uint8_t>(n ? IndexBits(n) : 0);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t b;
      if (!bits.Read(8, &b)) return window.Finish(LegacyResult::kTruncated);
      f.sets[x][i] = static_cast<uint8_t>(b);
    }
  }

  const uint32_t length_mask = 0xFFu >> factor;
  const int distance_shift = 8 - factor;
  uint8_t last = 0;
  ExpandState state = ExpandState::kLiteral;
  uint32_t v = 0;
  uint32_t length = 0;

  while (!window.Done()) {
    uint32_t c;
    if (f.count[last] == 0) {
      if (!bits.Read(8, &c)) return window.Finish(LegacyResult::kTruncated);
    } else {
      uint32_t plain;
      if (!bits.ReadBit(&plain)) return window.Finish(LegacyResult::kTruncated);
      if (plain) {
        if (!bits.Read(8, &c)) return window.Finish(LegacyResult::kTruncated);
      } else {
        uint32_t index;
        if (!bits.Read(f.index_bits[last], &index)) {
          return window.Finish(LegacyResult::kTruncated);
        }
        if (index >= f.count[last]) return window.Finish(LegacyResult::kCorrupt);
        c = f.sets[last][index];
      }
    }
    last = static_cast<uint8_t>(c);

    switch (state) {
      case ExpandState::kLiteral:
        if (c == kDle) {
          state = ExpandState::kAfterDle;
        } else {
          window.Put(static_cast<uint8_t>(c));
        }
        break;
      case ExpandState::kAfterDle:
        if (c == 0) {
          window.Put(kDle);
          state = ExpandState::kLiteral;
        } else {
          v = c;
          length = v & length_mask;
          state = length == length_mask ? ExpandState::kExtraLength : ExpandState::kDistance;
        }
        break;
      case ExpandState::kExtraLength:
        length += c;
        state = ExpandState::kDistance;
        break;
      case ExpandState::kDistance: {
        const size_t distance = ((v >> distance_shift) << 8) + c + 1;
        window.Copy(distance, length + 3);
        state = ExpandState::kLiteral;
        break;
      }
    }
  }
  return window.Finish(LegacyResult::kOk);
}

}  // namespace zb::zip
