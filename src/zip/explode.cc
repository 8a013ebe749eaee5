// Explode: method 6 of the APPNOTE ("Implode"), LZ77 with Shannon-Fano
// coded lengths and distances.
//
// Flag bit 1 picks a 8 KiB window (7 plain low distance bits) over 4 KiB (6
// bits); flag bit 2 adds a tree for literals, which also raises the shortest
// match from 2 to 3 bytes. The trees come first, byte-aligned, in the order
// literal (256 codes, when present), length (64), distance (64). Each is run-
// length coded: a byte holding the count of bytes that follow minus one, then
// bytes whose low nibble is a code length minus one and whose high nibble is
// the number of consecutive values with that length minus one.
//
// Codes are assigned by the APPNOTE's rule: values sorted by length (stably),
// and walked from the longest, handing out consecutive codes starting at 0.
// Codes of one length therefore form one consecutive range, which lets the
// decoder match a code one bit at a time against per-length ranges: at most
// 16 steps a symbol, small tables and no way to index outside them. The
// codes are stored most significant bit first within the little-endian bit
// stream.
//
// Then each item starts with a bit: 1 is a literal (coded with the literal
// tree, or 8 plain bits), 0 a match: plain low distance bits, the distance
// tree's high 6 bits, then the length tree's value (63 adds a plain byte)
// plus the shortest match.
//
// Safety: a code table that over-subscribes the code space or whose codes
// are not a prefix code, a tree description that does not describe exactly
// its number of values, and a bit pattern no code matches are all corrupt.
// Distances reach at most 8192 back, inside the zero-filled window.

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>

#include "zip/legacy_decoders.h"
#include "zip/legacy_io.h"

namespace zb::zip {

namespace {

constexpr int kMaxCodeLength = 16;

class ShannonFanoTree {
 public:
  // Reads the tree's description for `n` values; kOk, kTruncated or kCorrupt.
  LegacyResult Read(legacy::BitReader& bits, int n) {
    uint32_t description_bytes;
    if (!bits.Read(8, &description_bytes)) return LegacyResult::kTruncated;
    ++description_bytes;
    std::array<uint8_t, 256> lengths{};
    int filled = 0;
    for (uint32_t i = 0; i < description_bytes; ++i) {
      uint32_t b;
      if (!bits.Read(8, &b)) return LegacyResult::kTruncated;
      const int length = static_cast<int>(b & 0x0F) + 1;
      const int repeat = static_cast<int>(b >> 4) + 1;
      if (filled + repeat > n) return LegacyResult::kCorrupt;
      std::fill_n(lengths.begin() + filled, repeat, static_cast<uint8_t>(length));
      filled += repeat;
    }
    if (filled != n) return LegacyResult::kCorrupt;
    return Build(std::span(lengths).first(static_cast<size_t>(n)));
  }

  // Decodes one value; false with `*result` set on a failure.
  bool Decode(legacy::BitReader& bits, uint32_t* value, LegacyResult* result) const {
    uint32_t code = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
      uint32_t bit;
      if (!bits.ReadBit(&bit)) {
        *result = LegacyResult::kTruncated;
        return false;
      }
      code = (code << 1) | bit;
      if (code - first_[length] < count_[length]) {
        *value = symbols_[offset_[length] + (code - first_[length])];
        return true;
      }
    }
    *result = LegacyResult::kCorrupt;
    return false;
  }

 private:
  LegacyResult Build(std::span<const uint8_t> lengths) {
    const size_t n = lengths.size();
    std::array<uint16_t, 256> sorted{};
    std::iota(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n), 0);
    std::stable_sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n),
                     [&](uint16_t a, uint16_t b) { return lengths[a] < lengths[b]; });

    count_.fill(0);
    first_.fill(0);
    offset_.fill(0);
    // Walk from the longest code down, as the APPNOTE assigns them; `code`
    // is left-aligned in 16 bits.
    uint32_t code = 0;
    uint32_t increment = 0;
    int last_length = 0;
    size_t next_symbol = 0;
    for (size_t i = n; i-- > 0;) {
      code += increment;
      const int length = lengths[sorted[i]];
      if (length != last_length) {
        last_length = length;
        increment = uint32_t{1} << (kMaxCodeLength - length);
        // A shorter code must begin on its own boundary, or it would be a
        // prefix of a longer one already handed out.
        if (code & (increment - 1)) return LegacyResult::kCorrupt;
        first_[length] = code >> (kMaxCodeLength - length);
        offset_[length] = static_cast<uint16_t>(next_symbol);
      }
      if (code + increment > (uint32_t{1} << kMaxCodeLength)) return LegacyResult::kCorrupt;
      symbols_[next_symbol++] = static_cast<uint8_t>(sorted[i]);
      ++count_[length];
    }
    return LegacyResult::kOk;
  }

  std::array<uint32_t, kMaxCodeLength + 1> first_{};
  std::array<uint32_t, kMaxCodeLength + 1> count_{};
  std::array<uint16_t, kMaxCodeLength + 1> offset_{};
  std::array<uint8_t, 256> symbols_{};
};

}  // namespace

LegacyResult Explode(uint16_t general_flags, const LegacySource& in, const LegacySink& out,
                     uint64_t uncompressed_size) {
  legacy::OutWindow window(out, uncompressed_size);
  if (window.Done()) return window.Finish(LegacyResult::kOk);
  legacy::BitReader bits(in);

  const bool large_window = (general_flags & 0x02) != 0;
  const bool literal_tree = (general_flags & 0x04) != 0;
  const int low_distance_bits = large_window ? 7 : 6;
  const uint32_t min_match = literal_tree ? 3 : 2;

  ShannonFanoTree literals, lengths, distances;
  LegacyResult r = LegacyResult::kOk;
  if (literal_tree && (r = literals.Read(bits, 256)) != LegacyResult::kOk) return window.Finish(r);
  if ((r = lengths.Read(bits, 64)) != LegacyResult::kOk) return window.Finish(r);
  if ((r = distances.Read(bits, 64)) != LegacyResult::kOk) return window.Finish(r);

  while (!window.Done()) {
    uint32_t is_literal;
    if (!bits.ReadBit(&is_literal)) return window.Finish(LegacyResult::kTruncated);
    if (is_literal) {
      uint32_t byte;
      if (literal_tree) {
        if (!literals.Decode(bits, &byte, &r)) return window.Finish(r);
      } else if (!bits.Read(8, &byte)) {
        return window.Finish(LegacyResult::kTruncated);
      }
      window.Put(static_cast<uint8_t>(byte));
      continue;
    }
    uint32_t low, high, length;
    if (!bits.Read(low_distance_bits, &low)) return window.Finish(LegacyResult::kTruncated);
    if (!distances.Decode(bits, &high, &r)) return window.Finish(r);
    if (!lengths.Decode(bits, &length, &r)) return window.Finish(r);
    if (length == 63) {
      uint32_t extra;
      if (!bits.Read(8, &extra)) return window.Finish(LegacyResult::kTruncated);
      length += extra;
    }
    const size_t distance = ((high << low_distance_bits) | low) + 1;
    window.Copy(distance, length + min_match);
  }
  return window.Finish(LegacyResult::kOk);
}

}  // namespace zb::zip
