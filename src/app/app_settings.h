#pragma once

#include <functional>
#include <string>

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

// The key mapping of the settings on an open "project.ini"; the backup
// project store opens, locks and saves the file around these.

// Every setting from [Common] of `file`; a missing key gives its default.
[[nodiscard]] AppSettings ReadAppSettings(const ini::IniFile& file);

// The close-time keys in their fixed order, "Last Project" = `last_project`
// (`settings.LastProject` is ignored). The project list belongs between
// "Last Project" and "By Field"; `write_project_list` writes it there.
void WriteCloseKeys(ini::IniFile& file, const AppSettings& settings,
                    const std::string& last_project,
                    const std::function<void(ini::IniFile&)>& write_project_list);

// Every key the Preferences dialog edits: "Auto Run", "Is Minimized",
// "Prompt sync", "PromptBeforeBackup", "Is Append 0", "Width", "IsOverWrite"
// and "Log Count".
void WritePreferenceKeys(ini::IniFile& file, const AppSettings& settings);

// The settings that are not about projects (the close-time keys without the
// project list and "Last Project"), each written only when the file does not
// already read as its value, so a file that holds them all is left as it is.
void WriteChangedGeneralKeys(ini::IniFile& file, const AppSettings& settings);

}  // namespace zb::app
