#include "platform/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;

// Reads an Exec value back the way a desktop does: undo the string escapes,
// then split into arguments honouring double quotes and their backslash
// escapes, then turn "%%" into "%". The round trip is what matters: a path
// must come back exactly as it went in.
std::vector<std::string> ParseExec(const std::string& value) {
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char c = value[++i];
      unescaped.push_back(c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
    } else {
      unescaped.push_back(value[i]);
    }
  }
  std::vector<std::string> args;
  std::string cur;
  bool in_quotes = false, have = false;
  for (size_t i = 0; i < unescaped.size(); ++i) {
    const char c = unescaped[i];
    if (in_quotes) {
      if (c == '\\' && i + 1 < unescaped.size()) {
        cur.push_back(unescaped[++i]);
      } else if (c == '"') {
        in_quotes = false;
      } else {
        cur.push_back(c);
      }
    } else if (c == '"') {
      in_quotes = have = true;
    } else if (c == ' ') {
      if (have) args.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur.push_back(c);
      have = true;
    }
  }
  if (have) args.push_back(cur);
  for (auto& a : args) {
    std::string out;
    for (size_t i = 0; i < a.size(); ++i) {
      out.push_back(a[i]);
      if (a[i] == '%' && i + 1 < a.size() && a[i + 1] == '%') ++i;
    }
    a = out;
  }
  return args;
}

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::string ExecLine(const std::string& text) {
    const size_t at = text.find("\nExec=");
    return text.substr(at + 6, text.find('\n', at + 1) - at - 6);
  }
  zb::testfiles::TempDir temp_{"zb_autostart"};
  fs::path dir_;
};

TEST_F(AutostartTest, ExecArgumentQuoting) {
  EXPECT_EQ(QuoteExecArgument("/opt/zb/zipbackup"), "/opt/zb/zipbackup");
  EXPECT_EQ(QuoteExecArgument("/home/a b/zipbackup"), "\"/home/a b/zipbackup\"");
  EXPECT_EQ(QuoteExecArgument("/x/$HOME`\"\\y"), "\"/x/\\$HOME\\`\\\"\\\\y\"");
  EXPECT_EQ(QuoteExecArgument("/x/100%/y"), "/x/100%%/y");
  EXPECT_EQ(EscapeDesktopValue("\"/a\\\\b\""), "\"/a\\\\\\\\b\"");
}

TEST_F(AutostartTest, ExecRoundTripsAwkwardPaths) {
  for (const std::string path :
       {"/opt/zipbackup", "/home/u/My Programs/zip backup/zipbackup", "/t/it's (new) & $x;`~`",
        "/t/back\\slash\\\"quote\"", "/t/100% sure %f", "/t/tab\there", "/t/Ünïcødé/zipbackup"}) {
    const std::string exec = ExecLine(AutostartEntryText(path));
    EXPECT_EQ(ParseExec(exec), std::vector<std::string>{path}) << exec;
  }
}

TEST_F(AutostartTest, RejectsPathsAnEntryCannotHold) {
  EXPECT_THROW((void)AutostartEntryText("relative/zipbackup"), EInvalidInput);
  EXPECT_THROW((void)AutostartEntryText(std::string("/t/bad\xff\xfe/zipbackup")), EInvalidInput);
}

TEST_F(AutostartTest, WriteThenRemove) {
  const fs::path exe = "/home/u/Zip Backup/bin/zipbackup";
  EXPECT_FALSE(AutostartEntryExists());
  EXPECT_EQ(AutostartDir(), dir_ / "config" / "autostart");
  WriteAutostartEntry(exe);
  ASSERT_TRUE(AutostartEntryExists());
  const std::string text = Read(AutostartFile());
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(text.find("\nName=Quillomar Compress Backup\n"), std::string::npos);
  EXPECT_EQ(ParseExec(ExecLine(text)), std::vector<std::string>{exe.string()});
  // Only the entry is left in the folder: no temporary file behind it.
  EXPECT_EQ(std::distance(fs::directory_iterator(AutostartDir()), fs::directory_iterator()), 1);

  if (std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0) {
    const std::string cmd = "desktop-file-validate '" + AutostartFile().string() + "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "desktop-file-validate rejects the entry";
  }

  WriteAutostartEntry(exe);  // writing twice replaces the entry
  EXPECT_TRUE(RemoveAutostartEntry());
  EXPECT_FALSE(AutostartEntryExists());
  EXPECT_TRUE(RemoveAutostartEntry());  // removing a missing entry is fine
}

TEST_F(AutostartTest, FallsBackToHomeConfig) {
  setenv("XDG_CONFIG_HOME", "relative/not/allowed", 1);
  const char* home = std::getenv("HOME");
  const std::string saved = home ? home : "";
  setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(AutostartDir(), dir_ / ".config" / "autostart");
  setenv("HOME", saved.c_str(), 1);
}

TEST_F(AutostartTest, UnwritableFolderGivesTheSetDataError) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  try {
    WriteAutostartEntry("/opt/zipbackup");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to set data for 'Quillomar Compress Backup'");
  }
}

}  // namespace
}  // namespace zb
