#include "app/app_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "app/data_folder.h"
#include "base/errors.h"
#include "ini/ini_file.h"
#include "platform/atomic_file.h"

namespace zb::app {
namespace {

namespace fs = std::filesystem;

class AppSettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_app_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void PutProject(const std::string& text) {
    std::ofstream(dir_ / kProjectFile, std::ios::binary) << text;
  }
  std::string Project() const {
    return ReadFileIfExists(dir_ / kProjectFile).value_or("<missing>");
  }
  // Runs `body` in a child that holds the data-folder lock meanwhile.
  template <typename Body>
  void WhileAnotherProcessHoldsTheLock(Body body) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    if (child == 0) {
      DataFolderLock lock(dir_);
      (void)!write(ready[1], "x", 1);
      char c;
      (void)!read(done[0], &c, 1);
      _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    body();
    (void)!write(done[1], "x", 1);
    waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  }

  fs::path dir_;
};

TEST_F(AppSettingsTest, FirstStartGivesDefaults) {
  const AppSettings s = ReadAppSettings(dir_);
  EXPECT_EQ(s, AppSettings{});
  EXPECT_FALSE(s.PromptBeforeBackup);
  EXPECT_TRUE(s.ScheduleEnabled);
  EXPECT_EQ(s.LogCount, 50);
  EXPECT_EQ(s.SortField, 2);
  EXPECT_EQ(s.SortDescending, 0);
  EXPECT_EQ(s.NumberWidth, 2);
  EXPECT_EQ(s.LastProject, "");
}

TEST_F(AppSettingsTest, ReadsStoredValuesUnclamped) {
  PutProject(
      "[common]\r\npromptbeforebackup=1\r\nAuto Run=7\r\nIs Minimized=0\r\nIs Append 0=1\r\n"
      "Width=99\r\nIsOverWrite=1\r\nLog Count=5000\r\nEnable schedule=0\r\nBy Field=abc\r\n"
      "Sort=1\r\nPrompt sync=1\r\nLast Project= \"Daily\" \r\n");
  const AppSettings s = ReadAppSettings(dir_);
  EXPECT_TRUE(s.PromptBeforeBackup);
  EXPECT_TRUE(s.AutoRun);
  EXPECT_FALSE(s.StartMinimized);
  EXPECT_TRUE(s.AppendZero);
  EXPECT_EQ(s.NumberWidth, 99);
  EXPECT_TRUE(s.OverwriteExisting);
  EXPECT_EQ(s.LogCount, 5000);
  EXPECT_FALSE(s.ScheduleEnabled);
  EXPECT_EQ(s.SortField, 2);  // not a number: the default
  EXPECT_EQ(s.SortDescending, 1);
  EXPECT_TRUE(s.PromptSync);
  EXPECT_EQ(s.LastProject, "Daily");
}

TEST_F(AppSettingsTest, SaveWithoutProjectsWritesNothing) {
  AppSettings s;
  s.LogCount = 10;
  SaveAppSettings(dir_, s, {}, "");
  EXPECT_FALSE(fs::exists(dir_ / kProjectFile));
  PutProject("[Common]\nLog Count=50\n");
  SaveAppSettings(dir_, s, {}, "");
  EXPECT_EQ(Project(), "[Common]\nLog Count=50\n");
}

TEST_F(AppSettingsTest, SaveWritesKeysInOrderAndKeepsTheRest) {
  AppSettings s;
  s.AppendZero = true;
  s.NumberWidth = 4;
  s.SortField = 0;
  s.SortDescending = 1;
  s.LogCount = 20;
  s.ScheduleEnabled = false;
  s.AutoRun = true;  // written by the Preferences dialog only
  SaveAppSettings(dir_, s, {"Daily", "weekly"}, "weekly");
  EXPECT_EQ(Project(),
            "[Common]\nIs Append 0=1\nWidth=4\nIsOverWrite=0\nPromptBeforeBackup=0\n"
            "Last Project=weekly\nProject Count=2\nCount0=Daily\nCount1=weekly\nBy Field=0\n"
            "Sort=1\nLog Count=20\nEnable schedule=0\n");

  // Existing keys are overwritten in place; stale list entries and other
  // sections stay.
  PutProject(
      "[Common]\nProject Count=3\nCount0=a\nCount1=b\nCount2=c\nWildcard=*.doc\n"
      "[a]\nSuffix=1\n");
  SaveAppSettings(dir_, s, {"a"}, "a");
  ini::IniFile f(dir_ / kProjectFile);
  EXPECT_EQ(f.ReadList("Common", "Project Count", "Count"), std::vector<std::string>{"a"});
  EXPECT_EQ(f.ReadString("Common", "Count2", ""), "c");
  EXPECT_EQ(f.ReadString("Common", "Wildcard", ""), "*.doc");
  EXPECT_EQ(f.ReadInteger("a", "Suffix", 0), 1);
  EXPECT_FALSE(f.KeyExists("Common", "Auto Run"));
  AppSettings back = ReadAppSettings(dir_);
  back.AutoRun = s.AutoRun;
  back.LastProject = s.LastProject;
  EXPECT_EQ(back, s);
}

TEST_F(AppSettingsTest, PreferenceKeysAreWrittenAlone) {
  PutProject("[Common]\nLog Count=70\n");
  AppSettings s;
  s.AutoRun = true;
  s.StartMinimized = true;
  s.PromptSync = true;
  s.LogCount = 10;  // not one of the three
  WritePreferenceKeys(dir_, s);
  EXPECT_EQ(Project(), "[Common]\nLog Count=70\nAuto Run=1\nIs Minimized=1\nPrompt sync=1\n");
}

TEST_F(AppSettingsTest, WritesAreRefusedWhileAnotherProcessHoldsTheFolder) {
  PutProject("[Common]\nLog Count=70\n");
  WhileAnotherProcessHoldsTheLock([&] {
    try {
      SaveAppSettings(dir_, AppSettings{}, {"a"}, "a");
      FAIL() << "saved while another process held the data folder";
    } catch (const ELocked& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(fs::canonical(dir_).string()), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos);
    }
    EXPECT_THROW(WritePreferenceKeys(dir_, AppSettings{}), ELocked);
    EXPECT_EQ(ReadAppSettings(dir_).LogCount, 70);  // reading needs no lock
  });
  EXPECT_EQ(Project(), "[Common]\nLog Count=70\n");
  SaveAppSettings(dir_, AppSettings{}, {"a"}, "a");  // free again once it is gone
  EXPECT_EQ(ReadAppSettings(dir_).LogCount, 50);
}

TEST_F(AppSettingsTest, ReadOnlyDataFolderReadsAndFailsWritesByFileName) {
  PutProject("[Common]\nLog Count=70\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root ignores permission bits, so the attempt runs as "nobody".
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    if (ReadAppSettings(dir_).LogCount != 70) _exit(2);
    try {
      SaveAppSettings(dir_, AppSettings{}, {"a"}, "a");
    } catch (const EWriteError& e) {
      _exit(std::string(e.what()) == "Unable to write to " + (dir_ / kProjectFile).string() ? 0
                                                                                            : 3);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(dir_.c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Project(), "[Common]\nLog Count=70\n");
}

TEST_F(AppSettingsTest, DataFolderLockNestsWithinOneProcess) {
  DataFolderLock outer(dir_);
  {
    DataFolderLock inner(dir_ / "." / "");  // the same folder spelled differently
    SaveAppSettings(dir_, AppSettings{}, {"a"}, "a");
  }
  EXPECT_EQ(WithDataFolderLock(dir_, [] { return 7; }), 7);
  EXPECT_TRUE(fs::exists(dir_ / kLockFile));
  EXPECT_THROW(DataFolderLock(dir_ / "missing"), EOSError);
}

}  // namespace
}  // namespace zb::app
