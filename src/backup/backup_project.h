#pragma once

// The backup project record and the store of "project.ini". Every read and
// write of that file goes through the functions below: the projects and
// their list, the application settings of [Common], the shared wildcard
// list, the schedule keys and the restore keys. Nothing else opens it.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_settings.h"
#include "base/date_time.h"

namespace zb::backup {

// How an archive name continues after the prefix ("Suffix").
inline constexpr int kSuffixNone = 0;
inline constexpr int kSuffixDate = 1;
inline constexpr int kSuffixNumber = 2;

// When a project runs by itself ("BackupMode").
inline constexpr int kModeDaily = 0;
inline constexpr int kModeInterval = 1;
inline constexpr int kModeWeekly = 2;
inline constexpr int kModeNone = 3;

// The settings of one backup project: one key each of its section in
// "project.ini". Defaults are those of a missing key.
struct BackupProject {
  std::string FilenamePrefix;        // "Filename prefix"
  int Suffix = kSuffixNumber;        // "Suffix"
  int IncreaseValue = 1;             // "Increase Value": step per run
  int Value = 1;                     // "Value": number of the LAST archive
  std::string SavePath;              // "Save Path"; default: home folder
  std::vector<std::string> Include;  // "Backup Directory Count" + "Backup" i
  std::vector<std::string> Exclude;  // "No Backup Directory Count" + "NoBackup" i
  bool IncludeSubfolders = true;     // "Whether include Subdirectory"
  bool UsePassword = true;           // "Whether password Project"
  std::string Password;              // "Password", plain (scrambled on disk)
  bool StorePath = true;             // "Whether store path in Zip"
  bool StoreComment = true;          // "Whether store comment in Zip"
  std::string Comment;               // "Comment", exactly as typed
  int BackupMode = kModeNone;        // "BackupMode"
  // "StartTime_or_Increase", parsed by mode on reading and formatted by
  // mode on writing:
  DateTime StartTime = 0.5;  // mode 0: time of day (12:00:00)
  int IntervalMinutes = 5;   // mode 1
  int WeekDay = 0;           // mode 2: 1 Sunday .. 7 Saturday, 0 none
  int PackLevel = 6;         // "PackLevel"
  int StoreNumber = 50;      // "Store Number": archives kept
  bool UseNewer = false;     // "isUseNew"
  bool UseToday = false;     // "isUseToday"
  DateTime NewerThan = 0;    // "NewDateTime"; default: now
  // Restore keys: read here, written only by the restore run.
  std::string RestorePath;        // "Restore path"; default: home folder
  bool RestoreToOrigPath = true;  // "Restore to orig path"
  int OverwriteMode = 2;          // "Overwrite Mode"

  // A project with every default (SavePath and RestorePath the home
  // folder, NewerThan now).
  [[nodiscard]] static BackupProject Defaults();
};

// The English day names of "StartTime_or_Increase" in mode 2, Sunday first.
[[nodiscard]] std::string_view WeekDayName(int day);       // "" outside 1..7
[[nodiscard]] int WeekDayFromName(std::string_view name);  // 0 when unknown

// Brings the numbers into the ranges a run relies on: step 1..1000, the last
// number so that the next one (last + step) lies in 1..1000 (the last number
// itself may be below 1: a new project with step 5 starting at 1 stores -4),
// keep count 2..50000, level 0..9, an unknown suffix mode becomes Number.
void ClampForRun(BackupProject& project);
// Why every run of a project after its first would be refused, or empty:
// with the suffix None each run names the same archive, and with
// `overwrite_existing` false a run whose archive exists stops.
[[nodiscard]] std::string RepeatedNameWarning(int suffix, bool overwrite_existing);
// The number of the next archive: last number plus step, limited to 1..1000.
[[nodiscard]] int NextNumber(const BackupProject& project);

// ---- Names ------------------------------------------------------------------

// The stored form of a name (trimmed). Throws zb::EInvalidInput when it is
// empty or holds a line break or NUL.
[[nodiscard]] std::string CheckProjectName(std::string_view name);
// A new project's name (wizard, Rename, Copy): CheckProjectName, and the
// name must be able to stand in a file name, since the wizard proposes it as
// the archive prefix: no "/" and not dots only. Throws zb::EInvalidInput
// with a message for the user. Existing projects are not held to this.
[[nodiscard]] std::string CheckNewProjectName(std::string_view name);
// Whether `part` (a prefix or name, trimmed) can be part of a file name in
// the archive folder: no "/" and not made of dots only.
[[nodiscard]] bool IsFileNamePart(std::string_view part);
// The message for an archive prefix that fails IsFileNamePart.
inline constexpr char kBadPrefixMessage[] =
    "The prefix of backup filename cannot contain \"/\" or consist of dots only";

// Index of `name` in `names` ignoring case, or -1.
[[nodiscard]] int FindProjectName(const std::vector<std::string>& names, std::string_view name);
// Sorts without regard to case (stable, so equal names keep their order).
void SortProjectNames(std::vector<std::string>& names);

// ---- The store (all in `data_dir`/project.ini) ---------------------------------
// Readers never fail on content: a missing file, section or key gives the
// defaults. Writers hold the data-folder lock (zb::ELocked when another
// process has it), change the file in ONE atomic save (zb::EWriteError and
// nothing changed when it fails) and refuse values that cannot be stored
// (zb::EInvalidInput, nothing written).

struct ProjectList {
  std::vector<std::string> names;  // sorted without regard to case
  std::string last_project;
};
// Empty entries and repeated names (case ignored) are left out.
[[nodiscard]] ProjectList ReadProjectList(const std::filesystem::path& data_dir);
void WriteProjectList(const std::filesystem::path& data_dir, const std::vector<std::string>& names);
// The wizard's append: "Last Project" = name, count c + 1, "Count" c = name.
void AppendProjectToList(const std::filesystem::path& data_dir, const std::string& name,
                         int current_count);
// The wizard's Finish: stores `project` under the checked `name` and appends
// the name to the stored list, in one save. The stored "Project Count" is
// where the name goes (entries the reader skips, empty or repeated names,
// are not overwritten), unless it points past every stored entry; then the
// name follows the last entry present. A section or ring left under the
// name by a project no longer listed is dropped first. `project` becomes
// what was stored. Returns the stored name.
std::string AddProject(const std::filesystem::path& data_dir, std::string_view name,
                       BackupProject& project);

[[nodiscard]] BackupProject ReadProject(const std::filesystem::path& data_dir,
                                        std::string_view name);
// Overwrites the project's keys in place (the section is never erased
// first). Updates `project` to what was stored: the prefix trimmed, the
// password and comment emptied when they are not written.
void WriteProject(const std::filesystem::path& data_dir, std::string_view name,
                  BackupProject& project);
void EraseProject(const std::filesystem::path& data_dir, std::string_view name);
void WriteLastNumber(const std::filesystem::path& data_dir, std::string_view name, int number);
void WriteNewerThan(const std::filesystem::path& data_dir, std::string_view name, DateTime moment);
// The restore keys, which only a restore writes: "Restore path" (trimmed),
// "Restore to orig path" and "Overwrite Mode", in the section of the trimmed
// `name`. Throws zb::EInvalidInput for a blank name.
void WriteRestoreKeys(const std::filesystem::path& data_dir, std::string_view name,
                      std::string_view restore_path, bool to_original_path, int overwrite_mode);

// One project's schedule keys as they stand: "BackupMode" and
// "StartTime_or_Increase", unparsed.
struct StoredSchedule {
  std::string project;
  int mode = kModeNone;
  std::string value;
};
// The schedule keys of `projects`, in their order, from one load.
[[nodiscard]] std::vector<StoredSchedule> ReadSchedules(const std::filesystem::path& data_dir,
                                                        const std::vector<std::string>& projects);

// ---- Application settings and the wildcard list ([Common]) -------------------

// Every setting; a missing file or key gives the default.
[[nodiscard]] app::AppSettings ReadAppSettings(const std::filesystem::path& data_dir);
// The close-time write, in one save: the keys in their fixed order with
// "Last Project" = `last_project` and the project list; when
// `project_names` is empty, only the general settings that differ from the
// stored ones (so an unchanged or absent file stays as it is).
// `settings.LastProject` is ignored in favour of `last_project`.
void SaveAppSettings(const std::filesystem::path& data_dir, const app::AppSettings& settings,
                     const std::vector<std::string>& project_names,
                     const std::string& last_project);
// Every key the Preferences dialog edits, in one save (OK and Apply).
void WritePreferenceKeys(const std::filesystem::path& data_dir, const app::AppSettings& settings);

// The patterns shared by every wildcard picker, in the user's order:
// "Wildcard Total" entries "Wildcard0".., empty or missing entries skipped.
// A missing or unreadable file reads as an empty list; never throws.
[[nodiscard]] std::vector<std::string> ReadWildcardList(const std::filesystem::path& data_dir);
// Stores `patterns` as the list. Keys at or beyond the new total stay in the
// file (they are never read).
void WriteWildcardList(const std::filesystem::path& data_dir,
                       const std::vector<std::string>& patterns);

// ---- Project commands -------------------------------------------------------

enum class NameChange {
  kDone,
  kSameProject,  // the new name is the project itself (case ignored): nothing done
  kNameExists,   // another project has the name: nothing done
};

// Removes `name` from `names` and the store, and its retention ring from
// "StoreNumber.txt". The archives stay.
void DeleteProject(const std::filesystem::path& data_dir, std::vector<std::string>& names,
                   std::string_view name);
// Renames `old_name` to `new_name` (trimmed) and writes `page` under it. The
// new section and list are stored together with the removal of the old
// section in one save, so a failure leaves the project as it was. The
// restore keys start over at their defaults; the ring moves along.
[[nodiscard]] NameChange RenameProject(const std::filesystem::path& data_dir,
                                       std::vector<std::string>& names, std::string_view old_name,
                                       std::string_view new_name, BackupProject& page);
// Adds `new_name` (trimmed) to the list and writes `page` under it; the copy
// has no ring and no restore keys. `selected` is the project being copied.
[[nodiscard]] NameChange CopyProject(const std::filesystem::path& data_dir,
                                     std::vector<std::string>& names, std::string_view selected,
                                     std::string_view new_name, BackupProject& page);

}  // namespace zb::backup
