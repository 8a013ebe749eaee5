// Records parsed and written field by field. The byte strings are built by
// hand from the APPNOTE layouts, not by our serializers, so a parser and a
// serializer that agree on a wrong offset still fail here.

#include "zip/zip_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zip/zip_header_info.h"

namespace zb::zip {
namespace {

class Bytes {
 public:
  Bytes& u16(uint16_t v) {
    b_.push_back(static_cast<std::byte>(v & 0xFF));
    b_.push_back(static_cast<std::byte>(v >> 8));
    return *this;
  }
  Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Bytes& u64(uint64_t v) { return u32(v & 0xFFFFFFFF).u32(v >> 32); }
  Bytes& str(const std::string& s) {
    for (char c : s) b_.push_back(static_cast<std::byte>(c));
    return *this;
  }
  [[nodiscard]] std::span<const std::byte> span() const { return b_; }
  [[nodiscard]] const std::vector<std::byte>& vec() const { return b_; }

 private:
  std::vector<std::byte> b_;
};

TEST(ZipFormatTest, LocalHeaderFieldByField) {
  Bytes b;
  b.u32(0x04034B50).u16(20).u16(0x0809).u16(8).u16(0x6C21).u16(0x5A4E);
  b.u32(0xCAFEBABE).u32(1234).u32(5678).u16(5).u16(4).str("a.txt").str("xxxx");
  LocalHeader lh;
  ASSERT_TRUE(ParseLocalHeader(b.span(), &lh));
  EXPECT_EQ(lh.version_needed, 20);
  EXPECT_EQ(lh.flags, 0x0809);
  EXPECT_EQ(lh.method, 8);
  EXPECT_EQ(lh.dos_date_time, 0x5A4E6C21u) << "date word high, time word low";
  EXPECT_EQ(lh.crc32, 0xCAFEBABEu);
  EXPECT_EQ(lh.compressed_size, 1234u);
  EXPECT_EQ(lh.uncompressed_size, 5678u);
  EXPECT_EQ(lh.name_length, 5);
  EXPECT_EQ(lh.extra_length, 4);

  // Writing the same values gives the same bytes (name included).
  TZipHeaderInfo h;
  h.version_needed = 20;
  h.flags = 0x0809;
  h.method = 8;
  h.dos_date_time = 0x5A4E6C21;
  h.crc32 = 0xCAFEBABE;
  h.compressed_size = 1234;
  h.uncompressed_size = 5678;
  h.raw_name = "a.txt";
  std::vector<std::byte> out;
  Bytes extra;
  extra.str("xxxx");
  SerializeLocalHeader(h, extra.span(), &out);
  EXPECT_EQ(out, b.vec());
}

TEST(ZipFormatTest, ShortOrForeignRecordsAreRefused) {
  Bytes b;
  b.u32(0x04034B50).u16(20);
  LocalHeader lh;
  EXPECT_FALSE(ParseLocalHeader(b.span(), &lh));
  Bytes c;
  c.u32(0x02014B50);
  for (int i = 0; i < 40; ++i) c.u16(0);
  EXPECT_FALSE(ParseLocalHeader(c.span(), &lh)) << "a central header is not a local one";
  TZipHeaderInfo h;
  EXPECT_FALSE(ParseCentralHeader(b.span(), &h));
  TEndCentral e;
  EXPECT_FALSE(ParseEndCentral(b.span(), &e));
}

TEST(ZipFormatTest, CentralHeaderFieldByField) {
  Bytes b;
  b.u32(0x02014B50).u16(0x0314).u16(20).u16(1).u16(0).u16(0x1234).u16(0x4321);
  b.u32(0x11223344).u32(100).u32(200).u16(3).u16(0).u16(0).u16(0).u16(1).u32(0x81A40020);
  b.u32(777).str("x/y");
  TZipHeaderInfo h;
  ASSERT_TRUE(ParseCentralHeader(b.span(), &h));
  EXPECT_EQ(h.version_made_by, 0x0314);
  EXPECT_EQ(h.HostSystem(), kHostUnix);
  EXPECT_EQ(h.version_needed, 20);
  EXPECT_TRUE(h.IsEncrypted());
  EXPECT_EQ(h.method, 0);
  EXPECT_EQ(h.dos_date_time, 0x43211234u);
  EXPECT_EQ(h.crc32, 0x11223344u);
  EXPECT_EQ(h.compressed_size, 100u);
  EXPECT_EQ(h.uncompressed_size, 200u);
  EXPECT_EQ(CentralNameLength(b.span()), 3);
  EXPECT_EQ(h.internal_attributes, 1);
  EXPECT_EQ(h.external_attributes, 0x81A40020u);
  EXPECT_EQ(h.local_header_offset, 777u);

  h.raw_name = "x/y";
  std::vector<std::byte> out;
  SerializeCentralHeader(h, {}, "", &out);
  EXPECT_EQ(out, b.vec());
}

TEST(ZipFormatTest, HeaderInfoDefaultsAndDerivedValues) {
  TZipHeaderInfo h;
  EXPECT_EQ(h.version_made_by, 20);
  EXPECT_EQ(h.method, 8);
  EXPECT_EQ(h.crc32, 0xFFFFFFFFu);
  EXPECT_EQ(h.internal_attributes, 1);
  EXPECT_EQ(h.external_attributes, 0x20u);
  h.SetDirectory("docs/sub");
  EXPECT_EQ(h.Directory(), "docs/sub/") << "a directory part always ends with a separator";
  h.SetFileName("a.txt");
  EXPECT_EQ(h.NameLength(), 14);
  EXPECT_EQ(h.FullName(), "docs/sub/a.txt");
  h.raw_name = h.FullName();
  h.local_extra_length = 4;
  h.central_extra_length = 8;
  h.comment_length = 2;
  EXPECT_EQ(h.LocalHeaderSize(), 30u + 14 + 4);
  EXPECT_EQ(h.CentralHeaderSize(), 46u + 14 + 8 + 2);

  // The password check byte: CRC high byte, or with a data descriptor the
  // high byte of the time word.
  h.crc32 = 0xAB000000;
  h.dos_date_time = 0x1234CD00;
  EXPECT_EQ(h.CheckByte(), 0xAB);
  h.flags |= kFlagDataDescriptor;
  EXPECT_EQ(h.CheckByte(), 0xCD);
}

TEST(ZipFormatTest, EndRecordFieldByFieldAndClear) {
  Bytes b;
  b.u32(0x06054B50).u16(0).u16(0).u16(3).u16(3).u32(150).u32(4000).u16(2).str("hi");
  TEndCentral e;
  ASSERT_TRUE(ParseEndCentral(b.span(), &e));
  EXPECT_EQ(e.entries_this_disk, 3u);
  EXPECT_EQ(e.total_entries, 3u);
  EXPECT_EQ(e.central_size, 150u);
  EXPECT_EQ(e.central_offset, 4000u);
  EXPECT_EQ(e.comment_length, 2);
  std::vector<std::byte> out;
  SerializeEndCentral(e, "hi", &out);
  EXPECT_EQ(out, b.vec());

  e.comment = "hi";
  e.comment_changed = true;
  e.Clear();
  EXPECT_EQ(e.signature, kEndCentralSignature);
  EXPECT_EQ(e.total_entries, 0u);
  EXPECT_EQ(e.comment_length, 0);
  EXPECT_FALSE(e.comment.has_value());
  EXPECT_FALSE(e.comment_changed);
}

TEST(ZipFormatTest, Zip64ExtraReplacesOnlyMarkedFields) {
  // Uncompressed size and offset marked; compressed size a plain 32-bit value.
  Bytes extra;
  extra.u16(0x5455).u16(1).str("T");  // an unrelated block first
  extra.u16(0x0001).u16(16).u64(5'000'000'000ull).u64(6'000'000'000ull);
  TZipHeaderInfo h;
  h.compressed_size = 99;
  ASSERT_TRUE(ApplyZip64Extra(extra.span(), 0xFFFFFFFF, 99, 0xFFFFFFFF, 0, &h));
  EXPECT_EQ(h.uncompressed_size, 5'000'000'000ull);
  EXPECT_EQ(h.compressed_size, 99u);
  EXPECT_EQ(h.local_header_offset, 6'000'000'000ull);

  // A marked field without room in the block is damage.
  Bytes short_block;
  short_block.u16(0x0001).u16(8).u64(1);
  TZipHeaderInfo g;
  EXPECT_FALSE(ApplyZip64Extra(short_block.span(), 0xFFFFFFFF, 0xFFFFFFFF, 0, 0, &g));

  // A block whose length runs past the field is not found at all.
  Bytes lying;
  lying.u16(0x0001).u16(200).u64(1);
  EXPECT_FALSE(FindExtraBlock(lying.span(), 0x0001).has_value());

  // What we write, we read back.
  TZipHeaderInfo big;
  big.uncompressed_size = 1ull << 33;
  big.compressed_size = 1ull << 32;
  big.local_header_offset = 12;
  std::vector<std::byte> made = MakeZip64Extra(big, true);
  TZipHeaderInfo back;
  back.local_header_offset = 12;
  ASSERT_TRUE(ApplyZip64Extra(made, 0xFFFFFFFF, 0xFFFFFFFF, 12, 0, &back));
  EXPECT_EQ(back.uncompressed_size, big.uncompressed_size);
  EXPECT_EQ(back.compressed_size, big.compressed_size);
  EXPECT_TRUE(MakeZip64Extra(TZipHeaderInfo{}, true).empty());
}

TEST(ZipFormatTest, Zip64EndRecordAndLocator) {
  Bytes rec;
  rec.u32(0x06064B50).u64(44).u16(45).u16(45).u32(0).u32(0);
  rec.u64(70000).u64(70000).u64(3'000'000).u64(5'000'000'000ull);
  TEndCentral e;
  ASSERT_TRUE(ParseZip64EndCentral(rec.span(), &e));
  EXPECT_TRUE(e.zip64);
  EXPECT_EQ(e.total_entries, 70000u);
  EXPECT_EQ(e.central_size, 3'000'000u);
  EXPECT_EQ(e.central_offset, 5'000'000'000ull);
  std::vector<std::byte> out;
  SerializeZip64EndCentral(e, &out);
  EXPECT_EQ(out, rec.vec());
  EXPECT_TRUE(EndCentralNeedsZip64(e));

  Bytes loc;
  loc.u32(0x07064B50).u32(0).u64(5'003'000'000ull).u32(1);
  Zip64Locator l;
  ASSERT_TRUE(ParseZip64Locator(loc.span(), &l));
  EXPECT_EQ(l.offset, 5'003'000'000ull);
  EXPECT_EQ(l.total_disks, 1u);
  std::vector<std::byte> lout;
  SerializeZip64Locator(l, &lout);
  EXPECT_EQ(lout, loc.vec());

  // Values beyond the plain record are written as markers.
  std::vector<std::byte> plain;
  SerializeEndCentral(e, "", &plain);
  EXPECT_EQ(Load16(plain, kEndTotalEntries), 0xFFFF);
  EXPECT_EQ(Load32(plain, kEndCentralOffset), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace zb::zip
