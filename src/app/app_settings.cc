#include "app/app_settings.h"

#include "app/data_folder.h"
#include "ini/ini_file.h"

namespace zb::app {

AppSettings ReadAppSettings(const ini::IniFile& f) {
  const AppSettings d;
  AppSettings s;
  s.PromptBeforeBackup = f.ReadBool(kCommonSection, "PromptBeforeBackup", d.PromptBeforeBackup);
  s.AutoRun = f.ReadBool(kCommonSection, "Auto Run", d.AutoRun);
  s.StartMinimized = f.ReadBool(kCommonSection, "Is Minimized", d.StartMinimized);
  s.AppendZero = f.ReadBool(kCommonSection, "Is Append 0", d.AppendZero);
  s.NumberWidth = f.ReadInteger(kCommonSection, "Width", d.NumberWidth);
  s.OverwriteExisting = f.ReadBool(kCommonSection, "IsOverWrite", d.OverwriteExisting);
  s.LogCount = f.ReadInteger(kCommonSection, "Log Count", d.LogCount);
  s.ScheduleEnabled = f.ReadBool(kCommonSection, "Enable schedule", d.ScheduleEnabled);
  s.SortField = f.ReadInteger(kCommonSection, "By Field", d.SortField);
  s.SortDescending = f.ReadInteger(kCommonSection, "Sort", d.SortDescending);
  s.PromptSync = f.ReadBool(kCommonSection, "Prompt sync", d.PromptSync);
  s.LastProject = f.ReadString(kCommonSection, "Last Project", d.LastProject);
  return s;
}

AppSettings ReadAppSettings(const std::filesystem::path& data_dir) {
  return ReadAppSettings(ini::IniFile(DataFile(data_dir, kProjectFile)));
}

void SaveAppSettings(const std::filesystem::path& data_dir, const AppSettings& s,
                     const std::vector<std::string>& project_names,
                     const std::string& last_project) {
  // With no project there is nothing worth keeping; writing the defaults
  // here would also create a data file on a mere look at the program.
  if (project_names.empty()) return;
  DataFolderLock lock(data_dir);
  ini::IniFile f(DataFile(data_dir, kProjectFile));
  f.WriteBool(kCommonSection, "Is Append 0", s.AppendZero);
  f.WriteInteger(kCommonSection, "Width", s.NumberWidth);
  f.WriteBool(kCommonSection, "IsOverWrite", s.OverwriteExisting);
  f.WriteBool(kCommonSection, "PromptBeforeBackup", s.PromptBeforeBackup);
  f.WriteString(kCommonSection, "Last Project", last_project);
  f.WriteList(kCommonSection, "Project Count", "Count", project_names);
  f.WriteInteger(kCommonSection, "By Field", s.SortField);
  f.WriteInteger(kCommonSection, "Sort", s.SortDescending);
  f.WriteInteger(kCommonSection, "Log Count", s.LogCount);
  f.WriteBool(kCommonSection, "Enable schedule", s.ScheduleEnabled);
  f.Save();
}

void WritePreferenceKeys(const std::filesystem::path& data_dir, const AppSettings& s) {
  DataFolderLock lock(data_dir);
  ini::IniFile f(DataFile(data_dir, kProjectFile));
  f.WriteBool(kCommonSection, "Auto Run", s.AutoRun);
  f.WriteBool(kCommonSection, "Is Minimized", s.StartMinimized);
  f.WriteBool(kCommonSection, "Prompt sync", s.PromptSync);
  f.Save();
}

}  // namespace zb::app
