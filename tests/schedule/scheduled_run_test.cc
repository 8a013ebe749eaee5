// The scheduler and the run together, as the window's timer drives them.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/activity_log.h"
#include "scripted_user_interaction.h"
#include "backup/backup_project.h"
#include "backup/backup_run.h"
#include "schedule/schedule_table.h"

namespace zb::schedule {
namespace {

namespace fs = std::filesystem;

TEST(ScheduledRunTest, NightOfFailingRunsLeavesOneLogLinePerRunAndNoOpenBox) {
  char tmpl[] = "/tmp/zb_night_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  // Every 5 minutes, into a folder that cannot be made (a file is in the way),
  // with "ask before a run" on.
  std::ofstream(dir / "blocker") << "x";
  std::ofstream(dir / "project.ini", std::ios::binary)
      << "[Common]\nPromptBeforeBackup=1\nProject Count=1\nCount0=Night\n"
         "[Night]\nFilename prefix=n\nSave Path="
      << (dir / "blocker" / "sub").string()
      << "/\nBackup Directory Count=1\nBackup0=" << dir.string()
      << "/*.ini\nWhether password Project=0\nBackupMode=1\nStartTime_or_Increase=5\n";

  app::ScriptedUserInteraction ui;
  ui.default_answer = false;  // a question would stop every run
  app::ActivityLog log(dir / "log.txt", 500, [] { return "t"; });
  log.Load();
  ScheduleTable table;
  DateTime now = *EncodeDateTime(2026, 1, 5, 22, 0, 0);
  table.RebuildSchedule(dir, backup::ReadProjectList(dir).names, now);
  int runs = 0;
  const auto start = [&](const std::string& name) {
    backup::BackupRunHooks hooks;
    hooks.ui = &ui;
    hooks.log = &log;
    hooks.clock = [&] { return now; };
    const backup::BackupRunResult r = backup::RunStoredProject(dir, name, hooks);
    EXPECT_EQ(r.status, backup::RunStatus::kInterrupted);
    ++runs;
    return true;
  };
  // Eight hours of 30-second ticks.
  const DateTime end = now + 8.0 / 24;
  while (now < end) {
    now += 30.0 / 86400;
    (void)table.Timer1Timer(
        {}, [&] { return now; }, start);
  }
  EXPECT_GE(runs, 95);
  EXPECT_LE(runs, 96);
  EXPECT_EQ(log.Total(), runs);
  for (const auto& shown : ui.shown) {
    EXPECT_EQ(shown.what, "timed");
    EXPECT_EQ(shown.seconds, 6);
  }
  EXPECT_EQ(ui.shown.size(), static_cast<size_t>(runs));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zb::schedule
