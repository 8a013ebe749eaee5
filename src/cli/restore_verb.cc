// zipbackup-cli restore: the Restore page's run without questions.

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/user_interaction.h"
#include "base/errors.h"
#include "cli/stop_signals.h"
#include "cli/terminal_interaction.h"
#include "cli/verb.h"
#include "restore/restore_run.h"

namespace zb::cli {
namespace {

int ParseOverwriteMode(const std::string& v) {
  if (v == "always") return restore::kOverwriteAlways;
  if (v == "never") return restore::kOverwriteNever;
  if (v == "newer") return restore::kOverwriteNewer;
  if (v == "older") return restore::kOverwriteOlder;
  if (v == "ask") return restore::kOverwritePrompt;
  throw EInvalidInput("--overwrite takes always, never, newer, older or ask, not '" + v + "'");
}

int Restore(Context& ctx) {
  ArgReader args(ctx.args);
  restore::RestoreRequest req;
  req.confirm = false;
  req.options.overwrite_mode = restore::kOverwriteNever;
  req.options.use_original_folder = true;
  bool have_to = false;
  std::string archive;
  while (!args.Done()) {
    std::string a = args.Next();
    if (a == "--to") {
      req.options.extract_to = args.Value(a);
      have_to = true;
    } else if (a == "--overwrite") {
      req.options.overwrite_mode = ParseOverwriteMode(args.Value(a));
    } else if (a == "--password") {
      req.options.password = args.Value(a);
    } else if (a == "--flat") {
      req.options.use_original_folder = false;
    } else if (args.IsOption(a)) {
      ThrowUnknownOption("restore", a);
    } else if (archive.empty()) {
      archive = a;
    } else {
      req.patterns.push_back(a);
    }
  }
  if (archive.empty()) throw EInvalidInput("restore needs an ARCHIVE");
  if (!have_to) {
    // The stored folders are relative to the root, as "Use Original Folder
    // Name" restores them: "home/me/docs/" goes back to "/home/me/docs/".
    if (!req.options.use_original_folder) throw EInvalidInput("--flat needs --to DIR");
    req.options.extract_to = "/";
  } else if (req.options.extract_to.empty()) {
    throw EInvalidInput("--to needs a folder");
  }
  std::filesystem::path full = std::filesystem::absolute(archive);
  req.zip_folder = full.parent_path().string();
  req.archive_name = full.filename().string();
  req.whole_archive = req.patterns.empty();
  // A typed password keeps its blanks (the run tries the trimmed text too).

  zip::TZipReader reader;
  if (!have_to) {
    // An entry stored without a folder has no place of its own to go back
    // to; without --to it would land in the root folder. Ask for a folder
    // instead (the directory read here is reused by the run).
    reader.SetZipName(full.string());
    try {
      reader.ReadDirectory();
    } catch (const std::exception& e) {
      throw Error(full.string() + ": " + e.what());
    }
    for (int i = 0; i < reader.EntryCount(); ++i) {
      if (reader.EntryDirectory(i).empty()) {
        throw EInvalidInput(full.string() + ": '" + reader.EntryFileName(i) +
                            "' is stored without a folder; name one with --to DIR");
      }
    }
  }

  // A spanned archive's disk request is asked on a terminal and cancelled
  // without one; errors are named in the verb's own exit message.
  TerminalInteraction ui(/*echo_messages=*/false);
  restore::RestoreHooks hooks;
  hooks.ui = &ui;
  hooks.reader = &reader;
  hooks.on_total_percent = TerminalProgress(ctx);
  hooks.on_problem = [](const zip::EntryProblem& p) {
    if (p.kind == zip::EntryProblemKind::kExists || p.kind == zip::EntryProblemKind::kReadOnly) {
      std::cerr << "kept existing " << p.path.string() << "\n";
    } else {
      std::cerr << "failed " << p.entry_name << ": " << p.reason << "\n";
    }
  };
  StopSignals stop_signals;
  hooks.interrupted = [] { return StopSignals::Requested(); };
  restore::RestoreResult r = restore::RunRestore(req, hooks);
  if (r.status == restore::RestoreStatus::kInterrupted) {
    throw Error(full.string() + ": interrupted after " + std::to_string(r.restored) + " restored");
  }
  if (r.status == restore::RestoreStatus::kUnreadable) {
    throw Error(full.string() + ": " + (ui.errors.empty() ? r.error : ui.errors.front()));
  }
  if (r.bad_password) throw Error(full.string() + ": The password is incorrect");
  if (!r.error.empty()) throw Error(full.string() + ": " + r.error);
  // Patterns that chose nothing are almost always a typing slip; saying
  // "0 restored" with success would hide it.
  if (!req.patterns.empty() && r.restored + r.failed + r.kept == 0) {
    std::string text = full.string() + ": no entry matches";
    bool rooted = false;
    for (const std::string& p : req.patterns) {
      text += " '" + p + "'";
      rooted = rooted || (!p.empty() && p.front() == '/');
    }
    if (rooted) text += " (entries are stored without a leading \"/\")";
    throw Error(text);
  }
  std::cout << r.restored << " restored, " << r.failed << " failed, " << r.kept << " kept\n";
  return r.status == restore::RestoreStatus::kSucceeded ? kExitOk : kExitSomeFailed;
}

ZB_CLI_VERB(Verb{"restore",
                 "restore ARCHIVE [--to DIR] [--overwrite always|never|newer|older|ask] "
                 "[--password P] [--flat] [PATTERN...]",
                 "restore all entries (or those matching a PATTERN) into their stored folders, "
                 "or into DIR",
                 Restore});

}  // namespace
}  // namespace zb::cli
