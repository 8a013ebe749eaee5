#include "backup/backup_project.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "app/data_folder.h"
#include "base/errors.h"
#include "ini/ini_file.h"
#include "platform/atomic_file.h"
#include "temp_files.h"

namespace zb::backup {
namespace {

namespace fs = std::filesystem;

class BackupProjectTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    setenv("HOME", "/home/tester", 1);
  }
  void PutProjects(const std::string& text) const { Put(app::kProjectFile, text); }
  void Put(const char* file, const std::string& text) const {
    std::ofstream(dir_ / file, std::ios::binary) << text;
  }
  std::string Get(const char* file = app::kProjectFile) const {
    return ReadFileIfExists(dir_ / file).value_or("<missing>");
  }
  ini::IniFile Projects() const { return ini::IniFile(dir_ / app::kProjectFile); }
  ini::IniFile Rings() const { return ini::IniFile(dir_ / app::kStoreNumberFile); }

  // A project as a page would hand it over, with a fixed newer-than moment.
  static BackupProject Sample() {
    BackupProject p = BackupProject::Defaults();
    p.FilenamePrefix = "  daily ";
    p.Suffix = kSuffixDate;
    p.IncreaseValue = 2;
    p.Value = 7;
    p.SavePath = "/backups/";
    p.Include = {"/home/tester/docs/*.txt", "/home/tester/a.doc"};
    p.Exclude = {"/home/tester/docs/tmp*.txt"};
    p.Password = " ab ";
    p.Comment = "  my comment ";
    p.BackupMode = kModeDaily;
    p.StartTime = *ParseTime("09:05:07");
    p.PackLevel = 9;
    p.StoreNumber = 10;
    p.UseNewer = true;
    p.NewerThan = *ParseDateTime("2024-03-15 00:00:00");
    return p;
  }

  zb::testfiles::TempDir temp_{"zb_project"};
  fs::path dir_;
};

TEST_F(BackupProjectTest, ListedNameWithoutSectionReadsAsAllDefaults) {
  PutProjects("[Common]\nProject Count=1\nCount0=Daily\n");
  const DateTime before = Now();
  const BackupProject p = ReadProject(dir_, "Daily");
  EXPECT_EQ(p.FilenamePrefix, "");
  EXPECT_EQ(p.Suffix, kSuffixNumber);
  EXPECT_EQ(p.IncreaseValue, 1);
  EXPECT_EQ(p.Value, 1);
  EXPECT_EQ(p.SavePath, "/home/tester/");
  EXPECT_TRUE(p.Include.empty());
  EXPECT_TRUE(p.Exclude.empty());
  EXPECT_TRUE(p.IncludeSubfolders);
  EXPECT_TRUE(p.UsePassword);
  EXPECT_EQ(p.Password, "");
  EXPECT_TRUE(p.StorePath);
  EXPECT_TRUE(p.StoreComment);
  EXPECT_EQ(p.Comment, "");
  EXPECT_EQ(p.BackupMode, kModeNone);
  EXPECT_EQ(p.PackLevel, 6);
  EXPECT_EQ(p.StoreNumber, 50);
  EXPECT_FALSE(p.UseNewer);
  EXPECT_FALSE(p.UseToday);
  EXPECT_GE(p.NewerThan, before - 1.0 / 86400);
  EXPECT_EQ(p.RestorePath, "/home/tester/");
  EXPECT_TRUE(p.RestoreToOrigPath);
  EXPECT_EQ(p.OverwriteMode, 2);
}

TEST_F(BackupProjectTest, ReadsAHandWrittenFile) {
  // Password "ab" under key "Daily5": 'a' 97 ^ 'D' 68 = 37, 'b' 98 ^ 'a' 97 = 3.
  PutProjects(
      "[COMMON]\r\nproject count=3\r\ncount0=weekly\r\nCount1=\r\nCOUNT2= Daily \r\n"
      "Last Project=\"Daily\"\r\n\r\n"
      "[daily]\r\nfilename prefix = \"day \" \r\nSUFFIX=0\r\nIncrease Value=x\r\nValue=12\r\n"
      "Save Path=/srv/b/\r\nBackup Directory Count=4\r\nBackup0=/a/*.txt\r\nBackup1=\r\n"
      "Backup2= /c/d.doc \r\nNo Backup Directory Count=junk\r\nNoBackup0=/never\r\n"
      "Whether include Subdirectory=0\r\nWhether password Project=5\r\nPassword=#37#3\r\n"
      "Whether store comment in Zip=1\r\nComment= quoted \r\nBackupMode=2\r\n"
      "StartTime_or_Increase=friday\r\nPackLevel=12\r\nStore Number=1\r\nisUseNew=1\r\n"
      "NewDateTime=2024-03-15 09:05:07\r\nRestore path=/r/\r\nRestore to orig path=0\r\n"
      "Overwrite Mode=4\r\n");
  const ProjectList list = ReadProjectList(dir_);
  EXPECT_EQ(list.names, (std::vector<std::string>{"Daily", "weekly"}));
  EXPECT_EQ(list.last_project, "Daily");

  const BackupProject p = ReadProject(dir_, " DAILY ");
  EXPECT_EQ(p.FilenamePrefix, "day ");
  EXPECT_EQ(p.Suffix, kSuffixNone);
  EXPECT_EQ(p.IncreaseValue, 1);  // not a number
  EXPECT_EQ(p.Value, 12);
  EXPECT_EQ(p.SavePath, "/srv/b/");
  EXPECT_EQ(p.Include, (std::vector<std::string>{"/a/*.txt", "/c/d.doc"}));
  EXPECT_TRUE(p.Exclude.empty());
  EXPECT_FALSE(p.IncludeSubfolders);
  EXPECT_TRUE(p.UsePassword);
  EXPECT_EQ(p.Password, "ab");
  EXPECT_EQ(p.Comment, "quoted");
  EXPECT_EQ(p.BackupMode, kModeWeekly);
  EXPECT_EQ(p.WeekDay, 6);
  EXPECT_EQ(p.PackLevel, 12);  // reading clamps nothing
  EXPECT_EQ(p.StoreNumber, 1);
  EXPECT_TRUE(p.UseNewer);
  EXPECT_EQ(FormatDateTime(p.NewerThan), "2024-03-15 09:05:07");
  EXPECT_EQ(p.RestorePath, "/r/");
  EXPECT_FALSE(p.RestoreToOrigPath);
  EXPECT_EQ(p.OverwriteMode, 4);
}

TEST_F(BackupProjectTest, ScheduleValueFallsBackByMode) {
  struct Case {
    const char* mode;
    const char* value;
    double time;
    int minutes, day;
  } cases[] = {
      {"0", "09:05:07", (9 * 3600 + 5 * 60 + 7) / 86400.0, 5, 0},
      {"0", "25:00:00", 0.5, 5, 0},
      {"0", "", 0.5, 5, 0},
      {"1", "30", 0.5, 30, 0},
      {"1", "half an hour", 0.5, 5, 0},
      {"2", "Monday", 0.5, 5, 2},
      {"2", "Mon", 0.5, 5, 0},
      {"3", "09:05:07", 0.5, 5, 0},
  };
  for (const Case& c : cases) {
    PutProjects(std::string("[P]\nBackupMode=") + c.mode + "\nStartTime_or_Increase=" + c.value +
                "\nisUseToday=1\nNewDateTime=yesterday\n");
    const DateTime before = Now();
    const BackupProject p = ReadProject(dir_, "P");
    EXPECT_NEAR(p.StartTime, c.time, 1e-9) << c.mode << " " << c.value;
    EXPECT_EQ(p.IntervalMinutes, c.minutes) << c.mode << " " << c.value;
    EXPECT_EQ(p.WeekDay, c.day) << c.mode << " " << c.value;
    EXPECT_TRUE(p.UseToday);
    EXPECT_GE(p.NewerThan, before - 1.0 / 86400);  // unparsable moment: now
  }
}

TEST_F(BackupProjectTest, NewSectionHasKeysInOrder) {
  BackupProject p = Sample();
  WriteProject(dir_, " Daily ", p);
  EXPECT_EQ(Get(),
            "[Daily]\nFilename prefix=daily\nSuffix=1\nIncrease Value=2\nValue=7\n"
            "Save Path=/backups/\nBackup Directory Count=2\nBackup0=/home/tester/docs/*.txt\n"
            "Backup1=/home/tester/a.doc\nNo Backup Directory Count=1\n"
            "NoBackup0=/home/tester/docs/tmp*.txt\nWhether include Subdirectory=1\n"
            "Whether password Project=1\nPassword=#37#3\nWhether store path in Zip=1\n"
            "Whether store comment in Zip=1\nComment=  my comment \nBackupMode=0\n"
            "StartTime_or_Increase=09:05:07\nPackLevel=9\nStore Number=10\nisUseNew=1\n"
            "isUseToday=0\nNewDateTime=2024-03-15 00:00:00\n");
  EXPECT_EQ(p.FilenamePrefix, "daily");
  EXPECT_EQ(p.Password, "ab");

  WriteProjectList(dir_, {"Daily"});
  BackupProject back = ReadProject(dir_, "daily");
  EXPECT_EQ(back.Include, p.Include);
  EXPECT_EQ(back.Exclude, p.Exclude);
  EXPECT_EQ(back.Password, "ab");
  EXPECT_EQ(back.Comment, "my comment");  // reading trims, as for every value
  EXPECT_EQ(back.StartTime, p.StartTime);
  EXPECT_EQ(back.NewerThan, p.NewerThan);
}

TEST_F(BackupProjectTest, ScheduleValueIsWrittenByMode) {
  BackupProject p = Sample();
  p.BackupMode = kModeInterval;
  p.IntervalMinutes = 45;
  WriteProject(dir_, "P", p);
  EXPECT_EQ(Projects().ReadString("P", "StartTime_or_Increase", ""), "45");
  p.BackupMode = kModeWeekly;
  p.WeekDay = 0;  // no day chosen
  WriteProject(dir_, "P", p);
  EXPECT_EQ(Projects().ReadString("P", "StartTime_or_Increase", "?"), "");
  p.WeekDay = 7;
  WriteProject(dir_, "P", p);
  EXPECT_EQ(ReadProject(dir_, "P").WeekDay, 7);
  p.BackupMode = kModeNone;  // the value of the last mode stays behind
  WriteProject(dir_, "P", p);
  EXPECT_EQ(Projects().ReadString("P", "StartTime_or_Increase", ""), "Saturday");
  EXPECT_EQ(Projects().ReadInteger("P", "BackupMode", -1), kModeNone);
}

TEST_F(BackupProjectTest, SavingOverwritesInPlaceAndSkipsWhatIsEmpty) {
  BackupProject p = Sample();
  p.Include = {"/1", "/2", "/3", "/4", "/5"};
  WriteProject(dir_, "P", p);
  ini::IniFile f = Projects();
  f.WriteString("P", "Restore path", "/restore/");
  f.Save();

  // The list shrinks to 3; the password and comment are emptied in the editor.
  p.Include = {"/a", "/b", "/c"};
  p.Password = "   ";
  p.Comment = "  ";
  WriteProject(dir_, "P", p);
  EXPECT_EQ(p.Password, "");
  EXPECT_EQ(p.Comment, "");
  const ini::IniFile g = Projects();
  EXPECT_EQ(g.ReadString("P", "Backup3", ""), "/4");  // left behind, never read
  EXPECT_EQ(g.ReadString("P", "Backup4", ""), "/5");
  const BackupProject back = ReadProject(dir_, "P");
  EXPECT_EQ(back.Include, (std::vector<std::string>{"/a", "/b", "/c"}));
  EXPECT_EQ(back.Password, "ab");  // the stored one shows again
  EXPECT_EQ(back.Comment, "my comment");
  EXPECT_EQ(back.RestorePath, "/restore/");

  // With the flag off the stored password stays in the file but reads empty.
  p.UsePassword = false;
  p.Password = "new";
  WriteProject(dir_, "P", p);
  EXPECT_EQ(p.Password, "");
  // Key "P1": 'a' 97 ^ 'P' 80 = 49, 'b' 98 ^ '1' 49 = 83.
  EXPECT_EQ(Projects().ReadString("P", "Password", ""), "#49#83");
  EXPECT_EQ(ReadProject(dir_, "P").Password, "");
}

TEST_F(BackupProjectTest, UnstorableValuesWriteNothing) {
  PutProjects("[P]\nValue=3\n");
  BackupProject p = Sample();
  p.Comment = "line one\r\nline two";
  try {
    WriteProject(dir_, "P", p);
    FAIL() << "a comment with a line break was stored";
  } catch (const EInvalidInput& e) {
    EXPECT_STREQ(e.what(), "The archive comment cannot contain a line break");
  }
  p = Sample();
  p.Include.push_back("/x\n[Evil]");
  EXPECT_THROW(WriteProject(dir_, "P", p), EInvalidInput);
  EXPECT_THROW(WriteProject(dir_, "  ", p), EInvalidInput);
  EXPECT_THROW(WriteProject(dir_, "a\nb", p), EInvalidInput);
  EXPECT_EQ(Get(), "[P]\nValue=3\n");
  // A password may hold anything: it is stored as digits.
  p = Sample();
  p.Password = "x\ny";
  WriteProject(dir_, "P", p);
  EXPECT_EQ(ReadProject(dir_, "P").Password, "x\ny");
}

TEST_F(BackupProjectTest, NameWithBracketAndUnicodeRoundTrips) {
  BackupProject p = Sample();
  p.Password = "Passw\xC3\xB6rt";
  WriteProject(dir_, "a]b \xC3\xA4", p);
  WriteProjectList(dir_, {"a]b \xC3\xA4"});
  EXPECT_EQ(ReadProjectList(dir_).names, std::vector<std::string>{"a]b \xC3\xA4"});
  const BackupProject back = ReadProject(dir_, "A]B \xC3\xA4");
  EXPECT_EQ(back.Password, "Passw\xC3\xB6rt");
  EXPECT_EQ(back.PackLevel, 9);
}

TEST_F(BackupProjectTest, SingleKeyWriters) {
  BackupProject p = Sample();
  WriteProject(dir_, "P", p);
  WriteLastNumber(dir_, "p", 1000);
  WriteNewerThan(dir_, "P", *ParseDateTime("2025-01-02"));
  const ini::IniFile f = Projects();
  EXPECT_EQ(f.ReadString("P", "Value", ""), "1000");
  // Midnight is written in full so that the key always has both parts.
  EXPECT_EQ(f.ReadString("P", "NewDateTime", ""), "2025-01-02 00:00:00");
  EXPECT_EQ(f.KeyNames("P").size(), 23u);
}

TEST_F(BackupProjectTest, ProjectList) {
  PutProjects(
      "[Common]\nProject Count=7\nCount0=b\nCount1=A\nCount2=\nCount3=c\nCount4=a\n"
      "Width=3\n");
  const ProjectList list = ReadProjectList(dir_);
  EXPECT_EQ(list.names, (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_EQ(list.last_project, "");

  WriteProjectList(dir_, {"x", "y"});
  ini::IniFile f = Projects();
  EXPECT_EQ(f.ReadInteger("Common", "Project Count", 0), 2);
  EXPECT_EQ(f.ReadString("Common", "Count3", ""), "c");  // beyond the count: kept, unread
  EXPECT_EQ(f.ReadInteger("Common", "Width", 0), 3);
  EXPECT_EQ(ReadProjectList(dir_).names, (std::vector<std::string>{"x", "y"}));

  AppendProjectToList(dir_, "New", 2);
  const ProjectList after = ReadProjectList(dir_);
  EXPECT_EQ(after.names, (std::vector<std::string>{"New", "x", "y"}));
  EXPECT_EQ(after.last_project, "New");
  EXPECT_TRUE(ReadProjectList(dir_ / "nowhere").names.empty());
}

TEST_F(BackupProjectTest, NameRulesAndNumbers) {
  EXPECT_EQ(CheckProjectName("  Daily  "), "Daily");
  EXPECT_THROW((void)CheckProjectName(" \t"), EInvalidInput);
  // New names become archive prefixes: a "/" or dots alone cannot be one.
  EXPECT_EQ(CheckNewProjectName(" .Docs. "), ".Docs.");
  for (const char* bad : {"Docs/Set", "/", "..", " . "})
    EXPECT_THROW((void)CheckNewProjectName(bad), EInvalidInput) << bad;
  const std::vector<std::string> names = {"Daily", "weekly"};
  EXPECT_EQ(FindProjectName(names, " WEEKLY "), 1);
  EXPECT_EQ(FindProjectName(names, "monthly"), -1);
  std::vector<std::string> sorted = {"beta", "Alpha", "_x", "alpha2"};
  SortProjectNames(sorted);
  EXPECT_EQ(sorted, (std::vector<std::string>{"_x", "Alpha", "alpha2", "beta"}));

  BackupProject p;
  p.Value = 999;
  p.IncreaseValue = 5;
  EXPECT_EQ(NextNumber(p), 1000);
  p.Value = 1000;
  EXPECT_EQ(NextNumber(p), 1000);
  p.Value = 0;
  p.IncreaseValue = 1;
  EXPECT_EQ(NextNumber(p), 1);
  p.Value = 2147483647;
  p.IncreaseValue = 2147483647;
  EXPECT_EQ(NextNumber(p), 1000);  // no overflow

  p = BackupProject{};
  p.IncreaseValue = 0;
  p.Value = -4;
  p.StoreNumber = 1;
  p.PackLevel = 12;
  p.Suffix = 3;
  ClampForRun(p);
  EXPECT_EQ(p.IncreaseValue, 1);
  EXPECT_EQ(p.Value, 0);
  EXPECT_EQ(p.StoreNumber, 2);
  EXPECT_EQ(p.PackLevel, 9);
  EXPECT_EQ(p.Suffix, kSuffixNumber);
  p.StoreNumber = 90000;
  p.IncreaseValue = 5000;
  p.Value = 5000;
  p.PackLevel = -1;
  ClampForRun(p);
  EXPECT_EQ(p.StoreNumber, 50000);
  EXPECT_EQ(p.IncreaseValue, 1000);
  EXPECT_EQ(NextNumber(p), 1000);
  EXPECT_EQ(p.Value, 0);
  EXPECT_EQ(p.PackLevel, 0);

  // Regression: a project starting at 1 with step 5 stores -4; clamping the
  // last number to 0 made its first archive number 5.
  p = BackupProject{};
  p.IncreaseValue = 5;
  p.Value = -4;
  ClampForRun(p);
  EXPECT_EQ(p.Value, -4);
  EXPECT_EQ(NextNumber(p), 1);
}

// ---- Settings and the other keys of the file --------------------------------

class StoredSettingsTest : public BackupProjectTest {
 protected:
  // Runs `body` in a child that holds the data-folder lock meanwhile.
  template <typename Body>
  void WhileAnotherProcessHoldsTheLock(Body body) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    if (child == 0) {
      app::DataFolderLock lock(dir_);
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
};

// Settings changed while no project existed used to be dropped at close.
TEST_F(StoredSettingsTest, SaveWithoutProjectsKeepsChangedSettingsOnly) {
  SaveAppSettings(dir_, app::AppSettings{}, {}, "");
  EXPECT_FALSE(fs::exists(dir_ / app::kProjectFile));  // a mere look creates nothing
  app::AppSettings s;
  s.LogCount = 10;
  s.ScheduleEnabled = false;
  s.LastProject = "gone";
  PutProjects("[Common]\nLog Count=50\n");
  SaveAppSettings(dir_, s, {}, "");
  EXPECT_EQ(Get(), "[Common]\nLog Count=10\nEnable schedule=0\n");
}

TEST_F(StoredSettingsTest, WritesAreRefusedWhileAnotherProcessHoldsTheFolder) {
  PutProjects("[Common]\nLog Count=70\n");
  WhileAnotherProcessHoldsTheLock([&] {
    try {
      SaveAppSettings(dir_, app::AppSettings{}, {"a"}, "a");
      FAIL() << "saved while another process held the data folder";
    } catch (const ELocked& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(fs::canonical(dir_).string()), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos);
    }
    EXPECT_THROW(WritePreferenceKeys(dir_, app::AppSettings{}), ELocked);
    EXPECT_EQ(ReadAppSettings(dir_).LogCount, 70);  // reading needs no lock
  });
  EXPECT_EQ(Get(), "[Common]\nLog Count=70\n");
  SaveAppSettings(dir_, app::AppSettings{}, {"a"}, "a");  // free again once it is gone
  EXPECT_EQ(ReadAppSettings(dir_).LogCount, 50);
}

TEST_F(StoredSettingsTest, ReadOnlyDataFolderReadsAndFailsWritesByFileName) {
  PutProjects("[Common]\nLog Count=70\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root ignores permission bits, so the attempt runs as "nobody".
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    if (ReadAppSettings(dir_).LogCount != 70) _exit(2);
    try {
      SaveAppSettings(dir_, app::AppSettings{}, {"a"}, "a");
    } catch (const EWriteError& e) {
      const std::string expected = "Unable to write to " + (dir_ / app::kProjectFile).string();
      _exit(std::string(e.what()) == expected ? 0 : 3);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(dir_.c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Get(), "[Common]\nLog Count=70\n");
}

TEST_F(StoredSettingsTest, DataFolderLockNestsWithinOneProcess) {
  app::DataFolderLock outer(dir_);
  {
    app::DataFolderLock inner(dir_ / "." / "");  // the same folder spelled differently
    SaveAppSettings(dir_, app::AppSettings{}, {"a"}, "a");
  }
  EXPECT_EQ(app::WithDataFolderLock(dir_, [] { return 7; }), 7);
  EXPECT_TRUE(fs::exists(dir_ / app::kLockFile));
  EXPECT_THROW(app::DataFolderLock(dir_ / "missing"), EOSError);
}

TEST_F(StoredSettingsTest, AddProjectAppendsAtTheStoredCountAndDropsLeftovers) {
  // Each case: the stored list, and where the new name must land.
  const struct {
    const char* common;
    const char* key;
  } cases[] = {
      // A repeated name the reader skips keeps its entry.
      {"Project Count=2\nCount0=Old\nCount1=old\n", "Count2"},
      // A count past every entry present: right after the last one.
      {"Project Count=9\nCount0=Old\n", "Count1"},
      {"Project Count=-3\nCount0=Old\nCount1=Two\n", "Count2"},
  };
  for (const auto& c : cases) {
    PutProjects(std::string("[Common]\n") + c.common + "[New]\nRestore path=/x\n");
    Put(app::kStoreNumberFile, "[New]\nMax=3\nHead=1\n1=/a/New1.zip\n");
    BackupProject p = Sample();
    EXPECT_EQ(AddProject(dir_, " New ", p), "New");
    const ini::IniFile f = Projects();
    EXPECT_EQ(f.ReadString("Common", c.key, ""), "New") << c.common;
    EXPECT_EQ(f.ReadString("Common", "Last Project", ""), "New");
    EXPECT_EQ(f.ReadString("New", "Filename prefix", ""), "daily");
    EXPECT_FALSE(f.KeyExists("New", "Restore path")) << c.common;
    EXPECT_FALSE(Rings().SectionExists("New"));
    EXPECT_NE(FindProjectName(ReadProjectList(dir_).names, "New"), -1) << c.common;
  }
}

TEST_F(StoredSettingsTest, RestoreAndScheduleKeys) {
  WriteRestoreKeys(dir_, " Daily ", "  /restore/here ", false, 4);
  const ini::IniFile f = Projects();
  EXPECT_EQ(f.ReadString("Daily", "Restore path", ""), "/restore/here");
  EXPECT_EQ(f.ReadString("Daily", "Restore to orig path", ""), "0");
  EXPECT_EQ(f.ReadInteger("Daily", "Overwrite Mode", 0), 4);
  EXPECT_THROW(WriteRestoreKeys(dir_, " ", "/x", true, 2), EInvalidInput);

  PutProjects("[daily]\nBackupMode=1\nStartTime_or_Increase= 90 \n[Week]\nBackupMode=x\n");
  const std::vector<StoredSchedule> s = ReadSchedules(dir_, {"Daily", "Week"});
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].project, "Daily");
  EXPECT_EQ(s[0].mode, kModeInterval);
  EXPECT_EQ(s[0].value, "90");
  EXPECT_EQ(s[1].mode, kModeNone);
  EXPECT_EQ(s[1].value, "");
}

// ---- Project commands -------------------------------------------------------

class ProjectCommandTest : public BackupProjectTest {
 protected:
  void SetUp() override {
    BackupProjectTest::SetUp();
    names_ = {"Daily", "Weekly"};
    for (const std::string& n : names_) {
      BackupProject p = Sample();
      WriteProject(dir_, n, p);
    }
    WriteProjectList(dir_, names_);
    ini::IniFile f = Projects();
    f.WriteString("Daily", "Restore path", "/restore/");
    f.WriteInteger("Daily", "Overwrite Mode", 0);
    f.Save();
    Put(app::kStoreNumberFile,
        "[Daily]\nMax=5\nHead=1\nN1=/backups/daily1.zip\nN2=\nN8=/backups/stale.zip\n"
        "[Weekly]\nMax=5\nHead=0\n");
  }
  std::vector<std::string> names_;
};

TEST_F(ProjectCommandTest, RenameMovesEverythingButTheRestoreKeys) {
  BackupProject page = ReadProject(dir_, "Daily");
  page.PackLevel = 3;  // an unsaved change on the page is written too
  ASSERT_EQ(RenameProject(dir_, names_, "Daily", " Archive ", page), NameChange::kDone);
  EXPECT_EQ(names_, (std::vector<std::string>{"Archive", "Weekly"}));
  EXPECT_EQ(ReadProjectList(dir_).names, names_);
  EXPECT_FALSE(Projects().SectionExists("Daily"));
  const BackupProject b = ReadProject(dir_, "Archive");
  EXPECT_EQ(b.PackLevel, 3);
  EXPECT_EQ(b.Password, "ab");  // re-scrambled under the new name's key
  EXPECT_EQ(b.RestorePath, "/home/tester/");
  EXPECT_EQ(b.OverwriteMode, 2);
  EXPECT_FALSE(Rings().SectionExists("Daily"));
  EXPECT_EQ(Rings().ReadString("Archive", "N1", ""), "/backups/daily1.zip");
  EXPECT_EQ(Rings().ReadInteger("Archive", "Max", 0), 5);
  EXPECT_EQ(Rings().ReadInteger("Archive", "Head", 0), 1);
  // Empty slots and slots above "Max" stay behind: a stale slot would name
  // its archive for deletion once the ring grew over it.
  EXPECT_EQ(Rings().KeyNames("Archive"), (std::vector<std::string>{"Max", "Head", "N1"}));
}

TEST_F(ProjectCommandTest, RenameToAnExistingOrTheSameNameChangesNothing) {
  const std::string before = Get();
  BackupProject page = ReadProject(dir_, "Daily");
  EXPECT_EQ(RenameProject(dir_, names_, "Daily", "weekly", page), NameChange::kNameExists);
  EXPECT_EQ(RenameProject(dir_, names_, "Daily", "DAILY", page), NameChange::kSameProject);
  EXPECT_EQ(CopyProject(dir_, names_, "Daily", "WEEKLY", page), NameChange::kNameExists);
  EXPECT_EQ(CopyProject(dir_, names_, "Daily", "daily", page), NameChange::kSameProject);
  EXPECT_EQ(Get(), before);
  EXPECT_EQ(names_, (std::vector<std::string>{"Daily", "Weekly"}));
}

TEST_F(ProjectCommandTest, FailedRenameLosesNothing) {
  const std::string before = Get();
  BackupProject page = ReadProject(dir_, "Daily");
  page.Comment = "two\nlines";
  EXPECT_THROW((void)RenameProject(dir_, names_, "Daily", "Archive", page), EInvalidInput);
  EXPECT_EQ(Get(), before);
  EXPECT_EQ(names_, (std::vector<std::string>{"Daily", "Weekly"}));

  // A folder the program cannot write to: the save fails as a whole.
  page = ReadProject(dir_, "Daily");
  ASSERT_EQ(chmod((dir_ / app::kProjectFile).c_str(), 0666), 0);
  {
    app::DataFolderLock create(dir_);  // make the lock file exist first
  }
  ASSERT_EQ(chmod((dir_ / app::kLockFile).c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    try {
      (void)RenameProject(dir_, names_, "Daily", "Archive", page);
    } catch (const EWriteError& e) {
      _exit(names_.front() == "Daily" ? 0 : 3);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Get(), before);
}

TEST_F(ProjectCommandTest, CopyStartsWithoutRingOrRestoreKeys) {
  // Leftovers of an old project called "Copy of Daily" must not leak in.
  ini::IniFile f = Projects();
  f.WriteString("Copy of Daily", "Restore path", "/old/");
  f.WriteString("Copy of Daily", "Password", "#1#2");
  f.Save();
  ini::IniFile r = Rings();
  r.WriteString("Copy of Daily", "N1", "/stale.zip");
  r.Save();

  BackupProject page = ReadProject(dir_, "Daily");
  page.UsePassword = false;
  ASSERT_EQ(CopyProject(dir_, names_, "Daily", "Copy of Daily", page), NameChange::kDone);
  EXPECT_EQ(names_, (std::vector<std::string>{"Copy of Daily", "Daily", "Weekly"}));
  EXPECT_EQ(ReadProjectList(dir_).names, names_);
  const BackupProject c = ReadProject(dir_, "Copy of Daily");
  EXPECT_EQ(c.PackLevel, 9);
  EXPECT_EQ(c.RestorePath, "/home/tester/");
  EXPECT_FALSE(Projects().KeyExists("Copy of Daily", "Password"));
  EXPECT_FALSE(Rings().SectionExists("Copy of Daily"));
  EXPECT_EQ(ReadProject(dir_, "Daily").RestorePath, "/restore/");
  EXPECT_TRUE(Rings().SectionExists("Daily"));
}

TEST_F(ProjectCommandTest, DeleteRemovesSectionListEntryAndRing) {
  DeleteProject(dir_, names_, "DAILY");
  EXPECT_EQ(names_, std::vector<std::string>{"Weekly"});
  EXPECT_EQ(ReadProjectList(dir_).names, names_);
  EXPECT_FALSE(Projects().SectionExists("Daily"));
  EXPECT_FALSE(Rings().SectionExists("Daily"));
  EXPECT_TRUE(Rings().SectionExists("Weekly"));
  EXPECT_EQ(ReadProject(dir_, "Weekly").PackLevel, 9);
  DeleteProject(dir_, names_, "Weekly");
  EXPECT_TRUE(names_.empty());
  EXPECT_EQ(Projects().ReadInteger("Common", "Project Count", -1), 0);
}

}  // namespace
}  // namespace zb::backup
