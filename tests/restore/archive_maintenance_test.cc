#include "restore/archive_maintenance.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "scripted_user_interaction.h"
#include "base/errors.h"
#include "platform/replacing_file.h"
#include "restore/archive_list.h"
#include "restore/restore_test_util.h"
#include "zip/zip_writer.h"

namespace zb::restore {
namespace {

namespace fs = std::filesystem;
using rtest::ReadFile;
using rtest::WriteFile;

class MaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(t_ / "zips");
    fs::create_directories(t_ / "data");
    log_ = std::make_unique<app::ActivityLog>(fs::path(t_ / "data") / "log.txt");
    hooks_.ui = &ui_;
    hooks_.log = log_.get();
  }
  // Temporary files left in the folder.
  int Leftovers(const std::string& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
      if (ReplacingFile::IsTempName(e.path().filename().string())) ++n;
    }
    return n;
  }
  std::vector<std::string> EntryNames(const std::string& archive) {
    zip::TZipReader r;
    std::vector<std::string> v;
    for (const auto& row : ArchiveContents(r, archive)) v.push_back(row.file_name);
    return v;
  }

  rtest::TempDir t_;
  std::unique_ptr<app::ActivityLog> log_;
  app::ScriptedUserInteraction ui_;
  MaintenanceHooks hooks_;
};

TEST_F(MaintenanceTest, ImportAndExportReportLogAndAskBeforeReplacing) {
  const std::string first = rtest::StoredArchive({{"a.txt", "new archive bytes"}});
  WriteFile(t_ / "in/new.zip", first, rtest::LocalTime(2022, 5, 5));
  EXPECT_EQ(ImportArchive(t_ / "in/new.zip", " " + (t_ / "zips") + "/ ", "Docs", hooks_),
            CopyOutcome::kCopied);
  EXPECT_EQ(ReadFile(t_ / "zips/new.zip"), first);
  EXPECT_EQ(fs::last_write_time(t_ / "zips/new.zip"), fs::last_write_time(t_ / "in/new.zip"));
  EXPECT_EQ(fs::status(t_ / "zips/new.zip").permissions(),
            fs::status(t_ / "in/new.zip").permissions());  // not the private temporary mode
  EXPECT_EQ(ui_.shown.back().text,
            "Import '" + (t_ / "in/new.zip") + "' to '" + (t_ / "zips") + "' Successful!");
  EXPECT_EQ(log_->Rows().front().operation, "Import");
  EXPECT_EQ(log_->Rows().front().status, "Succeeds");
  // The report names the folder without its separator, the log line with it.
  EXPECT_EQ(log_->Rows().front().information,
            "Import '" + (t_ / "in/new.zip") + "' to '" + (t_ / "zips") + "/'");

  // Existing target: No keeps it untouched, Yes replaces it.
  WriteFile(t_ / "in/new.zip", rtest::StoredArchive({{"b.txt", "second version"}}));
  ui_.Answer(false);
  EXPECT_EQ(ImportArchive(t_ / "in/new.zip", t_ / "zips", "Docs", hooks_), CopyOutcome::kDeclined);
  EXPECT_EQ(ui_.shown.back().text, "File already exists! Do you want to overwrite?");
  EXPECT_EQ(ReadFile(t_ / "zips/new.zip"), first);
  ui_.Answer(true);
  EXPECT_EQ(ExportArchive(t_ / "zips", "new.zip", t_ / "in", "Docs", hooks_), CopyOutcome::kCopied);
  EXPECT_EQ(ReadFile(t_ / "in/new.zip"), first);
  EXPECT_EQ(ui_.shown.back().text,
            "Export '" + (t_ / "zips/new.zip") + "' to '" + (t_ / "in") + "' Successful!");
  EXPECT_EQ(log_->Rows().front().operation, "Export");
  EXPECT_EQ(log_->Rows().front().information,
            "Export '" + (t_ / "zips/new.zip") + "' to '" + (t_ / "in") + "/'");
  EXPECT_EQ(Leftovers(t_ / "in"), 0);
  EXPECT_EQ(ExportArchive(t_ / "zips", "  ", t_ / "in", "Docs", hooks_), CopyOutcome::kDeclined);
}

// ---- Failure paths ---------------------------------------------------------------

// Import copied any file into the zip folder and logged it as successful.
TEST_F(MaintenanceTest, ImportRefusesAFileThatIsNoArchive) {
  for (const char* content : {"just some text", ""}) {
    WriteFile(t_ / "in/notes.zip", content);
    const int logged = log_->Total();
    EXPECT_EQ(ImportArchive(t_ / "in/notes.zip", t_ / "zips", "Docs", hooks_),
              CopyOutcome::kFailed);
    EXPECT_EQ(ui_.shown.back().what, "error");
    EXPECT_EQ(ui_.shown.back().text, "Not a valid zip file!");
    EXPECT_FALSE(fs::exists(t_ / "zips/notes.zip"));
    EXPECT_EQ(log_->Total(), logged);
  }
}

TEST_F(MaintenanceTest, FailedCopiesLeaveTargetsAndReportErrors) {
  WriteFile(t_ / "zips/a.zip", "archive");
  int logged = log_->Total();
  // Missing source.
  EXPECT_EQ(ImportArchive(t_ / "in/none.zip", t_ / "zips", "Docs", hooks_), CopyOutcome::kFailed);
  EXPECT_EQ(ui_.shown.back().what, "error");
  // A target "folder" that is a file.
  EXPECT_EQ(ExportArchive(t_ / "zips", "a.zip", t_ / "zips/a.zip", "Docs", hooks_),
            CopyOutcome::kFailed);
  EXPECT_EQ(log_->Total(), logged);
  EXPECT_EQ(ReadFile(t_ / "zips/a.zip"), "archive");
  // A blank folder is no folder: the copy must not land at the root.
  const std::string odd = "zb_restore_blank_" + std::to_string(::getpid()) + ".zip";
  WriteFile(t_ / odd, "x");
  EXPECT_EQ(ImportArchive(t_ / odd, "   ", "Docs", hooks_), CopyOutcome::kFailed);
  const bool at_root = fs::exists("/" + odd);
  if (at_root) fs::remove("/" + odd);
  EXPECT_FALSE(at_root);
  EXPECT_EQ(ui_.shown.back().what, "error");

  // A read-only target folder, as an ordinary user (root writes anywhere).
  WriteFile(t_ / "ro/a.zip", "old copy");
  fs::permissions(t_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(t_ / "zips", fs::perms::all);
  fs::permissions(t_ / "zips/a.zip", fs::perms::all);
  fs::permissions(t_ / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      _exit(10);
    }
    app::ScriptedUserInteraction ui;
    MaintenanceHooks hooks;
    hooks.ui = &ui;
    CopyOutcome o = ExportArchive(t_ / "zips", "a.zip", t_ / "ro", "Docs", hooks);
    bool asked = !ui.shown.empty() && ui.shown.front().what == "ask";
    if (o != CopyOutcome::kFailed) _exit(11);
    if (!asked) {
      if (!ui.shown.empty()) fprintf(stderr, "%s\n", ui.shown.front().text.c_str());
      _exit(12);
    }
    _exit(ui.shown.back().what == "error" ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  EXPECT_EQ(ReadFile(t_ / "ro/a.zip"), "old copy");
  fs::permissions(t_ / "ro", fs::perms::all);
}

TEST_F(MaintenanceTest, DeleteRemovesOnlyChosenPlainNames) {
  WriteFile(t_ / "zips/a.zip", "a");
  WriteFile(t_ / "zips/b.zip", "b");
  WriteFile(t_ / "other.zip", "outside");
  ui_.Answer(false);
  EXPECT_EQ(DeleteArchives(t_ / "zips", {"a.zip"}, ui_), 0);
  EXPECT_EQ(ui_.shown.back().text, "Do you want to delete the 1 files ");
  EXPECT_TRUE(fs::exists(t_ / "zips/a.zip"));
  EXPECT_EQ(DeleteArchives(t_ / "zips", {"a.zip", "  ", "../other.zip", ".."}, ui_), 1);
  EXPECT_EQ(ui_.shown.back().text, "Do you want to delete the 4 files ");
  EXPECT_FALSE(fs::exists(t_ / "zips/a.zip"));
  EXPECT_TRUE(fs::exists(t_ / "zips/b.zip"));
  EXPECT_TRUE(fs::exists(t_ / "other.zip"));
  EXPECT_TRUE(fs::exists(t_ / "zips"));
  // An empty list still asks about 1 file and deletes nothing.
  EXPECT_EQ(DeleteArchives(t_ / "zips", {}, ui_), 0);
  EXPECT_EQ(ui_.shown.back().text, "Do you want to delete the 1 files ");
}

TEST_F(MaintenanceTest, AddFilesTakesPickedFilesAndKeepsNewerEntries) {
  WriteFile(t_ / "src/a.txt", "first", rtest::LocalTime(2022, 1, 1));
  rtest::MakeArchive(t_ / "zips/x.zip", {t_ / "src/a.txt"});
  zip::TZipWriter writer;
  WriteFile(t_ / "pick/b.txt", "picked");
  WriteFile(t_ / "src/a.txt", "older", rtest::LocalTime(2021, 1, 1));
  AddSettings s;
  AddResult r = AddFilesToArchive(writer, t_ / "zips/x.zip", {t_ / "pick/b.txt", t_ / "src/a.txt"},
                                  s, hooks_);
  EXPECT_EQ(r.stored, 1);
  std::vector<std::string> names = EntryNames(t_ / "zips/x.zip");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt"}));
  zip::TZipReader rd;
  rd.SetZipName(t_ / "zips/x.zip");
  zip::TUnZipOptions o;
  o.RecreateDirs = true;
  o.DestDir = t_ / "check";
  o.DoAll = true;
  o.OverwriteMode = zip::TUZOverwriteMode::Always;
  (void)rd.UnZip(o, {});
  EXPECT_EQ(ReadFile(t_ / "check/" + (t_ / "src/a.txt").substr(1)), "first");  // older file lost
}

TEST_F(MaintenanceTest, RemoveEntriesByIdentityAndFailurePaths) {
  WriteFile(t_ / "src/a*.txt", "star");
  WriteFile(t_ / "src/abc.txt", "abc");
  rtest::MakeArchive(t_ / "zips/x.zip", {t_ / "src/a*.txt", t_ / "src/abc.txt"});
  zip::TZipReader r;
  std::vector<EntryRow> rows = ArchiveContents(r, t_ / "zips/x.zip");
  ASSERT_EQ(rows[0].file_name, "a*.txt");
  zip::TZipWriter writer;
  ui_.Answer(false);
  EXPECT_EQ(RemoveEntriesFromArchive(writer, t_ / "zips/x.zip", {rows[0]}, hooks_), 0);
  EXPECT_EQ(EntryNames(t_ / "zips/x.zip").size(), 2u);
  EXPECT_EQ(RemoveEntriesFromArchive(writer, t_ / "zips/x.zip", {rows[0]}, hooks_), 1);
  EXPECT_EQ(EntryNames(t_ / "zips/x.zip"), (std::vector<std::string>{"abc.txt"}));
  rows = ArchiveContents(r, t_ / "zips/x.zip");
  EXPECT_EQ(RemoveEntriesFromArchive(writer, t_ / "zips/x.zip", rows, hooks_), 1);
  EXPECT_EQ(fs::file_size(t_ / "zips/x.zip"), 22u);  // only the end record is left
  EXPECT_TRUE(EntryNames(t_ / "zips/x.zip").empty());

  // A damaged archive: the error reaches the caller and the file stays as it was.
  WriteFile(t_ / "zips/bad.zip", "PK\x03\x04 not really an archive, cut short");
  std::string before = ReadFile(t_ / "zips/bad.zip");
  EntryRow row;
  row.full_name = "x.txt";
  bool running_after = true;
  hooks_.set_running = [&](bool on) { running_after = on; };
  EXPECT_THROW(RemoveEntriesFromArchive(writer, t_ / "zips/bad.zip", {row}, hooks_), EZipError);
  EXPECT_FALSE(running_after);
  EXPECT_EQ(ReadFile(t_ / "zips/bad.zip"), before);
  EXPECT_THROW(
      AddFilesToArchive(writer, t_ / "zips/bad.zip", {t_ / "src/abc.txt"}, AddSettings{}, hooks_),
      EZipError);
  EXPECT_EQ(ReadFile(t_ / "zips/bad.zip"), before);
  EXPECT_EQ(Leftovers(t_ / "zips"), 0);
}

TEST_F(MaintenanceTest, IncompleteArchiveAnswers) {
  // An archive cut before its directory: MultiZip reads again (and asks
  // again while the end is missing), Recover scans, Cancel gives up.
  WriteFile(t_ / "src/a.txt", "alpha");
  WriteFile(t_ / "src/b.txt", "bravo");
  rtest::MakeArchive(t_ / "zips/cut.zip", {t_ / "src/a.txt", t_ / "src/b.txt"});
  std::string bytes = ReadFile(t_ / "zips/cut.zip");
  WriteFile(t_ / "zips/cut.zip", bytes.substr(0, bytes.find("PK\x01\x02")));

  std::vector<IncompleteAnswer> script = {IncompleteAnswer::kMultiZip, IncompleteAnswer::kMultiZip,
                                          IncompleteAnswer::kCancel};
  size_t asked = 0;
  zip::TZipReader reader;
  const IncompleteHandler answer = [&](zip::TIncompleteZipMode& mode) {
    mode = IncompleteModeFor(script.at(asked++));
  };
  try {
    (void)ArchiveContents(reader, t_ / "zips/cut.zip", answer);
    ADD_FAILURE() << "a cancelled incomplete archive must not list";
  } catch (const ENotAZipFile& e) {
    EXPECT_STREQ(e.what(), "Not a valid zip file!");
  }
  EXPECT_EQ(asked, 3u);

  script = {IncompleteAnswer::kRecover};
  asked = 0;
  zip::TZipReader recovering;
  std::vector<EntryRow> rows = ArchiveContents(recovering, t_ / "zips/cut.zip", answer);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].file_name, "a.txt");
  EXPECT_EQ(rows[1].file_name, "b.txt");
}

}  // namespace
}  // namespace zb::restore
