// zipbackup-cli restore, run as a program.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cli/cli_runner.h"
#include "platform/file_system.h"
#include "zip/zip_writer.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
};

class CliRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cli_ = zb::clitest::CliProgram();
    ASSERT_FALSE(cli_.empty()) << "ZB_PROGRAM_DIR is set by CTest";
    root_ = zb::clitest::MakeScratchDir("zb_cli_restore");
    ASSERT_FALSE(root_.empty());
    Write(root_ / "src/a.txt", "alpha");
    Write(root_ / "src/docs/b.txt", "bravo");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static void Write(const fs::path& p, const std::string& s) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << s;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  Result Cli(const std::string& args) {
    const zb::clitest::CliResult r = zb::clitest::RunCliShell(cli_, args);
    return {r.exit_code, r.out};
  }
  void MakeArchive(const std::string& password = "") {
    zb::zip::TZipOptions o;
    o.ZipName = (root_ / "t.zip").string();
    o.StorePaths = true;
    o.Password = password;
    o.FilesList = {(root_ / "src/a.txt").string(), (root_ / "src/docs/b.txt").string()};
    ASSERT_EQ(zb::zip::TZipWriter().Zip(o, {}), 2);
  }
  std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

  fs::path cli_, root_;
};

TEST_F(CliRestoreTest, BackToTheStoredFoldersWithoutTo) {
  MakeArchive();
  fs::remove_all(root_ / "src");
  Result r = Cli("restore " + Q(root_ / "t.zip"));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "src/a.txt"), "alpha");
  EXPECT_EQ(Read(root_ / "src/docs/b.txt"), "bravo");
  // Again: the default policy keeps what is there, which is no failure.
  Write(root_ / "src/a.txt", "changed");
  r = Cli("restore " + Q(root_ / "t.zip"));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "src/a.txt"), "changed");
  r = Cli("restore " + Q(root_ / "t.zip") + " --overwrite always");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "src/a.txt"), "alpha");
}

TEST_F(CliRestoreTest, ToFlatPatternsAndPasswords) {
  MakeArchive("pw");
  Result r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out") +
                 " --flat --password pw '*/b.txt'");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "out/b.txt"), "bravo");
  EXPECT_FALSE(fs::exists(root_ / "out/a.txt"));

  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out2") + " --password nope");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("The password is incorrect"), std::string::npos) << r.out;
  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out2"));
  EXPECT_EQ(r.code, 2);
  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out3") + " --password ' pw '");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "out3" / (root_ / "src/a.txt").relative_path()), "alpha");
}

TEST_F(CliRestoreTest, ErrorsAndFailedEntries) {
  EXPECT_EQ(Cli("restore").code, 2);
  EXPECT_EQ(Cli("restore " + Q(root_ / "none.zip") + " --flat").code, 2);
  Result r = Cli("restore " + Q(root_ / "none.zip") + " --to " + Q(root_ / "o"));
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("none.zip"), std::string::npos) << r.out;
  EXPECT_EQ(Cli("restore x.zip --overwrite sometimes").code, 2);

  // Without --to, an entry stored without a folder has nowhere of its own
  // to go: refused, nothing written (least of all into the root folder).
  {
    zb::zip::TZipOptions o;
    o.ZipName = (root_ / "bare.zip").string();
    o.StorePaths = false;
    o.FilesList = {(root_ / "src/a.txt").string()};
    ASSERT_EQ(zb::zip::TZipWriter().Zip(o, {}), 1);
  }
  r = Cli("restore " + Q(root_ / "bare.zip") + " --overwrite always");
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("--to"), std::string::npos) << r.out;
  if (Read("/a.txt") == "alpha") {
    fs::remove("/a.txt");
    ADD_FAILURE() << "written into the root folder";
  }

  // Patterns that select nothing are an error, not "0 restored".
  MakeArchive();
  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "o") + " " +
          Q(root_ / "src/a.txt"));
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("no entry matches"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("leading"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(root_ / "o" / (root_ / "src/a.txt").relative_path()));

  // Policy skips are no failure; an entry whose output cannot be created
  // (a file where its folder should be) fails that entry only: exit 1.
  Write(root_ / "out/a.txt", "");
  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out") + " --flat");
  EXPECT_EQ(r.code, 0) << r.out;  // a.txt kept by the policy, b.txt restored
  fs::path stored_b = root_ / "out2" / (root_ / "src/docs").relative_path();
  Write(stored_b, "");  // a FILE named "docs" where the folder should go
  r = Cli("restore " + Q(root_ / "t.zip") + " --to " + Q(root_ / "out2"));
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("failed"), std::string::npos);
  EXPECT_EQ(Read(root_ / "out2" / (root_ / "src/a.txt").relative_path()), "alpha");
}

TEST_F(CliRestoreTest, StopSignalEndsTheRunCleanly) {
  // Many small entries, so the run is still busy when the signal comes.
  const fs::path arc = root_ / "many.zip";
  const std::string script =
      "import zipfile,sys\n"
      "with zipfile.ZipFile(sys.argv[1],'w') as z:\n"
      "  [z.writestr('d%d/f%d.txt' % (i % 50, i), 'entry %d' % i) for i in range(20000)]\n";
  ASSERT_EQ(std::system(("/usr/bin/python3 -c \"" + script + "\" " + Q(arc)).c_str()), 0);
  const fs::path out = root_ / "sig";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) {
      _exit(127);
    }
    ::execl(cli_.c_str(), cli_.c_str(), "restore", arc.c_str(), "--to", out.c_str(), nullptr);
    _exit(127);
  }
  // Signal as soon as the first folder is there (at most ten seconds).
  for (int i = 0; i < 1000 && !fs::exists(out / "d0"); ++i) ::usleep(10000);
  ::kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "died of a signal instead of stopping: " << status;
  if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the restore finished before the signal";
  EXPECT_EQ(WEXITSTATUS(status), 2);
  // No temporary output is left, and every file written is complete.
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (!e.is_regular_file()) continue;
    const std::string name = e.path().filename().string();
    ASSERT_EQ(name.rfind("f", 0), 0u) << "leftover " << e.path();
    EXPECT_EQ(Read(e.path()), "entry " + name.substr(1, name.size() - 5));
    ++files;
  }
  EXPECT_LT(files, 20000);
}

}  // namespace

namespace {

// --overwrite ask puts each existing file to the person at the terminal; a
// script (no terminal) gets No for every one, so nothing is replaced behind
// its back and the run never waits for an answer.
TEST_F(CliRestoreTest, OverwriteAskIsAskedOnATerminalOnly) {
  MakeArchive();
  const fs::path to = root_ / "out";
  const std::vector<std::string> args = {"restore", (root_ / "t.zip").string(), "--to", to.string(),
                                         "--flat", "--overwrite", "ask"};
  Write(to / "a.txt", "old a");
  Write(to / "b.txt", "old b");

  const auto piped = zb::clitest::RunCliWithInput(cli_, args, root_, "y\ny\n");
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(Read(to / "a.txt"), "old a");
  EXPECT_EQ(Read(to / "b.txt"), "old b");

  // Yes for the first file, No for the second.
  const auto typed = zb::clitest::RunCliOnTerminal(cli_, args, "y\nn\n");
  EXPECT_EQ(typed.exit_code, 0) << typed.out;
  EXPECT_NE(typed.out.find("yes (y), no (n)"), std::string::npos) << typed.out;
  EXPECT_EQ(Read(to / "a.txt"), "alpha");
  EXPECT_EQ(Read(to / "b.txt"), "old b");
}

}  // namespace
