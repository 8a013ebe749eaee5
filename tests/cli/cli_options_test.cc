// Options every verb shares: --help touches nothing, an unknown option is an
// error and never a file name, "--" ends the options, and a --data-dir that
// is not a readable folder is named at once.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/data_folder.h"
#include "cli/cli_runner.h"

namespace {

namespace fs = std::filesystem;

class CliOptionsTest : public zb::clitest::CliTest {};

TEST_F(CliOptionsTest, EveryVerbPrintsItsUsageAndTouchesNothing) {
  for (const char* verb :
       {"projects", "backup", "zip", "list", "extract", "test", "remove", "restore"}) {
    for (const char* help : {"--help", "-h"}) {
      // Before the fix, "zip -h" made an archive named "-h" and "backup
      // --help" took the data folder's lock looking for a project "--help".
      const auto r = Run({"--data-dir", dir_.string(), verb, help});
      EXPECT_EQ(r.exit_code, 0) << verb << " " << help << ": " << r.err;
      EXPECT_EQ(r.out.rfind(std::string("Usage: zipbackup-cli [--data-dir DIR] ") + verb, 0), 0u)
          << r.out;
      EXPECT_TRUE(fs::is_empty(dir_)) << verb << " " << help << " left a file";
    }
  }
  EXPECT_FALSE(fs::exists(zb::app::DataFile(dir_, zb::app::kLockFile)));
}

TEST_F(CliOptionsTest, UnknownOptionsAreErrorsAndDoubleDashEndsOptions) {
  const fs::path archive = dir_ / "a.zip";
  std::ofstream(dir_ / "-f.txt") << "dash";
  std::ofstream(dir_ / "g.txt") << "g";
  ASSERT_EQ(Run({"zip", archive.string(), (dir_ / "-f.txt").string(), (dir_ / "g.txt").string()})
                .exit_code,
            0);

  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"zip", (dir_ / "b.zip").string(), "-x", (dir_ / "g.txt").string()}, "unknown option -x"},
      {{"list", "-v"}, "unknown option -v for list"},
      {{"remove", archive.string(), "-f.txt"}, "unknown option -f.txt for remove"},
      {{"extract", archive.string(), dir_.string(), "--flatten"}, "unknown option --flatten"},
      {{"backup", "--now", "Docs"}, "unknown option --now for backup"},
      {{"--verbose", "projects"}, "unknown option --verbose"},
      {{"--data-dir", (dir_ / "missing").string(), "projects"}, "no such folder"},
  };
  for (const Case& c : cases) {
    const auto r = Run(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "b.zip"));

  // After "--" a name that starts with "-" is a name.
  const auto removed = Run({"remove", archive.string(), "--", "-f.txt"});
  EXPECT_EQ(removed.exit_code, 0) << removed.err;
  const auto listed = Run({"list", archive.string()});
  EXPECT_EQ(listed.out.find("-f.txt"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("g.txt"), std::string::npos) << listed.out;
}

}  // namespace
