#include "zip/zip_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/errors.h"
#include "fault_file.h"
#include "zip/archive_test_util.h"

namespace zb::zip {
namespace {

using ztest::EntryContent;
using ztest::ParseArchive;
using ztest::RawArchive;
using ztest::ReadFile;
using ztest::WriteFile;

// 2021-06-15 10:20:30 local time.
time_t FixedTime() {
  std::tm tm{};
  tm.tm_year = 121;
  tm.tm_mon = 5;
  tm.tm_mday = 15;
  tm.tm_hour = 10;
  tm.tm_min = 20;
  tm.tm_sec = 30;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

std::string TextData() {
  std::string s;
  for (int i = 0; i < 2000; ++i) s += "line " + std::to_string(i) + " of some text\n";
  return s;
}

std::string BinaryData(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245 + 12345;
    c = static_cast<char>(seed >> 16);
  }
  return s;
}

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zip_ = dir_ / "out.zip";
    opts_.ZipName = zip_;
    ev_.OnFileProblem = [this](const std::string& path, FileProblem p, const std::string&) {
      problems_[path] = p;
    };
    ev_.OnZipComplete = [this](int n) { completed_.push_back(n); };
  }

  std::string Put(const std::string& rel, const std::string& data) {
    const std::string path = dir_ / rel;
    WriteFile(path, data);
    ztest::SetMtime(path, FixedTime());
    return path;
  }

  int ZipFiles(std::vector<std::string> files) {
    opts_.FilesList = std::move(files);
    return w_.Zip(opts_, ev_);
  }

  RawArchive Archive() { return ParseArchive(ReadFile(zip_)); }
  int TempFilesLeft() { return ztest::CountFilesContaining(dir_.path(), ".zbk-"); }

  ztest::TempDir dir_;
  std::string zip_;
  TZipWriter w_;
  TZipOptions opts_;
  TZipEvents ev_;
  std::map<std::string, FileProblem> problems_;
  std::vector<int> completed_;
};

// --- Records ---------------------------------------------------------------------

struct LevelCase {
  int level;
  const char* password;
  uint16_t flags;
  uint16_t method;
};

class ZipWriterRecordTest : public ZipWriterTest,
                            public ::testing::WithParamInterface<LevelCase> {};

TEST_P(ZipWriterRecordTest, FieldsAsDesigned) {
  const LevelCase c = GetParam();
  const std::string text = TextData();
  const std::string path = Put("a.txt", text);
  opts_.PackLevel = c.level;
  opts_.Password = c.password;
  opts_.ArchiveComment = "the comment";
  ASSERT_EQ(ZipFiles({path}), 1);
  EXPECT_EQ(completed_, std::vector<int>{1});

  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_FALSE(a.zip64_end);
  EXPECT_EQ(a.comment, "the comment");
  const ztest::RawEntry& e = a.entries[0];
  std::tm tm{};
  const time_t t = FixedTime();
  localtime_r(&t, &tm);
  const uint16_t dos_time =
      static_cast<uint16_t>(tm.tm_hour * 2048 + tm.tm_min * 32 + tm.tm_sec / 2);
  const uint16_t dos_date =
      static_cast<uint16_t>((tm.tm_year + 1900 - 1980) * 512 + (tm.tm_mon + 1) * 32 + tm.tm_mday);
  const bool encrypted = c.password[0] != 0;

  // Local header.
  EXPECT_EQ(e.l_version_needed, 20);
  EXPECT_EQ(e.l_flags, c.flags);
  EXPECT_EQ(e.l_method, c.method);
  EXPECT_EQ(e.l_time, dos_time);
  EXPECT_EQ(e.l_date, dos_date);
  EXPECT_EQ(e.l_crc, e.crc);
  EXPECT_EQ(e.l_csize, e.csize);
  EXPECT_EQ(e.l_usize, text.size());
  EXPECT_EQ(e.l_name, "a.txt");
  // The extended timestamp, whole seconds, in both headers.
  ASSERT_EQ(e.l_extra.size(), 9u);
  EXPECT_EQ(e.l_extra.substr(0, 5), std::string("UT\x05\x00\x01", 5));
  EXPECT_EQ(ztest::Get32(e.l_extra, 5), static_cast<uint32_t>(t));
  // Central header.
  EXPECT_EQ(e.version_made_by, 0x0314);  // host 3 (Unix), version 2.0
  EXPECT_EQ(e.version_needed, 20);
  EXPECT_EQ(e.flags, c.flags);
  EXPECT_EQ(e.method, c.method);
  EXPECT_EQ(e.time, dos_time);
  EXPECT_EQ(e.date, dos_date);
  EXPECT_EQ(e.usize, text.size());
  EXPECT_EQ(e.disk, 0);
  EXPECT_EQ(e.internal_attr, c.level == 0 ? 0 : 1);  // text
  EXPECT_EQ(e.external_attr, 0x81A40020u);  // 0644 regular file; archive
  EXPECT_EQ(e.offset, 0u);
  EXPECT_EQ(e.extra, e.l_extra);
  EXPECT_TRUE(e.comment.empty());
  if (c.level == 0) {
    EXPECT_EQ(e.csize, text.size() + (encrypted ? 12 : 0));
  }
  EXPECT_EQ(EntryContent(e, c.password), text);
}

INSTANTIATE_TEST_SUITE_P(Levels, ZipWriterRecordTest,
                         ::testing::Values(LevelCase{0, "", 0, 0}, LevelCase{0, "pw", 1, 0},
                                           LevelCase{1, "", 4, 8}, LevelCase{1, "pw", 5, 8},
                                           LevelCase{2, "", 4, 8}, LevelCase{6, "", 0, 8},
                                           LevelCase{6, "pw", 1, 8}, LevelCase{8, "", 2, 8},
                                           LevelCase{9, "", 2, 8}, LevelCase{9, "pw", 3, 8}));

TEST_F(ZipWriterTest, AttributesNamesAndBinaryData) {
  const std::string ro = Put("ro.bin", BinaryData(5000));
  chmod(ro.c_str(), 0444);
  const std::string cp437 = Put("\xC3\xA4pfel.txt", "x");  // "äpfel": CP437 has ä
  const std::string utf8 = Put("\xE6\x97\xA5.txt", "y");   // a CJK name: UTF-8
  ASSERT_EQ(ZipFiles({ro, cp437, utf8}), 3);
  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].external_attr, 0x81240021u);  // 0444 file; archive + read-only
  EXPECT_EQ(a.entries[0].internal_attr, 0);      // binary
  EXPECT_EQ(EntryContent(a.entries[0]), BinaryData(5000));
  EXPECT_EQ(a.entries[1].name, "\x84pfel.txt");
  EXPECT_EQ(a.entries[1].flags & 0x800, 0);
  EXPECT_EQ(a.entries[2].name, "\xE6\x97\xA5.txt");
  EXPECT_EQ(a.entries[2].flags & 0x800, 0x800);
  EXPECT_EQ(a.entries[2].l_flags, a.entries[2].flags);
}

TEST_F(ZipWriterTest, StorePathsDropsTheRootAndDotComponents) {
  const std::string path = Put("d/e/a.txt", "x");
  opts_.StorePaths = true;
  ASSERT_EQ(ZipFiles({path}), 1);
  EXPECT_EQ(Archive().entries[0].name, (dir_.path() + "/d/e/a.txt").substr(1));
  // A relative path keeps its folders, without "." or "..".
  const std::filesystem::path cwd = std::filesystem::current_path();
  struct Back {
    std::filesystem::path to;
    ~Back() { std::filesystem::current_path(to); }
  } back{cwd};
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  std::filesystem::remove(zip_);
  ASSERT_EQ(ZipFiles({"./d/../d/e/a.txt"}), 1);
  EXPECT_EQ(Archive().entries[0].name, "d/e/a.txt");
}

TEST_F(ZipWriterTest, EmptyListGivesEndRecordAloneAndBlankNameWritesNothing) {
  opts_.ArchiveComment = "c";
  ASSERT_EQ(ZipFiles({}), 0);
  EXPECT_EQ(ReadFile(zip_).size(), 23u);
  EXPECT_EQ(completed_, std::vector<int>{0});
  opts_.ZipName = "";
  opts_.FilesList = {Put("a.txt", "x")};
  EXPECT_EQ(w_.Zip(opts_, ev_), 0);
  EXPECT_EQ(completed_, (std::vector<int>{0, 0}));
}

TEST_F(ZipWriterTest, CommentTooLongForTheEndRecordIsRefusedNotCut) {
  opts_.ArchiveComment = std::string(65536, 'c');
  EXPECT_THROW(ZipFiles({Put("a.txt", "x")}), EZipError);
  EXPECT_FALSE(std::filesystem::exists(zip_));
  opts_.ArchiveComment = std::string(65535, 'c');
  ASSERT_EQ(ZipFiles({Put("a.txt", "x")}), 1);
  EXPECT_EQ(Archive().comment.size(), 65535u);
}

// --- Expansion through the writer ------------------------------------------------

TEST_F(ZipWriterTest, SameNameTwiceWithoutPathsStoresTheFirstAndReportsTheSecond) {
  const std::string first = Put("one/x.txt", "first");
  const std::string second = Put("two/x.txt", "second");
  ASSERT_EQ(ZipFiles({first, second}), 1);
  EXPECT_EQ(completed_, std::vector<int>{1});
  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(EntryContent(a.entries[0]), "first");
  EXPECT_EQ(problems_[second], FileProblem::kDuplicateName);
}

TEST_F(ZipWriterTest, NamesDifferingInCaseAreDifferentFiles) {
  const std::string upper = Put("A.txt", "upper");
  const std::string lower = Put("a.txt", "lower");
  ASSERT_EQ(ZipFiles({upper, lower}), 2);
  EXPECT_EQ(ztest::Names(Archive()), (std::vector<std::string>{"A.txt", "a.txt"}));
}

TEST_F(ZipWriterTest, ArchiveInsideTheZippedFolderIsNotStored) {
  Put("a.txt", "a");
  Put("sub/b.txt", "b");
  opts_.Recurse = true;
  ASSERT_EQ(ZipFiles({dir_.path() + "/*"}), 2);
  // Again, now as an update of the existing archive: still not inside.
  Put("c.txt", "c");
  EXPECT_EQ(ZipFiles({dir_.path() + "/*"}), 1);
  const RawArchive a = Archive();
  EXPECT_EQ(a.entries.size(), 3u);
  for (const auto& e : a.entries) EXPECT_EQ(e.name.find(".zip"), std::string::npos) << e.name;
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ZipWriterTest, SkippedFileIsAbsentAndProgressStillEndsAt100) {
  const std::string a = Put("a.bin", BinaryData(300000));
  const std::string b = Put("b.bin", BinaryData(300000, 2));
  const std::string c = Put("c.bin", BinaryData(10, 3));
  std::vector<int> totals;
  std::vector<int> files;
  ev_.OnTotalPercentDone = [&](int p) { totals.push_back(p); };
  ev_.OnFilePercentDone = [&](int p) { files.push_back(p); };
  std::vector<std::string> seen;
  ev_.OnStartZip = [&](const std::string& name, TZipHeaderInfo& h, bool& skip) {
    seen.push_back(name);
    EXPECT_EQ(h.uncompressed_size, name == c ? 10u : 300000u);
    skip = name == b;
  };
  ASSERT_EQ(ZipFiles({a, b, c}), 2);
  EXPECT_EQ(seen, (std::vector<std::string>{a, b, c}));
  EXPECT_EQ(ztest::Names(Archive()), (std::vector<std::string>{"a.bin", "c.bin"}));
  ASSERT_FALSE(totals.empty());
  for (size_t i = 1; i < totals.size(); ++i) EXPECT_LE(totals[i - 1], totals[i]);
  EXPECT_LE(totals.back(), 100);
  EXPECT_EQ(totals.back(), 100);
  // The skipped file's size left the total, so c.bin's one block already
  // reaches 100 (it would be ~50% with b.bin still counted).
  ASSERT_GE(totals.size(), 2u);
  EXPECT_EQ(totals[totals.size() - 2], 100);
  EXPECT_EQ(files.back(), 100);
}

TEST_F(ZipWriterTest, HandlerMayRenameAndEmptyFileReportsProgress) {
  const std::string a = Put("a.txt", "");
  const std::string b = Put("b.txt", "b");
  std::vector<int> files;
  ev_.OnFilePercentDone = [&](int p) { files.push_back(p); };
  // Both files renamed to one name: the second would be a duplicate.
  ev_.OnStartZip = [&](const std::string&, TZipHeaderInfo& h, bool&) {
    h.SetFileName("\xE6\x97\xA5.txt");
  };
  ASSERT_EQ(ZipFiles({a, b}), 1);
  const RawArchive r = Archive();
  ASSERT_EQ(r.entries.size(), 1u);
  EXPECT_EQ(r.entries[0].name, "\xE6\x97\xA5.txt");
  EXPECT_EQ(r.entries[0].flags & 0x800, 0x800);
  EXPECT_EQ(problems_[b], FileProblem::kDuplicateName);
  EXPECT_EQ(files.front(), 0);
}

TEST_F(ZipWriterTest, SpecialFilesAndLinkLoopsAreLeftOutAndReported) {
  Put("a.txt", "a");
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir_ / "l2", dir_ / "l1");
  std::filesystem::create_symlink(dir_ / "l1", dir_ / "l2");
  ASSERT_EQ(ZipFiles({dir_.path() + "/*"}), 1);
  EXPECT_EQ(problems_[dir_ / "pipe"], FileProblem::kSpecialFile);
  EXPECT_EQ(problems_[dir_ / "l1"], FileProblem::kLinkLoop);
  EXPECT_EQ(ztest::Names(Archive()), std::vector<std::string>{"a.txt"});
}

// --- Files that change while they are stored ------------------------------------

TEST_F(ZipWriterTest, EncryptedFileChangedDuringDataPassIsRetried) {
  const std::string big = Put("big.bin", BinaryData(600000));
  opts_.Password = "secret";
  opts_.PackLevel = 6;
  // After the first block of the data pass, the file gets new content of
  // the same size: the CRC of the first pass no longer holds.
  bool done = false;
  ev_.OnFilePercentDone = [&](int p) {
    if (p < 100 && !done) {
      done = true;
      WriteFile(big, BinaryData(600000, 7));
    }
  };
  ASSERT_EQ(ZipFiles({big}), 1);
  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].offset, 0u);  // the rolled-back bytes are gone
  EXPECT_EQ(EntryContent(a.entries[0], "secret"), BinaryData(600000, 7));
  EXPECT_TRUE(problems_.empty());
}

TEST_F(ZipWriterTest, FileThatKeepsChangingIsLeftOutAndArchiveStaysValid) {
  const std::string first = Put("first.txt", "first");
  const std::string big = Put("big.bin", BinaryData(600000));
  const std::string last = Put("last.txt", "last");
  opts_.Password = "pw";
  uint32_t seed = 10;
  bool armed = true;
  ev_.OnFilePercentDone = [&](int p) {
    if (p < 100 && armed) {
      WriteFile(big, BinaryData(600000, ++seed));
      armed = false;
    }
    if (p == 100 || p == 0) armed = true;
  };
  ASSERT_EQ(ZipFiles({first, big, last}), 2);
  EXPECT_EQ(problems_[big], FileProblem::kChanged);
  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(EntryContent(a.entries[0], "pw"), "first");
  EXPECT_EQ(EntryContent(a.entries[1], "pw"), "last");
  // No gap where the dropped entry was.
  EXPECT_EQ(a.entries[1].offset, 30 + 9 + 9 + a.entries[0].csize);
}

TEST_F(ZipWriterTest, ShrinkingFileIsRolledBackAndStoredAsItIsNow) {
  const std::string big = Put("big.bin", BinaryData(600000));
  bool done = false;
  ev_.OnFilePercentDone = [&](int p) {
    if (p < 100 && !done) {
      done = true;
      WriteFile(big, "now small");
    }
  };
  ASSERT_EQ(ZipFiles({big}), 1);
  EXPECT_EQ(EntryContent(Archive().entries[0]), "now small");
}

TEST_F(ZipWriterTest, GrowingFileIsStoredWithTheSizeRead) {
  const std::string big = Put("big.bin", BinaryData(600000));
  bool done = false;
  ev_.OnFilePercentDone = [&](int p) {
    if (p < 100 && !done) {
      done = true;
      std::ofstream(big, std::ios::binary | std::ios::app) << "tail";
    }
  };
  ASSERT_EQ(ZipFiles({big}), 1);
  const auto e = Archive().entries[0];
  EXPECT_EQ(e.usize, 600004u);
  EXPECT_EQ(EntryContent(e), BinaryData(600000) + "tail");
}

// --- Large archives ------------------------------------------------------------------

TEST_F(ZipWriterTest, LocalZip64BlockReservedWhenTheFileCouldReachTheLimit) {
  const std::string small = Put("small.txt", "small");
  const std::string near = Put("near.txt", "pretend to be almost 4 GiB");
  opts_.SizeOverrideForTest = [&](const std::string& path, uint64_t size) {
    return path == near ? 0xFFFFFF00ull : size;
  };
  ASSERT_EQ(ZipFiles({small, near}), 2);
  const RawArchive a = Archive();
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.entries[0].l_extra.substr(0, 2), "UT");  // the timestamp alone
  EXPECT_EQ(a.entries[0].version_needed, 20);
  const auto& e = a.entries[1];
  ASSERT_EQ(e.l_extra.size(), 20u + 9u);
  EXPECT_EQ(ztest::Get16(e.l_extra, 0), 1);
  EXPECT_EQ(ztest::Get16(e.l_extra, 2), 16);
  EXPECT_EQ(ztest::Get64(e.l_extra, 4), e.usize);
  EXPECT_EQ(ztest::Get64(e.l_extra, 12), e.csize);
  EXPECT_EQ(e.l_usize, 0xFFFFFFFFu);
  EXPECT_EQ(e.l_csize, 0xFFFFFFFFu);
  EXPECT_EQ(e.l_version_needed, 45);
  // The central record needs no ZIP64 data: the sizes fit.
  EXPECT_EQ(e.extra.substr(0, 2), "UT");
  EXPECT_EQ(e.extra.size(), 9u);
  EXPECT_EQ(EntryContent(e), "pretend to be almost 4 GiB");
  EXPECT_FALSE(a.zip64_end);
}

TEST_F(ZipWriterTest, Zip64EndRecordFromFFFFEntriesOn) {
  // 0xFFFE entries still fit the 16-bit count; 0xFFFF is the marker.
  std::vector<std::string> files;
  const std::string folder = dir_ / "many";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 0xFFFF; ++i) {
    const std::string p = folder + "/" + std::to_string(i);
    std::ofstream(p, std::ios::binary);
  }
  opts_.PackLevel = 0;
  ASSERT_EQ(ZipFiles({folder + "/*"}), 0xFFFF);
  const RawArchive a = Archive();
  EXPECT_TRUE(a.zip64_end);
  EXPECT_EQ(a.total_entries, 0xFFFFu);
  EXPECT_EQ(a.zip64_total, 0xFFFFu);
  EXPECT_EQ(a.entries.size(), 0xFFFFu);

  std::filesystem::remove(folder + "/0");
  std::filesystem::remove(zip_);
  ASSERT_EQ(ZipFiles({folder + "/*"}), 0xFFFE);
  EXPECT_FALSE(Archive().zip64_end);
}

// --- Failures --------------------------------------------------------------------------

TEST_F(ZipWriterTest, HandlerErrorLeavesNoArchiveAndNoCompletion) {
  const std::string a = Put("a.txt", "a");
  const std::string b = Put("b.txt", "b");
  ev_.OnStartZip = [&](const std::string& name, TZipHeaderInfo&, bool&) {
    if (name == b) throw Error("stop here");
  };
  opts_.FilesList = {a, b};
  EXPECT_THROW(w_.Zip(opts_, ev_), Error);
  EXPECT_FALSE(std::filesystem::exists(zip_));
  EXPECT_TRUE(completed_.empty());
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ZipWriterTest, FullDiskAtEveryPointLeavesNoArchive) {
  const std::string a = Put("a.txt", TextData());
  const std::string b = Put("b.bin", BinaryData(3000));
  opts_.Password = "pw";
  opts_.FilesList = {a, b};
  ASSERT_EQ(w_.Zip(opts_, ev_), 2);
  const uint64_t full_size = ReadFile(zip_).size();
  std::filesystem::remove(zip_);
  for (uint64_t cap = 0; cap < full_size; cap += 97) {
    testing::FaultFileFactory factory(cap);
    opts_.OutputFactory = &factory;
    opts_.FilesList = {a, b};
    try {
      (void)w_.Zip(opts_, ev_);
      ADD_FAILURE() << "no error at capacity " << cap;
    } catch (const ENotEnoughRoom& e) {
      EXPECT_STREQ(e.what(), "Not enough room to write archive");
    }
    EXPECT_FALSE(std::filesystem::exists(zip_)) << cap;
    EXPECT_EQ(TempFilesLeft(), 0) << cap;
  }
  opts_.OutputFactory = nullptr;
}

TEST_F(ZipWriterTest, SpanningIsRefusedClearly) {
  opts_.MultiZipInfo.MultiMode = TMultiMode::mmSpan;
  opts_.FilesList = {Put("a.txt", "a")};
  EXPECT_THROW(w_.Zip(opts_, ev_), EZipError);
  EXPECT_FALSE(std::filesystem::exists(zip_));
}

TEST_F(ZipWriterTest, DirectoryDescribesTheNewArchive) {
  ASSERT_EQ(ZipFiles({Put("a.txt", "abc"), Put("b.txt", "de")}), 2);
  ASSERT_EQ(w_.Directory().EntryCount(), 2);
  EXPECT_EQ(w_.Directory().EntryFileName(0), "a.txt");
  EXPECT_EQ(w_.Directory().EntrySize(1), 2u);
}

}  // namespace
}  // namespace zb::zip
