// Inflate on arbitrary input: the one-shot decoder and the streaming one (its
// input cut into pieces whose size comes from the first byte) must agree on
// the result, the bytes consumed and the output; under ASan/UBSan nothing
// may read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zip/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = data[0] % 64 + 1;
  const auto* in = reinterpret_cast<const std::byte*>(data + 1);
  const size_t n = size - 1;
  // A limit well above what small inputs yield, yet low enough that long
  // runs of matches end with kOutputLimit quickly.
  constexpr size_t kLimit = 1 << 20;

  static std::vector<std::byte> one(kLimit);  // kept: clearing 1 MiB per run is slow
  size_t one_used = 0, one_size = 0;
  const auto r1 = zb::zip::InflateBuffer({in, n}, one, &one_used, &one_size);

  std::vector<std::byte> two;
  zb::zip::Inflater inf([&two](std::span<const std::byte> s) {
    two.insert(two.end(), s.begin(), s.end());
    return true;
  });
  inf.SetOutputLimit(kLimit);
  size_t pos = 0;
  auto r2 = zb::zip::InflateResult::kNeedInput;
  while (r2 == zb::zip::InflateResult::kNeedInput) {
    const size_t k = std::min(piece, n - pos);
    size_t used = 0;
    r2 = inf.Inflate({in + pos, k}, pos + k == n, &used);
    pos += used;
  }
  if (r1 != r2) std::abort();
  if (r1 == zb::zip::InflateResult::kDone) {
    if (one_used != pos || one_size != two.size()) std::abort();
    if (one_size != 0 && std::memcmp(one.data(), two.data(), one_size) != 0) std::abort();
  }
  return 0;
}
