#include "zip/legacy_decoders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zip/legacy_encoders.h"

namespace zb::zip {
namespace {

using testenc::BitWriter;
using testenc::Bytes;
using Data = std::vector<uint8_t>;

using Decoder = std::function<LegacyResult(const LegacySource&, const LegacySink&, uint64_t)>;

struct Decoded {
  LegacyResult result;
  Data out;
};

// Runs `decode` over `in`, handing the input over in pieces of `piece` bytes
// so buffer refills fall everywhere.
Decoded Decode(const Decoder& decode, const Bytes& in, uint64_t size, size_t piece = 4096) {
  size_t pos = 0;
  LegacySource source = [&](std::span<std::byte> buf) {
    const size_t n = std::min({piece, buf.size(), in.size() - pos});
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(pos), n, buf.begin());
    pos += n;
    return n;
  };
  Decoded d;
  LegacySink sink = [&](std::span<const std::byte> b) {
    for (std::byte x : b) d.out.push_back(std::to_integer<uint8_t>(x));
    return true;
  };
  d.result = decode(source, sink, size);
  return d;
}

Decoder UnshrinkDecoder() { return Unshrink; }
Decoder UnreduceDecoder(int factor) {
  return [factor](const LegacySource& in, const LegacySink& out, uint64_t size) {
    return Unreduce(factor, in, out, size);
  };
}
Decoder ExplodeDecoder(uint16_t flags) {
  return [flags](const LegacySource& in, const LegacySink& out, uint64_t size) {
    return Explode(flags, in, out, size);
  };
}

Data Text(size_t n) {
  static const char* words[] = {"backup ",  "archive ", "the ", "of ",  "folder ",   "zip ",
                                "restore ", "file ",    "\n",   "and ", "schedule ", "project "};
  std::mt19937 rng(7);
  Data d;
  while (d.size() < n) {
    for (const char* c = words[rng() % 12]; *c && d.size() < n; ++c) d.push_back(uint8_t(*c));
  }
  return d;
}
Data Runs(size_t n) {
  Data d;
  std::mt19937 rng(11);
  while (d.size() < n) d.resize(std::min(n, d.size() + rng() % 300 + 1), uint8_t(rng() & 0xFF));
  return d;
}
Data Random(size_t n, uint32_t seed = 3) {
  std::mt19937 rng(seed);
  Data d(n);
  for (auto& b : d) b = uint8_t(rng() & 0xFF);
  return d;
}

struct Sample {
  const char* name;
  Data data;
};
std::vector<Sample> Samples() {
  Data mixed = Text(6000);
  const Data r = Random(3000, 5);
  mixed.insert(mixed.end(), r.begin(), r.end());
  const Data t = Runs(5000);
  mixed.insert(mixed.end(), t.begin(), t.end());
  return {{"empty", {}},
          {"one byte", {0x90}},
          {"text", Text(20000)},
          {"runs", Runs(20000)},
          {"random", Random(12000)},
          {"mixed", mixed},
          {"dle bytes", Data(700, 144)}};
}

// Decodes `in` with the stated size and expects exactly `want`, whole and
// in one-byte input pieces.
void ExpectRoundTrip(const Decoder& decode, const Bytes& in, const Data& want) {
  for (size_t piece : {size_t{4096}, size_t{1}}) {
    SCOPED_TRACE("input piece " + std::to_string(piece));
    const Decoded d = Decode(decode, in, want.size(), piece);
    ASSERT_EQ(d.result, LegacyResult::kOk) << LegacyResultText(d.result);
    ASSERT_EQ(d.out, want);
  }
}

// Every proper prefix of a valid stream ends as truncated, never as success
// or with more output than asked.
void ExpectPrefixesTruncated(const Decoder& decode, const Bytes& in, const Data& want) {
  ASSERT_FALSE(want.empty());
  const size_t step = std::max<size_t>(1, in.size() / 97);
  for (size_t cut = 0; cut < in.size(); cut += step) {
    const Bytes prefix(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(cut));
    const Decoded d = Decode(decode, prefix, want.size());
    ASSERT_EQ(d.result, LegacyResult::kTruncated) << "cut at " << cut;
    ASSERT_LT(d.out.size(), want.size());
    ASSERT_TRUE(std::equal(d.out.begin(), d.out.end(), want.begin())) << "cut at " << cut;
  }
}

// Random damage: any result is acceptable but the output never exceeds the
// size; run under the sanitizer build this also proves memory safety.
void ExpectDamageIsContained(const Decoder& decode, const Bytes& in, uint64_t size) {
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    Bytes bad = in;
    if (bad.empty()) bad.push_back(std::byte{0});
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) bad[rng() % bad.size()] ^= std::byte(1u << (rng() % 8));
    const Decoded d = Decode(decode, bad, size);
    ASSERT_LE(d.out.size(), size) << "round " << round;
    if (d.result == LegacyResult::kOk) {
      ASSERT_EQ(d.out.size(), size);
    }
  }
}

// ---------------------------------------------------------------- Unshrink

TEST(UnshrinkTest, RoundTrips) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    ExpectRoundTrip(UnshrinkDecoder(), testenc::Shrink(s.data), s.data);
  }
}

TEST(UnshrinkTest, FullTableGrowsTo13BitsAndClearsPartially) {
  const Data data = Text(400000);
  testenc::ShrinkStats stats;
  const Bytes packed = testenc::Shrink(data, {}, &stats);
  EXPECT_EQ(stats.code_size, 13);
  EXPECT_GT(stats.partial_clears, 0);
  EXPECT_LT(packed.size(), data.size() / 2);
  ExpectRoundTrip(UnshrinkDecoder(), packed, data);
}

TEST(UnshrinkTest, FrequentPartialClearsReuseFreedCodes) {
  Data data = Text(30000);
  const Data r = Random(2000);
  data.insert(data.end(), r.begin(), r.end());
  testenc::ShrinkStats stats;
  const Bytes packed = testenc::Shrink(data, {.clear_every = 40}, &stats);
  EXPECT_GT(stats.partial_clears, 100);
  ExpectRoundTrip(UnshrinkDecoder(), packed, data);
}

TEST(UnshrinkTest, KwKwKCase) {
  // Hand-built: 'a' (97), then 257 before it exists: the previous string
  // plus its own first byte, "aa".
  BitWriter w;
  w.Put(97, 9);
  w.Put(257, 9);
  const Decoded d = Decode(UnshrinkDecoder(), w.Data(), 3);
  EXPECT_EQ(d.result, LegacyResult::kOk);
  EXPECT_EQ(d.out, Data({'a', 'a', 'a'}));

  testenc::ShrinkStats stats;
  const Data runs = Runs(5000);
  ExpectRoundTrip(UnshrinkDecoder(), testenc::Shrink(runs, {}, &stats), runs);
  EXPECT_GT(stats.kwkwk, 0);
}

TEST(UnshrinkTest, GrowCodeIsReadAtOnceWithTheNewSize) {
  // 'a' in 9 bits, escape 256 + 1 in 9 bits, then 'b' in 10 bits.
  BitWriter w;
  w.Put('a', 9);
  w.Put(256, 9);
  w.Put(1, 9);
  w.Put('b', 10);
  const Decoded d = Decode(UnshrinkDecoder(), w.Data(), 2);
  EXPECT_EQ(d.result, LegacyResult::kOk);
  EXPECT_EQ(d.out, Data({'a', 'b'}));
}

// Error paths.
TEST(UnshrinkTest, CorruptCodesAreRejected) {
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, int>> codes;
  };
  const Case cases[] = {
      {"unknown escape 3", {{'a', 9}, {256, 9}, {3, 9}, {'b', 9}}},
      {"escape 0", {{'a', 9}, {256, 9}, {0, 9}, {'b', 9}}},
      {"first code not a literal", {{257, 9}, {'a', 9}}},
      {"code never assigned", {{'a', 9}, {'b', 9}, {300, 9}}},
      {"growth past 13 bits",
       {{'a', 9},
        {256, 9},
        {1, 9},
        {256, 10},
        {1, 10},
        {256, 11},
        {1, 11},
        {256, 12},
        {1, 12},
        {256, 13},
        {1, 13},
        {'b', 13}}},
      {"code freed by a partial clear",
       // "ab" becomes 257, then 258 = "ba"; a clear frees both leaves
       // (257 has no child), so 257 is free again and 258 not next.
       {{'a', 9}, {'b', 9}, {'a', 9}, {256, 9}, {2, 9}, {258, 9}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    for (auto [code, bits] : c.codes) w.Put(code, bits);
    const Decoded d = Decode(UnshrinkDecoder(), w.Data(), 100);
    EXPECT_EQ(d.result, LegacyResult::kCorrupt) << LegacyResultText(d.result);
  }
}

TEST(UnshrinkTest, TruncationDamageAndSize) {
  const Data data = Text(30000);
  const Bytes packed = testenc::Shrink(data, {.clear_every = 100});
  ExpectPrefixesTruncated(UnshrinkDecoder(), packed, data);
  ExpectDamageIsContained(UnshrinkDecoder(), packed, data.size());

  // The entry's size ends the output, mid-string included.
  const Decoded shorter = Decode(UnshrinkDecoder(), packed, 12345);
  EXPECT_EQ(shorter.result, LegacyResult::kOk);
  EXPECT_EQ(shorter.out, Data(data.begin(), data.begin() + 12345));
}

// ---------------------------------------------------------------- Unreduce

TEST(UnreduceTest, RoundTripsAllFactors) {
  for (int factor = 1; factor <= 4; ++factor) {
    for (const Sample& s : Samples()) {
      SCOPED_TRACE(std::string(s.name) + " factor " + std::to_string(factor));
      ExpectRoundTrip(UnreduceDecoder(factor), testenc::Reduce(s.data, factor), s.data);
    }
  }
}

TEST(UnreduceTest, FollowerSetSizesAndLiteralOnlyStreams) {
  const Data data = Text(8000);
  for (size_t followers : {size_t{1}, size_t{2}, size_t{5}, size_t{63}}) {
    SCOPED_TRACE(followers);
    ExpectRoundTrip(UnreduceDecoder(3),
                    testenc::Reduce(data, 3, {.matches = true, .max_followers = followers}), data);
    ExpectRoundTrip(UnreduceDecoder(2),
                    testenc::Reduce(data, 2, {.matches = false, .max_followers = followers}), data);
  }
}

// Empty follower sets: 256 counts of 0 in 6 bits, then plain bytes.
BitWriter EmptyFollowerSets() {
  BitWriter w;
  for (int i = 0; i < 256; ++i) w.Put(0, 6);
  return w;
}

TEST(UnreduceTest, HandBuiltMatchesAndDistanceBeforeStart) {
  // Factor 1: V's low 7 bits are the length - 3, its top bit the distance's
  // high part.
  BitWriter w = EmptyFollowerSets();
  w.Put('A', 8);
  w.Put(144, 8);   // DLE
  w.Put(0x01, 8);  // V: length 1 + 3
  w.Put(0x00, 8);  // distance 0 + 1
  w.Put(144, 8);
  w.Put(0x00, 8);  // DLE 0: a literal DLE
  w.Put(144, 8);
  w.Put(0x7F, 8);  // length bits all ones: an extra length byte follows
  w.Put(0x02, 8);  // length 127 + 2 + 3 = 132
  w.Put(0x01, 8);  // distance 2
  w.Put(144, 8);
  w.Put(0x82, 8);  // distance high bit 1, length 2 + 3
  w.Put(0xFF, 8);  // distance 256 + 255 + 1 = 512: before the start
  Data want = {'A', 'A', 'A', 'A', 'A', 144};
  for (int i = 0; i < 132; ++i) want.push_back(want[want.size() - 2]);
  for (int i = 0; i < 5; ++i) want.push_back(0);
  const Decoded d = Decode(UnreduceDecoder(1), w.Data(), want.size());
  EXPECT_EQ(d.result, LegacyResult::kOk);
  EXPECT_EQ(d.out, want);
}

// Error paths.
TEST(UnreduceTest, IndexBeyondFollowerSetIsCorrupt) {
  // Sets for 255..1 empty, the set of 0 has three entries (two index bits);
  // the first byte (Last-Character 0) asks for index 3.
  BitWriter w;
  for (int i = 0; i < 255; ++i) w.Put(0, 6);
  w.Put(3, 6);
  w.Put('x', 8);
  w.Put('y', 8);
  w.Put('z', 8);
  w.Put(0, 1);  // from the set
  w.Put(3, 2);
  const Decoded d = Decode(UnreduceDecoder(2), w.Data(), 10);
  EXPECT_EQ(d.result, LegacyResult::kCorrupt);
}

TEST(UnreduceTest, TruncationDamageAndSize) {
  const Data data = Text(20000);
  const Bytes packed = testenc::Reduce(data, 4);
  ExpectPrefixesTruncated(UnreduceDecoder(4), packed, data);
  ExpectDamageIsContained(UnreduceDecoder(4), packed, data.size());

  // A match running past the entry's size stops exactly there.
  const Decoded shorter = Decode(UnreduceDecoder(4), packed, 5001);
  EXPECT_EQ(shorter.result, LegacyResult::kOk);
  EXPECT_EQ(shorter.out, Data(data.begin(), data.begin() + 5001));
}

// ----------------------------------------------------------------- Explode

TEST(ExplodeTest, RoundTripsAllFlagCombinations) {
  for (uint16_t flags : {uint16_t{0}, uint16_t{2}, uint16_t{4}, uint16_t{6}}) {
    for (const Sample& s : Samples()) {
      SCOPED_TRACE(std::string(s.name) + " flags " + std::to_string(flags));
      ExpectRoundTrip(ExplodeDecoder(flags), testenc::Implode(s.data, flags), s.data);
    }
  }
}

TEST(ExplodeTest, LongDistancesNeedTheLargeWindow) {
  // A block repeated 6000 bytes later: in reach only of the 8K variant.
  Data data = Random(6000, 21);
  const Data copy = data;
  data.insert(data.end(), copy.begin(), copy.end());
  const Bytes large = testenc::Implode(data, 2 | 4);
  EXPECT_LT(large.size(), 7000u);
  ExpectRoundTrip(ExplodeDecoder(2 | 4), large, data);
}

// Length tree: 64 codes of 6 bits, which the assignment rule numbers from
// the highest value down: value v gets code 63 - v. Distance tree: value 0
// one bit, value 1 six bits, values 2..63 seven bits; handed out from the
// longest: 63 -> 0000000 ... 2 -> 0111101, then 1 -> 011111, then 0 -> 1.
BitWriter HandBuiltTwoTreeHeader() {
  BitWriter w;
  for (uint32_t b : {0x03, 0xF5, 0xF5, 0xF5, 0xF5}) w.Put(b, 8);  // 4 x 16 values, length 6
  // 6 bytes: 1 x length 1, 1 x length 6, 16 + 16 + 16 + 14 x length 7.
  for (uint32_t b : {0x05, 0x00, 0x05, 0xF6, 0xF6, 0xF6, 0xD6}) w.Put(b, 8);
  return w;
}

TEST(ExplodeTest, HandBuiltStreamPinsCodeAssignment) {
  BitWriter w = HandBuiltTwoTreeHeader();
  w.Put(1, 1);  // literal, 8 plain bits (no literal tree)
  w.Put('a', 8);
  w.Put(0, 1);             // match
  w.Put(0, 6);             // low distance bits
  w.PutCode(0b1, 1);       // distance high 0: distance 1
  w.PutCode(62, 6);        // length value 1 + 2
  w.Put(0, 1);             // match
  w.Put(63, 6);            // low bits 63
  w.PutCode(0b011111, 6);  // high 1: distance 64 + 63 + 1, before the start
  w.PutCode(63, 6);        // length value 0 + 2
  w.Put(0, 1);
  w.Put(5, 6);
  w.PutCode(0b0111101, 7);  // high 2: distance 128 + 5 + 1, still zeros
  w.PutCode(0, 6);          // length value 63: an extra byte follows
  w.Put(10, 8);             // 63 + 10 + 2 = 75
  Data want = {'a', 'a', 'a', 'a', 0, 0};
  want.resize(want.size() + 75, 0);
  const Decoded d = Decode(ExplodeDecoder(0), w.Data(), want.size());
  EXPECT_EQ(d.result, LegacyResult::kOk) << LegacyResultText(d.result);
  EXPECT_EQ(d.out, want);
}

// Error paths.
TEST(ExplodeTest, BadTreesAreCorrupt) {
  struct Case {
    const char* name;
    std::vector<uint32_t> bytes;  // length tree description, then a valid distance tree
  };
  const std::vector<uint32_t> uniform6 = {0x03, 0xF5, 0xF5, 0xF5, 0xF5};
  const Case cases[] = {
      {"too few values", {0x02, 0xF5, 0xF5, 0xF5}},
      {"too many values", {0x04, 0xF5, 0xF5, 0xF5, 0xF5, 0x05}},
      {"over-subscribed", {0x03, 0xF0, 0xF0, 0xF0, 0xF0}},  // 64 one-bit codes
      // 63 sixteen-bit codes take 0..62; the one-bit code would then be 0,
      // a prefix of all of them.
      {"not a prefix code", {0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xEF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    for (uint32_t b : c.bytes) w.Put(b, 8);
    for (uint32_t b : uniform6) w.Put(b, 8);
    for (int i = 0; i < 8; ++i) w.Put(0, 8);
    const Decoded d = Decode(ExplodeDecoder(0), w.Data(), 10);
    EXPECT_EQ(d.result, LegacyResult::kCorrupt) << LegacyResultText(d.result);
  }
}

TEST(ExplodeTest, UnassignedCodeOfIncompleteTreeIsCorrupt) {
  // Distance tree of 64 sixteen-bit codes: only 0..63 exist, so sixteen
  // one bits match nothing.
  BitWriter w;
  for (uint32_t b : {0x03, 0xF5, 0xF5, 0xF5, 0xF5}) w.Put(b, 8);
  for (uint32_t b : {0x03, 0xFF, 0xFF, 0xFF, 0xFF}) w.Put(b, 8);
  w.Put(0, 1);
  w.Put(0, 6);
  w.Put(0xFFFF, 16);
  const Decoded d = Decode(ExplodeDecoder(0), w.Data(), 10);
  EXPECT_EQ(d.result, LegacyResult::kCorrupt);
}

TEST(ExplodeTest, TruncationDamageAndSize) {
  const Data data = Text(20000);
  for (uint16_t flags : {uint16_t{0}, uint16_t{6}}) {
    SCOPED_TRACE(flags);
    const Bytes packed = testenc::Implode(data, flags);
    ExpectPrefixesTruncated(ExplodeDecoder(flags), packed, data);
    ExpectDamageIsContained(ExplodeDecoder(flags), packed, data.size());
    const Decoded shorter = Decode(ExplodeDecoder(flags), packed, 777);
    EXPECT_EQ(shorter.result, LegacyResult::kOk);
    EXPECT_EQ(shorter.out, Data(data.begin(), data.begin() + 777));
  }
}

// ------------------------------------------------------------ All decoders

TEST(LegacyDecodersTest, SinkRefusalStopsDecoding) {
  const Data data = Text(100000);
  const std::vector<std::pair<Decoder, Bytes>> streams = {
      {UnshrinkDecoder(), testenc::Shrink(data)},
      {UnreduceDecoder(1), testenc::Reduce(data, 1)},
      {ExplodeDecoder(4), testenc::Implode(data, 4)},
  };
  for (const auto& [decode, packed] : streams) {
    size_t pos = 0, calls = 0;
    LegacySource source = [&](std::span<std::byte> buf) {
      const size_t n = std::min(buf.size(), packed.size() - pos);
      std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(pos), n, buf.begin());
      pos += n;
      return n;
    };
    LegacySink sink = [&](std::span<const std::byte>) { return ++calls < 2; };
    EXPECT_EQ(decode(source, sink, data.size()), LegacyResult::kSinkStopped);
    EXPECT_EQ(calls, 2u);
  }
}

TEST(LegacyDecodersTest, EmptyEntryNeedsNoInputAndLongerSizeIsTruncated) {
  const Data data = Text(3000);
  const std::vector<std::pair<Decoder, Bytes>> streams = {
      {UnshrinkDecoder(), testenc::Shrink(data)},
      {UnreduceDecoder(3), testenc::Reduce(data, 3)},
      {ExplodeDecoder(2), testenc::Implode(data, 2)},
  };
  for (const auto& [decode, packed] : streams) {
    EXPECT_EQ(Decode(decode, {}, 0).result, LegacyResult::kOk);
    // A stored size larger than the data: everything decoded, then the
    // input runs dry.
    const Decoded d = Decode(decode, packed, data.size() + 1000);
    EXPECT_EQ(d.result, LegacyResult::kTruncated);
    EXPECT_GE(d.out.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), d.out.begin()));
  }
}

// Writes the fuzz seed corpora when ZB_WRITE_FUZZ_SEEDS names the fuzz/corpus
// folder. Each seed starts with the parameter bytes the fuzz targets read.
TEST(LegacyDecodersTest, WriteFuzzSeeds) {
  const char* dir = std::getenv("ZB_WRITE_FUZZ_SEEDS");
  if (!dir) GTEST_SKIP() << "set ZB_WRITE_FUZZ_SEEDS to write the seed corpora";
  namespace fs = std::filesystem;
  auto write = [&](const std::string& target, const std::string& name, uint8_t param, size_t size,
                   const Bytes& body) {
    fs::create_directories(fs::path(dir) / target);
    std::ofstream f(fs::path(dir) / target / name, std::ios::binary);
    const uint8_t head[4] = {param, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16)};
    f.write(reinterpret_cast<const char*>(head), 4);
    f.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    ASSERT_TRUE(f.good());
  };
  const Data text = Text(3000), runs = Runs(2000), rnd = Random(500);
  write("unshrink", "text", 0, text.size(), testenc::Shrink(text, {.clear_every = 60}));
  write("unshrink", "runs", 0, runs.size(), testenc::Shrink(runs));
  write("unshrink", "random", 0, rnd.size(), testenc::Shrink(rnd));
  for (int f = 1; f <= 4; ++f) {
    write("unreduce", "text" + std::to_string(f), uint8_t(f - 1), text.size(),
          testenc::Reduce(text, f));
  }
  write("unreduce", "runs", 0, runs.size(), testenc::Reduce(runs, 1, {.max_followers = 3}));
  for (uint16_t flags : {0, 2, 4, 6}) {
    write("explode", "text" + std::to_string(flags), uint8_t(flags), text.size(),
          testenc::Implode(text, flags));
  }
  write("explode", "runs", 0, runs.size(), testenc::Implode(runs, 0));
}

}  // namespace
}  // namespace zb::zip
