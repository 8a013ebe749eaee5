// Feeds arbitrary bytes to the decoder. Input: one parameter byte, a 24-bit
// little-endian uncompressed size (capped at 1 MiB), then the compressed data,
// handed over in small pieces so buffer refills happen often.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "zip/legacy_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t len) {
  if (len < 4) return 0;
  // data[0]: general purpose flags (bit 1: 8K window, bit 2: literal tree).
  const uint64_t size = std::min<uint64_t>(
      data[1] | uint64_t{data[2]} << 8 | uint64_t{data[3]} << 16, uint64_t{1} << 20);
  std::span<const uint8_t> in(data + 4, len - 4);
  size_t pos = 0;
  const size_t piece = 1 + (data[0] >> 3);
  zb::zip::LegacySource source = [&](std::span<std::byte> buf) {
    const size_t n = std::min({piece, buf.size(), in.size() - pos});
    std::copy_n(reinterpret_cast<const std::byte*>(in.data()) + pos, n, buf.begin());
    pos += n;
    return n;
  };
  uint64_t produced = 0;
  zb::zip::LegacySink sink = [&](std::span<const std::byte> out) {
    produced += out.size();
    return true;
  };
  const zb::zip::LegacyResult r =
      zb::zip::Explode(static_cast<uint16_t>(data[0] & 0x06), source, sink, size);
  if (produced > size) std::abort();
  if (r == zb::zip::LegacyResult::kOk && produced != size) std::abort();
  return 0;
}
