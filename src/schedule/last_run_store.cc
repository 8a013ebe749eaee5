#include "schedule/last_run_store.h"

#include "app/data_folder.h"
#include "base/text.h"
#include "ini/ini_file.h"

namespace zb::schedule {
namespace {

constexpr char kLastRunKey[] = "Last Scheduled Run";

}  // namespace

LastRuns ReadLastScheduledRuns(const std::filesystem::path& data_dir) {
  LastRuns runs;
  try {
    const ini::IniFile f(app::DataFile(data_dir, kScheduleFile));
    for (const std::string& project : f.SectionNames()) {
      if (const auto moment = ParseDateTime(f.ReadString(project, kLastRunKey, "")))
        runs.emplace_back(project, *moment);
    }
  } catch (const std::exception&) {
    // An unreadable file only means a due time may be made up once more.
  }
  return runs;
}

std::optional<DateTime> LastRunOf(const LastRuns& runs, std::string_view project) {
  for (const auto& [name, moment] : runs) {
    if (SameText(name, project)) return moment;
  }
  return std::nullopt;
}

void WriteLastScheduledRun(const std::filesystem::path& data_dir, std::string_view project,
                           DateTime moment) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f(app::DataFile(data_dir, kScheduleFile));
  f.WriteString(Trim(project), kLastRunKey, FormatDateTimeFull(moment));
  f.Save();
}

}  // namespace zb::schedule
