#include "restore/restore_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "scripted_user_interaction.h"
#include "backup/backup_project.h"
#include "base/path.h"
#include "fault_file.h"
#include "platform/replacing_file.h"
#include "restore/archive_list.h"
#include "restore/archive_maintenance.h"
#include "restore/restore_test_util.h"

namespace zb::restore {
namespace {

namespace fs = std::filesystem;
using rtest::ReadFile;
using rtest::WriteFile;

class RestoreRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(t_ / "data");
    fs::create_directories(t_ / "zips");
    when_ = rtest::LocalTime(2020, 6, 1);
    for (const char* n : {"old.txt", "new.txt", "fresh.txt"}) {
      WriteFile(t_ / ("src/" + std::string(n)), std::string("archived ") + n, when_);
    }
    stored_folder_ = (t_ / "src/").substr(1);  // as the writer stores it: no leading "/"
    log_ = std::make_unique<app::ActivityLog>(fs::path(t_ / "data") / "log.txt");
  }
  void Archive(const std::string& password = "") {
    rtest::MakeArchive(t_ / "zips/b.zip",
                       {t_ / "src/old.txt", t_ / "src/new.txt", t_ / "src/fresh.txt"}, password);
  }
  RestoreRequest Request(const std::string& dest, bool stored, int mode) {
    RestoreRequest r;
    r.data_dir = t_ / "data";
    r.project = "Docs";
    r.zip_folder = t_ / "zips";
    r.archive_name = "b.zip";
    r.options.extract_to = dest;
    r.options.use_original_folder = stored;
    r.options.overwrite_mode = mode;
    return r;
  }
  std::string Out(const std::string& dest, bool stored, const std::string& name) {
    return stored ? dest + "/" + stored_folder_ + name : dest + "/" + name;
  }
  RestoreResult Run(const RestoreRequest& req) {
    RestoreHooks hooks;
    hooks.ui = &ui_;
    hooks.log = log_.get();
    hooks.reader = &reader_;
    hooks.memory = &memory_;
    hooks.output_factory = factory_;
    hooks.set_running = [this](bool on) { running_.push_back(on); };
    return RunRestore(req, hooks);
  }
  const app::LogEntry& LastLog() { return log_->Rows().front(); }

  rtest::TempDir t_;
  std::time_t when_ = 0;
  std::string stored_folder_;
  std::unique_ptr<app::ActivityLog> log_;
  app::ScriptedUserInteraction ui_;
  zip::TZipReader reader_;
  RestoreMemory memory_;
  WritableFileFactory* factory_ = nullptr;
  std::vector<bool> running_;
};

TEST_F(RestoreRunTest, EveryPolicyIntoStoredAndFlatFolders) {
  Archive();
  struct Case {
    int mode;
    bool old_replaced, new_replaced;
  };
  // old.txt on disk is older than its entry, new.txt newer.
  const Case cases[] = {{kOverwriteAlways, true, true},
                        {kOverwriteNever, false, false},
                        {kOverwriteNewer, true, false},
                        {kOverwriteOlder, false, true},
                        {kOverwritePrompt, true, false}};
  int n = 0;
  for (bool stored : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE("mode " + std::to_string(c.mode) + (stored ? " stored" : " flat"));
      std::string dest = t_ / ("out" + std::to_string(n++));
      WriteFile(Out(dest, stored, "old.txt"), "disk old", rtest::LocalTime(2010, 1, 1));
      WriteFile(Out(dest, stored, "new.txt"), "disk new", rtest::LocalTime(2030, 1, 1));
      ui_.shown.clear();
      if (c.mode == kOverwritePrompt) {
        ui_.Answer(true);                    // the confirmation
        ui_.AnswerButton(zb::Button::kYes);  // old.txt (physical order: old, new)
        ui_.AnswerButton(zb::Button::kNo);   // new.txt
      }
      RestoreResult r = Run(Request(dest, stored, c.mode));
      EXPECT_EQ(r.status, RestoreStatus::kSucceeded);
      int expect = 1 + c.old_replaced + c.new_replaced;
      EXPECT_EQ(r.restored, expect);
      EXPECT_EQ(r.kept, 3 - expect);
      EXPECT_EQ(ReadFile(Out(dest, stored, "fresh.txt")), "archived fresh.txt");
      EXPECT_EQ(ReadFile(Out(dest, stored, "old.txt")),
                c.old_replaced ? "archived old.txt" : "disk old");
      EXPECT_EQ(ReadFile(Out(dest, stored, "new.txt")),
                c.new_replaced ? "archived new.txt" : "disk new");
      if (c.mode == kOverwritePrompt) {
        ASSERT_GE(ui_.shown.size(), 3u);
        // Both files with size and date: the disk's old.txt is from 2010.
        EXPECT_NE(ui_.shown[1].text.find(Out(dest, stored, "old.txt") + "'\r"), std::string::npos);
        EXPECT_NE(ui_.shown[1].text.find("8 bytes, 2010-01-01"), std::string::npos);
        EXPECT_NE(ui_.shown[1].text.find("16 bytes, 2020-06-01"), std::string::npos);
        EXPECT_NE(ui_.shown[2].text.find(stored_folder_ + "new.txt'"), std::string::npos);
        EXPECT_EQ(ui_.shown[1].caption, "File Exists Alert");
      }
      EXPECT_EQ(LastLog().operation, "Restore");
      EXPECT_EQ(LastLog().status, "Succeeds");
      EXPECT_EQ(LastLog().project, "Docs");
      EXPECT_EQ(LastLog().information.substr(0, 22),
                std::to_string(expect) + " files restore from " + t_.path().substr(0, 1));
      const auto& report = ui_.shown.back();
      EXPECT_EQ(report.what, "timed");
      EXPECT_EQ(report.seconds, 6);
      EXPECT_EQ(report.text, "Restore " + std::to_string(expect) +
                                 " Files Succeeds!\rProject Name: 'Docs'\rFilename:     'b.zip'" +
                                 (expect < 3 ? "\rSkipped:      " + std::to_string(3 - expect) +
                                                   " existing files kept"
                                             : std::string()));
    }
  }
  EXPECT_EQ(running_.size(), 20u);  // busy on and off around every run
}

TEST_F(RestoreRunTest, PromptAndDiskQuestionsGoThroughTheirOwnHooks) {
  // The page asks these with their own captions; the hooks get the texts.
  Archive();
  const std::string dest = t_ / "out";
  WriteFile(dest + "/old.txt", "disk old");
  WriteFile(dest + "/new.txt", "disk new");
  RestoreHooks hooks;
  hooks.ui = &ui_;
  hooks.reader = &reader_;
  std::vector<std::string> asked;
  hooks.ask_overwrite = [&](const zb::Question& q) {
    asked.push_back(q.text.substr(q.text.rfind('/') + 1, 7));
    return q.text.find("/new.txt'") != std::string::npos ? zb::Button::kYes : zb::Button::kNo;
  };
  RestoreResult r = RunRestore(Request(dest, false, kOverwritePrompt), hooks);
  EXPECT_EQ(asked, (std::vector<std::string>{"old.txt", "new.txt"}));
  EXPECT_EQ(r.restored, 2);
  EXPECT_EQ(ReadFile(dest + "/old.txt"), "disk old");
  EXPECT_EQ(ReadFile(dest + "/new.txt"), "archived new.txt");
  for (const auto& m : ui_.shown) EXPECT_NE(m.text.rfind("Replace", 0), 0u) << m.text;
}

TEST_F(RestoreRunTest, ConfirmationAndStoredOptions) {
  Archive();
  RestoreRequest req = Request("  " + (t_ / "dest") + "  ", false, kOverwriteOlder);
  EXPECT_EQ(ConfirmationText(req),
            "Do you want to restore the file 'b.zip'?\r"
            "Extract to:          '" +
                (t_ / "dest") +
                "'\r"
                "Use original folder: 'No'\r"
                "Overwrite Mode:      'If Older'");
  ui_.Answer(false);
  EXPECT_EQ(Run(req).status, RestoreStatus::kNotStarted);
  EXPECT_FALSE(fs::exists(t_ / "dest"));

  // The trimmed folder is the one used and the one stored.
  RestoreResult r = Run(req);
  EXPECT_EQ(r.restored, 3);
  EXPECT_TRUE(fs::exists(t_ / "dest/old.txt"));
  RestoreOptions saved = LoadRestoreOptions(t_ / "data", " Docs ");
  EXPECT_EQ(saved.extract_to, t_ / "dest");
  EXPECT_FALSE(saved.use_original_folder);
  EXPECT_EQ(saved.overwrite_mode, kOverwriteOlder);

  // No radio checked: the last restore's policy holds and 2 is stored.
  req.options.overwrite_mode = 7;
  EXPECT_EQ(OverwriteCaption(7), "");
  memory_.overwrite_mode = zip::TUZOverwriteMode::Always;
  r = Run(req);
  EXPECT_EQ(r.restored, 3);
  EXPECT_EQ(LoadRestoreOptions(t_ / "data", "Docs").overwrite_mode, kOverwriteNever);

  // Selected rows: the question counts them.
  req.whole_archive = false;
  req.selected.resize(3);
  EXPECT_EQ(ConfirmationText(req).substr(0, 40), "Do you want to restore 3 files from 'b.z");
  req.selected.clear();  // an empty entry list still shows (and selects) one row
  EXPECT_EQ(ConfirmationText(req).substr(0, 40), "Do you want to restore 1 files from 'b.z");
  req.selected.resize(3);
  EXPECT_EQ(Run(Request(t_ / "d", true, kOverwriteNever)).status, RestoreStatus::kSucceeded);
  req.archive_name = "  ";
  EXPECT_EQ(Run(req).status, RestoreStatus::kNoArchive);
  req.whole_archive = true;
  ui_.shown.clear();
  EXPECT_EQ(Run(req).status, RestoreStatus::kNoArchive);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, "No Zip file to restore!");
}

TEST_F(RestoreRunTest, PasswordRightBlanksWrongAndMissing) {
  Archive("secret");
  struct Case {
    const char* password;
    bool ok;
  };
  const Case cases[] = {{"secret", true}, {"  secret ", true}, {"wrong", false}, {"", false}};
  int n = 0;
  for (bool stored : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string("password '") + c.password + "'" + (stored ? " stored" : " flat"));
      RestoreMemory fresh;  // a blank field means the last password: start from none
      RestoreHooks hooks;
      hooks.ui = &ui_;
      hooks.log = log_.get();
      hooks.reader = &reader_;
      hooks.memory = &fresh;
      ui_.shown.clear();
      std::string dest = t_ / ("p" + std::to_string(n++));
      RestoreRequest req = Request(dest, stored, kOverwriteAlways);
      req.options.password = c.password;
      RestoreResult r = RunRestore(req, hooks);
      if (c.ok) {
        EXPECT_EQ(r.status, RestoreStatus::kSucceeded);
        EXPECT_EQ(r.restored, 3);
        EXPECT_EQ(ReadFile(Out(dest, stored, "new.txt")), "archived new.txt");
        EXPECT_EQ(LastLog().status, "Succeeds");
      } else {
        EXPECT_EQ(r.status, RestoreStatus::kFailed);
        EXPECT_TRUE(r.bad_password);
        EXPECT_EQ(r.restored, 0);
        EXPECT_FALSE(fs::exists(Out(dest, stored, "old.txt")));
        ASSERT_EQ(ui_.shown.size(), 3u);  // confirmation, error, report: nothing more
        EXPECT_EQ(ui_.shown[1].what, "error");
        EXPECT_EQ(ui_.shown[1].text, "The password is incorrect");
        EXPECT_EQ(ui_.shown[2].text, "Restore files fails!");
        EXPECT_EQ(ui_.shown[2].kind, MessageKind::kError);
        EXPECT_EQ(LastLog().status, "Fails");
        EXPECT_NE(LastLog().information.find("b.zip  "), std::string::npos);
        EXPECT_NE(LastLog().information.find("(0 restored, 1 failed)"), std::string::npos);
        // Saved even after a failure.
        EXPECT_EQ(LoadRestoreOptions(t_ / "data", "Docs").overwrite_mode, kOverwriteAlways);
      }
    }
  }
}

TEST_F(RestoreRunTest, BlankPasswordFieldMeansThePasswordTheLastRestoreUsed) {
  Archive("secret");
  RestoreRequest req = Request(t_ / "p1", false, kOverwriteAlways);
  req.options.password = " secret ";  // right after the trimmed retry
  ASSERT_EQ(Run(req).status, RestoreStatus::kSucceeded);
  EXPECT_EQ(memory_.password, "secret");
  req = Request(t_ / "p2", false, kOverwriteAlways);
  const RestoreResult r = Run(req);
  EXPECT_EQ(r.status, RestoreStatus::kSucceeded);
  EXPECT_EQ(r.restored, 3);
  // Without the page's memory, a blank field means no password.
  RestoreHooks hooks;
  hooks.ui = &ui_;
  req = Request(t_ / "p3", false, kOverwriteAlways);
  EXPECT_TRUE(RunRestore(req, hooks).bad_password);
}

TEST_F(RestoreRunTest, FailedEntryMakesTheRunFailAndKeepsTheExistingFile) {
  // Stored (level 0) so one flipped data byte fails the CRC of exactly one entry.
  rtest::MakeArchive(t_ / "zips/b.zip",
                     {t_ / "src/old.txt", t_ / "src/new.txt", t_ / "src/fresh.txt"}, "", 0);
  std::string bytes = ReadFile(t_ / "zips/b.zip");
  size_t at = bytes.find("archived new.txt");
  ASSERT_NE(at, std::string::npos);
  bytes[at] ^= 0x20;
  WriteFile(t_ / "zips/b.zip", bytes);
  std::string dest = t_ / "out";
  WriteFile(dest + "/new.txt", "disk new", rtest::LocalTime(2010, 1, 1));
  RestoreResult r = Run(Request(dest, false, kOverwriteAlways));
  EXPECT_EQ(r.status, RestoreStatus::kFailed);
  EXPECT_EQ(r.restored, 2);
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(ReadFile(dest + "/new.txt"), "disk new");
  EXPECT_EQ(ReadFile(dest + "/old.txt"), "archived old.txt");
  EXPECT_EQ(ui_.shown.back().text, "Restore files fails!");
  EXPECT_EQ(LastLog().status, "Fails");
  EXPECT_NE(LastLog().information.find("(2 restored, 1 failed)"), std::string::npos);
}

// The overwrite question had only Yes and No, once per file, with no way out.
TEST_F(RestoreRunTest, OverwriteQuestionAnswersForAllOrCancels) {
  Archive();
  struct Case {
    zb::Button answer;
    int questions, restored;
    const char* status;
  };
  // Three existing files; archive order old, new, fresh.
  const Case cases[] = {{zb::Button::kYesToAll, 1, 3, "Succeeds"},
                        {zb::Button::kNoToAll, 1, 0, "Succeeds"},
                        {zb::Button::kCancel, 1, 0, "Interrupt"}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string dest = t_ / ("all" + std::to_string(n++));
    for (const char* f : {"old.txt", "new.txt", "fresh.txt"}) WriteFile(dest + "/" + f, "disk");
    ui_.shown.clear();
    ui_.AnswerButton(c.answer);
    const RestoreResult r = Run(Request(dest, false, kOverwritePrompt));
    int questions = 0;
    for (const auto& m : ui_.shown) {
      if (m.what != "buttons") continue;
      ++questions;
      EXPECT_EQ(m.buttons,
                (std::vector<zb::Button>{zb::Button::kYes, zb::Button::kNo, zb::Button::kYesToAll,
                                         zb::Button::kNoToAll, zb::Button::kCancel}));
    }
    EXPECT_EQ(questions, c.questions);
    EXPECT_EQ(r.restored, c.restored);
    EXPECT_EQ(LastLog().status, c.status);
    EXPECT_EQ(ReadFile(dest + "/fresh.txt"), c.restored ? "archived fresh.txt" : "disk");
    if (c.answer == zb::Button::kCancel) {
      EXPECT_TRUE(r.cancelled);
      EXPECT_EQ(ui_.shown.back().text, "Restore cancelled: 0 files restored");
    }
  }
  // No to All: the report and the log say what was skipped.
  EXPECT_NE(log_->Rows()[1].information.find(" (3 skipped)"), std::string::npos);
}

TEST_F(RestoreRunTest, BlankExtractFolderIsConfirmedAsTheHomeFolder) {
  RestoreRequest req = Request("   ", false, kOverwriteNever);
  EXPECT_NE(ConfirmationText(req).find("Extract to:          '" + HomeFolder() + "'"),
            std::string::npos);
}

TEST_F(RestoreRunTest, InterruptStopsAtABlockAndLogsInterrupt) {
  // A close by signal during a restore stops it at the next block: nothing
  // half-written stays behind, and the log says "Interrupt", not "Succeeds".
  Archive();
  const std::string dest = t_ / "out";
  WriteFile(dest + "/old.txt", "disk old", rtest::LocalTime(2010, 1, 1));
  RestoreHooks hooks;
  hooks.ui = &ui_;
  hooks.log = log_.get();
  hooks.reader = &reader_;
  int asked = 0;
  hooks.interrupted = [&asked] { return ++asked >= 2; };
  const RestoreResult r = RunRestore(Request(dest, false, kOverwriteAlways), hooks);
  EXPECT_EQ(r.status, RestoreStatus::kInterrupted);
  EXPECT_LT(r.restored, 3);
  EXPECT_EQ(LastLog().status, "Interrupt");
  // Only the confirmation question; no report or error box waits for a click.
  for (const auto& m : ui_.shown) EXPECT_EQ(m.what, "ask") << m.text;
  // The existing file is either untouched or wholly replaced, and no
  // temporary output is left in the folder.
  const std::string old = ReadFile(dest + "/old.txt");
  EXPECT_TRUE(old == "disk old" || old == "archived old.txt") << old;
  for (const auto& e : fs::directory_iterator(dest)) {
    const std::string n = e.path().filename().string();
    EXPECT_TRUE(n == "old.txt" || n == "new.txt" || n == "fresh.txt") << n;
  }
}

TEST_F(RestoreRunTest, SelectedRowsRestoreExactlyTheirEntries) {
  WriteFile(t_ / "sel/a*.txt", "star");
  WriteFile(t_ / "sel/abc.txt", "abc");
  WriteFile(t_ / "sel/r<1>.txt", "angle");
  WriteFile(t_ / "sel/r1.txt", "one");
  rtest::MakeArchive(t_ / "zips/b.zip", {t_ / "sel/a*.txt", t_ / "sel/abc.txt", t_ / "sel/r<1>.txt",
                                         t_ / "sel/r1.txt"});
  std::vector<EntryRow> rows = ArchiveContents(reader_, t_ / "zips/b.zip");
  ASSERT_EQ(rows.size(), 4u);
  RestoreRequest req = Request(t_ / "out", false, kOverwriteNever);
  req.whole_archive = false;
  for (const auto& row : rows) {
    if (row.file_name == "a*.txt" || row.file_name == "r<1>.txt") req.selected.push_back(row);
  }
  RestoreResult r = Run(req);
  EXPECT_EQ(r.restored, 2);
  EXPECT_EQ(ReadFile(t_ / "out/a*.txt"), "star");
  EXPECT_EQ(ReadFile(t_ / "out/r<1>.txt"), "angle");
  EXPECT_FALSE(fs::exists(t_ / "out/abc.txt"));
  EXPECT_FALSE(fs::exists(t_ / "out/r1.txt"));

  // A row whose index went stale (the archive changed) still finds its entry by name.
  req.selected[0].index = 3;
  req.selected.resize(1);
  r = Run(Request(t_ / "out2", false, kOverwriteNever));  // whole: 4
  EXPECT_EQ(r.restored, 4);
  req.options.extract_to = t_ / "out3";
  r = Run(req);
  EXPECT_EQ(r.restored, 1);
  EXPECT_TRUE(fs::exists(t_ / "out3/" + req.selected[0].file_name));
}

TEST_F(RestoreRunTest, UnreadableArchiveIsNeitherLoggedNorSaved) {
  WriteFile(t_ / "zips/b.zip", "this is no archive at all, just some text of a decent length..");
  int before = log_->Total();
  RestoreResult r = Run(Request(t_ / "out", true, kOverwriteAlways));
  EXPECT_EQ(r.status, RestoreStatus::kUnreadable);
  EXPECT_EQ(ui_.shown.back().what, "error");
  // A file that is no archive at all is named so at once.
  EXPECT_EQ(ui_.shown.back().text, "Not a valid zip file!");
  EXPECT_EQ(log_->Total(), before);
  EXPECT_FALSE(fs::exists(fs::path(t_ / "data") / "project.ini"));
}

TEST_F(RestoreRunTest, TruncatedArchiveRecoversOnlyWhenAskedTo) {
  Archive();
  std::string bytes = ReadFile(t_ / "zips/b.zip");
  size_t central = bytes.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  WriteFile(t_ / "zips/b.zip", bytes.substr(0, central));

  RestoreHooks hooks;
  hooks.ui = &ui_;
  hooks.log = log_.get();
  hooks.on_incomplete = [](zip::TIncompleteZipMode& m) {
    m = IncompleteModeFor(IncompleteAnswer::kCancel);
  };
  RestoreResult r = RunRestore(Request(t_ / "out", false, kOverwriteAlways), hooks);
  EXPECT_EQ(r.status, RestoreStatus::kUnreadable);
  EXPECT_EQ(ui_.shown.back().text, "Not a valid zip file!");

  hooks.on_incomplete = [](zip::TIncompleteZipMode& m) {
    m = IncompleteModeFor(IncompleteAnswer::kRecover);
  };
  r = RunRestore(Request(t_ / "out", false, kOverwriteAlways), hooks);
  EXPECT_EQ(r.restored, 3);
  EXPECT_EQ(r.failed, 0);
  // Whether the reader calls a scanned directory complete is its own
  // judgement; when it warns, the run must not be reported as a success.
  EXPECT_EQ(r.status, r.damaged_archive ? RestoreStatus::kFailed : RestoreStatus::kSucceeded);
  EXPECT_EQ(ReadFile(t_ / "out/fresh.txt"), "archived fresh.txt");

  // Cut inside the last entry's data: what can be restored is, the cut
  // entry is not (no partial file), and the run is a failure.
  WriteFile(t_ / "src/fresh.txt", std::string(5000, 'f'), when_);
  fs::remove(t_ / "zips/b.zip");
  rtest::MakeArchive(t_ / "zips/b.zip",
                     {t_ / "src/old.txt", t_ / "src/new.txt", t_ / "src/fresh.txt"}, "", 0);
  bytes = ReadFile(t_ / "zips/b.zip");
  WriteFile(t_ / "zips/b.zip", bytes.substr(0, bytes.find(std::string(100, 'f')) + 1000));
  r = RunRestore(Request(t_ / "cut", false, kOverwriteAlways), hooks);
  EXPECT_EQ(r.status, RestoreStatus::kFailed);
  EXPECT_EQ(r.restored, 2);
  EXPECT_EQ(ReadFile(t_ / "cut/old.txt"), "archived old.txt");
  EXPECT_FALSE(fs::exists(t_ / "cut/fresh.txt"));
  EXPECT_EQ(LastLog().status, "Fails");
  EXPECT_NE(LastLog().information.find("(2 restored, 1 failed"), std::string::npos)
      << LastLog().information;
}

// ---- Failure paths: escapes, read-only files, full disk, no destination ----------

TEST_F(RestoreRunTest, EscapesFailTheRunAndNothingIsWrittenOutside) {
  const std::string dest = t_ / "out";
  const std::string outside = t_ / "outside";
  WriteFile(outside + "/victim.txt", "keep me");
  fs::create_directories(dest);
  fs::create_directory_symlink(outside, dest + "/linkdir");
  fs::create_symlink(outside + "/victim.txt", dest + "/leaf.txt");
  WriteFile(t_ / "zips/b.zip", rtest::StoredArchive({{"../escaped.txt", "up"},
                                                     {"a/../../escaped2.txt", "up two"},
                                                     {"/abs/inside.txt", "absolute"},
                                                     {"linkdir/victim.txt", "through a link"},
                                                     {"leaf.txt", "replaces the link"},
                                                     {"good.txt", "good"}}));
  RestoreResult r = Run(Request(dest, true, kOverwriteAlways));
  EXPECT_EQ(r.status, RestoreStatus::kFailed);
  EXPECT_EQ(r.restored, 3);
  EXPECT_EQ(r.failed, 3);  // the two climbers and the path through the planted link
  EXPECT_FALSE(fs::exists(t_ / "escaped.txt"));
  EXPECT_FALSE(fs::exists(t_ / "escaped2.txt"));
  EXPECT_EQ(ReadFile(outside + "/victim.txt"), "keep me");
  EXPECT_EQ(ReadFile(dest + "/abs/inside.txt"), "absolute");  // kept below the destination
  EXPECT_FALSE(fs::is_symlink(dest + "/leaf.txt"));           // the link itself was replaced
  EXPECT_EQ(ReadFile(dest + "/leaf.txt"), "replaces the link");
  EXPECT_EQ(ReadFile(dest + "/good.txt"), "good");
  EXPECT_EQ(ui_.shown.back().text, "Restore files fails!");
  EXPECT_EQ(LastLog().status, "Fails");
  EXPECT_NE(LastLog().information.find("(3 restored, 3 failed)"), std::string::npos)
      << LastLog().information;
}

TEST_F(RestoreRunTest, ReadOnlyFilesAreLeftAloneAsAPolicySkip) {
  WriteFile(t_ / "src/ro.txt", "archived ro", when_);
  fs::permissions(t_ / "src/ro.txt",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  rtest::MakeArchive(t_ / "zips/b.zip", {t_ / "src/ro.txt", t_ / "src/fresh.txt"});
  const std::string dest = t_ / "out";
  RestoreResult r = Run(Request(dest, false, kOverwriteAlways));
  EXPECT_EQ(r.restored, 2);
  // The stored attribute comes back with the file.
  EXPECT_EQ(fs::status(dest + "/ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);

  // Changed since (the user made it writable, edited it, and protected it
  // again): even "Always" keeps it, and that is the policy, not a failure.
  fs::permissions(dest + "/ro.txt", fs::perms::owner_write, fs::perm_options::add);
  WriteFile(dest + "/ro.txt", "edited");
  fs::permissions(dest + "/ro.txt", fs::perms::owner_write, fs::perm_options::remove);
  r = Run(Request(dest, false, kOverwriteAlways));
  EXPECT_EQ(r.status, RestoreStatus::kSucceeded);
  EXPECT_EQ(r.restored, 1);
  EXPECT_EQ(r.kept, 1);
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(ReadFile(dest + "/ro.txt"), "edited");
  EXPECT_EQ(LastLog().status, "Succeeds");
}

TEST_F(RestoreRunTest, FullDiskEndsTheRunAsAFailureAndKeepsTheExistingFile) {
  WriteFile(t_ / "src/fresh.txt", std::string(4000, 'f'), when_);
  rtest::MakeArchive(t_ / "zips/b.zip",
                     {t_ / "src/old.txt", t_ / "src/new.txt", t_ / "src/fresh.txt"}, "", 0);
  const std::string dest = t_ / "out";
  WriteFile(dest + "/fresh.txt", "disk fresh");
  zb::testing::FaultFileFactory full_after(1000);  // each small entry fits, the big one not
  factory_ = &full_after;
  RestoreResult r = Run(Request(dest, false, kOverwriteAlways));
  factory_ = nullptr;
  EXPECT_EQ(r.status, RestoreStatus::kFailed);
  EXPECT_EQ(r.restored, 2);
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(r.error, "Cant write uncompressed file");
  EXPECT_EQ(ReadFile(dest + "/fresh.txt"), "disk fresh");
  EXPECT_EQ(ReadFile(dest + "/old.txt"), "archived old.txt");  // restored ones stay
  for (const auto& e : fs::directory_iterator(dest)) {
    EXPECT_FALSE(ReplacingFile::IsTempName(e.path().filename().string())) << e.path();
  }
  // The failure report first, then the error that ended the run.
  ASSERT_GE(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[ui_.shown.size() - 2].text, "Restore files fails!");
  EXPECT_EQ(ui_.shown.back().what, "error");
  EXPECT_EQ(ui_.shown.back().text, "Cant write uncompressed file");
  EXPECT_EQ(LastLog().status, "Fails");
  EXPECT_NE(LastLog().information.find("(2 restored, 1 failed)"), std::string::npos);
}

TEST_F(RestoreRunTest, DestinationThatCannotBeMadeIsAFailedRestore) {
  // The archive reads fine; the run then ends before its first entry. That
  // is a restore that failed (reported and logged), not an unreadable archive.
  Archive();
  WriteFile(t_ / "blocker", "a file where a folder should be");
  const int before = log_->Total();
  RestoreResult r = Run(Request(t_ / "blocker/sub", true, kOverwriteAlways));
  EXPECT_EQ(r.status, RestoreStatus::kFailed);
  EXPECT_EQ(r.restored, 0);
  EXPECT_EQ(log_->Total(), before + 1);
  EXPECT_EQ(LastLog().status, "Fails");
  ASSERT_GE(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[ui_.shown.size() - 2].text, "Restore files fails!");
  EXPECT_EQ(ui_.shown.back().what, "error");
  EXPECT_NE(ui_.shown.back().text.find("blocker"), std::string::npos) << ui_.shown.back().text;
  EXPECT_EQ(LoadRestoreOptions(t_ / "data", "Docs").extract_to, t_ / "blocker/sub");
}

}  // namespace
}  // namespace zb::restore
