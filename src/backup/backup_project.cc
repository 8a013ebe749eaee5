#include "backup/backup_project.h"

#include <algorithm>
#include <array>

#include "app/data_folder.h"
#include "app/password_scramble.h"
#include "backup/retention_ring.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "ini/ini_file.h"

namespace zb::backup {
namespace {

constexpr std::string_view kCommon = app::kCommonSection;
constexpr char kWildcardTotal[] = "Wildcard Total";
constexpr char kWildcardItem[] = "Wildcard";
constexpr std::array<std::string_view, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};

ini::IniFile OpenProjects(const std::filesystem::path& data_dir) {
  return ini::IniFile(app::DataFile(data_dir, app::kProjectFile));
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Clearer than the INI layer's generic refusal: says which field is wrong.
void CheckStorable(const BackupProject& p) {
  auto check = [](std::string_view value, const char* what) {
    if (HasLineBreak(value)) {
      throw EInvalidInput(std::string("The ") + what + " cannot contain a line break");
    }
  };
  check(p.FilenamePrefix, "file name prefix");
  check(p.SavePath, "archive folder");
  check(p.Comment, "archive comment");
  for (const std::string& s : p.Include) check(s, "list of files to back up");
  for (const std::string& s : p.Exclude) check(s, "list of files to exclude");
}

std::string ScheduleText(const BackupProject& p) {
  switch (p.BackupMode) {
    case kModeDaily:
      return FormatTime(p.StartTime);
    case kModeInterval:
      return IntToStr(p.IntervalMinutes);
    default:
      return std::string(WeekDayName(p.WeekDay));
  }
}

// The password key is made from the name as the project list spells it, so
// that a caller passing another letter case still gets the same key.
std::string ListSpelling(const ini::IniFile& f, const std::string& name) {
  for (const std::string& listed : f.ReadList(kCommon, "Project Count", "Count")) {
    if (SameText(listed, name)) return listed;
  }
  return name;
}

// The keys in the order a new section shows them.
void WriteProjectTo(ini::IniFile& f, const std::string& name, BackupProject& p) {
  CheckStorable(p);
  const std::string prefix(Trim(p.FilenamePrefix));
  f.WriteString(name, "Filename prefix", prefix);
  const int suffix =
      p.Suffix >= kSuffixNone && p.Suffix <= kSuffixNumber ? p.Suffix : kSuffixNumber;
  f.WriteInteger(name, "Suffix", suffix);
  f.WriteInteger(name, "Increase Value", p.IncreaseValue);
  f.WriteInteger(name, "Value", p.Value);
  f.WriteString(name, "Save Path", p.SavePath);
  f.WriteList(name, "Backup Directory Count", "Backup", p.Include);
  f.WriteList(name, "No Backup Directory Count", "NoBackup", p.Exclude);
  f.WriteBool(name, "Whether include Subdirectory", p.IncludeSubfolders);
  f.WriteBool(name, "Whether password Project", p.UsePassword);
  const std::string password(Trim(p.Password));
  // An empty password leaves the stored one alone rather than erasing it.
  const bool write_password = p.UsePassword && !password.empty();
  if (write_password) {
    f.WriteString(name, "Password",
                  app::PasswordScramble(password, app::PasswordKey(ListSpelling(f, name)), true));
  }
  f.WriteBool(name, "Whether store path in Zip", p.StorePath);
  f.WriteBool(name, "Whether store comment in Zip", p.StoreComment);
  const bool write_comment = p.StoreComment && !Trim(p.Comment).empty();
  if (write_comment) f.WriteString(name, "Comment", p.Comment);
  const int mode =
      p.BackupMode >= kModeDaily && p.BackupMode <= kModeWeekly ? p.BackupMode : kModeNone;
  f.WriteInteger(name, "BackupMode", mode);
  if (mode != kModeNone) {
    BackupProject shown = p;
    shown.BackupMode = mode;
    f.WriteString(name, "StartTime_or_Increase", ScheduleText(shown));
  }
  f.WriteInteger(name, "PackLevel", p.PackLevel);
  f.WriteInteger(name, "Store Number", p.StoreNumber);
  f.WriteBool(name, "isUseNew", p.UseNewer);
  f.WriteBool(name, "isUseToday", p.UseToday);
  f.WriteString(name, "NewDateTime", FormatDateTimeFull(p.NewerThan));

  p.FilenamePrefix = prefix;
  p.Suffix = suffix;
  p.BackupMode = mode;
  if (write_password) {
    p.Password = password;
  } else {
    p.Password.clear();
  }
  if (!write_comment) p.Comment.clear();
}

void WriteListTo(ini::IniFile& f, const std::vector<std::string>& names) {
  f.WriteList(kCommon, "Project Count", "Count", names);
}

void AppendTo(ini::IniFile& f, const std::string& name, int current_count) {
  f.WriteString(kCommon, "Last Project", name);
  f.WriteInteger(kCommon, "Project Count", current_count + 1);
  f.WriteString(kCommon, "Count" + std::to_string(current_count), name);
}

// One past the highest index of the keys `item` + decimal index present in
// `section`: how far a list of that name can reach, whatever its count says.
// Counts come from a file users may edit, and a huge one must not make a
// reader probe billions of keys.
int PresentEntries(const ini::IniFile& f, std::string_view section, std::string_view item) {
  int present = 0;
  for (const std::string& key : f.KeyNames(section)) {
    const std::string_view k(key);
    if (k.size() <= item.size() || k.size() > item.size() + 9) continue;
    if (!SameText(k.substr(0, item.size()), item)) continue;
    int index = 0;
    bool digits = true;
    for (char c : k.substr(item.size())) {
      if (c < '0' || c > '9') {
        digits = false;
        break;
      }
      index = index * 10 + (c - '0');
    }
    if (digits && index >= present) present = index + 1;
  }
  return present;
}

}  // namespace

BackupProject BackupProject::Defaults() {
  BackupProject p;
  p.SavePath = HomeFolder();
  p.RestorePath = HomeFolder();
  p.NewerThan = Now();
  return p;
}

std::string_view WeekDayName(int day) {
  return day >= 1 && day <= 7 ? kDayNames[static_cast<size_t>(day - 1)] : std::string_view();
}

int WeekDayFromName(std::string_view name) {
  for (size_t i = 0; i < kDayNames.size(); ++i) {
    if (SameText(Trim(name), kDayNames[i])) return static_cast<int>(i) + 1;
  }
  return 0;
}

void ClampForRun(BackupProject& p) {
  p.IncreaseValue = std::clamp(p.IncreaseValue, 1, 1000);
  // "Value" is the last number, next minus step, so it may be below 1 (next 1
  // with step 5 stores -4); what must be in range is the next number.
  p.Value = NextNumber(p) - p.IncreaseValue;
  p.StoreNumber = std::clamp(p.StoreNumber, 2, 50000);
  p.PackLevel = std::clamp(p.PackLevel, 0, 9);
  if (p.Suffix < kSuffixNone || p.Suffix > kSuffixNumber) p.Suffix = kSuffixNumber;
}

int NextNumber(const BackupProject& p) {
  const int64_t next = static_cast<int64_t>(p.Value) + p.IncreaseValue;
  return static_cast<int>(std::clamp<int64_t>(next, 1, 1000));
}

std::string CheckProjectName(std::string_view name) {
  if (HasLineBreak(name)) throw EInvalidInput("A project name cannot contain a line break");
  const std::string trimmed(Trim(name));
  if (trimmed.empty()) throw EInvalidInput("Please enter project name");
  return trimmed;
}

std::string RepeatedNameWarning(int suffix, bool overwrite_existing) {
  if (suffix != kSuffixNone || overwrite_existing) return {};
  return "Without a suffix every backup of this project gets the same file name, and the "
         "preferences are set to skip a backup whose file name exists: every backup after the "
         "first will be refused. Choose Date or Number, or \"Overwrite without prompt\" in the "
         "preferences";
}

bool IsFileNamePart(std::string_view part) {
  const std::string_view t = Trim(part);
  if (t.find('/') != std::string_view::npos) return false;
  return t.find_first_not_of('.') != std::string_view::npos;
}

std::string CheckNewProjectName(std::string_view name) {
  std::string trimmed = CheckProjectName(name);
  // A "/" would put the proposed archive into a subfolder nobody chose, and
  // "." or ".." name folders, not files.
  if (!IsFileNamePart(trimmed)) {
    throw EInvalidInput("The project name '" + trimmed +
                        "' cannot be used: a name is part of the archive file name, so it "
                        "cannot contain \"/\" or consist of dots only");
  }
  return trimmed;
}

int FindProjectName(const std::vector<std::string>& names, std::string_view name) {
  const std::string_view wanted = Trim(name);
  for (size_t i = 0; i < names.size(); ++i) {
    if (SameText(names[i], wanted)) return static_cast<int>(i);
  }
  return -1;
}

void SortProjectNames(std::vector<std::string>& names) {
  std::stable_sort(names.begin(), names.end(), TextLessFn{});
}

ProjectList ReadProjectList(const std::filesystem::path& data_dir) {
  const ini::IniFile f = OpenProjects(data_dir);
  ProjectList list;
  for (std::string& name : f.ReadList(kCommon, "Project Count", "Count")) {
    // Two entries naming one section (case ignored) would be one project
    // shown twice; keep the first.
    if (FindProjectName(list.names, name) < 0) list.names.push_back(std::move(name));
  }
  SortProjectNames(list.names);
  list.last_project = f.ReadString(kCommon, "Last Project", "");
  return list;
}

void WriteProjectList(const std::filesystem::path& data_dir,
                      const std::vector<std::string>& names) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  WriteListTo(f, names);
  f.Save();
}

void AppendProjectToList(const std::filesystem::path& data_dir, const std::string& name,
                         int current_count) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  AppendTo(f, name, current_count);
  f.Save();
}

std::string AddProject(const std::filesystem::path& data_dir, std::string_view name,
                       BackupProject& project) {
  const std::string n = CheckNewProjectName(name);
  app::DataFolderLock lock(data_dir);
  // The name is not listed, so a ring under it belongs to no project: its
  // archives must not be handed to the new one for deletion.
  EraseRing(data_dir, n);
  ini::IniFile f = OpenProjects(data_dir);
  const int stored = f.ReadInteger(kCommon, "Project Count", 0);
  const int present = PresentEntries(f, kCommon, "Count");
  const int index = stored >= 0 && stored <= present ? stored : present;
  BackupProject written = project;
  // Nor may an orphaned section hand over its restore settings.
  f.EraseSection(n);
  WriteProjectTo(f, n, written);
  AppendTo(f, n, index);
  f.Save();
  project = std::move(written);
  return n;
}

BackupProject ReadProject(const std::filesystem::path& data_dir, std::string_view name) {
  const ini::IniFile f = OpenProjects(data_dir);
  const std::string n(Trim(name));
  BackupProject p = BackupProject::Defaults();
  p.FilenamePrefix = f.ReadString(n, "Filename prefix", "");
  p.Suffix = f.ReadInteger(n, "Suffix", p.Suffix);
  p.IncreaseValue = f.ReadInteger(n, "Increase Value", p.IncreaseValue);
  p.Value = f.ReadInteger(n, "Value", p.Value);
  p.SavePath = f.ReadString(n, "Save Path", p.SavePath);
  p.Include = f.ReadList(n, "Backup Directory Count", "Backup");
  p.Exclude = f.ReadList(n, "No Backup Directory Count", "NoBackup");
  p.IncludeSubfolders = f.ReadBool(n, "Whether include Subdirectory", p.IncludeSubfolders);
  p.UsePassword = f.ReadBool(n, "Whether password Project", p.UsePassword);
  const std::string stored = f.ReadString(n, "Password", "");
  if (p.UsePassword && !stored.empty()) {
    p.Password = app::PasswordScramble(stored, app::PasswordKey(ListSpelling(f, n)), false);
  }
  p.StorePath = f.ReadBool(n, "Whether store path in Zip", p.StorePath);
  p.StoreComment = f.ReadBool(n, "Whether store comment in Zip", p.StoreComment);
  p.Comment = f.ReadString(n, "Comment", "");
  p.BackupMode = f.ReadInteger(n, "BackupMode", p.BackupMode);
  const std::string schedule = f.ReadString(n, "StartTime_or_Increase", "");
  switch (p.BackupMode) {
    case kModeDaily:
      p.StartTime = ParseTime(schedule).value_or(0.5);
      break;
    case kModeInterval:
      p.IntervalMinutes = StrToIntDef(schedule, 5);
      break;
    case kModeWeekly:
      p.WeekDay = WeekDayFromName(schedule);
      break;
    default:
      break;
  }
  p.PackLevel = f.ReadInteger(n, "PackLevel", p.PackLevel);
  p.StoreNumber = f.ReadInteger(n, "Store Number", p.StoreNumber);
  p.UseNewer = f.ReadBool(n, "isUseNew", p.UseNewer);
  p.UseToday = f.ReadBool(n, "isUseToday", p.UseToday);
  if (const auto moment = ParseDateTime(f.ReadString(n, "NewDateTime", ""))) {
    p.NewerThan = *moment;
  }
  p.RestorePath = f.ReadString(n, "Restore path", p.RestorePath);
  p.RestoreToOrigPath = f.ReadBool(n, "Restore to orig path", p.RestoreToOrigPath);
  p.OverwriteMode = f.ReadInteger(n, "Overwrite Mode", p.OverwriteMode);
  return p;
}

void WriteProject(const std::filesystem::path& data_dir, std::string_view name,
                  BackupProject& project) {
  const std::string n = CheckProjectName(name);
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  BackupProject stored = project;
  WriteProjectTo(f, n, stored);
  f.Save();
  project = std::move(stored);
}

void EraseProject(const std::filesystem::path& data_dir, std::string_view name) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  f.EraseSection(Trim(name));
  f.Save();
}

void WriteLastNumber(const std::filesystem::path& data_dir, std::string_view name, int number) {
  const std::string n = CheckProjectName(name);
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  f.WriteInteger(n, "Value", number);
  f.Save();
}

void WriteNewerThan(const std::filesystem::path& data_dir, std::string_view name, DateTime moment) {
  const std::string n = CheckProjectName(name);
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  f.WriteString(n, "NewDateTime", FormatDateTimeFull(moment));
  f.Save();
}

void WriteRestoreKeys(const std::filesystem::path& data_dir, std::string_view name,
                      std::string_view restore_path, bool to_original_path, int overwrite_mode) {
  const std::string section(Trim(name));
  if (section.empty()) throw EInvalidInput("No project to store the restore options in");
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  f.WriteString(section, "Restore path", Trim(restore_path));
  f.WriteBool(section, "Restore to orig path", to_original_path);
  f.WriteInteger(section, "Overwrite Mode", overwrite_mode);
  f.Save();
}

std::vector<StoredSchedule> ReadSchedules(const std::filesystem::path& data_dir,
                                          const std::vector<std::string>& projects) {
  const ini::IniFile f = OpenProjects(data_dir);
  std::vector<StoredSchedule> schedules;
  schedules.reserve(projects.size());
  for (const std::string& name : projects) {
    StoredSchedule s;
    s.project = name;
    s.mode = f.ReadInteger(name, "BackupMode", kModeNone);
    s.value = f.ReadString(name, "StartTime_or_Increase", "");
    schedules.push_back(std::move(s));
  }
  return schedules;
}

app::AppSettings ReadAppSettings(const std::filesystem::path& data_dir) {
  return app::ReadAppSettings(OpenProjects(data_dir));
}

void SaveAppSettings(const std::filesystem::path& data_dir, const app::AppSettings& settings,
                     const std::vector<std::string>& project_names,
                     const std::string& last_project) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  if (project_names.empty()) {
    // The general settings are the user's whether or not a project exists;
    // the list itself and "Last Project" have nothing to say yet.
    app::WriteChangedGeneralKeys(f, settings);
    f.Save();
    return;
  }
  app::WriteCloseKeys(f, settings, last_project,
                      [&project_names](ini::IniFile& file) { WriteListTo(file, project_names); });
  f.Save();
}

void WritePreferenceKeys(const std::filesystem::path& data_dir, const app::AppSettings& settings) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  app::WritePreferenceKeys(f, settings);
  f.Save();
}

std::vector<std::string> ReadWildcardList(const std::filesystem::path& data_dir) {
  std::vector<std::string> patterns;
  try {
    const ini::IniFile f = OpenProjects(data_dir);
    const int total = f.ReadInteger(kCommon, kWildcardTotal, 0);
    const int present = PresentEntries(f, kCommon, kWildcardItem);
    for (int i = 0; i < total && i < present; ++i) {
      std::string p(f.ReadString(kCommon, kWildcardItem + std::to_string(i), ""));
      if (!Trim(p).empty()) patterns.push_back(std::move(p));
    }
  } catch (const std::exception&) {
    // An unreadable file offers no patterns rather than failing the picker.
    patterns.clear();
  }
  return patterns;
}

void WriteWildcardList(const std::filesystem::path& data_dir,
                       const std::vector<std::string>& patterns) {
  app::DataFolderLock lock(data_dir);
  ini::IniFile f = OpenProjects(data_dir);
  f.WriteList(kCommon, kWildcardTotal, kWildcardItem, patterns);
  f.Save();
}

void DeleteProject(const std::filesystem::path& data_dir, std::vector<std::string>& names,
                   std::string_view name) {
  app::DataFolderLock lock(data_dir);
  std::vector<std::string> remaining = names;
  const int index = FindProjectName(remaining, name);
  if (index >= 0) remaining.erase(remaining.begin() + index);
  ini::IniFile projects = OpenProjects(data_dir);
  projects.EraseSection(Trim(name));
  WriteListTo(projects, remaining);
  projects.Save();
  names = std::move(remaining);
  // The ring goes last: should this save fail, a leftover ring only keeps
  // archives that no project would delete anyway.
  EraseRing(data_dir, Trim(name));
}

NameChange RenameProject(const std::filesystem::path& data_dir, std::vector<std::string>& names,
                         std::string_view old_name, std::string_view new_name,
                         BackupProject& page) {
  const std::string from(Trim(old_name));
  const std::string to = CheckNewProjectName(new_name);
  if (SameText(from, to)) return NameChange::kSameProject;
  if (FindProjectName(names, to) >= 0) return NameChange::kNameExists;
  app::DataFolderLock lock(data_dir);

  std::vector<std::string> renamed = names;
  const int index = FindProjectName(renamed, from);
  if (index >= 0) {
    renamed[static_cast<size_t>(index)] = to;
  } else {
    renamed.push_back(to);
  }
  SortProjectNames(renamed);

  // One save carries the new section, the new list and the removal of the
  // old section: the project is never without a section on disk. A section
  // of the new name that no listed project owns is leftover data and goes,
  // so the renamed project starts with default restore keys.
  ini::IniFile projects = OpenProjects(data_dir);
  BackupProject stored = page;
  projects.EraseSection(to);
  WriteProjectTo(projects, to, stored);
  WriteListTo(projects, renamed);
  projects.EraseSection(from);
  projects.Save();
  names = std::move(renamed);
  page = std::move(stored);

  // Only "Max", "Head" and the slots in use move: a stale slot above "Max"
  // would name an archive for deletion once the ring grew over it.
  MoveRing(data_dir, from, to);
  return NameChange::kDone;
}

NameChange CopyProject(const std::filesystem::path& data_dir, std::vector<std::string>& names,
                       std::string_view selected, std::string_view new_name, BackupProject& page) {
  const std::string to = CheckNewProjectName(new_name);
  if (SameText(Trim(selected), to)) return NameChange::kSameProject;
  if (FindProjectName(names, to) >= 0) return NameChange::kNameExists;
  app::DataFolderLock lock(data_dir);

  std::vector<std::string> with_copy = names;
  with_copy.push_back(to);
  SortProjectNames(with_copy);

  ini::IniFile projects = OpenProjects(data_dir);
  BackupProject stored = page;
  projects.EraseSection(to);  // leftovers of an earlier project of that name
  WriteListTo(projects, with_copy);
  WriteProjectTo(projects, to, stored);
  projects.Save();
  names = std::move(with_copy);
  page = std::move(stored);
  EraseRing(data_dir, to);
  return NameChange::kDone;
}

}  // namespace zb::backup
