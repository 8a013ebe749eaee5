#include "backup/archive_naming.h"

#include <gtest/gtest.h>

#include <string>

#include "backup/backup_project.h"

namespace zb::backup {
namespace {

DateTime At(int y, int mo, int d, int h, int mi, int s) {
  return *EncodeDateTime(y, mo, d, h, mi, s);
}

const NamingOptions kNoPadding{};

TEST(NextArchiveNameTest, DateModeStampsMonthDayAndTime) {
  EXPECT_EQ(NextArchiveName("/b", "docs_", kSuffixDate, 1, At(2026, 3, 5, 9, 7, 2), kNoPadding),
            "/b/docs_03-05_09h07m02s.zip");
  EXPECT_EQ(NextArchiveName("/b/", "x", kSuffixDate, 1, At(2026, 6, 30, 14, 5, 9), kNoPadding),
            "/b/x06-30_14h05m09s.zip");
  // One second before and at midnight of a new year: no year in the stamp,
  // so the name turns over to 01-01 with a 24-hour clock.
  EXPECT_EQ(NextArchiveName("/b", "x", kSuffixDate, 1, At(2026, 12, 31, 23, 59, 59), kNoPadding),
            "/b/x12-31_23h59m59s.zip");
  EXPECT_EQ(NextArchiveName("/b", "x", kSuffixDate, 1, At(2027, 1, 1, 0, 0, 0), kNoPadding),
            "/b/x01-01_00h00m00s.zip");
  // Leap day and the day after it.
  EXPECT_EQ(NextArchiveName("/b", "x", kSuffixDate, 1, At(2028, 2, 29, 12, 0, 0), kNoPadding),
            "/b/x02-29_12h00m00s.zip");
  EXPECT_EQ(NextArchiveName("/b", "x", kSuffixDate, 1, At(2028, 3, 1, 0, 0, 1), kNoPadding),
            "/b/x03-01_00h00m01s.zip");
  // Runs in the same second of different years give the same name.
  EXPECT_EQ(NextArchiveName("/b", "x", kSuffixDate, 1, At(2026, 5, 1, 8, 0, 0), kNoPadding),
            NextArchiveName("/b", "x", kSuffixDate, 1, At(2027, 5, 1, 8, 0, 0), kNoPadding));
}

TEST(NextArchiveNameTest, NumberModePadsOnlyWhenAskedAndOnlyUpToTheWidth) {
  const NamingOptions width2{true, 2};
  const NamingOptions width3{true, 3};
  EXPECT_EQ(NextArchiveName("/d/Backup", "docs", kSuffixNumber, 7, 0, kNoPadding),
            "/d/Backup/docs7.zip");
  EXPECT_EQ(NextArchiveName("/d/Backup", "docs", kSuffixNumber, 7, 0, width3),
            "/d/Backup/docs007.zip");
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 7, 0, width2), "/d/n07.zip");
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 123, 0, width2), "/d/n123.zip");
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 1000, 0, NamingOptions{true, 4}),
            "/d/n1000.zip");
  // Padding off ignores the width; widths of 0 or below change nothing.
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 5, 0, NamingOptions{false, 6}), "/d/n5.zip");
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 5, 0, NamingOptions{true, 0}), "/d/n5.zip");
  EXPECT_EQ(NextArchiveName("/d", "n", kSuffixNumber, 5, 0, NamingOptions{true, -3}), "/d/n5.zip");
}

TEST(NextArchiveNameTest, HandEditedHugeWidthIsCapped) {
  const std::string name =
      NextArchiveName("/d", "n", kSuffixNumber, 5, 0, NamingOptions{true, 2000000000});
  EXPECT_EQ(name, "/d/n" + std::string(kMaxNumberWidth - 1, '0') + "5.zip");
}

TEST(NextArchiveNameTest, NoneModeFolderAndPrefixRules) {
  EXPECT_EQ(NextArchiveName("  /d/e  ", "  p  ", kSuffixNone, 9, 0, kNoPadding), "/d/e/p.zip");
  // An empty folder gives a name without folder part.
  EXPECT_EQ(NextArchiveName("", "p", kSuffixNone, 9, 0, kNoPadding), "p.zip");
  EXPECT_EQ(NextArchiveName("   ", "p", kSuffixNumber, 4, 0, kNoPadding), "p4.zip");
}

TEST(NextArchiveNameTest, ProjectFormUsesTheNextNumber) {
  BackupProject p;
  p.SavePath = "/s/";
  p.FilenamePrefix = "w";
  p.Suffix = kSuffixNumber;
  p.Value = 999;
  p.IncreaseValue = 5;
  // 999 + 5 is limited to 1000.
  EXPECT_EQ(NextArchiveName(p, 0, kNoPadding), "/s/w1000.zip");
  p.Value = 3;
  p.IncreaseValue = 2;
  EXPECT_EQ(NextArchiveName(p, 0, NamingOptions{true, 3}), "/s/w005.zip");
}

TEST(CheckProjectTest, ReportsTheFirstFailingCheckInOrder) {
  BackupProject p;
  p.FilenamePrefix = "";
  p.UsePassword = true;
  p.Password = "a";
  // Everything wrong: the file name comes first.
  EXPECT_EQ(CheckProject("  ", p, "b"), "Please enter the backup filename");
  EXPECT_EQ(CheckProject("/x/1.zip", p, "b"), "Please enter the prefix of backup filename");
  p.FilenamePrefix = "  ";
  EXPECT_EQ(CheckProject("/x/1.zip", p, "b"), "Please enter the prefix of backup filename");
  p.FilenamePrefix = "x";
  EXPECT_EQ(CheckProject("/x/1.zip", p, "b"), "Confirm password is not matching");
  // Surrounding blanks do not count; the flag off skips the comparison.
  EXPECT_EQ(CheckProject("/x/1.zip", p, " a "), "Please select files to backup");
  p.UsePassword = false;
  EXPECT_EQ(CheckProject("/x/1.zip", p, "b"), "Please select files to backup");
  p.Include = {"/home/u/*.txt"};
  EXPECT_EQ(CheckProject("/x/1.zip", p, "b"), std::nullopt);
}

}  // namespace
}  // namespace zb::backup
