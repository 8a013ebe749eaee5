#pragma once

// Test-only encoders for the early ZIP methods, so the decoders can be
// checked on round trips: no common tool writes Shrink, Reduce or Implode
// any more. They aim at coverage of the formats' features (code growth,
// partial clears, the KwKwK case, follower sets, DLE matches, all four
// Implode variants), not at good compression or speed.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <queue>
#include <span>
#include <unordered_map>
#include <vector>

namespace zb::zip::testenc {

using Bytes = std::vector<std::byte>;

// Least-significant-bit-first packing, as all three methods use.
class BitWriter {
 public:
  void Put(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) PutBit((value >> i) & 1);
  }
  // A Shannon-Fano code, most significant bit first.
  void PutCode(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) PutBit((code >> i) & 1);
  }
  void PutBit(uint32_t bit) {
    if (count_ == 0) out_.push_back(std::byte{0});
    if (bit) out_.back() |= std::byte(1u << count_);
    count_ = (count_ + 1) & 7;
  }
  [[nodiscard]] const Bytes& Data() const { return out_; }

 private:
  Bytes out_;
  int count_ = 0;
};

// Greedy LZ77 match finder over 3-byte hash chains.
struct Match {
  size_t length = 0;
  size_t distance = 0;
};

class MatchFinder {
 public:
  MatchFinder(std::span<const uint8_t> data, size_t max_distance, size_t max_length)
      : data_(data), max_distance_(max_distance), max_length_(max_length) {}

  // Longest match at `pos` of at least 3 bytes; call for every position in
  // order (also those inside matches) so the chains stay complete.
  Match Find(size_t pos) {
    Match best;
    if (pos + 3 > data_.size()) return best;
    const uint32_t key = Key(pos);
    auto& chain = heads_[key];
    int steps = 0;
    for (auto it = chain.rbegin(); it != chain.rend() && steps < 64; ++it, ++steps) {
      const size_t cand = *it;
      if (pos - cand > max_distance_) break;
      size_t len = 0;
      while (len < max_length_ && pos + len < data_.size() && data_[cand + len] == data_[pos + len])
        ++len;
      if (len > best.length) best = {len, pos - cand};
    }
    return best;
  }
  void Insert(size_t pos) {
    if (pos + 3 <= data_.size()) heads_[Key(pos)].push_back(pos);
  }

 private:
  uint32_t Key(size_t pos) const {
    return uint32_t{data_[pos]} << 16 | uint32_t{data_[pos + 1]} << 8 | data_[pos + 2];
  }
  std::span<const uint8_t> data_;
  size_t max_distance_, max_length_;
  std::unordered_map<uint32_t, std::vector<size_t>> heads_;
};

// --- Shrink ---------------------------------------------------------------

struct ShrinkOptions {
  // Emit a partial clear after every this many codes (0: only when the
  // table is full).
  int clear_every = 0;
};

struct ShrinkStats {
  int partial_clears = 0;
  int code_size = 9;  // the final size
  int kwkwk = 0;      // codes sent before the decoder has added them
};

// The encoder keeps a table identical to the decoder's: the decoder adds
// (previous code, first byte of this code) when it reads a code, so the
// encoder adds (code just sent, next byte) after deciding on a clear.
inline Bytes Shrink(std::span<const uint8_t> data, ShrinkOptions opt = {},
                    ShrinkStats* stats = nullptr) {
  constexpr uint32_t kSize = 8192;
  std::vector<uint16_t> parent(kSize);
  std::vector<uint8_t> value(kSize);
  std::vector<bool> in_use(kSize, false);
  for (uint32_t c = 0; c < 256; ++c) in_use[c] = true;
  std::unordered_map<uint32_t, uint32_t> child;  // parent << 8 | byte -> code
  uint32_t next_free = 257;
  int code_size = 9;
  BitWriter out;
  ShrinkStats st;
  int since_clear = 0;
  uint32_t last_added = 0;  // the decoder adds this slot only on the next code

  auto emit = [&](uint32_t code) {
    while (code >= (1u << code_size)) {
      out.Put(256, code_size);
      out.Put(1, code_size);
      ++code_size;
    }
    if (code >= 257 && code == last_added) ++st.kwkwk;
    last_added = 0;
    out.Put(code, code_size);
  };
  auto has_child = [&](uint32_t code) {
    for (uint32_t c = 257; c < kSize; ++c)
      if (in_use[c] && parent[c] == code) return true;
    return false;
  };
  auto partial_clear = [&] {
    std::vector<bool> keep(kSize, false);
    for (uint32_t c = 257; c < kSize; ++c)
      if (in_use[c]) keep[parent[c]] = true;
    child.clear();
    for (uint32_t c = 257; c < kSize; ++c) {
      if (!keep[c]) in_use[c] = false;
    }
    for (uint32_t c = 257; c < kSize; ++c)
      if (in_use[c]) child[uint32_t{parent[c]} << 8 | value[c]] = c;
    next_free = 257;
    while (next_free < kSize && in_use[next_free]) ++next_free;
    ++st.partial_clears;
  };
  auto add = [&](uint32_t p, uint8_t b) {
    if (next_free >= kSize) return;
    last_added = next_free;
    parent[next_free] = static_cast<uint16_t>(p);
    value[next_free] = b;
    in_use[next_free] = true;
    child[p << 8 | b] = next_free;
    while (next_free < kSize && in_use[next_free]) ++next_free;
  };

  if (data.empty()) return {};
  uint32_t w = data[0];
  for (size_t i = 1; i < data.size(); ++i) {
    const uint8_t c = data[i];
    auto it = child.find(w << 8 | c);
    if (it != child.end() && in_use[it->second]) {
      w = it->second;
      continue;
    }
    emit(w);
    ++since_clear;
    const bool want_clear =
        next_free >= kSize || (opt.clear_every > 0 && since_clear >= opt.clear_every);
    // The code just sent must survive the clear: the decoder's next
    // addition hangs off it.
    if (want_clear && (w < 257 || has_child(w))) {
      out.Put(256, code_size);
      out.Put(2, code_size);
      partial_clear();
      since_clear = 0;
    }
    add(w, c);
    w = c;
  }
  emit(w);
  st.code_size = code_size;
  if (stats) *stats = st;
  return out.Data();
}

// --- Reduce ---------------------------------------------------------------

struct ReduceOptions {
  bool matches = true;        // DLE-coded matches besides literals
  size_t max_followers = 32;  // per follower set, at most 63
};

inline Bytes Reduce(std::span<const uint8_t> data, int factor, ReduceOptions opt = {}) {
  constexpr uint8_t kDle = 144;
  const uint32_t mask = 0xFFu >> factor;
  const size_t max_distance = size_t{1} << (8 + factor);
  const size_t max_length = mask + 255 + 3;

  // Stage 2 in reverse: the byte stream with DLE escapes.
  std::vector<uint8_t> mid;
  MatchFinder finder(data, max_distance, max_length);
  for (size_t i = 0; i < data.size();) {
    Match m = opt.matches ? finder.Find(i) : Match{};
    if (m.length >= 3) {
      const uint32_t len = static_cast<uint32_t>(m.length - 3);
      const uint32_t d = static_cast<uint32_t>(m.distance - 1);
      uint32_t v = (d >> 8) << (8 - factor);
      if (len < mask)
        v |= len;
      else
        v |= mask;
      if (v != 0) {  // V = 0 means a literal DLE: such a match cannot be coded
        mid.push_back(kDle);
        mid.push_back(static_cast<uint8_t>(v));
        if (len >= mask) mid.push_back(static_cast<uint8_t>(len - mask));
        mid.push_back(static_cast<uint8_t>(d & 0xFF));
        for (size_t k = 0; k < m.length; ++k) finder.Insert(i + k);
        i += m.length;
        continue;
      }
    }
    if (data[i] == kDle) {
      mid.push_back(kDle);
      mid.push_back(0);
    } else {
      mid.push_back(data[i]);
    }
    finder.Insert(i);
    ++i;
  }

  // Stage 1: follower sets from the most frequent successors.
  std::vector<std::array<uint32_t, 256>> freq(256);
  for (auto& f : freq) f.fill(0);
  uint8_t last = 0;
  for (uint8_t c : mid) {
    ++freq[last][c];
    last = c;
  }
  std::vector<std::vector<uint8_t>> sets(256);
  for (int x = 0; x < 256; ++x) {
    std::vector<int> order(256);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return freq[x][a] > freq[x][b]; });
    for (int k = 0; k < 256 && sets[x].size() < std::min<size_t>(opt.max_followers, 63); ++k) {
      if (freq[x][order[k]] == 0) break;
      sets[x].push_back(static_cast<uint8_t>(order[k]));
    }
  }
  auto index_bits = [](size_t n) {
    int b = 1;
    while ((size_t{1} << b) < n) ++b;
    return b;
  };

  BitWriter out;
  for (int x = 255; x >= 0; --x) {
    out.Put(static_cast<uint32_t>(sets[x].size()), 6);
    for (uint8_t f : sets[x]) out.Put(f, 8);
  }
  last = 0;
  for (uint8_t c : mid) {
    const auto& set = sets[last];
    if (set.empty()) {
      out.Put(c, 8);
    } else {
      auto it = std::find(set.begin(), set.end(), c);
      if (it == set.end()) {
        out.Put(1, 1);
        out.Put(c, 8);
      } else {
        out.Put(0, 1);
        out.Put(static_cast<uint32_t>(it - set.begin()), index_bits(set.size()));
      }
    }
    last = c;
  }
  return out.Data();
}

// --- Implode --------------------------------------------------------------

// Huffman code lengths for every symbol (each gets at least frequency 1, so
// the code is complete), flattened until no code exceeds 16 bits.
inline std::vector<int> CodeLengths(std::vector<uint32_t> freq) {
  for (auto& f : freq) f += 1;
  for (;;) {
    struct Node {
      uint64_t weight;
      int id;
      bool operator>(const Node& o) const {
        return weight != o.weight ? weight > o.weight : id > o.id;
      }
    };
    const int n = static_cast<int>(freq.size());
    std::vector<int> up(2 * n, -1);
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> q;
    for (int i = 0; i < n; ++i) q.push({freq[i], i});
    int next = n;
    while (q.size() > 1) {
      Node a = q.top();
      q.pop();
      Node b = q.top();
      q.pop();
      up[a.id] = up[b.id] = next;
      q.push({a.weight + b.weight, next++});
    }
    std::vector<int> lengths(n);
    int longest = 0;
    for (int i = 0; i < n; ++i) {
      int d = 0;
      for (int k = i; up[k] != -1; k = up[k]) ++d;
      lengths[i] = d;
      longest = std::max(longest, d);
    }
    if (longest <= 16) return lengths;
    for (auto& f : freq) f = f / 2 + 1;
  }
}

// Codes by the APPNOTE's rule: sorted by length (stable), consecutive codes
// handed out from the longest down, left-aligned in 16 bits.
inline std::vector<uint32_t> ShannonFanoCodes(const std::vector<int>& lengths) {
  const size_t n = lengths.size();
  std::vector<size_t> sorted(n);
  std::iota(sorted.begin(), sorted.end(), 0);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](size_t a, size_t b) { return lengths[a] < lengths[b]; });
  std::vector<uint32_t> codes(n);
  uint32_t code = 0, inc = 0;
  int last = 0;
  for (size_t i = n; i-- > 0;) {
    code += inc;
    const int len = lengths[sorted[i]];
    if (len != last) {
      last = len;
      inc = 1u << (16 - len);
    }
    codes[sorted[i]] = code >> (16 - len);
  }
  return codes;
}

// The run-length tree description: a count byte, then (repeat-1, length-1)
// nibble pairs.
inline void PutTree(BitWriter& out, const std::vector<int>& lengths) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < lengths.size();) {
    size_t run = 1;
    while (run < 16 && i + run < lengths.size() && lengths[i + run] == lengths[i]) ++run;
    bytes.push_back(static_cast<uint8_t>((run - 1) << 4 | (lengths[i] - 1)));
    i += run;
  }
  out.Put(static_cast<uint32_t>(bytes.size() - 1), 8);
  for (uint8_t b : bytes) out.Put(b, 8);
}

// `general_flags` bit 1: 8K window, bit 2: literal tree.
inline Bytes Implode(std::span<const uint8_t> data, uint16_t general_flags) {
  const bool large = general_flags & 0x02;
  const bool literal_tree = general_flags & 0x04;
  const int low_bits = large ? 7 : 6;
  const size_t min_match = literal_tree ? 3 : 2;
  const size_t max_distance = large ? 8192 : 4096;
  const size_t max_length = 63 + 255 + min_match;

  struct Item {
    bool literal;
    uint8_t byte;
    size_t length, distance;
  };
  std::vector<Item> items;
  MatchFinder finder(data, max_distance, max_length);
  for (size_t i = 0; i < data.size();) {
    Match m = finder.Find(i);
    if (m.length >= std::max<size_t>(min_match, 3)) {
      items.push_back({false, 0, m.length, m.distance});
      for (size_t k = 0; k < m.length; ++k) finder.Insert(i + k);
      i += m.length;
    } else if (!literal_tree && i >= 1 && i + 2 <= data.size() && data[i] == data[i - 1] &&
               data[i + 1] == data[i - 1]) {
      // A two-byte run match, which only the two-tree variant can code.
      items.push_back({false, 0, 2, 1});
      finder.Insert(i);
      finder.Insert(i + 1);
      i += 2;
    } else {
      items.push_back({true, data[i], 0, 0});
      finder.Insert(i);
      ++i;
    }
  }

  std::vector<uint32_t> lit_freq(256, 0), len_freq(64, 0), dist_freq(64, 0);
  for (const Item& it : items) {
    if (it.literal) {
      ++lit_freq[it.byte];
    } else {
      ++len_freq[std::min<size_t>(it.length - min_match, 63)];
      ++dist_freq[(it.distance - 1) >> low_bits];
    }
  }
  const auto lit_len = CodeLengths(lit_freq);
  const auto len_len = CodeLengths(len_freq);
  const auto dist_len = CodeLengths(dist_freq);
  const auto lit_code = ShannonFanoCodes(lit_len);
  const auto len_code = ShannonFanoCodes(len_len);
  const auto dist_code = ShannonFanoCodes(dist_len);

  BitWriter out;
  if (literal_tree) PutTree(out, lit_len);
  PutTree(out, len_len);
  PutTree(out, dist_len);
  for (const Item& it : items) {
    if (it.literal) {
      out.Put(1, 1);
      if (literal_tree) {
        out.PutCode(lit_code[it.byte], lit_len[it.byte]);
      } else {
        out.Put(it.byte, 8);
      }
      continue;
    }
    out.Put(0, 1);
    const uint32_t d = static_cast<uint32_t>(it.distance - 1);
    out.Put(d & ((1u << low_bits) - 1), low_bits);
    const uint32_t high = d >> low_bits;
    out.PutCode(dist_code[high], dist_len[high]);
    const size_t l = it.length - min_match;
    const uint32_t sym = static_cast<uint32_t>(std::min<size_t>(l, 63));
    out.PutCode(len_code[sym], len_len[sym]);
    if (sym == 63) out.Put(static_cast<uint32_t>(l - 63), 8);
  }
  return out.Data();
}

}  // namespace zb::zip::testenc
