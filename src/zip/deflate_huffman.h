#pragma once

#include <cstdint>
#include <span>

namespace zb::zip::deflate {

// Computes length-limited prefix code lengths for `freq` into `lengths`
// (same size). Symbols with frequency 0 get length 0. The result is always a
// complete code with at least two codes (when fewer than two symbols occur,
// one or two unused symbols are given length 1), so every decoder accepts it.
// REQUIRES: freq.size() <= 2^max_length, every frequency < 2^22.
void BuildCodeLengths(std::span<const uint32_t> freq, int max_length, std::span<uint8_t> lengths);

// Canonical codes for `lengths` (RFC 1951, 3.2.2), returned bit-reversed so
// they can be sent least significant bit first.
void BuildCanonicalCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes);

}  // namespace zb::zip::deflate
