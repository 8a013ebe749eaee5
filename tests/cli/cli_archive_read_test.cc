// zipbackup-cli list / extract / test, run as a program: output format,
// options and exit codes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/cli_runner.h"
#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out;
};

class CliArchiveReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cli_ = zb::clitest::CliProgram();
    ASSERT_FALSE(cli_.empty()) << "ZB_PROGRAM_DIR is set by CTest";
    root_ = zb::clitest::MakeScratchDir("zb_cli_read");
    ASSERT_FALSE(root_.empty());
    fs::create_directories(root_ / "src/docs");
    Write(root_ / "src/a.txt", "alpha");
    Write(root_ / "src/docs/b.txt", "bravo");
    // 2021-03-04 05:06:08 local time, an even second.
    std::tm tm{};
    tm.tm_year = 121;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 5;
    tm.tm_min = 6;
    tm.tm_sec = 8;
    tm.tm_isdst = -1;
    when_ = std::mktime(&tm);
    zb::SetFileTimes(root_ / "src/a.txt", {when_, 0});
    zb::SetFileTimes(root_ / "src/docs/b.txt", {when_, 0});
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static void Write(const fs::path& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  Result Cli(const std::string& args) {
    const zb::clitest::CliResult r = zb::clitest::RunCliShell(cli_, args);
    return {r.exit_code, r.out};
  }
  bool MakeZip(const std::string& extra = "") {
    std::string cmd = "cd '" + (root_ / "src").string() + "' && zip -q -X -r " + extra + " '" +
                      (root_ / "t.zip").string() + "' a.txt docs/b.txt";
    return std::system(cmd.c_str()) == 0;
  }

  fs::path cli_, root_;
  std::time_t when_ = 0;
};

TEST_F(CliArchiveReadTest, ListPrintsSizeTimeAndName) {
  if (std::system("command -v zip >/dev/null") != 0) GTEST_SKIP() << "zip is not installed";
  ASSERT_TRUE(MakeZip());
  Result r = Cli("list '" + (root_ / "t.zip").string() + "'");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "5\t2021-03-04 05:06:08\ta.txt\n"
            "5\t2021-03-04 05:06:08\tdocs/b.txt\n");
}

TEST_F(CliArchiveReadTest, ExtractHonoursPatternsFlatAndOverwrite) {
  if (std::system("command -v zip >/dev/null") != 0) GTEST_SKIP() << "zip is not installed";
  ASSERT_TRUE(MakeZip());
  std::string zip = "'" + (root_ / "t.zip").string() + "'";
  std::string out = (root_ / "out").string();
  Result r = Cli("extract " + zip + " '" + out + "'");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(Read(root_ / "out/docs/b.txt"), "bravo");
  EXPECT_EQ(zb::Stat(root_ / "out/docs/b.txt").mtime.tv_sec, when_);

  // Default "never": the existing file stays, which is not a failure.
  Write(root_ / "out/a.txt", "mine");
  EXPECT_EQ(Cli("extract " + zip + " '" + out + "'").code, 0);
  EXPECT_EQ(Read(root_ / "out/a.txt"), "mine");
  EXPECT_EQ(Cli("extract " + zip + " '" + out + "' --overwrite always 'a*'").code, 0);
  EXPECT_EQ(Read(root_ / "out/a.txt"), "alpha");

  std::string flat = (root_ / "flat").string();
  EXPECT_EQ(Cli("extract " + zip + " '" + flat + "' --flat 'docs/*'").code, 0);
  EXPECT_EQ(Read(root_ / "flat/b.txt"), "bravo");
  EXPECT_FALSE(fs::exists(root_ / "flat/a.txt"));

  Result bad = Cli("extract " + zip + " '" + flat + "' --overwrite sometimes");
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.out.find("--overwrite"), std::string::npos);
}

TEST_F(CliArchiveReadTest, WrongPasswordAndDamageGiveExitOne) {
  if (std::system("command -v zip >/dev/null") != 0) GTEST_SKIP() << "zip is not installed";
  ASSERT_TRUE(MakeZip("-P right"));
  std::string zip = "'" + (root_ / "t.zip").string() + "'";
  Result ok = Cli("test " + zip + " --password right");
  EXPECT_EQ(ok.code, 0) << ok.out;
  EXPECT_NE(ok.out.find("2 entries OK, 0 failed"), std::string::npos) << ok.out;

  Result wrong = Cli("test " + zip + " --password nope");
  EXPECT_EQ(wrong.code, 1);
  EXPECT_NE(wrong.out.find("FAILED\ta.txt"), std::string::npos) << wrong.out;

  Result ex = Cli("extract " + zip + " '" + (root_ / "x").string() + "' --password nope");
  EXPECT_EQ(ex.code, 1);
  EXPECT_FALSE(fs::exists(root_ / "x/a.txt"));
}

TEST_F(CliArchiveReadTest, OperationFailuresGiveExitTwoWithWhere) {
  Write(root_ / "junk.zip", std::string(300, 'j'));
  Result r = Cli("list '" + (root_ / "junk.zip").string() + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("junk.zip"), std::string::npos) << r.out;
  Result missing = Cli("test '" + (root_ / "none.zip").string() + "'");
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.out.find("none.zip"), std::string::npos) << missing.out;
  EXPECT_EQ(Cli("list").code, 2);
}

TEST_F(CliArchiveReadTest, OddArchivesGiveHonestExitCodes) {
  const std::string odd = (root_ / "odd.zip").string();
  const std::string cut = (root_ / "cut.zip").string();
  // Control characters and an over-long name among good entries; and an
  // archive cut inside its third entry, as a killed writer leaves it.
  const std::string py =
      "/usr/bin/python3 -c \"import zipfile,sys\n"
      "z=zipfile.ZipFile(sys.argv[1],'w')\n"
      "z.writestr('good.txt','g'); z.writestr('line\\nbreak.txt','n');\n"
      "z.writestr('esc\\x1b[31m.txt','e'); z.writestr('x'*300,'long'); z.writestr('last.txt','l')\n"
      "z.close()\n"
      "z=zipfile.ZipFile(sys.argv[2],'w')\n"
      "for n in ('one','two','three'): z.writestr(n+'.txt', n*1000)\n"
      "z.close(); b=open(sys.argv[2],'rb').read(); open(sys.argv[2],'wb').write(b[:9000])\" '" +
      odd + "' '" + cut + "'";
  ASSERT_EQ(std::system(py.c_str()), 0);

  Result r = Cli("list '" + odd + "'");
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("line\\x0Abreak.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("esc\\x1B[31m.txt"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

  r = Cli("extract '" + odd + "' '" + (root_ / "x").string() + "'");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("255-byte limit"), std::string::npos) << r.out;
  EXPECT_EQ(Read(root_ / "x/last.txt"), "l");

  Write(root_ / "text.zip", "a text file that only carries a .zip name\n");
  r = Cli("test '" + (root_ / "text.zip").string() + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("Not a valid zip file!"), std::string::npos) << r.out;

  r = Cli("test '" + cut + "'");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("Incomplete Zip File"), std::string::npos) << r.out;
  r = Cli("test --recover '" + cut + "'");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_NE(r.out.find("2 entries OK, 1 failed"), std::string::npos) << r.out;
}

}  // namespace
