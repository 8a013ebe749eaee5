#include "backup/retention_ring.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backup/backup_project.h"
#include "base/errors.h"
#include "ini/ini_file.h"
#include "temp_files.h"

namespace zb::backup {
namespace {

namespace fs = std::filesystem;

class RetentionRingTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    fs::create_directories(dir_ / "out");
  }

  // A file standing for the archive of run `n`.
  std::string Archive(int n, const std::string& ext = ".zip") {
    const std::string path = (dir_ / "out" / ("a" + std::to_string(n) + ext)).string();
    std::ofstream(path) << "zip " << n;
    return path;
  }
  std::vector<std::string> Record(const std::string& path, int keep,
                                  const std::string& project = "P", int mode = kSuffixNumber) {
    return RecordArchive(dir_, project, path, keep, mode);
  }
  // Runs 1..n with keep count `keep`.
  void Runs(int first, int last, int keep) {
    for (int i = first; i <= last; ++i) (void)Record(Archive(i), keep);
  }
  ini::IniFile Ring() const { return ini::IniFile(dir_ / "StoreNumber.txt"); }
  std::string Slot(int n, const std::string& project = "P") const {
    return Ring().ReadString(project, "N" + std::to_string(n), "<missing>");
  }
  void WriteRingFile(const std::string& text) {
    std::ofstream(dir_ / "StoreNumber.txt", std::ios::binary) << text;
  }
  bool Exists(int n) const { return fs::exists(dir_ / "out" / ("a" + std::to_string(n) + ".zip")); }
  std::string Path(int n) const {
    return (dir_ / "out" / ("a" + std::to_string(n) + ".zip")).string();
  }

  zb::testfiles::TempDir temp_{"zb_ring"};
  fs::path dir_;
};

TEST_F(RetentionRingTest, FirstRunFillsSlotOneAndDeletesNothing) {
  EXPECT_TRUE(Record(Archive(1), 50).empty());
  EXPECT_EQ(Ring().ReadInteger("P", "Max", 0), 50);
  EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
  EXPECT_EQ(Slot(1), Path(1));
}

TEST_F(RetentionRingTest, KeepTwoAndThreeDeleteTheOldestAsTheHeadWraps) {
  Runs(1, 2, 2);
  EXPECT_EQ(Record(Archive(3), 2), std::vector<std::string>{Path(1)});
  EXPECT_FALSE(Exists(1));
  EXPECT_TRUE(Exists(2) && Exists(3));

  // Another project, keep 3: the fourth run reuses slot 1.
  for (int i = 11; i <= 13; ++i) (void)Record(Archive(i), 3, "Q");
  EXPECT_EQ(Record(Archive(14), 3, "Q"), std::vector<std::string>{Path(11)});
  EXPECT_EQ(Ring().ReadInteger("Q", "Head", 0), 1);
  EXPECT_EQ(Slot(1, "Q"), Path(14));
  EXPECT_EQ(RingArchives(dir_, "Q"), (std::vector<std::string>{Path(12), Path(13), Path(14)}));
}

TEST_F(RetentionRingTest, KeepNOverManyRunsLeavesExactlyTheLastN) {
  for (int i = 1; i <= 23; ++i) (void)Record(Archive(i), 7);
  for (int i = 1; i <= 23; ++i) EXPECT_EQ(Exists(i), i > 16) << i;
  EXPECT_EQ(RingArchives(dir_, "P").size(), 7u);
  EXPECT_EQ(RingArchives(dir_, "P").back(), Path(23));
}

TEST_F(RetentionRingTest, LoweringKeepFromFullFiveToThreeKeepsTheLastThree) {
  Runs(1, 5, 5);
  ASSERT_EQ(Ring().ReadInteger("P", "Head", 0), 5);
  const std::vector<std::string> deleted = Record(Archive(6), 3);
  EXPECT_EQ(deleted, (std::vector<std::string>{Path(1), Path(2), Path(3)}));
  EXPECT_EQ(Ring().ReadInteger("P", "Max", 0), 3);
  EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
  EXPECT_EQ(Slot(1), Path(6));
  EXPECT_EQ(Slot(2), Path(4));
  EXPECT_EQ(Slot(3), Path(5));
  for (int i = 4; i <= 6; ++i) EXPECT_TRUE(Exists(i));
  // Slots 4 and 5 keep their old texts and are not used; the ring goes on.
  EXPECT_EQ(Slot(4), Path(4));
  EXPECT_EQ(Record(Archive(7), 3), std::vector<std::string>{Path(4)});
}

TEST_F(RetentionRingTest, LoweringKeepOnAPartlyFilledRingWritesPlaceholders) {
  Runs(1, 2, 5);
  EXPECT_TRUE(Record(Archive(3), 3).empty());
  EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
  EXPECT_EQ(Slot(1), Path(3));
  EXPECT_EQ(Slot(2), Path(1));
  EXPECT_EQ(Slot(3), Path(2));
  // The next run meets the placeholder-free slot 2 and deletes run 1.
  EXPECT_EQ(Record(Archive(4), 3), std::vector<std::string>{Path(1)});
}

TEST_F(RetentionRingTest, ShrinkStoresThePlaceholderOfAMissingSlot) {
  // Max 5, head 2, slots 3..5 never written: oldest first the list reads
  // NoFile3, NoFile4, NoFile5, run 1, run 2. Keep 4 drops NoFile3.
  WriteRingFile("[P]\nMax=5\nHead=2\nN1=" + Archive(1) + "\nN2=" + Archive(2) + "\n");
  EXPECT_TRUE(Record(Archive(3), 4).empty());
  EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
  EXPECT_EQ(Slot(1), Path(3));  // over the placeholder NoFile4
  EXPECT_EQ(Slot(2), "NoFile5");
  EXPECT_EQ(Slot(3), Path(1));
  EXPECT_EQ(Slot(4), Path(2));
  // A stored placeholder holds no archive: reusing its slot deletes nothing.
  EXPECT_TRUE(Record(Archive(4), 4).empty());
  EXPECT_EQ(Record(Archive(5), 4), std::vector<std::string>{Path(1)});
}

TEST_F(RetentionRingTest, RaisingKeepMovesTheHeadIntoNewSlots) {
  Runs(1, 4, 3);  // ring 4,2,3 with head 1
  ASSERT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
  // Keep 5: slot 2 is taken and its archive deleted although only three exist.
  EXPECT_EQ(Record(Archive(5), 5), std::vector<std::string>{Path(2)});
  EXPECT_EQ(Record(Archive(6), 5), std::vector<std::string>{Path(3)});
  // Slots 4 and 5 are new and empty: the ring grows to five archives.
  EXPECT_TRUE(Record(Archive(7), 5).empty());
  EXPECT_TRUE(Record(Archive(8), 5).empty());
  EXPECT_EQ(Record(Archive(9), 5), std::vector<std::string>{Path(4)});
  EXPECT_EQ(RingArchives(dir_, "P").size(), 5u);
}

TEST_F(RetentionRingTest, NoneModeLeavesTheRingAlone) {
  Runs(1, 2, 2);
  const std::string before = Ring().Text();
  EXPECT_TRUE(Record(Archive(3), 2, "P", kSuffixNone).empty());
  EXPECT_EQ(Ring().Text(), before);
  EXPECT_TRUE(Exists(1));
}

// ---- Precise deletion ------------------------------------------------------

TEST_F(RetentionRingTest, RepeatedNameNeverDeletesTheNewArchive) {
  // A number stuck at its limit writes the same name at every run.
  const std::string same = Archive(1000);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Record(same, 2).empty());
  EXPECT_TRUE(fs::exists(same));
  // The same file spelled differently is still the same file.
  const std::string spelled = (dir_ / "out" / "." / "a1000.zip").string();
  EXPECT_TRUE(Record(spelled, 2).empty());
  EXPECT_TRUE(Record(spelled, 2).empty());
  EXPECT_TRUE(fs::exists(same));
}

TEST_F(RetentionRingTest, ArchiveNamedByAnotherSlotOrAnotherRingIsKept) {
  // Slot 1 and slot 3 of a keep-3 ring name the same file.
  const std::string shared = Archive(1);
  (void)Record(shared, 3);
  (void)Record(Archive(2), 3);
  (void)Record(shared, 3);
  EXPECT_TRUE(Record(Archive(4), 3).empty());  // slot 1 is reused: still in slot 3
  EXPECT_TRUE(fs::exists(shared));

  // Another project's ring names run 10; this ring falls past it.
  (void)Record(Archive(10), 5, "Other");
  (void)Record(Path(10), 2, "Mine");
  (void)Record(Archive(11), 2, "Mine");
  EXPECT_TRUE(Record(Archive(12), 2, "Mine").empty());
  EXPECT_TRUE(Exists(10));
}

TEST_F(RetentionRingTest, OnlyRegularZipFilesAreDeleted) {
  // A hand-edited slot naming a document, a folder and a link to an archive.
  const std::string doc = Archive(1, ".txt");
  fs::create_directories(dir_ / "out" / "folder.zip");
  const std::string target = Archive(2);
  fs::create_symlink(target, dir_ / "out" / "link.zip");
  WriteRingFile("[P]\nMax=3\nHead=3\nN1=" + doc + "\nN2=" + (dir_ / "out" / "folder.zip").string() +
                "\nN3=" + (dir_ / "out" / "link.zip").string() + "\n");
  for (int i = 3; i <= 5; ++i) EXPECT_TRUE(Record(Archive(i), 3).empty()) << i;
  EXPECT_TRUE(fs::exists(doc));
  EXPECT_TRUE(fs::is_directory(dir_ / "out" / "folder.zip"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "out" / "link.zip"));
  EXPECT_TRUE(fs::exists(target));
}

TEST_F(RetentionRingTest, AlreadyMissingArchiveIsIgnoredAndTheSlotOverwritten) {
  Runs(1, 2, 2);
  fs::remove(Path(1));
  EXPECT_TRUE(Record(Archive(3), 2).empty());
  EXPECT_EQ(Slot(1), Path(3));
}

// ---- Damaged files and refused values -----------------------------------------

TEST_F(RetentionRingTest, DamagedMaxOrHeadDeletesNothingAndRestarts) {
  for (const std::string head_max : {"Max=0\nHead=1", "Max=-4\nHead=1", "Max=2000000000\nHead=7",
                                     "Max=3\nHead=-2", "Max=x\nHead=-2147483648"}) {
    SCOPED_TRACE(head_max);
    WriteRingFile("[P]\n" + head_max + "\nN1=" + Archive(1) + "\nN2=" + Archive(2) +
                  "\nN3=" + Archive(3) + "\n");
    EXPECT_TRUE(Record(Archive(9), 3).empty());
    EXPECT_TRUE(Exists(1) && Exists(2) && Exists(3));
    EXPECT_EQ(Ring().ReadInteger("P", "Max", 0), 3);
    EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
    EXPECT_EQ(Slot(1), Path(9));
  }
}

TEST_F(RetentionRingTest, HeadBeyondMaxRestartsAtSlotOne) {
  WriteRingFile("[P]\nMax=3\nHead=2147483647\nN1=" + Archive(1) + "\n");
  EXPECT_EQ(Record(Archive(2), 3), std::vector<std::string>{Path(1)});
  EXPECT_EQ(Ring().ReadInteger("P", "Head", 0), 1);
}

TEST_F(RetentionRingTest, KeepCountOutsideRangeIsRefusedAndChangesNothing) {
  Runs(1, 2, 2);
  const std::string before = Ring().Text();
  EXPECT_THROW((void)Record(Archive(3), 0), EInvalidInput);
  EXPECT_THROW((void)Record(Archive(3), -1), EInvalidInput);
  EXPECT_THROW((void)Record(Archive(3), kMaxKeepCount + 1), EInvalidInput);
  EXPECT_EQ(Ring().Text(), before);
  EXPECT_TRUE(Exists(1) && Exists(2));
  // Keep 1 is allowed: each run replaces the one before.
  EXPECT_EQ(Record(Archive(4), 1), (std::vector<std::string>{Path(1), Path(2)}));
}

// ---- Erase and move -----------------------------------------------------------

TEST_F(RetentionRingTest, EraseAndMoveKeepArchivesAndOtherSections) {
  Runs(1, 3, 2);
  (void)Record(Archive(10), 2, "Other");
  // A leftover section of the new name must not be inherited.
  {
    ini::IniFile f = Ring();
    f.WriteString("New", "N5", Archive(50));
    f.Save();
  }
  MoveRing(dir_, "P", "New");
  EXPECT_FALSE(Ring().SectionExists("P"));
  EXPECT_EQ(Ring().ReadInteger("New", "Max", 0), 2);
  EXPECT_EQ(Ring().ReadInteger("New", "Head", 0), 1);
  EXPECT_EQ(RingArchives(dir_, "New"), (std::vector<std::string>{Path(2), Path(3)}));
  EXPECT_FALSE(Ring().KeyExists("New", "N5"));
  // A case-only rename changes nothing.
  MoveRing(dir_, "New", "NEW");
  EXPECT_EQ(RingArchives(dir_, "new").size(), 2u);

  EraseRing(dir_, "new");
  EXPECT_FALSE(Ring().SectionExists("New"));
  EXPECT_TRUE(Ring().SectionExists("Other"));
  EXPECT_TRUE(Exists(2) && Exists(3) && Exists(50));
  // A project re-created under the name starts empty and deletes nothing old.
  EXPECT_TRUE(Record(Archive(60), 2, "New").empty());
  EXPECT_TRUE(Record(Archive(61), 2, "New").empty());
  EXPECT_TRUE(Exists(2) && Exists(3));
}

}  // namespace
}  // namespace zb::backup
