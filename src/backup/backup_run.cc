#include "backup/backup_run.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "app/activity_log.h"
#include "app/data_folder.h"
#include "app/user_interaction.h"
#include "backup/retention_ring.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "platform/replacing_file.h"
#include "zip/dir_search.h"
#include "zip/file_list_expander.h"
#include "zip/wildcard.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

// The order of a run's writes, and what an interruption (a kill, a power
// cut, a full disk) at each point leaves for the next run:
//
//  1. Sweep the leftovers of killed runs: temporary archives of the
//     destination folder (locked while their run lives) and temporary copies
//     of the data files (named after a process that no longer exists).
//  2. Finish what an earlier run left noted as pending (RecoverPending).
//  3. Write the archive beside its place, as a locked temporary file, and
//     read it back. Stopped here: only the temporary file, which step 1 of
//     the next run removes.
//  4. Note the archive, its number and the run's start as pending in the
//     ring file.                                             -> kMarked
//     Stopped here: a note naming an archive that does not exist; the next
//     run drops it, and uses the same name again.
//  5. Give the archive its name.                              -> kPlaced
//     Stopped here: an archive neither the ring nor the number knows; the
//     next run finds the note, reads the archive back and records it as
//     this run would have (or sets it aside when it does not read back).
//  6. Record it in the ring, which deletes the archive falling out.
//                                                             -> kRecorded
//     Stopped here: the ring holds it; the next run writes the number and
//     the newer-than moment of the note.
//  7. Write the number and the newer-than moment to project.ini.
//                                                             -> kCounted
//     Stopped here: only the note is left; the next run writes the same
//     values again and drops it.
//  8. Drop the note; report and log.
//
// A write that fails at 6 or 7 ends the run as failed; the note stays, and
// the next run completes the record. None mode has no ring and no number:
// it writes no note.
namespace zb::backup {
namespace {

constexpr int kReportSeconds = 6;
constexpr int kTempRandomLength = 8;
// How many left-out files the report names; the count covers all of them.
constexpr size_t kLeftOutNamed = 3;
constexpr int kNumberLimit = 1000;
constexpr char kOperation[] = "Backup";
constexpr char kSucceeds[] = "Succeeds";
constexpr char kFails[] = "Fails";
constexpr char kInterrupt[] = "Interrupt";
constexpr double kSecondsPerDay = 86400.0;

// ".<name>.tmp-<pid>-<n>": the temporary copy of a file being replaced
// in one piece (data files). Returns the pid, or 0 for any other name.
int64_t DataFileCopyPid(std::string_view name) {
  const size_t marker = name.rfind(".tmp-");
  if (name.empty() || name[0] != '.' || marker == std::string_view::npos || marker == 0) {
    return 0;
  }
  const std::string_view rest = name.substr(marker + 5);
  const size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size()) return 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (i != dash && (rest[i] < '0' || rest[i] > '9')) return 0;
  }
  return StrToInt64Def(rest.substr(0, dash), 0);
}

// Such a copy is a leftover when the process that made it is gone.
bool IsDeadDataFileCopy(std::string_view name) {
  const int64_t pid = DataFileCopyPid(name);
  if (pid <= 0 || pid == getpid()) return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// ".StoreNumber.txt.tmp" and the like: a copy of a data file without a
// process named. No writer of this program makes such a name, and the data
// folder is held while the sweep runs, so no one is writing it.
bool IsBareDataFileCopy(std::string_view name) {
  for (const char* file : {app::kStoreNumberFile, app::kProjectFile, app::kLogFile}) {
    if (name == "." + std::string(file) + ".tmp") return true;
  }
  return false;
}

// True for the names of the program's own temporary files, live or not:
// a backup never stores them.
bool IsOwnTempName(std::string_view name) {
  return IsRunTempName(name) || ReplacingFile::IsTempName(name) || DataFileCopyPid(name) > 0;
}

// Removes the temporary copies killed processes left in the data folder.
// Another process holding the folder may be writing its own right now:
// then nothing is swept.
void SweepDataFolder(const std::filesystem::path& data_dir) {
  try {
    app::DataFolderLock lock(data_dir);
    RemoveUnlockedLeftovers(data_dir.string(), [](const char* name) {
      return IsDeadDataFileCopy(name) || ReplacingFile::IsTempName(name) ||
             IsBareDataFileCopy(name);
    });
  } catch (const Error&) {
  }
}

// A leading "~/" (or "~" alone) stands for the home folder, as in a shell.
std::string ExpandHome(std::string text) {
  if (text == "~" || text.starts_with("~/")) {
    std::string home = HomeFolder();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + text.substr(1);
  }
  return text;
}

std::string ShortList(const std::vector<LeftOutFile>& files) {
  std::string text;
  for (size_t i = 0; i < files.size() && i < kLeftOutNamed; ++i) {
    if (i > 0) text += ", ";
    text += "'" + files[i].path + "' (" + files[i].reason + ")";
  }
  if (files.size() > kLeftOutNamed) text += ", ...";
  return text;
}

// Moves a file found under a run's archive name to "<stem>.kept-<n>.zip"
// beside it, never over another file. Returns the new path.
std::string SetAside(const std::string& path) {
  const std::string stem =
      path.size() > 4 && EndsWith(LowerCase(path), ".zip") ? path.substr(0, path.size() - 4) : path;
  for (int n = 1;; ++n) {
    const std::string target = stem + ".kept-" + IntToStr(n) + ".zip";
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      return target;
    }
    int err = errno;
    if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
      if (::link(path.c_str(), target.c_str()) == 0) {
        ::unlink(path.c_str());
        return target;
      }
      err = errno;
    }
    if (err != EEXIST) throw EOSError("Unable to move aside", path, err);
  }
}

// Thrown from the writer's callbacks when the user asked the run to stop.
class ERunInterrupted final : public Error {
 public:
  ERunInterrupted() : Error("Backup interrupted by the user") {}
};

// Removes temporary archives that a killed run left in `folder`. A live
// run holds a lock on its file, so it is never taken for a leftover. This
// happens before the file list is expanded, so a destination among the
// sources does not list files that are about to go.
void RemoveRunLeftovers(const std::string& folder) {
  RemoveUnlockedLeftovers(folder, [](const char* name) {
    return IsRunTempName(name) || ReplacingFile::IsTempName(name);
  });
}

// The moment as "NewDateTime" stores it, so the page and the file agree.
DateTime WholeSeconds(DateTime moment) {
  const DateTimeFields f = DecodeDateTime(moment);
  return EncodeDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second).value_or(moment);
}

std::string LeftOutSummary(const std::vector<LeftOutFile>& left_out) {
  std::string text = "\r" + IntToStr(static_cast<int64_t>(left_out.size())) +
                     (left_out.size() == 1 ? " file" : " files") + " left out:";
  for (size_t i = 0; i < left_out.size() && i < kLeftOutNamed; ++i) {
    text += "\r'" + left_out[i].path + "' (" + left_out[i].reason + ")";
  }
  if (left_out.size() > kLeftOutNamed) text += "\r...";
  return text;
}

// One run: the request, the seams and what the run learnt so far.
class Run {
 public:
  Run(const BackupRunRequest& request, BackupRunHooks& hooks)
      : request_(request), hooks_(hooks), ui_(*hooks.ui), log_(*hooks.log) {
    result_.project = request.project;
    ClampForRun(result_.project);
    naming_ = NamingFrom(request.settings);
  }

  BackupRunResult Execute();

 private:
  const BackupProject& project() const { return result_.project; }
  const std::string& name() const { return request_.project_name; }
  DateTime Clock() const { return hooks_.clock ? hooks_.clock() : Now(); }
  void Pump() const {
    if (hooks_.pump) hooks_.pump();
    if (hooks_.interrupted && hooks_.interrupted()) throw ERunInterrupted();
  }

  // Messages of a run started by the scheduler must not wait for a click.
  // By hand, a failed check has its own error box; any other failure ends
  // the command and is shown as such, with its full stop.
  void ShowError(const std::string& text, bool command_error) {
    const std::string shown = command_error ? WithFullStop(text) : text;
    if (request_.scheduled) {
      ui_.ShowTimedMessage(shown, MessageKind::kError, kReportSeconds);
    } else if (command_error) {
      ui_.ShowCommandError(shown);
    } else {
      ui_.ShowError(shown);
    }
  }
  // Adds a log line; a log that cannot be written is reported, never fatal.
  void Log(std::string_view status, const std::string& information) {
    try {
      log_.Add(kOperation, status, name(), information);
    } catch (const std::exception& e) {
      result_.late_errors.push_back(e.what());
    }
  }
  // Ends the run: a check failed (shown in its own box, logged only when
  // scheduled).
  BackupRunResult& FailCheck(const std::string& text) {
    result_.status = RunStatus::kFailed;
    result_.message = text;
    ShowError(text, false);
    if (request_.scheduled) Log(kFails, text);
    return Finish();
  }
  // Ends the run: the folder, the writer or the verification failed. Only
  // an archive path without a folder goes unlogged by hand: nothing was
  // tried yet.
  BackupRunResult& Fail(const std::string& text, bool log_by_hand = true) {
    result_.status = RunStatus::kFailed;
    result_.message = text;
    ShowError(text, true);
    if (log_by_hand || request_.scheduled) Log(kFails, text);
    return Finish();
  }
  // Ends the run before anything was written (folder, existing archive).
  BackupRunResult& Interrupt(const std::string& shown, const std::string& logged,
                             MessageKind kind) {
    result_.status = RunStatus::kInterrupted;
    result_.message = shown;
    ui_.ShowTimedMessage(shown, kind, kReportSeconds);
    Log(kInterrupt, logged);
    return Finish();
  }
  BackupRunResult& Finish() {
    ReportLateErrors();
    // A run that made no archive leaves the name box as it was (a path the
    // user typed stays); after an archive it shows the next one.
    result_.next_file_name = result_.status == RunStatus::kSucceeded
                                 ? NextArchiveName(project(), Clock(), naming_)
                                 : box_name_;
    return result_;
  }
  void ReportLateErrors() {
    for (const std::string& e : result_.late_errors) ShowError(e, true);
  }

  BackupRunResult& Start();
  BackupRunResult& ExistsStop(const std::string& path);
  BackupRunResult& NoOverwriteStop(const std::string& path);
  BackupRunResult& WriteAndPlace(const std::string& path);
  BackupRunResult& NothingToStore();
  BackupRunResult& RecordFailed(const std::string& path, const std::exception& e);
  zip::TZipOptions WriterOptions() const;
  zip::TZipEvents WriterEvents();
  std::vector<std::string> IncludeEntries();
  std::vector<zip::ExpandedItem> ExpandSources(const zip::TZipOptions& options,
                                               const zip::TZipEvents& events);
  bool OlderThanThreshold(const std::string& path) const;
  // The first problem of reading `archive` back, or nothing; `expected` is
  // the entry count it must hold (-1: any but none).
  std::optional<std::string> ReadBackProblem(const std::string& archive,
                                             const std::string& password, int expected);
  void Verify(const std::string& temp, const std::string& password);
  void RecoverPending();
  void SetAsideFound(const std::string& path, const std::string& why);
  void LogDeleted(const std::vector<std::string>& deleted);
  void Step(RunStep step) const {
    if (hooks_.at_step) hooks_.at_step(step);
  }
  FileOps& DataOps() const {
    return hooks_.data_file_ops ? *hooks_.data_file_ops : FileOps::Default();
  }
  std::string RunPassword() const {
    const std::string password(Trim(project().Password));
    return project().UsePassword ? password : std::string();
  }
  BackupRunResult& Complete(const std::string& path, int number);

  const BackupRunRequest& request_;
  BackupRunHooks& hooks_;
  UserInteraction& ui_;
  app::ActivityLog& log_;
  NamingOptions naming_;
  BackupRunResult result_;
  std::string box_name_;  // what the archive name box shows
  DateTime run_start_ = 0;
  int zip_count_ = 0;
  int folder_count_ = 0;  // folder entries among zip_count_
};

BackupRunResult& Run::ExistsStop(const std::string& path) {
  std::string shown = "'" + path + "'" + " exists,backup operation has been interrupted!" + "\r" +
                      "You can setup Overwrite or Skip existed file in Preferences!";
  std::string logged = "'" + path + "'" + " exists,backup has been interripted";
  // A Number project whose number reached its limit writes the same name at
  // every run; say so, or the user cannot tell why the backups stopped.
  if (project().Suffix == kSuffixNumber && NextNumber(project()) >= kNumberLimit) {
    shown += "\rThe archive number has reached its limit of 1000.";
    logged += " (the archive number has reached its limit of 1000)";
  }
  return Interrupt(shown, logged, MessageKind::kWarning);
}

// None mode writes the same name at every run: without overwriting there
// is nothing the run may do with the archive there.
BackupRunResult& Run::NoOverwriteStop(const std::string& path) {
  const std::string shown = "'" + path + "' exists and project '" + name() +
                            "' does not overwrite it: backup not made!\r" +
                            "You can setup Overwrite or Skip existed file in Preferences!";
  const std::string logged = "'" + path +
                             "' exists and the project does not overwrite it (its archive name "
                             "never changes); no backup made";
  return Interrupt(shown, logged, MessageKind::kWarning);
}

BackupRunResult Run::Execute() {
  result_.project.SavePath = ExpandHome(std::string(Trim(result_.project.SavePath)));
  box_name_ =
      request_.file_name ? *request_.file_name : NextArchiveName(project(), Clock(), naming_);
  try {
    return Start();
  } catch (const std::exception& e) {
    // Every way out of a run is reported and logged; nothing escapes to a
    // caller that runs it from a timer.
    return Fail(e.what());
  }
}

BackupRunResult& Run::Start() {
  if (request_.settings.PromptBeforeBackup && !request_.scheduled &&
      !ui_.AskYesNo("Do you want to backup the project '" + name() + "'?",
                    MessageKind::kInformation)) {
    result_.status = RunStatus::kNotStarted;
    result_.next_file_name = box_name_;
    return result_;
  }

  const std::string confirm =
      request_.confirm_password ? *request_.confirm_password : project().Password;
  if (auto failed = CheckProject(box_name_, project(), confirm)) return FailCheck(*failed);

  SweepDataFolder(request_.data_dir);
  if (project().Suffix != kSuffixNone) {
    // The name box shows the computed name unless the user typed another;
    // a recovered number moves the computed one on.
    const bool computed =
        ExpandHome(std::string(Trim(box_name_))) == NextArchiveName(project(), Clock(), naming_);
    try {
      RecoverPending();
    } catch (const std::exception& e) {
      return Fail("The archive of an interrupted run of project '" + name() +
                  "' could not be recorded: " + e.what());
    }
    if (computed) box_name_ = NextArchiveName(project(), Clock(), naming_);
  }

  // Date mode names the archive after the moment of this run.
  if (project().Suffix == kSuffixDate) {
    box_name_ = NextArchiveName(project(), Clock(), naming_);
    if (hooks_.on_archive_name) hooks_.on_archive_name(box_name_);
  }
  std::string path = ExpandHome(std::string(Trim(box_name_)));
  // "~name/" would be taken as a folder named so in the current folder.
  if (path.starts_with("~")) {
    return Fail("The archive path '" + path + "' of project '" + name() +
                "' is not a full path ('~' stands for the home folder only as '~/')");
  }
  if (ExtractFilePath(path).empty()) return Fail("Unable to create directory", false);
  // A relative folder is taken against the current folder once, here: the
  // log and the retention ring keep the full path, so a later run started
  // elsewhere still deletes the right archive.
  if (!std::filesystem::path(path).is_absolute()) {
    path = std::filesystem::absolute(path).lexically_normal().string();
  }
  result_.archive_path = path;
  const std::string folder = ExtractFilePath(path);
  try {
    if (!Stat(folder).IsDirectory()) MakeDirs(folder);
  } catch (const Error&) {
    const std::string text = "Folder '" + folder + "' can not be create,backup interrupted!";
    return Interrupt(text, text, MessageKind::kWarning);
  }
  RemoveRunLeftovers(folder);

  try {
    const FileInfo found = LStat(path);
    if (found.Exists() && !request_.settings.OverwriteExisting) {
      if (project().Suffix == kSuffixNone) return NoOverwriteStop(path);
      // A ring's archive of the same name (two runs in one second, a
      // number at its limit) is refused: the ring's rules decide its end.
      // So is anything but a plain file: a folder is never renamed.
      if (!found.IsRegular() || RingHolds(request_.data_dir, path)) return ExistsStop(path);
      // A file is moved out of the way, never overwritten: a run killed
      // before the pending note existed, or a file of the user's.
      SetAsideFound(path, "was found under the name of the new archive");
    }
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return WriteAndPlace(path);
}

void Run::SetAsideFound(const std::string& path, const std::string& why) {
  const std::string moved = SetAside(path);
  result_.set_aside.push_back(moved);
  Log(kSucceeds, "'" + path + "' " + why + "; kept as " + moved);
}

void Run::LogDeleted(const std::vector<std::string>& deleted) {
  for (const std::string& d : deleted) {
    Log(kSucceeds, "deleted the old archive " + d + " (only the last " +
                       IntToStr(project().StoreNumber) + " are kept)");
  }
}

// Finishes the record of an earlier run that stopped after noting its
// archive as pending (see the order of steps above). Throws when a write
// fails; the note then stays for the next run.
void Run::RecoverPending() {
  const std::optional<PendingArchive> pending = ReadPending(request_.data_dir, name());
  if (!pending) return;
  bool placed = false;
  try {
    placed = LStat(pending->path).IsRegular();
  } catch (const Error&) {
  }
  if (placed) {
    if (!RingHolds(request_.data_dir, pending->path)) {
      if (const auto problem = ReadBackProblem(pending->path, RunPassword(), -1)) {
        SetAsideFound(pending->path, "of an interrupted run did not read back (" + *problem + ")");
      } else {
        const std::vector<std::string> deleted =
            RecordArchive(request_.data_dir, name(), pending->path, project().StoreNumber,
                          project().Suffix, DataOps());
        result_.adopted.push_back(pending->path);
        result_.deleted.insert(result_.deleted.end(), deleted.begin(), deleted.end());
        LogDeleted(deleted);
        Log(kSucceeds, "kept " + pending->path + ", the archive of an interrupted run");
      }
    }
    // The counters go on as the interrupted run would have moved them.
    if (project().Suffix == kSuffixNumber && pending->number >= 1) {
      WriteLastNumber(request_.data_dir, name(), pending->number);
      result_.project.Value = pending->number;
    }
    if (project().UseToday && pending->start_seconds > 0) {
      const DateTime start = static_cast<double>(pending->start_seconds) / kSecondsPerDay;
      WriteNewerThan(request_.data_dir, name(), start);
      result_.project.NewerThan = start;
    }
  }
  ClearPending(request_.data_dir, name(), DataOps());
}

zip::TZipOptions Run::WriterOptions() const {
  const BackupProject& p = project();
  zip::TZipOptions o;
  o.Recurse = p.IncludeSubfolders;
  o.StorePaths = p.StorePath;
  const std::string comment(Trim(p.Comment));
  o.ArchiveComment = p.StoreComment ? comment : std::string();
  o.FilesList = p.Include;
  // "~/" means the home folder here as in the include list.
  for (const std::string& e : p.Exclude) o.ExcludeList.push_back(ExpandHome(e));
  // An old archive of the same name stays until the new one replaces it; it
  // must not be stored in its successor when it lies among the sources.
  if (LStat(result_.archive_path).Exists()) o.ExcludeList.push_back(result_.archive_path);
  o.Password = RunPassword();
  o.PackLevel = p.PackLevel;
  o.AddDirEntriesOnRecurse = false;
  // Removable destinations get one archive until spanning is available.
  o.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
  return o;
}

bool Run::OlderThanThreshold(const std::string& path) const {
  try {
    const FileInfo info = Stat(path);
    // A file whose time cannot be read is taken.
    return info.Exists() && FromTimeT(info.mtime.tv_sec, info.mtime.tv_nsec) < project().NewerThan;
  } catch (const Error&) {
    return false;
  }
}

zip::TZipEvents Run::WriterEvents() {
  const bool filter = project().UseNewer;
  zip::TZipEvents ev;
  ev.OnStartZip = [this, filter](const std::string& fname, zip::TZipHeaderInfo&, bool& skip) {
    if (hooks_.interrupted && hooks_.interrupted()) throw ERunInterrupted();
    if (filter && OlderThanThreshold(fname)) {
      skip = true;
      return;
    }
    if (hooks_.on_file) hooks_.on_file(ExtractFileName(fname));
  };
  ev.OnFileProblem = [this](const std::string& path, zip::FileProblem problem,
                            const std::string& detail) {
    std::string reason = zip::FileProblemText(problem);
    if (!detail.empty()) reason += ": " + detail;
    result_.left_out.push_back({path, std::move(reason)});
  };
  ev.Pump = [this] { Pump(); };
  ev.OnTotalPercentDone = hooks_.on_total_percent;
  ev.OnFilePercentDone = hooks_.on_file_percent;
  return ev;
}

// The file list is expanded before any file of this run exists in the
// destination, and the writer stores the files found as they are. Include
// entries that find nothing are reported here; a file that vanishes before
// the writer reaches it is reported by the writer.
// The include list as the run takes it. Each entry must be a full path
// ("~/" stands for the home folder): a relative one would be looked for in
// whatever folder the program was started from and stored under names that
// restore elsewhere, so it is left out as an error of that entry. A folder
// named alone is backed up as the folder picker's "folder/*.*" would be,
// with its subfolders when the project takes subfolders.
std::vector<std::string> Run::IncludeEntries() {
  std::vector<std::string> entries;
  for (const std::string& raw : project().Include) {
    if (raw.empty()) continue;
    std::string mode;  // "|" or ">", kept in front
    std::string entry = raw;
    if (entry[0] == '|' || entry[0] == '>') {
      mode = entry.substr(0, 1);
      entry.erase(0, 1);
    }
    entry = ExpandHome(std::move(entry));
    if (entry.empty() || entry[0] != '/') {
      result_.left_out.push_back(
          {raw, "not a full path; project '" + name() + "' does not back up this entry"});
      continue;
    }
    if (entry.back() == '/') {
      entry += "*.*";
    } else if (!zip::HasWildcard(entry)) {
      try {
        if (Stat(entry).IsDirectory()) entry += "/*.*";
      } catch (const Error&) {
        // Reported by the expansion.
      }
    }
    entries.push_back(mode + entry);
  }
  return entries;
}

std::vector<zip::ExpandedItem> Run::ExpandSources(const zip::TZipOptions& options,
                                                  const zip::TZipEvents& events) {
  zip::ExpandOptions expand;
  expand.exclude_list = options.ExcludeList;
  expand.recurse = options.Recurse;
  expand.add_dir_entries = false;
  // The project's own archives never go into its backups, also when the
  // destination lies among the sources.
  expand.skip_paths = {result_.archive_path};
  try {
    for (std::string& held : RingArchives(request_.data_dir, name())) {
      expand.skip_paths.push_back(std::move(held));
    }
  } catch (const Error&) {
    // An unreadable ring file: the archive path alone is skipped.
  }
  std::vector<zip::ExpandedItem> items =
      zip::ExpandFilesList(IncludeEntries(), expand, events.OnFileProblem, [this] { Pump(); });
  std::erase_if(items, [this](const zip::ExpandedItem& item) {
    if (item.is_folder) return false;
    // The program's temporary files (a killed run's, a data file's copy).
    if (IsOwnTempName(ExtractFileName(item.path))) return true;
    // The newer-than filter is applied here too, so that a run that finds
    // nothing new knows it before it writes anything.
    return project().UseNewer && OlderThanThreshold(item.path);
  });
  return items;
}

std::optional<std::string> Run::ReadBackProblem(const std::string& archive,
                                                const std::string& password, int expected) {
  zip::TZipReader reader;
  reader.SetZipName(archive);
  zip::TUnZipOptions options;
  options.Password = password;
  zip::TUnZipEvents events;
  events.Pump = [this] { Pump(); };
  std::string first_problem;
  events.OnEntryProblem = [&first_problem](const zip::EntryProblem& problem) {
    if (first_problem.empty()) first_problem = problem.entry_name + ": " + problem.reason;
  };
  try {
    reader.ReadDirectory(options, events);
  } catch (const ERunInterrupted&) {
    throw;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  const zip::TestResult test = reader.Test(options, events);
  // Folder entries hold no data to test; they count as read back.
  int folders = 0;
  for (int i = 0; i < reader.EntryCount(); ++i) {
    if (reader.Entry(i).FullName().ends_with('/')) ++folders;
  }
  const int count = reader.EntryCount();
  if (test.failed == 0 && test.tested + folders == count &&
      (expected < 0 ? count > 0 : count == expected)) {
    return std::nullopt;
  }
  if (!first_problem.empty()) return first_problem;
  return IntToStr(test.tested + folders) + " of " + IntToStr(expected < 0 ? count : expected) +
         " entries read back";
}

void Run::Verify(const std::string& temp, const std::string& password) {
  if (const auto problem = ReadBackProblem(temp, password, zip_count_)) {
    throw EZipError("The new archive did not pass its check (" + *problem +
                    "); nothing was deleted");
  }
}

// Nothing to store: no archive is written and the ring stays as it is. A
// source that could not be read makes it a failure, naming the source.
BackupRunResult& Run::NothingToStore() {
  if (!result_.left_out.empty()) {
    return Fail("No file of project '" + name() + "' could be backed up: " +
                ShortList(result_.left_out) + "; no archive was written");
  }
  result_.status = RunStatus::kNothingToBackUp;
  const std::string what = project().UseNewer ? "nothing changed since the last backup"
                                              : "the sources hold no file to back up";
  result_.message = "Project '" + name() + "': " + what + "; no archive was written";
  ui_.ShowTimedMessage(result_.message, MessageKind::kInformation, kReportSeconds);
  Log(kSucceeds, what);
  return Finish();
}

BackupRunResult& Run::RecordFailed(const std::string& path, const std::exception& e) {
  return Fail("The archive " + path + " was made and checked, but its record could not be " +
              "written (" + e.what() + "); the next run records it");
}

BackupRunResult& Run::WriteAndPlace(const std::string& path) {
  const int number = NextNumber(project());
  if (hooks_.set_running) hooks_.set_running(true);
  // From here on the busy state is undone on every way out; the temporary
  // archive goes with its holder unless it was placed.
  struct Busy {
    BackupRunHooks& hooks;
    ~Busy() {
      if (hooks.set_running) hooks.set_running(false);
    }
  } busy{hooks_};

  try {
    zip::TZipOptions options = WriterOptions();
    const zip::TZipEvents events = WriterEvents();
    // The newer-than moment of the next run is this one's start: a file
    // changed while this run works is taken by the next one.
    run_start_ = WholeSeconds(Clock());
    std::vector<zip::ExpandedItem> items = ExpandSources(options, events);
    folder_count_ = static_cast<int>(std::count_if(
        items.begin(), items.end(), [](const zip::ExpandedItem& item) { return item.is_folder; }));
    if (static_cast<size_t>(folder_count_) == items.size()) return NothingToStore();
    options.ExpandedFiles = std::move(items);
    // The archive is written once, beside its place, checked, and only then
    // given its name. Replacing is one atomic rename, so an old archive of
    // that name exists until the new one takes its place; without replacing,
    // a file that appeared meanwhile is never replaced.
    ReplacingFile out = ReplacingFile::Create(path, {.factory = hooks_.output_factory});
    zip_count_ = zip::TZipWriter().ZipInto(out, options, events);
    // Every file vanished or became unreadable since the list was made.
    if (zip_count_ <= folder_count_) return NothingToStore();
    Verify(out.TempPath().string(), options.Password);
    if (project().Suffix != kSuffixNone) {
      MarkPending(request_.data_dir, name(),
                  {path, number, std::llround(run_start_ * kSecondsPerDay)}, DataOps());
    }
    Step(RunStep::kMarked);
    if (request_.settings.OverwriteExisting) {
      out.Commit();
    } else if (!out.CommitNoReplace()) {
      if (project().Suffix != kSuffixNone) ClearPending(request_.data_dir, name(), DataOps());
      return ExistsStop(path);
    }
    Step(RunStep::kPlaced);
  } catch (const ERunInterrupted&) {
    const std::string text = "Backup of project '" + name() + "' interrupted by the user";
    result_.status = RunStatus::kInterrupted;
    result_.message = text;
    ui_.ShowTimedMessage(text, MessageKind::kWarning, kReportSeconds);
    Log(kInterrupt, text);
    return Finish();
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Complete(path, number);
}

BackupRunResult& Run::Complete(const std::string& path, int number) {
  result_.file_count = zip_count_;
  FileInfo info;
  try {
    info = Stat(path);
  } catch (const Error& e) {
    return Fail(e.what());
  }
  if (!info.IsRegular()) return Fail("Unable to read the size of " + path);
  result_.archive_size = info.size;
  const std::string size_kb = IntToStr(static_cast<int64_t>(info.size / 1024));

  // The bookkeeping comes first: a log or a report that fails must not cost
  // the ring, the number or the newer-than moment. A write that fails here
  // fails the run; the pending note lets the next run finish the record.
  std::vector<std::string> deleted;
  try {
    if (project().Suffix != kSuffixNone) {
      deleted = RecordArchive(request_.data_dir, name(), path, project().StoreNumber,
                              project().Suffix, DataOps());
      result_.deleted.insert(result_.deleted.end(), deleted.begin(), deleted.end());
      result_.recorded = true;
    }
    Step(RunStep::kRecorded);
    if (project().Suffix == kSuffixNumber) {
      WriteLastNumber(request_.data_dir, name(), number);
      result_.project.Value = number;
    }
    if (project().UseToday) {
      WriteNewerThan(request_.data_dir, name(), run_start_);
      result_.project.NewerThan = run_start_;
    }
    Step(RunStep::kCounted);
  } catch (const std::exception& e) {
    LogDeleted(deleted);
    return RecordFailed(path, e);
  }
  if (project().Suffix != kSuffixNone) {
    try {
      ClearPending(request_.data_dir, name(), DataOps());
    } catch (const std::exception& e) {
      // Harmless: the next run finds everything recorded and drops it.
      result_.late_errors.push_back(e.what());
    }
  }
  result_.status = RunStatus::kSucceeded;
  LogDeleted(deleted);

  std::string report = "Backup " + IntToStr(zip_count_) + " Files Succeeds!" + "\r" +
                       "Project Name: '" + name() + "'" + "\r" + "File Name:    '" +
                       ExtractFileName(path) + "'" + "\r" + "File Size:    '" + size_kb + "Kb'";
  std::string information =
      IntToStr(zip_count_) + " files added to " + path + "  " + size_kb + "Kb";
  if (!result_.left_out.empty()) {
    report += LeftOutSummary(result_.left_out);
    information += "; " + IntToStr(static_cast<int64_t>(result_.left_out.size())) + " left out";
  }
  result_.message = report;
  ui_.ShowTimedMessage(report, MessageKind::kInformation, kReportSeconds);
  Log(kSucceeds, information);
  return Finish();
}

}  // namespace

bool IsRunTempName(std::string_view file_name) {
  const std::string_view marker = kRunTempMarker;
  if (file_name.size() != marker.size() + kTempRandomLength || !file_name.starts_with(marker)) {
    return false;
  }
  for (char c : file_name.substr(marker.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

void ReportScheduledFailure(UserInteraction& ui, app::ActivityLog& log, std::string_view project,
                            std::string_view text) {
  const std::string shown = WithFullStop(text);
  ui.ShowTimedMessage(shown, MessageKind::kError, kReportSeconds);
  try {
    log.Add(kOperation, kFails, project, shown);
  } catch (const std::exception&) {
  }
}

NamingOptions NamingFrom(const app::AppSettings& settings) {
  return NamingOptions{settings.AppendZero, settings.NumberWidth};
}

BackupRunResult RunBackup(const BackupRunRequest& request, BackupRunHooks& hooks) {
  if (hooks.ui == nullptr || hooks.log == nullptr) {
    throw std::invalid_argument("RunBackup needs a user interaction and a log");
  }
  Run run(request, hooks);
  return run.Execute();
}

BackupRunRequest StoredProjectRequest(const std::filesystem::path& data_dir, std::string_view name,
                                      const app::AppSettings& settings) {
  const ProjectList list = ReadProjectList(data_dir);
  const int index = FindProjectName(list.names, Trim(name));
  if (index < 0) {
    throw EInvalidInput("There is no backup project '" + std::string(Trim(name)) + "'");
  }
  BackupRunRequest request;
  request.data_dir = data_dir;
  request.project_name = list.names[static_cast<size_t>(index)];
  request.project = ReadProject(data_dir, request.project_name);
  request.settings = settings;
  request.scheduled = true;
  return request;
}

BackupRunResult RunStoredProject(const std::filesystem::path& data_dir, std::string_view name,
                                 BackupRunHooks& hooks) {
  return RunBackup(StoredProjectRequest(data_dir, name, ReadAppSettings(data_dir)), hooks);
}

}  // namespace zb::backup
