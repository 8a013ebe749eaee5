#include "zip/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "zip/crc32_paths.h"

namespace zb::zip {
namespace {

class Crc32Test : public ::testing::Test {
 protected:
  static std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }
  static uint32_t Zlib(const uint8_t* p, size_t n) {
    return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
  }
  static std::vector<Crc32Path> SupportedPaths() {
    std::vector<Crc32Path> paths;
    for (auto p :
         {Crc32Path::kTables, Crc32Path::kPclmul, Crc32Path::kVpclmul256, Crc32Path::kVpclmul512}) {
      if (Crc32PathSupported(p)) paths.push_back(p);
    }
    return paths;
  }
};

TEST_F(Crc32Test, CheckValueAndEmptyInput) {
  const char* check = "123456789";
  EXPECT_EQ(Crc32(0, check, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Portable(0, check, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, nullptr, 0), 0u);
  EXPECT_EQ(Crc32(0x12345678u, nullptr, 0), 0x12345678u);
  EXPECT_NE(std::strlen(Crc32Implementation()), 0u);
}

// Every length up to 600 at every alignment, on each path the CPU has, so the
// fold set-up, the lane reduction and the table finish all meet ragged ends.
TEST_F(Crc32Test, EveryLengthAndAlignmentOnEveryPath) {
  const auto buf = RandomBytes(600 + 16, 1);
  for (Crc32Path path : SupportedPaths()) {
    for (size_t align = 0; align < 16; ++align) {
      for (size_t len = 0; len <= 600; ++len) {
        const uint8_t* p = buf.data() + align;
        const uint32_t want = Zlib(p, len);
        ASSERT_EQ(Crc32With(path, 0, p, len), want)
            << "path " << static_cast<int>(path) << " len " << len << " align " << align;
        ASSERT_EQ(Crc32Portable(0, p, len), want) << "len " << len << " align " << align;
        ASSERT_EQ(Crc32(0, p, len), want) << "len " << len << " align " << align;
      }
    }
  }
}

TEST_F(Crc32Test, BigBuffersOnEveryPath) {
  // Sizes around the 256-byte main-loop step and a few MiB with odd tails.
  for (size_t n : {size_t{4096}, size_t{65536 + 255}, size_t{1} << 22, (size_t{3} << 20) + 17}) {
    const auto buf = RandomBytes(n, static_cast<uint32_t>(n));
    const uint32_t want = Zlib(buf.data(), n);
    for (Crc32Path path : SupportedPaths()) {
      EXPECT_EQ(Crc32With(path, 0, buf.data(), n), want)
          << "path " << static_cast<int>(path) << " size " << n;
    }
  }
  // All-zero and all-ones data are where a wrong fold constant can cancel out.
  for (uint8_t fill : {uint8_t{0}, uint8_t{0xFF}}) {
    std::vector<uint8_t> buf(100000, fill);
    for (Crc32Path path : SupportedPaths()) {
      EXPECT_EQ(Crc32With(path, 0, buf.data(), buf.size()), Zlib(buf.data(), buf.size()))
          << "path " << static_cast<int>(path) << " fill " << int{fill};
    }
  }
}

TEST_F(Crc32Test, RandomSplitsGiveTheWholeResult) {
  const auto buf = RandomBytes(1 << 20, 7);
  const uint32_t want = Zlib(buf.data(), buf.size());
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    // Mix tiny and large pieces so every path continues from every other.
    std::uniform_int_distribution<size_t> small(0, 70), large(0, 5000);
    uint32_t crc = 0;
    size_t pos = 0;
    while (pos < buf.size()) {
      size_t n = (rng() & 1) ? small(rng) : large(rng);
      n = std::min(n, buf.size() - pos);
      crc = Crc32(crc, buf.data() + pos, n);
      pos += n;
    }
    EXPECT_EQ(crc, want) << "seed " << seed;
  }
}

TEST_F(Crc32Test, UpdateByteIsTheRawRegisterStep) {
  // Byte steps from the inverted start, inverted at the end, give the CRC.
  const char* check = "123456789";
  uint32_t reg = 0xFFFFFFFFu;
  for (int i = 0; i < 9; ++i) reg = Crc32UpdateByte(reg, static_cast<uint8_t>(check[i]));
  EXPECT_EQ(~reg, 0xCBF43926u);
  // The cipher's key schedule starts from values that are not inverted.
  EXPECT_EQ(Crc32UpdateByte(0x12345678u, 0x9A), ~Crc32(~0x12345678u, "\x9A", 1));
}

}  // namespace
}  // namespace zb::zip
