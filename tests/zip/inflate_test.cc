#include "zip/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "zip/deflate_bitwriter.h"
#include "zip/deflate_constants.h"

namespace zb::zip {
namespace {

using Bytes = std::vector<std::byte>;
using testing::BitWriter;
using testing::CanonicalCodes;

// ---- Test data -------------------------------------------------------------

Bytes TextLike(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the ",     "archive ", "backup ", "of ",  "file ",
                                       "and ",     "project ", "zip ",    "\n",   "data ",
                                       "folder ",  "every ",   "time ",   "run ", "1999 ",
                                       "restore ", "{ ",       "} ",      "int ", "return "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    for (const char* c = kWords[rng() % 20]; *c && out.size() < n; ++c) {
      out.push_back(static_cast<std::byte>(*c));
    }
  }
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::byte>(rng());
  return out;
}

// Runs of short periods (distances 1..7 overlap their own output), long
// repeats far back in the window, and noise.
Bytes Mixed(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    switch (rng() % 4) {
      case 0: {
        const size_t period = 1 + rng() % 7, len = rng() % 600;
        for (size_t i = 0; i < len; ++i) {
          out.push_back(i < period ? static_cast<std::byte>(rng()) : out[out.size() - period]);
        }
        break;
      }
      case 1:
        if (out.size() > 1000) {
          const size_t from = rng() % (out.size() - 500), len = 3 + rng() % 400;
          for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
        }
        break;
      default:
        for (size_t i = rng() % 100; i > 0; --i) out.push_back(static_cast<std::byte>(rng() % 16));
    }
  }
  out.resize(n);
  return out;
}

Bytes ZlibDeflate(const Bytes& in, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, in.size()) + 16);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(::deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// ---- Decoding helpers -------------------------------------------------------

struct Decoded {
  InflateResult result;
  Bytes out;
  size_t consumed;
};

Decoded OneShot(const Bytes& in, size_t out_capacity) {
  Decoded d;
  d.out.resize(out_capacity);
  size_t out_size = 0;
  d.result = InflateBuffer(in, d.out, &d.consumed, &out_size);
  d.out.resize(out_size);
  return d;
}

// Feeds `in` in pieces: of size `piece` when non-zero, else of random sizes
// (mostly small, sometimes large) drawn from `seed`. The last piece is marked.
Decoded Streamed(const Bytes& in, size_t piece, uint32_t seed, uint64_t limit = UINT64_MAX) {
  Decoded d;
  Inflater inf([&d](std::span<const std::byte> s) {
    EXPECT_FALSE(s.empty());
    d.out.insert(d.out.end(), s.begin(), s.end());
    return true;
  });
  inf.SetOutputLimit(limit);
  std::mt19937 rng(seed);
  size_t pos = 0;
  d.consumed = 0;
  d.result = InflateResult::kNeedInput;
  while (d.result == InflateResult::kNeedInput) {
    size_t n = piece != 0 ? piece : (rng() % 4 == 0 ? rng() % 70000 : rng() % 40);
    n = std::min(n, in.size() - pos);
    const bool last = pos + n == in.size();
    size_t used = 0;
    d.result = inf.Inflate(std::span(in).subspan(pos, n), last, &used);
    EXPECT_LE(used, n);
    if (d.result == InflateResult::kNeedInput) {
      EXPECT_EQ(used, n) << "input left over";
    }
    pos += used;
    d.consumed = pos;
    if (d.result == InflateResult::kNeedInput && last) {
      ADD_FAILURE() << "kNeedInput after the last piece";
      break;
    }
  }
  EXPECT_EQ(inf.TotalIn(), d.consumed);
  EXPECT_EQ(inf.TotalOut(), d.out.size());
  return d;
}

std::string Name(InflateResult r) { return InflateResultText(r); }

// ---- Streams made by zlib ---------------------------------------------------

TEST(InflateTest, ZlibStreamsEveryLevelAndStrategy) {
  const std::vector<std::pair<std::string, Bytes>> inputs = {
      {"text", TextLike(300000, 1)},
      {"mixed", Mixed(300000, 2)},
      {"random", RandomBytes(100000, 3)},
  };
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  uint32_t seed = 100;
  for (const auto& [name, data] : inputs) {
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        const Bytes z = ZlibDeflate(data, level, strategy);
        const std::string what = name + " level " + std::to_string(level) + " strategy " +
                                 std::to_string(strategy) + " seed " + std::to_string(++seed);
        const Decoded one = OneShot(z, data.size());
        ASSERT_EQ(Name(one.result), Name(InflateResult::kDone)) << what;
        EXPECT_EQ(one.consumed, z.size()) << what;
        EXPECT_TRUE(one.out == data) << what;
        const Decoded st = Streamed(z, 0, seed);
        ASSERT_EQ(Name(st.result), Name(InflateResult::kDone)) << what;
        EXPECT_EQ(st.consumed, z.size()) << what;
        EXPECT_TRUE(st.out == data) << what;
      }
    }
  }
}

TEST(InflateTest, OneBytePiecesAndBoundarySizes) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{257}, size_t{32767}, size_t{32768},
                   size_t{32769}, size_t{65535}, size_t{65536}, size_t{200000}}) {
    const Bytes data = Mixed(n, static_cast<uint32_t>(n));
    for (int level : {0, 1, 6, 9}) {
      const Bytes z = ZlibDeflate(data, level, Z_DEFAULT_STRATEGY);
      const std::string what = "size " + std::to_string(n) + " level " + std::to_string(level);
      const Decoded st = Streamed(z, 1, 0);
      ASSERT_EQ(Name(st.result), Name(InflateResult::kDone)) << what;
      EXPECT_EQ(st.consumed, z.size()) << what;
      EXPECT_TRUE(st.out == data) << what;
      const Decoded one = OneShot(z, n);
      ASSERT_EQ(Name(one.result), Name(InflateResult::kDone)) << what;
      EXPECT_TRUE(one.out == data) << what;
    }
  }
}

// Several MiB through the streaming decoder: the window slides many times and
// matches reach back across the slide.
TEST(InflateTest, LongStreamSlidesTheWindow) {
  Bytes data = TextLike(3 << 20, 9);
  const Bytes mixed = Mixed(1 << 20, 10);
  data.insert(data.end(), mixed.begin(), mixed.end());
  const Bytes z = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY);
  const Decoded st = Streamed(z, 0, 77);
  ASSERT_EQ(Name(st.result), Name(InflateResult::kDone));
  EXPECT_TRUE(st.out == data);
}

// ---- Boundaries -------------------------------------------------------------

TEST(InflateTest, TruncationAtEveryByteIsReported) {
  // Dynamic, fixed and stored blocks, so each kind of field gets cut.
  Bytes data = TextLike(3000, 4);
  const Bytes z1 = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  const Bytes z2 = ZlibDeflate(data, 6, Z_FIXED);
  const Bytes z3 = ZlibDeflate(data, 0, Z_DEFAULT_STRATEGY);
  for (const Bytes* z : {&z1, &z2, &z3}) {
    for (size_t cut = 0; cut < z->size(); ++cut) {
      const Bytes part(z->begin(), z->begin() + static_cast<ptrdiff_t>(cut));
      const Decoded one = OneShot(part, data.size());
      ASSERT_EQ(Name(one.result), Name(InflateResult::kTruncated)) << "cut " << cut;
      EXPECT_TRUE(std::equal(one.out.begin(), one.out.end(), data.begin())) << "cut " << cut;
      const Decoded st = Streamed(part, cut % 7 + 1, 0);
      ASSERT_EQ(Name(st.result), Name(InflateResult::kTruncated)) << "cut " << cut;
    }
  }
}

TEST(InflateTest, OutputLimit) {
  const Bytes data = TextLike(100000, 5);
  for (int level : {0, 6}) {
    const Bytes z = ZlibDeflate(data, level, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(Name(OneShot(z, data.size()).result), Name(InflateResult::kDone));
    const Decoded one = OneShot(z, data.size() - 1);
    EXPECT_EQ(Name(one.result), Name(InflateResult::kOutputLimit));
    EXPECT_LE(one.out.size(), data.size() - 1);
    EXPECT_EQ(Name(Streamed(z, 0, 1, data.size()).result), Name(InflateResult::kDone));
    const Decoded st = Streamed(z, 0, 1, data.size() - 1);
    EXPECT_EQ(Name(st.result), Name(InflateResult::kOutputLimit));
    EXPECT_LE(st.out.size(), data.size() - 1);
    EXPECT_EQ(Name(Streamed(z, 0, 1, 0).result), Name(InflateResult::kOutputLimit));
  }
}

TEST(InflateTest, TrailingDataIsNotConsumed) {
  const Bytes data = TextLike(50000, 6);
  for (int level : {0, 1, 9}) {
    const Bytes z = ZlibDeflate(data, level, Z_DEFAULT_STRATEGY);
    Bytes in = z;
    const Bytes junk = RandomBytes(100, 7);
    in.insert(in.end(), junk.begin(), junk.end());
    const Decoded one = OneShot(in, data.size());
    ASSERT_EQ(Name(one.result), Name(InflateResult::kDone));
    EXPECT_EQ(one.consumed, z.size()) << "level " << level;
    for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}, size_t{0}}) {
      const Decoded st = Streamed(in, piece, 3);
      ASSERT_EQ(Name(st.result), Name(InflateResult::kDone));
      EXPECT_EQ(st.consumed, z.size()) << "level " << level << " piece " << piece;
      EXPECT_TRUE(st.out == data);
    }
  }
}

TEST(InflateTest, SinkStopsDecoding) {
  const Bytes data = TextLike(1 << 20, 8);
  const Bytes z = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  int calls = 0;
  Inflater inf([&calls](std::span<const std::byte>) { return ++calls < 2; });
  size_t used = 0;
  EXPECT_EQ(inf.Inflate(z, true, &used), InflateResult::kSinkStopped);
  EXPECT_EQ(calls, 2);
  EXPECT_LT(inf.TotalOut(), data.size());
  // The result stays until Reset; then the same decoder starts afresh.
  EXPECT_EQ(inf.Inflate(z, true, &used), InflateResult::kSinkStopped);
  EXPECT_EQ(used, 0u);
  Bytes out;
  Inflater again([&out](std::span<const std::byte> s) {
    out.insert(out.end(), s.begin(), s.end());
    return true;
  });
  EXPECT_EQ(again.Inflate(z, true, &used), InflateResult::kDone);
  again.Reset();
  out.clear();
  EXPECT_EQ(again.Inflate(z, true, &used), InflateResult::kDone);
  EXPECT_EQ(used, z.size());
  EXPECT_TRUE(out == data);
}

// ---- Hand-built streams -------------------------------------------------------

// Writes a dynamic block header for the given code lengths. The code-length
// code gives symbols 0-12 four bits and 13-18 five bits (a complete code),
// and every length is sent as its own symbol, without repeats. Returns the
// canonical literal/length and distance codes for writing the block's data.
struct DynamicCodes {
  std::vector<uint32_t> lit, dist;
  std::vector<int> lit_len, dist_len;
};
DynamicCodes WriteDynamicHeader(BitWriter& w, const std::vector<int>& lit,
                                const std::vector<int>& dist) {
  std::vector<int> pre(19);
  for (int s = 0; s < 19; ++s) pre[s] = s < 13 ? 4 : 5;
  const auto pre_codes = CanonicalCodes(pre);
  w.Bits(static_cast<uint32_t>(lit.size() - 257), 5)    // HLIT
      .Bits(static_cast<uint32_t>(dist.size() - 1), 5)  // HDIST
      .Bits(19 - 4, 4);                                 // HCLEN: all 19
  for (int i = 0; i < 19; ++i) w.Bits(pre[deflate::kPrecodeOrder[i]], 3);
  for (int l : lit) w.Code(pre_codes[l], pre[l]);
  for (int l : dist) w.Code(pre_codes[l], pre[l]);
  return {CanonicalCodes(lit), CanonicalCodes(dist), lit, dist};
}

// Literal/length lengths: `lens` for the listed symbols, zero elsewhere.
std::vector<int> Lengths(size_t n, std::initializer_list<std::pair<int, int>> lens) {
  std::vector<int> v(n);
  for (auto [sym, len] : lens) v[sym] = len;
  return v;
}

// Checks both front ends, fed whole and in 1-byte pieces; then again with
// zero bytes appended, which lets the fast loop (it needs input to spare)
// meet the fault too.
void ExpectBoth(const Bytes& stream, InflateResult want, const std::string& what) {
  Bytes padded = stream;
  padded.resize(stream.size() + 64);
  for (const Bytes* s : {&stream, static_cast<const Bytes*>(&padded)}) {
    const std::string how = s == &stream ? "" : ", padded";
    EXPECT_EQ(Name(OneShot(*s, 1000).result), Name(want)) << what << " (one-shot" << how << ")";
    EXPECT_EQ(Name(Streamed(*s, 1, 0).result), Name(want))
        << what << " (1-byte pieces" << how << ")";
    EXPECT_EQ(Name(Streamed(*s, s->size(), 0).result), Name(want))
        << what << " (whole" << how << ")";
  }
}

TEST(InflateTest, MalformedStreamsAreRejected) {
  struct Case {
    std::string what;
    Bytes stream;
    InflateResult want;
  };
  std::vector<Case> cases;
  auto add = [&cases](std::string what, const BitWriter& w, InflateResult want) {
    cases.push_back({std::move(what), w.Finish(), want});
  };

  add("block type 3", BitWriter().Header(true, 3), InflateResult::kBadBlockType);
  add("block type 3 after a good block",
      BitWriter().Header(false, 1).FixedSymbol(256).Header(true, 3), InflateResult::kBadBlockType);
  add("stored LEN != ~NLEN", BitWriter().Header(true, 0).Align().Bits(5, 16).Bits(0xFFFA ^ 1, 16),
      InflateResult::kBadStoredLength);

  {  // Literal/length code over-subscribed: three codes of one bit.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{0, 1}, {1, 1}, {256, 1}}), {1});
    add("over-subscribed literal/length code", w, InflateResult::kBadCodeLengths);
  }
  {  // Incomplete: two codes of two bits leave half the code space unused.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{0, 2}, {256, 2}}), {1});
    add("incomplete literal/length code", w, InflateResult::kBadCodeLengths);
  }
  {  // Only the end-of-block symbol, one bit long: incomplete as well.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{256, 1}}), {1});
    add("single literal/length code", w, InflateResult::kBadCodeLengths);
  }
  {  // A complete code without the end-of-block symbol.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{'a', 1}, {'b', 1}}), {1});
    add("no end-of-block code", w, InflateResult::kBadCodeLengths);
  }
  {  // Distance code over-subscribed.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{'a', 1}, {256, 1}}), {1, 1, 1});
    add("over-subscribed distance code", w, InflateResult::kBadCodeLengths);
  }
  {  // Distance code incomplete with two codes.
    BitWriter w;
    w.Header(true, 2);
    WriteDynamicHeader(w, Lengths(257, {{'a', 1}, {256, 1}}), {2, 2});
    add("incomplete distance code", w, InflateResult::kBadCodeLengths);
  }
  {  // HLIT 30 means 287 literal/length codes, beyond the 286 that exist.
    BitWriter w;
    w.Header(true, 2).Bits(30, 5).Bits(0, 5).Bits(15, 4);
    add("HLIT 287", w, InflateResult::kBadCodeLengths);
  }
  {  // Code-length code over-subscribed: four symbols of one bit.
    BitWriter w;
    w.Header(true, 2).Bits(0, 5).Bits(0, 5).Bits(0, 4);  // HCLEN 4: symbols 16,17,18,0
    for (int i = 0; i < 4; ++i) w.Bits(1, 3);
    add("over-subscribed code-length code", w, InflateResult::kBadCodeLengths);
  }
  {  // Code-length code incomplete: a single symbol of two bits.
    BitWriter w;
    w.Header(true, 2).Bits(0, 5).Bits(0, 5).Bits(0, 4);
    w.Bits(0, 3).Bits(0, 3).Bits(0, 3).Bits(2, 3);  // only symbol 0, length 2
    add("incomplete code-length code", w, InflateResult::kBadCodeLengths);
  }
  {  // The first code length is a repeat (16), with no previous length to
     // repeat. Code-length code: 16 and 0 one bit each, so 0 -> "0", 16 -> "1".
    BitWriter w;
    w.Header(true, 2).Bits(0, 5).Bits(0, 5).Bits(0, 4);
    w.Bits(1, 3).Bits(0, 3).Bits(0, 3).Bits(1, 3);
    w.Code(1, 1).Bits(0, 2);  // 16, repeat 3 times
    add("repeat with no previous length", w, InflateResult::kBadCodeLengths);
  }
  {  // 18 with 138 zeros, twice: 276 lengths where HLIT 257 + HDIST 1 = 258
     // are expected. Code-length code: 0 -> "0", 18 -> "1".
    BitWriter w;
    w.Header(true, 2).Bits(0, 5).Bits(0, 5).Bits(0, 4);
    w.Bits(0, 3).Bits(0, 3).Bits(1, 3).Bits(1, 3);  // 16:0 17:0 18:1 0:1
    w.Code(1, 1).Bits(127, 7);                      // 138 zeros
    w.Code(1, 1).Bits(127, 7);                      // 276 > 258
    add("repeat past the last length", w, InflateResult::kBadCodeLengths);
  }
  add("literal/length symbol 286", BitWriter().Header(true, 1).FixedSymbol(286),
      InflateResult::kBadSymbol);
  add("literal/length symbol 287", BitWriter().Header(true, 1).FixedSymbol(287),
      InflateResult::kBadSymbol);
  add("distance symbol 30",
      BitWriter().Header(true, 1).FixedSymbol('a').FixedSymbol(257).FixedDistance(30),
      InflateResult::kBadDistance);
  add("distance symbol 31",
      BitWriter().Header(true, 1).FixedSymbol('a').FixedSymbol(257).FixedDistance(31),
      InflateResult::kBadDistance);
  add("distance before the first byte",
      BitWriter().Header(true, 1).FixedSymbol(257).FixedDistance(0), InflateResult::kBadDistance);
  add("distance 2 after one byte",
      BitWriter().Header(true, 1).FixedSymbol('a').FixedSymbol(257).FixedDistance(1),
      InflateResult::kBadDistance);
  {  // Distance beyond the output after a previous block: 32768 after 300 bytes
     // (symbol 29 with all 13 extra bits set).
    BitWriter w;
    w.Header(false, 0).Align().Bits(300, 16).Bits(0xFFFF ^ 300, 16);
    for (int i = 0; i < 300; ++i) w.Byte('x');
    w.Header(true, 1).FixedSymbol(257).FixedDistance(29).Bits(8191, 13);
    add("distance 32768 after 300 bytes", w, InflateResult::kBadDistance);
  }
  {  // A single distance code (symbol 0, one bit "0"): the unused code "1"
     // is not a distance.
    BitWriter w;
    w.Header(true, 2);
    const auto c = WriteDynamicHeader(w, Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), {1});
    w.Code(c.lit['a'], 1).Code(c.lit[257], 2).Code(1, 1);
    add("unused code of a single distance code", w, InflateResult::kBadSymbol);
  }
  {  // No distance codes at all, yet a length symbol.
    BitWriter w;
    w.Header(true, 2);
    const auto c = WriteDynamicHeader(w, Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), {0});
    w.Code(c.lit['a'], 1).Code(c.lit[257], 2);
    add("length symbol without distance codes", w, InflateResult::kBadSymbol);
  }

  for (const Case& c : cases) ExpectBoth(c.stream, c.want, c.what);
}

TEST(InflateTest, OddButLegalStreams) {
  {  // An empty final stored block: header, padding, LEN 0, NLEN 0xFFFF.
    const Bytes s = BitWriter().Header(true, 0).Align().Bits(0, 16).Bits(0xFFFF, 16).Finish();
    const Decoded d = OneShot(s, 10);
    EXPECT_EQ(Name(d.result), Name(InflateResult::kDone));
    EXPECT_TRUE(d.out.empty());
    EXPECT_EQ(d.consumed, s.size());
  }
  {  // A final fixed block holding only the end-of-block code.
    const Bytes s = BitWriter().Header(true, 1).FixedSymbol(256).Finish();
    const Decoded d = Streamed(s, 1, 0);
    EXPECT_EQ(Name(d.result), Name(InflateResult::kDone));
    EXPECT_TRUE(d.out.empty());
  }
  {  // 70000 literals in one fixed block, then a match of 258 at distance 1.
    BitWriter w;
    w.Header(true, 1);
    Bytes want;
    for (int i = 0; i < 70000; ++i) {
      w.FixedSymbol(i % 251);
      want.push_back(static_cast<std::byte>(i % 251));
    }
    w.FixedSymbol(285).FixedDistance(0).FixedSymbol(256);
    want.insert(want.end(), 258, want.back());
    const Bytes s = w.Finish();
    const Decoded one = OneShot(s, want.size());
    EXPECT_EQ(Name(one.result), Name(InflateResult::kDone));
    EXPECT_TRUE(one.out == want);
    const Decoded st = Streamed(s, 0, 5);
    EXPECT_EQ(Name(st.result), Name(InflateResult::kDone));
    EXPECT_TRUE(st.out == want);
  }
  {  // A dynamic block with a single distance code of one bit, used twice,
     // and a literal-only dynamic block with no distance code at all.
    BitWriter w;
    w.Header(false, 2);
    auto c = WriteDynamicHeader(w, Lengths(258, {{'a', 1}, {256, 2}, {257, 2}}), {1});
    w.Code(c.lit['a'], 1).Code(c.lit[257], 2).Code(0, 1);  // "aaaa"
    w.Code(c.lit[257], 2).Code(0, 1).Code(c.lit[256], 2);  // "aaa"
    w.Header(true, 2);
    c = WriteDynamicHeader(w, Lengths(257, {{'b', 1}, {256, 1}}), {0});
    w.Code(c.lit['b'], 1).Code(c.lit['b'], 1).Code(c.lit[256], 1);
    const Bytes s = w.Finish();
    const std::string want = "aaaaaaabb";
    const Decoded one = OneShot(s, 100);
    ASSERT_EQ(Name(one.result), Name(InflateResult::kDone));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(one.out.data()), one.out.size()), want);
    const Decoded st = Streamed(s, 1, 0);
    ASSERT_EQ(Name(st.result), Name(InflateResult::kDone));
    EXPECT_TRUE(st.out == one.out);
  }
}

}  // namespace
}  // namespace zb::zip
