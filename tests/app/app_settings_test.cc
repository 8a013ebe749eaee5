#include "app/app_settings.h"

#include <gtest/gtest.h>

#include "ini/ini_file.h"

namespace zb::app {
namespace {

// The key mapping on a file in memory; opening, locking and saving the file
// are the project store's and are tested there.
ini::IniFile File(std::string_view text) { return ini::IniFile::FromText(text); }

void WriteList(ini::IniFile& f, const std::vector<std::string>& names) {
  f.WriteList(kCommonSection, "Project Count", "Count", names);
}

TEST(AppSettingsTest, FirstStartGivesDefaults) {
  const AppSettings s = ReadAppSettings(File(""));
  EXPECT_EQ(s, AppSettings{});
  EXPECT_FALSE(s.PromptBeforeBackup);
  EXPECT_TRUE(s.ScheduleEnabled);
  EXPECT_EQ(s.LogCount, 50);
  EXPECT_EQ(s.SortField, 2);
  EXPECT_EQ(s.SortDescending, 0);
  EXPECT_EQ(s.NumberWidth, 2);
  EXPECT_EQ(s.LastProject, "");
}

TEST(AppSettingsTest, ReadsStoredValuesUnclamped) {
  const AppSettings s = ReadAppSettings(
      File("[common]\r\npromptbeforebackup=1\r\nAuto Run=7\r\nIs Minimized=0\r\nIs Append 0=1\r\n"
           "Width=99\r\nIsOverWrite=1\r\nLog Count=5000\r\nEnable schedule=0\r\nBy Field=abc\r\n"
           "Sort=1\r\nPrompt sync=1\r\nLast Project= \"Daily\" \r\n"));
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

TEST(AppSettingsTest, CloseKeysAreWrittenInOrderAndKeepTheRest) {
  AppSettings s;
  s.AppendZero = true;
  s.NumberWidth = 4;
  s.SortField = 0;
  s.SortDescending = 1;
  s.LogCount = 20;
  s.ScheduleEnabled = false;
  s.AutoRun = true;  // written by the Preferences dialog only
  ini::IniFile fresh = File("");
  WriteCloseKeys(fresh, s, "weekly", [](ini::IniFile& f) { WriteList(f, {"Daily", "weekly"}); });
  EXPECT_EQ(fresh.Text(),
            "[Common]\nIs Append 0=1\nWidth=4\nIsOverWrite=0\nPromptBeforeBackup=0\n"
            "Last Project=weekly\nProject Count=2\nCount0=Daily\nCount1=weekly\nBy Field=0\n"
            "Sort=1\nLog Count=20\nEnable schedule=0\n");

  // Existing keys are overwritten in place; other keys and sections stay.
  ini::IniFile f = File("[Common]\nProject Count=3\nWildcard=*.doc\n[a]\nSuffix=1\n");
  WriteCloseKeys(f, s, "a", [](ini::IniFile& file) { WriteList(file, {"a"}); });
  EXPECT_EQ(f.ReadString("Common", "Wildcard", ""), "*.doc");
  EXPECT_EQ(f.ReadInteger("a", "Suffix", 0), 1);
  EXPECT_FALSE(f.KeyExists("Common", "Auto Run"));
  AppSettings back = ReadAppSettings(f);
  back.AutoRun = s.AutoRun;
  back.LastProject = s.LastProject;
  EXPECT_EQ(back, s);
}

TEST(AppSettingsTest, PreferenceKeysAreTheDialogsOnly) {
  ini::IniFile f = File("[Common]\nLog Count=70\nSort=1\n");
  AppSettings s;
  s.AutoRun = true;
  s.LogCount = 10;
  s.SortDescending = 0;  // not the dialog's: stays as stored
  WritePreferenceKeys(f, s);
  EXPECT_EQ(f.Text(),
            "[Common]\nLog Count=10\nSort=1\nAuto Run=1\nIs Minimized=0\nPrompt sync=0\n"
            "PromptBeforeBackup=0\nIs Append 0=0\nWidth=2\nIsOverWrite=0\n");
}

}  // namespace
}  // namespace zb::app
