#include "schedule/schedule_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backup/backup_project.h"

namespace zb::schedule {
namespace {

namespace fs = std::filesystem;

constexpr DateTime kSecond = 1.0 / 86400;
constexpr DateTime kMinute = 60 * kSecond;
constexpr DateTime kHour = 60 * kMinute;

DateTime At(int d, int h, int mi, int s = 0) { return *EncodeDateTime(2026, 6, d, h, mi, s); }

// Drives a table with a hand-moved clock; starts are recorded.
class ScheduleTableTest : public ::testing::Test {
 protected:
  void Rebuild(const std::vector<ScheduleSpec>& schedules) { table_.Rebuild(schedules, now_); }
  // One tick at the current time.
  std::vector<std::string> Tick(TickGate gate = {}) {
    return table_.Timer1Timer(
        gate, [this] { return now_; },
        [this](const std::string& name) {
          for (const std::string& known : projects_) {
            if (known == name) {
              started_.push_back(name);
              return true;
            }
          }
          return false;
        });
  }
  // Ticks every 30 seconds until `until`; returns the starts seen.
  std::vector<std::string> TickUntil(DateTime until) {
    std::vector<std::string> all;
    while (now_ < until) {
      now_ += kTickMilliseconds / 1000.0 * kSecond;
      for (std::string& s : Tick()) all.push_back(std::move(s));
    }
    return all;
  }
  const tautobackup& Entry(size_t i) const { return table_.Entries().at(i); }
  const std::vector<tautobackup>& Entries() const { return table_.Entries(); }

  ScheduleTable table_;
  DateTime now_ = 0;
  std::vector<std::string> projects_ = {"A", "B", "C"};
  std::vector<std::string> started_;
};

TEST_F(ScheduleTableTest, DailyOnceMakesUpTodaysMissedTimeOnceThenWaitsForTomorrow) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "09:00:00"}});
  EXPECT_EQ(Entry(0).NextRun, At(10, 9, 0));
  EXPECT_EQ(TickUntil(At(10, 10, 0, 30)), std::vector<std::string>{"A"});
  EXPECT_NEAR(Entry(0).NextRun, At(11, 9, 0), kSecond);
  EXPECT_TRUE(TickUntil(At(11, 8, 59, 30)).empty());
  EXPECT_EQ(TickUntil(At(11, 9, 0, 30)), std::vector<std::string>{"A"});
}

// Every restart after the day's time ran the project again, and each extra
// run pushed an older archive out of its ring.
TEST_F(ScheduleTableTest, PassedTimeIsMadeUpOnlyWithoutAStartSinceIt) {
  now_ = At(10, 15, 0);  // a fresh table, as after a start of the program
  const std::vector<ScheduleSpec> specs = {{"A", 0, "09:00:00"}, {"B", 2, "Wednesday"}};
  ScheduleTable served;  // June 10, 2026 is a Wednesday
  served.Rebuild(specs, now_, {{"a", At(10, 9, 0, 20)}, {"B", At(10, 12, 0, 30)}});
  EXPECT_NEAR(served.Entries()[0].NextRun, At(11, 9, 0), kSecond);
  EXPECT_NEAR(served.Entries()[1].NextRun, At(17, 12, 0), kSecond);
  ScheduleTable missed;  // the last starts came before today's times
  missed.Rebuild(specs, now_, {{"A", At(9, 9, 0, 20)}, {"B", At(3, 12, 0, 30)}});
  EXPECT_NEAR(missed.Entries()[0].NextRun, At(10, 9, 0), kSecond);
  EXPECT_NEAR(missed.Entries()[1].NextRun, At(10, 12, 0), kSecond);
}

TEST_F(ScheduleTableTest, DailyOnceWithANonTimeRunsAtNoon) {
  now_ = At(10, 8, 0);
  Rebuild({{"A", 0, "25:99:00"}, {"B", 0, ""}});
  EXPECT_EQ(Entry(0).NextRun, At(10, 12, 0));
  EXPECT_EQ(Entry(1).NextRun, At(10, 12, 0));
  EXPECT_EQ(Entry(0).Interval, 1);
}

TEST_F(ScheduleTableTest, SavingAProjectKeepsTheNextRunOfUnchangedSchedules) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "09:00:00"}, {"B", 1, "90"}});
  ASSERT_EQ(TickUntil(At(10, 10, 0, 30)), std::vector<std::string>{"A"});
  // Projects are saved at 11:00 and 15:00: A already ran today and must not
  // run again; B keeps its 11:30 rhythm rather than starting a fresh 90 minutes.
  now_ = At(10, 11, 0);
  Rebuild({{"A", 0, "09:00:00"}, {"B", 1, "90"}, {"C", 3, ""}});
  EXPECT_NEAR(Entry(1).NextRun, At(10, 11, 30), kSecond);
  now_ = At(10, 15, 0);
  table_.Rebuild({{"A", 0, "09:00:00"}, {"B", 1, "90"}}, now_);
  EXPECT_NEAR(Entry(0).NextRun, At(11, 9, 0), kSecond);
  EXPECT_EQ(Tick(), std::vector<std::string>{"B"});  // B fell behind meanwhile: once
  // A changed schedule is computed afresh: a time already past today is due.
  table_.Rebuild({{"A", 0, "08:00:00"}, {"B", 1, "90"}}, now_);
  now_ += 30 * kSecond;
  EXPECT_EQ(Tick(), std::vector<std::string>{"A"});
}

TEST_F(ScheduleTableTest, RenamedProjectIsScheduledUnderItsNewName) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 1, "5"}});
  projects_ = {"Renamed"};
  Rebuild({{"Renamed", 1, "5"}});
  EXPECT_TRUE(table_.IsScheduled("renamed"));
  EXPECT_FALSE(table_.IsScheduled("A"));
  EXPECT_EQ(TickUntil(At(10, 10, 5, 30)), std::vector<std::string>{"Renamed"});
}

TEST_F(ScheduleTableTest, DailyEveryMinutesAndInvalidCounts) {
  now_ = At(10, 10, 0);
  projects_ = {"A"};
  Rebuild({{"A", 1, "90"},
           {"B", 1, "abc"},
           {"C", 1, "1440"},
           {"D", 1, "-5"},
           {"E", 1, "0"},
           {"F", 1, "1439"}});
  EXPECT_NEAR(Entry(0).Interval, 90 * kMinute, 1e-9);
  EXPECT_NEAR(Entry(0).NextRun, At(10, 11, 30), 1e-9);
  for (size_t i = 1; i <= 4; ++i) EXPECT_NEAR(Entry(i).Interval, kHour, 1e-9) << i;
  EXPECT_NEAR(Entry(5).Interval, 1439 * kMinute, 1e-9);
  // The first run comes 90 minutes after the rebuild, then every 90.
  EXPECT_TRUE(TickUntil(At(10, 11, 29)).empty());
  EXPECT_EQ(TickUntil(At(10, 11, 30, 30)), std::vector<std::string>{"A"});
  EXPECT_EQ(TickUntil(At(10, 13, 0, 30)), std::vector<std::string>{"A"});
}

TEST_F(ScheduleTableTest, WeeklyOnTodayAtNoonOrAfterIt) {
  now_ = At(10, 11, 0);
  const std::string today(backup::WeekDayName(DecodeDateTime(now_).day_of_week));
  Rebuild({{"A", 2, today}});
  EXPECT_EQ(Entry(0).NextRun, At(10, 12, 0));
  EXPECT_TRUE(TickUntil(At(10, 11, 59, 30)).empty());
  EXPECT_EQ(TickUntil(At(10, 12, 0, 30)), std::vector<std::string>{"A"});
  EXPECT_NEAR(Entry(0).NextRun, At(17, 12, 0), kSecond);

  // Started at 13:00 on that day: due at once, then in seven days.
  ScheduleTable late;
  late.Rebuild({{"A", 2, today}}, At(10, 13, 0));
  EXPECT_EQ(late.Timer1Timer(
                {}, [] { return At(10, 13, 0, 30); }, [](const std::string&) { return true; }),
            std::vector<std::string>{"A"});
  EXPECT_NEAR(late.Entries()[0].NextRun, At(17, 12, 0), kSecond);
}

TEST_F(ScheduleTableTest, WeeklyNameMustMatchExactly) {
  now_ = At(10, 11, 0);
  const int tomorrow = DecodeDateTime(now_ + 1).day_of_week;
  std::string lower(backup::WeekDayName(tomorrow));
  lower[0] = static_cast<char>(lower[0] - 'A' + 'a');
  Rebuild({{"A", 2, std::string(backup::WeekDayName(tomorrow))}, {"B", 2, lower}});
  EXPECT_EQ(Entry(0).NextRun, At(11, 12, 0));
  EXPECT_EQ(Entry(1).NextRun, At(18, 12, 0));  // today + 8 days
  EXPECT_EQ(Entry(1).Interval, 7);
}

TEST_F(ScheduleTableTest, FarBehindStartsOnceNotOncePerMissedInterval) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 1, "5"}, {"B", 0, "09:00:00"}});
  ASSERT_EQ(Tick(), std::vector<std::string>{"B"});
  // The computer slept for three days.
  now_ = At(13, 22, 2);
  EXPECT_EQ(Tick(), (std::vector<std::string>{"A", "B"}));
  EXPECT_GT(Entry(0).NextRun, now_);
  EXPECT_LE(Entry(0).NextRun, now_ + 5 * kMinute);
  EXPECT_NEAR(Entry(1).NextRun, At(14, 9, 0), kSecond);
  // The following ticks stay quiet until the rhythm comes round again.
  EXPECT_TRUE(TickUntil(At(13, 22, 4)).empty());
  EXPECT_EQ(TickUntil(At(13, 22, 5, 30)), std::vector<std::string>{"A"});
}

TEST_F(ScheduleTableTest, ClosedGateStartsNothingAndMovesNothing) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "09:00:00"}});
  const DateTime next = Entry(0).NextRun;
  EXPECT_TRUE(Tick({.scheduling_enabled = false}).empty());
  EXPECT_TRUE(Tick({.editing = true}).empty());
  EXPECT_TRUE(Tick({.start_enabled = false}).empty());
  EXPECT_EQ(Entry(0).NextRun, next);
  EXPECT_EQ(Tick(), std::vector<std::string>{"A"});
}

TEST_F(ScheduleTableTest, DueEntriesRunInTableOrderAndAMissingProjectIsPassedOver) {
  now_ = At(10, 10, 0);
  projects_ = {"A", "C"};
  Rebuild({{"A", 0, "08:00:00"}, {"B", 0, "08:00:00"}, {"C", 0, "09:00:00"}});
  EXPECT_EQ(Tick(), (std::vector<std::string>{"A", "C"}));
  // B moved on all the same: no start attempt in every tick.
  EXPECT_NEAR(Entry(1).NextRun, At(11, 8, 0), kSecond);
}

TEST_F(ScheduleTableTest, RunThatRebuildsTheTableDuringATickIsSafe) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "08:00:00"}, {"B", 0, "08:00:00"}});
  std::vector<std::string> seen;
  table_.Timer1Timer(
      {}, [this] { return now_; },
      [&](const std::string& name) {
        seen.push_back(name);
        table_.Rebuild({{"A", 0, "08:00:00"}}, now_);
        return true;
      });
  EXPECT_EQ(seen, std::vector<std::string>{"A"});
}

TEST_F(ScheduleTableTest, OnlyModesZeroToTwoAreScheduled) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 3, "09:00:00"}, {"B", 7, "09:00:00"}, {"C", -1, "5"}});
  EXPECT_TRUE(table_.Entries().empty());
  EXPECT_FALSE(table_.TimerActive());
  Rebuild({{"A", 3, ""}, {"B", 1, "5"}});
  EXPECT_TRUE(table_.TimerActive());
  EXPECT_TRUE(table_.IsScheduled("b"));
}

TEST_F(ScheduleTableTest, DueMeansStrictlyLaterAcrossMidnightAndWeekEnd) {
  // Each case: schedule, the moment of the rebuild, the first moment that
  // is not yet due (exactly the next run time) and what comes after it.
  const DateTime saturday = At(13, 0, 0);  // 2026-06-13 is a Saturday
  ASSERT_EQ(DecodeDateTime(saturday).day_of_week, 7);
  struct Case {
    ScheduleSpec setting;
    DateTime rebuilt;
    DateTime next;
    DateTime then;
  } cases[] = {
      {{"A", 0, "00:00:00"}, At(9, 23, 59, 30), At(9, 0, 0), At(10, 0, 0)},
      {{"A", 0, "23:59:59"}, At(9, 23, 0), At(9, 23, 59, 59), At(10, 23, 59, 59)},
      {{"A", 2, "Sunday"}, saturday + 0.5, At(14, 12, 0), At(21, 12, 0)},
      {{"A", 1, "5"}, At(9, 23, 57), At(10, 0, 2), At(10, 0, 7)},
  };
  for (const Case& c : cases) {
    ScheduleTable table;
    table.Rebuild({c.setting}, c.rebuilt);
    ASSERT_EQ(table.Entries().size(), 1u);
    EXPECT_NEAR(table.Entries()[0].NextRun, c.next, 1e-9) << c.setting.value;
    int runs = 0;
    const auto start = [&](const std::string&) { return ++runs > 0; };
    const DateTime exact = table.Entries()[0].NextRun;
    if (exact > c.rebuilt) {
      (void)table.Timer1Timer(
          {}, [&] { return exact; }, start);
      EXPECT_EQ(runs, 0) << "due at exactly its time: " << c.setting.value;
    }
    (void)table.Timer1Timer(
        {}, [&] { return std::max(exact, c.rebuilt) + kSecond; }, start);
    EXPECT_EQ(runs, 1) << c.setting.value;
    EXPECT_NEAR(table.Entries()[0].NextRun, c.then, 1e-6) << c.setting.value;
  }
}

TEST_F(ScheduleTableTest, ClockSetBackKeepsEachScheduleInItsRhythm) {
  // Daylight saving time ends: 03:00 becomes 02:00 again.
  now_ = At(25, 1, 0);
  projects_ = {"Every", "Night", "Week"};
  const std::string today(backup::WeekDayName(DecodeDateTime(now_).day_of_week));
  // "sunday" in lower case matches no day: eight days ahead.
  Rebuild({{"Every", 1, "5"}, {"Night", 0, "02:30:00"}, {"Week", 2, "sunday"}});
  const DateTime week_next = Entry(2).NextRun;
  now_ += 10 * kSecond;  // ticks fall between the five-minute marks
  std::vector<std::string> seen = TickUntil(At(25, 2, 59, 40));
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "Night"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "Every"), 23);
  now_ = At(25, 2, 0, 20);
  // The five-minute rhythm goes on: due again within five minutes, not an
  // hour later; the daily 02:30 has run today and does not run again in
  // the repeated hour.
  seen = TickUntil(At(25, 3, 0, 0));
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "Night"), 0);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "Every"), 12);
  EXPECT_NEAR(Entry(1).NextRun, At(26, 2, 30), kSecond);
  EXPECT_EQ(Entry(2).NextRun, week_next);

  // A clock corrected back by almost three days: the daily time comes round
  // on the new date instead of three days later.
  now_ = At(22, 10, 0);
  EXPECT_TRUE(Tick().empty());
  EXPECT_NEAR(Entry(1).NextRun, At(23, 2, 30), kSecond);
  EXPECT_LE(Entry(0).NextRun, now_ + 5 * kMinute);
  EXPECT_GT(Entry(0).NextRun, now_);
}

TEST_F(ScheduleTableTest, ClockSetForwardStartsEachScheduleOnce) {
  // Daylight saving time begins: 02:00 becomes 03:00; 02:30 never happens.
  now_ = At(1, 1, 0);
  projects_ = {"Every", "Night"};
  Rebuild({{"Every", 1, "5"}, {"Night", 0, "02:30:00"}});
  now_ += 10 * kSecond;
  ASSERT_EQ(TickUntil(At(1, 1, 59, 40)).size(), 11u);
  now_ = At(1, 3, 0, 20);
  EXPECT_EQ(Tick(), (std::vector<std::string>{"Every", "Night"}));
  EXPECT_TRUE(TickUntil(At(1, 3, 4, 0)).empty());
  EXPECT_NEAR(Entry(1).NextRun, At(2, 2, 30), kSecond);
}

TEST_F(ScheduleTableTest, RunLongerThanItsIntervalIsFollowedByOneStartNotACatchUp) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 1, "5"}});
  int runs = 0;
  const auto long_run = [&](const std::string&) {
    ++runs;
    now_ += 17 * kMinute;  // three intervals and more
    return true;
  };
  now_ = At(10, 10, 5, 10);
  (void)table_.Timer1Timer(
      {}, [this] { return now_; }, long_run);
  ASSERT_EQ(runs, 1);
  // Ticks that came during the run saw the window busy; the first free one
  // starts the project once, and the one after it nothing.
  EXPECT_EQ(Tick({.start_enabled = false}), std::vector<std::string>{});
  now_ += 30 * kSecond;
  EXPECT_EQ(Tick(), std::vector<std::string>{"A"});
  now_ += 30 * kSecond;
  EXPECT_TRUE(Tick().empty());
  EXPECT_GT(Entry(0).NextRun, now_);
  EXPECT_LE(Entry(0).NextRun, now_ + 5 * kMinute);
}

TEST_F(ScheduleTableTest, TickInsideARunOfAnEarlierTickDoesNothing) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "08:00:00"}, {"B", 0, "08:00:00"}});
  std::vector<std::string> seen;
  std::vector<std::string> nested;
  (void)table_.Timer1Timer(
      {}, [this] { return now_; },
      [&](const std::string& name) {
        seen.push_back(name);
        // The run's message box is open when the timer fires again.
        now_ += 30 * kSecond;
        for (std::string& n : Tick()) nested.push_back(std::move(n));
        return true;
      });
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(nested.empty());
  // The guard is released again: a later tick works.
  Rebuild({{"C", 0, "07:00:00"}});
  EXPECT_EQ(Tick(), std::vector<std::string>{"C"});
}

TEST_F(ScheduleTableTest, GateReadBeforeEachStartHoldsBackTheRestWhenSwitchedOff) {
  now_ = At(10, 10, 0);
  Rebuild({{"A", 0, "08:00:00"}, {"B", 0, "08:00:00"}});
  const DateTime b_next = Entry(1).NextRun;
  TickGate gate;
  const auto run = [&] {
    return table_.Timer1TimerGated([&] { return gate; }, [this] { return now_; },
                                   [&](const std::string& name) {
                                     // The user switches scheduling off during A's long run.
                                     gate.scheduling_enabled = false;
                                     now_ += 20 * kMinute;
                                     return name.size() == 1;
                                   });
  };
  EXPECT_EQ(run(), std::vector<std::string>{"A"});
  EXPECT_EQ(Entry(1).NextRun, b_next);  // not moved: still due
  gate.scheduling_enabled = true;
  now_ += 30 * kSecond;
  EXPECT_EQ(run(), std::vector<std::string>{"B"});
}

TEST_F(ScheduleTableTest, RenameKeepsTheNextRunButACopyIsNew) {
  now_ = At(10, 10, 0);
  projects_ = {"Night", "night 2", "Copy of Night", "Other", "X", "Y"};
  Rebuild({{"Night", 0, "09:00:00"}});
  ASSERT_EQ(Tick(), std::vector<std::string>{"Night"});
  now_ = At(10, 15, 0);
  // Renamed at 15:00: today's run is done; the new name waits for tomorrow.
  Rebuild({{"night 2", 0, "09:00:00"}});
  EXPECT_NEAR(Entry(0).NextRun, At(11, 9, 0), kSecond);
  // A copy is a new project: its time already passed today, so it is due.
  Rebuild({{"Copy of Night", 0, "09:00:00"}, {"night 2", 0, "09:00:00"}});
  EXPECT_EQ(Entry(0).NextRun, At(10, 9, 0));
  EXPECT_NEAR(Entry(1).NextRun, At(11, 9, 0), kSecond);
  // Two names gone and two new ones with one schedule: which became which
  // is unknown, so both are computed afresh.
  Rebuild({{"Other", 0, "09:00:00"}, {"Y", 0, "09:00:00"}});
  ASSERT_EQ(Entries().size(), 2u);
  EXPECT_EQ(Entry(0).NextRun, At(10, 9, 0));
  EXPECT_EQ(Entry(1).NextRun, At(10, 9, 0));
}

TEST(ReadSchedulesTest, ReadsTheStoredKeysOfEachListedProject) {
  char tmpl[] = "/tmp/zb_sched_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  std::ofstream(dir / "project.ini", std::ios::binary)
      << "[Common]\r\nProject Count=3\r\nCount0=Daily\r\nCount1=none\r\nCount2=Week\r\n"
         "[daily]\r\nBackupMode=0\r\nStartTime_or_Increase= 09:30:00 \r\n"
         "[Week]\r\nBackupMode=2\r\nStartTime_or_Increase=\"Monday\"\r\n";
  ScheduleTable table;
  const DateTime now = At(10, 8, 0);
  table.RebuildSchedule(dir, {"Daily", "none", "Week"}, now);
  ASSERT_EQ(table.Entries().size(), 2u);
  EXPECT_EQ(table.Entries()[0].ProjectName, "Daily");
  EXPECT_NEAR(table.Entries()[0].NextRun, At(10, 9, 30), kSecond);
  EXPECT_EQ(table.Entries()[1].ProjectName, "Week");
  EXPECT_EQ(DecodeDateTime(table.Entries()[1].NextRun).day_of_week, 2);  // Monday
  fs::remove_all(dir);
}

// A rename lost the moment of the last scheduled start, so the next start
// of the program ran the project again.
TEST(ReadSchedulesTest, LastStartIsKeptAcrossARename) {
  char tmpl[] = "/tmp/zb_sched_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const auto store = [&](const char* name) {
    std::ofstream(dir / "project.ini", std::ios::binary)
        << "[Common]\nProject Count=1\nCount0=" << name << "\n[" << name
        << "]\nBackupMode=0\nStartTime_or_Increase=09:00:00\n";
  };
  store("Old");
  ScheduleTable table;
  DateTime now = At(10, 8, 0);
  table.RebuildSchedule(dir, {"Old"}, now);
  WriteLastScheduledRun(dir, "Old", At(10, 9, 0, 20));
  store("New");
  table.RebuildSchedule(dir, {"New"}, now = At(10, 9, 30));
  ScheduleTable after_restart;
  after_restart.RebuildSchedule(dir, {"New"}, now);
  EXPECT_NEAR(after_restart.Entries().at(0).NextRun, At(11, 9, 0), kSecond);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zb::schedule
