#include "app/password_scramble.h"

#include <gtest/gtest.h>

namespace zb::app {
namespace {

// Worked by hand with key "K1" ('K' = 75 = 0100 1011, '1' = 49 = 0011 0001):
//   'a' 97 = 0110 0001 ^ 'K' -> 0010 1010 = 42
//   'b' 98 = 0110 0010 ^ '1' -> 0101 0011 = 83
//   'c' 99 = 0110 0011 ^ 'K' -> 0010 1000 = 40   (the key starts over)
TEST(PasswordScrambleTest, KnownAnswers) {
  EXPECT_EQ(PasswordScramble("ab", "K1", true), "#42#83");
  EXPECT_EQ(PasswordScramble("abc", "K1", true), "#42#83#40");
  EXPECT_EQ(PasswordScramble("#42#83#40", "K1", false), "abc");
  // A byte equal to the key byte at its place gives 0, stored as "#0".
  EXPECT_EQ(PasswordScramble("K1", "K1", true), "#0#0");
  EXPECT_EQ(PasswordScramble("#0#0", "K1", false), "K1");
  // 249 = 1111 1001 ^ '1' 0011 0001 = 1100 1000 = 200: stored as its byte value.
  EXPECT_EQ(PasswordScramble("\xF9", "1", true), "#200");
  EXPECT_EQ(PasswordScramble("#200", "1", false), "\xF9");
  EXPECT_EQ(PasswordScramble("", "K1", true), "");
  EXPECT_EQ(PasswordScramble("", "K1", false), "");
}

TEST(PasswordScrambleTest, LenientDecodingOfStoredValues) {
  // 298 = 256 + 42: only the low eight bits count.
  EXPECT_EQ(PasswordScramble("#298#83", "K1", false), "ab");
  // 4294967338 = 2^32 + 42 overflows 32 bits; 2^32 is 0 modulo 256.
  EXPECT_EQ(PasswordScramble("#4294967338#83", "K1", false), "ab");
  EXPECT_EQ(PasswordScramble("#000000000000000000000000042#83", "K1", false), "ab");
  // Any non-digit ends a number like "#"; empty runs produce nothing.
  EXPECT_EQ(PasswordScramble("#42x83", "K1", false), "ab");
  EXPECT_EQ(PasswordScramble("#42##83#", "K1", false), "ab");
  EXPECT_EQ(PasswordScramble("#42 -83", "K1", false), "ab");
  // A value typed into the file by hand is XORed without decoding:
  // 'a' ^ 'K' = 42 = '*', 'b' ^ '1' = 83 = 'S'.
  EXPECT_EQ(PasswordScramble("ab", "K1", false), "*S");
  EXPECT_EQ(PasswordScramble("#", "K1", false), "");
}

TEST(PasswordScrambleTest, RoundTripsBytesAndDependsOnTheSection) {
  // "Büro" has four characters but five bytes: the key is "Büro4".
  EXPECT_EQ(PasswordKey("B\xC3\xBCro"), "B\xC3\xBCro4");
  EXPECT_EQ(PasswordKey("Daily"), "Daily5");
  EXPECT_EQ(PasswordKey(""), "0");
  const std::string key = PasswordKey("B\xC3\xBCro");
  const std::string password = "Passw\xC3\xB6rt";
  const std::string stored = PasswordScramble(password, key, true);
  EXPECT_EQ(stored, "#18#162#207#1#24#247#244#177#200");
  EXPECT_EQ(PasswordScramble(stored, key, false), password);
  EXPECT_NE(PasswordScramble(stored, PasswordKey("Buero"), false), password);
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(PasswordScramble(PasswordScramble(one + "xyz", "k9", true), "k9", false),
              one + "xyz");
  }
}

}  // namespace
}  // namespace zb::app
