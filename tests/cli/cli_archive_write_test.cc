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
  const Result r = Run({"zip", zip_, dir_ / "src/*"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("left out " + dir_ / "src/pipe"), std::string::npos) << r.err;
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

// Modes, whole-second times and Linux names come back exactly through
// extract and restore, and Info-ZIP's unzip and Python read the same names.
TEST_F(CliArchiveWriteTest, ModesTimesAndNamesRoundTrip) {
  const fs::path base(dir_.path());
  struct File {
    std::string name;
    mode_t mode;
  };
  const std::vector<File> files = {
      {"private.txt", 0600},         {"script.sh", 0755},
      {"caf\xE9.txt", 0644},         // Latin-1: not UTF-8
      {"back\\slash.txt", 0640},     // a backslash is a character here
      {"\xC3\xA4pfel.txt", 0644},    // CP437 can hold it
      {"\xE6\x97\xA5.txt", 0644},    // UTF-8 only
      {"priv/in.txt", 0640},
  };
  const fs::path src = base / "modes";
  fs::create_directories(src / "priv");
  for (const File& f : files) {
    WriteFile(src / f.name, f.name);
    ASSERT_EQ(chmod((src / f.name).c_str(), f.mode), 0);
    zb::ztest::SetMtime(src / f.name, 1577872801);  // an odd second
  }
  ASSERT_EQ(chmod((src / "priv").c_str(), 0700), 0);
  Result r = Run({"zip", zip_, "--recurse", "--store-paths", src});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string stored = src.relative_path().string() + "/";

  auto check = [&](const fs::path& out, const std::string& how) {
    for (const File& f : files) {
      struct stat st {};
      ASSERT_EQ(::stat((out / stored / f.name).c_str(), &st), 0) << how << " " << f.name;
      EXPECT_EQ(st.st_mode & 07777, f.mode) << how << " " << f.name;
      EXPECT_EQ(st.st_mtime, 1577872801) << how << " " << f.name;
      EXPECT_EQ(ReadFile(out / stored / f.name), f.name) << how;
    }
    struct stat st {};
    ASSERT_EQ(::stat((out / stored / "priv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << how << " folder";
  };
  ASSERT_EQ(Run({"extract", zip_, base / "x"}).exit_code, 0);
  check(base / "x", "extract");
  r = Run({"restore", zip_, "--to", base / "r"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  check(base / "r", "restore");
  if (std::system("command -v unzip >/dev/null") == 0) {
    const std::string cmd = "unzip -qo '" + zip_ + "' -d '" + (base / "u").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (const File& f : files) {
      EXPECT_EQ(ReadFile(base / "u" / stored / f.name), f.name) << "unzip " << f.name;
    }
  }
  // Python decodes names without the UTF-8 flag as CP437; encoded back they
  // are the stored bytes, and those are the Linux names.
  const std::string listing = base / "py.txt";
  const std::string py =
      "/usr/bin/python3 -c \"import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist():"
      "\n  b=i.filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')\n"
      "  sys.stdout.buffer.write(b+b'\\\\n')\" '" +
      zip_ + "' > '" + listing + "'";
  ASSERT_EQ(std::system(py.c_str()), 0);
  std::vector<std::string> names;
  std::string text = ReadFile(listing);
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    names.push_back(text.substr(at, nl - at));
  }
  std::vector<std::string> want = {stored, stored + "priv/"};
  for (const File& f : files) {
    const std::string cp437 = f.name == "\xC3\xA4pfel.txt" ? "\x84pfel.txt" : f.name;
    want.push_back(stored + cp437);
  }
  std::sort(names.begin(), names.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(names, want);
}

TEST_F(CliArchiveWriteTest, UpdateKeepsNamesDifferingInCaseApart) {
  const fs::path base(dir_.path());
  WriteFile(base / "one/Report.txt", "upper");
  WriteFile(base / "two/report.txt", "lower");
  ASSERT_EQ(Run({"zip", zip_, base / "one/Report.txt"}).exit_code, 0);
  ASSERT_EQ(Run({"zip", zip_, base / "two/report.txt"}).exit_code, 0);
  const auto a = ParseArchive(ReadFile(zip_));
  EXPECT_EQ(Names(a), (std::vector<std::string>{"Report.txt", "report.txt"}));
  EXPECT_EQ(EntryContent(a.entries[0]), "upper");
}

TEST_F(CliArchiveWriteTest, WorkNotDoneIsNeverReportedAsSuccess) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::vector<std::string> names;  // of the archive, empty: none written
  };
  const fs::path base(dir_.path());
  const std::string src = base / "src";
  const std::vector<Case> cases = {
      {{src + "/"}, 0, {"a.txt", "b.tmp"}},
      {{"--recurse", src}, 0, {"a.txt", "b.tmp", "c.txt"}},
      {{src + "/missing.txt"}, 2, {}},
      {{src + "/*.none"}, 2, {}},
      {{src + "/a.txt", src + "/none.txt"}, 2, {}},
  };
  for (const Case& c : cases) {
    fs::remove(zip_);
    std::vector<std::string> args = {"zip", zip_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << r.err;
    if (c.names.empty()) {
      EXPECT_FALSE(fs::exists(zip_)) << c.args[0];
      EXPECT_NE(r.err.find("nothing matches"), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(SortedNames(ParseArchive(ReadFile(zip_))), c.names) << c.args[0];
    }
  }
  ASSERT_EQ(Run({"zip", zip_, src}).exit_code, 0);
  const Result r = Run({"extract", zip_, base / "x", "nothing*"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("no entry matches 'nothing*'"), std::string::npos) << r.err;
}

// Bytes before the first entry (a self-extractor stub) whose offsets were
// never adjusted: read with the offsets corrected and one warning, and kept
// in front of the archive by zip and remove, with the offsets counting them.
TEST_F(CliArchiveWriteTest, StubBeforeTheFirstEntryIsReadAndKept) {
  const std::string py =
      "/usr/bin/python3 -c \"import zipfile,io,sys\n"
      "b=io.BytesIO(); z=zipfile.ZipFile(b,'w'); z.writestr('a.txt','aa'); "
      "z.writestr('b.txt','bb'); z.close()\n"
      "open(sys.argv[1],'wb').write(b'#!stub'*100+b.getvalue())\" '" +
      zip_ + "'";
  ASSERT_EQ(std::system(py.c_str()), 0);
  Result r = Run({"list", zip_});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("b.txt"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("600 bytes before its first entry"), std::string::npos) << r.err;

  ASSERT_EQ(Run({"zip", zip_, dir_ / "src/a.txt"}).exit_code, 0);
  ASSERT_EQ(Run({"remove", zip_, "b.txt"}).exit_code, 0);
  EXPECT_EQ(ReadFile(zip_).substr(0, 12), "#!stub#!stub");
  const std::string check = "/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                            "assert z.testzip() is None; assert len(z.namelist())==1\" '" +
                            zip_ + "'";
  EXPECT_EQ(std::system(check.c_str()), 0);
  r = Run({"test", zip_});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(r.err.empty()) << "adjusted offsets need no correction: " << r.err;
}

}  // namespace
