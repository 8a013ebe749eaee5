#pragma once

// The restore run: a whole archive or chosen entries back onto disk, into
// their stored folders or into one folder, under one of five overwrite
// policies, with its confirmation, report, log line and the project's
// restore options saved afterwards. The Restore page and zipbackup-cli both
// call RunRestore; neither holds any run logic of its own.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_progress.h"
#include "app/user_interaction.h"
#include "base/date_time.h"
#include "restore/archive_list.h"
#include "zip/zip_reader.h"

namespace zb {
class WritableFileFactory;
namespace app {
class ActivityLog;
}
}  // namespace zb

namespace zb::restore {

// The stored numbers of "Overwrite Mode" (not the reader's numbering).
inline constexpr int kOverwriteAlways = 0;
inline constexpr int kOverwritePrompt = 1;
inline constexpr int kOverwriteNever = 2;
inline constexpr int kOverwriteNewer = 3;
inline constexpr int kOverwriteOlder = 4;

// The caption of the radio of a stored mode; "" for a number none has.
[[nodiscard]] std::string_view OverwriteCaption(int mode);
// The number saved for a page state: the mode itself, 2 when none is checked.
[[nodiscard]] int StoredOverwriteMode(int mode);

// The "Options" group of the Restore page.
struct RestoreOptions {
  std::string extract_to;                // "Extract to:", as typed
  bool use_original_folder = true;       // "Use Original Folder Name"
  int overwrite_mode = kOverwriteNever;  // stored number; others keep the reader's policy
  std::string password;                  // "Input Password ( If has )", as typed
};

// Reads the three restore keys of `project` (defaults when missing).
[[nodiscard]] RestoreOptions LoadRestoreOptions(const std::filesystem::path& data_dir,
                                                std::string_view project);
// Writes "Restore path" (trimmed), "Restore to orig path" and "Overwrite Mode"
// into the section of the trimmed project name in one atomic save, under
// the data-folder lock. Throws zb::EWriteError, zb::ELocked, zb::EInvalidInput.
void SaveRestoreOptions(const std::filesystem::path& data_dir, std::string_view project,
                        const RestoreOptions& options);

struct RestoreRequest {
  std::filesystem::path data_dir;
  // The project box's text: names the log line's project and the section the
  // options are saved to (nothing is saved when it is blank).
  std::string project;
  std::string zip_folder;    // as the folder box holds it (trimmed here)
  std::string archive_name;  // the selected archive; blank means none
  RestoreOptions options;
  // False: restore exactly the entries of `selected` (by identity), and
  // those that `patterns` match.
  bool whole_archive = true;
  std::vector<EntryRow> selected;
  std::vector<std::string> patterns;
  bool confirm = true;  // ask the four-line question first
};

// What one restore leaves for the next from the same page: the overwrite
// policy of a restore without a checked radio, and the password a blank
// field stands for (the one the last restore used, after any retry).
struct RestoreMemory {
  zip::TUZOverwriteMode overwrite_mode = zip::TUZOverwriteMode::Prompt;
  std::string password;
};

// The seams of a run. `ui` must outlive the call; `log` may be null (no
// log line). `reader` is the window's long-lived reader, whose loaded
// directory the run reuses (null: the run uses its own); `memory` is the
// page's (null: the defaults, and nothing is kept).
// The window's side of a run comes with RunProgress; its `interrupted` stops
// the run at the next block (the program is closing on a signal): the entry
// being written is dropped, the run is logged "Interrupt" and no report is
// shown.
struct RestoreHooks : app::RunProgress {
  UserInteraction* ui = nullptr;
  app::ActivityLog* log = nullptr;
  zip::TZipReader* reader = nullptr;
  RestoreMemory* memory = nullptr;
  // Tests: where restored files are written (a full-disk double).
  WritableFileFactory* output_factory = nullptr;
  // An archive without an end record: the incomplete-archive dialog's
  // answer. Unset takes the archive for part of a multi-disk set.
  std::function<void(zip::TIncompleteZipMode& mode)> on_incomplete;
  // The "Prompt Before  Overwrite" question (OverwriteQuestion): Yes
  // replaces the file, No keeps it, Yes to All and No to All answer every
  // later file of the run alike, Cancel ends the run after the files
  // restored so far. Unset asks through `ui` (Ask).
  std::function<Button(const Question& question)> ask_overwrite;
  // A spanned archive's disk request (OK and Cancel): false cancels.
  // Unset asks through `ui` (AskOkCancel).
  std::function<bool(const std::string& question)> ask_next_disk;
  // Every entry left out or failed, policy skips included.
  std::function<void(const zip::EntryProblem&)> on_problem;
};

enum class RestoreStatus {
  kNoArchive,    // no archive selected
  kNotStarted,   // declined at the question
  kUnreadable,   // the archive could not be read: error shown, nothing logged or saved
  kSucceeded,    // every chosen entry restored or left out by the policy
  kFailed,       // a wrong password, an entry that failed, or an early end
  kInterrupted,  // stopped by `interrupted`: logged, nothing shown
};

struct RestoreResult {
  RestoreStatus status = RestoreStatus::kNotStarted;
  // Cancel in the overwrite question ended the run (status kInterrupted).
  bool cancelled = false;
  std::string archive_path;
  int restored = 0;
  int failed = 0;  // entries that failed (policy skips are not failures)
  int kept = 0;    // entries the overwrite policy or a read-only file kept out
  bool bad_password = false;
  // The reader warned about the archive as a whole (a directory rebuilt by
  // scanning may lack entries): the run cannot be called complete.
  bool damaged_archive = false;
  std::string error;                     // the error that ended the run early, if any
  std::string report;                    // the text of the self-closing report
  std::vector<std::string> late_errors;  // options or log that could not be written
};

// The folder a restore extracts into: the trimmed "Extract to:" text, or the
// home folder when that is blank (never the file system's root by accident).
[[nodiscard]] std::string ExtractFolder(const RestoreOptions& options);
// The four-line confirmation (lines joined by a single CR); it names the
// folder that will be used.
[[nodiscard]] std::string ConfirmationText(const RestoreRequest& request);

// What both files of an overwrite question are.
struct ExistingFileChoice {
  std::string existing_path;
  uint64_t existing_size = 0;
  DateTime existing_time = 0;
  std::string entry_name;  // the stored name in the archive
  uint64_t entry_size = 0;
  DateTime entry_time = 0;
};
// The overwrite question: both files with size and date, the buttons Yes,
// No, Yes to All, No to All and Cancel (No on Enter, Cancel on Escape),
// caption "File Exists Alert".
[[nodiscard]] Question OverwriteQuestion(const ExistingFileChoice& choice);

// Runs one restore. Failures of the run are in the result and were shown
// through `ui`; nothing is thrown for them. Calls `pump` while it works.
[[nodiscard]] RestoreResult RunRestore(const RestoreRequest& request, RestoreHooks& hooks);

}  // namespace zb::restore
