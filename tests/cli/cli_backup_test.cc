#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/data_folder.h"
#include "cli/cli_runner.h"
#include "ini/ini_file.h"

namespace {

namespace fs = std::filesystem;

using Result = zb::clitest::CliResult;

std::string Slurp(const fs::path& p) { return zb::clitest::SlurpFile(p); }

class CliBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = zb::clitest::CliProgram();
    ASSERT_FALSE(program_.empty()) << "ZB_PROGRAM_DIR is set by CTest";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    root_ = zb::clitest::MakeScratchDir("zb_cli_backup");
    ASSERT_FALSE(root_.empty());
    data_ = root_ / "data";
    src_ = root_ / "src";
    fs::create_directories(data_);
    fs::create_directories(src_ / "deep");
    std::ofstream(src_ / "one.txt") << "one";
    std::ofstream(src_ / "deep" / "two.txt") << "two";
    std::ofstream(src_ / "skip.tmp") << "excluded";
  }
  void TearDown() override { fs::remove_all(root_); }

  // project.ini as a user's file would look: CRLF, odd case, quotes, blanks.
  void WriteProjects(const std::string& extra_docs = "") {
    std::ofstream(data_ / "project.ini", std::ios::binary)
        << "[Common]\r\nIs Append 0=1\r\nWidth=3\r\nProject Count=2\r\n"
           "Count0=Docs\r\nCount1=Dated\r\n"
           "[docs]\r\nFilename prefix = \"docs\" \r\nSuffix=2\r\nIncrease Value=1\r\nValue=0\r\n"
           "Save Path="
        << (root_ / "out").string() << "/\r\nBackup Directory Count=1\r\nBackup0=" << src_.string()
        << "/*.*\r\nNo Backup Directory Count=1\r\nNoBackup0=*.tmp\r\n"
           "Whether include Subdirectory=1\r\nWhether password Project=0\r\n"
           "Whether store comment in Zip=0\r\nStore Number=2\r\n"
        << extra_docs
        << "[Dated]\r\nFilename prefix=d_\r\nSuffix=1\r\nSave Path=" << (root_ / "dated").string()
        << "\r\nBackup Directory Count=2\r\nBackup0=" << src_.string()
        << "/one.txt\r\nBackup1=" << (root_ / "gone.txt").string()
        << "\r\nWhether password Project=0\r\n";
  }

  Result Run(const std::vector<std::string>& args) const {
    return zb::clitest::RunCli(program_, args, root_);
  }
  Result Backup(const std::string& name) {
    return Run({"backup", name, "--data-dir", data_.string()});
  }
  std::string Out(const std::string& name) const { return (root_ / "out" / name).string(); }
  std::vector<std::string> OutFiles() const {
    std::vector<std::string> names;
    if (!fs::exists(root_ / "out")) return names;
    for (const auto& e : fs::directory_iterator(root_ / "out")) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Starts a backup of "Docs" in the background and returns once its
  // unfinished archive exists (a hidden temporary file in the destination),
  // or -1 after ten seconds.
  pid_t StartBackupAndWaitForItsTemporaryFile() {
    const pid_t child = fork();
    if (child == 0) {
      if (!freopen((root_ / ".bg-out").c_str(), "w", stdout) ||
          !freopen((root_ / ".bg-err").c_str(), "w", stderr)) {
        _exit(127);
      }
      const std::string data = data_.string();
      execl(program_.c_str(), program_.c_str(), "backup", "Docs", "--data-dir", data.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 2000; ++i) {
      for (const std::string& name : OutFiles()) {
        if (name.starts_with(".")) return child;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
  }
  static int Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  // Enough incompressible data at the strongest level for a run to take a
  // while.
  void AddBigSource() {
    std::mt19937 random(7);
    std::string block(1 << 20, '\0');
    std::ofstream big(src_ / "big.bin", std::ios::binary);
    for (int mb = 0; mb < 24; ++mb) {
      for (char& c : block) c = static_cast<char>(random());
      big << block;
    }
  }
  zb::ini::IniFile Log() const { return zb::ini::IniFile(data_ / "log.txt"); }

  fs::path program_, root_, data_, src_;
};

TEST_F(CliBackupTest, RepeatedRunsNameRotateLogAndStoreTheNumber) {
  WriteProjects();
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    const Result r = Backup("docs");  // the name is found without regard to case
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string archive = Out("docs00" + std::to_string(run) + ".zip");
    EXPECT_TRUE(r.out.starts_with(archive + "\n2 files added, 0 left out")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(archive));
    const zb::ini::IniFile project(data_ / "project.ini");
    EXPECT_EQ(project.ReadInteger("Docs", "Value", -1), run);
    const zb::ini::IniFile log = Log();
    // The third run also logs the deletion of the first archive, before its
    // own line.
    const int lines = run == 3 ? 4 : run;
    EXPECT_EQ(log.ReadInteger("Common", "Log Total", 0), lines);
    const std::string section = "Log" + std::to_string(lines);
    EXPECT_EQ(log.ReadString(section, "Operate", ""), "Backup");
    EXPECT_EQ(log.ReadString(section, "Status", ""), "Succeeds");
    EXPECT_EQ(log.ReadString(section, "Project", ""), "Docs");
    EXPECT_TRUE(log.ReadString(section, "Information", "")
                    .starts_with("2 files added to " + archive + "  "));
  }
  // Keep 2: the first archive is gone, the ring holds the last two.
  EXPECT_FALSE(fs::exists(Out("docs001.zip")));
  const zb::ini::IniFile ring(data_ / "StoreNumber.txt");
  EXPECT_EQ(ring.ReadInteger("Docs", "Max", 0), 2);
  EXPECT_EQ(ring.ReadInteger("Docs", "Head", 0), 1);
  EXPECT_EQ(ring.ReadString("Docs", "N1", ""), Out("docs003.zip"));
  EXPECT_EQ(ring.ReadString("Docs", "N2", ""), Out("docs002.zip"));
}

TEST_F(CliBackupTest, MissingSourceIsLeftOutWithExitOne) {
  WriteProjects();
  const Result r = Backup("Dated");
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.out,
      std::regex(
          R"(.*/dated/d_\d\d-\d\d_\d\dh\d\dm\d\ds\.zip\n1 files added, 1 left out[^\n]*\n)")))
      << r.out;
  EXPECT_NE(r.err.find("gone.txt"), std::string::npos);
  EXPECT_TRUE(Log().ReadString("Log1", "Information", "").ends_with("; 1 left out"));
}

TEST_F(CliBackupTest, FailuresExitTwoWithOneLineAndChangeNothing) {
  WriteProjects();
  Result r = Backup("nope");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "zipbackup-cli: There is no backup project 'nope'\n");

  // The next archive's name is taken by a file no ring knows: it is moved
  // aside, never overwritten, and the run goes on.
  fs::create_directories(root_ / "out");
  std::ofstream(Out("docs001.zip")) << "someone else's file";
  r = Backup("Docs");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "moved aside: " + Out("docs001.kept-1.zip") + "\n");
  EXPECT_EQ(Slurp(Out("docs001.kept-1.zip")), "someone else's file");
  EXPECT_EQ(zb::ini::IniFile(data_ / "project.ini").ReadInteger("Docs", "Value", -1), 1);
  EXPECT_EQ(Log().ReadString("Log1", "Status", ""), "Succeeds");

  // A project that fails its checks leaves a "Fails" line.
  std::ofstream(data_ / "project.ini", std::ios::app) << "[Empty]\r\nFilename prefix=e\r\n";
  {
    zb::ini::IniFile f(data_ / "project.ini");
    f.WriteInteger("Common", "Project Count", 3);
    f.WriteString("Common", "Count2", "Empty");
    f.Save();
  }
  r = Backup("Empty");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "zipbackup-cli: Please select files to backup\n");
  EXPECT_EQ(Log().ReadString("Log3", "Status", ""), "Fails");
}

TEST_F(CliBackupTest, EmptyRunsMissingSourcesAndStalledProjectsExitCodes) {
  WriteProjects("isUseNew=1\r\nisUseToday=1\r\nNewDateTime=2000-01-01 00:00:00\r\n");
  // The sources are older than any run's start, also within its second.
  for (const char* name : {"one.txt", "deep/two.txt", "skip.tmp"}) {
    fs::last_write_time(src_ / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
  }
  ASSERT_EQ(Backup("Docs").exit_code, 0);
  // Nothing changed since: no archive, exit 0, the reason on stdout.
  Result r = Backup("Docs");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("nothing changed since the last backup"), std::string::npos) << r.out;
  EXPECT_EQ(OutFiles(), std::vector<std::string>{"docs001.zip"});

  // A run stopped after placing its archive: the next one keeps it.
  zb::ini::IniFile ring(data_ / "StoreNumber.txt");
  ring.WriteString("Docs", "Pending", Out("docs002.zip"));
  ring.WriteInteger("Docs", "PendingNumber", 2);
  ring.Save();
  fs::copy_file(Out("docs001.zip"), Out("docs002.zip"));
  std::ofstream(src_ / "new.txt") << "new";
  r = Backup("Docs");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("kept the archive of an interrupted run: " + Out("docs002.zip")),
            std::string::npos)
      << r.out;
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"docs002.zip", "docs003.zip"}));

  // Every source gone: exit 2 naming it, no archive.
  fs::remove_all(src_);
  r = Backup("Docs");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("'" + src_.string() + "'"), std::string::npos) << r.err;
  EXPECT_EQ(OutFiles(), (std::vector<std::string>{"docs002.zip", "docs003.zip"}));
}

TEST_F(CliBackupTest, RefusesWhileAnotherProcessHoldsTheDataFolder) {
  WriteProjects();
  zb::app::DataFolderLock lock(data_);
  const Result r = Backup("Docs");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(fs::exists(root_ / "out"));
  EXPECT_FALSE(fs::exists(data_ / "log.txt"));
}

TEST_F(CliBackupTest, StopSignalInterruptsAndAKilledRunLeavesNothingBehind) {
  WriteProjects("PackLevel=9\r\n");
  AddBigSource();

  // A plain kill stops the run at its next block: "Interrupt" in the log,
  // no archive, no temporary file, the number unchanged.
  pid_t child = StartBackupAndWaitForItsTemporaryFile();
  ASSERT_GT(child, 0) << "the run never started writing";
  kill(child, SIGTERM);
  EXPECT_EQ(Wait(child), 2) << Slurp(root_ / ".bg-err");
  EXPECT_NE(Slurp(root_ / ".bg-err").find("interrupted"), std::string::npos);
  EXPECT_EQ(Log().ReadString("Log1", "Status", ""), "Interrupt");
  EXPECT_EQ(OutFiles(), std::vector<std::string>{});
  EXPECT_EQ(zb::ini::IniFile(data_ / "project.ini").ReadInteger("Docs", "Value", -1), 0);

  // A run that cannot catch its end leaves its temporary file; the next run
  // in that folder removes it and makes the archive all the same.
  child = StartBackupAndWaitForItsTemporaryFile();
  ASSERT_GT(child, 0) << "the run never started writing";
  kill(child, SIGKILL);
  EXPECT_EQ(Wait(child), -SIGKILL);
  ASSERT_FALSE(OutFiles().empty());
  const Result r = Backup("Docs");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(OutFiles(), std::vector<std::string>{"docs001.zip"});
  EXPECT_EQ(zb::ini::IniFile(data_ / "project.ini").ReadInteger("Docs", "Value", -1), 1);
}

}  // namespace
