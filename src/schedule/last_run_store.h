#pragma once

// When each project was last started by the schedule, kept in the data folder
// so that a restart of the program does not make up a due time again that a
// run before the restart has already served.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/date_time.h"

namespace zb::schedule {

// One section per project (the project's name), key "Last Scheduled Run",
// the moment in the date-and-time text form.
inline constexpr char kScheduleFile[] = "schedule.ini";

// Project name and moment of its last scheduled start.
using LastRuns = std::vector<std::pair<std::string, DateTime>>;

// Every stored moment; a missing or unreadable file, or a value that is no
// date and time, counts as no run. Never throws.
[[nodiscard]] LastRuns ReadLastScheduledRuns(const std::filesystem::path& data_dir);
// The moment stored for `project` (case ignored), if any.
[[nodiscard]] std::optional<DateTime> LastRunOf(const LastRuns& runs, std::string_view project);
// Stores `moment` for `project` in one atomic save under the data-folder
// lock. Throws zb::ELocked, zb::EWriteError or zb::EInvalidInput.
void WriteLastScheduledRun(const std::filesystem::path& data_dir, std::string_view project,
                           DateTime moment);

}  // namespace zb::schedule
