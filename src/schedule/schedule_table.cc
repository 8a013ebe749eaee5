#include "schedule/schedule_table.h"

#include <cmath>
#include <string>

#include "app/data_folder.h"
#include "backup/backup_project.h"
#include "base/text.h"
#include "ini/ini_file.h"

namespace zb::schedule {
namespace {

constexpr DateTime kMinute = 1.0 / (24 * 60);
constexpr DateTime kHour = 1.0 / 24;
constexpr DateTime kNoon = 0.5;
constexpr int kMinutesPerDay = 24 * 60;

bool IsTimedMode(int mode) { return mode >= 0 && mode <= 2; }

bool SameSchedule(const tautobackup& entry, const ScheduleSpec& setting) {
  return entry.ProjectName == setting.project && entry.mode == setting.mode &&
         entry.value == setting.value;
}

}  // namespace

tautobackup ComputeEntry(const ScheduleSpec& setting, DateTime now) {
  tautobackup e;
  e.ProjectName = setting.project;
  e.mode = setting.mode;
  e.value = setting.value;
  const DateTime today = std::floor(now);
  switch (static_cast<ScheduleMode>(setting.mode)) {
    case ScheduleMode::DailyOnce: {
      const auto time = ParseTime(Trim(setting.value));
      e.NextRun = today + (time ? *time - std::floor(*time) : kNoon);
      e.Interval = 1;
      break;
    }
    case ScheduleMode::DailyEvery: {
      // Minutes become a time of day H:M:00; what is no time of day (a day
      // or more, negative, no number) gives an hour. Zero minutes would
      // make every tick due, so it counts as no time as well.
      const int minutes = StrToIntDef(setting.value, -1);
      const DateTime span = minutes >= 1 && minutes < kMinutesPerDay ? minutes * kMinute : kHour;
      e.NextRun = now + span;
      e.Interval = span;
      break;
    }
    case ScheduleMode::Weekly: {
      int i = 0;
      for (; i <= 7; ++i) {
        const int weekday = DecodeDateTime(today + i).day_of_week;
        if (backup::WeekDayName(weekday) == setting.value) break;
      }
      e.NextRun = today + i + kNoon;
      e.Interval = 7;
      break;
    }
    case ScheduleMode::None:
      break;
  }
  return e;
}

void ScheduleTable::RebuildSchedule(const std::filesystem::path& data_dir,
                                    const std::vector<std::string>& projects, DateTime now) {
  Rebuild(ReadSchedules(data_dir, projects), now);
}

void ScheduleTable::Rebuild(const std::vector<ScheduleSpec>& schedules, DateTime now) {
  std::vector<tautobackup> rebuilt;
  for (const ScheduleSpec& setting : schedules) {
    if (!IsTimedMode(setting.mode)) continue;
    const tautobackup* kept = nullptr;
    for (const tautobackup& old : entries_) {
      if (SameSchedule(old, setting)) {
        kept = &old;
        break;
      }
    }
    rebuilt.push_back(kept != nullptr ? *kept : ComputeEntry(setting, now));
  }
  entries_ = std::move(rebuilt);
}

std::vector<std::string> ScheduleTable::Timer1Timer(
    const TickGate& gate, const std::function<DateTime()>& clock,
    const std::function<bool(const std::string&)>& start) {
  std::vector<std::string> started;
  if (!gate.scheduling_enabled || gate.editing || !gate.start_enabled) return started;
  // By index and with a copied name: a run may rebuild the table.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const DateTime now = clock();
    tautobackup& e = entries_[i];
    if (!(now > e.NextRun)) continue;
    if (e.Interval > 0) {
      const double behind = std::floor((now - e.NextRun) / e.Interval) + 1;
      e.NextRun += behind * e.Interval;
      // Rounding may leave the sum a hair short of now.
      while (!(e.NextRun > now)) e.NextRun += e.Interval;
    } else {
      e.NextRun = now + kHour;
    }
    const std::string name = e.ProjectName;
    if (start(name)) started.push_back(name);
  }
  return started;
}

bool ScheduleTable::IsScheduled(std::string_view project) const {
  for (const tautobackup& e : entries_) {
    if (SameText(e.ProjectName, project)) return true;
  }
  return false;
}

std::vector<ScheduleSpec> ReadSchedules(const std::filesystem::path& data_dir,
                                        const std::vector<std::string>& projects) {
  const ini::IniFile file(app::DataFile(data_dir, app::kProjectFile));
  std::vector<ScheduleSpec> schedules;
  schedules.reserve(projects.size());
  for (const std::string& name : projects) {
    ScheduleSpec setting;
    setting.project = name;
    setting.mode = file.ReadInteger(name, "BackupMode", static_cast<int>(ScheduleMode::None));
    setting.value = file.ReadString(name, "StartTime_or_Increase", "");
    schedules.push_back(std::move(setting));
  }
  return schedules;
}

}  // namespace zb::schedule
