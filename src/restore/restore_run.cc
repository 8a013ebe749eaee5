#include "restore/restore_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <unordered_set>

#include "app/activity_log.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"

namespace zb::restore {
namespace {

constexpr char kOperation[] = "Restore";
constexpr int kReportSeconds = 6;

// The labels of the confirmation are padded to one width so the quoted
// values line up in the message box.
std::string Padded(std::string_view label) {
  std::string s(label);
  if (s.size() < 21) s.append(21 - s.size(), ' ');
  return s;
}

// The size of the archive in KB, or -1 when it cannot be measured.
int64_t ArchiveKb(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size) / 1024;
}

zip::TUZOverwriteMode ReaderMode(int stored, zip::TUZOverwriteMode current) {
  switch (stored) {
    case kOverwriteAlways:
      return zip::TUZOverwriteMode::Always;
    case kOverwritePrompt:
      return zip::TUZOverwriteMode::Prompt;
    case kOverwriteNever:
      return zip::TUZOverwriteMode::Never;
    case kOverwriteNewer:
      return zip::TUZOverwriteMode::ifNewer;
    case kOverwriteOlder:
      return zip::TUZOverwriteMode::ifOlder;
    default:
      return current;  // no radio checked: the reader keeps its policy
  }
}

// Problems that are the policy's choice, not a failure of the restore.
bool IsPolicySkip(zip::EntryProblemKind kind) {
  return kind == zip::EntryProblemKind::kExists || kind == zip::EntryProblemKind::kReadOnly;
}

// The bad-password answer ends the run without a second message.
class PasswordGiveUp final : public Error {
 public:
  PasswordGiveUp() : Error("The password is incorrect") {}
};

}  // namespace

std::string_view OverwriteCaption(int mode) {
  switch (mode) {
    case kOverwriteAlways:
      return "Always";
    case kOverwritePrompt:
      return "Prompt Before  Overwrite";
    case kOverwriteNever:
      return "Never";
    case kOverwriteNewer:
      return "If Newer";
    case kOverwriteOlder:
      return "If Older";
    default:
      return "";
  }
}

int StoredOverwriteMode(int mode) {
  return (mode >= kOverwriteAlways && mode <= kOverwriteOlder) ? mode : kOverwriteNever;
}

RestoreOptions LoadRestoreOptions(const std::filesystem::path& data_dir, std::string_view project) {
  backup::BackupProject p = backup::ReadProject(data_dir, Trim(project));
  RestoreOptions o;
  o.extract_to = p.RestorePath;
  o.use_original_folder = p.RestoreToOrigPath;
  o.overwrite_mode = p.OverwriteMode;
  return o;
}

void SaveRestoreOptions(const std::filesystem::path& data_dir, std::string_view project,
                        const RestoreOptions& options) {
  backup::WriteRestoreKeys(data_dir, project, options.extract_to, options.use_original_folder,
                           StoredOverwriteMode(options.overwrite_mode));
}

std::string ExtractFolder(const RestoreOptions& options) {
  std::string folder(Trim(options.extract_to));
  return folder.empty() ? HomeFolder() : folder;
}

Question OverwriteQuestion(const ExistingFileChoice& c) {
  const auto describe = [](uint64_t size, DateTime time) {
    return IntToStr(static_cast<int64_t>(size)) + " bytes, " + FormatDateTimeFull(time);
  };
  Question q;
  q.text = "Replace existing file?\r" + Padded("Existing file:") + "'" + c.existing_path + "'\r" +
           Padded("") + describe(c.existing_size, c.existing_time) + "\r" +
           Padded("With archived file:") + "'" + c.entry_name + "'\r" + Padded("") +
           describe(c.entry_size, c.entry_time);
  q.buttons = {Button::kYes, Button::kNo, Button::kYesToAll, Button::kNoToAll, Button::kCancel};
  // Enter keeps the file on disk: a key pressed by habit destroys nothing.
  q.default_button = Button::kNo;
  q.escape = Button::kCancel;
  q.kind = MessageKind::kConfirmation;
  q.caption = "File Exists Alert";
  return q;
}

std::string ConfirmationText(const RestoreRequest& request) {
  std::string name(Trim(request.archive_name));
  // The entry grid always shows at least one row, so a selection range
  // never counts fewer than one.
  const size_t chosen = std::max<size_t>(1, request.selected.size() + request.patterns.size());
  std::string first = request.whole_archive
                          ? "Do you want to restore the file '" + name + "'?"
                          : "Do you want to restore " + IntToStr(static_cast<int64_t>(chosen)) +
                                " files from '" + name + "'?";
  return first + "\r" + Padded("Extract to:") + "'" + ExtractFolder(request.options) + "'" + "\r" +
         Padded("Use original folder:") + "'" +
         (request.options.use_original_folder ? "Yes" : "No") + "'" + "\r" +
         Padded("Overwrite Mode:") + "'" +
         std::string(OverwriteCaption(request.options.overwrite_mode)) + "'";
}

RestoreResult RunRestore(const RestoreRequest& request, RestoreHooks& hooks) {
  if (!hooks.ui) throw std::invalid_argument("RunRestore needs a user interaction");
  UserInteraction& ui = *hooks.ui;
  RestoreResult result;
  std::string name(Trim(request.archive_name));
  if (name.empty()) {
    result.status = RestoreStatus::kNoArchive;
    if (request.whole_archive) ui.ShowInformation("No Zip file to restore!");
    return result;
  }
  result.archive_path = ArchivePath(request.zip_folder, name);
  if (request.confirm && !ui.AskYesNo(ConfirmationText(request), MessageKind::kWarning)) {
    result.status = RestoreStatus::kNotStarted;
    return result;
  }

  zip::TZipReader own_reader;
  zip::TZipReader& r = hooks.reader ? *hooks.reader : own_reader;
  RestoreMemory own_memory;
  RestoreMemory& memory = hooks.memory ? *hooks.memory : own_memory;

  r.SetZipName(result.archive_path);
  zip::TUnZipOptions o;
  // The folder the user confirmed is the folder used: trimmed, as shown.
  o.DestDir = ExtractFolder(request.options);
  o.RecreateDirs = request.options.use_original_folder;
  o.DoAll = request.whole_archive;
  o.OverwriteMode = ReaderMode(request.options.overwrite_mode, memory.overwrite_mode);
  // Read-only files are kept, attributes restored.
  o.ReplaceReadOnly = false;
  o.RetainAttributes = true;
  // From the root, the stored folders are the original places: the
  // system's own links on the way are followed (nothing lies outside "/").
  o.FollowDestLinks = ExtractFolder(request.options) == "/";
  o.Password = Trim(request.options.password).empty() ? memory.password : request.options.password;
  o.FileFactory = hooks.output_factory;
  // The policy and password of this restore are the next one's defaults.
  memory.overwrite_mode = o.OverwriteMode;
  memory.password = o.Password;

  zip::TUnZipEvents ev;
  // Stopping goes through the pump: the reader calls it between blocks and
  // drops the entry being written when it throws.
  struct RestoreInterrupted {};
  ev.Pump = [&hooks] {
    if (hooks.pump) hooks.pump();
    if (hooks.interrupted && hooks.interrupted()) throw RestoreInterrupted();
  };
  bool interrupted = false;

  bool completed = false;
  bool tried_trimmed = false;
  // The entry being extracted, for the overwrite question.
  int current_index = -1;
  std::string current_path;
  std::optional<bool> answer_for_all;  // Yes to All, No to All
  struct RestoreCancelled {};
  bool cancelled = false;
  ev.OnUnZipComplete = [&](int count) {
    completed = true;
    result.restored = count;
  };
  ev.OnStartUnZip = [&](int index, std::string& fname, bool&) {
    current_index = index;
    current_path = fname;
    if (hooks.on_file) hooks.on_file(ExtractFileName(fname));
  };
  ev.OnTotalPercentDone = hooks.on_total_percent;
  ev.OnFilePercentDone = hooks.on_file_percent;
  ev.OnInCompleteZip = hooks.on_incomplete;
  ev.OnBadPassword = [&](int, std::string& new_password) {
    // Blanks around a typed password are far more often a slip than part
    // of it: the trimmed text gets one try before the password is refused.
    std::string trimmed(Trim(new_password));
    if (!tried_trimmed && !trimmed.empty() && trimmed != new_password) {
      tried_trimmed = true;
      new_password = trimmed;
      memory.password = trimmed;
      return;
    }
    ui.ShowError("The password is incorrect");
    result.bad_password = true;
    throw PasswordGiveUp();
  };
  ev.OnGetNextDisk = [&](int next_disk, std::string& fname) {
    const std::string question =
        "Please insert disk number " + IntToStr(next_disk) + " of the spanned Zip file";
    const bool go_on =
        hooks.ask_next_disk ? hooks.ask_next_disk(question) : ui.AskOkCancel(question);
    if (!go_on) fname.clear();
  };
  ev.AskOverwrite = [&](const std::string& file_name) {
    if (answer_for_all) return *answer_for_all;
    ExistingFileChoice choice;
    choice.existing_path = current_path;
    choice.entry_name = file_name;
    struct stat st;
    if (::stat(current_path.c_str(), &st) == 0) {
      choice.existing_size = static_cast<uint64_t>(st.st_size);
      choice.existing_time = DosToDateTime(TimeTToDos(st.st_mtime)).value_or(0);
    }
    if (current_index >= 0 && current_index < r.EntryCount()) {
      choice.entry_name = r.Entry(current_index).FullName();
      choice.entry_size = r.EntrySize(current_index);
      choice.entry_time = r.EntryDateTime(current_index);
    }
    const Question q = OverwriteQuestion(choice);
    switch (hooks.ask_overwrite ? hooks.ask_overwrite(q) : ui.Ask(q)) {
      case Button::kYes:
        return true;
      case Button::kYesToAll:
        answer_for_all = true;
        return true;
      case Button::kNoToAll:
        answer_for_all = false;
        return false;
      case Button::kCancel:
        throw RestoreCancelled();
      default:
        return false;
    }
  };
  ev.OnEntryProblem = [&](const zip::EntryProblem& p) {
    if (p.index < 0) {
      result.damaged_archive = true;
    } else if (IsPolicySkip(p.kind)) {
      ++result.kept;
    } else {
      ++result.failed;
    }
    if (hooks.on_problem) hooks.on_problem(p);
  };

  if (hooks.set_running) hooks.set_running(true);
  // Reading the directory first tells an archive that cannot be read (its
  // error is all there is to say) from a run that started and then failed,
  // which is reported and logged as a failed restore.
  bool readable = false;
  try {
    if (!request.whole_archive) r.SetSortMode(zip::TZipSortMode::ByName);
    r.ReadDirectory(o, ev);
    readable = true;
  } catch (const RestoreInterrupted&) {
    interrupted = true;
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  if (readable) {
    try {
      if (!request.whole_archive) {
        // Rows select their own entries by identity. The listing's index is
        // used when the entry there still has the row's name; otherwise (the
        // archive changed since it was listed) the exact stored name is.
        for (const auto& row : request.selected) {
          if (row.index >= 0 && row.index < r.EntryCount() &&
              r.Entry(row.index).FullName() == row.full_name) {
            o.Indexes.push_back(row.index);
          } else {
            o.ExactNames.push_back(row.full_name);
          }
        }
        o.FilesList = request.patterns;
      }
      (void)r.UnZip(o, ev);
    } catch (const PasswordGiveUp&) {
      // Already said; the report below tells the rest.
    } catch (const RestoreInterrupted&) {
      interrupted = true;
    } catch (const RestoreCancelled&) {
      interrupted = cancelled = true;
    } catch (const std::exception& e) {
      result.error = e.what();
    }
  }
  if (hooks.set_running) hooks.set_running(false);

  const std::string project(Trim(request.project));
  if (interrupted) {
    result.status = RestoreStatus::kInterrupted;
    result.cancelled = cancelled;
    const std::string why = cancelled ? " restored before the restore was cancelled)"
                                      : " restored before the program was closed)";
    if (hooks.log) {
      try {
        hooks.log->Add(kOperation, "Interrupt", project,
                       result.archive_path + " (" + IntToStr(result.restored) + why);
      } catch (const std::exception& e) {
        result.late_errors.push_back(e.what());
      }
    }
    // Someone pressed Cancel, so someone is there to read what was done.
    if (cancelled) {
      result.report = "Restore cancelled: " + IntToStr(result.restored) + " files restored";
      ui.ShowTimedMessage(result.report, MessageKind::kInformation, kReportSeconds);
    }
    return result;
  }

  if (!readable) {
    result.status = RestoreStatus::kUnreadable;
    if (!result.error.empty()) ui.ShowError(result.error);
    return result;
  }
  // An end before the first entry (the destination could not be made) is
  // still a restore that failed.
  if (!completed && result.error.empty()) result.error = "The restore ended before any entry";

  // A run in which anything failed is a failure, whatever it restored.
  const bool failed =
      result.bad_password || result.failed > 0 || !result.error.empty() || result.damaged_archive;
  const int64_t kb = ArchiveKb(result.archive_path);
  const std::string sized =
      kb >= 0 ? result.archive_path + "  " + IntToStr(kb) + "Kb" : result.archive_path;
  std::string information;
  if (failed) {
    result.status = RestoreStatus::kFailed;
    result.report = "Restore files fails!";
    ui.ShowTimedMessage(result.report, MessageKind::kError, kReportSeconds);
    information = sized + " (" + IntToStr(result.restored) + " restored, " +
                  IntToStr(result.failed + (result.bad_password ? 1 : 0)) + " failed" +
                  (result.damaged_archive ? ", damaged archive)" : ")");
  } else {
    result.status = RestoreStatus::kSucceeded;
    result.report = "Restore " + IntToStr(result.restored) + " Files Succeeds!\rProject Name: '" +
                    project + "'\rFilename:     '" + ExtractFileName(result.archive_path) + "'";
    // Files the policy kept are not restored: "Succeeds" alone would hide
    // that the disk still holds the older (or newer) versions.
    if (result.kept > 0)
      result.report += "\rSkipped:      " + IntToStr(result.kept) + " existing files kept";
    ui.ShowTimedMessage(result.report, MessageKind::kInformation, kReportSeconds);
    information = IntToStr(result.restored) + " files restore from " + sized;
    if (result.kept > 0) information += " (" + IntToStr(result.kept) + " skipped)";
  }
  if (hooks.log) {
    try {
      hooks.log->Add(kOperation, failed ? "Fails" : "Succeeds", project, information);
    } catch (const std::exception& e) {
      result.late_errors.push_back(e.what());
      ui.ShowError(e.what());
    }
  }
  if (!project.empty()) {
    try {
      SaveRestoreOptions(request.data_dir, project, request.options);
    } catch (const std::exception& e) {
      result.late_errors.push_back(e.what());
      ui.ShowError(e.what());
    }
  }
  if (!result.error.empty()) ui.ShowError(result.error);
  return result;
}

}  // namespace zb::restore
