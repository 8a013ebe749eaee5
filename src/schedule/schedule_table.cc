#include "schedule/schedule_table.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "backup/backup_project.h"
#include "base/text.h"

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
  const LastRuns last_runs = ReadLastScheduledRuns(data_dir);
  renamed_.clear();
  Rebuild(backup::ReadSchedules(data_dir, projects), now, last_runs);
  // A renamed project keeps the moment of its last scheduled start, or the
  // next start of the program would make up a time it has served.
  for (const auto& [from, to] : renamed_) {
    const std::optional<DateTime> last = LastRunOf(last_runs, from);
    if (!last || LastRunOf(last_runs, to)) continue;
    try {
      WriteLastScheduledRun(data_dir, to, *last);
    } catch (const std::exception&) {
      // At worst one repeated run after a restart.
    }
  }
  renamed_.clear();
}

void ScheduleTable::Rebuild(const std::vector<ScheduleSpec>& schedules, DateTime now,
                            const LastRuns& last_runs) {
  FollowClock(now);
  const auto listed = [&](const std::string& name) {
    return std::any_of(schedules.begin(), schedules.end(),
                       [&](const ScheduleSpec& s) { return s.project == name; });
  };
  const auto in_table = [&](const std::string& name) {
    return std::any_of(entries_.begin(), entries_.end(),
                       [&](const tautobackup& e) { return e.ProjectName == name; });
  };
  // A rename shows up as one entry whose name is gone and one new name with
  // the same schedule. Only such a pair that nothing else could match is
  // taken for a rename; anything less clear is computed afresh.
  const auto renamed_from = [&](const ScheduleSpec& setting) -> const tautobackup* {
    if (in_table(setting.project)) return nullptr;
    const tautobackup* from = nullptr;
    int gone = 0;
    for (const tautobackup& old : entries_) {
      if (old.mode == setting.mode && old.value == setting.value && !listed(old.ProjectName)) {
        from = &old;
        ++gone;
      }
    }
    int arrived = 0;
    for (const ScheduleSpec& s : schedules) {
      if (s.mode == setting.mode && s.value == setting.value && !in_table(s.project)) ++arrived;
    }
    return gone == 1 && arrived == 1 ? from : nullptr;
  };

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
    if (kept == nullptr) {
      kept = renamed_from(setting);
      if (kept != nullptr) renamed_.emplace_back(kept->ProjectName, setting.project);
    }
    tautobackup entry = kept != nullptr ? *kept : ComputeEntry(setting, now);
    // Today's time (or this week's) already passed is due at once, unless a
    // scheduled start since then served it: each restart would otherwise
    // run the project again and push one more archive out of its ring.
    const std::optional<DateTime> last = LastRunOf(last_runs, setting.project);
    if (kept == nullptr && last && setting.mode != static_cast<int>(ScheduleMode::DailyEvery)) {
      while (entry.Interval > 0 && !(entry.NextRun > *last)) entry.NextRun += entry.Interval;
    }
    entry.ProjectName = setting.project;
    rebuilt.push_back(std::move(entry));
  }
  entries_ = std::move(rebuilt);
}

void ScheduleTable::FollowClock(DateTime now) {
  const DateTime back = std::isnan(last_seen_) ? 0 : last_seen_ - now;
  last_seen_ = now;
  for (tautobackup& e : entries_) {
    if (!(e.Interval > 0) || !(e.NextRun > now)) continue;
    const DateTime ahead = e.NextRun - now;
    // Every N minutes counts elapsed time: the next start is never more than
    // one interval away, however the clock moved. A daily or weekly time
    // follows the clock's face: the hour that repeats when daylight saving
    // time ends changes nothing (a daily time in that hour does not run
    // twice); a clock set back further gets the first time of the rhythm
    // after its new reading.
    const bool follows =
        e.mode == static_cast<int>(ScheduleMode::DailyEvery) || back > kHour + kMinute;
    if (!follows || !(ahead > e.Interval)) continue;
    const double intervals = std::ceil((ahead - e.Interval) / e.Interval);
    e.NextRun -= intervals * e.Interval;
    while (!(e.NextRun > now)) e.NextRun += e.Interval;
  }
}

std::vector<std::string> ScheduleTable::Timer1Timer(
    const TickGate& gate, const std::function<DateTime()>& clock,
    const std::function<bool(const std::string&)>& start) {
  return Timer1TimerGated([&gate] { return gate; }, clock, start);
}

std::vector<std::string> ScheduleTable::Timer1TimerGated(
    const std::function<TickGate()>& gate, const std::function<DateTime()>& clock,
    const std::function<bool(const std::string&)>& start) {
  std::vector<std::string> started;
  // A run pumps the window's events, so the timer can fire inside a run
  // this tick started (while its message box is open, say).
  if (in_tick_) return started;
  in_tick_ = true;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{in_tick_};

  FollowClock(clock());
  // By index and with a copied name: a run may rebuild the table.
  for (size_t i = 0; i < entries_.size(); ++i) {
    const DateTime now = clock();
    FollowClock(now);
    if (!(now > entries_[i].NextRun)) continue;
    const TickGate open = gate();
    if (!open.scheduling_enabled || open.editing || !open.start_enabled) break;
    tautobackup& e = entries_[i];
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

}  // namespace zb::schedule
