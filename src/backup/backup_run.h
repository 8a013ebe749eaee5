#pragma once

// The backup run: one project in, one verified archive out, with its report,
// log line, retention ring and stored number. The desktop window (toolbar,
// tray, scheduler) and zipbackup-cli both call RunBackup; neither holds any
// run logic of its own.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_settings.h"
#include "app/run_progress.h"
#include "backup/archive_naming.h"
#include "backup/backup_project.h"
#include "base/date_time.h"

namespace zb {
class FileOps;
class UserInteraction;
class WritableFileFactory;
namespace app {
class ActivityLog;
}
}  // namespace zb

namespace zb::backup {

// Earlier versions wrote a run's archive under a name of this form
// (kRunTempMarker + 8 random characters) before checking it; a run still
// removes such leftovers of killed runs from its destination folder.
inline constexpr char kRunTempMarker[] = ".zbrun-";
[[nodiscard]] bool IsRunTempName(std::string_view file_name);

enum class RunStatus {
  kNotStarted,       // declined at the question; nothing shown or logged
  kSucceeded,        // the archive exists under its name and was checked
  kNothingToBackUp,  // the sources hold no file to store (none changed): no archive
  kInterrupted,      // stopped before writing (folder, existing archive) or by the user
  kFailed,           // a check, the writer or the verification failed
};

// The points of a run past which its state on disk differs; the order of the
// steps and what each point leaves are told in backup_run.cc.
enum class RunStep {
  kMarked,    // the archive is checked and noted as pending, not yet named
  kPlaced,    // the archive has its name; ring and number do not know it
  kRecorded,  // the ring holds it; number and newer-than moment not written
  kCounted,   // all written but the pending note
};

struct LeftOutFile {
  std::string path;
  std::string reason;
};

struct BackupRunRequest {
  std::filesystem::path data_dir;
  std::string project_name;
  // The project as the page holds it; the run works on a copy brought into
  // range (ClampForRun).
  BackupProject project;
  // The archive name box; nullopt takes NextArchiveName of the project.
  std::optional<std::string> file_name;
  // The password confirmation box; nullopt means "same as the password"
  // (a stored project, as the scheduler and the CLI run it).
  std::optional<std::string> confirm_password;
  app::AppSettings settings;
  // Started by the scheduler (or the CLI): no question is asked, and every
  // message closes by itself and leaves a log line.
  bool scheduled = false;
};

// The seams of a run. `ui` and `log` must outlive the call.
// The window's side of a run (progress, pump, stop) comes with RunProgress.
struct BackupRunHooks : app::RunProgress {
  UserInteraction* ui = nullptr;
  app::ActivityLog* log = nullptr;
  // Date mode: the archive name of this run, as soon as it is known, so the
  // name box carries the time of the run while it works.
  std::function<void(const std::string& path)> on_archive_name;
  // The current local time; default Now().
  std::function<DateTime()> clock;
  // Tests: where the writer opens its output (a full-disk double).
  WritableFileFactory* output_factory = nullptr;
  // Tests: the writes of the ring file (a full-disk double).
  FileOps* data_file_ops = nullptr;
  // Tests: called as the run passes each point (a test may end the process
  // there, as a power cut would).
  std::function<void(RunStep)> at_step;
};

struct BackupRunResult {
  RunStatus status = RunStatus::kNotStarted;
  // Failure or interruption: the reason as shown; success: the report.
  std::string message;
  std::string archive_path;
  int file_count = 0;
  uint64_t archive_size = 0;
  std::vector<LeftOutFile> left_out;
  // The archive entered the retention ring; these archives were deleted.
  bool recorded = false;
  // Archives an earlier, interrupted run left: kept into the ring, or found
  // under this run's name without a record and moved to these paths.
  std::vector<std::string> adopted;
  std::vector<std::string> set_aside;
  std::vector<std::string> deleted;
  // The project after the run: "Value" and "NewerThan" advanced on success.
  BackupProject project;
  // What the archive name box shows after the run.
  std::string next_file_name;
  // Writes after the archive was made that failed (project.ini, log.txt);
  // each was reported to the user too.
  std::vector<std::string> late_errors;
};

// Runs one backup. Throws nothing for the failures of a run (they are in the
// result, shown through `ui` and logged as the run's rules say); only a
// missing `ui` or `log` (a programming error) throws std::invalid_argument.
// Calls `pump` while it works.
[[nodiscard]] BackupRunResult RunBackup(const BackupRunRequest& request, BackupRunHooks& hooks);

// The request that runs the stored project `name` (case ignored) of
// `data_dir` with `settings`: its stored settings, the computed archive
// name, marked as scheduled. Throws zb::EInvalidInput when there is no such
// project.
[[nodiscard]] BackupRunRequest StoredProjectRequest(const std::filesystem::path& data_dir,
                                                    std::string_view name,
                                                    const app::AppSettings& settings);

// Runs the stored project `name` of `data_dir` as the scheduler starts it,
// with the stored application settings: no question, self-closing
// messages. Throws like StoredProjectRequest.
[[nodiscard]] BackupRunResult RunStoredProject(const std::filesystem::path& data_dir,
                                               std::string_view name, BackupRunHooks& hooks);

// Reports a scheduled start that failed before its run could begin (the
// project could not be read or shown): the self-closing error box, so no
// click is awaited, and a "Fails" line for the project. A log that cannot
// be written is left out silently: the box has already told the user.
void ReportScheduledFailure(UserInteraction& ui, app::ActivityLog& log, std::string_view project,
                            std::string_view text);

// The naming options of the settings ("Is Append 0", "Width").
[[nodiscard]] NamingOptions NamingFrom(const app::AppSettings& settings);

}  // namespace zb::backup
