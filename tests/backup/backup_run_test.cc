#include "backup/backup_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "app/activity_log.h"
#include "scripted_user_interaction.h"
#include "backup/retention_ring.h"
#include "fault_file.h"
#include "ini/ini_file.h"
#include "platform/atomic_file.h"
#include "platform/file_system.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

namespace zb::backup {
namespace {

namespace fs = std::filesystem;

// Flips the first byte of any block holding the marker text: stored data
// then no longer match their CRC-32, as after a bad write to the disk.
class CorruptingFile final : public WritableFile {
 public:
  explicit CorruptingFile(std::unique_ptr<WritableFile> base) : base_(std::move(base)) {}
  void Append(std::span<const std::byte> data) override {
    std::string block(reinterpret_cast<const char*>(data.data()), data.size());
    const size_t at = block.find("CORRUPTME");
    if (at != std::string::npos) block[at] ^= 0x20;
    base_->Append(std::as_bytes(std::span(block.data(), block.size())));
  }
  void WriteAt(uint64_t offset, std::span<const std::byte> data) override {
    base_->WriteAt(offset, data);
  }
  [[nodiscard]] uint64_t Position() const override { return base_->Position(); }
  void Sync() override { base_->Sync(); }
  void Close() override { base_->Close(); }
  void Truncate(uint64_t size) override { base_->Truncate(size); }
  [[nodiscard]] const fs::path& Path() const override { return base_->Path(); }

 private:
  std::unique_ptr<WritableFile> base_;
};
class CorruptingFactory final : public WritableFileFactory {
 public:
  std::unique_ptr<WritableFile> Wrap(File file) override {
    return std::make_unique<CorruptingFile>(DefaultWritableFileFactory().Wrap(std::move(file)));
  }
};

class BackupRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_run_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    data_ = root_ / "data";
    src_ = root_ / "src";
    out_ = root_ / "out";
    fs::create_directories(data_);
    fs::create_directories(src_ / "sub");
    fs::create_directories(out_);
    Write(src_ / "a.txt", "alpha");
    Write(src_ / "b.txt", std::string(5000, 'b'));
    Write(src_ / "sub" / "c.txt", "gamma");
    project_.FilenamePrefix = "p";
    project_.Suffix = kSuffixNumber;
    project_.Value = 0;
    project_.SavePath = out_.string() + "/";
    project_.Include = {src_.string() + "/*.*"};
    project_.IncludeSubfolders = true;
    project_.UsePassword = false;
    project_.StoreComment = false;
    project_.StoreNumber = 2;
    log_ = std::make_unique<app::ActivityLog>(data_ / "log.txt", 50, [] { return "when"; });
    log_->Load();
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // One run of `project_` as the page holds it; the page then shows the
  // project as the run left it.
  BackupRunResult Run(bool scheduled = false) {
    BackupRunRequest request;
    request.data_dir = data_;
    request.project_name = "P";
    request.project = project_;
    request.settings = settings_;
    request.scheduled = scheduled;
    request.file_name = file_name_;
    BackupRunHooks hooks;
    hooks.ui = &ui_;
    hooks.log = log_.get();
    hooks.clock = clock_;
    hooks.interrupted = interrupted_;
    hooks.on_file = on_file_;
    hooks.on_archive_name = [this](const std::string& path) {
      named_.push_back({path, running_.size()});
    };
    hooks.pump = pump_;
    hooks.output_factory = factory_;
    hooks.data_file_ops = data_ops_;
    hooks.at_step = at_step_;
    hooks.set_running = [this](bool on) { running_.push_back(on); };
    BackupRunResult result = RunBackup(request, hooks);
    project_ = result.project;
    return result;
  }

  std::string Out(const std::string& name) const { return (out_ / name).string(); }
  // Names in the output folder, hidden temporary files included.
  std::set<std::string> OutFiles() const {
    std::set<std::string> names;
    if (!fs::exists(out_)) return names;
    for (const auto& e : fs::directory_iterator(out_)) names.insert(e.path().filename().string());
    return names;
  }
  std::vector<std::string> EntryNames(const std::string& archive, const std::string& pw = "") {
    zip::TZipReader reader;
    reader.SetZipName(archive);
    zip::TUnZipOptions options;
    options.Password = pw;
    reader.ReadDirectory();
    std::vector<std::string> names;
    for (int i = 0; i < reader.EntryCount(); ++i) names.push_back(reader.Entry(i).FullName());
    std::sort(names.begin(), names.end());
    const zip::TestResult test = reader.Test(options, {});
    EXPECT_EQ(test.failed, 0);
    EXPECT_EQ(test.tested, reader.EntryCount());
    return names;
  }
  std::vector<app::LogEntry> LogLines() const {
    std::vector<app::LogEntry> rows;
    for (const app::LogEntry& e : log_->Rows()) {
      if (!e.Empty()) rows.push_back(e);
    }
    return rows;  // newest first
  }
  int StoredValue() const {
    return ini::IniFile(data_ / "project.ini").ReadInteger("P", "Value", -1);
  }
  std::string SrcName(const std::string& rel) const {
    // Stored names keep the folder path without the leading "/".
    return (src_ / rel).string().substr(1);
  }

  fs::path root_, data_, src_, out_;
  BackupProject project_;
  app::AppSettings settings_;
  app::ScriptedUserInteraction ui_;
  std::unique_ptr<app::ActivityLog> log_;
  std::optional<std::string> file_name_;  // the name box, when typed
  std::function<DateTime()> clock_;
  std::function<bool()> interrupted_;
  std::function<void(const std::string&)> on_file_;
  std::function<void()> pump_;
  WritableFileFactory* factory_ = nullptr;
  FileOps* data_ops_ = nullptr;
  std::function<void(RunStep)> at_step_;
  std::vector<bool> running_;
  // Names handed to on_archive_name, with how many busy changes came before.
  std::vector<std::pair<std::string, size_t>> named_;
};

TEST_F(BackupRunTest, NumberRunsWriteCheckedArchivesReportLogAndRotate) {
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(r.archive_path, Out("p1.zip"));
  EXPECT_EQ(r.file_count, 3);
  EXPECT_EQ(EntryNames(Out("p1.zip")),
            (std::vector<std::string>{SrcName("a.txt"), SrcName("b.txt"), SrcName("sub/c.txt")}));
  const std::string kb = std::to_string(fs::file_size(Out("p1.zip")) / 1024);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].what, "timed");
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown[0].seconds, 6);
  EXPECT_EQ(ui_.shown[0].text,
            "Backup 3 Files Succeeds!\rProject Name: 'P'\rFile Name:    'p1.zip'\r"
            "File Size:    '" +
                kb + "Kb'");
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(LogLines()[0], (app::LogEntry{"when", "Backup", "Succeeds", "P",
                                          "3 files added to " + Out("p1.zip") + "  " + kb + "Kb"}));
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_EQ(r.next_file_name, Out("p2.zip"));
  EXPECT_EQ(running_, (std::vector<bool>{true, false}));
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip"}));  // no temporary file left

  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded);
  EXPECT_EQ(r.deleted, std::vector<std::string>{Out("p1.zip")});
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p2.zip", "p3.zip"}));
  EXPECT_EQ(StoredValue(), 3);
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p2.zip"), Out("p3.zip")}));
}

TEST_F(BackupRunTest, DateModeNamesAfterTheRunAndSameSecondMeetsTheExistingArchive) {
  project_.Suffix = kSuffixDate;
  project_.FilenamePrefix = "docs_";
  // A missing folder is made with its parents; the separator is added.
  out_ = root_ / "made" / "here";
  project_.SavePath = out_.string();
  clock_ = [] { return *EncodeDateTime(2026, 3, 5, 9, 7, 2); };
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(r.archive_path, Out("docs_03-05_09h07m02s.zip"));
  // The page's name box learns the run's name before the run is busy.
  ASSERT_EQ(named_.size(), 1u);
  EXPECT_EQ(named_[0].first, Out("docs_03-05_09h07m02s.zip"));
  EXPECT_EQ(named_[0].second, 0u);
  EXPECT_EQ(StoredValue(), -1);  // Date mode keeps no number
  r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(ui_.shown.back().text, "'" + Out("docs_03-05_09h07m02s.zip") + "'" +
                                       " exists,backup operation has been interrupted!\r"
                                       "You can setup Overwrite or Skip existed file in "
                                       "Preferences!");
  EXPECT_EQ(ui_.shown.back().kind, MessageKind::kWarning);
  EXPECT_EQ(LogLines()[0].status, "Interrupt");
  EXPECT_EQ(LogLines()[0].information,
            "'" + Out("docs_03-05_09h07m02s.zip") + "'" + " exists,backup has been interripted");
}

TEST_F(BackupRunTest, NameBoxKeepsATypedPathUntilAnArchiveIsMade) {
  // A stop leaves the box as it was; it used to be reset to the computed
  // name, losing the path the user had typed.
  file_name_ = Out("typed.zip");
  project_.Include.clear();
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kFailed);
  EXPECT_EQ(r.next_file_name, Out("typed.zip"));
  Write(out_ / "typed.zip", "in the way");
  project_.Include = {src_.string() + "/*.*"};
  project_.Suffix = kSuffixNone;
  r = Run();
  ASSERT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(r.next_file_name, Out("typed.zip"));
  // The typed path is the archive; afterwards the box shows the next name.
  fs::remove(out_ / "typed.zip");
  project_.Suffix = kSuffixNumber;
  r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(r.archive_path, Out("typed.zip"));
  EXPECT_EQ(r.next_file_name, Out("p2.zip"));

  // Date mode puts the run's own name into the box before it works.
  project_.Suffix = kSuffixDate;
  clock_ = [] { return *EncodeDateTime(2026, 12, 31, 23, 59, 59); };
  Write(root_ / "file", "not a folder");
  project_.SavePath = (root_ / "file").string();
  r = Run();
  ASSERT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(r.next_file_name, (root_ / "file" / "p12-31_23h59m59s.zip").string());
}

TEST_F(BackupRunTest, RelativeFolderIsKeptAsAFullPathInTheLogAndTheRing) {
  // A ring of relative paths would delete files of whatever folder a later
  // run happens to start in.
  const fs::path before = fs::current_path();
  fs::current_path(root_);
  project_.SavePath = "rel/./out";
  BackupRunResult r = Run();
  fs::current_path(before);
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  const std::string full = (root_ / "rel" / "out" / "p1.zip").string();
  EXPECT_EQ(r.archive_path, full);
  EXPECT_TRUE(fs::exists(full));
  EXPECT_EQ(RingArchives(data_, "P"), std::vector<std::string>{full});
  EXPECT_TRUE(LogLines()[0].information.starts_with("3 files added to " + full + "  "));
}

TEST_F(BackupRunTest, PasswordDoesNotCarryOverToTheNextProject) {
  project_.UsePassword = true;
  project_.Password = " secret ";
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  {
    zip::TZipReader reader;
    reader.SetZipName(Out("p1.zip"));
    reader.ReadDirectory();
    ASSERT_GT(reader.EntryCount(), 0);
    EXPECT_TRUE(reader.Entry(0).flags & 1) << "entries are encrypted";
  }
  EXPECT_EQ(EntryNames(Out("p1.zip"), "secret").size(), 3u);
  project_.UsePassword = false;
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  zip::TZipReader reader;
  reader.SetZipName(Out("p2.zip"));
  reader.ReadDirectory();
  for (int i = 0; i < reader.EntryCount(); ++i) EXPECT_FALSE(reader.Entry(i).flags & 1);
}

// ---- The newer-than filter ----------------------------------------------------

TEST_F(BackupRunTest, NewerThanFilterTakesFilesAtOrAfterTheMoment) {
  const DateTime threshold = *EncodeDateTime(2024, 1, 1, 12, 0, 0);
  const std::time_t t = ToTimeT(threshold);
  SetFileTimes(src_ / "a.txt", timespec{t - 1, 0});  // just before: skipped
  SetFileTimes(src_ / "b.txt", timespec{t, 0});      // exactly at: taken
  SetFileTimes(src_ / "sub" / "c.txt", timespec{t + 3600, 0});
  project_.UseNewer = true;
  project_.NewerThan = threshold;
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded);
  EXPECT_EQ(EntryNames(r.archive_path),
            (std::vector<std::string>{SrcName("b.txt"), SrcName("sub/c.txt")}));
  EXPECT_TRUE(r.left_out.empty());  // skipped by the filter is not left out
  // The moment is not moved without "Use last backup date".
  EXPECT_EQ(r.project.NewerThan, threshold);
}

TEST_F(BackupRunTest, NewerThanMomentIsTheStartOfTheRun) {
  // A clock that moves on by a minute at every look, 0.75 s past the second.
  DateTime now = *EncodeDateTime(2026, 7, 1, 10, 0, 0) + 0.75 / 86400;
  std::vector<DateTime> seen;
  clock_ = [&] {
    now += 1.0 / 1440;
    seen.push_back(now);
    return now;
  };
  size_t looks_before_files = 0;
  on_file_ = [&](const std::string&) {
    if (looks_before_files == 0) looks_before_files = seen.size();
  };
  project_.UseToday = true;
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded);
  ASSERT_GT(looks_before_files, 0u);
  // The stored moment was taken before the first file was stored; the page
  // holds what the file holds (the second, never rounded up past the start).
  const DateTime start = seen[looks_before_files - 1];
  const std::string stored = ini::IniFile(data_ / "project.ini").ReadString("P", "NewDateTime", "");
  EXPECT_EQ(stored, FormatDateTimeFull(start));
  EXPECT_EQ(r.project.NewerThan, *ParseDateTime(stored));
  EXPECT_LE(r.project.NewerThan, start);
  EXPECT_GT(r.project.NewerThan, start - 1.0 / 86400);
}

TEST_F(BackupRunTest, RunWithEverySourceGoneFailsAndWritesNothing) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  // The sources are gone (a disk not mounted): each run fails naming the
  // source, writes no archive, and the two real backups stay.
  fs::remove_all(src_);
  for (int i = 0; i < 3; ++i) {
    BackupRunResult r = Run(/*scheduled=*/true);
    ASSERT_EQ(r.status, RunStatus::kFailed) << r.message;
    EXPECT_NE(r.message.find("'" + src_.string() + "'"), std::string::npos) << r.message;
    EXPECT_FALSE(r.recorded);
    EXPECT_EQ(LogLines()[0].status, "Fails");
  }
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip", "p2.zip"}));
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p1.zip"), Out("p2.zip")}));
  EXPECT_EQ(StoredValue(), 2);
}

TEST_F(BackupRunTest, DuplicateStoredNamesAreCountedAsLeftOut) {
  Write(src_ / "sub" / "a.txt", "second a");
  project_.StorePath = false;
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded);
  EXPECT_EQ(r.file_count, 3);
  ASSERT_EQ(r.left_out.size(), 1u);
  EXPECT_TRUE(r.recorded);
  EXPECT_TRUE(LogLines()[0].information.ends_with("; 1 left out"));
}

// ---- An archive of the same name --------------------------------------------

TEST_F(BackupRunTest, UnrecordedFileUnderTheNewNameIsSetAsideNeverOverwritten) {
  Write(out_ / "p1.zip", "old archive");
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(Read(out_ / "p1.kept-1.zip"), "old archive");
  EXPECT_EQ(r.set_aside, (std::vector<std::string>{Out("p1.kept-1.zip")}));
  EXPECT_EQ(EntryNames(Out("p1.zip")).size(), 3u);
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_NE(LogLines()[1].information.find("kept as " + Out("p1.kept-1.zip")), std::string::npos);
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p1.zip")}));
  // A folder under the name is never moved: the run stops as before.
  fs::create_directories(out_ / "p2.zip");
  EXPECT_EQ(Run().status, RunStatus::kInterrupted);
  EXPECT_TRUE(fs::is_directory(out_ / "p2.zip"));
}

TEST_F(BackupRunTest, NoneModeWithoutOverwriteSaysTheProjectDoesNotOverwrite) {
  project_.Suffix = kSuffixNone;
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  const std::string first = Read(out_ / "p.zip");
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(Read(out_ / "p.zip"), first);
  EXPECT_EQ(r.message.find("interrupted"), std::string::npos) << r.message;
  EXPECT_NE(r.message.find("does not overwrite it"), std::string::npos) << r.message;
  EXPECT_EQ(LogLines()[0].status, "Interrupt");
  EXPECT_NE(LogLines()[0].information.find("does not overwrite it"), std::string::npos);
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p.zip"}));
}

TEST_F(BackupRunTest, ExistingArchiveWithOverwriteOnIsReplacedOnlyByTheCheckedArchive) {
  // The destination lies among the sources: the old archive must not end up
  // inside its successor.
  out_ = src_ / "out";
  project_.SavePath = out_.string();
  fs::create_directories(out_);
  Write(out_ / "p1.zip", "old archive");
  settings_.OverwriteExisting = true;
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(EntryNames(Out("p1.zip")),
            (std::vector<std::string>{SrcName("a.txt"), SrcName("b.txt"), SrcName("sub/c.txt")}));

  // A writer failure now leaves the old archive in place.
  const std::string good = Read(out_ / "p1.zip");
  project_.Value = 0;
  testing::FaultFileFactory full(100);
  factory_ = &full;
  r = Run();
  EXPECT_EQ(r.status, RunStatus::kFailed);
  EXPECT_EQ(Read(out_ / "p1.zip"), good);
}

TEST_F(BackupRunTest, ArchiveThatAppearsDuringTheRunIsNeverReplaced) {
  // Another program writes a file of the archive's name while the run works.
  on_file_ = [this](const std::string&) {
    if (!fs::exists(out_ / "p1.zip")) Write(out_ / "p1.zip", "arrived meanwhile");
  };
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(Read(out_ / "p1.zip"), "arrived meanwhile");
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip"}));
  EXPECT_EQ(LogLines()[0].status, "Interrupt");
  EXPECT_EQ(StoredValue(), -1);
}

TEST_F(BackupRunTest, LongArchiveNameDoesNotOverflowTheTemporaryName) {
  project_.FilenamePrefix = std::string(240, 'n');
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(OutFiles(), (std::set<std::string>{project_.FilenamePrefix + "1.zip"}));
}

TEST_F(BackupRunTest, NumberAtItsLimitSaysWhyTheRunStopped) {
  project_.Value = 995;
  project_.IncreaseValue = 5;
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  ASSERT_TRUE(fs::exists(out_ / "p1000.zip"));
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_NE(ui_.shown.back().text.find("reached its limit of 1000"), std::string::npos);
  EXPECT_NE(LogLines()[0].information.find("reached its limit of 1000"), std::string::npos);
}

// ---- Failures delete nothing --------------------------------------------------

TEST_F(BackupRunTest, DestinationThatCannotBeCreatedInterrupts) {
  Write(root_ / "file", "not a folder");
  project_.SavePath = (root_ / "file" / "sub").string();
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  const std::string text =
      "Folder '" + (root_ / "file" / "sub").string() + "/' can not be create,backup interrupted!";
  EXPECT_EQ(ui_.shown.back().text, text);
  EXPECT_EQ(ui_.shown.back().what, "timed");
  EXPECT_EQ(LogLines()[0], (app::LogEntry{"when", "Backup", "Interrupt", "P", text}));
}

TEST_F(BackupRunTest, DestinationThatCannotBeWrittenFailsAndKeepsTheRing) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  // /proc refuses new files even to root.
  project_.SavePath = "/proc/";
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kFailed);
  EXPECT_FALSE(r.message.empty());
  // Not a check: the error ends the command and is shown with its full stop.
  EXPECT_EQ(ui_.shown.back().what, "command");
  EXPECT_EQ(ui_.shown.back().text, WithFullStop(r.message));
  EXPECT_EQ(LogLines()[0].status, "Fails");
  EXPECT_EQ(RingArchives(data_, "P"), std::vector<std::string>{Out("p1.zip")});
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_FALSE(fs::exists("/proc/p2.zip"));
}

TEST_F(BackupRunTest, EmptyFolderStopsWithAnErrorLoggedOnlyForScheduledRuns) {
  project_.SavePath = "";
  EXPECT_EQ(Run().status, RunStatus::kFailed);
  EXPECT_EQ(ui_.shown.back().what, "command");
  EXPECT_EQ(ui_.shown.back().text, "Unable to create directory.");
  EXPECT_TRUE(LogLines().empty());
  EXPECT_EQ(Run(/*scheduled=*/true).status, RunStatus::kFailed);
  EXPECT_EQ(ui_.shown.back().what, "timed");
  EXPECT_EQ(ui_.shown.back().kind, MessageKind::kError);
  EXPECT_EQ(LogLines()[0].status, "Fails");
}

TEST_F(BackupRunTest, FullDiskFailsLogsAndKeepsTheRing) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  testing::FaultFileFactory full(200);
  factory_ = &full;
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kFailed);
  EXPECT_GT(full.FilesMade(), 0);
  EXPECT_EQ(ui_.shown.back().what, "command");
  EXPECT_EQ(LogLines()[0].status, "Fails");
  EXPECT_EQ(LogLines()[0].information, r.message);
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip", "p2.zip"}));
  EXPECT_EQ(StoredValue(), 2);
  EXPECT_EQ(project_.Value, 2);
}

TEST_F(BackupRunTest, ArchiveThatDoesNotReadBackIsNeverPlaced) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  Write(src_ / "b.txt", "CORRUPTME please");
  project_.PackLevel = 0;  // stored: the marker reaches the file as it is
  CorruptingFactory corrupting;
  factory_ = &corrupting;
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kFailed);
  EXPECT_NE(r.message.find("nothing was deleted"), std::string::npos) << r.message;
  EXPECT_EQ(LogLines()[0].status, "Fails");
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip", "p2.zip"}));
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p1.zip"), Out("p2.zip")}));
  EXPECT_EQ(StoredValue(), 2);
}

TEST_F(BackupRunTest, UserInterruptStopsTheRunAndDeletesNothing) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  interrupted_ = [] { return true; };
  BackupRunResult r = Run();
  EXPECT_EQ(r.status, RunStatus::kInterrupted);
  EXPECT_EQ(LogLines()[0].status, "Interrupt");
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip"}));
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_EQ(running_.back(), false);
}

TEST_F(BackupRunTest, FileListIsExpandedBeforeAnyFileOfTheRunExists) {
  // The destination lies among the sources, beside a leftover of a writer
  // that was killed there.
  out_ = src_ / "out";
  project_.SavePath = out_.string();
  fs::create_directories(out_);
  const std::string leftover = ".p1.zip.zbk-abcdefgh.tmp";
  ASSERT_TRUE(zip::TZipWriter::IsTempFileName(leftover));
  Write(out_ / leftover, "half an archive");
  // Enough files for the folder walk to pump while it expands the list.
  fs::create_directories(src_ / "many");
  for (int i = 0; i < 600; ++i) Write(src_ / "many" / std::to_string(i), "x");
  std::vector<std::set<std::string>> seen;
  pump_ = [&] { seen.push_back(OutFiles()); };
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  // The first pump is the expansion's: the destination is empty then.
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), std::set<std::string>{});
  EXPECT_TRUE(r.left_out.empty()) << r.left_out[0].path;
  EXPECT_EQ(r.file_count, 603);
  EXPECT_EQ(EntryNames(Out("p1.zip")).size(), 603u);
  EXPECT_EQ(OutFiles(), std::set<std::string>{"p1.zip"});
}

TEST_F(BackupRunTest, LeftoverOfAKilledRunIsRemovedByTheNextRun) {
  Write(out_ / ".zbrun-abc12345", "half an archive");
  Write(out_ / "keep.zbrun-abc12345", "not ours");
  Write(out_ / ".zbrun-ABC12345", "not ours either");
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  EXPECT_EQ(OutFiles(),
            (std::set<std::string>{"p1.zip", "keep.zbrun-abc12345", ".zbrun-ABC12345"}));
}

// ---- Questions, checks and scheduled runs -----------------------------------------

TEST_F(BackupRunTest, QuestionIsAskedOnlyForManualRuns) {
  settings_.PromptBeforeBackup = true;
  ui_.Answer(false);
  EXPECT_EQ(Run().status, RunStatus::kNotStarted);
  EXPECT_EQ(ui_.shown[0].what, "ask");
  EXPECT_EQ(ui_.shown[0].text, "Do you want to backup the project 'P'?");
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(OutFiles().empty());
  ui_.shown.clear();
  EXPECT_EQ(Run(/*scheduled=*/true).status, RunStatus::kSucceeded);
  for (const auto& shown : ui_.shown) EXPECT_NE(shown.what, "ask");
}

TEST_F(BackupRunTest, FailedCheckIsModalByHandAndSelfClosingWithALogLineWhenScheduled) {
  project_.Include.clear();
  EXPECT_EQ(Run().status, RunStatus::kFailed);
  EXPECT_EQ(ui_.shown.back().what, "error");
  EXPECT_EQ(ui_.shown.back().text, "Please select files to backup");
  EXPECT_TRUE(LogLines().empty());
  // A night of failing scheduled runs: one line each, nothing waits.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Run(true).status, RunStatus::kFailed);
  EXPECT_EQ(LogLines().size(), 3u);
  EXPECT_EQ(LogLines()[0],
            (app::LogEntry{"when", "Backup", "Fails", "P", "Please select files to backup"}));
  for (size_t i = 1; i < ui_.shown.size(); ++i) {
    EXPECT_EQ(ui_.shown[i].what, "timed");
    EXPECT_EQ(ui_.shown[i].seconds, 6);
  }
}

TEST_F(BackupRunTest, HandEditedValuesAreBroughtIntoRangeForTheRun) {
  project_.StoreNumber = 0;  // would delete the whole ring or divide by zero
  project_.IncreaseValue = -7;
  project_.PackLevel = 42;
  project_.Suffix = 9;
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(r.archive_path, Out("p1.zip"));
  EXPECT_EQ(ini::IniFile(data_ / "StoreNumber.txt").ReadInteger("P", "Max", 0), 2);
}

TEST_F(BackupRunTest, BookkeepingSurvivesALogThatCannotBeWritten) {
  fs::create_directories(data_ / "log.txt");  // a folder where the log should be
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded);
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_TRUE(r.recorded);
  ASSERT_EQ(r.late_errors.size(), 1u);
  EXPECT_NE(r.late_errors[0].find("log.txt"), std::string::npos);
  // The report comes first, the log failure after it.
  ASSERT_GE(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].kind, MessageKind::kInformation);
  EXPECT_EQ(ui_.shown.back().what, "command");
}

// ---- Interrupted runs, empty runs, odd include entries ---------------------------

// Writes of data files fail with a full disk from the `ok`+1-th file on.
class FullDiskOps final : public FileOps {
 public:
  explicit FullDiskOps(int ok) : ok_(ok) {}
  int Open(const char* path, int flags, mode_t mode) override {
    ++opened_;
    return FileOps::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    if (opened_ > ok_) {
      errno = ENOSPC;
      return -1;
    }
    return FileOps::Write(fd, data, size);
  }

 private:
  int ok_;
  int opened_ = 0;
};

// Names in `dir` that a run leaves only when something went wrong.
std::vector<std::string> Debris(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (n.starts_with(".") && n != ".zipbackup.lock") names.push_back(n);
    if (n.find(".kept-") != std::string::npos) names.push_back(n);
  }
  return names;
}

TEST_F(BackupRunTest, RunKilledAtAnyPointIsRecoveredByTheNextRun) {
  struct Case {
    RunStep killed_at;
    std::vector<std::string> ring_after_next;  // keep count 2
    int value_after_next;
  };
  const Case cases[] = {
      // Before placing: nothing of the killed run remains; its number is reused.
      {RunStep::kMarked, {"p1.zip", "p2.zip"}, 2},
      // Placed, recorded, counted: the killed run's p2 is kept, the next is p3.
      {RunStep::kPlaced, {"p2.zip", "p3.zip"}, 3},
      {RunStep::kRecorded, {"p2.zip", "p3.zip"}, 3},
      {RunStep::kCounted, {"p2.zip", "p3.zip"}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.killed_at));
    TearDown();
    SetUp();
    ASSERT_EQ(Run().status, RunStatus::kSucceeded);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      at_step_ = [&c](RunStep step) {
        if (step == c.killed_at) _exit(0);
      };
      (void)Run(true);
      _exit(1);  // not reached when the step is passed
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // A copy of the ring file a killed write left, named after the dead child.
    Write(data_ / (".StoreNumber.txt.tmp-" + std::to_string(child) + "-0"), "[P]\nMax=");
    Write(data_ / ".StoreNumber.txt.tmp", "[P]\nHead=");

    // The next start reads the number as the killed run left it.
    project_.Value = StoredValue();
    BackupRunResult r = Run(true);
    ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
    std::vector<std::string> ring;
    for (const std::string& n : c.ring_after_next) ring.push_back(Out(n));
    EXPECT_EQ(RingArchives(data_, "P"), ring);
    EXPECT_EQ(StoredValue(), c.value_after_next);
    EXPECT_EQ(project_.Value, c.value_after_next);
    // Every archive left is one the ring holds and reads back whole.
    EXPECT_EQ(OutFiles().size(), ring.size());
    for (const std::string& a : ring) EXPECT_EQ(EntryNames(a).size(), 3u);
    EXPECT_TRUE(Debris(out_).empty());
    EXPECT_TRUE(Debris(data_).empty());
    EXPECT_FALSE(ReadPending(data_, "P").has_value());
    EXPECT_EQ(Run(true).status, RunStatus::kSucceeded);
  }
}

TEST_F(BackupRunTest, FullDiskAtTheRingRecordFailsAndTheNextRunKeepsTheArchive) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  FullDiskOps full(/*ok=*/1);  // the pending note is written, the ring is not
  data_ops_ = &full;
  BackupRunResult r = Run(true);
  EXPECT_EQ(r.status, RunStatus::kFailed);
  EXPECT_NE(r.message.find("record could not be written"), std::string::npos) << r.message;
  EXPECT_EQ(LogLines()[0].status, "Fails");
  EXPECT_EQ(StoredValue(), 1);
  EXPECT_TRUE(fs::exists(out_ / "p2.zip"));
  data_ops_ = nullptr;
  r = Run(true);
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(r.adopted, (std::vector<std::string>{Out("p2.zip")}));
  EXPECT_EQ(r.archive_path, Out("p3.zip"));
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p2.zip"), Out("p3.zip")}));
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p2.zip", "p3.zip"}));
}

TEST_F(BackupRunTest, PendingArchiveThatDoesNotReadBackIsSetAside) {
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  MarkPending(data_, "P", {Out("p2.zip"), 2, 0}, FileOps::Default());
  Write(out_ / "p2.zip", "not an archive");
  BackupRunResult r = Run();
  ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(Read(out_ / "p2.kept-1.zip"), "not an archive");
  EXPECT_EQ(r.archive_path, Out("p3.zip"));
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p1.zip"), Out("p3.zip")}));
}

TEST_F(BackupRunTest, DeletionsOfTheRingAreLogged) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  const std::vector<app::LogEntry> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0].information.find("files added to " + Out("p3.zip")), 2u);
  EXPECT_EQ(lines[1].status, "Succeeds");
  EXPECT_EQ(lines[1].information,
            "deleted the old archive " + Out("p1.zip") + " (only the last 2 are kept)");
}

TEST_F(BackupRunTest, NothingChangedRunsWriteNoArchiveAndKeepTheRing) {
  project_.UseNewer = true;
  project_.UseToday = true;
  project_.NewerThan = 0;
  // Runs a minute ahead: every file is older than the last run's start.
  clock_ = [] { return Now() + 1.0 / 1440; };
  ASSERT_EQ(Run().status, RunStatus::kSucceeded);
  for (int i = 0; i < 10; ++i) {
    BackupRunResult r = Run(true);
    ASSERT_EQ(r.status, RunStatus::kNothingToBackUp) << r.message;
    EXPECT_EQ(LogLines()[0].status, "Succeeds");
    EXPECT_EQ(LogLines()[0].information, "nothing changed since the last backup");
  }
  EXPECT_EQ(OutFiles(), (std::set<std::string>{"p1.zip"}));
  EXPECT_EQ(RingArchives(data_, "P"), (std::vector<std::string>{Out("p1.zip")}));
  EXPECT_EQ(StoredValue(), 1);
}

TEST_F(BackupRunTest, IncludeEntriesMustBeFullPathsAndFoldersAreBackedUpWhole) {
  const std::string home = (root_ / "home").string();
  fs::create_directories(home);
  fs::copy(src_, root_ / "home" / "docs", fs::copy_options::recursive);
  const std::string old_home = getenv("HOME") ? getenv("HOME") : "";
  setenv("HOME", home.c_str(), 1);
  struct Case {
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    RunStatus status;
    int files;
    std::string left_out;  // the entry named as left out, if any
  };
  const Case cases[] = {
      {{"mydocs/*"}, {}, RunStatus::kFailed, 0, "mydocs/*"},
      {{"mydocs/*", src_.string() + "/*.*"}, {}, RunStatus::kSucceeded, 3, "mydocs/*"},
      {{"~/docs/*.txt"}, {}, RunStatus::kSucceeded, 3, ""},
      {{"~/docs/*.txt"}, {"~/docs/sub/*"}, RunStatus::kSucceeded, 2, ""},
      {{src_.string() + "/"}, {}, RunStatus::kSucceeded, 3, ""},
      {{src_.string()}, {}, RunStatus::kSucceeded, 3, ""},
      {{">" + (src_ / "sub").string() + "/"}, {}, RunStatus::kSucceeded, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.include[0]);
    project_.Include = c.include;
    project_.Exclude = c.exclude;
    BackupRunResult r = Run(true);
    ASSERT_EQ(r.status, c.status) << r.message;
    if (c.status == RunStatus::kSucceeded) {
      EXPECT_EQ(r.file_count, c.files);
      for (const std::string& n : EntryNames(r.archive_path)) EXPECT_EQ(n[0], 't') << n;
    }
    const std::string& named = c.status == RunStatus::kFailed
                                   ? r.message
                                   : (r.left_out.empty() ? std::string() : r.left_out[0].path);
    if (!c.left_out.empty()) {
      EXPECT_NE(named.find(c.left_out), std::string::npos) << named;
      if (c.status == RunStatus::kFailed) {
        EXPECT_NE(named.find("'P'"), std::string::npos);
      }
    } else {
      EXPECT_TRUE(r.left_out.empty());
    }
  }
  // A save folder under "~/" is the home folder's; no folder "~" appears.
  project_.Include = {src_.string() + "/*.*"};
  project_.SavePath = "~/saved/";
  BackupRunResult r = Run(true);
  EXPECT_EQ(r.status, RunStatus::kSucceeded) << r.message;
  EXPECT_EQ(fs::path(r.archive_path).parent_path(), fs::path(home) / "saved");
  EXPECT_FALSE(fs::exists("~"));
  project_.SavePath = "~nobody/";
  EXPECT_EQ(Run(true).status, RunStatus::kFailed);
  EXPECT_FALSE(fs::exists("~nobody"));
  setenv("HOME", old_home.c_str(), 1);
}

TEST_F(BackupRunTest, OwnArchivesAndTemporaryFilesAreNeverStored) {
  project_.SavePath = (src_ / "backups").string() + "/";
  Write(src_ / ".StoreNumber.txt.tmp-1234-0", "a data file's copy");
  Write(src_ / ".x.zip.zbk-abcd1234.tmp", "a killed run's archive");
  // A copy of a live process (this one) is never swept from the data folder.
  const fs::path live = data_ / (".log.txt.tmp-" + std::to_string(getpid()) + "-9");
  Write(live, "being written");
  for (int i = 0; i < 3; ++i) {
    BackupRunResult r = Run();
    ASSERT_EQ(r.status, RunStatus::kSucceeded) << r.message;
    EXPECT_EQ(r.file_count, 3);
  }
  for (const std::string& n : EntryNames((src_ / "backups" / "p3.zip").string())) {
    EXPECT_EQ(n.find("backups"), std::string::npos) << n;
  }
  EXPECT_TRUE(fs::exists(live));
}

}  // namespace
}  // namespace zb::backup
