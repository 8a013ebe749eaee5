// Compress-then-decompress round trip. The first input byte picks the level,
// the second the size pattern of the Write() pieces; the rest is the data.
// Our Inflate must give back exactly the input, and the stream must fit the
// promised bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zip/deflate.h"
#include "zip/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int level = data[0] % 9 + 1;
  const uint8_t pattern = data[1];
  const auto* in = reinterpret_cast<const std::byte*>(data + 2);
  const size_t n = size - 2;

  std::vector<std::byte> packed;
  zb::zip::Deflater deflater(level, [&packed](std::span<const std::byte> s) {
    packed.insert(packed.end(), s.begin(), s.end());
  });
  // Piece sizes cycle through small primes scaled by the pattern byte, so one
  // input exercises both tiny writes and writes crossing internal buffers.
  static constexpr size_t kSizes[] = {1, 2, 3, 7, 61, 509, 4093, 65521};
  size_t at = 0;
  for (unsigned i = 0; at < n; ++i) {
    const size_t k = std::min(kSizes[(pattern + i * (pattern | 1)) % 8], n - at);
    deflater.Write({in + at, k});
    at += k;
  }
  deflater.Finish();
  if (packed.size() != deflater.TotalOut() || deflater.TotalIn() != n) std::abort();
  if (packed.size() > zb::zip::DeflateBound(n)) std::abort();

  std::vector<std::byte> out(n + 1);
  size_t used = 0, out_size = 0;
  const auto r = zb::zip::InflateBuffer(packed, out, &used, &out_size);
  if (r != zb::zip::InflateResult::kDone || used != packed.size() || out_size != n) std::abort();
  if (!std::equal(out.begin(), out.begin() + n, in)) std::abort();
  return 0;
}
