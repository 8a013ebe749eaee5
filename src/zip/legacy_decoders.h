#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace zb::zip {

// Decoders for the early ZIP methods (APPNOTE): Shrink (1), Reduce with
// compression factors 1..4 (methods 2..5) and Implode (6). Read-only: nothing
// writes them any more. Input is pulled, output pushed; memory is bounded.
enum class LegacyResult {
  kOk,           // exactly `uncompressed_size` bytes were produced
  kTruncated,    // the input ended first
  kCorrupt,      // a code or tree that the method cannot produce
  kSinkStopped,  // the sink returned false
};

// Fills the buffer with up to its size in compressed bytes; returns how many
// (0 at the end of the entry's data).
using LegacySource = std::function<size_t(std::span<std::byte>)>;
using LegacySink = std::function<bool(std::span<const std::byte>)>;

// Every decoder stops after `uncompressed_size` bytes of output: these
// methods have no end marker, the entry's size is the end.
[[nodiscard]] LegacyResult Unshrink(const LegacySource& in, const LegacySink& out,
                                    uint64_t uncompressed_size);
// REQUIRES: 1 <= factor <= 4 (method - 1).
[[nodiscard]] LegacyResult Unreduce(int factor, const LegacySource& in, const LegacySink& out,
                                    uint64_t uncompressed_size);
// `general_flags` is the entry's general purpose bit flag: bit 1 selects the
// 8K dictionary, bit 2 the literal tree (three trees instead of two).
[[nodiscard]] LegacyResult Explode(uint16_t general_flags, const LegacySource& in,
                                   const LegacySink& out, uint64_t uncompressed_size);

[[nodiscard]] const char* LegacyResultText(LegacyResult r);

}  // namespace zb::zip
