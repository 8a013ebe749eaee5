// TZipReader: listing, extraction policies, and a table of damaged and
// hostile archives. Archives are built byte by byte here (Deflate data from
// zlib, the test-only reference), so every field can be made to lie.

#include "zip/zip_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/errors.h"
#include "fault_file.h"
#include "platform/replacing_file.h"
#include "zip/crc32.h"
#include "zip/zip_crypto.h"
#include "zip/zip_format.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;

// 2020-06-15 10:20:30 as a DOS value.
constexpr uint32_t kDos2020 =
    ((2020u - 1980) << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (20u << 5) | (30u / 2);

struct E {
  std::string name{};
  std::string data{};
  bool deflate = false;
  uint32_t dos = kDos2020;
  uint16_t made_by = 0x0014;  // MS-DOS, 2.0
  uint16_t flags = 0;
  uint16_t method_override = 0xFFFF;
  std::string password{};   // not empty: traditional encryption
  bool descriptor = false;  // bit 3, sizes in a data descriptor
  uint32_t external = 0x20;
  std::optional<uint32_t> crc{};    // lies about the CRC
  std::optional<uint32_t> usize{};  // lies about the uncompressed size
  std::optional<uint32_t> csize{};  // lies about the compressed size (central)
};

struct Built {
  std::string bytes;
  std::vector<uint32_t> offsets;
  uint32_t cd_offset = 0;
  uint32_t cd_size = 0;
};

void P16(std::string* s, uint32_t v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void P32(std::string* s, uint32_t v) {
  P16(s, v & 0xFFFF);
  P16(s, v >> 16);
}
void P64(std::string* s, uint64_t v) {
  P32(s, static_cast<uint32_t>(v));
  P32(s, static_cast<uint32_t>(v >> 32));
}

std::string RawDeflate(const std::string& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Built Build(const std::vector<E>& entries, const std::string& comment = "",
            std::optional<uint16_t> count = std::nullopt) {
  Built b;
  std::string central;
  for (const E& e : entries) {
    uint32_t crc = Crc32(0, e.data.data(), e.data.size());
    std::string payload = e.deflate ? RawDeflate(e.data) : e.data;
    uint16_t method = e.method_override != 0xFFFF ? e.method_override : (e.deflate ? 8 : 0);
    uint16_t flags = e.flags | (e.descriptor ? kFlagDataDescriptor : 0);
    if (!e.password.empty()) {
      flags |= kFlagEncrypted;
      ZipCrypto keys(e.password);
      std::string header = "0123456789A";
      header += static_cast<char>(e.descriptor ? (e.dos >> 8) & 0xFF : crc >> 24);
      std::string all = header + payload;
      keys.Encrypt(std::as_writable_bytes(std::span<char>(all.data(), all.size())));
      payload = all;
    }
    uint32_t real_crc = e.crc.value_or(crc);
    uint32_t usize = e.usize.value_or(static_cast<uint32_t>(e.data.size()));
    uint32_t csize = static_cast<uint32_t>(payload.size());
    uint32_t offset = static_cast<uint32_t>(b.bytes.size());
    b.offsets.push_back(offset);
    std::string& s = b.bytes;
    P32(&s, kLocalHeaderSignature);
    P16(&s, 20);
    P16(&s, flags);
    P16(&s, method);
    P32(&s, e.dos);
    P32(&s, e.descriptor ? 0 : real_crc);
    P32(&s, e.descriptor ? 0 : csize);
    P32(&s, e.descriptor ? 0 : usize);
    P16(&s, static_cast<uint32_t>(e.name.size()));
    P16(&s, 0);
    s += e.name;
    s += payload;
    if (e.descriptor) {
      P32(&s, kDataDescriptorSignature);
      P32(&s, real_crc);
      P32(&s, csize);
      P32(&s, usize);
    }
    P32(&central, kCentralHeaderSignature);
    P16(&central, e.made_by);
    P16(&central, 20);
    P16(&central, flags);
    P16(&central, method);
    P32(&central, e.dos);
    P32(&central, real_crc);
    P32(&central, e.csize.value_or(csize));
    P32(&central, usize);
    P16(&central, static_cast<uint32_t>(e.name.size()));
    P16(&central, 0);
    P16(&central, 0);
    P16(&central, 0);
    P16(&central, 0);
    P32(&central, e.external);
    P32(&central, offset);
    central += e.name;
  }
  b.cd_offset = static_cast<uint32_t>(b.bytes.size());
  b.cd_size = static_cast<uint32_t>(central.size());
  b.bytes += central;
  uint16_t n = count.value_or(static_cast<uint16_t>(entries.size()));
  P32(&b.bytes, kEndCentralSignature);
  P16(&b.bytes, 0);
  P16(&b.bytes, 0);
  P16(&b.bytes, n);
  P16(&b.bytes, n);
  P32(&b.bytes, b.cd_size);
  P32(&b.bytes, b.cd_offset);
  P16(&b.bytes, static_cast<uint32_t>(comment.size()));
  b.bytes += comment;
  return b;
}

class ZipReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_reader_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dest_ = root_ / "dest";
    outside_ = root_ / "outside";
    fs::create_directories(outside_);
    zip_ = root_ / "a.zip";
    ev_.OnEntryProblem = [this](const EntryProblem& p) { problems_.push_back(p); };
    ev_.OnUnZipComplete = [this](int n) { completed_.push_back(n); };
  }
  void TearDown() override {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root_, ec)) ::chmod(e.path().c_str(), 0700);
    fs::remove_all(root_, ec);
  }

  void WriteFile(const fs::path& p, const std::string& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void Use(const std::string& bytes) {
    WriteFile(zip_, bytes);
    reader_.SetZipName(zip_.string());
    opts_.DestDir = dest_.string();
  }
  int ExtractAll() {
    opts_.DoAll = true;
    return reader_.UnZip(opts_, ev_);
  }
  // Files in `dir` whose name marks them as unfinished extraction output.
  int Leftovers(const fs::path& dir) {
    int n = 0;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(dir, ec)) {
      if (ReplacingFile::IsTempName(e.path().filename().string())) ++n;
    }
    return n;
  }
  bool HasProblem(EntryProblemKind kind, const std::string& entry = {}) {
    for (const auto& p : problems_) {
      if (p.kind == kind && (entry.empty() || p.entry_name == entry)) return true;
    }
    return false;
  }

  fs::path root_, dest_, outside_, zip_;
  TZipReader reader_;
  TUnZipOptions opts_;
  TUnZipEvents ev_;
  std::vector<EntryProblem> problems_;
  std::vector<int> completed_;
};

// --- Listing -------------------------------------------------------------------

TEST_F(ZipReaderTest, ListsNamesFoldersSizesAndTimes) {
  Use(Build({{.name = "docs/sub/a.txt", .data = "hello"}, {.name = "a.txt", .data = "xy"}}).bytes);
  reader_.ReadDirectory(opts_, ev_);
  ASSERT_EQ(reader_.EntryCount(), 2);
  EXPECT_EQ(reader_.EntryDirectory(0), "docs/sub/");
  EXPECT_EQ(reader_.EntryFileName(0), "a.txt");
  EXPECT_EQ(reader_.EntrySize(0), 5u);
  EXPECT_EQ(reader_.EntryDirectory(1), "");
  DateTimeFields f = DecodeDateTime(reader_.EntryDateTime(0));
  EXPECT_EQ(f.year, 2020);
  EXPECT_EQ(f.month, 6);
  EXPECT_EQ(f.second, 30);
  try {
    (void)reader_.EntryFileName(2);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Index 2 is out of range");
  }
  reader_.SetSortMode(TZipSortMode::ByName);
  EXPECT_EQ(reader_.EntryFileName(0), "a.txt");
  EXPECT_EQ(reader_.EntryDirectory(1), "docs/sub/");
}

TEST_F(ZipReaderTest, NamesAreDecodedByFlagAndHost) {
  Use(Build({{.name = "caf\x82.txt", .data = "dos"},
             {.name = "caf\xc3\xa9-unix.txt", .data = "unix", .made_by = 0x0314},
             {.name = "\xe2\x82\xac.txt", .data = "utf8", .flags = kFlagUtf8}})
          .bytes);
  EXPECT_EQ(ExtractAll(), 3);
  EXPECT_EQ(ReadFile(dest_ / "caf\u00e9.txt"), "dos");
  EXPECT_EQ(ReadFile(dest_ / "caf\u00e9-unix.txt"), "unix");
  EXPECT_EQ(ReadFile(dest_ / "\u20ac.txt"), "utf8");
}

TEST_F(ZipReaderTest, ProgressIsBoundedAndPumped) {
  Use(Build({{.name = "e1.txt"}, {.name = "e2.txt"}}).bytes);
  std::vector<int> totals, files;
  int pumps = 0;
  ev_.OnTotalPercentDone = [&](int p) { totals.push_back(p); };
  ev_.OnFilePercentDone = [&](int p) { files.push_back(p); };
  ev_.Pump = [&] { ++pumps; };
  EXPECT_EQ(ExtractAll(), 2);
  ASSERT_FALSE(totals.empty());
  EXPECT_EQ(totals.back(), 100) << "a total of zero bytes reports 100";
  EXPECT_EQ(files, (std::vector<int>{100, 100})) << "an empty entry is complete at once";
  EXPECT_GT(pumps, 0);

  std::string data(300000, 'x');
  Use(Build({{.name = "big.txt", .data = data, .deflate = true}}).bytes);
  totals.clear();
  files.clear();
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_TRUE(std::is_sorted(totals.begin(), totals.end()));
  EXPECT_LE(totals.back(), 100);
  EXPECT_EQ(files.back(), 100);
}

TEST_F(ZipReaderTest, InvalidDosTimesAreRepairedNotWrapped) {
  // Month 13, day 0, 1990-..: reads as month 12, day 1, other fields kept.
  uint32_t bad = ((1990u - 1980) << 25) | (13u << 21) | (0u << 16) | (8u << 11) | (5u << 5);
  Use(Build({{.name = "t.txt", .data = "x", .dos = bad}}).bytes);
  reader_.ReadDirectory(opts_, ev_);
  DateTimeFields f = DecodeDateTime(reader_.EntryDateTime(0));
  EXPECT_EQ(f.year, 1990);
  EXPECT_EQ(f.month, 12);
  EXPECT_EQ(f.day, 1);
  EXPECT_EQ(f.hour, 8);
  EXPECT_EQ(f.minute, 5);
}

TEST_F(ZipReaderTest, EmptyAndTinyFiles) {
  Use("");
  reader_.ReadDirectory(opts_, ev_);
  EXPECT_EQ(reader_.EntryCount(), 0) << "a 0-byte file is an empty archive";
  // Without a local header anywhere near its start a file is no archive,
  // whatever the caller would assume of a missing end record, and nobody is
  // asked about disks or recovery.
  int asked = 0;
  ev_.OnInCompleteZip = [&](TIncompleteZipMode&) { ++asked; };
  for (const std::string& bytes : {std::string(1, 'P'), std::string(21, 'P'),
                                   std::string("just some text\n", 15), std::string(70000, 'q')}) {
    for (auto mode : {TIncompleteZipMode::izAssumeNotAZip, TIncompleteZipMode::izAssumeMulti,
                      TIncompleteZipMode::izAssumeBad}) {
      Use(bytes);
      reader_.SetZipName("");
      reader_.SetZipName(zip_.string());
      opts_.IncompleteZipMode = mode;
      EXPECT_THROW(reader_.ReadDirectory(opts_, ev_), ENotAZipFile) << bytes.size() << " bytes";
    }
  }
  EXPECT_EQ(asked, 0);
  // The start of an archive without its end is incomplete, not foreign.
  ev_.OnInCompleteZip = nullptr;
  Use(Build({{.name = "a.txt", .data = "abc"}}).bytes.substr(0, 27));
  opts_.IncompleteZipMode = TIncompleteZipMode::izAssumeMulti;
  EXPECT_THROW(reader_.ReadDirectory(opts_, ev_), EIncompleteZip);
}

TEST_F(ZipReaderTest, LongestCommentIsFoundAndRead) {
  std::string comment(65535, 'c');
  // A fake end signature inside the comment must not be taken for the record.
  comment.replace(100, 4, "PK\x05\x06");
  Use(Build({{.name = "a.txt", .data = "abc"}}, comment).bytes);
  reader_.ReadDirectory(opts_, ev_);
  EXPECT_EQ(reader_.EntryCount(), 1);
  EXPECT_EQ(reader_.ArchiveComment(), comment);
  EXPECT_EQ(ExtractAll(), 1) << "an archive whose comment runs to the end extracts";
}

TEST_F(ZipReaderTest, IncompleteHandlerIsAskedOnEveryRead) {
  Use(Build({{.name = "a.txt", .data = std::string(100, 'x')}}).bytes.substr(0, 100));
  int asked = 0;
  std::vector<TIncompleteZipMode> offered;
  ev_.OnInCompleteZip = [&](TIncompleteZipMode& m) {
    // The first answers keep asking (another disk), the third gives up.
    offered.push_back(m);
    if (++asked == 3) m = TIncompleteZipMode::izAssumeNotAZip;
  };
  EXPECT_THROW(reader_.ReadDirectory(opts_, ev_), ENotAZipFile);
  EXPECT_EQ(asked, 3);
  // The next read starts from the options again: a choice is not left on
  // the reader for another caller.
  asked = 0;
  EXPECT_THROW(reader_.ReadDirectory(opts_, ev_), ENotAZipFile);
  ASSERT_EQ(offered.size(), 6u);
  EXPECT_EQ(offered[3], TIncompleteZipMode::izAssumeMulti);
}

TEST_F(ZipReaderTest, Zip64RecordsAndExtraFieldsAreRead) {
  // One stored entry described through ZIP64: markers in the central
  // header, the values in extra field 0x0001, a ZIP64 end record and locator.
  std::string data = "zip64 payload";
  uint32_t crc = Crc32(0, data.data(), data.size());
  std::string s;
  P32(&s, kLocalHeaderSignature);
  P16(&s, 45);
  P16(&s, 0);
  P16(&s, 0);
  P32(&s, kDos2020);
  P32(&s, crc);
  P32(&s, 0xFFFFFFFF);
  P32(&s, 0xFFFFFFFF);
  P16(&s, 5);
  P16(&s, 20);
  s += "z.txt";
  P16(&s, 1);
  P16(&s, 16);
  P64(&s, data.size());
  P64(&s, data.size());
  s += data;
  uint64_t cd = s.size();
  P32(&s, kCentralHeaderSignature);
  P16(&s, 0x032D);
  P16(&s, 45);
  P16(&s, 0);
  P16(&s, 0);
  P32(&s, kDos2020);
  P32(&s, crc);
  P32(&s, 0xFFFFFFFF);
  P32(&s, 0xFFFFFFFF);
  P16(&s, 5);
  P16(&s, 28);
  P16(&s, 0);
  P16(&s, 0);
  P16(&s, 0);
  P32(&s, 0);
  P32(&s, 0xFFFFFFFF);
  s += "z.txt";
  P16(&s, 1);
  P16(&s, 24);
  P64(&s, data.size());
  P64(&s, data.size());
  P64(&s, 0);
  uint64_t cd_size = s.size() - cd;
  uint64_t z64 = s.size();
  P32(&s, kZip64EndCentralSignature);
  P64(&s, 44);
  P16(&s, 45);
  P16(&s, 45);
  P32(&s, 0);
  P32(&s, 0);
  P64(&s, 1);
  P64(&s, 1);
  P64(&s, cd_size);
  P64(&s, cd);
  P32(&s, kZip64LocatorSignature);
  P32(&s, 0);
  P64(&s, z64);
  P32(&s, 1);
  P32(&s, kEndCentralSignature);
  for (int i = 0; i < 4; ++i) P16(&s, 0xFFFF);
  P32(&s, 0xFFFFFFFF);
  P32(&s, 0xFFFFFFFF);
  P16(&s, 0);
  Use(s);
  reader_.ReadDirectory(opts_, ev_);
  ASSERT_EQ(reader_.EntryCount(), 1);
  EXPECT_EQ(reader_.EntrySize(0), data.size());
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(ReadFile(dest_ / "z.txt"), data);
}

TEST_F(ZipReaderTest, WrappedEntryCountIsReadWhole) {
  // 70,000 entries recorded as 70,000 mod 65,536 = 4,464 by an old writer.
  std::vector<E> entries;
  entries.reserve(70000);
  for (int i = 0; i < 70000; ++i) {
    std::string name = "f";
    name.append(std::to_string(i));
    entries.push_back({.name = name});
  }
  Use(Build(entries, "", static_cast<uint16_t>(70000 & 0xFFFF)).bytes);
  reader_.ReadDirectory(opts_, ev_);
  EXPECT_EQ(reader_.EntryCount(), 70000);
  EXPECT_EQ(reader_.EntryFileName(69999), "f69999");
}

TEST_F(ZipReaderTest, DirectoryIsReadAgainWhenTheArchiveChanges) {
  Use(Build({{.name = "one.txt", .data = "1"}}).bytes);
  reader_.ReadDirectory(opts_, ev_);
  FileInfo before = Stat(zip_);
  // Same size and the same modification time: only the identity differs.
  std::string other = Build({{.name = "two.txt", .data = "2"}}).bytes;
  ASSERT_EQ(other.size(), before.size);
  WriteFile(root_ / "new.zip", other);
  SetFileTimes(root_ / "new.zip", before.mtime);
  RenameFile(root_ / "new.zip", zip_);
  reader_.ReadDirectory(opts_, ev_);
  EXPECT_EQ(reader_.EntryFileName(0), "two.txt");
}

TEST_F(ZipReaderTest, ConfigurationFileStandsInForAMissingEndRecord) {
  Built b = Build({{.name = "a.txt", .data = "abc"}, {.name = "b.txt", .data = "de"}});
  // The archive stops after the entries; the .zfc holds the directory.
  Use(b.bytes.substr(0, b.cd_offset));
  WriteFile(root_ / "a.zfc", b.bytes.substr(b.cd_offset));
  reader_.ReadDirectory(opts_, ev_);
  ASSERT_EQ(reader_.EntryCount(), 2);
  EXPECT_EQ(ExtractAll(), 2);
  EXPECT_EQ(ReadFile(dest_ / "b.txt"), "de");
}

TEST_F(ZipReaderTest, RecoveryScanFindsEntriesOfACutArchive) {
  Built b =
      Build({{.name = "a.txt", .data = "abc"}, {.name = "b.txt", .data = "de", .deflate = true}});
  Use(b.bytes.substr(0, b.cd_offset + 10));
  opts_.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  reader_.ReadDirectory(opts_, ev_);
  ASSERT_EQ(reader_.EntryCount(), 2);
  EXPECT_EQ(ExtractAll(), 2);
  EXPECT_EQ(ReadFile(dest_ / "b.txt"), "de");

  Use(std::string("PK\x03\x04\x14\x00", 6) + std::string(5000, 'q'));
  EXPECT_THROW(reader_.ReadDirectory(opts_, ev_), EBadZipFile) << "nothing to recover";
}

TEST_F(ZipReaderTest, RecoveryGoesOnPastDamagedAndCutEntries) {
  Built b = Build({{.name = "a.txt", .data = "first"},
                   {.name = "b.txt", .data = std::string(3000, 'b'), .deflate = true},
                   {.name = "c.txt", .data = "third"},
                   {.name = "d.txt", .data = "fourth", .deflate = true}});
  // b's local header is smashed and the archive is cut inside d's data:
  // a and c are intact, b and d are lost, and the run says so.
  std::string bytes = b.bytes.substr(0, b.offsets[3] + 40);
  bytes[b.offsets[1]] = 'X';
  Use(bytes);
  opts_.IncompleteZipMode = TIncompleteZipMode::izAssumeBad;
  EXPECT_EQ(ExtractAll(), 2);
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "first");
  EXPECT_EQ(ReadFile(dest_ / "c.txt"), "third");
  EXPECT_FALSE(fs::exists(dest_ / "d.txt"));
  EXPECT_TRUE(HasProblem(EntryProblemKind::kCorrupt, "d.txt"));
  ASSERT_FALSE(problems_.empty());
  EXPECT_EQ(problems_[0].index, -1) << "the lost stretch is reported for the archive";
  EXPECT_NE(problems_[0].reason.find("stepped over 1"), std::string::npos) << problems_[0].reason;
}

// --- Extraction ----------------------------------------------------------------

TEST_F(ZipReaderTest, ExtractsStoredDeflatedAndDescriptorEntriesWithTimesAndAttributes) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) % 251);
  Use(Build(
          {{.name = "docs/a.txt", .data = "stored"},
           {.name = "docs/big.bin", .data = big, .deflate = true},
           {.name = "ro.txt", .data = "ro", .external = 0x21},
           {.name = "streamed.txt", .data = "via descriptor", .deflate = true, .descriptor = true},
           {.name = "empty/", .data = ""}})
          .bytes);
  opts_.RecreateDirs = true;
  int percent_max = -1;
  int last_total = -1;
  ev_.OnTotalPercentDone = [&](int p) {
    percent_max = std::max(percent_max, p);
    last_total = p;
  };
  EXPECT_EQ(ExtractAll(), 5);
  EXPECT_EQ(ReadFile(dest_ / "docs/a.txt"), "stored");
  EXPECT_EQ(ReadFile(dest_ / "docs/big.bin"), big);
  EXPECT_EQ(ReadFile(dest_ / "streamed.txt"), "via descriptor");
  EXPECT_TRUE(fs::is_directory(dest_ / "empty"));
  EXPECT_EQ(Stat(dest_ / "docs/a.txt").mtime.tv_sec, DosToTimeT(kDos2020));
  EXPECT_EQ(Stat(dest_ / "ro.txt").mode & 0222, 0u);
  EXPECT_NE(Stat(dest_ / "docs/a.txt").mode & S_IWUSR, 0u);
  EXPECT_EQ(percent_max, 100);
  EXPECT_EQ(last_total, 100);
  EXPECT_EQ(completed_, std::vector<int>{5});
  EXPECT_EQ(Leftovers(dest_), 0);
}

TEST_F(ZipReaderTest, OverwritePoliciesCompareAtDosPrecision) {
  Use(Build({{.name = "a.txt", .data = "archive"}}).bytes);
  timespec same{DosToTimeT(kDos2020), 0};
  struct Case {
    TUZOverwriteMode mode;
    long shift;  // existing file's time minus the entry's, seconds
    bool replaced;
  } cases[] = {
      {TUZOverwriteMode::ifNewer, 0, false},  {TUZOverwriteMode::ifOlder, 0, false},
      {TUZOverwriteMode::ifNewer, -60, true}, {TUZOverwriteMode::ifNewer, 60, false},
      {TUZOverwriteMode::ifOlder, 60, true},  {TUZOverwriteMode::ifOlder, -60, false},
      {TUZOverwriteMode::Never, -60, false},  {TUZOverwriteMode::Always, 60, true},
      {TUZOverwriteMode::Prompt, -60, false},  // nobody to ask: kept
  };
  for (const Case& c : cases) {
    WriteFile(dest_ / "a.txt", "mine");
    SetFileTimes(dest_ / "a.txt", {same.tv_sec + c.shift, 0});
    opts_.OverwriteMode = c.mode;
    problems_.clear();
    int n = ExtractAll();
    EXPECT_EQ(ReadFile(dest_ / "a.txt"), c.replaced ? "archive" : "mine")
        << "mode " << static_cast<int>(c.mode) << " shift " << c.shift;
    EXPECT_EQ(n, c.replaced ? 1 : 0);
    if (!c.replaced) {
      EXPECT_TRUE(HasProblem(EntryProblemKind::kExists));
    }
  }
  // Prompt asks the callback with the entry's file name.
  std::string asked;
  ev_.AskOverwrite = [&](const std::string& name) {
    asked = name;
    return true;
  };
  opts_.OverwriteMode = TUZOverwriteMode::Prompt;
  WriteFile(dest_ / "a.txt", "mine");
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(asked, "a.txt");
}

TEST_F(ZipReaderTest, FlatExtractionPutsSameNamesIntoOneFolder) {
  Use(Build({{.name = "docs/a.txt", .data = "docs"}, {.name = "old/a.txt", .data = "old"}}).bytes);
  opts_.RecreateDirs = false;
  opts_.OverwriteMode = TUZOverwriteMode::Never;
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "docs");
  EXPECT_FALSE(fs::exists(dest_ / "docs"));
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 2);
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "old");
}

TEST_F(ZipReaderTest, ReadOnlyExistingFileIsLeftAndNotCounted) {
  Use(Build({{.name = "a.txt", .data = "archive"}}).bytes);
  WriteFile(dest_ / "a.txt", "mine");
  ::chmod((dest_ / "a.txt").c_str(), 0444);
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "mine");
  EXPECT_TRUE(HasProblem(EntryProblemKind::kReadOnly));
}

TEST_F(ZipReaderTest, SelectionByPatternNameAndIdentity) {
  Use(Build({{.name = "docs/a.txt", .data = "1"},
             {.name = "a*.txt", .data = "2"},
             {.name = "ab.txt", .data = "3"},
             {.name = "r<1>.txt", .data = "4"},
             {.name = "r1.txt", .data = "5"}})
          .bytes);
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  opts_.RecreateDirs = true;
  opts_.FilesList = {"*"};
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 5) << "\"*\" selects everything";

  opts_.FilesList = {"DOCS/A.TXT"};
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 1) << "a plain name selects its entry, case-insensitively";

  // Typed patterns keep their meaning: a*.txt matches three entries.
  opts_.FilesList = {"a*.txt"};
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 2);

  // By identity, names with wildcard characters select themselves only.
  fs::remove_all(dest_);
  opts_.FilesList.clear();
  opts_.ExactNames = {"a*.txt", "r<1>.txt"};
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 2);
  EXPECT_TRUE(fs::exists(dest_ / "a*.txt"));
  EXPECT_TRUE(fs::exists(dest_ / "r<1>.txt"));
  EXPECT_FALSE(fs::exists(dest_ / "ab.txt"));
  EXPECT_FALSE(fs::exists(dest_ / "r1.txt"));

  fs::remove_all(dest_);
  reader_.ReadDirectory(opts_, ev_);
  opts_.ExactNames.clear();
  opts_.Indexes = {2};
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 1);
  EXPECT_TRUE(fs::exists(dest_ / "ab.txt"));

  // Rows of a listing the archive no longer matches select nothing.
  fs::remove_all(dest_);
  Use(Build({{.name = "other.txt", .data = "6"}, {.name = "ab.txt", .data = "7"}}).bytes);
  EXPECT_EQ(reader_.UnZip(opts_, ev_), 0);
}

TEST_F(ZipReaderTest, StartEventCanRedirectOrSkip) {
  Use(Build({{.name = "a.txt", .data = "A"}, {.name = "b.txt", .data = "B"}}).bytes);
  ev_.OnStartUnZip = [&](int, std::string& fname, bool& skip) {
    if (fname.ends_with("a.txt"))
      skip = true;
    else
      fname = (outside_ / "renamed.txt").string();
  };
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_FALSE(fs::exists(dest_ / "a.txt"));
  EXPECT_EQ(ReadFile(outside_ / "renamed.txt"), "B");
}

// --- Passwords ------------------------------------------------------------------

TEST_F(ZipReaderTest, BadPasswordRetryGiveUpAndAbort) {
  Use(Build({{.name = "a.txt", .data = "plain"},
             {.name = "s.txt", .data = "secret", .password = "right"},
             {.name = "d.txt",
              .data = "descr",
              .deflate = true,
              .password = "right",
              .descriptor = true}})
          .bytes);
  opts_.Password = "wrong";
  std::vector<int> asked;
  ev_.OnBadPassword = [&](int index, std::string& pw) {
    asked.push_back(index);
    pw = "right";
  };
  EXPECT_EQ(ExtractAll(), 3);
  EXPECT_EQ(ReadFile(dest_ / "s.txt"), "secret");
  EXPECT_EQ(ReadFile(dest_ / "d.txt"), "descr");
  EXPECT_EQ(asked, std::vector<int>{1}) << "the new password stays for the rest of the run";

  // A handler that leaves the password gives the entry up.
  fs::remove_all(dest_);
  opts_.Password = "wrong";
  ev_.OnBadPassword = [](int, std::string&) {};
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kBadPassword, "s.txt"));
  EXPECT_FALSE(fs::exists(dest_ / "s.txt"));

  // A handler that throws ends the run; completion reports what was done.
  fs::remove_all(dest_);
  completed_.clear();
  ev_.OnBadPassword = [](int, std::string&) { throw EAbort(); };
  EXPECT_THROW(ExtractAll(), EAbort);
  EXPECT_EQ(completed_, std::vector<int>{1});
  EXPECT_EQ(Leftovers(dest_), 0);
}

// --- Damage and hostile archives ------------------------------------------------

TEST_F(ZipReaderTest, EscapingNamesNeverWriteOutsideTheDestination) {
  fs::create_directories(dest_);
  fs::create_directory_symlink(outside_, dest_ / "link");
  Use(Build({{.name = "../x.txt", .data = "esc1"},
             {.name = "a/../../y.txt", .data = "esc2"},
             {.name = "/abs/z.txt", .data = "rooted"},
             {.name = "C:\\win\\w.txt", .data = "drive"},
             {.name = "link/l.txt", .data = "through link"},
             {.name = "..", .data = "dots"},
             {.name = "ok.txt", .data = "fine"}})
          .bytes);
  opts_.RecreateDirs = true;
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 3);
  EXPECT_EQ(ReadFile(dest_ / "abs/z.txt"), "rooted") << "a leading root is dropped";
  EXPECT_EQ(ReadFile(dest_ / "win/w.txt"), "drive") << "a drive is dropped";
  EXPECT_EQ(ReadFile(dest_ / "ok.txt"), "fine");
  EXPECT_FALSE(fs::exists(root_ / "x.txt"));
  EXPECT_FALSE(fs::exists(root_ / "y.txt"));
  EXPECT_TRUE(fs::is_empty(outside_)) << "nothing may pass through the link";
  EXPECT_TRUE(HasProblem(EntryProblemKind::kUnsafePath, "../x.txt"));
  EXPECT_TRUE(HasProblem(EntryProblemKind::kUnsafePath, "a/../../y.txt"));
  EXPECT_TRUE(HasProblem(EntryProblemKind::kUnsafePath, "link/l.txt"));
}

TEST_F(ZipReaderTest, LinkedFoldersAreFollowedOnlyWhenAsked) {
  // Restoring to the original places from "/" passes through the system's
  // own links (a home folder on another disk); that restore sets
  // FollowDestLinks. Names that climb out stay refused either way.
  fs::create_directories(dest_);
  fs::create_directory_symlink(outside_, dest_ / "home");
  Use(Build({{.name = "home/u/a.txt", .data = "restored"}, {.name = "../x.txt", .data = "esc"}})
          .bytes);
  opts_.RecreateDirs = true;
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kUnsafePath, "home/u/a.txt"));
  opts_.FollowDestLinks = true;
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(ReadFile(outside_ / "u" / "a.txt"), "restored");
  EXPECT_FALSE(fs::exists(root_ / "x.txt"));
}

TEST_F(ZipReaderTest, SymlinkAtTheOutputIsReplacedNotWrittenThrough) {
  WriteFile(outside_ / "target.txt", "precious");
  fs::create_directories(dest_);
  fs::create_symlink(outside_ / "target.txt", dest_ / "a.txt");
  Use(Build({{.name = "a.txt", .data = "new"}}).bytes);
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(ReadFile(outside_ / "target.txt"), "precious");
  EXPECT_TRUE(LStat(dest_ / "a.txt").IsRegular());
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "new");
}

TEST_F(ZipReaderTest, TheArchiveItselfIsNeverAnOutput) {
  std::string bytes = Build({{.name = "a.zip", .data = "not the archive"}}).bytes;
  Use(bytes);
  opts_.DestDir = root_.string();
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_EQ(ReadFile(zip_), bytes);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kIsArchive));
}

TEST_F(ZipReaderTest, FailedEntriesLeaveExistingFilesExactlyAsTheyWere) {
  struct Case {
    const char* what;
    E entry;
    EntryProblemKind kind;
  } cases[] = {
      {"crc", {.name = "a.txt", .data = "archive", .crc = 1234}, EntryProblemKind::kBadCrc},
      {"crc deflated",
       {.name = "a.txt", .data = "archive data", .deflate = true, .crc = 99},
       EntryProblemKind::kBadCrc},
      {"too large stored",
       {.name = "a.txt", .data = "archive", .usize = 3},
       EntryProblemKind::kTooLarge},
      {"too large deflated",
       {.name = "a.txt", .data = std::string(5000, 'z'), .deflate = true, .usize = 100},
       EntryProblemKind::kTooLarge},
      {"unknown method",
       {.name = "a.txt", .data = "archive", .method_override = 99},
       EntryProblemKind::kUnknownMethod},
      {"wrong password",
       {.name = "a.txt", .data = "archive", .password = "pw"},
       EntryProblemKind::kBadPassword},
      {"garbage deflate",
       {.name = "a.txt", .data = "\xff\xff\xff\xff", .method_override = 8},
       EntryProblemKind::kCorrupt},
  };
  for (const Case& c : cases) {
    Use(Build({c.entry, {.name = "ok.txt", .data = "ok"}}).bytes);
    WriteFile(dest_ / "a.txt", "mine");
    opts_.OverwriteMode = TUZOverwriteMode::Always;
    opts_.Password = "other";
    problems_.clear();
    EXPECT_EQ(ExtractAll(), 1) << c.what;
    EXPECT_EQ(ReadFile(dest_ / "a.txt"), "mine") << c.what;
    EXPECT_TRUE(HasProblem(c.kind, "a.txt")) << c.what;
    EXPECT_EQ(Leftovers(dest_), 0) << c.what;
    fs::remove(dest_ / "ok.txt");
  }
}

TEST_F(ZipReaderTest, FullDiskEndsTheRunAndKeepsTheExistingFile) {
  Use(Build({{.name = "a.txt", .data = "first"}, {.name = "b.txt", .data = std::string(1000, 'b')}})
          .bytes);
  WriteFile(dest_ / "b.txt", "mine");
  testing::FaultFileFactory disk(100);
  opts_.FileFactory = &disk;
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_THROW(ExtractAll(), ECantWriteUCF);
  EXPECT_EQ(completed_, std::vector<int>{1});
  EXPECT_EQ(ReadFile(dest_ / "a.txt"), "first");
  EXPECT_EQ(ReadFile(dest_ / "b.txt"), "mine");
  EXPECT_EQ(Leftovers(dest_), 0);
}

TEST_F(ZipReaderTest, DataBeyondTheEndOfTheFileIsAFatalError) {
  Built b =
      Build({{.name = "a.txt", .data = "abc"}, {.name = "b.txt", .data = "de", .csize = 1u << 30}});
  Use(b.bytes);
  WriteFile(dest_ / "b.txt", "mine");
  opts_.OverwriteMode = TUZOverwriteMode::Always;
  EXPECT_THROW(ExtractAll(), EFatalUnzipError);
  EXPECT_EQ(completed_, std::vector<int>{1});
  EXPECT_EQ(ReadFile(dest_ / "b.txt"), "mine");
}

TEST_F(ZipReaderTest, OverlappingEntriesListButNeverDecode) {
  // The first entry's compressed size reaches over the second's header.
  Built b = Build({{.name = "a.txt", .data = "aaaa"}, {.name = "b.txt", .data = "bbbb"}});
  Built lie = Build({{.name = "a.txt", .data = "aaaa", .csize = 4 + 30 + 5 + 4},
                     {.name = "b.txt", .data = "bbbb"}});
  ASSERT_EQ(lie.bytes.size(), b.bytes.size());
  Use(lie.bytes);
  reader_.ReadDirectory(opts_, ev_);
  EXPECT_EQ(reader_.EntryCount(), 2);
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kOverlapping, "a.txt"));
  EXPECT_TRUE(HasProblem(EntryProblemKind::kOverlapping, "b.txt"));
  problems_.clear();
  TestResult t = reader_.Test(opts_, ev_);
  EXPECT_EQ(t.tested, 0);
  EXPECT_EQ(t.failed, 2);
}

TEST_F(ZipReaderTest, LyingDirectoriesEndInRecoveryOrArchiveErrors) {
  Built good = Build({{.name = "a.txt", .data = "abc"}, {.name = "b.txt", .data = "de"}});
  auto patched = [&](size_t at, uint32_t v, int width) {
    std::string s = good.bytes;
    for (int i = 0; i < width; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  size_t end = good.bytes.size() - 22;
  struct Case {
    const char* what;
    std::string bytes;
  } recoverable[] = {
      {"count too high", patched(end + 10, 5, 2)},
      {"directory offset past the file", patched(end + 16, 0x7FFFFFF0, 4)},
      {"directory size too large", patched(end + 12, good.cd_size + 40, 4)},
      {"duplicate offsets", patched(good.cd_offset + 46 + 5 + 42, 0, 4)},
      {"broken central signature", patched(good.cd_offset + 46 + 5, 0x12345678, 4)},
  };
  for (const Case& c : recoverable) {
    Use(c.bytes);
    reader_.SetZipName("");
    reader_.SetZipName(zip_.string());
    ASSERT_NO_THROW(reader_.ReadDirectory(opts_, ev_)) << c.what;
    EXPECT_EQ(reader_.EntryCount(), 2) << c.what << ": the recovery scan finds both entries";
  }
  // Truncation at every length: never a crash, always one of the archive errors.
  for (size_t n = 1; n < good.bytes.size(); ++n) {
    Use(good.bytes.substr(0, n));
    reader_.SetZipName("");
    reader_.SetZipName(zip_.string());
    try {
      reader_.ReadDirectory(opts_, ev_);
      (void)reader_.Test(opts_, ev_);
    } catch (const EIncompleteZip&) {
    } catch (const EBadZipFile&) {
    } catch (const ENotAZipFile&) {
      EXPECT_LT(n, 6u) << "only a stub shorter than a signature is no archive at all";
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cut at " << n << ": " << e.what();
    }
  }
}

TEST_F(ZipReaderTest, TestChecksEveryEntryWithoutWriting) {
  Built b = Build({{.name = "a.txt", .data = "good"},
                   {.name = "b.txt", .data = "bad data", .deflate = true, .crc = 7},
                   {.name = "c.txt", .data = "secret", .password = "pw"}});
  Use(b.bytes);
  opts_.Password = "pw";
  TestResult t = reader_.Test(opts_, ev_);
  EXPECT_EQ(t.tested, 2);
  EXPECT_EQ(t.failed, 1);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kBadCrc, "b.txt"));
  EXPECT_FALSE(fs::exists(dest_));
}

// --- Entries from Unix and from other systems -------------------------------------

constexpr uint16_t kUnix = 0x0314;
constexpr uint32_t UnixAttr(uint32_t mode) { return (mode << 16) | 0x20; }

TEST_F(ZipReaderTest, UnixModesAreAppliedWithoutSpecialBits) {
  struct Case {
    const char* name;
    uint32_t stored;  // type and permission bits as the entry holds them
    mode_t expected;
  };
  const std::vector<Case> cases = {
      {"private.txt", 0100600, 0600},   {"script.sh", 0100755, 0755},
      {"setuid", 0104755, 0755},        {"sticky", 0101777, 0777},
      {"locked/", 0040500, 0500},       {"locked/in.txt", 0100640, 0640},
      {"private/", 0040700, 0700},
  };
  std::vector<E> entries;
  for (const Case& c : cases) {
    entries.push_back({.name = c.name, .data = "", .made_by = kUnix, .external = UnixAttr(c.stored)});
  }
  // Made on DOS: the read-only bit alone, as before.
  entries.push_back({.name = "dos-ro.txt", .data = "d", .external = 0x21});
  Use(Build(entries).bytes);
  opts_.RecreateDirs = true;
  EXPECT_EQ(ExtractAll(), static_cast<int>(entries.size()));
  for (const Case& c : cases) {
    EXPECT_EQ(Stat(dest_ / c.name).mode & 07777, c.expected) << c.name;
  }
  EXPECT_EQ(Stat(dest_ / "dos-ro.txt").mode & 0222, 0u);
}

TEST_F(ZipReaderTest, FoldersMarkedByAttributesAndDosNamesFromOtherSystems) {
  Use(Build({// Some Windows tools mark a folder by its DOS directory bit alone.
             {.name = "winfolder", .data = "", .external = 0x10},
             {.name = "winfolder/a.txt", .data = "in folder"},
             {.name = "unixfolder", .data = "", .made_by = kUnix, .external = UnixAttr(040755)},
             // Shift-JIS "hyou" is 0x95 0x5C: in a name with "/" it is a
             // character, never a separator.
             {.name = "sj/\x95\x5C.txt", .data = "sjis"},
             // A DOS name without any "/" separates with "\".
             {.name = "dos\\b.txt", .data = "dos"},
             // Made on Unix: a backslash is part of the name.
             {.name = "unix\\c.txt", .data = "unix", .made_by = kUnix,
              .external = UnixAttr(0100644)}})
          .bytes);
  reader_.ReadDirectory(opts_, ev_);
  std::vector<std::string> names;
  for (int i = 0; i < reader_.EntryCount(); ++i) names.push_back(reader_.Entry(i).FullName());
  EXPECT_EQ(names, (std::vector<std::string>{"winfolder/", "winfolder/a.txt", "unixfolder/",
                                             "sj/\xC3\xB2\\.txt", "dos/b.txt", "unix\\c.txt"}));
  opts_.RecreateDirs = true;
  EXPECT_EQ(ExtractAll(), 6);
  EXPECT_TRUE(problems_.empty());
  EXPECT_EQ(ReadFile(dest_ / "winfolder/a.txt"), "in folder");
  EXPECT_TRUE(fs::is_directory(dest_ / "unixfolder"));
  EXPECT_EQ(ReadFile(dest_ / "sj/\xC3\xB2\\.txt"), "sjis");
  EXPECT_EQ(ReadFile(dest_ / "dos/b.txt"), "dos");
  EXPECT_EQ(ReadFile(dest_ / "unix\\c.txt"), "unix");
}

TEST_F(ZipReaderTest, EntryThatCannotBeCreatedFailsAloneAndTheOthersFollow) {
  const std::string long_name(300, 'x');
  Use(Build({{.name = "a.txt", .data = "a"},
             {.name = long_name + ".txt", .data = "too long"},
             {.name = "d/" + std::string(260, 'y') + "/c.txt", .data = "folder too long"},
             {.name = "z.txt", .data = "z"}})
          .bytes);
  opts_.RecreateDirs = true;
  EXPECT_EQ(ExtractAll(), 2);
  EXPECT_EQ(ReadFile(dest_ / "z.txt"), "z");
  ASSERT_EQ(problems_.size(), 2u);
  EXPECT_EQ(problems_[0].entry_name, long_name + ".txt");
  EXPECT_NE(problems_[0].reason.find("255-byte limit"), std::string::npos) << problems_[0].reason;
  EXPECT_TRUE(HasProblem(EntryProblemKind::kCannotCreate, "d/" + std::string(260, 'y') + "/c.txt"));
  EXPECT_EQ(Leftovers(dest_), 0);
}

TEST_F(ZipReaderTest, FromTheRootARelativeNameNeverMakesATopLevelFolder) {
  // The test's own folder lies below an existing top-level folder; a
  // made-up first level does not exist.
  const std::string here = (root_ / "kept.txt").relative_path().string();
  Use(Build({{.name = "zb-no-such-top-level/a.txt", .data = "lost"},
             {.name = here, .data = "original place"}})
          .bytes);
  opts_.DestDir = "/";
  opts_.RecreateDirs = true;
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_EQ(ReadFile(root_ / "kept.txt"), "original place");
  EXPECT_FALSE(fs::exists("/zb-no-such-top-level"));
  EXPECT_TRUE(HasProblem(EntryProblemKind::kNoOriginalPlace, "zb-no-such-top-level/a.txt"));
}

TEST_F(ZipReaderTest, EntryWithAnEmptyNameIsReportedNotSkipped) {
  Use(Build({{.name = "", .data = "nameless"}, {.name = "a.txt", .data = "a"}}).bytes);
  EXPECT_EQ(ExtractAll(), 1);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kUnsafePath, ""));
  problems_.clear();
  EXPECT_EQ(reader_.Test(opts_, ev_).failed, 1);
}

TEST_F(ZipReaderTest, EncryptedEntryWithoutPasswordNeedsOne) {
  Use(Build({{.name = "s.txt", .data = "secret", .password = "pw"}}).bytes);
  EXPECT_EQ(ExtractAll(), 0);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kNeedsPassword, "s.txt"));
  problems_.clear();
  EXPECT_EQ(reader_.Test(opts_, ev_).failed, 1);
  EXPECT_TRUE(HasProblem(EntryProblemKind::kNeedsPassword, "s.txt"));
}

}  // namespace
}  // namespace zb::zip
