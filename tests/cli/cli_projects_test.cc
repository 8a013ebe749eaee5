#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_runner.h"

namespace {

namespace fs = std::filesystem;

using Result = zb::clitest::CliResult;

class CliProjectsTest : public zb::clitest::CliTest {};

TEST_F(CliProjectsTest, ListsProjectsSortedWithoutRegardToCase) {
  std::ofstream(dir_ / "project.ini", std::ios::binary)
      << "[common]\r\nProject Count=5\r\nCount0=weekly\r\nCount1= Daily \r\nCount2=\r\n"
         "Count3=archive \xC3\xA4\r\nCount4=DAILY\r\n[Daily]\r\nSuffix=2\r\n";
  const Result r = Run({"--data-dir", dir_.string(), "projects"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "archive \xC3\xA4\nDaily\nweekly\n");
  EXPECT_EQ(r.err, "");
  // The option may also follow the verb.
  EXPECT_EQ(Run({"projects", "--data-dir=" + dir_.string()}).out, r.out);
}

TEST_F(CliProjectsTest, EmptyDataFolderListsNothing) {
  const Result r = Run({"--data-dir", dir_.string(), "projects"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir_ / "project.ini"));  // listing creates no file
}

TEST_F(CliProjectsTest, HelpVersionAndErrors) {
  const Result help = Run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("projects"), std::string::npos) << help.out;
  const Result version = Run({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("zipbackup-cli ", 0), 0u) << version.out;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--data-dir", dir_.string(), "no-such-verb"},
        std::vector<std::string>{"--data-dir", dir_.string(), "projects", "extra"},
        std::vector<std::string>{"--data-dir"}}) {
    const Result r = Run(args);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    ASSERT_FALSE(r.err.empty()) << args.back();
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  EXPECT_NE(Run({"bogus"}).err.find("bogus"), std::string::npos);
}

TEST_F(CliProjectsTest, UnreadableProjectFileIsAnErrorNotAnEmptyList) {
  fs::create_directory(dir_ / "project.ini");  // exists, but is no file
  const Result r = Run({"--data-dir", dir_.string(), "projects"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("project.ini"), std::string::npos) << r.err;
}

}  // namespace
