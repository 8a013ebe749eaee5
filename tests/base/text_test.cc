#include "base/text.h"

#include <gtest/gtest.h>

#include "base/path.h"

namespace zb {
namespace {

TEST(TextTest, TrimRemovesBlanksAndControlCharactersOnly) {
  EXPECT_EQ(Trim(" \t\r\n\x01 a b \x1f"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
  EXPECT_EQ(Trim("   "), "");
  // UTF-8 bytes are above ' ' when read as unsigned and must survive.
  EXPECT_EQ(Trim(" \xC3\xA4 "), "\xC3\xA4");
  EXPECT_EQ(Trim(std::string_view("\0x\0", 3)), "x");
}

TEST(TextTest, CaseInsensitiveComparisonIsAsciiOnly) {
  EXPECT_TRUE(SameText("Common", "COMMON"));
  EXPECT_FALSE(SameText("Common", "Commons"));
  EXPECT_FALSE(SameText("\xC3\xA4", "\xC3\x84"));  // a-umlaut vs A-umlaut: bytes differ
  EXPECT_LT(CompareText("apple", "Banana"), 0);
  EXPECT_GT(CompareText("b", "A"), 0);
  EXPECT_LT(CompareText("ab", "AbC"), 0);
  EXPECT_TRUE(TextLess("a", "B"));
  EXPECT_FALSE(TextLess("B", "b"));
  // '_' sits between upper and lower case letters in ASCII; folding to lower
  // case puts it before the letters.
  EXPECT_TRUE(TextLess("_x", "Ax"));
  EXPECT_EQ(LowerCase("AbC-Ä"), "abc-Ä");
  EXPECT_EQ(UpperCase("abc"), "ABC");
  EXPECT_TRUE(StartsWithText("BackupMode", "backup"));
  EXPECT_FALSE(StartsWithText("Back", "backup"));
}

TEST(TextTest, StrToIntDefRejectsEverythingButDecimal) {
  EXPECT_EQ(StrToIntDef("42", -1), 42);
  EXPECT_EQ(StrToIntDef(" -7 ", 0), -7);
  EXPECT_EQ(StrToIntDef("+5", 0), 5);
  EXPECT_EQ(StrToIntDef("2147483647", 0), 2147483647);
  EXPECT_EQ(StrToIntDef("-2147483648", 0), -2147483647 - 1);
  for (const char* bad : {"", " ", "2147483648", "-2147483649", "99999999999999999999", "12a",
                          "0x10", "1.5", "+", "-", "+-1", "--1", "1 2"}) {
    EXPECT_EQ(StrToIntDef(bad, 77), 77) << bad;
  }
  EXPECT_EQ(StrToInt64Def("9223372036854775807", 0), INT64_MAX);
  EXPECT_EQ(IntToStr(-12), "-12");
}

TEST(TextTest, SplittingAndJoining) {
  EXPECT_EQ(Split("a;;b", ';'), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Split("", ';'), (std::vector<std::string>{""}));
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Join({"a", "b", "c"}, ", "), "a, b, c");
}

TEST(TextTest, Utf8Validation) {
  EXPECT_TRUE(IsValidUtf8("Passw\xC3\xB6rt \xE2\x82\xAC \xF0\x9F\x98\x80"));
  for (std::string_view bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                               "\xF4\x90\x80\x80", "\xFF", "a\xC3(b"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << testing::PrintToString(bad);
  }
  EXPECT_EQ(Utf8Length("Passw\xC3\xB6rt"), 8u);
  EXPECT_EQ(Utf8Length("\xF0\x9F\x98\x80"), 1u);
  EXPECT_EQ(Utf8Length("a\xFF"), 2u);
}

TEST(PathTest, SplitsAtTheLastSeparator) {
  EXPECT_EQ(IncludeTrailingSeparator("/a/b"), "/a/b/");
  EXPECT_EQ(IncludeTrailingSeparator("/a/b/"), "/a/b/");
  EXPECT_EQ(IncludeTrailingSeparator(""), "/");
  EXPECT_EQ(ExcludeTrailingSeparator("/a/"), "/a");
  EXPECT_EQ(ExcludeTrailingSeparator("/"), "/");
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("c.txt"), "");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("/a/b/"), "");
  EXPECT_EQ(ExtractFileExt("/a.b/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/c.tar.gz"), ".gz");
  EXPECT_EQ(ChangeFileExt("/a/b.zip", ".zfc"), "/a/b.zfc");
  EXPECT_EQ(ChangeFileExt("/a.d/b", ".zfc"), "/a.d/b.zfc");
  EXPECT_EQ(ChangeFileExt("/a/b.zip", ""), "/a/b");
}

}  // namespace
}  // namespace zb
