#include "zip/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace zb::zip {
namespace {

TEST(WildcardMatchTest, StarAndQuestionMark) {
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_TRUE(WildcardMatch("*", "anything/at/all"));
  EXPECT_TRUE(WildcardMatch("*.txt", "a.txt"));
  EXPECT_TRUE(WildcardMatch("*.txt", ".txt"));
  EXPECT_FALSE(WildcardMatch("*.txt", "a.txt.bak"));
  EXPECT_TRUE(WildcardMatch("a*b*c", "abc"));
  EXPECT_TRUE(WildcardMatch("a*b*c", "axxbyyc"));
  EXPECT_FALSE(WildcardMatch("a*b*c", "axxbyy"));
  EXPECT_TRUE(WildcardMatch("a?c", "abc"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_FALSE(WildcardMatch("a?c", "abbc"));
  EXPECT_TRUE(WildcardMatch("**x", "x"));
  EXPECT_FALSE(WildcardMatch("", "x"));
  EXPECT_TRUE(WildcardMatch("", ""));
}

TEST(WildcardMatchTest, WholeNameOnly) {
  EXPECT_FALSE(WildcardMatch("a.txt", "xa.txt"));
  EXPECT_FALSE(WildcardMatch("a.txt", "a.txtx"));
  EXPECT_TRUE(WildcardMatch("a.txt", "a.txt"));
}

TEST(WildcardMatchTest, StarCrossesFolders) {
  EXPECT_TRUE(WildcardMatch("/home/me/tmp/*", "/home/me/tmp/a/b/c.txt"));
  EXPECT_TRUE(WildcardMatch("*.tmp", "deep/er/x.tmp"));
  EXPECT_FALSE(WildcardMatch("/home/me/tmp/*", "/home/me/tmpx"));
}

TEST(WildcardMatchTest, AsciiCaseIgnored) {
  EXPECT_TRUE(WildcardMatch("*.TXT", "Read.Me.txt"));
  EXPECT_TRUE(WildcardMatch("<A-C>x", "bX"));
  // Only ASCII letters fold: Ä and ä are different characters.
  EXPECT_FALSE(WildcardMatch("\xC3\x84", "\xC3\xA4"));
}

TEST(WildcardMatchTest, QuestionMarkIsOneUtf8Character) {
  EXPECT_TRUE(WildcardMatch("?.txt", "\xC3\xA4.txt"));  // ä, 2 bytes
  EXPECT_TRUE(WildcardMatch("a?b",
                            "a\xE2\x82\xAC"
                            "b"));                      // €, 3 bytes
  EXPECT_TRUE(WildcardMatch("?", "\xF0\x9F\x98\x80"));  // 4 bytes
  EXPECT_FALSE(WildcardMatch("??.txt", "\xC3\xA4.txt"));
  // A byte that is not valid UTF-8 counts as one character on its own.
  EXPECT_TRUE(WildcardMatch("?x", "\xFFx"));
  EXPECT_TRUE(WildcardMatch("??", "\xC3x"));
}

TEST(WildcardMatchTest, Sets) {
  EXPECT_TRUE(WildcardMatch("file<0-9>.log", "file7.log"));
  EXPECT_FALSE(WildcardMatch("file<0-9>.log", "filex.log"));
  EXPECT_TRUE(WildcardMatch("<abc>", "b"));
  EXPECT_FALSE(WildcardMatch("<abc>", "d"));
  EXPECT_TRUE(WildcardMatch("<!abc>", "d"));
  EXPECT_FALSE(WildcardMatch("<^abc>", "a"));
  EXPECT_TRUE(WildcardMatch("<a-cx-z>", "y"));
  EXPECT_FALSE(WildcardMatch("<a-cx-z>", "m"));
  EXPECT_TRUE(WildcardMatch("<-a>", "-"));  // a leading "-" is literal
  EXPECT_TRUE(WildcardMatch("<\xC3\xA4\xC3\xB6>", "\xC3\xB6"));
  EXPECT_TRUE(WildcardMatch("*<0-9>", "v12"));
  // An unclosed "<" is an ordinary character.
  EXPECT_TRUE(WildcardMatch("a<b", "a<b"));
  EXPECT_FALSE(WildcardMatch("a<b", "ab"));
}

// Regression: a naive recursive matcher takes exponential time on many stars
// that almost match; this test would not finish with one.
TEST(WildcardMatchTest, ManyStarsStayFast) {
  std::string pattern;
  for (int i = 0; i < 40; ++i) pattern += "*a";
  pattern += "*b";
  const std::string name(5000, 'a');
  EXPECT_FALSE(WildcardMatch(pattern, name));
  EXPECT_TRUE(WildcardMatch(pattern, name + "b"));
}

TEST(HasWildcardTest, DetectsEveryWildcardCharacter) {
  EXPECT_FALSE(HasWildcard("/home/me/a.txt"));
  for (const char* s : {"*.txt", "a?", "<a>", "x>", "|/home/*"}) EXPECT_TRUE(HasWildcard(s)) << s;
}

}  // namespace
}  // namespace zb::zip
