#include "restore/archive_maintenance.h"

#include <cerrno>
#include <optional>
#include <vector>

#include "app/activity_log.h"
#include "app/user_interaction.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "platform/replacing_file.h"
#include "zip/zip_writer.h"

namespace zb::restore {
namespace {

constexpr int kReportSeconds = 6;
constexpr size_t kCopyBlock = 1 << 20;

// Copies the bytes of `source` into a new temporary file beside `target`;
// `stamp` gets the source's time and permissions for the copy.
ReplacingFile CopyToTemp(const std::string& source, const std::string& target, FileInfo* stamp) {
  File in = File::OpenRead(source);
  ReplacingFile out = ReplacingFile::Create(target);
  std::vector<std::byte> buf(kCopyBlock);
  for (;;) {
    size_t n = in.Read(buf);
    if (n == 0) break;
    out.Write(std::span<const std::byte>(buf.data(), n));
  }
  *stamp = FStat(in);
  return out;
}

void AddLog(MaintenanceHooks& hooks, std::string_view operation, std::string_view project,
            const std::string& information) {
  if (!hooks.log) return;
  try {
    hooks.log->Add(operation, "Succeeds", Trim(project), information);
  } catch (const std::exception& e) {
    hooks.ui->ShowError(e.what());
  }
}

CopyOutcome CopyWithReport(std::string_view operation, const std::string& source,
                           const std::string& dest_folder, std::string_view project,
                           MaintenanceHooks& hooks) {
  std::string error;
  CopyOutcome outcome = CopyArchiveFile(source, dest_folder, *hooks.ui, &error);
  if (outcome != CopyOutcome::kCopied) return outcome;
  // The report names the folder without its trailing separator, the log
  // line the folder part of the target path, separator included.
  const std::string folder(Trim(dest_folder));
  std::string op(operation);
  hooks.ui->ShowTimedMessage(
      op + " '" + source + "' to '" + ExcludeTrailingSeparator(folder) + "' Successful!",
      MessageKind::kInformation, kReportSeconds);
  AddLog(hooks, operation, project,
         op + " '" + source + "' to '" + IncludeTrailingSeparator(folder) + "'");
  return outcome;
}

}  // namespace

CopyOutcome CopyArchiveFile(const std::string& source, const std::string& dest_folder,
                            UserInteraction& ui, std::string* error) {
  std::string folder(Trim(dest_folder));
  std::string target = IncludeTrailingSeparator(folder) + ExtractFileName(source);
  try {
    // A blank folder would put the copy at the root of the file system.
    if (folder.empty()) throw EInvalidInput("No folder to copy " + source + " into");
    FileInfo src = Stat(source);
    if (!src.IsRegular()) throw EOSError("Unable to open", source, src.Exists() ? EISDIR : ENOENT);
    auto may_replace = [&]() -> std::optional<CopyOutcome> {
      FileInfo dst = Stat(target);
      if (!ui.AskYesNo("File already exists! Do you want to overwrite?", MessageKind::kWarning)) {
        return CopyOutcome::kDeclined;
      }
      if (SameFile(src, dst)) return CopyOutcome::kCopied;  // already the same file
      if (!dst.IsRegular()) throw EOSError("Unable to replace", target, EISDIR);
      return std::nullopt;
    };
    bool replace = false;
    if (Stat(target).Exists()) {
      if (auto answer = may_replace()) return *answer;
      replace = true;
    }
    FileInfo stamp;
    ReplacingFile copy = CopyToTemp(source, target, &stamp);
    // The copy takes the source's permissions, so an archive exported to a
    // shared folder stays readable and a private one stays private.
    const mode_t mode = stamp.mode & 0777;
    if (replace) {
      copy.Commit(mode, stamp.mtime);
    } else if (!copy.CommitNoReplace(mode, stamp.mtime)) {
      // The name was taken while the copy ran: the question is owed now.
      if (auto answer = may_replace()) return *answer;
      copy.Commit();
    }
    return CopyOutcome::kCopied;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    ui.ShowError(e.what());
    return CopyOutcome::kFailed;
  }
}

CopyOutcome ImportArchive(const std::string& source, std::string_view zip_folder,
                          std::string_view project, MaintenanceHooks& hooks) {
  // Only an archive belongs in the zip folder: its directory must read.
  // A missing or unreadable source is left to the copy, which names it.
  if (const FileInfo info = Stat(source); info.IsRegular()) {
    try {
      // The reader takes an empty file for a new archive without entries;
      // as an import it is no archive at all.
      if (info.size == 0) throw EBadZipFile();
      zip::TZipReader reader;
      // No end record is no archive here: nobody is asked for disks.
      zip::TReadOptions o;
      o.IncompleteZipMode = zip::TIncompleteZipMode::izAssumeNotAZip;
      reader.SetZipName(source);
      reader.ReadDirectory(o);
    } catch (const std::exception& e) {
      hooks.ui->ShowError(e.what());
      return CopyOutcome::kFailed;
    }
  }
  return CopyWithReport("Import", source, std::string(Trim(zip_folder)), project, hooks);
}

CopyOutcome ExportArchive(std::string_view zip_folder, std::string_view name,
                          const std::string& dest_folder, std::string_view project,
                          MaintenanceHooks& hooks) {
  if (Trim(name).empty()) return CopyOutcome::kDeclined;
  return CopyWithReport("Export", ArchivePath(zip_folder, Trim(name)), dest_folder, project, hooks);
}

std::string DeleteQuestion(size_t count) {
  return "Do you want to delete the " + IntToStr(static_cast<int64_t>(count)) + " files ";
}

int DeleteArchives(std::string_view zip_folder, const std::vector<std::string>& names,
                   UserInteraction& ui) {
  size_t n = names.empty() ? 1 : names.size();
  if (!ui.AskYesNo(DeleteQuestion(n), MessageKind::kWarning)) return 0;
  // A blank folder names no folder; the root is never meant.
  if (Trim(zip_folder).empty()) return 0;
  int deleted = 0;
  for (const auto& raw : names) {
    std::string name(Trim(raw));
    // Only a plain file name of the zip folder: a blank row must never turn
    // into the folder itself, nor a crafted name into a path elsewhere.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      continue;
    }
    std::string path = ArchivePath(zip_folder, name);
    try {
      // A link is removed as a link; a folder is never removed.
      FileInfo info = LStat(path);
      if (info.Exists() && !info.IsDirectory() && RemoveFile(path)) ++deleted;
    } catch (const std::exception&) {
      // Left as it is; the refreshed list shows it again.
    }
  }
  return deleted;
}

namespace {

// The busy state and progress strip for one maintenance call, undone
// whatever happens.
struct Busy {
  explicit Busy(MaintenanceHooks& h) : hooks(h) {
    if (hooks.set_running) hooks.set_running(true);
  }
  ~Busy() {
    if (hooks.set_running) hooks.set_running(false);
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  MaintenanceHooks& hooks;
};

// Progress and pump of a maintenance call. No backup filter, report or
// retention ring is involved: those belong to a backup run's own events.
zip::TZipEvents EventsOf(const MaintenanceHooks& hooks) {
  zip::TZipEvents ev;
  ev.OnTotalPercentDone = hooks.on_total_percent;
  ev.OnFilePercentDone = hooks.on_file_percent;
  ev.Pump = hooks.pump;
  return ev;
}

}  // namespace

AddResult AddFilesToArchive(zip::TZipWriter& writer, const std::string& archive_path,
                            const std::vector<std::string>& files, const AddSettings& settings,
                            MaintenanceHooks& hooks) {
  AddResult result;
  if (files.empty()) return result;
  zip::TZipOptions o;
  o.ZipName = archive_path;
  o.Recurse = settings.recurse;
  o.StorePaths = settings.store_paths;
  std::string pw(Trim(settings.password));
  o.Password = settings.use_password && !pw.empty() ? pw : std::string();
  o.PackLevel = settings.pack_level;
  o.AddDirEntriesOnRecurse = false;
  o.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
  // No exclusion list: a file picked by hand is always taken.
  o.FilesList = files;
  zip::TZipEvents ev = EventsOf(hooks);
  ev.OnFileProblem = [&](const std::string& path, zip::FileProblem problem,
                         const std::string& detail) {
    std::string why = zip::FileProblemText(problem);
    if (!detail.empty()) why += " (" + detail + ")";
    result.left_out.push_back(path + ": " + why);
  };
  Busy busy(hooks);
  result.stored = writer.Zip(o, ev);
  return result;
}

int RemoveEntriesFromArchive(zip::TZipWriter& writer, const std::string& archive_path,
                             const std::vector<EntryRow>& rows, MaintenanceHooks& hooks) {
  if (!hooks.ui->AskYesNo(DeleteQuestion(rows.empty() ? 1 : rows.size()), MessageKind::kWarning)) {
    return 0;
  }
  if (rows.empty()) return 0;
  zip::TRemoveOptions o;
  o.ZipName = archive_path;
  // Each row names its own entry: "a*.txt" is a name here, never a pattern.
  for (const auto& row : rows) o.ExactNames.push_back(row.full_name);
  Busy busy(hooks);
  return writer.RemoveEntries(o, EventsOf(hooks));
}

zip::TIncompleteZipMode IncompleteModeFor(IncompleteAnswer answer) {
  switch (answer) {
    case IncompleteAnswer::kMultiZip:
      return zip::TIncompleteZipMode::izAssumeMulti;
    case IncompleteAnswer::kRecover:
      return zip::TIncompleteZipMode::izAssumeBad;
    default:
      return zip::TIncompleteZipMode::izAssumeNotAZip;
  }
}

}  // namespace zb::restore
