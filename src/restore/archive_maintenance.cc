#include "restore/archive_maintenance.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "app/activity_log.h"
#include "app/user_interaction.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "zip/zip_writer.h"

namespace zb::restore {
namespace {

constexpr int kReportSeconds = 6;
constexpr size_t kCopyBlock = 1 << 20;

// Copies the bytes of `source` into a new temporary file in `folder` and
// flushes it; returns its path. A failure removes the temporary file.
std::filesystem::path CopyToTemp(const std::string& source, const std::string& folder,
                                 const std::string& target) {
  File in = File::OpenRead(source);
  File out = CreateTempFile(folder, "." + ExtractFileName(target) + ".", ".part");
  std::filesystem::path temp = out.Path();
  try {
    std::vector<std::byte> buf(kCopyBlock);
    for (;;) {
      size_t n = in.Read(buf);
      if (n == 0) break;
      out.Write(std::span<const std::byte>(buf.data(), n));
    }
    FileInfo info = FStat(in);
    out.Fsync();
    out.Close();
    SetFileTimes(temp, info.mtime);
    // Temporary files are made private; the copy takes the source's
    // permissions, so an archive exported to a shared folder stays readable.
    if (::chmod(temp.c_str(), info.mode & 0777) != 0) {
      throw EOSError("Unable to set the permissions of", temp.string(), errno);
    }
  } catch (...) {
    RemoveFileNoThrow(temp);
    throw;
  }
  return temp;
}

// Gives the copy the target's name without replacing anything: false when
// a file of that name exists (it may have appeared during the copy).
bool PlaceWithoutReplacing(const std::filesystem::path& temp, const std::string& target) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  int err = errno;
  if (err == EEXIST) return false;
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) {
    throw EOSError("Unable to rename " + temp.string() + " to", target, err);
  }
  // Without the no-replace rename, link() refuses a taken name just as well.
  if (::link(temp.c_str(), target.c_str()) == 0) {
    RemoveFileNoThrow(temp);
    return true;
  }
  err = errno;
  if (err == EEXIST) return false;
  throw EOSError("Unable to rename " + temp.string() + " to", target, err);
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
  std::filesystem::path temp;
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
    temp = CopyToTemp(source, folder, target);
    if (replace) {
      RenameFile(temp, target);
    } else if (!PlaceWithoutReplacing(temp, target)) {
      // The name was taken while the copy ran: the question is owed now.
      if (auto answer = may_replace()) {
        RemoveFileNoThrow(temp);
        return *answer;
      }
      RenameFile(temp, target);
    }
    return CopyOutcome::kCopied;
  } catch (const std::exception& e) {
    if (!temp.empty()) RemoveFileNoThrow(temp);
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
      reader.IncompleteZipMode = zip::TIncompleteZipMode::izAssumeNotAZip;
      reader.SetZipName(source);
      reader.ReadDirectory();
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

// Detaches the writer's backup handlers for one maintenance call and puts
// them back afterwards, whatever happens.
struct WriterGuard {
  zip::TZipWriter& w;
  MaintenanceHooks& hooks;
  decltype(zip::TZipWriter::OnStartZip) start;
  decltype(zip::TZipWriter::OnZipComplete) complete;
  decltype(zip::TZipWriter::OnFileProblem) problem;
  WriterGuard(zip::TZipWriter& writer, MaintenanceHooks& h) : w(writer), hooks(h) {
    start = std::move(w.OnStartZip);
    complete = std::move(w.OnZipComplete);
    problem = std::move(w.OnFileProblem);
    w.OnStartZip = nullptr;
    w.OnZipComplete = nullptr;
    w.OnFileProblem = nullptr;
    w.OnTotalPercentDone = hooks.on_total_percent;
    w.OnFilePercentDone = hooks.on_file_percent;
    w.Pump = hooks.pump;
    if (hooks.set_running) hooks.set_running(true);
  }
  ~WriterGuard() {
    w.OnStartZip = std::move(start);
    w.OnZipComplete = std::move(complete);
    w.OnFileProblem = std::move(problem);
    w.OnTotalPercentDone = nullptr;
    w.OnFilePercentDone = nullptr;
    w.Pump = nullptr;
    if (hooks.set_running) hooks.set_running(false);
  }
};

}  // namespace

AddResult AddFilesToArchive(zip::TZipWriter& writer, const std::string& archive_path,
                            const std::vector<std::string>& files, const AddSettings& settings,
                            MaintenanceHooks& hooks) {
  AddResult result;
  if (files.empty()) return result;
  writer.SetZipName(archive_path);
  writer.Recurse = settings.recurse;
  writer.StorePaths = settings.store_paths;
  std::string pw(Trim(settings.password));
  writer.Password = settings.use_password && !pw.empty() ? pw : std::string();
  writer.PackLevel = settings.pack_level;
  writer.AddDirEntriesOnRecurse = false;
  writer.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
  // Exclusions left from a backup run must not drop a file picked by hand.
  writer.ExcludeList.clear();
  writer.FilesList = files;
  WriterGuard guard(writer, hooks);
  writer.OnFileProblem = [&](const std::string& path, zip::FileProblem problem,
                             const std::string& detail) {
    std::string why = zip::FileProblemText(problem);
    if (!detail.empty()) why += " (" + detail + ")";
    result.left_out.push_back(path + ": " + why);
  };
  result.stored = writer.Zip();
  return result;
}

int RemoveEntriesFromArchive(zip::TZipWriter& writer, const std::string& archive_path,
                             const std::vector<EntryRow>& rows, MaintenanceHooks& hooks) {
  if (!hooks.ui->AskYesNo(DeleteQuestion(rows.empty() ? 1 : rows.size()), MessageKind::kWarning)) {
    return 0;
  }
  if (rows.empty()) return 0;
  writer.SetZipName(archive_path);
  writer.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
  writer.FilesList.clear();
  writer.ExactNames.clear();
  // Each row names its own entry: "a*.txt" is a name here, never a pattern.
  for (const auto& row : rows) writer.ExactNames.push_back(row.full_name);
  WriterGuard guard(writer, hooks);
  return writer.RemoveEntries();
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
