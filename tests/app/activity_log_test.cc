#include "app/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/errors.h"
#include "temp_files.h"

namespace zb::app {
namespace {

namespace fs = std::filesystem;

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    file_ = dir_ / "log.txt";
  }

  // A log whose dates count up, so every entry is distinguishable.
  ActivityLog MakeLog(int log_count) {
    return ActivityLog(file_, log_count, [this] { return "2024-03-15 09:00:" + Two(clock_++); });
  }
  static std::string Two(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

  void AddNumbered(ActivityLog& log, int count) {
    for (int i = 0; i < count; ++i)
      log.Add("Backup", "Succeeds", "P" + std::to_string(added_++), "");
  }
  std::string FileText() const {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void WriteFile(const std::string& text) const { std::ofstream(file_, std::ios::binary) << text; }
  // Projects of the non-empty rows, newest first.
  static std::vector<std::string> Projects(const ActivityLog& log) {
    std::vector<std::string> out;
    for (const auto& r : log.Rows())
      if (!r.Empty()) out.push_back(r.project);
    return out;
  }

  zb::testfiles::TempDir temp_{"zb_log"};
  fs::path dir_;
  fs::path file_;
  int clock_ = 0;
  int added_ = 1;
};

TEST_F(ActivityLogTest, FirstEntryInEmptyFolderIsLog1InFileFormat) {
  ActivityLog log = MakeLog(50);
  log.Load();
  EXPECT_EQ(log.Total(), 0);
  log.Add("Backup", "Succeeds", "Daily", "12 files, /b/Daily01.zip, 4 KB");
  EXPECT_EQ(FileText(),
            "[Common]\nLog Total=1\n\n"
            "[Log1]\nDate=2024-03-15 09:00:00\nOperate=Backup\nStatus=Succeeds\n"
            "Project=Daily\nInformation=12 files, /b/Daily01.zip, 4 KB\n");
  ASSERT_EQ(log.Rows().size(), 50u);
  EXPECT_EQ(log.Rows()[0], (LogEntry{"2024-03-15 09:00:00", "Backup", "Succeeds", "Daily",
                                     "12 files, /b/Daily01.zip, 4 KB"}));
  EXPECT_TRUE(log.Rows()[1].Empty());

  ActivityLog reloaded = MakeLog(50);
  reloaded.Load();
  EXPECT_EQ(reloaded.Total(), 1);
  EXPECT_EQ(reloaded.Rows(), log.Rows());
}

TEST_F(ActivityLogTest, ReachingTheLimitKeepsTheFiveNewestNumberedOldestFirst) {
  ActivityLog log = MakeLog(50);
  log.Load();
  AddNumbered(log, 49);
  EXPECT_EQ(log.Total(), 49);
  EXPECT_EQ(Projects(log).size(), 49u);
  AddNumbered(log, 1);
  EXPECT_EQ(log.Total(), 5);
  EXPECT_EQ(Projects(log), (std::vector<std::string>{"P50", "P49", "P48", "P47", "P46"}));

  const std::string text = FileText();
  EXPECT_NE(text.find("Log Total=5\n"), std::string::npos);
  ActivityLog reloaded = MakeLog(50);
  reloaded.Load();
  EXPECT_EQ(Projects(reloaded), Projects(log));
  EXPECT_EQ(reloaded.Rows(), log.Rows());
  // Sections beyond the total stay in the file, unread.
  EXPECT_NE(text.find("[Log50]\n"), std::string::npos);
  EXPECT_NE(text.find("Project=P6\n"), std::string::npos);

  // Numbering continues after the kept entries.
  AddNumbered(log, 1);
  EXPECT_EQ(log.Total(), 6);
  EXPECT_EQ(Projects(log).front(), "P51");
}

TEST_F(ActivityLogTest, ClearThenAddKeepsOnlyTheNewEntry) {
  ActivityLog log = MakeLog(50);
  AddNumbered(log, 3);
  log.Clear();
  EXPECT_TRUE(Projects(log).empty());
  log.Add("Restore", "Fails", "Weekly", "x");
  ActivityLog reloaded = MakeLog(50);
  reloaded.Load();
  EXPECT_EQ(Projects(reloaded), std::vector<std::string>{"Weekly"});
  EXPECT_NE(FileText().find("[Log1]\nDate=2024-03-15 09:00:03\nOperate=Restore"),
            std::string::npos);
}

TEST_F(ActivityLogTest, LimitChanges) {
  ActivityLog log = MakeLog(50);
  AddNumbered(log, 20);

  // Lowering the limit below the stored entries: a restart shows the oldest
  // limit - 1 entries, and the next addition trims.
  ActivityLog lower = MakeLog(10);
  lower.Load();
  EXPECT_EQ(lower.Total(), 9);
  EXPECT_EQ(lower.Rows().size(), 10u);
  EXPECT_EQ(Projects(lower).front(), "P9");
  EXPECT_EQ(Projects(lower).back(), "P1");
  lower.Add("Backup", "Succeeds", "New", "");
  EXPECT_EQ(lower.Total(), 5);
  EXPECT_EQ(Projects(lower), (std::vector<std::string>{"New", "P9", "P8", "P7", "P6"}));

  // Changing the limit at run time resizes the rows at once, newest kept.
  ActivityLog live = MakeLog(50);
  live.Load();
  live.SetLogCount(200);
  EXPECT_EQ(live.Rows().size(), 200u);
  live.SetLogCount(10);
  EXPECT_EQ(live.Rows().size(), 10u);
  EXPECT_EQ(live.Rows()[0].project, "New");
  // A total above the new row count: the next addition trims instead of
  // running past the rows.
  live.SetLogCount(3);
  EXPECT_EQ(live.Rows().size(), static_cast<size_t>(kMinLogRows));
}

TEST_F(ActivityLogTest, OutOfRangeLimitsAreClampedForRowsButKept) {
  for (int stored : {0, -7, 1, 4}) {
    ActivityLog log = MakeLog(stored);
    log.Load();
    EXPECT_EQ(log.RowCount(), kMinLogRows) << stored;
    EXPECT_EQ(log.LogCount(), stored);
  }
  ActivityLog huge = MakeLog(2000000000);
  EXPECT_EQ(huge.RowCount(), kMaxLogRows);

  // A limit of 0 in a hand-edited file: every addition trims to 5 entries
  // instead of indexing rows that do not exist.
  ActivityLog zero = MakeLog(0);
  zero.Load();
  AddNumbered(zero, 12);
  EXPECT_EQ(zero.Total(), 5);
  EXPECT_EQ(Projects(zero), (std::vector<std::string>{"P12", "P11", "P10", "P9", "P8"}));
}

// ---- Damaged or hand-edited log.txt -------------------------------------

TEST_F(ActivityLogTest, DamagedFilesReadWithoutFailing) {
  struct Case {
    const char* name;
    std::string text;
    int total;
  };
  const Case cases[] = {
      {"binary junk", std::string("\0\xff[Log1\n==\x01\n", 12), 0},
      {"total not a number", "[Common]\nLog Total=many\n[Log1]\nProject=A\n", 0},
      {"negative total", "[Common]\nLog Total=-3\n[Log1]\nProject=A\n", 0},
      {"total beyond limit", "[Common]\nLog Total=99999999\n[Log1]\nProject=A\n", 9},
      {"missing sections", "[Common]\nLog Total=3\n[Log2]\nProject=B\n", 3},
      {"quoted and blank-padded", "[common]\r\n log total = \"2\" \r\n[LOG1]\r\nproject=A\r\n", 2},
  };
  for (const Case& c : cases) {
    WriteFile(c.text);
    ActivityLog log = MakeLog(10);
    log.Load();
    EXPECT_EQ(log.Total(), c.total) << c.name;
    EXPECT_EQ(log.Rows().size(), 10u) << c.name;
    // The damaged file still takes new entries, and they read back.
    log.Add("Backup", "Succeeds", "After", "");
    ActivityLog reloaded = MakeLog(10);
    reloaded.Load();
    ASSERT_FALSE(reloaded.Rows().empty());
    EXPECT_EQ(reloaded.Rows()[0].project, "After") << c.name;
  }
}

TEST_F(ActivityLogTest, MissingKeysAndForeignContentSurvive) {
  WriteFile("; kept comment\r\n[Common]\r\nLog Total=2\r\nOther=1\r\n[Log1]\r\nStatus=Fails\r\n");
  ActivityLog log = MakeLog(50);
  log.Load();
  EXPECT_EQ(log.Rows()[0], LogEntry{});  // [Log2] is missing: an empty row
  EXPECT_EQ(log.Rows()[1].status, "Fails");
  log.Add("Synchronize", "Interrupt", "S", "line one\rline two");
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("; kept comment\r\n[Common]\r\nLog Total=3\r\nOther=1\r\n", 0), 0u);
  // A line break inside a value cannot break the file apart.
  EXPECT_NE(text.find("Information=line one line two\r\n"), std::string::npos);
}

TEST_F(ActivityLogTest, FailedWriteReportsThePathAndChangesNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
  ActivityLog log = MakeLog(50);
  AddNumbered(log, 2);
  const std::string before = FileText();
  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  try {
    log.Add("Backup", "Succeeds", "X", "");
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + file_.string());
  }
  chmod(dir_.c_str(), 0700);
  EXPECT_EQ(log.Total(), 2);
  EXPECT_EQ(Projects(log), (std::vector<std::string>{"P2", "P1"}));
  EXPECT_EQ(FileText(), before);
}

TEST_F(ActivityLogTest, FailedWriteIntoMissingFolderThrows) {
  ActivityLog log(dir_ / "gone" / "log.txt", 50, [] { return "d"; });
  EXPECT_THROW(log.Add("Backup", "Fails", "X", ""), EWriteError);
  EXPECT_EQ(log.Total(), 0);
}

TEST_F(ActivityLogTest, TenThousandEntriesLoadAndAppend) {
  // Guards the parse-once design: a per-entry re-read of the file would be
  // quadratic and take minutes here, not milliseconds.
  std::string text = "[Common]\nLog Total=10000\n";
  for (int i = 1; i <= 10000; ++i) {
    text += "[Log" + std::to_string(i) + "]\nDate=2024-01-01 00:00:00\nOperate=Backup\n";
    text += "Status=Succeeds\nProject=P" + std::to_string(i) + "\nInformation=x\n";
  }
  WriteFile(text);
  const auto start = std::chrono::steady_clock::now();
  ActivityLog log = MakeLog(20000);
  log.Load();
  log.Add("Backup", "Succeeds", "Last", "");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(log.Total(), 10001);
  EXPECT_EQ(log.Rows()[1].project, "P10000");
  EXPECT_EQ(log.Rows()[10000].project, "P1");
  RecordProperty("load_and_add_seconds", std::to_string(seconds));
}

}  // namespace
}  // namespace zb::app
