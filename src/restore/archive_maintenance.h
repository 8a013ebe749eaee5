#pragma once

// The Restore page's archive commands without their widgets: import, export,
// delete, add files to an archive, remove entries from it, and the answer of
// the incomplete-archive dialog. The page picks files and folders with its
// own dialogs and hands the choices here.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "restore/archive_list.h"
#include "zip/zip_reader.h"

namespace zb {
class UserInteraction;
namespace app {
class ActivityLog;
}
namespace zip {
class TZipWriter;
}
}  // namespace zb

namespace zb::restore {

struct MaintenanceHooks {
  UserInteraction* ui = nullptr;    // must outlive the call
  app::ActivityLog* log = nullptr;  // may be null: no log line
  std::function<void()> pump;
  std::function<void(bool running)> set_running;  // busy state and progress strip
  std::function<void(int percent)> on_total_percent;
  std::function<void(int percent)> on_file_percent;
};

enum class CopyOutcome {
  kCopied,
  kDeclined,  // the target existed and the user kept it
  kFailed,    // the copy failed: an error was shown, the target is as it was
};

// Copies `source` into `dest_folder` under its own file name. The copy goes
// to a temporary name in the target folder and is renamed over the target
// only when complete and flushed, so a failure never costs the old file;
// an existing target is replaced only after "File already exists! Do you
// want to overwrite?". Throws nothing: failures are shown and returned.
[[nodiscard]] CopyOutcome CopyArchiveFile(const std::string& source, const std::string& dest_folder,
                                          UserInteraction& ui, std::string* error = nullptr);

// Import: `source` into the zip folder, with its report and "Import" log
// line. The caller refreshes the archive list whatever the outcome.
CopyOutcome ImportArchive(const std::string& source, std::string_view zip_folder,
                          std::string_view project, MaintenanceHooks& hooks);
// Export: the archive `name` of the zip folder into `dest_folder`, with its
// report and "Export" log line.
CopyOutcome ExportArchive(std::string_view zip_folder, std::string_view name,
                          const std::string& dest_folder, std::string_view project,
                          MaintenanceHooks& hooks);

// "Do you want to delete the " + count + " files ".
[[nodiscard]] std::string DeleteQuestion(size_t count);

// Deletes the chosen archives of the zip folder after the question (asked
// about max(1, names.size()) files). Blank names and names that are not
// plain file names are never deleted; failures are left as they are.
// Returns the number deleted; the caller refreshes the list either way.
int DeleteArchives(std::string_view zip_folder, const std::vector<std::string>& names,
                   UserInteraction& ui);

// The Backup page's settings that adding files uses.
struct AddSettings {
  bool recurse = false;
  bool store_paths = true;
  bool use_password = false;
  std::string password;
  int pack_level = 6;
};

struct AddResult {
  int stored = 0;
  std::vector<std::string> left_out;  // "path: reason"
};

// Adds `files` to the archive (an update: a file replaces the entry of its
// stored name only when newer). No exclusion list applies, so a file picked
// by hand is always taken, and no backup filter, report or ring is
// involved. Throws the writer's errors; the archive then stays as it was.
AddResult AddFilesToArchive(zip::TZipWriter& writer, const std::string& archive_path,
                            const std::vector<std::string>& files, const AddSettings& settings,
                            MaintenanceHooks& hooks);

// Removes exactly the entries of `rows` (by their stored names, never as
// patterns) after the question; returns the count removed, 0 when declined.
// Throws the writer's errors; the archive then stays as it was.
int RemoveEntriesFromArchive(zip::TZipWriter& writer, const std::string& archive_path,
                             const std::vector<EntryRow>& rows, MaintenanceHooks& hooks);

// The incomplete-archive dialog.
inline constexpr char kIncompleteCaption[] = "Incomplete Zip file!";
inline constexpr char kIncompleteText1[] =
    "This zip file is not complete.  It may be part of a muliple part zip file.  If so, insert "
    "the last disk of the disk set and then press the MultiZip button.";
inline constexpr char kIncompleteText2[] =
    "If you think it may be a corrupted zip file, press the Recover button and an attempt will "
    "be made to read as much of the zip file as possible.";
enum class IncompleteAnswer { kMultiZip, kRecover, kCancel };
[[nodiscard]] zip::TIncompleteZipMode IncompleteModeFor(IncompleteAnswer answer);

}  // namespace zb::restore
