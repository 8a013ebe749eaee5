#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zb::ini {
class IniFile;
}

namespace zb::app {

// The application-wide settings of the [Common] section of "project.ini".
// Values are not clamped on reading: a count outside the dialog's range is
// used unchanged.
struct AppSettings {
  bool PromptBeforeBackup = false;  // "PromptBeforeBackup"
  bool AutoRun = false;             // "Auto Run"
  bool StartMinimized = false;      // "Is Minimized"
  bool AppendZero = false;          // "Is Append 0"
  int NumberWidth = 2;              // "Width"
  bool OverwriteExisting = false;   // "IsOverWrite"
  int LogCount = 50;                // "Log Count"
  bool ScheduleEnabled = true;      // "Enable schedule"
  int SortField = 2;                // "By Field": 0 name, 1 size, 2 date
  int SortDescending = 0;           // "Sort": 0 ascending, 1 descending
  bool PromptSync = false;          // "Prompt sync"
  std::string LastProject;          // "Last Project"

  bool operator==(const AppSettings&) const = default;
};

inline constexpr char kCommonSection[] = "Common";

// Reads every setting from `data_dir`/project.ini; a missing file or key
// gives the default. The project list itself is read by backup::ReadProjectList.
[[nodiscard]] AppSettings ReadAppSettings(const std::filesystem::path& data_dir);
[[nodiscard]] AppSettings ReadAppSettings(const ini::IniFile& file);

// The close-time write: nothing at all when `project_names` is empty;
// otherwise the keys in their fixed order, "Last Project" = `last_project`,
// and the project list, all in one atomic save under the data-folder lock.
// `settings.LastProject` is ignored in favour of `last_project`.
// Throws zb::EWriteError (nothing changed on disk) or zb::ELocked.
void SaveAppSettings(const std::filesystem::path& data_dir, const AppSettings& settings,
                     const std::vector<std::string>& project_names,
                     const std::string& last_project);

// The three keys the Preferences dialog writes itself on Apply ("Auto Run",
// "Is Minimized", "Prompt sync"), in one atomic save. Throws like above.
void WritePreferenceKeys(const std::filesystem::path& data_dir, const AppSettings& settings);

}  // namespace zb::app
