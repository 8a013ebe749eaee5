#pragma once

// The table of scheduled backup projects and the due check of the 30-second
// timer. The window owns one ScheduleTable; it calls RebuildSchedule when the
// project list or a project's schedule may have changed, and Timer1Timer on
// every tick. The clock is passed in, so tests drive time by hand.

#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_project.h"
#include "base/date_time.h"
#include "schedule/last_run_store.h"

namespace zb::schedule {

// The timer's period.
inline constexpr int kTickMilliseconds = 30000;

enum class ScheduleMode { DailyOnce = 0, DailyEvery = 1, Weekly = 2, None = 3 };

// One project's stored schedule: "BackupMode" and "StartTime_or_Increase"
// as they stand in project.ini.
using ScheduleSpec = backup::StoredSchedule;

// One entry of the table.
struct tautobackup {
  std::string ProjectName;
  DateTime NextRun = 0;
  DateTime Interval = 0;  // days
  // The stored schedule the entry was computed from.
  int mode = 0;
  std::string value;
};

// The first run time and interval of a schedule computed afresh at `now`:
// daily once at the stored time today (12:00:00 when the text is no time),
// every N minutes from now (1 hour when N is no whole number in 1..1439),
// weekly at 12:00:00 on the first day from today whose English name equals
// the text exactly (today + 8 days when none does). REQUIRES: mode 0..2.
[[nodiscard]] tautobackup ComputeEntry(const ScheduleSpec& setting, DateTime now);

// The state of the window a tick depends on.
struct TickGate {
  bool scheduling_enabled = true;  // the scheduling switch
  bool editing = false;            // a project is being edited (Save enabled)
  bool start_enabled = true;       // Create Backup is enabled (no run going on)
};

class ScheduleTable final {
 public:
  // Rebuilds the table from the schedules of `projects` (in the project
  // box's order), read from the project store of `data_dir`. Entries whose project
  // and schedule are unchanged keep their next run time, so saving one
  // project does not start the others again; a renamed project keeps its
  // entry under the new name; new and changed schedules are computed afresh
  // at `now`. Modes other than 0..2 are not scheduled. A daily or weekly
  // time computed afresh that has passed is made up only when the
  // project's last scheduled start (schedule.ini) came before it; a renamed
  // project's moment is stored under its new name.
  void RebuildSchedule(const std::filesystem::path& data_dir,
                       const std::vector<std::string>& projects, DateTime now);
  // The same from schedules and last starts already read.
  void Rebuild(const std::vector<ScheduleSpec>& schedules, DateTime now,
               const LastRuns& last_runs = {});

  // The due check of one tick. Nothing happens when the gate is closed.
  // Otherwise every entry whose next run time `clock()` has passed is moved
  // past now in whole intervals (a project that fell many intervals behind
  // starts once, not once per missed interval) and `start` is called with
  // its name; `start` returns false when no such project exists. Entries
  // due together run one after another. Returns the names started.
  //
  // A tick that arrives while an earlier one is still starting its runs
  // (the runs keep the window's events flowing) does nothing. A clock set
  // back does not make a schedule pause until the old time comes round
  // again: every N minutes stays at most one interval away; a daily or
  // weekly time ignores the repeated hour at the end of daylight saving
  // time, and after a larger jump back it is next due at the first time of
  // its rhythm after the clock's new reading.
  std::vector<std::string> Timer1Timer(const TickGate& gate, const std::function<DateTime()>& clock,
                                       const std::function<bool(const std::string&)>& start);
  // The same with a gate read again before each start: a run may last long,
  // and scheduling switched off meanwhile must hold back the entries after it.
  std::vector<std::string> Timer1TimerGated(const std::function<TickGate()>& gate,
                                            const std::function<DateTime()>& clock,
                                            const std::function<bool(const std::string&)>& start);

  [[nodiscard]] const std::vector<tautobackup>& Entries() const { return entries_; }
  // The timer runs only while the table holds an entry.
  [[nodiscard]] bool TimerActive() const { return !entries_.empty(); }
  // Whether `project` (case ignored) has an entry: its menu item and its
  // line in the project box carry the schedule image.
  [[nodiscard]] bool IsScheduled(std::string_view project) const;

 private:
  // Notes the clock's reading; moves next run times back after a jump back.
  void FollowClock(DateTime now);

  std::vector<tautobackup> entries_;
  // Renames (old name, new name) the last Rebuild recognised.
  std::vector<std::pair<std::string, std::string>> renamed_;
  // The latest clock reading seen; NaN before the first.
  DateTime last_seen_ = std::numeric_limits<double>::quiet_NaN();
  bool in_tick_ = false;
};

}  // namespace zb::schedule
