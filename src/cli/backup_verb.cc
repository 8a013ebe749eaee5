// zipbackup-cli backup NAME: runs a stored backup project as the scheduler
// of the desktop program starts it, through the same run code.

#include <iostream>
#include <string>

#include "app/activity_log.h"
#include "app/app_settings.h"
#include "app/data_folder.h"
#include "app/user_interaction.h"
#include "backup/backup_run.h"
#include "base/errors.h"
#include "base/text.h"
#include "cli/stop_signals.h"
#include "cli/terminal_interaction.h"
#include "cli/verb.h"

namespace zb::cli {
namespace {

int RunBackupVerb(Context& ctx) {
  ArgReader args(ctx.args);
  std::vector<std::string> names;
  while (!args.Done()) {
    std::string a = args.Next();
    if (args.IsOption(a)) ThrowUnknownOption("backup", a);
    names.push_back(std::move(a));
  }
  if (names.size() != 1) {
    throw EInvalidInput("usage: zipbackup-cli backup NAME [--data-dir DIR]");
  }
  // Held for the whole run: the desktop program holds it while it runs, so
  // the two never write the same data files at once.
  app::DataFolderLock lock(ctx.data_dir);
  const app::AppSettings settings = backup::ReadAppSettings(ctx.data_dir);
  app::ActivityLog log(app::DataFile(ctx.data_dir, app::kLogFile), settings.LogCount);
  log.Load();
  // The run's messages are reported below from its result; questions (none
  // today: the run is started without its confirmation) would go to a
  // terminal when there is one.
  TerminalInteraction ui(/*echo_messages=*/false);
  backup::BackupRunHooks hooks;
  hooks.ui = &ui;
  hooks.log = &log;
  StopSignals stop_signals;
  hooks.interrupted = [] { return StopSignals::Requested(); };
  hooks.on_total_percent = TerminalProgress(ctx);
  if (ctx.stderr_is_terminal) {
    // A run that stops before 100% leaves no percentage behind either.
    hooks.set_running = [](bool running) {
      if (!running) std::cerr << "\r    \r" << std::flush;
    };
  }
  const backup::BackupRunResult result = backup::RunStoredProject(ctx.data_dir, names[0], hooks);

  for (const std::string& e : result.late_errors) {
    std::cerr << "zipbackup-cli: " << OneLine(e) << "\n";
  }
  for (const std::string& kept : result.adopted) {
    std::cout << "kept the archive of an interrupted run: " << kept << "\n";
  }
  for (const std::string& moved : result.set_aside) {
    std::cerr << "moved aside: " << moved << "\n";
  }
  // Nothing new to store is no failure: the last backup is still current.
  if (result.status == backup::RunStatus::kNothingToBackUp) {
    std::cout << OneLine(result.message) << "\n";
    return result.late_errors.empty() ? kExitOk : kExitError;
  }
  if (result.status != backup::RunStatus::kSucceeded) {
    std::cerr << "zipbackup-cli: " << OneLine(result.message) << "\n";
    return kExitError;
  }
  std::cout << result.archive_path << "\n"
            << result.file_count << " files added, " << result.left_out.size() << " left out, "
            << result.archive_size << " bytes";
  if (!result.deleted.empty())
    std::cout << ", " << result.deleted.size() << " old archive(s) deleted";
  std::cout << "\n";
  for (const backup::LeftOutFile& f : result.left_out) {
    std::cerr << "left out: " << f.path << " (" << f.reason << ")\n";
  }
  if (!result.late_errors.empty()) return kExitError;
  return result.left_out.empty() ? kExitOk : kExitSomeFailed;
}

ZB_CLI_VERB(Verb{"backup", "backup NAME [--data-dir DIR]",
                 "run a stored backup project as a scheduled start does", RunBackupVerb});

}  // namespace
}  // namespace zb::cli
