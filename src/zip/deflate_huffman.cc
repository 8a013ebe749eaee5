#include "zip/deflate_huffman.h"

#include <algorithm>
#include <array>
#include <cassert>

// Code lengths are computed in two steps. First an unrestricted minimum-
// redundancy code, with the in-place method of Moffat and Katajainen (1995):
// symbols sorted by weight, one array, no heap and no tree nodes, linear after
// the sort. Then, if the longest code exceeds the limit Deflate allows (15, or
// 7 for the code-length code), the length counts are repaired with the
// procedure of ITU-T T.81 Annex K.3: two sibling leaves at the deepest level
// are lifted one level and the deepest leaf above them is split into a pair.
// Each step keeps the Kraft sum at exactly one, so the code stays complete,
// and it only ever lengthens the rarest codes, which costs a fraction of a
// percent against an optimal length-limited code (package-merge) at a small
// fraction of its work. Lengths go to the symbols in frequency order, rarest
// symbol longest; ties are broken by symbol number so the output is
// reproducible.

namespace zb::zip::deflate {

namespace {

constexpr int kSymbolBits = 10;  // symbol numbers < 1024
constexpr uint32_t kSymbolMask = (1u << kSymbolBits) - 1;

// `a` holds n >= 2 weights in ascending order; on return a[i] is the code
// length of the i-th weight (the smallest weight gets the longest code).
void MinimumRedundancyLengths(uint32_t* a, int n) {
  // Phase 1: build the tree; internal nodes overwrite consumed leaves and
  // later hold the index of their parent.
  int root = 0;
  int leaf = 2;
  a[0] += a[1];
  for (int next = 1; next < n - 1; ++next) {
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] = a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  // Phase 2: parent pointers become internal-node depths.
  a[n - 2] = 0;
  for (int next = n - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  // Phase 3: internal-node depths become leaf depths.
  int avail = 1;
  int used = 0;
  uint32_t depth = 0;
  root = n - 2;
  int next = n - 1;
  while (avail > 0) {
    while (root >= 0 && a[root] == depth) {
      ++used;
      --root;
    }
    while (avail > used) {
      a[next--] = depth;
      --avail;
    }
    avail = 2 * used;
    ++depth;
    used = 0;
  }
}

}  // namespace

void BuildCodeLengths(std::span<const uint32_t> freq, int max_length, std::span<uint8_t> lengths) {
  const int num_symbols = static_cast<int>(freq.size());
  assert(lengths.size() == freq.size() && num_symbols >= 2 && num_symbols <= 1024);
  std::array<uint32_t, 1024> sorted;
  int n = 0;
  for (int s = 0; s < num_symbols; ++s) {
    lengths[s] = 0;
    if (freq[s] != 0) sorted[n++] = (freq[s] << kSymbolBits) | static_cast<uint32_t>(s);
  }
  if (n < 2) {
    // A single used symbol still gets a complete two-code set: some decoders
    // reject the one-code form the RFC permits.
    const int used = n == 1 ? static_cast<int>(sorted[0] & kSymbolMask) : 0;
    lengths[used] = 1;
    lengths[used == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(sorted.begin(), sorted.begin() + n);

  std::array<uint32_t, 1024> a;
  for (int i = 0; i < n; ++i) a[i] = sorted[i] >> kSymbolBits;
  MinimumRedundancyLengths(a.data(), n);

  // a[0] is the longest length (at most n - 1).
  std::array<int, 1024> count{};
  const int longest = static_cast<int>(a[0]);
  for (int i = 0; i < n; ++i) ++count[a[i]];
  for (int i = longest; i > max_length; --i) {
    while (count[i] > 0) {
      int j = i - 2;
      while (count[j] == 0) --j;
      count[i] -= 2;
      count[i - 1] += 1;
      count[j + 1] += 2;
      count[j] -= 1;
    }
  }
  int i = 0;
  for (int len = std::min(longest, max_length); len >= 1; --len) {
    for (int k = 0; k < count[len]; ++k) {
      lengths[sorted[i++] & kSymbolMask] = static_cast<uint8_t>(len);
    }
  }
  assert(i == n);
}

void BuildCanonicalCodes(std::span<const uint8_t> lengths, std::span<uint16_t> codes) {
  std::array<uint16_t, 16> count{};
  for (uint8_t len : lengths) ++count[len];
  count[0] = 0;
  std::array<uint16_t, 16> next{};
  uint32_t code = 0;
  for (int len = 1; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = static_cast<uint16_t>(code);
  }
  for (size_t s = 0; s < lengths.size(); ++s) {
    const int len = lengths[s];
    if (len == 0) {
      codes[s] = 0;
      continue;
    }
    uint32_t c = next[len]++;
    uint32_t reversed = 0;
    for (int b = 0; b < len; ++b) {
      reversed = (reversed << 1) | (c & 1);
      c >>= 1;
    }
    codes[s] = static_cast<uint16_t>(reversed);
  }
}

}  // namespace zb::zip::deflate
