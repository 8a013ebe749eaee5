#include "app/app_settings.h"

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

void WriteCloseKeys(ini::IniFile& f, const AppSettings& s, const std::string& last_project,
                    const std::function<void(ini::IniFile&)>& write_project_list) {
  f.WriteBool(kCommonSection, "Is Append 0", s.AppendZero);
  f.WriteInteger(kCommonSection, "Width", s.NumberWidth);
  f.WriteBool(kCommonSection, "IsOverWrite", s.OverwriteExisting);
  f.WriteBool(kCommonSection, "PromptBeforeBackup", s.PromptBeforeBackup);
  f.WriteString(kCommonSection, "Last Project", last_project);
  write_project_list(f);
  f.WriteInteger(kCommonSection, "By Field", s.SortField);
  f.WriteInteger(kCommonSection, "Sort", s.SortDescending);
  f.WriteInteger(kCommonSection, "Log Count", s.LogCount);
  f.WriteBool(kCommonSection, "Enable schedule", s.ScheduleEnabled);
}

void WritePreferenceKeys(ini::IniFile& f, const AppSettings& s) {
  f.WriteBool(kCommonSection, "Auto Run", s.AutoRun);
  f.WriteBool(kCommonSection, "Is Minimized", s.StartMinimized);
  f.WriteBool(kCommonSection, "Prompt sync", s.PromptSync);
  f.WriteBool(kCommonSection, "PromptBeforeBackup", s.PromptBeforeBackup);
  f.WriteBool(kCommonSection, "Is Append 0", s.AppendZero);
  f.WriteInteger(kCommonSection, "Width", s.NumberWidth);
  f.WriteBool(kCommonSection, "IsOverWrite", s.OverwriteExisting);
  f.WriteInteger(kCommonSection, "Log Count", s.LogCount);
}

void WriteChangedGeneralKeys(ini::IniFile& f, const AppSettings& s) {
  const AppSettings stored = ReadAppSettings(f);
  // Comparing with what the file reads (defaults included) keeps a first
  // look at the program from creating a data file full of defaults.
  auto put_bool = [&f](const char* key, bool now, bool before) {
    if (now != before) f.WriteBool(kCommonSection, key, now);
  };
  auto put_int = [&f](const char* key, int now, int before) {
    if (now != before) f.WriteInteger(kCommonSection, key, now);
  };
  put_bool("Is Append 0", s.AppendZero, stored.AppendZero);
  put_int("Width", s.NumberWidth, stored.NumberWidth);
  put_bool("IsOverWrite", s.OverwriteExisting, stored.OverwriteExisting);
  put_bool("PromptBeforeBackup", s.PromptBeforeBackup, stored.PromptBeforeBackup);
  put_int("By Field", s.SortField, stored.SortField);
  put_int("Sort", s.SortDescending, stored.SortDescending);
  put_int("Log Count", s.LogCount, stored.LogCount);
  put_bool("Enable schedule", s.ScheduleEnabled, stored.ScheduleEnabled);
}

}  // namespace zb::app
