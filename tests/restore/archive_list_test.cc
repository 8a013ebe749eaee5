#include "restore/archive_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "restore/restore_test_util.h"
#include "zip/zip_reader.h"

namespace zb::restore {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const std::vector<ArchiveRow>& rows) {
  std::vector<std::string> v;
  for (const auto& r : rows) v.push_back(r.name);
  return v;
}

// The archive list's sort as the page has always done it, on row texts:
// for q from the last row down to the second, for r from the first to
// q - 1, swap when out of order. The reference the fast sort must agree with.
void ReferenceExchangeSort(std::vector<ArchiveRow>& rows, SortField f, bool desc) {
  auto key_less = [f](const ArchiveRow& a, const ArchiveRow& b) {
    if (f == SortField::kName) return a.name < b.name;
    if (f == SortField::kSize) return a.SizeText() < b.SizeText();
    return ValidateDos(a.dos_time) < ValidateDos(b.dos_time);
  };
  for (size_t q = rows.size(); q-- > 1;) {
    for (size_t r = 0; r < q; ++r) {
      bool gt = key_less(rows[q], rows[r]);
      bool swap = desc ? !gt : gt;  // descending swaps when value(r) <= value(q)
      if (swap) std::swap(rows[r], rows[q]);
    }
  }
}

TEST(ArchiveListTest, ListsArchivesWithSizesAndDates) {
  rtest::TempDir t;
  rtest::WriteFile(t / "small.zip", std::string(1023, 'x'), rtest::LocalTime(2024, 2, 3, 0));
  rtest::WriteFile(t / "two.ZIP", std::string(2048, 'x'), rtest::LocalTime(2024, 2, 3, 14));
  rtest::WriteFile(t / "notes.txt", "x");
  rtest::WriteFile(t / "sub/deep.zip", "x");
  fs::create_directories(t / "folder.zip");
  ArchiveListing l = ListArchives("  " + t.path() + "  ");
  EXPECT_FALSE(l.partial);
  SortArchiveList(l.rows, SortField::kName, false);
  ASSERT_EQ(Names(l.rows), (std::vector<std::string>{"small.zip", "two.ZIP"}));
  EXPECT_EQ(l.rows[0].SizeText(), "0");
  EXPECT_EQ(l.rows[1].SizeText(), "2");
  EXPECT_EQ(l.rows[0].DateText(), "2024-02-03");  // midnight: no time part
  EXPECT_EQ(l.rows[1].DateText(), "2024-02-03 14:00:00");
  EXPECT_EQ(TotalLabel(l.rows.size()), "(Total 2 files)");
  EXPECT_EQ(ArchivePath(" /x/y/ ", "a.zip"), "/x/y/a.zip");
  EXPECT_EQ(ArchivePath("/x/y", "a.zip"), "/x/y/a.zip");
}

TEST(ArchiveListTest, BlankMissingAndEmptyFolders) {
  rtest::TempDir t;
  ArchiveListing blank = ListArchives("   ");
  EXPECT_TRUE(blank.rows.empty());
  EXPECT_TRUE(blank.partial);  // never the working folder in its place
  ArchiveListing missing = ListArchives(t / "gone");
  EXPECT_TRUE(missing.rows.empty());
  EXPECT_TRUE(missing.partial);
  rtest::WriteFile(t / "a.txt", "x");
  ArchiveListing none = ListArchives(t.path());
  EXPECT_TRUE(none.rows.empty());
  EXPECT_FALSE(none.partial);
  // A folder whose name holds ";" and "*" is one folder.
  rtest::WriteFile(t / "odd;na*me/a.zip", "x");
  EXPECT_EQ(ListArchives(t / "odd;na*me").rows.size(), 1u);
}

TEST(ArchiveListTest, SortsAsTextsAndDates) {
  auto row = [](std::string n, uint64_t kb, uint32_t dos) {
    return ArchiveRow{std::move(n), kb * 1024, dos};
  };
  const uint32_t d1 = TimeTToDos(rtest::LocalTime(2021, 1, 1));
  const uint32_t d2 = TimeTToDos(rtest::LocalTime(2022, 1, 1));
  const uint32_t d3 = TimeTToDos(rtest::LocalTime(2023, 1, 1));
  std::vector<ArchiveRow> rows = {row("b.zip", 9, d2), row("a.zip", 10, d3), row("Z.zip", 2, d1)};
  SortArchiveList(rows, SortField::kSize, false);
  EXPECT_EQ(Names(rows), (std::vector<std::string>{"a.zip", "Z.zip", "b.zip"}));  // "10" "2" "9"
  SortArchiveList(rows, SortField::kName, false);
  EXPECT_EQ(Names(rows), (std::vector<std::string>{"Z.zip", "a.zip", "b.zip"}));  // case-sensitive
  SortArchiveList(rows, SortField::kDate, true);
  EXPECT_EQ(rows.front().name, "a.zip");  // newest first
  SortArchiveList(rows, SortField::kDate, false);
  EXPECT_EQ(rows.front().name, "Z.zip");
  std::vector<ArchiveRow> blank = {row("", 0, 0), row("x.zip", 1, d1)};
  SortArchiveList(blank, SortField::kName, true);  // blank first row: nothing happens
  EXPECT_EQ(blank[0].name, "");
}

TEST(ArchiveListTest, EqualKeysEndWhereTheExchangeSortPutsThem) {
  std::mt19937 rng(20241209);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("seed 20241209 round " + std::to_string(round));
    std::vector<ArchiveRow> rows;
    size_t n = round < 50 ? 2 + rng() % 40 : 200 + rng() % 300;
    for (size_t i = 0; i < n; ++i) {
      uint32_t day = static_cast<uint32_t>(rng() % 4);
      rows.push_back({"f" + std::to_string(i) + ".zip", (rng() % 3) * 1024 * 5,
                      TimeTToDos(rtest::LocalTime(2020, 1, 1 + static_cast<int>(day)))});
    }
    for (SortField f : {SortField::kSize, SortField::kDate, SortField::kName}) {
      for (bool desc : {false, true}) {
        auto expect = rows;
        ReferenceExchangeSort(expect, f, desc);
        auto got = rows;
        SortArchiveList(got, f, desc);
        EXPECT_EQ(Names(got), Names(expect)) << "field " << static_cast<int>(f) << " desc " << desc;
      }
    }
  }
}

TEST(ArchiveListTest, ManyDistinctKeysWithRepeatsKeepTheExchangeSortOrder) {
  // Hundreds of distinct sizes and dates, each taken about twice: the rows
  // that move per pass run into the thousands, so the sort leaves its
  // replay for the scanning loop, which must give the same order.
  std::mt19937 rng(20241210);
  std::vector<ArchiveRow> rows;
  for (size_t i = 0; i < 1200; ++i) {
    rows.push_back({"f" + std::to_string(i) + ".zip", (rng() % 600) * 1024,
                    TimeTToDos(rtest::LocalTime(2020, 1, 1) + 2 * (rng() % 600))});
  }
  for (SortField f : {SortField::kSize, SortField::kDate}) {
    for (bool desc : {false, true}) {
      auto expect = rows;
      ReferenceExchangeSort(expect, f, desc);
      auto got = rows;
      SortArchiveList(got, f, desc);
      EXPECT_EQ(Names(got), Names(expect)) << "field " << static_cast<int>(f) << " desc " << desc;
    }
  }
}

TEST(ArchiveListTest, ContentsRowsInNameOrder) {
  rtest::TempDir t;
  rtest::WriteFile(t / "src/b/empty.txt", "");
  rtest::WriteFile(t / "src/a.txt", std::string(3000, 'a'));
  rtest::MakeArchive(t / "x.zip", {t / "src/b/empty.txt", t / "src/a.txt"});
  zip::TZipReader reader;
  std::vector<EntryRow> rows = ArchiveContents(reader, t / "x.zip");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].file_name, "a.txt");
  EXPECT_EQ(rows[0].size_text, "2");
  EXPECT_EQ(rows[0].path, (t / "src/").substr(1));
  EXPECT_EQ(rows[1].file_name, "empty.txt");
  EXPECT_EQ(rows[1].size_text, "1");  // an empty file shows 1
  EXPECT_EQ(rows[1].full_name, rows[1].path + "empty.txt");
  EXPECT_EQ(rows[1].index, 1);
}

}  // namespace
}  // namespace zb::restore
