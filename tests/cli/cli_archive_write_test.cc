#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "zip/archive_test_util.h"

namespace {

namespace fs = std::filesystem;
using zb::ztest::EntryContent;
using zb::ztest::Names;
using zb::ztest::ParseArchive;
using zb::ztest::ReadFile;
using zb::ztest::WriteFile;

// Walk order is the file system's; compare names as sets.
std::vector<std::string> SortedNames(const zb::ztest::RawArchive& a) {
  std::vector<std::string> n = Names(a);
  std::sort(n.begin(), n.end());
  return n;
}

using Result = zb::clitest::CliResult;

class CliArchiveWriteTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("ZB_PROGRAM_DIR");
    ASSERT_NE(dir, nullptr) << "ZB_PROGRAM_DIR is set by CTest";
    program_ = fs::path(dir) / "zipbackup-cli";
    ASSERT_TRUE(fs::exists(program_)) << program_;
    zip_ = dir_ / "out.zip";
    WriteFile(dir_ / "src/a.txt", "alpha");
    WriteFile(dir_ / "src/b.tmp", "temporary");
    WriteFile(dir_ / "src/sub/c.txt", "gamma");
  }

  Result Run(const std::vector<std::string>& args) const {
    return zb::clitest::RunCli(program_, args, dir_.path());
  }

  zb::ztest::TempDir dir_;
  fs::path program_;
  std::string zip_;
};

TEST_F(CliArchiveWriteTest, ZipWithOptionsThenUpdate) {
  Result r = Run({"zip", zip_, "--level", "9", "--password", "pw", "--recurse", "--comment",
                  "nightly", "--exclude", "*.tmp", dir_ / "src"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "2 files written to " + zip_ + "\n");
  EXPECT_TRUE(r.err.empty()) << r.err;  // not a terminal: no progress
  auto a = ParseArchive(ReadFile(zip_));
  EXPECT_EQ(SortedNames(a), (std::vector<std::string>{"a.txt", "c.txt"}));
  EXPECT_EQ(a.comment, "nightly");
  EXPECT_EQ(a.entries[0].flags, 3);
  for (const auto& e : a.entries) {
    EXPECT_EQ(EntryContent(e, "pw"), e.name == "a.txt" ? "alpha" : "gamma");
  }

  // An existing archive is updated: the new file is appended, the comment
  // stays.
  WriteFile(dir_ / "src/d.txt", "delta");
  r = Run({"zip", zip_, "--store-paths", dir_ / "src/d.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  a = ParseArchive(ReadFile(zip_));
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[2].name, (dir_ / "src/d.txt").substr(1));
  EXPECT_EQ(a.comment, "nightly");
}

TEST_F(CliArchiveWriteTest, LeftOutFilesGiveExitCodeOne) {
  ASSERT_EQ(mkfifo((dir_ / "src/pipe").c_str(), 0600), 0);
  const Result r = Run({"zip", zip_, dir_ / "src/*", dir_ / "src/missing.txt"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("left out " + dir_ / "src/pipe"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing.txt"), std::string::npos) << r.err;
  EXPECT_EQ(SortedNames(ParseArchive(ReadFile(zip_))),
            (std::vector<std::string>{"a.txt", "b.tmp"}));
}

TEST_F(CliArchiveWriteTest, FailuresGiveExitCodeTwoAndOneLine) {
  Result r = Run({"zip", zip_, "--level", "12", dir_ / "src/a.txt"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--level"), std::string::npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_FALSE(fs::exists(zip_));

  WriteFile(zip_, "certainly not an archive, though long enough to look for one");
  r = Run({"zip", zip_, dir_ / "src/a.txt"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find(zip_), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

  r = Run({"remove", zip_, "a.txt"});
  EXPECT_EQ(r.exit_code, 2);
}

TEST_F(CliArchiveWriteTest, RemoveTakesNamesExactly) {
  WriteFile(dir_ / "w/a*.txt", "star");
  WriteFile(dir_ / "w/ab.txt", "plain");
  ASSERT_EQ(Run({"zip", zip_, dir_ / "w/a*.txt", dir_ / "w/ab.txt"}).exit_code, 0);
  ASSERT_EQ(Names(ParseArchive(ReadFile(zip_))), (std::vector<std::string>{"a*.txt", "ab.txt"}));
  Result r = Run({"remove", zip_, "a*.txt"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Names(ParseArchive(ReadFile(zip_))), std::vector<std::string>{"ab.txt"});
  r = Run({"remove", zip_, "ab.txt", "nope.txt"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("nope.txt"), std::string::npos);
  EXPECT_TRUE(ParseArchive(ReadFile(zip_)).entries.empty());
}

}  // namespace
