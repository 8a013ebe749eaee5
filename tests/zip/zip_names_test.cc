#include "zip/zip_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/zip_format.h"

namespace zb::zip {
namespace {

std::vector<std::byte> UnicodePathBlock(const std::string& header_name, const std::string& utf8,
                                        uint32_t crc_delta = 0) {
  std::vector<std::byte> b;
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
  };
  put(kExtraUnicodePath, 2);
  put(static_cast<uint32_t>(5 + utf8.size()), 2);
  put(1, 1);
  put(Crc32(0, header_name.data(), header_name.size()) + crc_delta, 4);
  for (char c : utf8) b.push_back(static_cast<std::byte>(c));
  return b;
}

TEST(ZipNamesTest, Cp437RoundTripsEveryByte) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  std::string utf8 = Cp437ToUtf8(all);
  EXPECT_TRUE(IsValidUtf8(utf8));
  auto back = Utf8ToCp437(utf8);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, all);
  EXPECT_EQ(Cp437ToUtf8("\x82t\x82"), "\u00e9t\u00e9");
}

TEST(ZipNamesTest, NamesCp437CanHoldAreStoredInCp437) {
  StoredName plain = EncodeStoredName("docs/a.txt");
  EXPECT_EQ(plain.bytes, "docs/a.txt");
  EXPECT_FALSE(plain.utf8);
  StoredName accented = EncodeStoredName("caf\u00e9.txt");
  EXPECT_EQ(accented.bytes, "caf\x82.txt");
  EXPECT_FALSE(accented.utf8);
  // A backslash is part of a Linux name, not a separator.
  EXPECT_EQ(EncodeStoredName("dir\\a.txt").bytes, "dir\\a.txt");
  // Latin-1 bytes from an old disk are stored as they are, unflagged.
  StoredName latin1 = EncodeStoredName("caf\xe9.txt");
  EXPECT_EQ(latin1.bytes, "caf\xe9.txt");
  EXPECT_FALSE(latin1.utf8);
}

TEST(ZipNamesTest, OtherNamesAreStoredAsUtf8SoNoneCollide) {
  // Two names that a lossy conversion would both turn into "?.txt".
  StoredName euro = EncodeStoredName("\u20ac.txt");
  StoredName yen = EncodeStoredName("\u5186.txt");
  EXPECT_TRUE(euro.utf8);
  EXPECT_TRUE(yen.utf8);
  EXPECT_NE(euro.bytes, yen.bytes);
  EXPECT_EQ(DecodeStoredName(euro.bytes, kFlagUtf8, 20, {}, true), "\u20ac.txt");
}

TEST(ZipNamesTest, DecodingHonoursFlagExtraAndHost) {
  // Bit 11: UTF-8 whatever the host.
  EXPECT_EQ(DecodeStoredName("\xc3\xa9", kFlagUtf8, 0x0000, {}, true), "\u00e9");
  // Host 0 without bit 11: CP437.
  EXPECT_EQ(DecodeStoredName("\x82", 0, 0x0014, {}, true), "\u00e9");
  // Host 0 with the conversion off: bytes unchanged.
  EXPECT_EQ(DecodeStoredName("\x82", 0, 0x0014, {}, false), "\x82");
  // Made on Unix (or OS X): the name's bytes as they are, so a Latin-1
  // name and a backslash come back unchanged (they used to be read as
  // CP437 and as a folder separator).
  EXPECT_EQ(DecodeStoredName("\xc3\xa9", 0, 0x0314, {}, true), "\u00e9");
  EXPECT_EQ(DecodeStoredName("caf\xe9", 0, 0x0314, {}, true), "caf\xe9");
  EXPECT_EQ(DecodeStoredName("a\\b.txt", 0, 0x0314, {}, true), "a\\b.txt");
  EXPECT_EQ(DecodeStoredName("a\\b.txt", kFlagUtf8, 0x1314, {}, true), "a\\b.txt");
  // DOS-family writers: "\\" is a separator in a name without any "/" ...
  EXPECT_EQ(DecodeStoredName("a\\b.txt", 0, 0, {}, true), "a/b.txt");
  EXPECT_EQ(DecodeStoredName("a\\b.txt", 0, 0x0A14, {}, true), "a/b.txt");
  // ... but a Shift-JIS name in ZIP form keeps its 0x5C bytes: here the
  // second byte of the first character of each component.
  const std::string sjis = "\x95\x5c/\x88\xea\x97\x97\x95\x5c.txt";
  EXPECT_EQ(DecodeStoredName(sjis, 0, 0, {}, false), sjis);
}

TEST(ZipNamesTest, UnicodePathExtraWinsOnlyWhenItsCrcMatches) {
  std::string header = "caf?.txt";
  auto good = UnicodePathBlock(header, "caf\u00e9\u20ac.txt");
  EXPECT_EQ(DecodeStoredName(header, 0, 0, good, true), "caf\u00e9\u20ac.txt");
  // A tool renamed the entry without updating the block: the block is stale.
  auto stale = UnicodePathBlock(header, "other.txt", 1);
  EXPECT_EQ(DecodeStoredName(header, 0, 0, stale, true), "caf?.txt");
}

TEST(ZipNamesTest, SplitNameKeepsTheSeparatorOnTheDirectory) {
  std::string dir, file;
  SplitName("docs/sub/a.txt", &dir, &file);
  EXPECT_EQ(dir, "docs/sub/");
  EXPECT_EQ(file, "a.txt");
  SplitName("a.txt", &dir, &file);
  EXPECT_EQ(dir, "");
  EXPECT_EQ(file, "a.txt");
  SplitName("docs/", &dir, &file);
  EXPECT_EQ(dir, "docs/");
  EXPECT_EQ(file, "") << "a folder entry has an empty file name";
}

}  // namespace
}  // namespace zb::zip
