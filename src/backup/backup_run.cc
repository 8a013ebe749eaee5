#include "backup/backup_run.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "app/activity_log.h"
#include "app/user_interaction.h"
#include "backup/retention_ring.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "platform/replacing_file.h"
#include "zip/dir_search.h"
#include "zip/file_list_expander.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

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
  BackupRunResult& WriteAndPlace(const std::string& path);
  zip::TZipOptions WriterOptions() const;
  zip::TZipEvents WriterEvents();
  std::vector<zip::ExpandedItem> ExpandSources(const zip::TZipOptions& options,
                                               const zip::TZipEvents& events);
  void Verify(const std::string& temp, const std::string& password);
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

BackupRunResult Run::Execute() {
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

  // Date mode names the archive after the moment of this run.
  if (project().Suffix == kSuffixDate) {
    box_name_ = NextArchiveName(project(), Clock(), naming_);
    if (hooks_.on_archive_name) hooks_.on_archive_name(box_name_);
  }
  std::string path(Trim(box_name_));
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
    if (LStat(path).Exists() && !request_.settings.OverwriteExisting) return ExistsStop(path);
  } catch (const Error& e) {
    return Fail(e.what());
  }
  return WriteAndPlace(path);
}

zip::TZipOptions Run::WriterOptions() const {
  const BackupProject& p = project();
  zip::TZipOptions o;
  o.Recurse = p.IncludeSubfolders;
  o.StorePaths = p.StorePath;
  const std::string comment(Trim(p.Comment));
  o.ArchiveComment = p.StoreComment ? comment : std::string();
  o.FilesList = p.Include;
  o.ExcludeList = p.Exclude;
  // An old archive of the same name stays until the new one replaces it; it
  // must not be stored in its successor when it lies among the sources.
  if (LStat(result_.archive_path).Exists()) o.ExcludeList.push_back(result_.archive_path);
  const std::string password(Trim(p.Password));
  o.Password = p.UsePassword ? password : std::string();
  o.PackLevel = p.PackLevel;
  o.AddDirEntriesOnRecurse = false;
  // Removable destinations get one archive until spanning is available.
  o.MultiZipInfo.MultiMode = zip::TMultiMode::mmNone;
  return o;
}

zip::TZipEvents Run::WriterEvents() {
  const bool filter = project().UseNewer;
  const DateTime threshold = project().NewerThan;
  zip::TZipEvents ev;
  ev.OnStartZip = [this, filter, threshold](const std::string& fname, zip::TZipHeaderInfo&,
                                            bool& skip) {
    if (hooks_.interrupted && hooks_.interrupted()) throw ERunInterrupted();
    if (filter) {
      try {
        const FileInfo info = Stat(fname);
        // A file whose time cannot be read is taken.
        if (info.Exists() && FromTimeT(info.mtime.tv_sec, info.mtime.tv_nsec) < threshold) {
          skip = true;
          return;
        }
      } catch (const Error&) {
      }
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
std::vector<zip::ExpandedItem> Run::ExpandSources(const zip::TZipOptions& options,
                                                  const zip::TZipEvents& events) {
  zip::ExpandOptions expand;
  expand.exclude_list = options.ExcludeList;
  expand.recurse = options.Recurse;
  expand.add_dir_entries = false;
  expand.skip_paths = {result_.archive_path};
  return zip::ExpandFilesList(options.FilesList, expand, events.OnFileProblem, [this] { Pump(); });
}

void Run::Verify(const std::string& temp, const std::string& password) {
  zip::TZipReader reader;
  reader.SetZipName(temp);
  zip::TUnZipOptions options;
  options.Password = password;
  zip::TUnZipEvents events;
  events.Pump = [this] { Pump(); };
  std::string first_problem;
  events.OnEntryProblem = [&first_problem](const zip::EntryProblem& problem) {
    if (first_problem.empty()) first_problem = problem.entry_name + ": " + problem.reason;
  };
  reader.ReadDirectory(options, events);
  const zip::TestResult test = reader.Test(options, events);
  if (test.failed > 0 || test.tested != reader.EntryCount() || reader.EntryCount() != zip_count_) {
    throw EZipError("The new archive did not pass its check (" +
                    (first_problem.empty() ? IntToStr(test.tested) + " of " + IntToStr(zip_count_) +
                                                 " entries read back"
                                           : first_problem) +
                    "); nothing was deleted");
  }
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
    options.ExpandedFiles = ExpandSources(options, events);
    // The archive is written once, beside its place, checked, and only then
    // given its name. Replacing is one atomic rename, so an old archive of
    // that name exists until the new one takes its place; without replacing,
    // a file that appeared meanwhile is never replaced.
    ReplacingFile out = ReplacingFile::Create(path, {.factory = hooks_.output_factory});
    zip_count_ = zip::TZipWriter().ZipInto(out, options, events);
    Verify(out.TempPath().string(), options.Password);
    if (request_.settings.OverwriteExisting) {
      out.Commit();
    } else if (!out.CommitNoReplace()) {
      return ExistsStop(path);
    }
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
  result_.status = RunStatus::kSucceeded;

  // The bookkeeping comes first: a log or a report that fails must not cost
  // the ring, the number or the newer-than moment.
  // A run that stored nothing (sources missing, nothing changed) keeps the
  // ring as it is, so it never pushes a real backup out.
  if (zip_count_ > 0 && project().Suffix != kSuffixNone) {
    try {
      result_.deleted =
          RecordArchive(request_.data_dir, name(), path, project().StoreNumber, project().Suffix);
      result_.recorded = true;
    } catch (const std::exception& e) {
      result_.late_errors.push_back(e.what());
    }
  }
  if (project().Suffix == kSuffixNumber) {
    try {
      WriteLastNumber(request_.data_dir, name(), number);
      result_.project.Value = number;
    } catch (const std::exception& e) {
      result_.late_errors.push_back(e.what());
    }
  }
  if (project().UseToday) {
    try {
      WriteNewerThan(request_.data_dir, name(), run_start_);
      result_.project.NewerThan = run_start_;
    } catch (const std::exception& e) {
      result_.late_errors.push_back(e.what());
    }
  }

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

BackupRunRequest StoredProjectRequest(const std::filesystem::path& data_dir,
                                      std::string_view name, const app::AppSettings& settings) {
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
